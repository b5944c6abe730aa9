#pragma once
// Turns a request to fetch one study from one PACS server into indexed files and, when asked, an
// open viewer: requests from a web page or a launch URL, downloads from the PACS search dialog and
// retrieves for remote peers.

#include "pacs/PacsConfig.h"
#include "pacs/PacsOpenRequest.h"
#include "db/InstanceRecord.h"
#include "dicom/DicomFileSummary.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

class ViewerWindow;

namespace db {
class Database;
}

namespace pacs {

class PacsRetrieveSession;

// How the coordinator reaches the viewer windows, which live in a layer above this library. The
// application installs them at start-up; without them studies are retrieved and indexed, not shown.
struct ViewerHooks
{
    // Creates a viewer for the study with that series chosen first (may be empty) and shows it.
    std::function<ViewerWindow*(db::Database*, const QString& studyUid, const QString& seriesUid)> open;
    // Hands the viewer rows of a series indexed since it last heard of the series (only those, not the
    // whole series again); the viewer takes the ones it does not show yet.
    std::function<void(ViewerWindow*, const QString& seriesUid, const QList<db::InstanceRecord>&)> refreshSeries;
    std::function<QObject*(ViewerWindow*)> asObject;
};
void setViewerHooks(ViewerHooks hooks);
const ViewerHooks& viewerHooks();

// What a request from outside (a web page, a launch URL, a second copy) comes to before anything is
// done for it.
struct OpenRequestAssessment
{
    enum Kind { Refused, OpenLocal, Download, NeedsConsent };
    Kind kind = Refused;
    QString message;   // Refused: the warning; NeedsConsent: the question
    PacsServer server; // Download: the configured server that holds the study
    PacsConfig config;
    bool needsUser() const { return kind == Refused || kind == NeedsConsent; }
};

class PacsOpenCoordinator : public QObject
{
    Q_OBJECT

public:
    enum Mode { ToArchive = 0, DownloadAndOpen = 1, ViewOnly = 2 };

    // Requests from outside that wait for a running retrieve to end, at most: each is carried out in
    // its turn; one more is refused with words.
    static constexpr int kMaxWaitingRequests = 8;
    // How long the objects of a retrieve gather before the viewer is given them. Given one at a time,
    // each with its whole series read and merged again, a large study held the window and every
    // request until it had arrived.
    static constexpr int kViewerFeedMs = 250;

    explicit PacsOpenCoordinator(db::Database* index, QObject* parent = nullptr);
    // A retrieve still running goes on by itself and indexes what arrives; a view-only one
    // without a viewer is cancelled (if still running) and cleaned up.
    ~PacsOpenCoordinator() override;

    // Checks a request without acting on it: cheap enough to run for every request of a flood.
    OpenRequestAssessment assessRequest(const PacsOpenRequest& request) const;
    // Opens a local study or starts its retrieve, once the retrieve running now has ended; what the user
    // must read or decide is reported by requestRefused or consentNeeded, never shown from here.
    void openRequestedStudy(const PacsOpenRequest& request);
    // No request that needs a retrieve can wait its turn now: one would be refused.
    bool waitingLineFull() const;
    static QString waitingLineFullText();
    // The user allowed the server that consentNeeded asked about.
    void openWithConsent(const PacsOpenRequest& request);
    // Starts a retrieve, or does nothing while one runs. A study that another retrieve receives is
    // waited for (see waitingForStudy); the coordinator counts as running meanwhile.
    void startDownload(PacsServer server, PacsConfig config, QString studyUid, QString targetDirectory, int mode);
    bool isRunning() const;
    // Stops the retrieve, or ends the wait for another one (told by finished as a cancelled retrieve).
    void cancel();
    // Whether the owner tells the user how a retrieve ended (see PacsRetrieveSession::setEndHeard):
    // asked as it ends. Unset, every end this coordinator tells is told; once it is gone, none is.
    void setEndHeard(std::function<bool()> heard) { m_endHeard = std::move(heard); }
    ViewerWindow* currentViewer() const { return m_viewer; }

signals:
    void fileReceived(int totalReceivedSoFar);
    // errorMessage: why it failed, or, after a good end, what there is to know of it (empty: nothing).
    void finished(bool ok, const QString& errorMessage, int receivedFileCount);
    void viewerOpened(ViewerWindow* viewer);
    // The retrieve waits for its port (see PacsRetrieveSession::waitingForPort), and no longer does:
    // the port is open, or the retrieve has ended (finished follows).
    void waitingForPort(const QString& message);
    void portWaitEnded();
    // Another retrieve receives the study: this one starts, judged afresh, once that one has let go of
    // it; and the wait is over and the retrieve started (an end at once is told by finished alone).
    void waitingForStudy();
    void studyWaitEnded();
    void requestRefused(const QString& message);
    void consentNeeded(const pacs::PacsOpenRequest& request, const QString& question);

public slots:
    void onFileReceived(const QString& filePath, int totalReceivedSoFar);
    void onFileIndexed(const dicom::DicomFileSummary& summary);
    void onDownloadFinished(bool ok, const QString& errorMessage, int receivedFileCount);

private:
    struct DownloadOrder
    {
        PacsServer server;
        PacsConfig config;
        QString studyUid;
        QString targetDirectory;
        int mode = ToArchive;
    };

    void act(const PacsOpenRequest& request, bool consented);
    void startWaitedDownload();
    // Tells the end of a retrieve, or of a wait for one, and lets the next request that waited go.
    void tellEnd(bool ok, const QString& message, int receivedFileCount);
    void takeNextWaiting();
    void openViewer(const QString& studyUid, const QString& seriesUid, bool track);
    // Gives the tracked viewer the rows of the objects indexed since it was last fed.
    void feedViewer();

    // Tracked: a dialog holding this can outlive the index as the program closes.
    QPointer<db::Database> m_index;
    QPointer<PacsRetrieveSession> m_session;
    ViewerWindow* m_viewer = nullptr;
    QPointer<QObject> m_viewerObject;
    int m_received = 0;
    int m_mode = ToArchive;
    QString m_targetFolder;
    QString m_studyUid;
    // The last retrieve was view-only and no viewer took its files over: whenever it ends, they go
    // when this coordinator goes or starts another retrieve.
    bool m_viewOnlyUnwatched = false;
    // Requests from outside that came while a retrieve ran, oldest first, and whether the user allowed
    // their server.
    QList<std::pair<PacsOpenRequest, bool>> m_waiting;
    // Studies of requests that wait for another coordinator's retrieve of them to let go.
    QSet<QString> m_waitingForOthers;
    // The download asked for while another retrieve received its study. The members above still
    // describe the last retrieve until it starts: its view-only files are that one's to clean up.
    std::optional<DownloadOrder> m_waitedDownload;
    std::function<bool()> m_endHeard;
    // Objects with an image indexed since the tracked viewer was last fed, by series.
    QHash<QString, QStringList> m_unshown;
    QTimer m_feedTimer;
};

} // namespace pacs
