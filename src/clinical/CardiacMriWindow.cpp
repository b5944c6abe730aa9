#include "clinical/CardiacMriWindow.h"

#include "clinical/CalculatorPageKit.h"
#include "clinical/SeriesGeometry.h"
#include "dialogs/WindowPlacement.h"

#include "viewer/ImageViewportWidget.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

const QString EndoRole = QStringLiteral("endo");
const QString EpiRole = QStringLiteral("epi");
const QString RvEndoRole = QStringLiteral("rv_endo");

int clampPhase(int phase, int count)
{
    return std::clamp(phase, 0, count - 1);
}

// The panel orders what it is given by instance number; numbering the copies by their position keeps
// the order of the list, so image i of the ED and ES views stays slice i of the stack and the cine view
// plays the phases in phase order.
QList<db::InstanceRecord> inListOrder(QList<db::InstanceRecord> records)
{
    for (qsizetype i = 0; i < records.size(); ++i)
        records[i].instanceNumber = i;
    return records;
}

SeriesOverlayInfo overlayWithDescription(const QString& description)
{
    SeriesOverlayInfo info;
    info.seriesDescription = description;
    return info;
}

QDoubleSpinBox* addSpin(QFormLayout* form, const char* label, double maximum, const char* suffix)
{
    QDoubleSpinBox* spin = makeSpinBox(0.0, maximum, 0.0, suffix);
    form->addRow(QString::fromUtf8(label), spin);
    return spin;
}

QLabel* sectionLabel(const QString& html, QWidget* parent)
{
    auto* label = new QLabel(html, parent);
    label->setWordWrap(true);
    return label;
}

double valueOf(const QDoubleSpinBox* spin)
{
    return spin ? spin->value() : 0.0;
}

bool checked(const QCheckBox* box)
{
    return box && box->isChecked();
}

} // namespace

