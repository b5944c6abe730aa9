// Folder import end to end: 2,000 single-frame 512 x 512 CT files are scanned on a worker thread,
// read into summaries and indexed into an index file on the receiving thread, in batches of one
// transaction as the window does, and one transaction per file beside it. Warm page cache.
#include "BenchSupport.h"
#include "dicom/CodecRegistration.h"
#include "support/DicomFixtures.h"
#include "dicom/DicomImporter.h"
#include "db/Database.h"
#include "db/IndexBatch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

struct Run
{
    double seconds = 0.0;
    double indexSeconds = 0.0;
    int found = 0;
    int indexFailures = 0;
};

Run importOnce(const QString& folder, db::Database* database, bool batched = true)
{
    Run run;
    db::IndexBatch batch(database, [&run](const QList<dicom::DicomFileSummary>&, const QStringList& errors) {
        for (const QString& error : errors)
            run.indexFailures += error.isEmpty() ? 0 : 1;
    });
    auto* thread = new QThread;
    auto* importer = new dicom::DicomImporter;
    importer->moveToThread(thread);
    QEventLoop loop;
    QElapsedTimer indexTimer;
    qint64 indexNanos = 0;
    QObject::connect(thread, &QThread::started, importer, [importer, folder] { importer->importDirectory(folder); });
    QObject::connect(importer, &dicom::DicomImporter::fileFound, &loop, [&](const dicom::DicomFileSummary& s) {
        if (!database)
            return;
        indexTimer.start();
        if (batched)
            batch.add(s);
        else if (!database->indexFile(s))
            ++run.indexFailures;
        indexNanos += indexTimer.nsecsElapsed();
    });
    QObject::connect(importer, &dicom::DicomImporter::finished, &loop, [&](int found, int) {
        run.found = found;
        batch.flush();
    });
    QObject::connect(importer, &dicom::DicomImporter::finished, thread, &QThread::quit);
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    thread->start();
    loop.exec();
    QCoreApplication::processEvents(); // summaries still queued
    run.seconds = timer.nsecsElapsed() / 1e9;
    run.indexSeconds = indexNanos / 1e9;
    thread->wait();
    delete importer;
    delete thread;
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    dicom::registerMetaTypes();
    dicom::CodecRegistrationScope codecs;
    const int files = argc > 1 ? atoi(argv[1]) : 2000;

    QTemporaryDir dir;
    const fixtures::SeriesLayout layout = bench::importSeriesLayout(files);
    QElapsedTimer timer;
    timer.start();
    const QString folder = dir.filePath(QStringLiteral("series"));
    fixtures::writeSeries(folder, layout);
    std::printf("wrote %d files of 512x512 CT in %.1f s\n", files, timer.elapsed() / 1000.0);

    importOnce(folder, nullptr); // warms the page cache

    const Run scanOnly = importOnce(folder, nullptr);
    std::printf("scan + summary only:        %6.2f s  %7.0f files/s\n", scanOnly.seconds, scanOnly.found / scanOnly.seconds);

    db::Database database;
    if (!database.open(dir.filePath(QStringLiteral("index.sqlite3")))) {
        std::printf("cannot open the index: %s\n", qPrintable(database.lastError()));
        return 1;
    }
    db::Database perFile;
    if (!perFile.open(dir.filePath(QStringLiteral("per-file.sqlite3")))) {
        std::printf("cannot open the index: %s\n", qPrintable(perFile.lastError()));
        return 1;
    }
    const Run single = importOnce(folder, &perFile, false);
    std::printf("  a transaction per file:   %6.2f s  %7.0f files/s  (index %.2f s, %.3f ms/file, failures %d)\n",
                single.seconds, single.found / single.seconds, single.indexSeconds,
                1000.0 * single.indexSeconds / qMax(1, single.found), single.indexFailures);
    const Run full = importOnce(folder, &database);
    std::printf("scan + summary + index:     %6.2f s  %7.0f files/s  (batches of %d files, failures %d)\n",
                full.seconds, full.found / full.seconds, db::IndexBatch::kMaxFiles, full.indexFailures);
    const Run again = importOnce(folder, &database);
    std::printf("re-import into same index:  %6.2f s  %7.0f files/s  (failures %d)\n", again.seconds, again.found / again.seconds,
                again.indexFailures);
    return full.found == files && full.indexFailures == 0 ? 0 : 1;
}
