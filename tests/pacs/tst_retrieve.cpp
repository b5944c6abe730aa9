// C-GET and C-MOVE of whole studies from dcmqrscp on loopback, with storescp as the C-MOVE
// destination: a 300-object study must arrive as 300 distinct, complete files.

#include "support/PacsTestPeers.h"

#include "support/DicomFixtures.h"
#include "dicom/CodecRegistration.h"
#include "pacs/PacsNetworkClient.h"

#include <QCoreApplication>
#include <QSet>
#include <QTest>

#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/oflog/oflog.h>

using namespace pacs;

namespace {

constexpr int kLargeStudy = 300;
constexpr int kSide = 64;

PacsServer archiveServer(quint16 port, int mode)
{
    PacsServer server;
    server.host = QStringLiteral("127.0.0.1");
    server.port = port;
    server.aeTitle = QString::fromLatin1(peers::QrArchive::aeTitle);
    server.retrieveMode = mode;
    return server;
}

// SOP Instance UIDs of the files, failing the test on any file that is incomplete.
QSet<QString> instanceUids(const QStringList& files, int side)
{
    QSet<QString> uids;
    for (const QString& path : files) {
        DcmFileFormat ff;
        const OFCondition cond = ff.loadFile(QFile::encodeName(path).constData());
        if (cond.bad()) {
            qWarning() << "cannot read" << path << cond.text();
            return {};
        }
        DcmDataset* ds = ff.getDataset();
        OFString uid;
        ds->findAndGetOFString(DCM_SOPInstanceUID, uid);
        const Uint16* pixels = nullptr;
        unsigned long count = 0;
        if (ds->findAndGetUint16Array(DCM_PixelData, pixels, &count).bad() || count != unsigned(side * side)) {
            qWarning() << "incomplete pixel data in" << path << count;
            return {};
        }
        uids.insert(QString::fromLatin1(uid.c_str()));
    }
    return uids;
}

QStringList filesIn(const QString& dir)
{
    QStringList out;
    for (const QFileInfo& fi : QDir(dir).entryInfoList(QDir::Files))
        out << fi.absoluteFilePath();
    return out;
}

} // namespace

class TestRetrieve : public QObject
{
    Q_OBJECT

private:
    dicom::CodecRegistrationScope m_codecs;
    QTemporaryDir m_work;
    peers::QrArchive m_archive;
    peers::StoreReceiver m_receiver;
    QString m_large, m_small, m_compressed, m_damaged;
    quint16 m_closedPort = 0;
    QSet<QString> m_largeUids, m_smallUids;

