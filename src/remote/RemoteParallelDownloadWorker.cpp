#include "remote/RemoteParallelDownloadWorker.h"

#include "remote/RemoteAccessClient.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <QtDebug>

#include <memory>

RemoteParallelDownloadWorker::RemoteParallelDownloadWorker(const QString& host, int port, const QString& token,
                                                           const QString& certFingerprint, const QString& secret,
                                                           const QString& studyUid,
                                                           const QString& destDir, int firstIndex, int endIndex,
                                                           const QString& listenerId, QObject* parent)
    : QObject(parent)
    , host(host)
    , port(port)
    , token(token)
    , certFingerprint(certFingerprint)
    , secret(secret)
    , studyUid(studyUid)
    , destDir(destDir)
    , firstIndex(firstIndex)
    , endIndex(endIndex)
    , listenerId(listenerId)
{
}

void RemoteParallelDownloadWorker::requestStop()
{
    stopRequested.store(true);
}

void RemoteParallelDownloadWorker::run()
{
    // The client lives on this thread for the run only; its end closes the connection.
    auto client = std::make_unique<RemoteAccessClient>();
    QString error;
    bool connected = false;
    for (int attempt = 0; attempt < connectAttempts && !connected; ++attempt) {
        if (attempt > 0)
            QThread::msleep(pauseMs);
        connected = client->connectToServer(host, port, token, certFingerprint, secret, &error, connectTimeoutMs, listenerId);
    }
    if (!connected) {
        emit fileFailed(QStringLiteral("не удалось подключиться: %1").arg(error));
        emit finished();
        return;
    }

    const QDir dir(destDir);
    for (int index = firstIndex; index < endIndex; ++index) {
        if (stopRequested.load()) {
            emit finished();
            return;
        }
        const QString filePath = dir.filePath(QStringLiteral("%1.dcm").arg(index));
        const QString markerPath = dir.filePath(QStringLiteral("%1.dcm.done").arg(index));
        if (QFile::exists(markerPath)) {
            emit fileDownloaded(index, filePath);
            continue;
        }

        QString lastError;
        bool done = false;
        for (int attempt = 0; attempt < downloadTries && !done; ++attempt) {
            if (stopRequested.load())
                break;
            if (attempt > 0) {
                QThread::msleep(pauseMs);
                if (!client->isConnected()
                    && !client->connectToServer(host, port, token, certFingerprint, secret, &lastError, connectTimeoutMs,
                                                listenerId))
                    continue;
            }
            done = client->downloadFile(studyUid, index, filePath, {}, &lastError, downloadTimeoutMs);
        }
        if (!done) {
            emit fileFailed(QStringLiteral("файл %1: %2").arg(index).arg(lastError));
            emit finished();
            return;
        }

        QFile marker(markerPath);
        if (!marker.open(QIODevice::WriteOnly))
            qWarning() << "RemoteParallelDownloadWorker: не удалось создать файл-маркер" << marker.fileName();
        emit fileDownloaded(index, filePath);
    }
    emit finished();
}
