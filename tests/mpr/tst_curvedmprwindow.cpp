#include "mpr/CrossSectionPanel.h"
#include "mpr/CurveEditorWidget.h"
#include "mpr/CurvedMprWindow.h"
#include "mpr/MprViewportWidget.h"
#include "mpr/VesselAnalysisWindow.h"

#include "../render/VesselPhantoms.h"
#include "support/ModalAnswer.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QGraphicsLineItem>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <sys/resource.h>

#include <csignal>

namespace {

const phantom::Vec3 kCentre{12.0, -30.0, 45.0};

std::shared_ptr<render::FusionVolume> vessel()
{
    phantom::Box box;
    box.halfExtent = 20.0;
    box.spacing = {0.5, 0.5, 1.0};
    box.tilted = false;
    const auto axis = phantom::straightLine(phantom::add(kCentre, {-4, 0, -19}), phantom::add(kCentre, {4, 0, 19}), 1);
    return std::make_shared<render::FusionVolume>(
        phantom::makeVolume(box, phantom::tube(axis, [](double) { return 3.0; })));
}

// Drawn from the lower slice upwards: the window turns it round so that it starts high.
QList<std::array<double, 3>> upwardCurve()
{
    return {phantom::add(kCentre, {-3, 0, -15}), phantom::add(kCentre, {0, 0, 0}), phantom::add(kCentre, {3, 0, 15})};
}

QStringList menuTexts(QMenu* menu)
{
    QStringList out;
    for (QAction* a : menu->actions())
        if (!a->isSeparator())
            out << a->text();
    return out;
}

QMenu* windowMenu(QWidget& w)
{
    for (QToolButton* b : w.findChildren<QToolButton*>())
        if (b->text() == QStringLiteral("Окно/уровень"))
            return b->menu();
    return nullptr;
}

} // namespace

class TestCurvedMprWindow : public QObject
{
    Q_OBJECT

private slots:
    void opensReversedAndRendersVertically();
    void presentationModes();
    void ellipseStatistics();
    void positionAndSections();
    void parametersAndWindow();
    void stateRoundTrip();
    void badStateFiles_data();
    void badStateFiles();
    void emptyVolumeOpensQuietly();
    void firstRenderFailureIsExplained_data();
    void firstRenderFailureIsExplained();
};

void TestCurvedMprWindow::opensReversedAndRendersVertically()
{
    auto volume = vessel();
    CurvedMprWindow w(volume, upwardCurve(), 300, 700, nullptr, CurvedMprWindow::VesselAnalysis, std::nullopt);
    const auto pts = w.axialEditor()->points();
    QCOMPARE(pts.first()[2], kCentre[2] + 15);
    QCOMPARE(w.frontEditor()->points(), pts);
    QVERIFY(w.verticalLayout()); // the curve crosses slices
    QVERIFY(!w.result().image.isNull());
    QVERIFY(w.windowTitle().startsWith(QStringLiteral("Сосудистый анализ (тестовая версия) — длина кривой 30.")));
    QCOMPARE(w.crossSectionPanel()->cells().size(), 21);
    QVERIFY(!w.resultPane()->centerlineHorizontal());

    // An edit in the front pane mirrors into the others and renders; undo is reachable from the toolbar.
    auto moved = pts;
    moved[1][0] += 2.0;
    w.frontEditor()->setPoints(moved);
    w.frontEditor()->pushUndoSnapshot();
    emit w.frontEditor()->pointsChangedFinal();
    QCOMPARE(w.axialEditor()->points(), moved);
    QAction* undo = nullptr;
    for (QAction* a : w.findChildren<QAction*>())
        if (a->text() == QStringLiteral("Отменить"))
            undo = a;
    QVERIFY(undo && !undo->isEnabled()); // only the axial editor's history drives it

    // Opening the profile twice gives two windows that keep the volume alive on their own.
    w.openVesselProfile();
    w.openVesselProfile();
    const auto profiles = w.findChildren<VesselAnalysisWindow*>();
    QCOMPARE(profiles.size(), 2);
    for (auto* p : profiles)
        QTRY_VERIFY_WITH_TIMEOUT(!p->isBusy(), 30000);
}

