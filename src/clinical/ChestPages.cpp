#include "clinical/ChestPages.h"

#include "clinical/CalculatorPageKit.h"
#include "clinical/ChestFormulas.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

QString f(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

const QStringList& lobeScoreLabels()
{
    static const QStringList labels{QStringLiteral("0 — Не поражена"), QStringLiteral("1 — <5%"),
                                    QStringLiteral("2 — 5–25%"),        QStringLiteral("3 — 25–50%"),
                                    QStringLiteral("4 — 50–75%"),       QStringLiteral("5 — >75%")};
    return labels;
}

} // namespace

CtLungInvolvementPage::CtLungInvolvementPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Степень поражения лёгких при КТ</b><br>Взвешенная оценка по 5 долям (баллы 0–5 по "
                             "каждой, с учётом относительного объёма доли) — используется при COVID-19, пневмониях, ИЛФ."));
    for (const QString& lobe : clinical::lungLobeNames) {
        auto* combo = new QComboBox(this);
        combo->addItems(lobeScoreLabels());
        combo->setCurrentIndex(0);
        form->addRow(lobe + QLatin1Char(':'), combo);
        lobes.append(combo);
    }
    result = finishCalculatorPage(this);
}

void CtLungInvolvementPage::calculate()
{
    QList<int> scores;
    for (QComboBox* combo : lobes)
        scores.append(combo->currentIndex());
    const clinical::LungInvolvementResult r = clinical::ctLungInvolvement(scores);
    QString lines;
    for (int i = 0; i < scores.size() && i < clinical::lungLobeNames.size(); ++i)
        lines += QStringLiteral("• %1: %2 б. (%3%)\n")
                     .arg(clinical::lungLobeNames.at(i), QString::number(scores.at(i)),
                          QString::number(clinical::lobeScoreMidpointPercent(scores.at(i)), 'g', 4));
    result->setResult(QStringLiteral("🫁 КТ-поражение лёгких:\n%1━━━━━━━━━━━━━━━━━━\n• 👉 Общее поражение: %2%\n• "
                                     "%3\n\nℹ️ Взвешенная оценка по относительному объёму долей\nℹ️ Используется при "
                                     "COVID-19, пневмониях, ИЛФ")
                          .arg(lines, QString::number(r.percent, 'g', 4), r.text));
}

HydrothoraxPage::HydrothoraxPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(this, QStringLiteral("<b>Объём гидроторакса (Хазлингер)</b><br>Оценка объёма "
                                                       "жидкости в плевральной полости по толщине слоя на КТ."));
    thickness = makeSpinBox(0.1, 200, 20, " мм");
    form->addRow(QStringLiteral("Толщина жидкости в плевральной полости:"), thickness);
    result = finishCalculatorPage(this);
}

void HydrothoraxPage::calculate()
{
    const double v = clinical::shownValue(clinical::pleuralEffusionVolume(thickness->value()), 1);
    const QString text = v < 500    ? QStringLiteral("Небольшой (<500 мл)")
                         : v < 1000 ? QStringLiteral("Умеренный (500–1000 мл)")
                                    : QStringLiteral("Большой (>1000 мл)");
    result->setResult(QStringLiteral("💧 Гидроторакс (Хазлингер):\n• Толщина: %1 мм\n• 👉 Объём: %2 мл\n• %3")
                          .arg(f(thickness->value(), 1), f(v, 1), text));
}

LungCoefficientPage::LungCoefficientPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form =
        startCalculatorPage(this, QStringLiteral("<b>Лёгочный коэффициент (ЛК)</b><br>Формула: ЛК = V выпота / V гемиторакса × "
                                       "100% — оценка степени компрессии лёгкого."));
    effusion = makeSpinBox(1, 5000, 300, " мл");
    form->addRow(QStringLiteral("Объём плеврального выпота:"), effusion);
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    layout->addWidget(new QLabel(QStringLiteral("Как задать объём гемиторакса?"), this));
    directMode = new QRadioButton(QStringLiteral("Ввести напрямую (мл)"), this);
    ellipsoidMode = new QRadioButton(QStringLiteral("Рассчитать по размерам (эллипсоид)"), this);
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    group->addButton(directMode);
    group->addButton(ellipsoidMode);
    directMode->setChecked(true);
    layout->addWidget(directMode);
    layout->addWidget(ellipsoidMode);

    modeStack = new QStackedWidget(this);
    auto* directPage = new QWidget(modeStack);
    auto* directForm = new QFormLayout(directPage);
    hemithorax = makeSpinBox(1, 10000, 2000, " мл");
    directForm->addRow(QStringLiteral("Объём гемиторакса:"), hemithorax);
    auto* ellipsoidPage = new QWidget(modeStack);
    auto* ellipsoidForm = new QFormLayout(ellipsoidPage);
    auto* hint = new QLabel(QStringLiteral("V = 0.523 × L × W × H"), ellipsoidPage);
    hint->setStyleSheet(QStringLiteral("color: #888;"));
    ellipsoidForm->addRow(hint);
    lengthL = makeSpinBox(1, 500, 200, " мм");
    ellipsoidForm->addRow(QStringLiteral("L (длина):"), lengthL);
    widthW = makeSpinBox(1, 500, 150, " мм");
    ellipsoidForm->addRow(QStringLiteral("W (ширина):"), widthW);
    heightH = makeSpinBox(1, 500, 180, " мм");
    ellipsoidForm->addRow(QStringLiteral("H (высота):"), heightH);
    modeStack->addWidget(directPage);
    modeStack->addWidget(ellipsoidPage);
    layout->addWidget(modeStack);
    connect(directMode, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            modeStack->setCurrentIndex(0);
    });
    connect(ellipsoidMode, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            modeStack->setCurrentIndex(1);
    });
    result = finishCalculatorPage(this);
}

