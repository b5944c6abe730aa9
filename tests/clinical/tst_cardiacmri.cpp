// The cardiac MRI window on a real short-axis stack written to disk: slice geometry, phase marking,
// contours per role, the calculation end to end, the refusals, the report rows and the PNG export.

#include "clinical/CardiacMriReport.h"
#include "clinical/CardiacMriWindow.h"
#include "clinical/MeasurementReport.h"
#include "viewer/ImageViewportWidget.h"

#include "support/DicomFixtures.h"
#include "support/ModalAnswer.h"

#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QGraphicsView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

namespace {

QPushButton* button(QWidget* w, const QString& text)
{
    for (auto* b : w->findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
}

// Slices at the given positions, `phases` records each; files only when `files` holds enough paths.
render::CineStack makeStack(const QList<double>& positions, int phases, double thickness,
                            const QStringList& files = {})
{
    render::CineStack stack;
    int k = 0;
    for (double position : positions) {
        render::CineSlice slice;
        slice.sliceLocation = position;
        for (int p = 0; p < phases; ++p, ++k) {
            db::InstanceRecord r;
            r.filePath = files.value(k, QStringLiteral("/nonexistent/%1.dcm").arg(k));
            r.instanceNumber = 1000 - k; // against stack order: the window must keep its own order
            r.pixelSpacingX = r.pixelSpacingY = 1.0;
            r.sliceThickness = thickness;
            slice.frames.append(r);
        }
        stack.slices.append(slice);
    }
    return stack;
}

CardiacMriWindow* open(const render::CineStack& stack, const db::PatientBodyInfo& body, QWidget* parent,
                       QStringList* dialogTitles = nullptr)
{
    fixtures::ModalAnswer answer; // the patient-parameter dialog, cancelled
    auto* window = new CardiacMriWindow(stack, QStringLiteral("SAX"), body, parent);
    if (dialogTitles)
        *dialogTitles = answer.titles();
    return window;
}

void draw(ImageViewportWidget* view, int image, const QList<QPointF>& points)
{
    view->showSlice(image);
    for (const QPointF& p : points)
        view->addContourPoint(p);
    view->finishContour();
}

QList<QPointF> square(double x, double y, double side)
{
    return {QPointF(x, y), QPointF(x + side, y), QPointF(x + side, y + side), QPointF(x, y + side)};
}

} // namespace

class TestCardiacMri : public QObject
{
    Q_OBJECT

private slots:
    void sliceGeometry_data();
    void sliceGeometry();
    void bodyDataAndPatientDialog();
    void volumetryEndToEnd();
    void refusals();
    void playback();
    void panelOverlaysFit_data();
    void panelOverlaysFit();
    void reportRows();
    void reportWallThickness_data();
    void reportWallThickness();
    void reportCavity_data();
    void reportCavity();
    void reportLeftAtrium_data();
    void reportLeftAtrium();
    void reportConclusionGradesAsRows_data();
    void reportConclusionGradesAsRows();
    void reportFileName();
};

void TestCardiacMri::sliceGeometry_data()
{
    // Thickness 0 means none given and counts as 8 mm. The discs are one median spacing high; the gap shown
    // does not go below 0.
    QTest::addColumn<QList<double>>("positions");
    QTest::addColumn<double>("thickness");
    QTest::addColumn<double>("gap");
    QTest::addColumn<double>("discHeight");
    QTest::newRow("spacing 10, thickness 8") << QList<double>{0, 10, 20, 30} << 8.0 << 25.0 << 10.0;
    QTest::newRow("contiguous") << QList<double>{0, 8, 16} << 8.0 << 0.0 << 8.0;
    QTest::newRow("8 mm every 6 mm") << QList<double>{0, 6, 12} << 8.0 << 0.0 << 6.0;
    QTest::newRow("gaps 6, 6, 10, 10") << QList<double>{0, 6, 12, 22, 32} << 8.0 << 0.0 << 8.0;
    QTest::newRow("gaps 6, 10, thickness 5") << QList<double>{0, 6, 16} << 5.0 << 60.0 << 8.0;
    QTest::newRow("one slice") << QList<double>{5} << 10.0 << 25.0 << 12.5;
    QTest::newRow("no thickness") << QList<double>{0, 12} << 0.0 << 50.0 << 12.0;
}

void TestCardiacMri::sliceGeometry()
{
    QFETCH(QList<double>, positions);
    QFETCH(double, thickness);
    QFETCH(double, gap);
    QFETCH(double, discHeight);
    QWidget parent;
    CardiacMriWindow* w = open(makeStack(positions, 2, thickness), {}, &parent);
    QCOMPARE(w->sliceGapPercent(), gap);
    QCOMPARE(w->sliceThicknessMm(), thickness > 0 ? thickness : 8.0);
    QCOMPARE(w->discHeightMm(), discHeight);
    QCOMPARE(w->currentSlice(), int(positions.size()) / 2);
}

void TestCardiacMri::bodyDataAndPatientDialog()
{
    QWidget parent;
    QStringList titles;
    CardiacMriWindow* w =
        open(makeStack({0, 10}, 1, 8.0), {QStringLiteral(" ж "), 0.0, 55.0}, &parent, &titles);
    QCOMPARE(titles, QStringList{QStringLiteral("Кардио-МРТ — параметры пациента")});
    QCOMPARE(w->windowTitle(), QStringLiteral("Кардио-МРТ (SAX) — SAX"));
    QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose) && (w->windowFlags() & Qt::Window));
    QVERIFY(w->isFemale());
    QCOMPARE(QList<double>({w->heightCm(), w->weightKg()}), QList<double>({170.0, 55.0}));

    // OK stores the edited values; the note says what was missing from the study.
    QString note;
    {
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answer.setDialogHandler([&](QDialog* d) {
            note = d->findChildren<QLabel*>().value(0)->text();
            auto spins = d->findChildren<QDoubleSpinBox*>();
            spins.value(0)->setValue(182.5);
            spins.value(1)->setValue(90.0);
            d->findChild<QComboBox*>()->setCurrentIndex(0);
            return true;
        });
        w->editPatientParameters();
    }
    QCOMPARE(note, QStringLiteral("Часть данных не найдена в DICOM (отмечено ниже) — введите вручную."));
    QCOMPARE(QList<double>({w->heightCm(), w->weightKg()}), QList<double>({182.5, 90.0}));
    QVERIFY(!w->isFemale());

    // An empty stack: nothing shown, buttons do nothing, the calculation refuses.
    CardiacMriWindow* empty = open({}, {QStringLiteral("X"), 180.0, 80.0}, &parent);
    button(empty, QStringLiteral("Срез ▶"))->click();
    QCOMPARE(empty->currentSlice(), 0);
    fixtures::ModalAnswer box(QMessageBox::Ok);
    button(empty, QStringLiteral("Пересчитать"))->click();
    QCOMPARE(box.texts(), QStringList{QStringLiteral(
                              "Сначала отметьте ED/ES (Шаг 1) и обведите хотя бы часть контуров.")});
}

