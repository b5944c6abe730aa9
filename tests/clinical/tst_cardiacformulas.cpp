// Cardiac volumetry formulas checked against hand-computed values, and every grading text at the edges
// of its normal range for both sexes.

#include "clinical/CardiacFormulas.h"

#include <QtTest>

#include <cmath>
#include <limits>

using namespace clinical;

class TestCardiacFormulas : public QObject
{
    Q_OBJECT

private slots:
    void bodySurfaceArea();
    void discVolumeAndMass();
    void lvVolumetryValues();
    void rvVolumetryValues();
    void mmodeMetrics();
    void wallThicknessRatio_data();
    void wallThicknessRatio();
    void bandGrades_data();
    void bandGrades();
};

void TestCardiacFormulas::bodySurfaceArea()
{
    // 0.007184 × 170^0.725 × 70^0.425 and 0.007184 × 160^0.725 × 55^0.425.
    QVERIFY(std::abs(bodySurfaceAreaDuBois(170.0, 70.0) - 1.8097078) < 1e-6);
    QVERIFY(std::abs(bodySurfaceAreaDuBois(160.0, 55.0) - 1.5631745) < 1e-6);
    QCOMPARE(bodySurfaceAreaDuBois(0.0, 70.0), 0.0);
    QCOMPARE(bodySurfaceAreaDuBois(170.0, -1.0), 0.0);
}

void TestCardiacFormulas::discVolumeAndMass()
{
    // (10 + 12) × 8 × 1.25 / 10 = 22 ml; −1 and 0 are slices without contour.
    QCOMPARE(discSummationVolume({10.0, 0.0, 12.0}, 8.0, 25.0), 22.0);
    QCOMPARE(discSummationVolume({10.0, -1.0, 12.0}, 8.0, 25.0), 22.0);
    QCOMPARE(discSummationVolume({}, 8.0, 25.0), 0.0);

    // Only the first slice has both contours: 10 × 1.05 × 8 × 1.25 / 10 = 10.5 g.
    QVERIFY(std::abs(myocardialMass({20.0, 22.0}, {10.0, 0.0}, 8.0, 25.0) - 10.5) < 1e-12);
    // Lists of unequal length use the shorter one; an epicardial area below the endocardial lowers the sum.
    QVERIFY(std::abs(myocardialMass({20.0, 22.0, 30.0}, {10.0, 12.0}, 8.0, 25.0) - 21.0) < 1e-12);
    QVERIFY(std::abs(myocardialMass({20.0, 8.0}, {10.0, 10.0}, 8.0, 25.0) - 8.4) < 1e-12);
}

void TestCardiacFormulas::lvVolumetryValues()
{
    // ED endo 10+12 → 22 ml, ES endo 4+7 → 11 ml, SV 11, EF 50 %, mass 10 × 1.05 = 10.5 g per cm² sum.
    const LvVolumetryResult r = lvVolumetry({10.0, 12.0}, {20.0, 0.0}, {4.0, 7.0}, 8.0, 25.0, 2.0);
    QVERIFY(r.valid);
    QCOMPARE(QList<double>({r.edvMl, r.esvMl, r.svMl, r.efPercent}), QList<double>({22, 11, 11, 50}));
    QVERIFY(std::abs(r.massG - 10.5) < 1e-12);
    QVERIFY(std::abs(r.myocardiumToEdvRatio - 10.5 / (22.0 * 1.05)) < 1e-12);
    QCOMPARE(QList<double>({r.edvIndex, r.esvIndex, r.svIndex}), QList<double>({11.0, 5.5, 5.5}));
    QVERIFY(std::abs(r.massIndex - 5.25) < 1e-12);

    // No positive ED area: EF and ratio 0, not valid; bsa 0 leaves every index at 0.
    const LvVolumetryResult empty = lvVolumetry({0.0, -2.0}, {}, {3.0}, 8.0, 25.0, 0.0);
    QVERIFY(!empty.valid);
    QCOMPARE(
        QList<double>({empty.efPercent, empty.myocardiumToEdvRatio, empty.esvMl, empty.svMl, empty.esvIndex}),
        QList<double>({0.0, 0.0, 3.0, -3.0, 0.0}));

    const LvVolumetryResult noBsa = lvVolumetry({10.0}, {}, {5.0}, 8.0, 25.0, 0.0);
    QVERIFY(noBsa.valid);
    QCOMPARE(noBsa.edvIndex + noBsa.esvIndex + noBsa.svIndex + noBsa.massIndex, 0.0);
    QVERIFY(!lvVolumetry({}, {20.0}, {5.0}, 8.0, 25.0, 1.8).valid); // an empty list
}

