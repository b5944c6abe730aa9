// CTA subtraction from an index filled with fixture series: which two series pair up and which of
// them is native, the refusals, and the difference volume voxel by voxel in axial and sagittal stacks.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "render/CtaSubtraction.h"
#include "render/SliceSources.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using fixtures::SeriesLayout;

namespace {

const QString kNoPair = QStringLiteral("Не найдено пары КТ-серий с одинаковой геометрией в этом исследовании — нужны "
                                       "нативная и постконтрастная серии с одинаковым числом срезов.");
const QString kMoreThanTwo = QStringLiteral("Найдено больше двух серий с одинаковой геометрией — похоже на "
                                            "мультифазную КТ-ангиографию, субтракция для более чем двух фаз пока "
                                            "не поддерживается.");

struct SeriesSetup
{
    QString number;
    QString description;
    double time = -1.0; // acquisition time in seconds since midnight, < 0: none
};

} // namespace

Q_DECLARE_METATYPE(SeriesSetup)

class TestCtaSubtraction : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void roles_data();
    void roles();
    void refusals_data();
    void refusals();
    void referenceFailures();

    void subtractionIsExact_data();
    void subtractionIsExact();
    void volumeFailures();
    void geometryMustMatch_data();
    void geometryMustMatch();

private:
    SeriesLayout ctLayout(const QString& studyUid, const QString& frameOfReference, const SeriesSetup& setup) const;
    QString addSeries(SeriesLayout layout);

    QTemporaryDir m_dir;
    db::Database m_db;
};

void TestCtaSubtraction::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))), qPrintable(m_db.lastError()));
}

SeriesLayout TestCtaSubtraction::ctLayout(const QString& studyUid, const QString& frameOfReference,
                                      const SeriesSetup& setup) const
{
    SeriesLayout layout;
    layout.studyUid = studyUid;
    layout.seriesUid = fixtures::newUid();
    layout.frameOfReferenceUid = frameOfReference;
    layout.seriesNumber = setup.number;
    layout.seriesDescription = setup.description;
    layout.acquisitionTimeStart = setup.time;
    layout.rows = layout.columns = 16;
    layout.slices = 6;
    return layout;
}

// Writes the series into a folder of its own and indexes every file; the series UID, or empty on failure.
QString TestCtaSubtraction::addSeries(SeriesLayout layout)
{
    fixtures::completeUids(layout);
    if (!fixtures::writeAndIndexSeries(m_db, m_dir.filePath(layout.seriesUid), layout))
        return {};
    return layout.seriesUid;
}

void TestCtaSubtraction::roles_data()
{
    QTest::addColumn<SeriesSetup>("first");
    QTest::addColumn<SeriesSetup>("second");
    QTest::addColumn<QString>("nativeLabel");
    QTest::addColumn<QString>("contrastLabel");
    QTest::addColumn<bool>("approximate");
    // The time decides even against the descriptions.
    QTest::newRow("acquisition time") << SeriesSetup{"1", "Non-contrast", 36100} << SeriesSetup{"2", "Arterial", 36000}
                                      << "Arterial" << "Non-contrast" << false;
    QTest::newRow("equal times: series order") << SeriesSetup{"3", "Venous", 36000} << SeriesSetup{"4", "Native", 36000}
                                               << "Venous" << "Native" << false;
    QTest::newRow("one time missing: keywords") << SeriesSetup{"1", "Arterial", 36000}
                                                << SeriesSetup{"2", "Non-contrast", -1} << "Non-contrast" << "Arterial"
                                                << false;
    QTest::newRow("keywords") << SeriesSetup{"1", "Arterial", -1} << SeriesSetup{"2", "Non-contrast", -1}
                              << "Non-contrast" << "Arterial" << false;
    QTest::newRow("keywords, Cyrillic in other case") << SeriesSetup{"5", "АРТЕРИАЛЬНАЯ фаза", -1}
                                                      << SeriesSetup{"6", "КТ без контраста", -1} << "КТ без контраста"
                                                      << "АРТЕРИАЛЬНАЯ фаза" << false;
    // "Non-contrast" matches both tables: the first series in series order has the native match.
    QTest::newRow("both match both tables") << SeriesSetup{"8", "Non-contrast", -1} << SeriesSetup{"7", "noncontrast", -1}
                                            << "noncontrast" << "Non-contrast" << false;
    QTest::newRow("contrast keyword on both") << SeriesSetup{"1", "CTA arterial", -1} << SeriesSetup{"2", "CTA venous", -1}
                                              << "CTA arterial" << "CTA venous" << true;
    QTest::newRow("series number") << SeriesSetup{"B", "B", -1} << SeriesSetup{"A", "A", -1} << "B" << "A" << true;
    QTest::newRow("series number as integer") << SeriesSetup{"10", "A", -1} << SeriesSetup{"9", "B", -1} << "B" << "A"
                                              << true;
    QTest::newRow("labels without description") << SeriesSetup{"3", "", -1} << SeriesSetup{"12", "", -1}
                                                << "Серия 3" << "Серия 12" << true;
}