void TestCardiacMri::volumetryEndToEnd()
{
    QTemporaryDir dir;
    fixtures::SeriesLayout layout;
    layout.rows = layout.columns = 64;
    layout.slices = 9;
    layout.modality = QStringLiteral("MR");
    const QStringList files = fixtures::writeSeries(dir.path(), layout);
    // Three slices of three phases, 1 mm pixels, 8 mm thick but 6 mm apart: each disc is one spacing high,
    // 0.6 ml per cm².
    render::CineStack stack = makeStack({0, 6, 12}, 3, 8.0, files);
    QWidget parent;
    CardiacMriWindow* w = open(stack, {QStringLiteral("M"), 170.0, 70.0}, &parent);
    w->show();
    QCOMPARE(w->cineView()->slices().value(2).filePath, files.at(5)); // phases in stack order

    w->cineView()->showSlice(2);
    button(w, QStringLiteral("Отметить как ED (диастола)"))->click();
    button(w, QStringLiteral("Срез ▶"))->click();
    w->cineView()->showSlice(0);
    button(w, QStringLiteral("Отметить как ES (систола)"))->click();
    QCOMPARE(QList<int>({w->edPhase(), w->esPhase()}), QList<int>({2, 0}));
    for (int s = 0; s < 3; ++s) {
        QCOMPARE(w->edView()->slices().at(s).filePath, files.at(s * 3 + 2));
        QCOMPARE(w->esView()->slices().at(s).filePath, files.at(s * 3));
    }

    // Each contour takes its role only when the tool is applied again, as a user re-selecting the role.
    auto role = [&](const QString& name) {
        button(w, name)->setChecked(false);
        button(w, name)->setChecked(true);
    };
    role(QStringLiteral("Эндокард ЛЖ"));
    for (int s = 0; s < 3; ++s) {
        draw(w->edView(), s, square(2, 2, 30)); // 9 cm², then replaced by the later one below
        role(QStringLiteral("Эндокард ЛЖ"));
    }
    draw(w->edView(), 0, square(2, 2, 40)); // same role drawn last counts: 16 cm²
    draw(w->edView(), 1, square(2, 2, 50)); // no role applied again: unnamed, ignored
    for (int s = 0; s < 3; ++s) {
        w->esView()->showSlice(s);
        role(QStringLiteral("Эндокард ЛЖ"));
        draw(w->esView(), s, square(2, 2, 20)); // 4 cm²
    }
    // Epicardium as an ellipse on the first slice: π × 25 × 25 px² = 19.635 cm².
    button(w, QStringLiteral("Эпикард ЛЖ"))->setChecked(true);
    QVERIFY(!button(w, QStringLiteral("Эндокард ЛЖ"))->isChecked());
    w->findChildren<QComboBox*>().value(0)->setCurrentIndex(1);
    QCOMPARE(w->edView()->measurementMode(), 13);
    w->edView()->showSlice(0);
    w->edView()->startMeasurement(QPointF(0, 0));
    w->edView()->finishMeasurement(QPointF(50, 50));
    QVERIFY(std::abs(CardiacMriWindow::contourAreaCm2(w->edView(), 0, QStringLiteral("epi"), 0.0, 1.0) -
                     19.634954) < 1e-5);
    // Right ventricle on ED only: no RV rows at all.
    button(w, QStringLiteral("Эндокард ПЖ"))->setChecked(true);
    w->findChildren<QComboBox*>().value(0)->setCurrentIndex(0);
    draw(w->edView(), 2, square(0, 0, 30));
    button(w, QStringLiteral("Эндокард ПЖ"))->setChecked(false);
    QCOMPARE(w->edView()->measurementMode(), 0);

    button(w, QStringLiteral("Пересчитать"))->click();
    QVERIFY(w->resultDialog() && w->resultDialog()->isVisible());
    const QString html = w->resultLabel()->text();
    // EDV (16 + 9 + 9) × 0.6 = 20.4 ml, ESV 7.2 ml, SV 13.2 ml, EF 64.7 %; BSA 1.81 m².
    QVERIFY2(html.startsWith(
                 QStringLiteral("<b>Контуры ЛЖ размечены:</b> ED эндо 3/3, ED эпи 1/3, ES эндо 3/3<br><br>")),
             qPrintable(html));
    QVERIFY(html.contains(QStringLiteral("<b>КДО ЛЖ (EDV):</b> 20.4 мл (иКДО 11.3 мл/м²) — уменьшен<br>")));
    QVERIFY(html.contains(QStringLiteral("<b>ФВ ЛЖ (LVEF):</b> 64.7% — НОРМА (≥55%)<br><br>")));
    const double mass = (19.634954 - 16.0) * 1.05 * 0.6;
    QVERIFY(html.contains(QStringLiteral("<b>Масса ЛЖ:</b> %1 г").arg(mass, 0, 'f', 1)));
    QVERIFY(!html.contains(QStringLiteral("ПЖ (RV")));
    QVERIFY(html.contains(QStringLiteral("МРТ сердца. ФВ ЛЖ 65%, КДО ЛЖ 20 мл, КСО ЛЖ 7 мл, УО ЛЖ 13 мл. "
                                         "Систолическая функция ЛЖ сохранена. Полость ЛЖ уменьшена (КДО).")));
    QVERIFY(html.contains(
        QStringLiteral("BSA (DuBois): 1.81 м². Метод дисков (Simpson) по 3 срезам, толщина 8.0 мм, зазор 0%")));

    const QString target = dir.filePath(QStringLiteral("report.png"));
    QString caption, defaultName;
    {
        fixtures::ModalAnswer answer;
        answer.setDialogHandler([&](QDialog* d) {
            if (auto* fd = qobject_cast<QFileDialog*>(d)) {
                caption = fd->windowTitle();
                defaultName = fd->selectedFiles().value(0);
                fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(target);
                static_cast<QDialog*>(fd)->accept();
            }
            return false;
        });
        button(w->resultDialog(), QStringLiteral("Экспорт (PNG)"))->click();
    }
    QCOMPARE(caption, QStringLiteral("Экспорт отчёта кардио-МРТ"));
    QVERIFY2(defaultName.contains(QStringLiteral("CardiacMRI_SAX_")), qPrintable(defaultName));
    QCOMPARE(QImage(target).size(), w->resultLabel()->grab().size());

    // Marking a phase again reloads both views and discards their contours.
    button(w, QStringLiteral("Отметить как ED (диастола)"))->click();
    QVERIFY(w->edView()->measurementsForSlice(0).isEmpty() && w->esView()->measurementsForSlice(0).isEmpty());
}

