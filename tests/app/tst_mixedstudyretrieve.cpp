// A study of the kinds a PACS holds, retrieved from dcmqrscp on loopback by C-GET and by C-MOVE: a
// mammogram, an RLE ultrasound cine, an enhanced MR, a JPEG-LS CT series and a structured report,
// each sent in the transfer syntax it is stored in. Every object arrives and is indexed, stored byte
// for byte as sent; the JPEG-LS series reads, builds a volume and exports with the pixels of the
// uncompressed original; the report is kept but nothing is opened for it.

#include "support/PacsTestPeers.h"

#include "support/DicomFixtures.h"
#include "support/TestBench.h"
#include "db/Database.h"
#include "dicom/DicomCopyWriters.h"
#include "pacs/PacsOpenCoordinator.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/StorageListener.h"
#include "render/HuImage.h"
#include "render/SliceSources.h"

#include <QApplication>
#include <QSignalSpy>
#include <QtEndian>
#include <QTest>
#include <QWidget>

#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <cmath>

using namespace pacs;

namespace {

constexpr const char* kOurAe = "KALVMIXED";

QByteArray datasetBytesOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    return bytes.size() < 144 ? QByteArray() : bytes.mid(144 + qFromLittleEndian<quint32>(bytes.constData() + 140));
}

QString sopOf(const QString& path)
{
    DcmFileFormat file;
    OFString uid;
    if (file.loadFile(QFile::encodeName(path).constData()).good())
        file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid);
    return QString::fromLatin1(uid.c_str());
}

void setSopClass(fixtures::SeriesLayout& layout, const char* sopClass)
{
    layout.customize = [sopClass](DcmDataset& ds, int) { ds.putAndInsertString(DCM_SOPClassUID, sopClass); };
}

// A short text report of the study.
QString writeReport(const QString& path, const fixtures::SeriesLayout& study)
{
    DcmDataset ds;
    ds.putAndInsertString(DCM_SOPClassUID, UID_BasicTextSRStorage);
    ds.putAndInsertString(DCM_SOPInstanceUID, fixtures::newUid().toLatin1().constData());
    ds.putAndInsertString(DCM_StudyInstanceUID, study.studyUid.toLatin1().constData());
    ds.putAndInsertString(DCM_SeriesInstanceUID, fixtures::newUid().toLatin1().constData());
    ds.putAndInsertString(DCM_PatientName, study.patientName.toLatin1().constData());
    ds.putAndInsertString(DCM_PatientID, study.patientId.toLatin1().constData());
    ds.putAndInsertString(DCM_StudyDate, study.studyDate.toLatin1().constData());
    ds.putAndInsertString(DCM_Modality, "SR");
    ds.putAndInsertString(DCM_SeriesNumber, "99");
    ds.putAndInsertString(DCM_InstanceNumber, "1");
    ds.putAndInsertString(DCM_ValueType, "CONTAINER");
    ds.putAndInsertString(DCM_ContinuityOfContent, "SEPARATE");
    ds.putAndInsertString(DCM_CompletionFlag, "COMPLETE");
    ds.putAndInsertString(DCM_VerificationFlag, "UNVERIFIED");
    DcmItem* name = nullptr;
    ds.findOrCreateSequenceItem(DCM_ConceptNameCodeSequence, name, 0);
    name->putAndInsertString(DCM_CodeValue, "18748-4");
    name->putAndInsertString(DCM_CodingSchemeDesignator, "LN");
    name->putAndInsertString(DCM_CodeMeaning, "Diagnostic Imaging Report");
    DcmItem* text = nullptr;
    ds.findOrCreateSequenceItem(DCM_ContentSequence, text, 0);
    text->putAndInsertString(DCM_RelationshipType, "CONTAINS");
    text->putAndInsertString(DCM_ValueType, "TEXT");
    text->putAndInsertString(DCM_TextValue, "No findings.");
    return fixtures::saveDataset(path, ds) ? path : QString();
}

bool allGone()
{
    return QTest::qWaitFor(
        [] { return PacsRetrieveSession::liveSessions() == 0 && StorageListenerPool::runningThreads() == 0; }, 30000);
}

// Rescaled value the fixture writer gives voxel (x, y) of slice z of a CT series.
double expectedHu(const fixtures::SeriesLayout& layout, int x, int y, int z)
{
    return fixtures::coordinateValue(x, y, z) * layout.rescaleSlope + layout.rescaleIntercept;
}

} // namespace

