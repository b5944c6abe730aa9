// Anonymised and JPEG-LS copies, read back with DCMTK: what must go, what must stay, and that no
// failure ever damages the source.
#include "dicom/CodecRegistration.h"
#include "dicom/DicomCopyWriters.h"
#include "dicom/DicomNesting.h"
#include "dicom/DicomTagList.h"
#include "platform/FreeNameWrite.h"
#include "support/ChangeBeforeValues.h"
#include "support/DicomFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrlo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <malloc.h>
#include <memory>
#include <optional>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace fixtures;

namespace {

struct Loaded
{
    std::unique_ptr<DcmFileFormat> file;
    DcmDataset* ds = nullptr;
    E_TransferSyntax xfer = EXS_Unknown;
};

Loaded load(const QString& path)
{
    Loaded out;
    out.file = std::make_unique<DcmFileFormat>();
    if (out.file->loadFile(QFile::encodeName(path).constData()).bad())
        return Loaded{};
    out.ds = out.file->getDataset();
    out.xfer = out.ds->getOriginalXfer();
    return out;
}

QString text(DcmItem& item, const DcmTagKey& tag)
{
    OFString v;
    if (item.findAndGetOFStringArray(tag, v).bad())
        return QStringLiteral("<absent>");
    return QString::fromUtf8(v.c_str());
}

// Raw stored samples after decoding to native little endian (what a reader gets before any
// masking), or nothing when the file cannot be decoded.
std::optional<QByteArray> samples(const QString& path)
{
    Loaded f = load(path);
    if (!f.ds || f.ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
        return std::nullopt;
    Uint16 rows = 0, cols = 0, bits = 0, spp = 1;
    f.ds->findAndGetUint16(DCM_Rows, rows);
    f.ds->findAndGetUint16(DCM_Columns, cols);
    f.ds->findAndGetUint16(DCM_BitsAllocated, bits);
    f.ds->findAndGetUint16(DCM_SamplesPerPixel, spp);
    const qsizetype size = qsizetype(rows) * cols * spp * (bits / 8);
    DcmElement* e = nullptr;
    if (f.ds->findAndGetElement(DCM_PixelData, e).bad())
        return std::nullopt;
    Uint8* b8 = nullptr;
    Uint16* b16 = nullptr;
    if (e->getUint8Array(b8).good() && b8)
        return QByteArray(reinterpret_cast<const char*>(b8), size);
    if (e->getUint16Array(b16).good() && b16)
        return QByteArray(reinterpret_cast<const char*>(b16), size);
    return std::nullopt;
}

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int countPrivate(DcmItem& item)
{
    int n = 0;
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement* e = item.getElement(i);
        if (e->getTag().isPrivate())
            ++n;
        if (e->ident() == EVR_SQ) {
            auto* sq = static_cast<DcmSequenceOfItems*>(e);
            for (unsigned long k = 0; k < sq->card(); ++k)
                n += countPrivate(*sq->getItem(k));
        }
    }
    return n;
}

bool containsTagAnywhere(DcmItem& item, const DcmTagKey& key)
{
    DcmStack stack;
    return item.search(key, stack, ESM_fromHere, OFTrue).good();
}

const DcmTagKey kEmptied[] = {
    DCM_PatientBirthDate, DCM_PatientSex, DCM_PatientAge, DCM_PatientAddress, DCM_PatientTelephoneNumbers,
    DCM_OtherPatientNames, DCM_ReferringPhysicianName, DCM_PerformingPhysicianName, DCM_OperatorsName,
    DCM_InstitutionName, DCM_InstitutionAddress, DCM_InstitutionalDepartmentName, DCM_AccessionNumber,
    DCM_RequestingPhysician, DCM_StudyID,
};

const DcmTagKey kRemoved[] = {
    DcmTagKey(0x0010, 0x1000), DCM_OtherPatientIDsSequence, DCM_PatientBirthTime, DCM_PatientComments,
    DCM_AdditionalPatientHistory, DCM_PhysiciansOfRecord, DCM_NameOfPhysiciansReadingStudy, DCM_StationName,
    DCM_DeviceSerialNumber, DCM_RequestAttributesSequence, DCM_ReferencedPatientSequence,
};

// Identifiers everywhere: top level, nested under a non-identifying sequence, private blocks.
void addIdentifiers(DcmDataset& ds, int)
{
    ds.putAndInsertString(DCM_PatientAge, "054Y");
    ds.putAndInsertString(DCM_InstitutionName, "City Hospital");
    ds.putAndInsertString(DCM_OperatorsName, "Operator^One");
    ds.putAndInsertString(DCM_StudyID, "S123");
    ds.putAndInsertString(DcmTagKey(0x0010, 0x1000), "OTHER-ID");
    ds.putAndInsertString(DCM_PatientBirthTime, "101010");
    ds.putAndInsertString(DCM_PatientComments, "comment");
    ds.putAndInsertString(DCM_AdditionalPatientHistory, "history");
    ds.putAndInsertString(DCM_PhysiciansOfRecord, "Doc^Record");
    ds.putAndInsertString(DCM_NameOfPhysiciansReadingStudy, "Doc^Reader");
    ds.putAndInsertString(DCM_StationName, "CT01");
    ds.putAndInsertString(DCM_DeviceSerialNumber, "SN42");
    DcmItem* item = nullptr;
    ds.findOrCreateSequenceItem(DCM_OtherPatientIDsSequence, item, -2);
    item->putAndInsertString(DCM_PatientID, "OTHER-2");
    ds.findOrCreateSequenceItem(DCM_RequestAttributesSequence, item, -2);
    item->putAndInsertString(DCM_RequestedProcedureID, "RP1");
    ds.findOrCreateSequenceItem(DCM_ReferencedPatientSequence, item, -2);
    item->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3");
    // Nested under a sequence that itself stays: the identifiers inside it must still go.
    ds.findOrCreateSequenceItem(DCM_ProcedureCodeSequence, item, -2);
    item->putAndInsertString(DCM_CodeValue, "CTCHEST");
    item->putAndInsertString(DCM_StationName, "NESTED-STATION");
    item->putAndInsertString(DCM_InstitutionName, "Nested Hospital");
    item->putAndInsertString(DcmTagKey(0x0029, 0x0010), "VENDOR");
    // A private block at the top level.
    ds.putAndInsertString(DcmTagKey(0x0009, 0x0010), "VENDOR");
    ds.putAndInsertString(DcmTagKey(0x0009, 0x1001), "secret");
}

// A real patient's identity and the places a file may carry it besides the top level.
const QString kRealName = QStringLiteral("Kuznetsova^Marfa");
const QString kRealId = QStringLiteral("MRN-553311");
const QString kRealBirthDate = QStringLiteral("19580304");

// Images of the kinds whose pixels carry the name as a rule, and a CT and an MR beside them, their
// Burned In Annotation absent (null), empty or NO; a video's stream names the patient in its metadata.
struct ImageKind
{
    const char* place;
    const char* sopClass;
    const char* modality;
    const char* flag;
    dicom::LeftOut leftOut;
    const char* imageType = nullptr;
    const char* videoSyntax = nullptr;
};
const ImageKind kImageKinds[] = {
    {"ultrasound, flag absent", UID_UltrasoundImageStorage, "US", nullptr, dicom::LeftOut::UnflaggedCapture},
    {"secondary capture, flag empty", UID_SecondaryCaptureImageStorage, "OT", "", dicom::LeftOut::UnflaggedCapture},
    {"photograph, flag absent", UID_VLPhotographicImageStorage, "XC", nullptr, dicom::LeftOut::UnflaggedCapture},
    {"ultrasound of a vendor's own class, flag absent", "1.2.3.4.5.6", "US", nullptr,
     dicom::LeftOut::UnflaggedCapture},
    {"ultrasound, flag NO", UID_UltrasoundImageStorage, "US", "NO", dicom::LeftOut::Nothing},
    {"CT, flag empty", UID_CTImageStorage, "CT", "", dicom::LeftOut::Nothing},
    {"MR, flag absent", UID_MRImageStorage, "MR", nullptr, dicom::LeftOut::Nothing},
    // The class alone tells a capture.
    {"secondary capture labelled CT, flag absent", UID_SecondaryCaptureImageStorage, "CT", nullptr,
     dicom::LeftOut::UnflaggedCapture},
    {"screen save filed as CT, flag absent", UID_CTImageStorage, "CT", nullptr, dicom::LeftOut::UnflaggedCapture,
     "DERIVED\\SECONDARY\\SCREEN SAVE"},
    {"CT reconstruction, flag absent", UID_CTImageStorage, "CT", nullptr, dicom::LeftOut::Nothing,
     "DERIVED\\SECONDARY\\REFORMATTED"},
    {"X-ray angiography, flag absent", UID_XRayAngiographicImageStorage, "XA", nullptr,
     dicom::LeftOut::UnflaggedXRay},
    {"fluoroscopy, flag empty", UID_XRayRadiofluoroscopicImageStorage, "RF", "", dicom::LeftOut::UnflaggedXRay},
    {"X-ray angiography, flag NO", UID_XRayAngiographicImageStorage, "XA", "NO", dicom::LeftOut::Nothing},
    // Either of the two tells the X-ray kind: the class of the enhanced form with no modality, the
    // modality under a vendor's class.
    {"enhanced fluoroscopy, no modality", UID_EnhancedXRFImageStorage, "", nullptr, dicom::LeftOut::UnflaggedXRay},
    {"angiography of a vendor's own class", "1.2.3.4.5.6", "XA", nullptr, dicom::LeftOut::UnflaggedXRay},
    {"photograph showing the patient", UID_VLPhotographicImageStorage, "XC", "NO",
     dicom::LeftOut::RecognizableImage},
    // The transfer syntax alone tells a video; flagged NO, its container still names the patient.
    {"video filed as CT, flag absent", UID_CTImageStorage, "CT", nullptr, dicom::LeftOut::UnflaggedCapture, nullptr,
     UID_HEVCMainProfileLevel5_1TransferSyntax},
    {"endoscopy video, flag NO", UID_VideoEndoscopicImageStorage, "ES", "NO", dicom::LeftOut::Video, nullptr,
     UID_MPEG4HighProfileLevel4_1TransferSyntax},
};

const ImageKind* imageKind(const QString& place)
{
    for (const ImageKind& kind : kImageKinds)
        if (place == QLatin1String(kind.place))
            return &kind;
    return nullptr;
}

// Objects without an image whose own text may name the patient.
const std::pair<const char*, TextObject> kTextObjects[] = {
    {"presentation state text", TextObject::PresentationState},
    {"structured display text", TextObject::StructuredDisplay},
    {"waveform annotation", TextObject::Waveform},
    {"raw data filed as OT", TextObject::RawData},
};

void putIdentity(DcmItem& item)
{
    item.putAndInsertString(DCM_PatientName, kRealName.toLatin1().constData());
    item.putAndInsertString(DCM_PatientID, kRealId.toLatin1().constData());
    item.putAndInsertString(DCM_PatientBirthDate, kRealBirthDate.toLatin1().constData());
}

void placeIdentity(DcmDataset& ds, const QString& place)
{
    putIdentity(ds);
    const QByteArray name = kRealName.toLatin1();
    DcmItem* item = nullptr;
    if (place == QLatin1String("original attributes")) {
        // What a modality keeps of an edit it made: the values before it.
        ds.findOrCreateSequenceItem(DCM_OriginalAttributesSequence, item, -2);
        item->putAndInsertString(DCM_ModifyingSystem, "RIS");
        DcmItem* modified = nullptr;
        item->findOrCreateSequenceItem(DCM_ModifiedAttributesSequence, modified, -2);
        putIdentity(*modified);
    } else if (place == QLatin1String("birth name")) {
        ds.putAndInsertString(DCM_PatientBirthName, name.constData());
    } else if (place == QLatin1String("mother's birth name")) {
        ds.putAndInsertString(DCM_PatientMotherBirthName, name.constData());
    } else if (place == QLatin1String("image comments")) {
        ds.putAndInsertString(
            DCM_ImageComments,
            QStringLiteral("%1, born %2, %3").arg(kRealName, kRealBirthDate, kRealId).toLatin1());
    } else if (place == QLatin1String("private element")) {
        ds.putAndInsertString(DcmTagKey(0x0029, 0x0010), "VENDOR");
        ds.putAndInsertString(DcmTagKey(0x0029, 0x1010), name.constData());
        ds.putAndInsertString(DcmTagKey(0x0029, 0x1011), kRealId.toLatin1().constData());
    } else if (place == QLatin1String("nested sequence")) {
        // Two levels down in sequences that themselves stay.
        ds.findOrCreateSequenceItem(DCM_ProcedureCodeSequence, item, -2);
        item->putAndInsertString(DCM_CodeValue, "CTCHEST");
        DcmItem* inner = nullptr;
        item->findOrCreateSequenceItem(DCM_PurposeOfReferenceCodeSequence, inner, -2);
        putIdentity(*inner);
    } else if (place == QLatin1String("report observer")) {
        ds.findOrCreateSequenceItem(DCM_ContentSequence, item, -2);
        item->putAndInsertString(DCM_PersonName, name.constData());
        ds.putAndInsertString(DCM_VerifyingObserverName, name.constData());
    } else if (place.startsWith(QLatin1String("burned-in annotation"))) {
        // The name is in the pixels, and the header says so (or, "NO", says it is not).
        ds.putAndInsertString(DCM_BurnedInAnnotation, place.section(QLatin1Char(' '), 2, -1).toLatin1().constData());
    }
    if (const ImageKind* kind = imageKind(place)) {
        ds.putAndInsertString(DCM_SOPClassUID, kind->sopClass);
        ds.putAndInsertString(DCM_Modality, kind->modality);
        if (kind->flag)
            ds.putAndInsertString(DCM_BurnedInAnnotation, kind->flag);
        if (kind->imageType)
            ds.putAndInsertString(DCM_ImageType, kind->imageType);
        if (kind->leftOut == dicom::LeftOut::RecognizableImage)
            ds.putAndInsertString(DCM_RecognizableVisualFeatures, "YES");
    }
    for (const auto& [object, kind] : kTextObjects)
        if (place == QLatin1String(object))
            makeTextObject(ds, kind,
                           QStringLiteral("%1 %2 %3").arg(kRealName, kRealId, kRealBirthDate).toLatin1());
    if (place == QLatin1String("overlay texts")) {
        for (const quint16 group : {quint16(0x6000), quint16(0x6002)}) {
            ds.putAndInsertUint16(DcmTagKey(group, 0x0010), 8); // rows
            ds.putAndInsertUint16(DcmTagKey(group, 0x0011), 8); // columns
            ds.putAndInsertString(DcmTagKey(group, 0x0040), "G");
            ds.putAndInsertString(DcmTagKey(group, 0x0022), name.constData());                     // description
            ds.putAndInsertString(DcmTagKey(group, 0x1500), kRealId.toLatin1().constData());      // label
        }
    } else if (place == QLatin1String("items under an unknown VR")) {
        // Text here; the test gives it a VR DCMTK does not know once written, so that it stands as bytes.
        auto* opaque = new DcmLongString(DcmTag(DCM_ReferencedImageSequence, EVR_LO));
        opaque->putString(QStringLiteral("%1 %2").arg(kRealName, kRealId).toLatin1().constData());
        ds.insert(opaque, OFTrue);
    } else if (place == QLatin1String("HL7 document reference") || place == QLatin1String("ROI creator")
               || place == QLatin1String("ROI interpreter")) {
        // Text that no rule of its own reaches, in an item of a sequence that goes whole.
        const DcmTag sequence = place.startsWith(QLatin1String("HL7"))
                                    ? DcmTag(DCM_HL7StructuredDocumentReferenceSequence)
                                    : DcmTag(0x3006, place.endsWith(QLatin1String("creator")) ? 0x004D : 0x004E, EVR_SQ);
        auto* items = new DcmSequenceOfItems(sequence);
        item = new DcmItem;
        items->append(item);
        ds.insert(items, OFTrue);
        item->putAndInsertString(DCM_RetrieveURI,
                                 QStringLiteral("http://ris/doc?patient=%1").arg(kRealId).toLatin1().constData());
        item->putAndInsertString(DCM_CodeMeaning, name.constData());
    } else if (place == QLatin1String("other IDs")) {
        ds.findOrCreateSequenceItem(DCM_OtherPatientIDsSequence, item, -2);
        item->putAndInsertString(DCM_PatientID, kRealId.toLatin1().constData());
        ds.putAndInsertString(DCM_IssuerOfPatientID, kRealId.toLatin1().constData());
    }
}

// A structured report or an encapsulated PDF of the same patient: the identity stands in the header as
// in any object, and again in the report's own text, where no attribute rule reaches.
QString writeDocument(const QString& path, const QString& place)
{
    const QByteArray text =
        QStringLiteral("patient %1 %2 born %3").arg(kRealName, kRealId, kRealBirthDate).toLatin1();
    SeriesLayout layout;
    layout.patientName = kRealName;
    layout.patientId = kRealId;
    layout.birthDate = kRealBirthDate;
    if (place == QLatin1String("encapsulated PDF"))
        return writeEncapsulatedPdf(path, layout, text);
    if (place == QLatin1String("key object selection"))
        return writeKeyObjectSelection(path, layout, text, UID_CTImageStorage, newUid());
    return writeTextReport(path, layout, text);
}

const QString kTwelveBitStored = QStringLiteral("signed 12-bit, bits above Bits Stored");

// Signed 12-bit data: sign-extended negatives and an overlay-like bit 14 on some positives, i.e. bits
// the encoder may drop because they lie above Bits Stored.
SeriesLayout twelveBitLayout()
{
    SeriesLayout layout;
    layout.rows = 24;
    layout.columns = 20;
    layout.slices = 1;
    layout.value = [](int x, int y, int) {
        const int v = (x * 97 + y * 31) % 4096 - 2048; // -2048..2047
        return (x % 5 == 0 && v >= 0) ? (v | 0x4000) : v;
    };
    layout.customize = [](DcmDataset& ds, int) {
        ds.putAndInsertUint16(DCM_BitsStored, 12);
        ds.putAndInsertUint16(DCM_HighBit, 11);
    };
    return layout;
}

QString writeSource(const QString& dir, const QString& kind)
{
    SeriesLayout layout;
    layout.rows = 24;
    layout.columns = 20;
    layout.slices = 1;
    layout.customize = addIdentifiers;
    if (kind == QLatin1String("unsigned"))
        layout.pixels = PixelKind::UInt16;
    else if (kind == QLatin1String("8-bit"))
        layout.pixels = PixelKind::UInt8;
    else if (kind == QLatin1String("JPEG")) {
        layout.pixels = PixelKind::UInt8;
        layout.compression = Compression::JpegBaseline;
    } else if (kind == QLatin1String("JPEG-LS"))
        layout.compression = Compression::JpegLsLossless;
    else if (kind == QLatin1String("RLE"))
        layout.compression = Compression::Rle;
    else if (kind == kTwelveBitStored)
        layout = twelveBitLayout();
    else if (kind == QLatin1String("RGB"))
        layout.pixels = PixelKind::Rgb8;
    else if (kind == QLatin1String("RGB planar")) {
        layout.pixels = PixelKind::Rgb8;
        layout.customize = [](DcmDataset& ds, int) { ds.putAndInsertUint16(DCM_PlanarConfiguration, 1); };
    } else if (kind == QLatin1String("signed negative"))
        layout.value = [](int x, int y, int) { return (x * 97 + y * 31) % 4000 - 2000; };
    else if (kind == QLatin1String("signed 12-bit positive")) {
        layout = twelveBitLayout();
        layout.value = [](int x, int y, int) { return (x * 97 + y * 31) % 2048; };
    } else if (kind == QLatin1String("signed 12-bit")) {
        layout = twelveBitLayout();
        layout.value = [](int x, int y, int) { return (x * 97 + y * 31) % 4096 - 2048; };
    }
    static int counter = 0;
    return writeSlice(QDir(dir).filePath(QStringLiteral("src_%1.dcm").arg(++counter)), layout, 0);
}

} // namespace

