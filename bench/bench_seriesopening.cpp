// Opening a study of one long series in the viewer, through a real index file: the window built, its
// series panel listed with the thumbnail, the first slice shown and the analyses' actions checked.
// First with nothing changed since the files were indexed; then from an index that cannot be written
// (a data folder on a read-only disc) after every file was touched, opened twice: how many files each
// opening reads again to prove that they still hold their rows' objects. Then a study of one series of
// multi-frame objects: unchanged, and after every file was copied over by its own object at other
// positions (as a disc sent again), on a writable index and on one that cannot be written.
//
//   bench_seriesopening [--slices N] [--repeats R] [--objects M] [--frames F]
//                       (defaults: 3000 slices, 7 openings, 3 rounds, 500 objects of 8 frames)
#include "BenchSupport.h"

#include "db/Database.h"
#include "db/RowFileProof.h"
#include "db/StudyRecord.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "viewer/ViewerWindow.h"

#include <QApplication>
#include <QFileInfo>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <cstdio>
#include <tuple>

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

// A copy of the index that no one can write (a write-version byte above 2, as a read-only disc).
bool copyReadOnly(const QString& from, const QString& to)
{
    QFile::remove(to);
    QFile::copy(from, to);
    QFile copy(to);
    return copy.open(QIODevice::ReadWrite) && copy.seek(18) && copy.write("\x03", 1) == 1;
}

// The objects of one series, each `frames` frames `step` mm apart, the objects one after another.
QStringList writeMultiFrameSeries(const QString& dir, fixtures::SeriesLayout layout, const QStringList& uids,
                                  double step)
{
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    QStringList files;
    const int frames = layout.slices;
    for (qsizetype k = 0; k < uids.size(); ++k) {
        fixtures::SeriesLayout object = layout;
        object.sliceThickness = object.sliceSpacing = step;
        object.origin[2] = layout.origin[2] + double(k) * frames * step;
        object.firstInstanceNumber = int(k) + 1;
        const QByteArray uid = uids.at(k).toLatin1();
        object.customize = [uid](DcmDataset& ds, int) { ds.putAndInsertString(DCM_SOPInstanceUID, uid.constData()); };
        files << fixtures::writeMultiFrame(QDir(dir).filePath(QStringLiteral("MF_%1.dcm").arg(k)), object);
    }
    return files;
}

// Copies every file of `from` over the file of the same name in `to`, by a rename over it, as a copy
// of a folder does: each is another version than its rows name.
bool copyOver(const QStringList& from, const QStringList& to)
{
    for (qsizetype k = 0; k < from.size(); ++k) {
        const QString next = to.at(k) + QStringLiteral(".next");
        QFile::remove(next);
        if (!QFile::copy(from.at(k), next) || ::rename(QFile::encodeName(next).constData(),
                                                       QFile::encodeName(to.at(k)).constData()) != 0)
            return false;
    }
    return true;
}

// Indexes the files into a new index at indexPath; the one study's UID, or empty on failure.
QString indexAsOneStudy(const QString& indexPath, const QStringList& files, int rows)
{
    db::Database index;
    if (!index.open(indexPath))
        return {};
    QList<dicom::DicomFileSummary> summaries;
    for (const QString& file : files)
        if (const auto summary = dicom::readFileSummary(file))
            summaries << *summary;
    index.indexFiles(summaries);
    const QList<db::StudyRecord> studies = index.allStudies();
    if (studies.size() != 1 || (rows > 0 && studies.first().instanceCount != rows))
        return {};
    return studies.first().studyInstanceUid;
}

