#include "pacs/PacsRequestChecks.h"

#include "platform/OwnFileDoor.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace pacs {

bool isValidDicomUid(const QString& uid)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    return !uid.isEmpty() && uid.size() <= 64 && pattern.match(uid).hasMatch();
}

bool isValidHost(const QString& host)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._:\\[\\]-]+$"));
    return !host.isEmpty() && host.size() <= 253 && pattern.match(host).hasMatch();
}

bool isValidPort(int port)
{
    return port >= 1 && port <= 65535;
}

bool isValidAeTitle(const QString& aeTitle)
{
    if (aeTitle.isEmpty() || aeTitle.size() > 16 || aeTitle.trimmed().isEmpty())
        return false;
    // The default character repertoire: one byte per character on the wire, so 16 characters are the
    // 16 bytes the association allows.
    for (QChar c : aeTitle)
        if (c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    return true;
}

QString pacsDownloadsRoot()
{
    // Absolute, as the rows record their paths, also when the data folder is named relative.
    return QDir::cleanPath(QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                               .absoluteFilePath(QStringLiteral("pacs_downloads")));
}

QString viewOnlyRoot()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
        .filePath(QStringLiteral("vavovivirur_temp"));
}

bool isInsideRoot(const QString& path, const QString& root)
{
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    const QString canonicalPath = QFileInfo(path).canonicalFilePath();
    if (canonicalRoot.isEmpty() || canonicalPath.isEmpty())
        return false;
    return canonicalPath.startsWith(canonicalRoot + QLatin1Char('/'));
}

bool removeTreeInside(const QString& path, const QString& root)
{
    return platform::OwnFileDoor({root}).removeTree(path);
}

} // namespace pacs
