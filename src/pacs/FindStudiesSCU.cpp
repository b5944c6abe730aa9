#include "FindStudiesSCU.h"

#include "ReceivedObjectFile.h"

#include <QFile>

#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmnet/dimse.h>

#include <cstring>
#include <memory>

namespace pacs {

OFCondition FindStudiesSCU::sendFINDRequest(const T_ASC_PresentationContextID presID, DcmDataset* queryKeys,
                                            OFList<QRResponse*>* responses)
{
    if (!isConnected())
        return DIMSE_ILLEGALASSOCIATION;
    if (!queryKeys)
        return DIMSE_NULLKEY;
    OFString abstractSyntax;
    OFString transferSyntax;
    findPresentationContext(presID, abstractSyntax, transferSyntax);
    if (abstractSyntax.empty() || transferSyntax.empty())
        return DIMSE_NOVALIDPRESENTATIONCONTEXTID;

    T_DIMSE_Message request;
    std::memset(&request, 0, sizeof request);
    request.CommandField = DIMSE_C_FIND_RQ;
    T_DIMSE_C_FindRQ& find = request.msg.CFindRQ;
    find.MessageID = ++m_messageId;
    find.DataSetType = DIMSE_DATASET_PRESENT;
    find.Priority = DIMSE_PRIORITY_MEDIUM;
    OFStandard::strlcpy(find.AffectedSOPClassUID, abstractSyntax.c_str(), sizeof find.AffectedSOPClassUID);
    OFCondition cond = sendDIMSEMessage(presID, &request, queryKeys);
    if (cond.bad())
        return cond;

    for (;;) {
        T_ASC_PresentationContextID pcid = presID;
        T_DIMSE_Message message;
        std::memset(&message, 0, sizeof message);
        DcmDataset* statusDetail = nullptr;
        cond = receiveDIMSECommand(&pcid, &message, &statusDetail);
        std::unique_ptr<DcmDataset> detail(statusDetail);
        if (cond.bad())
            return cond;
        if (message.CommandField != DIMSE_C_FIND_RSP)
            return DIMSE_BADCOMMANDTYPE;
        const T_DIMSE_C_FindRSP& answer = message.msg.CFindRSP;
        auto response = std::make_unique<QRResponse>();
        response->m_affectedSOPClassUID = answer.AffectedSOPClassUID;
        response->m_messageIDRespondedTo = answer.MessageIDBeingRespondedTo;
        response->m_status = answer.DimseStatus;
        response->m_statusDetail = detail.release();
        const bool pending = DICOM_PENDING_STATUS(answer.DimseStatus);
        if (pending) {
            if (answer.DataSetType == DIMSE_DATASET_NULL)
                return DIMSE_BADMESSAGE;
            cond = receiveCheckedDataset(pcid, abstractSyntax, response->m_dataset);
            if (cond.bad())
                return DIMSE_BADDATA;
        }
        if (responses && (!pending || response->m_dataset))
            responses->push_back(response.release());
        if (!pending)
            return EC_Normal;
    }
}

OFCondition FindStudiesSCU::receiveCheckedDataset(T_ASC_PresentationContextID presID, const OFString& abstractSyntax,
                                                  DcmDataset*& dataset)
{
    dataset = nullptr;
    ReceivedObjectFile incoming({});
    if (!incoming.isValid())
        return EC_InvalidFilename;
    // DCMTK's unparsed receive into a file takes the command only for the file's meta header.
    T_DIMSE_C_StoreRQ header;
    std::memset(&header, 0, sizeof header);
    OFStandard::strlcpy(header.AffectedSOPClassUID, abstractSyntax.c_str(), sizeof header.AffectedSOPClassUID);
    OFStandard::strlcpy(header.AffectedSOPInstanceUID, "1.2", sizeof header.AffectedSOPInstanceUID);
    const OFCondition cond =
        handleSTORERequestFile(&presID, OFString(QFile::encodeName(incoming.path()).constData()), &header);
    if (cond.bad())
        return cond;
    QString error;
    std::unique_ptr<DcmFileFormat> file = openReceivedObject(incoming.path(), &error);
    const OFCondition loaded = file ? file->loadAllDataIntoMemory() : OFCondition(EC_IllegalCall);
    if (loaded.bad()) {
        ++refusedResponses;
        lastRefusal = file ? QStringLiteral("Отклонён повреждённый объект: %1").arg(QString::fromUtf8(loaded.text()))
                           : error;
        return EC_Normal; // the stream is whole: the next response can still be read
    }
    dataset = file->getAndRemoveDataset();
    return EC_Normal;
}

} // namespace pacs