class TstCopyWriters : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void anonymizedCopy_data();
    void anonymizedCopy();
    void anonymizedCopyOfBadSources();
    void anonymizedCopyHoldsNoIdentity_data();
    void anonymizedCopyHoldsNoIdentity();
    void anonymizedCopyAppliesProfileActions_data();
    void anonymizedCopyAppliesProfileActions();
    void anonymizedCyrillicNameInDeclaredSet();

    void compressedCopy_data();
    void compressedCopy();
    void compressedCopyOfCompressedSource_data();
    void compressedCopyOfCompressedSource();
    void compressedCopyIntoExistingDestination();
    void compressedFramesArePaddedWithZero();
    void compressedCopyOfBadSources();
    void inPlaceThroughLink();

    void failedSaveLeavesOriginal_data();
    void failedSaveLeavesOriginal();
    void unreadableResultLeavesOriginal_data();
    void unreadableResultLeavesOriginal();

private:
    QTemporaryDir m_dir;
    dicom::CodecRegistrationScope m_codecs;
};

void TstCopyWriters::anonymizedCopy_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("decompressed");
    QTest::newRow("signed") << QStringLiteral("signed") << false;
    QTest::newRow("unsigned") << QStringLiteral("unsigned") << false;
    QTest::newRow("JPEG") << QStringLiteral("JPEG") << true;
    QTest::newRow("JPEG-LS") << QStringLiteral("JPEG-LS") << true;
    QTest::newRow("RLE") << QStringLiteral("RLE") << true;
}

