#pragma once

#include <QColor>
#include <QList>
#include <QString>

namespace render {

struct TransferFunctionPoint
{
    double value = 0.0; // HU
    QColor color;       // only red, green and blue are used
    double opacity = 0.0;
};

// A named list of control points in increasing value.
struct TransferFunctionPreset
{
    QString name;
    QList<TransferFunctionPoint> points;
};

// The ten built-in presets, built once and never changed.
const QList<TransferFunctionPreset>& transferFunctionPresets();

// Colour (red, green, blue in 0..1) of the function at `value`; white for a function without points.
void sampleTransferFunctionColor(const TransferFunctionPreset& function, float rgb[3], double value);
// Opacity of the function at `value` by the same rule; 0 for a function without points.
double sampleTransferFunctionOpacity(const TransferFunctionPreset& function, double value);

} // namespace render
