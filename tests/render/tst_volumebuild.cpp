#include "render/HuImage.h"
#include "render/ParallelFor.h"
#include "render/SliceSources.h"
#include "render/Volume.h"

#include "support/ChangeBeforeValues.h"
#include "support/DicomFixtures.h"
#include "support/TestFiles.h"
#include "support/TextNumbers.h"
#include "db/Database.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomTagList.h"
#include "dicom/FileIdentity.h"

#include <atomic>
#include <QtTest>
#include <QTemporaryDir>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <algorithm>
#include <cmath>
#include <random>

using fixtures::numbersIn;
using fixtures::SeriesLayout;
using Vec3 = std::array<double, 3>;

namespace {

constexpr int R = 6; // rows
constexpr int C = 5; // columns
constexpr int K = 8; // slices

// Unique stored value per source voxel (fits 8-bit: at most 240).
int code(int i, int j, int k)
{
    return (k * R + j) * C + i + 1;
}

SeriesLayout baseLayout(fixtures::Plane plane)
{
    SeriesLayout s;
    s.rows = R;
    s.columns = C;
    s.slices = K;
    s.plane = plane;
    s.value = code;
    return s;
}

Vec3 patientPosition(const SeriesLayout& s, int i, int j, int k)
{
    const auto o = fixtures::orientationOf(s);
    const Vec3 p = fixtures::slicePosition(s, k);
    return {p[0] + i * s.columnSpacing * o[0] + j * s.rowSpacing * o[3],
            p[1] + i * s.columnSpacing * o[1] + j * s.rowSpacing * o[4],
            p[2] + i * s.columnSpacing * o[2] + j * s.rowSpacing * o[5]};
}

render::SliceSource sourceFor(const SeriesLayout& s, const QString& file, int slice, int frame)
{
    const auto o = fixtures::orientationOf(s);
    render::SliceSource src;
    src.filePath = file;
    src.frameIndex = frame;
    src.pixelSpacingX = s.columnSpacing;
    src.pixelSpacingY = s.rowSpacing;
    src.sliceThickness = s.sliceThickness;
    src.orientationRow = {o[0], o[1], o[2]};
    src.orientationCol = {o[3], o[4], o[5]};
    src.hasSpatialInfo = true;
    src.imagePosition = fixtures::slicePosition(s, slice);
    const Vec3 n{o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5], o[0] * o[4] - o[1] * o[3]};
    src.sliceLocation = src.imagePosition[0] * n[0] + src.imagePosition[1] * n[1] + src.imagePosition[2] * n[2];
    return src;
}

struct Decoded
{
    bool ok = false;
    int i = 0, j = 0, k = 0;
};

Decoded decode(float value, double slope, double intercept)
{
    Decoded d;
    const double stored = (double(value) - intercept) / slope;
    const long idx = std::lround(stored) - 1;
    if (std::abs(stored - std::round(stored)) > 1e-3 || idx < 0 || idx >= long(R) * C * K)
        return d;
    d.ok = true;
    d.i = int(idx % C);
    d.j = int((idx / C) % R);
    d.k = int(idx / (C * R));
    return d;
}

// Every voxel must hold a source voxel, each source voxel once, and stepping along a volume axis must
// step along the same patient axis (by exactly that axis' spacing for axis-aligned series), so any
// flip, transposition or off-by-one fails.
QString checkAnatomy(const render::Volume& v, const SeriesLayout& s, bool exactSteps)
{
    if (v.isEmpty())
        return QStringLiteral("empty volume");
    if (qint64(v.nx) * v.ny * v.nz != qint64(R) * C * K)
        return QStringLiteral("size %1x%2x%3").arg(v.nx).arg(v.ny).arg(v.nz);
    std::vector<int> seen(size_t(R * C * K), 0);
    const double spacing[3] = {v.spacingX, v.spacingY, v.spacingZ};
    for (int z = 0; z < v.nz; ++z)
        for (int y = 0; y < v.ny; ++y)
            for (int x = 0; x < v.nx; ++x) {
                const Decoded d = decode(v.voxels[v.index(x, y, z)], s.rescaleSlope, s.rescaleIntercept);
                if (!d.ok)
                    return QStringLiteral("voxel %1,%2,%3 holds %4").arg(x).arg(y).arg(z).arg(v.voxels[v.index(x, y, z)]);
                ++seen[size_t(code(d.i, d.j, d.k) - 1)];
                const Vec3 p = patientPosition(s, d.i, d.j, d.k);
                const int at[3] = {x, y, z};
                const int dims[3] = {v.nx, v.ny, v.nz};
                for (int a = 0; a < 3; ++a) {
                    if (at[a] + 1 >= dims[a])
                        continue;
                    int nb[3] = {x, y, z};
                    ++nb[a];
                    const Decoded e = decode(v.voxels[v.index(nb[0], nb[1], nb[2])], s.rescaleSlope, s.rescaleIntercept);
                    if (!e.ok)
                        return QStringLiteral("neighbour undecodable");
                    const Vec3 q = patientPosition(s, e.i, e.j, e.k);
                    const double step = q[size_t(a)] - p[size_t(a)];
                    if (exactSteps) {
                        for (int b = 0; b < 3; ++b) {
                            const double want = a == b ? spacing[a] : 0.0;
                            if (std::abs((q[size_t(b)] - p[size_t(b)]) - want) > 1e-3)
                                return QStringLiteral("axis %1 at %2,%3,%4 moves patient axis %5 by %6, want %7")
                                    .arg(a).arg(x).arg(y).arg(z).arg(b).arg(q[size_t(b)] - p[size_t(b)]).arg(want);
                        }
                    } else if (!(step > 0.0)) {
                        return QStringLiteral("axis %1 at %2,%3,%4 runs backwards (%5)").arg(a).arg(x).arg(y).arg(z).arg(step);
                    }
                }
            }
    for (int c : seen)
        if (c != 1)
            return QStringLiteral("a source voxel appears %1 times").arg(c);
    return {};
}

} // namespace

