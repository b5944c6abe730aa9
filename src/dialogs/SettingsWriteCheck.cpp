#include "dialogs/SettingsWriteCheck.h"

#include <QDir>
#include <QMessageBox>
#include <QSettings>

bool confirmSettingsWritten(QWidget* parent, const QString& title)
{
    QSettings settings;
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    QMessageBox::warning(parent, title,
                         QStringLiteral("Не удалось сохранить настройки: файл %1 недоступен для записи.")
                             .arg(QDir::toNativeSeparators(settings.fileName())));
    return false;
}