void TstCopyWriters::anonymizedCopy()
{
    QFETCH(QString, kind);
    QFETCH(bool, decompressed);
    const QString source = writeSource(m_dir.path(), kind);
    const QByteArray sourceBytes = bytesOf(source);
    const QString destination = m_dir.filePath(QStringLiteral("anon/%1/deeper/copy.dcm").arg(kind));

    QString error;
    QVERIFY2(dicom::writeAnonymizedCopy(source, destination, QStringLiteral("ANONYMOUS"), QStringLiteral("ANONYMOUS"),
                                        &error),
             qPrintable(error));
    QCOMPARE(bytesOf(source), sourceBytes);

    Loaded src = load(source);
    Loaded copy = load(destination);
    QVERIFY(copy.ds);
    QCOMPARE(text(*copy.ds, DCM_PatientName), QStringLiteral("ANONYMOUS"));
    QCOMPARE(text(*copy.ds, DCM_PatientID), QStringLiteral("ANONYMOUS"));
    for (const DcmTagKey& key : kEmptied) {
        QVERIFY2(text(*copy.ds, key).isEmpty(), key.toString().c_str()); // present, empty (absent ones inserted)
        DcmElement* e = nullptr;
        QVERIFY2(copy.ds->findAndGetElement(key, e).good(), key.toString().c_str());
    }
    for (const DcmTagKey& key : kRemoved)
        QVERIFY2(!containsTagAnywhere(*copy.ds, key), key.toString().c_str());
    QCOMPARE(countPrivate(*copy.ds), 0);
    QVERIFY(!containsTagAnywhere(*copy.ds, DCM_StationName));
    DcmItem* procedure = nullptr;
    QVERIFY(copy.ds->findAndGetSequenceItem(DCM_ProcedureCodeSequence, procedure).good());
    QCOMPARE(text(*procedure, DCM_CodeValue), QStringLiteral("CTCHEST"));
    QCOMPARE(text(*procedure, DCM_InstitutionName), QStringLiteral("<absent>"));

    for (const DcmTagKey& key : {DCM_StudyInstanceUID, DCM_SeriesInstanceUID, DCM_SOPInstanceUID, DCM_StudyDate,
                                 DCM_FrameOfReferenceUID})
        QCOMPARE(text(*copy.ds, key), text(*src.ds, key));
    OFString mediaUid;
    copy.file->getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPInstanceUID, mediaUid);
    QCOMPARE(QString::fromLatin1(mediaUid.c_str()), text(*src.ds, DCM_SOPInstanceUID));

    QCOMPARE(copy.xfer, decompressed ? EXS_LittleEndianExplicit : src.xfer);
    const auto before = samples(source);
    const auto after = samples(destination);
    QVERIFY(before && after);
    QCOMPARE(*after, *before);
}