void TestCardiacMri::refusals()
{
    QWidget parent;
    // The last slice has a single phase: ED at phase 3 takes its last (only) phase.
    render::CineStack stack = makeStack({0, 10}, 4, 8.0);
    stack.slices[1].frames = stack.slices[1].frames.mid(0, 1);
    CardiacMriWindow* w = open(stack, {}, &parent);
    w->cineView()->showSlice(0);
    button(w, QStringLiteral("Отметить как ED (диастола)"))->click();
    {
        fixtures::ModalAnswer box(QMessageBox::Ok);
        button(w, QStringLiteral("Пересчитать"))->click();
        QCOMPARE(box.texts(), QStringList{QStringLiteral(
                                  "Сначала отметьте ED/ES (Шаг 1) и обведите хотя бы часть контуров.")});
    }
    button(w, QStringLiteral("◀ Срез"))->click();
    w->cineView()->showSlice(3);
    button(w, QStringLiteral("Отметить как ES (систола)"))->click();
    QCOMPARE(w->esView()->slices().at(1).filePath, stack.slices[1].frames.at(0).filePath);

    button(w, QStringLiteral("Эндокард ЛЖ"))->setChecked(true);
    draw(w->esView(), 1, square(0, 0, 10));
    fixtures::ModalAnswer box(QMessageBox::Ok);
    button(w, QStringLiteral("Пересчитать"))->click();
    QCOMPARE(box.texts().value(0),
             QStringLiteral("Не найдено ни одного эндокардиального контура на ED. Обведите хотя "
                            "бы один срез и нажмите «Применить ко всем срезам» (в идеале — все 2)."));
    QVERIFY(!w->resultDialog());
}

