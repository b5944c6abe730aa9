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

QString postToRunningInstance(quint16 port, const QString& path, const QJsonObject& body, bool* delivered)
{
    if (delivered)
        *delivered = false;
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path), QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    // The answer may be slow or never come; the local loop below bounds the wait, not a proxy.
    manager.setProxy(QNetworkProxy::NoProxy);

    QNetworkReply* reply = manager.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));

    // Once the whole request is written to the connection the running copy has it: a copy busy at that
    // moment reads it, and acts on it, when it turns to its events again.
    bool sent = false;
    QObject::connect(reply, &QNetworkReply::requestSent, reply, [&sent] { sent = true; });
    QObject::connect(reply, &QNetworkReply::uploadProgress, reply, [&sent](qint64 done, qint64 total) {
        if (total > 0 && done == total)
            sent = true;
    });

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

    if (answered && status >= 200 && status < 300) {
        if (delivered)
            *delivered = true;
        return {};
    }
    if (!answered) {
        if (delivered)
            *delivered = sent;
        return QStringLiteral("она не ответила за %1 с").arg(kForwardTimeoutMs / 1000);
    }
    if (status == 429)
        return QStringLiteral("она ждёт ответа на предыдущий запрос — ответьте в её окне и повторите попытку");
    if (status != 0)
        return QStringLiteral("она отклонила запрос (код ответа %1)").arg(status);
    if (error == QNetworkReply::ConnectionRefusedError)
        return QStringLiteral("она не принимает запросы на порту %1").arg(port);
    return QStringLiteral("соединение с ней не удалось (код ошибки %1)").arg(int(error));
}

QString forwardToRunningInstance(const std::optional<pacs::PacsOpenRequest>& request, bool* delivered)
{
    QString problem;
    bool handedOver = false;
    if (request) {
        QJsonObject body;
        body.insert(QStringLiteral("studyInstanceUID"), request->studyInstanceUid);
        body.insert(QStringLiteral("serverHost"), request->serverHost);
        body.insert(QStringLiteral("serverPort"), request->serverPort);
        body.insert(QStringLiteral("serverAeTitle"), request->serverAeTitle);
        problem = postToRunningInstance(kalvenor::LocalApiServer::configuredPort(), QStringLiteral("/pacs/open"), body,
                                        &handedOver);
        if (!problem.isEmpty() && handedOver)
            problem = QStringLiteral("Запрос на открытие исследования %1 передан уже запущенной программе, но она занята "
                                     "и пока не ответила — исследование откроется, когда она освободится. Запускать "
                                     "его снова не нужно.")
                          .arg(request->studyInstanceUid);
        else if (!problem.isEmpty())
            problem = QStringLiteral("Исследование %1 не открыто: программа уже запущена, но передать ей запрос "
                                     "не удалось — %2.")
                          .arg(request->studyInstanceUid, problem);
    } else {
        problem = postToRunningInstance(kalvenor::LocalApiServer::configuredPort(), QStringLiteral("/focus"), QJsonObject(),
                                        &handedOver);
        if (!problem.isEmpty() && handedOver)
            problem = QStringLiteral("Программа уже запущена и получила запрос, но она занята и пока не ответила — её "
                                     "окно появится, когда она освободится.");
        else if (!problem.isEmpty())
            problem = QStringLiteral("Программа уже запущена, но вывести её окно на передний план не удалось — %1.")
                          .arg(problem);
    }
    dicom::unregisterCodecs();
    if (delivered)
        *delivered = handedOver;
    return problem;
}
