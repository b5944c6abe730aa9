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

QString postToRunningInstance(quint16 port, const QString& path, const QJsonObject& body)
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
    const bool answered = reply->isFinished();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError error = reply->error();
    reply->abort();
    reply->deleteLater();

    if (answered && status >= 200 && status < 300)
        return {};
    if (!answered)
        return QStringLiteral("она не ответила за %1 с").arg(kForwardTimeoutMs / 1000);
    if (status == 429)
        return QStringLiteral("она ждёт ответа на предыдущий запрос — ответьте в её окне и повторите попытку");
    if (status != 0)
        return QStringLiteral("она отклонила запрос (код ответа %1)").arg(status);
    if (error == QNetworkReply::ConnectionRefusedError)
        return QStringLiteral("она не принимает запросы на порту %1").arg(port);
    return QStringLiteral("соединение с ней не удалось (код ошибки %1)").arg(int(error));
}

QString forwardToRunningInstance(const std::optional<pacs::PacsOpenRequest>& request)
{
    QString problem;
    if (request) {
        QJsonObject body;
        body.insert(QStringLiteral("studyInstanceUID"), request->studyInstanceUid);
        body.insert(QStringLiteral("serverHost"), request->serverHost);
        body.insert(QStringLiteral("serverPort"), request->serverPort);
        body.insert(QStringLiteral("serverAeTitle"), request->serverAeTitle);
        problem = postToRunningInstance(kalvenor::LocalApiServer::configuredPort(), QStringLiteral("/pacs/open"), body);
        if (!problem.isEmpty())
            problem = QStringLiteral("Исследование %1 не открыто: программа уже запущена, но передать ей запрос "
                                     "не удалось — %2.")
                          .arg(request->studyInstanceUid, problem);
    } else {
        problem = postToRunningInstance(kalvenor::LocalApiServer::configuredPort(), QStringLiteral("/focus"), QJsonObject());
        if (!problem.isEmpty())
            problem = QStringLiteral("Программа уже запущена, но вывести её окно на передний план не удалось — %1.")
                          .arg(problem);
    }
    dicom::unregisterCodecs();
    return problem;
}
