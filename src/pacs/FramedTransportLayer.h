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
struct T_ASC_Association;

namespace pacs {

class FramedTransportLayer : public DcmTransportLayer
{
public:
    // While `stopWaiting` says so, its connections wait for their peers no longer (see
    // FramedTcpConnection).
    explicit FramedTransportLayer(std::function<bool()> stopWaiting = {});
    // An acceptor's layer, whose connections are served at once on several threads: each keeps a
    // verdict of its own (see FramedTcpConnection::verdict), its peer has kAcceptorAcseSeconds to ask
    // for its association, and gives its place up when it is not getting on while `placeWanted` says
    // another sender waits for one (see FramedTcpConnection::yieldPlaceWhen).
    static std::unique_ptr<FramedTransportLayer> forAcceptor(std::function<bool()> stopWaiting,
                                                             std::function<bool()> placeWanted = {});

    // DCMTK's acceptor asks for a "secure" connection whenever it is given a layer of its own; this
    // one only watches and never encrypts, whatever it is asked for.
    DcmTransportConnection* createConnection(DcmNativeSocketType openSocket, OFBool useSecureLayer) override;

    // The verdict of the latest connection made; Passing until one is refused. Outlives the layer.
    std::shared_ptr<const FramingVerdict> verdict() const { return m_verdict; }

private:
    std::shared_ptr<FramingVerdict> m_verdict;
    std::function<bool()> m_stopWaiting;
    std::function<bool()> m_placeWanted;
    bool m_acceptor = false;
};

// Between initNetwork and negotiateAssociation: the requester's connection is made a framed one (its
// network owns the layer), whose waits for the peer end once stopWaiting says so. The verdict of that
// connection; null when the layer could not be set, and the requester must then not go on.
std::shared_ptr<const FramingVerdict> watchPduFraming(DcmSCU& scu, std::function<bool()> stopWaiting = {});

// The framed connection that carries this association; null when it is not one.
FramedTcpConnection* framedConnectionOf(T_ASC_Association* association);

// The verdict of the connection that carries this association, as it will be; null when it is not a
// framed one.
std::shared_ptr<const FramingVerdict> framingVerdictOf(T_ASC_Association* association);

// What a refused peer did, in a sentence that starts with `peer` ("Сервер"); empty for Passing.
QString framingRefusalText(PduFramingWatch::Verdict verdict, const QString& peer);

} // namespace pacs
