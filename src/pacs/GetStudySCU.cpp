#include "GetStudySCU.h"

#include "ReceivedFileWriter.h"

#include <dcmtk/dcmnet/dimse.h>

#include <memory>

namespace pacs {

GetStudySCU::GetStudySCU(const QString& outputDirectory_, std::function<void(const QString&)> onFileStored_)
    : outputDirectory(outputDirectory_)
    , onFileStored(std::move(onFileStored_))
{
}

GetStudySCU::~GetStudySCU() = default;

OFCondition GetStudySCU::handleSTORERequest(const T_ASC_PresentationContextID /*presID*/,
                                            DcmDataset* incomingObject, OFBool& continueCGETSession,
                                            Uint16& cStoreReturnStatus)
{
    continueCGETSession = OFTrue;
    cStoreReturnStatus = STATUS_Success;
    if (!incomingObject)
        return EC_IllegalParameter;
    std::unique_ptr<DcmDataset> dataset(incomingObject); // ours to free
    if (cancel && cancel->load()) {
        continueCGETSession = OFFalse;
        cStoreReturnStatus = STATUS_STORE_Refused_OutOfResources;
        return EC_Normal;
    }

    QString path;
    QString error;
    if (!writeReceivedDataset(*dataset, outputDirectory, &path, &error)) {
        // Tell the server the object was not kept: it then counts a failed sub-operation, and
        // the final response shows the retrieve as incomplete. The session goes on, because
        // the next object may well be written.
        ++failedWrites;
        lastWriteError = error;
        cStoreReturnStatus = STATUS_STORE_Refused_OutOfResources;
        return EC_Normal;
    }
    ++receivedCount;
    if (onFileStored)
        onFileStored(path);
    return EC_Normal;
}

} // namespace pacs
