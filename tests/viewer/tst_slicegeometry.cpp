// Plane geometry behind reference lines and the 3D cursor, without widgets: slice planes from index
// rows, the line two planes meet in, and that line clipped to an image, against lines worked out by hand.

#include "viewer/SliceGeometry.h"

#include <QtTest>

#include <cmath>

namespace {

db::InstanceRecord row(std::array<double, 3> position, std::array<double, 3> rowDir, std::array<double, 3> colDir,
                       double spacingX = 1.0, double spacingY = 1.0)
{
    db::InstanceRecord r;
    r.hasSpatialInfo = true;
    r.imagePosition = position;
    r.orientationRow = rowDir;
    r.orientationCol = colDir;
    r.pixelSpacingX = spacingX;
    r.pixelSpacingY = spacingY;
    return r;
}

// Endpoints in either order, to a tolerance in pixels.
bool sameSegment(const QLineF& a, const QLineF& b, double tolerance = 1e-3)
{
    auto near = [tolerance](QPointF p, QPointF q) { return std::hypot(p.x() - q.x(), p.y() - q.y()) <= tolerance; };
    return (near(a.p1(), b.p1()) && near(a.p2(), b.p2())) || (near(a.p1(), b.p2()) && near(a.p2(), b.p1()));
}

QString text(const QLineF& l)
{
    return QStringLiteral("(%1, %2)-(%3, %4)").arg(l.x1()).arg(l.y1()).arg(l.x2()).arg(l.y2());
}

} // namespace

