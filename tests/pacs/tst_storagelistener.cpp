// The storage listener against DCMTK's storescu and echoscu on loopback: objects of the awaited
// studies are written and reported, others refused, a taken port is reported without spinning,
// and stop ends the listener within one wait.

#include "support/PacsTestPeers.h"

#include "support/DicomFixtures.h"
#include "pacs/NetworkTuning.h"
#include "pacs/ScuAssociation.h"
#include "pacs/StorageListener.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/oflog/oflog.h>

using namespace pacs;

namespace {

// Runs storescu (or echoscu) against the port; returns its exit code.
int runScu(const QString& program, quint16 port, const QStringList& files, const QString& calledAe = QStringLiteral("KALVLISTEN"))
{
    QProcess process;
    QStringList args{QStringLiteral("-aet"), QStringLiteral("KALVSCU"), QStringLiteral("-aec"), calledAe,
                     QStringLiteral("127.0.0.1"), QString::number(port)};
    if (program == QStringLiteral("storescu"))
        args.prepend(QStringLiteral("-nh"));
    args += files;
    process.start(QStandardPaths::findExecutable(program), args);
    if (!process.waitForFinished(30000))
        return -1;
    return process.exitCode();
}

QStringList filesIn(const QString& dir)
{
    QStringList out;
    for (const QFileInfo& fi : QDir(dir).entryInfoList(QDir::Files))
        out << fi.absoluteFilePath();
    return out;
}

QString studyOf(const QString& path)
{
    DcmFileFormat ff;
    if (ff.loadFile(QFile::encodeName(path).constData()).bad())
        return {};
    OFString uid;
    ff.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, uid);
    return QString::fromLatin1(uid.c_str());
}

struct RunningListener
{
    QThread thread;
    StorageListener* listener;

    RunningListener(quint16 port, const QString& folder)
        : listener(new StorageListener(port, QStringLiteral("KALVLISTEN"), folder))
    {
        listener->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, listener, &StorageListener::run);
        QObject::connect(&thread, &QThread::finished, listener, &QObject::deleteLater);
        thread.start();
    }
    // True when the thread ends after stop. A listener that missed the request would wait for the
    // next association for ever; the minute allowed here only bounds that on a loaded machine.
    bool stop()
    {
        listener->stop();
        return thread.wait(60000);
    }
    ~RunningListener()
    {
        if (thread.isRunning())
            stop();
    }
};

bool waitListening(StorageListener* listener)
{
    return QTest::qWaitFor([&] { return listener->isListening(); }, 30000);
}

} // namespace

class TestStorageListener : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_work;
    fixtures::SeriesLayout m_a, m_b;
    QStringList m_filesA, m_filesB;

