#include "app/InstanceForwarding.h"

#include "app/LocalApiServer.h"
#include "dicom/CodecRegistration.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

void postToRunningInstance(quint16 port, const QString& path, const QJsonObject& body)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path), QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    // The answer may be slow or never come; the local loop below bounds the wait, not a proxy.
    manager.setProxy(QNetworkProxy::NoProxy);

    QNetworkReply* reply = manager.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kForwardTimeoutMs, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    reply->abort();
    reply->deleteLater();
}

void forwardToRunningInstance(const std::optional<pacs::PacsOpenRequest>& request)
{
    if (request) {
        QJsonObject body;
        body.insert(QStringLiteral("studyInstanceUID"), request->studyInstanceUid);
        body.insert(QStringLiteral("serverHost"), request->serverHost);
        body.insert(QStringLiteral("serverPort"), request->serverPort);
        body.insert(QStringLiteral("serverAeTitle"), request->serverAeTitle);
        postToRunningInstance(kalvenor::LocalApiServer::configuredPort(), QStringLiteral("/pacs/open"), body);
    } else {
        postToRunningInstance(kalvenor::LocalApiServer::configuredPort(), QStringLiteral("/focus"), QJsonObject());
    }
    dicom::unregisterCodecs();
}
