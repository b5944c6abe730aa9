#include "RelayContract.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>

namespace relay {

QString localInstallFolder()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("relay"));
}

QString installerFileName()
{
    return QStringLiteral("install.sh");
}

QString programFileName(const QString& architecture)
{
    return QStringLiteral("kalvenor-relay-linux-%1").arg(architecture);
}

QString remoteWorkFolder()
{
    return QStringLiteral("/tmp/kalvenor-relay-install");
}

QString architectureFromUname(const QString& unameOutput)
{
    const QString arch = unameOutput.trimmed();
    if (arch == QLatin1String("x86_64") || arch == QLatin1String("amd64"))
        return QStringLiteral("amd64");
    if (arch == QLatin1String("aarch64") || arch == QLatin1String("arm64"))
        return QStringLiteral("arm64");
    return {};
}

QString installerCommand(const QString& login, int relayPort)
{
    const QString plain = QStringLiteral("bash %1/install.sh %2").arg(remoteWorkFolder()).arg(relayPort);
    if (login == QLatin1String("root"))
        return plain;
    return QStringLiteral("sudo -S -p '' ") + plain;
}

QString outputValue(const QString& output, const QString& prefix)
{
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString line = it->trimmed();
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    }
    return {};
}

InstallerResult parseInstallerOutput(const QString& output)
{
    InstallerResult result;
    result.token = outputValue(output, QStringLiteral("TOKEN="));
    result.certFingerprint = outputValue(output, QStringLiteral("CERT_FINGERPRINT_SHA256="));
    bool portOk = false;
    result.port = outputValue(output, QStringLiteral("PORT=")).toInt(&portOk, 10);
    if (!portOk)
        result.port = 0;
    result.ok = portOk && !result.token.isEmpty() && !result.certFingerprint.isEmpty();
    return result;
}

QUrl tunnelUrl(const QString& host, int port, const QString& id, const QString& token)
{
    QUrl url;
    url.setScheme(QStringLiteral("wss"));
    url.setHost(host);
    url.setPort(port);
    url.setPath(QStringLiteral("/tunnel"));
    // Full encoding keeps '+', '&' and '=' inside a token from changing the query's meaning.
    url.setQuery(QStringLiteral("id=%1&token=%2")
                     .arg(QString::fromLatin1(QUrl::toPercentEncoding(id)),
                          QString::fromLatin1(QUrl::toPercentEncoding(token))),
                 QUrl::StrictMode);
    return url;
}

} // namespace relay
