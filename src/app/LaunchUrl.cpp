#include "app/LaunchUrl.h"

#include <QUrl>
#include <QUrlQuery>

namespace {

const int kDefaultDicomPort = 104;

int portFromText(const QString& text)
{
    bool ok = false;
    const int port = text.toInt(&ok, 10);
    // A port the network layer cannot use would only fail later, far from its cause.
    if (!ok || port < 1 || port > 65535)
        return kDefaultDicomPort;
    return port;
}

} // namespace

std::optional<pacs::PacsOpenRequest> parseLaunchUrl(const QString& argument)
{
    const QUrl url(argument, QUrl::TolerantMode);
    if (!url.isValid())
        return std::nullopt;
    if (url.scheme().compare(QStringLiteral("kalvenor"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    if (url.host(QUrl::FullyDecoded).compare(QStringLiteral("open"), Qt::CaseInsensitive) != 0)
        return std::nullopt;

    // QUrlQuery leaves "+" as it is and gives the first of repeated items.
    const QUrlQuery query(url);
    auto item = [&query](const char* key) { return query.queryItemValue(QString::fromLatin1(key), QUrl::FullyDecoded); };

    pacs::PacsOpenRequest request;
    request.studyInstanceUid = item("study");
    request.serverHost = item("host");
    request.serverPort = portFromText(item("port"));
    request.serverAeTitle = item("aet");
    if (request.studyInstanceUid.isEmpty())
        return std::nullopt;
    return request;
}

std::optional<pacs::PacsOpenRequest> firstLaunchRequest(const QStringList& arguments)
{
    for (const QString& argument : arguments) {
        if (auto request = parseLaunchUrl(argument))
            return request;
    }
    return std::nullopt;
}
