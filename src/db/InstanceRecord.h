#pragma once

#include "dicom/RowObject.h"

#include <QString>
#include <QtGlobal>

#include <array>

namespace db {

// One instance row of the index, that is one frame of a file.
struct InstanceRecord
{
    QString filePath;
    // The object the row names in its file (the file's SOP Instance UID, not a frame's key), and the
    // version of the file (dicom::FileIdentity::text()) the listing found holding it: empty when none
    // was found (the file was not there). A reader that takes the file's bytes later proves with them
    // that it still holds this object (dicom::RowObject).
    QString sopInstanceUid;
    QString fileVersion;
    // What a reader of the row's file is given beside the path, to prove from its own opening.
    dicom::RowObject object() const { return {sopInstanceUid, fileVersion}; }
    // Instance Number x 100000 + frame index: keeps the frames of one file together and in order.
    // 64-bit because Instance Numbers from 21475 on overflow 32 bits.
    qint64 instanceNumber = 0;
    int frameIndex = 0;
    double pixelSpacingX = 0.0;
    double pixelSpacingY = 0.0;
    double sliceThickness = 0.0;
    double sliceLocation = 0.0;
    double repetitionTime = 0.0;
    double echoTime = 0.0;
    std::array<double, 3> imagePosition{0.0, 0.0, 0.0};
    std::array<double, 3> orientationRow{0.0, 0.0, 0.0};
    std::array<double, 3> orientationCol{0.0, 0.0, 0.0};
    bool hasSpatialInfo = false;
    double acquisitionTimeSeconds = -1.0; // -1: the index holds no value
    int temporalPositionIndex = 0;
    QString frameOfReferenceUid;
    double triggerTimeMs = -1.0; // -1: the index holds no value
    int cardiacNumberOfImages = 0;

    bool operator==(const InstanceRecord&) const = default;
};

} // namespace db
