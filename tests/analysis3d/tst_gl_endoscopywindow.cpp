// The virtual endoscopy window end to end on real DICOM files and the GPU view: volumes and path built
// on worker threads, the camera following the slider, flight and steps, the reference slice, a new
// seed from a slice click, and the failures a user meets.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"

#include "analysis3d/D3DVolumeRenderWidget.h"
#include "analysis3d/EndoscopyWindow.h"
#include "db/Database.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cmath>

namespace {

constexpr int kSize = 48;
constexpr int kSlices = 40;
constexpr int kCentre = 24;
constexpr int kBuildTimeout = 45000;

fixtures::SeriesLayout tubeLayout(fixtures::Plane plane)
{
    fixtures::SeriesLayout layout;
    layout.rows = layout.columns = kSize;
    layout.slices = kSlices;
    layout.rowSpacing = layout.columnSpacing = 1.0;
    layout.sliceSpacing = layout.sliceThickness = 1.0;
    layout.plane = plane;
    layout.seriesDescription = plane == fixtures::Plane::Axial ? QStringLiteral("Colon") : QStringLiteral("Colon sag");
    layout.value = [](int x, int y, int) {
        const int dx = x - kCentre, dy = y - kCentre;
        return dx * dx + dy * dy <= 36 ? 24 : 1064; // air tube in soft tissue
    };
    return layout;
}

} // namespace

class TestEndoscopyWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void flyThroughTube();
    void sliceClickScrollAndPlane();
    void bifurcation();
    void failures();
    void unevenStepsAreWarned();

private:
    EndoscopyWindow* open(const QList<db::InstanceRecord>& rows, const fixtures::SeriesLayout& layout, int seedSlice,
                          double dx = kCentre, double dy = kCentre);
    QTemporaryDir m_dir;
    db::Database m_db;
    fixtures::SeriesLayout m_axial;
    QList<db::InstanceRecord> m_rows;
};

void TestEndoscopyWindow::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
    m_axial = tubeLayout(fixtures::Plane::Axial);
    QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("axial")), m_axial));
    m_rows = m_db.instancesForSeries(m_axial.seriesUid);
}

EndoscopyWindow* TestEndoscopyWindow::open(const QList<db::InstanceRecord>& rows, const fixtures::SeriesLayout& layout,
                                           int seedSlice, double dx, double dy)
{
    const auto o = fixtures::slicePosition(layout, seedSlice);
    const auto d = fixtures::orientationOf(layout);
    const double seed[3] = {o[0] + dx * d[0] + dy * d[3], o[1] + dx * d[1] + dy * d[4], o[2] + dx * d[2] + dy * d[5]};
    auto* w = new EndoscopyWindow(rows, seed, 40.0, 400.0, layout.seriesDescription);
    w->resize(640, 420); // software GL draws every camera move: a small view keeps the test quick
    w->show();
    return w;
}

