// Archive import end to end: a ZIP of 1,000 single-frame 512 x 512 CT files (about 500 MB, stored) is
// unpacked, copied into the store and indexed on the receiving thread. Reports the whole time and how
// it splits between unpacking, copying (with reading each summary) and indexing.
#include "BenchSupport.h"
#include "dicom/CodecRegistration.h"
#include "support/DicomFixtures.h"
#include "dicom/ZipImportWorker.h"
#include "db/Database.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QThread>

#include <zip.h>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    dicom::registerMetaTypes();
    dicom::CodecRegistrationScope codecs;
    const int files = argc > 1 ? atoi(argv[1]) : 1000;

    QTemporaryDir dir;
    const fixtures::SeriesLayout layout = bench::importSeriesLayout(files);
    const QStringList sources = fixtures::writeSeries(dir.filePath(QStringLiteral("series")), layout);

    const QString archivePath = dir.filePath(QStringLiteral("study.zip"));
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(archivePath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    for (int i = 0; i < sources.size(); ++i) {
        zip_source_t* source = zip_source_file(archive, QFile::encodeName(sources[i]).constData(), 0, -1);
        const zip_int64_t index = zip_file_add(archive, QStringLiteral("DICOM/S1/IMG%1").arg(i).toUtf8().constData(), source, 0);
        zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
    }
    if (zip_close(archive) != 0) {
        std::printf("cannot write the archive\n");
        return 1;
    }
    std::printf("archive: %d files, %.0f MB\n", files, QFileInfo(archivePath).size() / 1048576.0);

    db::Database database;
    if (!database.open(dir.filePath(QStringLiteral("index.sqlite3")))) {
        std::printf("cannot open the index\n");
        return 1;
    }
    auto* thread = new QThread;
    auto* worker = new dicom::ZipImportWorker(archivePath, dir.filePath(QStringLiteral("imported_from_zip")));
    worker->moveToThread(thread);
    QEventLoop loop;
    QElapsedTimer timer;
    QElapsedTimer indexTimer;
    qint64 firstFound = -1;
    qint64 lastFinished = 0;
    qint64 indexNanos = 0;
    int imported = 0;
    int failures = 0;
    QString message;
    QObject::connect(thread, &QThread::started, worker, &dicom::ZipImportWorker::run);
    QObject::connect(worker, &dicom::ZipImportWorker::fileFound, worker, [&] {
        if (firstFound < 0)
            firstFound = timer.nsecsElapsed();
    }, Qt::DirectConnection);
    QObject::connect(worker, &dicom::ZipImportWorker::finished, worker, [&] { lastFinished = timer.nsecsElapsed(); },
                     Qt::DirectConnection);
    QObject::connect(worker, &dicom::ZipImportWorker::fileFound, &loop, [&](const dicom::DicomFileSummary& s) {
        indexTimer.start();
        if (!database.indexFile(s))
            ++failures;
        indexNanos += indexTimer.nsecsElapsed();
    });
    QObject::connect(worker, &dicom::ZipImportWorker::finished, &loop, [&](int n, int, const QString& m) {
        imported = n;
        message = m;
    });
    QObject::connect(worker, &dicom::ZipImportWorker::finished, thread, &QThread::quit);
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    timer.start();
    thread->start();
    loop.exec();
    QCoreApplication::processEvents();
    const double total = timer.nsecsElapsed() / 1e9;
    thread->wait();
    delete worker;
    delete thread;

    std::printf("imported %d (index failures %d) %s\n", imported, failures, qPrintable(message));
    std::printf("end to end:                     %6.2f s\n", total);
    std::printf("  unpacking (to first stored):  %6.2f s\n", firstFound / 1e9);
    std::printf("  copying + summaries:          %6.2f s\n", (lastFinished - firstFound) / 1e9);
    std::printf("  indexing (receiving thread):  %6.2f s, overlapping the copy\n", indexNanos / 1e9);
    return imported == files && failures == 0 ? 0 : 1;
}
