#include "mpr/CrossSectionPanel.h"
#include "mpr/MprViewportWidget.h"
#include "mpr/VesselAnalysisWindow.h"
#include "mpr/VesselProfileChartWidget.h"

#include "../render/VesselPhantoms.h"
#include "support/ModalAnswer.h"
#include "support/SmallFileSystem.h"
#include "support/TestFiles.h"

#include "clinical/StenosisGrading.h"

#include <QApplication>
#include <QGraphicsPixmapItem>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

namespace {

const phantom::Vec3 kCentre{12.0, -30.0, 45.0};

// A vessel along patient z, 6 mm wide at both ends and narrowed to 3 mm in the middle.
std::shared_ptr<render::FusionVolume> stenosedVessel()
{
    phantom::Box box;
    box.halfExtent = 20.0;
    box.spacing = {0.5, 0.5, 0.5};
    box.tilted = false;
    const auto axis = phantom::straightLine(phantom::add(kCentre, {0, 0, -19}), phantom::add(kCentre, {0, 0, 19}), 1);
    auto radius = [](double f) { return std::abs(f - 0.5) < 0.1 ? 1.5 : 3.0; };
    return std::make_shared<render::FusionVolume>(phantom::makeVolume(box, phantom::tube(axis, radius)));
}

QList<std::array<double, 3>> centreline()
{
    return {phantom::add(kCentre, {0, 0, -16}), phantom::add(kCentre, {0, 0, 0}), phantom::add(kCentre, {0, 0, 16})};
}

void clickChart(VesselProfileChartWidget* chart, double fraction)
{
    const auto area = chart->plotArea();
    const QPoint pos(int(area.rect.left() + fraction * area.rect.width()), int(area.rect.center().y()));
    QMouseEvent ev(QEvent::MouseButtonPress, pos, chart->mapToGlobal(pos), Qt::LeftButton, Qt::LeftButton,
                   Qt::NoModifier);
    QApplication::sendEvent(chart, &ev);
}

} // namespace

class TestVesselAnalysis : public QObject
{
    Q_OBJECT

private slots:
    void measuresStenosisAndShowsSections();
    void failuresAppearInRed_data();
    void failuresAppearInRed();
    void gradeFollowsTheShownPercent_data();
    void gradeFollowsTheShownPercent();
    void closingWhileComputingIsSafe();
    void reportFileNameAndExport();
    void panelStatisticsAndWindowDrag();
};

void TestVesselAnalysis::measuresStenosisAndShowsSections()
{
    auto volume = stenosedVessel();
    auto* w = new VesselAnalysisWindow(volume, centreline(), 300, 700, QStringLiteral("Сосудистый анализ"));
    QPointer<VesselAnalysisWindow> guard(w);
    QCOMPARE(w->windowTitle(), QStringLiteral("Профиль сосуда — Сосудистый анализ"));
    QVERIFY(w->isBusy());
    w->startComputation(); // ignored while busy
    QTRY_VERIFY_WITH_TIMEOUT(!w->isBusy(), 30000);
    const QString summary = w->summaryText();
    const auto& p = w->profile();
    QVERIFY(p.stenosisDiameterPercent > 40 && p.stenosisDiameterPercent < 60);
    QVERIFY(p.stenosisAreaPercent > 65 && p.stenosisAreaPercent < 85);
    for (const auto& [label, value] : {std::pair{QStringLiteral("диаметру"), p.stenosisDiameterPercent},
                                       std::pair{QStringLiteral("площади"), p.stenosisAreaPercent}})
        QVERIFY2(summary.contains(QStringLiteral("<b>Стеноз по %1:</b> %2% — %3<br>")
                                      .arg(label, QString::number(std::round(value), 'f', 0),
                                           clinical::stenosisGradeText(std::round(value)).toHtmlEscaped())),
                 qPrintable(summary));
    QVERIFY(summary.contains(QStringLiteral("<b>Кальцинаты:</b> не обнаружены")));
    QVERIFY(w->statusBar()->currentMessage().startsWith(QStringLiteral("Готово: ")));
    QVERIFY(p.minDiameterArcMm > 11.5 && p.minDiameterArcMm < 20.5); // inside the narrowed stretch

    // A click in the chart builds the 21 enlarged sections around that place.
    w->show();
    QCOMPARE(w->crossSectionPanel()->cells().size(), 0);
    clickChart(w->chart(), 0.5);
    const auto& cells = w->crossSectionPanel()->cells();
    QCOMPARE(cells.size(), 21);
    QCOMPARE(cells[0].label->text() + cells[10].label->text() + cells[20].label->text(),
             QStringLiteral("-10 мм0 мм+10 мм"));
    QVERIFY(!cells[10].view->pixmapItem()->pixmap().isNull());
    QCOMPARE(w->crossSectionPanel()->windowCenter(), 300.0);
    const double centre = w->crossSectionPanel()->centreMm();
    emit cells[13].view->doubleClicked(); // the picked section becomes the middle
    QCOMPARE(w->crossSectionPanel()->centreMm(), centre + 3.0);

    // A recomputation clears the sections and keeps the previous profile until the new one arrives.
    w->startComputation();
    QVERIFY(w->isBusy());
    QVERIFY(!w->profile().sections.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!w->isBusy(), 30000);
    QCOMPARE(cells[10].label->text(), QStringLiteral("—"));
    w->close();
    QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 30000);
}

