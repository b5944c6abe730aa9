#include "dicom/DicomCopyWriters.h"

#include "dicom/AtomicDicomWriter.h"
#include "dicom/CodecRegistration.h"
#include "dicom/CompressedFrameCheck.h"
#include "dicom/ConfidentialityProfile.h"
#include "dicom/DicomFileLoading.h"
#include "dicom/DicomItemLists.h"
#include "dicom/DicomText.h"
#include "dicom/FileDescriptorStream.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QStringList>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimage/diregist.h> // colour images for the JPEG-LS encoder's pixel access

#include <cstring>
#include <initializer_list>
#include <optional>

namespace dicom {

namespace {

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

// The elements every copy holds empty at the top level, inserted when absent.
const DcmTagKey kEmptiedTags[] = {
    DCM_PatientBirthDate,          DCM_PatientSex,           DCM_PatientAge,
    DCM_PatientAddress,            DCM_PatientTelephoneNumbers, DCM_OtherPatientNames,
    DCM_ReferringPhysicianName,    DCM_PerformingPhysicianName, DCM_OperatorsName,
    DCM_InstitutionName,           DCM_InstitutionAddress,   DCM_InstitutionalDepartmentName,
    DCM_AccessionNumber,           DCM_RequestingPhysician,  DCM_StudyID,
};

// A value DCMTK kept as bytes, under a VR it does not know, for a tag whose items the dictionary
// names: whatever those items hold, no rule below can reach it.
bool opaqueItems(DcmElement& element)
{
    const DcmEVR vr = element.ident();
    return (vr == EVR_UNKNOWN || vr == EVR_UNKNOWN2B) &&
           DcmTag(element.getTag().getXTag()).getEVR() == EVR_SQ;
}

// Applies the confidentiality profile to an item and everything nested in it, so that an identifier
// goes wherever it stands: in a sequence item, in the original values a modality kept of an edit, in a
// private block, or in items the copy could not read.
void scrubItem(DcmItem& item)
{
    for (DcmElement* element : elementsOf(item)) {
        const DcmTagKey key = element->getTag().getXTag();
        const bool sequence = element->ident() == EVR_SQ;
        if (opaqueItems(*element)) {
            delete item.remove(element);
            continue;
        }
        switch (basicProfileAction(key.getGroup(), key.getElement())) {
        case ProfileAction::Remove:
        case ProfileAction::LeaveOut: // stands only at the top level, where the whole object is left out
            delete item.remove(element);
            continue;
        case ProfileAction::Empty:
            element->clear();
            continue;
        case ProfileAction::Dummy:
            // A sequence of dummy items would say nothing that its absence does not, while any item
            // kept would carry the text (annotations, names) it was listed for: it goes whole.
            if (sequence) {
                delete item.remove(element);
                continue;
            }
            if (element->isaString())
                element->putString("ANONYMOUS");
            else
                element->clear();
            continue;
        case ProfileAction::Keep:
            break;
        }
        if (sequence) {
            auto* items = static_cast<DcmSequenceOfItems*>(element);
            for (DcmItem* child : itemsOf(*items))
                scrubItem(*child);
        }
    }
}

bool holdsPixelData(DcmItem& dataset)
{
    return dataset.tagExists(DCM_PixelData) || dataset.tagExists(DCM_FloatPixelData)
           || dataset.tagExists(DCM_DoubleFloatPixelData);
}

// A structured report or key-object selection: its class is one of that family, or, whatever class it
// names, its root is a content item (a Value Type or a Content Sequence stands at the top level) and it
// holds no image. The copy would keep only the shell of such a document.
bool isContentTreeDocument(DcmItem& dataset)
{
    OFString sopClass;
    if (dataset.findAndGetOFString(DCM_SOPClassUID, sopClass).good()
        && QByteArray(sopClass.c_str()).trimmed().startsWith("1.2.840.10008.5.1.4.1.1.88."))
        return true;
    return (dataset.tagExists(DCM_ContentSequence) || dataset.tagExists(DCM_ValueType)) && !holdsPixelData(dataset);
}

// What a flag of the header says of the pixels: Burned In Annotation (text drawn into them) or
// Recognizable Visual Features (the patient can be recognised in them). Any value but NO counts as set:
// a flag the copy cannot read must not let a name through. An empty value says as little as an absent
// one. The value is read as bytes too, should it stand with a VR that is no text.
enum class HeaderFlag { Unsaid, No, Set };

HeaderFlag headerFlag(DcmItem& dataset, const DcmTagKey& key)
{
    DcmElement* element = nullptr;
    if (dataset.findAndGetElement(key, element).bad() || !element)
        return HeaderFlag::Unsaid;
    QByteArray value;
    if (element->isaString()) {
        OFString text;
        if (element->getOFStringArray(text).good())
            value = QByteArray(text.c_str(), qsizetype(text.length()));
    } else if (Uint8* bytes = nullptr; element->getUint8Array(bytes).good() && bytes) {
        value = QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(element->getLength()));
    }
    value.replace('\0', ' ');
    value = value.trimmed().toUpper();
    return value.isEmpty() ? HeaderFlag::Unsaid : value == "NO" ? HeaderFlag::No : HeaderFlag::Set;
}

QByteArray trimmedText(DcmItem& dataset, const DcmTagKey& key)
{
    OFString text;
    if (dataset.findAndGetOFString(key, text).bad())
        return {};
    return QByteArray(text.c_str(), qsizetype(text.length())).trimmed();
}

bool inUidFamily(const QByteArray& uid, const char* family)
{
    return uid == family || uid.startsWith(QByteArray(family) + '.');
}

bool inSopClassFamily(DcmDataset& dataset, std::initializer_list<const char*> families)
{
    const QByteArray sopClass = trimmedText(dataset, DCM_SOPClassUID);
    for (const char* family : families)
        if (inUidFamily(sopClass, family))
            return true;
    return false;
}

bool hasModality(DcmDataset& dataset, std::initializer_list<const char*> modalities)
{
    const QByteArray modality = trimmedText(dataset, DCM_Modality).toUpper();
    for (const char* listed : modalities)
        if (modality == listed)
            return true;
    return false;
}

// A capture of a screen, whatever class the system that made it filed it under.
bool isScreenSave(DcmDataset& dataset)
{
    OFString text;
    if (dataset.findAndGetOFStringArray(DCM_ImageType, text).bad())
        return false;
    for (const QByteArray& value : QByteArray(text.c_str(), qsizetype(text.length())).split('\\'))
        if (value.trimmed().toUpper() == "SCREEN SAVE")
            return true;
    return false;
}

// MPEG-2, MPEG-4 and HEVC video: the stream as it was recorded, in a container of its own.
bool isVideo(DcmDataset& dataset)
{
    return QByteArray(DcmXfer(dataset.getOriginalXfer()).getXferID()).startsWith("1.2.840.10008.1.2.4.10");
}

// The kinds of image that carry the patient's name and ID in their pixels as a rule, told by the SOP
// class, the modality, the image type or a video transfer syntax, whichever says so; Nothing for the
// others.
LeftOut kindCarryingBurnedInText(DcmDataset& dataset)
{
    // X-ray angiography and fluoroscopy, their enhanced and biplane forms.
    if (inSopClassFamily(dataset, {"1.2.840.10008.5.1.4.1.1.12"}) || hasModality(dataset, {"XA", "RF"}))
        return LeftOut::UnflaggedXRay;
    // Ultrasound (multi-frame and its retired form; single-frame, enhanced volume, photoacoustic),
    // secondary captures (screens, scanned papers), photographs of every visible-light kind and their
    // video, screen saves and captured video of any class.
    const bool capture = inSopClassFamily(dataset, {"1.2.840.10008.5.1.4.1.1.3", "1.2.840.10008.5.1.4.1.1.6",
                                                    "1.2.840.10008.5.1.4.1.1.7", "1.2.840.10008.5.1.4.1.1.77.1"})
                         || hasModality(dataset, {"US", "IVUS", "BDUS", "OT", "SC", "XC", "ES", "GM", "SM", "OP",
                                                  "DMS", "VL"})
                         || isScreenSave(dataset) || isVideo(dataset);
    return capture ? LeftOut::UnflaggedCapture : LeftOut::Nothing;
}

// What the copies leave out of this object, from its top level.
LeftOut leftOutOf(DcmDataset& dataset)
{
    for (DcmObject* element = dataset.nextInContainer(nullptr); element; element = dataset.nextInContainer(element)) {
        const DcmTagKey key = element->getTag().getXTag();
        if (basicProfileAction(key.getGroup(), key.getElement()) == ProfileAction::LeaveOut)
            return LeftOut::Document;
    }
    if (isContentTreeDocument(dataset))
        return LeftOut::Document;
    const HeaderFlag burnedIn = headerFlag(dataset, DCM_BurnedInAnnotation);
    if (burnedIn == HeaderFlag::Set)
        return LeftOut::BurnedInImage;
    if (headerFlag(dataset, DCM_RecognizableVisualFeatures) == HeaderFlag::Set)
        return LeftOut::RecognizableImage;
    if (burnedIn == HeaderFlag::Unsaid) {
        // Such a kind without pixels is no image at all; it is named as what it is.
        if (const LeftOut kind = kindCarryingBurnedInText(dataset); kind != LeftOut::Nothing)
            return holdsPixelData(dataset) ? kind : LeftOut::WithoutImage;
    }
    // Its frames hold no text, the header says; its container still may.
    return isVideo(dataset) ? LeftOut::Video : LeftOut::Nothing;
}

// Why a copy of one file was not written, for a caller that cannot count what is left out.
QString leftOutText(LeftOut why)
{
    switch (why) {
    case LeftOut::Document:
        return QStringLiteral("Документ не включается в анонимную копию: %1");
    case LeftOut::BurnedInImage:
        return QStringLiteral("Снимок с впечатанными данными пациента не включается в анонимную копию: %1");
    case LeftOut::RecognizableImage:
        return QStringLiteral("Снимок, по которому можно узнать пациента, не включается в анонимную копию: %1");
    case LeftOut::UnflaggedXRay:
        return QStringLiteral("Снимок ангиографии или рентгеноскопии, на котором могут быть впечатаны данные "
                              "пациента, не включается в анонимную копию: %1");
    case LeftOut::Video:
        return QStringLiteral("Видеозапись не включается в анонимную копию: в самом видеофайле могут храниться "
                              "данные пациента: %1");
    case LeftOut::WithoutImage:
        return QStringLiteral("Объект без изображения не включается в анонимную копию: %1");
    case LeftOut::UnflaggedCapture:
    case LeftOut::Nothing:
        break;
    }
    return QStringLiteral("Снимок, на котором могут быть впечатаны данные пациента, не включается в анонимную "
                          "копию: %1");
}

// Loads a source whole for a copy: an index row's file proven to hold its object, *taken telling what
// was found; a failure names the source.
bool loadSource(DcmFileFormat& file, const QString& sourcePath, const RowObject& row, RowFileTaken* taken,
                QString* error, FileOpening* opening = nullptr)
{
    testing::reachCopyMoment(sourcePath, testing::CopyMoment::BeforeOpening);
    ParseHazard hazard = ParseHazard::None;
    FileOpening read;
    const bool loaded =
        loadDicomFile(file, sourcePath, ValueLoading::Whole, &hazard, nullptr, &read, row).good();
    const RowFileTaken found = loaded ? RowFileTaken::Taken : refusalOfLoad(row, read, hazard);
    if (taken)
        *taken = found;
    if (opening)
        *opening = read;
    if (found == RowFileTaken::Changed)
        return fail(error, QStringLiteral("%1: %2").arg(changedDuringCopyText(), sourcePath));
    if (found == RowFileTaken::OtherObject)
        return fail(error,
                    QStringLiteral("%1 %2").arg(parseHazardText(ParseHazard::OtherObject), sourcePath));
    if (!loaded)
        return fail(error, QStringLiteral("Не удалось открыть файл: %1").arg(sourcePath));
    return true;
}

bool samePath(const QString& a, const QString& b)
{
    const QFileInfo fa(a), fb(b);
    if (fa.exists() && fb.exists())
        return fa.canonicalFilePath() == fb.canonicalFilePath();
    return QDir::cleanPath(fa.absoluteFilePath()) == QDir::cleanPath(fb.absoluteFilePath());
}

// The stored samples as raw bytes (host order), or nothing when the pixel data is absent, not
// uncompressed or not a whole number of bytes per sample.
std::optional<QByteArray> storedSamples(DcmDataset& dataset)
{
    Uint16 rows = 0, columns = 0, bitsAllocated = 0, samplesPerPixel = 1;
    if (dataset.findAndGetUint16(DCM_Rows, rows).bad() || dataset.findAndGetUint16(DCM_Columns, columns).bad()
        || dataset.findAndGetUint16(DCM_BitsAllocated, bitsAllocated).bad())
        return std::nullopt;
    dataset.findAndGetUint16(DCM_SamplesPerPixel, samplesPerPixel);
    Sint32 frames = 1;
    if (dataset.findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 1)
        frames = 1;
    if (bitsAllocated == 0 || bitsAllocated % 8 != 0 || rows == 0 || columns == 0 || samplesPerPixel == 0)
        return std::nullopt;
    const quint64 expected = quint64(rows) * columns * quint64(frames) * samplesPerPixel * (bitsAllocated / 8);

    DcmElement* element = nullptr;
    if (dataset.findAndGetElement(DCM_PixelData, element).bad() || !element)
        return std::nullopt;
    const Uint32 length = element->getLength();
    if (length == DCM_UndefinedLength || length < expected)
        return std::nullopt;
    const void* bytes = nullptr;
    Uint8* bytes8 = nullptr;
    Uint16* bytes16 = nullptr;
    if (element->getUint8Array(bytes8).good() && bytes8)
        bytes = bytes8;
    else if (element->getUint16Array(bytes16).good() && bytes16)
        bytes = bytes16;
    if (!bytes)
        return std::nullopt;
    return QByteArray(static_cast<const char*>(bytes), qsizetype(expected));
}

// Reads the written JPEG-LS file back, decodes it and checks that every stored sample came back.
bool decodesTo(const QString& path, const QByteArray& original)
{
    DcmFileFormat written;
    if (loadDicomFile(written, path, ValueLoading::Whole).bad() || !written.getDataset())
        return false;
    DcmDataset& dataset = *written.getDataset();
    if (dataset.getOriginalXfer() != EXS_JPEGLSLossless)
        return false;
    if (dataset.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
        return false;
    const std::optional<QByteArray> decoded = storedSamples(dataset);
    return decoded && decoded->size() == original.size()
        && std::memcmp(decoded->constData(), original.constData(), size_t(original.size())) == 0;
}

// The JPEG-LS encoder codes Bits Stored bits per sample and aborts the whole process on a stored
// word with any bit above them: overlay bits, out-of-range padding, and also the sign extension of
// negative values in signed data narrower than its cells. Such data is never handed to it.
bool samplesFitBitsStored(DcmDataset& dataset, const QByteArray& samples)
{
    Uint16 bitsAllocated = 0, bitsStored = 0, highBit = 0;
    if (dataset.findAndGetUint16(DCM_BitsAllocated, bitsAllocated).bad()
        || dataset.findAndGetUint16(DCM_BitsStored, bitsStored).bad()
        || dataset.findAndGetUint16(DCM_HighBit, highBit).bad())
        return false;
    if ((bitsAllocated != 8 && bitsAllocated != 16) || bitsStored < 2 || bitsStored > bitsAllocated
        || highBit != bitsStored - 1)
        return false;
    if (bitsStored == bitsAllocated)
        return true;
    const quint16 upperMask = quint16(~((1u << bitsStored) - 1u));
    if (bitsAllocated == 8) {
        for (char c : samples)
            if (static_cast<quint8>(c) & upperMask)
                return false;
        return true;
    }
    const auto* words = reinterpret_cast<const quint16*>(samples.constData());
    const qsizetype count = samples.size() / 2;
    quint16 any = 0;
    for (qsizetype i = 0; i < count; ++i)
        any |= words[i];
    return (any & upperMask) == 0;
}

// The JPEG-LS encoder pads a frame of odd length with a byte it never sets: a byte of this process's
// memory would go into the copy, and two copies of one file would differ. Whatever follows a frame's
// end-of-image marker is padding.
void clearFramePadding(DcmDataset& dataset)
{
    DcmElement* element = nullptr;
    auto* pixelData = dataset.findAndGetElement(DCM_PixelData, element).good()
                          ? dynamic_cast<DcmPixelData*>(element)
                          : nullptr;
    DcmPixelSequence* sequence = nullptr;
    if (!pixelData || pixelData->getEncapsulatedRepresentation(EXS_JPEGLSLossless, nullptr, sequence).bad()
        || !sequence)
        return;
    for (unsigned long i = 1; i < sequence->card(); ++i) { // item 0 is the offset table
        DcmPixelItem* fragment = nullptr;
        Uint8* bytes = nullptr;
        if (sequence->getItem(fragment, i).bad() || fragment->getUint8Array(bytes).bad() || !bytes)
            continue;
        const Uint32 length = fragment->getLength();
        if (length >= 3 && bytes[length - 3] == 0xFF && bytes[length - 2] == 0xD9)
            bytes[length - 1] = 0;
    }
}

// True when the JPEG-LS copy stands at the destination; false when the plain copy is needed.
bool writeJpegLs(DcmFileFormat& file, const QString& destinationPath)
{
    DcmDataset& dataset = *file.getDataset();
    const E_TransferSyntax sourceXfer = dataset.getOriginalXfer();
    const std::optional<QByteArray> original = storedSamples(dataset);
    if (!original || !samplesFitBitsStored(dataset, *original))
        return false;
    if (dataset.chooseRepresentation(EXS_JPEGLSLossless, nullptr).bad()
        || !dataset.canWriteXfer(EXS_JPEGLSLossless, sourceXfer))
        return false;
    clearFramePadding(dataset);

    AtomicDicomWriter writer(destinationPath);
    if (!writer.write(file, EXS_JPEGLSLossless))
        return false;
    // The encoder works from Bits Stored; bits above it (overlays, padding values) would be lost
    // silently. Only a copy that decodes to the very same samples counts as lossless.
    if (!decodesTo(writer.temporaryPath(), *original))
        return false;
    if (!writer.commit())
        return false;
    return true;
}

} // namespace

bool writeAnonymizedCopy(const QString& sourcePath, const QString& destinationPath,
                         const QString& patientName, const QString& patientId, QString* error,
                         LeftOut* leftOut, const RowObject& row, RowFileTaken* taken)
{
    if (leftOut)
        *leftOut = LeftOut::Nothing;
    CodecRegistrationScope codecs; // a compressed source is decoded below
    DcmFileFormat file;
    if (!loadSource(file, sourcePath, row, taken, error))
        return false;
    DcmDataset* dataset = file.getDataset();
    if (!dataset)
        return fail(error, QStringLiteral("Пустой набор данных: %1").arg(sourcePath));
    if (const LeftOut why = leftOutOf(*dataset); why != LeftOut::Nothing) {
        if (!leftOut)
            return fail(error, leftOutText(why).arg(sourcePath));
        *leftOut = why;
        return true;
    }

    // The names are written in UTF-8: the copy must say so, and its other text must follow.
    if ((!isAsciiText(patientName) || !isAsciiText(patientId)) && !rewriteTextAsUtf8(*dataset))
        return fail(error, QStringLiteral("Не удалось перевести текст файла в UTF-8: %1").arg(sourcePath));
    scrubItem(*dataset);
    dataset->putAndInsertString(DCM_PatientName, patientName.toUtf8().constData());
    dataset->putAndInsertString(DCM_PatientID, patientId.toUtf8().constData());
    for (const DcmTagKey& key : kEmptiedTags)
        dataset->putAndInsertString(key, "");

    QDir().mkpath(QFileInfo(destinationPath).absolutePath());

    // Data the JPEG codec would never return from is copied still compressed.
    E_TransferSyntax xfer = dataset->getOriginalXfer();
    if (DcmXfer(xfer).isEncapsulated() && compressedFramesProblem(*dataset).isEmpty()
        && dataset->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).good()
        && dataset->canWriteXfer(EXS_LittleEndianExplicit, xfer))
        xfer = EXS_LittleEndianExplicit;

