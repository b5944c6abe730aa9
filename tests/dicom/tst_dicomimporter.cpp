// Folder importer: counts and progress, recursion, rejected files, bad paths, and stopping on request.
#include "support/DicomFixtures.h"
#include "dicom/DicomImporter.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using fixtures::SeriesLayout;

namespace {

SeriesLayout tinyLayout(int slices)
{
    SeriesLayout layout;
    layout.rows = 8;
    layout.columns = 8;
    layout.slices = slices;
    return layout;
}

QList<QPair<int, int>> progressOf(const QSignalSpy& spy)
{
    QList<QPair<int, int>> out;
    for (const auto& args : spy)
        out.append({args.at(0).toInt(), args.at(1).toInt()});
    return out;
}

} // namespace

class DicomImporterTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { dicom::registerMetaTypes(); }
    void fiftyFilesReportEveryTwentyFive();
    void rejectedFilesAreSkipped();
    void nestedAndCyrillicPathsAreFound();
    void badPath_data();
    void badPath();
    void emptyFolder();
    void stopsWhenThreadIsInterrupted();
};

void DicomImporterTest::fiftyFilesReportEveryTwentyFive()
{
    QTemporaryDir dir;
    fixtures::writeSeries(dir.path(), tinyLayout(50));
    dicom::DicomImporter importer;
    QSignalSpy progress(&importer, &dicom::DicomImporter::progress);
    QSignalSpy found(&importer, &dicom::DicomImporter::fileFound);
    QSignalSpy finished(&importer, &dicom::DicomImporter::finished);
    QSignalSpy errors(&importer, &dicom::DicomImporter::errorOccurred);
    importer.importDirectory(dir.path());
    QCOMPARE(progressOf(progress), (QList<QPair<int, int>>{{25, 25}, {50, 50}, {50, 50}}));
    QCOMPARE(found.size(), 50);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toInt(), 50);
    QCOMPARE(finished.first().at(1).toInt(), 0);
    QCOMPARE(errors.size(), 0);
    const auto summary = found.first().at(0).value<dicom::DicomFileSummary>();
    QVERIFY(QFileInfo(summary.filePath).isAbsolute());
    QVERIFY(summary.filePath.startsWith(QDir(dir.path()).absolutePath()));
}

void DicomImporterTest::rejectedFilesAreSkipped()
{
    QTemporaryDir dir;
    SeriesLayout layout = tinyLayout(1);
    fixtures::writeSlice(dir.filePath(QStringLiteral("good.dcm")), layout, 0);
    layout.customize = [](DcmDataset& ds, int) { ds.findAndDeleteElement(DCM_SOPInstanceUID); };
    fixtures::writeSlice(dir.filePath(QStringLiteral("no_sop.dcm")), layout, 0);
    fixtures::writeBytes(dir.filePath(QStringLiteral("notes.txt")), "not an image");

    dicom::DicomImporter importer;
    QSignalSpy progress(&importer, &dicom::DicomImporter::progress);
    QSignalSpy found(&importer, &dicom::DicomImporter::fileFound);
    QSignalSpy finished(&importer, &dicom::DicomImporter::finished);
    importer.importDirectory(dir.path());
    QCOMPARE(found.size(), 1);
    QCOMPARE(progressOf(progress), (QList<QPair<int, int>>{{3, 1}}));
    QCOMPARE(finished.first().at(0).toInt(), 1);
    QCOMPARE(finished.first().at(1).toInt(), 2);
}