void TestVesselAnalysis::failuresAppearInRed_data()
{
    QTest::addColumn<bool>("withVolume");
    QTest::addColumn<int>("pointCount");
    QTest::addColumn<QString>("message");
    QTest::newRow("no volume") << false << 3 << QStringLiteral("Объём недоступен");
    QTest::newRow("one point") << true << 1 << QStringLiteral("Нужно минимум 2 точки кривой");
    QTest::newRow("curve beside the vessel") << true << -1 << QStringLiteral("Не удалось определить просвет ни в одной");
}

void TestVesselAnalysis::failuresAppearInRed()
{
    QFETCH(bool, withVolume);
    QFETCH(int, pointCount);
    QFETCH(QString, message);
    auto volume = withVolume ? stenosedVessel() : nullptr;
    QList<std::array<double, 3>> curve = centreline();
    if (pointCount > 0)
        curve = curve.mid(0, pointCount);
    else
        for (auto& p : curve)
            p[0] += 12.0; // runs through tissue only
    VesselAnalysisWindow w(volume, curve, 300, 700, QStringLiteral("x"));
    QTRY_VERIFY_WITH_TIMEOUT(!w.isBusy(), 30000);
    QVERIFY2(w.summaryText().startsWith(QStringLiteral("<span style='color:#e05252'>") + message),
             qPrintable(w.summaryText()));
    QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral("Не удалось построить профиль"));
    QCOMPARE(w.chart()->profile().message, w.profile().message);
    clickChart(w.chart(), 0.5); // ignored in the empty state
    QCOMPARE(w.crossSectionPanel()->cells().size(), 0);
}

void TestVesselAnalysis::gradeFollowsTheShownPercent_data()
{
    QTest::addColumn<double>("percent");
    QTest::addColumn<int>("shown");
    QTest::newRow("69.6 shows 70") << 69.6 << 70;
    QTest::newRow("49.5 shows 50") << 49.5 << 50;
    QTest::newRow("89.4 shows 89") << 89.4 << 89;
}

void TestVesselAnalysis::gradeFollowsTheShownPercent()
{
    QFETCH(double, percent);
    QFETCH(int, shown);
    VesselAnalysisWindow w(nullptr, centreline(), 300, 700, QStringLiteral("x"));
    QTRY_VERIFY_WITH_TIMEOUT(!w.isBusy(), 30000);
    render::LumenProfile p;
    p.sections.append(render::LumenSample());
    p.referenceDiameterMm = 6.0;
    p.stenosisDiameterPercent = percent;
    p.stenosisAreaPercent = percent;
    w.applyProfile(p);
    const QString line = QStringLiteral("%1% — %2<br>").arg(shown).arg(clinical::stenosisGradeText(shown).toHtmlEscaped());
    QCOMPARE(w.summaryText().count(line), 2);
}

