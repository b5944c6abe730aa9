#pragma once
// Real DICOM peers for the network tests, all on 127.0.0.1: DCMTK's dcmqrscp (an archive with
// C-FIND/C-GET/C-MOVE), storescp (a C-STORE receiver) and a small scripted acceptor built on
// DCMTK's DcmSCP for answers no stock tool gives (chosen statuses, a stall, a record of the keys).
// Every process is stopped by its own process id. Header-only: only tests that link the pacs
// module (and with it DCMTK's network library) include it.

#include "DicomFixtures.h"
#include "LoopbackPort.h"
#include "pacs/PacsConfig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sys/prctl.h>

#include <csignal>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scp.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <signal.h>

namespace peers {

// A server entry for a peer on 127.0.0.1.
inline pacs::PacsServer at(quint16 port, const QString& ae, int retrieveMode = 0, const QString& description = {})
{
    return {QStringLiteral("127.0.0.1"), port, ae, description, retrieveMode};
}

inline bool waitForPort(quint16 port, int timeoutMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200)) {
            socket.disconnectFromHost();
            return true;
        }
        QThread::msleep(20);
    }
    return false;
}

// One external DCMTK program, killed by its own pid when the object goes.
class PeerProcess
{
public:
    ~PeerProcess() { stop(); }

    bool start(const QString& program, const QStringList& args, quint16 port, const QString& logPath = {})
    {
        const QString exe = QStandardPaths::findExecutable(program);
        if (exe.isEmpty())
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TCP_NODELAY"), QStringLiteral("1"));
        m_process.setProcessEnvironment(env);
        if (!logPath.isEmpty())
            m_process.setStandardOutputFile(logPath), m_process.setStandardErrorFile(logPath);
        else
            m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel), m_process.setStandardOutputFile(QProcess::nullDevice());
        // A test killed by its watchdog never runs the destructor: the peer then goes with it instead
        // of living on and holding the test's output pipe, on which ctest would wait.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(exe, args);
        if (!m_process.waitForStarted(30000))
            return false;
        return waitForPort(port);
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        const qint64 pid = m_process.processId();
        if (pid > 0)
            ::kill(static_cast<pid_t>(pid), SIGTERM);
        if (!m_process.waitForFinished(3000) && pid > 0) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
            m_process.waitForFinished(3000);
        }
    }

    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

// dcmqrscp with a configuration written here: one archive AE and any number of C-MOVE
// destinations, files indexed with dcmqridx before start.
class QrArchive
{
public:
    static constexpr const char* aeTitle = "KALVQR";

    QrArchive()
    {
        m_storage = m_dir.filePath(QStringLiteral("storage"));
        QDir().mkpath(m_storage);
    }

    QString storageDir() const { return m_storage; }
    quint16 port() const { return m_port; }

    void addMoveDestination(const QString& ae, quint16 port) { m_destinations.append({ae, port}); }

    pacs::PacsServer server(int retrieveMode = 0, const QString& description = {}) const
    {
        return at(m_port, QString::fromLatin1(aeTitle), retrieveMode, description);
    }

    // Completes the layout's UIDs, writes the series into a folder of the storage named by its UID
    // and indexes it; empty when either fails.
    QStringList add(fixtures::SeriesLayout& layout)
    {
        fixtures::completeUids(layout);
        const QStringList files = fixtures::writeSeries(m_storage + QLatin1Char('/') + layout.seriesUid, layout);
        return !files.isEmpty() && index(files) ? files : QStringList();
    }

    // Indexes files that already lie in storageDir().
    bool index(const QStringList& files)
    {
        for (int first = 0; first < files.size(); first += 200) {
            QStringList args{m_storage};
            args += files.mid(first, 200);
            QProcess idx;
            idx.start(QStandardPaths::findExecutable(QStringLiteral("dcmqridx")), args);
            if (!idx.waitForFinished(60000) || idx.exitCode() != 0) {
                qWarning() << "dcmqridx failed:" << idx.readAllStandardError();
                return false;
            }
        }
        return true;
    }

    bool start(const QStringList& extraArgs = {})
    {
        m_port = fixtures::freeLoopbackPort();
        QString hosts;
        QString names;
        for (int i = 0; i < m_destinations.size(); ++i) {
            hosts += QStringLiteral("dest%1 = (%2, 127.0.0.1, %3)\n").arg(i).arg(m_destinations[i].first).arg(m_destinations[i].second);
        }
        const QString cfg = QStringLiteral("NetworkTCPPort = %1\nMaxPDUSize = 65536\nMaxAssociations = 16\n"
                                           "HostTable BEGIN\n%2HostTable END\nVendorTable BEGIN\nVendorTable END\n"
                                           "AETable BEGIN\n%3 %4 RW (200, 4096mb) ANY\nAETable END\n")
                                .arg(m_port)
                                .arg(hosts, QString::fromLatin1(aeTitle), m_storage);
        const QString cfgPath = m_dir.filePath(QStringLiteral("dcmqrscp.cfg"));
        QFile file(cfgPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(cfg.toUtf8()) < 0)
            return false;
        file.close();
        QStringList args{QStringLiteral("-c"), cfgPath};
        args += extraArgs;
        args << QString::number(m_port);
        return m_process.start(QStringLiteral("dcmqrscp"), args, m_port, m_dir.filePath(QStringLiteral("dcmqrscp.log")));
    }

