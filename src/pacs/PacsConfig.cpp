#include "pacs/PacsConfig.h"

#include "pacs/PacsRequestChecks.h"

#include <QSettings>
#include <QtDebug>

namespace pacs {

namespace {

void notice(QStringList* notices, const QString& text)
{
    qWarning().noquote() << text;
    if (notices)
        notices->append(text);
}

} // namespace

PacsConfig loadPacsConfig(QStringList* notices)
{
    PacsConfig config;
    const QString defaultTitle = config.localAeTitle;
    QSettings settings;
    settings.beginGroup(QStringLiteral("pacs"));
    config.localPort = settings.value(QStringLiteral("localPort"), 11112).toInt();
    config.localAeTitle = settings.value(QStringLiteral("localAeTitle"), defaultTitle).toString();
    if (!isValidAeTitle(config.localAeTitle)) {
        notice(notices, QStringLiteral("Сохранённый «Мой AE-заголовок» («%1») недопустим — используется «%2».")
                            .arg(config.localAeTitle, defaultTitle));
        config.localAeTitle = defaultTitle;
    }
    config.moveDestinationAeTitle = settings.value(QStringLiteral("moveDestinationAeTitle")).toString();
    if (!config.moveDestinationAeTitle.isEmpty() && !isValidAeTitle(config.moveDestinationAeTitle)) {
        notice(notices, QStringLiteral("Сохранённый «AE-заголовок назначения для C-MOVE» («%1») недопустим — "
                                       "используется «Мой AE-заголовок».")
                            .arg(config.moveDestinationAeTitle));
        config.moveDestinationAeTitle.clear();
    }

    const int count = settings.beginReadArray(QStringLiteral("servers"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        PacsServer server;
        server.host = settings.value(QStringLiteral("host")).toString();
        server.port = settings.value(QStringLiteral("port"), 104).toInt(); // non-numeric text gives 0
        server.aeTitle = settings.value(QStringLiteral("aeTitle")).toString();
        server.description = settings.value(QStringLiteral("description")).toString();
        server.retrieveMode = settings.value(QStringLiteral("retrieveMode"), 0).toInt() == 1 ? 1 : 0;
        if (server.host.isEmpty())
            continue;
        if (!isValidAeTitle(server.aeTitle))
            notice(notices, QStringLiteral("У сервера %1 сохранён недопустимый AE-заголовок («%2») — обращения к "
                                           "нему не выполняются, пока он не исправлен в настройках PACS.")
                                .arg(server.host, server.aeTitle));
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
