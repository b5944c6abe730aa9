#pragma once

#include <QString>

namespace db {

// One study of the index together with its patient, as the study list shows it.
struct StudyRecord
{
    QString studyInstanceUid;
    QString patientId;
    QString patientName;
    QString birthDate;
    QString sex;
    double weightKg = 0.0;
    QString studyDate;
    QString studyTime;
    QString studyDescription;
    QString accessionNumber;
    int seriesCount = 0;
    int instanceCount = 0; // frames count one each
    bool isProtected = false;
    QString modalities; // distinct modalities of the study's series, joined by ","
};

} // namespace db
