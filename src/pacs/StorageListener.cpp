#include "pacs/StorageListener.h"

#include "dicom/DicomFileSummary.h"
#include "dicom/DicomNesting.h"

#include "pacs/FramedTransportLayer.h"
#include "pacs/NetworkTuning.h"
#include "pacs/PacsNetworkClient.h"
#include "pacs/ReceivedFileWriter.h"
#include "pacs/ReceivedObjectAdmission.h"
#include "pacs/ReceivedObjectFile.h"
#include "pacs/ScuAssociation.h"
#include "pacs/StoreSpace.h"
#include "platform/OwnFileDoor.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmf.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dulstruc.h>
#include <dcmtk/dcmnet/scp.h>
#include <dcmtk/dcmnet/scpthrd.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace pacs {

namespace {

// How long one wait for an association lasts: the stop flag is looked at after each. Only a fallback:
// stop ends every such wait at once.
constexpr Uint32 kListenWaitSeconds = 30;
constexpr int kBindRetryMs = 500;
constexpr int kListenRetryMs = 200;
// Senders served at once; the one after them waits until one of them is done.
constexpr int kSendersAtOnce = 8;

const OFConditionConst kStopped{OFM_dcmnet, 0x4001, OF_error, "Listener stopped"};
const OFConditionConst kNoTemporaryFile{OFM_dcmnet, 0x4002, OF_error, "No temporary file for the incoming object"};

QString conditionText(const OFCondition& cond)
{
    return QString::fromUtf8(cond.text());
}

// Whether a socket of this machine listens on the port, IPv4 or IPv6, as the system lists its sockets;
// taken as listened on when the lists cannot be read.
// Why the system refused the listening port, in the user's words: DCMTK's text of it is English.
QString bindRefusalCause(const QString& cause)
{
    const auto says = [&cause](int code) {
        return cause.contains(QString::fromLocal8Bit(std::strerror(code)));
    };
    if (says(EADDRINUSE))
        return QStringLiteral("порт уже используется");
    if (says(EACCES) || says(EPERM))
        return QStringLiteral("нет прав открыть этот порт (порты ниже 1024 открывает только администратор)");
    if (says(EADDRNOTAVAIL))
        return QStringLiteral("адрес недоступен на этом компьютере");
    if (says(EMFILE) || says(ENFILE))
        return QStringLiteral("открыто слишком много соединений и файлов");
    return QStringLiteral("система отказала в открытии порта");
}

bool somethingListensOn(quint16 port)
{
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            return true;
        // A line: slot, local address:port, remote address:port, state (0A: listening), ...
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
            if (fields.size() < 4 || fields.at(3) != "0A")
                continue;
            bool ok = false;
            const QByteArray& local = fields.at(1);
            if (local.mid(local.lastIndexOf(':') + 1).toUInt(&ok, 16) == port && ok)
                return true;
        }
    }
    return false;
}

// The socket a network made by ASC_initializeNetwork listens on, which DCMTK keeps to itself.
DcmNativeSocketType listeningSocketOf(T_ASC_Network* network)
{
    return static_cast<PRIVATE_NETWORKKEY*>(network->network)->networkSpecific.TCP.listenSocket;
}

