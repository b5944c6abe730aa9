#pragma once
// The C-FIND requester: the data set of each response is received unparsed into memory, up to a
// size no study answer comes near, and parsed through the same door as every file this program reads
// (dicom::readDicomDataset), so that a server's answer can neither overflow the stack of the reading
// thread nor fill its memory nor hold it for long. Responses refused so are left out and counted.

#include "pacs/PacsNetworkClient.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/scu.h>

#include <atomic>
#include <functional>
#include <optional>

namespace pacs {

class FindStudiesSCU : public DcmSCU
{
public:
    // The rows made of the matches, in the order the matches came, by threads that parse them while
    // the next ones arrive; all are in `rows` when this returns. `responses` receives only the final
    // response.
    OFCondition sendFINDRequest(const T_ASC_PresentationContextID presID, DcmDataset* queryKeys,
                                OFList<QRResponse*>* responses) override;

    // The row of a match, if it makes one. Called on several threads at once, each with a match of
    // its own.
    std::function<std::optional<StudyQueryRow>(DcmDataset& match)> rowOf;

    // Set from another thread when nobody waits for the answer any more: the answers stop being read.
    const std::atomic_bool* cancel = nullptr;

    // The largest identifier kept; a larger one is read to its end and refused.
    static constexpr qint64 kMaxIdentifierBytes = 1024 * 1024;

    // Written by sendFINDRequest's threads; read them once it has returned.
    QList<StudyQueryRow> rows;
    int refusedResponses = 0;
    QString lastRefusal;

private:
    // An answer's row, or why it was refused.
    struct Made
    {
        std::optional<StudyQueryRow> row;
        QString refusal;
    };
    // Checks and parses an identifier as received, and makes its row (on a parsing thread).
    Made make(const QByteArray& bytes, bool overflow) const;
    // Keeps the row or counts the refusal (one at a time, in the order the answers came).
    void take(Made& made);

    Uint16 m_messageId = 0;
    // The transfer syntax of the answers, as DCMTK knows it.
    E_TransferSyntax m_syntax = EXS_Unknown;
};

} // namespace pacs
