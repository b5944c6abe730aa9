#include "clinical/UroGynPages.h"

#include "clinical/CalculatorPageKit.h"
#include "clinical/UroGynFormulas.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHash>
#include <QVBoxLayout>

#include <array>

namespace {

// Short citations of the published scores: journal and year.
const QString PaduaReference = QStringLiteral("Eur Urol, 2009");
const QString RenalReference = QStringLiteral("J Urol, 2009");

QComboBox* pointsCombo(QWidget* parent, const QList<QPair<QString, int>>& items)
{
    auto* combo = new QComboBox(parent);
    for (const auto& item : items)
        combo->addItem(item.first, item.second);
    return combo;
}

int points(const QComboBox* combo)
{
    return combo->currentData().toInt();
}

const QHash<QString, int>& primaryFindingScores()
{
    static const QHash<QString, int> table{{QStringLiteral("normal"), 1},
                                           {QStringLiteral("specific"), 2},
                                           {QStringLiteral("mostly_cystic"), 2},
                                           {QStringLiteral("multicystic"), 3}};
    return table;
}

// Solid tissue is scored by its time–intensity curve, or without DCE by its enhancement at 30–40 s
// against the myometrium; diffusion restriction never raises the score.
const QHash<QString, int>& enhancementScores()
{
    static const QHash<QString, int> table{{QStringLiteral("curve_low"), 3},
                                           {QStringLiteral("curve_mid"), 4},
                                           {QStringLiteral("curve_high"), 5},
                                           {QStringLiteral("plain_not_above"), 4},
                                           {QStringLiteral("plain_above"), 5},
                                           {QStringLiteral("peritoneal"), 5}};
    return table;
}

struct OradsCategory
{
    QString title;
    QString risk;
    QString management;
};

const std::array<OradsCategory, 6>& categoryTable()
{
    static const std::array<OradsCategory, 6> table{{
        {},
        {QStringLiteral("O-RADS MRI 1 — Норма"), QStringLiteral("0%"), QStringLiteral("Наблюдение не требуется")},
        {QStringLiteral("O-RADS MRI 2 — Почти наверняка доброкачественное"), QStringLiteral("<0.5%"),
         QStringLiteral("Рутинное наблюдение / не требует дообследования")},
        {QStringLiteral("O-RADS MRI 3 — Низкий риск"), QStringLiteral("<5%"),
         QStringLiteral("Краткосрочное МРТ-наблюдение или консультация гинеколога")},
        {QStringLiteral("O-RADS MRI 4 — Умеренный риск"), QStringLiteral("5–50%"),
         QStringLiteral("МРТ с ДВИ или консультация онкогинеколога")},
        {QStringLiteral("O-RADS MRI 5 — Высокий риск"), QStringLiteral(">50%"),
         QStringLiteral("Онкогинекологическая консультация / хирургия")},
    }};
    return table;
}

// Rows of their own, hidden at first, so that the page can show or hide them with their labels.
QWidget* addDependentRow(QWidget* page, const QList<QPair<QString, QComboBox*>>& rows)
{
    auto* row = new QWidget(page);
    auto* form = new QFormLayout(row);
    form->setContentsMargins(0, 0, 0, 0);
    for (const auto& [label, combo] : rows)
        form->addRow(label, combo);
    row->hide();
    static_cast<QVBoxLayout*>(page->layout())->addWidget(row);
    return row;
}

} // namespace

ProstateVolumePage::ProstateVolumePage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Объём простаты + PSA density</b><br>Три размера на МРТ/ТРУЗИ; PSA — необязательно, для "
                             "расчёта плотности."));
    a = makeSpinBox(1, 150, 45, " мм");
    form->addRow(QStringLiteral("A (поперечный):"), a);
    b = makeSpinBox(1, 150, 35, " мм");
    form->addRow(QStringLiteral("B (передне-задний):"), b);
    c = makeSpinBox(1, 150, 40, " мм");
    form->addRow(QStringLiteral("C (кранио-каудальный):"), c);
    psa = makeSpinBox(0, 200, 0, " нг/мл");
    form->addRow(QStringLiteral("PSA (0 — если не задан):"), psa);
    result = finishCalculatorPage(this);
}

void ProstateVolumePage::calculate()
{
    const double volume = clinical::prostateVolume(a->value(), b->value(), c->value());
    const double v = clinical::shownValue(volume, 1);
    QString psaPart;
    if (psa->value() > 0 && volume > 0) {
        const double density = clinical::shownValue(psa->value() / volume, 3);
        psaPart = QStringLiteral("\n• PSA: %1 нг/мл\n• 👉 PSA density: %2\n• %3")
                      .arg(QString::number(psa->value(), 'f', 2), QString::number(density, 'f', 3),
                           clinical::psaDensityText(density));
    }
    result->setResult(QStringLiteral("🔵 Объём простаты:\n• A: %1 мм  B: %2 мм  C: %3 мм\n• 👉 Объём = %4 см³\n• "
                                     "%5%6\n\nℹ️ Формула: V = 0.52 × A × B × C")
                          .arg(QString::number(a->value(), 'f', 1), QString::number(b->value(), 'f', 1),
                               QString::number(c->value(), 'f', 1), QString::number(v, 'f', 1),
                               clinical::prostateVolumeText(v), psaPart));
}

