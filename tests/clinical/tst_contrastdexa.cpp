// Contrast dose by eGFR and DEXA grading: band limits worked by hand and the pages' result texts.
#include "clinical/CalculatorPageKit.h"
#include "clinical/ContrastDexaFormulas.h"
#include "clinical/ContrastDexaPages.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

class TstContrastDexa : public QObject
{
    Q_OBJECT

private slots:
    void contrastBands_data()
    {
        QTest::addColumn<double>("weight");
        QTest::addColumn<double>("egfr");
        QTest::addColumn<double>("maxMl");
        QTest::addColumn<QString>("risk");
        QTest::newRow("60 is low risk") << 70.0 << 60.0 << 105.0 << QStringLiteral("✅ Низкий риск КИН");
        QTest::newRow("59.9 is G3a") << 70.0 << 59.9 << 70.0 << QStringLiteral("⚠️ Умеренный риск КИН (G3a)");
        QTest::newRow("45 is G3a") << 70.0 << 45.0 << 70.0 << QStringLiteral("⚠️ Умеренный риск КИН (G3a)");
        QTest::newRow("G3a cap") << 150.0 << 50.0 << 100.0 << QStringLiteral("⚠️ Умеренный риск КИН (G3a)");
        QTest::newRow("30 is G3b") << 70.0 << 30.0 << 35.0 << QStringLiteral("⚠️ Высокий риск КИН (G3b)");
        QTest::newRow("G3b cap") << 200.0 << 44.9 << 60.0 << QStringLiteral("⚠️ Высокий риск КИН (G3b)");
        QTest::newRow("15 is G4") << 70.0 << 15.0 << 35.0 << QStringLiteral("🚨 Очень высокий риск КИН (G4)");
        QTest::newRow("G4 cap") << 100.0 << 20.0 << 40.0 << QStringLiteral("🚨 Очень высокий риск КИН (G4)");
        QTest::newRow("14.9 is G5") << 70.0 << 14.9 << 21.0 << QStringLiteral("🚨 Терминальная ХБП (G5)");
        QTest::newRow("G5 below cap") << 20.0 << 10.0 << 6.0 << QStringLiteral("🚨 Терминальная ХБП (G5)");
        QTest::newRow("G5 cap") << 120.0 << 10.0 << 30.0 << QStringLiteral("🚨 Терминальная ХБП (G5)");
        QTest::newRow("low-risk cap") << 120.0 << 90.0 << 150.0 << QStringLiteral("✅ Низкий риск КИН");
    }
    void contrastBands()
    {
        QFETCH(double, weight);
        QFETCH(double, egfr);
        QFETCH(double, maxMl);
        QFETCH(QString, risk);
        const clinical::ContrastDoseResult r = clinical::contrastDoseByGfr(weight, egfr);
        QCOMPARE(r.standardMl, 1.5 * weight);
        QCOMPARE(r.maxMl, maxMl);
        QCOMPARE(r.risk, risk);
    }

    void dexaBands_data()
    {
        QTest::addColumn<double>("t");
        QTest::addColumn<QString>("tText");
        QTest::addColumn<QString>("risk");
        const QString normal = QStringLiteral("✅ Норма (T ≥ −1.0)");
        const QString osteopenia = QStringLiteral("⚠️ Остеопения (−2.5 < T < −1.0) — риск переломов повышен");
        const QString osteoporosis =
            QStringLiteral("🚨 Остеопороз (T ≤ −2.5) — высокий риск переломов, показано лечение");
        QTest::newRow("-1.0") << -1.0 << normal << QStringLiteral("Низкий риск перелома (шейка бедра)");
        QTest::newRow("-1.1") << -1.1 << osteopenia << QStringLiteral("Умеренный риск перелома (шейка бедра)");
        QTest::newRow("-2.4") << -2.4 << osteopenia << QStringLiteral("Умеренный риск перелома (шейка бедра)");
        QTest::newRow("-2.5") << -2.5 << osteoporosis
                              << QStringLiteral(
                                     "Высокий риск перелома (шейка бедра) — рассмотреть антиостеопоротическую терапию");
        QTest::newRow("2.0") << 2.0 << normal << QStringLiteral("Низкий риск перелома (шейка бедра)");
    }
    void dexaBands()
    {
        QFETCH(double, t);
        QFETCH(QString, tText);
        QFETCH(QString, risk);
        QCOMPARE(clinical::tScoreText(t), tText);
        QCOMPARE(clinical::dexaFractureRiskText(t, QStringLiteral("шейка бедра")), risk);
    }

