#pragma once
// The C-FIND requester: the data set of each response is received unparsed into a temporary file
// and parsed only once its nesting is checked, so that a server's answer cannot overflow the
// stack of the searching thread. Responses refused so are left out and counted.

#include <QString>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/scu.h>

namespace pacs {

class FindStudiesSCU : public DcmSCU
{
public:
    OFCondition sendFINDRequest(const T_ASC_PresentationContextID presID, DcmDataset* queryKeys,
                                OFList<QRResponse*>* responses) override;

    int refusedResponses = 0;
    QString lastRefusal;

private:
    // The data set that follows a response command, checked and parsed; null when refused.
    OFCondition receiveCheckedDataset(T_ASC_PresentationContextID presID, const OFString& abstractSyntax,
                                      DcmDataset*& dataset);

    Uint16 m_messageId = 0;
};

} // namespace pacs