CardiacMriWindow::CardiacMriWindow(const render::CineStack& grid, const QString& title,
                                   const db::PatientBodyInfo& body, QWidget* parent)
    : QMainWindow(parent), m_grid(grid), m_title(title)
{
    setWindowFlags(windowFlags() | Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Кардио-МРТ (SAX) — %1").arg(title));
    resizeWithinScreen(this, QSize(1300, 950));

    m_currentSlice = int(m_grid.slices.size()) / 2;

    if (body.weightKg > 0.0) {
        m_weightKg = body.weightKg;
        m_weightFromDicom = true;
    }
    if (body.heightCm > 0.0) {
        m_heightCm = body.heightCm;
        m_heightFromDicom = true;
    }
    const QString sex = body.sex.trimmed().toUpper();
    m_sexFromDicom = sex.startsWith(QLatin1Char('F')) || sex.startsWith(QLatin1Char('M')) ||
                     sex.startsWith(QChar(0x0416)) || sex.startsWith(QChar(0x041C)); // Ж, М
    m_female = sex.startsWith(QLatin1Char('F')) || sex.startsWith(QChar(0x0416));

    computeSliceGeometry();
    setupUi();
    showCurrentSlice();
    editPatientParameters();
}

CardiacMriWindow::~CardiacMriWindow()
{
    m_timer.stop();
}

void CardiacMriWindow::computeSliceGeometry()
{
    m_sliceThicknessMm = 8.0;
    if (!m_grid.slices.isEmpty() && !m_grid.slices.first().frames.isEmpty()) {
        const double thickness = m_grid.slices.first().frames.first().sliceThickness;
        if (thickness > 0.0)
            m_sliceThicknessMm = thickness;
    }
    m_sliceGapPercent = 25.0;
    m_discGapPercent = 25.0;
    if (m_grid.slices.size() < 2)
        return;
    QList<double> spacings;
    for (qsizetype i = 1; i < m_grid.slices.size(); ++i)
        spacings.append(std::abs(m_grid.slices.at(i).sliceLocation - m_grid.slices.at(i - 1).sliceLocation));
    // With an even number of gaps the median is the mean of the two middle ones: gaps 6, 6, 10, 10 are
    // 8 mm discs, not 10.
    const double median = clinical::median(spacings);
    if (median > 0.0) {
        // Slices thicker than their spacing overlap: counting each as thick as it is would add the overlap
        // to every disc, so the discs stay one spacing high while the gap shown does not go below 0.
        m_discGapPercent = (median - m_sliceThicknessMm) / m_sliceThicknessMm * 100.0;
        m_sliceGapPercent = std::max(0.0, m_discGapPercent);
    }
}

void CardiacMriWindow::setupUi()
{
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 4, 4, 4);

    m_instructionLabel = new QLabel(central);
    m_instructionLabel->setWordWrap(true);
    // The theme's own text colour: a fixed grey is unreadable on one of the two grounds.
    m_instructionLabel->setStyleSheet(QStringLiteral("padding:2px;"));
    layout->addWidget(m_instructionLabel);

    auto* row1 = new QHBoxLayout;
    row1->setContentsMargins(0, 0, 0, 0);
    auto* previous = new QPushButton(QStringLiteral("◀ Срез"), central);
    previous->setToolTip(QStringLiteral("Показать другой срез стека здесь (для удобства выбора ED/ES) — "
                                        "колесо мыши на самой картинке листает "
                                        "ФАЗЫ уже выбранного среза, эта кнопка переключает СРЕЗ."));
    row1->addWidget(previous);
    m_sliceLabel = new QLabel(central);
    row1->addWidget(m_sliceLabel);
    auto* next = new QPushButton(QStringLiteral("Срез ▶"), central);
    row1->addWidget(next);
    m_playButton = new QPushButton(QStringLiteral("▶ Играть"), central);
    m_playButton->setCheckable(true);
    row1->addWidget(m_playButton);
    row1->addWidget(new QLabel(QStringLiteral("Скорость:"), central));
    m_speedSpin = new QSpinBox(central);
    m_speedSpin->setRange(1, 60);
    m_speedSpin->setValue(12);
    m_speedSpin->setSuffix(QStringLiteral(" кадр/сек"));
    row1->addWidget(m_speedSpin);
    auto* markEd = new QPushButton(QStringLiteral("Отметить как ED (диастола)"), central);
    auto* markEs = new QPushButton(QStringLiteral("Отметить как ES (систола)"), central);
    row1->addWidget(markEd);
    row1->addWidget(markEs);
    m_phaseLabel = new QLabel(QStringLiteral("ED: не отмечена   ES: не отмечена"), central);
    row1->addWidget(m_phaseLabel, 1);
    layout->addLayout(row1);

    auto* row2 = new QHBoxLayout;
    row2->setContentsMargins(0, 0, 0, 0);
    row2->addWidget(new QLabel(QStringLiteral("<b>Шаг 2.</b> Контур:"), central));
    m_endoButton = new QPushButton(QStringLiteral("Эндокард ЛЖ"), central);
    m_epiButton = new QPushButton(QStringLiteral("Эпикард ЛЖ"), central);
    m_rvButton = new QPushButton(QStringLiteral("Эндокард ПЖ"), central);
    m_roleGroup = new QButtonGroup(this);
    m_roleGroup->setExclusive(false);
    for (QPushButton* button : {m_endoButton, m_epiButton, m_rvButton}) {
        button->setCheckable(true);
        m_roleGroup->addButton(button);
        row2->addWidget(button);
        connect(button, &QPushButton::toggled, this, [this, button](bool on) { onRoleToggled(button, on); });
    }
    row2->addWidget(new QLabel(QStringLiteral("Метод:"), central));
    m_methodCombo = new QComboBox(central);
    m_methodCombo->addItems({QStringLiteral("Сглаженный контур"), QStringLiteral("Эллипс")});
    row2->addWidget(m_methodCombo);
    auto* recalc = new QPushButton(QStringLiteral("Пересчитать"), central);
    row2->addWidget(recalc);
    auto* hint = new QLabel(
        QStringLiteral(
            "  Выберите роль и метод, обведите контур на КАЖДОМ срезе вручную. Колесо мыши листает "
            "срезы. ЛЖ обязательно: эндо+эпи на ED, эндо на ES. ПЖ (необязательно): эндо на ED и ES."),
        central);
    // Wrapped, so that the long hint does not make the window wider than the screen.
    hint->setWordWrap(true);
    row2->addWidget(hint, 1);
    layout->addLayout(row2);

    auto* splitter = new QSplitter(Qt::Horizontal, central);
    m_cineView = new ImageViewportWidget(splitter);
    m_edView = new ImageViewportWidget(splitter);
    m_esView = new ImageViewportWidget(splitter);
    splitter->addWidget(m_cineView);
    splitter->addWidget(m_edView);
    splitter->addWidget(m_esView);
    layout->addWidget(splitter, 5);
    setCentralWidget(central);

    auto* toolbar = addToolBar(QStringLiteral("Параметры"));
    toolbar->setMovable(false);
    toolbar->addAction(QStringLiteral("Параметры пациента…"), this, [this] { editPatientParameters(); });
    toolbar->addAction(QStringLiteral("Доп. измерения…"), this, [this] { showExtraMeasurements(); });

    const int phases = m_grid.slices.isEmpty() ? 0 : int(m_grid.slices.first().frames.size());
    statusBar()->showMessage(
        QStringLiteral("SAX-стек: %1 срезов, %2 фаз на срез%3")
            .arg(QString::number(m_grid.slices.size()), QString::number(phases),
                 m_grid.phasesByInstanceNumber
                     ? QStringLiteral(" (TriggerTime недоступен — порядок фаз по InstanceNumber)")
                     : QString()));

    connect(previous, &QPushButton::clicked, this, [this] { stepSlice(-1); });
    connect(next, &QPushButton::clicked, this, [this] { stepSlice(+1); });
    connect(m_playButton, &QPushButton::toggled, this, [this](bool on) { setPlaying(on); });
    connect(m_speedSpin, &QSpinBox::valueChanged, this, [this] {
        if (m_timer.isActive())
            m_timer.start(1000 / std::max(m_speedSpin->value(), 1));
    });
    connect(&m_timer, &QTimer::timeout, this, [this] { advanceCine(); });
    connect(markEd, &QPushButton::clicked, this, [this] { markPhase(true); });
    connect(markEs, &QPushButton::clicked, this, [this] { markPhase(false); });
    connect(m_methodCombo, &QComboBox::currentIndexChanged, this, [this] { applyContourTool(); });
    connect(recalc, &QPushButton::clicked, this, [this] { recalculate(); });
}

