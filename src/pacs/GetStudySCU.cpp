#include "pacs/GetStudySCU.h"

#include "dicom/DicomFileSummary.h"
#include "pacs/FramedTransportLayer.h"
#include "pacs/ReceivedFileWriter.h"
#include "pacs/ReceivedObjectAdmission.h"
#include "pacs/ReceivedObjectFile.h"
#include "pacs/ScuAssociation.h"
#include "pacs/StoreSpace.h"

#include <QFile>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmf.h>
#include <dcmtk/dcmnet/dimse.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace pacs {

namespace {

const OFConditionConst kSessionEnded{OFM_dcmnet, 0x4003, OF_error, "C-GET session ended by the receiver"};

} // namespace

GetStudySCU::GetStudySCU(const QString& outputDirectory_, const QString& studyUid_,
                         std::function<void(const QString&)> onFileStored_)
    : outputDirectory(outputDirectory_)
    , studyUid(studyUid_)
    , onFileStored(std::move(onFileStored_))
{
    setStorageMode(DCMSCU_STORAGE_BIT_PRESERVING);
}

GetStudySCU::~GetStudySCU() = default;

void GetStudySCU::noteWriteFailure(const QString& why)
{
    ++failedWrites;
    lastWriteError = why;
}

OFCondition GetStudySCU::refuseUnwritten(T_ASC_PresentationContextID presID, const T_DIMSE_C_StoreRQ& request,
                                         const QString& why)
{
    noteWriteFailure(why);
    m_storeStatus = STATUS_STORE_Refused_OutOfResources;
    return ignoreSTORERequest(presID, request);
}

OFCondition GetStudySCU::sendCGETRequest(const T_ASC_PresentationContextID presID, DcmDataset* dataset,
                                         OFList<RetrieveResponse*>* responses)
{
    m_stall.start(int(getDIMSETimeout()));
    return DcmSCU::sendCGETRequest(presID, dataset, responses);
}

OFCondition GetStudySCU::handleCGETSession(const T_ASC_PresentationContextID /*presID*/, DcmDataset* /*dataset*/,
                                           OFList<RetrieveResponse*>* responses)
{
    OFCondition result = EC_Normal;
    for (OFBool continueSession = OFTrue; continueSession;) {
        T_ASC_PresentationContextID pcid = 0;
        T_DIMSE_Message message;
        std::memset(&message, 0, sizeof message);
        auto response = std::make_unique<RetrieveResponse>();
        result = receiveDIMSECommand(&pcid, &message, &response->m_statusDetail);
        if (result.bad())
            break;
        if (message.CommandField == DIMSE_C_GET_RSP) {
            const T_DIMSE_C_GetRSP& answer = message.msg.CGetRSP;
            if (answer.DataSetType != DIMSE_DATASET_NULL && (result = dropDataSet(*this)).bad())
                break;
            copyRetrieveCounts(*response, answer);
            // As DCMTK does: a response the handler cannot take is left out, its verdict on going on kept.
            result = handleCGETResponse(pcid, response.get(), continueSession);
            if (result.good() && responses)
                responses->push_back(response.release());
        } else if (message.CommandField == DIMSE_C_STORE_RQ) {
            T_DIMSE_C_StoreRQ& request = message.msg.CStoreRQ;
            Uint16 status = STATUS_Success;
            m_stored = false;
            const OFCondition received = handleSTORERequestFile(&pcid, OFString(), &request);
            if (received.bad()) {
                status = STATUS_STORE_Error_CannotUnderstand;
                continueSession = OFFalse;
            }
            result = sendSTOREResponse(pcid, status, request);
            if (result.bad())
                continueSession = OFFalse;
            // The server sends the next object once this one is answered: once one is stored, the
            // next one's file is made meanwhile. On a file system busy with files removed a little
            // earlier, making a file costs more than receiving the object.
            if (continueSession && m_stored)
                m_next = std::make_unique<ReceivedObjectFile>(QStringList{outputDirectory},
                                                              ReceivedObjectFile::Creation::Made);
            // Why the session ended is the receive's failure, not what answering it after met.
            if (received.bad())
                result = received;
        } else {
            result = DIMSE_BADCOMMANDTYPE;
            continueSession = OFFalse;
        }
    }
    return result;
}