    return AtomicDicomWriter(destinationPath)
        .save(file, xfer, QStringLiteral("Не удалось сохранить: %1"), QStringLiteral("Копия не записана: %1"), error);
}

std::optional<LeftOut> leftOutOfAnonymisedCopies(const QString& path, QString* error)
{
    DcmFileFormat file;
    if (loadDicomFile(file, path, ValueLoading::Lazy).bad() || !file.getDataset()) {
        fail(error, QStringLiteral("Не удалось открыть файл: %1").arg(path));
        return std::nullopt;
    }
    return leftOutOf(*file.getDataset());
}

void LeftOutCount::add(LeftOut why)
{
    if (why == LeftOut::Document)
        ++documents;
    else if (why == LeftOut::BurnedInImage)
        ++burnedInImages;
    else if (why == LeftOut::UnflaggedCapture)
        ++unflaggedCaptures;
    else if (why == LeftOut::RecognizableImage)
        ++recognizableImages;
    else if (why == LeftOut::UnflaggedXRay)
        ++unflaggedXRays;
    else if (why == LeftOut::Video)
        ++videos;
    else if (why == LeftOut::WithoutImage)
        ++withoutImage;
}

int LeftOutCount::of(LeftOut why) const
{
    switch (why) {
    case LeftOut::Document:
        return documents;
    case LeftOut::BurnedInImage:
        return burnedInImages;
    case LeftOut::UnflaggedCapture:
        return unflaggedCaptures;
    case LeftOut::RecognizableImage:
        return recognizableImages;
    case LeftOut::UnflaggedXRay:
        return unflaggedXRays;
    case LeftOut::Video:
        return videos;
    case LeftOut::WithoutImage:
        return withoutImage;
    case LeftOut::Nothing:
        break;
    }
    return 0;
}

