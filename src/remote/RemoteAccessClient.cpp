#include "remote/RemoteAccessClient.h"

#include "remote/RemoteProtocol.h"
#include "remote/RemoteTunnelSocket.h"

#include "platform/OwnFileDoor.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QScopeGuard>
#include <QSet>
#include <QTimer>
#include <QtDebug>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QString connectTimeoutText()
{
    return QStringLiteral("Таймаут подключения — сервер не отвечает. Проверьте, что на удалённом компьютере включён "
                          "приём подключений (\"Удалённый доступ\" → \"Принимать удалённые подключения\").");
}

QString noConnectionText()
{
    return QStringLiteral("нет соединения");
}

QString swappedText(const QString& path)
{
    return QStringLiteral("файл %1 заменён другим во время скачивания — скачанное не засчитано").arg(path);
}

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// The SHA-256 of the whole file as it lies on the disk now, read through its descriptor (the file
// written, not whatever its name leads to); empty when it is not `size` bytes long or cannot be read.
// Not the bytes this download received: another writer's, and a part held from before, count as well.
QByteArray wholeFileDigest(int fd, qint64 size)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || qint64(st.st_size) != size)
        return {};
    remoteproto::Sha256 digest;
    QByteArray block(remoteproto::fileChunkBytes, Qt::Uninitialized);
    for (qint64 at = 0;;) {
        const ssize_t got = ::pread(fd, block.data(), size_t(block.size()), off_t(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return {};
        if (got == 0)
            return at == size ? digest.hex() : QByteArray();
        digest.add(QByteArrayView(block.constData(), got));
        at += got;
    }
}

QString changedStudyText(const QString& listed, const QString& sent)
{
    return QStringLiteral("исследование на удалённом компьютере изменилось во время скачивания: вместо объекта %1 "
                          "передан %2 — повторите скачивание")
        .arg(listed, sent.isEmpty() ? QStringLiteral("файл без указания объекта") : sent.left(64));
}

// The objects of a file list: as many as it counts, each named once.
bool readObjects(const QJsonValue& value, int count, QStringList* objects)
{
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() != count || count > RemoteAccessClient::maxReplyEntries)
        return false;
    QSet<QString> seen;
    seen.reserve(count);
    objects->reserve(count);
    for (const QJsonValue& element : array) {
        const QString uid = element.toString();
        if (uid.isEmpty() || uid.size() > RemoteAccessClient::maxObjectUidLength || seen.contains(uid))
            return false;
        seen.insert(uid);
        objects->append(uid);
    }
    return true;
}

} // namespace

// Clears the busy mark when an operation returns, whichever way it returns.
class OperationScope
{
public:
    explicit OperationScope(bool* running)
        : running(running)
    {
    }
    ~OperationScope()
    {
        if (running)
            *running = false;
    }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

private:
    bool* running;
};

bool RemoteAccessClient::beginOperation(QString* error)
{
    if (operationRunning) {
        setError(error, QStringLiteral("предыдущий запрос к удалённому компьютеру ещё не завершён"));
        return false;
    }
    operationRunning = true;
    return true;
}

RemoteAccessClient::RemoteAccessClient(QObject* parent)
    : QObject(parent)
{
}

RemoteAccessClient::~RemoteAccessClient()
{
    abandonConnection();
}

void RemoteAccessClient::abandonConnection()
{
    if (!socket)
        return;
    socket->disconnect(this);
    socket->close();
    // Out of the child list, so the close handshake can finish after the client is gone.
    socket->setParent(nullptr);
    socket->deleteLater();
    socket = nullptr;
}

