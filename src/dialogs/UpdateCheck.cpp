#include "dialogs/UpdateCheck.h"

#include "dialogs/VendorSite.h"
#include "dialogs/WaitingBox.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <algorithm>
#include <atomic>

namespace {

const QString kCheckTitle = QStringLiteral("Проверка обновлений");

// A stalled site would otherwise keep the check open for good, and a manual check would never answer.
std::atomic<int> s_timeoutMs{15000};

// The update file is a few dozen bytes; a site that sends megabytes is not answering this question,
// and its answer is not gathered in memory.
constexpr qint64 kMaxBodyBytes = 1024 * 1024;

QString checkFailedText(const QString& error)
{
    return QStringLiteral("Не удалось проверить обновления (нет соединения с сайтом или файл "
                          "version.json там пока не опубликован).\n\nОшибка: %1")
        .arg(error);
}

void showCheckFailed(QWidget* parent, const QString& error)
{
    QMessageBox::information(parent, kCheckTitle, checkFailedText(error), QMessageBox::Ok);
}

// Runs inside the reply's own end (its finished is emitted from within its reading, or from an abort
// inside its readyRead), which goes on after this returns: the boxes wait for the user without a loop
// of their own.
void handleReply(QWidget* parent, QNetworkReply* reply, bool startupMode)
{
    reply->deleteLater();
    const QString current = applicationVersionText();

    if (reply->error() != QNetworkReply::NoError) {
        if (!startupMode)
            showWaitingBox(parent, QMessageBox::Information, kCheckTitle, checkFailedText(reply->errorString()));
        return;
    }

    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    const QString version = object.value(QStringLiteral("version")).toString();
    const QString url = object.value(QStringLiteral("url")).toString();

    if (version.isEmpty()) {
        if (!startupMode)
            showWaitingBox(parent, QMessageBox::Information, kCheckTitle,
                           QStringLiteral("Сайт ответил, но не в ожидаемом формате."));
        return;
    }
    if (!isNewerVersion(version, current)) {
        if (!startupMode)
            showWaitingBox(parent, QMessageBox::Information, kCheckTitle,
                           QStringLiteral("У вас установлена последняя версия (%1).").arg(current));
        return;
    }
    // The file comes from the network: a page elsewhere, or an address that is not a web page at all,
    // is not offered to the user.
    if (!url.isEmpty() && !isVendorPageUrl(QUrl(url)))
        return;
    askWaitingBox(parent, QMessageBox::Question, QStringLiteral("Доступно обновление"),
                  QStringLiteral("Доступна новая версия %1 (у вас установлена %2).\n\nОткрыть страницу загрузки?")
                      .arg(version, current),
                  QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, parent,
                  [url](QMessageBox::StandardButton answer) {
                      if (answer == QMessageBox::Yes && !url.isEmpty())
                          QDesktopServices::openUrl(QUrl(url));
                  });
}

} // namespace

void setUpdateCheckTimeout(int milliseconds)
{
    s_timeoutMs = std::max(1, milliseconds);
}

bool isNewerVersion(const QString& remote, const QString& current)
{
    const QStringList a = remote.split(QLatin1Char('.'));
    const QStringList b = current.split(QLatin1Char('.'));
    const qsizetype n = std::max(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        const int x = i < a.size() ? a.at(i).toInt() : 0;
        const int y = i < b.size() ? b.at(i).toInt() : 0;
        if (x != y)
            return x > y;
    }
    return false;
}

void checkForUpdates(QWidget* parent, bool startupMode)
{
    const QUrl url = updateFileUrl();
    if (url.isEmpty()) {
        // Only a test run turns the check off; a manual check still says that nothing was checked.
        if (!startupMode)
            showCheckFailed(parent, QStringLiteral("адрес проверки не задан"));
        return;
    }

    auto* manager = new QNetworkAccessManager(parent);
    QNetworkRequest request(url);
    request.setTransferTimeout(s_timeoutMs.load());
    QNetworkReply* reply = manager->get(request);
    // One byte more than is taken, so that an answer too long shows; the transfer then waits, and
    // the progress it reports never passes the buffer: the answer is judged by its head and its bytes.
    reply->setReadBufferSize(kMaxBodyBytes + 1);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply] {
        if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > kMaxBodyBytes)
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > kMaxBodyBytes)
            reply->abort();
    });
    QObject* context = parent ? static_cast<QObject*>(parent) : manager;
    QObject::connect(reply, &QNetworkReply::finished, context,
                     [parent, reply, startupMode] { handleReply(parent, reply, startupMode); });
}
