// Export of a study's files onto the ordinary disk: the numbered copies of the archive folder and the
// portable folder's layout, in files per second, so that what makes each copy whole (its checked
// writes, the sync of what was written) is weighed against the copying itself.
#include "BenchSupport.h"

#include "app/PortableExport.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/FileIdentity.h"

#include <QTemporaryDir>

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
    // As the index lists them: each file with its object and the version it was found holding it in.
    StudyFiles sources;
    for (const QString& path : paths) {
        const std::optional<dicom::DicomFileSummary> summary = dicom::readFileSummary(path);
        sources.files.append(
            {path, {summary ? summary->sopInstanceUid : QString(), dicom::fileIdentity(path).text()}});
    }
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
    return 0;
}
