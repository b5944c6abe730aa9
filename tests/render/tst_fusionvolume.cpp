#include "render/FusionVolume.h"

#include "support/DicomFixtures.h"
#include "support/TextNumbers.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"

#include <QtTest>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

using fixtures::SeriesLayout;
using Vec3 = std::array<double, 3>;

namespace {

// Unique small value per source voxel so that any flip or transposition reads a different number.
int code(int x, int y, int z)
{
    return (z * 7 + y) * 6 + x + 1;
}

SeriesLayout smallLayout(fixtures::Plane plane)
{
    SeriesLayout s;
    s.rows = 7;
    s.columns = 6;
    s.slices = 5;
    s.rowSpacing = 0.8;
    s.columnSpacing = 0.7;
    s.sliceSpacing = 1.5;
    s.sliceThickness = 1.5;
    s.plane = plane;
    s.value = code;
    s.rescaleIntercept = -1024.0;
    return s;
}

double dot(const Vec3& a, const Vec3& b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Value the fixture holds at patient position p, found from the fixture's own geometry; NaN when p
// is not a pixel centre of the written series.
double fixtureValueAt(const SeriesLayout& s, const Vec3& p)
{
    const auto o = fixtures::orientationOf(s);
    const Vec3 row{o[0], o[1], o[2]};
    const Vec3 col{o[3], o[4], o[5]};
    const Vec3 n{row[1] * col[2] - row[2] * col[1], row[2] * col[0] - row[0] * col[2], row[0] * col[1] - row[1] * col[0]};
    const double lenN = std::sqrt(dot(n, n));
    const Vec3 d{p[0] - s.origin[0], p[1] - s.origin[1], p[2] - s.origin[2]};
    const double zf = dot(d, n) / lenN / s.sliceSpacing;
    const int z = int(std::lround(zf));
    const Vec3 sp = fixtures::slicePosition(s, z);
    const Vec3 e{p[0] - sp[0], p[1] - sp[1], p[2] - sp[2]};
    const double xf = dot(e, row) / dot(row, row) / s.columnSpacing;
    const double yf = dot(e, col) / dot(col, col) / s.rowSpacing;
    const int x = int(std::lround(xf)), y = int(std::lround(yf));
    if (std::abs(zf - z) > 1e-3 || std::abs(xf - x) > 1e-3 || std::abs(yf - y) > 1e-3 || x < 0 || y < 0 || z < 0
        || x >= s.columns || y >= s.rows || z >= s.slices)
        return std::nan("");
    return code(x, y, z) * s.rescaleSlope + s.rescaleIntercept;
}

} // namespace

class TestFusionVolume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void landsInPatientSpace_data();
    void landsInPatientSpace();
    void geometryFailures();
    void repeatedPositionKeepsFirstRow();
    void sliceSpacingRules();
    void unreadableRows();
    void unevenStepsAreWarned_data();
    void unevenStepsAreWarned();
    void slidSlicesArePlacedOrAnnounced_data();
    void slidSlicesArePlacedOrAnnounced();
    void oversizedSeriesIsRefused();
    void trilinearMarginsAndNearest();
    void emptyVolumeReads();

private:
    QList<db::InstanceRecord> indexSeries(SeriesLayout layout, const QString& name);

    QTemporaryDir m_dir;
    db::Database m_db;
};

void TestFusionVolume::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_db.open(m_dir.filePath("index.sqlite3")), qPrintable(m_db.lastError()));
}

// Writes the series and takes its rows back from a real index, in the index's instance order.
QList<db::InstanceRecord> TestFusionVolume::indexSeries(SeriesLayout layout, const QString& name)
{
    fixtures::completeUids(layout);
    const QString dir = m_dir.filePath(name);
    QDir().mkpath(dir);
    const QStringList files = fixtures::writeSeries(dir, layout);
    for (const QString& f : files) {
        const auto summary = dicom::readFileSummary(f);
        if (!summary || !m_db.indexFile(*summary))
            return {};
    }
    return m_db.instancesForSeries(layout.seriesUid);
}

void TestFusionVolume::landsInPatientSpace_data()
{
    QTest::addColumn<int>("plane");
    QTest::addColumn<bool>("reversed");
    QTest::newRow("axial") << int(fixtures::Plane::Axial) << false;
    QTest::newRow("axial, rows in reverse order") << int(fixtures::Plane::Axial) << true;
    QTest::newRow("sagittal") << int(fixtures::Plane::Sagittal) << false;
    QTest::newRow("coronal, rows in reverse order") << int(fixtures::Plane::Coronal) << true;
    QTest::newRow("oblique") << int(fixtures::Plane::Oblique) << false;
    QTest::newRow("oblique, rows in reverse order") << int(fixtures::Plane::Oblique) << true;
}

