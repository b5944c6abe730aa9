// Road of one import: a mixed folder is scanned on a worker thread, every summary is indexed into a
// real index file on the receiving thread, and every indexed frame decodes with the window asked for.
#include "dicom/CodecRegistration.h"
#include "support/DicomFixtures.h"
#include "DicomTestSupport.h"
#include "dicom/DicomImporter.h"
#include "dicom/FrameDecoder.h"
#include "db/Database.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <QDir>
#include <QHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cmath>
#include <functional>

using fixtures::Compression;
using fixtures::PixelKind;
using fixtures::SeriesLayout;

namespace {

using dicomtest::expectedGray;

// Stored value of every series here: the slice (or frame) shows in the picture.
int storedValue(int x, int y, int z)
{
    return 3 * z + x + y;
}

struct SeriesExpectation
{
    PixelKind kind = PixelKind::Int16;
    double intercept = 0.0;
    int tolerance = 1; // below 0: lossy, only the picture's shape is checked
    bool multiFrame = false;
    int firstInstance = 1;
    int instanceRows = 0; // rows the index should hold for the series (frames count one each)
};

} // namespace

class ImportEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void folderImportIndexesAndDecodesEverything();

private:
    void addSeries(const QString& folder, SeriesLayout layout, int files, int tolerance);
    void addMultiFrame(const QString& file, SeriesLayout layout, bool enhanced);

    QTemporaryDir m_dir;
    QTemporaryDir m_indexDir; // outside the scanned tree
    std::optional<dicom::CodecRegistrationScope> m_codecs;
    QHash<QString, SeriesExpectation> m_expected; // by series UID
    int m_dicomFiles = 0;
    int m_rejectedFiles = 0;
};

void ImportEndToEndTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    dicom::registerMetaTypes();
    m_codecs.emplace();
}

void ImportEndToEndTest::addSeries(const QString& folder, SeriesLayout layout, int files, int tolerance)
{
    fixtures::completeUids(layout);
    layout.slices = files;
    layout.value = storedValue;
    fixtures::writeSeries(m_dir.filePath(folder), layout);
    m_expected.insert(layout.seriesUid, {layout.pixels, layout.pixels == PixelKind::Rgb8 ? 0.0 : layout.rescaleIntercept, tolerance,
                                       false, layout.firstInstanceNumber, files});
    m_dicomFiles += files;
}

void ImportEndToEndTest::addMultiFrame(const QString& file, SeriesLayout layout, bool enhanced)
{
    fixtures::completeUids(layout);
    layout.value = storedValue;
    const QString path = m_dir.filePath(file);
    enhanced ? fixtures::writeEnhancedMultiFrame(path, layout) : fixtures::writeMultiFrame(path, layout);
    m_expected.insert(layout.seriesUid, {layout.pixels, layout.pixels == PixelKind::Rgb8 ? 0.0 : layout.rescaleIntercept, 1, true,
                                       layout.firstInstanceNumber, layout.slices});
    m_dicomFiles += 1;
}

