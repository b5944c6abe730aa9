// HU statistics of the panel's ROI ellipse and freehand outline on fixture CT series in a real index:
// the label text and place, empty regions, an unreadable file, and one HU decode per shown slice.

#include "viewer/ImageViewportWidget.h"

#include "support/DicomFixtures.h"
#include "PanelTestSupport.h"

#include "db/Database.h"
#include "render/HuImage.h"

#include <QDir>
#include <QGraphicsEllipseItem>
#include <QGraphicsView>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

constexpr double kIntercept = -1024.0;

// A ROI record as the mouse tools leave it: the ellipse item first, a label, the two corners.
ImageViewportWidget::Measurement ellipseRecord(ImageViewportWidget& panel, QPointF p0, QPointF p1,
                                               QPointF labelOffset = {})
{
    ImageViewportWidget::Measurement m;
    m.kind = 5;
    m.sliceIndex = panel.currentSliceIndex();
    m.points = {p0, p1};
    m.items.append(panel.graphicsScene()->addEllipse(QRectF(p0, p1).normalized()));
    m.label = panel.graphicsScene()->addSimpleText(QStringLiteral("отпустите для расчёта HU…"));
    m.labelOffset = labelOffset;
    return m;
}

ImageViewportWidget::Measurement outlineRecord(ImageViewportWidget& panel, const QList<QPointF>& points)
{
    ImageViewportWidget::Measurement m;
    m.kind = 8;
    m.sliceIndex = panel.currentSliceIndex();
    m.points = points;
    m.label = panel.graphicsScene()->addSimpleText(QStringLiteral("отпустите для расчёта HU…"));
    return m;
}

// The statistics text for the values of the pixels the test itself picks.
QString statsText(const QList<double>& values)
{
    if (values.isEmpty())
        return QStringLiteral("ROI пуст");
    double sum = 0.0, sumSq = 0.0, lo = values.first(), hi = values.first();
    for (double v : values) {
        sum += v;
        sumSq += v * v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    const double mean = sum / values.size();
    const double sd = std::sqrt(std::max(sumSq / values.size() - mean * mean, 0.0));
    return QStringLiteral("Mean %1  Min %2  Max %3  SD %4  (n=%5)")
        .arg(QString::number(mean, 'f', 1), QString::number(lo, 'f', 0), QString::number(hi, 'f', 0),
             QString::number(sd, 'f', 1), QString::number(values.size()));
}

// Values of the pixels of a 32 x 24 gradient slice whose centres lie inside the polygon (even-odd rule).
QList<double> polygonValues(const QList<QPointF>& polygon, int slice)
{
    QList<double> values;
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 32; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            bool inside = false;
            for (int i = 0, j = int(polygon.size()) - 1; i < polygon.size(); j = i++) {
                const QPointF a = polygon[i], b = polygon[j];
                if ((a.y() > py) != (b.y() > py) && px < (b.x() - a.x()) * (py - a.y()) / (b.y() - a.y()) + a.x())
                    inside = !inside;
            }
            if (inside)
                values.append(fixtures::coordinateValue(x, y, slice) + kIntercept);
        }
    }
    return values;
}

QList<double> ellipseValues(QPointF p0, QPointF p1, int slice)
{
    const QRectF box = QRectF(p0, p1).normalized();
    const double a = box.width() / 2, b = box.height() / 2;
    QList<double> values;
    if (a > 0 && b > 0)
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 32; ++x) {
                const double dx = (x - box.center().x()) / a, dy = (y - box.center().y()) / b;
                if (dx * dx + dy * dy <= 1.0)
                    values.append(fixtures::coordinateValue(x, y, slice) + kIntercept);
            }
    return values;
}

} // namespace

class TestPanelRoiStats : public QObject
{
    Q_OBJECT

    std::unique_ptr<paneltest::SeriesStore> m_store;
    QList<db::InstanceRecord> m_gradient; // stored 1000 z + 10 y + x, 32 x 24, 3 slices
    QList<db::InstanceRecord> m_uniform;  // 40 HU everywhere

