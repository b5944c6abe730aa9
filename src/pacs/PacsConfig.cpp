#include "pacs/PacsConfig.h"

#include <QSettings>

namespace pacs {

PacsConfig loadPacsConfig()
{
    PacsConfig config;
    QSettings settings;
    settings.beginGroup(QStringLiteral("pacs"));
    config.localPort = settings.value(QStringLiteral("localPort"), 11112).toInt();
    config.localAeTitle = settings.value(QStringLiteral("localAeTitle"), QStringLiteral("VAVOVIVIRUR")).toString();
    config.moveDestinationAeTitle = settings.value(QStringLiteral("moveDestinationAeTitle")).toString();

    const int count = settings.beginReadArray(QStringLiteral("servers"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        PacsServer server;
        server.host = settings.value(QStringLiteral("host")).toString();
        server.port = settings.value(QStringLiteral("port"), 104).toInt(); // non-numeric text gives 0
        server.aeTitle = settings.value(QStringLiteral("aeTitle")).toString();
        server.description = settings.value(QStringLiteral("description")).toString();
        server.retrieveMode = settings.value(QStringLiteral("retrieveMode"), 0).toInt() == 1 ? 1 : 0;
        if (!server.host.isEmpty())
            config.servers.append(server);
    }
    settings.endArray();
    settings.endGroup();
    return config;
}

void savePacsConfig(const PacsConfig& config)
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("pacs"));
    settings.setValue(QStringLiteral("localPort"), config.localPort);
    settings.setValue(QStringLiteral("localAeTitle"), config.localAeTitle);
    settings.setValue(QStringLiteral("moveDestinationAeTitle"), config.moveDestinationAeTitle);

    // Drop the old entries first: a shorter list must not leave stale servers behind.
    settings.remove(QStringLiteral("servers"));
    settings.beginWriteArray(QStringLiteral("servers"));
    for (int i = 0; i < config.servers.size(); ++i) {
        const PacsServer& server = config.servers.at(i);
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("host"), server.host);
        settings.setValue(QStringLiteral("port"), server.port);
        settings.setValue(QStringLiteral("aeTitle"), server.aeTitle);
        settings.setValue(QStringLiteral("description"), server.description);
        settings.setValue(QStringLiteral("retrieveMode"), server.retrieveMode == 1 ? 1 : 0);
    }
    settings.endArray();
    settings.endGroup();
}

} // namespace pacs