void ImportEndToEndTest::folderImportIndexesAndDecodesEverything()
{
    // One patient with Cyrillic name and folders, several studies, every pixel kind and compression.
    SeriesLayout base;
    base.rows = 24;
    base.columns = 20;
    base.patientName = QStringLiteral("Иванов^Пётр");
    base.studyUid = fixtures::newUid();

    SeriesLayout ct = base;
    ct.seriesDescription = QStringLiteral("КТ плоская");
    addSeries(QStringLiteral("Иванов Пётр/КТ/обычные"), ct, 150, 1);

    SeriesLayout jpegLs = base;
    jpegLs.seriesNumber = QStringLiteral("2");
    jpegLs.compression = Compression::JpegLsLossless;
    addSeries(QStringLiteral("Иванов Пётр/КТ/сжатые JPEG-LS"), jpegLs, 60, 1);

    SeriesLayout rle = base;
    rle.seriesNumber = QStringLiteral("3");
    rle.pixels = PixelKind::UInt16;
    rle.rescaleIntercept = 0.0;
    rle.compression = Compression::Rle;
    addSeries(QStringLiteral("rle/deeper/still deeper"), rle, 40, 1);

    SeriesLayout jpeg = base;
    jpeg.seriesNumber = QStringLiteral("4");
    jpeg.modality = QStringLiteral("OT");
    jpeg.pixels = PixelKind::UInt8;
    jpeg.rescaleIntercept = 0.0;
    jpeg.compression = Compression::JpegBaseline;
    addSeries(QStringLiteral("jpeg"), jpeg, 30, -1); // the lossy encoder rescales values: shape only

    SeriesLayout rgb = base;
    rgb.seriesNumber = QStringLiteral("5");
    rgb.modality = QStringLiteral("US");
    rgb.pixels = PixelKind::Rgb8;
    addSeries(QStringLiteral("цвет"), rgb, 20, 1);

    SeriesLayout mr = base;
    mr.studyUid.clear();
    mr.modality = QStringLiteral("MR");
    mr.pixels = PixelKind::UInt16;
    mr.rescaleIntercept = 0.0;
    mr.slices = 12;
    addMultiFrame(QStringLiteral("мульти/классический.dcm"), mr, false);
    SeriesLayout mrCompressed = mr;
    mrCompressed.seriesUid.clear();
    mrCompressed.compression = Compression::JpegLsLossless;
    mrCompressed.slices = 9;
    addMultiFrame(QStringLiteral("мульти/классический JPEG-LS.dcm"), mrCompressed, false);
    SeriesLayout enhanced = mr;
    enhanced.seriesUid.clear();
    enhanced.slices = 10;
    addMultiFrame(QStringLiteral("мульти/расширенный.dcm"), enhanced, true);
    SeriesLayout cine = base;
    cine.studyUid.clear();
    cine.modality = QStringLiteral("US");
    cine.pixels = PixelKind::Rgb8;
    cine.slices = 24; // colour cine above 16 frames: decoded frame by frame
    addMultiFrame(QStringLiteral("мульти/кино.dcm"), cine, false);

    // Files that must be skipped: not DICOM at all, DICOM-looking but broken, DICOM without a SOP UID.
    for (int i = 0; i < 12; ++i)
        fixtures::writeBytes(m_dir.filePath(QStringLiteral("прочее/заметка %1.txt").arg(i)), QByteArray(500 + i, 'a'));
    fixtures::writeBytes(m_dir.filePath(QStringLiteral("прочее/почти.dcm")), QByteArray(131, '\0'));
    fixtures::writeDicmWithPayload(m_dir.filePath(QStringLiteral("прочее/мусор.dcm")), QByteArray(200, '\x7F'));
    const QString source = m_dir.filePath(QStringLiteral("Иванов Пётр/КТ/обычные/IMG_0.dcm"));
    fixtures::writeTruncatedCopy(source, m_dir.filePath(QStringLiteral("прочее/обрезан.dcm")), QFileInfo(source).size() / 2);
    SeriesLayout noSop = base;
    noSop.customize = [](DcmDataset& ds, int) { ds.findAndDeleteElement(DCM_SOPInstanceUID); };
    fixtures::writeSlice(m_dir.filePath(QStringLiteral("прочее/без UID.dcm")), noSop, 0);
    m_rejectedFiles = 12 + 4;

    db::Database database;
    QVERIFY2(database.open(m_indexDir.filePath(QStringLiteral("index.sqlite3"))), qPrintable(database.lastError()));

    // The importer on its own thread, wired the way the study list wires it.
    auto* thread = new QThread;
    auto* importer = new dicom::DicomImporter;
    importer->moveToThread(thread);
    const QString root = m_dir.path();
    connect(thread, &QThread::started, importer, [importer, root] { importer->importDirectory(root); });
    int indexed = 0;
    int indexFailures = 0;
    bool indexedOnOwnThread = true;
    connect(importer, &dicom::DicomImporter::fileFound, this, [&](const dicom::DicomFileSummary& summary) {
        indexedOnOwnThread = indexedOnOwnThread && QThread::currentThread() == this->thread();
        database.indexFile(summary) ? ++indexed : ++indexFailures;
    });
    QSignalSpy progress(importer, &dicom::DicomImporter::progress);
    QSignalSpy finished(importer, &dicom::DicomImporter::finished);
    QSignalSpy errors(importer, &dicom::DicomImporter::errorOccurred);
    connect(importer, &dicom::DicomImporter::finished, thread, &QThread::quit);
    connect(thread, &QThread::finished, importer, &QObject::deleteLater);
    thread->start();
    // The GUI thread keeps its event loop running, indexing summaries while the scan goes on.
    QTRY_VERIFY_WITH_TIMEOUT(thread->isFinished(), 60000);
    QCoreApplication::processEvents(); // the last queued summaries
    delete thread;

    const int totalFiles = m_dicomFiles + m_rejectedFiles;
    QCOMPARE(finished.first().at(0).toInt(), m_dicomFiles);
    QCOMPARE(finished.first().at(1).toInt(), m_rejectedFiles);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(progress.size(), totalFiles / 25 + 1);
    QCOMPARE(progress.last().at(0).toInt(), totalFiles);
    QCOMPARE(indexed, m_dicomFiles);
    QCOMPARE(indexFailures, 0);
    QVERIFY(indexedOnOwnThread);

    // The index, reopened from its file, holds every series with one row per frame.
    db::Database reopened;
    QVERIFY(reopened.open(m_indexDir.filePath(QStringLiteral("index.sqlite3"))));
    const auto studies = reopened.allStudies();
    QCOMPARE(studies.size(), 5);
    int seriesSeen = 0;
    int framesDecoded = 0;
    for (const auto& study : studies) {
        QCOMPARE(study.patientName, QStringLiteral("Иванов^Пётр"));
        for (const auto& series : reopened.seriesForStudy(study.studyInstanceUid)) {
            QVERIFY2(m_expected.contains(series.seriesInstanceUid), qPrintable(series.seriesInstanceUid));
            const SeriesExpectation expected = m_expected.value(series.seriesInstanceUid);
            ++seriesSeen;
            const auto instances = reopened.instancesForSeries(series.seriesInstanceUid);
            QCOMPARE(instances.size(), expected.instanceRows);
            for (const auto& instance : instances) {
                const int z = expected.multiFrame ? instance.frameIndex
                                                  : int(instance.instanceNumber / 100000) - expected.firstInstance;
                const render::WindowLevel window{expected.intercept + 100.0 + z, 250.0 + 2 * z};
                QString error;
                const auto decoded = dicom::decodeFrame(instance.filePath, instance.frameIndex, window, &error);
                QVERIFY2(decoded, qPrintable(instance.filePath + QLatin1String(": ") + error));
                QCOMPARE(decoded->image.size(), QSize(20, 24));
                if (expected.tolerance < 0) {
                    QVERIFY(qGray(decoded->image.pixel(19, 23)) > qGray(decoded->image.pixel(0, 0)));
                    ++framesDecoded;
                    continue;
                }
                for (const QPoint p : {QPoint(0, 0), QPoint(19, 23), QPoint(7, 11)}) {
                    const int value = storedValue(p.x(), p.y(), z);
                    int got = 0;
                    int want = 0;
                    if (expected.kind == PixelKind::Rgb8) {
                        QCOMPARE(decoded->windowWidth, 0.0);
                        got = qRed(decoded->image.pixel(p));
                        want = value;
                    } else {
                        QCOMPARE(decoded->windowCenter, window.center);
                        QCOMPARE(decoded->windowWidth, window.width);
                        got = qGray(decoded->image.pixel(p));
                        want = expectedGray(value + expected.intercept, window.center, window.width);
                    }
                    QVERIFY2(qAbs(got - want) <= expected.tolerance,
                             qPrintable(QStringLiteral("%1 frame %2 at %3,%4: %5 vs %6")
                                            .arg(instance.filePath).arg(instance.frameIndex).arg(p.x()).arg(p.y()).arg(got).arg(want)));
                }
                ++framesDecoded;
            }
        }
    }
    QCOMPARE(seriesSeen, m_expected.size());
    int expectedFrames = 0;
    for (const auto& e : std::as_const(m_expected))
        expectedFrames += e.instanceRows;
    QCOMPARE(framesDecoded, expectedFrames);
}

QTEST_GUILESS_MAIN(ImportEndToEndTest)
#include "tst_importendtoend.moc"