    static QSet<QString> uidsOf(const QStringList& files) { return instanceUids(files, kSide); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        QVERIFY(m_receiver.start(QStringLiteral("KALVRCV")));
        m_archive.addMoveDestination(QStringLiteral("KALVRCV"), m_receiver.port());
        // Known to the archive, but nothing listens where it points.
        m_closedPort = fixtures::freeLoopbackPort();
        m_archive.addMoveDestination(QStringLiteral("KALVDOWN"), m_closedPort);

        fixtures::SeriesLayout large;
        large.rows = large.columns = kSide;
        large.slices = kLargeStudy;
        large.patientName = QStringLiteral("Большой^Пациент");
        large.specificCharacterSet = QStringLiteral("ISO_IR 192");
        fixtures::completeUids(large);
        m_large = large.studyUid;
        const QStringList largeFiles = fixtures::writeSeries(m_archive.storageDir() + QStringLiteral("/large"), large);
        QCOMPARE(largeFiles.size(), kLargeStudy);
        m_largeUids = uidsOf(largeFiles);
        QCOMPARE(m_largeUids.size(), kLargeStudy);

        fixtures::SeriesLayout small;
        small.rows = small.columns = kSide;
        small.slices = 4;
        small.modality = QStringLiteral("MR");
        small.specificCharacterSet = QStringLiteral("ISO_IR 144");
        small.patientName = QStringLiteral("Малый^Пациент");
        fixtures::completeUids(small);
        m_small = small.studyUid;
        const QStringList smallFiles = fixtures::writeSeries(m_archive.storageDir() + QStringLiteral("/small"), small);
        m_smallUids = uidsOf(smallFiles);
        QCOMPARE(m_smallUids.size(), 4);

        // Stored as JPEG-LS: reaches storescp by C-MOVE as it is; by C-GET only if the archive
        // can decompress it for our uncompressed contexts (dcmqrscp cannot).
        fixtures::SeriesLayout compressed = small;
        compressed.studyUid.clear();
        compressed.seriesUid.clear();
        compressed.slices = 2;
        compressed.compression = fixtures::Compression::JpegLsLossless;
        fixtures::completeUids(compressed);
        m_compressed = compressed.studyUid;
        const QStringList compressedFiles =
            fixtures::writeSeries(m_archive.storageDir() + QStringLiteral("/compressed"), compressed);

        // A study whose second file vanishes from the archive after indexing.
        fixtures::SeriesLayout damaged;
        damaged.rows = damaged.columns = kSide;
        damaged.slices = 3;
        fixtures::completeUids(damaged);
        m_damaged = damaged.studyUid;
        const QStringList damagedFiles = fixtures::writeSeries(m_archive.storageDir() + QStringLiteral("/damaged"), damaged);

        QVERIFY(m_archive.index(largeFiles + smallFiles + compressedFiles + damagedFiles));
        QVERIFY(QFile::remove(damagedFiles.at(1)));
        QVERIFY(m_archive.start());
    }

    void getLargeStudy()
    {
        const QString out = m_work.filePath(QStringLiteral("get-large"));
        QStringList reported;
        int received = -1;
        QString error = QStringLiteral("untouched");
        const bool ok = getStudy(archiveServer(m_archive.port(), 1), PacsConfig(), m_large, out, &received, &error,
                                 [&](const QString& path) { reported << path; });
        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(error, QStringLiteral("untouched"));
        QCOMPARE(received, kLargeStudy);
        QCOMPARE(QSet<QString>(reported.begin(), reported.end()).size(), kLargeStudy);
        QCOMPARE(filesIn(out).size(), kLargeStudy);
        QCOMPARE(uidsOf(filesIn(out)), m_largeUids);
        // With Nagle's algorithm on, each object would wait for a delayed ACK (about 40 ms on Linux
        // loopback, some 12 s here); the toolkit reads the switch from the environment. The speed
        // itself is measured in the benchmarks.
        QCOMPARE(qgetenv("TCP_NODELAY"), QByteArray("1"));
    }

    void moveLargeStudy()
    {
        PacsConfig config;
        config.localAeTitle = QStringLiteral("KALVRCV"); // empty move destination: our own AE title
        QString error = QStringLiteral("untouched");
        QVERIFY2(moveStudy(archiveServer(m_archive.port(), 0), config, m_large, &error), qPrintable(error));
        QCOMPARE(error, QStringLiteral("untouched"));
        QTRY_COMPARE_WITH_TIMEOUT(m_receiver.files().size(), kLargeStudy, 10000);
        QCOMPARE(uidsOf(m_receiver.files()), m_largeUids);

    }

    void compressedObjectsTheArchiveCannotConvert()
    {
        int received = -1;
        QString error;
        const QString out = m_work.filePath(QStringLiteral("get-compressed"));
        QVERIFY(!getStudy(archiveServer(m_archive.port(), 1), PacsConfig(), m_compressed, out, &received, &error, {}));
        QCOMPARE(received, 0);
        QVERIFY2(error.contains(QStringLiteral("с ошибкой 2")), qPrintable(error));
    }