void CardiacMriWindow::showCurrentSlice()
{
    const int count = int(m_grid.slices.size());
    if (count == 0)
        return;
    m_cineView->showSeries(inListOrder(m_grid.slices.at(m_currentSlice).frames),
                           overlayWithDescription(QStringLiteral("%1 — срез %2/%3 (фазы)")
                                                      .arg(m_title, QString::number(m_currentSlice + 1),
                                                           QString::number(count))));
    m_cineView->fitImageInView();
    m_sliceLabel->setText(QStringLiteral("Срез %1/%2").arg(m_currentSlice + 1).arg(count));
    m_instructionLabel->setText(QStringLiteral(
        "<b>Шаг 1.</b> Кнопками «◀ Срез»/«Срез ▶» выберите удобный срез стека, колесом мыши на картинке "
        "пролистайте его фазы сердечного цикла и отметьте конец диастолы (ED — максимальный просвет ЛЖ) и "
        "конец "
        "систолы (ES — минимальный просвет). Выбор ФАЗЫ общий для ВСЕХ срезов стека; какой именно срез "
        "сейчас "
        "показан для выбора — не важно."));
}

void CardiacMriWindow::stepSlice(int delta)
{
    if (m_grid.slices.isEmpty())
        return;
    m_currentSlice = std::clamp(m_currentSlice + delta, 0, int(m_grid.slices.size()) - 1);
    showCurrentSlice();
}

void CardiacMriWindow::setPlaying(bool on)
{
    if (on) {
        m_playButton->setText(QStringLiteral("⏸ Пауза"));
        m_timer.start(1000 / std::max(m_speedSpin->value(), 1));
    } else {
        m_playButton->setText(QStringLiteral("▶ Играть"));
        m_timer.stop();
    }
}

void CardiacMriWindow::advanceCine()
{
    const int count = m_cineView->sliceCount();
    if (count > 1)
        m_cineView->showSlice((m_cineView->currentSliceIndex() + 1) % count);
}

void CardiacMriWindow::markPhase(bool ed)
{
    const int phase = m_cineView->currentSliceIndex();
    if (ed)
        m_edPhase = phase;
    else
        m_esPhase = phase;
    auto part = [](int index) {
        return index < 0 ? QStringLiteral("не отмечена") : QStringLiteral("фаза %1").arg(index + 1);
    };
    m_phaseLabel->setText(QStringLiteral("ED: %1   ES: %2").arg(part(m_edPhase), part(m_esPhase)));
    if (m_edPhase >= 0 && m_esPhase >= 0)
        loadEdEsViews();
}

