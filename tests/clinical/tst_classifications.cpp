// The classification reference hub (tree, stack, read-only pages, opened from the viewer) and the
// stenosis grade text of the vessel analysis summary.
#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ToolBarAction.h"
#include "clinical/ClassificationHub.h"
#include "clinical/RadiologyCalculatorHub.h"
#include "clinical/ReferencePages.h"
#include "clinical/StenosisGrading.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolBar>
#include <QTreeWidget>
#include <QtTest>

#include <limits>

namespace {
QTreeWidgetItem* pageItem(const ClassificationHub& hub, const QString& title)
{
    for (int c = 0; c < hub.tree->topLevelItemCount(); ++c) {
        QTreeWidgetItem* category = hub.tree->topLevelItem(c);
        for (int i = 0; i < category->childCount(); ++i) {
            if (category->child(i)->text(0) == title)
                return category->child(i);
        }
    }
    return nullptr;
}
} // namespace

class TstClassifications : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void stenosisBands_data()
    {
        QTest::addColumn<double>("percent");
        QTest::addColumn<QString>("text");
        const QString low = QStringLiteral("<50% — гемодинамически незначимый");
        const QString moderate =
            QStringLiteral("50–69% — умеренный, может быть значимым в зависимости от бассейна и клиники");
        const QString severe = QStringLiteral("70–89% — выраженный, как правило гемодинамически значимый");
        const QString critical = QStringLiteral("≥90% — критический, субокклюзия");
        const QString occlusion = QStringLiteral("100% — окклюзия просвета");
        QTest::newRow("wider than reference") << -12.0 << low;
        QTest::newRow("zero") << 0.0 << low;
        QTest::newRow("49.9") << 49.9 << low;
        QTest::newRow("50") << 50.0 << moderate;
        QTest::newRow("69.99") << 69.99 << moderate;
        QTest::newRow("70") << 70.0 << severe;
        QTest::newRow("89.9") << 89.9 << severe;
        QTest::newRow("90") << 90.0 << critical;
        QTest::newRow("99.9") << 99.9 << critical;
        QTest::newRow("100") << 100.0 << occlusion;
        QTest::newRow("104") << 104.0 << occlusion;
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << occlusion;
    }

    void stenosisBands()
    {
        QFETCH(double, percent);
        QFETCH(QString, text);
        QCOMPARE(clinical::stenosisGradeText(percent), text);
    }

    void hubLayoutAndNavigation()
    {
        ClassificationHub hub(nullptr);
        QCOMPARE(hub.windowTitle(), QStringLiteral("Классификации — RADS и другие системы отчётности"));
        QVERIFY(hub.windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!hub.isModal());
        QCOMPARE(hub.size(), QSize(920, 640));
        QVERIFY(hub.tree->isHeaderHidden());
        QCOMPARE(hub.tree->minimumWidth(), 260);
        QCOMPARE(hub.tree->maximumWidth(), 320);
        QVERIFY(!hub.tree->currentItem());

        // The fresh hub shows its hint.
        QCOMPARE(hub.stack->currentIndex(), 0);
        auto* hint = qobject_cast<QLabel*>(hub.stack->widget(0));
        QVERIFY(hint);
        QCOMPARE(hint->text(), QStringLiteral("Выберите классификацию в списке слева."));
        QCOMPARE(hint->styleSheet(), QStringLiteral("color: #888; font-size: 14px;"));

        // Categories in order, each expanded, not selectable, with its pages in order.
        QStringList categories;
        QStringList titles;
        for (int c = 0; c < hub.tree->topLevelItemCount(); ++c) {
            QTreeWidgetItem* category = hub.tree->topLevelItem(c);
            categories << category->text(0);
            QVERIFY(category->isExpanded());
            QVERIFY(!(category->flags() & Qt::ItemIsSelectable));
            QVERIFY(category->font(0).bold());
            QCOMPARE(hub.categories.value(category->text(0)), category);
            for (int i = 0; i < category->childCount(); ++i)
                titles << category->child(i)->text(0);
        }
        QCOMPARE(categories, ExpectedCategories);
        QCOMPARE(titles, ExpectedTitles);
        QCOMPARE(hub.stack->count(), 31);
        QCOMPARE(ExpectedTitles.size(), 30);

        // Each title leads to its own page, in the order of the list; a category leaves the page as it was.
        for (int i = 0; i < ExpectedTitles.size(); ++i) {
            hub.tree->setCurrentItem(pageItem(hub, ExpectedTitles.at(i)));
            QCOMPARE(hub.stack->currentIndex(), i + 1);
            QVERIFY(qobject_cast<ReferencePageBase*>(hub.stack->currentWidget()));
        }
        hub.tree->setCurrentItem(pageItem(hub, QStringLiteral("BI-RADS")));
        QCOMPARE(hub.stack->currentIndex(), 1);
        QVERIFY(qobject_cast<BiRadsPage*>(hub.stack->currentWidget()));
        hub.tree->setCurrentItem(hub.tree->topLevelItem(1));
        QCOMPARE(hub.stack->currentIndex(), 1);
        hub.tree->setCurrentItem(pageItem(hub, QStringLiteral("Risser sign (костный возраст, сколиоз)")));
        QCOMPARE(hub.stack->currentIndex(), 30);
        QVERIFY(qobject_cast<RisserSignPage*>(hub.stack->currentWidget()));

        QList<int> perCategory;
        for (int c = 0; c < hub.tree->topLevelItemCount(); ++c)
            perCategory << hub.tree->topLevelItem(c)->childCount();
        QCOMPARE(perCategory, (QList<int>{1, 3, 1, 1, 1, 1, 1, 2, 2, 5, 3, 3, 6}));

        // Category names shared with the calculator hub are this hub's own items.
        RadiologyCalculatorHub calculators(nullptr, nullptr, QString());
        for (const QString& shared : {QStringLiteral("Нейрорадиология"), QStringLiteral("Абдоминальная радиология"),
                                      QStringLiteral("Костно-мышечная система")}) {
            QTreeWidgetItem* own = hub.categories.value(shared);
            QVERIFY(own);
            QCOMPARE(own->treeWidget(), hub.tree);
            QVERIFY(own != calculators.categories.value(shared));
        }
        QCOMPARE(hub.categories.value(QStringLiteral("Нейрорадиология"))->child(0)->text(0),
                 QStringLiteral("Модифицированная шкала Фишера (САК)"));

        hub.show();
        hub.tree->setCurrentItem(pageItem(hub, QStringLiteral("Spetzler-Martin (АВМ)")));
    }

    void pagesAreReadOnlyTablesWithoutLinks()
    {
        ClassificationHub hub(nullptr);
        for (int i = 1; i < hub.stack->count(); ++i) {
            QWidget* page = hub.stack->widget(i);
            const QList<QTextBrowser*> browsers = page->findChildren<QTextBrowser*>();
            QCOMPARE(browsers.size(), 1);
            QTextBrowser* browser = browsers.first();
            QVERIFY(browser->isReadOnly());
            QVERIFY(!browser->openExternalLinks());
            QCOMPARE(page->layout()->contentsMargins(), QMargins(4, 4, 4, 4));
            const QString html = browser->toHtml();
            QVERIFY2(!html.contains(QLatin1String("<a ")), qPrintable(QString::number(i)));
            // Every page names its system in a heading and ends with its source.
            QVERIFY(!browser->document()->toPlainText().trimmed().isEmpty());
            QVERIFY2(browser->document()->toPlainText().contains(QStringLiteral("Источник")),
                     qPrintable(QString::number(i)));
        }
    }

    void biRadsText()
    {
        BiRadsPage page(nullptr);
        auto* browser = page.findChild<QTextBrowser*>();
        QVERIFY(browser);
        const QString text = browser->document()->toPlainText();
        QVERIFY(text.startsWith(QStringLiteral("BI-RADS")));
        // Comparison signs display as signs, not as entity names.
        QVERIFY(text.contains(QStringLiteral(">0–≤2%")));
        QVERIFY(text.contains(QStringLiteral(">50–<95%")));
        QVERIFY(!text.contains(QStringLiteral("&gt;")));
        for (const QString& category : {QStringLiteral("4A"), QStringLiteral("4B"), QStringLiteral("4C"),
                                        QStringLiteral("≥95%"), QStringLiteral("100%")})
            QVERIFY2(text.contains(category), qPrintable(category));
        QVERIFY(text.contains(QStringLiteral("только при скрининге")));
    }

    // Transition zone: DWI 4 or 5 upgrades T2 score 2 to 3, only DWI 5 upgrades 3 to 4.
    void piRadsTransitionZone()
    {
        PiRadsPage page(nullptr);
        const QString text = page.findChild<QTextBrowser*>()->document()->toPlainText();
        QVERIFY(text.contains(QStringLiteral("DWI 4 или 5 повышает категорию 2 до 3")));
        QVERIFY(text.contains(QStringLiteral("DWI 5 повышает категорию 3 до 4")));
        QVERIFY(!text.contains(QStringLiteral("DWI ≥4")));
    }

    // Antenatal UTD thresholds for both gestational ages.
    void utdThresholds()
    {
        SfuUtdPage page(nullptr);
        const QStringList lines = page.findChild<QTextBrowser*>()->document()->toPlainText().split(QLatin1Char('\n'));
        const QString a1 = lines.value(lines.indexOf(QStringLiteral("A1 / P1")) + 2);
        const QString a23 = lines.value(lines.indexOf(QStringLiteral("A2-3 / P2")) + 2);
        QVERIFY2(a1.contains(QStringLiteral("16–27 нед. — 4–<7 мм")) && a1.contains(QStringLiteral("≥28 нед. — 7–<10 мм")),
                 qPrintable(a1));
        QVERIFY2(a23.contains(QStringLiteral("16–27 нед. — ≥7 мм")) && a23.contains(QStringLiteral("≥28 нед. — ≥10 мм")),
                 qPrintable(a23));
    }

    // Kidney injury: thrombosis with infarction is grade IV; grade V is main-vessel laceration or avulsion, a
    // devascularised kidney with active bleeding, or a shattered kidney.
    void aastKidney()
    {
        AastOrganInjuryPage page(nullptr);
        QStringList lines = page.findChild<QTextBrowser*>()->document()->toPlainText().split(QLatin1Char('\n'));
        lines = lines.mid(lines.indexOf(QStringLiteral("Почка")));
        const QString grade4 = lines.value(lines.indexOf(QStringLiteral("IV")) + 1);
        const QString grade5 = lines.value(lines.indexOf(QStringLiteral("V")) + 1);
        QVERIFY2(grade4.contains(QStringLiteral("инфаркт почки вследствие тромбоза")), qPrintable(grade4));
        QVERIFY2(!grade5.contains(QStringLiteral("тромбоз")), qPrintable(grade5));
        for (const QString& key : {QStringLiteral("разрыв магистральной почечной артерии или вены"),
                                   QStringLiteral("деваскуляризированная почка с активным кровотечением"),
                                   QStringLiteral("Размозжённая почка")})
            QVERIFY2(grade5.contains(key), qPrintable(key));
    }

    void openedFromViewer()
    {
        dicom::registerMetaTypes();
        db::Database index;
        QVERIFY(index.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
        fixtures::SeriesLayout layout;
        layout.rows = 16;
        layout.columns = 16;
        layout.slices = 2;
        QVERIFY(fixtures::writeAndIndexSeries(index, m_dir.filePath(QStringLiteral("ct")), layout));

        ViewerWindow viewer(&index, layout.studyUid, layout.seriesUid);
        viewer.setAttribute(Qt::WA_DeleteOnClose, false);
        QAction* action = fixtures::toolBarAction(viewer.toolBar(), QStringLiteral("classifications"));
        QVERIFY(action);
        QVERIFY(action->isEnabled());
        QCOMPARE(action->text(), QStringLiteral("Классификации"));

        action->trigger();
        action->trigger();
        const QList<ClassificationHub*> hubs = viewer.findChildren<ClassificationHub*>();
        QCOMPARE(hubs.size(), 2);
        QPointer<ClassificationHub> first = hubs.at(0);
        QPointer<ClassificationHub> second = hubs.at(1);
        QCOMPARE(first->parentWidget(), &viewer);
        QVERIFY(first->isVisible() && !first->isModal());
        QVERIFY(first->testAttribute(Qt::WA_DeleteOnClose));
        first->close();
        QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 30000);
        QVERIFY(!second.isNull());
        QVERIFY(second->isVisible());
        second->close();
        QTRY_VERIFY_WITH_TIMEOUT(second.isNull(), 30000);
    }

