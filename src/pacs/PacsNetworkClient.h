#pragma once
// The DICOM network client: synchronous C-FIND, C-GET, C-MOVE, C-STORE and C-ECHO against one
// configured server. Each call opens one association and closes it before it returns; failures
// come back as false or an empty list plus a Russian or toolkit message.

#include "dicom/RowFileCopy.h"
#include "pacs/PacsConfig.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class DcmSCU;

namespace pacs {

class ReceivedObjectAdmission;

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

// The storage classes offered by the C-GET requester and accepted by the storage listener: every
// class DCMTK lists for storage users that fits one association beside the query/retrieve context.
const QStringList& storageSopClasses();
// Explicit VR Little Endian, then Implicit VR Little Endian: queries, moves, echoes and sends.
const QStringList& networkTransferSyntaxes();
// What an object may arrive in, best first: the uncompressed syntaxes and every compressed one the
// program decodes.
const QStringList& storageTransferSyntaxes();

// The matches in the order they arrived. A failure before any match gives no rows and `error`. When
// the server cut its answer short (a cancel or other non-success final status, an abort or a time-out
// after matches, answers refused here), the matches received come back with `error` saying why and
// `incomplete`, when given, set; a whole answer leaves both untouched. `cancel`, when given, may be set
// from another thread: the search is then abandoned at once, whatever the server still sends, and its
// association aborted.
QList<StudyQueryRow> findStudies(const PacsServer& server, const PacsConfig& config, const StudyQuery& query,
                                 QString* error, bool* incomplete = nullptr, const std::atomic_bool* cancel = nullptr);

// The line shown beside a search answer the server cut short.
QString incompleteSearchText(int shownRows);

// `cancel`, when given, may be set from another thread: the retrieve then stops at the next object
// or response and the association is aborted; the call returns false with "Загрузка отменена".
// `admission`, when given, decides which objects of the study are kept.
bool getStudy(const PacsServer& server, const PacsConfig& config, const QString& studyUid,
              const QString& outputDirectory, int* receivedCount, QString* error,
              std::function<void(const QString&)> onFileStored, const std::atomic_bool* cancel = nullptr,
              std::shared_ptr<ReceivedObjectAdmission> admission = {});

// `receiverRefused`, when given, tells how many objects of the study the program's own listener has
// refused so far, so that a C-MOVE whose every object failed is not blamed on the connection when
// they did reach it.
bool moveStudy(const PacsServer& server, const PacsConfig& config, const QString& studyUid, QString* error,
               const std::atomic_bool* cancel = nullptr, const std::function<int()>& receiverRefused = {});

// The text a cancelled retrieve reports.
QString retrieveCancelledText();
// What a retrieve that brought only objects of another study reports, in the words of its operation.
QString foreignStudyText(const QString& operation, const QString& sentStudyUid, const QString& askedStudyUid);

bool sendFiles(const PacsServer& server, const PacsConfig& config, const QStringList& files, QString* error,
               std::function<void(int, int)> progress);
// The files of index rows: each goes as it was read whole from one opening that holds its row's object;
// one found holding another is not sent, and is counted among the failures and in *otherObjects; one
// that changed as it was read (cut, still being copied over) likewise, in *changedFiles.
bool sendFiles(const PacsServer& server, const PacsConfig& config, const QList<dicom::RowFile>& files,
               QString* error, std::function<void(int, int)> progress, int* otherObjects,
               int* changedFiles = nullptr);

bool echoServer(const PacsServer& server, const PacsConfig& config, QString* error);

bool openAssociation(DcmSCU& scu, const PacsServer& server, const PacsConfig& config,
                     const QString& abstractSyntax, QString* error);

} // namespace pacs