void TestCardiacMri::playback()
{
    QWidget parent;
    CardiacMriWindow* w = open(makeStack({0, 10}, 3, 8.0), {}, &parent);
    QPushButton* play = button(w, QStringLiteral("▶ Играть"));
    auto* speed = w->findChild<QSpinBox*>();
    speed->setValue(60);
    QVERIFY(!w->playbackTimer().isActive());
    play->setChecked(true);
    QCOMPARE(play->text(), QStringLiteral("⏸ Пауза"));
    QCOMPARE(w->playbackTimer().interval(), 16);
    speed->setValue(12);
    QCOMPARE(w->playbackTimer().interval(), 83);
    QTRY_VERIFY_WITH_TIMEOUT(w->cineView()->currentSliceIndex() == 1, 10000);
    play->setChecked(false);
    QVERIFY(!w->playbackTimer().isActive());
}

// The window is built before it is shown and its panels are narrow on a small screen: over the cine panel
// the floating controls lie inside it and clear of each other, and no word of a corner text runs past its
// label.
void TestCardiacMri::panelOverlaysFit_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("title");
    const QString label = QStringLiteral("4 срезов × 3 фаз — серии №5.. (\"sa_cine_retro\")");
    QTest::newRow("1280 x 720") << QSize(1264, 672) << label;
    QTest::newRow("1366 x 768 at 125 %") << QSize(1100, 566) << label;
    QTest::newRow("a title without a break") << QSize(1264, 672) << QStringLiteral("sa_cine").repeated(12);
}

void TestCardiacMri::panelOverlaysFit()
{
    QFETCH(QSize, size);
    QFETCH(QString, title);
    QTemporaryDir dir;
    fixtures::SeriesLayout layout;
    layout.rows = layout.columns = 32;
    layout.slices = 12;
    const QStringList files = fixtures::writeSeries(dir.path(), layout);
    fixtures::ModalAnswer answer;
    QWidget parent;
    auto* w = new CardiacMriWindow(makeStack({0, 8, 16, 24}, 3, 8.0, files), title, {}, &parent);
    w->resize(size);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QGraphicsView* view = w->cineView()->graphicsView();
    QList<QWidget*> floating; // the step buttons lie inside the thickness box by design
    for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (child->isVisible() && child != view->viewport() && !qobject_cast<QToolButton*>(child))
            floating << child;
    QVERIFY(floating.size() >= 7); // check box, three controls, corner texts
    for (int i = 0; i < floating.size(); ++i) {
        QVERIFY(view->rect().contains(floating[i]->geometry()));
        for (int j = i + 1; j < floating.size(); ++j)
            QVERIFY(!floating[i]->geometry().intersects(floating[j]->geometry()));
        if (auto* text = qobject_cast<QLabel*>(floating[i]))
            for (const QString& word : text->text().split(QRegularExpression(QStringLiteral("\\s"))))
                QVERIFY2(text->fontMetrics().horizontalAdvance(word) <= text->width(), qPrintable(word));
    }
}

