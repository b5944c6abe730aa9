#pragma once
// One of up to four workers that download a study from a hosting workstation at once, each on its own
// thread over its own tunnel to one of the host's worker listeners. It fetches a contiguous range of
// the study's file indexes into destDir, resuming partial files, and marks each complete file with an
// empty "<name>.done", so a later run skips it. A file is named after the object the host listed for its
// index ("<SOP Instance UID>.dcm"), so that a later run after the host's study changed finds each object
// under its own name; "%1.dcm" by the index when the host does not name objects. A partial is resumed
// only when "<name>.part" (remotepartial) records it as the file the worker created, or as its copy (the
// folder copied with the data folder to another disk, which gives the file another identity, with or
// without the mark the record and the file bear): the record is made before the file and says what the
// file holds before each write, so that a worker killed at any moment leaves no file of its own that its
// record, or a copy of its record, does not prove. A complete file is marked with the digest of its bytes. A file of any other origin
// under the name, or a link, is left as it is and the file fails. While a partial is written it is held
// exclusively, so a second download into the same folder (another window, another copy of the program)
// never writes into it. A file asked for as an object is kept only when it holds that object. A marked
// file of a host that names no objects is first compared with the host's file at its index: the host's
// study may have changed since, and the file be another object now.

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

class RemoteAccessClient;

class RemoteParallelDownloadWorker : public QObject
{
    Q_OBJECT

public:
    static constexpr int connectAttempts = 3;
    static constexpr int downloadTries = 5;
    static constexpr int pauseMs = 2000;
    static constexpr int connectTimeoutMs = 15000;
    static constexpr int downloadTimeoutMs = 30000;

    RemoteParallelDownloadWorker(const QString& host, int port, const QString& token, const QString& certFingerprint,
                                 const QString& secret, const QString& studyUid, const QString& destDir, int firstIndex, int endIndex,
                                 const QString& listenerId, QObject* parent = nullptr);

    // The SOP Instance UIDs the host listed for the range, in index order; before `run`.
    void expectObjects(const QStringList& sopInstanceUids) { objects = sopInstanceUids; }
    // The name of the file of the object listed at `index` (empty: not named).
    static QString fileNameFor(const QString& object, int index);
    // Before the workers of a study run (`objects` as the host listed them for its `fileCount` files):
    // true when every file under those names is marked complete, a worker's own partial or one another
    // download holds; otherwise false with the words naming every file a worker would keep as it is,
    // so that the user removes them all before one retry, not one per retry.
    static bool findsOnlyItsOwnFiles(const QString& destDir, const QStringList& objects, int fileCount,
                                     QString* error);
    // Before `run`: downloads nothing, but compares each file of the range with the host's file at its
    // index (a host that names no objects, once every file has come), so that no byte travels; one that
    // differs fails the range as the study changed during the download.
    void compareOnly() { comparing = true; }

    // After `run`: a file was not the host's file at its index any more (a host that names no objects),
    // so what was downloaded cannot be continued.
    bool foundStudyChanged() const { return studyChanged; }

public slots:
    void run();
    // Safe from any thread; seen before the next file and the next try.
    void requestStop();

signals:
    void fileDownloaded(int index, const QString& destPath);
    void fileFailed(const QString& error);
    void finished();

private:
    bool stillTheHostsFile(RemoteAccessClient& client, int folder, int index, const QString& filePath,
                           QString* error);

    QString host;
    int port;
    QString token;
    QString certFingerprint;
    QString secret;
    QString studyUid;
    QString destDir;
    int firstIndex;
    int endIndex;
    QString listenerId;
    QStringList objects;
    std::atomic_bool stopRequested{false};
    bool comparing = false;
    bool studyChanged = false;
};

namespace remotedownload::testing {
// Called by a worker between making a partial and writing its identity into the record beside it
// (null: nothing). Tests only: it lets a test stop the worker at that very moment.
void setBeforeRecordHook(void (*hook)(void* context), void* context);
} // namespace remotedownload::testing