void TestCurvedMprWindow::presentationModes()
{
    auto volume = vessel();
    CurvedMprWindow pano(volume, upwardCurve(), 40, 400, nullptr, CurvedMprWindow::Panoramic, std::nullopt);
    QCOMPARE(pano.thicknessMm(), 25.0);
    QCOMPARE(pano.slabMode(), 1);
    QCOMPARE(pano.orientationChoice(), 1);
    QVERIFY(!pano.verticalLayout());
    QVERIFY(!pano.crossSectionPanel());
    QVERIFY(!menuTexts(windowMenu(pano)).contains(QStringLiteral("Сосуды (по трассе)")));

    CurvedMprWindow traced(volume, upwardCurve(), 40, 400, nullptr, CurvedMprWindow::VesselAnalysis,
                           render::WindowLevel{250, 600});
    QMenu* wl = windowMenu(traced);
    QCOMPARE(menuTexts(wl), (QStringList{"Мягкие ткани", "Сосуды (контраст)", "Кости", "Лёгкие",
                                         "Как при разметке (исходное)", "Сосуды (по трассе)", "Свои значения…"}));
    wl->actions()[2]->trigger(); // bones
    QCOMPARE(traced.windowCenter(), 500.0);
    wl->actions()[6]->trigger(); // by the trace
    QCOMPARE(traced.windowCenter(), 250.0);
    QCOMPARE(traced.axialEditor()->windowWidth(), 600.0);
    wl->actions()[5]->trigger(); // as drawn
    QCOMPARE(traced.windowWidth(), 400.0);
}

void TestCurvedMprWindow::ellipseStatistics()
{
    const QList<float> grid{0, 10, 20, 30, 40, 50, 60, 70, 80}; // 3 x 3
    QCOMPARE(curvedMprEllipseStats(grid, 3, 3, QRectF(0, 0, 2, 2)),
             QStringLiteral("Mean 40.0  Min 10  Max 70  SD 20.0  (n=5)"));
    QCOMPARE(curvedMprEllipseStats(grid, 3, 3, QRectF(20, 20, 4, 4)), QStringLiteral("ROI пуст"));
    QCOMPARE(curvedMprEllipseStats(grid, 3, 3, QRectF(1, 1, 0, 3)), QStringLiteral("ROI пуст"));
    QCOMPARE(curvedMprEllipseStats(grid, 3, 2, QRectF(-1e300, -1e300, 2e300, 2e300)).left(4), QStringLiteral("Mean"));
}

void TestCurvedMprWindow::positionAndSections()
{
    auto volume = vessel();
    CurvedMprWindow w(volume, upwardCurve(), 300, 700, nullptr, CurvedMprWindow::VesselAnalysis, std::nullopt);
    const auto& r = w.result();
    QVERIFY(r.vertical);
    emit w.resultPane()->positionClicked(0.5, 0.5);
    const int index = int(r.gridHeight * 0.5);
    QCOMPARE(w.positionMm(), index * r.stepMm);
    QCOMPARE(w.crossSectionPanel()->centreMm(), w.positionMm());
    QVERIFY(w.resultPane()->crosshairLineA()->isVisible());

    // Stepping through the sections never leaves the curve.
    emit w.crossSectionPanel()->sliceActivated(3.0);
    QCOMPARE(w.positionMm(), index * r.stepMm + 3.0);
    for (int n = 0; n < 10; ++n)
        emit w.crossSectionPanel()->sliceActivated(10.0);
    QCOMPARE(w.positionMm(), r.lengthMm);
    emit w.crossSectionPanel()->sliceActivated(-1e9);
    QCOMPARE(w.positionMm(), 0.0);
    // A click far outside the image is clamped to the curve's ends.
    emit w.resultPane()->positionClicked(-5.0, 40.0);
    QCOMPARE(w.positionMm(), (r.points.size() - 1) * r.stepMm);

    w.toggleMaximizedPane(w.sideEditor());
    QVERIFY(w.sideEditor()->isVisibleTo(&w) && !w.resultPane()->isVisibleTo(&w));
    QCOMPARE(w.maximizedPane(), w.sideEditor());
    w.toggleMaximizedPane(w.sideEditor());
    QVERIFY(!w.maximizedPane() && w.resultPane()->isVisibleTo(&w) && w.axialEditor()->isVisibleTo(&w));
}