void TestEndoscopyWindow::flyThroughTube()
{
    QPointer<EndoscopyWindow> w = open(m_rows, m_axial, 10);
    QVERIFY(!w->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !w->isBuilding() && w->pathFrames().size() >= 2, kBuildTimeout);
    QVERIFY2(!w->warningLabel()->isVisible(), qPrintable(w->warningLabel()->text()));

    // The camera starts at the seed: frames are 1 mm apart along a tube that begins at slice 0.
    const int count = int(w->pathFrames().size());
    QVERIFY(count >= kSlices - 4);
    const int start = w->currentFrameIndex();
    QVERIFY2(std::abs(start - 10) <= 2, qPrintable(QString::number(start)));
    QCOMPARE(w->positionSlider()->value(), int(std::lround(1000.0 * start / (count - 1))));
    const EndoscopyCameraFrame& f = w->pathFrames()[start];
    QCOMPARE(w->view()->cameraPositionMm(), QVector3D(f.position[0], f.position[1], f.position[2]));

    // Slider ends show the end frames; steps clamp, flight wraps.
    w->positionSlider()->setValue(1000);
    QCOMPARE(w->currentFrameIndex(), count - 1);
    w->stepForwardButton()->click();
    QCOMPARE(w->positionSlider()->value(), 1000);
    w->positionSlider()->setValue(994);
    w->flyForwardButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(w->positionSlider()->value() < 100, 10000);
    w->flyBackwardButton()->click(); // takes over from the forward flight
    QVERIFY(!w->flyForwardButton()->isChecked());
    QCOMPARE(w->flyForwardButton()->text(), QStringLiteral("▶ Полёт"));
    QTRY_VERIFY_WITH_TIMEOUT(w->positionSlider()->value() > 900, 10000);
    w->stepBackButton()->click();
    QVERIFY(!w->flyTimer()->isActive());
    QCOMPARE(w->flyBackwardButton()->text(), QStringLiteral("◀◀ Назад"));

    // The reference slice follows the camera with its marker; the overview marks the flown part.
    w->positionSlider()->setValue(500);
    EndoscopyReferencePanel* panel = w->referencePanel();
    QVERIFY(panel->sliceMarkerShown());
    QVERIFY(std::abs(panel->cameraPixel().x() - kCentre) < 1.5 && std::abs(panel->cameraPixel().y() - kCentre) < 1.5);
    QCOMPARE(panel->travelledCount(), w->currentFrameIndex());
    QCOMPARE(panel->overviewImage().size(), QSize(320, 320));
    w->close();
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), 30000);
}

void TestEndoscopyWindow::sliceClickScrollAndPlane()
{
    QPointer<EndoscopyWindow> w = open(m_rows, m_axial, 20);
    QTRY_VERIFY_WITH_TIMEOUT(!w->isBuilding() && w->pathFrames().size() >= 2, kBuildTimeout);
    EndoscopyReferencePanel* panel = w->referencePanel();

    // A scroll changes only the slice image and hides the marker until the camera moves again.
    w->onSliceScroll(+1);
    QVERIFY(!panel->sliceMarkerShown());
    QVERIFY(w->manualSliceIndex() >= 0);
    w->stepBy(+1);
    QVERIFY(panel->sliceMarkerShown());
    QCOMPARE(w->manualSliceIndex(), -1);

    // Coronal plane: the image runs along x and z, the last slice on top.
    w->onPlaneChange(EndoscopyReferencePanel::Coronal);
    QCOMPARE(panel->slicePlane(), EndoscopyReferencePanel::Coronal);
    QCOMPARE(panel->sliceImage().size(), QSize(kSize, kSlices));
    QVERIFY(std::abs(panel->cameraPixel().x() - kCentre) < 1.5);

    // A click in the tube on the coronal slice starts a new path from there.
    const QPointF click(kCentre, kSlices - 1 - 30);
    w->onSliceClicked(click);
    QVERIFY(w->isBuilding() || !w->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !w->isBuilding(), kBuildTimeout);
    QVERIFY2(!w->warningLabel()->isVisible(), qPrintable(w->warningLabel()->text()));
    QVERIFY(std::abs(w->currentFrameIndex() - 30) <= 2);

    delete w;
}

void TestEndoscopyWindow::bifurcation()
{
    // A trunk that divides at slice 23 into a 40 % region on one side and a 35 % region on the other.
    fixtures::SeriesLayout layout = tubeLayout(fixtures::Plane::Axial);
    layout.rows = layout.columns = 96;
    layout.slices = 30;
    layout.value = [](int x, int y, int z) {
        auto in = [x, y](int x0, int x1, int y0, int y1) { return x >= x0 && x < x1 && y >= y0 && y < y1; };
        const bool air = z >= 2 && (z >= 23 ? (in(18, 28, 40, 56) || in(66, 76, 41, 55)) : in(38, 58, 38, 58));
        return air ? 24 : 1064;
    };
    QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("fork")), layout));
    QPointer<EndoscopyWindow> w = open(m_db.instancesForSeries(layout.seriesUid), layout, 12, 48, 48);
    QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !w->isBuilding() && w->pathFrames().size() >= 2, kBuildTimeout);
    QVERIFY(w->branchDetected());
    QVERIFY(!w->leftBronchusButton()->isHidden() && !w->rightBronchusButton()->isHidden());
    QVERIFY(w->warningLabel()->text().startsWith(QStringLiteral("⚠ Обнаружено ветвление просвета")));
    const int trunk = int(w->pathFrames().size());

    QList<float> ends;
    for (QPushButton* side : {w->leftBronchusButton(), w->rightBronchusButton()}) {
        side->click();
        QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !w->isBuilding(), kBuildTimeout);
        QVERIFY(w->pathFrames().size() > trunk);
        // The camera starts at the fork, the end of the trunk.
        QVERIFY2(std::abs(w->currentFrameIndex() - (trunk - 1)) <= 2, qPrintable(QString::number(w->currentFrameIndex())));
        QVERIFY(!side->isHidden());
        ends.append(w->pathFrames().last().position[0]);
    }
    // The two sides end on opposite sides of the trunk; the left one towards the patient's left (+x).
    QVERIFY2(ends[0] > 10 && ends[1] < -10, qPrintable(QStringLiteral("%1 %2").arg(ends[0]).arg(ends[1])));
    delete w;
}