// DCMTK makes the listening socket itself, blocking and inherited by every process the program starts:
// a browser or mail client opened from the program would keep the port open after the program has
// let go of it (or ended), and no later listener could bind it. Made close-on-exec here, and
// non-blocking, since several servers wait on it and only one of them takes each sender.
void keepListeningSocketToItself(T_ASC_Network* network)
{
    const int fd = listeningSocketOf(network);
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

// Serves one association after another, each handed to it once accepted; several of them serve the
// listener's port at once.
class InternalStorageSCP : public DcmThreadSCP
{
public:
    InternalStorageSCP(StorageListener* listener, const QString& outputFolder)
        : m_listener(listener)
        , m_outputFolder(outputFolder)
    {
    }
    ~InternalStorageSCP() override = default;

protected:
    OFCondition handleIncomingCommand(T_DIMSE_Message* msg, const DcmPresentationContextInfo& info) override
    {
        if (msg->CommandField != DIMSE_C_STORE_RQ)
            return DcmSCP::handleIncomingCommand(msg, info);
        m_stored = false;
        const OFCondition cond = handleStore(msg->msg.CStoreRQ, info.presentationContextID);
        // A sender sends its objects one at a time, each once the one before is answered: once one
        // is stored, the file of the next is made while the sender readies it. On a file system busy
        // with files removed a little earlier, making a file costs more than receiving the object.
        if (cond.good() && m_stored && !m_listener->stopRequested())
            m_next = std::make_unique<ReceivedObjectFile>(stagingFolders(), ReceivedObjectFile::Creation::Made);
        // A sender that brought what a retrieve waits for keeps its place between its objects as long
        // as DCMTK waits, however many others want one.
        if (m_stored)
            if (FramedTcpConnection* connection = framedConnectionOf(associationOf(*this)))
                connection->keptSomething();
        return cond;
    }

    // A sender the framing watch cut off is named so, since DCMTK only saw a connection that closed:
    // inside a PDU it takes that for an error and aborts the association, between two PDUs for the
    // sender's abort.
    void notifyDIMSEError(const OFCondition& cond) override
    {
        DcmSCP::notifyDIMSEError(cond);
        reportFramingRefusal();
    }
    void notifyAbortRequest() override
    {
        DcmSCP::notifyAbortRequest();
        dropFileMadeAhead();
        reportFramingRefusal();
    }
    // Before the release is answered: a sender that has seen its association end finds no file of it.
    void notifyReleaseRequest() override
    {
        DcmSCP::notifyReleaseRequest();
        dropFileMadeAhead();
    }

private:
    void reportFramingRefusal()
    {
        const QString refusal =
            m_framing ? framingRefusalText(m_framing->load(), QStringLiteral("отправитель")) : QString();
        if (!refusal.isEmpty())
            emit m_listener->errorOccurred(QStringLiteral("Ошибка приёма соединения: %1").arg(refusal));
    }

    OFCondition handleStore(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID pcid)
    {
        // Received unparsed into a file next to where it will be kept, and parsed only once checked:
        // the one made for it, when it is where the objects go now.
        const std::unique_ptr<ReceivedObjectFile> file = ReceivedObjectFile::forObject(m_next, stagingFolders());
        ReceivedObjectFile& incoming = *file;
        if (!incoming.isValid()) {
            emit m_listener->errorOccurred(
                QStringLiteral("Ошибка приёма файла по C-STORE: %1").arg(incoming.errorString()));
            return kNoTemporaryFile;
        }
        m_refusedForSpace = false;
        const OFCondition cond = receiveUnparsed(request, pcid, incoming);
        if (m_refusedForSpace) {
            // Answered, and its file gone, as soon as it outgrew the store's room; the rest of it was
            // read past unwritten, unless its sender was cut off meanwhile.
            return cond.code() == DIMSEC_OUTOFRESOURCES ? OFCondition(EC_Normal) : cond;
        }
        if (cond.bad()) {
            const int writeError = errno;
            emit m_listener->errorOccurred(QStringLiteral("Ошибка приёма файла по C-STORE: %1")
                                               .arg(writeError == ENOSPC && cond.code() == DIMSEC_OUTOFRESOURCES
                                                        ? QStringLiteral("недостаточно места на диске")
                                                        : conditionText(cond)));
            if (cond.code() == DIMSEC_OUTOFRESOURCES) {
                const bool diskFull = writeError == ENOSPC || writeError == EDQUOT
                                   || storeBelowReserve(QFileInfo(incoming.path()).absolutePath());
                emit m_listener->studyFileRefused(QString(), diskFull);
                // DCMTK has read the rest of the object unwritten: the sender is told, and may go on.
                return sendSTOREResponse(pcid, request, STATUS_STORE_Refused_OutOfResources);
            }
            return cond;
        }
        if (m_listener->stopRequested()) {
            // The retrieve was cancelled: refuse and end the association at once.
            sendSTOREResponse(pcid, request, STATUS_STORE_Refused_OutOfResources);
            return kStopped;
        }
        QString error;
        std::unique_ptr<DcmFileFormat> received = openReceivedObject(incoming.path(), &error);
        if (!received) {
            emit m_listener->errorOccurred(QStringLiteral("Ошибка приёма файла по C-STORE: %1").arg(error));
            return sendSTOREResponse(pcid, request, STATUS_STORE_Error_CannotUnderstand);
        }
        // Routed and judged as its rows will be keyed and placed once it is listed.
        const dicom::ObjectIdentity object = dicom::objectIdentityOf(*received->getDataset());
        const QString& studyUid = object.studyInstanceUid;
        std::shared_ptr<ReceivedObjectAdmission> admission;
        const QString folder = m_outputFolder.isEmpty() ? m_listener->folderFor(studyUid, &admission) : m_outputFolder;
        if (folder.isEmpty()) {
            // Nobody waits for this study: it is not ours to keep.
            emit m_listener->errorOccurred(
                QStringLiteral("Отклонён объект исследования, которое не запрашивалось: %1").arg(studyUid));
            emit m_listener->foreignObjectRefused(studyUid);
            return sendSTOREResponse(pcid, request, STATUS_STORE_Error_CannotUnderstand);
        }
        if (admission) {
            const ReceivedObjectAdmission::Verdict verdict = admission->admit(
                object, [&](const QString& kept) { return holdsReceivedObject(kept, incoming.path(), *received); });
            // Kept once already, kept in other content, or its UID names another object here: no file of it.
            if (verdict == ReceivedObjectAdmission::Verdict::AlreadyKept)
                return sendSTOREResponse(pcid, request, STATUS_Success);
            if (verdict != ReceivedObjectAdmission::Verdict::Keep)
                return sendSTOREResponse(pcid, request, STATUS_STORE_Error_CannotUnderstand);
        }
        if (storeBelowReserve(folder)) {
            emit m_listener->errorOccurred(
                QStringLiteral("Ошибка приёма файла по C-STORE: недостаточно места на диске"));
            emit m_listener->studyFileRefused(studyUid, true);
            return sendSTOREResponse(pcid, request, STATUS_STORE_Refused_OutOfResources);
        }

        QString path;
        // Listed by the retrieve it is routed to, which is handed its summary.
        bool moved = false;
        const bool written =
            storeReceivedFile(incoming.path(), *received, folder, &path, &error, m_outputFolder.isEmpty(), &moved,
                              &incoming.written());
        const int writeError = errno;
        const ReceivedObjectAdmission::Verdict settled =
            written && admission ? admission->kept(object.sopInstanceUid, path) : ReceivedObjectAdmission::Verdict::Keep;
        // Values left in the temporary file are read by the write: it goes only after it.
        received.reset();
        if (moved)
            incoming.release();
        else
            incoming.remove();
        if (!written) {
            emit m_listener->errorOccurred(QStringLiteral("Ошибка приёма файла по C-STORE: %1").arg(error));
            emit m_listener->studyFileRefused(studyUid, writeError == ENOSPC || writeError == EDQUOT
                                                            || storeBelowReserve(folder));
            return sendSTOREResponse(pcid, request, STATUS_STORE_Refused_OutOfResources);
        }
        if (settled != ReceivedObjectAdmission::Verdict::Keep) {
            // Another copy of it, come at the same time, was kept first: in this very file, which that
            // copy reports; or, in other content, in a file of its own, and this one goes.
            if (settled == ReceivedObjectAdmission::Verdict::Differs)
                platform::OwnFileDoor({folder}).remove(path, platform::OwnProof::made(takeStoredFile(path)));
            return sendSTOREResponse(pcid, request,
                                     settled == ReceivedObjectAdmission::Verdict::AlreadyKept
                                         ? STATUS_Success
                                         : STATUS_STORE_Error_CannotUnderstand);
        }
        // Reported before the answer, so the PACS's final C-MOVE response comes after it.
        if (!m_listener->reportStored(studyUid, path)) {
            // Its retrieve stopped waiting while it was written: nobody would list a file made for it.
            platform::OwnFileDoor({folder}).remove(path, platform::OwnProof::made(takeStoredFile(path)));
            return sendSTOREResponse(pcid, request, STATUS_STORE_Refused_OutOfResources);
        }
        m_stored = true;
        return sendSTOREResponse(pcid, request, STATUS_Success);
    }

    // What DCMTK's receive into a file does, but behind the header the file is stored with.
    OFCondition receiveUnparsed(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID pcid, ReceivedObjectFile& file)
    {
        if (request.DataSetType == DIMSE_DATASET_NULL)
            return DIMSE_BADMESSAGE;
        T_ASC_Association* association = associationOf(*this);
        OFCondition cond = EC_Normal;
        const QString path = file.path();
        DcmOutputFileStream* stream = openReceiveStream(path, request, association, pcid, &cond, file.takeDescriptor(),
                                                          &file.written());
        if (!stream)
            return cond;
        T_ASC_PresentationContextID dataPcid = pcid;
        int writeError = 0;
        bool refused = false;
        {
            StoreBoundStream bounded(stream, QFileInfo(path).absolutePath(),
                                     [&] { refuseForSpace(request, pcid, file); }, &file.written());
            cond = DIMSE_receiveDataSetInFile(association, getDIMSEBlockingMode(), int(getDIMSETimeout()),
                                              &dataPcid, bounded.stream(), nullptr, nullptr);
            refused = bounded.refused();
            writeError = refused ? ENOSPC : errno;
        }
        if (cond.good() && refused)
            cond = makeDcmnetCondition(DIMSEC_OUTOFRESOURCES, OF_error, "Object larger than the store can take");
        errno = writeError; // the caller tells a full disk by it
        if (cond.good() && dataPcid != pcid)
            return makeDcmnetCondition(DIMSEC_INVALIDPRESENTATIONCONTEXTID, OF_error,
                                       "DIMSE: Presentation Contexts of Command and Data Set differ");
        return cond;
    }

    // An object that outgrew the store's room while it still comes: nothing more of it earns its
    // sender time, its file goes at once, and its sender is told at once, so that it need not send the
    // rest to learn it. What is still sent of it is read past.
    void refuseForSpace(const T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID pcid, ReceivedObjectFile& file)
    {
        m_refusedForSpace = true;
        if (FramedTcpConnection* connection = framedConnectionOf(associationOf(*this)))
            connection->refuseMoreTime();
        file.remove();
        emit m_listener->errorOccurred(QStringLiteral("Ошибка приёма файла по C-STORE: недостаточно места на диске"));
        emit m_listener->studyFileRefused(QString(), true);
        sendSTOREResponse(pcid, request, STATUS_STORE_Refused_OutOfResources);
    }

    // Where the temporary file of an incoming object goes: the listener's folder, or beside the
    // folders of the awaited studies (their parent outlives any one study's folder).
    QStringList stagingFolders() const
    {
        if (!m_outputFolder.isEmpty())
            return {m_outputFolder};
        QStringList folders;
        for (const QString& folder : m_listener->routeFolders()) {
            const QString parent = QFileInfo(folder).absolutePath();
            if (!folders.contains(parent))
                folders << parent;
        }
        return folders;
    }

    StorageListener* m_listener;
    QString m_outputFolder;
    // The file made for the sender's next object, until it comes or the association ends.
    std::unique_ptr<ReceivedObjectFile> m_next;
    bool m_stored = false; // the last object was stored
    bool m_refusedForSpace = false; // the object under way, and answered so

public:
    // The association is over: no object comes for the file made ahead.
    void dropFileMadeAhead() { m_next.reset(); }

    // The watch's verdict on the connection of the association served now.
    std::shared_ptr<const FramingVerdict> m_framing;
};

class StorageListener::PortHold
{
public:
    void letGo()
    {
        {
            std::lock_guard lock(m_mutex);
            m_held = false;
        }
        m_changed.notify_all();
    }
    // Until the port is let go, `stop` is set, or the deadline passes.
    void waitUntilLetGo(const std::atomic_bool& stop, const QDeadlineTimer& deadline)
    {
        std::unique_lock lock(m_mutex);
        // Looked at again every 50 ms for `stop`.
        while (m_held && !stop.load() && !deadline.hasExpired())
            m_changed.wait_for(lock, std::chrono::milliseconds(qMin(deadline.remainingTime(), qint64(50))));
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = true;
};

StorageListener::StorageListener(int port, const QString& aeTitle, const QString& outputFolder, QObject* parent)
    : QObject(parent)
    , m_port(static_cast<quint16>(port))
    , m_aeTitle(aeTitle)
    , m_outputFolder(outputFolder)
    , m_portHold(std::make_shared<PortHold>())
{
}

StorageListener::~StorageListener() = default;

void StorageListener::follow(const StorageListener& previous)
{
    m_predecessor = previous.m_portHold;
}

void StorageListener::addStudy(const QString& studyUid, const QString& folder,
                               std::shared_ptr<ReceivedObjectAdmission> admission)
{
    QMutexLocker lock(&m_routesMutex);
    m_routes.insert(studyUid, {folder, std::move(admission)});
}

void StorageListener::removeStudy(const QString& studyUid)
{
    QMutexLocker lock(&m_routesMutex);
    m_routes.remove(studyUid);
}

bool StorageListener::reportStored(const QString& studyUid, const QString& filePath)
{
    QMutexLocker lock(&m_routesMutex);
    if (m_outputFolder.isEmpty() && !m_routes.contains(studyUid))
        return false;
    emit fileReceived(filePath);
    emit studyFileReceived(studyUid, filePath);
    return true;
}

bool StorageListener::hasStudy(const QString& studyUid) const
{
    QMutexLocker lock(&m_routesMutex);
    return m_routes.contains(studyUid);
}

QString StorageListener::folderFor(const QString& studyUid, std::shared_ptr<ReceivedObjectAdmission>* admission) const
{
    QMutexLocker lock(&m_routesMutex);
    const Route route = m_routes.value(studyUid);
    if (admission)
        *admission = route.admission;
    return route.folder;
}

QStringList StorageListener::routeFolders() const
{
    QMutexLocker lock(&m_routesMutex);
    QStringList folders;
    for (const Route& route : m_routes)
        folders << route.folder;
    return folders;
}

void StorageListener::stop()
{
    m_stop = true;
    // The servers waiting for a sender would look at the flag only when their wait ends, and the
    // port would stay held meanwhile: a retrieve that starts then would wait for it. Shutting down
    // the listening socket ends every such wait at once; the socket is still the network's, which
    // run lets go of only under this lock.
    std::lock_guard lock(m_networkMutex);
    if (m_network)
        ::shutdown(listeningSocketOf(m_network), SHUT_RD);
}

void StorageListener::serveSenders(T_ASC_Network* network)
{
    InternalStorageSCP scp(this, m_outputFolder);
    configureAcceptor(scp);
    scp.setAETitle(m_aeTitle.toUtf8().constData());
    OFList<OFString> syntaxes;
    for (const QString& ts : storageTransferSyntaxes())
        syntaxes.push_back(ts.toLatin1().constData());
    for (const QString& sopClass : storageSopClasses())
        scp.addPresentationContext(sopClass.toLatin1().constData(), syntaxes, ASC_SC_ROLE_DEFAULT, "DEFAULT");
    const long maxPdu = long(scp.getConfig().getMaxReceivePDULength());
    while (!m_stop.load()) {
        T_ASC_Association* association = nullptr;
        // Each of the servers waits for the next sender; the one that takes it reads its request. The
        // wait ends at stop, or every kListenWaitSeconds, and the stop flag is looked at.
        const OFCondition cond = ASC_receiveAssociation(network, &association, maxPdu, nullptr, nullptr, OFFalse,
                                                        DUL_NOBLOCK, int(kListenWaitSeconds));
        if (cond.bad()) {
            reportListeningFailure(cond, association);
            if (association) {
                ASC_dropAssociation(association);
                ASC_destroyAssociation(&association);
            }
            continue;
        }
        // Taken while the connection is there: DCMTK may let go of it before it reports the failure.
        scp.m_framing = framingVerdictOf(association);
        scp.run(association);
        endAssociation(scp);
        scp.dropFileMadeAhead();
        scp.m_framing.reset();
    }
}

void StorageListener::reportListeningFailure(const OFCondition& cond, T_ASC_Association* association)
{
    // No request within the wait, or the listener stopping: nothing happened. Several servers wait for
    // each sender, and those that did not get it find nothing to take.
    const QString cause = conditionText(cond);
    if (cond == DUL_NOASSOCIATIONREQUEST || m_stop.load()
        || (cond.code() == DULC_TCPINITERROR && cause.contains(QString::fromLocal8Bit(std::strerror(EAGAIN)))))
        return;
    // A sender the framing watch cut off before its request was whole is named so.
    const std::shared_ptr<const FramingVerdict> verdict = framingVerdictOf(association);
    const QString refusal = verdict ? framingRefusalText(verdict->load(), QStringLiteral("отправитель")) : QString();
    emit errorOccurred(QStringLiteral("Ошибка приёма соединения: %1").arg(refusal.isEmpty() ? cause : refusal));
    // The listening socket itself failed (no descriptor left, no memory): it is tried again, paced, so
    // that a lasting failure does not keep a core busy.
    if (cond.code() == DULC_TCPINITERROR)
        for (int waited = 0; waited < kListenRetryMs && !m_stop.load(); waited += 50)
            QThread::msleep(50);
}

void StorageListener::run()
{
    // The listener this one follows on the port lets go of it as soon as it is stopped, having dropped
    // any sender that left it waiting; only a sender it is still busy with can hold it longer, for a
    // DIMSE time-out at most.
    if (m_predecessor) {
        const qint64 longest = qint64(networkTimeouts().dimseSeconds + kListenWaitSeconds) * 1000;
        m_predecessor->waitUntilLetGo(m_stop, QDeadlineTimer(longest));
    }
    m_predecessor.reset();
    // The flag is not cleared here: a stop that comes before the thread got to run must hold.
    bool reportedBindFailure = false;
    while (!m_stop.load()) {
        prepareDicomNetwork();
        T_ASC_Network* network = nullptr;
        OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, int(m_port), kAcceptorAcseSeconds, &network);
        if (cond.bad()) {
            // The system refuses a port over the waiting sockets of connections that were made from it
            // by a program not asking to share it (an outgoing connection given this port while nothing
            // held it), SO_REUSEADDR or not; they go within a minute. Only a listening socket is another
            // program's service on the port.
            const QString cause = conditionText(cond);
            const bool inUse = cause.contains(QString::fromLocal8Bit(std::strerror(EADDRINUSE)));
            const bool heldByConnections = inUse && !somethingListensOn(m_port);
            const QString message =
                QStringLiteral("Не удалось открыть порт %1 для приёма исследований (C-STORE): %2. %3")
                    .arg(m_port)
                    .arg(bindRefusalCause(cause),
                         heldByConnections ? QStringLiteral("На порту никто не ожидает соединений, но его ещё держат "
                                                            "соединения, которые система освобождает в течение минуты.")
                                           : inUse ? QStringLiteral("Порт занят другой программой.") : QString())
                    .trimmed();
            if (!reportedBindFailure)
                emit errorOccurred(QStringLiteral("Ошибка приёма соединения: %1").arg(cause));
            reportedBindFailure = true;
            emit bindFailed(message, heldByConnections);
            // Paced, so a taken port does not keep a core busy.
            for (int waited = 0; waited < kBindRetryMs && !m_stop.load(); waited += 50)
                QThread::msleep(50);
            continue;
        }
        reportedBindFailure = false;
        keepListeningSocketToItself(network);
        // Every sender's connection is read through the framing watch. Once stopped, the listener waits
        // for no sender; while a sender waits for a place (its connection not taken yet, the listening
        // socket readable), one that is not getting on gives its place up.
        const int listeningSocket = listeningSocketOf(network);
        const std::unique_ptr<FramedTransportLayer> framing = FramedTransportLayer::forAcceptor(
            [this] { return m_stop.load(); },
            [listeningSocket] {
                pollfd waiting{listeningSocket, POLLIN, 0};
                return ::poll(&waiting, 1, 0) > 0;
            });
        ASC_setTransportLayer(network, framing.get(), 0);
        {
            std::lock_guard lock(m_networkMutex);
            m_network = network;
        }
        m_listening = true;
        emit listening();
        // Several senders at once, so that none that connects and then says nothing, is refused and
        // stays, or sends one message without end can keep another from the port; each of them is
        // bounded on its own (a few seconds to ask for its association, a bound for each message).
        std::vector<std::unique_ptr<QThread>> servers;
        for (int i = 1; i < kSendersAtOnce; ++i) {
            servers.emplace_back(QThread::create([this, network] { serveSenders(network); }));
            // Received data sets are parsed there, recursively for nested sequences.
            servers.back()->setStackSize(dicom::kParsingThreadStackSize);
            servers.back()->setObjectName(QStringLiteral("StorageListener:%1").arg(m_port));
            servers.back()->start();
        }
        serveSenders(network);
        for (const std::unique_ptr<QThread>& server : servers)
            server->wait();
        m_listening = false;
        {
            std::lock_guard lock(m_networkMutex);
            m_network = nullptr;
        }
        ASC_dropNetwork(&network);
    }
    m_listening = false;
    m_portHold->letGo();
    QThread* thread = QThread::currentThread();
    if (QCoreApplication::instance() && thread != QCoreApplication::instance()->thread())
        thread->quit();
}

namespace {

struct PoolEntry
{
    StorageListener* listener = nullptr;
    int users = 0;
};

QHash<int, PoolEntry>& pool()
{
    static QHash<int, PoolEntry> entries;
    return entries;
}

std::atomic_int g_runningThreads{0};

// The port as held by the last listener started on it, which may be gone (or be deleted on its own
// thread as it ends) while the hold is still looked at.
QHash<int, std::shared_ptr<StorageListener::PortHold>>& lastHolds()
{
    static QHash<int, std::shared_ptr<StorageListener::PortHold>> holds;
    return holds;
}

// The listener threads not yet finished, stopping ones included.
QList<QThread*>& listenerThreads()
{
    static QList<QThread*> threads;
    return threads;
}

} // namespace

StorageListener* StorageListenerPool::acquire(int port, const QString& aeTitle)
{
    PoolEntry& entry = pool()[port];
    if (entry.listener) {
        ++entry.users;
        return entry.listener;
    }
    auto* thread = new QThread;
    // Received data sets are parsed here, recursively for nested sequences.
    thread->setStackSize(dicom::kParsingThreadStackSize);
    auto* listener = new StorageListener(port, aeTitle, QString());
    // The one before it may still be stopping.
    listener->m_predecessor = std::exchange(lastHolds()[port], listener->m_portHold);
    listener->moveToThread(thread);
    QObject::connect(thread, &QThread::started, listener, &StorageListener::run);
    QObject::connect(thread, &QThread::finished, listener, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, thread, [thread] {
        --g_runningThreads;
        listenerThreads().removeOne(thread);
        thread->deleteLater();
    });
    ++g_runningThreads;
    listenerThreads().append(thread);
    thread->setObjectName(QStringLiteral("StorageListener:%1").arg(port));
    thread->start();
    entry.listener = listener;
    entry.users = 1;
    return listener;
}

void StorageListenerPool::release(StorageListener* listener)
{
    if (!listener)
        return;
    auto it = pool().find(listener->port());
    if (it == pool().end() || it->listener != listener)
        return;
    if (--it->users > 0)
        return;
    listener->stop();
    pool().erase(it);
}

int StorageListenerPool::runningThreads()
{
    return g_runningThreads.load();
}

bool StorageListenerPool::stopAll(const QDeadlineTimer& deadline)
{
    for (const PoolEntry& entry : std::as_const(pool()))
        entry.listener->stop();
    pool().clear();
    bool stopped = true;
    for (QThread* thread : std::as_const(listenerThreads()))
        stopped = thread->wait(deadline) && stopped;
    return stopped;
}

} // namespace pacs