bool RemoteAccessClient::connectToServer(const QString& host, int port, const QString& token,
                                         const QString& certFingerprint, const QString& secret, QString* error,
                                         int timeoutMs, const QString& listenerId)
{
    if (!beginOperation(error))
        return false;
    const OperationScope scope(&operationRunning);
    QElapsedTimer clock;
    clock.start();
    QString reason;
    if (connectOnce(host, port, token, certFingerprint, secret, timeoutMs, listenerId, &reason))
        return true;
    // The host renews a listener that has waited long without a client; one renewed while this client
    // was pairing with it cuts the pairing, and its successor is already waiting. Once only: a relay that
    // cuts every pairing is not asked again and again.
    const qint64 left = timeoutMs - clock.elapsed();
    if (socket && socket->wasCutWhilePairing() && left > 0) {
        qWarning() << "RemoteAccessClient: соединение закрыто до подтверждения ключей, повторная попытка";
        if (connectOnce(host, port, token, certFingerprint, secret, int(left), listenerId, &reason))
            return true;
    }
    setError(error, reason.isEmpty() ? connectTimeoutText() : reason);
    return false;
}

bool RemoteAccessClient::connectOnce(const QString& host, int port, const QString& token,
                                     const QString& certFingerprint, const QString& secret, int timeoutMs,
                                     const QString& listenerId, QString* reason)
{
    abandonConnection();
    socket = new RemoteTunnelSocket(TunnelRole::Client, this);
    connect(socket, &RemoteTunnelSocket::disconnectedFromRelay, this, &RemoteAccessClient::disconnectedUnexpectedly);

    QEventLoop loop;
    QObject waitScope; // the wait's connections end with it
    bool reached = false;
    reason->clear();
    connect(socket, &RemoteTunnelSocket::connectedToPeer, &waitScope, [&] {
        reached = true;
        loop.quit();
    });
    connect(socket, &RemoteTunnelSocket::connectionFailed, &waitScope, [&](const QString& r) {
        *reason = r;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &waitScope, [&] { loop.quit(); });
    socket->connectToRelay(host, port, listenerId, token, certFingerprint, secret);
    loop.exec();
    return reached;
}

bool RemoteAccessClient::isConnected() const
{
    return socket && socket->isPeerReady();
}

QByteArray RemoteAccessClient::request(const QJsonObject& request, QString* error, int timeoutMs)
{
    if (!beginOperation(error))
        return {};
    const OperationScope scope(&operationRunning);
    if (!socket) {
        setError(error, noConnectionText());
        return {};
    }
    QEventLoop loop;
    QObject waitScope;
    bool gotReply = false;
    QByteArray reply;
    bool dropped = false;
    QString reason;
    connect(socket, &RemoteTunnelSocket::frameReceived, &waitScope, [&](const QByteArray& plaintext) {
        if (gotReply || dropped)
            return;
        gotReply = true;
        reply = plaintext;
        loop.quit();
    });
    connect(socket, &RemoteTunnelSocket::disconnectedFromRelay, &waitScope, [&](const QString& r) {
        dropped = true;
        reason = r;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &waitScope, [&] { loop.quit(); });
    socket->sendFrame(remoteproto::toFrame(request));
    loop.exec();

    if (gotReply)
        return reply;
    abandonConnection();
    setError(error, dropped && !reason.isEmpty() ? QStringLiteral("Соединение прервано: %1").arg(reason)
                                                 : QStringLiteral("Нет ответа от сервера (таймаут)"));
    return {};
}

bool RemoteAccessClient::expectReply(const QJsonObject& requestMessage, const QString& expectedType,
                                     QJsonObject* reply, QString* error, int timeoutMs)
{
    QString requestError;
    const QByteArray plaintext = request(requestMessage, &requestError, timeoutMs);
    if (plaintext.isEmpty() && !requestError.isEmpty()) {
        setError(error, requestError);
        return false;
    }
    QJsonObject message;
    remoteproto::parseMessage(plaintext, &message);
    const QString type = remoteproto::typeOf(message);
    if (type == QLatin1String("error")) {
        setError(error, remoteproto::readString(message, QStringLiteral("message")));
        return false;
    }
    if (type != expectedType) {
        abandonConnection();
        setError(error, QStringLiteral("некорректный ответ сервера"));
        return false;
    }
    *reply = message;
    return true;
}

bool RemoteAccessClient::replyArray(const QJsonObject& reply, const char* key, QJsonArray* array,
                                    QString* error)
{
    // Checked before anything is built from it: a 64 MiB reply of bare numbers would otherwise turn into
    // tens of millions of entries.
    *array = reply.value(QLatin1String(key)).toArray();
    if (array->size() <= maxReplyEntries
        && std::all_of(array->begin(), array->end(), [](const QJsonValue& v) { return v.isObject(); }))
        return true;
    abandonConnection();
    setError(error, QStringLiteral("некорректный ответ сервера"));
    return false;
}

bool RemoteAccessClient::listStudies(QList<RemoteStudyEntry>* out, QString* error, int timeoutMs)
{
    QJsonObject reply;
    QJsonArray entries;
    if (!expectReply(remoteproto::message(QStringLiteral("listStudies")), QStringLiteral("studies"), &reply, error,
                     timeoutMs)
        || !replyArray(reply, "studies", &entries, error))
        return false;
    if (!out)
        return true;
    out->clear();
    for (const QJsonValue& value : std::as_const(entries)) {
        const QJsonObject o = value.toObject();
        RemoteStudyEntry e;
        e.uid = remoteproto::readString(o, QStringLiteral("uid"));
        e.patientName = remoteproto::readString(o, QStringLiteral("patientName"));
        e.patientId = remoteproto::readString(o, QStringLiteral("patientId"));
        e.studyDate = remoteproto::readString(o, QStringLiteral("studyDate"));
        e.studyDescription = remoteproto::readString(o, QStringLiteral("studyDescription"));
        e.modalities = remoteproto::readString(o, QStringLiteral("modalities"));
        e.seriesCount = remoteproto::readInt(o, QStringLiteral("seriesCount"), 0);
        e.instanceCount = remoteproto::readInt(o, QStringLiteral("instanceCount"), 0);
        out->append(e);
    }
    return true;
}

bool RemoteAccessClient::getFileList(const QString& studyUid, int* count, QString* error, int timeoutMs,
                                     QStringList* objects)
{
    QJsonObject reply;
    const QJsonObject req =
        remoteproto::message(QStringLiteral("getFileList"), {{QStringLiteral("studyUid"), studyUid}});
    if (!expectReply(req, QStringLiteral("fileList"), &reply, error, timeoutMs))
        return false;
    const int listed = remoteproto::readInt(reply, QStringLiteral("count"), 0);
    QStringList named;
    const QJsonValue names = reply.value(QStringLiteral("sopInstanceUids"));
    if (!names.isUndefined() && !readObjects(names, listed, &named)) {
        abandonConnection();
        setError(error, QStringLiteral("некорректный ответ сервера"));
        return false;
    }
    if (count)
        *count = listed;
    if (objects)
        *objects = named;
    return true;
}

bool RemoteAccessClient::listPacsServers(QList<RemotePacsServerEntry>* out, QString* error, int timeoutMs)
{
    QJsonObject reply;
    QJsonArray entries;
    if (!expectReply(remoteproto::message(QStringLiteral("listPacsServers")), QStringLiteral("pacsServers"), &reply,
                     error, timeoutMs)
        || !replyArray(reply, "servers", &entries, error))
        return false;
    if (!out)
        return true;
    out->clear();
    for (const QJsonValue& value : std::as_const(entries)) {
        const QJsonObject o = value.toObject();
        out->append({remoteproto::readInt(o, QStringLiteral("index"), -1),
                     remoteproto::readString(o, QStringLiteral("name"))});
    }
    return true;
}

bool RemoteAccessClient::pacsFind(int serverIndex, const QString& patientName, const QString& patientId,
                                  const QString& modality, const QString& dateFrom, const QString& dateTo,
                                  QList<RemotePacsStudyRow>* out, QString* error, int timeoutMs, bool* incomplete)
{
    const QJsonObject req = remoteproto::message(QStringLiteral("pacsFind"),
                                                 {
                                                     {QStringLiteral("serverIndex"), serverIndex},
                                                     {QStringLiteral("patientName"), patientName},
                                                     {QStringLiteral("patientId"), patientId},
                                                     {QStringLiteral("modality"), modality},
                                                     {QStringLiteral("dateFrom"), dateFrom},
                                                     {QStringLiteral("dateTo"), dateTo},
                                                 });
    QJsonObject reply;
    QJsonArray entries;
    if (!expectReply(req, QStringLiteral("pacsResults"), &reply, error, timeoutMs)
        || !replyArray(reply, "results", &entries, error))
        return false;
    if (incomplete)
        *incomplete = reply.value(QStringLiteral("incomplete")).toBool(false);
    if (!out)
        return true;
    out->clear();
    for (const QJsonValue& value : std::as_const(entries)) {
        const QJsonObject o = value.toObject();
        auto s = [&](const char* key) { return remoteproto::readString(o, QLatin1String(key)); };
        out->append({s("uid"), s("patientName"), s("patientId"), s("studyDate"), s("studyDescription"),
                     s("modalities"), s("numberOfSeries"), s("numberOfInstances")});
    }
    return true;
}

bool RemoteAccessClient::pacsRetrieve(int serverIndex, const QString& studyUid,
                                      const std::function<void(int)>& progress, QString* error, int timeoutMs,
                                      const std::function<void(int)>& queued)
{
    if (!beginOperation(error))
        return false;
    const OperationScope scope(&operationRunning);
    if (!socket) {
        setError(error, noConnectionText());
        return false;
    }
    QEventLoop loop;
    QObject waitScope;
    bool ended = false;
    bool ok = false;
    bool answered = false; // "error" or "pacsRetrieveDone": the request ended cleanly
    QString text;
    QTimer silence;
    silence.setSingleShot(true);
    connect(&silence, &QTimer::timeout, &waitScope, [&] {
        text = QStringLiteral("сервер долго не отвечает — возможно, зависший PACS-запрос");
        ended = true;
        loop.quit();
    });
    connect(socket, &RemoteTunnelSocket::frameReceived, &waitScope, [&](const QByteArray& plaintext) {
        if (ended)
            return;
        silence.start(timeoutMs);
        QJsonObject message;
        remoteproto::parseMessage(plaintext, &message);
        const QString type = remoteproto::typeOf(message);
        if (type == QLatin1String("pacsRetrieveQueued")) {
            if (queued)
                queued(remoteproto::readInt(message, QStringLiteral("position"), 0));
        } else if (type == QLatin1String("pacsRetrieveProgress")) {
            if (progress)
                progress(remoteproto::readInt(message, QStringLiteral("received"), 0));
        } else if (type == QLatin1String("pacsRetrieveDone")) {
            ok = answered = true;
            ended = true;
            loop.quit();
        } else if (type == QLatin1String("error")) {
            text = remoteproto::readString(message, QStringLiteral("message"));
            answered = true;
            ended = true;
            loop.quit();
        }
    });
    connect(socket, &RemoteTunnelSocket::disconnectedFromRelay, &waitScope, [&](const QString& reason) {
        if (ended)
            return;
        text = reason;
        ended = true;
        loop.quit();
    });
    silence.start(timeoutMs);
    socket->sendFrame(remoteproto::toFrame(remoteproto::message(
        QStringLiteral("pacsRetrieve"),
        {{QStringLiteral("serverIndex"), serverIndex}, {QStringLiteral("studyUid"), studyUid}})));
    // A callback may spin events itself; the wait ends only through `ended`.
    if (!ended)
        loop.exec();
    silence.stop();
    if (!answered)
        abandonConnection();

    if (ok)
        return true;
    setError(error,
             text.isEmpty() ? QStringLiteral("не удалось получить исследование с PACS удалённого компьютера") : text);
    return false;
}

bool RemoteAccessClient::downloadFile(const QString& studyUid, int index, const QString& destPath,
                                      const std::function<void(qint64, qint64)>& progress, QString* error,
                                      int timeoutMs, const QString& object, bool* final)
{
    if (operationRunning) // nothing is made under the name for a download that cannot start
        return beginOperation(error);
    const QFileInfo target(destPath);
    const QByteArray name = QFile::encodeName(target.fileName());
    const int folder = ::open(QFile::encodeName(target.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A link at the name is not followed to a file elsewhere.
    const int fd = folder < 0 ? -1
                              : ::openat(folder, name.constData(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                                         0644);
    const auto closing = qScopeGuard([&] {
        if (fd >= 0)
            ::close(fd);
        if (folder >= 0)
            ::close(folder);
    });
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        setError(error, QStringLiteral("не удалось открыть локальный файл %1").arg(destPath));
        return false;
    }
    const platform::FileId opened = platform::FileId::ofOpen(fd);
    bool discard = false;
    if (transfer({studyUid, index, object, fd, destPath, nullptr, {}}, progress, error, timeoutMs, &discard, final)) {
        struct stat now {};
        if (::fstatat(folder, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
            && platform::FileId{quint64(now.st_dev), quint64(now.st_ino), true} == opened)
            return true;
        setError(error, swappedText(destPath));
        return false;
    }
    if (discard) // the file this download wrote, not one that came under its name since
        platform::OwnFileDoor({target.path()}).remove(destPath, platform::OwnProof::made(opened));
    return false;
}

bool RemoteAccessClient::downloadInto(const QString& studyUid, int index, int fd, const QString& shownPath,
                                      const std::function<void(qint64, qint64)>& progress, QString* error,
                                      int timeoutMs, const QString& object, bool* final,
                                      const std::function<bool(const char*, qint64, QString*)>& beforeWrite)
{
    bool discard = false;
    if (transfer({studyUid, index, object, fd, shownPath, nullptr, beforeWrite}, progress, error, timeoutMs,
                 &discard, final))
        return true;
    // The caller's own file: emptied through its descriptor, whatever lies under its name now.
    if (discard && ::ftruncate(fd, 0) != 0)
        qWarning() << "RemoteAccessClient: не удалось очистить файл" << shownPath;
    return false;
}

bool RemoteAccessClient::matchesHostFile(const QString& studyUid, int index, int fd, const QString& shownPath,
                                         bool* same, QString* error, int timeoutMs, bool* final)
{
    bool differs = false;
    bool discard = false;
    *same = false;
    if (transfer({studyUid, index, {}, fd, shownPath, &differs, {}}, {}, error, timeoutMs, &discard, final)) {
        *same = true;
        return true;
    }
    return differs;
}

bool RemoteAccessClient::transfer(const Transfer& file, const std::function<void(qint64, qint64)>& progress,
                                  QString* error, int timeoutMs, bool* discard, bool* final)
{
    *discard = false;
    if (final)
        *final = false;
    if (!beginOperation(error))
        return false;
    const OperationScope scope(&operationRunning);
    if (!socket) {
        setError(error, noConnectionText());
        return false;
    }
    struct stat held {};
    if (::fstat(file.fd, &held) != 0) {
        setError(error, QStringLiteral("не удалось открыть локальный файл %1").arg(file.shownPath));
        return false;
    }
    const qint64 startOffset = qint64(held.st_size);

    qint64 expectedSize = -1;
    qint64 received = startOffset;
    QByteArray expectedDigest;
    bool headerSeen = false;
    bool failed = false;
    bool deleteFile = false;
    bool answered = false; // the host's "error" reply: the request ended cleanly
    bool lasting = false;
    bool ended = false;
    QString text;

    QEventLoop loop;
    QObject waitScope;
    QTimer silence;
    silence.setSingleShot(true);
    const bool comparing = file.differs != nullptr;
    if (comparing)
        *file.differs = false;
    auto finish = [&](bool failure, bool removeFile, const QString& message) {
        failed = failure;
        deleteFile = removeFile && !comparing; // a file only compared is the caller's as it is
        if (failure)
            text = message;
        ended = true;
        loop.quit();
    };
    const auto notTheHostsFile = [&] {
        *file.differs = true;
        finish(true, false,
               QStringLiteral("файл %1 не совпадает с файлом, который удалённый компьютер сейчас даёт "
                              "под номером %2")
                   .arg(file.shownPath)
                   .arg(file.index));
    };
    auto finishChecked = [&] {
        if (wholeFileDigest(file.fd, expectedSize) == expectedDigest)
            finish(false, false, {});
        else if (comparing)
            notTheHostsFile();
        else
            finish(true, true,
                   QStringLiteral("контрольная сумма файла не совпала с исходной — файл повреждён при передаче, "
                                  "он будет скачан заново"));
    };
    connect(&silence, &QTimer::timeout, &waitScope,
            [&] { finish(true, false, QStringLiteral("таймаут при скачивании файла")); });
    connect(socket, &RemoteTunnelSocket::disconnectedFromRelay, &waitScope, [&](const QString& reason) {
        if (!ended)
            finish(true, false, reason);
    });
    connect(socket, &RemoteTunnelSocket::frameReceived, &waitScope, [&](const QByteArray& plaintext) {
        if (ended)
            return;
        silence.start(timeoutMs);
        if (!headerSeen) {
            QJsonObject message;
            if (!remoteproto::parseMessage(plaintext, &message)) {
                finish(true, true, QStringLiteral("некорректный заголовок файла"));
                return;
            }
            const QString type = remoteproto::typeOf(message);
            if (type == QLatin1String("error")) {
                answered = true;
                lasting = message.value(QStringLiteral("final")).toBool(false);
                finish(true, true, remoteproto::readString(message, QStringLiteral("message")));
                return;
            }
            if (type != QLatin1String("fileHeader")) {
                finish(true, true, QStringLiteral("неожиданный ответ вместо заголовка файла"));
                return;
            }
            // The part held is of the object listed: it stays for the next download of that object.
            const QString sent = remoteproto::readString(message, QStringLiteral("sopInstanceUid"));
            if (!file.object.isEmpty() && sent != file.object) {
                lasting = true;
                finish(true, false, changedStudyText(file.object, sent));
                return;
            }
            const qint64 offset = remoteproto::readInt64(message, QStringLiteral("offset"));
            // Another size at the host: its bytes follow, and are not taken.
            const qint64 hostSize = remoteproto::readInt64(message, QStringLiteral("sizeBytes"));
            if (comparing && (offset != startOffset || hostSize != startOffset)) {
                notTheHostsFile();
                return;
            }
            if (offset != startOffset) {
                finish(true, true,
                       QStringLiteral("сервер вернул другую позицию файла (%1 вместо %2) — докачка невозможна")
                           .arg(offset)
                           .arg(startOffset));
                return;
            }
            expectedDigest = remoteproto::readString(message, QStringLiteral("sha256")).toLatin1().toLower();
            if (!remoteproto::isSha256Hex(expectedDigest)) {
                finish(true, true, QStringLiteral("некорректный заголовок файла"));
                return;
            }
            expectedSize = remoteproto::readInt64(message, QStringLiteral("sizeBytes"));
            headerSeen = true;
            if (expectedSize <= startOffset)
                finishChecked();
            return;
        }
        // Bytes past the announced size are not the file's: they are not written.
        const qint64 wanted = qMin<qint64>(plaintext.size(), expectedSize - received);
        if (QString why; wanted > 0 && file.beforeWrite && !file.beforeWrite(plaintext.constData(), wanted, &why)) {
            finish(true, false, why);
            return;
        }
        if (!writeAll(file.fd, plaintext.constData(), wanted)) {
            finish(true, false, QStringLiteral("не удалось записать локальный файл %1").arg(file.shownPath));
            return;
        }
        received += wanted;
        if (progress)
            progress(received, expectedSize);
        if (received >= expectedSize)
            finishChecked();
    });

    QJsonObject keys{{QStringLiteral("studyUid"), file.studyUid},
                     {QStringLiteral("index"), file.index},
                     {QStringLiteral("offset"), double(startOffset)}};
    if (!file.object.isEmpty())
        keys.insert(QStringLiteral("sopInstanceUid"), file.object);
    silence.start(timeoutMs);
    socket->sendFrame(remoteproto::toFrame(remoteproto::message(QStringLiteral("getFile"), keys)));
    if (!ended)
        loop.exec();
    silence.stop();

    if (!failed && headerSeen && received >= expectedSize)
        return true;
    if (!answered)
        abandonConnection();
    if (!failed)
        text = QStringLiteral("Таймаут при скачивании файла");
    if (text.isEmpty())
        text = QStringLiteral("соединение прервано во время скачивания — частично скачанный файл сохранён, повторная "
                              "попытка продолжит с этого места.");
    setError(error, text);
    *discard = deleteFile;
    if (final)
        *final = lasting;
    return false;
}
