#include "pacs/FramedTransportLayer.h"

#include "pacs/NetworkTuning.h"
#include "pacs/ScuAssociation.h"

#include <fcntl.h>

#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/scu.h>

namespace pacs {

FramedTransportLayer::FramedTransportLayer(std::function<bool()> stopWaiting)
    : m_verdict(std::make_shared<FramingVerdict>(PduFramingWatch::Verdict::Passing))
    , m_stopWaiting(std::move(stopWaiting))
{
}

std::unique_ptr<FramedTransportLayer> FramedTransportLayer::forAcceptor(std::function<bool()> stopWaiting,
                                                                        std::function<bool()> placeWanted)
{
    auto layer = std::make_unique<FramedTransportLayer>(std::move(stopWaiting));
    layer->m_acceptor = true;
    layer->m_placeWanted = std::move(placeWanted);
    return layer;
}

DcmTransportConnection* FramedTransportLayer::createConnection(DcmNativeSocketType openSocket, OFBool /*useSecureLayer*/)
{
    // No process the program starts may keep a connection of its peers open.
    ::fcntl(openSocket, F_SETFD, ::fcntl(openSocket, F_GETFD) | FD_CLOEXEC);
    if (m_acceptor) {
        auto* connection =
            new FramedTcpConnection(openSocket, std::make_shared<FramingVerdict>(PduFramingWatch::Verdict::Passing),
                                    m_stopWaiting, PduFramingWatch::kMaxCommandBytes,
                                    qint64(kAcceptorAcseSeconds) * 1000);
        if (m_placeWanted)
            connection->yieldPlaceWhen(m_placeWanted);
        return connection;
    }
    // One association at a time per requester: each starts with a clean verdict.
    m_verdict->store(PduFramingWatch::Verdict::Passing);
    return new FramedTcpConnection(openSocket, m_verdict, m_stopWaiting);
}

FramedTcpConnection* framedConnectionOf(T_ASC_Association* association)
{
    return association ? dynamic_cast<FramedTcpConnection*>(DUL_getTransportConnection(association->DULassociation))
                       : nullptr;
}

std::shared_ptr<const FramingVerdict> framingVerdictOf(T_ASC_Association* association)
{
    const FramedTcpConnection* connection = framedConnectionOf(association);
    return connection ? connection->verdictHandle() : nullptr;
}

std::shared_ptr<const FramingVerdict> watchPduFraming(DcmSCU& scu, std::function<bool()> stopWaiting)
{
    T_ASC_Network* network = networkOf(scu);
    if (!network)
        return nullptr;
    auto* layer = new FramedTransportLayer(std::move(stopWaiting));
    std::shared_ptr<const FramingVerdict> verdict = layer->verdict();
    if (ASC_setTransportLayer(network, layer, 1 /* the network deletes it */).bad()) {
        delete layer;
        return nullptr;
    }
    return verdict;
}

QString framingRefusalText(PduFramingWatch::Verdict verdict, const QString& peer)
{
    QString what;
    switch (verdict) {
    case PduFramingWatch::Verdict::Passing:
        return {};
    case PduFramingWatch::Verdict::CommandTooLong:
        what = QStringLiteral("прислал команду DIMSE длиннее %1 КБ").arg(PduFramingWatch::kMaxCommandBytes / 1024);
        break;
    case PduFramingWatch::Verdict::DataWhereCommandDue:
        what = QStringLiteral("прислал данные там, где ожидалась команда DIMSE");
        break;
    case PduFramingWatch::Verdict::BadCommand:
        what = QStringLiteral("прислал команду DIMSE недопустимого вида");
        break;
    case PduFramingWatch::Verdict::BadFraming:
        what = QStringLiteral("нарушил разбивку сообщений DICOM на фрагменты");
        break;
    case PduFramingWatch::Verdict::TooSlow:
        what = QStringLiteral("передавал одно сообщение DICOM дольше допустимого (%1 с и ещё 1 с на каждые %2 КБ)")
                   .arg(messageBound().baseMs / 1000.0)
                   .arg(messageBound().bytesPerSecond / 1024);
        break;
    case PduFramingWatch::Verdict::HeldPlace:
        what = QStringLiteral("не продвигал передачу дольше %1 с, пока другой отправитель ждал места")
                   .arg(acceptorPlaceBoundMs() / 1000.0);
        break;
    }
    return QStringLiteral("%1 %2 — соединение прервано").arg(peer, what);
}

} // namespace pacs