void LungCoefficientPage::calculate()
{
    const double e = effusion->value();
    const double v = directMode->isChecked()
                         ? hemithorax->value()
                         : 0.523 * (lengthL->value() / 10.0) * (widthW->value() / 10.0) * (heightH->value() / 10.0);
    if (e > v) {
        result->setResult(QStringLiteral("⚠️ Объём выпота (%1 мл) не может превышать объём гемиторакса (%2 мл). "
                                         "Проверьте введённые значения.")
                              .arg(f(e, 1), f(v, 1)));
        return;
    }
    const double lk = clinical::shownValue(clinical::percentOf(e, v), 1);
    result->setResult(
        QStringLiteral("💨 Лёгочный коэффициент:\n• Объём выпота: %1 мл\n• Объём гемиторакса: %2 мл\n• 👉 ЛК = %3%\n• %4")
            .arg(f(e, 1), f(v, 1), f(lk, 1), clinical::effusionPercentText(lk)));
}

CardiothoracicIndexPage::CardiothoracicIndexPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Кардиоторакальный индекс (КТИ)</b><br>Отношение максимального поперечника сердца к "
                             "максимальному поперечнику грудной клетки на прямой рентгенограмме ОГК. Порог 0.5 — для "
                             "ЗАДНЕ-ПЕРЕДНЕЙ (PA) вертикальной проекции; на AP/портативных снимках сердце кажется "
                             "крупнее из-за проекционного увеличения — интерпретировать с осторожностью."));
    heart = makeSpinBox(1, 400, 130, " мм");
    form->addRow(QStringLiteral("Макс. поперечник сердца:"), heart);
    chest = makeSpinBox(1, 500, 280, " мм");
    form->addRow(QStringLiteral("Макс. внутренний поперечник грудной клетки:"), chest);
    result = finishCalculatorPage(this);
}

void CardiothoracicIndexPage::calculate()
{
    const double cti = clinical::shownValue(clinical::safeRatio(heart->value(), chest->value()), 2);
    result->setResult(QStringLiteral("❤️ Кардиоторакальный индекс:\n• Поперечник сердца: %1 мм\n• Поперечник грудной "
                                     "клетки: %2 мм\n• 👉 КТИ = %3\n• %4\n\nℹ️ КТИ = ширина сердца / ширина грудной "
                                     "клетки, порог для PA-проекции взрослого — 0.5")
                          .arg(f(heart->value(), 1), f(chest->value(), 1), f(cti, 2),
                               clinical::cardiothoracicIndexText(cti)));
}

FleischnerNodulePage::FleischnerNodulePage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Fleischner Society 2017 — случайно выявленные узлы лёгких</b><br>Только для СЛУЧАЙНЫХ "
                             "находок у взрослых ≥35 лет — НЕ применять при скрининге рака лёгкого (там — Lung-RADS), "
                             "известной активной опухоли или иммуносупрессии, где действуют более агрессивные "
                             "протоколы наблюдения."));
    noduleType = new QComboBox(this);
    noduleType->addItem(QStringLiteral("Солидный"), 0);
    noduleType->addItem(QStringLiteral("Частично-солидный"), 1);
    noduleType->addItem(QStringLiteral("\"Матовое стекло\""), 2);
    form->addRow(QStringLiteral("Тип узла:"), noduleType);
    count = new QComboBox(this);
    count->addItem(QStringLiteral("Единичный"), false);
    count->addItem(QStringLiteral("Множественные"), true);
    form->addRow(QStringLiteral("Количество:"), count);
    diameter = makeSpinBox(1, 100, 5, " мм");
    form->addRow(QStringLiteral("Средний диаметр (наибольший/наиболее подозрительный узел):"), diameter);
    risk = new QComboBox(this);
    risk->addItem(QStringLiteral("Низкий (мало/нет факторов риска рака лёгкого)"), false);
    risk->addItem(QStringLiteral("Высокий (курение, семейный анамнез, спикулы и т.п.)"), true);
    form->addRow(QStringLiteral("Риск рака лёгкого:"), risk);
    result = finishCalculatorPage(this);
}