void DicomImporterTest::nestedAndCyrillicPathsAreFound()
{
    QTemporaryDir dir;
    const QString deep = dir.filePath(QStringLiteral("Исследования/2024/КТ грудной клетки"));
    fixtures::writeSlice(deep + QStringLiteral("/срез 1.dcm"), tinyLayout(1), 0);
    fixtures::writeSlice(dir.filePath(QStringLiteral("a/b/c/d/e/IMG")), tinyLayout(1), 0); // no extension
    // An extension is no proof: no "DICM" at offset 128.
    fixtures::writeBytes(dir.filePath(QStringLiteral("a/fake.dcm")), QByteArray(300, '\0'));
    fixtures::writeBytes(dir.filePath(QStringLiteral("a/short.dcm")), QByteArray(131, '\0'));

    dicom::DicomImporter importer;
    QSignalSpy found(&importer, &dicom::DicomImporter::fileFound);
    QSignalSpy finished(&importer, &dicom::DicomImporter::finished);
    importer.importDirectory(dir.path());
    QCOMPARE(found.size(), 2);
    QCOMPARE(finished.first().at(0).toInt(), 2);
    QCOMPARE(finished.first().at(1).toInt(), 2);
    QStringList paths;
    for (const auto& args : found)
        paths << args.at(0).value<dicom::DicomFileSummary>().filePath;
    QVERIFY(paths.contains(QDir(deep).absoluteFilePath(QStringLiteral("срез 1.dcm"))));
    for (const QString& p : paths)
        QVERIFY2(QFileInfo::exists(p), qPrintable(p));
}

void DicomImporterTest::badPath_data()
{
    QTest::addColumn<bool>("isFile");
    QTest::newRow("missing") << false;
    QTest::newRow("a file") << true;
}

void DicomImporterTest::badPath()
{
    QFETCH(bool, isFile);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("nothing here"));
    if (isFile)
        path = fixtures::writeSlice(dir.filePath(QStringLiteral("one.dcm")), tinyLayout(1), 0);
    dicom::DicomImporter importer;
    QSignalSpy progress(&importer, &dicom::DicomImporter::progress);
    QSignalSpy finished(&importer, &dicom::DicomImporter::finished);
    QSignalSpy errors(&importer, &dicom::DicomImporter::errorOccurred);
    importer.importDirectory(path);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().at(0).toString(), QStringLiteral("Путь не существует или не является папкой: %1").arg(path));
    QCOMPARE(progress.size(), 0);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toInt(), 0);
    QCOMPARE(finished.first().at(1).toInt(), 0);
}

void DicomImporterTest::emptyFolder()
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath(QStringLiteral("empty/inside")));
    dicom::DicomImporter importer;
    QSignalSpy progress(&importer, &dicom::DicomImporter::progress);
    QSignalSpy finished(&importer, &dicom::DicomImporter::finished);
    importer.importDirectory(dir.path());
    QCOMPARE(progressOf(progress), (QList<QPair<int, int>>{{0, 0}}));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toInt(), 0);
}

void DicomImporterTest::stopsWhenThreadIsInterrupted()
{
    QTemporaryDir dir;
    fixtures::writeSeries(dir.path(), tinyLayout(60));

    auto* thread = new QThread;
    auto* importer = new dicom::DicomImporter;
    importer->moveToThread(thread);
    const QString root = dir.path();
    connect(thread, &QThread::started, importer, [importer, root] { importer->importDirectory(root); });
    // The owner asks the thread to stop as the first file arrives (as a closing window would).
    connect(importer, &dicom::DicomImporter::fileFound, importer,
            [thread] { thread->requestInterruption(); }, Qt::DirectConnection);
    QSignalSpy found(importer, &dicom::DicomImporter::fileFound);
    QSignalSpy finished(importer, &dicom::DicomImporter::finished);
    connect(importer, &dicom::DicomImporter::finished, thread, &QThread::quit);
    connect(thread, &QThread::finished, importer, &QObject::deleteLater);
    thread->start();
    QTRY_VERIFY_WITH_TIMEOUT(thread->isFinished(), 10000);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toInt(), 1);
    QCOMPARE(finished.first().at(1).toInt(), 0);
    QCOMPARE(found.size(), 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete thread;
}

QTEST_GUILESS_MAIN(DicomImporterTest)
#include "tst_dicomimporter.moc"
