// Uro-oncology and gynaecology pages: volumes and nephrometry bands worked by hand, the O-RADS MRI
// decision table with its dependent rows, and the result texts.
#include "clinical/CalculatorPageKit.h"
#include "clinical/UroGynFormulas.h"
#include "clinical/UroGynPages.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPlainTextEdit>
#include <QtTest>

class TstUroGyn : public QObject
{
    Q_OBJECT

    static QString text(CalculatorResultPanel* panel) { return panel->text->toPlainText(); }

private slots:
    void bands()
    {
        QCOMPARE(clinical::ellipsoidVolume(3, 2, 1.5), 3 * 0.523 * 2 * 1.5);
        QCOMPARE(clinical::ovarianVolumeText(7.99), QStringLiteral("Норма (в т.ч. типично для постменопаузы)"));
        QCOMPARE(clinical::ovarianVolumeText(8.0), QStringLiteral("Норма для репродуктивного возраста"));
        QVERIFY(clinical::ovarianVolumeText(10.0).startsWith(QStringLiteral("≥10 см³ — один из критериев")));
        QCOMPARE(clinical::prostateVolumeText(30.0), QStringLiteral("✅ Норма (≤30 см³)"));
        QCOMPARE(clinical::prostateVolumeText(50.0), QStringLiteral("⚠️ Умеренная гиперплазия"));
        QCOMPARE(clinical::prostateVolumeText(80.0), QStringLiteral("⚠️ Значительная гиперплазия"));
        QCOMPARE(clinical::prostateVolumeText(80.1), QStringLiteral("🚨 Тяжёлая гиперплазия / возможная патология"));
        QCOMPARE(clinical::psaDensityText(0.149), QStringLiteral("✅ Норма — низкий риск рака простаты"));
        QCOMPARE(clinical::psaDensityText(0.15), QStringLiteral("⚠️ Повышенная плотность — требует наблюдения"));
        QCOMPARE(clinical::psaDensityText(0.25), QStringLiteral("⚠️ Высокая плотность — рекомендована биопсия"));
        QCOMPARE(clinical::psaDensityText(0.4), QStringLiteral("🚨 Очень высокая плотность — высокий риск рака простаты"));
        QCOMPARE(clinical::renalScoreText(3).complexity, QStringLiteral("Ошибка"));
        QCOMPARE(clinical::renalScoreText(4).complexity, QStringLiteral("Низкая (Low)"));
        QCOMPARE(clinical::renalScoreText(6).complexity, QStringLiteral("Низкая (Low)"));
        QCOMPARE(clinical::renalScoreText(7).complexity, QStringLiteral("Умеренная (Moderate)"));
        QCOMPARE(clinical::renalScoreText(10).complexity, QStringLiteral("Высокая (High)"));
        QCOMPARE(clinical::renalScoreText(12).complexity, QStringLiteral("Высокая (High)"));
        QCOMPARE(clinical::renalScoreText(13).advice, QStringLiteral("Недопустимая сумма баллов"));
    }

