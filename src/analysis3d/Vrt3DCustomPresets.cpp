// The user's own transfer-function presets, kept in the settings as "name|value,r,g,b,opacity;…".
// The points never hold a "|", so the name is everything before the last one: a name may hold "|" too.
#include "analysis3d/Vrt3DWindow.h"

#include <QDir>
#include <QSettings>

#include <algorithm>
#include <cmath>

namespace {

const QString kCustomPresetsKey = QStringLiteral("vrt/customPresets");

QString numberText(double value)
{
    return QString::number(value, 'g', 6);
}

QString presetElement(const render::TransferFunctionPreset& preset)
{
    QStringList points;
    points.reserve(preset.points.size());
    for (const render::TransferFunctionPoint& p : preset.points)
        points.append(QStringLiteral("%1,%2,%3,%4,%5")
                          .arg(numberText(p.value))
                          .arg(p.color.red())
                          .arg(p.color.green())
                          .arg(p.color.blue())
                          .arg(numberText(p.opacity)));
    return preset.name + QLatin1Char('|') + points.join(QLatin1Char(';'));
}

int channel(const QString& text)
{
    // A hand-edited value outside 0..255 is held at the nearer end rather than making the colour invalid.
    return std::clamp(text.toInt(nullptr, 10), 0, 255);
}

qsizetype nameEnd(const QString& element)
{
    return element.lastIndexOf(QLatin1Char('|'));
}

} // namespace

QList<render::TransferFunctionPreset> Vrt3DWindow::loadCustomPresets()
{
    QList<render::TransferFunctionPreset> presets;
    const QStringList elements = QSettings().value(kCustomPresetsKey).toStringList();
    for (const QString& element : elements) {
        const qsizetype bar = nameEnd(element);
        if (bar < 0)
            continue;
        render::TransferFunctionPreset preset;
        preset.name = element.left(bar);
        const QStringList parts = element.mid(bar + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (const QString& part : parts) {
            const QStringList fields = part.split(QLatin1Char(','), Qt::KeepEmptyParts);
            if (fields.size() != 5)
                continue;
            render::TransferFunctionPoint point;
            point.value = fields[0].toDouble();
            point.color = QColor(channel(fields[1]), channel(fields[2]), channel(fields[3]), 255);
            point.opacity = fields[4].toDouble();
            // "nan" and "inf" parse as numbers; no rendering can use them, so the point goes.
            if (!std::isfinite(point.value) || !std::isfinite(point.opacity))
                continue;
            point.opacity = std::clamp(point.opacity, 0.0, 1.0);
            preset.points.append(point);
        }
        if (preset.points.size() >= 2 && !preset.name.isEmpty())
            presets.append(preset);
    }
    return presets;
}

bool Vrt3DWindow::saveCustomPreset(const render::TransferFunctionPreset& preset, bool* appended, QString* error)
{
    QSettings settings;
    QStringList elements = settings.value(kCustomPresetsKey).toStringList();
    const QString element = presetElement(preset);
    bool replaced = false;
    for (QString& stored : elements) {
        const qsizetype bar = nameEnd(stored);
        const QString name = bar < 0 ? stored : stored.left(bar);
        if (name == preset.name) {
            stored = element;
            replaced = true;
            break;
        }
    }
    if (!replaced)
        elements.append(element);
    settings.setValue(kCustomPresetsKey, elements);
    settings.sync();
    if (appended)
        *appended = !replaced;
    if (settings.status() == QSettings::NoError)
        return true;
    if (error)
        *error = QStringLiteral("Не удалось сохранить пресет «%1»: файл настроек %2 недоступен для записи.")
                     .arg(preset.name, QDir::toNativeSeparators(settings.fileName()));
    return false;
}
