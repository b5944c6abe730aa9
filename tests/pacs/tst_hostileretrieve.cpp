// Retrieves that a peer answers badly, through the scripted peer on loopback, by C-GET and by C-MOVE
// into a real index: objects of another study, a peer that aborts part-way, a store whose disk fills.
// Whatever happens, every indexed row's file carries that row's UIDs, the archived study stays as it
// was, the count reported equals what was indexed, and a study whose retrieve did not end well is
// fetched again by the next request for it.

#include "support/PacsTestPeers.h"

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/TestBench.h"
#include "db/Database.h"
#include "pacs/NetworkTuning.h"
#include "pacs/PacsOpenCoordinator.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/ReceivedFileWriter.h"
#include "pacs/ReceivedObjectAdmission.h"
#include "pacs/ScuAssociation.h"
#include "pacs/StorageListener.h"
#include "pacs/StoreSpace.h"
#include "pacs/UnfinishedRetrieves.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

#include <dcmtk/dcmdata/dcfilefo.h>

#include <limits>

using namespace pacs;

namespace {

constexpr const char* kOurAe = "KALVHOSTILE";

QString uidOf(const QString& path, const DcmTagKey& key)
{
    DcmFileFormat file;
    OFString value;
    if (file.loadFile(QFile::encodeName(path).constData()).good())
        file.getDataset()->findAndGetOFStringArray(key, value);
    return QString::fromLatin1(value.c_str());
}

bool allGone()
{
    return QTest::qWaitFor(
        [] { return PacsRetrieveSession::liveSessions() == 0 && StorageListenerPool::runningThreads() == 0; }, 30000);
}

int filesIn(const QString& dir)
{
    return int(QDir(dir).entryList({QStringLiteral("*.dcm")}, QDir::Files).size());
}

} // namespace

class TestHostileRetrieve : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

    quint16 m_listenPort = 0;
    fixtures::SeriesLayout m_asked, m_foreign, m_archived;
    QStringList m_askedFiles, m_foreignFiles;
    QStringList m_archivedPaths;

    PacsConfig config(const PacsServer& server) const
    {
        return peers::localConfig(m_listenPort, kOurAe, {server});
    }

    // Every row of the asked study names a file that holds that very object; the archived study is
    // untouched.
    void checkIndex(int expectedRows)
    {
        db::Database& index = m_bench.index();
        QSqlQuery q(QSqlDatabase::database(index.connectionName()));
        QVERIFY(q.exec(QStringLiteral("SELECT i.sop_instance_uid, i.series_instance_uid, se.study_instance_uid, "
                                      "i.file_path, i.frame_index FROM instances i JOIN series se USING (series_instance_uid)")));
        int rows = 0;
        while (q.next()) {
            const QString path = q.value(3).toString();
            QCOMPARE(uidOf(path, DCM_SOPInstanceUID), db::ObjectKeys::objectOfKey(q.value(0).toString(), q.value(4).toInt()));
            QCOMPARE(uidOf(path, DCM_SeriesInstanceUID), q.value(1).toString());
            QCOMPARE(uidOf(path, DCM_StudyInstanceUID), q.value(2).toString());
            rows += q.value(2).toString() == m_asked.studyUid ? 1 : 0;
        }
        QCOMPARE(rows, expectedRows);
        QStringList archived;
        for (const db::SeriesRecord& series : index.seriesForStudy(m_archived.studyUid))
            for (const db::InstanceRecord& instance : index.instancesForSeries(series.seriesInstanceUid))
                archived << instance.filePath;
        QCOMPARE(archived, m_archivedPaths);
        QVERIFY(!index.studyExists(m_foreign.studyUid));
    }

    // Retrieves the asked study from the scripted peer into the archive, to its end; what the
    // retrieve ended with (empty if it did not end, or left a session or listener running).
    // watch: connects to the coordinator before the retrieve starts.
    QList<QVariant> retrieveIntoArchive(peers::ScriptedScp& peer, int retrieveMode,
                                        const std::function<void(PacsOpenCoordinator&)>& watch = {})
    {
        peer.moveDestinationPort = m_listenPort;
        if (!peer.start())
            return {};
        const PacsServer server =
            peers::at(peer.port(), QStringLiteral("SCRIPTED"), retrieveMode, QStringLiteral("Скрипт"));
        PacsOpenCoordinator coordinator(&m_bench.index());
        if (watch)
            watch(coordinator);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        const QString folder = QDir(pacsDownloadsRoot()).filePath(m_asked.studyUid);
        coordinator.startDownload(server, config(server), m_asked.studyUid, folder, PacsOpenCoordinator::ToArchive);
        if (!QTest::qWaitFor([&] { return !finished.isEmpty(); }, 30000) || !allGone())
            return {};
        return finished.first();
    }

    void forgetAsked()
    {
        if (m_bench.index().studyExists(m_asked.studyUid))
            QVERIFY(m_bench.index().deleteStudy(m_asked.studyUid));
        QDir(QDir(pacsDownloadsRoot()).filePath(m_asked.studyUid)).removeRecursively();
        clearRetrieveUnfinished(m_asked.studyUid);
    }