void TestFusionVolume::landsInPatientSpace()
{
    QFETCH(int, plane);
    QFETCH(bool, reversed);
    SeriesLayout layout = smallLayout(fixtures::Plane(plane));
    layout.reverseInstanceNumbers = reversed;
    layout.origin = {-31.5, 12.25, 80.0};
    const auto rows = indexSeries(layout, QStringLiteral("geo_%1_%2").arg(plane).arg(reversed));
    QCOMPARE(rows.size(), layout.slices);
    QString message;
    const render::FusionVolume v = render::buildFusionVolume(rows, &message);
    QVERIFY2(message.isEmpty(), qPrintable(message));
    QCOMPARE((std::array{v.nx, v.ny, v.nz}), (std::array{layout.columns, layout.rows, layout.slices}));
    // k = 0 is the smallest distance along the normal, whatever order the index gave.
    const Vec3 firstPos = fixtures::slicePosition(layout, 0);
    for (int a = 0; a < 3; ++a)
        QVERIFY(std::abs(v.origin[size_t(a)] - firstPos[size_t(a)]) < 1e-4);
    QCOMPARE(v.minValue, code(0, 0, 0) - 1024.0);
    QCOMPARE(v.maxValue, code(layout.columns - 1, layout.rows - 1, layout.slices - 1) - 1024.0);

    for (int k = 0; k < v.nz; ++k)
        for (int j = 0; j < v.ny; ++j)
            for (int i = 0; i < v.nx; ++i) {
                Vec3 p;
                render::voxelToWorld(v, i, j, k, &p[0], &p[1], &p[2]);
                const double expected = fixtureValueAt(layout, p);
                QVERIFY2(!std::isnan(expected), qPrintable(QStringLiteral("voxel %1,%2,%3 off the grid").arg(i).arg(j).arg(k)));
                QCOMPARE(double(v.voxels[v.index(i, j, k)]), expected);
                double bi = 0, bj = 0, bk = 0;
                QVERIFY(render::worldToVoxel(v, p[0], p[1], p[2], &bi, &bj, &bk));
                QVERIFY(std::abs(bi - i) < 1e-6 && std::abs(bj - j) < 1e-6 && std::abs(bk - k) < 1e-6);
                QCOMPARE(render::fusionVoxelNearest(v, bi, bj, bk), float(expected));
            }
    // The coordinate code is linear in x, y and z, so a trilinear read between centres is exact.
    const float mid = render::sampleFusionTrilinear(v, 1.5, 2.25, 3.75);
    const double expectedMid = (3.75 * 7 + 2.25) * 6 + 1.5 + 1 - 1024.0;
    QVERIFY(std::abs(mid - expectedMid) < 1e-3);
    double oi = 1, oj = 1, ok = 1;
    QVERIFY(render::worldToVoxel(v, v.origin[0], v.origin[1], v.origin[2], &oi, &oj, &ok));
    QCOMPARE(oi + oj + ok, 0.0);
}

void TestFusionVolume::geometryFailures()
{
    const auto rows = indexSeries(smallLayout(fixtures::Plane::Axial), QStringLiteral("fail"));
    QVERIFY(!rows.isEmpty());
    struct Case
    {
        QList<db::InstanceRecord> rows;
        QString text;
    };
    QList<Case> cases;
    cases.append({{}, QStringLiteral("Серия для наложения пуста")});
    {
        auto r = rows;
        r[0].hasSpatialInfo = false; // later rows have it: the first decides
        cases.append({r, QStringLiteral("У серии для наложения нет пространственной информации "
                                        "(ImagePositionPatient/ImageOrientationPatient) — совмещение невозможно")});
    }
    {
        auto r = rows;
        r[0].orientationRow = {0, 0, 0};
        r[0].orientationCol = {0, 0, 0};
        cases.append({r, QStringLiteral("Направления строк/столбцов серии для наложения вырождены")});
    }
    {
        auto r = rows;
        r[0].orientationCol = {-2, 0, 0};
        cases.append({r, QStringLiteral("Не удалось определить направление между срезами (вырожденная геометрия)")});
    }
    for (const Case& c : cases) {
        QString message;
        const render::FusionVolume v = render::buildFusionVolume(c.rows, &message);
        QVERIFY(v.isEmpty());
        QCOMPARE(message, c.text);
        QVERIFY(render::buildFusionVolume(c.rows, nullptr).isEmpty());
    }
}