    // Z ≤ −2.0 is below the expected range for age.
    void zScore_data()
    {
        QTest::addColumn<double>("z");
        QTest::addColumn<bool>("below");
        QTest::newRow("-1.9") << -1.9 << false;
        QTest::newRow("-2.0") << -2.0 << true;
        QTest::newRow("-2.1") << -2.1 << true;
    }
    void zScore()
    {
        QFETCH(double, z);
        QFETCH(bool, below);
        QCOMPARE(clinical::zScoreText(z).startsWith(QStringLiteral("⚠️")), below);
    }

    void contrastPage()
    {
        ContrastDosePage page;
        QCOMPARE(page.weight->value(), 70.0);
        QCOMPARE(page.egfr->value(), 90.0);
        QCOMPARE(page.egfr->suffix(), QStringLiteral(" мл/мин/1.73м²"));
        page.egfr->setValue(59.9); // printed 60: graded as 60
        QTest::mouseClick(page.findChild<QPushButton*>(), Qt::LeftButton);
        QCOMPARE(page.result->text->toPlainText(),
                 QStringLiteral("💉 Доза контраста:\n• Вес: 70.0 кг  СКФ: 60 мл/мин/1.73м²\n• Стандартная доза (1.5 "
                                "мл/кг): 105 мл\n• 👉 Рекомендуемая безопасная доза: 105 мл\n• Риск КИН: ✅ Низкий риск "
                                "КИН\n• Рекомендация: Стандартная доза без ограничений. Гидратация желательна.\n\nℹ️ "
                                "КИН — контраст-индуцированная нефропатия\nℹ️ Ориентировочный расчёт — окончательное "
                                "решение за лечащим врачом"));
    }

    // The page prints eGFR whole and grades the number it prints, never the hidden decimal.
    void contrastPageGradesPrintedEgfr_data()
    {
        QTest::addColumn<double>("egfr");
        QTest::addColumn<QString>("printed");
        QTest::addColumn<QString>("maxDose");
        QTest::addColumn<QString>("risk");
        QTest::newRow("29.9 prints 30: G3b") << 29.9 << "30" << "35" << QStringLiteral("⚠️ Высокий риск КИН (G3b)");
        QTest::newRow("29.4 prints 29: G4") << 29.4 << "29" << "35" << QStringLiteral("🚨 Очень высокий риск КИН (G4)");
        QTest::newRow("14.9 prints 15: G4") << 14.9 << "15" << "35" << QStringLiteral("🚨 Очень высокий риск КИН (G4)");
    }
    void contrastPageGradesPrintedEgfr()
    {
        QFETCH(double, egfr);
        QFETCH(QString, printed);
        QFETCH(QString, maxDose);
        QFETCH(QString, risk);
        ContrastDosePage page;
        page.egfr->setValue(egfr);
        page.calculate();
        const QString text = page.result->text->toPlainText();
        QVERIFY2(text.contains(QStringLiteral("СКФ: %1 мл/мин").arg(printed)), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("безопасная доза: %1 мл").arg(maxDose)), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("Риск КИН: %1\n").arg(risk)), qPrintable(text));
    }

    void dexaPage()
    {
        DexaScorePage page;
        QCOMPARE(page.tScore->value(), -1.0);
        QCOMPARE(page.zScore->minimum(), -6.0);
        QCOMPARE(page.zScore->maximum(), 4.0);
        QCOMPARE(page.site->count(), 4);
        page.site->setCurrentIndex(1);
        page.tScore->setValue(-2.5);
        page.zScore->setValue(-2.1);
        page.calculate();
        QCOMPARE(page.result->text->toPlainText(),
                 QStringLiteral("🦴 Денситометрия (DEXA):\n• Область: шейка бедра\n• T-score: -2.5 → 🚨 Остеопороз (T ≤ "
                                "−2.5) — высокий риск переломов, показано лечение\n• Z-score: -2.1 → ⚠️ Ниже возрастной "
                                "нормы (Z ≤ −2.0) — возможна вторичная остеопения\n• 👉 Высокий риск перелома (шейка "
                                "бедра) — рассмотреть антиостеопоротическую терапию\n\nℹ️ Критерии ВОЗ для T-score "
                                "(постменопауза/мужчины >50 лет)\nℹ️ Z-score — для молодых пациентов и детей"));
    }
};

QTEST_MAIN(TstContrastDexa)
#include "tst_contrastdexa.moc"
