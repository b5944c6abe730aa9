// Reference lines and the 3D cursor in a viewer window on fixture series of one patient in a real index:
// axial, sagittal and coronal stacks with real positions, a series without coordinates and a single
// slice. Lines and markers are checked at the pixel positions the geometry gives.

#include "support/IndexFixtures.h"
#include "PanelTestSupport.h"

#include "db/Database.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QDir>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPen>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <QVector3D>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

const QString kTooFew = QStringLiteral("Референсные линии: нужно минимум 2 панели с загруженными сериями.");
const QString kNoCoordinates = QStringLiteral(
    "Референсные линии: ни у одной серии нет координат ImagePositionPatient/Orientation — скорее всего, эти "
    "исследования импортированы ДО того, как их начали сохранять. Переимпортируйте исследование (папку с "
    "исходными файлами) заново.");
const QString kParallel = QStringLiteral(
    "Референсные линии: координаты есть, но видимые плоскости практически параллельны (например, две аксиальные "
    "серии) — пересечения физически нет, это ожидаемо.");
const QString kCursorNoCoordinates = QStringLiteral(
    "3D-курсор: у этой серии нет пространственных координат — переимпортируйте исследование заново, чтобы они "
    "появились.");

QList<QGraphicsLineItem*> referenceLines(const ImageViewportWidget* panel)
{
    QList<QGraphicsLineItem*> out;
    for (QGraphicsItem* item : panel->graphicsScene()->items())
        if (auto* line = qgraphicsitem_cast<QGraphicsLineItem*>(item); line && line->zValue() == 400)
            out.append(line);
    return out;
}

QGraphicsEllipseItem* cursorMarker(const ImageViewportWidget* panel)
{
    for (QGraphicsItem* item : panel->graphicsScene()->items())
        if (auto* e = qgraphicsitem_cast<QGraphicsEllipseItem*>(item); e && e->zValue() == 500)
            return e;
    return nullptr;
}

// The marker's centre when it is shown.
std::optional<QPointF> markerAt(const ImageViewportWidget* panel)
{
    QGraphicsEllipseItem* marker = cursorMarker(panel);
    if (!marker || !marker->isVisible())
        return std::nullopt;
    return marker->rect().center();
}

bool sameSegment(const QLineF& a, const QLineF& b)
{
    auto near = [](QPointF p, QPointF q) { return std::hypot(p.x() - q.x(), p.y() - q.y()) < 1e-3; };
    return (near(a.p1(), b.p1()) && near(a.p2(), b.p2())) || (near(a.p1(), b.p2()) && near(a.p2(), b.p1()));
}

// Stored values of a body-like phantom defined in patient space, so that every plane shows the same
// body: soft tissue in a sphere of 14 mm around (0, -2, 0) with a dense core at (-4, -4, 2).
void addPhantom(fixtures::SeriesLayout& layout)
{
    const std::array<double, 6> o = fixtures::orientationOf(layout);
    const QVector3D row{float(o[0]), float(o[1]), float(o[2])};
    const QVector3D col{float(o[3]), float(o[4]), float(o[5])};
    const QVector3D normal = QVector3D::crossProduct(row, col).normalized();
    const QVector3D origin(float(layout.origin[0]), float(layout.origin[1]), float(layout.origin[2]));
    const double sx = layout.columnSpacing, sy = layout.rowSpacing, sz = layout.sliceSpacing;
    const double intercept = layout.rescaleIntercept;
    layout.value = [=](int x, int y, int z) {
        const QVector3D p = origin + float(x * sx) * row + float(y * sy) * col + float(z * sz) * normal;
        double hu = -1000.0;
        if ((p - QVector3D(0, -2, 0)).length() < 14.0f)
            hu = 40.0 + 2.0 * p.x();
        if ((p - QVector3D(-4, -4, 2)).length() < 5.0f)
            hu = 600.0;
        return int(hu - intercept);
    };
}

} // namespace

