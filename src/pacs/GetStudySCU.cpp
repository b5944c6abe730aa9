#include "GetStudySCU.h"

#include "ReceivedFileWriter.h"
#include "ReceivedObjectFile.h"

#include <QFile>

#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmnet/dimse.h>

#include <memory>

namespace pacs {

namespace {

const OFConditionConst kSessionEnded(OFM_dcmnet, 0x4003, OF_error, "C-GET session ended by the receiver");

} // namespace

GetStudySCU::GetStudySCU(const QString& outputDirectory_, std::function<void(const QString&)> onFileStored_)
    : outputDirectory(outputDirectory_)
    , onFileStored(std::move(onFileStored_))
{
    setStorageMode(DCMSCU_STORAGE_BIT_PRESERVING);
}

GetStudySCU::~GetStudySCU() = default;

OFCondition GetStudySCU::handleSTORERequestFile(T_ASC_PresentationContextID* presID, const OFString& /*filename*/,
                                                T_DIMSE_C_StoreRQ* request)
{
    m_haveStoreStatus = true;
    m_storeStatus = STATUS_STORE_Refused_OutOfResources;
    ReceivedObjectFile incoming({outputDirectory});
    if (!incoming.isValid()) {
        // Without a file the data cannot even be drained: the session ends here.
        ++failedWrites;
        lastWriteError = incoming.errorString();
        return kSessionEnded;
    }
    const OFCondition cond =
        DcmSCU::handleSTORERequestFile(presID, OFString(QFile::encodeName(incoming.path()).constData()), request);
    if (cond.bad()) {
        m_haveStoreStatus = false; // DCMTK's own answer to a broken transfer stands
        return cond;
    }
    if (cancel && cancel->load()) {
        // A failed result ends DCMTK's session loop; the answer keeps the refusal set above.
        return kSessionEnded;
    }

    QString error;
    std::unique_ptr<DcmFileFormat> received = openReceivedObject(incoming.path(), &error);
    QString path;
    bool written = false;
    if (received) {
        written = storeReceivedFile(incoming.path(), *received, outputDirectory, &path, &error);
        received.reset();
        m_storeStatus = written ? STATUS_Success : STATUS_STORE_Refused_OutOfResources;
    } else {
        m_storeStatus = STATUS_STORE_Error_CannotUnderstand;
    }
    incoming.remove();
    if (!written) {
        // Tell the server the object was not kept: it then counts a failed sub-operation, and
        // the final response shows the retrieve as incomplete. The session goes on, because
        // the next object may well be written.
        ++failedWrites;
        lastWriteError = error;
        return EC_Normal;
    }
    ++receivedCount;
    if (onFileStored)
        onFileStored(path);
    return EC_Normal;
}

OFCondition GetStudySCU::sendSTOREResponse(T_ASC_PresentationContextID presID, Uint16 status,
                                           const T_DIMSE_C_StoreRQ& request)
{
    if (m_haveStoreStatus)
        status = m_storeStatus;
    m_haveStoreStatus = false;
    return DcmSCU::sendSTOREResponse(presID, status, request);
}

} // namespace pacs