private slots:
    void initTestCase()
    {
        OFLog::configure(OFLogger::WARN_LOG_LEVEL);
        QVERIFY(m_work.isValid());
        m_a.slices = 3;
        fixtures::completeUids(m_a);
        m_filesA = fixtures::writeSeries(m_work.filePath(QStringLiteral("src-a")), m_a);
        m_b.slices = 2;
        m_b.modality = QStringLiteral("MR");
        fixtures::completeUids(m_b);
        m_filesB = fixtures::writeSeries(m_work.filePath(QStringLiteral("src-b")), m_b);
        QCOMPARE(m_filesA.size(), 3);
        QCOMPARE(m_filesB.size(), 2);
    }

    void receivesIntoItsFolderAndStopsQuickly()
    {
        const quint16 port = fixtures::freeLoopbackPort();
        const QString out = m_work.filePath(QStringLiteral("all"));
        RunningListener running(port, out);
        QSignalSpy files(running.listener, &StorageListener::fileReceived);
        QVERIFY(waitListening(running.listener));
        QCOMPARE(runScu(QStringLiteral("storescu"), port, m_filesA + m_filesB), 0);
        QTRY_COMPARE_WITH_TIMEOUT(files.size(), 5, 30000);
        QCOMPARE(filesIn(out).size(), 5);
        for (const QList<QVariant>& args : files)
            QVERIFY(!studyOf(args.at(0).toString()).isEmpty());
        // Idle for a while, then stop: the listener notices at the end of its current wait.
        QTest::qWait(300);
        QVERIFY(running.stop());
    }

    void routesAwaitedStudiesAndRefusesOthers()
    {
        const quint16 port = fixtures::freeLoopbackPort();
        RunningListener running(port, QString());
        const QString dirA = m_work.filePath(QStringLiteral("routed-a"));
        running.listener->addStudy(m_a.studyUid, dirA);
        QSignalSpy routed(running.listener, &StorageListener::studyFileReceived);
        QVERIFY(waitListening(running.listener));
        // storescu reports the refused objects by a non-zero exit code.
        QVERIFY(runScu(QStringLiteral("storescu"), port, m_filesB + m_filesA) != -1);
        QTRY_COMPARE_WITH_TIMEOUT(routed.size(), 3, 30000);
        QCoreApplication::processEvents(); // storescu has ended: every file's signal is queued by now
        QCOMPARE(routed.size(), 3);
        const QStringList written = filesIn(dirA);
        QCOMPARE(written.size(), 3);
        for (const QString& path : written)
            QCOMPARE(studyOf(path), m_a.studyUid);
        for (const QList<QVariant>& args : routed)
            QCOMPARE(args.at(0).toString(), m_a.studyUid);

        // Once the retrieve has gone, its study is refused as well.
        running.listener->removeStudy(m_a.studyUid);
        QVERIFY(runScu(QStringLiteral("storescu"), port, m_filesA) != -1);
        QCOMPARE(filesIn(dirA).size(), 3);
    }

    void receivesBesideTheAwaitedFolders()
    {
        // An object arrives into a temporary file next to its study's folder, so that it becomes the
        // stored file without a copy: the system's temporary folder is not needed, here not usable.
        const QString notAFolder = m_work.filePath(QStringLiteral("tmp-is-a-file"));
        QVERIFY(QFile(notAFolder).open(QIODevice::WriteOnly));
        const QByteArray savedTmp = qgetenv("TMPDIR");
        auto restoreTmp = qScopeGuard([&savedTmp] { qputenv("TMPDIR", savedTmp); });
        qputenv("TMPDIR", QFile::encodeName(notAFolder));
        const quint16 port = fixtures::freeLoopbackPort();
        RunningListener running(port, QString());
        const QString dirA = m_work.filePath(QStringLiteral("beside/a"));
        const QString dirB = m_work.filePath(QStringLiteral("beside/b"));
        running.listener->addStudy(m_a.studyUid, dirA);
        running.listener->addStudy(m_b.studyUid, dirB);
        QSignalSpy routed(running.listener, &StorageListener::studyFileReceived);
        QSignalSpy errors(running.listener, &StorageListener::errorOccurred);
        QVERIFY(waitListening(running.listener));
        const int exitCode = runScu(QStringLiteral("storescu"), port, m_filesA + m_filesB);
        QVERIFY(running.stop());
        QCOMPARE(exitCode, 0);
        QCOMPARE(errors.size(), 0);
        QCOMPARE(routed.size(), 5);
        QCOMPARE(filesIn(dirA).size(), 3);
        QCOMPARE(filesIn(dirB).size(), 2);
        QCOMPARE(QDir(m_work.filePath(QStringLiteral("beside"))).entryList(QDir::Files | QDir::Hidden).size(), 0);
    }

    void refusesVerification()
    {
        const quint16 port = fixtures::freeLoopbackPort();
        RunningListener running(port, m_work.filePath(QStringLiteral("echo")));
        QVERIFY(waitListening(running.listener));
        QVERIFY(runScu(QStringLiteral("echoscu"), port, {}) != 0);
        QVERIFY(filesIn(m_work.filePath(QStringLiteral("echo"))).isEmpty());
    }

    void takenPortIsReportedWithoutSpinning()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        RunningListener running(holder.serverPort(), m_work.filePath(QStringLiteral("busy")));
        QSignalSpy bindFailures(running.listener, &StorageListener::bindFailed);
        QSignalSpy errors(running.listener, &StorageListener::errorOccurred);
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(bindFailures.size() >= 2, 30000);
        // Retries are paced (about every half second): a loaded machine only makes them fewer.
        QVERIFY2(bindFailures.size() <= clock.elapsed() / 400 + 2, qPrintable(QString::number(bindFailures.size())));
        QVERIFY(bindFailures.first().at(0).toString().contains(QString::number(holder.serverPort())));
        QCOMPARE(errors.size(), 1);
        QVERIFY(!running.listener->isListening());
        // When the port becomes free the listener takes it.
        holder.close();
        QVERIFY(waitListening(running.listener));
        QVERIFY(running.stop());
    }

    void stopBeforeRunHolds()
    {
        QThread thread;
        auto* listener = new StorageListener(fixtures::freeLoopbackPort(), QStringLiteral("KALVLISTEN"), QString());
        listener->stop();
        listener->moveToThread(&thread);
        connect(&thread, &QThread::started, listener, &StorageListener::run);
        connect(&thread, &QThread::finished, listener, &QObject::deleteLater);
        thread.start();
        QVERIFY(thread.wait(60000));
    }

    // A sender that keeps its association open and says nothing (as PACS that keep associations for
    // reuse do) does not keep a stopped listener on its port: it is dropped, and the next listener of
    // the port binds it at its first attempt.
    void nextListenerTakesThePortOfAStoppingOne()
    {
        setNetworkTimeouts({15, 30, 600}); // a silent sender would hold its listener for ten minutes
        const auto restore = qScopeGuard([] { setNetworkTimeouts({}); });
        const quint16 port = fixtures::freeLoopbackPort();
        RunningListener first(port, m_work.filePath(QStringLiteral("first")));
        QVERIFY(waitListening(first.listener));
        std::atomic_bool associated{false};
        OFCondition silence = EC_Normal;
        std::unique_ptr<QThread> sender(QThread::create([&] {
            DcmSCU scu;
            if (!peers::associateForStorage(scu, port, "KALVLISTEN"))
                return;
            associated = true;
            T_ASC_PresentationContextID pcid = 0;
            T_DIMSE_Message message;
            std::memset(&message, 0, sizeof message);
            silence = DIMSE_receiveCommand(pacs::associationOf(scu), DIMSE_NONBLOCKING, 600, &pcid, &message, nullptr);
        }));
        sender->start();
        QTRY_VERIFY_WITH_TIMEOUT(associated.load(), 30000);

        auto* second = new StorageListener(port, QStringLiteral("KALVLISTEN"), m_work.filePath(QStringLiteral("second")));
        second->follow(*first.listener);
        QSignalSpy bindFailures(second, &StorageListener::bindFailed);
        first.listener->stop();
        QThread thread;
        second->moveToThread(&thread);
        connect(&thread, &QThread::started, second, &StorageListener::run);
        connect(&thread, &QThread::finished, second, &QObject::deleteLater);
        thread.start();
        QVERIFY(waitListening(second));
        QCOMPARE(bindFailures.size(), 0);
        QVERIFY(sender->wait(30000));
        QVERIFY(silence.bad()); // dropped, not waited out
        QVERIFY(first.thread.wait(30000));
        second->stop();
        QVERIFY(thread.wait(60000));
    }

    void poolSharesOneListenerPerPort()
    {
        const quint16 port = fixtures::freeLoopbackPort();
        StorageListener* first = StorageListenerPool::acquire(port, QStringLiteral("KALVLISTEN"));
        StorageListener* second = StorageListenerPool::acquire(port, QStringLiteral("KALVLISTEN"));
        QCOMPARE(first, second);
        QCOMPARE(StorageListenerPool::runningThreads(), 1);
        QVERIFY(waitListening(first));
        StorageListenerPool::release(first);
        QVERIFY(!first->stopRequested()); // the second user still holds it
        QVERIFY(first->isListening());
        StorageListenerPool::release(second);
        QTRY_COMPARE_WITH_TIMEOUT(StorageListenerPool::runningThreads(), 0, 30000);
    }
};

QTEST_GUILESS_MAIN(TestStorageListener)
#include "tst_storagelistener.moc"