    static std::unique_ptr<ImageViewportWidget> makePanel(const QList<db::InstanceRecord>& rows)
    {
        auto panel = paneltest::makePanel();
        SeriesOverlayInfo info;
        info.patientName = QStringLiteral("Test^Patient");
        info.modality = QStringLiteral("CT");
        panel->showSeries(rows, info);
        return panel;
    }

    static double gradientHu(int x, int y, int z) { return fixtures::coordinateValue(x, y, z) + kIntercept; }

private slots:
    void initTestCase()
    {
        m_store = std::make_unique<paneltest::SeriesStore>();
        QVERIFY(m_store->isOpen());

        fixtures::SeriesLayout gradient;
        gradient.columns = 32;
        gradient.rows = 24;
        gradient.slices = 3;
        m_gradient = m_store->index(gradient);
        QCOMPARE(m_gradient.size(), 3);

        fixtures::SeriesLayout uniform = gradient;
        uniform.value = [](int, int, int) { return int(40 - kIntercept); };
        m_uniform = m_store->index(uniform);
        QCOMPARE(m_uniform.size(), 3);
    }

    void cleanupTestCase()
    {
        m_store.reset();
    }

    void uniformRegion()
    {
        auto panel = makePanel(m_uniform);
        // Centre (15, 13), radii 5 and 3: rows 10 to 16 hold 1, 7, 9, 11, 9, 7 and 1 pixels.
        ImageViewportWidget::Measurement m = ellipseRecord(*panel, {20, 16}, {10, 10}, {3, -2});
        panel->updateEllipseRoiStats(m);
        QCOMPARE(m.label->text(), QStringLiteral("Mean 40.0  Min 40  Max 40  SD 0.0  (n=45)"));
        // At the box's top-left corner plus the label offset.
        QCOMPARE(m.label->pos(), QPointF(13, 8));
    }

    void ellipses_data()
    {
        QTest::addColumn<QPointF>("p0");
        QTest::addColumn<QPointF>("p1");
        QTest::addColumn<int>("slice");

        QTest::newRow("inside") << QPointF(3.5, 4.2) << QPointF(17.3, 12.9) << 0;
        QTest::newRow("third slice") << QPointF(3.5, 4.2) << QPointF(17.3, 12.9) << 2;
        QTest::newRow("over the top-left corner") << QPointF(-5, -5) << QPointF(5, 5) << 1;
        QTest::newRow("over the bottom-right corner") << QPointF(25, 18) << QPointF(40, 30) << 0;
        QTest::newRow("one pixel") << QPointF(7.9, 8.9) << QPointF(8.1, 9.1) << 0;
        QTest::newRow("zero width") << QPointF(10, 10) << QPointF(10, 30) << 0;
        QTest::newRow("zero height") << QPointF(2, 5) << QPointF(9, 5) << 0;
        QTest::newRow("outside") << QPointF(-50, -50) << QPointF(-40, -40) << 0;
        QTest::newRow("beyond the right edge") << QPointF(40, 2) << QPointF(50, 12) << 0;
    }

    void ellipses()
    {
        QFETCH(QPointF, p0);
        QFETCH(QPointF, p1);
        QFETCH(int, slice);

        // The pixels with integer coordinates inside the ellipse and inside the 32 x 24 image.
        const QRectF box = QRectF(p0, p1).normalized();
        const double a = box.width() / 2, b = box.height() / 2;
        QList<double> values;
        if (a > 0 && b > 0) {
            for (int y = 0; y < 24; ++y) {
                for (int x = 0; x < 32; ++x) {
                    const double dx = (x - box.center().x()) / a, dy = (y - box.center().y()) / b;
                    if (dx * dx + dy * dy <= 1.0)
                        values.append(gradientHu(x, y, slice));
                }
            }
        }

        auto panel = makePanel(m_gradient);
        panel->showSlice(slice);
        ImageViewportWidget::Measurement m = ellipseRecord(*panel, p0, p1);
        panel->updateEllipseRoiStats(m);
        QCOMPARE(m.label->text(), statsText(values));
        QCOMPARE(m.label->pos(), box.topLeft());
    }