void TestFusionVolume::repeatedPositionKeepsFirstRow()
{
    // Two acquisitions of the same slab (multi-echo): positions 0, 0, 5, 10 along the normal.
    SeriesLayout a = smallLayout(fixtures::Plane::Axial);
    a.slices = 3;
    a.sliceSpacing = 5.0;
    SeriesLayout b = a;
    b.value = [](int x, int y, int z) { return 900 + code(x, y, z); };
    const auto rowsA = indexSeries(a, QStringLiteral("echoA"));
    const auto rowsB = indexSeries(b, QStringLiteral("echoB"));
    QCOMPARE(rowsA.size(), 3);
    QCOMPARE(rowsB.size(), 3);
    const QList<db::InstanceRecord> mixed{rowsA[1], rowsB[0], rowsA[0], rowsA[2]};
    QString message;
    const render::FusionVolume v = render::buildFusionVolume(mixed, &message);
    QCOMPARE(message, QStringLiteral("Пропущено срезов серии для наложения: 1 из 4"));
    QCOMPARE(v.nz, 3);
    QCOMPARE(v.spacing[2], 5.0);
    // The first of the two rows at position 0 in the caller's order (series b) is kept, and every
    // later plane stays at its acquired position.
    QCOMPARE(double(v.voxels[v.index(2, 3, 0)]), 900 + code(2, 3, 0) - 1024.0);
    QCOMPARE(double(v.voxels[v.index(2, 3, 1)]), code(2, 3, 1) - 1024.0);
    QCOMPARE(double(v.voxels[v.index(2, 3, 2)]), code(2, 3, 2) - 1024.0);
    Vec3 p;
    render::voxelToWorld(v, 0, 0, 2, &p[0], &p[1], &p[2]);
    QVERIFY(std::abs(p[2] - (a.origin[2] + 10.0)) < 1e-6);
}

void TestFusionVolume::sliceSpacingRules()
{
    SeriesLayout s = smallLayout(fixtures::Plane::Axial);
    s.slices = 1;
    s.sliceThickness = 2.5;
    auto rows = indexSeries(s, QStringLiteral("single"));
    QCOMPARE(rows.size(), 1);
    QCOMPARE(render::buildFusionVolume(rows, nullptr).spacing[2], 2.5);
    rows[0].sliceThickness = 0.0;
    QCOMPARE(render::buildFusionVolume(rows, nullptr).spacing[2], 1.0);
    rows[0].pixelSpacingX = 0.0;
    rows[0].pixelSpacingY = -1.0;
    const auto v = render::buildFusionVolume(rows, nullptr);
    QCOMPARE(v.spacing[0], 1.0);
    QCOMPARE(v.spacing[1], 1.0);
}

void TestFusionVolume::unreadableRows()
{
    SeriesLayout s = smallLayout(fixtures::Plane::Axial);
    s.slices = 50;
    s.rows = 4;
    s.columns = 3;
    s.value = [](int x, int y, int z) { return 10 + z * 12 + y * 3 + x; };
    auto rows = indexSeries(s, QStringLiteral("fifty"));
    QCOMPARE(rows.size(), 50);
    auto broken = rows;
    const QString bad = m_dir.filePath(QStringLiteral("fifty/truncated.dcm"));
    fixtures::writeTruncatedCopy(rows[17].filePath, bad, 200);
    broken[17].filePath = bad;
    QString message;
    const auto v = render::buildFusionVolume(broken, &message);
    QCOMPARE(message, QStringLiteral("Пропущено срезов серии для наложения: 1 из 50"));
    QCOMPARE(v.nz, 50);
    for (int j = 0; j < v.ny; ++j)
        for (int i = 0; i < v.nx; ++i) {
            QCOMPARE(v.voxels[v.index(i, j, 17)], 0.0f);
            QCOMPARE(double(v.voxels[v.index(i, j, 18)]), 10 + 18 * 12 + j * 3 + i - 1024.0);
        }
    // The range comes from stored planes only.
    QCOMPARE(v.minValue, 10 - 1024.0);

    // An unreadable first sorted row fails the build, even though the rest can be read.
    auto firstBad = rows;
    firstBad[0].filePath = m_dir.filePath(QStringLiteral("fifty/missing.dcm"));
    const auto none = render::buildFusionVolume(firstBad, &message);
    QVERIFY(none.isEmpty());
    QCOMPARE(message,
             QStringLiteral("Не удалось прочитать первый срез серии для наложения: Файл не найден."));
}

