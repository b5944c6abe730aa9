#include "clinical/NeuroMskPages.h"

#include "clinical/CalculatorPageKit.h"
#include "clinical/NeuroMskFormulas.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

namespace {

QString f(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QComboBox* pointsCombo(QWidget* parent, const QList<QPair<QString, int>>& items)
{
    auto* combo = new QComboBox(parent);
    for (const auto& item : items)
        combo->addItem(item.first, item.second);
    return combo;
}

} // namespace

EvansIndexPage::EvansIndexPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Индекс Эванса</b><br>EI = A / B — соотношение ширины передних рогов боковых "
                             "желудочков к максимальной внутренней ширине черепа."));
    a = makeSpinBox(0.1, 200, 30, " мм");
    form->addRow(QStringLiteral("A — ширина передних рогов:"), a);
    b = makeSpinBox(0.1, 300, 130, " мм");
    form->addRow(QStringLiteral("B — ширина черепа:"), b);
    result = finishCalculatorPage(this);
}

void EvansIndexPage::calculate()
{
    const double ei = clinical::shownValue(a->value() / b->value(), 2);
    result->setResult(QStringLiteral("🧠 Индекс Эванса:\n• A (передние рога): %1 мм\n• B (ширина черепа): %2 мм\n• 👉 "
                                     "EI = %3\n• %4")
                          .arg(f(a->value(), 1), f(b->value(), 1), f(ei, 2), clinical::evansIndexText(ei)));
}

NascetEcstPage::NascetEcstPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Стеноз БЦА (NASCET/ECST)</b><br>a — просвет на уровне бляшки · b — истинный диаметр "
                             "артерии (с бляшкой) · c — нормальный просвет проксимальнее/дистальнее бляшки"));
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    auto* panel = new QWidget(this);
    panel->setStyleSheet(QStringLiteral("background-color: white; border-radius: 8px;"));
    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(10, 10, 10, 10);
    auto* diagram = new ClickableZoomLabel(QStringLiteral(":/calc_diagrams/carotid_stenosis.png"), 200, 252, panel);
    diagram->setAlignment(Qt::AlignCenter);
    panelLayout->addWidget(diagram);
    layout->insertWidget(1, panel, 0, Qt::AlignHCenter);

    a = makeSpinBox(0, 50, 2, " мм");
    form->addRow(QStringLiteral("a — просвет на уровне бляшки:"), a);
    b = makeSpinBox(0.1, 50, 7, " мм");
    form->addRow(QStringLiteral("b — истинный диаметр артерии:"), b);
    c = makeSpinBox(0.1, 50, 6, " мм");
    form->addRow(QStringLiteral("c — нормальный просвет:"), c);
    result = finishCalculatorPage(this);
}

void NascetEcstPage::calculate()
{
    const double av = a->value();
    const double bv = b->value();
    const double cv = c->value();
    if (cv == 0.0 || bv == 0.0) {
        result->setResult(QStringLiteral("⚠️ Деление на ноль. Проверьте значения b и c."));
        return;
    }
    // A residual lumen wider than a reference diameter would give a negative stenosis, graded as mild.
    if (av > bv || av > cv) {
        result->setResult(
            QStringLiteral("⚠️ Просвет на уровне бляшки (a = %1 мм) не может быть больше диаметра артерии (b = %2 мм) "
                           "или нормального просвета (c = %3 мм). Проверьте значения a, b и c.")
                .arg(f(av, 1), f(bv, 1), f(cv, 1)));
        return;
    }
    const double nascet = clinical::shownValue((1.0 - av / cv) * 100.0, 1);
    const double ecst = (1.0 - av / bv) * 100.0;
    // The treatment bands are NASCET's: ECST reads higher for the same lesion (a 4, b 10, c 6 gives NASCET
    // 33 % and ECST 60 %), so grading it with them would give contradictory advice. Its thresholds are below.
    result->setResult(QStringLiteral("🫀 Стеноз БЦА:\n• a: %1 мм  b: %2 мм  c: %3 мм\n• NASCET: %4% → %5\n• ECST:   %6% "
                                     "(пороги ЭКЭ для ECST — ниже)\n\n⚕️ ЭКЭ показана:\n• Симптомные: ≥50% (NASCET) / "
                                     "≥70% (ECST)\n• Асимптомные: ≥60% (NASCET) / ≥70% (ECST)")
                          .arg(f(av, 1), f(bv, 1), f(cv, 1), f(nascet, 1), clinical::carotidStenosisText(nascet),
                               f(ecst, 1)));
}

