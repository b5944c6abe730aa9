#include "app/InstanceForwarding.h"

#include "app/LocalApiServer.h"
#include "dicom/CodecRegistration.h"
#include "platform/SingleInstanceLock.h"
#include "platform/TerminationSignals.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <utility>

QString postToRunningInstance(quint16 port, const QString& path, const QJsonObject& body, bool* delivered,
                              bool* notListening)
{
    if (delivered)
        *delivered = false;
    if (notListening)
        *notListening = false;
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
    const QByteArray answerBody = answered ? reply->read(4096) : QByteArray();
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
    // Both refusals are 429; the reason tells a full waiting line from a box the user has yet to answer.
    if (status == 429 && answerBody.contains("wait to be retrieved"))
        return QStringLiteral("в её очереди уже слишком много исследований на загрузку — повторите попытку позже");
    if (status == 429)
        return QStringLiteral("она ждёт ответа на предыдущий запрос — ответьте в её окне и повторите попытку");
    if (status != 0)
        return QStringLiteral("она отклонила запрос (код ответа %1)").arg(status);
    if (error == QNetworkReply::ConnectionRefusedError && notListening)
        *notListening = true;
    if (error == QNetworkReply::ConnectionRefusedError)
        return QStringLiteral("она не принимает запросы на порту %1").arg(port);
    return QStringLiteral("соединение с ней не удалось (код ошибки %1)").arg(int(error));
}

namespace {

// One try at handing the request over, before anything is made of its outcome.
struct Attempt
{
    QString problem;           // why the running copy did not take it, empty when it did
    bool handedOver = false;   // it has the request, though it may not have answered yet
    bool notListening = false; // nothing listens on its port (yet)
};

Attempt attemptForward(const std::optional<pacs::PacsOpenRequest>& request)
{
    Attempt attempt;
    const quint16 port = kalvenor::LocalApiServer::configuredPort();
    if (request) {
        QJsonObject body;
        body.insert(QStringLiteral("studyInstanceUID"), request->studyInstanceUid);
        body.insert(QStringLiteral("serverHost"), request->serverHost);
        body.insert(QStringLiteral("serverPort"), request->serverPort);
        body.insert(QStringLiteral("serverAeTitle"), request->serverAeTitle);
        attempt.problem = postToRunningInstance(port, QStringLiteral("/pacs/open"), body, &attempt.handedOver,
                                                &attempt.notListening);
    } else {
        attempt.problem = postToRunningInstance(port, QStringLiteral("/focus"), QJsonObject(),
                                                &attempt.handedOver, &attempt.notListening);
    }
    return attempt;
}

// What the user is told of the hand-over, and the codecs released: this copy goes no further. `runningCopy`
// names the copy it went to in what the user is told when that failed (empty: the program that is already
// running).
QString endForwarding(const Attempt& attempt, const std::optional<pacs::PacsOpenRequest>& request,
                      bool* delivered, const QString& runningCopy)
{
    QString problem = attempt.problem;
    const bool handedOver = attempt.handedOver;
    if (request) {
        // Written to the running copy, which has not answered: it may still find it cannot take the
        // request, and then says so in its own window. Nothing here knows whether the study will open.
        if (!problem.isEmpty() && handedOver)
            problem = QStringLiteral("Запрос на открытие исследования %1 передан уже запущенной программе, но она занята "
                                     "и пока не ответила. Открыто ли исследование, будет видно в её окне.")
                          .arg(request->studyInstanceUid);
        else if (!problem.isEmpty())
            problem = QStringLiteral("Исследование %1 не открыто: %2, но передать ей запрос не удалось — %3.")
                          .arg(request->studyInstanceUid,
                               runningCopy.isEmpty() ? QStringLiteral("программа уже запущена") : runningCopy, problem);
    } else {
        if (!problem.isEmpty() && handedOver)
            problem = QStringLiteral("Программа уже запущена и получила запрос, но она занята и пока не ответила — её "
                                     "окно появится, когда она освободится.");
        else if (!problem.isEmpty() && runningCopy.isEmpty())
            problem = QStringLiteral("Программа уже запущена, но вывести её окно на передний план не удалось — %1.")
                          .arg(problem);
        else if (!problem.isEmpty())
            problem = QStringLiteral("Программа не запущена: %1, но вывести её окно на передний план не удалось — %2.")
                          .arg(runningCopy, problem);
    }
    dicom::unregisterCodecs();
    if (delivered)
        *delivered = handedOver;
    return problem;
}

// Which copy holds the data folder, as far as its lock file says.
QString folderInUse(const platform::DataFolderLock& lock)
{
    const platform::DataFolderLock::Holder holder = lock.holder();
    QString where;
    if (!holder.host.isEmpty())
        where = holder.maybeThisComputer() ? QStringLiteral(" на этом компьютере")
                                           : QStringLiteral(" на компьютере «%1»").arg(holder.host);
    return QStringLiteral("папку данных %1 использует другая запущенная копия программы%2")
        .arg(QDir::toNativeSeparators(lock.folder()), where);
}

} // namespace

QString forwardToRunningInstance(const std::optional<pacs::PacsOpenRequest>& request, bool* delivered)
{
    return endForwarding(attemptForward(request), request, delivered, QString());
}

std::optional<ForwardOutcome> forwardUnlessFirst(platform::DataFolderLock& folderLock,
                                                 platform::SingleInstanceLock& sessionLock,
                                                 const std::optional<pacs::PacsOpenRequest>& request,
                                                 const std::function<void()>& whileWaiting)
{
    // A copy listens only some time after it has taken the lock (it writes its record through to the
    // disk first): one that refuses the connection may be starting yet, and is tried again for a while
    // before it is said not to take requests. One that ends meanwhile leaves the folder to this copy.
    QElapsedTimer waited;
    waited.start();
    bool warned = false;
    for (;;) {
        ForwardOutcome outcome;
        QString runningCopy;
        if (folderLock.anotherInstanceRunning()) {
            // The loopback server of a copy on another computer is out of reach, and one on this port here
            // would be some other copy, working on another folder.
            if (!folderLock.holder().maybeThisComputer()) {
                if (request)
                    outcome.message = QStringLiteral("Исследование %1 не открыто: %2. С одной папкой данных "
                                                     "одновременно работает только одна копия программы.")
                                          .arg(request->studyInstanceUid, folderInUse(folderLock));
                else
                    outcome.message =
                        QStringLiteral("Программа не запущена: %1. С одной папкой данных одновременно "
                                       "работает только одна копия программы.")
                            .arg(folderInUse(folderLock));
                return outcome;
            }
            runningCopy = folderInUse(folderLock);
        } else if (folderLock.isHeld()) {
            return std::nullopt;
        } else {
            // No lock can be had in the folder (a network share without locks, no right to write there):
            // copies of one session at least still meet at the session's own.
            if (!std::exchange(warned, true))
                qWarning().noquote() << "DataFolderLock:" << folderLock.failure();
            if (!sessionLock.anotherInstanceRunning())
                return std::nullopt;
        }
        const Attempt attempt = attemptForward(request);
        // A copy asked to end (a logout) waits no longer: nothing here has been touched yet.
        if (!attempt.notListening || waited.elapsed() >= kStartingCopyWaitMs
            || platform::TerminationSignals::requested()) {
            outcome.message = endForwarding(attempt, request, &outcome.delivered, runningCopy);
            return outcome;
        }
        if (whileWaiting)
            whileWaiting();
        QThread::msleep(kStartingCopyRetryMs);
    }
}
