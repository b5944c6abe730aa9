#include "clinical/AbdominalPages.h"

#include "clinical/AbdominalFormulas.h"
#include "clinical/CalculatorPageKit.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>

namespace {

QString f(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QComboBox* pointsCombo(QWidget* parent, const QStringList& items)
{
    auto* combo = new QComboBox(parent);
    for (int i = 0; i < items.size(); ++i)
        combo->addItem(items.at(i), i + 1);
    combo->setCurrentIndex(0);
    return combo;
}

} // namespace

LiverVolumePage::LiverVolumePage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Объём печени</b><br>Три взаимно перпендикулярных размера на КТ/МРТ — "
                             "краниокаудальный, передне-задний, поперечный."));
    lengthL = makeSpinBox(1, 400, 150, " мм");
    form->addRow(QStringLiteral("L (краниокаудальный):"), lengthL);
    depthD = makeSpinBox(1, 400, 120, " мм");
    form->addRow(QStringLiteral("D (передне-задний):"), depthD);
    widthT = makeSpinBox(1, 400, 200, " мм");
    form->addRow(QStringLiteral("T (поперечный):"), widthT);
    result = finishCalculatorPage(this);
}

void LiverVolumePage::calculate()
{
    const double v = clinical::shownValue(
        clinical::liverVolumeEstimate(lengthL->value(), depthD->value(), widthT->value()), 0);
    QString text = QStringLiteral("✅ Норма (~1200–1800 см³)");
    if (v < 1200)
        text = QStringLiteral("⚠️ Ниже нормы (взрослые: ~1200–1800 см³) — сопоставить с клиникой");
    else if (v > 1800)
        text = QStringLiteral("⚠️ Увеличена (гепатомегалия) — сопоставить с клиникой");
    result->setResult(QStringLiteral("🫘 Объём печени:\n• L: %1 мм  D: %2 мм  T: %3 мм\n• 👉 Объём = %4 см³\n• "
                                     "%5\n\nℹ️ Формула: V = L × D × T × 0.31 (см³)")
                          .arg(f(lengthL->value(), 1), f(depthD->value(), 1), f(widthT->value(), 1), f(v, 0), text));
}

SpleenPage::SpleenPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Селезёнка — индекс, объём, масса</b><br>Три размера на КТ/МРТ/УЗИ — длина, ширина "
                             "(толщина), высота."));
    lengthL = makeSpinBox(10, 300, 110, " мм");
    form->addRow(QStringLiteral("L (длина):"), lengthL);
    depthD = makeSpinBox(10, 300, 50, " мм");
    form->addRow(QStringLiteral("D (толщина):"), depthD);
    heightH = makeSpinBox(10, 300, 80, " мм");
    form->addRow(QStringLiteral("H (высота):"), heightH);
    result = finishCalculatorPage(this);
}

void SpleenPage::calculate()
{
    const clinical::SpleenEstimate e =
        clinical::spleenIndex(lengthL->value() / 10.0, depthD->value() / 10.0, heightH->value() / 10.0);
    const QString text = clinical::shownValue(e.index, 0) < 480
                             ? QStringLiteral("✅ Норма (индекс <480 см³)")
                             : QStringLiteral("⚠️ Спленомегалия (индекс ≥480 см³)");
    result->setResult(QStringLiteral("🩸 Селезёнка:\n• L: %1 мм  D: %2 мм  H: %3 мм\n• Индекс селезёнки (L×D×H): %4 "
                                     "см³\n• 👉 Объём: %5 см³\n• Расчётная масса: %6 г\n• %7")
                          .arg(f(lengthL->value(), 0), f(depthD->value(), 0), f(heightH->value(), 0), f(e.index, 0),
                               f(e.volume, 0), f(e.weight, 0), text));
}

AdrenalWashoutPage::AdrenalWashoutPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Вымывание контраста надпочечников</b><br>Дифференциальная диагностика аденомы vs "
                             "не-аденомы по трёхфазной КТ. Абсолютное вымывание ≥60% или относительное ≥40% — "
                             "характерно для аденомы."));
    unenhanced = makeSpinBox(-100, 300, 15, " HU");
    form->addRow(QStringLiteral("Нативная фаза:"), unenhanced);
    venous = makeSpinBox(-100, 300, 90, " HU");
    form->addRow(QStringLiteral("Венозная фаза (60–70 с):"), venous);
    delayed = makeSpinBox(-100, 300, 35, " HU");
    form->addRow(QStringLiteral("Отсроченная фаза (15 мин):"), delayed);
    result = finishCalculatorPage(this);
}