void TestCurvedMprWindow::parametersAndWindow()
{
    auto volume = vessel();
    CurvedMprWindow w(volume, upwardCurve(), 300, 700, nullptr, CurvedMprWindow::CurvedMpr, std::nullopt);
    QSlider* thickness = nullptr;
    QSlider* smoothing = nullptr;
    QSlider* width = nullptr;
    for (QSlider* s : w.findChildren<QSlider*>()) {
        if (s->maximum() == 400)
            thickness = s;
        if (s->minimum() == -100)
            smoothing = s;
        if (s->minimum() == 20)
            width = s;
    }
    QVERIFY(thickness && smoothing && width);
    QComboBox* slab = nullptr;
    for (QComboBox* c : w.findChildren<QComboBox*>())
        if (c->itemText(0) == QStringLiteral("Максимум (MIP)"))
            slab = c;
    QVERIFY(slab);
    slab->setCurrentIndex(2);
    QCOMPARE(w.slabMode(), 3);
    thickness->setValue(1);
    QCOMPARE(w.thicknessMm(), 0.1);
    smoothing->setValue(-100);
    QCOMPARE(w.smoothing(), -1.0);
    const int oldWidth = w.result().gridWidth;
    width->setValue(40);
    QVERIFY(w.result().gridWidth < oldWidth); // vertical layout: the width runs across the image

    emit w.resultPane()->windowLevelDragged(10, -1e6);
    QCOMPARE(w.windowWidth(), 1.0);
    QCOMPARE(w.windowCenter(), 310.0);
    QCOMPARE(w.axialEditor()->windowWidth(), 700.0); // the editors keep their window
    w.setWindowLevel(-600, -5);
    QCOMPARE(w.windowWidth(), 1.0);
}

void TestCurvedMprWindow::stateRoundTrip()
{
    QTemporaryDir dir;
    auto volume = vessel();
    CurvedMprWindow a(volume, upwardCurve(), 300, 700, nullptr, CurvedMprWindow::CurvedMpr, std::nullopt);
    for (QSlider* s : a.findChildren<QSlider*>())
        if (s->maximum() == 359)
            s->setValue(30);
    a.setWindowLevel(55, 333);
    a.resultPane()->importMeasurements({{4, 0, {QPointF(2, 3), QPointF(20, 3)}, QPointF(1, 2)},
                                        {12, 0, {QPointF(1, 1), QPointF(5, 1), QPointF(5, 5)}, QPointF()}});
    const QString path = dir.filePath("a.cprstate.json");
    QCOMPARE(a.saveStateTo(path), QString());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QJsonObject root = QJsonDocument::fromJson(f.readAll()).object();
    QCOMPARE(root.value("version").toInt(), 1);
    QCOMPARE(root.value("widthMm").toVariant().typeId(), QMetaType::LongLong); // whole numbers stay whole
    QCOMPARE(root.value("measurements").toArray().size(), 1);                  // polygons are not kept

    CurvedMprWindow b(volume, {phantom::add(kCentre, {0, 0, 5}), kCentre}, 40, 400, nullptr,
                      CurvedMprWindow::CurvedMpr, std::nullopt);
    QCOMPARE(b.loadStateFrom(path), QString());
    QCOMPARE(b.axialEditor()->points(), a.axialEditor()->points());
    QCOMPARE(b.sideEditor()->points(), a.axialEditor()->points());
    QCOMPARE(b.rotationDeg(), 30);
    QCOMPARE(b.windowCenter(), 55.0);
    QCOMPARE(b.resultPane()->exportMeasurements().size(), 1);
    QCOMPARE(b.resultPane()->exportMeasurements()[0].labelOffset, QPointF(1, 2));
    QCOMPARE(b.result().image.size(), a.result().image.size());

    // A write that fails on the way (here at the file-size limit) is reported, and the saved file stays.
    struct rlimit limit;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const struct rlimit tight{64, limit.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const QString failed = a.saveStateTo(path);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    QVERIFY2(failed.startsWith(QStringLiteral("Не удалось записать файл: %1").arg(path)), qPrintable(failed));
    QCOMPARE(b.loadStateFrom(path), QString());

    // Lenient reading: odd points skipped, defaults for missing keys; parameters as the sliders hold them.
    QFile g(dir.filePath("b.json"));
    QVERIFY(g.open(QIODevice::WriteOnly));
    g.write(R"({"controlPoints": [[1,2,3],[4,5],[6,7,8]], "rotationDeg": 12.5, "slabMode": 7, "widthMm": 500,
              "thicknessMm": 100, "offsetMm": -99.5, "smoothing": 0.123, "windowWidth": -4,
              "measurements": [{"points": [[1,1],[2,2]]}, 5]})");
    g.close();
    QCOMPARE(b.loadStateFrom(g.fileName()), QString());
    QCOMPARE(b.axialEditor()->points().size(), 2);
    QCOMPARE(b.rotationDeg(), 0);
    QCOMPARE(b.slabMode(), 7);
    QCOMPARE((QList<double>{b.widthMm(), b.thicknessMm(), b.offsetMm(), b.smoothing(), b.windowWidth()}),
             (QList<double>{300, 40, -30, 0.12, 1}));
    QCOMPARE(b.windowCenter(), 55.0);
    QCOMPARE(b.resultPane()->exportMeasurements().size(), 0);
    for (QSlider* s : b.findChildren<QSlider*>())
        if (s->minimum() == 20)
            QCOMPARE(s->value(), 300);
}

