// Objects with sequences nested far past any real file, sent by real peers on loopback: the
// program's C-STORE listener and its C-GET requester refuse them with a failure status and a
// message, survive, and go on receiving the next objects; no temporary file is left behind.

#include "PacsTestPeers.h"

#include "DicomFixtures.h"
#include "dicom/DicomNesting.h"
#include "pacs/PacsNetworkClient.h"
#include "pacs/StorageListener.h"

#include <QSignalSpy>
#include <QTest>

#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/oflog/oflog.h>

using namespace pacs;

namespace {

// Everything in the folder, hidden temporary files included.
QStringList everythingIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

// Sends the files on one association with DCMTK's SCU, on a thread whose stack takes the
// sender's own recursive reading of the hostile file; returns the C-STORE statuses (-1: not sent).
QList<int> sendOnOneAssociation(quint16 port, const QStringList& files)
{
    QList<int> statuses;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        DcmSCU scu;
        scu.setAETitle("KALVSCU");
        scu.setPeerAETitle("KALVLISTEN");
        scu.setPeerHostName("127.0.0.1");
        scu.setPeerPort(port);
        scu.addPresentationContext(UID_CTImageStorage, OFList<OFString>{UID_LittleEndianExplicitTransferSyntax});
        if (scu.initNetwork().bad() || scu.negotiateAssociation().bad())
            return;
        const T_ASC_PresentationContextID pcid = scu.findPresentationContextID(UID_CTImageStorage, "");
        for (const QString& file : files) {
            Uint16 status = 0;
            const OFCondition cond = scu.sendSTORERequest(pcid, OFFilename(QFile::encodeName(file).constData()),
                                                          nullptr, status);
            statuses << (cond.good() ? int(status) : -1);
        }
        scu.releaseAssociation();
    }));
    thread->setStackSize(512u * 1024 * 1024);
    thread->start();
    thread->wait(60000);
    return statuses;
}

} // namespace

class TestHostileNesting : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_work;
    fixtures::SeriesSpec m_spec;
    QStringList m_normal;

    // A copy of slice `index` with `depth` nested sequences appended.
    QString hostileCopy(int index, int depth, const QString& path)
    {
        QFile::remove(path);
        if (!QFile::copy(m_normal.at(index), path))
            return {};
        fixtures::appendNestedSequences(path, depth);
        return path;
    }

private slots:
    void initTestCase()
    {
        OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
        // Explicit lengths would make the sender measure every level again for each level above it.
        g_dimse_send_sequenceType_encoding = EET_UndefinedLength;
        g_dimse_send_groupLength_encoding = EGL_withoutGL;
        QVERIFY(m_work.isValid());
        m_spec.slices = 4;
        fixtures::completeUids(m_spec);
        m_normal = fixtures::writeSeries(m_work.filePath(QStringLiteral("src")), m_spec);
        QCOMPARE(m_normal.size(), 4);
    }

    void listenerRefusesDeepNestingAndGoesOn()
    {
        const QString out = m_work.filePath(QStringLiteral("listen"));
        const quint16 port = peers::freePort();
        QThread thread;
        thread.setStackSize(dicom::kParsingThreadStackSize); // as the listener pool runs it
        auto* listener = new StorageListener(port, QStringLiteral("KALVLISTEN"), out);
        listener->moveToThread(&thread);
        connect(&thread, &QThread::started, listener, &StorageListener::run);
        connect(&thread, &QThread::finished, listener, &QObject::deleteLater);
        QSignalSpy received(listener, &StorageListener::fileReceived);
        QSignalSpy errors(listener, &StorageListener::errorOccurred);
        thread.start();
        QVERIFY(QTest::qWaitFor([&] { return listener->isListening(); }, 5000));

        // Far deeper than the receiving thread's stack would take if DCMTK parsed it.
        const QString hostile = hostileCopy(0, 20000, m_work.filePath(QStringLiteral("deep.dcm")));
        QVERIFY(!hostile.isEmpty());
        const QList<int> statuses = sendOnOneAssociation(port, {hostile, m_normal.at(1)});
        QCOMPARE(statuses.size(), 2);
        QCOMPARE(statuses.at(0), int(STATUS_STORE_Error_CannotUnderstand));
        QCOMPARE(statuses.at(1), int(STATUS_Success));

        // The next association, from storescu, is served as well.
        QProcess storescu;
        storescu.start(QStandardPaths::findExecutable(QStringLiteral("storescu")),
                       {QStringLiteral("-nh"), QStringLiteral("-aec"), QStringLiteral("KALVLISTEN"),
                        QStringLiteral("127.0.0.1"), QString::number(port), m_normal.at(2)});
        QVERIFY(storescu.waitForFinished(30000));
        QCOMPARE(storescu.exitCode(), 0);

        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 2, 10000);
        QVERIFY(!errors.isEmpty());
        QVERIFY2(errors.first().first().toString().contains(QStringLiteral("вложенными глубже 256 уровней")),
                 qPrintable(errors.first().first().toString()));
        QCOMPARE(everythingIn(out).size(), 2); // the two normal objects, nothing else
        for (const QList<QVariant>& signal : received)
            QVERIFY(dicom::nestingWithinLimit(signal.first().toString()));
        QVERIFY(listener->isListening());
        listener->stop();
        QVERIFY(thread.wait(10000));
    }

    void getRefusesDeepNestingAndKeepsTheRest()
    {
        // The archive parses what it sends, so the depth stays within its own reach here; it
        // is still far past what the receiver accepts.
        peers::QrArchive archive;
        const QString storage = archive.storageDir();
        QStringList files;
        for (int i = 0; i < m_normal.size(); ++i) {
            const QString target = QStringLiteral("%1/%2.dcm").arg(storage).arg(i);
            if (i == 1)
                QVERIFY(!hostileCopy(i, 1000, target).isEmpty());
            else
                QVERIFY(QFile::copy(m_normal.at(i), target));
            files << target;
        }
        QVERIFY(archive.index(files));
        QVERIFY(archive.start());

        PacsServer server;
        server.host = QStringLiteral("127.0.0.1");
        server.port = archive.port();
        server.aeTitle = QString::fromLatin1(peers::QrArchive::aeTitle);
        server.retrieveMode = 1;
        const QString out = m_work.filePath(QStringLiteral("get"));
        int received = -1;
        QString error;
        QStringList reported;
        QVERIFY(!getStudy(server, PacsConfig(), m_spec.studyUid, out, &received, &error,
                          [&](const QString& path) { reported << path; }));
        QCOMPARE(received, 3);
        QCOMPARE(reported.size(), 3);
        QVERIFY2(error.contains(QStringLiteral("с ошибкой 1")) && error.contains(QStringLiteral("вложенными глубже")),
                 qPrintable(error));
        QCOMPARE(everythingIn(out).size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestHostileNesting)
#include "tst_hostilenesting.moc"
