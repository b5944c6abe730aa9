// Agatston scoring: lesion weights at the density band edges, risk bands, lesion detection inside search
// regions, and the whole window on a CT series with known calcified blocks, including the PNG report.

#include "clinical/CalciumFormulas.h"
#include "clinical/CoronaryCalciumWindow.h"

#include "support/DicomFixtures.h"
#include "support/ModalAnswer.h"

#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

constexpr int Background = 1024; // stored value of 0 HU with the fixture's intercept of -1024

// Slice 1 and 2: a 4 × 4 block of 250 HU at x, y 5..8. Slice 3: a 3 × 3 block at x, y 20..22 of 150 HU
// with one pixel of 450 HU, and a 2-pixel speck of 500 HU at x 5..6, y 20 (too small to count).
int calciumValue(int x, int y, int z)
{
    if ((z == 1 || z == 2) && x >= 5 && x <= 8 && y >= 5 && y <= 8)
        return Background + 250;
    if (z == 3 && x >= 20 && x <= 22 && y >= 20 && y <= 22)
        return Background + ((x == 21 && y == 21) ? 450 : 150);
    if (z == 3 && (x == 5 || x == 6) && y == 20)
        return Background + 500;
    return Background;
}

QPushButton* buttonNamed(QWidget* w, const QString& text)
{
    for (auto* b : w->findChildren<QPushButton*>()) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

// Types the name into the dialog's own name field, as a user would.
void typeFileName(QFileDialog* fd, const QString& path)
{
    if (auto* edit = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        edit->setText(path);
    else
        fd->selectFile(path);
}

render::HuImage blockImage(int blockPixels, double hu)
{
    render::HuImage image;
    image.valid = true;
    image.width = 10;
    image.height = 10;
    image.pixels.assign(100, 0.0);
    for (int i = 0; i < blockPixels; ++i)
        image.pixels[size_t(3 * 10 + 3 + i)] = hu;
    return image;
}

// An ellipse (kind 13) spanned by two corners, or a rectangle polygon (kind 12), named by its artery.
ImageViewportWidget::MeasurementInfo searchRegion(const QString& artery, int kind, QRectF rect)
{
    ImageViewportWidget::MeasurementInfo region;
    region.kind = kind;
    region.name = artery;
    region.points = kind == 13 ? QList<QPointF>{rect.topLeft(), rect.bottomRight()}
                               : QList<QPointF>{rect.topLeft(), rect.topRight(), rect.bottomRight(), rect.bottomLeft()};
    return region;
}

} // namespace

using SearchRegions = QList<ImageViewportWidget::MeasurementInfo>;
Q_DECLARE_METATYPE(SearchRegions)

class TestCoronaryCalcium : public QObject
{
    Q_OBJECT

private slots:
    void lesionWeights_data();
    void lesionWeights();
    void categories_data();
    void categories();
    void printedTotals_data();
    void printedTotals();
    void sliceWarning_data();
    void sliceWarning();
    void lesionAreaLimit_data();
    void lesionAreaLimit();
    void lesionsScoredOnce_data();
    void lesionsScoredOnce();
    void fixtureSeriesScore_data();
    void fixtureSeriesScore();
    void emptySeriesAndNoRegions();
    void pngReportThroughSaveDialog();
};

void TestCoronaryCalcium::lesionWeights_data()
{
    QTest::addColumn<double>("area");
    QTest::addColumn<double>("peak");
    QTest::addColumn<double>("expected");
    QTest::newRow("129.9 HU") << 10.0 << 129.9 << 0.0;
    QTest::newRow("130 HU") << 10.0 << 130.0 << 10.0;
    QTest::newRow("199.9 HU") << 10.0 << 199.9 << 10.0;
    QTest::newRow("200 HU") << 10.0 << 200.0 << 20.0;
    QTest::newRow("300 HU") << 10.0 << 300.0 << 30.0;
    QTest::newRow("399 HU") << 10.0 << 399.0 << 30.0;
    QTest::newRow("400 HU") << 10.0 << 400.0 << 40.0;
    QTest::newRow("1200 HU") << 2.5 << 1200.0 << 10.0;
    QTest::newRow("zero area") << 0.0 << 500.0 << 0.0;
    QTest::newRow("negative area") << -3.0 << 500.0 << 0.0;
    QTest::newRow("NaN peak") << 10.0 << std::numeric_limits<double>::quiet_NaN() << 0.0;
}

void TestCoronaryCalcium::lesionWeights()
{
    QFETCH(double, area);
    QFETCH(double, peak);
    QFETCH(double, expected);
    QCOMPARE(clinical::agatstonLesionScore(area, peak), expected);
}

void TestCoronaryCalcium::categories_data()
{
    QTest::addColumn<double>("total");
    QTest::addColumn<QString>("text");
    const QString none = QStringLiteral("0 — кальциноза не выявлено, очень низкий риск");
    QTest::newRow("0") << 0.0 << none;
    QTest::newRow("negative") << -1.0 << none;
    QTest::newRow("0.1") << 0.1 << QStringLiteral("минимальный (1-10)");
    QTest::newRow("10") << 10.0 << QStringLiteral("минимальный (1-10)");
    QTest::newRow("10.5") << 10.5 << QStringLiteral("лёгкий (11-100)");
    QTest::newRow("100") << 100.0 << QStringLiteral("лёгкий (11-100)");
    QTest::newRow("100.01") << 100.01 << QStringLiteral("умеренный (101-400)");
    QTest::newRow("400") << 400.0 << QStringLiteral("умеренный (101-400)");
    QTest::newRow("400.1") << 400.1 << QStringLiteral("выраженный (>400)");
}

void TestCoronaryCalcium::categories()
{
    QFETCH(double, total);
    QFETCH(QString, text);
    QCOMPARE(clinical::calciumScoreCategory(total), text);
}

// The report grades the total it prints: one decimal, on either side of each band's edge.
void TestCoronaryCalcium::printedTotals_data()
{
    QTest::addColumn<double>("total");
    QTest::addColumn<QString>("printed");
    QTest::addColumn<QString>("category");
    QTest::newRow("10.0136") << 10.0136 << QStringLiteral("10.0") << QStringLiteral("минимальный (1-10)");
    QTest::newRow("10.06") << 10.06 << QStringLiteral("10.1") << QStringLiteral("лёгкий (11-100)");
    QTest::newRow("100.04") << 100.04 << QStringLiteral("100.0") << QStringLiteral("лёгкий (11-100)");
    QTest::newRow("100.06") << 100.06 << QStringLiteral("100.1") << QStringLiteral("умеренный (101-400)");
    QTest::newRow("400.04") << 400.04 << QStringLiteral("400.0") << QStringLiteral("умеренный (101-400)");
    QTest::newRow("400.06") << 400.06 << QStringLiteral("400.1") << QStringLiteral("выраженный (>400)");
}

void TestCoronaryCalcium::printedTotals()
{
    QFETCH(double, total);
    QFETCH(QString, printed);
    QFETCH(QString, category);
    const QString html = clinical::calciumTotalHtml(total);
    QVERIFY2(html.contains(QStringLiteral("(Agatston):</b> %1<br>").arg(printed)), qPrintable(html));
    QVERIFY2(html.contains(QStringLiteral("<b>Категория риска:</b> %1<br>").arg(category.toHtmlEscaped())),
             qPrintable(html));
}

// The method assumes contiguous slices about 3 mm thick: thickness off 3 mm by more than 0.5 mm, or a spacing
// more than 10 % below the thickness, is warned about with both numbers.
void TestCoronaryCalcium::sliceWarning_data()
{
    QTest::addColumn<double>("thickness");
    QTest::addColumn<double>("spacing");
    QTest::addColumn<QString>("named"); // thickness and spacing as the warning names them; empty: no warning
    QTest::newRow("3 mm contiguous") << 3.0 << 3.0 << QString();
    QTest::newRow("2.5 mm contiguous") << 2.5 << 2.5 << QString();
    QTest::newRow("3.5 mm contiguous") << 3.5 << 3.5 << QString();
    QTest::newRow("3 mm every 2.7 mm") << 3.0 << 2.7 << QString();
    QTest::newRow("3 mm with a gap") << 3.0 << 4.0 << QString();
    QTest::newRow("no thickness") << 0.0 << 1.0 << QString();
    QTest::newRow("1 mm contiguous") << 1.0 << 1.0 << QStringLiteral("толщина 1 мм, шаг 1 мм");
    QTest::newRow("0.625 mm") << 0.625 << 0.625 << QStringLiteral("толщина 0.625 мм, шаг 0.625 мм");
    QTest::newRow("3 mm every 1.5 mm") << 3.0 << 1.5 << QStringLiteral("толщина 3 мм, шаг 1.5 мм");
    QTest::newRow("3 mm every 2.6 mm") << 3.0 << 2.6 << QStringLiteral("толщина 3 мм, шаг 2.6 мм");
    QTest::newRow("5 mm contiguous") << 5.0 << 5.0 << QStringLiteral("толщина 5 мм, шаг 5 мм");
    QTest::newRow("1 mm, one slice") << 1.0 << 0.0 << QStringLiteral("толщина 1 мм, шаг не определён");
}

void TestCoronaryCalcium::sliceWarning()
{
    QFETCH(double, thickness);
    QFETCH(double, spacing);
    QFETCH(QString, named);
    const QString warning = clinical::agatstonSliceWarning(thickness, spacing);
    QCOMPARE(warning.isEmpty(), named.isEmpty());
    QVERIFY2(warning.contains(named), qPrintable(warning));
    QCOMPARE(warning.contains(QStringLiteral("около 3 мм")), !named.isEmpty());
}

void TestCoronaryCalcium::lesionAreaLimit_data()
{
    QTest::addColumn<double>("pixelArea");
    QTest::addColumn<int>("expectedLesions");
    // Four pixels: 4 × 0.25 = 1.0 mm² counts, 4 × 0.2475 = 0.99 mm² does not.
    QTest::newRow("exactly 1.0 mm²") << 0.25 << 1;
    QTest::newRow("0.99 mm²") << 0.2475 << 0;
}

void TestCoronaryCalcium::lesionAreaLimit()
{
    QFETCH(double, pixelArea);
    QFETCH(int, expectedLesions);
    const render::HuImage image = blockImage(4, 300.0);
    ImageViewportWidget::MeasurementInfo ellipse;
    ellipse.kind = 13;
    ellipse.name = QStringLiteral("LAD");
    ellipse.points = {QPointF(0, 0), QPointF(10, 10)};
    const auto lesions = findCalciumLesions(image, ellipse, pixelArea, 130.0);
    QCOMPARE(lesions.size(), expectedLesions);
    if (expectedLesions == 1) {
        QCOMPARE(lesions.first().pixels.size(), 4);
        QCOMPARE(lesions.first().peakHu, 300.0);
    }

    // The same calcification inside a polygon region gives the same lesion.
    ImageViewportWidget::MeasurementInfo polygon = ellipse;
    polygon.kind = 12;
    polygon.points = {QPointF(1, 1), QPointF(9, 1), QPointF(9, 6), QPointF(1, 6)};
    QCOMPARE(findCalciumLesions(image, polygon, pixelArea, 130.0).size(), expectedLesions);
}

void TestCoronaryCalcium::lesionsScoredOnce_data()
{
    QTest::addColumn<SearchRegions>("regions");
    QTest::addColumn<QString>("lesions");
    // One calcification of 4 pixels (x 3..6, y 3) at 1 mm² per pixel; listed as artery and area per lesion.
    const QRectF whole(0, 0, 10, 10), inner(1, 1, 8, 8), left(0, 0, 5, 6), right(5, 0, 5, 6);
    const QString lad = QStringLiteral("LAD"), lm = QStringLiteral("LM"), rca = QStringLiteral("RCA");
    QTest::newRow("one region") << SearchRegions{searchRegion(lad, 13, whole)} << QStringLiteral("LAD 4");
    QTest::newRow("same artery twice") << SearchRegions{searchRegion(lad, 13, whole), searchRegion(lad, 13, inner)}
                                       << QStringLiteral("LAD 4");
    QTest::newRow("two arteries") << SearchRegions{searchRegion(rca, 13, whole), searchRegion(lm, 13, inner)}
                                  << QStringLiteral("RCA 4");
    QTest::newRow("two arteries, other order")
        << SearchRegions{searchRegion(lm, 13, inner), searchRegion(rca, 13, whole)} << QStringLiteral("LM 4");
    QTest::newRow("halves of one artery") << SearchRegions{searchRegion(lad, 12, left), searchRegion(lad, 12, right)}
                                          << QStringLiteral("LAD 4");
    QTest::newRow("halves of two arteries")
        << SearchRegions{searchRegion(lad, 12, left), searchRegion(rca, 12, right)} << QStringLiteral("LAD 4");
    QTest::newRow("right half only") << SearchRegions{searchRegion(rca, 12, right)} << QStringLiteral("RCA 2");
}

void TestCoronaryCalcium::lesionsScoredOnce()
{
    QFETCH(SearchRegions, regions);
    QFETCH(QString, lesions);
    QStringList found;
    for (const ArteryCalciumLesion& l : findSliceCalciumLesions(blockImage(4, 300.0), regions, 1.0, 130.0))
        found.append(QStringLiteral("%1 %2").arg(l.artery).arg(l.lesion.areaMm2));
    QCOMPARE(found.join(QStringLiteral(", ")), lesions);
}

void TestCoronaryCalcium::fixtureSeriesScore_data()
{
    QTest::addColumn<double>("spacingX");
    QTest::addColumn<double>("spacingY");
    QTest::addColumn<QString>("total");
    QTest::addColumn<QString>("category");
    // 0.25 mm² per pixel: LAD 16 px × 250 HU = 8, the RCA's block = 8 (the LM region drawn over it later
    // adds nothing), LCX 9 px peak 450 = 9.
    QTest::newRow("0.5 x 0.5 mm") << 0.5 << 0.5 << QStringLiteral("25.0") << QStringLiteral("лёгкий (11-100)");
    // Missing X spacing counts as 1 mm: 0.5 mm² per pixel doubles every lesion (the speck is now 1.0 mm²
    // but lies in the OTHER region: 2 px × 0.5 × 4 = 4 more).
    QTest::newRow("X spacing 0") << 0.0 << 0.5 << QStringLiteral("54.0") << QStringLiteral("лёгкий (11-100)");
    // Totals just above a band's edge, printed at it, get its category. 108 × the pixel area from 0.5 mm²
    // per pixel on, where the speck counts.
    QTest::newRow("100.04 printed 100.0") << 1.0 << 0.9263 << QStringLiteral("100.0") << QStringLiteral("лёгкий (11-100)");
    QTest::newRow("400.04 printed 400.0") << 2.0 << 1.852035 << QStringLiteral("400.0") << QStringLiteral("умеренный (101-400)");
}

void TestCoronaryCalcium::fixtureSeriesScore()
{
    QFETCH(double, spacingX);
    QFETCH(double, spacingY);
    QFETCH(QString, total);
    QFETCH(QString, category);

    QTemporaryDir dir;
    fixtures::SeriesLayout layout;
    layout.slices = 4;
    layout.value = calciumValue;
    const QStringList files = fixtures::writeSeries(dir.path(), layout);
    QCOMPARE(files.size(), 4);
    QList<db::InstanceRecord> slices;
    for (const QString& file : files) {
        db::InstanceRecord record;
        record.filePath = file;
        record.pixelSpacingX = spacingX;
        record.pixelSpacingY = spacingY;
        record.sliceThickness = 3.0; // contiguous 3 mm slices, as the method assumes
        record.sliceLocation = 3.0 * double(slices.size());
        slices.append(record);
    }

    QWidget parent;
    auto* window = new CoronaryCalciumWindow(slices, 99, QStringLiteral("Calcium CT"), &parent, 40.0, 400.0);
    QVERIFY(window->windowFlags() & Qt::Window);
    QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(window->windowTitle(), QStringLiteral("Индекс коронарного кальция (Agatston) — Calcium CT"));
    ImageViewportWidget* viewport = window->viewport();
    QCOMPARE(viewport->currentSliceIndex(), 3); // clamped to the last slice
    window->show();

    QComboBox* arteryCombo = nullptr;
    QComboBox* methodCombo = nullptr;
    for (auto* combo : window->findChildren<QComboBox*>()) {
        if (combo->itemText(0) == QStringLiteral("ЛКА (LM)"))
            arteryCombo = combo;
        else if (combo->itemText(0) == QStringLiteral("Эллипс"))
            methodCombo = combo;
    }
    QPushButton* draw = buttonNamed(window, QStringLiteral("Обводить очаги"));
    QVERIFY(arteryCombo && methodCombo && draw);
    QCOMPARE(arteryCombo->count(), 5);

    auto drawEllipse = [&](int slice, int artery, QPointF a, QPointF b) {
        viewport->showSlice(slice);
        draw->setChecked(false);
        arteryCombo->setCurrentIndex(artery);
        draw->setChecked(true);
        QCOMPARE(viewport->measurementMode(), 13);
        viewport->startMeasurement(a);
        viewport->finishMeasurement(b);
    };
    drawEllipse(1, 1, QPointF(0, 0), QPointF(14, 14));   // LAD
    drawEllipse(2, 3, QPointF(0, 0), QPointF(14, 14));   // RCA
    drawEllipse(2, 0, QPointF(2, 2), QPointF(12, 12));   // LM over the RCA's block: scored once, for the RCA
    drawEllipse(3, 2, QPointF(16, 16), QPointF(28, 28)); // LCX
    drawEllipse(3, 4, QPointF(0, 16), QPointF(12, 26));  // OTHER around the speck
    drawEllipse(0, 1, QPointF(0, 0), QPointF(14, 14));   // LAD on a slice without calcium
    // A second region drawn without applying the tool again has no name and is no search region.
    viewport->startMeasurement(QPointF(16, 0));
    viewport->finishMeasurement(QPointF(30, 14));
    draw->setChecked(false);
    QCOMPARE(viewport->measurementMode(), 0);

    buttonNamed(window, QStringLiteral("Пересчитать"))->click();
    QVERIFY(window->resultDialog());
    QVERIFY(window->resultDialog()->isVisible());
    const QString html = window->resultLabel()->text();
    const double pixelArea = (spacingX > 0.0 ? spacingX : 1.0) * (spacingY > 0.0 ? spacingY : 1.0);
    const bool speckCounts = 2.0 * pixelArea >= 1.0;
    QVERIFY2(html.contains(QStringLiteral("<b>Очагов найдено автоматически:</b> %1 (в 6 областях поиска)")
                               .arg(speckCounts ? 4 : 3)),
             qPrintable(html));
    QVERIFY2(html.contains(QStringLiteral("<b>Суммарный индекс коронарного кальция (Agatston):</b> %1<br>").arg(total)),
             qPrintable(html));
    QVERIFY2(html.contains(QStringLiteral("<b>Категория риска:</b> %1<br>").arg(category)), qPrintable(html));
    auto row = [](const QString& label, int count, double score) {
        return QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>").arg(label).arg(count).arg(score, 0, 'f', 1);
    };
    const double k = pixelArea / 0.25;
    QVERIFY(!html.contains(QStringLiteral("ЛКА (LM)")));
    QVERIFY(html.contains(row(QStringLiteral("ПНА (LAD)"), 1, 8.0 * k)));
    QVERIFY(html.contains(row(QStringLiteral("ОА (LCx)"), 1, 9.0 * k)));
    QVERIFY(html.contains(row(QStringLiteral("ПКА (RCA)"), 1, 8.0 * k)));
    QCOMPARE(html.contains(QStringLiteral("Другое")), speckCounts);
    // Rows follow the artery table order.
    QVERIFY(html.indexOf(QStringLiteral("ПНА (LAD)")) < html.indexOf(QStringLiteral("ОА (LCx)")));
    QVERIFY(html.contains(QStringLiteral("финальная оценка — за врачом.</span>")));
    QVERIFY(!html.contains(QStringLiteral("около 3 мм")));

    // The current slice (3) shows the LCX lesion outlined in the artery's colour.
    viewport->showSlice(3);
    QVERIFY(!viewport->contourOverlayItems().isEmpty());
    viewport->showSlice(0);
    QVERIFY(viewport->contourOverlayItems().isEmpty());

    // Clearing asks first; No keeps the regions, Yes removes them from every slice.
    {
        fixtures::ModalAnswer answer(QMessageBox::No);
        buttonNamed(window, QStringLiteral("Очистить все контуры"))->click();
        QCOMPARE(answer.texts(), QStringList{QStringLiteral("Удалить ВСЕ размеченные очаги на ВСЕХ срезах?")});
    }
    QCOMPARE(viewport->measurementsForSlice(2).size(), 2);
    {
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        buttonNamed(window, QStringLiteral("Очистить все контуры"))->click();
    }
    QVERIFY(viewport->measurementsForSlice(2).isEmpty());
    QVERIFY(viewport->measurementsForSlice(3).isEmpty());
}

void TestCoronaryCalcium::emptySeriesAndNoRegions()
{
    QWidget parent;
    auto* window = new CoronaryCalciumWindow({}, 5, QStringLiteral("Empty"), &parent, 0.0, 0.0);
    window->show();
    fixtures::ModalAnswer answer(QMessageBox::Ok);
    buttonNamed(window, QStringLiteral("Пересчитать"))->click();
    QCOMPARE(answer.titles(), QStringList{QStringLiteral("Индекс коронарного кальция")});
    QVERIFY(answer.texts().value(0).startsWith(QStringLiteral("Не размечено ни одной области поиска.")));
    QVERIFY(!window->resultDialog());
}

void TestCoronaryCalcium::pngReportThroughSaveDialog()
{
    QTemporaryDir dir;
    fixtures::SeriesLayout layout;
    layout.slices = 4;
    layout.value = calciumValue;
    const QStringList files = fixtures::writeSeries(dir.path(), layout);
    QList<db::InstanceRecord> slices;
    for (const QString& file : files) {
        db::InstanceRecord record;
        record.filePath = file;
        record.pixelSpacingX = 0.5;
        record.pixelSpacingY = 0.5;
        record.sliceThickness = 1.0; // a thin reconstruction: the report warns, picture included
        record.sliceLocation = -1.0 * double(slices.size());
        slices.append(record);
    }
    QWidget parent;
    auto* window = new CoronaryCalciumWindow(slices, 1, QStringLiteral("КТ сердца: 1/2"), &parent, 40.0, 400.0);
    window->show();
    ImageViewportWidget* viewport = window->viewport();
    buttonNamed(window, QStringLiteral("Обводить очаги"))->setChecked(true);
    viewport->startMeasurement(QPointF(0, 0));
    viewport->finishMeasurement(QPointF(14, 14));

    // A region on a slice whose file is gone is skipped but still counted.
    QVERIFY(QFile::remove(files.at(2)));
    viewport->showSlice(2);
    buttonNamed(window, QStringLiteral("Обводить очаги"))->setChecked(false);
    buttonNamed(window, QStringLiteral("Обводить очаги"))->setChecked(true);
    viewport->startMeasurement(QPointF(0, 0));
    viewport->finishMeasurement(QPointF(14, 14));

    buttonNamed(window, QStringLiteral("Пересчитать"))->click();
    QVERIFY(window->resultLabel());
    QVERIFY(window->resultLabel()->text().contains(QStringLiteral("1 (в 2 областях поиска)")));
    QVERIFY2(window->resultLabel()->text().contains(QStringLiteral("толщина 1 мм, шаг 1 мм")),
             qPrintable(window->resultLabel()->text()));
    QPushButton* exportButton = buttonNamed(window->resultDialog(), QStringLiteral("Экспорт (PNG)"));
    QVERIFY(exportButton);

    const QString target = dir.filePath(QStringLiteral("report.png"));
    QString defaultName;
    QString caption;
    {
        fixtures::ModalAnswer answer;
        answer.setDialogHandler([&](QDialog* d) {
            auto* fd = qobject_cast<QFileDialog*>(d);
            if (!fd)
                return true;
            caption = fd->windowTitle();
            defaultName = QFileInfo(fd->selectedFiles().value(0)).fileName();
            typeFileName(fd, target);
            static_cast<QDialog*>(fd)->accept();
            return false;
        });
        exportButton->click();
    }
    QCOMPARE(caption, QStringLiteral("Экспорт индекса коронарного кальция"));
    QVERIFY2(QRegularExpression(QStringLiteral("^CoronaryCalcium_КТ_сердца_1_2_\\d{8}_\\d{6}\\.png$"))
                 .match(defaultName)
                 .hasMatch(),
             qPrintable(defaultName));
    QImage saved(target);
    QVERIFY(!saved.isNull());
    QCOMPARE(saved.size(), window->resultLabel()->grab().size());

    // An unwritable target gives the warning box.
    const QString badTarget = dir.filePath(QStringLiteral("missing/dir/report.png"));
    fixtures::ModalAnswer answer;
    answer.setDialogHandler([&](QDialog* d) {
        if (auto* fd = qobject_cast<QFileDialog*>(d)) {
            typeFileName(fd, badTarget);
            static_cast<QDialog*>(fd)->accept();
        }
        return false;
    });
    exportButton->click();
    QCOMPARE(answer.titles(), QStringList{QStringLiteral("Экспорт")});
    // The warning names the file and why it could not be written.
    QCOMPARE(answer.texts().size(), 1);
    QVERIFY2(answer.texts().first().startsWith(QStringLiteral("Не удалось сохранить файл ")) &&
                 answer.texts().first().contains(QStringLiteral("Папка не найдена")),
             qPrintable(answer.texts().first()));
}

QTEST_MAIN(TestCoronaryCalcium)
#include "tst_coronarycalcium.moc"
