#pragma once
// The C-GET requester: stores the objects of the requested study that the server sends back on the
// same association, and refuses the rest.

#include "pacs/ReceivedObjectFile.h"
#include "pacs/RetrieveStallClock.h"

#include <QString>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/scu.h>

#include <atomic>
#include <functional>
#include <memory>

namespace pacs {

class ReceivedObjectAdmission;

class GetStudySCU : public DcmSCU
{
public:
    GetStudySCU(const QString& outputDirectory, const QString& studyUid,
                std::function<void(const QString&)> onFileStored);
    ~GetStudySCU() override;

    // Each object is received unparsed into a temporary file in the output folder, checked, and
    // only then parsed and stored, as a rule by giving that file its new meta header and its name;
    // the file name DCMTK proposes is not used. An object that cannot be written is read to its end
    // and refused, so that the next one can still come.
    OFCondition handleSTORERequestFile(T_ASC_PresentationContextID* presID, const OFString& filename,
                                       T_DIMSE_C_StoreRQ* request) override;

    QString outputDirectory;
    QString studyUid;
    std::function<void(const QString&)> onFileStored;
    int receivedCount = 0;
    // Objects that arrived but could not be written; the server was told so by a failure status.
    int failedWrites = 0;
    QString lastWriteError;
    // Set when an object was not written because the store's disk is full.
    bool diskFull = false;
    // Objects of another study, refused; the study of the last one.
    int foreignObjects = 0;
    QString foreignStudyUid;
    // Decides which objects of the study are kept (all when not set); refused ones are counted.
    std::shared_ptr<ReceivedObjectAdmission> admission;
    int reusedUids = 0;
    // Set from another thread to end the session at the next object or response.
    const std::atomic_bool* cancel = nullptr;
    // Set when the session ended because the server kept answering "pending" while no object came
    // for the DIMSE time-out.
    bool stalled = false;

    OFCondition sendCGETRequest(const T_ASC_PresentationContextID presID, DcmDataset* dataset,
                                OFList<RetrieveResponse*>* responses) override;

protected:
    // DCMTK's own loop leaves the data set a C-GET response may carry (the server's list of objects it
    // failed to send) unread, and then parses it as the next command, however deep a peer nests it;
    // here it is read past unparsed. The rest is DCMTK's loop for objects received as files.
    OFCondition handleCGETSession(const T_ASC_PresentationContextID presID, DcmDataset* dataset,
                                  OFList<RetrieveResponse*>* responses) override;
    // Ends the session on a cancel, and once the server has only answered "pending" for the DIMSE
    // time-out: neither waits for an object that may never come.
    OFCondition handleCGETResponse(const T_ASC_PresentationContextID presID, RetrieveResponse* response,
                                   OFBool& continueCGETSession) override;
    // Answers with the status the last object earned (DCMTK's file-based receive knows only
    // success and "cannot understand").
    OFCondition sendSTOREResponse(T_ASC_PresentationContextID presID, Uint16 status,
                                  const T_DIMSE_C_StoreRQ& request) override;

private:
    // The object was not written: it is read to its end and dropped, and refused with "out of
    // resources". A failure of the association itself ends the session.
    OFCondition refuseUnwritten(T_ASC_PresentationContextID presID, const T_DIMSE_C_StoreRQ& request,
                                const QString& why);
    void noteWriteFailure(const QString& why);

    RetrieveStallClock m_stall;
    // The file made for the server's next object, until it comes or the requester goes.
    std::unique_ptr<ReceivedObjectFile> m_next;
    bool m_stored = false; // the last object was stored
    Uint16 m_storeStatus = STATUS_Success;
    bool m_haveStoreStatus = false;
    bool m_answered = false; // the object under way was answered while it still came
};

} // namespace pacs
