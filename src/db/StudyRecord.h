#pragma once

#include <QDateTime>
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
    // When the study's first file entered this index; invalid when the index does not know.
    QDateTime importedAt;
    // Bytes of its files that lie in the program's own store (Database::setStoreFolders), as they
    // were when indexed; files indexed where they lie count nothing, as removing them frees nothing.
    qint64 storeBytes = 0;
};

} // namespace db