// A name typed in Cyrillic goes into a Latin-1 file: the copy turns UTF-8 throughout and says so.
void TstCopyWriters::anonymizedCyrillicNameInDeclaredSet()
{
    fixtures::SeriesLayout layout;
    layout.slices = 1;
    layout.specificCharacterSet = QStringLiteral("ISO_IR 100");
    layout.customize = [](DcmDataset& ds, int) {
        fixtures::putRawText(ds, DCM_Manufacturer, "Kn\xE4 Medizintechnik");
    };
    const QString source = fixtures::writeSlice(m_dir.filePath(QStringLiteral("latin1.dcm")), layout, 0);
    const QString destination = m_dir.filePath(QStringLiteral("latin1-anon.dcm"));
    QString error;
    QVERIFY2(dicom::writeAnonymizedCopy(source, destination, QStringLiteral("Аноним"), QStringLiteral("А-1"), &error),
             qPrintable(error));
    QMap<quint32, QString> listed;
    for (const dicom::TagEntry& e : dicom::readTagList(destination))
        listed.insert(quint32(e.group) << 16 | e.element, e.value);
    QCOMPARE(listed.value(0x00080005), QStringLiteral("ISO_IR 192"));
    QCOMPARE(listed.value(0x00100010), QStringLiteral("Аноним"));
    QCOMPARE(listed.value(0x00100020), QStringLiteral("А-1"));
    QCOMPARE(listed.value(0x00080070), QStringLiteral("Knä Medizintechnik"));
}