RenalScorePage::RenalScorePage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Шкала RENAL (нефрометрия)</b><br>Оценка сложности опухоли почки по КТ/МРТ перед "
                             "резекцией (%1).")
                  .arg(RenalReference));
    // The diagram goes between the header and the form.
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    auto* diagram = new ClickableZoomLabel(QStringLiteral(":/calc_diagrams/renal_polar_lines.jpg"), 180, 217, this);
    diagram->setAlignment(Qt::AlignCenter);
    layout->insertWidget(1, diagram);

    r = pointsCombo(this, {{QStringLiteral("≤4 см — 1 балл"), 1},
                           {QStringLiteral(">4 и <7 см — 2 балла"), 2},
                           {QStringLiteral("≥7 см — 3 балла"), 3}});
    form->addRow(QStringLiteral("R — макс. диаметр опухоли:"), r);
    e = pointsCombo(this, {{QStringLiteral("≥50% экзофитно — 1 балл"), 1},
                           {QStringLiteral("<50% экзофитно — 2 балла"), 2},
                           {QStringLiteral("Полностью эндофитно — 3 балла"), 3}});
    form->addRow(QStringLiteral("E — экзофитный/эндофитный компонент:"), e);
    n = pointsCombo(this, {{QStringLiteral("≥7 мм — 1 балл"), 1},
                           {QStringLiteral(">4 и <7 мм — 2 балла"), 2},
                           {QStringLiteral("≤4 мм — 3 балла"), 3}});
    form->addRow(QStringLiteral("N — расстояние до собирательной системы:"), n);
    anterior = new QComboBox(this);
    anterior->addItems({QStringLiteral("Передняя (a)"), QStringLiteral("Задняя (p)"), QStringLiteral("Неопределённая (x)")});
    form->addRow(QStringLiteral("A — расположение (описательно, не влияет на балл):"), anterior);
    l = pointsCombo(this, {{QStringLiteral("Полностью выше/ниже полярной линии — 1 балл"), 1},
                           {QStringLiteral("Пересекает полярную линию — 2 балла"), 2},
                           {QStringLiteral(">50% массы пересекает срединную линию / между полюсами — 3 балла"), 3}});
    form->addRow(QStringLiteral("L — расположение относительно полярных линий:"), l);
    result = finishCalculatorPage(this);
}

void RenalScorePage::calculate()
{
    const int sum = points(r) + points(e) + points(n) + points(l);
    static const QStringList letters{QStringLiteral("a"), QStringLiteral("p"), QStringLiteral("x")};
    const QString letter = letters.value(anterior->currentIndex(), QStringLiteral("x"));
    const clinical::NephrometryResult g = clinical::renalScoreText(sum);
    result->setResult((QStringLiteral("🎯 Шкала RENAL:\n• R=%1  E=%2  N=%3  A=%4  L=%5\n• 👉 Сумма: %6 (RENAL "
                                      "%6%7)\n• Сложность: %8\n• %9")
                           .arg(points(r))
                           .arg(points(e))
                           .arg(points(n))
                           .arg(letter)
                           .arg(points(l))
                           .arg(sum)
                           .arg(letter)
                           .arg(g.complexity)
                           .arg(g.advice))
                      + QStringLiteral("\n\nℹ️ ") + RenalReference);
}