void CardiacMriWindow::loadEdEsViews()
{
    QList<db::InstanceRecord> edList;
    QList<db::InstanceRecord> esList;
    for (const render::CineSlice& slice : m_grid.slices) {
        const int n = int(slice.frames.size());
        if (n == 0)
            continue;
        edList.append(slice.frames.at(clampPhase(m_edPhase, n)));
        esList.append(slice.frames.at(clampPhase(m_esPhase, n)));
    }
    m_edView->showSeries(
        inListOrder(edList),
        overlayWithDescription(QStringLiteral("%1 — ED (фаза %2)").arg(m_title).arg(m_edPhase + 1)));
    m_esView->showSeries(
        inListOrder(esList),
        overlayWithDescription(QStringLiteral("%1 — ES (фаза %2)").arg(m_title).arg(m_esPhase + 1)));
    m_edView->fitImageInView();
    m_esView->fitImageInView();
    statusBar()->showMessage(
        QStringLiteral(
            "ED/ES зафиксированы. Обведите эндокард (обязательно ED+ES) и эпикард (обязательно ED, "
            "желательно ES для систолической толщины стенки) на КАЖДОМ из %1 срезов вручную.")
            .arg(edList.size()),
        8000);
}

void CardiacMriWindow::onRoleToggled(QPushButton* button, bool on)
{
    if (on) {
        for (QPushButton* other : {m_endoButton, m_epiButton, m_rvButton}) {
            if (other != button && other->isChecked()) {
                const QSignalBlocker blocker(other);
                other->setChecked(false);
            }
        }
    }
    applyContourTool();
}

void CardiacMriWindow::applyContourTool()
{
    QString role;
    QColor colour;
    if (m_endoButton->isChecked()) {
        role = EndoRole;
        colour = QColor(255, 215, 0);
    } else if (m_epiButton->isChecked()) {
        role = EpiRole;
        colour = QColor(0, 200, 255);
    } else if (m_rvButton->isChecked()) {
        role = RvEndoRole;
        colour = QColor(180, 100, 255);
    }
    const int mode = role.isEmpty() ? 0 : (m_methodCombo->currentIndex() == 1 ? 13 : 12);
    for (ImageViewportWidget* view : {m_edView, m_esView}) {
        view->setRoiLabel(role, colour);
        view->setMeasurementMode(mode);
    }
}

CardiacMriWindow::ContourMatch CardiacMriWindow::findContour(const ImageViewportWidget* view, int sliceIndex,
                                                             const QString& role)
{
    ContourMatch match;
    if (!view)
        return match;
    for (const auto& info : view->measurementsForSlice(sliceIndex)) {
        if (info.name == role && (info.kind == 11 || info.kind == 12 || info.kind == 13)) {
            match.found = true;
            match.points = info.points;
            match.kind = info.kind;
        }
    }
    return match;
}

double CardiacMriWindow::contourAreaCm2(const ImageViewportWidget* view, int sliceIndex, const QString& role,
                                        double spacingX, double spacingY)
{
    const ContourMatch match = findContour(view, sliceIndex, role);
    if (!match.found)
        return 0.0;
    double pixelArea = 0.0;
    if (match.kind == 13) {
        if (match.points.size() < 2)
            return 0.0;
        const QRectF rect = QRectF(match.points.at(0), match.points.at(1)).normalized();
        pixelArea = std::numbers::pi * (rect.width() / 2.0) * (rect.height() / 2.0);
    } else {
        if (match.points.size() < 3)
            return 0.0;
        double twice = 0.0;
        for (qsizetype i = 0; i < match.points.size(); ++i) {
            const QPointF& a = match.points.at(i);
            const QPointF& b = match.points.at((i + 1) % match.points.size());
            twice += a.x() * b.y() - b.x() * a.y();
        }
        pixelArea = std::abs(twice) / 2.0;
    }
    const double sx = spacingX > 0.0 ? spacingX : 1.0;
    const double sy = spacingY > 0.0 ? spacingY : 1.0;
    return pixelArea * sx * sy / 100.0;
}