IchVolumePage::IchVolumePage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Объём внутримозговой гематомы (ABC/2)</b><br>A — наибольший диаметр на аксиальном "
                             "срезе · B — перпендикулярный диаметр на том же срезе · C — высота гематомы (число срезов × "
                             "толщина среза)"));
    a = makeSpinBox(1, 200, 30, " мм");
    form->addRow(QStringLiteral("A:"), a);
    b = makeSpinBox(1, 200, 25, " мм");
    form->addRow(QStringLiteral("B:"), b);
    c = makeSpinBox(1, 200, 40, " мм");
    form->addRow(QStringLiteral("C (срезов × толщина):"), c);
    result = finishCalculatorPage(this);
}

void IchVolumePage::calculate()
{
    const double v = clinical::shownValue(
        clinical::abcOver2Volume(a->value() / 10.0, b->value() / 10.0, c->value() / 10.0), 1);
    result->setResult(QStringLiteral("🧠 Объём внутримозговой гематомы:\n• A: %1 мм  B: %2 мм  C: %3 мм\n• 👉 Объём = "
                                     "%4 мл\n• %5\n\nℹ️ Формула ABC/2 (Stroke, 1996)\nℹ️ Точность ±10% по сравнению с "
                                     "планиметрией")
                          .arg(f(a->value(), 0), f(b->value(), 0), f(c->value(), 0), f(v, 1),
                               clinical::ichVolumeText(v)));
}

SdhVolumePage::SdhVolumePage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Объём субдуральной гематомы</b><br>Модифицированная ABC/2 для серповидной формы."));
    a = makeSpinBox(1, 200, 15, " мм");
    form->addRow(QStringLiteral("A — наибольшая толщина:"), a);
    b = makeSpinBox(1, 300, 120, " мм");
    form->addRow(QStringLiteral("B — длина вдоль черепа:"), b);
    c = makeSpinBox(1, 200, 40, " мм");
    form->addRow(QStringLiteral("C — высота (число срезов × толщина среза):"), c);
    result = finishCalculatorPage(this);
}

void SdhVolumePage::calculate()
{
    const double v = clinical::shownValue(
        clinical::abcOver2Volume(a->value() / 10.0, b->value() / 10.0, c->value() / 10.0), 1);
    const double thickness = clinical::shownValue(a->value(), 0);
    result->setResult(QStringLiteral("🧠 Объём субдуральной гематомы:\n• A (толщина): %1 мм\n• B (длина): %2 мм\n• C "
                                     "(высота): %3 мм\n• 👉 Объём = %4 мл\n• %5\n\nℹ️ Показания к хирургии: "
                                     "толщина >10 мм\nили смещение срединных структур >5 мм — независимо от ШКГ "
                                     "(Neurosurgery, 2006)")
                          .arg(f(thickness, 0), f(b->value(), 0), f(c->value(), 0), f(v, 1),
                               clinical::sdhGradeText(v, thickness)));
}

MidlineShiftPage::MidlineShiftPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Срединное смещение</b><br>Измеряется на аксиальном срезе КТ/МРТ на уровне прозрачной "
                             "перегородки (septum pellucidum) — смещение = |фактическое расстояние − ожидаемое "
                             "расстояние (половина поперечного размера черепа)|."));
    actual = makeSpinBox(0, 150, 65, " мм");
    form->addRow(QStringLiteral("Фактическое расстояние (falx → septum pellucidum):"), actual);
    expected = makeSpinBox(0, 150, 65, " мм");
    form->addRow(QStringLiteral("Ожидаемое расстояние (½ поперечного размера черепа):"), expected);
    result = finishCalculatorPage(this);
}

void MidlineShiftPage::calculate()
{
    const double shift =
        clinical::shownValue(clinical::absoluteDifference(actual->value(), expected->value()), 1);
    result->setResult(QStringLiteral("📏 Срединное смещение:\n• Фактическое расстояние: %1 мм\n• Ожидаемое расстояние: "
                                     "%2 мм\n• 👉 Смещение = %3 мм\n• %4\n\nℹ️ Смещение >5 мм — показание к "
                                     "нейрохирургической консультации\nℹ️ Смещение >10 мм — риск транстенториального "
                                     "вклинения")
                          .arg(f(actual->value(), 1), f(expected->value(), 1), f(shift, 1),
                               clinical::midlineShiftText(shift)));
}