void AdrenalWashoutPage::calculate()
{
    const double u = unenhanced->value();
    const double v = venous->value();
    const double d = delayed->value();
    if (!(u < v)) {
        result->setResult(
            QStringLiteral("⚠️ Венозная фаза (%1 HU) должна быть выше нативной (%2 HU) — проверьте значения.")
                .arg(f(v, 0), f(u, 0)));
        return;
    }
    // The relative washout divides by the venous value: at 0 HU it is infinite, below 0 HU its sign flips
    // and a washout of the venous value's own size would read as a verdict.
    if (!(v > 0.0)) {
        result->setResult(
            QStringLiteral("⚠️ Венозная фаза (%1 HU) должна быть выше 0 HU — проверьте значения.").arg(f(v, 0)));
        return;
    }
    const clinical::AdrenalWashoutResult r = clinical::adrenalWashout(u, v, d);
    result->setResult(QStringLiteral("🔬 Вымывание контраста надпочечников:\n• Нативная: %1 HU  Венозная: %2 HU  "
                                     "Отсроченная: %3 HU\n• 👉 Абсолютное вымывание (APW): %4% → %5\n• 👉 Относительное "
                                     "вымывание (RPW): %6% → %7\n\nℹ️ Абсолютное вымывание ≥60% или относительное ≥40% "
                                     "— характерно для аденомы\nℹ️ Абсолютное вымывание применимо только если нативная "
                                     "фаза выполнена")
                          .arg(f(u, 0), f(v, 0), f(d, 0), f(r.absolutePercent, 1), r.absoluteText,
                               f(r.relativePercent, 1), r.relativeText));
}

AaaPage::AaaPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Аневризма брюшной аорты (АБА)</b><br>Максимальный поперечный диаметр (наружный "
                             "контур-наружный контур) по КТ/УЗИ. Пороги наблюдения/операции — консенсус SVS/ESVS."));
    diameter = makeSpinBox(1, 15, 4, " см");
    form->addRow(QStringLiteral("Максимальный диаметр аорты:"), diameter);
    sex = new QComboBox(this);
    sex->addItem(QStringLiteral("Мужской"), false);
    sex->addItem(QStringLiteral("Женский"), true);
    form->addRow(QStringLiteral("Пол:"), sex);
    result = finishCalculatorPage(this);
}

void AaaPage::calculate()
{
    const double d = diameter->value();
    result->setResult(QStringLiteral("🩸 Аневризма брюшной аорты:\n• Диаметр: %1 см (%2)\n• %3\n\nℹ️ Также показание к "
                                     "операции — рост >1 см/год или симптоматика, независимо от диаметра.\nℹ️ Society "
                                     "for Vascular Surgery / European Society for Vascular Surgery, консенсус")
                          .arg(f(d, 1), sex->currentText(), clinical::aaaDiameterText(d, sex->currentData().toBool())));
}

ChildPughPage::ChildPughPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Шкала Child-Pugh (тяжесть цирроза печени)</b><br>Актуально для планирования "
                             "интервенционных вмешательств (ТАХЭ, РЧА и т.п.) — класс C обычно считается "
                             "противопоказанием к агрессивным вмешательствам."));
    bilirubin = pointsCombo(this, {QStringLiteral("< 2 мг/дл (< 34 мкмоль/л) — 1 балл"),
                                   QStringLiteral("2–3 мг/дл (34–51 мкмоль/л) — 2 балла"),
                                   QStringLiteral("> 3 мг/дл (> 51 мкмоль/л) — 3 балла")});
    form->addRow(QStringLiteral("Билирубин:"), bilirubin);
    albumin = pointsCombo(this, {QStringLiteral("> 3.5 г/дл — 1 балл"), QStringLiteral("2.8–3.5 г/дл — 2 балла"),
                                 QStringLiteral("< 2.8 г/дл — 3 балла")});
    form->addRow(QStringLiteral("Альбумин:"), albumin);
    inr = pointsCombo(this, {QStringLiteral("< 1.7 — 1 балл"), QStringLiteral("1.7–2.3 — 2 балла"),
                             QStringLiteral("> 2.3 — 3 балла")});
    form->addRow(QStringLiteral("МНО:"), inr);
    ascites = pointsCombo(this, {QStringLiteral("Нет — 1 балл"),
                                 QStringLiteral("Незначительный (контролируется диуретиками) — 2 балла"),
                                 QStringLiteral("Умеренный/выраженный (плохо контролируется) — 3 балла")});
    form->addRow(QStringLiteral("Асцит:"), ascites);
    encephalopathy = pointsCombo(this, {QStringLiteral("Нет — 1 балл"), QStringLiteral("Степень I–II — 2 балла"),
                                        QStringLiteral("Степень III–IV — 3 балла")});
    form->addRow(QStringLiteral("Печёночная энцефалопатия:"), encephalopathy);
    result = finishCalculatorPage(this);
}

void ChildPughPage::calculate()
{
    const clinical::ChildPughResult r =
        clinical::childPugh(bilirubin->currentData().toInt(), albumin->currentData().toInt(), inr->currentData().toInt(),
                            ascites->currentData().toInt(), encephalopathy->currentData().toInt());
    result->setResult(QStringLiteral("🫘 Шкала Child-Pugh:\n• 👉 Сумма баллов: %1\n• 👉 Класс: %2\n• %3")
                          .arg(QString::number(r.total), r.childClass, r.survival));
}
