#pragma once
// Agatston coronary calcium scoring on a non-contrast CT series: the user draws wide search regions per
// artery, the window finds the calcified lesions inside them and sums their weighted areas.

#include "db/InstanceRecord.h"
#include "render/HuImage.h"
#include "viewer/ImageViewportWidget.h"

#include <QColor>
#include <QList>
#include <QMainWindow>
#include <QPoint>
#include <QString>

class QComboBox;
class QDialog;
class QLabel;
class QPushButton;

struct CoronaryArtery
{
    QString id;    // written into each drawn region's name
    QString label; // shown in the combo box and the result table
    QColor colour; // of regions and lesion outlines
};

struct CalciumLesion
{
    double areaMm2 = 0.0;
    double peakHu = 0.0;
    QList<QPoint> pixels;
};

// A lesion of one slice and the artery (search region name) it is booked to.
struct ArteryCalciumLesion
{
    QString artery;
    CalciumLesion lesion;
};

const QList<CoronaryArtery>& coronaryArteries();

// Lesions (connected pixels >= thresholdHu, at least 1 mm²) inside one search region (kinds 11, 12, 13).
QList<CalciumLesion> findCalciumLesions(const render::HuImage& image, const ImageViewportWidget::MeasurementInfo& region,
                                        double pixelAreaMm2, double thresholdHu);

// Lesions of one slice, each found once: connected pixels >= thresholdHu inside the union of the search
// regions, so overlapping regions do not count a calcification twice. A lesion is booked to the region drawn
// first among those that hold any of its pixels.
QList<ArteryCalciumLesion> findSliceCalciumLesions(const render::HuImage& image,
                                                   const QList<ImageViewportWidget::MeasurementInfo>& regions,
                                                   double pixelAreaMm2, double thresholdHu);

class CoronaryCalciumWindow : public QMainWindow
{
    Q_OBJECT

public:
    CoronaryCalciumWindow(const QList<db::InstanceRecord>& slices, int currentIndex, const QString& title,
                          QWidget* parent, double windowCenter, double windowWidth);

    // Read by tests.
    ImageViewportWidget* viewport() const { return m_viewport; }
    QDialog* resultDialog() const { return m_resultDialog; }
    QLabel* resultLabel() const { return m_resultLabel; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void setupUi();
    void applyDrawTool();
    void onDrawToggled(bool checked);
    void recalculate();
    void refreshLesionOverlay();
    void showResult(const QString& html);
    void exportPng();
    void clearAllRegions();

    QList<db::InstanceRecord> m_slices;
    QString m_title;
    double m_windowCenter = 0.0;
    double m_windowWidth = 0.0;
    ImageViewportWidget* m_viewport = nullptr;
    QComboBox* m_arteryCombo = nullptr;
    QComboBox* m_methodCombo = nullptr;
    QPushButton* m_drawButton = nullptr;
    QPushButton* m_recalcButton = nullptr;
    QPushButton* m_clearButton = nullptr;
    QDialog* m_resultDialog = nullptr;
    QLabel* m_resultLabel = nullptr;
    bool m_shownOnce = false;
};