void TstCopyWriters::anonymizedCopyOfBadSources()
{
    const QString missing = m_dir.filePath(QStringLiteral("missing.dcm"));
    QString error;
    QVERIFY(!dicom::writeAnonymizedCopy(missing, m_dir.filePath(QStringLiteral("a.dcm")), {}, {}, &error));
    QCOMPARE(error, QStringLiteral("Не удалось открыть файл: %1").arg(missing));

    // A Pixel Data length far beyond the end of the file must be refused, not allocated.
    const QString source = writeSource(m_dir.path(), QStringLiteral("signed"));
    QByteArray bytes = bytesOf(source);
    const qsizetype at = bytes.indexOf(QByteArray("\xe0\x7f\x10\x00OW\x00\x00", 8));
    QVERIFY(at > 0);
    bytes.replace(at + 8, 4, QByteArray("\xf0\xff\xff\x7f", 4));
    const QString huge = m_dir.filePath(QStringLiteral("huge-length.dcm"));
    writeBytes(huge, bytes);
    error.clear();
    const QString out = m_dir.filePath(QStringLiteral("huge-copy.dcm"));
    QVERIFY(!dicom::writeAnonymizedCopy(huge, out, {}, {}, &error));
    QCOMPARE(error, QStringLiteral("Не удалось открыть файл: %1").arg(huge));
    QVERIFY(!QFileInfo::exists(out));

    // Saving into a folder that cannot exist (a file stands where the folder should be).
    const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
    writeBytes(blocker, "x");
    const QString blocked = blocker + QStringLiteral("/copy.dcm");
    error.clear();
    QVERIFY(!dicom::writeAnonymizedCopy(source, blocked, {}, {}, &error));
    QCOMPARE(error, QStringLiteral("Не удалось сохранить: %1").arg(blocked));
}

void TstCopyWriters::anonymizedCopyHoldsNoIdentity_data()
{
    QTest::addColumn<QString>("place");
    QTest::addColumn<int>("leftOut"); // dicom::LeftOut: Nothing, or why the object is not copied at all
    const int copied = int(dicom::LeftOut::Nothing);
    for (const char* place :
         {"top level", "original attributes", "birth name", "mother's birth name", "image comments",
          "private element", "nested sequence", "report observer", "other IDs", "overlay texts",
          "items under an unknown VR", "burned-in annotation NO", "HL7 document reference", "ROI creator",
          "ROI interpreter"})
        QTest::newRow(place) << QString::fromLatin1(place) << copied;
    const int document = int(dicom::LeftOut::Document);
    QTest::newRow("encapsulated PDF") << QStringLiteral("encapsulated PDF") << document;
    // Without its content tree a report or a key-object selection is no document at all.
    QTest::newRow("structured report") << QStringLiteral("structured report") << document;
    QTest::newRow("key object selection") << QStringLiteral("key object selection") << document;
    // No attribute rule reaches the pixels; a flag the copy cannot read counts as set.
    const int burnedIn = int(dicom::LeftOut::BurnedInImage);
    QTest::newRow("burned-in annotation YES") << QStringLiteral("burned-in annotation YES") << burnedIn;
    QTest::newRow("burned-in annotation yes, padded") << QStringLiteral("burned-in annotation yes ") << burnedIn;
    QTest::newRow("burned-in annotation, no defined term") << QStringLiteral("burned-in annotation Y") << burnedIn;
    // Where the flag says nothing, the kind of image decides.
    for (const ImageKind& kind : kImageKinds)
        QTest::newRow(kind.place) << QString::fromLatin1(kind.place) << int(kind.leftOut);
    // Their text goes; raw data, no image and nothing the copy knows, is left out.
    for (const auto& [object, kind] : kTextObjects)
        QTest::newRow(object) << QString::fromLatin1(object)
                              << (kind == TextObject::RawData ? int(dicom::LeftOut::WithoutImage) : copied);
}

// Whatever element carries the real name, ID or birth date, no byte of the copy holds any of them; an
// object whose content is a document of its own, or whose pixels carry the name, is left out, and the
// caller learns why.
void TstCopyWriters::anonymizedCopyHoldsNoIdentity()
{
    QFETCH(QString, place);
    QFETCH(int, leftOut);
    SeriesLayout layout;
    layout.rows = layout.columns = 8;
    layout.slices = 1;
    layout.customize = [place](DcmDataset& ds, int) { placeIdentity(ds, place); };
    const ImageKind* kind = imageKind(place);
    if (kind && kind->videoSyntax) {
        layout.pixels = PixelKind::UInt8;
        layout.compression = Compression::JpegBaseline;
    }
    const QString sourcePath = m_dir.filePath(QStringLiteral("identity-%1.dcm").arg(QTest::currentDataTag()));
    const bool document = place == QLatin1String("structured report") || place == QLatin1String("encapsulated PDF")
                          || place == QLatin1String("key object selection");
    const QString source = document ? writeDocument(sourcePath, place) : writeSlice(sourcePath, layout, 0);
    if (kind && kind->videoSyntax)
        makeVideo(source, kind->videoSyntax, kRealName.toLatin1());
    if (place == QLatin1String("items under an unknown VR"))
        replaceInFile(source, QByteArray("\x08\x00\x40\x11LO", 6), QByteArray("\x08\x00\x40\x11=S", 6));
    QVERIFY(bytesOf(source).contains(kRealId.toLatin1()));
    QCOMPARE(int(dicom::leftOutOfAnonymisedCopies(source).value_or(dicom::LeftOut::Nothing)), leftOut);
    const QString destination =
        m_dir.filePath(QStringLiteral("identity-%1-anon.dcm").arg(QTest::currentDataTag()));
    QString error;
    dicom::LeftOut wasLeftOut = dicom::LeftOut(leftOut == 0 ? 1 : 0);
    QVERIFY2(dicom::writeAnonymizedCopy(source, destination, QStringLiteral("ANONYMOUS"),
                                        QStringLiteral("ANONYMOUS"), &error, &wasLeftOut),
             qPrintable(error));
    QCOMPARE(int(wasLeftOut), leftOut);
    if (leftOut != int(dicom::LeftOut::Nothing)) {
        QVERIFY(!QFileInfo::exists(destination));
        // A caller that cannot count what is left out gets a failure, never the object.
        QVERIFY(!dicom::writeAnonymizedCopy(source, destination, QStringLiteral("ANONYMOUS"),
                                            QStringLiteral("ANONYMOUS"), &error));
        QVERIFY2(error.endsWith(source), qPrintable(error));
        QVERIFY(!QFileInfo::exists(destination));
        return;
    }
    const QByteArray written = bytesOf(destination);
    for (const QString& value :
         {QStringLiteral("Kuznetsova"), QStringLiteral("Marfa"), kRealId, kRealBirthDate})
        QVERIFY2(!written.contains(value.toLatin1()), qPrintable(value));
    Loaded copy = load(destination);
    Loaded original = load(source);
    QVERIFY(copy.ds);
    QCOMPARE(text(*copy.ds, DCM_PatientName), QStringLiteral("ANONYMOUS"));
    QCOMPARE(text(*copy.ds, DCM_StudyDate), layout.studyDate);
    QCOMPARE(text(*copy.ds, DCM_StudyInstanceUID), text(*original.ds, DCM_StudyInstanceUID));
    QVERIFY(!containsTagAnywhere(*copy.ds, DCM_ContentSequence));
    QVERIFY(!containsTagAnywhere(*copy.ds, DCM_GraphicAnnotationSequence)); // replaced by nothing, not kept
    // An overlay loses its texts, never its size: the viewer still draws it where it was.
    for (const quint16 group : {quint16(0x6000), quint16(0x6002)})
        for (const quint16 element : {quint16(0x0010), quint16(0x0011)})
            QCOMPARE(text(*copy.ds, DcmTagKey(group, element)), text(*original.ds, DcmTagKey(group, element)));
}

