#include "remote/RelayContract.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
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

QString privateFolderCommand()
{
    return QStringLiteral("mktemp -d /tmp/kalvenor-relay.XXXXXXXXXX");
}

QString privateFolderPath(const QString& mktempOutput)
{
    static const QRegularExpression safe(QStringLiteral("^/[A-Za-z0-9._/-]+$"));
    const QString path = mktempOutput.trimmed();
    if (!safe.match(path).hasMatch() || path.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return {};
    return path;
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

QString installerCommand(const QString& login, const QString& folder, int relayPort)
{
    const QString plain = QStringLiteral("bash %1/install.sh %2").arg(folder).arg(relayPort);
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
    if (!portOk || result.port < 1 || result.port > 65535)
        result.port = 0;
    static const QRegularExpression fingerprint(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    static const QRegularExpression whiteSpace(QStringLiteral("\\s"));
    result.ok = result.port != 0 && !result.token.isEmpty() && !result.token.contains(whiteSpace)
                && fingerprint.match(QString(result.certFingerprint).remove(QLatin1Char(':'))).hasMatch();
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