class TestVolumeBuild : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    dicom::CodecRegistrationScope m_codecs;
    int m_counter = 0;

    QString freshDir() { return m_dir.filePath(QStringLiteral("s%1").arg(++m_counter)); }

private slots:
    void init() { render::clearHuFrameCache(); }

    void orientedSeries_data()
    {
        QTest::addColumn<int>("plane");
        QTest::addColumn<QString>("variant");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("compression");
        const int s16 = int(fixtures::PixelKind::Int16);
        const int none = int(fixtures::Compression::None);
        const char* planes[] = {"axial", "sagittal", "coronal", "oblique"};
        // Every ordering on the axial series; the other planes are the hardest two orderings.
        for (const char* variant : {"as written", "reversed list", "no slice location"})
            QTest::addRow("axial, %s", variant) << 0 << QString::fromLatin1(variant) << s16 << none;
        for (int p = 0; p < 4; ++p) {
            for (const char* variant : {"slice location sign flipped", "shuffled"})
                QTest::addRow("%s, %s", planes[p], variant) << p << QString::fromLatin1(variant) << s16 << none;
        }
        QTest::newRow("axial unsigned 16, rescaled") << 0 << "reversed list" << int(fixtures::PixelKind::UInt16) << none;
        QTest::newRow("coronal unsigned 8") << 2 << "shuffled" << int(fixtures::PixelKind::UInt8) << none;
        QTest::newRow("sagittal JPEG-LS") << 1 << "reversed list" << s16 << int(fixtures::Compression::JpegLsLossless);
        QTest::newRow("oblique RLE") << 3 << "as written" << s16 << int(fixtures::Compression::Rle);
    }
    void orientedSeries()
    {
        QFETCH(int, plane);
        QFETCH(QString, variant);
        QFETCH(int, kind);
        QFETCH(int, compression);
        SeriesLayout s = baseLayout(fixtures::Plane(plane));
        s.pixels = fixtures::PixelKind(kind);
        s.compression = fixtures::Compression(compression);
        if (s.pixels == fixtures::PixelKind::UInt16) {
            s.rescaleSlope = 2.0;
            s.rescaleIntercept = -1000.0;
        } else if (s.pixels == fixtures::PixelKind::UInt8) {
            s.rescaleIntercept = 0.0;
        }
        const QStringList files = fixtures::writeSeries(freshDir(), s);
        QList<render::SliceSource> list;
        for (int k = 0; k < K; ++k)
            list << sourceFor(s, files[k], k, 0);
        if (variant == "reversed list")
            std::reverse(list.begin(), list.end());
        if (variant == "shuffled")
            std::shuffle(list.begin(), list.end(), std::mt19937(7));
        for (auto& src : list) {
            if (variant == "no slice location")
                src.sliceLocation = 0.0;
            if (variant == "slice location sign flipped")
                src.sliceLocation = -src.sliceLocation;
        }
        render::ScopedWorkerThreadCount threads(3);
        QString message;
        const render::Volume v = render::buildVolume(list, &message, render::AxialPlane);
        // The oblique fixture's rows run 30 degrees off the patient's x axis.
        QCOMPARE(numbersIn(message), plane == int(fixtures::Plane::Oblique) ? QList<double>{30} : QList<double>{});
        const QString problem = checkAnatomy(v, s, plane != int(fixtures::Plane::Oblique));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(v.minValue, code(0, 0, 0) * s.rescaleSlope + s.rescaleIntercept);
        QCOMPARE(v.maxValue, code(C - 1, R - 1, K - 1) * s.rescaleSlope + s.rescaleIntercept);
        if (plane == int(fixtures::Plane::Axial)) {
            QCOMPARE(v.spacingX, s.columnSpacing);
            QCOMPARE(v.spacingY, s.rowSpacing);
            QVERIFY(std::abs(v.spacingZ - s.sliceSpacing) < 1e-9);
        }
    }

    void multiFrameFiles_data()
    {
        QTest::addColumn<bool>("enhanced");
        QTest::addColumn<int>("plane");
        // Frames the file holds when read: fewer than K, the object was copied over the file listed
        // with K frames, under the same UID.
        QTest::addColumn<int>("held");
        // Above 0: the file was indexed holding the object in 5 frames 1 mm apart, then copied over by
        // it in `held` frames this far apart; the volume is built from the index's listing of it.
        QTest::addColumn<double>("resentStep");
        QTest::newRow("classic axial") << false << 0 << K << 0.0;
        QTest::newRow("enhanced axial") << true << 0 << K << 0.0;
        QTest::newRow("enhanced sagittal") << true << 1 << K << 0.0;
        QTest::newRow("enhanced coronal") << true << 2 << K << 0.0;
        QTest::newRow("classic axial, copied over by the object in 3 frames") << false << 0 << 3 << 0.0;
        QTest::newRow("classic axial, listed after the object came again in 7 frames 2/3 mm apart")
            << false << 0 << 7 << 2.0 / 3.0;
        QTest::newRow("enhanced axial, listed after the object came again in 3 frames 2 mm apart")
            << true << 0 << 3 << 2.0;
    }
    void multiFrameFiles()
    {
        QFETCH(bool, enhanced);
        QFETCH(int, plane);
        QFETCH(int, held);
        QFETCH(double, resentStep);
        SeriesLayout s = baseLayout(fixtures::Plane(plane));
        s.rescaleSlope = 1.0;
        s.rescaleIntercept = -1024.0;
        s.sliceThickness = s.sliceSpacing;
        const QString file = freshDir() + "/mf.dcm";
        if (resentStep > 0.0) {
            fixtures::completeUids(s);
            const QByteArray uid = fixtures::newUid().toLatin1();
            s.customize = [uid](DcmDataset& ds, int) { ds.putAndInsertString(DCM_SOPInstanceUID, uid.constData()); };
            const auto write = [&s, enhanced](const QString& path, int frames, double step) {
                SeriesLayout object = s;
                object.slices = frames;
                object.sliceSpacing = object.sliceThickness = step;
                return enhanced ? fixtures::writeEnhancedMultiFrame(path, object)
                                : fixtures::writeMultiFrame(path, object);
            };
            write(file, 5, 1.0);
            db::Database index;
            QVERIFY(index.open(QFileInfo(file).dir().filePath("index.sqlite3")));
            QVERIFY(index.indexFile(*dicom::readFileSummary(file)));
            QVERIFY(fixtures::replaceFileBytes(file, fixtures::readFile(write(freshDir() + "/again.dcm", held,
                                                                              resentStep))));
            int replaced = -1;
            const QList<render::SliceSource> listed =
                render::sliceSourcesFromInstances(index.instancesForSeries(s.seriesUid, &replaced));
            QCOMPARE(replaced, 0);
            QString message;
            const render::Volume v = render::buildVolume(listed, &message, render::AxialPlane);
            QVERIFY2(message.isEmpty(), qPrintable(message));
            QCOMPARE(v.nz, held);
            QVERIFY2(std::abs(v.spacingZ - resentStep) < 1e-6, qPrintable(QString::number(v.spacingZ)));
            // Each plane is its own frame, in the order of the frames' places.
            for (int z = 0; z < v.nz; ++z) {
                const Decoded d = decode(v.voxels[v.index(0, 0, z)], s.rescaleSlope, s.rescaleIntercept);
                QVERIFY(d.ok);
                QCOMPARE(d.k, z);
            }
            return;
        }
        if (enhanced)
            fixtures::writeEnhancedMultiFrame(file, s);
        else
            fixtures::writeMultiFrame(file, s);
        QList<render::SliceSource> list;
        for (int k = 0; k < K; ++k) {
            render::SliceSource src = sourceFor(s, file, enhanced ? k : 0, k);
            list << src;
        }
        // A classic file gives every frame row the first frame's position: the frame order stays.
        // Enhanced frames carry their own positions and are ordered by them.
        if (enhanced)
            std::reverse(list.begin(), list.end());
        if (held < K) {
            const QString uid = dicom::readFileSummary(file)->sopInstanceUid;
            for (render::SliceSource& src : list)
                src.row = {uid, dicom::fileIdentity(file).text()};
            SeriesLayout fewer = s;
            fewer.slices = held;
            fewer.customize = [uid](DcmDataset& ds, int) {
                ds.putAndInsertString(DCM_SOPInstanceUID, uid.toLatin1().constData());
            };
            const QString copy = fixtures::writeMultiFrame(freshDir() + "/mf3.dcm", fewer);
            QVERIFY(fixtures::replaceFileBytes(file, fixtures::readFile(copy)));
        }
        render::ScopedWorkerThreadCount threads(4);
        const long long parses = render::huFrameParseCount();
        QString message;
        const render::Volume v = render::buildVolume(list, &message, render::AxialPlane);
        if (held < K) {
            // The frames the file lost are named and left empty, never filled with its last frame.
            const QString skipped =
                QStringLiteral("Пропущено срезов при построении объёма: %1 из %2").arg(K - held).arg(K);
            QVERIFY2(message.contains(skipped) && message.contains(render::otherObjectSlicesWarning(K - held)),
                     qPrintable(message));
            QCOMPARE(v.nz, K);
            std::vector<int> seen(size_t(R * C * K), 0);
            int empty = 0;
            for (const float voxel : v.voxels) {
                const Decoded d = decode(voxel, s.rescaleSlope, s.rescaleIntercept);
                empty += voxel == 0.0f;
                if (d.ok)
                    ++seen[size_t(code(d.i, d.j, d.k) - 1)];
            }
            QCOMPARE(empty, R * C * (K - held));
            for (int k = 0; k < K; ++k)
                QCOMPARE(seen[size_t(code(0, 0, k) - 1)], k < held ? 1 : 0);
            return;
        }
        QVERIFY2(message.isEmpty(), qPrintable(message));
        QVERIFY(render::huFrameParseCount() - parses <= 4); // at most one parse per reading thread
        const QString problem = checkAnatomy(v, s, true);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    void gapsAndOverlaps()
    {
        SeriesLayout s = baseLayout(fixtures::Plane::Axial);
        const QStringList files = fixtures::writeSeries(freshDir(), s);
        QList<render::SliceSource> list;
        for (int k = 0; k < K; ++k)
            if (k != 3)
                list << sourceFor(s, files[k], k, 0);
        std::reverse(list.begin(), list.end());
        QString message;
        render::Volume v = render::buildVolume(list, &message, 0);
        QCOMPARE(v.nz, K - 1);
        // Steps of 1.5 mm and one of 3 mm average to 7 x 1.5 / 6.
        QVERIFY(std::abs(v.spacingZ - (s.sliceSpacing * (K - 1)) / (K - 2)) < 1e-9);
        for (int z = 0; z < v.nz; ++z) {
            const int k = z < 3 ? z : z + 1;
            QCOMPARE(v.voxels[v.index(2, 4, z)], float(code(2, 4, k) + s.rescaleIntercept));
        }

        // The same slice twice: both stay, next to each other, and the zero step does not count.
        list.clear();
        for (int k = 0; k < K; ++k)
            list << sourceFor(s, files[k], k, 0);
        list << sourceFor(s, files[5], 5, 0);
        v = render::buildVolume(list, &message, 0);
        QCOMPARE(v.nz, K + 1);
        QVERIFY(std::abs(v.spacingZ - s.sliceSpacing) < 1e-9);
        QCOMPARE(v.voxels[v.index(0, 0, 5)], v.voxels[v.index(0, 0, 6)]);
        QCOMPARE(v.voxels[v.index(0, 0, 7)], float(code(0, 0, 6) + s.rescaleIntercept));
    }

    void locationRulesWithoutGeometry()
    {
        SeriesLayout s = baseLayout(fixtures::Plane::Axial);
        s.slices = 5;
        const QStringList files = fixtures::writeSeries(freshDir(), s);
        auto plain = [&](int file, double location, double thickness) {
            render::SliceSource src;
            src.filePath = files[file];
            src.sliceLocation = location;
            src.sliceThickness = thickness;
            return src;
        };
        auto sliceCodes = [&](const render::Volume& v) {
            QList<int> out;
            for (int z = 0; z < v.nz; ++z)
                out << int(v.voxels[v.index(0, 0, z)] - s.rescaleIntercept);
            return out;
        };
        QString message;
        // Locations 10, 0, 5 read as 0, 5, 10.
        render::Volume v = render::buildVolume({plain(0, 10, 1), plain(1, 0, 1), plain(2, 5, 1)}, &message, 0);
        QCOMPARE(sliceCodes(v), (QList<int>{code(0, 0, 1), code(0, 0, 2), code(0, 0, 0)}));
        QCOMPARE(v.spacingZ, 5.0);
        // Within 0.01 mm: the caller's order stays; steps up to 0.001 mm leave the spacing to the thickness.
        v = render::buildVolume({plain(2, 1.0, 2), plain(0, 1.0004, 2), plain(1, 0.9998, 2)}, &message, 0);
        QCOMPARE(sliceCodes(v), (QList<int>{code(0, 0, 2), code(0, 0, 0), code(0, 0, 1)}));
        QCOMPARE(v.spacingZ, 2.0);
        // 0, 2.5, 5, 5, 7.5: spacing 2.5, five slices.
        v = render::buildVolume({plain(0, 0, 1), plain(1, 2.5, 1), plain(2, 5, 1), plain(3, 5, 1), plain(4, 7.5, 1)},
                                &message, 0);
        QCOMPARE(v.nz, 5);
        QCOMPARE(v.spacingZ, 2.5);
        QCOMPARE(render::buildVolume({plain(0, 0, 3)}, &message, 0).spacingZ, 3.0);
        QCOMPARE(render::buildVolume({plain(0, 0, 0)}, &message, 0).spacingZ, 1.0);
        QVERIFY(message.isEmpty());
    }

    void skippedAndUnreadableSlices()
    {
        SeriesLayout s = baseLayout(fixtures::Plane::Axial);
        const QString dir = freshDir();
        const QStringList files = fixtures::writeSeries(dir, s);
        SeriesLayout other = s;
        other.rows = R + 1;
        const QString odd = fixtures::writeSlice(dir + "/odd.dcm", other, 0);
        QList<render::SliceSource> list;
        for (int k = 0; k < K; ++k)
            list << sourceFor(s, k == 4 ? odd : files[k], k, 0);
        // The first slice in order is unreadable too: the reference is the next one.
        list[0].filePath = dir + "/missing.dcm";
        render::ScopedWorkerThreadCount threads(2);
        QString message;
        const render::Volume v = render::buildVolume(list, &message, 0);
        QCOMPARE(message, QStringLiteral("Пропущено срезов при построении объёма: 2 из 8"));
        QCOMPARE(v.nz, K);
        for (int z : {0, 4})
            for (int y = 0; y < R; ++y)
                for (int x = 0; x < C; ++x)
                    QCOMPARE(v.voxels[v.index(x, y, z)], 0.0f);
        QCOMPARE(v.minValue, code(0, 0, 1) + s.rescaleIntercept); // planes left 0 do not count
        QCOMPARE(v.voxels[v.index(1, 2, 5)], float(code(1, 2, 5) + s.rescaleIntercept));

        QCOMPARE(render::buildVolume({}, &message, 0).nx, 0);
        QCOMPARE(message, QStringLiteral("Пустая серия — нечего реконструировать"));
        render::SliceSource missing;
        missing.filePath = dir + "/nope.dcm";
        QVERIFY(render::buildVolume({missing, missing}, &message, 0).isEmpty());
        QCOMPARE(message, QStringLiteral("Не удалось прочитать ни одного среза. Причина (первый срез): "
                                         "Файл не найден."));
        QVERIFY(render::buildVolume({missing}, nullptr, 0).isEmpty());

        // A raised stop flag ends the build with its empty result (a closed window's build).
        const std::atomic_bool stop{true};
        list[0].filePath = files[0];
        list[4].filePath = files[4];
        QVERIFY(render::buildVolume(list, &message, 0, &stop).isEmpty());
        QVERIFY(render::loadVolumeSlices(list, &message, &stop).isEmpty());
    }

    // The tag editor saves a file by renaming the edited copy over it while a volume is built of it on
    // another thread: the header grows, the pixels move on. Each plane is one version's pixels (here
    // the same in both) or is refused, never pixels read at the other version's offsets. Another
    // study's file put under a slice's name after the series was listed (renamed or copied over it,
    // before the build or while the slice is read) is no plane of the volume: left out, and said so.
    void tagSaveWhileBuilding_data()
    {
        QTest::addColumn<int>("slice");
        QTest::addColumn<QString>("change");
        QTest::newRow("the slice the volume is sized by") << 0 << "tag save";
        QTest::newRow("a slice read beside others") << 2 << "tag save";
        QTest::newRow("another study's file renamed over the first slice") << 0 << "renamed";
        QTest::newRow("another study's file copied over a slice read beside others") << 2 << "copied";
        QTest::newRow("another study's file copied over before the build") << 2 << "copied before";
    }
    void tagSaveWhileBuilding()
    {
        QFETCH(int, slice);
        QFETCH(QString, change);
        // Over a megabyte a slice: its pixels are read after its header, not with it.
        SeriesLayout s = baseLayout(fixtures::Plane::Axial);
        s.rows = 1024;
        s.columns = 600;
        s.slices = 4;
        s.value = [](int x, int y, int z) { return (x + 3 * y + 1000 * z) % 4000; };
        const QString dir = freshDir();
        const QStringList files = fixtures::writeSeries(dir, s);
        QList<render::SliceSource> list;
        for (int k = 0; k < s.slices; ++k) {
            list << sourceFor(s, files[k], k, 0);
            list.last().row = {dicom::readFileSummary(files[k])->sopInstanceUid,
                               dicom::fileIdentity(files[k]).text()};
        }
        SeriesLayout another = s;
        another.studyUid.clear();
        another.seriesUid.clear();
        another.patientName = QStringLiteral("Other^Patient");
        another.value = [](int, int, int) { return 3999; };
        const QString other = fixtures::writeSlice(dir + QStringLiteral("/other.dcm"), another, slice);
        const bool tagSave = change == QLatin1String("tag save");
        bool saved = false;
        const auto replace = [&] {
            saved = change == QLatin1String("renamed")
                ? fixtures::renameOver(other, files[slice])
                : fixtures::replaceFileBytes(files[slice], fixtures::readFile(other));
        };
        if (change == QLatin1String("copied before"))
            replace();
        fixtures::ChangeBeforeValues save(files[slice], [&] {
            if (!tagSave) {
                if (!saved)
                    replace();
                return;
            }
            dicom::TagEntry name;
            name.group = 0x0010;
            name.element = 0x0010;
            name.value = QStringLiteral("Corrected^Name^With^More^Words");
            saved = dicom::writeTagValues(files[slice], {name});
        });
        render::ScopedWorkerThreadCount threads(2);
        QString message;
        const render::Volume v = render::buildVolume(list, &message, 0);
        QVERIFY(saved && (save.happened() || change == QLatin1String("copied before")));
        QCOMPARE(dicom::readFileSummary(files[slice])->patientName,
                 tagSave ? QStringLiteral("Corrected^Name^With^More^Words")
                         : QStringLiteral("Other^Patient"));
        QCOMPARE(v.nz, s.slices);
        if (!tagSave) {
            QVERIFY2(message.contains(QStringLiteral("Пропущено срезов при построении объёма: 1 из 4"))
                         && message.contains(render::otherObjectSlicesWarning(1)),
                     qPrintable(message));
        }
        for (int z = 0; z < v.nz; ++z) {
            int wrong = 0;
            int zero = 0;
            for (int y = 0; y < v.ny; ++y) {
                for (int x = 0; x < v.nx; ++x) {
                    wrong += v.voxels[v.index(x, y, z)] != float(s.value(x, y, z) + s.rescaleIntercept);
                    zero += v.voxels[v.index(x, y, z)] == 0.0f;
                }
            }
            // A plane refused is left empty and counted; another study's never fills one.
            const bool refused = z == slice && message.contains(QStringLiteral("Пропущено"));
            QVERIFY2(wrong == 0 || refused,
                     qPrintable(QStringLiteral("plane %1: %2 voxels wrong").arg(z).arg(wrong)));
            if (z == slice && !tagSave)
                QCOMPARE(zero, v.nx * v.ny);
        }
    }

    // Series that an evenly spaced volume on the patient's axes cannot hold exactly: the volume is built
    // as always, and a warning names the steps or the tilt.
    void geometryWarnings_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<bool>("geometry"); // positions and orientation, or slice locations alone
        QTest::addColumn<QList<double>>("named"); // the warning's numbers; none: no warning
        QTest::newRow("even 2 mm steps") << "even" << true << QList<double>{};
        QTest::newRow("one slice left out") << "gap" << true << QList<double>{2, 4, 2.29};
        QTest::newRow("2 and 3 mm steps") << "mixed" << true << QList<double>{2, 3, 2.43};
        QTest::newRow("2 and 3 mm steps, locations only") << "mixed" << false << QList<double>{2, 3, 2.43};
        QTest::newRow("2 and 2.15 mm steps") << "jitter" << true << QList<double>{};
        QTest::newRow("tilted 0.5 degrees") << "tilt 0.5" << true << QList<double>{};
        QTest::newRow("tilted 30 degrees") << "tilt 30" << true << QList<double>{30};
        // The table steps 2 mm along z under a gantry tilted 20 degrees: each slice slides 0.68 mm
        // within its plane, 10.26 mm at the 16th.
        QTest::newRow("tilted gantry, 16 slices") << "gantry" << true << QList<double>{20, 10.26};
        // Measured from the lowest slice, where the volume starts, not from the first in the list.
        QTest::newRow("tilted gantry, list from the middle")
            << "gantry middle" << true << QList<double>{20, 10.26};
        // Axial planes, origins stepping 20 degrees off the normal: 0.73 mm a slice.
        QTest::newRow("sheared 20 degrees, 16 slices") << "sheared" << true << QList<double>{10.92};
        // One slice slid by less, then by more, than a tenth of the 0.7 mm pixel.
        QTest::newRow("last slice slid 0.05 mm") << "slid 0.05" << true << QList<double>{};
        QTest::newRow("last slice slid 0.1 mm") << "slid 0.1" << true << QList<double>{0.1};
    }
    void geometryWarnings()
    {
        QFETCH(QString, shape);
        QFETCH(bool, geometry);
        QFETCH(QList<double>, named);
        SeriesLayout s = baseLayout(fixtures::Plane::Axial);
        s.sliceSpacing = 2.0;
        if (shape == "gap")
            s.sliceOffset = [](int k) { return 2.0 * (k < 3 ? k : k + 1); };
        else if (shape == "mixed")
            s.sliceOffset = [](int k) { return 2.5 * k - 0.5 * (k % 2); };
        else if (shape == "jitter")
            s.sliceOffset = [](int k) { return 2.075 * k - 0.075 * (k % 2); };
        if (shape.startsWith("tilt")) {
            const double a = qDegreesToRadians(shape.mid(5).toDouble());
            s.plane = fixtures::Plane::Oblique;
            s.obliqueOrientation = {1, 0, 0, 0, std::cos(a), -std::sin(a)};
        }
        const Vec3 o = s.origin;
        if (shape.startsWith("gantry")) {
            s.slices = 16;
            s.plane = fixtures::Plane::Oblique;
            s.obliqueOrientation = {1, 0, 0, 0, 0.940, -0.342};
            s.sliceOrigin = [o](int k) { return Vec3{o[0], o[1], o[2] + 2.0 * k}; };
        } else if (shape == "sheared") {
            s.slices = 16;
            const double slide = 2.0 * std::tan(qDegreesToRadians(20.0));
            s.sliceOrigin = [o, slide](int k) { return Vec3{o[0], o[1] + slide * k, o[2] + 2.0 * k}; };
        } else if (shape.startsWith("slid")) {
            const double slide = shape.mid(5).toDouble();
            s.sliceOrigin = [o, slide](int k) {
                return Vec3{o[0] + (k == K - 1 ? slide : 0.0), o[1], o[2] + 2.0 * k};
            };
        }
        const QStringList files = fixtures::writeSeries(freshDir(), s);
        QList<render::SliceSource> list;
        for (int m = 0; m < s.slices; ++m) {
            const int k = shape.endsWith("middle") ? (m + s.slices / 2) % s.slices : s.slices - 1 - m;
            render::SliceSource src = sourceFor(s, files[k], k, 0);
            src.hasSpatialInfo = geometry;
            list << src;
        }
        QString message;
        const render::Volume v = render::buildVolume(list, &message, render::AxialPlane);
        QCOMPARE(numbersIn(message), named);
        // The volume is the usual one: slices in order at the mean step along the normal.
        QCOMPARE(v.nz, s.slices);
        const auto d = fixtures::orientationOf(s);
        const Vec3 normal{d[1] * d[5] - d[2] * d[4], d[2] * d[3] - d[0] * d[5], d[0] * d[4] - d[1] * d[3]};
        const Vec3 first = fixtures::slicePosition(s, 0), last = fixtures::slicePosition(s, s.slices - 1);
        double along = 0.0;
        for (size_t a = 0; a < 3; ++a)
            along += (last[a] - first[a]) * normal[a];
        QVERIFY(std::abs(v.spacingZ - along / (s.slices - 1)) < 1e-6);
        for (int z = 0; z < s.slices; ++z)
            QCOMPARE(v.voxels[v.index(1, 2, z)], float(code(1, 2, z) + s.rescaleIntercept));
    }

    void tooLargeForMemory()
    {
        SeriesLayout s = baseLayout(fixtures::Plane::Axial);
        s.rows = 1024;
        s.columns = 1024;
        s.slices = 1;
        s.pixels = fixtures::PixelKind::UInt8;
        s.value = [](int, int, int) { return 1; };
        const QString file = fixtures::writeSlice(freshDir() + "/big.dcm", s, 0);
        render::SliceSource src;
        src.filePath = file;
        QList<render::SliceSource> list(60000, src); // 60000 x 1 MiB voxels x 4 bytes
        QString message;
        const render::Volume v = render::buildVolume(list, &message, 0);
        QVERIFY(v.isEmpty());
        QVERIFY2(message.startsWith(QStringLiteral("Серия слишком велика для построения объёма: 1024×1024×60000")),
                 qPrintable(message));
        QVERIFY(!render::volumeFitsInMemory(2000000, 2000000, 2000000, 1, &message));
        QVERIFY(render::volumeFitsInMemory(64, 64, 64, 2, nullptr));
    }

    void axisMapping()
    {
        render::AxisMapping m = render::orientationAxes(1, 0, 0, 0, 1, 0);
        QVERIFY(m.valid);
        QCOMPARE(m.axis, (std::array<qint32, 3>{0, 1, 2}));
        QCOMPARE(m.sign, (std::array<qint32, 3>{1, 1, 1}));
        m = render::orientationAxes(0, 1, 0, 0, 0, -1);
        QVERIFY(m.valid);
        QCOMPARE(m.axis, (std::array<qint32, 3>{1, 2, 0}));
        QCOMPARE(m.sign, (std::array<qint32, 3>{1, -1, -1}));
        QVERIFY(!render::orientationAxes(0, 0, 0, 0, 0, 0).valid);
        QVERIFY(!render::orientationAxes(1, 0, 0, 1, 0, 0).valid);
        // Equal magnitudes: x wins over y, y over z.
        QCOMPARE(render::dominantAxis(QVector3D(0.5f, -0.5f, 0.5f)).axis, 0);
        QCOMPARE(render::dominantAxis(QVector3D(0.0f, -0.5f, 0.5f)).axis, 1);
        QCOMPARE(render::dominantAxis(QVector3D(0.0f, -0.5f, 0.5f)).sign, -1);

        QCOMPARE(render::acquisitionPlaneFromOrientation(0, 1, 0, 0, 0, -1).plane, int(render::SagittalPlane));
        QCOMPARE(render::acquisitionPlaneFromOrientation(1, 0, 0, 0, 0, -1).plane, int(render::CoronalPlane));
        QCOMPARE(render::acquisitionPlaneFromOrientation(1, 0, 0, 0, 1, 0).plane, int(render::AxialPlane));
        QVERIFY(!render::acquisitionPlaneFromOrientation(0, 0, 0, 0, 0, 0).valid);
    }

    void zeroOrientationKeepsStack()
    {
        SeriesLayout s = baseLayout(fixtures::Plane::Sagittal);
        const QStringList files = fixtures::writeSeries(freshDir(), s);
        QList<render::SliceSource> list;
        for (int k = 0; k < K; ++k) {
            render::SliceSource src = sourceFor(s, files[k], k, 0);
            src.orientationRow = {0, 0, 0};
            src.orientationCol = {0, 0, 0};
            list << src;
        }
        const render::Volume v = render::buildVolume(list, nullptr, render::CoronalPlane);
        QCOMPARE(v.nx, C);
        QCOMPARE(v.ny, R);
        QCOMPARE(v.nz, K);
    }

    void planeHintPermutes()
    {
        render::Volume in;
        in.nx = 3;
        in.ny = 4;
        in.nz = 2;
        in.spacingX = 0.5;
        in.spacingY = 0.6;
        in.spacingZ = 2.0;
        in.minValue = -1;
        in.maxValue = 99;
        for (int z = 0; z < 2; ++z)
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 3; ++x)
                    in.voxels.push_back(float(100 * z + 10 * y + x));
        const render::Volume sag = render::permuteByPlaneHint(in, render::SagittalPlane);
        QCOMPARE((std::array<int, 3>{sag.nx, sag.ny, sag.nz}), (std::array<int, 3>{2, 3, 4}));
        QCOMPARE((std::array<double, 3>{sag.spacingX, sag.spacingY, sag.spacingZ}), (std::array<double, 3>{2.0, 0.5, 0.6}));
        const render::Volume cor = render::permuteByPlaneHint(in, render::CoronalPlane);
        QCOMPARE((std::array<int, 3>{cor.nx, cor.ny, cor.nz}), (std::array<int, 3>{3, 2, 4}));
        for (int z = 0; z < 2; ++z)
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 3; ++x) {
                    const float v = in.voxels[in.index(x, y, z)];
                    QCOMPARE(sag.voxels[sag.index(z, x, 3 - y)], v);
                    QCOMPARE(cor.voxels[cor.index(x, z, 3 - y)], v);
                }
        QCOMPARE(render::permuteByPlaneHint(in, 7).voxels, cor.voxels);
        QCOMPARE(render::permuteByPlaneHint(in, 0).voxels, in.voxels);
        QCOMPARE(sag.maxValue, 99.0);
    }

    void planeGuess_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<int>("plane");
        QTest::newRow("SAG T2") << "SAG T2" << 1;
        QTest::newRow("t1_sag_fs") << "t1_sag_fs" << 1;
        QTest::newRow("Sagittal reformat") << "Sagittal reformat" << 1;
        QTest::newRow("T2SAG") << "T2SAG3D" << 1;
        QTest::newRow("COR STIR") << "COR STIR" << 2;
        QTest::newRow("Coronal 3mm") << "Coronal 3mm" << 2;
        QTest::newRow("coronary CTA") << "Coronary CTA 0.6" << 0;
        QTest::newRow("calcium score") << "Calcium Score" << 0;
        QTest::newRow("cortex") << "Cortex thin" << 0;
        QTest::newRow("sagging? no") << "Massage" << 0;
        QTest::newRow("empty") << "" << 0;
    }
    void planeGuess()
    {
        QFETCH(QString, description);
        QFETCH(int, plane);
        QCOMPARE(render::guessAcquisitionPlane(description), plane);
    }

    void volumeFromVoxels()
    {
        render::Volume layout;
        layout.nx = 2;
        layout.ny = 2;
        layout.nz = 1;
        layout.spacingZ = 3.0;
        render::Volume v = render::makeVolumeFromVoxels(layout, {4, -2, 7, 1});
        QCOMPARE(v.minValue, -2.0);
        QCOMPARE(v.maxValue, 7.0);
        QCOMPARE(v.spacingZ, 3.0);
        std::vector<float> wrong{1, 2, 3};
        QVERIFY(render::makeVolumeFromVoxels(layout, std::move(wrong)).isEmpty());
        QVERIFY(wrong.empty());
    }

};

QTEST_GUILESS_MAIN(TestVolumeBuild)
#include "tst_volumebuild.moc"
