#include "dialogs/PacsEchoWorker.h"

#include "pacs/PacsNetworkClient.h"

#include <QElapsedTimer>

PacsEchoWorker::PacsEchoWorker(QList<pacs::PacsServer> servers, pacs::PacsConfig config, QObject* parent)
    : QObject(parent)
    , m_servers(std::move(servers))
    , m_config(std::move(config))
{
}

void PacsEchoWorker::run()
{
    for (int i = 0; i < m_servers.size(); ++i) {
        const pacs::PacsServer& server = m_servers.at(i);
        QString error;
        QElapsedTimer timer;
        timer.start();
        if (server.host.trimmed().isEmpty()) {
            emit serverChecked(i, false, QStringLiteral("не указан IP-адрес"), 0);
            continue;
        }
        const bool ok = pacs::echoServer(server, m_config, &error);
        const qint64 elapsed = timer.elapsed();
        // A failure must never read as an empty, harmless-looking cell.
        if (!ok && error.trimmed().isEmpty())
            error = QStringLiteral("сервер не ответил на C-ECHO");
        emit serverChecked(i, ok, error, elapsed);
    }
    emit finished();
}
