#include "db/CleanupSettings.h"

#include <QSettings>

#include <limits>

CleanupSettings loadCleanupSettings()
{
    const CleanupSettings defaults;
    CleanupSettings result;
    QSettings settings;
    settings.beginGroup(QStringLiteral("cleanup"));

    result.byAgeEnabled = settings.value(QStringLiteral("byAgeEnabled"), defaults.byAgeEnabled).toBool();

    // Read wide: a text that overflows an int would otherwise come back silently truncated.
    bool ok = false;
    const qint64 days = settings.value(QStringLiteral("maxAgeDays"), defaults.maxAgeDays).toLongLong(&ok);
    result.maxAgeDays = (ok && days > 0 && days <= std::numeric_limits<int>::max()) ? int(days) : defaults.maxAgeDays;

    result.bySizeEnabled = settings.value(QStringLiteral("bySizeEnabled"), defaults.bySizeEnabled).toBool();

    ok = false;
    const qint64 bytes = settings.value(QStringLiteral("maxSizeBytes"), defaults.maxSizeBytes).toLongLong(&ok);
    result.maxSizeBytes = (ok && bytes > 0) ? bytes : defaults.maxSizeBytes;

    settings.endGroup();
    return result;
}

void saveCleanupSettings(const CleanupSettings& cleanup)
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("cleanup"));
    settings.setValue(QStringLiteral("byAgeEnabled"), cleanup.byAgeEnabled);
    settings.setValue(QStringLiteral("maxAgeDays"), cleanup.maxAgeDays);
    settings.setValue(QStringLiteral("bySizeEnabled"), cleanup.bySizeEnabled);
    settings.setValue(QStringLiteral("maxSizeBytes"), cleanup.maxSizeBytes);
    settings.endGroup();
}
