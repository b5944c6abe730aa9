// Lung nodule measurement: the Lung-RADS size limits at baseline and on
// follow-up, the ellipsoid estimate from one outline, and the window on a real
// CT series, including bad slices and empty input.

#include <clinical/LungNoduleFormulas.h>
#include <clinical/LungNoduleWindow.h>
#include <mpr/MprViewportWidget.h>

#include "DicomFixtures.h"

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
    void outlineEstimate_data();
    void outlineEstimate();
    void windowOnSeries();
    void emptyAndBadInput();
};

void TestLungNodule::lungRads_data()
{
    QTest::addColumn<double>("size");
    QTest::addColumn<bool>("followUp");
    QTest::addColumn<QString>("category");
    QTest::newRow("5.9 baseline") << 5.9 << false << QStringLiteral("2");
    QTest::newRow("5.9 follow-up") << 5.9 << true << QStringLiteral("3");
    QTest::newRow("6.0 baseline") << 6.0 << false << QStringLiteral("3");
    QTest::newRow("3.99 follow-up") << 3.99 << true << QStringLiteral("2");
    QTest::newRow("4.0 follow-up") << 4.0 << true << QStringLiteral("3");
    QTest::newRow("8.0 baseline") << 8.0 << false << QStringLiteral("4A");
    QTest::newRow("14.9 baseline") << 14.9 << false << QStringLiteral("4A");
    QTest::newRow("15.0 baseline") << 15.0 << false << QStringLiteral("4B");
    QTest::newRow("7.9 follow-up") << 7.9 << true << QStringLiteral("4A");
    QTest::newRow("8.0 follow-up") << 8.0 << true << QStringLiteral("4B");
}

void TestLungNodule::lungRads()
{
    QFETCH(double, size);
    QFETCH(bool, followUp);
    QFETCH(QString, category);
    const QString text = clinical::lungRadsCategoryText(size, followUp);
    QVERIFY2(text.startsWith(QStringLiteral("Категория %1 — ").arg(category)), qPrintable(text));
}

void TestLungNodule::outlineEstimate_data()
{
    QTest::addColumn<QSizeF>("rect");
    QTest::addColumn<double>("sx");
    QTest::addColumn<double>("sy");
    QTest::addColumn<double>("diameter");
    QTest::addColumn<double>("volume");
    // a = b = c = 3.5 mm: 4π/3 × 3.5³ = 179.594 mm³.
    QTest::newRow("circle 10 px at 0.7 mm") << QSizeF(10, 10) << 0.7 << 0.7 << 7.0 << 179.5943800302162;
    // a = 10, b = 5, c = 7.5: the longer axis is the diameter.
    QTest::newRow("elongated") << QSizeF(20, 10) << 1.0 << 1.0 << 20.0 << 1570.7963267948965;
    // X spacing 0 counts as 1 mm on X only: a = 5, b = 2.5, c = 3.75.
    QTest::newRow("X spacing 0") << QSizeF(10, 10) << 0.0 << 0.5 << 10.0 << 196.34954084936209;
    QTest::newRow("no width") << QSizeF(0, 10) << 1.0 << 1.0 << 0.0 << 0.0;
}

void TestLungNodule::outlineEstimate()
{
    QFETCH(QSizeF, rect);
    QFETCH(double, sx);
    QFETCH(double, sy);
    QFETCH(double, diameter);
    QFETCH(double, volume);
    const clinical::NoduleEstimate e = clinical::noduleFromOutline(rect.width(), rect.height(), sx, sy);
    QCOMPARE(e.valid, diameter > 0.0);
    QVERIFY(std::abs(e.diameterMm - diameter) < 1e-9);
    QVERIFY(std::abs(e.volumeMm3 - volume) < 1e-6);
}

void TestLungNodule::windowOnSeries()
{
    QTemporaryDir dir;
    fixtures::SeriesSpec spec;
    spec.slices = 4;
    const QStringList files = fixtures::writeSeries(dir.path(), spec);
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
    QCOMPARE(w->currentIndex(), 0);
    emit w->viewport()->wheelStepped(-1);
    QCOMPARE(w->currentIndex(), 0);

    // The panel asks the window for its ROI label: a 10 × 10 pixel outline at 0.7 mm.
    w->viewport()->importMeasurements(
        {MprMeasurementRecord{7, 0, {QPointF(3, 4), QPointF(13, 14)}, QPointF()}});
    QCOMPARE(w->viewport()->measurements().last().label->text(), QStringLiteral("Узел: 7.0 мм"));
    QString html = w->resultLabel()->text();
    QVERIFY2(html.contains(QStringLiteral("<b>Диаметр (наибольший):</b> 7.0 мм<br><b>Оценочный объём</b> "
                                          "(приближение "
                                          "эллипсоидом): 0.18 см³<br><b>Lung-RADS:</b> Категория 3 — ")),
             qPrintable(html));
    w->followUpCheck()->setChecked(true);
    QVERIFY(w->resultLabel()->text().contains(QStringLiteral("<b>Lung-RADS:</b> Категория 4A — ")));
    QCoreApplication::processEvents();
    w->grab().save(QStringLiteral("/tmp/lung-nodule-window.png"));

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
    r.pixelSpacingX = 0.0;
    r.pixelSpacingY = 0.5;
    auto* b = new LungNoduleWindow({r, r}, -3, QStringLiteral("bad"), &parent, 0.0, 0.0);
    QCOMPARE(b->currentIndex(), 0);
    QCOMPARE(b->roiLabel(QRectF(0, 0, 10, 10)), QStringLiteral("Узел: 10.0 мм"));
}

QTEST_MAIN(TestLungNodule)
#include "tst_lungnodule.moc"