void TestVesselAnalysis::closingWhileComputingIsSafe()
{
    auto volume = stenosedVessel();
    // A centreline that winds round the vessel many times: a long measurement.
    QList<std::array<double, 3>> longCurve;
    for (int i = 0; i < 4000; ++i)
        longCurve.append(phantom::add(kCentre, {10 * std::cos(0.5 * i), 10 * std::sin(0.5 * i), 15 * std::sin(0.05 * i)}));
    // Closed while it measures, the window stops the measurement and waits for it; its threads are
    // never destroyed while they run. The worker's share of the volume goes too.
    auto* w = new VesselAnalysisWindow(volume, longCurve, 300, 700, QStringLiteral("x"));
    QVERIFY(w->isBusy());
    const auto stop = w->buildStopFlag();
    delete w;
    QVERIFY(*stop); // the measurement was told to end early
    // The stopped worker goes on the event loop's next turn, and with it its share.
    QTRY_COMPARE_WITH_TIMEOUT(volume.use_count(), 1L, 30000);
}

void TestVesselAnalysis::reportFileNameAndExport()
{
    const QDateTime when(QDate(2024, 1, 31), QTime(14, 25, 1));
    QCOMPARE(vesselReportFileName(QStringLiteral("Сосудистый анализ"), when),
             QStringLiteral("VesselProfile_Сосудистый_анализ_20240131_142501.png"));
    QCOMPARE(vesselReportFileName(QStringLiteral("Ёлка: ../ёж, a-b_c!"), when),
             QStringLiteral("VesselProfile__лка_ж_a-b_c__20240131_142501.png"));

    QTemporaryDir dir;
    VesselAnalysisWindow w(stenosedVessel(), centreline(), 300, 700, QStringLiteral("x"));
    QTRY_VERIFY_WITH_TIMEOUT(!w.isBusy(), 30000);
    const QString good = dir.filePath("report.png");
    QVERIFY(w.saveReportTo(good));
    QVERIFY(!QImage(good).isNull());
    // A name taken by a folder cannot be written: the failure is reported, nothing else changes.
    fixtures::ModalAnswer answer(QMessageBox::Ok);
    QVERIFY(!w.saveReportTo(dir.path()));
    // The warning names the file and why it could not be written.
    QCOMPARE(answer.texts().size(), 1);
    QVERIFY2(answer.texts().first().startsWith(QStringLiteral("Не удалось сохранить файл ")) &&
                 answer.texts().first().contains(QStringLiteral("Под этим именем лежит папка")),
             qPrintable(answer.texts().first()));

    // On a disk that fills up, no report is left empty or cut short under its name: a report saved
    // there before keeps its bytes, a new name gets nothing, and the warning says why.
    const QString stick = dir.filePath("stick");
    fixtures::SmallFileSystem disk(stick, 4 << 20);
    if (!disk.isMounted())
        QSKIP(qPrintable(disk.why()));
    const QString kept = QDir(stick).filePath("kept.png");
    QVERIFY(w.saveReportTo(kept));
    const QByteArray before = fixtures::readFile(kept);
    QVERIFY(disk.fillLeaving(4096));
    const qsizetype told = answer.texts().size();
    QVERIFY(!w.saveReportTo(kept));
    QVERIFY(!w.saveReportTo(QDir(stick).filePath("new.png")));
    QCOMPARE(answer.texts().size(), told + 2);
    for (const QString& text : answer.texts().mid(told))
        QVERIFY2(text.contains(QStringLiteral("Недостаточно места на диске")), qPrintable(text));
    QCOMPARE(fixtures::readFile(kept), before);
    QCOMPARE(QDir(stick).entryList(QDir::Files | QDir::Hidden), (QStringList{".ballast", "kept.png"}));
}