    void prostatePage()
    {
        ProstateVolumePage page;
        page.calculate();
        // 45 × 0.52 × 35 × 40 / 1000 = 32.76
        QCOMPARE(text(page.result),
                 QStringLiteral("🔵 Объём простаты:\n• A: 45.0 мм  B: 35.0 мм  C: 40.0 мм\n• 👉 Объём = 32.8 см³\n• ⚠️ "
                                "Умеренная гиперплазия\n\nℹ️ Формула: V = 0.52 × A × B × C"));
        page.psa->setValue(6.5); // 6.5 / 32.76 = 0.1984
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("🔵 Объём простаты:\n• A: 45.0 мм  B: 35.0 мм  C: 40.0 мм\n• 👉 Объём = 32.8 см³\n• ⚠️ "
                                "Умеренная гиперплазия\n• PSA: 6.50 нг/мл\n• 👉 PSA density: 0.198\n• ⚠️ Повышенная "
                                "плотность — требует наблюдения\n\nℹ️ Формула: V = 0.52 × A × B × C"));
    }

    void ovarianPage()
    {
        OvarianVolumePage page;
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("🥚 Объём яичника:\n• L: 3.0 см  W: 2.0 см  H: 1.5 см\n• 👉 Объём = 4.7 см³\n• Норма (в "
                                "т.ч. типично для постменопаузы)\n\nℹ️ Формула: V = 0.523 × L × W × H"));
        // 1.0 × 0.523 × 3.4 × 5.6 = 9.958 prints 10.0 and is graded as 10.0.
        page.length->setValue(1.0);
        page.width->setValue(3.4);
        page.thickness->setValue(5.6);
        page.calculate();
        QVERIFY2(text(page.result).contains(QStringLiteral("Объём = 10.0 см³\n• ≥10 см³")), qPrintable(text(page.result)));
    }

    void renalPage()
    {
        RenalScorePage page;
        page.calculate();
        QVERIFY2(text(page.result).startsWith(QStringLiteral(
                     "🎯 Шкала RENAL:\n• R=1  E=1  N=1  A=a  L=1\n• 👉 Сумма: 4 (RENAL 4a)\n• Сложность: Низкая "
                     "(Low)\n• Наиболее подходящий вариант — органосохраняющее лечение (лапароскопическая "
                     "резекция). Подходит для малоинвазивного подхода.\n\nℹ️ ")),
                 qPrintable(text(page.result)));
        QVERIFY(text(page.result).contains(QStringLiteral("2009")));
        page.anterior->setCurrentIndex(2);
        page.r->setCurrentIndex(2);
        page.l->setCurrentIndex(2);
        page.calculate();
        QVERIFY(text(page.result).contains(QStringLiteral("• R=3  E=1  N=1  A=x  L=3\n• 👉 Сумма: 8 (RENAL 8x)\n• "
                                                          "Сложность: Умеренная (Moderate)")));
    }

    // Six items (longitudinal location, exophytic rate, rim, sinus, collecting system, size): 6–7 low,
    // 8–9 intermediate, 10–14 high.
    void padua_data()
    {
        QTest::addColumn<QList<int>>("indexes");
        QTest::addColumn<int>("sum");
        QTest::addColumn<QString>("complexity");
        QTest::newRow("minimum") << QList<int>{0, 0, 0, 0, 0, 0} << 6 << QStringLiteral("Низкая (Low)");
        QTest::newRow("medial rim") << QList<int>{0, 1, 1, 0, 0, 0} << 8 << QStringLiteral("Умеренная (Intermediate)");
        QTest::newRow("9") << QList<int>{1, 1, 1, 0, 0, 0} << 9 << QStringLiteral("Умеренная (Intermediate)");
        QTest::newRow("10") << QList<int>{1, 1, 1, 1, 0, 0} << 10 << QStringLiteral("Высокая (High)");
        QTest::newRow("maximum") << QList<int>{1, 2, 1, 1, 1, 2} << 14 << QStringLiteral("Высокая (High)");
    }
    void padua()
    {
        QFETCH(QList<int>, indexes);
        QFETCH(int, sum);
        QFETCH(QString, complexity);
        PaduaScorePage page;
        const QList<QComboBox*> items{page.polarLocation,    page.exophytic, page.renalRim, page.renalSinus,
                                      page.collectingSystem, page.diameter};
        for (int i = 0; i < items.size(); ++i) {
            QVERIFY(indexes[i] < items[i]->count());
            items[i]->setCurrentIndex(indexes[i]);
        }
        page.calculate();
        QVERIFY2(text(page.result).startsWith(
                     QStringLiteral("🎯 Шкала PADUA:\n• 👉 Сумма: %1\n• Сложность: %2\n").arg(sum).arg(complexity)),
                 qPrintable(text(page.result)));
    }

    // Solid tissue: the time–intensity curve gives 3, 4 or 5; without DCE, enhancement at 30–40 s not above
    // the myometrium 4, above it 5; tissue dark on T2 and DWI 2; diffusion restriction never raises a score.
    void orads_data()
    {
        QTest::addColumn<int>("primary");
        QTest::addColumn<int>("dce");
        QTest::addColumn<int>("dark");
        QTest::addColumn<int>("category");
        QTest::newRow("normal") << 0 << 0 << 0 << 1;
        QTest::newRow("simple small cyst") << 1 << 0 << 0 << 1;
        QTest::newRow("multicystic") << 4 << 0 << 0 << 3;
        QTest::newRow("multicystic, solid rows ignored") << 4 << 2 << 1 << 3;
        QTest::newRow("low-risk curve") << 5 << 0 << 0 << 3;
        QTest::newRow("intermediate-risk curve") << 5 << 1 << 0 << 4;
        QTest::newRow("high-risk curve") << 5 << 2 << 0 << 5;
        QTest::newRow("no DCE, not above myometrium") << 5 << 3 << 0 << 4;
        QTest::newRow("no DCE, above myometrium") << 5 << 4 << 0 << 5;
        QTest::newRow("peritoneal") << 5 << 5 << 0 << 5;
        QTest::newRow("dark on T2 and DWI, high-risk curve") << 5 << 2 << 1 << 2;
        QTest::newRow("dark on T2 and DWI, no DCE") << 5 << 4 << 1 << 2;
        QTest::newRow("peritoneal outranks dark tissue") << 5 << 5 << 1 << 5;
    }
    void orads()
    {
        QFETCH(int, primary);
        QFETCH(int, dce);
        QFETCH(int, dark);
        QFETCH(int, category);
        OradsMriPage page;
        page.primaryFinding->setCurrentIndex(primary);
        page.enhancement->setCurrentIndex(dce);
        page.diffusion->setCurrentIndex(dark);
        page.calculate();
        const QString t = text(page.result);
        QVERIFY2(t.contains(QStringLiteral("\n• 👉 O-RADS MRI %1 — ").arg(category)), qPrintable(t));
        QVERIFY(t.contains(QStringLiteral("\n\nℹ️ ACR O-RADS MRI 2020 (")));
        // The detail names what decided: the primary finding alone, or with the tissue's enhancement or darkness.
        const QString detail = t.section(QLatin1Char('\n'), 1, 1);
        QCOMPARE(detail.contains(page.enhancement->currentText()), primary == 5 && (!dark || dce == 5));
        QCOMPARE(detail.contains(page.diffusion->currentText()), primary == 5 && dark && dce != 5);
    }

    // Up to 3 cm a simple or haemorrhagic cyst is a normal ovary before the menopause; after it a unilocular
    // cyst scores 2 with simple fluid and 3 with haemorrhagic fluid.
    void oradsCyst_data()
    {
        QTest::addColumn<int>("fluid");
        QTest::addColumn<int>("menopause");
        QTest::addColumn<int>("category");
        QTest::newRow("simple, premenopausal") << 0 << 0 << 1;
        QTest::newRow("haemorrhagic, premenopausal") << 1 << 0 << 1;
        QTest::newRow("simple, postmenopausal") << 0 << 1 << 2;
        QTest::newRow("haemorrhagic, postmenopausal") << 1 << 1 << 3;
    }
    void oradsCyst()
    {
        QFETCH(int, fluid);
        QFETCH(int, menopause);
        QFETCH(int, category);
        OradsMriPage page;
        page.primaryFinding->setCurrentIndex(1);
        page.cystFluid->setCurrentIndex(fluid);
        page.menopause->setCurrentIndex(menopause);
        page.calculate();
        const QString t = text(page.result);
        QVERIFY2(t.contains(QStringLiteral("\n• 👉 O-RADS MRI %1 — ").arg(category)), qPrintable(t));
        QVERIFY(t.section(QLatin1Char('\n'), 1, 1).contains(page.menopause->currentText()));
    }

    // The curve row shows for solid tissue, the T2/DWI row for solid tissue other than peritoneal disease.
    void oradsRows()
    {
        OradsMriPage page;
        page.show();
        QVERIFY(page.dceRow->isHidden());
        QVERIFY(page.dwiRow->isHidden());
        page.primaryFinding->setCurrentIndex(1);
        QVERIFY(!page.cystRow->isHidden());
        QVERIFY(page.dceRow->isHidden());
        page.primaryFinding->setCurrentIndex(5);
        QVERIFY(page.cystRow->isHidden());
        QVERIFY(!page.dceRow->isHidden());
        QVERIFY(!page.dwiRow->isHidden());
        page.enhancement->setCurrentIndex(5);
        QVERIFY(page.dwiRow->isHidden());
        page.enhancement->setCurrentIndex(1);
        QVERIFY(!page.dwiRow->isHidden());
        page.primaryFinding->setCurrentIndex(0);
        QVERIFY(page.dceRow->isHidden());
        QVERIFY(page.dwiRow->isHidden());
    }

    void oradsCategoryOutOfRange()
    {
        OradsMriPage page;
        page.showCategory(0, QStringLiteral("x"));
        QVERIFY(text(page.result).startsWith(
            QStringLiteral("🥚 O-RADS МРТ (ACR 2020):\n• Характеристика: x\n• 👉 \n• Риск малигнизации: \n• Тактика: \n\n")));
    }
};

QTEST_MAIN(TstUroGyn)
#include "tst_urogyn.moc"
