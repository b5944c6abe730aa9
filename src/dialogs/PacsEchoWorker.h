#pragma once

#include "pacs/PacsConfig.h"

#include <QList>
#include <QObject>
#include <QString>

// Sends a C-ECHO to each server of its list, one after another, on the thread it was moved to.
// It holds its own copies of the servers and the configuration and touches no widget.
class PacsEchoWorker : public QObject
{
    Q_OBJECT
public:
    PacsEchoWorker(QList<pacs::PacsServer> servers, pacs::PacsConfig config, QObject* parent = nullptr);

signals:
    void serverChecked(int index, bool ok, QString message, qint64 elapsedMs);
    void finished();

public slots:
    void run();

private:
    QList<pacs::PacsServer> m_servers;
    pacs::PacsConfig m_config;
};
