// Opening a study of one long series in the viewer, through a real index file: the window built, its
// series panel listed with the thumbnail, the first slice shown and the analyses' actions checked.
// First with nothing changed since the files were indexed; then from an index that cannot be written
// (a data folder on a read-only disc) after every file was touched, opened twice: how many files each
// opening reads again to prove that they still hold their rows' objects.
//
//   bench_seriesopening [--slices N] [--repeats R]     (defaults: 3000 slices, 7 openings, 3 rounds)
#include "BenchSupport.h"

#include "db/Database.h"
#include "db/RowFileProof.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "viewer/ViewerWindow.h"

#include <QApplication>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Milliseconds and files read again by one opening of the study in a new window.
std::pair<double, int> openStudy(db::Database& index, const QString& studyUid)
{
    const int read = db::RowFileProof::filesReadAgain();
    const auto t = bench::Clock::now();
    {
        ViewerWindow window(&index, studyUid, QString());
    }
    return {bench::msSince(t), db::RowFileProof::filesReadAgain() - read};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir scratch;
    bench::keepProgramDataIn(scratch);
    QApplication app(argc, argv);
    bench::useProgramNames();
    const QStringList args = app.arguments();
    const int slices = std::max(bench::intArg(args, "--slices", 3000), 2);
    const int repeats = std::max(bench::intArg(args, "--repeats", 7), 1);
    const int rounds = std::max(bench::intArg(args, "--rounds", 3), 1);
    dicom::CodecRegistrationScope codecs;

    fixtures::SeriesLayout layout = bench::importSeriesLayout(slices);
    layout.rows = layout.columns = 64;
    const QStringList files =
        bench::ensureSeries(QDir::temp().filePath(QStringLiteral("kalvenor-bench-opening-%1").arg(slices)), layout);
    const QString indexPath = scratch.filePath(QStringLiteral("index.sqlite3"));
    QString studyUid;
    {
        db::Database index;
        if (!index.open(indexPath))
            return 1;
        QList<dicom::DicomFileSummary> summaries;
        for (const QString& file : files)
            if (const auto summary = dicom::readFileSummary(file))
                summaries << *summary;
        index.indexFiles(summaries);
        if (index.allStudies().size() != 1)
            return 1;
        studyUid = index.allStudies().first().studyInstanceUid;
    }

    std::printf("== opening a study of one series of %d slices of 64 x 64\n", slices);
    {
        db::Database index;
        if (!index.open(indexPath))
            return 1;
        int read = 0;
        const double ms = bench::medianMs(repeats, [&] { read += openStudy(index, studyUid).second; });
        std::printf("  nothing changed, writable index: %.1f ms per opening (median of %d), files read %d\n", ms,
                    repeats, read);
    }

    // A copy of the index that no one can write (a write-version byte above 2, as a read-only disc).
    const QString readOnlyPath = scratch.filePath(QStringLiteral("read-only.sqlite3"));
    std::vector<double> first, second;
    int firstRead = 0, secondRead = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const QString& file : files) // touched: every file is another version than its rows name
            ::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), nullptr, 0);
        QFile::remove(readOnlyPath);
        QFile::copy(indexPath, readOnlyPath);
        QFile copy(readOnlyPath);
        if (!copy.open(QIODevice::ReadWrite) || !copy.seek(18) || copy.write("\x03", 1) != 1)
            return 1;
        copy.close();
        db::Database index;
        if (!index.open(readOnlyPath) || index.isWritable())
            return 1;
        const auto [ms1, read1] = openStudy(index, studyUid);
        const auto [ms2, read2] = openStudy(index, studyUid);
        first.push_back(ms1);
        second.push_back(ms2);
        firstRead = read1;
        secondRead = read2;
    }
    std::printf("  every file touched, read-only index: first opening %.1f ms (files read %d), second %.1f ms "
                "(files read %d), median of %d\n",
                median(first), firstRead, median(second), secondRead, rounds);
    return 0;
}
