// Lung nodule measurement: the Lung-RADS size limits at baseline and on
// follow-up, the ellipsoid estimate from one outline, and the window on a real
// CT series, including bad slices and empty input.

#include "clinical/LungNoduleFormulas.h"
#include "clinical/LungNoduleWindow.h"
#include "mpr/MprViewportWidget.h"

#include "support/DicomFixtures.h"

#include <QCheckBox>
#include <QGraphicsSimpleTextItem>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>

class TestLungNodule : public QObject
{
    Q_OBJECT

private slots:
    void lungRads_data();
    void lungRads();
    void outlineEstimate();
    void windowOnSeries();
    void emptyAndBadInput();
};

void TestLungNodule::lungRads_data()
{
    QTest::addColumn<double>("widthMm");
    QTest::addColumn<double>("heightMm");
    QTest::addColumn<bool>("followUp");
    QTest::addColumn<double>("mean");
    QTest::addColumn<QString>("category");
    // Graded on the mean of the two axes rounded to 0.1 mm; strict less-than limits of 6 / 8 / 15 mm at
    // baseline and 4 / 6 / 8 mm for a nodule new on follow-up.
    QTest::newRow("9 x 5 baseline") << 9.0 << 5.0 << false << 7.0 << QStringLiteral("3");
    QTest::newRow("5.9 baseline") << 5.9 << 5.9 << false << 5.9 << QStringLiteral("2");
    QTest::newRow("5.9 follow-up") << 5.9 << 5.9 << true << 5.9 << QStringLiteral("3");
    QTest::newRow("5.96 rounds to 6.0") << 6.0 << 5.92 << false << 6.0 << QStringLiteral("3");
    QTest::newRow("3.9 follow-up") << 3.9 << 3.9 << true << 3.9 << QStringLiteral("2");
    QTest::newRow("4.0 follow-up") << 5.0 << 3.0 << true << 4.0 << QStringLiteral("3");
    QTest::newRow("8.0 baseline") << 8.0 << 8.0 << false << 8.0 << QStringLiteral("4A");
    QTest::newRow("20 x 9.8 baseline") << 20.0 << 9.8 << false << 14.9 << QStringLiteral("4A");
    QTest::newRow("15.0 baseline") << 15.0 << 15.0 << false << 15.0 << QStringLiteral("4B");
    QTest::newRow("7.9 follow-up") << 7.9 << 7.9 << true << 7.9 << QStringLiteral("4A");
    QTest::newRow("8.0 follow-up") << 10.0 << 6.0 << true << 8.0 << QStringLiteral("4B");
}

void TestLungNodule::lungRads()
{
    QFETCH(double, widthMm);
    QFETCH(double, heightMm);
    QFETCH(bool, followUp);
    QFETCH(double, mean);
    QFETCH(QString, category);
    const clinical::NoduleEstimate e = clinical::noduleFromOutline(widthMm, heightMm, 1.0, 1.0);
    QCOMPARE(e.meanDiameterMm, mean);
    QCOMPARE(clinical::lungRadsCategory(e.meanDiameterMm, followUp), category);
    QVERIFY(clinical::lungRadsCategoryText(e.meanDiameterMm, followUp)
                .startsWith(QStringLiteral("Категория %1 — ").arg(category)));
}

void TestLungNodule::outlineEstimate()
{
    // 10 × 10 px at 0.7 mm: a = b = c = 3.5 mm, 4π/3 × 3.5³ = 179.594 mm³.
    clinical::NoduleEstimate e = clinical::noduleFromOutline(10, 10, 0.7, 0.7);
    QVERIFY(e.valid && std::abs(e.diameterMm - 7.0) < 1e-9 &&
            std::abs(e.volumeMm3 - 179.5943800302162) < 1e-6);
    // Elongated: a = 10, b = 5, c = 7.5; the longer axis is the diameter.
    e = clinical::noduleFromOutline(20, 10, 1.0, 1.0);
    QVERIFY(std::abs(e.diameterMm - 20.0) < 1e-9 && std::abs(e.volumeMm3 - 1570.7963267948965) < 1e-6);
    // X spacing 0 counts as 1 mm on X only: a = 5, b = 2.5, c = 3.75.
    e = clinical::noduleFromOutline(10, 10, 0.0, 0.5);
    QVERIFY(std::abs(e.diameterMm - 10.0) < 1e-9 && std::abs(e.volumeMm3 - 196.34954084936209) < 1e-6);
    QVERIFY(!clinical::noduleFromOutline(0, 10, 1.0, 1.0).valid);
}

