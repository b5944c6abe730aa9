#pragma once

#include <QString>

// The thirteen texts of a shown series, in this order. Filled by the viewer window from the study and
// series rows, shown in a panel's corner texts and handed to printing. The series instance UID is also
// the key under which a panel remembers its view of the series.
struct SeriesOverlayInfo
{
    QString patientName;       // 0
    QString patientId;         // 1
    QString birthDate;         // 2, DICOM form yyyyMMdd
    QString sex;               // 3
    QString studyDescription;  // 4
    QString studyDate;         // 5, DICOM form yyyyMMdd
    QString studyTime;         // 6, DICOM form hhmmss...
    QString seriesDescription; // 7
    QString seriesNumber;      // 8
    QString modality;          // 9
    QString laterality;        // 10
    QString bodyPartExamined;  // 11
    QString seriesInstanceUid; // 12
};
