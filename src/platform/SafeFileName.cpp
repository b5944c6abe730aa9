#include "platform/SafeFileName.h"

#include <QRegularExpression>
#include <QSet>

namespace {

constexpr int MaxNameLength = 100;

// Windows opens the device, not a folder, for these names, whatever extension follows them.
bool isReservedDeviceName(const QString& name)
{
    static const QSet<QString> reserved = [] {
        QSet<QString> names{QStringLiteral("CON"),    QStringLiteral("PRN"),    QStringLiteral("AUX"),
                            QStringLiteral("NUL"),    QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
        for (const QChar digit : QStringLiteral("0123456789¹²³"))
            names << QStringLiteral("COM") + digit << QStringLiteral("LPT") + digit;
        return names;
    }();
    return reserved.contains(name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper());
}

void stripDots(QString& name)
{
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
}

} // namespace

QString makeSafeFolderName(const QString& patientName, const QString& patientId)
{
    static const QString noName = QStringLiteral("Без_имени");
    static const QRegularExpression forbidden(QStringLiteral("[\\\\/:*?\"<>|]"));
    QString name = patientName.isEmpty() ? noName : patientName;
    if (!patientId.isEmpty())
        name += QLatin1Char('_') + patientId;
    name = name.simplified();
    name.replace(forbidden, QStringLiteral("_"));
    name.replace(QLatin1Char(' '), QLatin1Char('_'));
    // Control characters are not whitespace to simplified() but no file system wants them in a name.
    for (QChar& c : name)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('_');
    stripDots(name);
    if (name.size() > MaxNameLength) {
        // Never half of a surrogate pair at the cut.
        name.truncate(name.at(MaxNameLength - 1).isHighSurrogate() ? MaxNameLength - 1 : MaxNameLength);
        stripDots(name);
    }
    if (name.isEmpty())
        return noName;
    return withoutReservedDeviceName(name);
}

QString withoutReservedDeviceName(const QString& name)
{
    return isReservedDeviceName(name) ? QLatin1Char('_') + name : name;
}
