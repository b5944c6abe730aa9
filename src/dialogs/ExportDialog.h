#pragma once

#include "db/InstanceRecord.h"
#include "dicom/DicomCopyWriters.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/SeriesOverlayInfo.h"

#include <QDialog>
#include <QImage>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include <optional>

class QButtonGroup;
class QCheckBox;
class QLineEdit;
class QRadioButton;
class QSlider;
class QSpinBox;

namespace db {
class Database;
}

namespace platform {
class DurableBatch;
}

// One series to be exported, built per export run and discarded after it.
struct ExportJob
{
    QList<db::InstanceRecord> instances; // the frames to export, in order
    SeriesOverlayInfo info;              // copied from the panel
    double windowCenter = 0.0;           // the window the panel shows
    double windowWidth = 0.0;
    ImageViewportWidget* viewport = nullptr; // where the measurements of each slice come from
    QList<int> sliceIndices;                 // entry i: the panel's slice index of instances[i]
};

// Draws the panel's measurements onto an image in its decoded pixel coordinates.
void burnMeasurements(QImage& image, const QList<ImageViewportWidget::MeasurementInfo>& list);

// Exports the images of the viewer's panels as JPEG or BMP stills, DICOM copies or one MP4 video per
// series. Runs modally; "Экспорт" runs the export synchronously and leaves the dialog open.
class ExportDialog : public QDialog
{
    Q_OBJECT

public:
    ExportDialog(db::Database* database, QWidget* parent = nullptr);
    ~ExportDialog() override;

    void setActiveViewport(ImageViewportWidget* viewport);
    void setViewports(const QList<ImageViewportWidget*>& viewports,
                      const QList<QList<db::InstanceRecord>>& instanceLists);
    // The viewer's study: an export of it while a retrieve still adds to it says what it took.
    void setStudyUid(const QString& studyUid) { m_studyUid = studyUid; }
    // The study's files the viewer holds: an export from a viewer that holds fewer than the study has
    // now says so.
    void setStudyFilesHeld(const QSet<QString>& paths) { m_studyFilesHeld = paths; }

private slots:
    void onBrowseFolderClicked();
    void onExportClicked();

private:
    enum class Scope { CurrentImage, CurrentSeries, AllSeries };
    enum class Format { Jpeg, Bmp, Dicom, Mp4 };
    enum class Annotation { Full, Basic, Off };

    void setupUi();
    Scope scope() const;
    Format format() const;
    Annotation annotation() const;

    QList<ExportJob> collectJobs() const;
    bool exportFrameFile(const db::InstanceRecord& record, const SeriesOverlayInfo& info, double windowCenter,
                         double windowWidth, int frameNumber, int frameCount, ImageViewportWidget* viewport,
                         int sliceIndex, const QString& targetPath, QString* error, dicom::LeftOut* leftOut,
                         platform::DurableBatch* batch);
    bool exportVideoFile(const ExportJob& job, const QString& targetPath, QString* error,
                         platform::DurableBatch* batch);
    bool writeVideo(const ExportJob& job, const QString& targetPath, QString* error);
    std::optional<QImage> renderFrame(const db::InstanceRecord& record, const SeriesOverlayInfo& info,
                                      double windowCenter, double windowWidth, int frameNumber, int frameCount,
                                      ImageViewportWidget* viewport, int sliceIndex, QString* error) const;

public:
    // The sub-folder name of a patient's DICOM copies: safe as one path component on every platform.
    static QString patientFolderName(const SeriesOverlayInfo& info);
    // The series part of exported file names: the description with blanks as "_", characters that
    // cannot stand in a file name replaced by "_". Anonymous files carry no description (it may name
    // the patient): "series_" and the series number.
    static QString seriesNamePart(const SeriesOverlayInfo& info, bool anonymous = false);

private:
    db::Database* m_database = nullptr;
    ImageViewportWidget* m_activeViewport = nullptr;
    QList<ImageViewportWidget*> m_viewports;
    QList<QList<db::InstanceRecord>> m_instanceLists;
    QString m_studyUid;
    QSet<QString> m_studyFilesHeld;
    // Files of the frames refused by the export under way for holding other images than their rows by
    // now, with the object each row names.
    mutable QMap<QString, QString> m_replacedFiles;

    QButtonGroup* m_scopeGroup = nullptr;
    QRadioButton* m_scopeImage = nullptr;
    QRadioButton* m_scopeSeries = nullptr;
    QRadioButton* m_scopeAll = nullptr;
    QButtonGroup* m_formatGroup = nullptr;
    QRadioButton* m_formatJpeg = nullptr;
    QRadioButton* m_formatBmp = nullptr;
    QRadioButton* m_formatDicom = nullptr;
    QRadioButton* m_formatMp4 = nullptr;
    QLineEdit* m_folderEdit = nullptr;
    QLineEdit* m_prefixEdit = nullptr;
    QCheckBox* m_openFolderCheck = nullptr;
    QRadioButton* m_sizeOriginal = nullptr;
    QRadioButton* m_sizeFit = nullptr;
    QSpinBox* m_widthSpin = nullptr;
    QSpinBox* m_heightSpin = nullptr;
    QButtonGroup* m_annotationGroup = nullptr;
    QRadioButton* m_annotationFull = nullptr;
    QRadioButton* m_annotationBasic = nullptr;
    QRadioButton* m_annotationOff = nullptr;
    QSlider* m_qualitySlider = nullptr;
    QSpinBox* m_fpsSpin = nullptr;
};
