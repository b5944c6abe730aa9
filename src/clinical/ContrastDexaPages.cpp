#include "clinical/ContrastDexaPages.h"

#include "clinical/CalculatorPageKit.h"
#include "clinical/ContrastDexaFormulas.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel* pageHeader(const QString& html, QWidget* parent)
{
    auto* header = new QLabel(html, parent);
    header->setWordWrap(true);
    header->setTextFormat(Qt::RichText);
    return header;
}

QDoubleSpinBox* scoreBox()
{
    return makeSpinBox(-6.0, 4.0, -1.0, nullptr);
}

} // namespace

ContrastDosePage::ContrastDosePage(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pageHeader(QStringLiteral("<b>Доза йодсодержащего контраста с учётом СКФ</b><br>СКФ вводится "
                                                 "напрямую (по результатам анализа крови пациента)."),
                                 this));
    auto* form = new QFormLayout;
    weight = makeSpinBox(1, 300, 70, " кг");
    form->addRow(QStringLiteral("Вес пациента:"), weight);
    egfr = makeSpinBox(1, 200, 90, " мл/мин/1.73м²");
    form->addRow(QStringLiteral("СКФ:"), egfr);
    layout->addLayout(form);
    auto* button = new QPushButton(QStringLiteral("Рассчитать"), this);
    connect(button, &QPushButton::clicked, this, &ContrastDosePage::calculate);
    layout->addWidget(button);
    result = new CalculatorResultPanel(this);
    layout->addWidget(result, 1);
}

void ContrastDosePage::calculate()
{
    // The KDIGO categories are bounded by whole numbers, as laboratories report eGFR: the page grades the
    // eGFR it prints, so that the category never contradicts the number beside it (29.9 prints 30, G3b).
    const double gfr = clinical::shownValue(egfr->value(), 0);
    const clinical::ContrastDoseResult r = clinical::contrastDoseByGfr(weight->value(), gfr);
    result->setResult(QStringLiteral("💉 Доза контраста:\n• Вес: %1 кг  СКФ: %2 мл/мин/1.73м²\n• Стандартная доза (1.5 "
                                     "мл/кг): %3 мл\n• 👉 Рекомендуемая безопасная доза: %4 мл\n• Риск КИН: %5\n• "
                                     "Рекомендация: %6\n\nℹ️ КИН — контраст-индуцированная нефропатия\nℹ️ "
                                     "Ориентировочный расчёт — окончательное решение за лечащим врачом")
                          .arg(weight->value(), 0, 'f', 1)
                          .arg(gfr, 0, 'f', 0)
                          .arg(r.standardMl, 0, 'f', 0)
                          .arg(r.maxMl, 0, 'f', 0)
                          .arg(r.risk)
                          .arg(r.advice));
}

DexaScorePage::DexaScorePage(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pageHeader(
        QStringLiteral("<b>Денситометрия (DEXA) — T-score / Z-score</b><br>T-score — критерии ВОЗ (для женщин в "
                       "постменопаузе и мужчин старше 50 лет). Z-score — сравнение с возрастной нормой (для молодых "
                       "пациентов и детей)."),
        this));
    auto* form = new QFormLayout;
    tScore = scoreBox();
    form->addRow(QStringLiteral("T-score:"), tScore);
    zScore = scoreBox();
    form->addRow(QStringLiteral("Z-score (если измерялся):"), zScore);
    site = new QComboBox(this);
    site->addItem(QStringLiteral("Поясничный отдел позвоночника"), QStringLiteral("поясничный отдел позвоночника"));
    site->addItem(QStringLiteral("Шейка бедра"), QStringLiteral("шейка бедра"));
    site->addItem(QStringLiteral("Дистальный отдел предплечья"), QStringLiteral("дистальный отдел предплечья"));
    site->addItem(QStringLiteral("Всё тело"), QStringLiteral("всё тело"));
    form->addRow(QStringLiteral("Область измерения:"), site);
    layout->addLayout(form);
    auto* button = new QPushButton(QStringLiteral("Рассчитать"), this);
    connect(button, &QPushButton::clicked, this, &DexaScorePage::calculate);
    layout->addWidget(button);
    result = new CalculatorResultPanel(this);
    layout->addWidget(result, 1);
}

void DexaScorePage::calculate()
{
    const QString siteText = site->currentData().toString();
    const double t = tScore->value();
    const double z = zScore->value();
    result->setResult(QStringLiteral("🦴 Денситометрия (DEXA):\n• Область: %1\n• T-score: %2 → %3\n• Z-score: %4 → "
                                     "%5\n• 👉 %6\n\nℹ️ Критерии ВОЗ для T-score (постменопауза/мужчины >50 лет)\nℹ️ "
                                     "Z-score — для молодых пациентов и детей")
                          .arg(siteText, QString::number(t, 'f', 1), clinical::tScoreText(t),
                               QString::number(z, 'f', 1), clinical::zScoreText(z),
                               clinical::dexaFractureRiskText(t, siteText)));
}
