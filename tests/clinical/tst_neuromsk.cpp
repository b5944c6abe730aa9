// Neuroradiology and musculoskeletal pages: band limits worked by hand, the NASCET/ECST guard, the
// ASPECTS toggles with the live score, PHASES sums and the result texts.
#include "clinical/CalculatorPageKit.h"
#include "clinical/NeuroMskFormulas.h"
#include "clinical/NeuroMskPages.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

class TstNeuroMsk : public QObject
{
    Q_OBJECT

    static QString text(CalculatorResultPanel* panel) { return panel->text->toPlainText(); }

private slots:
    void bandEdges()
    {
        QVERIFY(clinical::ichVolumeText(30).startsWith(QStringLiteral("⚠️ Большой объём (30–60 мл)")));
        QVERIFY(clinical::ichVolumeText(60).startsWith(QStringLiteral("🚨 Критический объём")));
        QCOMPARE(clinical::sdhVolumeText(25), QStringLiteral("🚨 Большой объём (≥25 мл) — показание к хирургическому дренированию"));
        QVERIFY(clinical::midlineShiftText(10).startsWith(QStringLiteral("🚨 Критическое смещение")));
        QVERIFY(clinical::midlineShiftText(2.9).startsWith(QStringLiteral("✅")));
        QVERIFY(clinical::onsdText(5.0).startsWith(QStringLiteral("≥ 5.0 мм")));
        QVERIFY(clinical::onsdText(4.9).startsWith(QStringLiteral("< 5.0 мм")));
        QCOMPARE(clinical::carotidStenosisText(90), QStringLiteral("Стеноз ≥90% — критический, показано ЭКЭ"));
        QCOMPARE(clinical::insallSalvatiText(1.2), QStringLiteral("✅ Норма (ИС 0.8–1.2)"));
        QCOMPARE(clinical::insallSalvatiText(0.8), QStringLiteral("✅ Норма (ИС 0.8–1.2)"));
        QVERIFY(clinical::insallSalvatiText(1.21).startsWith(QStringLiteral("🔴 Patella alta")));
        QVERIFY(clinical::insallSalvatiText(0.79).startsWith(QStringLiteral("🔵 Patella baja")));
        QCOMPARE(clinical::meyerdingGradeText(25), QStringLiteral("Степень II (25–50%)"));
        QCOMPARE(clinical::meyerdingGradeText(100), QStringLiteral("Степень IV (75–100%) — тяжёлый"));
        QVERIFY(clinical::meyerdingGradeText(100.1).startsWith(QStringLiteral("Степень V")));
        QCOMPARE(clinical::phasesFiveYearRisk(-1), QStringLiteral("0.4%"));
        QCOMPARE(clinical::phasesFiveYearRisk(3), QStringLiteral("0.7%"));
        QCOMPARE(clinical::phasesFiveYearRisk(11), QStringLiteral("7.2%"));
        QCOMPARE(clinical::phasesFiveYearRisk(12), QStringLiteral("17.8%"));
        QCOMPARE(clinical::phasesRiskText(9), QStringLiteral("⚠️ Умеренно высокий риск — рассмотреть хирургическое/эндоваскулярное лечение"));
        QCOMPARE(clinical::aspectsInterpretationText(7), QStringLiteral("⚠️ Умеренные изменения (ASPECTS 6–7)"));
        QCOMPARE(clinical::aspectsReperfusionText(8), QStringLiteral("Благоприятный прогноз для реперфузии"));
    }

    // Enlargement is an index above 0.3.
    void evans_data()
    {
        QTest::addColumn<double>("a");
        QTest::addColumn<double>("b");
        QTest::addColumn<bool>("enlarged");
        QTest::newRow("0.29") << 29.0 << 100.0 << false;
        QTest::newRow("0.30") << 30.0 << 100.0 << false;
        QTest::newRow("0.301") << 30.1 << 100.0 << true;
    }
    void evans()
    {
        QFETCH(double, a);
        QFETCH(double, b);
        QFETCH(bool, enlarged);
        QCOMPARE(clinical::evansIndexText(a / b).startsWith(QStringLiteral("⚠️")), enlarged);
    }