void TstCopyWriters::anonymizedCopyAppliesProfileActions_data()
{
    QTest::addColumn<quint32>("tag");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected"); // "<absent>" when removed
    const QString absent = QStringLiteral("<absent>");
    QTest::newRow("X: series description") << 0x0008103Eu << "Head^Of^Ward" << absent;
    QTest::newRow("X/D: protocol name") << 0x00181030u << "Brain routine" << absent;
    QTest::newRow("X/Z/D: station name") << 0x00081010u << "CT-7" << absent;
    QTest::newRow("X: station AE title") << 0x00080055u << "CT7_SCU" << absent;
    QTest::newRow("X: retrieve AE title") << 0x00080054u << "CITY_PACS" << absent;
    QTest::newRow("X: network ID, retired") << 0x00081000u << "CITY_NET" << absent;
    QTest::newRow("added X: document title") << 0x00420010u << "Report Kuznetsova" << absent;
    QTest::newRow("added X: birth date, other calendar") << 0x00100033u << "1337-12-13" << absent;
    QTest::newRow("X: overlay comments, repeating group") << 0x60024000u << "note" << absent;
    QTest::newRow("added X: overlay description") << 0x60000022u << "Ivanov I.I." << absent;
    QTest::newRow("added X: overlay label, another group") << 0x601E1500u << "Ivanov" << absent;
    QTest::newRow("added X: overlay subtype") << 0x60020045u << "Ivanov" << absent;
    QTest::newRow("overlay type kept") << 0x60000040u << "G" << "G";
    QTest::newRow("X: curve data group") << 0x50000005u << "1" << absent;
    QTest::newRow("X: requesting AE") << 0x00741236u << "WARD3_SCU" << absent;
    QTest::newRow("X: results ID, retired") << 0x40080040u << "RES-4471" << absent;
    QTest::newRow("X/D, not a dummy: treatment site") << 0x30100077u << "Left breast" << absent;
    QTest::newRow("Z: filler order number") << 0x00402017u << "F-77" << QString();
    QTest::newRow("Z: source of previous values") << 0x04000564u << "City Hospital PACS" << QString();
    QTest::newRow("D: modifying system") << 0x04000563u << "Ivanov workstation"
                                         << "ANONYMOUS";
    QTest::newRow("D: verifying observer") << 0x0040A075u << "Observer^Olga"
                                           << "ANONYMOUS";
    QTest::newRow("added D: hanging protocol creator") << 0x00720008u << "Ivanov^Petr"
                                                       << "ANONYMOUS";
    QTest::newRow("added X: HL7 instance identifier") << 0x0040E001u << "MRN-553311^^^CITY" << absent;
    QTest::newRow("Z, dates kept: study time") << 0x00080030u << "093000"
                                               << "093000";
    QTest::newRow("X/Z/D, dates kept: acquisition date-time") << 0x0008002Au << "20240115093000"
                                                              << "20240115093000";
    QTest::newRow("X/D, dates kept: instance creation date") << 0x00080012u << "20240115"
                                                             << "20240115";
    QTest::newRow("not listed: body part") << 0x00180015u << "HEAD"
                                           << "HEAD";
}

void TstCopyWriters::anonymizedCopyAppliesProfileActions()
{
    QFETCH(quint32, tag);
    QFETCH(QString, value);
    QFETCH(QString, expected);
    const DcmTagKey key(quint16(tag >> 16), quint16(tag & 0xFFFF));
    SeriesLayout layout;
    layout.rows = layout.columns = 8;
    layout.slices = 1;
    layout.customize = [&](DcmDataset& ds, int) { ds.putAndInsertString(key, value.toLatin1().constData()); };
    const QString source =
        writeSlice(m_dir.filePath(QStringLiteral("action-%1.dcm").arg(tag, 8, 16)), layout, 0);
    QCOMPARE(text(*load(source).ds, key), value);
    const QString destination = m_dir.filePath(QStringLiteral("action-%1-anon.dcm").arg(tag, 8, 16));
    QVERIFY(dicom::writeAnonymizedCopy(source, destination, QStringLiteral("ANONYMOUS"),
                                       QStringLiteral("ANONYMOUS")));
    QCOMPARE(text(*load(destination).ds, key), expected);
}

void TstCopyWriters::compressedCopy_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<bool>("mustCompress");
    for (const bool inPlace : {false, true}) {
        const char* where = inPlace ? "in place" : "copy";
        QTest::addRow("signed, %s", where) << QStringLiteral("signed") << inPlace << true;
        QTest::addRow("signed with negatives, %s", where) << QStringLiteral("signed negative") << inPlace << true;
        QTest::addRow("unsigned, %s", where) << QStringLiteral("unsigned") << inPlace << true;
        QTest::addRow("8-bit, %s", where) << QStringLiteral("8-bit") << inPlace << true;
        QTest::addRow("RGB, %s", where) << QStringLiteral("RGB") << inPlace << true;
        QTest::addRow("12-bit non-negative, %s", where) << QStringLiteral("signed 12-bit positive") << inPlace << true;
        // The encoder would drop (or abort on) bits above Bits Stored: kept as a plain copy.
        QTest::addRow("12-bit with high bits, %s", where) << kTwelveBitStored << inPlace << false;
        QTest::addRow("12-bit sign-extended, %s", where) << QStringLiteral("signed 12-bit") << inPlace << false;
        // Encodes, but decodes to another sample layout: the read-back check must refuse it.
        QTest::addRow("RGB planar, %s", where) << QStringLiteral("RGB planar") << inPlace << false;
    }
}

