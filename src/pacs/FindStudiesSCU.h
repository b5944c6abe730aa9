#pragma once
// The C-FIND requester: the data set of each response is received unparsed into memory, up to a
// size no study answer comes near, and parsed through the same door as every file this program reads
// (dicom::readDicomDataset), so that a server's answer can neither overflow the stack of the reading
// thread nor fill its memory nor hold it for long. Responses refused so are left out and counted.

#include <QByteArray>
#include <QString>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/scu.h>

#include <functional>

namespace pacs {

class FindStudiesSCU : public DcmSCU
{
public:
    // Each match goes to onMatch, in the order the matches came, on a thread that reads them while
    // the next ones arrive; all have gone through it when this returns. `responses` receives only
    // the final response.
    OFCondition sendFINDRequest(const T_ASC_PresentationContextID presID, DcmDataset* queryKeys,
                                OFList<QRResponse*>* responses) override;

    std::function<void(DcmDataset& match)> onMatch;

    // The largest identifier kept; a larger one is read to its end and refused.
    static constexpr qint64 kMaxIdentifierBytes = 1024 * 1024;

    // Written by the reading thread; read them once sendFINDRequest has returned.
    int refusedResponses = 0;
    QString lastRefusal;

private:
    // Checks and parses an identifier as received and hands it to onMatch, or refuses it.
    void readIdentifier(const QByteArray& bytes, bool overflow);
    void refuse(const QString& why);

    Uint16 m_messageId = 0;
    // The transfer syntax of the answers, as DCMTK knows it.
    E_TransferSyntax m_syntax = EXS_Unknown;
};

} // namespace pacs