void TestCtaSubtraction::roles()
{
    QFETCH(SeriesSetup, first);
    QFETCH(SeriesSetup, second);
    QFETCH(QString, nativeLabel);
    QFETCH(QString, contrastLabel);
    QFETCH(bool, approximate);
    const QString study = fixtures::newUid();
    const QString frameOfReference = fixtures::newUid();
    const QString a = addSeries(ctLayout(study, frameOfReference, first));
    SeriesLayout secondLayout = ctLayout(study, frameOfReference, second);
    secondLayout.reverseInstanceNumbers = true;
    const QString b = addSeries(secondLayout);
    QVERIFY(!a.isEmpty() && !b.isEmpty());
    // A series of another modality with the same geometry is no candidate.
    SeriesLayout mr = ctLayout(study, frameOfReference, {"20", "Arterial MR", 36050});
    mr.modality = QStringLiteral("MR");
    QVERIFY(!addSeries(mr).isEmpty());

    for (const QString& reference : {a, b}) {
        const render::CtaSubtractionPair pair = render::findCtaSubtractionPair(&m_db, study, reference);
        QVERIFY2(pair.error.isEmpty(), qPrintable(pair.error));
        QVERIFY(pair.isValid());
        QCOMPARE(pair.nativeLabel, nativeLabel);
        QCOMPARE(pair.contrastLabel, contrastLabel);
        QCOMPARE(pair.orderIsApproximate, approximate);
        QCOMPARE(pair.nativeInstances.size(), 6);
        QCOMPARE(pair.contrastInstances.size(), 6);
        // Rows stay in the index's instance-number order.
        QVERIFY(pair.nativeInstances.first().instanceNumber < pair.nativeInstances.last().instanceNumber);
        const QString nativeFolder = QFileInfo(pair.nativeInstances.first().filePath).dir().dirName();
        const QString contrastFolder = QFileInfo(pair.contrastInstances.first().filePath).dir().dirName();
        QVERIFY(nativeFolder != contrastFolder);
        QCOMPARE(QSet<QString>({nativeFolder, contrastFolder}), QSet<QString>({a, b}));
    }
}

void TestCtaSubtraction::refusals_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("error");
    QTest::newRow("one slice more") << "slices" << kNoPair;
    QTest::newRow("thickness 1.0 and 1.25") << "thickness" << kNoPair;
    QTest::newRow("other frame of reference") << "frameOfReference" << kNoPair;
    QTest::newRow("shifted 20 mm along the table") << "shiftZ" << kNoPair;
    QTest::newRow("field of view centre 20 mm aside") << "shiftX" << kNoPair;
    QTest::newRow("same range, slices in reverse order") << "reverseZ" << QString();
    QTest::newRow("shift below half a voxel") << "smallShift" << QString();
    QTest::newRow("third series") << "third" << kMoreThanTwo;
    QTest::newRow("third series without positions") << "thirdWithoutPositions" << kMoreThanTwo;
}

