// The CT effective-dose page: conversion factors and region detection worked by hand, the result
// texts, and the study scan on a real index holding dose reports and CT series written here.
#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "clinical/CalculatorPageKit.h"
#include "clinical/CtDoseFormulas.h"
#include "clinical/CtDoseFromDlpPage.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>

#include <memory>

namespace {

// One CT or SR series of a study. ctdi <= 0: no CTDIvol; dlp empty: an SR without the total.
struct SeriesPlan
{
    QString modality = QStringLiteral("CT");
    QString description;
    QString bodyPart;
    int slices = 8;
    double ctdi = 0.0;
    QString phantomMeaning;
    QString reportDlp;
    bool sliceLocation = true;
    // Geometry: empty frame of reference is a new one per series.
    QString frameOfReference;
    fixtures::Plane plane = fixtures::Plane::Axial;
    double sliceSpacing = 1.5;
    double sliceThickness = 1.5;
    double startZ = 50.0;
};

void addTotalDlp(DcmDataset& ds, const QString& value)
{
    ds.putAndInsertString(DCM_ValueType, "CONTAINER");
    DcmItem* child = nullptr;
    ds.findOrCreateSequenceItem(DCM_ContentSequence, child, -2);
    child->putAndInsertString(DCM_ValueType, "NUM");
    DcmItem* name = nullptr;
    child->findOrCreateSequenceItem(DCM_ConceptNameCodeSequence, name, -2);
    name->putAndInsertString(DCM_CodeValue, "113813");
    name->putAndInsertString(DCM_CodingSchemeDesignator, "DCM");
    name->putAndInsertString(DCM_CodeMeaning, "DLP Total");
    DcmItem* measured = nullptr;
    child->findOrCreateSequenceItem(DCM_MeasuredValueSequence, measured, -2);
    measured->putAndInsertString(DCM_NumericValue, value.toLatin1().constData());
}

} // namespace