OFCondition GetStudySCU::handleCGETResponse(const T_ASC_PresentationContextID presID, RetrieveResponse* response,
                                            OFBool& continueCGETSession)
{
    const OFCondition cond = DcmSCU::handleCGETResponse(presID, response, continueCGETSession);
    if (continueCGETSession && m_stall.endsSession(cancel, &stalled))
        continueCGETSession = OFFalse;
    return cond;
}

OFCondition GetStudySCU::handleSTORERequestFile(T_ASC_PresentationContextID* presID, const OFString& /*filename*/,
                                                T_DIMSE_C_StoreRQ* request)
{
    m_stall.progressed(); // an object came, whatever becomes of it
    m_haveStoreStatus = true;
    m_storeStatus = STATUS_STORE_Refused_OutOfResources;
    if (storeBelowReserve(outputDirectory)) {
        diskFull = true;
        return refuseUnwritten(*presID, *request, QStringLiteral("Недостаточно места на локальном диске"));
    }
    const std::unique_ptr<ReceivedObjectFile> file = ReceivedObjectFile::forObject(m_next, {outputDirectory});
    ReceivedObjectFile& incoming = *file;
    if (!incoming.isValid())
        return refuseUnwritten(*presID, *request, incoming.errorString());

    T_ASC_Association* association = associationOf(*this);
    OFCondition cond = EC_Normal;
    DcmOutputFileStream* stream = openReceiveStream(incoming.path(), *request, association, *presID, &cond,
                                                      incoming.takeDescriptor(), &incoming.written());
    if (!stream) {
        diskFull = diskFull || errno == ENOSPC || errno == EDQUOT || storeBelowReserve(outputDirectory);
        return refuseUnwritten(*presID, *request,
                               QStringLiteral("Не удалось создать файл в папке %1").arg(outputDirectory));
    }
    bool tooLarge = false;
    int writeError = 0;
    {
        // More than the store can spare: nothing more of it earns the server time, its file goes, and
        // the server is told at once; the rest of it is read past.
        const T_ASC_PresentationContextID answerPcid = *presID;
        StoreBoundStream bounded(stream, outputDirectory, [&] {
            if (FramedTcpConnection* connection = framedConnectionOf(association))
                connection->refuseMoreTime();
            incoming.remove();
            diskFull = true;
            noteWriteFailure(QStringLiteral("Недостаточно места на локальном диске для принятого объекта"));
            DcmSCU::sendSTOREResponse(answerPcid, STATUS_STORE_Refused_OutOfResources, *request);
            m_answered = true;
        }, &incoming.written());
        cond = DIMSE_receiveDataSetInFile(association, getDIMSEBlockingMode(), int(getDIMSETimeout()), presID,
                                          bounded.stream(), nullptr, nullptr);
        writeError = errno;
        tooLarge = bounded.refused();
    }
    if (tooLarge)
        return cond.good() ? EC_Normal : cond;
    if (cond.bad()) {
        incoming.remove();
        if (cond.code() != DIMSEC_OUTOFRESOURCES) {
            m_haveStoreStatus = false; // DCMTK's own answer to a broken transfer stands
            return cond;
        }
        // The write failed part-way; DCMTK has read the rest of the object and dropped it.
        diskFull = diskFull || writeError == ENOSPC || writeError == EDQUOT || storeBelowReserve(outputDirectory);
        noteWriteFailure(QStringLiteral("Не удалось записать принятый объект в папку %1").arg(outputDirectory));
        return EC_Normal;
    }
    if (cancel && cancel->load()) {
        // A failed result ends DCMTK's session loop; the answer keeps the refusal set above.
        return kSessionEnded;
    }

    QString error;
    std::unique_ptr<DcmFileFormat> received = openReceivedObject(incoming.path(), &error);
    // Judged as its rows will be keyed and placed once it is listed.
    const dicom::ObjectIdentity object =
        received ? dicom::objectIdentityOf(*received->getDataset()) : dicom::ObjectIdentity{};
    const QString& study = object.studyInstanceUid;
    QString path;
    bool written = false;
    if (!received) {
        m_storeStatus = STATUS_STORE_Error_CannotUnderstand;
    } else if (study != studyUid) {
        // Not what was asked for: refused as the storage listener refuses it, so that the server
        // counts it as failed.
        m_storeStatus = STATUS_STORE_Error_CannotUnderstand;
        ++foreignObjects;
        foreignStudyUid = study;
        received.reset();
        incoming.remove();
        return EC_Normal;
    } else if (const ReceivedObjectAdmission::Verdict verdict =
                   admission ? admission->admit(object,
                                                [&](const QString& kept) {
                                                    return holdsReceivedObject(kept, incoming.path(), *received);
                                                })
                             : ReceivedObjectAdmission::Verdict::Keep;
               verdict != ReceivedObjectAdmission::Verdict::Keep) {
        // Kept once already, kept in other content, or its UID names another object here: no file of it.
        m_storeStatus = verdict == ReceivedObjectAdmission::Verdict::AlreadyKept ? STATUS_Success
                                                                                  : STATUS_STORE_Error_CannotUnderstand;
        reusedUids += verdict == ReceivedObjectAdmission::Verdict::Refuse ? 1 : 0;
        received.reset();
        incoming.remove();
        return EC_Normal;
    } else {
        // A retrieve that judges its objects (one with an admission) lists them, and is handed their
        // summaries.
        bool moved = false;
        written = storeReceivedFile(incoming.path(), *received, outputDirectory, &path, &error, admission != nullptr,
                                    &moved, &incoming.written());
        received.reset();
        if (moved)
            incoming.release();
        m_storeStatus = written ? STATUS_Success : STATUS_STORE_Refused_OutOfResources;
        if (!written && (errno == ENOSPC || errno == EDQUOT || storeBelowReserve(outputDirectory)))
            diskFull = true;
        const ReceivedObjectAdmission::Verdict settled =
            written && admission ? admission->kept(object.sopInstanceUid, path) : ReceivedObjectAdmission::Verdict::Keep;
        if (settled != ReceivedObjectAdmission::Verdict::Keep) {
            // Kept first by another copy: in this very file, or, in other content, in its own.
            if (settled == ReceivedObjectAdmission::Verdict::Differs) {
                platform::OwnFileDoor({outputDirectory}).remove(path, platform::OwnProof::made(takeStoredFile(path)));
                m_storeStatus = STATUS_STORE_Error_CannotUnderstand;
            }
            incoming.remove();
            return EC_Normal;
        }
    }
    incoming.remove();
    if (!written) {
        // Tell the server the object was not kept: it then counts a failed sub-operation, and
        // the final response shows the retrieve as incomplete. The session goes on, because
        // the next object may well be written.
        noteWriteFailure(error);
        return EC_Normal;
    }
    ++receivedCount;
    m_stored = true;
    if (onFileStored)
        onFileStored(path);
    return EC_Normal;
}

OFCondition GetStudySCU::sendSTOREResponse(T_ASC_PresentationContextID presID, Uint16 status,
                                           const T_DIMSE_C_StoreRQ& request)
{
    if (std::exchange(m_answered, false)) {
        m_haveStoreStatus = false;
        return EC_Normal; // told while the object still came
    }
    if (m_haveStoreStatus)
        status = m_storeStatus;
    m_haveStoreStatus = false;
    m_stall.progressed(); // a large object may have taken longer to come than the time-out
    return DcmSCU::sendSTOREResponse(presID, status, request);
}

} // namespace pacs