    void freehandOutlines_data()
    {
        QTest::addColumn<QList<QPointF>>("points");
        QTest::addColumn<QString>("text");

        // Pixel centres (x + 0.5, y + 0.5) inside: x and y from 10 to 19, values 10 y + x - 1024.
        QTest::newRow("square") << QList<QPointF>{{10, 10}, {20, 10}, {20, 20}, {10, 20}}
                                << QStringLiteral("Mean -864.5  Min -914  Max -815  SD 28.9  (n=100)");
        QTest::newRow("two points") << QList<QPointF>{{10, 10}, {20, 10}} << QStringLiteral("ROI пуст");
        QTest::newRow("outside") << QList<QPointF>{{-30, -30}, {-20, -30}, {-25, -20}} << QStringLiteral("ROI пуст");
        QTest::newRow("between pixel centres") << QList<QPointF>{{4.6, 4.6}, {5.4, 4.6}, {5.4, 5.4}, {4.6, 5.4}}
                                               << QStringLiteral("ROI пуст");
        QTest::newRow("one pixel") << QList<QPointF>{{4.2, 4.2}, {4.8, 4.2}, {4.8, 4.8}, {4.2, 4.8}}
                                   << QStringLiteral("Mean -980.0  Min -980  Max -980  SD 0.0  (n=1)");
    }

    void freehandOutlines()
    {
        QFETCH(QList<QPointF>, points);
        QFETCH(QString, text);
        auto panel = makePanel(m_gradient);
        ImageViewportWidget::Measurement m = outlineRecord(*panel, points);
        m.labelOffset = QPointF(-4, 6);
        panel->updateFreehandRoiStats(m, points.last());
        QCOMPARE(m.label->text(), text);
        QCOMPARE(m.label->pos(), points.last() + QPointF(-4, 6));
    }

    void unreadableFile()
    {
        QStringList files;
        fixtures::SeriesLayout layout;
        layout.columns = 16;
        layout.rows = 16;
        layout.slices = 2;
        const QList<db::InstanceRecord> rows = m_store->index(layout, nullptr, &files);
        QCOMPARE(rows.size(), 2);
        // The file is cut short after it was indexed.
        fixtures::writeTruncatedCopy(files.first(), files.first() + QStringLiteral(".cut"), 700);
        QVERIFY(QFile::remove(files.first()));
        QVERIFY(QFile::rename(files.first() + QStringLiteral(".cut"), files.first()));
        render::clearHuFrameCache();

        auto panel = makePanel(rows);
        QCOMPARE(panel->currentSliceIndex(), 0);
        ImageViewportWidget::Measurement ellipse = ellipseRecord(*panel, {2, 2}, {8, 8}, {1, 1});
        panel->updateEllipseRoiStats(ellipse);
        QVERIFY2(ellipse.label->text().startsWith(QStringLiteral("HU недоступно: ")), qPrintable(ellipse.label->text()));
        QVERIFY(ellipse.label->text().size() > QStringLiteral("HU недоступно: ").size());
        QCOMPARE(ellipse.label->pos(), QPointF(3, 3));
        QVERIFY(panel->huFrameLoaded());
        QVERIFY(!panel->huImage().valid);

        ImageViewportWidget::Measurement outline = outlineRecord(*panel, {{2, 2}, {8, 2}, {8, 8}});
        panel->updateFreehandRoiStats(outline, {8, 8});
        QCOMPARE(outline.label->text(), ellipse.label->text());

        // The next slice reads again.
        panel->showSlice(1);
        panel->updateEllipseRoiStats(ellipse);
        QVERIFY2(ellipse.label->text().startsWith(QStringLiteral("Mean ")), qPrintable(ellipse.label->text()));
    }