class TstCtDose : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<db::Database> m_db;
    int m_studies = 0;

    // Writes and indexes the series of one new study; returns its UID.
    QString makeStudy(const QList<SeriesPlan>& plans)
    {
        const QString studyUid = fixtures::newUid();
        const QString dir = m_dir.filePath(QStringLiteral("study%1").arg(++m_studies));
        int number = 0;
        for (const SeriesPlan& plan : plans) {
            fixtures::SeriesLayout layout;
            layout.studyUid = studyUid;
            layout.rows = 8;
            layout.columns = 8;
            layout.slices = plan.slices;
            layout.modality = plan.modality;
            layout.seriesDescription = plan.description;
            layout.bodyPart = plan.bodyPart;
            layout.seriesNumber = QString::number(++number);
            layout.frameOfReferenceUid = plan.frameOfReference;
            layout.plane = plan.plane;
            layout.sliceSpacing = plan.sliceSpacing;
            layout.sliceThickness = plan.sliceThickness;
            layout.origin[2] = plan.startZ;
            layout.customize = [plan](DcmDataset& ds, int) {
                if (plan.ctdi > 0)
                    ds.putAndInsertFloat64(DCM_CTDIvol, plan.ctdi);
                if (!plan.phantomMeaning.isEmpty()) {
                    DcmItem* item = nullptr;
                    ds.findOrCreateSequenceItem(DCM_CTDIPhantomTypeCodeSequence, item, -2);
                    item->putAndInsertString(DCM_CodeValue, "113691");
                    item->putAndInsertString(DCM_CodingSchemeDesignator, "DCM");
                    item->putAndInsertString(DCM_CodeMeaning, plan.phantomMeaning.toLatin1().constData());
                }
                if (!plan.sliceLocation)
                    ds.findAndDeleteElement(DCM_SliceLocation);
                if (plan.modality == QLatin1String("SR"))
                    addTotalDlp(ds, plan.reportDlp.isEmpty() ? QStringLiteral("x") : plan.reportDlp);
            };
            if (!fixtures::writeAndIndexSeries(*m_db, dir + QStringLiteral("/s%1").arg(number), layout))
                return {};
        }
        return studyUid;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        dicom::registerMetaTypes();
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
    }

    void factors()
    {
        QCOMPARE(*clinical::doseKFactor(0, 0, 5), 0.0014);
        QCOMPARE(*clinical::effectiveDoseFromDlp(500, 0, 0, 5), 0.0014 * 500);
        QCOMPARE(*clinical::effectiveDoseFromDlp(100, 1, 6, 5), 0.0002 * 100);
        QCOMPARE(*clinical::doseKFactor(1, 10, 0), 0.043);
        QVERIFY(!clinical::doseKFactor(0, 3, 5));        // adults are not converted on the head phantom for the chest
        QVERIFY(!clinical::effectiveDoseFromDlp(500, 1, 0, 2)); // no body-phantom factor for the head
        QVERIFY(!clinical::doseKFactor(0, 11, 0));
        QVERIFY(!clinical::doseKFactor(0, 0, 6));
        QCOMPARE(clinical::regionsWithKFactors(0), (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
        QCOMPARE(clinical::regionsWithKFactors(1), (QList<int>{3, 4, 5, 6, 7, 8, 9, 10}));
        QCOMPARE(clinical::bodyRegionName(9), QStringLiteral("Грудная клетка + брюшная полость + таз"));
        QCOMPARE(clinical::bodyRegionName(11), QString());
        QCOMPARE(clinical::bodyRegionName(-1), QString());
        QCOMPARE(clinical::backgroundDoseText(0.7),
                 QStringLiteral("≈ 0.29 лет среднегодового природного фона (~2.4 мЗв/год, UNSCEAR)"));
    }

    // The scanned extent comes from the image positions along the slice normal; Slice Location stands in
    // only without them.
    void scannedLength_data()
    {
        QTest::addColumn<QString>("plane");
        QTest::addColumn<QList<double>>("along");
        QTest::addColumn<QList<double>>("locations");
        QTest::addColumn<double>("thickness");
        QTest::addColumn<double>("length");
        QTest::newRow("axial, no Slice Location") << QStringLiteral("axial") << QList<double>{0, 5, 10}
                                                  << QList<double>{0, 0, 0} << 5.0 << 15.0;
        QTest::newRow("sagittal") << QStringLiteral("sagittal") << QList<double>{-20, 0, 20} << QList<double>{0, 0, 0}
                                  << 2.0 << 42.0;
        QTest::newRow("positions outrank Slice Location") << QStringLiteral("axial") << QList<double>{0, 10, 20}
                                                          << QList<double>{0, 5, 10} << 1.0 << 21.0;
        QTest::newRow("no positions") << QString() << QList<double>{0, 0, 0} << QList<double>{50, -50, 0} << 3.0
                                      << 103.0;
        QTest::newRow("one slice") << QStringLiteral("axial") << QList<double>{7} << QList<double>{7} << 1.5 << 1.5;
    }
    void scannedLength()
    {
        QFETCH(QString, plane);
        QFETCH(QList<double>, along);
        QFETCH(QList<double>, locations);
        QFETCH(double, thickness);
        QFETCH(double, length);
        const bool sagittal = plane == QLatin1String("sagittal");
        QList<db::InstanceRecord> instances;
        for (int i = 0; i < along.size(); ++i) {
            db::InstanceRecord r;
            r.hasSpatialInfo = !plane.isEmpty();
            r.orientationRow = sagittal ? std::array<double, 3>{0, 1, 0} : std::array<double, 3>{1, 0, 0};
            r.orientationCol = sagittal ? std::array<double, 3>{0, 0, -1} : std::array<double, 3>{0, 1, 0};
            // Sagittal rows and columns make the normal point to −x.
            r.imagePosition = sagittal ? std::array<double, 3>{-along[i], 30, 40} : std::array<double, 3>{30, 40, along[i]};
            r.sliceLocation = locations[i];
            r.sliceThickness = thickness;
            instances.append(r);
        }
        QCOMPARE(clinical::scannedLengthMm(instances), length);
    }

    // Where a series lies along the table: every image's corners, and half a slice either side across it.
    void tableExtent_data()
    {
        QTest::addColumn<QString>("plane");
        QTest::addColumn<QList<double>>("z"); // image position z of each instance
        QTest::addColumn<double>("thickness");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QList<double>>("extent"); // empty: none
        QTest::newRow("axial") << QStringLiteral("axial") << QList<double>{10, 0, 5} << 2.0 << 32
                               << QList<double>{-1.0, 11.0};
        QTest::newRow("coronal, 50 rows of 0.8 mm")
            << QStringLiteral("coronal") << QList<double>{100, 100} << 5.0 << 50 << QList<double>{60.8, 100};
        QTest::newRow("no positions") << QString() << QList<double>{0, 10} << 1.0 << 32 << QList<double>{};
    }
    void tableExtent()
    {
        QFETCH(QString, plane);
        QFETCH(QList<double>, z);
        QFETCH(double, thickness);
        QFETCH(int, rows);
        QFETCH(QList<double>, extent);
        const bool coronal = plane == QLatin1String("coronal");
        QList<db::InstanceRecord> instances;
        for (double at : z) {
            db::InstanceRecord r;
            r.hasSpatialInfo = !plane.isEmpty();
            r.orientationRow = {1, 0, 0};
            r.orientationCol = coronal ? std::array<double, 3>{0, 0, -1} : std::array<double, 3>{0, 1, 0};
            r.imagePosition = {-100, -100, at};
            r.pixelSpacingX = 0.7;
            r.pixelSpacingY = 0.8;
            r.sliceThickness = thickness;
            instances.append(r);
        }
        const std::optional<clinical::TableExtent> found = clinical::tableExtentMm(instances, rows, 40);
        QCOMPARE(bool(found), !extent.isEmpty());
        if (found) {
            QVERIFY(std::abs(found->fromMm - extent[0]) < 1e-9);
            QVERIFY(std::abs(found->toMm - extent[1]) < 1e-9);
        }
    }

    // Series sharing a frame of reference and more than half of the shorter one's table extent are grouped.
    void reconstructionGroups_data()
    {
        QTest::addColumn<QStringList>("series"); // "frame:from:to" for series A, B, C…
        QTest::addColumn<QString>("groups");     // groups joined by "|", labels by ","
        QTest::newRow("same range") << QStringList{"1:0:300", "1:0:300"} << QStringLiteral("A,B");
        QTest::newRow("other frame") << QStringList{"1:0:300", "2:0:300"} << QString();
        QTest::newRow("no overlap") << QStringList{"1:0:300", "1:300:600"} << QString();
        QTest::newRow("short overlap") << QStringList{"1:0:300", "1:270:600"} << QString();
        QTest::newRow("thin chest inside the whole scan") << QStringList{"1:-100:600", "1:0:300"}
                                                          << QStringLiteral("A,B");
        QTest::newRow("two pairs, a third apart")
            << QStringList{"1:0:300", "2:0:300", "1:10:290", "2:500:900", "2:20:310"}
            << QStringLiteral("A,C|B,E");
        QTest::newRow("linked through a middle series") << QStringList{"1:0:100", "1:40:200", "1:100:260"}
                                                        << QStringLiteral("A,B,C");
        QTest::newRow("no frame of reference") << QStringList{":0:300", ":0:300"} << QString();
        QTest::newRow("no extent") << QStringList{"1", "1:0:300"} << QString();
    }
    void reconstructionGroups()
    {
        QFETCH(QStringList, series);
        QFETCH(QString, groups);
        QList<clinical::CountedDoseSeries> counted;
        for (const QString& row : series) {
            const QStringList parts = row.split(QLatin1Char(':'));
            const QString label(QChar(char16_t(u'A' + counted.size())));
            clinical::CountedDoseSeries one{label, parts.at(0), std::nullopt};
            if (parts.size() == 3)
                one.extent = clinical::TableExtent{parts.at(1).toDouble(), parts.at(2).toDouble()};
            counted.append(one);
        }
        QStringList found;
        for (const QStringList& group : clinical::likelyReconstructionGroups(counted))
            found.append(group.join(QLatin1Char(',')));
        QCOMPARE(found.join(QLatin1Char('|')), groups);
    }

    void detectRegion_data()
    {
        QTest::addColumn<QStringList>("inputs"); // body part, protocol, series, study
        QTest::addColumn<int>("region");         // -1: not found
        QTest::addColumn<int>("phantom");
        auto row = [](const char* name, QStringList in, int r, int p) {
            QTest::newRow(name) << in << r << p;
        };
        row("chest-abdomen", {"", "", "CHEST-ABDOMEN", ""}, 7, 1);
        row("head neck", {"", "", "Head Neck", ""}, 2, 0);
        row("whole body beats chest", {"", "", "Whole body chest", ""}, 10, 1);
        row("protocol only", {"", "Головной мозг", "", ""}, 0, 0);
        row("chest abdomen pelvis", {"", "", "Грудная клетка, брюшная полость, таз", ""}, 9, 1);
        row("abdomen pelvis", {"ABDOMEN PELVIS", "", "", ""}, 8, 1);
        row("knee is legs", {"KNEE", "", "", ""}, 6, 1);
        row("neck alone", {"", "", "шея", ""}, 1, 0);
        row("pelvis alone", {"", "", "", "Таз"}, 5, 1);
        row("first deciding input wins", {"HEAD", "", "chest", ""}, 0, 0);
        row("unknown text moves on", {"XYZ", "body", "", "abdomen"}, 4, 1);
        row("nothing", {"", "", "Series 1", "Routine"}, -1, 0);
    }
    void detectRegion()
    {
        QFETCH(QStringList, inputs);
        QFETCH(int, region);
        QFETCH(int, phantom);
        const clinical::BodyRegionGuess g = clinical::detectBodyRegion(inputs[0], inputs[1], inputs[2], inputs[3]);
        QCOMPARE(g.found, region >= 0);
        if (region >= 0) {
            QCOMPARE(g.region, region);
            QCOMPARE(g.phantom, phantom);
        }
    }

    void pageDefaultsAndTexts()
    {
        CtDoseFromDlpPage page(nullptr, QString());
        QVERIFY(!page.scanStatus); // no study: no scan row
        QCOMPARE(page.phantom->currentData().toInt(), 0);
        QCOMPARE(page.region->currentText(), QStringLiteral("Голова"));
        QCOMPARE(page.ageGroup->currentText(), QStringLiteral("Взрослые"));
        QCOMPARE(page.dlp->value(), 500.0);
        QCOMPARE(page.dlp->decimals(), 2);
        QVERIFY(page.result->text->toPlainText().isEmpty());

        page.calculate();
        QCOMPARE(page.result->text->toPlainText(),
                 QStringLiteral("☢️ Эффективная доза КТ:\n• Total DLP: 500.00 мГр·см\n• Область: Голова (фантом 16 см "
                                "(голова/шея))\n• Возрастная группа: Взрослые\n• Edlp: 0.00140 мЗв/(мГр·см)\n• 👉 "
                                "Эффективная доза: 0.700 мЗв\n• ≈ 0.29 лет среднегодового природного фона (~2.4 мЗв/год, "
                                "UNSCEAR)\n\nℹ️ E = Edlp × DLP, коэффициенты — МУ 2.6.1.3584-19\nℹ️ Расчётная оценка — не "
                                "заменяет данные из дозового отчёта аппарата, если он указывает эффективную дозу "
                                "напрямую"));

        page.region->setCurrentIndex(page.region->findData(3));
        page.calculate();
        QCOMPARE(page.result->text->toPlainText(),
                 QStringLiteral("⚠️ Для комбинации \"Грудная клетка\" + фантом \"16 см (голова/шея)\" + \"Взрослые\" "
                                "коэффициент Edlp в МУ 2.6.1.3584-19 не определён (на практике эта комбинация не "
                                "встречается — например, взрослых не сканируют с расчётом по головному фантому для "
                                "тела). Попробуйте другой фантом."));
        QCOMPARE(page.doseSummaryLine(100),
                 QStringLiteral("(эффективную дозу в мЗв для текущего выбора области/фантома/возраста посчитать нельзя — "
                                "коэффициент не определён, см. ниже)"));

        // A new phantom lists its own regions and starts from the first.
        page.phantom->setCurrentIndex(1);
        QCOMPARE(page.region->count(), 8);
        QCOMPARE(page.region->currentData().toInt(), 3);
        QCOMPARE(page.doseSummaryLine(100),
                 QStringLiteral("👉 Эффективная доза: ≈ 1.20 мЗв (для \"Грудная клетка\", фантом 32 см (тело), Взрослые)"));
        page.selectPhantomAndRegion(0, 6);
        QCOMPARE(page.phantom->currentData().toInt(), 0);
        QCOMPARE(page.region->currentData().toInt(), 6);
        page.selectPhantomAndRegion(7, 42); // unknown values change nothing
        QCOMPARE(page.region->currentData().toInt(), 6);
    }

    void scanWithoutDoseData()
    {
        const QString study = makeStudy({SeriesPlan{}});
        QVERIFY(!study.isEmpty());
        CtDoseFromDlpPage page(m_db.get(), study);
        QVERIFY(page.scanStatus);
        page.scanStudy();
        QCOMPARE(page.scanStatus->styleSheet(), QStringLiteral("color: #d88;"));
        QCOMPARE(page.scanStatus->text(),
                 QStringLiteral("⚠️ В этом исследовании не найдено ни SR-объекта с дозой, ни серий с тегом CTDIvol "
                                "(0018,9345). Введите Total DLP вручную с дозового отчёта аппарата (если он сохранён "
                                "картинкой — прочитайте значение непосредственно с неё)."));
        QCOMPARE(page.dlp->value(), 500.0);
        QVERIFY(page.result->text->toPlainText().isEmpty());
    }

    void scanReportWithoutTotal()
    {
        SeriesPlan sr;
        sr.modality = QStringLiteral("SR");
        sr.slices = 2;
        const QString study = makeStudy({sr, SeriesPlan{}});
        CtDoseFromDlpPage page(m_db.get(), study);
        page.scanStudy();
        QCOMPARE(page.scanStatus->text(),
                 QStringLiteral("⚠️ Найдено SR-объектов: 1 (проверено файлов: 2), но пункт \"Total DLP\" в них не "
                                "обнаружен, и ни в одной серии нет тега CTDIvol для оценки. Введите Total DLP вручную."));
        QCOMPARE(page.dlp->value(), 500.0);
    }

    void scanReportWithTotal()
    {
        SeriesPlan ct;
        ct.description = QStringLiteral("Head Neck");
        ct.ctdi = 40;
        SeriesPlan sr;
        sr.modality = QStringLiteral("SR");
        sr.slices = 1;
        sr.reportDlp = QStringLiteral("345.6");
        const QString study = makeStudy({ct, sr});
        CtDoseFromDlpPage page(m_db.get(), study);
        page.scanStudy();
        QCOMPARE(page.dlp->value(), 345.6);
        QCOMPARE(page.phantom->currentData().toInt(), 0);
        QCOMPARE(page.region->currentData().toInt(), 2);
        QCOMPARE(page.scanStatus->styleSheet(), QStringLiteral("color: #6c6;"));
        // 345.6 × 0.0025 = 0.864
        QCOMPARE(page.scanStatus->text(),
                 QStringLiteral("✅ Найден точный Total DLP = 345.60 мГр·см — поле ниже заполнено автоматически (разбивки "
                                "по зонам для точного SR-итога нет, область ниже подобрана автоматически по первой "
                                "КТ-серии — проверьте, что она верна).\n👉 Эффективная доза: ≈ 0.86 мЗв (для \"Голова и "
                                "шея\", фантом 16 см (голова/шея), Взрослые)"));
    }

    void scanEstimate()
    {
        // Eight slices 1.5 mm apart, 1.5 mm thick: 12 mm scanned, so DLP = 1.2 cm × CTDIvol.
        SeriesPlan chest;
        chest.description = QStringLiteral("CHEST");
        chest.ctdi = 10;
        SeriesPlan chest2;
        chest2.description = QStringLiteral("Chest %6 late");
        chest2.ctdi = 5;
        chest2.sliceLocation = false; // measured along the image positions all the same
        SeriesPlan scout;
        scout.description = QStringLiteral("Scout");
        scout.slices = 1;
        scout.ctdi = 1;
        SeriesPlan bodyHead;
        bodyHead.description = QStringLiteral("head");
        bodyHead.ctdi = 20;
        bodyHead.phantomMeaning = QStringLiteral("IEC Body Dosimetry Phantom");
        SeriesPlan headChest;
        headChest.description = QStringLiteral("chest");
        headChest.ctdi = 10;
        headChest.phantomMeaning = QStringLiteral("IEC Head Dosimetry Phantom");
        SeriesPlan noCtdi;
        noCtdi.description = QStringLiteral("Abdomen");
        const QString study = makeStudy({chest, chest2, scout, bodyHead, headChest, noCtdi});
        QVERIFY(!study.isEmpty());

        CtDoseFromDlpPage page(m_db.get(), study);
        page.scanStudy();
        QCOMPARE(page.scanStatus->styleSheet(), QStringLiteral("color: #cc6;"));
        QCOMPARE(page.dlp->value(), 54.0); // 12 + 6 + 24 + 12
        // The chest zone (18 mGy·cm) outweighs the head zone (12 mGy·cm).
        QCOMPARE(page.phantom->currentData().toInt(), 1);
        QCOMPARE(page.region->currentData().toInt(), 3);

        const QString text = page.scanStatus->text();
        QVERIFY2(text.startsWith(QStringLiteral(
                     "🟡 Точного SR-объекта с дозой не найдено — ОЦЕНКА по CTDIvol × протяжённости скана, суммарно по 4 "
                     "сериям: 54.0 мГр·см. Однокадровых серий не учтено (скауты и т.п.): 1. Область не распознана у 1 "
                     "серии(й) (суммарно 24.0 мГр·см — учтены в Total DLP выше, но НЕ в разбивке по зонам/итоговой дозе "
                     "в мЗв).\n\nПо зонам:\n")),
                 qPrintable(text));
        // 18 × 0.012 = 0.216; 12 × 0.0014 = 0.0168; sum 0.2328, / 2.4 = 0.097
        QVERIFY2(text.contains(QStringLiteral("Грудная клетка: 18.0 мГр·см → ≈ 0.22 мЗв [CHEST (12.0 мГр·см), Chest %6 "
                                              "late (6.0 мГр·см)]")),
                 qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("Голова: 12.0 мГр·см → ≈ 0.02 мЗв [chest (12.0 мГр·см)]")), qPrintable(text));
        QVERIFY2(text.endsWith(QStringLiteral("\n\n👉 Суммарная эффективная доза по всему исследованию: ≈ 0.23 мЗв\n≈ 0.10 "
                                              "лет среднегодового природного фона (~2.4 мЗв/год, UNSCEAR)")),
                 qPrintable(text));
        QCOMPARE(text.count(QLatin1Char('\n')), 7);
        QVERIFY(page.result->text->toPlainText().isEmpty());

        // A repeated scan starts afresh.
        page.dlp->setValue(1);
        page.scanStudy();
        QCOMPARE(page.dlp->value(), 54.0);
        QCOMPARE(page.scanStatus->text(), text);
    }

    // Reconstructions of one scan are named beside the total, separate scans are not; the total is the sum.
    void scanReconstructions_data()
    {
        QTest::addColumn<QString>("secondFrame"); // "same" or "other"
        QTest::addColumn<int>("secondPlane");     // fixtures::Plane
        QTest::addColumn<double>("secondStartZ");
        QTest::addColumn<bool>("warned");
        const int axial = int(fixtures::Plane::Axial);
        QTest::newRow("1 mm and 5 mm of one scan") << QStringLiteral("same") << axial << 0.0 << true;
        QTest::newRow("coronal reformat of the scan")
            << QStringLiteral("same") << int(fixtures::Plane::Coronal) << 30.0 << true;
        QTest::newRow("other frame of reference") << QStringLiteral("other") << axial << 0.0 << false;
        QTest::newRow("same frame, further along") << QStringLiteral("same") << axial << 100.0 << false;
    }
    void scanReconstructions()
    {
        QFETCH(QString, secondFrame);
        QFETCH(int, secondPlane);
        QFETCH(double, secondStartZ);
        QFETCH(bool, warned);
        const QString frame = fixtures::newUid();
        // 1 mm: 30 slices at z 0..29, 30 mm; 5 mm: 6 slices from the second start, 30 mm.
        SeriesPlan thin;
        thin.description = QStringLiteral("Chest 1.0");
        thin.ctdi = 10;
        thin.slices = 30;
        thin.sliceSpacing = thin.sliceThickness = 1.0;
        thin.startZ = 0.0;
        thin.frameOfReference = frame;
        SeriesPlan thick = thin;
        thick.description = QStringLiteral("Chest 5.0");
        thick.slices = 6;
        thick.sliceSpacing = thick.sliceThickness = 5.0;
        thick.startZ = secondStartZ;
        thick.plane = fixtures::Plane(secondPlane);
        thick.frameOfReference = secondFrame == QLatin1String("same") ? frame : fixtures::newUid();
        const QString study = makeStudy({thin, thick});
        QVERIFY(!study.isEmpty());

        CtDoseFromDlpPage page(m_db.get(), study);
        page.scanStudy();
        const QString text = page.scanStatus->text();
        const QString named = QStringLiteral("\n⚠️ Серии «Chest 1.0», «Chest 5.0» — одна система координат");
        QCOMPARE(text.contains(named), warned);
        QCOMPARE(text.count(QStringLiteral("⚠️ Серии")), warned ? 1 : 0);
        QVERIFY2(text.startsWith(QStringLiteral("🟡 Точного SR-объекта с дозой не найдено — ОЦЕНКА по CTDIvol "
                                                "× протяжённости скана, суммарно по 2 сериям: ")),
                 qPrintable(text));
        QVERIFY(text.section(QLatin1Char('\n'), 0, 0).endsWith(QStringLiteral(" мГр·см.")));
    }
};

QTEST_MAIN(TstCtDose)
#include "tst_ctdose.moc"