void TestCtaSubtraction::refusals()
{
    QFETCH(QString, change);
    QFETCH(QString, error);
    const QString study = fixtures::newUid();
    const QString frameOfReference = fixtures::newUid();
    SeriesLayout native = ctLayout(study, frameOfReference, {"1", "Native", 36000});
    native.sliceThickness = 1.0;
    native.sliceSpacing = 1.0;
    SeriesLayout contrast = ctLayout(study, frameOfReference, {"2", "Arterial", 36100});
    contrast.sliceThickness = 1.0;
    contrast.sliceSpacing = 1.0;
    if (change == QLatin1String("slices"))
        contrast.slices += 1;
    else if (change == QLatin1String("thickness"))
        contrast.sliceThickness = 1.25;
    else if (change == QLatin1String("frameOfReference"))
        contrast.frameOfReferenceUid = fixtures::newUid();
    else if (change == QLatin1String("shiftZ"))
        contrast.origin[2] += 20.0;
    else if (change == QLatin1String("shiftX"))
        contrast.origin[0] += 20.0;
    else if (change == QLatin1String("reverseZ")) {
        contrast.origin[2] += (contrast.slices - 1) * contrast.sliceSpacing;
        contrast.sliceSpacing = -contrast.sliceSpacing;
    } else if (change == QLatin1String("smallShift")) {
        contrast.origin[0] += 0.3; // column spacing 0.7
        contrast.origin[2] += 0.4; // slice spacing 1.0
    }
    QVERIFY(!addSeries(native).isEmpty());
    const QString contrastUid = addSeries(contrast);
    QVERIFY(!contrastUid.isEmpty());
    if (change.startsWith(QLatin1String("third"))) {
        SeriesLayout third = ctLayout(study, frameOfReference, {"3", "Reconstruction", 36100});
        third.sliceThickness = 1.0;
        third.sliceSpacing = 1.0;
        third.writeGeometry = change == QLatin1String("third");
        QVERIFY(!addSeries(third).isEmpty());
    }

    const render::CtaSubtractionPair pair = render::findCtaSubtractionPair(&m_db, study, contrastUid);
    QCOMPARE(pair.error, error);
    QCOMPARE(pair.isValid(), error.isEmpty());
    if (!error.isEmpty()) {
        QVERIFY(pair.nativeInstances.isEmpty());
        QVERIFY(pair.contrastInstances.isEmpty());
    }
}

void TestCtaSubtraction::referenceFailures()
{
    const QString study = fixtures::newUid();
    const QString frameOfReference = fixtures::newUid();
    SeriesLayout mrLayout = ctLayout(study, frameOfReference, {"1", "MR", 36000});
    mrLayout.modality = QStringLiteral("MR");
    const QString mr = addSeries(mrLayout);
    const QString ct = addSeries(ctLayout(study, frameOfReference, {"2", "CT", 36000}));
    const QString elsewhere = addSeries(ctLayout(fixtures::newUid(), fixtures::newUid(), {"1", "CT", 36000}));
    QVERIFY(!mr.isEmpty() && !ct.isEmpty() && !elsewhere.isEmpty());

    QCOMPARE(render::findCtaSubtractionPair(nullptr, study, ct).error, QStringLiteral("Нет подключения к базе данных"));
    QCOMPARE(render::findCtaSubtractionPair(&m_db, study, fixtures::newUid()).error,
             QStringLiteral("Опорная серия пуста"));
    QCOMPARE(render::findCtaSubtractionPair(&m_db, study, elsewhere).error,
             QStringLiteral("Опорная серия не найдена в исследовании"));
    QCOMPARE(render::findCtaSubtractionPair(&m_db, study, mr).error,
             QStringLiteral("Субтракция КТ-ангиографии применима только к КТ-сериям"));
    QCOMPARE(render::findCtaSubtractionPair(&m_db, study, ct).error, kNoPair);
}