void TestFusionVolume::unevenStepsAreWarned_data()
{
    QTest::addColumn<QString>("shape");
    QTest::addColumn<QList<double>>("named"); // the warning's numbers: smallest, largest and mean step
    QTest::newRow("even steps") << "even" << QList<double>{};
    QTest::newRow("one slice left out") << "gap" << QList<double>{1.5, 3, 1.8};
    QTest::newRow("1.5 and 3 mm steps") << "mixed" << QList<double>{1.5, 3, 2.1};
}

void TestFusionVolume::unevenStepsAreWarned()
{
    QFETCH(QString, shape);
    QFETCH(QList<double>, named);
    SeriesLayout s = smallLayout(fixtures::Plane::Sagittal);
    s.slices = 6;
    if (shape == "gap")
        s.sliceOffset = [](int k) { return 1.5 * (k < 2 ? k : k + 1); };
    else if (shape == "mixed")
        s.sliceOffset = [](int k) { return 2.25 * k - 0.75 * (k % 2); };
    const auto rows = indexSeries(s, QStringLiteral("steps_") + shape);
    QCOMPARE(rows.size(), s.slices);
    QString message;
    const render::FusionVolume v = render::buildFusionVolume(rows, &message);
    QCOMPARE(fixtures::numbersIn(message), named);
    // The volume is the usual one: every slice in order, at the mean step from the first.
    QCOMPARE(v.nz, s.slices);
    const double span = std::abs(fixtures::slicePosition(s, s.slices - 1)[0] - fixtures::slicePosition(s, 0)[0]);
    QVERIFY(std::abs(v.spacing[2] - span / (s.slices - 1)) < 1e-6);
    for (int k = 0; k < v.nz; ++k)
        QCOMPARE(double(v.voxels[v.index(2, 3, k)]), code(2, 3, k) - 1024.0);
}

void TestFusionVolume::slidSlicesArePlacedOrAnnounced_data()
{
    QTest::addColumn<QString>("shape");
    QTest::addColumn<QList<double>>("named"); // the warning's numbers; none: no warning
    // The table steps 2 mm along z under a gantry tilted 20 degrees: 0.68 mm a slice within the plane.
    QTest::newRow("tilted gantry, 16 slices") << "gantry" << QList<double>{10.26};
    // Axial planes, origins stepping 20 degrees off the normal.
    QTest::newRow("sheared 20 degrees, 16 slices") << "sheared" << QList<double>{10.92};
    // One slice slid by less, then by more, than a tenth of the 0.7 mm pixel.
    QTest::newRow("last slice slid 0.05 mm") << "slid 0.05" << QList<double>{};
    QTest::newRow("last slice slid 0.1 mm") << "slid 0.1" << QList<double>{0.1};
}

void TestFusionVolume::slidSlicesArePlacedOrAnnounced()
{
    QFETCH(QString, shape);
    QFETCH(QList<double>, named);
    SeriesLayout s = smallLayout(fixtures::Plane::Axial);
    s.slices = 16;
    const Vec3 o = s.origin;
    if (shape == "gantry") {
        s.plane = fixtures::Plane::Oblique;
        s.obliqueOrientation = {1, 0, 0, 0, 0.940, -0.342};
        s.sliceOrigin = [o](int k) { return Vec3{o[0], o[1], o[2] + 2.0 * k}; };
    } else if (shape == "sheared") {
        const double slide = 2.0 * std::tan(qDegreesToRadians(20.0));
        s.sliceOrigin = [o, slide](int k) { return Vec3{o[0], o[1] + slide * k, o[2] + 2.0 * k}; };
    } else {
        const double slide = shape.mid(5).toDouble();
        s.sliceOrigin = [o, slide](int k) {
            return Vec3{o[0] + (k == 15 ? slide : 0.0), o[1], o[2] + 1.5 * k};
        };
    }
    const auto rows = indexSeries(s, QStringLiteral("slid_") + QString(shape).replace(' ', '_'));
    QCOMPARE(rows.size(), s.slices);
    QString message;
    const render::FusionVolume v = render::buildFusionVolume(rows, &message);
    QCOMPARE(fixtures::numbersIn(message), named);
    QCOMPARE(v.nz, s.slices);

    // Voxel (i, j, k) holds the series' pixel (i, j) of slice k; how far the volume puts it from where
    // the series has it, at worst.
    const auto d = fixtures::orientationOf(s);
    double worst = 0.0;
    for (int k = 0; k < v.nz; ++k)
        for (int j = 0; j < v.ny; ++j)
            for (int i = 0; i < v.nx; ++i) {
                QCOMPARE(double(v.voxels[v.index(i, j, k)]), code(i, j, k) - 1024.0);
                Vec3 placed;
                render::voxelToWorld(v, i, j, k, &placed[0], &placed[1], &placed[2]);
                const Vec3 p = fixtures::slicePosition(s, k);
                double squared = 0.0;
                for (size_t a = 0; a < 3; ++a) {
                    const double real = p[a] + i * s.columnSpacing * d[a] + j * s.rowSpacing * d[a + 3];
                    squared += (placed[a] - real) * (placed[a] - real);
                }
                worst = std::max(worst, std::sqrt(squared));
            }
    if (named.isEmpty())
        QVERIFY2(worst <= 0.5 * std::min({v.spacing[0], v.spacing[1], v.spacing[2]}),
                 qPrintable(QString::number(worst)));
    else
        QVERIFY2(std::abs(named.last() - worst) < 0.005, qPrintable(QString::number(worst)));
}

