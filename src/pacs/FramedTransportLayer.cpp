#include "pacs/FramedTransportLayer.h"

#include "pacs/ScuAssociation.h"

#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/scu.h>

namespace pacs {

FramedTransportLayer::FramedTransportLayer(std::function<bool()> stopWaiting)
    : m_verdict(std::make_shared<FramingVerdict>(PduFramingWatch::Verdict::Passing))
    , m_stopWaiting(std::move(stopWaiting))
{
}

DcmTransportConnection* FramedTransportLayer::createConnection(DcmNativeSocketType openSocket, OFBool /*useSecureLayer*/)
{
    // One association at a time per requester and per acceptor: each starts with a clean verdict.
    m_verdict->store(PduFramingWatch::Verdict::Passing);
    return new FramedTcpConnection(openSocket, m_verdict, m_stopWaiting);
}

std::shared_ptr<const FramingVerdict> watchPduFraming(DcmSCU& scu)
{
    T_ASC_Network* network = networkOf(scu);
    if (!network)
        return nullptr;
    auto* layer = new FramedTransportLayer;
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
    }
    return QStringLiteral("%1 %2 — соединение прервано").arg(peer, what);
}

} // namespace pacs
