#include "clinical/RadiologyCalculatorHub.h"

#include "clinical/AbdominalPages.h"
#include "clinical/ChestPages.h"
#include "clinical/ContrastDexaPages.h"
#include "clinical/CtDoseFromDlpPage.h"
#include "clinical/NeuroMskPages.h"
#include "clinical/UroGynPages.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStackedWidget>
#include <QTreeWidget>

RadiologyCalculatorHub::RadiologyCalculatorHub(QWidget* parent, db::Database* db, const QString& studyUid)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Расчёты — рентгенологический калькулятор"));
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);
    resize(920, 640);

    auto* layout = new QHBoxLayout(this);
    tree = new QTreeWidget(this);
    tree->setHeaderHidden(true);
    tree->setMinimumWidth(260);
    tree->setMaximumWidth(320);
    stack = new QStackedWidget(this);
    layout->addWidget(tree, 0);
    layout->addWidget(stack, 1);

    auto* hint = new QLabel(QStringLiteral("Выберите калькулятор в списке слева."), stack);
    hint->setAlignment(Qt::AlignCenter);
    hint->setStyleSheet(QStringLiteral("color: #888; font-size: 14px;"));
    stack->addWidget(hint);

    connect(tree, &QTreeWidget::currentItemChanged, this, &RadiologyCalculatorHub::onCurrentItemChanged);

    const QString neuro = QStringLiteral("Нейрорадиология");
    addPage(neuro, QStringLiteral("Индекс Эванса"), new EvansIndexPage(this));
    addPage(neuro, QStringLiteral("Стеноз БЦА (NASCET/ECST)"), new NascetEcstPage(this));
    addPage(neuro, QStringLiteral("Объём ВМГ (ABC/2)"), new IchVolumePage(this));
    addPage(neuro, QStringLiteral("Объём субдуральной гематомы"), new SdhVolumePage(this));
    addPage(neuro, QStringLiteral("Срединное смещение"), new MidlineShiftPage(this));
    addPage(neuro, QStringLiteral("Шкала ASPECTS"), new AspectsPage(this));
    addPage(neuro, QStringLiteral("PHASES (риск разрыва аневризмы)"), new PhasesPage(this));
    addPage(neuro, QStringLiteral("ONSD (внутричерепное давление)"), new OnsdPage(this));
    const QString chest = QStringLiteral("Пульмонология");
    addPage(chest, QStringLiteral("Поражение лёгких при КТ (%)"), new CtLungInvolvementPage(this));
    addPage(chest, QStringLiteral("Гидроторакс (Хазлингер)"), new HydrothoraxPage(this));
    addPage(chest, QStringLiteral("Лёгочный коэффициент"), new LungCoefficientPage(this));
    addPage(chest, QStringLiteral("Кардиоторакальный индекс"), new CardiothoracicIndexPage(this));
    addPage(chest, QStringLiteral("Fleischner 2017 (случайные узлы лёгких)"), new FleischnerNodulePage(this));
    addPage(chest, QStringLiteral("RV/LV ratio (тяжесть ТЭЛА)"), new RvLvRatioPage(this));
    addPage(chest, QStringLiteral("Wells score (претестовая вероятность ТЭЛА)"), new WellsPePage(this));
    const QString abdomen = QStringLiteral("Абдоминальная радиология");
    addPage(abdomen, QStringLiteral("Объём печени"), new LiverVolumePage(this));
    addPage(abdomen, QStringLiteral("Селезёнка (индекс/объём/масса)"), new SpleenPage(this));
    addPage(abdomen, QStringLiteral("Вымывание контраста надпочечников"), new AdrenalWashoutPage(this));
    addPage(abdomen, QStringLiteral("Аневризма брюшной аорты"), new AaaPage(this));
    addPage(abdomen, QStringLiteral("Child-Pugh (тяжесть цирроза)"), new ChildPughPage(this));
    const QString uro = QStringLiteral("Уро-онкорадиология");
    addPage(uro, QStringLiteral("Объём простаты + PSA density"), new ProstateVolumePage(this));
    addPage(uro, QStringLiteral("Шкала RENAL"), new RenalScorePage(this));
    addPage(uro, QStringLiteral("Шкала PADUA"), new PaduaScorePage(this));
    addPage(uro, QStringLiteral("O-RADS МРТ (яичники)"), new OradsMriPage(this));
    addPage(uro, QStringLiteral("Объём яичника"), new OvarianVolumePage(this));
    addPage(QStringLiteral("DEXA"), QStringLiteral("T-score / Z-score"), new DexaScorePage(this));
    addPage(QStringLiteral("Контраст"), QStringLiteral("Доза контраста (учёт СКФ)"), new ContrastDosePage(this));
    addPage(QStringLiteral("Дозиметрия"), QStringLiteral("Эффективная доза КТ по Total DLP"),
            new CtDoseFromDlpPage(db, studyUid, this));

    const QString msk = QStringLiteral("Костно-мышечная система");
    addPage(msk, QStringLiteral("Шкала Meyerding (спондилолистез)"), new MeyerdingPage(this));
    addPage(msk, QStringLiteral("Индекс Insall-Salvati"), new InsallSalvatiPage(this));

    tree->expandAll();
}

void RadiologyCalculatorHub::addPage(const QString& category, const QString& title, QWidget* page)
{
    QTreeWidgetItem* parentItem = categoryItem(category);
    const int index = stack->addWidget(page);
    auto* item = new QTreeWidgetItem(parentItem, QStringList{title});
    item->setData(0, Qt::UserRole, index);
}

QTreeWidgetItem* RadiologyCalculatorHub::categoryItem(const QString& category)
{
    if (QTreeWidgetItem* existing = categories.value(category))
        return existing;
    auto* item = new QTreeWidgetItem(QStringList{category});
    QFont font = item->font(0);
    font.setWeight(QFont::Bold);
    item->setFont(0, font);
    item->setFlags(item->flags() & ~Qt::ItemIsSelectable);
    tree->addTopLevelItem(item);
    categories.insert(category, item);
    return item;
}

void RadiologyCalculatorHub::onCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem*)
{
    if (!current)
        return;
    const QVariant index = current->data(0, Qt::UserRole);
    if (index.isValid())
        stack->setCurrentIndex(index.toInt());
}