void TestEndoscopyWindow::failures()
{
    // Unreadable files: the volume build fails and the window stays in that state.
    QTemporaryDir dir;
    QList<db::InstanceRecord> rows = m_rows.mid(0, 5);
    for (int i = 0; i < rows.size(); ++i) {
        const QString path = dir.filePath(QStringLiteral("bad%1.dcm").arg(i));
        fixtures::writeTruncatedCopy(rows[i].filePath, path, 150);
        rows[i].filePath = path;
    }
    QPointer<EndoscopyWindow> w = open(rows, m_axial, 2);
    QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !w->isBuilding(), kBuildTimeout);
    QVERIFY(w->warningLabel()->text().startsWith(QStringLiteral("⚠ Не удалось построить объём для пути: ")));
    QCOMPARE(w->statusBar()->currentMessage(), QStringLiteral("Построение не удалось"));
    QVERIFY(!w->positionSlider()->isEnabled());
    w->onSliceClicked(QPointF(5, 5)); // nothing to build on
    w->onSliceScroll(1);
    QVERIFY(!w->isBuilding());
    delete w;

    // A sagittal series is flown with a warning that the path is approximate.
    fixtures::SeriesLayout sag = tubeLayout(fixtures::Plane::Sagittal);
    QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("sag")), sag));
    w = open(m_db.instancesForSeries(sag.seriesUid), sag, 15);
    QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !w->isBuilding() && !w->warningLabel()->text().isEmpty(),
                             kBuildTimeout);
    QVERIFY2(w->warningLabel()->text().startsWith(QStringLiteral("⚠ Исходная серия НЕ аксиальная")),
             qPrintable(w->warningLabel()->text()));
    QVERIFY(w->pathFrames().size() >= 2);

    // Closing while the path is being rebuilt tells the build to end and leaves nothing running behind.
    w->rebuildPathAlongCurve({{0, 0, 0}, {1, 1, 1}}, 0);
    const auto stop = w->buildStopFlag();
    delete w;
    QVERIFY(*stop);
}

void TestEndoscopyWindow::unevenStepsAreWarned()
{
    // The tube with one slice left out: flown as usual, under the builder's warning about its steps.
    fixtures::SeriesLayout gap = tubeLayout(fixtures::Plane::Axial);
    gap.sliceOffset = [](int k) { return k < 20 ? k : k + 1.0; };
    QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("gap")), gap));
    QPointer<EndoscopyWindow> w = open(m_db.instancesForSeries(gap.seriesUid), gap, 10);
    QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !w->isBuilding() && w->pathFrames().size() >= 2, kBuildTimeout);
    QVERIFY(w->warningLabel()->isVisible());
    const QString text = w->warningLabel()->text();
    QVERIFY2(text.startsWith(QStringLiteral("⚠ ")) && text.contains(QStringLiteral("1.00"))
                 && text.contains(QStringLiteral("2.00")),
             qPrintable(text));
    delete w;
}

QTEST_MAIN(TestEndoscopyWindow)
#include "tst_gl_endoscopywindow.moc"
