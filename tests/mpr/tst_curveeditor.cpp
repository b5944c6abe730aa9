#include "mpr/CurveEditorWidget.h"
#include "mpr/CurveGraphicsView.h"
#include "mpr/CurveHandleItem.h"

#include "../render/VesselPhantoms.h"

#include <QApplication>
#include <QGraphicsScene>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QWheelEvent>

using Curve = CurveEditorWidget::Curve;

namespace {

render::FusionVolume cube(std::array<double, 3> spacing = {1.0, 1.0, 1.0}, bool tilted = false)
{
    phantom::Box box;
    box.halfExtent = 20.0;
    box.spacing = spacing;
    box.tilted = tilted;
    return phantom::makeVolume(box, [](const phantom::Vec3& p) { return float(p[0] + 2 * p[1]); });
}

std::array<double, 3> voxel(const render::FusionVolume& v, double i, double j, double k)
{
    std::array<double, 3> w{};
    render::voxelToWorld(v, i, j, k, &w[0], &w[1], &w[2]);
    return w;
}

QList<CurveHandleItem*> handlesOf(CurveEditorWidget& e)
{
    QList<CurveHandleItem*> out;
    for (QGraphicsItem* item : e.graphicsView()->scene()->items())
        if (auto* h = dynamic_cast<CurveHandleItem*>(item))
            out.append(h);
    std::sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->index < b->index; });
    return out;
}

void sendMouse(QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButton button,
               Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent ev(type, pos, target->mapToGlobal(pos), type == QEvent::MouseMove ? Qt::NoButton : button,
                   buttons, mods);
    QApplication::sendEvent(target, &ev);
}

QPoint viewPos(CurveEditorWidget& e, const QPointF& scenePos)
{
    return e.graphicsView()->mapFromScene(scenePos);
}

void expectNear(const std::array<double, 3>& a, const std::array<double, 3>& b, double tol = 1e-6)
{
    QVERIFY(std::abs(a[0] - b[0]) < tol && std::abs(a[1] - b[1]) < tol && std::abs(a[2] - b[2]) < tol);
}

} // namespace

class TestCurveEditor : public QObject
{
    Q_OBJECT

private slots:
    void projectionRoundTrip_data();
    void projectionRoundTrip();
    void frontPaneStretchesSlicingAxis();
    void ctrlClickInsertsAndDeletes();
    void historyIsBoundedAndRedoClearedByEdit();
    void dragMovesOnePointShiftDragMovesAll();
    void wheelAndMarkerNavigateSlices();
    void emptyVolumeIgnoresEverything();
};

void TestCurveEditor::projectionRoundTrip_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("sliceCount");
    QTest::newRow("axial") << 0 << 81;
    QTest::newRow("front") << 1 << 41;
    QTest::newRow("side") << 2 << 161;
}

void TestCurveEditor::projectionRoundTrip()
{
    QFETCH(int, orientation);
    QFETCH(int, sliceCount);
    // Unequal dimensions so that each orientation shows a different slice range.
    const auto v = cube({0.25, 1.0, 0.5}, true);
    CurveEditorWidget e;
    e.setOrientation(orientation);
    e.setVolume(&v, {voxel(v, 10, 5, 30), voxel(v, 100, 20, 60)});
    auto* slider = e.findChild<QSlider*>();
    QCOMPARE(slider->maximum(), sliceCount - 1);
    QCOMPARE(e.sliceIndex(), (sliceCount - 1) / 2);
    QCOMPARE(handlesOf(e).size(), 2);
    for (const auto& p : e.points()) {
        QPointF s;
        double depth = 0;
        QVERIFY(e.projectPoint(p, &s, &depth));
        expectNear(e.sceneToWorld(s, depth), p);
    }
    QPointF s;
    double depth = 0;
    QVERIFY(e.projectPoint(voxel(v, 10, 5, 30), &s, &depth));
    const QPointF expected = orientation == 0 ? QPointF(10, 5) : orientation == 1 ? QPointF(10, 80 - 30) : QPointF(5, 80 - 30);
    QVERIFY(std::abs(s.x() - expected.x()) < 1e-6 && std::abs(s.y() - expected.y()) < 1e-6);
    QCOMPARE(handlesOf(e).first()->pos(), s);
}