    void oneDecodePerSlice()
    {
        render::clearHuFrameCache();
        auto panel = makePanel(m_gradient);
        const long long before = render::huFrameParseCount();
        ImageViewportWidget::Measurement first = ellipseRecord(*panel, {2, 2}, {12, 10});
        panel->updateEllipseRoiStats(first);
        QCOMPARE(render::huFrameParseCount(), before + 1);

        // The loader's own cache is dropped: only the panel's frame can spare the second read.
        render::clearHuFrameCache();
        ImageViewportWidget::Measurement second = ellipseRecord(*panel, {14, 4}, {30, 20});
        panel->updateEllipseRoiStats(second);
        ImageViewportWidget::Measurement outline = outlineRecord(*panel, {{1, 1}, {9, 1}, {5, 9}});
        panel->updateFreehandRoiStats(outline, {5, 9});
        panel->updateEllipseRoiStats(first);
        QCOMPARE(render::huFrameParseCount(), before + 1);

        // Another slice is another frame, read once.
        panel->showSlice(1);
        QVERIFY(!panel->huFrameLoaded());
        panel->updateEllipseRoiStats(first);
        panel->updateEllipseRoiStats(second);
        QCOMPARE(render::huFrameParseCount(), before + 2);
        QVERIFY(first.label->text().startsWith(QStringLiteral("Mean ")));
        // Values of the second slice: 1000 higher than on the first.
        const double mean = first.label->text().section(QLatin1Char(' '), 1, 1).toDouble();
        QVERIFY2(mean > 0, qPrintable(first.label->text()));
    }

    // The tools themselves: a ROI dragged with the mouse, its handle moved, a freehand outline.
    void mouseDrawnRois()
    {
        using namespace paneltest;
        auto panel = makePanel(m_gradient);
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        panel->showSlice(1);
        panel->setMeasurementMode(5);
        render::clearHuFrameCache();
        const long long reads = render::huFrameParseCount();

        press(*panel, viewPos(*panel, {4, 3}));
        move(*panel, viewPos(*panel, {10, 8}));
        move(*panel, viewPos(*panel, {18, 14}));
        release(*panel, viewPos(*panel, {18, 14}));
        QCOMPARE(panel->measurements().size(), 1);
        const ImageViewportWidget::Measurement& roi = panel->measurements().at(0);
        QCOMPARE(roi.kind, 5);
        QCOMPARE(roi.label->text(), statsText(ellipseValues(roi.points[0], roi.points[1], 1)));
        QCOMPARE(roi.label->pos(), QRectF(roi.points[0], roi.points[1]).normalized().topLeft());
        QVERIFY(std::abs(roi.points[1].x() - 18) < 0.5 && std::abs(roi.points[1].y() - 14) < 0.5);

        // Dragging the second corner shows the hint until the release, then the new values at the new
        // top-left corner plus the label offset.
        const QPoint handle = viewPos(*panel, roi.points[1]);
        press(*panel, handle + QPoint(2, 1));
        move(*panel, viewPos(*panel, {26, 20}));
        QCOMPARE(panel->measurements().at(0).label->text(), QStringLiteral("отпустите для пересчёта HU…"));
        move(*panel, viewPos(*panel, {2, 1}));
        release(*panel, viewPos(*panel, {2, 1}));
        const ImageViewportWidget::Measurement& moved = panel->measurements().at(0);
        QVERIFY(std::abs(moved.points[1].x() - 2) < 0.5 && std::abs(moved.points[1].y() - 1) < 0.5);
        QCOMPARE(moved.label->text(), statsText(ellipseValues(moved.points[0], moved.points[1], 1)));
        const QRectF box = QRectF(moved.points[0], moved.points[1]).normalized();
        QCOMPARE(moved.label->pos(), box.topLeft() + moved.labelOffset);

        // A freehand outline on the same slice.
        panel->setMeasurementMode(8);
        const QList<QPointF> track{{20, 4}, {28, 6}, {30, 14}, {24, 20}, {19, 12}};
        press(*panel, viewPos(*panel, track[0]));
        for (int i = 1; i < track.size(); ++i)
            move(*panel, viewPos(*panel, track[i]));
        QCOMPARE(panel->measurements().size(), 2);
        QCOMPARE(panel->measurements().at(1).label->text(), QStringLiteral("отпустите для расчёта HU…"));
        release(*panel, viewPos(*panel, track.last()));
        const ImageViewportWidget::Measurement& outline = panel->measurements().at(1);
        QCOMPARE(outline.kind, 8);
        QCOMPARE(outline.label->text(), statsText(polygonValues(outline.points, 1)));
        QVERIFY(outline.label->text().startsWith(QStringLiteral("Mean ")));
        QCOMPARE(outline.label->pos(), outline.points.last() + outline.labelOffset);
        // Three computations on one slice, one read of its frame.
        QCOMPARE(render::huFrameParseCount(), reads + 1);
        // The texts go to export as the measurements' texts.
        const QList<ImageViewportWidget::MeasurementInfo> infos = panel->measurementsForSlice(1);
        QCOMPARE(infos.size(), 2);
        QCOMPARE(infos[1].text, outline.label->text());
    }

