#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

#include "dicom/DicomText.h"
#include "dicom/FileIdentity.h"

#include <array>
#include <optional>

class DcmFileFormat;
class DcmItem;
class DcmTagKey;

namespace dicom {

// Everything the index, the study list and the viewers need to know about one DICOM file,
// read once at import so that the file is parsed again only when its pixels are needed.
struct DicomFileSummary
{
    QString patientId;
    QString patientName;
    QString birthDate;
    QString sex;
    double weightKg = 0.0;
    double heightCm = 0.0;

    QString studyInstanceUid;
    QString studyDate;
    QString studyTime;
    QString studyDescription;
    QString accessionNumber;
    QString referringPhysician;

    QString seriesInstanceUid;
    QString seriesNumber;
    QString seriesDescription;
    QString modality;
    QString bodyPartExamined;
    QString laterality;

    QString sopInstanceUid;
    qint32 instanceNumber = 0;
    qint32 rows = 0;
    qint32 columns = 0;
    qint32 numberOfFrames = 1;

    double pixelSpacingX = 0.0; // column spacing, mm
    double pixelSpacingY = 0.0; // row spacing, mm
    double sliceThickness = 0.0;
    double sliceLocation = 0.0;
    double windowCenter = 0.0;
    double windowWidth = 0.0;
    double rescaleSlope = 1.0;
    double rescaleIntercept = 0.0;
    double repetitionTime = 0.0;
    double echoTime = 0.0;
    double triggerTimeMs = -1.0;
    qint32 cardiacNumberOfImages = 0;
    double acquisitionTimeSeconds = -1.0;
    qint32 temporalPositionIndex = 0;
    QString frameOfReferenceUid;

    std::array<double, 3> imagePosition{0.0, 0.0, 0.0};
    std::array<double, 3> orientationRow{0.0, 0.0, 0.0};
    std::array<double, 3> orientationCol{0.0, 0.0, 0.0};
    bool hasSpatialInfo = false;

    // Enhanced multi-frame only: the first four lists run in step (one entry per frame with a plane
    // position); the temporal list has an entry for every per-frame item.
    QList<double> perFrameSliceLocation;
    QList<double> perFramePositionX;
    QList<double> perFramePositionY;
    QList<double> perFramePositionZ;
    QList<int> perFrameTemporalPositionIndex;

    QString filePath;
    // The transfer syntax as the file's meta header names it.
    QString transferSyntaxUid;
    // Not read from the file: set by whoever wrote it as the program's own copy (an archive import, a
    // retrieve, a remote download), so that the index records it and a deletion may remove it. A
    // file indexed where it lay never carries it.
    bool ownCopy = false;
    // Not read from the file either: the digest (platform::ContentDigest) of the bytes its writer
    // wrote, for the index to know the program's copy by them; empty when none was taken.
    QByteArray contentDigest;
    // Not read from the file's bytes either: the version of the file at `path` looked at before it was
    // read (readFileSummary), which the index keeps with the rows so that a file replaced since is
    // known. A version taken of another path than filePath tells nothing of the file there. Two
    // summaries of the same contents are alike whichever versions they were read from.
    struct ReadFrom
    {
        QString path;
        FileIdentity version;
        bool operator==(const ReadFrom&) const { return true; }
    };
    ReadFrom readFrom;

    bool operator==(const DicomFileSummary&) const = default;
};

bool isDicomFile(const QString& path);
std::optional<DicomFileSummary> readFileSummary(const QString& path);
// The summary of a file already parsed through loadDicomFile, as readFileSummary would read the
// file at `path` that holds these very bytes.
std::optional<DicomFileSummary> summaryOf(DcmFileFormat& file, const QString& path);

// Text elements: decoded as the item's own Specific Character Set says, or as `decoder` says (one
// decoder for a whole data set), and trimmed.
QString readStringElement(DcmItem& item, const DcmTagKey& tag);
QString readStringElement(DcmItem& item, const DcmTagKey& tag, const DicomTextDecoder& decoder);
// The SOP Instance UID of a data set as an index row is keyed by it: every value, read as a text element
// is (above), and not cut anywhere. The summary reads it so for the row, and every proof that a file still
// holds a row's object reads it so again: a UID of an unusual form (several values, bytes above ASCII)
// reads alike in both.
QString objectUidOf(DcmItem& dataset);
QString objectUidOf(DcmItem& dataset, const DicomTextDecoder& decoder);
// What a data set's index rows are keyed and placed by, read as its summary reads them (the UIDs every
// value, through the data set's character set), before any file of it is written: a received object is
// judged by what its rows would be. frames: as many as its Number of Frames declares, at least 1; its
// rows are never more.
struct ObjectIdentity
{
    QString sopInstanceUid;
    QString seriesInstanceUid;
    QString studyInstanceUid;
    int frames = 1;
};
ObjectIdentity objectIdentityOf(DcmItem& dataset);
double readDoubleElement(DcmItem& item, const DcmTagKey& tag, double defaultValue);
std::optional<double> readTimeElement(DcmItem& item, const DcmTagKey& tag);
std::optional<double> parseTimeOfDay(const QString& text);

// Registers the summary under the name "dicom::DicomFileSummary" for queued signals.
void registerMetaTypes();

} // namespace dicom

Q_DECLARE_METATYPE(dicom::DicomFileSummary)