class TestReferenceLines : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<db::Database> m_db;
    std::unique_ptr<dicom::CodecRegistrationScope> m_codecs;
    QString m_study;
    // Axial: 32 x 32 pixels of 1 mm from (-16, -16), slices z = -10, -8, ... 8.
    fixtures::SeriesLayout m_axial;
    // Sagittal: rows along y from -16, columns down from z = 12 (32 x 24), slices x = 10, 8, ... -12.
    fixtures::SeriesLayout m_sagittal;
    // Coronal: rows along x from -16, columns down from z = 12 (32 x 24), slices y = -10, -8, ... 12.
    fixtures::SeriesLayout m_coronal;
    fixtures::SeriesLayout m_axial2;     // a second axial stack
    fixtures::SeriesLayout m_noGeometry; // no position or orientation
    fixtures::SeriesLayout m_single;     // one sagittal slice at x = 0
    fixtures::SeriesLayout m_oblique;    // rows at 30 degrees to x, columns head to feet

    fixtures::SeriesLayout baseLayout()
    {
        fixtures::SeriesLayout layout;
        layout.studyUid = m_study;
        layout.rowSpacing = layout.columnSpacing = 1.0;
        layout.sliceSpacing = layout.sliceThickness = 2.0;
        return layout;
    }

    bool write(fixtures::SeriesLayout& layout, const QString& name)
    {
        addPhantom(layout);
        return fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(name), layout);
    }

    std::unique_ptr<ViewerWindow> openViewer()
    {
        auto w = std::make_unique<ViewerWindow>(m_db.get(), m_study, m_axial.seriesUid);
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        w->resize(1000, 600);
        w->show();
        return w;
    }

    // Shows a series in panel i and leaves panel `active` active.
    static void showIn(ViewerWindow& w, int i, const QString& seriesUid, int active)
    {
        w.setActiveViewport(i);
        w.showSeriesInActivePanel(seriesUid);
        w.setActiveViewport(active);
    }

    static QString status(ViewerWindow& w) { return w.statusBar()->currentMessage(); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_codecs = std::make_unique<dicom::CodecRegistrationScope>();
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
        m_study = fixtures::newUid();

        m_axial = baseLayout();
        m_axial.seriesDescription = QStringLiteral("Axial");
        m_axial.columns = m_axial.rows = 32;
        m_axial.slices = 10;
        m_axial.origin = {-16, -16, -10};
        QVERIFY(write(m_axial, QStringLiteral("axial")));

        m_sagittal = baseLayout();
        m_sagittal.seriesDescription = QStringLiteral("Sagittal");
        m_sagittal.seriesNumber = QStringLiteral("2");
        m_sagittal.plane = fixtures::Plane::Sagittal;
        m_sagittal.columns = 32;
        m_sagittal.rows = 24;
        m_sagittal.slices = 12;
        m_sagittal.origin = {10, -16, 12};
        QVERIFY(write(m_sagittal, QStringLiteral("sagittal")));

        m_coronal = m_sagittal;
        m_coronal.seriesUid.clear();
        m_coronal.seriesDescription = QStringLiteral("Coronal");
        m_coronal.seriesNumber = QStringLiteral("3");
        m_coronal.plane = fixtures::Plane::Coronal;
        m_coronal.origin = {-16, -10, 12};
        QVERIFY(write(m_coronal, QStringLiteral("coronal")));

        m_axial2 = m_axial;
        m_axial2.seriesUid.clear();
        m_axial2.seriesNumber = QStringLiteral("4");
        m_axial2.origin = {-16, -16, -9};
        QVERIFY(write(m_axial2, QStringLiteral("axial2")));

        m_noGeometry = m_axial;
        m_noGeometry.seriesUid.clear();
        m_noGeometry.seriesNumber = QStringLiteral("5");
        m_noGeometry.writeGeometry = false;
        m_noGeometry.slices = 3;
        QVERIFY(write(m_noGeometry, QStringLiteral("nogeometry")));

        m_single = m_sagittal;
        m_single.seriesUid.clear();
        m_single.seriesNumber = QStringLiteral("6");
        m_single.slices = 1;
        m_single.origin = {0, -16, 12};
        QVERIFY(write(m_single, QStringLiteral("single")));

        m_oblique = baseLayout();
        m_oblique.seriesNumber = QStringLiteral("7");
        m_oblique.plane = fixtures::Plane::Oblique;
        m_oblique.obliqueOrientation = {0.8660254, 0.5, 0, 0, 0, -1};
        m_oblique.columns = m_oblique.rows = 24;
        m_oblique.slices = 4;
        m_oblique.origin = {-4, -6, 12};
        QVERIFY(write(m_oblique, QStringLiteral("oblique")));
    }

    void cleanupTestCase()
    {
        m_db.reset();
        m_codecs.reset();
    }

    void axialAndSagittal()
    {
        auto w = openViewer();
        QCOMPARE(status(*w), kTooFew); // 1 x 1
        w->onGridLayoutChosen(1, 2);
        QCOMPARE(status(*w), kTooFew); // one of two panels loaded
        showIn(*w, 1, m_sagittal.seriesUid, 0);
        ImageViewportWidget* axial = w->panel(0);
        ImageViewportWidget* sagittal = w->panel(1);
        QCOMPARE(sagittal->sliceCount(), 12);
        QVERIFY(status(*w).isEmpty());

        // The active axial panel shows no line; the sagittal one shows the axial slice z = -10 as the
        // row v = 12 - (-10) = 22 across its width.
        QVERIFY(referenceLines(axial).isEmpty());
        QList<QGraphicsLineItem*> lines = referenceLines(sagittal);
        QCOMPARE(lines.size(), 1);
        QVERIFY(sameSegment(lines[0]->line(), QLineF(0, 22, 32, 22)));
        const QPen pen = lines[0]->pen();
        QCOMPARE(pen.color(), QColor(0, 220, 0));
        QCOMPARE(pen.style(), Qt::DashLine);
        QCOMPARE(pen.widthF(), 0.0);
        QVERIFY(pen.isCosmetic());
        QCOMPARE(pen.capStyle(), Qt::SquareCap);
        QCOMPARE(pen.joinStyle(), Qt::BevelJoin);

        // Browsing the axial stack moves the line: slice 7 lies at z = 4.
        axial->showSlice(7);
        lines = referenceLines(sagittal);
        QCOMPARE(lines.size(), 1);
        QVERIFY(sameSegment(lines[0]->line(), QLineF(0, 8, 32, 8)));

        // With the sagittal panel active, the axial panel shows the sagittal slice x = 10 as the
        // column u = 10 + 16 = 26, and the sagittal panel none.
        w->setActiveViewport(1);
        QVERIFY(referenceLines(sagittal).isEmpty());
        lines = referenceLines(axial);
        QCOMPARE(lines.size(), 1);
        QVERIFY(sameSegment(lines[0]->line(), QLineF(26, 0, 26, 32)));
        sagittal->showSlice(11); // x = -12, column 4
        QVERIFY(sameSegment(referenceLines(axial).value(0)->line(), QLineF(4, 0, 4, 32)));

        // Switching the lines off clears every panel and the message.
        w->onGridLayoutChosen(1, 3);
        showIn(*w, 2, m_coronal.seriesUid, 1);
        // The coronal panel shows the planes of both other cells.
        QCOMPARE(referenceLines(w->panel(2)).size(), 2);
        w->setReferenceLinesEnabled(false);
        for (int i = 0; i < ViewerWindow::PanelCount; ++i)
            QVERIFY(referenceLines(w->panel(i)).isEmpty());
        QVERIFY(status(*w).isEmpty());
        axial->showSlice(2);
        QVERIFY(referenceLines(sagittal).isEmpty());
        w->setReferenceLinesEnabled(true);
        QCOMPARE(referenceLines(axial).size(), 2);
        QCOMPARE(referenceLines(w->panel(2)).size(), 2);
    }

    void coronalAndObliqueLines()
    {
        auto w = openViewer();
        w->onGridLayoutChosen(1, 3);
        showIn(*w, 1, m_coronal.seriesUid, 0);
        showIn(*w, 2, m_oblique.seriesUid, 0);
        auto hasLine = [](const ImageViewportWidget* panel, const QLineF& expected) {
            for (QGraphicsLineItem* line : referenceLines(panel))
                if (sameSegment(line->line(), expected))
                    return true;
            return false;
        };
        // Axial slice z = -10 on the coronal image: row v = 22; the coronal panel also shows the
        // oblique plane.
        QCOMPARE(referenceLines(w->panel(1)).size(), 2);
        QVERIFY(hasLine(w->panel(1), QLineF(0, 22, 32, 22)));
        // And on the oblique image, whose rows run horizontally too: row v = 22 across 24 pixels. The
        // coronal plane y = -10 meets the oblique plane at x = -10.9, 8 pixels left of its image: no line.
        QCOMPARE(referenceLines(w->panel(2)).size(), 1);
        QVERIFY(hasLine(w->panel(2), QLineF(0, 22, 24, 22)));

        // The oblique plane through (-4, -6) at 30 degrees on the axial image: v = 10 + (u - 12) tan 30.
        w->setActiveViewport(2);
        w->panel(1)->showSlice(0);
        const double t = std::tan(M_PI / 6.0);
        QVERIFY(hasLine(w->panel(0), QLineF(0, 10 - 12 * t, 32, 10 + 20 * t)));
        // The axial panel also shows the coronal slice y = -10 as row v = 6.
        QCOMPARE(referenceLines(w->panel(0)).size(), 2);
        QVERIFY(hasLine(w->panel(0), QLineF(0, 6, 32, 6)));
    }

    void statusMessages()
    {
        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        // Two axial stacks: planes parallel.
        showIn(*w, 1, m_axial2.seriesUid, 0);
        QCOMPARE(status(*w), kParallel);
        QVERIFY(referenceLines(w->panel(1)).isEmpty());
        // The other panel has no coordinates: nobody counts as located.
        showIn(*w, 1, m_noGeometry.seriesUid, 0);
        QCOMPARE(status(*w), kNoCoordinates);
        // A sagittal stack clears the message.
        showIn(*w, 1, m_sagittal.seriesUid, 0);
        QVERIFY(status(*w).isEmpty());
        // Back to 1 x 1.
        w->onGridLayoutChosen(1, 1);
        QCOMPARE(status(*w), kTooFew);
        w->setReferenceLinesEnabled(false);
        QVERIFY(status(*w).isEmpty());
    }

    void reconstructionTakesNoPart()
    {
        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        showIn(*w, 1, m_sagittal.seriesUid, 0);
        QCOMPARE(referenceLines(w->panel(1)).size(), 1);
        // The sagittal panel shows its coronal reconstruction: no line on it, none from it.
        emit w->panel(0)->cursor3DClicked(QPointF(20, 10));
        QVERIFY(markerAt(w->panel(1)));
        w->panel(1)->enterReconstructionPlane(2);
        QCOMPARE(w->panel(1)->reconstructionPlane(), 2);
        // Entering the plane drops what was drawn for the file's slice at once.
        QVERIFY(referenceLines(w->panel(1)).isEmpty());
        QVERIFY(!markerAt(w->panel(1)));
        w->updateReferenceLines();
        QVERIFY(referenceLines(w->panel(1)).isEmpty());
        w->setActiveViewport(1);
        QVERIFY(referenceLines(w->panel(0)).isEmpty());
        w->panel(1)->showOriginalSlices();
        w->updateReferenceLines();
        QCOMPARE(referenceLines(w->panel(0)).size(), 1);
    }

    void cursor3D()
    {
        auto w = openViewer();
        w->onGridLayoutChosen(2, 2);
        showIn(*w, 1, m_sagittal.seriesUid, 0);
        showIn(*w, 3, m_single.seriesUid, 0);
        showIn(*w, 4, m_coronal.seriesUid, 0); // panel 4 = row 1, column 1
        w->onGridLayoutChosen(1, 2);
        ImageViewportWidget* axial = w->panel(0);
        ImageViewportWidget* sagittal = w->panel(1);
        ImageViewportWidget* outside = w->panel(4);
        ImageViewportWidget* single = w->panel(3);
        axial->showSlice(5); // z = 0
        const QString before = status(*w);

        // Pixel (20, 10) of the axial slice is the patient point (4, -6, 0).
        emit axial->cursor3DClicked(QPointF(20, 10));
        QCOMPARE(markerAt(axial), std::optional<QPointF>(QPointF(20, 10)));
        // Sagittal slices lie at x = 10 - 2k: x = 4 is slice 3; the point is at (y + 16, 12 - z).
        QCOMPARE(sagittal->currentSliceIndex(), 3);
        QCOMPARE(markerAt(sagittal), std::optional<QPointF>(QPointF(10, 12)));
        QCOMPARE(cursorMarker(sagittal)->rect(), QRectF(4, 6, 12, 12));
        const QPen pen = cursorMarker(sagittal)->pen();
        QCOMPARE(pen.color(), QColor(255, 60, 60));
        QCOMPARE(pen.style(), Qt::SolidLine);
        QVERIFY(pen.isCosmetic());
        QCOMPARE(cursorMarker(sagittal)->brush().style(), Qt::NoBrush);
        // Outside the grid the coronal panel follows: y = -10 + 2k = -6 is slice 2.
        QCOMPARE(outside->currentSliceIndex(), 2);
        QCOMPARE(markerAt(outside), std::optional<QPointF>(QPointF(20, 12)));
        // A single slice stays put and shows the point's projection.
        QCOMPARE(single->currentSliceIndex(), 0);
        QCOMPARE(markerAt(single), std::optional<QPointF>(QPointF(10, 12)));
        QCOMPARE(status(*w), before);

        // Dragging on: x = -7.9 lies nearest to slice 9 (x = -8).
        emit axial->cursor3DClicked(QPointF(8.1, 30));
        QCOMPARE(sagittal->currentSliceIndex(), 9);
        QCOMPARE(markerAt(sagittal), std::optional<QPointF>(QPointF(30, 12)));
        // The lines followed the moved panels.
        QList<QGraphicsLineItem*> lines = referenceLines(sagittal);
        QCOMPARE(lines.size(), 1);
        QVERIFY(sameSegment(lines[0]->line(), QLineF(0, 12, 32, 12)));

        // Release hides every marker.
        emit axial->cursor3DReleased();
        for (int i = 0; i < ViewerWindow::PanelCount; ++i)
            QVERIFY(!markerAt(w->panel(i)));

        // Synchronised scrolling does not drag the others along when the cursor moves a panel.
        for (QAction* action : w->toolBar()->actions())
            if (action->objectName() == QLatin1String("syncSlices"))
                action->setChecked(true);
        QVERIFY(w->syncSlices());
        emit axial->cursor3DClicked(QPointF(20, 10));
        QCOMPARE(axial->currentSliceIndex(), 5);
        QCOMPARE(sagittal->currentSliceIndex(), 3);
        QCOMPARE(outside->currentSliceIndex(), 2);
    }

    // The 3D-cursor tool itself: press, drag and release on the axial panel.
    void cursorByMouse()
    {
        using namespace paneltest;
        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        showIn(*w, 1, m_sagittal.seriesUid, 0);
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        ImageViewportWidget* axial = w->panel(0);
        ImageViewportWidget* sagittal = w->panel(1);
        axial->fitImageInView();
        axial->showSlice(5);
        axial->setMeasurementMode(6);
        auto near = [](std::optional<QPointF> p, QPointF q) {
            return p && std::hypot(p->x() - q.x(), p->y() - q.y()) < 0.2;
        };

        press(*axial, viewPos(*axial, {20, 10}));
        QCOMPARE(sagittal->currentSliceIndex(), 3);
        QVERIFY(near(markerAt(sagittal), {10, 12}));
        QVERIFY(near(markerAt(axial), {20, 10}));
        move(*axial, viewPos(*axial, {8.1, 30}));
        QCOMPARE(sagittal->currentSliceIndex(), 9);
        QVERIFY(near(markerAt(sagittal), {30, 12}));
        QVERIFY(near(markerAt(axial), {8.1, 30}));
        release(*axial, viewPos(*axial, {8.1, 30}));
        QVERIFY(!markerAt(axial));
        QVERIFY(!markerAt(sagittal));
        // The tool draws nothing of its own.
        QVERIFY(axial->measurements().isEmpty());
    }

    void cursorWithoutCoordinates()
    {
        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        showIn(*w, 1, m_sagittal.seriesUid, 0);
        emit w->panel(0)->cursor3DClicked(QPointF(20, 10));
        QVERIFY(markerAt(w->panel(1)));
        const int shown = w->panel(1)->currentSliceIndex();

        showIn(*w, 0, m_noGeometry.seriesUid, 0);
        emit w->panel(0)->cursor3DClicked(QPointF(2, 2));
        QCOMPARE(status(*w), kCursorNoCoordinates);
        QCOMPARE(w->panel(1)->currentSliceIndex(), shown);
        // The markers stay as they were.
        QVERIFY(markerAt(w->panel(1)));
        QCOMPARE(markerAt(w->panel(0)), std::optional<QPointF>(QPointF(20, 10)));
    }

    void cursorLeavesReconstructionAlone()
    {
        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        showIn(*w, 1, m_sagittal.seriesUid, 0);
        ImageViewportWidget* sagittal = w->panel(1);
        sagittal->enterReconstructionPlane(2);
        QCOMPARE(sagittal->reconstructionPlane(), 2);
        const int reconIndex = sagittal->reconstructedSliceIndex();
        const int fileIndex = sagittal->currentSliceIndex();
        emit w->panel(0)->cursor3DClicked(QPointF(20, 10));
        QCOMPARE(sagittal->reconstructionPlane(), 2);
        QCOMPARE(sagittal->reconstructedSliceIndex(), reconIndex);
        QCOMPARE(sagittal->currentSliceIndex(), fileIndex);
        QVERIFY(!markerAt(sagittal));
        // Picking in the reconstruction moves nobody either.
        w->panel(0)->showSlice(0);
        emit sagittal->cursor3DClicked(QPointF(5, 5));
        QCOMPARE(w->panel(0)->currentSliceIndex(), 0);
        QCOMPARE(markerAt(w->panel(0)), std::optional<QPointF>(QPointF(20, 10)));
    }

    void cursorAfterMerge()
    {
        // A sagittal stack that arrives without its first slice, which comes last.
        fixtures::SeriesLayout growing = m_sagittal;
        growing.seriesUid.clear();
        growing.seriesNumber = QStringLiteral("8");
        fixtures::completeUids(growing);
        QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("growing"))));
        const QStringList files = fixtures::writeSeries(m_dir.filePath(QStringLiteral("growing")), growing);
        QCOMPARE(files.size(), 12);
        QVERIFY(fixtures::indexFiles(*m_db, files.mid(1)));

        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        showIn(*w, 1, growing.seriesUid, 0);
        ImageViewportWidget* panel = w->panel(1);
        QCOMPARE(panel->sliceCount(), 11);

        QVERIFY(fixtures::indexFiles(*m_db, files.mid(0, 1)));
        // The caller hands the rows in the order they arrived: the late first slice at the end.
        QList<db::InstanceRecord> rows = m_db->instancesForSeries(growing.seriesUid);
        QCOMPARE(rows.size(), 12);
        std::rotate(rows.begin(), rows.begin() + 1, rows.end());
        w->refreshSeriesSlices(growing.seriesUid, rows);
        QCOMPARE(panel->sliceCount(), 12);

        // x = 4 is the stack's slice 3, which the panel now holds at index 3.
        w->panel(0)->showSlice(5);
        emit w->panel(0)->cursor3DClicked(QPointF(20, 10));
        QCOMPARE(panel->currentSliceIndex(), 3);
        QCOMPARE(panel->currentSlice()->imagePosition[0], 4.0);
        QCOMPARE(markerAt(panel), std::optional<QPointF>(QPointF(10, 12)));
    }
};

QTEST_MAIN(TestReferenceLines)
#include "tst_referencelines.moc"