void TestLungNodule::windowOnSeries()
{
    QTemporaryDir dir;
    fixtures::SeriesLayout layout;
    layout.slices = 4;
    const QStringList files = fixtures::writeSeries(dir.path(), layout);
    QList<db::InstanceRecord> slices;
    for (const QString& file : files) {
        db::InstanceRecord r;
        r.filePath = file;
        r.pixelSpacingX = r.pixelSpacingY = 0.7;
        slices.append(r);
    }
    QWidget parent;
    auto* w = new LungNoduleWindow(slices, 99, QStringLiteral("Грудь"), &parent, -600.0, 1500.0);
    QCOMPARE(w->windowTitle(), QStringLiteral("Узел в лёгком — Грудь"));
    QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose) && (w->windowFlags() & Qt::Window));
    QCOMPARE(w->currentIndex(), 3);
    QCOMPARE(w->viewport()->sliceIndex(), 3);
    QCOMPARE(w->viewport()->measurementMode(), 7);
    QCOMPARE(w->viewport()->pixelSpacing(), 0.7);
    QVERIFY(w->resultLabel()->text().contains(QStringLiteral("Обведите узел")));
    w->show();

    // The panel's slider and wheel move through the slices.
    emit w->viewport()->sliceIndexRequested(1);
    QCOMPARE(w->currentIndex(), 1);
    QCOMPARE(w->viewport()->sliceIndex(), 1);
    emit w->viewport()->wheelStepped(-1);
    emit w->viewport()->wheelStepped(-1);
    QCOMPARE(w->currentIndex(), 0); // clamped at the first slice

    // The panel asks the window for its ROI label: a 13 × 7 pixel outline at 0.7 mm is 9.1 × 4.9 mm, the
    // mean 7.0 mm grades it.
    w->viewport()->importMeasurements(
        {MprMeasurementRecord{7, 0, {QPointF(3, 4), QPointF(16, 11)}, QPointF()}});
    QCOMPARE(w->viewport()->measurements().last().label->text(), QStringLiteral("Узел: 9.1 мм"));
    QCOMPARE(w->meanDiameterMm(), 7.0);
    const QString html = w->resultLabel()->text();
    for (const QString& shown : {QStringLiteral("9.1 мм"), QStringLiteral("7.0 мм"), QStringLiteral("0.16 см³"),
                                 QStringLiteral("Категория 3 — ")})
        QVERIFY2(html.contains(shown), qPrintable(html));
    w->followUpCheck()->setChecked(true);
    QVERIFY(w->resultLabel()->text().contains(QStringLiteral("<b>Lung-RADS:</b> Категория 4A — ")));
    QCoreApplication::processEvents();

    // A degenerate outline clears the result.
    QCOMPARE(w->roiLabel(QRectF(3, 4, 0, 10)), QStringLiteral("ROI пуст"));
    QVERIFY(!w->hasMeasurement());
    QVERIFY(w->resultLabel()->text().contains(QStringLiteral("Обведите узел")));

    // A slice whose file is gone keeps the previous picture and slider.
    QVERIFY(QFile::remove(files.at(2)));
    emit w->viewport()->sliceIndexRequested(2);
    QCOMPARE(w->currentIndex(), 2);
    QCOMPARE(w->viewport()->sliceIndex(), 0);
}

void TestLungNodule::emptyAndBadInput()
{
    QWidget parent;
    auto* w = new LungNoduleWindow({}, -3, QStringLiteral("—"), &parent, 0.0, 0.0);
    w->show();
    QCOMPARE(w->currentIndex(), 0);
    QCOMPARE(w->roiLabel(QRectF(0, 0, 10, 10)), QStringLiteral("Нет данных"));
    QVERIFY(!w->hasMeasurement());
    emit w->viewport()->sliceIndexRequested(5); // nothing to show, nothing breaks

    // A negative index starts on the first slice; a file that is no DICOM shows
    // nothing but still measures.
    QTemporaryDir dir;
    const QString bad = dir.filePath(QStringLiteral("bad.dcm"));
    fixtures::writeBytes(bad, QByteArray("not a dicom file"));
    db::InstanceRecord r;
    r.filePath = bad;
    r.pixelSpacingY = 0.5; // no X spacing
    auto* b = new LungNoduleWindow({r, r}, -3, QStringLiteral("bad"), &parent, 0.0, 0.0);
    QCOMPARE(b->currentIndex(), 0);
    QCOMPARE(b->roiLabel(QRectF(0, 0, 10, 10)), QStringLiteral("Узел: 10.0 мм"));
}

QTEST_MAIN(TestLungNodule)
#include "tst_lungnodule.moc"