void TestCardiacFormulas::rvVolumetryValues()
{
    const RvVolumetryResult r = rvVolumetry({16.0, 0.0, 16.0}, {8.0, 8.0}, 10.0, 0.0, 4.0);
    QVERIFY(r.valid);
    QCOMPARE(QList<double>({r.edvMl, r.esvMl, r.efPercent, r.edvIndex, r.svIndex}),
             QList<double>({32, 16, 50, 8, 4}));
    QVERIFY(!rvVolumetry({8.0}, {}, 10.0, 0.0, 4.0).valid);
    QVERIFY(!rvVolumetry({0.0}, {1.0}, 10.0, 0.0, 4.0).valid);
}

void TestCardiacFormulas::mmodeMetrics()
{
    // 0.832 × (70³ − 50³) / 1000 + 0.6 = 181.976 g; FS (50 − 30) / 50 = 40 %.
    MmodeLvResult r = mmodeLvMetrics(50.0, 30.0, 10.0, 10.0, 2.0);
    QVERIFY(r.valid);
    QVERIFY(std::abs(r.cubeMassG - 181.976) < 1e-9);
    QVERIFY(std::abs(r.cubeMassIndex - 90.988) < 1e-9);
    QCOMPARE(r.fractionalShorteningPercent, 40.0);

    r = mmodeLvMetrics(50.0, 0.0, 10.0, 10.0, 0.0);
    QVERIFY(r.valid);
    QCOMPARE(r.fractionalShorteningPercent, 0.0);
    QCOMPARE(r.cubeMassIndex, 0.0);

    QVERIFY(!mmodeLvMetrics(0.0, 30.0, 10.0, 10.0, 2.0).valid &&
            !mmodeLvMetrics(50.0, 30.0, 0.0, 10.0, 2.0).valid);
    QCOMPARE(mmodeLvMetrics(50.0, 30.0, 10.0, -1.0, 2.0).cubeMassG, 0.0);
}

// RWT = 2 × posterior wall thickness / LV internal diameter, both in diastole.
void TestCardiacFormulas::wallThicknessRatio_data()
{
    QTest::addColumn<double>("wall");
    QTest::addColumn<double>("diameter");
    QTest::addColumn<double>("rwt");
    QTest::newRow("10 / 50") << 10.0 << 50.0 << 0.40;
    QTest::newRow("13 / 50") << 13.0 << 50.0 << 0.52;
    QTest::newRow("no diameter") << 10.0 << 0.0 << 0.0;
    QTest::newRow("no wall") << 0.0 << 50.0 << 0.0;
}

void TestCardiacFormulas::wallThicknessRatio()
{
    QFETCH(double, wall);
    QFETCH(double, diameter);
    QFETCH(double, rwt);
    QVERIFY(std::abs(relativeWallThickness(wall, diameter) - rwt) < 1e-12);
}

