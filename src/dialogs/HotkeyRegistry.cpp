#include "dialogs/HotkeyRegistry.h"

#include <QSettings>

const QList<HotkeyAction>& hotkeyRegistry()
{
    static const QList<HotkeyAction> registry = [] {
        auto native = [](const char* text) {
            return QKeySequence(QString::fromLatin1(text), QKeySequence::NativeText);
        };
        return QList<HotkeyAction>{
            {QStringLiteral("mainwindow.openFolder"), QStringLiteral("Открыть каталог DICOM"), native("Ctrl+Shift+O")},
            {QStringLiteral("viewer.export"), QStringLiteral("Экспортировать изображения"), native("Ctrl+E")},
            {QStringLiteral("viewer.copyOne"), QStringLiteral("Копировать в буфер обмена"), native("Ctrl+C")},
            {QStringLiteral("viewer.copyAll"), QStringLiteral("Копировать всё в буфер обмена"), native("Shift+C")},
            {QStringLiteral("viewer.rotateCcw"), QStringLiteral("Повернуть на 90° против часовой"), native("Ctrl+[")},
            {QStringLiteral("viewer.rotateCw"), QStringLiteral("Повернуть на 90° по часовой"), native("Ctrl+]")},
            {QStringLiteral("viewer.flipH"), QStringLiteral("Отразить горизонтально"), native("Ctrl+Shift+[")},
            {QStringLiteral("viewer.flipV"), QStringLiteral("Отразить вертикально"), native("Ctrl+Shift+]")},
            {QStringLiteral("viewer.clearTransform"), QStringLiteral("Очистить преобразования"), native("Ctrl+Shift+\\")},
            {QStringLiteral("viewer.mprWindow"), QStringLiteral("Открыть MPR"), QKeySequence(Qt::Key_F2)},
        };
    }();
    return registry;
}

QKeySequence hotkeySequence(const QString& actionId)
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("hotkeys"));
    if (settings.contains(actionId)) {
        // Overrides are written as portable text; reading them back the same way keeps a stored
        // shortcut from failing to parse where native key names differ.
        return QKeySequence::fromString(settings.value(actionId).toString(), QKeySequence::PortableText);
    }
    for (const HotkeyAction& action : hotkeyRegistry()) {
        if (action.id == actionId)
            return action.defaultSequence;
    }
    return {};
}

QString hotkeyWindowOf(const QString& actionId)
{
    return actionId.section(QLatin1Char('.'), 0, 0);
}