void TestCtaSubtraction::subtractionIsExact_data()
{
    QTest::addColumn<int>("plane");
    QTest::addColumn<bool>("mirroredLocations");
    QTest::newRow("axial") << int(fixtures::Plane::Axial) << false;
    QTest::newRow("sagittal") << int(fixtures::Plane::Sagittal) << false;
    QTest::newRow("coronal") << int(fixtures::Plane::Coronal) << false;
    // Slice Location runs against the stack direction in the native series: only positions order it.
    QTest::newRow("axial, mirrored slice locations") << int(fixtures::Plane::Axial) << true;
}

void TestCtaSubtraction::subtractionIsExact()
{
    QFETCH(int, plane);
    QFETCH(bool, mirroredLocations);
    const QString study = fixtures::newUid();
    const QString frameOfReference = fixtures::newUid();
    SeriesLayout native = ctLayout(study, frameOfReference, {"1", "Native", 36000});
    native.rows = native.columns = 32;
    native.slices = 8;
    native.plane = fixtures::Plane(plane);
    native.reverseInstanceNumbers = true;
    if (mirroredLocations) {
        native.customize = [](DcmDataset& ds, int slice) {
            ds.putAndInsertString(DCM_SliceLocation, QByteArray::number(-10.0 * slice).constData());
        };
    }
    SeriesLayout contrast = native;
    contrast.seriesUid = fixtures::newUid();
    contrast.seriesNumber = QStringLiteral("2");
    contrast.seriesDescription = QStringLiteral("Arterial");
    contrast.acquisitionTimeStart = 36100;
    contrast.reverseInstanceNumbers = false;
    contrast.customize = nullptr;
    // Post-contrast stored values are twice the native ones, so the difference is the native stored
    // value, i.e. the native volume plus the intercept that both share.
    contrast.value = [](int x, int y, int z) { return 2 * fixtures::coordinateValue(x, y, z); };
    const QString nativeUid = addSeries(native);
    QVERIFY(!addSeries(contrast).isEmpty());

    const render::CtaSubtractionPair pair = render::findCtaSubtractionPair(&m_db, study, nativeUid);
    QVERIFY2(pair.isValid(), qPrintable(pair.error));
    QCOMPARE(pair.nativeLabel, QStringLiteral("Native"));

    QString error = QStringLiteral("stale");
    const render::Volume result = render::buildSubtractionVolume(pair.nativeInstances, pair.contrastInstances, &error);
    QVERIFY2(!result.isEmpty(), qPrintable(error));
    QVERIFY(error.isEmpty());

    QString message;
    const render::Volume nativeVolume =
        render::buildVolume(render::sliceSourcesFromInstances(pair.nativeInstances), &message, render::AxialPlane);
    const render::Volume contrastVolume =
        render::buildVolume(render::sliceSourcesFromInstances(pair.contrastInstances), &message, render::AxialPlane);
    QCOMPARE((std::array{result.nx, result.ny, result.nz}), (std::array{nativeVolume.nx, nativeVolume.ny, nativeVolume.nz}));
    QCOMPARE(result.voxels.size(), size_t(32 * 32 * 8));
    float lo = result.voxels[0], hi = result.voxels[0];
    for (size_t i = 0; i < result.voxels.size(); ++i) {
        QCOMPARE(result.voxels[i], contrastVolume.voxels[i] - nativeVolume.voxels[i]);
        QCOMPARE(result.voxels[i], nativeVolume.voxels[i] + 1024.0f);
        lo = std::min(lo, result.voxels[i]);
        hi = std::max(hi, result.voxels[i]);
    }
    QCOMPARE(result.minValue, double(lo));
    QCOMPARE(result.maxValue, double(hi));

    if (fixtures::Plane(plane) == fixtures::Plane::Axial) {
        // An axial stack needs no reorientation: voxel (x, y, z) is slice z of the files.
        QCOMPARE(result.nz, 8);
        for (int z = 0; z < 8; ++z)
            for (int y = 0; y < 32; y += 7)
                for (int x = 0; x < 32; x += 5)
                    QCOMPARE(result.voxels[result.index(x, y, z)], float(fixtures::coordinateValue(x, y, z)));
    } else {
        QCOMPARE(result.nz, 32); // resliced to axial: the 32 image rows now run head to foot
    }
}