private slots:
    void initTestCase()
    {
        m_listenPort = fixtures::freeLoopbackPort();
        m_asked.slices = 3;
        m_asked.rows = m_asked.columns = 72; // three 4 KB fragments each
        fixtures::completeUids(m_asked);
        m_askedFiles = fixtures::writeSeries(m_bench.path(QStringLiteral("asked")), m_asked);
        m_foreign.patientName = QStringLiteral("Other^Patient");
        m_foreign.slices = 2;
        fixtures::completeUids(m_foreign);
        m_foreignFiles = fixtures::writeSeries(m_bench.path(QStringLiteral("foreign")), m_foreign);
        m_archived.patientName = QStringLiteral("Archived^Patient");
        m_archived.slices = 2;
        for (const db::InstanceRecord& row : m_bench.addSeries(m_archived))
            m_archivedPaths << row.filePath;
        QCOMPARE(m_askedFiles.size(), 3);
        QCOMPARE(m_foreignFiles.size(), 2);
        QCOMPARE(m_archivedPaths.size(), 2);
    }

    void cleanup()
    {
        setStoreFreeSpaceProbe({});
        setNetworkTimeouts(NetworkTimeouts{});
        QVERIFY(allGone());
    }

    void hostileAnswers_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<QString>("objects"); // a: the asked study's objects in order, f: another study's
        QTest::addColumn<int>("abortAfter");
        QTest::addColumn<int>("cancelAfter"); // the user cancels once this many arrived; -1 never
        QTest::addColumn<int>("roomForFiles"); // the disk is full once the folder holds this many; -1 never;
                                               // -2 room for a part of one object only
        QTest::addColumn<int>("indexed");
        QTest::addColumn<QString>("message"); // what the failure says; empty: success
        QTest::addColumn<bool>("unfinished");
        for (const int mode : {1, 0}) {
            const QString op = mode == 1 ? QStringLiteral("C-GET") : QStringLiteral("C-MOVE");
            const QByteArray m = op.toLatin1();
            QTest::newRow(m + ": whole study") << mode << "aaa" << -1 << -1 << -1 << 3 << QString() << false;
            QTest::newRow(m + ": only another study")
                << mode << "ff" << -1 << -1 << -1 << 0
                << QStringLiteral("прислал по %1 объекты другого исследования (%2)")
                       .arg(op, m_foreign.studyUid)
                << true;
            QTest::newRow(m + ": another study among it") << mode << "afaa" << -1 << -1 << -1 << 3
                                                           << QStringLiteral("не полностью") << true;
            QTest::newRow(m + ": one UID twice, in two series") << mode << "adaa" << -1 << -1 << -1 << 3
                                                                << QStringLiteral("UID в базе уже принадлежит") << true;
            QTest::newRow(m + ": the UID of an archived image") << mode << "abaa" << -1 << -1 << -1 << 3
                                                                << QStringLiteral("UID в базе уже принадлежит") << true;
            // Every object failed: the server's answer for a connection it could not make, too.
            QTest::newRow(m + ": only the UID of an archived image") << mode << "b" << -1 << -1 << -1 << 0
                                                                     << reusedUidsText(1) << true;
            QTest::newRow(m + ": one object twice") << mode << "aaas" << -1 << -1 << -1 << 3 << QString() << false;
            // Several connections at once: only a C-MOVE's PACS opens them.
            if (mode == 0)
                QTest::newRow(m + ": the first object on six connections at once")
                    << mode << "6aaa" << -1 << -1 << -1 << 3 << QString() << false;
            QTest::newRow(m + ": one UID twice, other content") << mode << "aaac" << -1 << -1 << -1 << 3
                                                                << QStringLiteral("другим содержимым (оставлен первый из них): 1") << true;
            QTest::newRow(m + ": abort after 1 of 3") << mode << "aaa" << 1 << -1 << -1 << 1 << QString() << true;
            QTest::newRow(m + ": cancelled after 1 of 3") << mode << "aaa" << -1 << 1 << -1 << 1
                                                           << QStringLiteral("Загрузка отменена") << true;
            QTest::newRow(m + ": disk full from the start") << mode << "aaa" << -1 << -1 << 0 << 0
                                                            << QStringLiteral("локальном диске") << false;
            QTest::newRow(m + ": disk full after 1 of 3") << mode << "aaa" << -1 << -1 << 1 << 1
                                                          << QStringLiteral("получено объектов — 1 из 3") << true;
            // Each object answered, and its file dropped, as soon as it outgrows the room.
            QTest::newRow(m + ": no room for one whole object") << mode << "aaa" << -1 << -1 << -2 << 0
                                                                << QStringLiteral("получено объектов — 0 из 3") << true;
        }
    }

    void hostileAnswers()
    {
        QFETCH(int, retrieveMode);
        QFETCH(QString, objects);
        QFETCH(int, abortAfter);
        QFETCH(int, cancelAfter);
        QFETCH(int, roomForFiles);
        QFETCH(int, indexed);
        QFETCH(QString, message);
        QFETCH(bool, unfinished);
        forgetAsked();
        const QString folder = QDir(pacsDownloadsRoot()).filePath(m_asked.studyUid);
        if (roomForFiles >= 0)
            setStoreFreeSpaceProbe([folder, roomForFiles](const QString&) {
                return filesIn(folder) >= roomForFiles ? qint64(0) : qint64(1) << 40;
            });
        if (roomForFiles == -2)
            setStoreFreeSpaceProbe([](const QString&) { return kStoreFreeSpaceReserve + 4096; });

        peers::ScriptedScp peer;
        // A leading digit: the first object comes on that many connections at once. The first of them
        // to be stored is held while it is written until the others have been answered.
        if (objects.front().isDigit()) {
            peer.moveFirstObjectCopies = objects.front().digitValue();
            objects.remove(0, 1);
            const auto held = std::make_shared<std::atomic<Qt::HANDLE>>(nullptr);
            copyWithoutLinksForTest([&peer, held](const QString&) {
                Qt::HANDLE none = nullptr;
                if (!held->compare_exchange_strong(none, QThread::currentThreadId()))
                    return;
                const QDeadlineTimer deadline(30000);
                const int others = peer.moveFirstObjectCopies - 1;
                while (int(peer.subOperationStatuses().size()) < others && !deadline.hasExpired())
                    QThread::msleep(5);
            });
        }
        const auto restoreLinks = qScopeGuard([] { copyWithoutLinksForTest({}); });
        int nextAsked = 0, nextForeign = 0;
        for (const QChar c : objects) {
            if (c == QLatin1Char('f')) {
                peer.retrieveObjects.push_back(fixtures::loadDataset(m_foreignFiles.at(nextForeign++)));
                continue;
            }
            peer.retrieveObjects.push_back(fixtures::loadDataset(m_askedFiles.at(c == QLatin1Char('a') ? nextAsked++ : 0)));
            DcmDataset& object = *peer.retrieveObjects.back();
            if (c == QLatin1Char('c')) // the first object's UIDs again, with other content
                object.putAndInsertString(DCM_InstanceNumber, "77");
            if (c == QLatin1Char('d')) // the first object's UID again, in a series of its own
                object.putAndInsertString(DCM_SeriesInstanceUID, (m_asked.seriesUid + QStringLiteral(".2")).toLatin1().constData());
            if (c == QLatin1Char('b')) { // an object of this study with the UID of an archived image
                object.putAndInsertString(DCM_SOPInstanceUID, uidOf(m_archivedPaths.first(), DCM_SOPInstanceUID).toLatin1().constData());
                object.putAndInsertString(DCM_InstanceNumber, "9");
            }
        }
        peer.retrieveAbortAfter = abortAfter;
        // Long enough for the cancel to come between two objects on a loaded machine.
        peer.retrievePauseMs = cancelAfter >= 0 ? 4000 : 0;
        peer.moveDestinationPort = m_listenPort;
        QVERIFY(peer.start());
        const PacsServer server =
            peers::at(peer.port(), QStringLiteral("SCRIPTED"), retrieveMode, QStringLiteral("Скрипт"));

        PacsOpenCoordinator coordinator(&m_bench.index());
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        QSignalSpy received(&coordinator, &PacsOpenCoordinator::fileReceived);
        coordinator.startDownload(server, config(server), m_asked.studyUid, folder, PacsOpenCoordinator::ToArchive);
        if (cancelAfter >= 0) {
            QTRY_COMPARE_WITH_TIMEOUT(received.size(), cancelAfter, 30000);
            coordinator.cancel();
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY(allGone());
        const bool ok = finished.first().at(0).toBool();
        const QString text = finished.first().at(1).toString();
        QVERIFY2(ok == (message.isEmpty() && abortAfter < 0 && cancelAfter < 0), qPrintable(text));
        if (!message.isEmpty())
            QVERIFY2(text.contains(message), qPrintable(text));
        if (retrieveMode == 1)
            QVERIFY2(!text.contains(QStringLiteral("C-MOVE")), qPrintable(text));
        // Every object reached the program: the connection is not what failed. Sentences joined once.
        QVERIFY2(!text.contains(QStringLiteral("брандмауэр")), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("..")), qPrintable(text));
        QCOMPARE(finished.first().at(2).toInt(), indexed);
        checkIndex(indexed);
        QCOMPARE(filesIn(folder), indexed);
        // Of one UID twice, the first copy is the one kept.
        const QString firstUid = uidOf(m_askedFiles.first(), DCM_SOPInstanceUID);
        for (const db::InstanceRecord& row : m_bench.index().instancesForSeries(m_asked.seriesUid))
            if (uidOf(row.filePath, DCM_SOPInstanceUID) == firstUid)
                QCOMPARE(uidOf(row.filePath, DCM_InstanceNumber), uidOf(m_askedFiles.first(), DCM_InstanceNumber));
        // Nor in the folder the listener receives in, a file made for an object that never came.
        for (const QString& receivedIn : {folder, QFileInfo(folder).path()})
            QCOMPARE(QDir(receivedIn).entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden).size(), 0);
        QCOMPARE(isRetrieveUnfinished(m_asked.studyUid), unfinished);
        if (roomForFiles == 0)
            QVERIFY(!peer.lastQuery()); // the server was never asked

        if (!unfinished)
            return;
        // The next request for the study fetches it again from the server that holds it; what
        // arrived before stays, and nothing is kept twice.
        setStoreFreeSpaceProbe({});
        peers::ScriptedScp whole;
        for (const QString& path : m_askedFiles)
            whole.retrieveObjects.push_back(fixtures::loadDataset(path));
        whole.moveDestinationPort = m_listenPort;
        QVERIFY(whole.start());
        const PacsServer again =
            peers::at(whole.port(), QStringLiteral("SCRIPTED"), retrieveMode, QStringLiteral("Скрипт"));
        savePacsConfig(config(again));
        coordinator.openRequestedStudy({m_asked.studyUid, again.host, again.port, again.aeTitle});
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 30000);
        QVERIFY2(finished.last().at(0).toBool(), qPrintable(finished.last().at(1).toString()));
        QVERIFY(whole.lastQuery());
        checkIndex(3);
        QCOMPARE(filesIn(folder), 3);
        QVERIFY(!isRetrieveUnfinished(m_asked.studyUid));
        // Now whole: the next request opens it without the server.
        whole.stop();
        coordinator.openRequestedStudy({m_asked.studyUid, again.host, again.port, again.aeTitle});
        QVERIFY(!coordinator.isRunning());
    }

    void hostileDimseMessages_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<int>("message"); // sent before any object
        QTest::addColumn<int>("indexed");
        QTest::addColumn<QString>("said"); // empty: the retrieve ends well
        for (const int mode : {1, 0}) {
            const QByteArray m = mode == 1 ? "C-GET" : "C-MOVE";
            QTest::newRow(m + ": command nested 20000 levels") << mode << int(peers::HostileMessage::NestedCommand) << 0
                                                               << QStringLiteral("Сервер прислал команду DIMSE длиннее 8 КБ");
            QTest::newRow(m + ": command of 1 MiB") << mode << int(peers::HostileMessage::HugeCommand) << 0
                                                    << QStringLiteral("Сервер прислал команду DIMSE длиннее 8 КБ");
            QTest::newRow(m + ": data where the command is due")
                << mode << int(peers::HostileMessage::DataForCommand) << 0
                << QStringLiteral("Сервер прислал данные там, где ожидалась команда DIMSE");
            // Read past unparsed: only the counts of a response are used.
            QTest::newRow(m + ": response with a data set nested 20000 levels")
                << mode << int(peers::HostileMessage::NestedResponseData) << 3 << QString();
        }
        // The object's own receive failed: that is the cause named, not what answering it met after.
        QTest::newRow("C-GET: object ending in a fragment of odd length")
            << 1 << int(peers::HostileMessage::OddFragmentObject) << 0 << QStringLiteral("Odd Fragment Length");
    }

    // The retrieve association is aborted before DCMTK parses what no sound peer sends, and the
    // retrieve says so; nothing of the study is indexed.
    void hostileDimseMessages()
    {
        QFETCH(int, retrieveMode);
        QFETCH(int, message);
        QFETCH(int, indexed);
        QFETCH(QString, said);
        forgetAsked();
        peers::ScriptedScp peer;
        for (const QString& path : m_askedFiles)
            peer.retrieveObjects.push_back(fixtures::loadDataset(path));
        peer.hostile = peers::HostileMessage(message);
        const QList<QVariant> outcome = retrieveIntoArchive(peer, retrieveMode);
        QVERIFY(!outcome.isEmpty());
        const QString text = outcome.at(1).toString();
        QVERIFY2(outcome.at(0).toBool() == said.isEmpty() && text.contains(said), qPrintable(text));
        QCOMPARE(outcome.at(2).toInt(), indexed);
        checkIndex(indexed);
        QCOMPARE(peer.releasesReceived(), said.isEmpty() ? 1 : 0);
    }

    void packedObjects_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<int>("fragmentBytes");
        QTest::addColumn<int>("pdvsPerPdu");
        QTest::addColumn<QString>("intruder"); // who sends another study's objects, packed alike, during the C-MOVE
        for (const int mode : {1, 0}) {
            const QByteArray m = mode == 1 ? "C-GET" : "C-MOVE";
            QTest::newRow(m + ": command and three 4 KB fragments in one PDU") << mode << 4096 << 4 << QString();
            QTest::newRow(m + ": fragments of 1,000 bytes, as many to a PDU as fit") << mode << 1000 << 1000 << QString();
        }
        QTest::newRow("C-MOVE: another study into the listener from the expected AE") << 0 << 1000 << 1000 << "SCRIPTED";
        QTest::newRow("C-MOVE: another study into the listener from another AE") << 0 << 4096 << 4 << "INTRUDER";
        // Refused before its study could be told: not this retrieve's, which gets all it asked for.
        QTest::newRow("C-MOVE: an object past the store's room into the listener meanwhile")
            << 0 << 4096 << 4 << "FLOOD";
    }

    // A server that puts several fragments in one PDU, of one message or of two: every object is stored
    // byte for byte as it came and indexed; another study sent to the listener meanwhile is refused.
    void packedObjects()
    {
        QFETCH(int, retrieveMode);
        QFETCH(int, fragmentBytes);
        QFETCH(int, pdvsPerPdu);
        QFETCH(QString, intruder);
        forgetAsked();
        peers::ScriptedScp peer;
        for (const QString& path : m_askedFiles)
            peer.retrieveObjects.push_back(fixtures::loadDataset(path));
        peer.packing = {fragmentBytes, pdvsPerPdu, 0};
        std::vector<std::unique_ptr<DcmDataset>> foreign;
        std::vector<int> intruderStatuses;
        if (intruder == QStringLiteral("FLOOD")) {
            // 1 MiB to spare: 2 MiB of an object that has not ended yet are past it.
            setStoreFreeSpaceProbe([](const QString&) { return kStoreFreeSpaceReserve + (1 << 20); });
            peer.duringMove = [&] {
                DcmSCU scu;
                if (!peers::associateForStorage(scu, m_listenPort, kOurAe, "FLOODER"))
                    return;
                T_ASC_Association* association = associationOf(scu);
                T_ASC_PresentationContextID pcid = scu.findPresentationContextID(UID_CTImageStorage, "");
                const QByteArray command =
                    peers::storeCommandSet(1, UID_CTImageStorage, "1.2.826.0.1.3680043.10.1501.78");
                OFCondition cond = peers::sendPdvs(association, pcid, command, DUL_COMMANDPDV);
                for (int i = 0; cond.good() && i < 128; ++i)
                    cond = peers::sendRaw(association, peers::dataPdu(pcid, 16384, false));
                T_DIMSE_Message answer;
                std::memset(&answer, 0, sizeof answer);
                if (cond.good()
                    && DIMSE_receiveCommand(association, DIMSE_NONBLOCKING, 30, &pcid, &answer, nullptr).good())
                    intruderStatuses = {int(answer.msg.CStoreRSP.DimseStatus)};
                scu.abortAssociation();
            };
        } else if (!intruder.isEmpty()) {
            for (const QString& path : m_foreignFiles)
                foreign.push_back(fixtures::loadDataset(path));
            peer.duringMove = [&] {
                intruderStatuses = peers::storePacked(m_listenPort, kOurAe, intruder.toLatin1().constData(),
                                                      {foreign[0].get(), foreign[1].get()}, peer.packing);
            };
        }
        const QList<QVariant> outcome = retrieveIntoArchive(peer, retrieveMode);
        QVERIFY(!outcome.isEmpty());
        QVERIFY2(outcome.at(0).toBool(), qPrintable(outcome.at(1).toString()));
        QCOMPARE(outcome.at(2).toInt(), 3);
        checkIndex(3);
        const QString folder = QDir(pacsDownloadsRoot()).filePath(m_asked.studyUid);
        for (const std::unique_ptr<DcmDataset>& object : peer.retrieveObjects) {
            const QString stored = QDir(folder).filePath(uidOf(m_askedFiles.at(&object - &peer.retrieveObjects[0]),
                                                               DCM_SOPInstanceUID) + QStringLiteral(".dcm"));
            QCOMPARE(peers::dataSetOfFile(stored), peers::dataSetBytes(*object, UID_LittleEndianExplicitTransferSyntax));
        }
        if (intruder == QStringLiteral("FLOOD"))
            QCOMPARE(intruderStatuses, std::vector<int>{STATUS_STORE_Refused_OutOfResources});
        else if (!intruder.isEmpty())
            QCOMPARE(intruderStatuses, std::vector<int>(2, STATUS_STORE_Error_CannotUnderstand));
    }

    void onlyPendingAnswers_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<bool>("cancel");      // the user cancels once a few answers came
        QTest::addColumn<int>("dimseSeconds"); // the time-out for each answer, and for the objects
        QTest::addColumn<QStringList>("said");
        for (const int mode : {1, 0}) {
            const QString op = mode == 1 ? QStringLiteral("C-GET") : QStringLiteral("C-MOVE");
            const QByteArray m = op.toLatin1();
            QTest::newRow(m + ": no object within the time-out")
                << mode << false << 1 << QStringList{QStringLiteral("SCRIPTED"), op, QStringLiteral("за 1 с")};
            QTest::newRow(m + ": cancelled") << mode << true << 600 << QStringList{QStringLiteral("Загрузка отменена")};
        }
    }

    // A server that answers "pending" for ever and sends nothing: the retrieve ends by itself once no
    // object came for the DIMSE time-out, and at once on a cancel; a retrieve that does neither hangs
    // here until the watch below gives up.
    void onlyPendingAnswers()
    {
        QFETCH(int, retrieveMode);
        QFETCH(bool, cancel);
        QFETCH(int, dimseSeconds);
        QFETCH(QStringList, said);
        forgetAsked();
        setNetworkTimeouts(NetworkTimeouts{15, 30, dimseSeconds});
        peers::ScriptedScp peer;
        peer.retrievePendingOnly = std::numeric_limits<int>::max();
        peer.moveDestinationPort = m_listenPort;
        QVERIFY(peer.start());
        const PacsServer server =
            peers::at(peer.port(), QStringLiteral("SCRIPTED"), retrieveMode, QStringLiteral("Скрипт"));
        const QString folder = QDir(pacsDownloadsRoot()).filePath(m_asked.studyUid);

        PacsOpenCoordinator coordinator(&m_bench.index());
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        coordinator.startDownload(server, config(server), m_asked.studyUid, folder, PacsOpenCoordinator::ToArchive);
        if (cancel) {
            QTRY_VERIFY_WITH_TIMEOUT(peer.pendingAnswersSent() >= 3, 30000);
            coordinator.cancel();
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY(allGone());
        QVERIFY(!finished.first().at(0).toBool());
        const QString text = finished.first().at(1).toString();
        for (const QString& word : said)
            QVERIFY2(text.contains(word), qPrintable(text));
        QCOMPARE(finished.first().at(2).toInt(), 0);
        QVERIFY(!m_bench.index().studyExists(m_asked.studyUid));
    }

    void objectTheIndexCannotTakeKeepsTheStudyMarked_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::newRow("C-GET") << 1;
        QTest::newRow("C-MOVE") << 0;
    }

    // 250 objects, indexed some batches at a time, two of which the index refuses, one in the middle and
    // the last (as a full disk or a fault of the index file would): the study counts as received only
    // as far as its rows went in and stays marked unfinished, the refused copies kept on disk; the
    // next request completes it.
    void objectTheIndexCannotTakeKeepsTheStudyMarked()
    {
        QFETCH(int, retrieveMode);
        fixtures::SeriesLayout many;
        many.rows = many.columns = 8;
        many.slices = 250;
        fixtures::completeUids(many);
        const QStringList files = fixtures::writeSeries(m_bench.path(QStringLiteral("many%1").arg(retrieveMode)), many);
        QCOMPARE(files.size(), 250);
        peers::ScriptedScp peer;
        for (const QString& path : files)
            peer.retrieveObjects.push_back(fixtures::loadDataset(path));
        peer.moveDestinationPort = m_listenPort;
        QVERIFY(peer.start());
        const PacsServer server = peers::at(peer.port(), QStringLiteral("SCRIPTED"), retrieveMode, QStringLiteral("Скрипт"));
        const QStringList refusedUids{uidOf(files.at(120), DCM_SOPInstanceUID), uidOf(files.at(249), DCM_SOPInstanceUID)};
        const QString folder = QDir(pacsDownloadsRoot()).filePath(many.studyUid);
        db::Database& index = m_bench.index();
        const auto rows = [&index, &many] {
            int count = 0;
            for (const db::SeriesRecord& series : index.seriesForStudy(many.studyUid))
                count += series.instanceCount;
            return count;
        };
        QSqlQuery q(QSqlDatabase::database(index.connectionName()));
        QVERIFY(q.exec(QStringLiteral("DROP TRIGGER IF EXISTS temp.refuse_two")));
        QVERIFY(q.exec(QStringLiteral("CREATE TEMP TRIGGER refuse_two BEFORE INSERT ON instances WHEN "
                                      "NEW.sop_instance_uid IN ('%1') BEGIN SELECT RAISE(ABORT, 'refused'); END")
                           .arg(refusedUids.join("', '"))));

        for (const bool refusing : {true, false}) {
            PacsOpenCoordinator coordinator(&index);
            QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
            coordinator.startDownload(server, config(server), many.studyUid, folder, PacsOpenCoordinator::ToArchive);
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
            QVERIFY(allGone());
            QCOMPARE(finished.first().at(0).toBool(), !refusing);
            QCOMPARE(finished.first().at(2).toInt(), refusing ? 248 : 250);
            QCOMPARE(rows(), refusing ? 248 : 250);
            QCOMPARE(isRetrieveUnfinished(many.studyUid), refusing);
            // The copy the index refused stays; the next request brings its object anew, in its place.
            QCOMPARE(filesIn(folder), 250);
            if (refusing) {
                const QString text = finished.first().at(1).toString();
                QVERIFY2(text.contains(QStringLiteral("локальную базу")) && text.contains(QStringLiteral(": 2 ")),
                         qPrintable(text));
                QVERIFY(q.exec(QStringLiteral("DROP TRIGGER temp.refuse_two")));
            }
        }
        QVERIFY(index.deleteStudy(many.studyUid));
        QDir(folder).removeRecursively();
    }

    void reusedUidIsRefusedToTheSender_data()
    {
        QTest::addColumn<int>("retrieveMode");
        // What the second and third objects the peer sends are: "reused" the second under an archived
        // object's UID; "frame key, indexed" the second under the key of frame 2 of a 3-frame object of
        // another study already listed; "frame key, then its object" the second under the key of frame 2
        // of the third, sent with 3 frames; "object, then its frame key" the reverse; "one and two values"
        // the second under a UID D, the third under D\E.
        QTest::addColumn<QString>("shape");
        QTest::addColumn<int>("refused"); // which object is refused, -1: none
        QTest::addColumn<int>("rows");    // of the asked study once listed
        for (const auto& [mode, name] : {std::pair{1, "C-GET"}, std::pair{0, "C-MOVE"}}) {
            QTest::newRow(name) << mode << "reused" << 1 << 2;
            QTest::newRow(qPrintable(QStringLiteral("%1, frame key of a listed object").arg(name)))
                << mode << "frame key, indexed" << 1 << 2;
            QTest::newRow(qPrintable(QStringLiteral("%1, frame key, then its object").arg(name)))
                << mode << "frame key, then its object" << 2 << 2;
            QTest::newRow(qPrintable(QStringLiteral("%1, object, then its frame key").arg(name)))
                << mode << "object, then its frame key" << 2 << 4;
            QTest::newRow(qPrintable(QStringLiteral("%1, one and two values").arg(name)))
                << mode << "one and two values" << -1 << 3;
        }
    }

    // An object whose UID the index holds in another study, or whose rows would be another object's, is
    // refused as it arrives, so the server counts it as failed; it is not stored first and dropped
    // afterwards. Objects the listing keeps apart are kept apart.
    void reusedUidIsRefusedToTheSender()
    {
        QFETCH(int, retrieveMode);
        QFETCH(QString, shape);
        QFETCH(int, refused);
        QFETCH(int, rows);
        forgetAsked();
        peers::ScriptedScp peer;
        for (const QString& path : m_askedFiles)
            peer.retrieveObjects.push_back(fixtures::loadDataset(path));
        const auto setUid = [&peer](int object, const QString& uid) {
            peer.retrieveObjects[object]->putAndInsertString(DCM_SOPInstanceUID, uid.toLatin1().constData());
        };
        // A 3-frame object, of the asked series or of a study of its own.
        const auto multiFrame = [this](const QString& name, fixtures::SeriesLayout layout) {
            layout.slices = 3;
            layout.rows = layout.columns = 8;
            return fixtures::writeMultiFrame(m_bench.path(name), layout);
        };
        fixtures::SeriesLayout listed;
        const auto forgetListed = qScopeGuard([&] {
            if (!listed.studyUid.isEmpty())
                QVERIFY(m_bench.index().deleteStudy(listed.studyUid));
        });
        if (shape == "reused") {
            setUid(1, uidOf(m_archivedPaths.first(), DCM_SOPInstanceUID));
        } else if (shape == "frame key, indexed") {
            listed.patientName = QStringLiteral("Listed^Patient");
            fixtures::completeUids(listed);
            const QString file = multiFrame(QStringLiteral("listed.dcm"), listed);
            QVERIFY(fixtures::indexFiles(m_bench.index(), {file}));
            setUid(1, uidOf(file, DCM_SOPInstanceUID) + "#f2");
        } else if (shape.contains("frame key")) {
            const QString file = multiFrame(QStringLiteral("asked-multi.dcm"), m_asked);
            const QString uid = uidOf(file, DCM_SOPInstanceUID);
            const bool objectFirst = shape.startsWith("object");
            peer.retrieveObjects[objectFirst ? 1 : 2] = fixtures::loadDataset(file);
            setUid(objectFirst ? 2 : 1, uid + "#f2");
        } else {
            const QString uid = uidOf(m_askedFiles.at(1), DCM_SOPInstanceUID);
            setUid(2, uid + "\\" + fixtures::newUid());
        }
        const QList<QVariant> outcome = retrieveIntoArchive(peer, retrieveMode);
        QVERIFY(!outcome.isEmpty());
        std::vector<Uint16> statuses(3, STATUS_Success);
        if (refused >= 0)
            statuses[size_t(refused)] = STATUS_STORE_Error_CannotUnderstand;
        QCOMPARE(peer.subOperationStatuses(), statuses);
        QCOMPARE(outcome.at(2).toInt(), refused >= 0 ? 2 : 3);
        QCOMPARE(outcome.at(0).toBool(), refused < 0);
        checkIndex(rows);
        if (!listed.studyUid.isEmpty()) { // the listed object keeps its three rows in its own file
            const QList<db::InstanceRecord> frames = m_bench.index().instancesForSeries(listed.seriesUid);
            QCOMPARE(frames.size(), 3);
            for (const db::InstanceRecord& frame : frames)
                QCOMPARE(QFileInfo(frame.filePath).fileName(), QStringLiteral("listed.dcm"));
        }
    }

    // Within one retrieve, before any of its objects is indexed: an object that comes again is kept
    // once, and its UID on another object of the retrieve is refused, whatever the index holds.
    void admissionWithinOneRetrieve_data()
    {
        QTest::addColumn<QString>("series");
        QTest::addColumn<QString>("study");
        QTest::addColumn<int>("verdict");
        QTest::newRow("the same object again") << "1.9.1" << "1.9" << int(ReceivedObjectAdmission::Verdict::AlreadyKept);
        QTest::newRow("its UID in another series") << "1.9.2" << "1.9" << int(ReceivedObjectAdmission::Verdict::Refuse);
        QTest::newRow("its UID in another study") << "1.8.1" << "1.8" << int(ReceivedObjectAdmission::Verdict::Refuse);
    }
    void admissionWithinOneRetrieve()
    {
        QFETCH(QString, series);
        QFETCH(QString, study);
        QFETCH(int, verdict);
        ReceivedObjectAdmission admission{QString()};
        QCOMPARE(admission.admit({"1.9.1.1", "1.9.1", "1.9"}), ReceivedObjectAdmission::Verdict::Keep);
        QCOMPARE(admission.admit({"1.9.1.2", "1.9.1", "1.9"}), ReceivedObjectAdmission::Verdict::Keep);
        QCOMPARE(int(admission.admit({"1.9.1.1", series, study})), verdict);
        QCOMPARE(admission.refused(), verdict == int(ReceivedObjectAdmission::Verdict::Refuse) ? 1 : 0);
    }

    // One connection to the index for all of a retrieve's objects, whichever thread receives them; the
    // program's end closes it while a receiving thread is still held up, and nothing opens it again.
    void admissionLetsTheIndexGoAtTheEnd()
    {
        db::Database& index = m_bench.index();
        const QString path = QFileInfo(index.filePath()).canonicalFilePath();
        const auto handles = [&path] {
            int count = 0;
            const QDir open(QStringLiteral("/proc/self/fd"));
            for (const QFileInfo& fd : open.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
                count += fd.symLinkTarget() == path ? 1 : 0;
            return count;
        };
        const int indexOwn = handles();
        ReceivedObjectAdmission admission(index.filePath());
        const QString archivedUid = uidOf(m_archivedPaths.first(), DCM_SOPInstanceUID);
        QList<ReceivedObjectAdmission::Verdict> verdicts; // read once the thread is over
        std::atomic_int admitted{0};
        std::atomic_bool closed{false};
        std::unique_ptr<QThread> receiving(QThread::create([&] {
            for (int i = 0; i < 50; ++i)
                verdicts << admission.admit(
                    {QStringLiteral("1.9.7.%1").arg(i), QStringLiteral("1.9.7"), QStringLiteral("1.9")});
            verdicts << admission.admit({archivedUid, QStringLiteral("1.9.7"), QStringLiteral("1.9")});
            admitted = int(verdicts.size());
            while (!closed.load())
                QThread::msleep(5); // held up in a network wait
            verdicts << admission.admit({QStringLiteral("1.9.7.99"), QStringLiteral("1.9.7"), QStringLiteral("1.9")});
        }));
        receiving->start();
        QTRY_COMPARE_WITH_TIMEOUT(admitted.load(), 51, 30000);
        QCOMPARE(handles(), indexOwn + 1);
        admission.close();
        QCOMPARE(handles(), indexOwn);
        closed = true;
        QVERIFY(receiving->wait(30000));
        QCOMPARE(verdicts.count(ReceivedObjectAdmission::Verdict::Keep), 50);
        QCOMPARE(verdicts.at(50), ReceivedObjectAdmission::Verdict::Refuse);
        QCOMPARE(verdicts.last(), ReceivedObjectAdmission::Verdict::Refuse);
        QCOMPARE(handles(), indexOwn);
    }

    // The C-MOVE's port held, past the grace a listening program gets, only by a connection made from it,
    // whose socket the system would keep a minute once it ends: the retrieve waits for the port, and
    // the listener takes it once it is free.
    void moveWaitsForAPortOnlyConnectionsHold()
    {
        forgetAsked();
        peers::ScriptedScp peer;
        for (const QString& path : m_askedFiles)
            peer.retrieveObjects.push_back(fixtures::loadDataset(path));
        // A port of its own: the sockets that earlier rows' connections left waiting out their time on
        // the shared one would keep the connection from being made from it.
        const quint16 shared = m_listenPort;
        const auto restore = qScopeGuard([&] { m_listenPort = shared; });
        // Made from a port the system gives as the connection's socket is bound: no other program can
        // take it first, as one could a port chosen free beforehand.
        fixtures::ConnectionFromPort connection;
        QVERIFY(connection.holds());
        m_listenPort = connection.port();
        // Let go of past the grace a listening program gets; the retrieve ends only after that.
        bool released = false;
        QTimer::singleShot(6000, this, [&connection, &released] {
            connection.release();
            released = true;
        });
        // The wait is told while the port is still held, not only if it fails a minute later.
        QString toldWhileHeld;
        const QList<QVariant> outcome = retrieveIntoArchive(peer, 0, [&](PacsOpenCoordinator& coordinator) {
            connect(&coordinator, &PacsOpenCoordinator::waitingForPort, this, [&](const QString& text) {
                if (!released)
                    toldWhileHeld = text;
            });
        });
        QVERIFY(released);
        QVERIFY(!outcome.isEmpty());
        QVERIFY2(outcome.at(0).toBool(), qPrintable(outcome.at(1).toString()));
        QCOMPARE(outcome.at(2).toInt(), 3);
        checkIndex(3);
        QVERIFY2(toldWhileHeld.contains(QString::number(m_listenPort)), qPrintable(toldWhileHeld));
    }

    void storedFilesNameTheirOwnObject_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<bool>("otherUidAnnounced");
        QTest::addColumn<bool>("otherClassAnnounced");
        QTest::addColumn<QByteArray>("sentSyntax"); // empty: the one agreed, explicit VR
        const QByteArray agreed;
        const QByteArray implicit(UID_LittleEndianImplicitTransferSyntax);
        QTest::newRow("C-GET") << 1 << false << false << agreed;
        QTest::newRow("C-GET, request names another object") << 1 << true << false << agreed;
        QTest::newRow("C-GET, request names another class") << 1 << false << true << agreed;
        QTest::newRow("C-GET, data set in another syntax") << 1 << false << false << implicit;
        QTest::newRow("C-MOVE") << 0 << false << false << agreed;
        QTest::newRow("C-MOVE, request names another object") << 0 << true << false << agreed;
        QTest::newRow("C-MOVE, request names another class") << 0 << false << true << agreed;
    }

    // A stored file's meta header names the object its data set holds, in the syntax it came, and
    // nothing of the sender's, whatever the request that brought it named; its data set is the one
    // sent.
    void storedFilesNameTheirOwnObject()
    {
        QFETCH(int, retrieveMode);
        QFETCH(bool, otherUidAnnounced);
        QFETCH(bool, otherClassAnnounced);
        QFETCH(QByteArray, sentSyntax);
        forgetAsked();
        peers::ScriptedScp peer;
        for (const QString& path : m_askedFiles)
            peer.retrieveObjects.push_back(fixtures::loadDataset(path));
        if (otherUidAnnounced)
            peer.announcedSopInstanceUid = "1.2.826.0.1.3680043.10.1501.999.1";
        if (otherClassAnnounced)
            peer.announcedSopClassUid = UID_SecondaryCaptureImageStorage;
        peer.sentTransferSyntax = sentSyntax.toStdString();
        const QList<QVariant> outcome = retrieveIntoArchive(peer, retrieveMode);
        QVERIFY(!outcome.isEmpty());
        QCOMPARE(outcome.at(2).toInt(), 3);
        const QString folder = QDir(pacsDownloadsRoot()).filePath(m_asked.studyUid);
        checkIndex(3);
        QStringList sent;
        for (const QString& path : m_askedFiles)
            sent << uidOf(path, DCM_SOPInstanceUID);
        QStringList stored;
        for (const QString& name : QDir(folder).entryList({QStringLiteral("*.dcm")}, QDir::Files)) {
            const QString path = QDir(folder).filePath(name);
            DcmFileFormat file;
            QVERIFY(file.loadFile(QFile::encodeName(path).constData()).good());
            OFString meta, own, sopClass;
            QVERIFY(file.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPInstanceUID, meta).good());
            QVERIFY(file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, own).good());
            QCOMPARE(meta, own);
            QCOMPARE(name, QString::fromLatin1(own.c_str()) + QStringLiteral(".dcm"));
            QVERIFY(file.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, meta).good());
            QVERIFY(file.getDataset()->findAndGetOFString(DCM_SOPClassUID, sopClass).good());
            QCOMPARE(meta, sopClass);
            QVERIFY(file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, meta).good());
            QCOMPARE(meta, OFString(sentSyntax.isEmpty() ? UID_LittleEndianExplicitTransferSyntax : sentSyntax.constData()));
            QVERIFY(file.getMetaInfo()->findAndGetOFString(DCM_SourceApplicationEntityTitle, meta).bad());
            const qsizetype which = sent.indexOf(QString::fromLatin1(own.c_str()));
            QVERIFY(which >= 0);
            const std::unique_ptr<DcmDataset> original = fixtures::loadDataset(m_askedFiles.at(which));
            QVERIFY(original);
            file.loadAllDataIntoMemory();
            QVERIFY(file.getDataset()->compare(*original) == 0);
            stored << QString::fromLatin1(own.c_str());
        }
        stored.sort();
        sent.sort();
        QCOMPARE(stored, sent);
    }
};

QTEST_GUILESS_MAIN(TestHostileRetrieve)
#include "tst_hostileretrieve.moc"