void TestCurvedMprWindow::badStateFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    QTest::newRow("truncated") << QByteArray(R"({"controlPoints": [[1,2,3],)")
                               << QStringLiteral("Файл повреждён или имеет неверный формат: ");
    QTest::newRow("root array") << QByteArray("[[1,2,3],[4,5,6]]")
                                << QStringLiteral("Файл повреждён или имеет неверный формат: ");
    QTest::newRow("binary") << QByteArray("\x00\xff\xfe garbage", 12)
                            << QStringLiteral("Файл повреждён или имеет неверный формат: ");
    QTest::newRow("one point") << QByteArray(R"({"controlPoints": [[1,2,3]]})")
                               << QStringLiteral("В файле меньше двух контрольных точек — загружать нечего.");
    QTest::newRow("points of wrong shape") << QByteArray(R"({"controlPoints": [[1,2],"x",[1,2,3]]})")
                                           << QStringLiteral("Не удалось прочитать корректные контрольные точки из файла.");
    QTest::newRow("missing file") << QByteArray() << QStringLiteral("Не удалось открыть файл: ");
}

void TestCurvedMprWindow::badStateFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString path = dir.filePath("s.cprstate.json");
    if (!content.isNull()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    auto volume = vessel();
    CurvedMprWindow w(volume, upwardCurve(), 300, 700, nullptr, CurvedMprWindow::CurvedMpr, std::nullopt);
    const auto points = w.axialEditor()->points();
    const QImage image = w.result().image;
    QVERIFY(w.loadStateFrom(path).startsWith(message));
    QCOMPARE(w.axialEditor()->points(), points); // nothing changed
    QCOMPARE(w.result().image, image);
    // Saving into a folder that does not exist reports the path.
    QCOMPARE(w.saveStateTo(dir.filePath("no/such.json")),
             QStringLiteral("Не удалось открыть файл для записи: %1").arg(dir.filePath("no/such.json")));
}

void TestCurvedMprWindow::emptyVolumeOpensQuietly()
{
    fixtures::ModalAnswer answer(QMessageBox::Ok);
    CurvedMprWindow w(nullptr, upwardCurve(), 300, 700, nullptr, CurvedMprWindow::VesselAnalysis, std::nullopt);
    w.rebuild(false);
    emit w.resultPane()->positionClicked(0.5, 0.5);
    emit w.crossSectionPanel()->sliceActivated(2.0);
    w.setWindowLevel(10, 10);
    QVERIFY(w.result().image.isNull());
    // A curve without length cannot be rendered: the final render warns, the old image stays.
    auto volume = vessel();
    CurvedMprWindow v(volume, upwardCurve(), 300, 700, nullptr, CurvedMprWindow::CurvedMpr, std::nullopt);
    const QImage before = v.result().image;
    v.axialEditor()->setPoints({kCentre, kCentre});
    v.rebuild(true); // preview: silent
    QCOMPARE(answer.count(), 0);
    v.rebuild(false);
    QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
    QCOMPARE(answer.texts().first(),
             QStringLiteral("Не удалось перестроить — проверьте, что точки не выходят за пределы серии."));
    QCOMPARE(v.result().image, before);
    // Saving with fewer than two points stops before any dialog.
    v.axialEditor()->setPoints({});
    v.saveState();
    QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 2, 30000);
    QCOMPARE(answer.texts().last(), QStringLiteral("Недостаточно контрольных точек — нечего сохранять."));
}

void TestCurvedMprWindow::firstRenderFailureIsExplained_data()
{
    QTest::addColumn<int>("points"); // all at the vessel's centre
    QTest::newRow("a curve without length") << 2;
    QTest::newRow("one point") << 1;
}

void TestCurvedMprWindow::firstRenderFailureIsExplained()
{
    QFETCH(int, points);
    fixtures::ModalAnswer answer(QMessageBox::Ok);
    CurvedMprWindow w(vessel(), QList<std::array<double, 3>>(points, kCentre), 300, 700, nullptr,
                      CurvedMprWindow::CurvedMpr, std::nullopt);
    w.show();
    QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
    QCOMPARE(answer.texts().first(),
             QStringLiteral("Не удалось перестроить — проверьте, что точки не выходят за пределы серии."));
    QVERIFY(w.result().image.isNull());
}

QTEST_MAIN(TestCurvedMprWindow)
#include "tst_curvedmprwindow.moc"
