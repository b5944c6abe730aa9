#include "clinical/ClassificationHub.h"

#include "clinical/ReferencePages.h"

#include <QTreeWidget>

ClassificationHub::ClassificationHub(QWidget* parent)
    : CategoryHub(parent, QStringLiteral("Классификации — RADS и другие системы отчётности"),
                  QStringLiteral("Выберите классификацию в списке слева."))
{
    addPage(QStringLiteral("Молочная железа"), QStringLiteral("BI-RADS"), new BiRadsPage(this));
    const QString liver = QStringLiteral("Печень");
    addPage(liver, QStringLiteral("LI-RADS v2018 CT/МРТ"), new LiRadsPage(this));
    addPage(liver, QStringLiteral("Milan criteria (трансплантация при ГЦК)"), new MilanCriteriaPage(this));
    addPage(liver, QStringLiteral("Bismuth-Corlette (опухоль Клацкина)"), new BismuthCorlettePage(this));
    addPage(QStringLiteral("Простата"), QStringLiteral("PI-RADS v2.1"), new PiRadsPage(this));
    addPage(QStringLiteral("Яичники"), QStringLiteral("O-RADS US (ACR 2020)"), new OradsUsPage(this));
    addPage(QStringLiteral("Лёгкие"), QStringLiteral("Lung-RADS v2022"), new LungRadsPage(this));
    addPage(QStringLiteral("Щитовидная железа"), QStringLiteral("ACR TI-RADS"), new TiRadsPage(this));
    addPage(QStringLiteral("Сердце и сосуды"), QStringLiteral("CAD-RADS 2.0"), new CadRadsPage(this));
    const QString kidney = QStringLiteral("Почки");
    addPage(kidney, QStringLiteral("Bosniak v2019"), new BosniakPage(this));
    addPage(kidney, QStringLiteral("SFU/UTD (гидронефроз)"), new SfuUtdPage(this));
    const QString oncology = QStringLiteral("Онкология (общее)");
    addPage(oncology, QStringLiteral("RECIST 1.1 (ответ на лечение)"), new RecistPage(this));
    addPage(oncology, QStringLiteral("Deauville (ПЭТ при лимфоме)"), new DeauvillePage(this));
    const QString trauma = QStringLiteral("Травма");
    addPage(trauma, QStringLiteral("AAST (селезёнка/печень/почка)"), new AastOrganInjuryPage(this));
    addPage(trauma, QStringLiteral("Salter-Harris (детские переломы)"), new SalterHarrisPage(this));
    addPage(trauma, QStringLiteral("Garden (шейка бедренной кости)"), new GardenPage(this));
    addPage(trauma, QStringLiteral("Tile/AO (тазовое кольцо)"), new TileAoPage(this));
    addPage(trauma, QStringLiteral("Denver criteria (травма сосудов шеи, BCVI)"), new DenverCriteriaPage(this));
    const QString neuro = QStringLiteral("Нейрорадиология");
    addPage(neuro, QStringLiteral("Модифицированная шкала Фишера (САК)"), new ModifiedFisherPage(this));
    addPage(neuro, QStringLiteral("Hunt-Hess/WFNS (тяжесть САК)"), new HuntHessWfnsPage(this));
    addPage(neuro, QStringLiteral("Spetzler-Martin (АВМ)"), new SpetzlerMartinPage(this));
    const QString abdomen = QStringLiteral("Абдоминальная радиология");
    addPage(abdomen, QStringLiteral("Balthazar/CTSI (панкреатит)"), new BalthazarCtsiPage(this));
    addPage(abdomen, QStringLiteral("Hinchey (дивертикулит)"), new HincheyPage(this));
    addPage(abdomen, QStringLiteral("C-RADS (КТ-колонография)"), new CradsPage(this));
    const QString msk = QStringLiteral("Костно-мышечная система");
    addPage(msk, QStringLiteral("Pfirrmann (дегенерация дисков)"), new PfirrmannPage(this));
    addPage(msk, QStringLiteral("Kellgren-Lawrence (гонартроз)"), new KellgrenLawrencePage(this));
    addPage(msk, QStringLiteral("Goutallier (ротаторная манжета)"), new GoutallierPage(this));
    addPage(msk, QStringLiteral("Ficat (асептический некроз головки бедра)"), new FicatPage(this));
    addPage(msk, QStringLiteral("Modic changes (позвонки)"), new ModicChangesPage(this));
    addPage(msk, QStringLiteral("Risser sign (костный возраст, сколиоз)"), new RisserSignPage(this));

    tree->expandAll();
}