AspectsPage::AspectsPage(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    auto* header = new QLabel(QStringLiteral("<b>Шкала ASPECTS (бассейн СМА)</b><br>Отметьте поражённые зоны — счёт "
                                             "считается автоматически (10 минус число отмеченных)."),
                              this);
    header->setWordWrap(true);
    header->setTextFormat(Qt::RichText);
    layout->addWidget(header);
    auto* diagram = new ClickableZoomLabel(QStringLiteral(":/calc_diagrams/aspects.png"), 420, 588, this);
    diagram->setAlignment(Qt::AlignCenter);
    layout->addWidget(diagram);

    auto* grid = new QGridLayout;
    const auto& regions = clinical::aspectsRegions();
    for (int i = 0; i < int(regions.size()); ++i) {
        const QString code = regions[std::size_t(i)].first;
        auto* button = new QPushButton(QStringLiteral("%1 — %2").arg(code, regions[std::size_t(i)].second), this);
        button->setObjectName(code);
        button->setCheckable(true);
        button->setStyleSheet(QStringLiteral(
            "QPushButton { text-align: left; padding: 6px; }QPushButton:checked { background-color: #b0413e; color: "
            "white; }"));
        connect(button, &QPushButton::clicked, this, [this, code, button] { toggleRegion(code, button); });
        grid->addWidget(button, i / 2, i % 2);
    }
    layout->addLayout(grid);

    scoreLabel = new QLabel(QStringLiteral("Текущий счёт: 10/10"), this);
    QFont font = scoreLabel->font();
    font.setWeight(QFont::Bold);
    font.setPointSize(font.pointSize() + 2);
    scoreLabel->setFont(font);
    layout->addWidget(scoreLabel);
    result = finishCalculatorPage(this);
}

void AspectsPage::toggleRegion(const QString& code, QPushButton*)
{
    if (affected.contains(code))
        affected.remove(code);
    else
        affected.insert(code);
    scoreLabel->setText(QStringLiteral("Текущий счёт: %1/10").arg(10 - affected.size()));
}

void AspectsPage::calculate()
{
    const int score = 10 - int(affected.size());
    // Zones in score-sheet order, so the text does not depend on the set's hashing.
    QStringList codes;
    for (const auto& region : clinical::aspectsRegions()) {
        if (affected.contains(region.first))
            codes << region.first;
    }
    const QString zones = codes.isEmpty() ? QStringLiteral("нет") : codes.join(QStringLiteral(", "));
    result->setResult(QStringLiteral("🧠 ASPECTS:\n• Поражённые зоны: %1\n• 👉 Счёт: %2/10\n• %3\n• 💡 %4\n\nℹ️ ASPECTS "
                                     "≥6 — критерий отбора для тромбэкстракции (ESO/ESMINT)\nℹ️ Alberta Stroke Program "
                                     "Early CT Score")
                          .arg(zones, QString::number(score), clinical::aspectsInterpretationText(score),
                               clinical::aspectsReperfusionText(score)));
}

PhasesPage::PhasesPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>PHASES score</b><br>5-летний риск разрыва бессимптомной случайно выявленной мешотчатой "
                             "аневризмы.<br>P — популяция · H — гипертензия · A — возраст · S — размер · E — ранее САК · "
                             "S — локализация"));
    population = pointsCombo(this, {{QStringLiteral("Северная Америка / Европа (не Финляндия)"), 0},
                                    {QStringLiteral("Япония"), 3},
                                    {QStringLiteral("Финляндия"), 5}});
    form->addRow(QStringLiteral("Популяция:"), population);
    hypertension = pointsCombo(this, {{QStringLiteral("Нет артериальной гипертензии"), 0},
                                      {QStringLiteral("Есть АГ (АД >140/90 или гипотензивные)"), 1}});
    form->addRow(QStringLiteral("Гипертензия:"), hypertension);
    age = pointsCombo(this, {{QStringLiteral("Моложе 70 лет"), 0}, {QStringLiteral("70 лет и старше"), 1}});
    form->addRow(QStringLiteral("Возраст:"), age);
    size = pointsCombo(this, {{QStringLiteral("Менее 7 мм"), 0},
                              {QStringLiteral("7.0–9.9 мм"), 3},
                              {QStringLiteral("10.0–19.9 мм"), 6},
                              {QStringLiteral("20 мм и более (гигантская)"), 10}});
    form->addRow(QStringLiteral("Размер аневризмы:"), size);
    earlierSah = pointsCombo(this, {{QStringLiteral("Нет"), 0}, {QStringLiteral("Да, было САК из другой аневризмы"), 1}});
    form->addRow(QStringLiteral("Ранее перенесённое САК:"), earlierSah);
    site = pointsCombo(this, {{QStringLiteral("ВСА (внутренняя сонная артерия)"), 0},
                              {QStringLiteral("СМА (средняя мозговая артерия)"), 2},
                              {QStringLiteral("ПМА / ЗСА / задняя циркуляция"), 4}});
    form->addRow(QStringLiteral("Локализация:"), site);
    result = finishCalculatorPage(this);
}

