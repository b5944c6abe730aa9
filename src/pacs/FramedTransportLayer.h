#pragma once
// Makes the connections of the program's requesters and of its storage listener framed ones
// (FramedTcpConnection), so that no peer's command set reaches DCMTK's parser unbounded.

#include "pacs/FramedTcpConnection.h"

#include <QString>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmlayer.h>

#include <functional>
#include <memory>

class DcmSCU;

namespace pacs {

class FramedTransportLayer : public DcmTransportLayer
{
public:
    // While `stopWaiting` says so, its connections wait for their peers no longer (see
    // FramedTcpConnection).
    explicit FramedTransportLayer(std::function<bool()> stopWaiting = {});

    // DCMTK's acceptor asks for a "secure" connection whenever it is given a layer of its own; this
    // one only watches and never encrypts, whatever it is asked for.
    DcmTransportConnection* createConnection(DcmNativeSocketType openSocket, OFBool useSecureLayer) override;

    // The verdict of the latest connection made; Passing until one is refused. Outlives the layer.
    std::shared_ptr<const FramingVerdict> verdict() const { return m_verdict; }

private:
    std::shared_ptr<FramingVerdict> m_verdict;
    std::function<bool()> m_stopWaiting;
};

// Between initNetwork and negotiateAssociation: the requester's connection is made a framed one (its
// network owns the layer). The verdict of that connection; null when the layer could not be set, and
// the requester must then not go on.
std::shared_ptr<const FramingVerdict> watchPduFraming(DcmSCU& scu);

// What a refused peer did, in a sentence that starts with `peer` ("Сервер"); empty for Passing.
QString framingRefusalText(PduFramingWatch::Verdict verdict, const QString& peer);

} // namespace pacs
