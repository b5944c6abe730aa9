#pragma once
// Portable mode: a viewer copy on a disc, flash drive or archive shows its own "DICOM" folder in the
// 2D viewer, indexed in memory, without the study list.

#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

class QApplication;
class QThread;
class ViewerWindow;

namespace db {
class Database;
}
namespace dicom {
struct DicomFileSummary;
}

class PortableSession : public QObject
{
    Q_OBJECT

public:
    PortableSession(db::Database* index, const QString& imageFolder, QObject* parent = nullptr);

    // Starts the import thread; the session reports its end through QCoreApplication::quit.
    void start();
    ViewerWindow* viewer() const;

    // Series growth reaches the viewer at most this often, once per series, however many files arrive.
    static constexpr int kRefreshIntervalMs = 500;

private:
    void onFileFound(const dicom::DicomFileSummary& summary);
    void onImportFinished();
    void openViewer(const QString& studyUid, const QString& seriesUid);
    void flushRefreshes();
    bool eventFilter(QObject* watched, QEvent* event) override;

    db::Database* m_index;
    QString m_imageFolder;
    QThread* m_thread = nullptr;
    QPointer<ViewerWindow> m_viewer;
    bool m_viewerOpened = false;
    // Study and series of the first file that is no image, opened only when no image comes at all.
    QPair<QString, QString> m_firstOtherSeries;
    QSet<QString> m_pendingSeries;
    QTimer m_refreshTimer;
};

// Runs portable mode on the given folder and returns the exit code.
int runPortableMode(QApplication& app, const QString& imageFolder);