PaduaScorePage::PaduaScorePage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Шкала PADUA (нефрометрия)</b><br>Альтернатива шкале RENAL для оценки сложности "
                             "резекции опухоли почки (%1).")
                  .arg(PaduaReference));
    // The six items of the published score; the sum runs from 6 to 14.
    polarLocation = pointsCombo(this, {{QStringLiteral("Верхний/нижний полюс (выше/ниже полярной линии) — 1 балл"), 1},
                                       {QStringLiteral("Средний сегмент (между полярными линиями) — 2 балла"), 2}});
    form->addRow(QStringLiteral("Расположение относительно полярных линий:"), polarLocation);
    exophytic = pointsCombo(this, {{QStringLiteral("≥50% экзофитно — 1 балл"), 1},
                                   {QStringLiteral("<50% экзофитно — 2 балла"), 2},
                                   {QStringLiteral("Полностью эндофитно — 3 балла"), 3}});
    form->addRow(QStringLiteral("Экзофитный/эндофитный компонент:"), exophytic);
    renalRim = pointsCombo(
        this, {{QStringLiteral("Латеральный край — 1 балл"), 1}, {QStringLiteral("Медиальный край — 2 балла"), 2}});
    form->addRow(QStringLiteral("Расположение относительно края почки:"), renalRim);
    renalSinus = pointsCombo(this, {{QStringLiteral("Не вовлечён — 1 балл"), 1}, {QStringLiteral("Вовлечён — 2 балла"), 2}});
    form->addRow(QStringLiteral("Вовлечение почечного синуса:"), renalSinus);
    collectingSystem = pointsCombo(this, {{QStringLiteral("Не вовлечена — 1 балл"), 1},
                                          {QStringLiteral("Вовлечена/смещена — 2 балла"), 2}});
    form->addRow(QStringLiteral("Собирательная система:"), collectingSystem);
    diameter = pointsCombo(this, {{QStringLiteral("≤4 см — 1 балл"), 1},
                                  {QStringLiteral("4.1–7 см — 2 балла"), 2},
                                  {QStringLiteral(">7 см — 3 балла"), 3}});
    form->addRow(QStringLiteral("Максимальный диаметр опухоли:"), diameter);
    result = finishCalculatorPage(this);
}

void PaduaScorePage::calculate()
{
    const int sum = points(polarLocation) + points(exophytic) + points(renalRim) + points(renalSinus)
                    + points(collectingSystem) + points(diameter);
    const clinical::NephrometryResult g = clinical::paduaScoreText(sum);
    result->setResult(QStringLiteral("🎯 Шкала PADUA:\n• 👉 Сумма: %1\n• Сложность: %2\n• %3")
                          .arg(sum)
                          .arg(g.complexity, g.advice)
                      + QStringLiteral("\n\nℹ️ ") + PaduaReference);
}

OradsMriPage::OradsMriPage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>O-RADS МРТ (ACR 2020)</b><br>Оценка образований придатков матки по МРТ "
                             "(T2/T1/ДВИ/DCE)."));
    primaryFinding = new QComboBox(this);
    primaryFinding->addItem(QStringLiteral("Нормальный яичник"), QStringLiteral("normal"));
    primaryFinding->addItem(QStringLiteral("Простая/геморрагическая киста ≤3 см"), QStringLiteral("simple_small"));
    primaryFinding->addItem(QStringLiteral("Дермоид / эндометриома / параовариальная киста"), QStringLiteral("specific"));
    primaryFinding->addItem(QStringLiteral("Кистозное ≥90% жидкости, гладкая стенка"), QStringLiteral("mostly_cystic"));
    primaryFinding->addItem(QStringLiteral("Многокамерное кистозное, нет солидного"), QStringLiteral("multicystic"));
    primaryFinding->addItem(QStringLiteral("Есть солидный компонент"), QStringLiteral("solid"));
    form->addRow(QStringLiteral("1. Основная характеристика:"), primaryFinding);

    cystFluid = new QComboBox(this);
    cystFluid->addItem(QStringLiteral("Простая жидкость"), false);
    cystFluid->addItem(QStringLiteral("Геморрагическое содержимое"), true);
    menopause = new QComboBox(this);
    menopause->addItem(QStringLiteral("Пременопауза"), false);
    menopause->addItem(QStringLiteral("Постменопауза"), true);
    cystRow = addDependentRow(this, {{QStringLiteral("Содержимое кисты:"), cystFluid},
                                     {QStringLiteral("Менопаузальный статус:"), menopause}});

    enhancement = new QComboBox(this);
    enhancement->addItem(QStringLiteral("Кривая DCE низкого риска (тип 1: без раннего подъёма)"),
                         QStringLiteral("curve_low"));
    enhancement->addItem(
        QStringLiteral("Кривая DCE промежуточного риска (тип 2: умеренный ранний подъём и плато)"),
        QStringLiteral("curve_mid"));
    enhancement->addItem(QStringLiteral("Кривая DCE высокого риска (тип 3: ранний подъём круче миометрия)"),
                         QStringLiteral("curve_high"));
    enhancement->addItem(QStringLiteral("Без DCE: накопление на 30–40 с не выше миометрия"),
                         QStringLiteral("plain_not_above"));
    enhancement->addItem(QStringLiteral("Без DCE: накопление на 30–40 с выше миометрия"),
                         QStringLiteral("plain_above"));
    enhancement->addItem(QStringLiteral("Перитонеальные импланты / асцит"), QStringLiteral("peritoneal"));
    dceRow = addDependentRow(this, {{QStringLiteral("2. Характер контрастирования (DCE):"), enhancement}});

    diffusion = new QComboBox(this);
    diffusion->addItem(QStringLiteral("Не тёмная (или неоднородная)"), false);
    diffusion->addItem(QStringLiteral("Однородно тёмная на T2 и на ДВИ высокого b"), true);
    dwiRow = addDependentRow(this, {{QStringLiteral("3. Солидная ткань на T2 и ДВИ:"), diffusion}});

    connect(primaryFinding, &QComboBox::currentIndexChanged, this, &OradsMriPage::onPrimaryFindingChanged);
    connect(enhancement, &QComboBox::currentIndexChanged, this, &OradsMriPage::onDceChanged);
    result = finishCalculatorPage(this);
}