class TestMixedStudyRetrieve : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

    peers::QrArchive m_archive;
    quint16 m_listenPort = 0;
    fixtures::SeriesLayout m_ct;
    QString m_reportSeries;
    QHash<QString, QString> m_sent; // SOP Instance UID -> the archive's file
    QStringList m_openedSeries;
    QList<QWidget*> m_viewers; // stand-ins: the coordinator only hands them around

    PacsConfig config(const PacsServer& server) const
    {
        return peers::localConfig(m_listenPort, kOurAe, {server});
    }

    // Checks one received JPEG-LS CT slice against the uncompressed original, slice z.
    void checkCtPixels(const QString& path, int z)
    {
        render::HuImage image;
        QString error;
        QVERIFY2(render::loadHuFrame(image, path, 0, &error), qPrintable(error));
        QCOMPARE(image.width, m_ct.columns);
        QCOMPARE(image.height, m_ct.rows);
        for (int y = 0; y < m_ct.rows; ++y)
            for (int x = 0; x < m_ct.columns; ++x)
                QCOMPARE(render::huValueAt(image, x, y), expectedHu(m_ct, x, y, z));
    }

private slots:
    void initTestCase()
    {
        fixtures::registerCodecs();
        m_listenPort = fixtures::freeLoopbackPort();
        m_archive.addMoveDestination(QString::fromLatin1(kOurAe), m_listenPort);
        const QString storage = m_archive.storageDir();

        m_ct.slices = 4;
        m_ct.compression = fixtures::Compression::JpegLsLossless;
        fixtures::completeUids(m_ct);
        const auto sameStudy = [&](fixtures::SeriesLayout& layout, const char* modality) {
            layout.studyUid = m_ct.studyUid;
            layout.modality = QString::fromLatin1(modality);
            fixtures::completeUids(layout);
        };
        fixtures::SeriesLayout mg, us, mr;
        sameStudy(mg, "MG");
        mg.slices = 1;
        mg.pixels = fixtures::PixelKind::UInt16;
        setSopClass(mg, UID_DigitalMammographyXRayImageStorageForPresentation);
        sameStudy(us, "US");
        us.slices = 3;
        us.pixels = fixtures::PixelKind::UInt8;
        us.compression = fixtures::Compression::Rle;
        setSopClass(us, UID_UltrasoundMultiframeImageStorage);
        sameStudy(mr, "MR");
        mr.slices = 3;

        // The report first: it is the first object to arrive.
        QStringList files{writeReport(storage + QStringLiteral("/report.dcm"), m_ct)};
        files += fixtures::writeSeries(storage + QStringLiteral("/mg"), mg);
        files << fixtures::writeMultiFrame(storage + QStringLiteral("/us.dcm"), us);
        files << fixtures::writeEnhancedMultiFrame(storage + QStringLiteral("/mr.dcm"), mr);
        files += fixtures::writeSeries(storage + QStringLiteral("/ct"), m_ct);
        QCOMPARE(files.size(), 8);
        for (const QString& path : files) {
            QVERIFY(!path.isEmpty());
            m_sent.insert(sopOf(path), path);
        }
        m_archive.sendStoredAs({{QString::fromLatin1(UID_BasicTextSRStorage),
                                 QString::fromLatin1(UID_LittleEndianExplicitTransferSyntax)},
                                {QString::fromLatin1(UID_DigitalMammographyXRayImageStorageForPresentation),
                                 QString::fromLatin1(UID_LittleEndianExplicitTransferSyntax)},
                                {QString::fromLatin1(UID_UltrasoundMultiframeImageStorage),
                                 QString::fromLatin1(UID_RLELosslessTransferSyntax)},
                                {QString::fromLatin1(UID_EnhancedMRImageStorage),
                                 QString::fromLatin1(UID_LittleEndianExplicitTransferSyntax)},
                                {QString::fromLatin1(UID_CTImageStorage),
                                 QString::fromLatin1(UID_JPEGLSLosslessTransferSyntax)}});
        QVERIFY(m_archive.index(files));
        QVERIFY(m_archive.start());

        ViewerHooks hooks;
        hooks.open = [this](db::Database*, const QString&, const QString& series) {
            m_openedSeries << series;
            m_viewers << new QWidget;
            return reinterpret_cast<ViewerWindow*>(m_viewers.last());
        };
        hooks.asObject = [](ViewerWindow* v) { return static_cast<QObject*>(reinterpret_cast<QWidget*>(v)); };
        setViewerHooks(hooks);
    }

    void cleanup()
    {
        qDeleteAll(m_viewers);
        m_viewers.clear();
    }

    void everyObjectArrives_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::newRow("C-GET") << 1;
        QTest::newRow("C-MOVE") << 0;
    }

    void everyObjectArrives()
    {
        QFETCH(int, retrieveMode);
        db::Database& index = m_bench.index();
        if (index.studyExists(m_ct.studyUid))
            QVERIFY(index.deleteStudy(m_ct.studyUid));
        const QString folder = QDir(pacsDownloadsRoot()).filePath(m_ct.studyUid);
        QDir(folder).removeRecursively();
        m_openedSeries.clear();

        const PacsServer server = m_archive.server(retrieveMode, QStringLiteral("Архив"));
        PacsOpenCoordinator coordinator(&index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        coordinator.startDownload(server, config(server), m_ct.studyUid, folder, PacsOpenCoordinator::DownloadAndOpen);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
        QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
        QCOMPARE(finished.first().at(2).toInt(), m_sent.size());
        QVERIFY(allGone());

        // Each object once, its data set as the archive holds it.
        const QStringList stored = index.studyFilePaths(m_ct.studyUid);
        QCOMPARE(stored.size(), m_sent.size());
        for (const QString& path : stored) {
            const QString original = m_sent.value(sopOf(path));
            QVERIFY2(!original.isEmpty(), qPrintable(path));
            QCOMPARE(datasetBytesOf(path), datasetBytesOf(original));
        }

        // The report is listed with the study; the viewer opened once, on an image.
        QStringList modalities;
        QString ctSeries;
        for (const db::SeriesRecord& series : index.seriesForStudy(m_ct.studyUid)) {
            modalities << series.modality;
            if (series.modality == QLatin1String("SR"))
                QVERIFY(!m_openedSeries.contains(series.seriesInstanceUid));
            if (series.modality == QLatin1String("CT"))
                ctSeries = series.seriesInstanceUid;
        }
        modalities.sort();
        QCOMPARE(modalities, (QStringList{"CT", "MG", "MR", "SR", "US"}));
        QCOMPARE(m_openedSeries.size(), 1);

        // The JPEG-LS series shows, builds a volume and exports with the original's pixels.
        const QList<db::InstanceRecord> slices = index.instancesForSeries(ctSeries);
        QCOMPARE(slices.size(), m_ct.slices);
        for (int z = 0; z < slices.size(); ++z)
            checkCtPixels(slices.at(z).filePath, z);
        QString message;
        const render::Volume volume = render::buildVolume(render::sliceSourcesFromInstances(slices), &message,
                                                          render::AxialPlane);
        QVERIFY2(!volume.isEmpty(), qPrintable(message));
        QCOMPARE(volume.nx * volume.ny * volume.nz, m_ct.columns * m_ct.rows * m_ct.slices);
        for (int z = 0; z < volume.nz; ++z) {
            // Whichever way the stack runs, each plane is one slice of the original, voxel for voxel.
            const int slice = int(std::lround((volume.voxels[volume.index(0, 0, z)] - m_ct.rescaleIntercept) / 1000.0));
            QVERIFY(slice >= 0 && slice < m_ct.slices);
            for (int y = 0; y < volume.ny; ++y)
                for (int x = 0; x < volume.nx; ++x)
                    QCOMPARE(double(volume.voxels[volume.index(x, y, z)]), expectedHu(m_ct, x, y, slice));
        }
        const QString exported = m_bench.path(QStringLiteral("exported-%1.dcm").arg(retrieveMode));
        QString error;
        QVERIFY2(dicom::writeAnonymizedCopy(slices.at(1).filePath, exported, QStringLiteral("Anon"),
                                            QStringLiteral("A1"), &error),
                 qPrintable(error));
        checkCtPixels(exported, 1);
    }
};

QTEST_MAIN(TestMixedStudyRetrieve)
#include "tst_mixedstudyretrieve.moc"