QString leftOutNote(const LeftOutCount& count)
{
    QString note;
    if (count.documents != 0)
        note += QStringLiteral("\n\nДокументов (отчёты, PDF и др.), не включённых в анонимную копию: %1")
                    .arg(count.documents);
    if (count.burnedInImages != 0)
        note += QStringLiteral("\n\nСнимков с впечатанными данными пациента, не включённых в анонимную копию: %1")
                    .arg(count.burnedInImages);
    if (count.unflaggedCaptures != 0)
        note += QStringLiteral("\n\nСнимков УЗИ, вторичного захвата, фото и видео, в заголовке которых не отмечено "
                               "отсутствие впечатанных данных пациента, не включённых в анонимную копию: %1")
                    .arg(count.unflaggedCaptures);
    if (count.recognizableImages != 0)
        note += QStringLiteral("\n\nСнимков, по которым можно узнать пациента (лицо, особые приметы), не включённых "
                               "в анонимную копию: %1")
                    .arg(count.recognizableImages);
    if (count.unflaggedXRays != 0)
        note += QStringLiteral("\n\nСнимков ангиографии и рентгеноскопии, в заголовке которых не отмечено отсутствие "
                               "впечатанных данных пациента, не включённых в анонимную копию: %1")
                    .arg(count.unflaggedXRays);
    if (count.videos != 0)
        note += QStringLiteral("\n\nВидеозаписей (данные пациента могут храниться в самом видеофайле), не включённых "
                               "в анонимную копию: %1")
                    .arg(count.videos);
    if (count.withoutImage != 0)
        note += QStringLiteral("\n\nОбъектов без изображения (необработанные данные и др.), не включённых в анонимную "
                               "копию: %1")
                    .arg(count.withoutImage);
    return note;
}