void TestCurveEditor::frontPaneStretchesSlicingAxis()
{
    const auto v = cube({0.5, 0.5, 2.0});
    CurveEditorWidget e;
    e.resize(500, 500);
    e.setVolume(&v, {});
    e.setOrientation(1);
    QCOMPARE(e.verticalStretch(), 4.0);
    e.fitView();
    const QTransform t = e.graphicsView()->transform();
    QVERIFY(std::abs(t.m22() / t.m11() - 4.0) < 1e-9);
    // The caption follows the orientation at the time the selector is hidden.
    CurveEditorWidget f;
    f.setPlaneSelectorVisible(false);
    f.setOrientation(1);
    QCOMPARE(f.findChildren<QLabel*>().at(0)->text(), QStringLiteral("Аксиальный"));
}

void TestCurveEditor::ctrlClickInsertsAndDeletes()
{
    const auto v = cube();
    CurveEditorWidget e;
    e.resize(420, 460);
    e.show();
    QVERIFY(QTest::qWaitForWindowExposed(&e));
    e.setVolume(&v, {voxel(v, 5, 5, 20), voxel(v, 30, 5, 20)});
    QSignalSpy finals(&e, &CurveEditorWidget::pointsChangedFinal);
    QWidget* vp = e.graphicsView()->viewport();

    // Two points: deleting is refused.
    sendMouse(vp, QEvent::MouseButtonPress, viewPos(e, {5, 5}), Qt::LeftButton, Qt::ControlModifier);
    QCoreApplication::processEvents();
    QCOMPARE(e.points().size(), 2);

    // Beyond the end of the segment but within 25 units: projected onto it, inserted in between.
    sendMouse(vp, QEvent::MouseButtonPress, viewPos(e, {36, 9}), Qt::LeftButton, Qt::ControlModifier);
    QCOMPARE(e.points().size(), 3);
    expectNear(e.points()[1], voxel(v, 36, 9, 20), 0.2);
    QCOMPARE(finals.count(), 1);

    // Far from every segment: appended at the last point's depth.
    sendMouse(vp, QEvent::MouseButtonPress, viewPos(e, {20, 38}), Qt::LeftButton, Qt::ControlModifier);
    QCOMPARE(e.points().size(), 4);
    expectNear(e.points()[3], voxel(v, 20, 38, 20), 0.2);

    // Ctrl-click on a handle removes its point after the press has been delivered.
    sendMouse(vp, QEvent::MouseButtonPress, viewPos(e, handlesOf(e)[1]->pos()), Qt::LeftButton, Qt::ControlModifier);
    QTRY_COMPARE_WITH_TIMEOUT(e.points().size(), 3, 30000);
    expectNear(e.points()[1], voxel(v, 30, 5, 20), 0.2);
    QCOMPARE(handlesOf(e).size(), 3);
}

void TestCurveEditor::historyIsBoundedAndRedoClearedByEdit()
{
    const auto v = cube();
    CurveEditorWidget e;
    e.setVolume(&v, {voxel(v, 1, 1, 1), voxel(v, 2, 2, 2)});
    QSignalSpy avail(&e, &CurveEditorWidget::undoRedoAvailabilityChanged);
    for (int n = 0; n < 51; ++n)
        e.setPoints({voxel(v, 1, 1, 1), voxel(v, 2, 2, 2), voxel(v, 3 + n % 30, 3, 3)}), e.pushUndoSnapshot();
    for (int n = 0; n < 60; ++n)
        e.undo();
    QCOMPARE(avail.last(), (QList<QVariant>{false, true}));
    // 50 undos restore the second snapshot: the first was dropped.
    QCOMPARE(e.points().size(), 3);
    expectNear(e.points()[2], voxel(v, 4, 3, 3));
    e.redo();
    QCOMPARE(avail.last(), (QList<QVariant>{true, true}));
    e.pushUndoSnapshot();
    QCOMPARE(avail.last(), (QList<QVariant>{true, false}));
    // setVolume starts afresh.
    e.setVolume(&v, e.points());
    QCOMPARE(avail.last(), (QList<QVariant>{false, false}));
}