// Opens the multi-frame study: unchanged, then each file copied over by its object at other positions.
int multiFrameOpenings(const QTemporaryDir& scratch, int objects, int frames, int repeats, int rounds)
{
    fixtures::SeriesLayout layout;
    layout.rows = layout.columns = 64;
    layout.slices = frames;
    layout.rescaleIntercept = 0.0;
    layout.value = [](int x, int y, int z) { return (x * 7 + y * 3 + z) % 2000; };
    fixtures::completeUids(layout);
    QStringList uids;
    for (int k = 0; k < objects; ++k)
        uids << fixtures::newUid();
    const QString root = scratch.filePath(QStringLiteral("multi"));
    const QStringList asIndexed = writeMultiFrameSeries(root + QStringLiteral("/indexed"), layout, uids, 1.0);
    const QStringList sentAgain = writeMultiFrameSeries(root + QStringLiteral("/again"), layout, uids, 0.75);
    const QString indexPath = scratch.filePath(QStringLiteral("multi.sqlite3"));
    const QString changedPath = scratch.filePath(QStringLiteral("multi-changed.sqlite3"));
    const QString readOnlyPath = scratch.filePath(QStringLiteral("multi-read-only.sqlite3"));
    std::printf("== opening a study of one series of %d objects of %d frames of 64 x 64\n", objects, frames);
    std::vector<double> unchanged, changed1, changed2, readOnly1, readOnly2;
    int read[5] = {0, 0, 0, 0, 0};
    for (int round = 0; round < rounds; ++round) {
        const QString data = root + QStringLiteral("/data");
        QDir(data).removeRecursively();
        QDir().mkpath(data);
        QStringList files;
        for (qsizetype k = 0; k < asIndexed.size(); ++k) {
            files << QDir(data).filePath(QFileInfo(asIndexed.at(k)).fileName());
            QFile::copy(asIndexed.at(k), files.last());
        }
        QFile::remove(indexPath);
        const QString studyUid = indexAsOneStudy(indexPath, files, objects * frames);
        if (studyUid.isEmpty())
            return 1;
        {
            db::Database index;
            if (!index.open(indexPath))
                return 1;
            const double ms =
                bench::medianMs(repeats, [&] { read[0] += openStudy(index, studyUid).second; });
            unchanged.push_back(ms);
        }
        if (!copyOver(sentAgain, files))
            return 1;
        QFile::remove(changedPath);
        QFile::copy(indexPath, changedPath);
        if (!copyReadOnly(indexPath, readOnlyPath))
            return 1;
        for (const auto& [path, first, second, reads] :
             {std::tuple{changedPath, &changed1, &changed2, &read[1]},
              std::tuple{readOnlyPath, &readOnly1, &readOnly2, &read[3]}}) {
            db::Database index;
            if (!index.open(path) || index.isWritable() != (path == changedPath))
                return 1;
            const auto [ms1, read1] = openStudy(index, studyUid);
            const auto [ms2, read2] = openStudy(index, studyUid);
            first->push_back(ms1);
            second->push_back(ms2);
            reads[0] = read1;
            reads[1] = read2;
        }
    }
    std::printf("  nothing changed, writable index: %.1f ms per opening (median), files read %d\n",
                median(unchanged), read[0]);
    std::printf("  every file copied over at other positions, writable index: first opening %.1f ms (files read %d), "
                "second %.1f ms (files read %d), median of %d\n",
                median(changed1), read[1], median(changed2), read[2], rounds);
    std::printf("  every file copied over at other positions, read-only index: first opening %.1f ms (files read %d), "
                "second %.1f ms (files read %d), median of %d\n",
                median(readOnly1), read[3], median(readOnly2), read[4], rounds);
    return 0;
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
    const int objects = std::max(bench::intArg(args, "--objects", 500), 1);
    const int frames = std::max(bench::intArg(args, "--frames", 8), 2);
    dicom::CodecRegistrationScope codecs;

    fixtures::SeriesLayout layout = bench::importSeriesLayout(slices);
    layout.rows = layout.columns = 64;
    const QStringList files =
        bench::ensureSeries(QDir::temp().filePath(QStringLiteral("kalvenor-bench-opening-%1").arg(slices)), layout);
    const QString indexPath = scratch.filePath(QStringLiteral("index.sqlite3"));
    const QString studyUid = indexAsOneStudy(indexPath, files, 0);
    if (studyUid.isEmpty())
        return 1;

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

    const QString readOnlyPath = scratch.filePath(QStringLiteral("read-only.sqlite3"));
    std::vector<double> first, second;
    int firstRead = 0, secondRead = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const QString& file : files) // touched: every file is another version than its rows name
            ::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), nullptr, 0);
        if (!copyReadOnly(indexPath, readOnlyPath))
            return 1;
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
    return multiFrameOpenings(scratch, objects, frames, repeats, rounds);
}