void TestCtaSubtraction::volumeFailures()
{
    const QString study = fixtures::newUid();
    const QString frameOfReference = fixtures::newUid();
    SeriesLayout native = ctLayout(study, frameOfReference, {"1", "Native", 36000});
    SeriesLayout contrast = ctLayout(study, frameOfReference, {"2", "Arterial", 36100});
    contrast.columns = 20; // same spacing and slice count, another matrix
    const QString nativeUid = addSeries(native);
    QVERIFY(!nativeUid.isEmpty() && !addSeries(contrast).isEmpty());
    const render::CtaSubtractionPair pair = render::findCtaSubtractionPair(&m_db, study, nativeUid);
    QVERIFY2(pair.isValid(), qPrintable(pair.error));

    QString error;
    render::Volume v = render::buildSubtractionVolume(pair.nativeInstances, pair.contrastInstances, &error);
    QVERIFY(v.isEmpty());
    QCOMPARE(error, QStringLiteral("Размеры объёмов не совпадают (16x16x6 против 20x16x6) — субтракция невозможна"));

    QList<db::InstanceRecord> gone = pair.nativeInstances;
    for (db::InstanceRecord& row : gone)
        row.filePath = m_dir.filePath(QStringLiteral("missing/%1.dcm").arg(row.instanceNumber));
    v = render::buildSubtractionVolume(gone, pair.contrastInstances, &error);
    QVERIFY(v.isEmpty());
    QVERIFY2(error.startsWith(QStringLiteral("Не удалось построить нативный объём: ")), qPrintable(error));
    v = render::buildSubtractionVolume(pair.nativeInstances, gone, &error);
    QVERIFY(v.isEmpty());
    QVERIFY2(error.startsWith(QStringLiteral("Не удалось построить постконтрастный объём: ")), qPrintable(error));
    QVERIFY(render::buildSubtractionVolume({}, pair.contrastInstances, nullptr).isEmpty());
}

void TestCtaSubtraction::geometryMustMatch_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("named"); // the word of the refusal, empty when the pair subtracts
    QTest::newRow("slice spacing") << "sliceSpacing" << "шаг вокселей";
    QTest::newRow("pixel spacing") << "rowSpacing" << "шаг вокселей";
    QTest::newRow("turned 10 degrees in plane") << "tilt" << "ориентация";
    QTest::newRow("shifted 5 mm along the table") << "shift" << "положение (сдвиг 5.0 мм)";
    QTest::newRow("shifted within half a voxel") << "nudge" << "";
}

void TestCtaSubtraction::geometryMustMatch()
{
    QFETCH(QString, change);
    QFETCH(QString, named);
    const QString study = fixtures::newUid();
    SeriesLayout native = ctLayout(study, fixtures::newUid(), {"1", "Native", 36000});
    SeriesLayout contrast = ctLayout(study, native.frameOfReferenceUid, {"2", "Arterial", 36100});
    if (change == "sliceSpacing")
        contrast.sliceSpacing = contrast.sliceThickness = 2.0;
    else if (change == "rowSpacing")
        contrast.rowSpacing = 0.9;
    else if (change == "tilt") {
        contrast.plane = fixtures::Plane::Oblique;
        contrast.obliqueOrientation = {std::cos(0.1745), std::sin(0.1745), 0.0, -std::sin(0.1745), std::cos(0.1745), 0.0};
    } else if (change == "shift")
        contrast.origin[2] += 5.0;
    else
        contrast.origin[0] += 0.2;
    const QString nativeUid = addSeries(native);
    const QString contrastUid = addSeries(contrast);
    QVERIFY(!nativeUid.isEmpty() && !contrastUid.isEmpty());
    QString error;
    const render::Volume v = render::buildSubtractionVolume(m_db.instancesForSeries(nativeUid),
                                                            m_db.instancesForSeries(contrastUid), &error);
    QCOMPARE(v.isEmpty(), !named.isEmpty());
    QVERIFY2(named.isEmpty() ? error.isEmpty() : error.contains(named), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestCtaSubtraction)
#include "tst_ctasubtraction.moc"