void TestCurveEditor::dragMovesOnePointShiftDragMovesAll()
{
    const auto v = cube();
    CurveEditorWidget e;
    e.resize(420, 460);
    e.show();
    QVERIFY(QTest::qWaitForWindowExposed(&e));
    const Curve start{voxel(v, 5, 5, 10), voxel(v, 30, 5, 20), voxel(v, 30, 30, 30)};
    e.setVolume(&v, start);
    QSignalSpy drafts(&e, &CurveEditorWidget::pointsChangedDraft);
    QSignalSpy finals(&e, &CurveEditorWidget::pointsChangedFinal);
    QSignalSpy avail(&e, &CurveEditorWidget::undoRedoAvailabilityChanged);
    QWidget* vp = e.graphicsView()->viewport();

    // A click without movement still records an undo step and completes an edit.
    const QPoint h0 = viewPos(e, {5, 5});
    sendMouse(vp, QEvent::MouseButtonPress, h0, Qt::LeftButton);
    sendMouse(vp, QEvent::MouseButtonRelease, h0, Qt::LeftButton);
    QCOMPARE(finals.count(), 1);
    QCOMPARE(avail.last(), (QList<QVariant>{true, false}));
    QCOMPARE(e.points(), start);

    sendMouse(vp, QEvent::MouseButtonPress, h0, Qt::LeftButton);
    const QPoint target = viewPos(e, {12, 16});
    sendMouse(vp, QEvent::MouseMove, target, Qt::LeftButton);
    sendMouse(vp, QEvent::MouseButtonRelease, target, Qt::LeftButton);
    QVERIFY(drafts.count() >= 1);
    QCOMPARE(finals.count(), 2);
    // The point moves in the slice plane and keeps its own depth (k = 10).
    expectNear(e.points()[0], voxel(v, 12, 16, 10), 0.3);
    expectNear(e.points()[1], start[1]);

    // Shift-drag of the middle handle moves the whole curve by the same scene delta.
    const Curve before = e.points();
    QTest::keyPress(vp, Qt::Key_Shift, Qt::ShiftModifier);
    const QPoint h1 = viewPos(e, handlesOf(e)[1]->pos());
    sendMouse(vp, QEvent::MouseButtonPress, h1, Qt::LeftButton, Qt::ShiftModifier);
    sendMouse(vp, QEvent::MouseMove, h1 + QPoint(30, 0), Qt::LeftButton, Qt::ShiftModifier);
    sendMouse(vp, QEvent::MouseButtonRelease, h1 + QPoint(30, 0), Qt::LeftButton, Qt::ShiftModifier);
    QTest::keyRelease(vp, Qt::Key_Shift);
    const auto after = e.points();
    const double dx = after[0][0] - before[0][0];
    QVERIFY(dx > 1.0);
    for (int i = 0; i < 3; ++i)
        expectNear(after[i], {before[i][0] + dx, before[i][1], before[i][2]});
    e.undo();
    QCOMPARE(e.points(), before);
}

void TestCurveEditor::wheelAndMarkerNavigateSlices()
{
    const auto v = cube();
    CurveEditorWidget e;
    e.setVolume(&v, {});
    auto* slider = e.findChild<QSlider*>();
    const int middle = slider->value();
    QWidget* vp = e.graphicsView()->viewport();
    auto wheel = [&](QPoint delta, Qt::KeyboardModifiers mods) {
        QWheelEvent ev(QPointF(10, 10), QPointF(10, 10), QPoint(), delta, Qt::NoButton, mods, Qt::NoScrollPhase, false);
        QApplication::sendEvent(vp, &ev);
    };
    wheel({0, 120}, Qt::NoModifier);
    QCOMPARE(slider->value(), middle + 1);
    wheel({120, 0}, Qt::NoModifier); // horizontal turn: one slice back
    QCOMPARE(slider->value(), middle);
    const double before = e.graphicsView()->transform().m11();
    wheel({0, 0}, Qt::ControlModifier); // zooms out
    QVERIFY(e.graphicsView()->transform().m11() < before);
    QCOMPARE(e.findChildren<QLabel*>().last()->text(), QStringLiteral("%1 / 41").arg(middle + 1));

    e.showPositionMarker(voxel(v, 3, 4, 7.6));
    QCOMPARE(slider->value(), 8);
    QCOMPARE(e.sliceIndex(), 8);
    e.showPositionMarker(voxel(v, 3, 4, 1e12)); // far outside: clamped, no overflow
    QCOMPARE(slider->value(), 40);
    e.showPositionMarker({std::nan(""), 0, 0});
    QVERIFY(slider->value() >= 0 && slider->value() <= 40);
}

void TestCurveEditor::emptyVolumeIgnoresEverything()
{
    render::FusionVolume empty;
    CurveEditorWidget e;
    e.setVolume(&empty, {{0, 0, 0}, {1, 1, 1}});
    QCOMPARE(e.sliceIndex(), -1);
    e.insertPointAt({3, 3});
    e.removePointAt(0);
    e.showPositionMarker({0, 0, 0});
    e.dragWindowLevel(10, 10);
    e.setVolume(nullptr, {});
    e.setWindowLevel(40, 400);
    QCOMPARE(e.points().size(), 0);
    QVERIFY(handlesOf(e).isEmpty());
}

QTEST_MAIN(TestCurveEditor)
#include "tst_curveeditor.moc"