void TestCardiacMri::reportRows()
{
    clinical::CardiacReportInput in;
    in.sliceCount = 10;
    in.edEndoCount = in.esEndoCount = 5;
    in.lv.edvMl = 100.0;
    in.lv.esvMl = 45.04;
    in.lv.svMl = 54.96;
    in.lv.efPercent = 54.96;
    QString html = clinical::cardiacMriReportHtml(in);
    QVERIFY(html.contains(QStringLiteral("ED эндо 5/10, ED эпи 0/10, ES эндо 5/10")));
    // 54.96 % is printed 55.0 and 55 and graded as printed.
    QVERIFY(html.contains(QStringLiteral("<b>ФВ ЛЖ (LVEF):</b> 55.0% — НОРМА (≥55%)")));
    QVERIFY(html.contains(QStringLiteral("Масса ЛЖ не считается")));
    QVERIFY(!html.contains(QStringLiteral("RWT")) && !html.contains(QStringLiteral("Предсердия")));
    QVERIFY(html.contains(
        QStringLiteral("ФВ ЛЖ 55%, КДО ЛЖ 100 мл, КСО ЛЖ 45 мл, УО ЛЖ 55 мл. Систолическая функция "
                       "ЛЖ сохранена.")));
    // The normal ranges are cited by journal and year, without authors.
    QVERIFY(html.contains(QStringLiteral("J Cardiovasc Magn Reson, 2020")));
    QVERIFY(!html.contains(QStringLiteral("et al")));

    // M-mode without ESD: no ESD and no FS rows; extras with atrium, effusion with tamponade and a thrombus.
    in.extra.eddMm = 50.0;
    in.extra.ivsdMm = 10.0;
    in.extra.lvpwdMm = 13.0;
    in.extra.laVolumeMl = 170.0;
    in.extra.rvd1Mm = 41.0;
    in.extra.effusion = true;
    in.extra.effusionLocation = QStringLiteral("Циркулярный");
    in.extra.tamponade = true;
    in.extra.thrombusLa = true;
    in.extra.thrombusRv = true;
    in.bsa = 2.0;
    in.mmode = clinical::mmodeLvMetrics(50.0, 0.0, 10.0, 13.0, 2.0);
    html = clinical::cardiacMriReportHtml(in);
    QVERIFY(html.contains(
        QStringLiteral("КДР 50.0 мм — норма, МЖП-д 10.0 мм — норма<br>ЗС-д 13.0 мм — умеренная ГЛЖ<br>"
                       "Масса ЛЖ (Cube)")));
    QVERIFY(!html.contains(QStringLiteral("ФС (FS)")));
    QVERIFY(html.contains(QStringLiteral("ЛП: 170.0 мл (LAVI 85.0 мл/м²) — ДИЛАТАЦИЯ ЛП<br>")));
    QVERIFY(html.contains(QStringLiteral("(справочно, без оценки нормы)</span>:<br>RVD1 41.0 мм<br>")));
    QVERIFY(html.contains(
        QStringLiteral("локализация — Циркулярный — <span style='color:#c55'>ЕСТЬ признаки тампонады")));
    QVERIFY(html.contains(QStringLiteral("Внутриполостной тромб:</span></b> ЛП/ушко ЛП, ПЖ<br>")));
    QVERIFY(html.contains(
        QStringLiteral("Дилатация левого предсердия (LAVI 85 мл/м²). Перикардиальный выпот "
                       "(Циркулярный), с признаками тампонады. Внутриполостной тромб — см. раздел "
                       "выше.</div>")));
}