void CardiacMriWindow::editPatientParameters()
{
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Кардио-МРТ — параметры пациента"));
    auto* form = new QFormLayout(&dialog);
    const bool allFromDicom = m_heightFromDicom && m_weightFromDicom && m_sexFromDicom;
    auto* note = new QLabel(
        allFromDicom ? QStringLiteral("Рост/вес/пол взяты из DICOM — проверьте и подтвердите (OK).")
                     : QStringLiteral("Часть данных не найдена в DICOM (отмечено ниже) — введите вручную."),
        &dialog);
    note->setWordWrap(true);
    form->addRow(note);
    QDoubleSpinBox* height = makeSpinBox(50.0, 250.0, m_heightCm, " см");
    form->addRow(m_heightFromDicom ? QStringLiteral("Рост (из DICOM):")
                                   : QStringLiteral("Рост (в DICOM НЕ найден):"),
                 height);
    QDoubleSpinBox* weight = makeSpinBox(1.0, 300.0, m_weightKg, " кг");
    form->addRow(m_weightFromDicom ? QStringLiteral("Вес (из DICOM):")
                                   : QStringLiteral("Вес (в DICOM НЕ найден):"),
                 weight);
    auto* sex = new QComboBox(&dialog);
    sex->addItems({QStringLiteral("М"), QStringLiteral("Ж")});
    sex->setCurrentIndex(m_female ? 1 : 0);
    form->addRow(
        m_sexFromDicom ? QStringLiteral("Пол (из DICOM):") : QStringLiteral("Пол (в DICOM НЕ найден):"), sex);
    auto* geometry = new QLabel(
        QStringLiteral("Толщина среза (%1 мм) и зазор между срезами (%2%) определены "
                       "автоматически по геометрии DICOM (SliceThickness/SliceLocation) и не "
                       "редактируются.")
            .arg(QString::number(m_sliceThicknessMm, 'f', 1), QString::number(m_sliceGapPercent, 'f', 0)),
        &dialog);
    geometry->setWordWrap(true);
    form->addRow(geometry);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_heightCm = height->value();
    m_weightKg = weight->value();
    m_female = sex->currentIndex() == 1;
}