void TstCopyWriters::compressedCopy()
{
    QFETCH(QString, kind);
    QFETCH(bool, inPlace);
    QFETCH(bool, mustCompress);
    const QString source = writeSource(m_dir.path(), kind);
    const auto original = samples(source);
    QVERIFY(original);
    const QByteArray sourceBytes = bytesOf(source);
    const QString destination =
        inPlace ? source : m_dir.filePath(QStringLiteral("jls/%1/copy.dcm").arg(QString(kind).replace(' ', '_')));
    QFile::remove(destination == source ? QString() : destination);

    QString error;
    QVERIFY2(dicom::writeCompressedCopy(source, destination, &error), qPrintable(error));
    Loaded copy = load(destination);
    QVERIFY(copy.ds);
    if (mustCompress)
        QCOMPARE(copy.xfer, EXS_JPEGLSLossless);
    else
        QCOMPARE(bytesOf(destination), sourceBytes); // the plain copy, or the untouched file in place
    const auto after = samples(destination);
    QVERIFY(after);
    QCOMPARE(after->size(), original->size());
    QVERIFY2(*after == *original, "a stored sample changed");
    // No temporary file is left beside the result.
    const QStringList leftovers = QDir(QFileInfo(destination).absolutePath()).entryList({QStringLiteral("*.tmp")},
                                                                                         QDir::Files | QDir::Hidden);
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(',')));
}

void TstCopyWriters::compressedCopyOfCompressedSource_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("cutWhileCopied"); // the plain copy is of the file read, as it was read
    QTest::newRow("JPEG") << QStringLiteral("JPEG") << false;
    QTest::newRow("JPEG-LS") << QStringLiteral("JPEG-LS") << false;
    QTest::newRow("RLE") << QStringLiteral("RLE") << false;
    QTest::newRow("RLE, cut while copied") << QStringLiteral("RLE") << true;
}

