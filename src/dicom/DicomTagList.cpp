#include "dicom/DicomTagList.h"

#include "dicom/AtomicDicomWriter.h"
#include "dicom/CodecRegistration.h"
#include "dicom/CompressedFrameCheck.h"
#include "dicom/DicomFileLoading.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomItemLists.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <memory>

namespace dicom {

namespace {

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

QString putError(quint16 group, quint16 element, const QString& reason)
{
    return QStringLiteral("Не удалось записать тег (%1,%2): %3").arg(hex4(group), hex4(element), reason);
}

// Opens the file through the program's reading; a refusal gives its reason, as every reader does.
bool load(DcmFileFormat& file, const QString& path, ValueLoading loading, QString* error,
          const RowObject& row, FileOpening* opening = nullptr)
{
    ParseHazard hazard = ParseHazard::None;
    const OFCondition status = loadDicomFile(file, path, loading, &hazard, nullptr, opening, row);
    if (status.good())
        return true;
    return fail(
        error,
        QStringLiteral("Не удалось открыть файл: %1\n%2").arg(path, loadFailureReason(path, status, hazard)));
}

TagEntry entryOf(DcmElement& element, const DicomTextDecoder& decoder)
{
    DcmTag tag = element.getTag();
    TagEntry entry;
    entry.group = tag.getGTag();
    entry.element = tag.getETag();
    entry.vr = QString::fromLatin1(tag.getVRName());
    entry.name = QString::fromLatin1(tag.getTagName());
    if (element.ident() != EVR_SQ)
        entry.value = decoder.valueText(element);
    return entry;
}

// Written text is UTF-8; the file must say so, and its other text must then be UTF-8 as well.
bool switchToUtf8(DcmDataset& dataset, const QString& path, QString* error)
{
    OFString declared;
    dataset.findAndGetOFStringArray(DCM_SpecificCharacterSet, declared);
    const QString charset = QString::fromLatin1(declared.c_str()).trimmed();
    if (charset == QLatin1String("ISO_IR 192"))
        return true;
    return rewriteTextAsUtf8(dataset)
        || fail(error, QStringLiteral("Не удалось перевести текст файла из кодировки «%1» в UTF-8\n"
                                      "Файл не изменён: %2")
                           .arg(charset, path));
}

// Puts one value, keeping the VR of an element that is already there.
bool putEntry(DcmDataset& dataset, const TagEntry& entry, QString* error)
{
    const DcmTagKey key(entry.group, entry.element);
    if (entry.group == 0x0002)
        return fail(error, putError(entry.group, entry.element,
                                    QStringLiteral("метаинформация файла (группа 0002) не редактируется")));
    if (key == DCM_PixelData)
        return fail(error, putError(entry.group, entry.element,
                                    QStringLiteral("пиксельные данные не редактируются как текст")));

    DcmElement* existing = nullptr;
    DcmTag tag(key);
    if (dataset.findAndGetElement(key, existing, OFFalse).good() && existing)
        tag.setVR(existing->getTag().getVR());
    if (tag.getEVR() == EVR_SQ || tag.getEVR() == EVR_pixelSQ)
        return fail(error, putError(entry.group, entry.element,
                                    QStringLiteral("последовательность не редактируется как текст")));

    DcmElement* fresh = nullptr;
    OFCondition status = DcmItem::newDicomElementWithVR(fresh, tag);
    std::unique_ptr<DcmElement> owned(fresh);
    if (status.good() && !owned)
        status = EC_MemoryExhausted;
    if (status.good()) {
        const QByteArray utf8 = entry.value.toUtf8();
        status = owned->putOFStringArray(OFString(utf8.constData(), size_t(utf8.size())));
    }
    if (status.good())
        status = dataset.insert(owned.get(), OFTrue /* replace the old element */);
    if (status.bad())
        return fail(error, putError(entry.group, entry.element, QString::fromUtf8(status.text())));
    owned.release(); // the data set owns it now
    return true;
}

} // namespace

QList<TagEntry> readTagList(const QString& path, QString* error, const RowObject& row)
{
    QList<TagEntry> entries;
    DcmFileFormat file;
    if (!load(file, path, ValueLoading::Lazy, error, row))
        return entries;
    if (DcmMetaInfo* meta = file.getMetaInfo()) {
        for (DcmElement* element : elementsOf(*meta))
            entries.append(entryOf(*element, DicomTextDecoder()));
    }
    DcmDataset* dataset = file.getDataset();
    if (!dataset) {
        fail(error, QStringLiteral("Пустой набор данных: %1").arg(path));
        return entries;
    }
    const DicomTextDecoder decoder(*dataset);
    for (DcmElement* element : elementsOf(*dataset))
        if (element->getTag().getXTag() != DCM_PixelData)
            entries.append(entryOf(*element, decoder));
    return entries;
}

bool writeTagValues(const QString& path, const QList<TagEntry>& entries, QString* error, const RowObject& row)
{
    CodecRegistrationScope codecs; // a compressed file is written back decoded
    DcmFileFormat file;
    FileOpening read;
    if (!load(file, path, ValueLoading::Whole, error, row, &read))
        return false;
    DcmDataset* dataset = file.getDataset();
    if (!dataset)
        return fail(error, QStringLiteral("Пустой набор данных: %1").arg(path));

    bool anyNonAscii = false;
    for (const TagEntry& entry : entries)
        anyNonAscii = anyNonAscii || !isAsciiText(entry.value);
    if (anyNonAscii && !switchToUtf8(*dataset, path, error))
        return false;

    for (const TagEntry& entry : entries)
        if (!putEntry(*dataset, entry, error))
            return false;

    // Data the JPEG codec would never return from is written back still compressed.
    E_TransferSyntax xfer = dataset->getOriginalXfer();
    if (DcmXfer(xfer).isEncapsulated() && compressedFramesProblem(*dataset).isEmpty()
        && dataset->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).good()
        && dataset->canWriteXfer(EXS_LittleEndianExplicit, xfer))
        xfer = EXS_LittleEndianExplicit;

    AtomicDicomWriter writer(path);
    writer.replaceOnly(read);
    return writer.save(file, xfer, QStringLiteral("Не удалось сохранить файл: %1"),
                       QStringLiteral("Файл не изменён: %1"), error);
}

} // namespace dicom