void CardiacMriWindow::showExtraMeasurements()
{
    if (m_extraDialog) {
        m_extraDialog->show();
        m_extraDialog->raise();
        m_extraDialog->activateWindow();
        return;
    }
    m_extraDialog = new QDialog(this);
    m_extraDialog->setWindowTitle(QStringLiteral("Кардио-МРТ — дополнительные измерения"));
    m_extraDialog->resize(480, 620);
    auto* outer = new QVBoxLayout(m_extraDialog);
    auto* scroll = new QScrollArea(m_extraDialog);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* content = new QWidget(scroll);
    auto* form = new QFormLayout(content);

    auto* note =
        sectionLabel(QStringLiteral("Все поля ниже НЕОБЯЗАТЕЛЬНЫ — незаполненный раздел просто не появится в "
                                    "отчёте. Значения читаются заново при каждом «Пересчитать»."),
                     content);
    form->addRow(note);

    form->addRow(
        sectionLabel(QStringLiteral("<b>Линейные размеры ЛЖ (M-режим, Cube/Devereux)</b>"), content));
    m_edd = addSpin(form, "КДР ЛЖ (EDD):", 100.0, " мм");
    m_esd = addSpin(form, "КСР ЛЖ (ESD):", 100.0, " мм");
    m_ivsd = addSpin(form, "МЖП диаст. (IVSd):", 100.0, " мм");
    m_ivss = addSpin(form, "МЖП сист. (IVSs):", 100.0, " мм");
    m_lvpwd = addSpin(form, "Задняя стенка диаст. (LVPWd):", 100.0, " мм");
    m_lvpws = addSpin(form, "Задняя стенка сист. (LVPWs):", 100.0, " мм");

    form->addRow(sectionLabel(QStringLiteral("<b>Предсердия</b>"), content));
    m_lav = addSpin(form, "Объём ЛП макс. (LAV):", 500.0, " мл");
    m_rav = addSpin(form, "Объём ПП макс. (RAV):", 500.0, " мл");

    form->addRow(
        sectionLabel(QStringLiteral("<b>Правый желудочек — геометрия</b> (справочно: значения показываются в "
                                    "отчёте БЕЗ оценки нормы/патологии — авторитетных порогов для МРТ, в "
                                    "отличие от ЭхоКГ, нет)."),
                     content));
    m_rvd1 = addSpin(form, "RVD1 (базальный):", 100.0, " мм");
    m_rvd2 = addSpin(form, "RVD2 (средний):", 100.0, " мм");
    m_rvotProximal = addSpin(form, "RVOT проксимальный:", 100.0, " мм");
    m_rvotDistal = addSpin(form, "RVOT дистальный:", 100.0, " мм");
    m_rvWall = addSpin(form, "Толщина стенки ПЖ (RVWT):", 100.0, " мм");

    form->addRow(sectionLabel(QStringLiteral("<b>Перикардиальный выпот</b>"), content));
    m_effusion = new QCheckBox(QStringLiteral("Выпот визуализируется"), content);
    form->addRow(m_effusion);
    m_effusionLocation = new QComboBox(content);
    m_effusionLocation->addItems({QStringLiteral("Задний (за ЛЖ)"), QStringLiteral("Передний (за ПЖ)"),
                                  QStringLiteral("Латеральный"), QStringLiteral("Циркулярный"),
                                  QStringLiteral("Осумкованный"), QStringLiteral("Верхушечный")});
    form->addRow(QStringLiteral("Локализация:"), m_effusionLocation);
    m_effusionSeparation = addSpin(form, "Макс. сепарация листков:", 100.0, " мм");
    m_tamponade = new QCheckBox(QStringLiteral("Признаки тампонады"), content);
    form->addRow(m_tamponade);

    form->addRow(sectionLabel(QStringLiteral("<b>Внутриполостной тромб</b>"), content));
    m_thrombusLv = new QCheckBox(QStringLiteral("Полость ЛЖ"), content);
    m_thrombusLa = new QCheckBox(QStringLiteral("ЛП / ушко ЛП"), content);
    m_thrombusRa = new QCheckBox(QStringLiteral("ПП"), content);
    m_thrombusRv = new QCheckBox(QStringLiteral("Полость ПЖ"), content);
    for (QCheckBox* box : {m_thrombusLv, m_thrombusLa, m_thrombusRa, m_thrombusRv})
        form->addRow(box);

    scroll->setWidget(content);
    outer->addWidget(scroll, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* done = new QPushButton(QStringLiteral("Готово"), m_extraDialog);
    connect(done, &QPushButton::clicked, m_extraDialog, &QDialog::hide);
    buttons->addWidget(done);
    outer->addLayout(buttons);
    m_extraDialog->show();
    m_extraDialog->raise();
    m_extraDialog->activateWindow();
}

clinical::CardiacExtraMeasurements CardiacMriWindow::readExtraMeasurements() const
{
    clinical::CardiacExtraMeasurements e;
    e.eddMm = valueOf(m_edd);
    e.esdMm = valueOf(m_esd);
    e.ivsdMm = valueOf(m_ivsd);
    e.ivssMm = valueOf(m_ivss);
    e.lvpwdMm = valueOf(m_lvpwd);
    e.lvpwsMm = valueOf(m_lvpws);
    e.laVolumeMl = valueOf(m_lav);
    e.raVolumeMl = valueOf(m_rav);
    e.rvd1Mm = valueOf(m_rvd1);
    e.rvd2Mm = valueOf(m_rvd2);
    e.rvotProximalMm = valueOf(m_rvotProximal);
    e.rvotDistalMm = valueOf(m_rvotDistal);
    e.rvWallMm = valueOf(m_rvWall);
    e.effusion = checked(m_effusion);
    e.effusionLocation = m_effusionLocation ? m_effusionLocation->currentText() : QString();
    e.effusionSeparationMm = valueOf(m_effusionSeparation);
    e.tamponade = checked(m_tamponade);
    e.thrombusLv = checked(m_thrombusLv);
    e.thrombusLa = checked(m_thrombusLa);
    e.thrombusRa = checked(m_thrombusRa);
    e.thrombusRv = checked(m_thrombusRv);
    return e;
}

void CardiacMriWindow::recalculate()
{
    if (m_edPhase < 0 || m_esPhase < 0 || m_edView->sliceCount() < 1) {
        QMessageBox::information(
            this, QStringLiteral("Кардио-МРТ"),
            QStringLiteral("Сначала отметьте ED/ES (Шаг 1) и обведите хотя бы часть контуров."),
            QMessageBox::Ok);
        return;
    }

    QList<double> edEndo, edEpi, esEndo, edRv, esRv;
    // Image index of a slice in the ED and ES views: slices without phases have no image there.
    int image = 0;
    for (const render::CineSlice& slice : m_grid.slices) {
        const int n = int(slice.frames.size());
        if (n == 0) {
            for (QList<double>* list : {&edEndo, &edEpi, &esEndo, &edRv, &esRv})
                list->append(0.0);
            continue;
        }
        const db::InstanceRecord& ed = slice.frames.at(clampPhase(m_edPhase, n));
        const db::InstanceRecord& es = slice.frames.at(clampPhase(m_esPhase, n));
        edEndo.append(contourAreaCm2(m_edView, image, EndoRole, ed.pixelSpacingX, ed.pixelSpacingY));
        edEpi.append(contourAreaCm2(m_edView, image, EpiRole, ed.pixelSpacingX, ed.pixelSpacingY));
        esEndo.append(contourAreaCm2(m_esView, image, EndoRole, es.pixelSpacingX, es.pixelSpacingY));
        edRv.append(contourAreaCm2(m_edView, image, RvEndoRole, ed.pixelSpacingX, ed.pixelSpacingY));
        esRv.append(contourAreaCm2(m_esView, image, RvEndoRole, es.pixelSpacingX, es.pixelSpacingY));
        ++image;
    }
    auto positive = [](const QList<double>& list) {
        return int(std::count_if(list.begin(), list.end(), [](double v) { return v > 0.0; }));
    };

    clinical::CardiacReportInput in;
    in.sliceCount = int(m_grid.slices.size());
    in.edEndoCount = positive(edEndo);
    in.edEpiCount = positive(edEpi);
    in.esEndoCount = positive(esEndo);
    in.edRvCount = positive(edRv);
    in.esRvCount = positive(esRv);
    if (in.edEndoCount == 0 || in.esEndoCount == 0) {
        QMessageBox::warning(
            this, QStringLiteral("Кардио-МРТ"),
            QStringLiteral("Не найдено ни одного эндокардиального контура на %1. Обведите хотя бы "
                           "один срез и нажмите «Применить ко всем срезам» (в идеале — все %2).")
                .arg(in.edEndoCount == 0 ? QStringLiteral("ED") : QStringLiteral("ES"),
                     QString::number(in.sliceCount)));
        return;
    }

    in.bsa = clinical::bodySurfaceAreaDuBois(m_heightCm, m_weightKg);
    in.female = m_female;
    in.sliceThicknessMm = m_sliceThicknessMm;
    in.sliceGapPercent = m_sliceGapPercent;
    in.lv = clinical::lvVolumetry(edEndo, edEpi, esEndo, m_sliceThicknessMm, m_discGapPercent, in.bsa);
    in.rvPresent = in.edRvCount >= 1 && in.esRvCount >= 1;
    if (in.rvPresent)
        in.rv = clinical::rvVolumetry(edRv, esRv, m_sliceThicknessMm, m_discGapPercent, in.bsa);
    in.extra = readExtraMeasurements();
    in.mmode =
        clinical::mmodeLvMetrics(in.extra.eddMm, in.extra.esdMm, in.extra.ivsdMm, in.extra.lvpwdMm, in.bsa);
    showResult(clinical::cardiacMriReportHtml(in));
}

void CardiacMriWindow::showResult(const QString& html)
{
    if (!m_result.dialog)
        m_result = createMeasurementReportDialog(this, QStringLiteral("Кардио-МРТ — результат расчёта"), 760,
                                                 860, [this] { exportReportPng(); });
    showMeasurementReport(m_result, html);
}

void CardiacMriWindow::exportReportPng()
{
    exportMeasurementReportPng(this, m_result.label, QStringLiteral("Экспорт отчёта кардио-МРТ"),
                               QStringLiteral("CardiacMRI"), m_title);
}

void CardiacMriWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // A top-level Qt::Window already has its own taskbar entry here; the cine image only needs fitting
    // once the panel has its real size.
    m_cineView->fitImageInView();
}
