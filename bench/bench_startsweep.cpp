// The start after a session that was cut short: copies in the archive store that no index row names
// (an archive import killed before its rows were written) are listed again by the start-up sweep
// before the study list is usable; beside it, the import of the same files from their archive as the
// study list runs it. Warm page cache.
//
//   bench_startsweep [copies]      (default 1250, five series)

#include "BenchSupport.h"
#include "support/DicomFixtures.h"

#include "app/MainWindow.h"
#include "app/ManagedStore.h"
#include "db/Database.h"
#include "dicom/AtomicDicomWriter.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/ZipImportWorker.h"

#include <dcmtk/oflog/oflog.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

namespace {

constexpr int kSeries = 5;

QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

// Copies the files into the archive store under the names an archive import gives them, as a
// killed import leaves them: on disk, written as the import writes them, no row naming them.
bool placeUnlistedCopies(const QStringList& files)
{
    const QString store = QDir(dataFolder()).filePath(QStringLiteral("imported_from_zip"));
    for (const QString& file : files) {
        const auto summary = dicom::readFileSummary(file);
        if (!summary)
            return false;
        const QString folder = QDir(store).filePath(dicom::ZipImportWorker::storeName(summary->seriesInstanceUid));
        if (!QDir().mkpath(folder) ||
            !dicom::AtomicDicomWriter::copyFile(
                file, QDir(folder).filePath(dicom::ZipImportWorker::storeName(summary->sopInstanceUid) +
                                            QStringLiteral(".dcm"))))
            return false;
    }
    return true;
}

int listedRows(MainWindow& window)
{
    int rows = 0;
    for (const db::StudyRecord& study : window.database()->allStudies())
        rows += study.instanceCount;
    return rows;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir scratch;
    bench::keepProgramDataIn(scratch);
    QApplication app(argc, argv);
    bench::useProgramNames();
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    dicom::registerMetaTypes();
    dicom::CodecRegistrationScope codecs;

    const int copies = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 1250;
    QStringList files;
    for (int s = 0; s < kSeries; ++s) {
        fixtures::SeriesLayout layout = bench::importSeriesLayout(copies / kSeries + (s < copies % kSeries ? 1 : 0));
        layout.rows = layout.columns = 256;
        layout.studyUid = QStringLiteral("1.2.826.0.1.3680043.10.1501.9");
        files << fixtures::writeSeries(scratch.filePath(QStringLiteral("series/%1").arg(s)), layout);
    }
    const QString zip = scratch.filePath(QStringLiteral("study.zip"));
    if (files.size() != copies || !fixtures::writeZip(zip, scratch.filePath(QStringLiteral("series")), files)) {
        std::printf("the %d files or their archive could not be written\n", copies);
        return 1;
    }
    std::printf("Start after a cut session: %d copies of 256 x 256 CT slices in %d series, index in %s\n", copies,
                kSeries, qPrintable(scratch.path()));

    // The start that lists them again: from the construction of the window until it is shown.
    QSettings().clear();
    QDir(dataFolder()).removeRecursively();
    QDir().mkpath(dataFolder());
    if (!placeUnlistedCopies(files))
        return 1;
    QFile mark(ManagedStore::sessionMarkPath(dataFolder()));
    if (!mark.open(QIODevice::WriteOnly))
        return 1;
    mark.close();
    auto t = bench::Clock::now();
    auto window = std::make_unique<MainWindow>();
    window->show();
    QCoreApplication::processEvents();
    const double sweepMs = bench::msSince(t);
    const int sweptRows = listedRows(*window);
    std::printf("  start that lists the %d unlisted copies again: %.2f s (%d rows listed; status: %s)\n", copies,
                sweepMs / 1000, sweptRows, qPrintable(window->statusText().left(120)));
    window.reset();

    // The same files imported from their archive, as the study list imports them.
    QDir(dataFolder()).removeRecursively();
    QDir().mkpath(dataFolder());
    window = std::make_unique<MainWindow>();
    window->show();
    QCoreApplication::processEvents();
    t = bench::Clock::now();
    window->startArchiveImport(zip);
    const bool ended = QTest::qWaitFor(
        [&] { return window->statusText().startsWith(QStringLiteral("Импорт из архива завершён")); }, 600000);
    const double importMs = bench::msSince(t);
    std::printf("  import of the same files from their archive: %.2f s (%s, %d rows listed)\n", importMs / 1000,
                ended ? "ended" : "not ended", listedRows(*window));
    window.reset();
    return sweptRows == copies && ended ? 0 : 1;
}