void FleischnerNodulePage::calculate()
{
    const QString recommendation = clinical::fleischnerRecommendation(
        noduleType->currentData().toInt(), diameter->value(), count->currentData().toBool(), risk->currentData().toBool());
    result->setResult(QStringLiteral("🫁 Fleischner 2017:\n• Тип: %1\n• Количество: %2\n• Диаметр: %3 мм\n• Риск рака "
                                     "лёгкого: %4\n• 👉 %5\n\nℹ️ Рекомендации Fleischner Society 2017 "
                                     "(Radiology, 2017)")
                          .arg(noduleType->currentText(), count->currentText(), f(diameter->value(), 1),
                               risk->currentText(), recommendation));
}

RvLvRatioPage::RvLvRatioPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>RV/LV ratio — тяжесть ТЭЛА на КТ-ангиопульмонографии</b><br>Отношение максимального "
                             "поперечного диаметра правого желудочка к левому (эндокард-эндокард), на аксиальном срезе "
                             "на уровне их наибольшего поперечника (обычно 4-камерная плоскость)."));
    rv = makeSpinBox(1, 100, 40, " мм");
    form->addRow(QStringLiteral("Диаметр правого желудочка (ПЖ):"), rv);
    lv = makeSpinBox(1, 100, 40, " мм");
    form->addRow(QStringLiteral("Диаметр левого желудочка (ЛЖ):"), lv);
    result = finishCalculatorPage(this);
}

void RvLvRatioPage::calculate()
{
    const double ratio = clinical::shownValue(clinical::safeRatio(rv->value(), lv->value()), 2);
    result->setResult(QStringLiteral("🫀 RV/LV ratio:\n• ПЖ: %1 мм\n• ЛЖ: %2 мм\n• 👉 RV/LV = %3\n• %4\n\nℹ️ Порог 1.0 — "
                                     "по данным PIOPED II и последующих исследований")
                          .arg(f(rv->value(), 1), f(lv->value(), 1), f(ratio, 2), clinical::rvLvRatioText(ratio)));
}

WellsPePage::WellsPePage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Wells score — претестовая вероятность ТЭЛА</b><br>Клинико-анамнестическая шкала, "
                             "используется ДО визуализации, чтобы решить, нужна ли КТ-ангиопульмонография / определить "
                             "D-димер порог."));
    const QStringList texts{
        QStringLiteral("Клинические признаки ТГВ (отёк, болезненность вен) — 3 балла"),
        QStringLiteral("ТЭЛА — наиболее вероятный или равновероятный диагноз — 3 балла"),
        QStringLiteral("ЧСС > 100/мин — 1.5 балла"),
        QStringLiteral("Иммобилизация ≥3 сут. или операция за последние 4 нед. — 1.5 балла"),
        QStringLiteral("ТГВ/ТЭЛА в анамнезе — 1.5 балла"),
        QStringLiteral("Кровохарканье — 1 балл"),
        QStringLiteral("Активное онкологическое заболевание — 1 балл"),
    };
    for (const QString& text : texts) {
        auto* box = new QCheckBox(text, this);
        form->addRow(box);
        criteria.append(box);
    }
    result = finishCalculatorPage(this);
}

void WellsPePage::calculate()
{
    const clinical::WellsScoreResult r =
        clinical::wellsPeScore(criteria[0]->isChecked(), criteria[1]->isChecked(), criteria[2]->isChecked(),
                               criteria[3]->isChecked(), criteria[4]->isChecked(), criteria[5]->isChecked(),
                               criteria[6]->isChecked());
    result->setResult(QStringLiteral("🎯 Wells score:\n• 👉 Сумма баллов: %1\n• %2\n\nℹ️ Двухуровневая (Christopher "
                                     "study): ≤4 маловероятна / >4 вероятна\nℹ️ Трёхуровневая (оригинал Wells): <2 "
                                     "низкая / 2–6 умеренная / >6 высокая")
                          .arg(f(r.score, 1), r.text));
}