    void getStudyTwiceIntoOneFolder()
    {
        // The same objects twice: each takes the place of its own first copy, one file per object.
        const QString out = m_work.filePath(QStringLiteral("get-twice"));
        for (int round = 1; round <= 2; ++round) {
            int received = 0;
            QString error;
            QVERIFY2(getStudy(archiveServer(m_archive.port(), 1), PacsConfig(), m_small, out, &received, &error, {}),
                     qPrintable(error));
            QCOMPARE(received, 4);
            QCOMPARE(filesIn(out).size(), 4);
        }
        QCOMPARE(uidsOf(filesIn(out)), m_smallUids);
    }

    void getNothing()
    {
        int received = -1;
        QString error = QStringLiteral("untouched");
        QVERIFY(getStudy(archiveServer(m_archive.port(), 1), PacsConfig(), QStringLiteral("1.2.3.4.5.6.7.8.9"),
                         m_work.filePath(QStringLiteral("get-nothing")), &received, &error, {}));
        QCOMPARE(received, 0);
        QCOMPARE(error, QStringLiteral("untouched"));
    }

    void partialRetrievesAreReportedAsSuch()
    {
        // The archive lost one of three objects.
        int received = -1;
        QString error;
        const QString out = m_work.filePath(QStringLiteral("get-damaged"));
        QVERIFY(!getStudy(archiveServer(m_archive.port(), 1), PacsConfig(), m_damaged, out, &received, &error, {}));
        QCOMPARE(received, 2);
        QCOMPARE(filesIn(out).size(), 2);
        QVERIFY2(error.contains(QStringLiteral("не полностью")) || error.contains(QStringLiteral("отказал")), qPrintable(error));

        PacsConfig config;
        config.moveDestinationAeTitle = QStringLiteral("KALVRCV");
        error.clear();
        QVERIFY(!moveStudy(archiveServer(m_archive.port(), 0), config, m_damaged, &error));
        QVERIFY2(error.contains(QStringLiteral("не полностью")) || error.contains(QStringLiteral("отказал")), qPrintable(error));
    }

    void unwritableFolderFailsTheGet()
    {
        // The output "folder" is a file: nothing can be written, and the server is told so.
        const QString blocker = m_work.filePath(QStringLiteral("blocker"));
        fixtures::writeBytes(blocker, "x");
        int received = -1;
        QString error;
        QVERIFY(!getStudy(archiveServer(m_archive.port(), 1), PacsConfig(), m_small, blocker + QStringLiteral("/sub"),
                          &received, &error, {}));
        QCOMPARE(received, 0);
        QVERIFY2(error.contains(QStringLiteral("Не удалось создать папку")), qPrintable(error));
    }

    void unknownMoveDestination_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QStringList>("said");
        QTest::newRow("unknown to the archive") << QStringLiteral("NOBODY") << QStringList{QStringLiteral("NOBODY")};
        // 0xA702: the archive could not reach the program's own listener, which is not a refusal.
        QTest::newRow("known, but not listening") << QStringLiteral("KALVDOWN")
                                                  << QStringList{QStringLiteral("KALVDOWN"), QStringLiteral("0xA702"),
                                                                 QStringLiteral("не смог"), QStringLiteral("брандмауэр")};
    }
    void unknownMoveDestination()
    {
        QFETCH(QString, destination);
        QFETCH(QStringList, said);
        PacsConfig config;
        config.moveDestinationAeTitle = destination;
        config.localPort = m_closedPort;
        QString error;
        QVERIFY(!moveStudy(archiveServer(m_archive.port(), 0), config, m_small, &error));
        for (const QString& word : said)
            QVERIFY2(error.contains(word), qPrintable(error));
        QVERIFY2(!error.contains(QStringLiteral("отказал")), qPrintable(error));
        if (destination == QStringLiteral("KALVDOWN"))
            QVERIFY2(error.contains(QString::number(m_closedPort)), qPrintable(error));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    TestRetrieve test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_retrieve.moc"