    // A quotient of inputs with tenths that equals a cut-off is graded on the side the printed value is on:
    // the page prints the number and grades that very number. Inputs are in the order of the page's rows.
    void cutOffsAsShown_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QList<double>>("inputs");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("grade");
        QTest::newRow("Evans 37.2 / 124") << QStringLiteral("evans") << QList<double>{37.2, 124} << QStringLiteral("EI = 0.30")
                                          << QStringLiteral("✅ Норма");
        QTest::newRow("Evans 30.4 / 100") << QStringLiteral("evans") << QList<double>{30.4, 100} << QStringLiteral("EI = 0.30")
                                          << QStringLiteral("✅ Норма");
        QTest::newRow("Evans 30.6 / 100") << QStringLiteral("evans") << QList<double>{30.6, 100} << QStringLiteral("EI = 0.31")
                                          << QStringLiteral("⚠️ Расширение");
        QTest::newRow("Insall-Salvati 25.2 / 31.5") << QStringLiteral("insall") << QList<double>{25.2, 31.5}
                                                    << QStringLiteral("ИС = 0.80") << QStringLiteral("✅ Норма");
        QTest::newRow("Insall-Salvati 37.2 / 31") << QStringLiteral("insall") << QList<double>{37.2, 31}
                                                  << QStringLiteral("ИС = 1.20") << QStringLiteral("✅ Норма");
        QTest::newRow("Meyerding 23.7 of 31.6") << QStringLiteral("meyerding") << QList<double>{31.6, 23.7}
                                                << QStringLiteral("смещения = 75.0%") << QStringLiteral("Степень IV");
        QTest::newRow("midline 64.1 vs 61.1") << QStringLiteral("midline") << QList<double>{64.1, 61.1}
                                              << QStringLiteral("Смещение = 3.0 мм") << QStringLiteral("⚠️ Незначительное");
        QTest::newRow("NASCET 2.1 / 7 / 20.9") << QStringLiteral("nascet") << QList<double>{2.1, 7, 20.9}
                                               << QStringLiteral("NASCET: 90.0%") << QStringLiteral("→ Стеноз ≥90%");
        QTest::newRow("ICH 19.9 × 20.1 × 50") << QStringLiteral("ich") << QList<double>{19.9, 20.1, 50}
                                            << QStringLiteral("Объём = 10.0 мл") << QStringLiteral("⚠️ Средний объём");
    }
    void cutOffsAsShown()
    {
        QFETCH(QString, page);
        QFETCH(QList<double>, inputs);
        QFETCH(QString, value);
        QFETCH(QString, grade);
        QString shown;
        auto run = [&](auto& p, const QList<QDoubleSpinBox*>& boxes) {
            for (int i = 0; i < boxes.size(); ++i)
                boxes[i]->setValue(inputs.value(i));
            p.calculate();
            shown = text(p.result);
        };
        if (page == QLatin1String("evans")) {
            EvansIndexPage p;
            run(p, {p.a, p.b});
        } else if (page == QLatin1String("insall")) {
            InsallSalvatiPage p;
            run(p, {p.tendon, p.patella});
        } else if (page == QLatin1String("meyerding")) {
            MeyerdingPage p;
            run(p, {p.apSize, p.displacement});
        } else if (page == QLatin1String("midline")) {
            MidlineShiftPage p;
            run(p, {p.actual, p.expected});
        } else if (page == QLatin1String("nascet")) {
            NascetEcstPage p;
            run(p, {p.a, p.b, p.c});
        } else {
            IchVolumePage p;
            run(p, {p.a, p.b, p.c});
        }
        QVERIFY2(shown.contains(value), qPrintable(shown));
        QVERIFY2(shown.contains(grade), qPrintable(shown));
    }

    // An acute subdural haematoma thicker than 10 mm is surgical whatever its volume; the thickness is
    // graded as printed, in whole millimetres.
    void sdh_data()
    {
        QTest::addColumn<double>("thickness");
        QTest::addColumn<double>("length");
        QTest::addColumn<QString>("volume");
        QTest::addColumn<QString>("grade");
        QTest::newRow("12 mm, 7.2 ml") << 12.0 << 30.0 << QStringLiteral("7.2") << QStringLiteral("🚨 Толщина >10 мм");
        QTest::newRow("10 mm, 7.2 ml") << 10.0 << 36.0 << QStringLiteral("7.2") << QStringLiteral("✅ Малый объём");
        QTest::newRow("10.4 mm prints 10") << 10.4 << 30.0 << QStringLiteral("6.2") << QStringLiteral("✅ Малый объём");
        QTest::newRow("11 mm, 17.6 ml") << 11.0 << 80.0 << QStringLiteral("17.6") << QStringLiteral("🚨 Толщина >10 мм");
        QTest::newRow("11 mm, 26.4 ml") << 11.0 << 120.0 << QStringLiteral("26.4") << QStringLiteral("🚨 Большой объём");
    }
    void sdh()
    {
        QFETCH(double, thickness);
        QFETCH(double, length);
        QFETCH(QString, volume);
        QFETCH(QString, grade);
        SdhVolumePage page;
        page.a->setValue(thickness);
        page.b->setValue(length);
        page.calculate();
        const QString shown = text(page.result);
        QVERIFY2(shown.contains(QStringLiteral("Объём = %1 мл\n• %2").arg(volume, grade)), qPrintable(shown));
        // The note's criteria are the ones the grade applies.
        QVERIFY(shown.contains(QStringLiteral("толщина >10 мм")) && !shown.contains(QStringLiteral("объём >10")));
    }

    void spinPages()
    {
        EvansIndexPage evans;
        evans.b->setValue(100);
        evans.calculate();
        QCOMPARE(text(evans.result), QStringLiteral("🧠 Индекс Эванса:\n• A (передние рога): 30.0 мм\n• B (ширина черепа): "
                                                    "100.0 мм\n• 👉 EI = 0.30\n• ✅ Норма (EI ≤ 0.3)"));
        IchVolumePage ich;
        ich.calculate();
        QCOMPARE(text(ich.result), QStringLiteral("🧠 Объём внутримозговой гематомы:\n• A: 30 мм  B: 25 мм  C: 40 мм\n• "
                                                  "👉 Объём = 15.0 мл\n• ⚠️ Средний объём (10–30 мл) — наблюдение, "
                                                  "возможна нейрохирургия\n\nℹ️ Формула ABC/2 (Stroke, 1996)\nℹ️ "
                                                  "Точность ±10% по сравнению с планиметрией"));
        SdhVolumePage sdh; // 1.5 × 12 × 4 / 2 = 36
        sdh.calculate();
        QVERIFY(text(sdh.result).contains(QStringLiteral("• 👉 Объём = 36.0 мл\n• 🚨 Большой объём (≥25 мл)")));
        MidlineShiftPage shift;
        shift.actual->setValue(75);
        shift.calculate();
        QVERIFY(text(shift.result).startsWith(QStringLiteral("📏 Срединное смещение:\n• Фактическое расстояние: 75.0 мм\n• "
                                                             "Ожидаемое расстояние: 65.0 мм\n• 👉 Смещение = 10.0 мм\n• 🚨")));
        OnsdPage onsd;
        onsd.diameter->setValue(5.0);
        onsd.calculate();
        QVERIFY(text(onsd.result).startsWith(QStringLiteral("👁️ ONSD:\n• Диаметр: 5.0 мм\n• ≥ 5.0 мм")));
        InsallSalvatiPage insall;
        insall.tendon->setValue(48);
        insall.calculate();
        QCOMPARE(text(insall.result), QStringLiteral("🦵 Индекс Insall-Salvati:\n• Длина сухожилия: 48.0 мм\n• Длина "
                                                     "надколенника: 40.0 мм\n• 👉 ИС = 1.20\n• ✅ Норма (ИС 0.8–1.2)\n\nℹ️ "
                                                     "Норма 0.8–1.2; Radiology, 1971"));
        MeyerdingPage meyerding;
        meyerding.apSize->setValue(40);
        meyerding.displacement->setValue(10);
        meyerding.calculate();
        QCOMPARE(text(meyerding.result), QStringLiteral("🦴 Шкала Meyerding:\n• Размер позвонка: 40.0 мм\n• Смещение: 10.0 "
                                                        "мм\n• 👉 % смещения = 25.0%\n• Степень II (25–50%)"));
    }

    // NASCET = (1 − a/c) × 100, ECST = (1 − a/b) × 100; a residual lumen wider than b or c is refused. The
    // treatment bands are NASCET's: the ECST value carries none of them.
    void nascet_data()
    {
        QTest::addColumn<double>("a");
        QTest::addColumn<double>("b");
        QTest::addColumn<double>("c");
        QTest::addColumn<QString>("nascet");
        QTest::addColumn<QString>("ecst");
        QTest::newRow("defaults") << 2.0 << 7.0 << 6.0 << QStringLiteral("66.7% → Стеноз 50–69%")
                                  << QStringLiteral("71.4%");
        QTest::newRow("4 / 10 / 6") << 4.0 << 10.0 << 6.0 << QStringLiteral("33.3% → Стеноз <50%")
                                    << QStringLiteral("60.0%");
        QTest::newRow("a equals c") << 6.0 << 7.0 << 6.0 << QStringLiteral("0.0% → Стеноз <50%")
                                    << QStringLiteral("14.3%");
        QTest::newRow("a above c") << 6.5 << 7.0 << 6.0 << QString() << QString();
        QTest::newRow("a above b") << 7.5 << 7.0 << 8.0 << QString() << QString();
        // No residual lumen: an occlusion, with no endarterectomy advice.
        QTest::newRow("occlusion") << 0.0 << 7.0 << 6.0 << QStringLiteral("100.0% → 100% — окклюзия просвета\n")
                                   << QStringLiteral("100.0%");
    }
    void nascet()
    {
        QFETCH(double, a);
        QFETCH(double, b);
        QFETCH(double, c);
        QFETCH(QString, nascet);
        QFETCH(QString, ecst);
        NascetEcstPage page;
        page.a->setValue(a);
        page.b->setValue(b);
        page.c->setValue(c);
        page.calculate();
        const QString shown = text(page.result);
        QCOMPARE(shown.startsWith(QStringLiteral("⚠️")), nascet.isEmpty());
        QVERIFY2(shown.contains(QStringLiteral("NASCET: %1").arg(nascet)) == !nascet.isEmpty(), qPrintable(shown));
        const QString ecstLine = shown.section(QLatin1Char('\n'), 3, 3);
        QVERIFY2(ecstLine.startsWith(QStringLiteral("• ECST:   %1 ").arg(ecst)) == !ecst.isEmpty(), qPrintable(shown));
        for (const double band : {0.0, 60.0, 80.0, 95.0})
            QVERIFY2(!ecstLine.contains(clinical::carotidStenosisText(band).section(QStringLiteral(" — "), 1)),
                     qPrintable(ecstLine));
    }

    void aspects()
    {
        AspectsPage page;
        page.calculate();
        QCOMPARE(text(page.result), QStringLiteral("🧠 ASPECTS:\n• Поражённые зоны: нет\n• 👉 Счёт: 10/10\n• ✅ Нет ранних "
                                                   "ишемических изменений\n• 💡 Тромболизис/тромбэкстракция возможны при "
                                                   "соответствии критериям\n\nℹ️ ASPECTS ≥6 — критерий отбора для "
                                                   "тромбэкстракции (ESO/ESMINT)\nℹ️ Alberta Stroke Program Early CT Score"));
        const QStringList marked{QStringLiteral("M6"), QStringLiteral("C"), QStringLiteral("IC"), QStringLiteral("M2")};
        for (const QString& code : marked)
            QTest::mouseClick(page.findChild<QPushButton*>(code), Qt::LeftButton);
        QCOMPARE(page.scoreLabel->text(), QStringLiteral("Текущий счёт: 6/10"));
        QVERIFY(page.findChild<QPushButton*>(QStringLiteral("C"))->isChecked());
        page.calculate();
        QVERIFY(text(page.result).startsWith(QStringLiteral("🧠 ASPECTS:\n• Поражённые зоны: C, IC, M2, M6\n• 👉 Счёт: "
                                                            "6/10\n• ⚠️ Умеренные изменения (ASPECTS 6–7)\n• 💡 Решение о "
                                                            "реперфузии индивидуально")));
        QTest::mouseClick(page.findChild<QPushButton*>(QStringLiteral("L")), Qt::LeftButton);
        QTest::mouseClick(page.findChild<QPushButton*>(QStringLiteral("I")), Qt::LeftButton);
        QCOMPARE(page.scoreLabel->text(), QStringLiteral("Текущий счёт: 4/10"));
        page.calculate();
        QVERIFY(text(page.result).contains(QStringLiteral("• 🚨 Обширная ишемия (ASPECTS <6)")));
        // A second click unmarks the zone.
        QTest::mouseClick(page.findChild<QPushButton*>(QStringLiteral("I")), Qt::LeftButton);
        QCOMPARE(page.scoreLabel->text(), QStringLiteral("Текущий счёт: 5/10"));
        QVERIFY(!page.findChild<QPushButton*>(QStringLiteral("I"))->isChecked());
    }

    void phases_data()
    {
        QTest::addColumn<QList<int>>("indexes");
        QTest::addColumn<QString>("sum");
        QTest::addColumn<QString>("risk");
        QTest::addColumn<QString>("grade");
        QTest::newRow("fresh") << QList<int>{0, 0, 0, 0, 0, 0} << QStringLiteral("0") << QStringLiteral("0.4%")
                               << QStringLiteral("✅ Низкий риск — консервативное наблюдение");
        QTest::newRow("Finland, 10-19.9, ICA") << QList<int>{2, 0, 0, 2, 0, 0} << QStringLiteral("11")
                                               << QStringLiteral("7.2%")
                                               << QStringLiteral("🚨 Высокий риск — рекомендовано активное лечение");
        QTest::newRow("Japan, age, hypertension") << QList<int>{1, 1, 1, 0, 0, 0} << QStringLiteral("5")
                                                  << QStringLiteral("1.3%")
                                                  << QStringLiteral("⚠️ Умеренный риск — мультидисциплинарное обсуждение лечения");
        QTest::newRow("maximum") << QList<int>{2, 1, 1, 3, 1, 2} << QStringLiteral("22") << QStringLiteral("17.8%")
                                 << QStringLiteral("🚨 Высокий риск — рекомендовано активное лечение");
    }
    void phases()
    {
        QFETCH(QList<int>, indexes);
        QFETCH(QString, sum);
        QFETCH(QString, risk);
        QFETCH(QString, grade);
        PhasesPage page;
        const QList<QComboBox*> combos{page.population, page.hypertension, page.age, page.size, page.earlierSah, page.site};
        for (int i = 0; i < 6; ++i)
            combos[i]->setCurrentIndex(indexes[i]);
        page.calculate();
        const QString t = text(page.result);
        QVERIFY2(t.startsWith(QStringLiteral("🧠 PHASES score — риск разрыва аневризмы:\n━━━━━━━━━━━━━━━━━━\n• 👉 Сумма "
                                             "баллов: %1\n• 5-летний риск разрыва: %2\n• %3\n\n📊 Шкала риска по "
                                             "баллам:\n  0–2 → 0.4%\n")
                                  .arg(sum, risk, grade)),
                 qPrintable(t));
        QVERIFY(t.endsWith(QStringLiteral("\nℹ️ Lancet Neurology, 2014")));
    }
};

QTEST_MAIN(TstNeuroMsk)
#include "tst_neuromsk.moc"