void TestFusionVolume::oversizedSeriesIsRefused()
{
    // 400 000 rows of one 256 x 256 file: 105 GB of voxels, beyond any test machine's memory.
    SeriesLayout s = smallLayout(fixtures::Plane::Axial);
    s.slices = 1;
    s.rows = 256;
    s.columns = 256;
    const auto rows = indexSeries(s, QStringLiteral("huge"));
    QCOMPARE(rows.size(), 1);
    QList<db::InstanceRecord> many;
    const int count = 400000;
    many.reserve(count);
    for (int k = 0; k < count; ++k) {
        db::InstanceRecord r = rows[0];
        r.imagePosition[2] += k * 0.5;
        many.append(r);
    }
    QString message;
    const auto v = render::buildFusionVolume(many, &message);
    QVERIFY(v.isEmpty());
    QVERIFY(v.voxels.empty());
    QVERIFY2(message.startsWith(QStringLiteral("Серия слишком велика для построения объёма: 256×256×400000")),
             qPrintable(message));
}

void TestFusionVolume::trilinearMarginsAndNearest()
{
    render::FusionVolume v;
    v.nx = 4;
    v.ny = 3;
    v.nz = 2;
    v.voxels.resize(24);
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 4; ++i)
                v.voxels[v.index(i, j, k)] = float(100 * k + 10 * j + i);
    QCOMPARE(render::sampleFusionTrilinear(v, -0.5, 1, 1), 110.0f);
    QVERIFY(std::isnan(render::sampleFusionTrilinear(v, -2.5, 1, 1)));
    QCOMPARE(render::sampleFusionTrilinear(v, v.nx + 0.5, 1, 1), 113.0f);
    QVERIFY(std::isnan(render::sampleFusionTrilinear(v, v.nx + 1.5, 1, 1)));
    QVERIFY(std::isnan(render::sampleFusionTrilinear(v, 1, 1, std::nan(""))));
    QVERIFY(std::isnan(render::sampleFusionTrilinear(v, 1e300, 1, 1)));
    QCOMPARE(render::sampleFusionTrilinear(v, 1.25, 0.5, 0.5), float(50 + 5 + 1.25));
    QCOMPARE(render::fusionVoxelNearest(v, -0.4, 2, 1), 120.0f);
    QCOMPARE(render::fusionVoxelNearest(v, -0.6, 2, 1), -3000.0f);
    QCOMPARE(render::fusionVoxelNearest(v, 2.5, 0.5, 0.49), 13.0f); // halves away from zero
    QCOMPARE(render::fusionVoxelNearest(v, 3.49, 2.4, 1.5), -3000.0f);

    render::FusionVolume flat = v;
    flat.spacing[2] = 0.0;
    double i = 7, j = 7, k = 7;
    QVERIFY(!render::worldToVoxel(flat, 1, 2, 3, &i, &j, &k));
    QCOMPARE(i + j + k, 21.0);
}

void TestFusionVolume::emptyVolumeReads()
{
    const render::FusionVolume v;
    QVERIFY(v.isEmpty());
    QVERIFY(std::isnan(render::sampleFusionTrilinear(v, 0, 0, 0)));
    QCOMPARE(render::fusionVoxelNearest(v, 0, 0, 0), -3000.0f);
}

QTEST_GUILESS_MAIN(TestFusionVolume)
#include "tst_fusionvolume.moc"