// The RWT line comes from the diastolic posterior wall and LV diameter, never from the volume ratio.
void TestCardiacMri::reportWallThickness_data()
{
    QTest::addColumn<int>("epiContours");
    QTest::addColumn<double>("wall");
    QTest::addColumn<double>("diameter");
    QTest::addColumn<QString>("rwt");
    QTest::addColumn<bool>("concentric");
    QTest::newRow("EDV 140 ml, 110 g, no linear sizes") << 5 << 0.0 << 0.0 << QString() << false;
    QTest::newRow("PWd 10, LVIDd 50") << 5 << 10.0 << 50.0 << QStringLiteral("0.40") << false;
    QTest::newRow("PWd 13, LVIDd 50") << 5 << 13.0 << 50.0 << QStringLiteral("0.52") << true;
    QTest::newRow("0.4202 printed 0.42") << 5 << 10.505 << 50.0 << QStringLiteral("0.42") << false;
    QTest::newRow("no epicardium, PWd 10, LVIDd 50") << 0 << 10.0 << 50.0 << QStringLiteral("0.40") << false;
}

void TestCardiacMri::reportWallThickness()
{
    QFETCH(int, epiContours);
    QFETCH(double, wall);
    QFETCH(double, diameter);
    QFETCH(QString, rwt);
    QFETCH(bool, concentric);
    clinical::CardiacReportInput in;
    in.sliceCount = 10;
    in.edEndoCount = in.esEndoCount = 10;
    in.edEpiCount = epiContours;
    in.bsa = 1.9;
    in.lv.edvMl = 140.0;
    in.lv.esvMl = 56.0;
    in.lv.svMl = 84.0;
    in.lv.efPercent = 60.0;
    in.lv.massG = 110.0;
    in.lv.massIndex = 110.0 / 1.9;
    in.lv.myocardiumToEdvRatio = 110.0 / (140.0 * 1.05);
    in.extra.lvpwdMm = wall;
    in.extra.eddMm = diameter;
    const QString html = clinical::cardiacMriReportHtml(in);
    QCOMPARE(html.contains(QStringLiteral("<b>RWT:</b> %1 — ").arg(rwt)), !rwt.isEmpty());
    QCOMPARE(html.count(QStringLiteral("<b>RWT:</b>")), rwt.isEmpty() ? 0 : 1);
    QCOMPARE(html.contains(QStringLiteral("RWT повышен")), concentric);
}

// The LV cavity is graded on the MRI ranges of the patient's sex, and the conclusion's sentence agrees with
// the feminine "полость"; the RV sentence likewise.
void TestCardiacMri::reportCavity_data()
{
    QTest::addColumn<bool>("female");
    QTest::addColumn<double>("lvEdv");
    QTest::addColumn<double>("rvEdv");
    QTest::addColumn<QString>("grade");
    QTest::addColumn<QString>("sentence");
    QTest::newRow("woman, EDV 130") << true << 130.0 << 120.0 << QStringLiteral("норма") << QString();
    QTest::newRow("woman, EDV 190") << true << 190.0 << 120.0 << QStringLiteral("УВЕЛИЧЕН")
                                    << QStringLiteral("Полость ЛЖ увеличена (КДО). ");
    QTest::newRow("man, EDV 100") << false << 100.0 << 120.0 << QStringLiteral("уменьшен")
                                  << QStringLiteral("Полость ЛЖ уменьшена (КДО). ");
    QTest::newRow("man, RV EDV 230") << false << 160.0 << 230.0 << QStringLiteral("норма")
                                     << QStringLiteral("Полость ПЖ увеличена (КДО). ");
    // Just across a cut-off, the whole number would fall on the other side: the conclusion grades the row's value.
    QTest::newRow("man, EDV 213.06") << false << 213.06 << 120.0 << QStringLiteral("УВЕЛИЧЕН")
                                     << QStringLiteral("Полость ЛЖ увеличена (КДО). ");
    QTest::newRow("man, EDV 106.94") << false << 106.94 << 120.0 << QStringLiteral("уменьшен")
                                     << QStringLiteral("Полость ЛЖ уменьшена (КДО). ");
    QTest::newRow("man, RV EDV 210.06") << false << 160.0 << 210.06 << QStringLiteral("норма")
                                        << QStringLiteral("Полость ПЖ увеличена (КДО). ");
}

