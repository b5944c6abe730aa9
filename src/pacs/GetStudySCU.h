#pragma once
// The C-GET requester: stores the objects that the server sends back on the same association.

#include <QString>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/scu.h>

#include <atomic>
#include <functional>

namespace pacs {

class GetStudySCU : public DcmSCU
{
public:
    GetStudySCU(const QString& outputDirectory, std::function<void(const QString&)> onFileStored);
    ~GetStudySCU() override;

    OFCondition handleSTORERequest(const T_ASC_PresentationContextID presID, DcmDataset* incomingObject,
                                   OFBool& continueCGETSession, Uint16& cStoreReturnStatus) override;

    QString outputDirectory;
    std::function<void(const QString&)> onFileStored;
    int receivedCount = 0;
    // Objects that arrived but could not be written; the server was told so by a failure status.
    int failedWrites = 0;
    QString lastWriteError;
    // Set from another thread to end the session at the next object.
    const std::atomic_bool* cancel = nullptr;
};

} // namespace pacs
