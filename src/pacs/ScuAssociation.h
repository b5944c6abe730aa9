#pragma once
// DcmSCU and DcmSCP keep their association to themselves, and their own data set receives either
// parse as they read or write a file behind a meta header of DCMTK's. Receiving unparsed into
// memory, behind a header of the program's, and dropping what cannot be written, need the
// association itself; watching what the peer sends needs the requester's network.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/scp.h>
#include <dcmtk/dcmnet/scu.h>

namespace pacs {

T_ASC_Association* associationOf(DcmSCU& scu);
T_ASC_Association* associationOf(DcmSCP& scp);
// Ends whatever association the acceptor still holds after serving one it was handed, so that it can
// take the next.
void endAssociation(DcmSCP& scp);
// The requester's network between initNetwork and the association's end; null outside.
T_ASC_Network* networkOf(DcmSCU& scu);

// Reads past the data set that follows the command just received, unparsed.
OFCondition dropDataSet(DcmSCU& scu);

// A C-GET or C-MOVE answer's counts and status, as DCMTK's own loops copy them.
template <typename Answer>
void copyRetrieveCounts(RetrieveResponse& response, const Answer& answer)
{
    response.m_affectedSOPClassUID = answer.AffectedSOPClassUID;
    response.m_messageIDRespondedTo = answer.MessageIDBeingRespondedTo;
    response.m_status = answer.DimseStatus;
    response.m_numberOfRemainingSubops = answer.NumberOfRemainingSubOperations;
    response.m_numberOfCompletedSubops = answer.NumberOfCompletedSubOperations;
    response.m_numberOfFailedSubops = answer.NumberOfFailedSubOperations;
    response.m_numberOfWarningSubops = answer.NumberOfWarningSubOperations;
}

} // namespace pacs
