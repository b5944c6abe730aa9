// The shared DICOM writer must produce what its callers rely on: real geometry, coordinate-coded
// voxels, and encodings DCMTK reads back unchanged.
#include "DicomFixtures.h"
#include "dicom/CodecRegistration.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <cmath>
#include <memory>

using namespace fixtures;

namespace {

std::unique_ptr<DcmFileFormat> load(const QString& path)
{
    auto ff = std::make_unique<DcmFileFormat>();
    if (ff->loadFile(QFile::encodeName(path).constData()).bad())
        return nullptr;
    return ff;
}

QString str(DcmItem& item, const DcmTagKey& tag)
{
    OFString v;
    item.findAndGetOFStringArray(tag, v);
    return QString::fromLatin1(v.c_str());
}

QByteArray raw(DcmItem& item, const DcmTagKey& tag)
{
    const char* v = nullptr;
    Uint32 len = 0;
    item.findAndGetString(tag, v, len);
    return QByteArray(v, int(len));
}

QList<double> numbers(DcmItem& item, const DcmTagKey& tag)
{
    QList<double> out;
    for (const QString& part : str(item, tag).split(QLatin1Char('\\')))
        out << part.toDouble();
    return out;
}

// Stored value of voxel (x, y) in frame f after decompression to native little endian.
int voxel(DcmDataset& ds, int frame, int x, int y, int& samples)
{
    Uint16 rows = 0, cols = 0, bits = 0, repr = 0, spp = 1;
    ds.findAndGetUint16(DCM_Rows, rows);
    ds.findAndGetUint16(DCM_Columns, cols);
    ds.findAndGetUint16(DCM_BitsAllocated, bits);
    ds.findAndGetUint16(DCM_PixelRepresentation, repr);
    ds.findAndGetUint16(DCM_SamplesPerPixel, spp);
    samples = spp;
    const size_t index = (size_t(frame) * rows * cols + size_t(y) * cols + x) * spp;
    if (bits == 8) {
        const Uint8* p = nullptr;
        if (ds.findAndGetUint8Array(DCM_PixelData, p).bad() || !p)
            return INT_MIN;
        return p[index];
    }
    const Uint16* p = nullptr;
    if (ds.findAndGetUint16Array(DCM_PixelData, p).bad() || !p)
        return INT_MIN;
    return repr ? int(Sint16(p[index])) : int(p[index]);
}

} // namespace

class TstFixtures : public QObject
{
    Q_OBJECT

  private slots:
    void geometry_data()
    {
        QTest::addColumn<int>("plane");
        QTest::addColumn<QList<double>>("normal");
        QTest::newRow("axial") << int(Plane::Axial) << QList<double>{0, 0, 1};
        QTest::newRow("sagittal") << int(Plane::Sagittal) << QList<double>{-1, 0, 0};
        QTest::newRow("coronal") << int(Plane::Coronal) << QList<double>{0, 1, 0};
        QTest::newRow("oblique") << int(Plane::Oblique) << QList<double>{-0.5, 0.8660254, 0};
    }

    void geometry()
    {
        QFETCH(int, plane);
        QFETCH(QList<double>, normal);
        QTemporaryDir dir;
        SeriesSpec spec;
        spec.plane = Plane(plane);
        spec.slices = 3;
        const QStringList paths = writeSeries(dir.path(), spec);
        QCOMPARE(paths.size(), 3);
        QString study;
        for (int k = 0; k < 3; ++k) {
            auto ff = load(paths[k]);
            QVERIFY(ff);
            DcmDataset& ds = *ff->getDataset();
            const QList<double> pos = numbers(ds, DCM_ImagePositionPatient);
            const QList<double> iop = numbers(ds, DCM_ImageOrientationPatient);
            QCOMPARE(pos.size(), 3);
            QCOMPARE(iop.size(), 6);
            const double nx = iop[1] * iop[5] - iop[2] * iop[4];
            const double ny = iop[2] * iop[3] - iop[0] * iop[5];
            const double nz = iop[0] * iop[4] - iop[1] * iop[3];
            QVERIFY(std::abs(nx - normal[0]) < 1e-6 && std::abs(ny - normal[1]) < 1e-6 &&
                    std::abs(nz - normal[2]) < 1e-6);
            for (int i = 0; i < 3; ++i)
                QVERIFY(std::abs(pos[i] - (spec.origin[i] + 1.5 * k * normal[i])) < 1e-6);
            const double loc = str(ds, DCM_SliceLocation).toDouble();
            QVERIFY(std::abs(loc - (pos[0] * nx + pos[1] * ny + pos[2] * nz)) < 1e-6);
            QCOMPARE(numbers(ds, DCM_PixelSpacing), (QList<double>{0.8, 0.7}));
            QCOMPARE(str(ds, DCM_InstanceNumber), QString::number(k + 1));
            if (k == 0)
                study = str(ds, DCM_StudyInstanceUID);
            QCOMPARE(str(ds, DCM_StudyInstanceUID), study);
            QVERIFY(!str(ds, DCM_SOPInstanceUID).isEmpty());
            int samples = 0;
            QCOMPARE(voxel(ds, 0, 5, 7, samples), coordinateValue(5, 7, k));
        }
    }

