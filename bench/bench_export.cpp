// Export of a study's files onto the ordinary disk: the numbered copies of the archive folder and the
// portable folder's layout, in files per second, so that what makes each copy whole (its checked
// writes, the sync of what was written) is weighed against the copying itself. Many small files are
// weighed against the least any durable export of them costs: the same bytes written and one sync.
#include "BenchSupport.h"

#include "app/PortableExport.h"
#include "app/StagedFolder.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/FileIdentity.h"
#include "platform/FreeNameWrite.h"

#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The bytes written as plain files into folder, then one sync of its file system.
void writeAndSyncOnce(const QList<QByteArray>& contents, const QString& folder)
{
    for (qsizetype i = 0; i < contents.size(); ++i) {
        const QByteArray path = QFile::encodeName(QDir(folder).filePath(exportFileName(int(i) + 1)));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || platform::writeAll(fd, contents[i].constData(), contents[i].size()) != 0)
            std::printf("  plain write failed\n");
        if (fd >= 0)
            ::close(fd);
    }
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0)
        std::printf("  sync failed\n");
    if (fd >= 0)
        ::close(fd);
}

// The median of `repeats` timed writes of each kind into a fresh folder each, after a round that warms
// the caches; what the removal of the last one left to write back is on the disk before each starts.
// The kinds take turns, so that what else the machine writes meanwhile (a sync writes it all back)
// weighs on each of them alike.
std::vector<double> mediansIntoFreshFolders(int repeats, const std::function<QString()>& nextFolder,
                                            const std::vector<std::function<void(const QString&)>>& writes)
{
    std::vector<std::vector<double>> times(writes.size());
    for (int i = 0; i <= repeats; ++i) {
        for (size_t kind = 0; kind < writes.size(); ++kind) {
            const QString folder = nextFolder();
            QDir().mkpath(folder);
            ::sync();
            const auto start = bench::Clock::now();
            writes[kind](folder);
            const double ms = bench::msSince(start);
            QDir(folder).removeRecursively();
            if (i > 0)
                times[kind].push_back(ms);
        }
    }
    std::vector<double> medians;
    for (std::vector<double>& kind : times) {
        std::sort(kind.begin(), kind.end());
        medians.push_back(kind[kind.size() / 2]);
    }
    return medians;
}

// As the index lists them: each file with its object and the version it was found holding it in.
StudyFiles asListed(const QStringList& paths)
{
    StudyFiles listed;
    for (const QString& path : paths) {
        const std::optional<dicom::DicomFileSummary> summary = dicom::readFileSummary(path);
        listed.files.append(
            {path, {summary ? summary->sopInstanceUid : QString(), dicom::fileIdentity(path).text()}});
    }
    return listed;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir scratch;
    bench::keepProgramDataIn(scratch);
    QGuiApplication app(argc, argv);
    bench::useProgramNames();
    const QStringList args = app.arguments();
    const int files = bench::intArg(args, "--files", 1000);
    const int repeats = bench::intArg(args, "--repeats", 5);

    fixtures::SeriesLayout layout = bench::importSeriesLayout(files);
    layout.rows = 256;
    layout.columns = 256;
    const QStringList paths = bench::ensureSeries(
        QDir::temp().filePath(QStringLiteral("kalvenor-bench-export-%1").arg(files)), layout);
    const StudyFiles sources = asListed(paths);
    // The program's own files are not what is measured: an empty program folder.
    QDir().mkpath(scratch.filePath(QStringLiteral("program")));
    setViewerProgramFolderOverride(scratch.filePath(QStringLiteral("program")));

    int round = 0;
    const auto target = [&] { return scratch.filePath(QStringLiteral("out%1").arg(++round)); };
    const double numbered = bench::medianMs(repeats, [&] {
        const QString folder = target();
        QDir().mkpath(folder);
        QString error;
        QStringList written;
        if (!copyFilesNumbered(sources, folder, &error, &written))
            std::printf("  numbered copies failed: %s\n", qPrintable(error));
        QDir(folder).removeRecursively();
    });
    const double portable = bench::medianMs(repeats, [&] {
        const QString folder = target();
        QString error;
        if (!writePortableFolderFiles(sources, folder, false, false, &error))
            std::printf("  portable folder failed: %s\n", qPrintable(error));
        QDir(folder).removeRecursively();
    });
    std::printf("== export of %d files of %lld KB, median of %d\n", files,
                QFileInfo(paths.first()).size() / 1024, repeats);
    std::printf("  numbered copies into a folder: %.0f ms (%.0f files/s)\n", numbered,
                files * 1000.0 / numbered);
    std::printf("  portable folder layout:        %.0f ms (%.0f files/s)\n", portable,
                files * 1000.0 / portable);

    const int smallFiles = bench::intArg(args, "--small-files", 1000);
    fixtures::SeriesLayout small = bench::importSeriesLayout(smallFiles);
    small.rows = 70; // about 10 KB a file
    small.columns = 70;
    const QStringList smallPaths = bench::ensureSeries(
        QDir::temp().filePath(QStringLiteral("kalvenor-bench-export-small-%1").arg(smallFiles)), small);
    const StudyFiles smallSources = asListed(smallPaths);
    QList<QByteArray> contents;
    for (const QString& source : smallPaths) {
        QFile file(source);
        contents << (file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    const std::vector<double> medians = mediansIntoFreshFolders(
        repeats, target,
        {[&](const QString& folder) { writeAndSyncOnce(contents, folder); },
         [&](const QString& folder) {
             QString error;
             QStringList written;
             if (!copyFilesNumbered(smallSources, folder, &error, &written))
                 std::printf("  numbered copies failed: %s\n", qPrintable(error));
         },
         // As the archive-folder export writes a study: into a hidden folder that takes its name once whole.
         [&](const QString& folder) {
             StagedFolder staged(QDir(folder).filePath(QStringLiteral("study")));
             QString error;
             QStringList written;
             if (!staged.isValid() || !copyFilesNumbered(smallSources, staged.path(), &error, &written) ||
                 !staged.commit(false, &error))
                 std::printf("  staged copies failed: %s\n", qPrintable(error));
         },
         // As the viewer's export dialog copies DICOM files into a folder the user shares.
         [&](const QString& folder) {
             platform::DurableBatch batch;
             for (qsizetype i = 0; i < smallSources.files.size(); ++i) {
                 QString why;
                 if (dicom::copyRowFile(smallSources.files.at(i),
                                        QDir(folder).filePath(exportFileName(int(i) + 1)), &why,
                                        platform::TakenName::NextFree, &batch)
                     != dicom::RowFileTaken::Taken)
                     std::printf("  copy failed: %s\n", qPrintable(why));
             }
             if (!batch.confirm().isEmpty())
                 std::printf("  copies not confirmed\n");
         }});
    const double plain = medians[0];
    const double numberedSmall = medians[1];
    const double stagedCopies = medians[2];
    const double dialogCopies = medians[3];
    std::printf("== %d files of %lld KB, median of %d\n", smallFiles,
                QFileInfo(smallPaths.first()).size() / 1024, repeats);
    std::printf("  written as plain files + one syncfs: %.0f ms\n", plain);
    std::printf("  numbered copies into a folder:       %.0f ms (x%.2f)\n", numberedSmall,
                numberedSmall / plain);
    std::printf("  the same through a staging folder:   %.0f ms (x%.2f)\n", stagedCopies,
                stagedCopies / plain);
    std::printf("  copies of the export dialog:         %.0f ms (x%.2f)\n", dialogCopies,
                dialogCopies / plain);
    return 0;
}
