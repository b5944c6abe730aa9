// Data sets nested far past any real file, sent by real peers on loopback: the C-STORE listener,
// the C-GET requester and the C-FIND requester refuse them with a message and go on with the
// next objects; no temporary file is left behind.

#include "support/PacsTestPeers.h"
#include "support/DicomFixtures.h"
#include "support/HostileShapes.h"
#include "dicom/DicomNesting.h"
#include "pacs/FindStudiesSCU.h"
#include "pacs/NetworkTuning.h"
#include "pacs/PacsNetworkClient.h"
#include "pacs/ScuAssociation.h"
#include "pacs/StorageListener.h"

#include <QScopeGuard>
#include <QSignalSpy>

#include <cstring>
#include <tuple>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/oflog/oflog.h>

using namespace pacs;

namespace {

// A listener keeping every object in its folder, on a thread with the stack the listener pool gives its
// threads, started once its signals are watched.
struct ListenerOnThread
{
    const quint16 port = fixtures::freeLoopbackPort();
    QThread thread;
    StorageListener* listener;
    QSignalSpy received;
    QSignalSpy errors;

    explicit ListenerOnThread(const QString& folder)
        : listener(new StorageListener(port, QStringLiteral("KALVLISTEN"), folder))
        , received(listener, &StorageListener::fileReceived)
        , errors(listener, &StorageListener::errorOccurred)
    {
        thread.setStackSize(dicom::kParsingThreadStackSize);
        listener->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, listener, &StorageListener::run);
        QObject::connect(&thread, &QThread::finished, listener, &QObject::deleteLater);
        thread.start();
    }
    bool listening() const { return QTest::qWaitFor([this] { return listener->isListening(); }, 30000); }
    bool stop()
    {
        listener->stop();
        return thread.wait(10000);
    }
};

} // namespace

class TestHostileNesting : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work;
    fixtures::SeriesLayout m_layout;
    QStringList m_files;

    QString hostileCopy(int index, int depth, const QString& path)
    {
        QFile::copy(m_files.at(index), path);
        fixtures::appendNestedSequences(path, depth);
        return path;
    }

    static PacsServer serverAt(quint16 port, const char* ae)
    {
        return {.host = QStringLiteral("127.0.0.1"), .port = port, .aeTitle = QString::fromLatin1(ae), .description = {},
                .retrieveMode = 1};
    }

