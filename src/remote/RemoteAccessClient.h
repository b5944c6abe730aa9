#pragma once
// The connecting side of remote access: one tunnel to a hosting workstation and blocking operations,
// one per request. Each operation sends its request and waits in a local event loop (the thread's
// other events keep running) until the reply, the loss of the connection or its time-out.

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class RemoteTunnelSocket;

// One study of the host's archive.
struct RemoteStudyEntry
{
    QString uid;
    QString patientName;
    QString patientId;
    QString studyDate;
    QString studyDescription;
    QString modalities;
    int seriesCount = 0;
    int instanceCount = 0;
};

// One PACS server of the host: its position in the host's configuration and the name to show.
struct RemotePacsServerEntry
{
    int index = -1;
    QString name;
};

// One study the host's C-FIND found; the counts are texts as the PACS gave them.
struct RemotePacsStudyRow
{
    QString uid;
    QString patientName;
    QString patientId;
    QString studyDate;
    QString studyDescription;
    QString modalities;
    QString numberOfSeries;
    QString numberOfInstances;
};

class RemoteAccessClient : public QObject
{
    Q_OBJECT

public:
    // A list reply ("studies", "servers", "results") with more elements than this is refused: far above
    // any archive or search, far below what would exhaust the memory (the tunnel lets 64 MiB through).
    static constexpr int maxReplyEntries = 500000;
    // A listed object's UID may be longer than DICOM allows (a damaged file's), but never so long that a
    // request naming it would be refused by the host.
    static constexpr int maxObjectUidLength = 1024;

    explicit RemoteAccessClient(QObject* parent = nullptr);
    ~RemoteAccessClient() override;

    // `secret` is the end-to-end secret of the connection code; the token only admits to the relay.
    bool connectToServer(const QString& host, int port, const QString& token, const QString& certFingerprint,
                         const QString& secret, QString* error, int timeoutMs, const QString& listenerId);
    bool isConnected() const;

    bool listStudies(QList<RemoteStudyEntry>* out, QString* error, int timeoutMs);
    // `objects`, when given, gets the SOP Instance UID of the object at each index, or stays empty when
    // the host does not say (an older host). A list that does not name `count` distinct objects is refused.
    bool getFileList(const QString& studyUid, int* count, QString* error, int timeoutMs,
                     QStringList* objects = nullptr);
    bool listPacsServers(QList<RemotePacsServerEntry>* out, QString* error, int timeoutMs);
    // `incomplete`, when given, tells whether the PACS cut its answer short (false from a host that
    // does not say).
    bool pacsFind(int serverIndex, const QString& patientName, const QString& patientId, const QString& modality,
                  const QString& dateFrom, const QString& dateTo, QList<RemotePacsStudyRow>* out, QString* error,
                  int timeoutMs, bool* incomplete = nullptr);
    // The wait is restarted by every frame from the host (queue positions, progress).
    bool pacsRetrieve(int serverIndex, const QString& studyUid, const std::function<void(int)>& progress,
                      QString* error, int timeoutMs, const std::function<void(int)>& queued);
    // Resumes from the size of destPath; the wait is restarted by every frame from the host. The file
    // counts only when the whole of it, as it lies on the disk at the end, is the host's size and SHA-256:
    // whatever else wrote to it meanwhile, it is no success. A mismatch deletes it, so the next call
    // starts from 0.
    // destPath is the caller's own partial, or nothing; a link there is not followed, and a file put under
    // the name in place of the one written is no success.
    // `object`, when given, is the SOP Instance UID the file list named at `index`: the host serves that
    // object, and a file of any other object is refused. `final`, when given, is set when asking again
    // now would get the same refusal (the host's study changed or is still being received).
    bool downloadFile(const QString& studyUid, int index, const QString& destPath,
                      const std::function<void(qint64, qint64)>& progress, QString* error, int timeoutMs,
                      const QString& object = {}, bool* final = nullptr);
    // The same into a regular file the caller opened and made its own (read and write, appending),
    // resumed from its size; where downloadFile deletes the file, this empties it. shownPath names it in
    // the error texts.
    bool downloadInto(const QString& studyUid, int index, int fd, const QString& shownPath,
                      const std::function<void(qint64, qint64)>& progress, QString* error, int timeoutMs,
                      const QString& object = {}, bool* final = nullptr,
                      const std::function<bool(const char* data, qint64 size, QString* error)>& beforeWrite = {});
    // Whether the complete file the caller holds open (it is only read) is the host's file at `index` as
    // the host lists the study now: of the host's size and SHA-256, asked for from its end so that no byte
    // travels. A host that names no objects may hold another object at an index since a file was got
    // there. True with `same` set once the host has answered; false with the error otherwise (`final` as
    // for downloadFile).
    bool matchesHostFile(const QString& studyUid, int index, int fd, const QString& shownPath, bool* same,
                         QString* error, int timeoutMs, bool* final = nullptr);
    // Sends one request and returns the first frame after it, or empty with the error set.
    // Every failed wait (time-out, lost connection, unexpected reply, size or checksum error) closes the
    // tunnel, so nothing late from this request can pass for the reply of the next one: the next call
    // connects afresh. An "error" reply ends its request cleanly and keeps the connection.
    QByteArray request(const QJsonObject& request, QString* error, int timeoutMs);

signals:
    void disconnectedUnexpectedly(const QString& reason);

private:
    // The reply as a JSON object of the expected type; false with the error text otherwise.
    bool expectReply(const QJsonObject& request, const QString& expectedType, QJsonObject* reply, QString* error,
                     int timeoutMs);
    // The reply's array under `key` when every element is an object and there are at most maxReplyEntries;
    // false, with the connection given up, otherwise.
    bool replyArray(const QJsonObject& reply, const char* key, QJsonArray* array, QString* error);

    // One connection attempt on a new tunnel: true once the peer has confirmed the keys, else false with
    // the tunnel's reason (empty after a silent time-out).
    bool connectOnce(const QString& host, int port, const QString& token, const QString& certFingerprint,
                     const QString& secret, int timeoutMs, const QString& listenerId, QString* reason);
    struct Transfer
    {
        QString studyUid;
        int index = -1;
        QString object;
        int fd = -1;
        QString shownPath;
        // Only compared with the host's file, never written: `differs` tells that it is not that file.
        bool* differs = nullptr;
        // Told of each run of bytes before it is written into the file; false (with the error) stops
        // the download with the file as it is.
        std::function<bool(const char* data, qint64 size, QString* error)> beforeWrite;
    };
    // One download into the open file; `discard`: the file holds what is not the host's file.
    bool transfer(const Transfer& file, const std::function<void(qint64, qint64)>& progress, QString* error,
                  int timeoutMs, bool* discard, bool* final);
    // Marks the client busy for one operation; false when another operation already waits.
    bool beginOperation(QString* error);
    void abandonConnection();

    RemoteTunnelSocket* socket = nullptr;
    // True while an operation waits in its local loop. The loop delivers user input, so a second
    // operation could start on the same connection and take the first one's reply as its own.
    bool operationRunning = false;
};