    void stop() { m_process.stop(); }
    QString log() const
    {
        QFile f(m_dir.filePath(QStringLiteral("dcmqrscp.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private:
    QTemporaryDir m_dir;
    QString m_storage;
    quint16 m_port = 0;
    QList<QPair<QString, quint16>> m_destinations;
    PeerProcess m_process;
};

// storescp receiving into its own folder.
class StoreReceiver
{
public:
    bool start(const QString& ae, const QStringList& extraArgs = {})
    {
        m_port = fixtures::freeLoopbackPort();
        QStringList args{QStringLiteral("-aet"), ae, QStringLiteral("-od"), m_dir.path(), QStringLiteral("+xa")};
        args += extraArgs;
        args << QString::number(m_port);
        return m_process.start(QStringLiteral("storescp"), args, m_port);
    }
    quint16 port() const { return m_port; }
    QString dir() const { return m_dir.path(); }
    QStringList files() const
    {
        QStringList out;
        for (const QFileInfo& fi : QDir(m_dir.path()).entryInfoList(QDir::Files))
            out << fi.absoluteFilePath();
        return out;
    }
    void stop() { m_process.stop(); }

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    PeerProcess m_process;
};

// An acceptor on a thread of the test: answers C-FIND with the rows and final status it is given,
// C-STORE with a chosen status, C-ECHO as usual; can stall before every answer.
class ScriptedScp : public DcmSCP
{
public:
    std::vector<std::unique_ptr<DcmDataset>> findRows;
    Uint16 findFinalStatus = STATUS_Success;
    Uint16 storeStatus = STATUS_Success;
    int stallMs = 0;
    bool offerFind = true;

    ~ScriptedScp() override { stop(); }

    bool start()
    {
        m_port = fixtures::freeLoopbackPort();
        setPort(m_port);
        setAETitle("SCRIPTED");
        setConnectionBlockingMode(DUL_NOBLOCK);
        setConnectionTimeout(1);
        setDIMSEBlockingMode(DIMSE_NONBLOCKING);
        setDIMSETimeout(30);
        setHostLookupEnabled(OFFalse);
        OFList<OFString> xfers;
        xfers.push_back(UID_LittleEndianExplicitTransferSyntax);
        xfers.push_back(UID_LittleEndianImplicitTransferSyntax);
        addPresentationContext(UID_VerificationSOPClass, xfers);
        if (offerFind)
            addPresentationContext(UID_FINDStudyRootQueryRetrieveInformationModel, xfers);
        addPresentationContext(UID_CTImageStorage, xfers);
        addPresentationContext(UID_MRImageStorage, xfers);
        m_thread = std::thread([this] { listen(); });
        return waitForPort(m_port);
    }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    quint16 port() const { return m_port; }
    int storesReceived() const { return m_stores; }

    std::unique_ptr<DcmDataset> lastQuery()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastQuery ? std::make_unique<DcmDataset>(*m_lastQuery) : nullptr;
    }

protected:
    OFBool stopAfterConnectionTimeout() override { return m_stop.load(); }
    OFBool stopAfterCurrentAssociation() override { return m_stop.load(); }

    OFCondition handleIncomingCommand(T_DIMSE_Message* msg, const DcmPresentationContextInfo& info) override
    {
        if (stallMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
        const T_ASC_PresentationContextID pcid = info.presentationContextID;
        if (msg->CommandField == DIMSE_C_FIND_RQ) {
            T_DIMSE_C_FindRQ& req = msg->msg.CFindRQ;
            DcmDataset* query = nullptr;
            OFCondition cond = receiveFINDRequest(req, pcid, query);
            if (cond.bad())
                return cond;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_lastQuery.reset(query);
            }
            for (auto& row : findRows) {
                cond = sendFINDResponse(pcid, req.MessageID, req.AffectedSOPClassUID, row.get(), STATUS_Pending);
                if (cond.bad())
                    return cond;
            }
            return sendFINDResponse(pcid, req.MessageID, req.AffectedSOPClassUID, nullptr, findFinalStatus);
        }
        if (msg->CommandField == DIMSE_C_STORE_RQ) {
            T_DIMSE_C_StoreRQ& req = msg->msg.CStoreRQ;
            DcmDataset* dataset = nullptr;
            OFCondition cond = receiveSTORERequest(req, pcid, dataset);
            delete dataset;
            if (cond.bad())
                return cond;
            ++m_stores;
            return sendSTOREResponse(pcid, req, storeStatus);
        }
        return DcmSCP::handleIncomingCommand(msg, info);
    }

private:
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_stores{0};
    std::mutex m_mutex;
    std::unique_ptr<DcmDataset> m_lastQuery;
    std::thread m_thread;
};

} // namespace peers