void TestCardiacMri::reportCavity()
{
    QFETCH(bool, female);
    QFETCH(double, lvEdv);
    QFETCH(double, rvEdv);
    QFETCH(QString, grade);
    QFETCH(QString, sentence);
    clinical::CardiacReportInput in;
    in.sliceCount = in.edEndoCount = in.esEndoCount = 10;
    in.edRvCount = in.esRvCount = 10;
    in.female = female;
    in.bsa = 1.8;
    in.lv.edvMl = lvEdv;
    in.lv.edvIndex = lvEdv / in.bsa;
    in.lv.esvMl = lvEdv * 0.4;
    in.lv.efPercent = 60.0;
    in.rvPresent = true;
    in.rv.edvMl = rvEdv;
    in.rv.esvMl = rvEdv * 0.45;
    in.rv.efPercent = 55.0;
    const QString html = clinical::cardiacMriReportHtml(in);
    QVERIFY2(html.contains(QStringLiteral("<b>КДО ЛЖ (EDV):</b> %1 мл (иКДО %2 мл/м²) — %3<br>")
                               .arg(QString::number(lvEdv, 'f', 1), QString::number(lvEdv / 1.8, 'f', 1), grade)),
             qPrintable(html));
    const QString conclusion = clinical::cardiacMriConclusion(in);
    QCOMPARE(conclusion.count(QStringLiteral("Полость")), sentence.isEmpty() ? 0 : 1);
    QVERIFY2(conclusion.contains(sentence), qPrintable(conclusion));
    // The footer names where the volume limits come from.
    QVERIFY(html.contains(QStringLiteral("КДО и КСО ЛЖ — J Cardiovasc Magn Reson, 2015")));
}

// The left atrium is graded on the MRI range of the patient's sex: the average MRI atrium is normal, and the
// conclusion names a dilated one.
void TestCardiacMri::reportLeftAtrium_data()
{
    QTest::addColumn<bool>("female");
    QTest::addColumn<double>("volume");
    QTest::addColumn<double>("bsa");
    QTest::addColumn<bool>("dilated");
    QTest::newRow("woman, 89 ml, 1.7 m²") << true << 89.0 << 1.7 << false;
    QTest::newRow("woman, 130 ml") << true << 130.0 << 1.7 << false;
    QTest::newRow("woman, 131 ml") << true << 131.0 << 1.7 << true;
    QTest::newRow("man, 131 ml") << false << 131.0 << 1.9 << false;
    QTest::newRow("man, 162 ml") << false << 162.0 << 1.9 << false;
    QTest::newRow("man, 163 ml") << false << 163.0 << 1.9 << true;
}

void TestCardiacMri::reportLeftAtrium()
{
    QFETCH(bool, female);
    QFETCH(double, volume);
    QFETCH(double, bsa);
    QFETCH(bool, dilated);
    clinical::CardiacReportInput in;
    in.sliceCount = in.edEndoCount = in.esEndoCount = 10;
    in.female = female;
    in.bsa = bsa;
    in.lv.edvMl = 140.0;
    in.lv.esvMl = 56.0;
    in.lv.efPercent = 60.0;
    in.extra.laVolumeMl = volume;
    const QString html = clinical::cardiacMriReportHtml(in);
    const QString index = QString::number(volume / bsa, 'f', 1);
    QVERIFY2(html.contains(QStringLiteral("ЛП: %1 мл (LAVI %2 мл/м²) — %3<br>")
                               .arg(QString::number(volume, 'f', 1), index,
                                    dilated ? QStringLiteral("ДИЛАТАЦИЯ ЛП") : QStringLiteral("норма"))),
             qPrintable(html));
    QCOMPARE(clinical::cardiacMriConclusion(in).contains(
                 QStringLiteral("Дилатация левого предсердия (LAVI %1 мл/м²). ").arg(QString::number(volume / bsa, 'f', 0))),
             dilated);
    QVERIFY(html.contains(QStringLiteral("максимальный объём ЛП — J Cardiovasc Magn Reson, 2005")));
}