void TstCopyWriters::compressedCopyOfCompressedSource()
{
    QFETCH(QString, kind);
    QFETCH(bool, cutWhileCopied);
    const QString source = writeSource(m_dir.path(), kind);
    const QByteArray sourceBytes = bytesOf(source);
    const QString destination = m_dir.filePath(QStringLiteral("plain/%1.dcm").arg(QTest::currentDataTag()));
    QString error;
    if (cutWhileCopied) {
        fixtures::ChangeDuringCopy cut(source, dicom::testing::CopyMoment::Opened,
                                       [&] { QVERIFY(QFile::resize(source, 0)); });
        dicom::RowFileTaken taken = dicom::RowFileTaken::Taken;
        QVERIFY(!dicom::writeCompressedCopy(source, destination, &error, {}, &taken));
        QVERIFY(cut.happened());
        QCOMPARE(taken, dicom::RowFileTaken::Changed);
        QVERIFY2(error.contains(QStringLiteral("Файл изменился во время копирования")), qPrintable(error));
        QCOMPARE(QDir(QFileInfo(destination).absolutePath())
                     .entryList({QStringLiteral("RLE,*")}, QDir::Files | QDir::Hidden),
                 QStringList());
        return;
    }
    QVERIFY2(dicom::writeCompressedCopy(source, destination, &error), qPrintable(error));
    QCOMPARE(bytesOf(destination), sourceBytes);

    // In place there is nothing to compress: success, and the file is not touched at all.
    const QDateTime modified = QFileInfo(source).lastModified();
    QTest::qWait(20);
    error.clear();
    QVERIFY2(dicom::writeCompressedCopy(source, source, &error), qPrintable(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(bytesOf(source), sourceBytes);
    QCOMPARE(QFileInfo(source).lastModified(), modified);
    // The same file reached through another spelling of its path counts as in place.
    const QString other = QFileInfo(source).absolutePath() + QStringLiteral("/./") + QFileInfo(source).fileName();
    QVERIFY(dicom::writeCompressedCopy(source, other, &error));
    QCOMPARE(bytesOf(source), sourceBytes);
}

// A frame of odd length is padded to an even one; the pad must be a zero, not whatever memory held.
void TstCopyWriters::compressedFramesArePaddedWithZero()
{
    // Fresh allocations hold 0xAA instead of the zeros a new process tends to get.
    mallopt(M_PERTURB, 0x55);
    int padded = 0;
    for (int size = 3; size <= 12; ++size) {
        const QString source = m_dir.filePath(QStringLiteral("pad/%1.dcm").arg(size));
        QVERIFY(QDir().mkpath(QFileInfo(source).absolutePath()));
        DcmFileFormat file;
        DcmDataset& ds = *file.getDataset();
        ds.putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
        ds.putAndInsertString(DCM_SOPInstanceUID, fixtures::newUid().toLatin1().constData());
        ds.putAndInsertUint16(DCM_Rows, Uint16(size));
        ds.putAndInsertUint16(DCM_Columns, Uint16(size));
        ds.putAndInsertUint16(DCM_BitsAllocated, 16);
        ds.putAndInsertUint16(DCM_BitsStored, 12);
        ds.putAndInsertUint16(DCM_HighBit, 11);
        ds.putAndInsertUint16(DCM_PixelRepresentation, 0);
        ds.putAndInsertUint16(DCM_SamplesPerPixel, 1);
        ds.putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
        std::vector<Uint16> pixels(size_t(size) * size);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = Uint16((i * 37) % 4096);
        ds.putAndInsertUint16Array(DCM_PixelData, pixels.data(), pixels.size());
        QVERIFY(file.saveFile(QFile::encodeName(source).constData(), EXS_LittleEndianExplicit).good());

        const QString copy = source + QStringLiteral(".jls");
        QString error;
        QVERIFY2(dicom::writeCompressedCopy(source, copy, &error), qPrintable(error));
        const QByteArray bytes = bytesOf(copy);
        const qsizetype end = bytes.lastIndexOf(QByteArray::fromHex("ffd9"));
        QVERIFY(end > 0);
        if (end + 2 < bytes.size() && bytes.mid(end + 3, 4) == QByteArray::fromHex("feffdde0")) {
            ++padded;
            QCOMPARE(int(quint8(bytes.at(end + 2))), 0);
        }
    }
    mallopt(M_PERTURB, 0);
    QVERIFY(padded > 0); // the sizes must include frames of odd length
}

void TstCopyWriters::compressedCopyIntoExistingDestination()
{
    const QString plainSource = writeSource(m_dir.path(), QStringLiteral("signed"));
    const QString compressedSource = writeSource(m_dir.path(), QStringLiteral("RLE"));
    const QString destination = m_dir.filePath(QStringLiteral("existing/target.dcm"));
    QDir().mkpath(QFileInfo(destination).absolutePath());

    // JPEG-LS succeeds: the existing file is replaced.
    writeBytes(destination, "old contents");
    QString error;
    QVERIFY2(dicom::writeCompressedCopy(plainSource, destination, &error), qPrintable(error));
    QCOMPARE(load(destination).xfer, EXS_JPEGLSLossless);

    // The plain copy never overwrites.
    writeBytes(destination, "old contents");
    QVERIFY(!dicom::writeCompressedCopy(compressedSource, destination, &error));
    QCOMPARE(error, QStringLiteral("Не удалось скопировать: %1").arg(compressedSource));
    QCOMPARE(bytesOf(destination), QByteArray("old contents"));
}

void TstCopyWriters::compressedCopyOfBadSources()
{
    const QString garbage = m_dir.filePath(QStringLiteral("garbage.dcm"));
    writeDicmWithPayload(garbage, QByteArray(40, '\xff'));
    const QString truncated = m_dir.filePath(QStringLiteral("truncated.dcm"));
    const QString good = writeSource(m_dir.path(), QStringLiteral("unsigned"));
    writeTruncatedCopy(good, truncated, QFileInfo(good).size() / 2);

    for (const QString& source : {garbage, truncated, m_dir.filePath(QStringLiteral("nothing-here.dcm"))}) {
        const QString destination = m_dir.filePath(QStringLiteral("bad-out/") + QFileInfo(source).fileName());
        QString error;
        QVERIFY(!dicom::writeCompressedCopy(source, destination, &error));
        QCOMPARE(error, QStringLiteral("Не удалось открыть файл: %1").arg(source));
        QVERIFY(!QFileInfo::exists(destination));
    }
}

// Saving over a symbolic link rewrites the file it points to and leaves the link a link.
void TstCopyWriters::inPlaceThroughLink()
{
    const QString target = writeSource(m_dir.path(), QStringLiteral("signed"));
    const QString link = m_dir.filePath(QStringLiteral("link.dcm"));
    QVERIFY(QFile::link(target, link));
    QString error;
    QVERIFY2(dicom::writeCompressedCopy(link, link, &error), qPrintable(error));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(load(target).xfer, EXS_JPEGLSLossless);

    dicom::TagEntry entry;
    entry.group = 0x0010;
    entry.element = 0x0020;
    entry.value = QStringLiteral("VIA-LINK");
    QVERIFY2(dicom::writeTagValues(link, {entry}, &error), qPrintable(error));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(text(*load(target).ds, DCM_PatientID), QStringLiteral("VIA-LINK"));
}

void TstCopyWriters::failedSaveLeavesOriginal_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("compression in place") << QStringLiteral("compress");
    QTest::newRow("tag writer") << QStringLiteral("tags");
}

// The save runs in a child process whose files may not grow beyond 4 KiB, so it fails part-way
// through writing; the original must come through unchanged and no temporary file may remain.
void TstCopyWriters::failedSaveLeavesOriginal()
{
    QFETCH(QString, operation);
    SeriesLayout layout;
    layout.rows = 128;
    layout.columns = 128;
    layout.slices = 1;
    layout.value = [](int x, int y, int) { return (x * 7919 + y * 104729) % 3000 - 1000; }; // hard to compress
    QTemporaryDir dir;
    const QString path = writeSlice(dir.filePath(QStringLiteral("big.dcm")), layout, 0);
    const QByteArray before = bytesOf(path);
    QVERIFY(before.size() > 16 * 1024);

    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails with EFBIG instead of killing us
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        bool ok = false;
        QString error;
        if (operation == QLatin1String("compress")) {
            ok = dicom::writeCompressedCopy(path, path, &error);
            _exit(ok ? 0 : 1); // in place, a failed compression leaves the file as its own plain copy
        }
        dicom::TagEntry entry;
        entry.group = 0x0010;
        entry.element = 0x0010;
        entry.value = QStringLiteral("Changed^Name");
        ok = dicom::writeTagValues(path, {entry}, &error);
        // The system's refusal is told, in the user's words.
        _exit(!ok && error == QStringLiteral("Не удалось сохранить файл: %1\n%2")
                                  .arg(path, platform::writeFailureCause(EFBIG))
                  ? 0
                  : 1);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(bytesOf(path), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("big.dcm")});
}

void TstCopyWriters::unreadableResultLeavesOriginal_data()
{
    QTest::addColumn<bool>("anonymise"); // else the tag writer
    QTest::newRow("tag writer") << false;
    QTest::newRow("anonymised copy") << true;
}

// A deflated file whose zeros were stored uncompressed: written again, DCMTK deflates them a
// thousandfold, past what any reader of the program inflates. Nothing may stand written that the
// program cannot read: the write is refused with the reading's reason, and the original stays.
void TstCopyWriters::unreadableResultLeavesOriginal()
{
    QFETCH(bool, anonymise);
    QTemporaryDir dir;
    const QString path = writeDeflatedStored(dir.filePath(QStringLiteral("stored.dcm")), 8256, 8256);
    QVERIFY(!dicom::readTagList(path).isEmpty());
    const QByteArray before = bytesOf(path);
    dicom::TagEntry entry;
    entry.group = 0x0010;
    entry.element = 0x0010;
    entry.value = QStringLiteral("Changed^Name");
    QString error;
    const QString copy = dir.filePath(QStringLiteral("copy.dcm"));
    QVERIFY(anonymise ? !dicom::writeAnonymizedCopy(path, copy, entry.value, entry.value, &error)
                      : !dicom::writeTagValues(path, {entry}, &error));
    QVERIFY2(error.contains(dicom::parseHazardText(dicom::ParseHazard::InflatesTooFar)), qPrintable(error));
    QCOMPARE(bytesOf(path), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(path).fileName()});
}

QTEST_GUILESS_MAIN(TstCopyWriters)
#include "tst_copywriters.moc"