void PhasesPage::calculate()
{
    int score = 0;
    for (QComboBox* combo : {population, hypertension, age, size, earlierSah, site})
        score += combo->currentData().toInt();
    result->setResult(
        QStringLiteral("🧠 PHASES score — риск разрыва аневризмы:\n━━━━━━━━━━━━━━━━━━\n• 👉 Сумма баллов: %1\n• 5-летний "
                       "риск разрыва: %2\n• %3\n\n📊 Шкала риска по баллам:\n  0–2 → 0.4%\n  3 → 0.7%\n  4 → 0.9%\n  5 → "
                       "1.3%\n  6 → 1.7%\n  7 → 2.4%\n  8 → 3.2%\n  9 → 4.3%\n  10 → 5.3%\n  11 → 7.2%\n  ≥12 → "
                       "17.8%\n\nℹ️ Шкала применяется только для бессимптомных случайно выявленных мешотчатых "
                       "аневризм\nℹ️ Не учитывает: курение, пол, морфологию аневризмы, семейный анамнез\nℹ️ Lancet "
                       "Neurology, 2014")
            .arg(QString::number(score), clinical::phasesFiveYearRisk(score), clinical::phasesRiskText(score)));
}

OnsdPage::OnsdPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>ONSD — диаметр оболочки зрительного нерва</b><br>Косвенный неинвазивный маркер "
                             "повышенного внутричерепного давления. Измеряется на 3 мм кзади от заднего полюса глазного "
                             "яблока, перпендикулярно ходу нерва (УЗИ/КТ/МРТ орбит)."));
    diameter = makeSpinBox(1, 15, 4.5, " мм");
    form->addRow(QStringLiteral("Диаметр оболочки зрительного нерва:"), diameter);
    result = finishCalculatorPage(this);
}

void OnsdPage::calculate()
{
    result->setResult(QStringLiteral("👁️ ONSD:\n• Диаметр: %1 мм\n• %2\n\nℹ️ Порог варьирует по модальности/методике (в "
                                     "литературе указывается диапазон ~5.0–6.0 мм) — ориентировочный обобщённый порог "
                                     "5.0 мм, не жёсткий диагностический критерий")
                          .arg(f(diameter->value(), 1), clinical::onsdText(diameter->value())));
}

MeyerdingPage::MeyerdingPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Шкала Meyerding (спондилолистез)</b><br>Степень смещения тела позвонка относительно "
                             "нижележащего, по боковой рентгенограмме/сагиттальной МРТ. % смещения = расстояние "
                             "смещения / переднезадний размер верхней замыкательной пластинки нижележащего позвонка × "
                             "100."));
    apSize = makeSpinBox(1, 100, 35, " мм");
    form->addRow(QStringLiteral("Переднезадний размер нижележащего позвонка:"), apSize);
    displacement = makeSpinBox(0, 100, 5, " мм");
    form->addRow(QStringLiteral("Расстояние смещения:"), displacement);
    result = finishCalculatorPage(this);
}

void MeyerdingPage::calculate()
{
    const double ap = apSize->value();
    const double percent = clinical::shownValue(ap > 0 ? displacement->value() / ap * 100.0 : 0.0, 1);
    result->setResult(QStringLiteral("🦴 Шкала Meyerding:\n• Размер позвонка: %1 мм\n• Смещение: %2 мм\n• 👉 % смещения "
                                     "= %3%\n• %4")
                          .arg(f(ap, 1), f(displacement->value(), 1), f(percent, 1),
                               clinical::meyerdingGradeText(percent)));
}

InsallSalvatiPage::InsallSalvatiPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Индекс Insall-Salvati (высота стояния надколенника)</b><br>Отношение длины сухожилия "
                             "надколенника к длине самого надколенника — по боковой рентгенограмме или сагиттальной МРТ "
                             "коленного сустава в разгибании."));
    tendon = makeSpinBox(1, 150, 45, " мм");
    form->addRow(QStringLiteral("Длина сухожилия надколенника:"), tendon);
    patella = makeSpinBox(1, 100, 40, " мм");
    form->addRow(QStringLiteral("Длина надколенника:"), patella);
    result = finishCalculatorPage(this);
}

void InsallSalvatiPage::calculate()
{
    const double ratio = clinical::shownValue(clinical::safeRatio(tendon->value(), patella->value()), 2);
    result->setResult(QStringLiteral("🦵 Индекс Insall-Salvati:\n• Длина сухожилия: %1 мм\n• Длина надколенника: %2 "
                                     "мм\n• 👉 ИС = %3\n• %4\n\nℹ️ Норма 0.8–1.2; Radiology, 1971")
                          .arg(f(tendon->value(), 1), f(patella->value(), 1), f(ratio, 2),
                               clinical::insallSalvatiText(ratio)));
}