QString nothingLeftToCopyText(const LeftOutCount& count)
{
    QStringList what;
    if (count.documents != 0)
        what << (count.total() == count.documents ? QStringLiteral("документы (отчёты, PDF и др.)")
                                                  : QStringLiteral("документы"));
    if (count.burnedInImages != 0)
        what << QStringLiteral("снимки с впечатанными данными пациента");
    if (count.unflaggedCaptures != 0)
        what << QStringLiteral("снимки УЗИ, вторичного захвата, фото и видео без отметки об отсутствии "
                               "впечатанных данных");
    if (count.recognizableImages != 0)
        what << QStringLiteral("снимки, по которым можно узнать пациента");
    if (count.unflaggedXRays != 0)
        what << QStringLiteral("снимки ангиографии и рентгеноскопии без отметки об отсутствии впечатанных данных");
    if (count.videos != 0)
        what << QStringLiteral("видеозаписи");
    if (count.withoutImage != 0)
        what << QStringLiteral("объекты без изображения");
    const QString listed = what.size() < 2 ? what.join(QString())
                                           : what.mid(0, what.size() - 1).join(QStringLiteral(", "))
                                                 + QStringLiteral(" и ") + what.last();
    return QStringLiteral("В исследовании только %1, а анонимная копия их не включает: записывать нечего").arg(listed);
}