void TestVesselAnalysis::panelStatisticsAndWindowDrag()
{
    // Only the pixels inside the ellipse drawn in the rectangle count: here the two on its long axis.
    const QList<float> grid{1, 2, 3, 4, 5, 6}; // 3 x 2
    QCOMPARE(crossSectionEllipseStats(grid, 3, 2, QRectF(0, 0, 2.5, 1.9)),
             QStringLiteral("Mean: 5.5  StdDev: 0.5\nMin: 5  Max: 6"));
    QCOMPARE(crossSectionEllipseStats(grid, 3, 2, QRectF(10, 10, 4, 4)), QStringLiteral("HU недоступно"));
    QCOMPARE(crossSectionEllipseStats(grid, 0, 2, QRectF(0, 0, 1, 1)), QStringLiteral("HU недоступно"));
    QCOMPARE(crossSectionEllipseStats(grid, 3, 2, QRectF(-1e30, -1e30, 2e30, 2e30)).left(9), QStringLiteral("Mean: 3.5"));

    CrossSectionPanel panel;
    panel.resize(240, 500);
    panel.show();
    render::FusionVolume empty;
    auto volume = stenosedVessel();
    const auto mpr = render::CurvedMprRenderer::render(*volume, centreline(), 15, 1.0, 300, 700, 0, 0, 0,
                                                       render::CurvedMprSlabNone, 0, false);
    QVERIFY(!mpr.image.isNull());
    panel.rebuild(empty, mpr, 5, 20, 300, 700);
    QCOMPARE(panel.cells().size(), 0);
    panel.rebuild(*volume, mpr, 0.0, 20, 300, 700);
    QCOMPARE(panel.cells().size(), 21);
    // At the curve start every negative offset samples position 0: the same section.
    const QImage first = panel.cells()[0].view->pixmapItem()->pixmap().toImage();
    QCOMPARE(panel.cells()[9].view->pixmapItem()->pixmap().toImage(), first);
    QCOMPARE(panel.cells()[10].view->pixmapItem()->pixmap().toImage(), first);
    QCOMPARE(panel.cells()[9].label->text(), QStringLiteral("-1 мм"));
    // The column scrolls to the centre cell, and back to it after the user scrolled away.
    QTRY_VERIFY_WITH_TIMEOUT(panel.scrollArea()->verticalScrollBar()->value() > 0, 30000);
    panel.scrollArea()->verticalScrollBar()->setValue(0);
    panel.rebuild(*volume, mpr, 8.0, 20, 300, 700);
    QTRY_VERIFY_WITH_TIMEOUT(panel.scrollArea()->verticalScrollBar()->value() > 0, 30000);

    emit panel.cells()[3].view->windowLevelDragged(-50, -5000);
    QCOMPARE(panel.windowCenter(), 250.0);
    QCOMPARE(panel.windowWidth(), 1.0);

    // Tools: the stenosis banner hides when another tool is chosen.
    panel.setTool(15);
    emit panel.cells()[0].view->stenosisResultChanged(QStringLiteral("Стеноз 50%"));
    QVERIFY(panel.stenosisResultLabel()->isVisible());
    panel.setTool(7);
    QVERIFY(!panel.stenosisResultLabel()->isVisible());
    QCOMPARE(panel.cells()[20].view->measurementMode(), 7);

    QSignalSpy activated(&panel, &CrossSectionPanel::sliceActivated);
    emit panel.cells()[13].view->doubleClicked();
    QCOMPARE(activated.takeFirst().at(0).toDouble(), 3.0);

    panel.clear();
    QCOMPARE(panel.cells()[10].label->text(), QStringLiteral("—"));
    QVERIFY(panel.cells()[10].view->pixmapItem()->pixmap().isNull());
}

KALVENOR_TEST_MAIN_WITH_OWN_MOUNTS(TestVesselAnalysis)
#include "tst_vesselanalysis.moc"