void TestCardiacFormulas::bandGrades_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
    auto row = [](const char* name, const QString& actual, const char* expected) {
        QTest::newRow(name) << actual << QString::fromUtf8(expected);
    };
    // Sex-specific bands: the limits themselves are normal.
    row("LV EDV F 104", lvEdVolumeGrade(104.0, true), "норма");
    row("LV EDV F 177.01", lvEdVolumeGrade(177.01, true), "УВЕЛИЧЕН");
    row("RV EDV M 210.5", rvEdVolumeGrade(210.5, false), "УВЕЛИЧЕН");
    row("ESD F 35.5", lvEsDiameterGrade(35.5, true), "увел.");
    row("mass M 224.1", lvMassGrade(224.1, false), "ВЫШЕ нормы");
    row("FS 24.9", fractionalShorteningGrade(24.9), "СНИЖЕНА");
    // Threshold functions.
    row("LVEF 55", lvEfGrade(55.0), "НОРМА (≥55%)");
    row("LVEF 54.99", lvEfGrade(54.99), "умеренно снижена (40-54%)");
    row("RVEF 35", rvEfGrade(35.0), "умеренно снижена (35-44%)");
    row("LVMI F 95.1", lvMassIndexGrade(95.1, true), "ГИПЕРТРОФИЯ ЛЖ");
    row("wall 10", wallThicknessGrade(10.0), "норма");
    row("wall 13", wallThicknessGrade(13.0), "умеренная ГЛЖ");
    row("wall 13.1", wallThicknessGrade(13.1), "значительная ГЛЖ");
    row("RAVI F 36.1", raVolumeGrade(36.1, true), "ДИЛАТАЦИЯ ПП");
    // LV volumes and mass index on the MRI ranges, each sex on its own limits: an average MRI ventricle is
    // normal, where echocardiography's smaller limits would call it enlarged.
    row("EDV F 130, about the MRI mean", lvEdVolumeGrade(130.0, true), "норма");
    row("EDV M 200", lvEdVolumeGrade(200.0, false), "норма");
    row("EDV F 190", lvEdVolumeGrade(190.0, true), "УВЕЛИЧЕН");
    row("EDV M 100", lvEdVolumeGrade(100.0, false), "уменьшен");
    row("ESV F 60", lvEsVolumeGrade(60.0, true), "норма");
    row("ESV F 70", lvEsVolumeGrade(70.0, true), "УВЕЛИЧЕН");
    row("ESV M 75", lvEsVolumeGrade(75.0, false), "норма");
    row("ESV M 25", lvEsVolumeGrade(25.0, false), "уменьшен");
    row("LVMI F 60", lvMassIndexGrade(60.0, true), "ГИПЕРТРОФИЯ ЛЖ");
    row("LVMI M 71", lvMassIndexGrade(71.0, false), "масса ЛЖ норма");
    row("LVMI M 75", lvMassIndexGrade(75.0, false), "ГИПЕРТРОФИЯ ЛЖ");
    // The maximal LA volume on the MRI ranges of each sex, where echocardiography's 34 ml/m² called the
    // average MRI atrium (89 ml in a woman of 1.7 m²) dilated.
    row("LAV F 89, the MRI mean", laVolumeGrade(89.0, true), "норма");
    row("LAV F 130", laVolumeGrade(130.0, true), "норма");
    row("LAV F 130.1", laVolumeGrade(130.1, true), "ДИЛАТАЦИЯ ЛП");
    row("LAV M 140", laVolumeGrade(140.0, false), "норма");
    row("LAV M 162", laVolumeGrade(162.0, false), "норма");
    row("LAV M 162.1", laVolumeGrade(162.1, false), "ДИЛАТАЦИЯ ЛП");
    // Relative wall thickness: one cut-off of 0.42 for women and men.
    row("RWT 0.42", rwtGrade(0.42), "норма");
    row("RWT 0.44", rwtGrade(0.44), "концентрическая геометрия (RWT повышен)");
}

void TestCardiacFormulas::bandGrades()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

QTEST_GUILESS_MAIN(TestCardiacFormulas)
#include "tst_cardiacformulas.moc"