    // What a radiologist sees: a CT slice with its corner texts, side letters and two ROIs.
    void grabWithRois()
    {
        using namespace paneltest;
        fixtures::SeriesLayout layout;
        layout.columns = layout.rows = 128;
        layout.slices = 3;
        layout.rowSpacing = layout.columnSpacing = 2.0;
        layout.sliceSpacing = layout.sliceThickness = 2.5;
        layout.seriesDescription = QStringLiteral("Брюшная полость");
        layout.value = [](int x, int y, int) {
            const double dx = (x - 64) / 54.0, dy = (y - 64) / 42.0;
            if (dx * dx + dy * dy > 1.0)
                return 0;
            const double lx = x - 40, ly = y - 58;
            if (lx * lx + ly * ly < 300)
                return 1024 + 60 + (x * 7 + y * 3) % 9; // liver-like
            const double sx = x - 64, sy = y - 92;
            if (sx * sx + sy * sy < 80)
                return 1024 + 650; // spine
            return 1024 + 35 + (x * 5 + y * 11) % 7;
        };
        const QList<db::InstanceRecord> rows = m_store->index(layout);
        auto panel = std::make_unique<ImageViewportWidget>();
        panel->resize(640, 560);
        panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        SeriesOverlayInfo info;
        info.patientName = QStringLiteral("Петров^Пётр");
        info.patientId = QStringLiteral("P-204");
        info.birthDate = QStringLiteral("19650412");
        info.sex = QStringLiteral("M");
        info.studyDescription = QStringLiteral("КТ брюшной полости");
        info.seriesDescription = layout.seriesDescription;
        info.seriesNumber = QStringLiteral("3");
        info.modality = QStringLiteral("CT");
        info.bodyPartExamined = QStringLiteral("ABDOMEN");
        info.studyDate = QStringLiteral("20240115");
        info.studyTime = QStringLiteral("101500");
        info.seriesInstanceUid = QStringLiteral("grab");
        panel->showSeries(rows, info);
        panel->showSlice(1);
        panel->setWindowPreset({40.0, 400.0});

        panel->setMeasurementMode(5);
        press(*panel, viewPos(*panel, {30, 50}));
        move(*panel, viewPos(*panel, {40, 60}));
        release(*panel, viewPos(*panel, {50, 66}));
        panel->setMeasurementMode(8);
        const QList<QPointF> track{{70, 40}, {86, 38}, {96, 50}, {90, 66}, {74, 64}, {68, 52}};
        press(*panel, viewPos(*panel, track[0]));
        for (int i = 1; i < track.size(); ++i)
            move(*panel, viewPos(*panel, track[i]));
        release(*panel, viewPos(*panel, track.last()));
        QCOMPARE(panel->measurements().size(), 2);
        // The liver-like region reads its 60 to 68 HU, the soft tissue its 35 to 41 HU.
        QVERIFY2(panel->measurements().at(0).label->text().startsWith(QStringLiteral("Mean 6")),
                 qPrintable(panel->measurements().at(0).label->text()));
        QVERIFY2(panel->measurements().at(1).label->text().startsWith(QStringLiteral("Mean 3")),
                 qPrintable(panel->measurements().at(1).label->text()));
    }
};

QTEST_MAIN(TestPanelRoiStats)
#include "tst_panelroistats.moc"
