#include "clinical/RadiologyCalculatorHub.h"

#include "clinical/AbdominalPages.h"
#include "clinical/ChestPages.h"
#include "clinical/ContrastDexaPages.h"
#include "clinical/CtDoseFromDlpPage.h"
#include "clinical/NeuroMskPages.h"
#include "clinical/UroGynPages.h"

#include <QTreeWidget>

RadiologyCalculatorHub::RadiologyCalculatorHub(QWidget* parent, db::Database* db, const QString& studyUid)
    : CategoryHub(parent, QStringLiteral("Расчёты — рентгенологический калькулятор"),
                  QStringLiteral("Выберите калькулятор в списке слева."))
{
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
