#pragma once
// The DICOM network client: synchronous C-FIND, C-GET, C-MOVE, C-STORE and C-ECHO against one
// configured server. Each call opens one association and closes it before it returns; failures
// come back as false or an empty list plus a Russian or toolkit message.

#include "PacsConfig.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class DcmSCU;

namespace pacs {

struct StudyQuery
{
    QString patientName; // empty: any
    QString patientId;
    QString modalities; // codes joined by a backslash
    QString dateFrom;   // yyyyMMdd or empty
    QString dateTo;
};

struct StudyQueryRow
{
    QString patientName;
    QString patientId;
    QString studyDate;
    QString studyTime;
    QString studyDescription;
    QString modalitiesInStudy;
    QString studyInstanceUid;
    QString accessionNumber;
    QString numberOfSeries;
    QString numberOfInstances;
};

// The storage classes offered by the C-GET requester and the storage listener, in this order.
const QStringList& storageSopClasses();
// Explicit VR Little Endian, then Implicit VR Little Endian.
const QStringList& networkTransferSyntaxes();

QList<StudyQueryRow> findStudies(const PacsServer& server, const PacsConfig& config, const StudyQuery& query,
                                 QString* error);

// `cancel`, when given, may be set from another thread: the retrieve then stops at the next object
// or response and the association is aborted; the call returns false with "Загрузка отменена".
bool getStudy(const PacsServer& server, const PacsConfig& config, const QString& studyUid,
              const QString& outputDirectory, int* receivedCount, QString* error,
              std::function<void(const QString&)> onFileStored, const std::atomic_bool* cancel = nullptr);

bool moveStudy(const PacsServer& server, const PacsConfig& config, const QString& studyUid, QString* error,
               const std::atomic_bool* cancel = nullptr);

// The text a cancelled retrieve reports.
QString retrieveCancelledText();

bool sendFiles(const PacsServer& server, const PacsConfig& config, const QStringList& files, QString* error,
               std::function<void(int, int)> progress);

bool echoServer(const PacsServer& server, const PacsConfig& config, QString* error);

bool openAssociation(DcmSCU& scu, const PacsServer& server, const PacsConfig& config,
                     const QString& abstractSyntax, QString* error);

} // namespace pacs