    void pixelKinds_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("compression");
        QTest::addColumn<int>("photometric");
        QTest::addColumn<QString>("expectedPhotometric");
        QTest::addColumn<QString>("xfer");
        const auto row = [](const char* name, PixelKind k, Compression c, Photometric p, const char* pi,
                            const char* xfer) {
            QTest::newRow(name) << int(k) << int(c) << int(p) << QString::fromLatin1(pi)
                                << QString::fromLatin1(xfer);
        };
        row("int16", PixelKind::Int16, Compression::None, Photometric::Monochrome2, "MONOCHROME2",
            UID_LittleEndianExplicitTransferSyntax);
        row("uint16", PixelKind::UInt16, Compression::None, Photometric::Monochrome2, "MONOCHROME2",
            UID_LittleEndianExplicitTransferSyntax);
        row("uint8 mono1", PixelKind::UInt8, Compression::None, Photometric::Monochrome1, "MONOCHROME1",
            UID_LittleEndianExplicitTransferSyntax);
        row("rgb", PixelKind::Rgb8, Compression::None, Photometric::Monochrome2, "RGB",
            UID_LittleEndianExplicitTransferSyntax);
        row("int16 jpeg-ls", PixelKind::Int16, Compression::JpegLsLossless, Photometric::Monochrome2,
            "MONOCHROME2", UID_JPEGLSLosslessTransferSyntax);
        row("uint16 rle", PixelKind::UInt16, Compression::Rle, Photometric::Monochrome2, "MONOCHROME2",
            UID_RLELosslessTransferSyntax);
        row("int16 rle", PixelKind::Int16, Compression::Rle, Photometric::Monochrome2, "MONOCHROME2",
            UID_RLELosslessTransferSyntax);
        row("rgb rle", PixelKind::Rgb8, Compression::Rle, Photometric::Monochrome2, "RGB",
            UID_RLELosslessTransferSyntax);
        row("mono1 jpeg-ls", PixelKind::UInt16, Compression::JpegLsLossless, Photometric::Monochrome1,
            "MONOCHROME1", UID_JPEGLSLosslessTransferSyntax);
        row("rgb jpeg-ls", PixelKind::Rgb8, Compression::JpegLsLossless, Photometric::Monochrome2, "RGB",
            UID_JPEGLSLosslessTransferSyntax);
        row("rgb jpeg", PixelKind::Rgb8, Compression::JpegBaseline, Photometric::Monochrome2, "YBR_FULL_422",
            UID_JPEGProcess1TransferSyntax);
        row("uint8 jpeg", PixelKind::UInt8, Compression::JpegBaseline, Photometric::Monochrome2,
            "MONOCHROME2", UID_JPEGProcess1TransferSyntax);
    }

    void pixelKinds()
    {
        QFETCH(int, kind);
        QFETCH(int, compression);
        QFETCH(int, photometric);
        QFETCH(QString, expectedPhotometric);
        QFETCH(QString, xfer);
        QTemporaryDir dir;
        SeriesSpec spec;
        spec.pixels = PixelKind(kind);
        spec.compression = Compression(compression);
        spec.photometric = Photometric(photometric);
        spec.slices = 2;
        const bool lossy = spec.compression == Compression::JpegBaseline;
        if (lossy)
            spec.rescaleIntercept = 0;
        if (spec.pixels == PixelKind::UInt8 || lossy)
            spec.value = [](int x, int y, int z) { return (x + 2 * y + 50 * z) & 0xFF; };
        if (spec.pixels == PixelKind::Rgb8)
            spec.rgbValue = [](int x, int y, int z) { return std::array<int, 3>{x, y, 100 + z}; };
        const QString path = writeSlice(dir.filePath("a.dcm"), spec, 1);
        auto ff = load(path);
        QVERIFY(ff);
        QCOMPARE(str(*ff->getMetaInfo(), DCM_TransferSyntaxUID), xfer);
        DcmDataset& ds = *ff->getDataset();
        QCOMPARE(str(ds, DCM_PhotometricInterpretation), expectedPhotometric);
        const dicom::CodecRegistrationScope codecs;
        QVERIFY(ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).good());
        int samples = 0;
        const int x = 9, y = 4;
        if (spec.pixels == PixelKind::Rgb8) {
            const int got = voxel(ds, 0, x, y, samples);
            QVERIFY2(lossy ? std::abs(got - x) <= 4 : got == x, qPrintable(QString::number(got)));
            QCOMPARE(samples, 3);
        } else {
            const int expected = spec.value ? spec.value(x, y, 1) : coordinateValue(x, y, 1);
            const int got = voxel(ds, 0, x, y, samples);
            if (lossy) {
                // DCMTK's lossy encoder shifts stored values and moves the shift into the intercept.
                const int shifted = got + int(str(ds, DCM_RescaleIntercept).toDouble());
                QVERIFY2(std::abs(shifted - expected) <= 3, qPrintable(QString::number(shifted)));
            } else
                QCOMPARE(got, expected);
        }
    }

    void negativeValuesSurviveSigned()
    {
        QTemporaryDir dir;
        SeriesSpec spec;
        spec.slices = 1;
        spec.value = [](int x, int y, int) { return -1000 - x - 10 * y; };
        const dicom::CodecRegistrationScope codecs;
        for (Compression c : {Compression::None, Compression::JpegLsLossless, Compression::Rle}) {
            spec.compression = c;
            auto ff = load(writeSlice(dir.filePath("n.dcm"), spec, 0));
            QVERIFY(ff);
            QVERIFY(ff->getDataset()->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).good());
            int samples = 0;
            QCOMPARE(voxel(*ff->getDataset(), 0, 3, 2, samples), -1023);
        }
    }

    void compressedMultiFrame_data()
    {
        QTest::addColumn<int>("compression");
        QTest::addColumn<bool>("enhanced");
        QTest::newRow("classic jpeg-ls") << int(Compression::JpegLsLossless) << false;
        QTest::newRow("enhanced rle") << int(Compression::Rle) << true;
    }

    void compressedMultiFrame()
    {
        QFETCH(int, compression);
        QFETCH(bool, enhanced);
        QTemporaryDir dir;
        SeriesSpec spec;
        spec.slices = 3;
        spec.compression = Compression(compression);
        const QString path = dir.filePath("c.dcm");
        auto ff = load(enhanced ? writeEnhancedMultiFrame(path, spec) : writeMultiFrame(path, spec));
        QVERIFY(ff);
        const dicom::CodecRegistrationScope codecs;
        QVERIFY(ff->getDataset()->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).good());
        int samples = 0;
        QCOMPARE(voxel(*ff->getDataset(), 2, 30, 31, samples), coordinateValue(30, 31, 2));
    }

    void classicMultiFrame()
    {
        QTemporaryDir dir;
        SeriesSpec spec;
        spec.slices = 4;
        int customized = 99;
        spec.customize = [&](DcmDataset&, int slice) { customized = slice; };
        auto ff = load(writeMultiFrame(dir.filePath("mf.dcm"), spec));
        QVERIFY(ff);
        QCOMPARE(customized, -1);
        DcmDataset& ds = *ff->getDataset();
        QCOMPARE(str(ds, DCM_NumberOfFrames), QStringLiteral("4"));
        int samples = 0;
        QCOMPARE(voxel(ds, 3, 1, 2, samples), coordinateValue(1, 2, 3));
        QCOMPARE(numbers(ds, DCM_ImagePositionPatient), (QList<double>{-100, -120, 50}));
    }

    void enhancedMultiFrame()
    {
        QTemporaryDir dir;
        SeriesSpec spec;
        spec.slices = 3;
        spec.plane = Plane::Coronal;
        spec.temporalPositionIndex = [](int k) { return k + 1; };
        auto ff = load(writeEnhancedMultiFrame(dir.filePath("emf.dcm"), spec));
        QVERIFY(ff);
        DcmDataset& ds = *ff->getDataset();
        QVERIFY(!ds.tagExists(DCM_ImagePositionPatient));
        QVERIFY(!ds.tagExists(DCM_PixelSpacing));
        DcmItem* shared = nullptr;
        QVERIFY(ds.findAndGetSequenceItem(DCM_SharedFunctionalGroupsSequence, shared, 0).good());
        DcmItem* measures = nullptr;
        QVERIFY(shared->findAndGetSequenceItem(DCM_PixelMeasuresSequence, measures, 0).good());
        QCOMPARE(numbers(*measures, DCM_PixelSpacing), (QList<double>{0.8, 0.7}));
        DcmItem* orient = nullptr;
        QVERIFY(shared->findAndGetSequenceItem(DCM_PlaneOrientationSequence, orient, 0).good());
        QCOMPARE(numbers(*orient, DCM_ImageOrientationPatient), (QList<double>{1, 0, 0, 0, 0, -1}));
        DcmSequenceOfItems* perFrame = nullptr;
        QVERIFY(ds.findAndGetSequence(DCM_PerFrameFunctionalGroupsSequence, perFrame).good());
        QCOMPARE(int(perFrame->card()), 3);
        for (int k = 0; k < 3; ++k) {
            DcmItem* pos = nullptr;
            QVERIFY(perFrame->getItem(k)->findAndGetSequenceItem(DCM_PlanePositionSequence, pos, 0).good());
            QCOMPARE(numbers(*pos, DCM_ImagePositionPatient), (QList<double>{-100, -120 + 1.5 * k, 50}));
            DcmItem* content = nullptr;
            QVERIFY(
                perFrame->getItem(k)->findAndGetSequenceItem(DCM_FrameContentSequence, content, 0).good());
            QCOMPARE(str(*content, DCM_TemporalPositionIndex), QString::number(k + 1));
        }
    }

    void textEncodings()
    {
        QTemporaryDir dir;
        const QString name = QStringLiteral("Иванов^Пётр");
        SeriesSpec spec;
        spec.slices = 1;
        spec.patientName = name;

        spec.specificCharacterSet = QStringLiteral("ISO_IR 192");
        auto ff = load(writeSlice(dir.filePath("u.dcm"), spec, 0));
        QCOMPARE(raw(*ff->getDataset(), DCM_PatientName), name.toUtf8());
        QCOMPARE(str(*ff->getDataset(), DCM_SpecificCharacterSet), QStringLiteral("ISO_IR 192"));

        spec.specificCharacterSet = QStringLiteral("ISO_IR 144");
        ff = load(writeSlice(dir.filePath("i.dcm"), spec, 0));
        QCOMPARE(raw(*ff->getDataset(), DCM_PatientName).left(2), QByteArray("\xB8\xD2"));

        spec.specificCharacterSet.clear();
        spec.textEncoding = TextEncoding::Windows1251;
        ff = load(writeSlice(dir.filePath("w.dcm"), spec, 0));
        QVERIFY(!ff->getDataset()->tagExists(DCM_SpecificCharacterSet));
        QCOMPARE(raw(*ff->getDataset(), DCM_PatientName),
                 QByteArray("\xC8\xE2\xE0\xED\xEE\xE2^\xCF\xB8\xF2\xF0"));
    }

    void badFiles()
    {
        QTemporaryDir dir;
        SeriesSpec spec;
        spec.slices = 1;
        const QString good = writeSlice(dir.filePath("g.dcm"), spec, 0);
        writeTruncatedCopy(good, dir.filePath("t.dcm"), 500);
        QCOMPARE(QFileInfo(dir.filePath("t.dcm")).size(), 500);
        writeDicmWithPayload(dir.filePath("d.dcm"), QByteArray("\x01\x02"));
        QFile f(dir.filePath("d.dcm"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray all = f.readAll();
        QCOMPARE(all.size(), 134);
        QCOMPARE(all.mid(128, 4), QByteArray("DICM"));
    }

    // Importers and the index key instances by SOP UID: a repeated UID silently merges two files.
    void instanceUidsAreDistinct()
    {
        QTemporaryDir dir;
        SeriesSpec spec;
        spec.rows = spec.columns = 4;
        spec.slices = 300;
        QSet<QString> uids;
        for (const QString& path : writeSeries(dir.path(), spec)) {
            auto ff = load(path);
            QVERIFY(ff);
            uids.insert(str(*ff->getDataset(), DCM_SOPInstanceUID));
        }
        QCOMPARE(uids.size(), 300);
    }
};

QTEST_GUILESS_MAIN(TstFixtures)
#include "tst_fixtures.moc"