bool writeCompressedCopy(const QString& sourcePath, const QString& destinationPath, QString* error,
                         const RowObject& row, RowFileTaken* taken)
{
    CodecRegistrationScope codecs;
    DcmFileFormat file;
    FileOpening opening;
    if (!loadSource(file, sourcePath, row, taken, error, &opening))
        return false;
    DcmDataset* dataset = file.getDataset();
    if (!dataset)
        return fail(error, QStringLiteral("Пустой набор данных: %1").arg(sourcePath));

    QDir().mkpath(QFileInfo(destinationPath).absolutePath());
    const bool inPlace = samePath(sourcePath, destinationPath);

    if (!DcmXfer(dataset->getOriginalXfer()).isEncapsulated() && writeJpegLs(file, destinationPath))
        return true;

    // Plain copy. In place the file already is its own plain copy: nothing to do, nothing touched.
    if (inPlace)
        return true;
    // The bytes of the very file the load read and proved, as they were.
    const RowFileTaken copied =
        opening.file ? copyOpenedFile(*opening.file, destinationPath, nullptr, platform::TakenName::Fail)
                     : RowFileTaken::Failed;
    if (copied == RowFileTaken::Taken)
        return true;
    if (taken)
        *taken = copied;
    if (copied == RowFileTaken::Changed)
        return fail(error, QStringLiteral("%1: %2").arg(changedDuringCopyText(), sourcePath));
    return fail(error, QStringLiteral("Не удалось скопировать: %1").arg(sourcePath));
}

} // namespace dicom