class TestSliceGeometry : public QObject
{
    Q_OBJECT

private slots:
    void planesOfSlices()
    {
        // Spacings of 0 or less count as 1 mm; directions are normalised.
        const SliceGeometry g = makeSliceGeometry(row({1, 2, 3}, {2, 0, 0}, {0, 3, 0}, 0.0, -1.0), 10, 20);
        QVERIFY(g.valid);
        QCOMPARE(g.spacingX, 1.0);
        QCOMPARE(g.spacingY, 1.0);
        QCOMPARE(g.rowDirection, QVector3D(1, 0, 0));
        QCOMPARE(g.colDirection, QVector3D(0, 1, 0));
        QCOMPARE(g.normal, QVector3D(0, 0, 1));
        QCOMPARE(g.origin, QVector3D(1, 2, 3));
        QCOMPARE(g.width, 10);
        QCOMPARE(g.height, 20);
        QCOMPARE(makeSliceGeometry(row({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 0.7, 0.8), 4, 4).spacingX, 0.7);

        // Degenerate input gives no plane.
        QVERIFY(!makeSliceGeometry(row({0, 0, 0}, {0, 0, 0}, {0, 1, 0}), 10, 10).valid);
        QVERIFY(!makeSliceGeometry(row({0, 0, 0}, {1, 0, 0}, {1e-4, 0, 0}), 10, 10).valid);
        QVERIFY(!makeSliceGeometry(row({0, 0, 0}, {1, 0, 0}, {0, 1, 0}), 0, 10).valid);
        QVERIFY(!makeSliceGeometry(row({0, 0, 0}, {1, 0, 0}, {0, 1, 0}), 10, 0).valid);
        db::InstanceRecord noCoordinates = row({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
        noCoordinates.hasSpatialInfo = false;
        QVERIFY(!makeSliceGeometry(noCoordinates, 10, 10).valid);

        // Unit vectors and the zero vector stay as they are; others are scaled to length 1.
        QCOMPARE(normalizedDirection(QVector3D(1.000004f, 0, 0)), QVector3D(1.000004f, 0, 0));
        QCOMPARE(normalizedDirection(QVector3D(0, 0, 0)), QVector3D(0, 0, 0));
        QCOMPARE(normalizedDirection(QVector3D(0, 3, 4)), QVector3D(0, 0.6f, 0.8f));
    }

    void linesBetweenPlanes_data()
    {
        QTest::addColumn<db::InstanceRecord>("shown");
        QTest::addColumn<QSize>("shownSize");
        QTest::addColumn<db::InstanceRecord>("other");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QLineF>("expected");

        // Axial slice at z = 50 mm, first pixel at (-100, -120), 0.7 x 0.8 mm pixels, 32 x 32.
        const db::InstanceRecord axial = row({-100, -120, 50}, {1, 0, 0}, {0, 1, 0}, 0.7, 0.8);
        // Sagittal plane x = -90 mm: rows run front to back, columns head to feet from z = 60.
        const db::InstanceRecord sagittal = row({-90, -120, 60}, {0, 1, 0}, {0, 0, -1});
        // Coronal plane y = -110 mm.
        const db::InstanceRecord coronal = row({-100, -110, 60}, {1, 0, 0}, {0, 0, -1});
        const db::InstanceRecord axial1mm = row({-100, -120, 50}, {1, 0, 0}, {0, 1, 0});

        // On the axial image the sagittal plane is the column u = (-90 + 100) / 0.7 from top to bottom.
        QTest::newRow("sagittal on axial") << axial << QSize(32, 32) << sagittal << true
                                           << QLineF(10.0 / 0.7, 0, 10.0 / 0.7, 32);
        // On the sagittal image the axial plane is the row v = (60 - 50) / 1 across the whole width.
        QTest::newRow("axial on sagittal") << sagittal << QSize(40, 40) << axial << true << QLineF(0, 10, 40, 10);
        // On the axial image the coronal plane is the row v = (-110 + 120) / 0.8.
        QTest::newRow("coronal on axial") << axial << QSize(32, 32) << coronal << true
                                          << QLineF(0, 12.5, 32, 12.5);
        QTest::newRow("axial on coronal") << coronal << QSize(30, 30) << axial << true << QLineF(0, 10, 30, 10);

        // An oblique plane through (-80, -100, 60), rows at 30 degrees to x, columns head to feet: on an
        // axial image with 1 mm pixels from (-100, -120) it is v = 20 + (u - 20) * tan(30 degrees).
        const db::InstanceRecord oblique = row({-80, -100, 60}, {0.8660254, 0.5, 0}, {0, 0, -1});
        const double t = std::tan(M_PI / 6.0);
        QTest::newRow("oblique on axial") << axial1mm << QSize(64, 64) << oblique << true
                                          << QLineF(0, 20 - 20 * t, 64, 20 + 44 * t);

        QTest::newRow("parallel") << axial << QSize(32, 32) << row({0, 0, 80}, {1, 0, 0}, {0, 1, 0}) << false
                                  << QLineF();
        // Tilted by 5e-5 rad: the planes' cross product is too short to give a direction.
        const double tiny = 5e-5;
        QTest::newRow("nearly parallel")
            << axial << QSize(32, 32) << row({0, 0, 80}, {1, 0, 0}, {0, std::cos(tiny), std::sin(tiny)}) << false
            << QLineF();
        // A sagittal plane right of the image misses it; one along the image's last column touches it.
        QTest::newRow("missing") << axial << QSize(32, 32) << row({-60, -120, 60}, {0, 1, 0}, {0, 0, -1}) << false
                                 << QLineF();
        QTest::newRow("touching") << axial1mm << QSize(32, 32) << row({-68, -120, 60}, {0, 1, 0}, {0, 0, -1}) << true
                                  << QLineF(32, 0, 32, 32);
        // A plane whose line crosses the image diagonally from the top-left corner.
        QTest::newRow("diagonal") << axial1mm << QSize(40, 20) << row({-100, -120, 0}, {0.70710678, 0.70710678, 0},
                                                                       {0, 0, 1})
                                  << true << QLineF(0, 0, 20, 20);
    }

    void linesBetweenPlanes()
    {
        QFETCH(db::InstanceRecord, shown);
        QFETCH(QSize, shownSize);
        QFETCH(db::InstanceRecord, other);
        QFETCH(bool, valid);
        QFETCH(QLineF, expected);

        const SliceGeometry a = makeSliceGeometry(shown, shownSize.width(), shownSize.height());
        const SliceGeometry b = makeSliceGeometry(other, 16, 16);
        QVERIFY(a.valid && b.valid);
        const ReferenceLine3D line = intersectSlicePlanes(a, b);
        std::optional<QLineF> segment;
        if (line.valid)
            segment = clipLineToImage(a, line);
        QCOMPARE(segment.has_value(), valid);
        if (valid)
            QVERIFY2(sameSegment(*segment, expected), qPrintable(text(*segment) + QStringLiteral(" vs ") + text(expected)));
    }

    void intersectionLine()
    {
        const SliceGeometry axial = makeSliceGeometry(row({-100, -120, 50}, {1, 0, 0}, {0, 1, 0}), 32, 32);
        const SliceGeometry sagittal = makeSliceGeometry(row({-90, -120, 60}, {0, 1, 0}, {0, 0, -1}), 32, 32);
        const ReferenceLine3D line = intersectSlicePlanes(axial, sagittal);
        QVERIFY(line.valid);
        // The point of the line nearest to the patient origin, and the direction n1 x n2.
        QCOMPARE(line.point, QVector3D(-90, 0, 50));
        QCOMPARE(line.direction, QVector3D(0, -1, 0));

        // Tilted by 1e-3 rad the planes cross.
        const SliceGeometry tilted =
            makeSliceGeometry(row({0, 0, 80}, {1, 0, 0}, {0, std::cos(1e-3), std::sin(1e-3)}), 32, 32);
        QVERIFY(intersectSlicePlanes(axial, tilted).valid);
    }

    void clippingEdgeCases()
    {
        const SliceGeometry g = makeSliceGeometry(row({0, 0, 0}, {1, 0, 0}, {0, 1, 0}), 32, 16);
        // A line along the viewing direction has no extent on the image.
        QVERIFY(!clipLineToImage(g, {QVector3D(5, 5, 0), QVector3D(0, 0, 1), true}));
        // A horizontal line at v = 16 lies on the bottom edge; at v = 16.5 it misses.
        const auto bottom = clipLineToImage(g, {QVector3D(3, 16, 0), QVector3D(1, 0, 0), true});
        QVERIFY(bottom);
        QVERIFY(sameSegment(*bottom, QLineF(0, 16, 32, 16)));
        QVERIFY(!clipLineToImage(g, {QVector3D(3, 16.5f, 0), QVector3D(1, 0, 0), true}));
        QVERIFY(!clipLineToImage(g, {QVector3D(-0.01f, 3, 0), QVector3D(0, 1, 0), true}));
        // A line through the corner only.
        const auto corner = clipLineToImage(g, {QVector3D(32, 0, 0), QVector3D(0.70710678f, 0.70710678f, 0), true});
        QVERIFY(corner);
        QVERIFY(corner->length() < 1e-3);
        // Pixel spacing scales the image coordinates.
        const SliceGeometry coarse = makeSliceGeometry(row({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 2.0, 4.0), 32, 16);
        const auto scaled = clipLineToImage(coarse, {QVector3D(10, 20, 7), QVector3D(1, 0, 0), true});
        QVERIFY(scaled);
        QVERIFY(sameSegment(*scaled, QLineF(0, 5, 32, 5)));
        QCOMPARE(patientToImage(coarse, QVector3D(10, 20, 7)), QPointF(5, 5));
    }
};

QTEST_GUILESS_MAIN(TestSliceGeometry)
#include "tst_slicegeometry.moc"