private slots:
    void initTestCase()
    {
        OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
        // Explicit lengths would make the senders measure every level again for each level above it.
        g_dimse_send_sequenceType_encoding = EET_UndefinedLength;
        g_dimse_send_groupLength_encoding = EGL_withoutGL;
        m_layout.slices = 4;
        fixtures::completeUids(m_layout);
        m_files = fixtures::writeSeries(m_work.filePath(QStringLiteral("src")), m_layout);
        QCOMPARE(m_files.size(), 4);
    }

    void listenerRefusesDeepNestingAndGoesOn()
    {
        const QString out = m_work.filePath(QStringLiteral("listen"));
        ListenerOnThread running(out);
        QVERIFY(running.listening());
        const quint16 port = running.port;
        QSignalSpy &received = running.received, &errors = running.errors;

        // 20000 levels: far more than the receiving thread's stack takes if DCMTK parses them. The
        // sender parses them itself, on a thread with room for it; a normal object follows.
        const QStringList files{hostileCopy(0, 20000, m_work.filePath(QStringLiteral("deep.dcm"))), m_files.at(1)};
        QList<int> statuses;
        std::unique_ptr<QThread> sender(QThread::create([&] {
            DcmSCU scu;
            if (!peers::associateForStorage(scu, port, "KALVLISTEN"))
                return;
            for (const QString& file : files) {
                Uint16 status = 0;
                const OFCondition cond = scu.sendSTORERequest(scu.findPresentationContextID(UID_CTImageStorage, ""),
                                                              QFile::encodeName(file).constData(), nullptr, status);
                statuses << (cond.good() ? int(status) : -1);
            }
            scu.releaseAssociation();
        }));
        sender->setStackSize(512u * 1024 * 1024);
        sender->start();
        QVERIFY(sender->wait(60000));
        QCOMPARE(statuses, (QList<int>{STATUS_STORE_Error_CannotUnderstand, STATUS_Success}));

        // The next association, from storescu, is served as well.
        QProcess storescu;
        storescu.start(QStandardPaths::findExecutable(QStringLiteral("storescu")),
                       QStringList{"-aec", "KALVLISTEN", "127.0.0.1", QString::number(port), m_files.at(2)});
        QVERIFY(storescu.waitForFinished(30000) && storescu.exitCode() == 0);

        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 2, 10000);
        QVERIFY(!errors.isEmpty() && errors.first().first().toString().contains(QStringLiteral("вложенными глубже 256")));
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary file left
        QVERIFY(running.stop());
    }

    void listenerCutsOffHostileSenders_data()
    {
        QTest::addColumn<int>("message"); // -1: an association request cut short, before anything else
        QTest::addColumn<QString>("said");
        QTest::newRow("command nested 20000 levels") << int(peers::HostileMessage::NestedCommand)
                                                     << QStringLiteral("отправитель прислал");
        QTest::newRow("command of 1 MiB")
            << int(peers::HostileMessage::HugeCommand) << QStringLiteral("отправитель прислал");
        QTest::newRow("data where the command is due") << int(peers::HostileMessage::DataForCommand)
                                                       << QStringLiteral("отправитель прислал");
        // The listening call itself ends in failure: told all the same.
        QTest::newRow("association request cut short")
            << -1 << QStringLiteral("Ошибка приёма соединения: DUL Illegal");
    }

    // A sender whose first message no sound peer sends is cut off before DCMTK parses it: no answer,
    // no file, a message that names it; the next sender is served.
    void listenerCutsOffHostileSenders()
    {
        QFETCH(int, message);
        QFETCH(QString, said);
        const QString out = m_work.filePath(QStringLiteral("cut%1").arg(message));
        ListenerOnThread running(out);
        QVERIFY(running.listening());
        const quint16 port = running.port;
        QSignalSpy &received = running.received, &errors = running.errors;

        bool sent = false, answered = true;
        std::unique_ptr<QThread> sender(QThread::create([&] {
            if (message < 0) {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, port);
                const QByteArray cutShort("\x01\x00\x00\x00\x00\x04\x00\x01\x00\x00", 10);
                sent = socket.waitForConnected(30000) && socket.write(cutShort) == cutShort.size()
                    && socket.waitForBytesWritten(30000);
                answered = socket.waitForReadyRead(30000) && socket.bytesAvailable() > 0;
                return;
            }
            DcmSCU scu;
            if (!peers::associateForStorage(scu, port, "KALVLISTEN"))
                return;
            T_ASC_PresentationContextID pcid = scu.findPresentationContextID(UID_CTImageStorage, "");
            T_ASC_Association* association = pacs::associationOf(scu);
            // The listener may cut the connection while the rest is still going out.
            sent = true;
            peers::sendHostileMessage(association, pcid, peers::HostileMessage(message), DIMSE_C_STORE_RQ, 1,
                                      UID_CTImageStorage, false);
            T_DIMSE_Message answer;
            std::memset(&answer, 0, sizeof answer);
            answered = DIMSE_receiveCommand(association, DIMSE_NONBLOCKING, 30, &pcid, &answer, nullptr).good();
            scu.abortAssociation();
        }));
        sender->start();
        QVERIFY(sender->wait(60000));
        QVERIFY(sent);
        QVERIFY(!answered);
        QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), 10000);
        QVERIFY2(errors.last().first().toString().contains(said), qPrintable(errors.last().first().toString()));

        QProcess storescu;
        storescu.start(QStandardPaths::findExecutable(QStringLiteral("storescu")),
                       QStringList{"-aec", "KALVLISTEN", "127.0.0.1", QString::number(port), m_files.at(2)});
        QVERIFY(storescu.waitForFinished(30000) && storescu.exitCode() == 0);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 10000);
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 1);
        QVERIFY(running.stop());
    }

    // How a peer cuts its messages and packs the fragments: the rows given, then `randomSplits` seeds.
    static void packingRows(const QList<std::tuple<const char*, int, int>>& rows, quint32 randomSplits)
    {
        QTest::addColumn<int>("fragmentBytes"); // 0: whole
        QTest::addColumn<int>("pdvsPerPdu");
        QTest::addColumn<quint32>("seed"); // non-zero: both at random, for each fragment and each PDU
        for (const auto& [name, fragmentBytes, pdvsPerPdu] : rows)
            QTest::newRow(name) << fragmentBytes << pdvsPerPdu << 0u;
        for (quint32 seed = 1; seed <= randomSplits; ++seed)
            QTest::addRow("random split %u", seed) << 0 << 1 << seed;
    }

    void listenerStoresPackedObjects_data()
    {
        packingRows({{"command and three 4 KB fragments in one PDU", 4096, 4},
                     {"fragments of 1,000 bytes, as many to a PDU as fit", 1000, 1000}},
                    8);
    }

    // Between two ordinary senders, one that packs several fragments into a PDU, of one message or of
    // two, and cuts them anywhere: its objects are stored byte for byte, and the next sender is served.
    void listenerStoresPackedObjects()
    {
        QFETCH(int, fragmentBytes);
        QFETCH(int, pdvsPerPdu);
        QFETCH(quint32, seed);
        fixtures::SeriesLayout layout; // three 4 KB fragments each
        layout.rows = layout.columns = 72;
        layout.slices = 2;
        fixtures::completeUids(layout);
        const QString out = m_work.filePath(QStringLiteral("packed_%1").arg(QLatin1String(QTest::currentDataTag())));
        const QStringList files = fixtures::writeSeries(out + QStringLiteral("_src"), layout);
        ListenerOnThread running(out);
        QVERIFY(running.listening());
        const quint16 port = running.port;
        QSignalSpy &received = running.received, &errors = running.errors;
        const auto storescu = [&](const QString& file) {
            QProcess tool;
            tool.start(QStandardPaths::findExecutable(QStringLiteral("storescu")),
                       QStringList{"-aec", "KALVLISTEN", "127.0.0.1", QString::number(port), file});
            return tool.waitForFinished(30000) && tool.exitCode() == 0;
        };
        QVERIFY(storescu(m_files.at(0)));

        std::vector<std::unique_ptr<DcmDataset>> objects;
        for (const QString& file : files)
            objects.push_back(fixtures::loadDataset(file));
        std::vector<int> statuses;
        std::unique_ptr<QThread> sender(QThread::create([&] {
            statuses = peers::storePacked(port, "KALVLISTEN", "PACKER", {objects[0].get(), objects[1].get()},
                                          {fragmentBytes, pdvsPerPdu, seed});
        }));
        sender->start();
        QVERIFY(sender->wait(60000));
        QCOMPARE(statuses, (std::vector<int>{STATUS_Success, STATUS_Success}));
        QVERIFY(storescu(m_files.at(1)));
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 4, 10000);
        QCOMPARE(errors.size(), 0);
        for (const std::unique_ptr<DcmDataset>& object : objects) {
            OFString uid;
            object->findAndGetOFString(DCM_SOPInstanceUID, uid);
            const QString stored = QDir(out).filePath(QString::fromLatin1(uid.c_str()) + QStringLiteral(".dcm"));
            QCOMPARE(peers::dataSetOfFile(stored), peers::dataSetBytes(*object, UID_LittleEndianExplicitTransferSyntax));
        }
        QVERIFY(running.stop());
    }

    void getAndFindRefuseDeepNestingAndKeepTheRest()
    {
        // The archive parses what it sends, so the depth stays within its own reach here.
        peers::QrArchive archive;
        QStringList stored;
        for (int i = 0; i < m_files.size(); ++i) {
            stored << QStringLiteral("%1/%2.dcm").arg(archive.storageDir()).arg(i);
            QVERIFY(i == 1 ? !hostileCopy(i, 1000, stored.last()).isEmpty() : QFile::copy(m_files.at(i), stored.last()));
        }
        QVERIFY(archive.index(stored) && archive.start());
        const QString out = m_work.filePath(QStringLiteral("get"));
        int received = -1;
        QString error;
        QVERIFY(!getStudy(serverAt(archive.port(), peers::QrArchive::aeTitle), PacsConfig(), m_layout.studyUid, out,
                          &received, &error, {}));
        QCOMPARE(received, 3);
        QVERIFY2(error.contains(QStringLiteral("с ошибкой 1")) && error.contains(QStringLiteral("вложенными")), qPrintable(error));
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 3);

        // A search answer nested as deep, between two normal ones.
        peers::ScriptedScp scp;
        for (int row = 0; row < 3; ++row) {
            auto dataset = std::make_unique<DcmDataset>();
            dataset->putAndInsertString(DCM_StudyInstanceUID, QByteArray::number(row + 1).prepend("1.2.3.").constData());
            DcmItem* item = dataset.get();
            for (int level = 0; row == 1 && level < 1000; ++level)
                item->findOrCreateSequenceItem(DCM_ProcedureCodeSequence, item, -2);
            scp.findRows.push_back(std::move(dataset));
        }
        QVERIFY(scp.start());
        const QList<StudyQueryRow> rows = findStudies(serverAt(scp.port(), "SCRIPTED"), PacsConfig(), {}, &error);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(1).studyInstanceUid, QStringLiteral("1.2.3.3"));
        QVERIFY2(error.contains(QStringLiteral("C-FIND: 1")) && error.contains(QStringLiteral("вложенными")), qPrintable(error));
    }

    void searchCutsOffHostileMessages_data()
    {
        QTest::addColumn<int>("message");
        QTest::addColumn<QString>("said"); // empty: the search ends well
        QTest::newRow("sound answers") << int(peers::HostileMessage::None) << QString();
        QTest::newRow("command nested 20000 levels")
            << int(peers::HostileMessage::NestedCommand) << QStringLiteral("Сервер прислал команду DIMSE длиннее 8 КБ");
        QTest::newRow("command of 1 MiB")
            << int(peers::HostileMessage::HugeCommand) << QStringLiteral("Сервер прислал команду DIMSE длиннее 8 КБ");
        QTest::newRow("data where the command is due")
            << int(peers::HostileMessage::DataForCommand)
            << QStringLiteral("Сервер прислал данные там, где ожидалась команда DIMSE");
        // Held to a bound of 2 s here: each empty fragment would renew a time-out, not the bound.
        QTest::newRow("answer whose fragments never end")
            << int(peers::HostileMessage::EndlessFragments) << QStringLiteral("дольше допустимого");
        // Past the answer's 1 MB, refused anyway, its bytes earn it no more time (64 MiB would earn
        // more than a quarter of an hour).
        QTest::newRow("answer past 1 MB whose fragments keep coming")
            << int(peers::HostileMessage::EndlessLargeAnswer) << QStringLiteral("дольше допустимого");
        // Inside a fragment as between two: the trickle would take 100 s.
        QTest::newRow("fragment trickled a byte at a time")
            << int(peers::HostileMessage::TrickledFragment) << QStringLiteral("дольше допустимого");
    }

    // A server that answers one row and then a message no sound peer sends: the search keeps the row,
    // says why it stopped and aborts the association, before DCMTK parses the message.
    void searchCutsOffHostileMessages()
    {
        QFETCH(int, message);
        QFETCH(QString, said);
        peers::ScriptedScp scp;
        auto first = std::make_unique<DcmDataset>();
        first->putAndInsertString(DCM_StudyInstanceUID, "1.2.3.1");
        scp.findRows.push_back(std::move(first));
        scp.hostile = peers::HostileMessage(message);
        QVERIFY(scp.start());
        tightenMessageBound(2000);
        const auto restore = qScopeGuard([] { tightenMessageBound(0); });
        QString error;
        QList<StudyQueryRow> rows;
        // A thread with the stack the GUI thread has, where the search dialog runs it.
        std::unique_ptr<QThread> search(QThread::create(
            [&] { rows = findStudies(serverAt(scp.port(), "SCRIPTED"), PacsConfig(), {}, &error); }));
        search->start();
        if (!search->wait(30000))
            qFatal("the search did not return for %s", QTest::currentDataTag());
        QCOMPARE(rows.size(), 1);
        QVERIFY2(said.isEmpty() ? error.isEmpty() : error.contains(said), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(scp.releasesReceived(), said.isEmpty() ? 1 : 0, 5000);
    }

    void searchReadsPackedAnswers_data()
    {
        packingRows({{"answer, identifier and final answer in one PDU", 0, 3},
                     {"fragments of 16 bytes, 64 to a PDU", 16, 64}},
                    40);
    }

    // A server may put several fragments in one PDU, of one message or of several, and cut its
    // messages anywhere: the answer is listed all the same.
    void searchReadsPackedAnswers()
    {
        QFETCH(int, fragmentBytes);
        QFETCH(int, pdvsPerPdu);
        QFETCH(quint32, seed);
        peers::ScriptedScp scp;
        auto row = std::make_unique<DcmDataset>();
        row->putAndInsertString(DCM_PatientName, "Packed^Answer");
        row->putAndInsertString(DCM_StudyDescription, QByteArray(300, 'x').constData());
        row->putAndInsertString(DCM_StudyInstanceUID, "1.2.3.1");
        scp.findRows.push_back(std::move(row));
        scp.packing = {fragmentBytes, pdvsPerPdu, seed};
        QVERIFY(scp.start());
        QString error;
        const QList<StudyQueryRow> rows = findStudies(serverAt(scp.port(), "SCRIPTED"), PacsConfig(), {}, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().patientName, QStringLiteral("Packed^Answer"));
        QCOMPARE(rows.first().studyInstanceUid, QStringLiteral("1.2.3.1"));
        QTRY_COMPARE_WITH_TIMEOUT(scp.releasesReceived(), 1, 5000);
    }

    void findRefusesHostileAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer"); // the data set, as the server sends it
        QTest::addColumn<bool>("implicit");     // in implicit VR little endian, else explicit
        QTest::addColumn<int>("copies");        // of it, between two normal answers
        QTest::addColumn<QString>("refusal");   // what the search says; empty: every answer is a row
        // 12 000 levels overflow the stack of the thread that reads the answers.
        for (const char* vr : {"SQ", "UN"})
            QTest::addRow("Pixel Data as %s, 12000 levels", vr)
                << fixtures::nestedPixelDataBytes(12000, vr) << false << 1 << QStringLiteral("вложенными");
        // A megabyte of empty elements: DCMTK's sorted insert walks past all the larger ones for each.
        QTest::newRow("130000 elements in descending order")
            << fixtures::emptyElementsBytes(130000, true) << false << 1 << QStringLiteral("не по порядку");
        // Read by index, every one of these would take tens of seconds.
        QTest::newRow("130000 elements in ascending order, four answers")
            << fixtures::emptyElementsBytes(130000, false) << false << 4 << QString();
        // The shapes DCMTK reads otherwise than their bytes suggest, deep enough to end the program, and
        // as deep as real answers go: read as DCMTK reads them, or refused where no walk can tell.
        using fixtures::HostileShape;
        for (auto [name, shape] : {std::pair{"private sequence", HostileShape::PrivateSequence},
                                   std::pair{"unknown VR", HostileShape::UnknownVrSequence},
                                   std::pair{"Pixel Data of unknown VR", HostileShape::UnknownVrPixelData},
                                   std::pair{"item group sequence", HostileShape::ItemGroupSequence},
                                   std::pair{"non-letter VR", HostileShape::NonLetterVr}}) {
            const bool followable = shape == HostileShape::PrivateSequence || shape == HostileShape::NonLetterVr;
            for (int depth : {20000, 8}) {
                QTest::addRow("%s, %d levels", name, depth)
                    << fixtures::hostileShapeAnswer(shape, depth) << fixtures::hostileShapeAnswerIsImplicit(shape) << 1
                    << (!followable ? QStringLiteral("нестандартной структуры")
                                    : depth > dicom::kMaxSequenceNesting ? QStringLiteral("вложенными") : QString());
            }
        }
        // Found by the fuzz target: a group length (5153,0000) of almost 4 GB whose value starts with an
        // item, which a walk may take for a sequence; DCMTK allocates the whole length for it.
        QTest::newRow("group length of 4 GB starting with an item")
            << QByteArray::fromBase64("U1EAAP//Bv/+/wDg//////7/DeAAAAAA/v/d4AAAAAD+/w3gAAAAAHv/3eAAAAAA/v8N4AAAAAD+/93gAAAAAA==")
            << true << 1 << QStringLiteral("выходит за конец");
        // The same from a string of one byte, (0008,0105), that starts like an item: DCMTK reads the bytes
        // after it as an element of almost 4 GB.
        QTest::newRow("one-byte string followed by a length of 4 GB")
            << QByteArray::fromBase64("CAAFAQEAAAD+/93gAAAAAP7/3eAAAAAA") << true << 1 << QStringLiteral("выходит за конец");
        // Valid answers whose private values a walk may take for sequences, read as DCMTK reads them: a
        // private sequence in implicit VR whose item is written in explicit VR (its first element's
        // "LO" and length read as a length past the item's end), and private bytes, implicit and UN,
        // that merely start like an item. DCMTK reads all three values as bytes.
        const QByteArray creator = QByteArray::fromHex("29001000 08000000") + "ACME 1.0";
        // (0029,xxC5) is a sequence in DCMTK's private dictionary under another creator.
        const auto explicitItemAt = [](quint8 element) {
            return QByteArray::fromHex("2900") + char(element) + QByteArray::fromHex("10 1e000000 feff00e0 16000000") +
                   QByteArray::fromHex("2900c610 4c4f0400") + "ABCD" + QByteArray::fromHex("2900c710 55530200 0700");
        };
        QTest::newRow("private sequence in implicit VR of an item in explicit VR")
            << creator + explicitItemAt(0xC5) << true << 1 << QString();
        // Every such value costs the walk one more pass: seventeen of them are refused.
        QByteArray manyItems = creator;
        for (quint8 element : {0x02, 0x08, 0x0F, 0x10, 0x1B, 0x1C, 0x21, 0x40, 0x41, 0x42, 0x43, 0x44, 0x4C, 0x70,
                               0x9A, 0xC0, 0xC1})
            manyItems += explicitItemAt(element);
        QTest::newRow("17 private sequences in implicit VR of items in explicit VR")
            << manyItems << true << 1 << QStringLiteral("нестандартной структуры");
        const QByteArray itemLike = QByteArray::fromHex("feff00e0 12345678 90abcdef 00112233 44556677");
        QTest::newRow("private bytes starting like an item, implicit VR")
            << QByteArray::fromHex("09001000 08000000") + "ACME 1.0" + QByteArray::fromHex("09002010 14000000") + itemLike
            << true << 1 << QString();
        QTest::newRow("private UN starting like an item")
            << QByteArray::fromHex("09001000 4c4f0800") + "ACME 1.0" + QByteArray::fromHex("09002010 554e0000 14000000") +
                   itemLike
            << false << 1 << QString();
        // Held the search for a minute when the private sequence hid them.
        QTest::newRow("120000 elements in descending order in a private sequence")
            << fixtures::elementsInPrivateSequenceAnswer(120000) << true << 1 << QStringLiteral("не по порядку");
    }

    void findRefusesHostileAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, implicit);
        QFETCH(int, copies);
        QFETCH(QString, refusal);
        QVERIFY(answer.size() < FindStudiesSCU::kMaxIdentifierBytes - 64);
        peers::ScriptedScp scp;
        scp.findImplicitOnly = implicit;
        // Study Instance UID (0020,000D) goes before the rest.
        const auto studyUid = [implicit](QByteArray uid) {
            if (uid.size() % 2)
                uid.append('\0');
            QByteArray element = implicit ? QByteArray("\x20\x00\x0D\x00\x00\x00\x00\x00", 8)
                                          : QByteArray("\x20\x00\x0D\x00UI\x00\x00", 8);
            if (implicit)
                qToLittleEndian<quint32>(quint32(uid.size()), element.data() + 4);
            else
                qToLittleEndian<quint16>(quint16(uid.size()), element.data() + 6);
            return element + uid;
        };
        // A normal answer first and last (the raw ones follow DCMTK's own).
        auto first = std::make_unique<DcmDataset>();
        first->putAndInsertString(DCM_StudyInstanceUID, "1.2.3.1");
        scp.findRows.push_back(std::move(first));
        // In tag order: DCMTK finds a private creator only for elements read in order after it.
        const bool answerFirst = qFromLittleEndian<quint16>(answer.constData()) < 0x0020;
        for (int row = 2; row <= copies + 1; ++row) {
            const QByteArray uid = studyUid(QByteArray::number(row).prepend("1.2.3."));
            scp.findRawRows.push_back(answerFirst ? answer + uid : uid + answer);
        }
        scp.findRawRows.push_back(studyUid(QByteArray::number(copies + 2).prepend("1.2.3.")));
        QVERIFY(scp.start());
        QString error;
        QList<StudyQueryRow> rows;
        QElapsedTimer clock;
        clock.start();
        std::unique_ptr<QThread> search(QThread::create(
            [&] { rows = findStudies(serverAt(scp.port(), "SCRIPTED"), PacsConfig(), {}, &error); }));
        search->start();
        if (!search->wait(30000))
            qFatal("the search did not return for %s", QTest::currentDataTag());
        // Generous: a loaded machine, and sanitizers.
        QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(rows.size() == (refusal.isEmpty() ? copies + 2 : 2), qPrintable(error));
        QCOMPARE(rows.first().studyInstanceUid, QStringLiteral("1.2.3.1"));
        QCOMPARE(rows.last().studyInstanceUid, QStringLiteral("1.2.3.%1").arg(copies + 2));
        if (refusal.isEmpty())
            QVERIFY2(error.isEmpty(), qPrintable(error));
        else
            QVERIFY2(error.contains(QStringLiteral("C-FIND: 1")) && error.contains(refusal), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestHostileNesting)
#include "tst_hostilenesting.moc"
