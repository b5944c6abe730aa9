// Chest calculator formulas against values worked by hand, their band limits, and the result
// texts the pages show.
#include "clinical/CalculatorPageKit.h"
#include "clinical/ChestFormulas.h"
#include "clinical/ChestPages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QStackedWidget>
#include <QtTest>

class TstChest : public QObject
{
    Q_OBJECT

    static QString text(CalculatorResultPanel* panel) { return panel->text->toPlainText(); }

private slots:
    void cardiothoracicBands()
    {
        QVERIFY(clinical::cardiothoracicIndexText(0.49).startsWith(QStringLiteral("✅ Норма")));
        QVERIFY(clinical::cardiothoracicIndexText(0.5).startsWith(QStringLiteral("⚠️ Погранично увеличен")));
        QVERIFY(clinical::cardiothoracicIndexText(0.549).startsWith(QStringLiteral("⚠️ Погранично")));
        QCOMPARE(clinical::cardiothoracicIndexText(0.55), QStringLiteral("🚨 Кардиомегалия (КТИ ≥ 0.55) на PA-проекции"));

        CardiothoracicIndexPage page;
        page.heart->setValue(140);
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("❤️ Кардиоторакальный индекс:\n• Поперечник сердца: 140.0 мм\n• Поперечник грудной "
                                "клетки: 280.0 мм\n• 👉 КТИ = 0.50\n• ⚠️ Погранично увеличен (0.50–0.55) — на "
                                "AP/портативном снимке может быть ложным завышением из-за проекции, сверить с "
                                "PA-снимком\n\nℹ️ КТИ = ширина сердца / ширина грудной клетки, порог для PA-проекции "
                                "взрослого — 0.5"));
    }

    void lungInvolvement_data()
    {
        QTest::addColumn<QList<int>>("scores");
        QTest::addColumn<double>("percent");
        QTest::addColumn<QString>("grade");
        QTest::newRow("all zero") << QList<int>{0, 0, 0, 0, 0} << 0.0
                                  << QStringLiteral("✅ Лёгкие без патологических изменений");
        QTest::newRow("all five") << QList<int>{5, 5, 5, 5, 5} << 87.5
                                  << QStringLiteral("🚨 Критическое поражение (>75%)");
        QTest::newRow("middle lobe at five") << QList<int>{0, 5, 0, 0, 0} << 8.8
                                             << QStringLiteral("⚠️ Лёгкое поражение (<25%)");
        // 0.2*37.5 + 0.1*37.5 + 0.25*37.5 + 0.2*37.5 + 0.25*37.5 = 37.5
        QTest::newRow("all three") << QList<int>{3, 3, 3, 3, 3} << 37.5
                                   << QStringLiteral("⚠️ Умеренное поражение (25–50%)");
        QTest::newRow("all four") << QList<int>{4, 4, 4, 4, 4} << 62.5
                                  << QStringLiteral("🚨 Тяжёлое поражение (50–75%)");
        QTest::newRow("out of range counts zero") << QList<int>{9, -1, 0, 0, 0, 5} << 0.0
                                                  << QStringLiteral("✅ Лёгкие без патологических изменений");
    }
    void lungInvolvement()
    {
        QFETCH(QList<int>, scores);
        QFETCH(double, percent);
        QFETCH(QString, grade);
        const clinical::LungInvolvementResult r = clinical::ctLungInvolvement(scores);
        QCOMPARE(r.percent, percent);
        QCOMPARE(r.text, grade);
    }

    void lungInvolvementPage()
    {
        CtLungInvolvementPage page;
        QCOMPARE(page.lobes.size(), 5);
        QCOMPARE(page.lobes[0]->count(), 6);
        page.lobes[1]->setCurrentIndex(5);
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("🫁 КТ-поражение лёгких:\n• Верхняя доля правого лёгкого: 0 б. (0%)\n• Средняя доля "
                                "правого лёгкого: 5 б. (87.5%)\n• Нижняя доля правого лёгкого: 0 б. (0%)\n• Верхняя доля "
                                "левого лёгкого: 0 б. (0%)\n• Нижняя доля левого лёгкого: 0 б. "
                                "(0%)\n━━━━━━━━━━━━━━━━━━\n• 👉 Общее поражение: 8.8%\n• ⚠️ Лёгкое поражение "
                                "(<25%)\n\nℹ️ Взвешенная оценка по относительному объёму долей\nℹ️ Используется при "
                                "COVID-19, пневмониях, ИЛФ"));
    }

    // Size bands < 6, 6–8 and > 8 mm on the mean diameter rounded to a whole millimetre; for high risk the
    // follow-up CT at 18–24 months is recommended, not only considered.
    void fleischner_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<double>("diameter");
        QTest::addColumn<bool>("multiple");
        QTest::addColumn<bool>("highRisk");
        QTest::addColumn<QString>("starts");
        QTest::addColumn<QString>("then");
        const QString considered = QStringLiteral("затем при стабильности рассмотреть КТ через 18–24 мес.");
        const QString recommended = QStringLiteral("затем КТ через 18–24 мес.");
        QTest::newRow("solid 5.4 low") << 0 << 5.4 << false << false
                                       << QStringLiteral("Солидный узел <6 мм, единичный, низкий") << QString();
        QTest::newRow("solid 5.4 high") << 0 << 5.4 << false << true
                                        << QStringLiteral("Солидный узел <6 мм, единичный, высокий") << QString();
        QTest::newRow("solid 5.5 rounds to 6") << 0 << 5.5 << false << false
                                               << QStringLiteral("Солидный узел 6–8 мм") << considered;
        QTest::newRow("solid 7.0 high") << 0 << 7.0 << false << true
                                        << QStringLiteral("Солидный узел 6–8 мм, единичный, высокий") << recommended;
        QTest::newRow("solid 8.0") << 0 << 8.0 << false << false << QStringLiteral("Солидный узел 6–8 мм")
                                   << considered;
        QTest::newRow("solid 8.4 rounds to 8") << 0 << 8.4 << false << false
                                               << QStringLiteral("Солидный узел 6–8 мм") << considered;
        QTest::newRow("solid 8.5 rounds to 9") << 0 << 8.5 << false << true
                                               << QStringLiteral("Солидный узел >8 мм") << QString();
        QTest::newRow("solid multiple 5 high") << 0 << 5.0 << true << true << QStringLiteral("Солидные узлы <6 мм, множественные, высокий") << QString();
        QTest::newRow("solid multiple 5 low") << 0 << 5.0 << true << false << QStringLiteral("Солидные узлы <6 мм, множественные, низкий") << QString();
        QTest::newRow("solid multiple 6 low") << 0 << 6.0 << true << false << QStringLiteral("Солидные узлы ≥6 мм")
                                              << considered;
        QTest::newRow("solid multiple 9 high") << 0 << 9.0 << true << true
                                               << QStringLiteral("Солидные узлы ≥6 мм, множественные, высокий")
                                               << recommended;
        QTest::newRow("ggn 5 high risk ignored") << 2 << 5.0 << false << true << QStringLiteral("Единичный узел по типу \"матового стекла\" <6 мм") << QString();
        QTest::newRow("ggn 6") << 2 << 6.0 << false << false << QStringLiteral("Единичный узел по типу \"матового стекла\" ≥6 мм") << QString();
        QTest::newRow("ggn 5.6 rounds to 6") << 2 << 5.6 << false << false
                                             << QStringLiteral("Единичный узел по типу \"матового стекла\" ≥6 мм")
                                             << QString();
        QTest::newRow("ggn multiple 5") << 2 << 5.0 << true << false << QStringLiteral("Множественные узлы \"матового стекла\" <6 мм") << QString();
        QTest::newRow("ggn multiple 6") << 2 << 6.0 << true << false << QStringLiteral("Множественные узлы \"матового стекла\" ≥6 мм") << QString();
        QTest::newRow("part-solid 5") << 1 << 5.0 << false << true << QStringLiteral("Единичный частично-солидный узел <6 мм") << QString();
        QTest::newRow("part-solid 6") << 1 << 6.0 << false << false << QStringLiteral("Единичный частично-солидный узел ≥6 мм") << QString();
        QTest::newRow("part-solid multiple 5") << 1 << 5.0 << true << false << QStringLiteral("Множественные частично-солидные узлы <6 мм") << QString();
        QTest::newRow("unknown type is part-solid") << 7 << 6.0 << true << false << QStringLiteral("Множественные частично-солидные узлы ≥6 мм") << QString();
    }
    void fleischner()
    {
        QFETCH(int, type);
        QFETCH(double, diameter);
        QFETCH(bool, multiple);
        QFETCH(bool, highRisk);
        QFETCH(QString, starts);
        QFETCH(QString, then);
        const QString r = clinical::fleischnerRecommendation(type, diameter, multiple, highRisk);
        QVERIFY2(r.startsWith(starts), qPrintable(r));
        QVERIFY2(r.endsWith(then), qPrintable(r));
    }

    void fleischnerPage()
    {
        FleischnerNodulePage page;
        page.diameter->setValue(8.0);
        page.calculate();
        const QString t = text(page.result);
        QVERIFY2(t.startsWith(QStringLiteral(
                     "🫁 Fleischner 2017:\n• Тип: Солидный\n• Количество: Единичный\n• Диаметр: 8.0 мм\n• Риск рака "
                     "лёгкого: Низкий (мало/нет факторов риска рака лёгкого)\n• 👉 Солидный узел 6–8 мм, единичный — "
                     "КТ через 6–12 мес., затем при стабильности рассмотреть КТ через 18–24 мес.\n\nℹ️ ")),
                 qPrintable(t));
        QCOMPARE(t.count(QLatin1Char('\n')), 7);
    }

    void hydrothorax()
    {
        QCOMPARE(clinical::pleuralEffusionVolume(0.1), 0.0);
        QVERIFY(qAbs(clinical::pleuralEffusionVolume(20) - 215.873) < 1e-9);
        HydrothoraxPage page;
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("💧 Гидроторакс (Хазлингер):\n• Толщина: 20.0 мм\n• 👉 Объём: 215.9 мл\n• Небольшой "
                                "(<500 мл)"));
        page.thickness->setValue(0.1);
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("💧 Гидроторакс (Хазлингер):\n• Толщина: 0.1 мм\n• 👉 Объём: 0.0 мл\n• Небольшой (<500 мл)"));
    }

    void lungCoefficient()
    {
        QVERIFY(clinical::effusionPercentText(24.9).startsWith(QStringLiteral("✅ Малый")));
        QVERIFY(clinical::effusionPercentText(25).startsWith(QStringLiteral("⚠️ Умеренный")));
        QVERIFY(clinical::effusionPercentText(50).startsWith(QStringLiteral("⚠️ Большой")));
        QVERIFY(clinical::effusionPercentText(75).startsWith(QStringLiteral("🚨 Массивный")));
        QCOMPARE(clinical::percentOf(300, 2000), 15.0);

        LungCoefficientPage page;
        QVERIFY(page.directMode->isChecked());
        QCOMPARE(page.modeStack->currentIndex(), 0);
        page.effusion->setValue(2000);
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("💨 Лёгочный коэффициент:\n• Объём выпота: 2000.0 мл\n• Объём гемиторакса: 2000.0 мл\n• "
                                "👉 ЛК = 100.0%\n• 🚨 Массивный выпот (>75%) — тяжёлая компрессия, риск смещения "
                                "средостения"));
        page.effusion->setValue(2000.1);
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("⚠️ Объём выпота (2000.1 мл) не может превышать объём гемиторакса (2000.0 мл). "
                                "Проверьте введённые значения."));

        page.ellipsoidMode->setChecked(true);
        QVERIFY(!page.directMode->isChecked());
        QCOMPARE(page.modeStack->currentIndex(), 1);
        page.effusion->setValue(300);
        page.calculate();
        // 0.523 × 20 × 15 × 18 = 2824.2 ml; 300 / 2824.2 = 10.6 %
        QCOMPARE(text(page.result),
                 QStringLiteral("💨 Лёгочный коэффициент:\n• Объём выпота: 300.0 мл\n• Объём гемиторакса: 2824.2 мл\n• "
                                "👉 ЛК = 10.6%\n• ✅ Малый выпот (<25%) — компрессия лёгкого минимальна"));
        page.directMode->setChecked(true);
        QCOMPARE(page.modeStack->currentIndex(), 0);
    }

    void rvLv()
    {
        QVERIFY(clinical::rvLvRatioText(0.99).startsWith(QStringLiteral("✅")));
        RvLvRatioPage page;
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("🫀 RV/LV ratio:\n• ПЖ: 40.0 мм\n• ЛЖ: 40.0 мм\n• 👉 RV/LV = 1.00\n• ⚠️ RV/LV ≥ 1.0 — "
                                "признак перегрузки/дисфункции правого желудочка, ассоциирован с повышенным риском "
                                "неблагоприятного исхода при ТЭЛА (рассматривать вместе с клинической картиной, не "
                                "изолированно)\n\nℹ️ Порог 1.0 — по данным PIOPED II и последующих исследований"));
    }

    // A quotient of inputs with tenths at a cut-off is graded on the side of the value the page prints.
    void cutOffsAsShown_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<double>("numerator");
        QTest::addColumn<double>("denominator");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("grade");
        QTest::newRow("CTI 111.1 / 202") << QStringLiteral("cti") << 111.1 << 202.0 << QStringLiteral("КТИ = 0.55")
                                         << QStringLiteral("🚨 Кардиомегалия");
        QTest::newRow("lung coefficient 750.9 / 1001.2") << QStringLiteral("lk") << 750.9 << 1001.2
                                                         << QStringLiteral("ЛК = 75.0%") << QStringLiteral("🚨 Массивный");
        QTest::newRow("RV/LV 39.9 / 40") << QStringLiteral("rvlv") << 39.9 << 40.0 << QStringLiteral("RV/LV = 1.00")
                                         << QStringLiteral("⚠️ RV/LV ≥ 1.0");
    }
    void cutOffsAsShown()
    {
        QFETCH(QString, page);
        QFETCH(double, numerator);
        QFETCH(double, denominator);
        QFETCH(QString, value);
        QFETCH(QString, grade);
        QString shown;
        if (page == QLatin1String("cti")) {
            CardiothoracicIndexPage p;
            p.heart->setValue(numerator);
            p.chest->setValue(denominator);
            p.calculate();
            shown = text(p.result);
        } else if (page == QLatin1String("lk")) {
            LungCoefficientPage p;
            p.effusion->setValue(numerator);
            p.hemithorax->setValue(denominator);
            p.calculate();
            shown = text(p.result);
        } else {
            RvLvRatioPage p;
            p.rv->setValue(numerator);
            p.lv->setValue(denominator);
            p.calculate();
            shown = text(p.result);
        }
        QVERIFY2(shown.contains(QStringLiteral("%1\n• %2").arg(value, grade)), qPrintable(shown));
    }

    void wells_data()
    {
        QTest::addColumn<QList<bool>>("checks");
        QTest::addColumn<double>("score");
        QTest::addColumn<QString>("grade");
        QTest::newRow("none") << QList<bool>{false, false, false, false, false, false, false} << 0.0
                              << QStringLiteral("≤4 — ТЭЛА маловероятна (двухуровневая шкала) / низкая (трёхуровневая шкала)");
        QTest::newRow("2.0 moderate") << QList<bool>{false, false, false, false, false, true, true} << 2.0
                                      << QStringLiteral("≤4 — ТЭЛА маловероятна (двухуровневая шкала) / умеренная (трёхуровневая шкала)");
        QTest::newRow("4.0 unlikely") << QList<bool>{true, false, false, false, false, true, false} << 4.0
                                      << QStringLiteral("≤4 — ТЭЛА маловероятна (двухуровневая шкала) / умеренная (трёхуровневая шкала)");
        QTest::newRow("4.5 likely") << QList<bool>{true, false, true, false, false, false, false} << 4.5
                                    << QStringLiteral(">4 — ТЭЛА вероятна (двухуровневая шкала) / умеренная (трёхуровневая шкала)");
        QTest::newRow("6.0 moderate") << QList<bool>{true, true, false, false, false, false, false} << 6.0
                                      << QStringLiteral(">4 — ТЭЛА вероятна (двухуровневая шкала) / умеренная (трёхуровневая шкала)");
        QTest::newRow("6.5 high") << QList<bool>{true, false, true, false, false, true, true} << 6.5
                                  << QStringLiteral(">4 — ТЭЛА вероятна (двухуровневая шкала) / высокая (трёхуровневая шкала)");
        QTest::newRow("all") << QList<bool>{true, true, true, true, true, true, true} << 12.5
                             << QStringLiteral(">4 — ТЭЛА вероятна (двухуровневая шкала) / высокая (трёхуровневая шкала)");
    }
    void wells()
    {
        QFETCH(QList<bool>, checks);
        QFETCH(double, score);
        QFETCH(QString, grade);
        WellsPePage page;
        QCOMPARE(page.criteria.size(), 7);
        for (int i = 0; i < 7; ++i)
            page.criteria[i]->setChecked(checks[i]);
        page.calculate();
        QCOMPARE(text(page.result),
                 QStringLiteral("🎯 Wells score:\n• 👉 Сумма баллов: %1\n• %2\n\nℹ️ Двухуровневая (Christopher study): "
                                "≤4 маловероятна / >4 вероятна\nℹ️ Трёхуровневая (оригинал Wells): <2 низкая / 2–6 "
                                "умеренная / >6 высокая")
                     .arg(QString::number(score, 'f', 1), grade));
        QCOMPARE(clinical::wellsPeScore(checks[0], checks[1], checks[2], checks[3], checks[4], checks[5], checks[6]).score,
                 score);
    }
};

QTEST_MAIN(TstChest)
#include "tst_chest.moc"