private:
    const QStringList ExpectedCategories{
        QStringLiteral("Молочная железа"), QStringLiteral("Печень"),  QStringLiteral("Простата"),
        QStringLiteral("Яичники"),         QStringLiteral("Лёгкие"),  QStringLiteral("Щитовидная железа"),
        QStringLiteral("Сердце и сосуды"), QStringLiteral("Почки"),   QStringLiteral("Онкология (общее)"),
        QStringLiteral("Травма"),          QStringLiteral("Нейрорадиология"), QStringLiteral("Абдоминальная радиология"),
        QStringLiteral("Костно-мышечная система"),
    };
    const QStringList ExpectedTitles{
        QStringLiteral("BI-RADS"),
        QStringLiteral("LI-RADS v2018 CT/МРТ"),
        QStringLiteral("Milan criteria (трансплантация при ГЦК)"),
        QStringLiteral("Bismuth-Corlette (опухоль Клацкина)"),
        QStringLiteral("PI-RADS v2.1"),
        QStringLiteral("O-RADS US (ACR 2020)"),
        QStringLiteral("Lung-RADS v2022"),
        QStringLiteral("ACR TI-RADS"),
        QStringLiteral("CAD-RADS 2.0"),
        QStringLiteral("Bosniak v2019"),
        QStringLiteral("SFU/UTD (гидронефроз)"),
        QStringLiteral("RECIST 1.1 (ответ на лечение)"),
        QStringLiteral("Deauville (ПЭТ при лимфоме)"),
        QStringLiteral("AAST (селезёнка/печень/почка)"),
        QStringLiteral("Salter-Harris (детские переломы)"),
        QStringLiteral("Garden (шейка бедренной кости)"),
        QStringLiteral("Tile/AO (тазовое кольцо)"),
        QStringLiteral("Denver criteria (травма сосудов шеи, BCVI)"),
        QStringLiteral("Модифицированная шкала Фишера (САК)"),
        QStringLiteral("Hunt-Hess/WFNS (тяжесть САК)"),
        QStringLiteral("Spetzler-Martin (АВМ)"),
        QStringLiteral("Balthazar/CTSI (панкреатит)"),
        QStringLiteral("Hinchey (дивертикулит)"),
        QStringLiteral("C-RADS (КТ-колонография)"),
        QStringLiteral("Pfirrmann (дегенерация дисков)"),
        QStringLiteral("Kellgren-Lawrence (гонартроз)"),
        QStringLiteral("Goutallier (ротаторная манжета)"),
        QStringLiteral("Ficat (асептический некроз головки бедра)"),
        QStringLiteral("Modic changes (позвонки)"),
        QStringLiteral("Risser sign (костный возраст, сколиоз)"),
    };
};

QTEST_MAIN(TstClassifications)
#include "tst_classifications.moc"