// Next to each cut-off the conclusion grades the value its row prints and grades, and prints it so that the
// number agrees with that grade (the row's decimal where the whole number lies across the cut-off).
void TestCardiacMri::reportConclusionGradesAsRows_data()
{
    QTest::addColumn<QString>("measure");
    QTest::addColumn<bool>("female");
    QTest::addColumn<double>("value");
    QTest::addColumn<QStringList>("said");
    QTest::newRow("LVEF 54.94") << "lvef" << false << 54.94
                                << QStringList{"ФВ ЛЖ 54.9%", "ЛЖ снижена (умеренно снижена (40-54%))"};
    QTest::newRow("LVEF 54.96") << "lvef" << false << 54.96 << QStringList{"ФВ ЛЖ 55%", "ЛЖ сохранена"};
    QTest::newRow("LVEF 39.5") << "lvef" << false << 39.5
                               << QStringList{"ФВ ЛЖ 39.5%", "ЛЖ снижена (значительно снижена (30-39%))"};
    QTest::newRow("LVMI 71.06, man") << "lvmi" << false << 71.06
                                     << QStringList{"Гипертрофия миокарда ЛЖ (масса 142 г, LVMI 71.1 г/м²)"};
    QTest::newRow("LVMI 71.04, man") << "lvmi" << false << 71.04
                                     << QStringList{"в пределах нормы (142 г, LVMI 71 г/м²)"};
    QTest::newRow("LVMI 56.06, woman") << "lvmi" << true << 56.06 << QStringList{"Гипертрофия", "LVMI 56.1 г/м²"};
    QTest::newRow("RVEF 44.94") << "rvef" << false << 44.94
                                << QStringList{"ФВ ПЖ 44.9%", "ПЖ снижена (умеренно снижена (35-44%))"};
    QTest::newRow("RVEF 44.96") << "rvef" << false << 44.96 << QStringList{"ФВ ПЖ 45%", "ПЖ сохранена"};
    QTest::newRow("LV EDV 213.06, man") << "lvedv" << false << 213.06 << QStringList{"КДО ЛЖ 213.1 мл", "Полость ЛЖ"};
    QTest::newRow("RV EDV 79.94, man") << "rvedv" << false << 79.94 << QStringList{"КДО ПЖ 79.9 мл", "Полость ПЖ"};
    QTest::newRow("LV ESV 66.06, woman") << "lvesv" << true << 66.06 << QStringList{"КСО ЛЖ 66.1 мл"};
    QTest::newRow("LV ESV 65.96, woman") << "lvesv" << true << 65.96 << QStringList{"КСО ЛЖ 66 мл"};
    QTest::newRow("LV ESV 26.94, man") << "lvesv" << false << 26.94 << QStringList{"КСО ЛЖ 26.9 мл"};
    QTest::newRow("LV ESV 81.04, man") << "lvesv" << false << 81.04 << QStringList{"КСО ЛЖ 81 мл"};
    QTest::newRow("RAVI 40.06, man") << "ravi" << false << 40.06
                                     << QStringList{"Дилатация правого предсердия (RAVI 40.1 мл/м²)"};
    QTest::newRow("RAVI 36.04, woman") << "ravi" << true << 36.04 << QStringList{"МРТ сердца"};
}

void TestCardiacMri::reportConclusionGradesAsRows()
{
    QFETCH(QString, measure);
    QFETCH(bool, female);
    QFETCH(double, value);
    QFETCH(QStringList, said);
    clinical::CardiacReportInput in;
    in.sliceCount = in.edEndoCount = in.esEndoCount = in.edEpiCount = 10;
    in.edRvCount = in.esRvCount = 10;
    in.rvPresent = true;
    in.female = female;
    in.bsa = 2.0;
    in.lv.edvMl = 150.0;
    in.lv.esvMl = 60.0;
    in.lv.efPercent = 60.0;
    in.lv.massIndex = 50.0;
    in.rv.edvMl = 150.0;
    in.rv.esvMl = 70.0;
    in.rv.efPercent = 53.0;
    if (measure == u"lvef")
        in.lv.efPercent = value;
    else if (measure == u"lvmi")
        in.lv.massIndex = value;
    else if (measure == u"rvef")
        in.rv.efPercent = value;
    else if (measure == u"lvedv")
        in.lv.edvMl = value;
    else if (measure == u"rvedv")
        in.rv.edvMl = value;
    else if (measure == u"lvesv")
        in.lv.esvMl = value;
    else
        in.extra.raVolumeMl = value * in.bsa;
    in.lv.massG = in.lv.massIndex * in.bsa;
    const QString conclusion = clinical::cardiacMriConclusion(in);
    for (const QString& part : said)
        QVERIFY2(conclusion.contains(part), qPrintable(conclusion));
    // A normal right atrium is not named at all.
    QCOMPARE(conclusion.contains(QStringLiteral("правого предсердия")), measure == u"ravi" && !female);
}

void TestCardiacMri::reportFileName()
{
    const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7));
    QCOMPARE(measurementReportFileName(QStringLiteral("CardiacMRI"),
                                       QStringLiteral("12 срезов × 25 фаз — серии №7 (\"CINE SAX\")"), when),
             QStringLiteral("CardiacMRI_12_срезов_25_фаз_серии_7_CINE_SAX__20260304_050607.png"));
    QCOMPARE(measurementReportFileName(QStringLiteral("CardiacMRI"), QStringLiteral("ёж"), when),
             QStringLiteral("CardiacMRI__ж_20260304_050607.png"));
}

QTEST_MAIN(TestCardiacMri)
#include "tst_cardiacmri.moc"
