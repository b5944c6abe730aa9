// The calculator hub and what every page shares: tree and stack, the result panel, the spin-box
// factory, the zoomable diagram, and the hub opened from the viewer's toolbar on a real index.
#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/ToolBarAction.h"
#include "clinical/AbdominalPages.h"
#include "clinical/CalculatorPageKit.h"
#include "clinical/CardiacMriWindow.h"
#include "clinical/ChestPages.h"
#include "clinical/ContrastDexaPages.h"
#include "clinical/CtDoseFromDlpPage.h"
#include "clinical/NeuroMskPages.h"
#include "clinical/RadiologyCalculatorHub.h"
#include "clinical/UroGynPages.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QClipboard>
#include <QDoubleSpinBox>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QToolBar>
#include <QTreeWidget>
#include <QtTest>

namespace {
// The picture the label shows (the label's own member of that name holds the full image).
QPixmap shown(const QLabel& label)
{
    return label.pixmap();
}
} // namespace

class TstCalculatorHub : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void safeRatio_data()
    {
        QTest::addColumn<double>("a");
        QTest::addColumn<double>("b");
        QTest::addColumn<double>("expected");
        QTest::newRow("plain") << 3.0 << 4.0 << 0.75;
        QTest::newRow("zero divisor") << 5.0 << 0.0 << 0.0;
        QTest::newRow("negative divisor") << 5.0 << -2.0 << 0.0;
        QTest::newRow("negative numerator") << -6.0 << 3.0 << -2.0;
    }
    void safeRatio()
    {
        QFETCH(double, a);
        QFETCH(double, b);
        QFETCH(double, expected);
        QCOMPARE(clinical::safeRatio(a, b), expected);
    }

    void hubTreeAndPages()
    {
        RadiologyCalculatorHub hub(nullptr, nullptr, QString());
        QCOMPARE(hub.windowTitle(), QStringLiteral("Расчёты — рентгенологический калькулятор"));
        QVERIFY(hub.windowFlags() & Qt::WindowMinimizeButtonHint);
        // Categories in the order of first use, their pages in the order added, all expanded.
        const QList<QPair<QString, QStringList>> expected{
            {QStringLiteral("Нейрорадиология"),
             {QStringLiteral("Индекс Эванса"), QStringLiteral("Стеноз БЦА (NASCET/ECST)"),
              QStringLiteral("Объём ВМГ (ABC/2)"), QStringLiteral("Объём субдуральной гематомы"),
              QStringLiteral("Срединное смещение"), QStringLiteral("Шкала ASPECTS"),
              QStringLiteral("PHASES (риск разрыва аневризмы)"), QStringLiteral("ONSD (внутричерепное давление)")}},
            {QStringLiteral("Пульмонология"),
             {QStringLiteral("Поражение лёгких при КТ (%)"), QStringLiteral("Гидроторакс (Хазлингер)"),
              QStringLiteral("Лёгочный коэффициент"), QStringLiteral("Кардиоторакальный индекс"),
              QStringLiteral("Fleischner 2017 (случайные узлы лёгких)"), QStringLiteral("RV/LV ratio (тяжесть ТЭЛА)"),
              QStringLiteral("Wells score (претестовая вероятность ТЭЛА)")}},
            {QStringLiteral("Абдоминальная радиология"),
             {QStringLiteral("Объём печени"), QStringLiteral("Селезёнка (индекс/объём/масса)"),
              QStringLiteral("Вымывание контраста надпочечников"), QStringLiteral("Аневризма брюшной аорты"),
              QStringLiteral("Child-Pugh (тяжесть цирроза)")}},
            {QStringLiteral("Уро-онкорадиология"),
             {QStringLiteral("Объём простаты + PSA density"), QStringLiteral("Шкала RENAL"), QStringLiteral("Шкала PADUA"),
              QStringLiteral("O-RADS МРТ (яичники)"), QStringLiteral("Объём яичника")}},
            {QStringLiteral("DEXA"), {QStringLiteral("T-score / Z-score")}},
            {QStringLiteral("Контраст"), {QStringLiteral("Доза контраста (учёт СКФ)")}},
            {QStringLiteral("Дозиметрия"), {QStringLiteral("Эффективная доза КТ по Total DLP")}},
            {QStringLiteral("Костно-мышечная система"),
             {QStringLiteral("Шкала Meyerding (спондилолистез)"), QStringLiteral("Индекс Insall-Salvati")}}};
        QCOMPARE(hub.tree->topLevelItemCount(), expected.size());
        int index = 0;
        for (int i = 0; i < expected.size(); ++i) {
            QTreeWidgetItem* c = hub.tree->topLevelItem(i);
            QCOMPARE(c->text(0), expected.at(i).first);
            QVERIFY(!(c->flags() & Qt::ItemIsSelectable));
            QCOMPARE(c->font(0).weight(), QFont::Bold);
            QVERIFY(c->isExpanded());
            QVERIFY(c->data(0, Qt::UserRole).isNull());
            QCOMPARE(c->childCount(), expected.at(i).second.size());
            for (int k = 0; k < c->childCount(); ++k) {
                QCOMPARE(c->child(k)->text(0), expected.at(i).second.at(k));
                QCOMPARE(c->child(k)->data(0, Qt::UserRole).toInt(), ++index);
            }
        }
        QCOMPARE(index, 30);
        QCOMPARE(hub.stack->count(), 31);
        QVERIFY(qobject_cast<EvansIndexPage*>(hub.stack->widget(1)));
        QVERIFY(qobject_cast<OnsdPage*>(hub.stack->widget(8)));
        QVERIFY(qobject_cast<CtLungInvolvementPage*>(hub.stack->widget(9)));
        QVERIFY(qobject_cast<WellsPePage*>(hub.stack->widget(15)));
        QVERIFY(qobject_cast<LiverVolumePage*>(hub.stack->widget(16)));
        QVERIFY(qobject_cast<ChildPughPage*>(hub.stack->widget(20)));
        QVERIFY(qobject_cast<ProstateVolumePage*>(hub.stack->widget(21)));
        QVERIFY(qobject_cast<OvarianVolumePage*>(hub.stack->widget(25)));
        QVERIFY(qobject_cast<DexaScorePage*>(hub.stack->widget(26)));
        QVERIFY(qobject_cast<ContrastDosePage*>(hub.stack->widget(27)));
        QVERIFY(qobject_cast<CtDoseFromDlpPage*>(hub.stack->widget(28)));
        QVERIFY(qobject_cast<MeyerdingPage*>(hub.stack->widget(29)));
        QVERIFY(qobject_cast<InsallSalvatiPage*>(hub.stack->widget(30)));
        QTreeWidgetItem* category = hub.tree->topLevelItem(6);
        QTreeWidgetItem* page = category->child(0);

        // The hint shows until a page is chosen; a category item leaves the page as it is.
        QCOMPARE(hub.stack->currentIndex(), 0);
        hub.tree->setCurrentItem(category);
        QCOMPARE(hub.stack->currentIndex(), 0);
        hub.tree->setCurrentItem(page);
        QCOMPARE(hub.stack->currentIndex(), 28);
        hub.tree->setCurrentItem(category);
        QCOMPARE(hub.stack->currentIndex(), 28);
        hub.tree->setCurrentItem(hub.tree->topLevelItem(0)->child(0));
        QCOMPARE(hub.stack->currentIndex(), 1);
        hub.tree->setCurrentItem(hub.tree->topLevelItem(7)->child(1));
        QCOMPARE(hub.stack->currentIndex(), 30);
        hub.tree->setCurrentItem(page);

        qobject_cast<CtDoseFromDlpPage*>(hub.stack->widget(28))->calculate();
        hub.tree->setCurrentItem(hub.tree->topLevelItem(0)->child(5));
        hub.tree->setCurrentItem(page);

        // A category named again is the same item; a new one goes last.
        QCOMPARE(hub.categoryItem(QStringLiteral("Дозиметрия")), category);
        hub.addPage(QStringLiteral("Другое"), QStringLiteral("Пустая"), new QWidget);
        QCOMPARE(hub.tree->topLevelItemCount(), 9);
        QCOMPARE(hub.tree->topLevelItem(8)->child(0)->data(0, Qt::UserRole).toInt(), 31);

    }

    // Literature is cited by journal and year: no page names authors, in its header or its result.
    void citationsNameNoAuthors()
    {
        RadiologyCalculatorHub hub(nullptr, nullptr, QString());
        // "Surname I." or "et al": what an author list looks like.
        const QRegularExpression author(QStringLiteral("et al|\\b\\p{Lu}\\p{Ll}+,? \\p{Lu}\\."));
        for (int i = 1; i < hub.stack->count(); ++i) {
            QWidget* page = hub.stack->widget(i);
            for (auto* button : page->findChildren<QPushButton*>())
                if (button->text() == QStringLiteral("Рассчитать"))
                    button->click();
            QStringList texts;
            for (auto* label : page->findChildren<QLabel*>())
                texts.append(label->text());
            for (auto* edit : page->findChildren<QPlainTextEdit*>())
                texts.append(edit->toPlainText());
            const QString all = texts.join(QLatin1Char('\n'));
            QVERIFY2(!all.contains(author), qPrintable(all.mid(all.indexOf(author), 80)));
        }
    }

    void resultPanel()
    {
        CalculatorResultPanel panel;
        QVERIFY(!panel.copyButton->isEnabled());
        QVERIFY(panel.text->isReadOnly());
        panel.setResult(QStringLiteral("☢️ Итог:\n• 👉 1.0"));
        QVERIFY(panel.copyButton->isEnabled());
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(panel.copyButton, Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("☢️ Итог:\n• 👉 1.0"));
        panel.setResult(QString());
        QVERIFY(!panel.copyButton->isEnabled());
    }

    void spinBox()
    {
        std::unique_ptr<QDoubleSpinBox> box(makeSpinBox(0, 10, 12, " мм"));
        QCOMPARE(box->decimals(), 1);
        QCOMPARE(box->singleStep(), 0.1);
        QCOMPARE(box->value(), 10.0); // clamped into the range
        QCOMPARE(box->suffix(), QStringLiteral(" мм"));
        std::unique_ptr<QDoubleSpinBox> bare(makeSpinBox(-5, 5, -1.24, nullptr));
        QCOMPARE(bare->suffix(), QString());
        QCOMPARE(bare->value(), -1.2);
        std::unique_ptr<QDoubleSpinBox> empty(makeSpinBox(0, 1, 0, ""));
        QCOMPARE(empty->suffix(), QString());
    }

    // Under the Russian number format either decimal mark typed is the decimal separator, in a calculator's
    // field and in the cardiac window's, whose fields come from the same factory.
    void typedDecimalMark_data()
    {
        QTest::addColumn<bool>("cardiac");
        QTest::addColumn<QString>("typed");
        for (bool cardiac : {false, true})
            for (const char* typed : {"99.9", "99,9"})
                QTest::addRow("%s, %s", cardiac ? "cardiac window" : "calculator", typed)
                    << cardiac << QString::fromLatin1(typed);
    }
    void typedDecimalMark()
    {
        QFETCH(bool, cardiac);
        QFETCH(QString, typed);
        const QLocale previous;
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        const auto restore = qScopeGuard([&] { QLocale::setDefault(previous); });
        std::unique_ptr<QWidget> owner;
        QDoubleSpinBox* field = nullptr;
        if (cardiac) {
            fixtures::ModalAnswer answer; // the patient dialog the window opens first
            auto* window = new CardiacMriWindow({}, QStringLiteral("SAX"), {}, nullptr);
            owner.reset(window);
            window->showExtraMeasurements();
            // The first field, the diastolic diameter, takes up to 100 mm.
            field = window->findChild<QDialog*>()->findChildren<QDoubleSpinBox*>().value(0);
        } else {
            auto* page = new ContrastDosePage;
            owner.reset(page);
            field = page->egfr; // its suffix holds a point of its own
        }
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, typed);
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(field->value(), 99.9);
    }

    void zoomLabel()
    {
        QImage image(200, 100, QImage::Format_ARGB32);
        image.fill(Qt::white);
        const QString path = m_dir.filePath(QStringLiteral("diagram.png"));
        QVERIFY(image.save(path));

        ClickableZoomLabel label(path, 100, 300);
        QCOMPARE(label.toolTip(), QStringLiteral("Клик — увеличить/уменьшить схему"));
        QCOMPARE(shown(label).size(), QSize(100, 50));
        QTest::mouseClick(&label, Qt::LeftButton);
        QCOMPARE(shown(label).size(), QSize(300, 150));
        QTest::mouseClick(&label, Qt::RightButton);
        QCOMPARE(shown(label).size(), QSize(300, 150));
        QTest::mouseClick(&label, Qt::LeftButton);
        QCOMPARE(shown(label).size(), QSize(100, 50));

        ClickableZoomLabel missing(m_dir.filePath(QStringLiteral("absent.png")), 100, 300);
        QVERIFY(shown(missing).isNull());
        QTest::mouseClick(&missing, Qt::LeftButton);
        QVERIFY(shown(missing).isNull());
    }

    void diagramsEmbedded_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("alpha");
        QTest::newRow("aspects") << QStringLiteral(":/calc_diagrams/aspects.png") << QSize(588, 365) << true;
        QTest::newRow("carotid") << QStringLiteral(":/calc_diagrams/carotid_stenosis.png") << QSize(252, 364) << true;
        QTest::newRow("renal") << QStringLiteral(":/calc_diagrams/renal_polar_lines.jpg") << QSize(217, 328) << false;
    }
    void diagramsEmbedded()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        QFETCH(bool, alpha);
        const QImage image(path);
        QCOMPARE(image.size(), size);
        QCOMPARE(image.hasAlphaChannel(), alpha);
        ClickableZoomLabel label(path, size.width() / 2, size.width());
        QCOMPARE(shown(label).width(), size.width() / 2);
    }

    void openedFromViewer()
    {
        dicom::registerMetaTypes();
        db::Database index;
        QVERIFY(index.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
        fixtures::SeriesLayout layout;
        layout.rows = 16;
        layout.columns = 16;
        layout.slices = 3;
        QVERIFY(fixtures::writeAndIndexSeries(index, m_dir.filePath(QStringLiteral("ct")), layout));

        ViewerWindow viewer(&index, layout.studyUid, layout.seriesUid);
        viewer.setAttribute(Qt::WA_DeleteOnClose, false);
        QAction* action = fixtures::toolBarAction(viewer.toolBar(), QStringLiteral("calculators"));
        QVERIFY(action);
        QVERIFY(action->isEnabled());

        action->trigger();
        action->trigger();
        const QList<RadiologyCalculatorHub*> hubs = viewer.findChildren<RadiologyCalculatorHub*>();
        QCOMPARE(hubs.size(), 2);
        QPointer<RadiologyCalculatorHub> first = hubs.at(0);
        QPointer<RadiologyCalculatorHub> second = hubs.at(1);
        QVERIFY(first->isVisible() && !first->isModal());
        QVERIFY(first->testAttribute(Qt::WA_DeleteOnClose));
        // The study on screen reaches the dose page, which then offers its scan button.
        auto* page = qobject_cast<CtDoseFromDlpPage*>(first->stack->widget(28));
        QVERIFY(page);
        QCOMPARE(page->studyUid, layout.studyUid);
        QVERIFY(page->scanStatus);

        first->close();
        QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 30000);
        QVERIFY(!second.isNull());
        QVERIFY(second->isVisible());
        second->close();
        QTRY_VERIFY_WITH_TIMEOUT(second.isNull(), 30000);
    }
};

QTEST_MAIN(TstCalculatorHub)
#include "tst_calculatorhub.moc"
