#include "dicom/DoseReaders.h"

#include "dicom/DicomFileLoading.h"
#include "dicom/DicomFileSummary.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>

namespace dicom {

namespace {

DcmDataset* load(DcmFileFormat& file, const QString& path, const RowObject& row)
{
    if (loadDicomFile(file, path, ValueLoading::Lazy, nullptr, nullptr, nullptr, row).bad())
        return nullptr;
    return file.getDataset();
}

QString firstValue(DcmItem& item, const DcmTagKey& tag)
{
    OFString value;
    if (item.findAndGetOFString(tag, value, 0).bad())
        return QString();
    return QString::fromLatin1(value.c_str(), qsizetype(value.length()));
}

bool isTotalDlpConcept(DcmItem& item)
{
    DcmItem* conceptName = nullptr;
    if (item.findAndGetSequenceItem(DCM_ConceptNameCodeSequence, conceptName, 0).bad() || !conceptName)
        return false;
    return firstValue(*conceptName, DCM_CodeValue) == QLatin1String("113813")
        && firstValue(*conceptName, DCM_CodingSchemeDesignator) == QLatin1String("DCM");
}

// Depth-first, pre-order over the content tree; the first total DLP found wins.
std::optional<double> findTotalDlp(DcmItem* item)
{
    if (!item)
        return std::nullopt;
    if (firstValue(*item, DCM_ValueType) == QLatin1String("NUM") && isTotalDlpConcept(*item)) {
        DcmItem* measured = nullptr;
        if (item->findAndGetSequenceItem(DCM_MeasuredValueSequence, measured, 0).good() && measured) {
            bool ok = false;
            const double value = firstValue(*measured, DCM_NumericValue).trimmed().toDouble(&ok);
            if (ok)
                return value;
        }
    }
    for (long k = 0;; ++k) {
        DcmItem* child = nullptr;
        if (item->findAndGetSequenceItem(DCM_ContentSequence, child, k).bad() || !child)
            break;
        if (const std::optional<double> found = findTotalDlp(child))
            return found;
    }
    return std::nullopt;
}

} // namespace

std::optional<double> readCtdiVol(const QString& path, const RowObject& row)
{
    DcmFileFormat file;
    DcmDataset* dataset = load(file, path, row);
    Float64 value = 0.0;
    if (!dataset || dataset->findAndGetFloat64(DCM_CTDIvol, value, 0).bad() || !(value > 0.0))
        return std::nullopt;
    return value;
}

std::optional<bool> readCtdiPhantomType(const QString& path, const RowObject& row)
{
    DcmFileFormat file;
    DcmDataset* dataset = load(file, path, row);
    DcmItem* code = nullptr;
    if (!dataset || dataset->findAndGetSequenceItem(DCM_CTDIPhantomTypeCodeSequence, code, 0).bad() || !code)
        return std::nullopt;
    const QString meaning = firstValue(*code, DCM_CodeMeaning).toLower();
    if (meaning.contains(QLatin1String("head")))
        return true;
    if (meaning.contains(QLatin1String("body")))
        return false;
    return std::nullopt;
}

QString readProtocolName(const QString& path, const RowObject& row)
{
    DcmFileFormat file;
    DcmDataset* dataset = load(file, path, row);
    return dataset ? readStringElement(*dataset, DCM_ProtocolName) : QString();
}

std::optional<double> readDoseReportDlp(const QString& path, const RowObject& row)
{
    DcmFileFormat file;
    DcmDataset* dataset = load(file, path, row);
    if (!dataset || firstValue(*dataset, DCM_Modality) != QLatin1String("SR"))
        return std::nullopt;
    return findTotalDlp(dataset);
}

} // namespace dicom