void OradsMriPage::onPrimaryFindingChanged()
{
    cystRow->setVisible(primaryFinding->currentData().toString() == QLatin1String("simple_small"));
    dceRow->setVisible(primaryFinding->currentData().toString() == QLatin1String("solid"));
    onDceChanged();
}

void OradsMriPage::onDceChanged()
{
    // The T2/DWI question applies to solid tissue of any curve; peritoneal disease scores 5 whatever it says.
    dwiRow->setVisible(primaryFinding->currentData().toString() == QLatin1String("solid")
                       && enhancement->currentData().toString() != QLatin1String("peritoneal"));
}

void OradsMriPage::calculate()
{
    const QString primary = primaryFinding->currentData().toString();
    if (primary == QLatin1String("simple_small")) {
        // Up to 3 cm before the menopause a follicle or a haemorrhagic cyst is a normal ovary; otherwise a
        // unilocular cyst scores by its fluid, simple 2 and haemorrhagic 3 (O-RADS MRI lexicon, 2020).
        const int category = !menopause->currentData().toBool() ? 1 : cystFluid->currentData().toBool() ? 3 : 2;
        showCategory(category, QStringLiteral("%1 · %2 · %3")
                                   .arg(primaryFinding->currentText(), cystFluid->currentText(),
                                        menopause->currentText()));
        return;
    }
    const auto found = primaryFindingScores().constFind(primary);
    if (found != primaryFindingScores().constEnd()) {
        showCategory(found.value(), primaryFinding->currentText());
        return;
    }
    const QString dce = enhancement->currentData().toString();
    // Solid tissue homogeneously dark on T2 and on high-b DWI is almost certainly benign, whatever its curve.
    const bool dark = dce != QLatin1String("peritoneal") && diffusion->currentData().toBool();
    const QString detail = QStringLiteral("%1 · %2").arg(primaryFinding->currentText(),
                                                         dark ? diffusion->currentText() : enhancement->currentText());
    showCategory(dark ? 2 : enhancementScores().value(dce, 3), detail);
}

void OradsMriPage::showCategory(int category, const QString& detail)
{
    OradsCategory row;
    if (category >= 1 && category <= 5)
        row = categoryTable()[std::size_t(category)];
    result->setResult(QStringLiteral("🥚 O-RADS МРТ (ACR 2020):\n• Характеристика: %1\n• 👉 %2\n• Риск малигнизации: "
                                     "%3\n• Тактика: %4")
                          .arg(detail)
                          .arg(row.title)
                          .arg(row.risk)
                          .arg(row.management)
                      + QStringLiteral("\n\nℹ️ ACR O-RADS MRI 2020 (JAMA Netw Open, 2020)"));
}

OvarianVolumePage::OvarianVolumePage(QWidget* parent)
    : QWidget(parent)
{
    QFormLayout* form = startCalculatorPage(
        this, QStringLiteral("<b>Объём яичника</b><br>Три размера по УЗИ/МРТ, формула эллипсоида (та же, что для "
                             "простаты/селезёнки)."));
    length = makeSpinBox(0.1, 15.0, 3.0, " см");
    form->addRow(QStringLiteral("Длина:"), length);
    width = makeSpinBox(0.1, 15.0, 2.0, " см");
    form->addRow(QStringLiteral("Ширина:"), width);
    thickness = makeSpinBox(0.1, 15.0, 1.5, " см");
    form->addRow(QStringLiteral("Толщина:"), thickness);
    result = finishCalculatorPage(this);
}

void OvarianVolumePage::calculate()
{
    const double v =
        clinical::shownValue(clinical::ellipsoidVolume(length->value(), width->value(), thickness->value()), 1);
    result->setResult(QStringLiteral("🥚 Объём яичника:\n• L: %1 см  W: %2 см  H: %3 см\n• 👉 Объём = %4 см³\n• "
                                     "%5\n\nℹ️ Формула: V = 0.523 × L × W × H")
                          .arg(QString::number(length->value(), 'f', 1), QString::number(width->value(), 'f', 1),
                               QString::number(thickness->value(), 'f', 1), QString::number(v, 'f', 1),
                               clinical::ovarianVolumeText(v)));
}
