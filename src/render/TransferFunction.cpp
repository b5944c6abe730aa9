#include "render/TransferFunction.h"

namespace render {

namespace {

// Where `value` falls: the point pair (i, i + 1) and the blend t towards i + 1.
struct Segment
{
    int index = 0;
    double t = 0.0;
};

Segment locate(const QList<TransferFunctionPoint>& points, double value)
{
    const int n = int(points.size());
    if (value <= points.first().value)
        return {0, 0.0};
    if (value >= points.last().value)
        return {n - 1, 0.0};
    for (int i = 0; i + 1 < n; ++i) {
        const double a = points[i].value, b = points[i + 1].value;
        if (a <= value && value <= b) {
            const double span = b - a;
            return {i, span > 0.0 ? (value - a) / span : 0.0};
        }
    }
    return {n - 1, 0.0}; // points out of order
}

TransferFunctionPoint point(double value, int r, int g, int b, double opacity)
{
    return {value, QColor(r, g, b, 255), opacity};
}

} // namespace

const QList<TransferFunctionPreset>& transferFunctionPresets()
{
    static const QList<TransferFunctionPreset> presets = [] {
        QList<TransferFunctionPreset> list;
        list.append({QStringLiteral("Кости"),
                     {point(-200, 233, 189, 152, 0), point(150, 233, 189, 152, 0), point(226, 230, 190, 140, 0.18),
                      point(500, 235, 198, 148, 0.55), point(900, 240, 206, 155, 0.85),
                      point(1300, 245, 214, 165, 0.97)}});
        list.append({QStringLiteral("Сосуды (контраст)"),
                     {point(40, 120, 20, 20, 0), point(100, 150, 25, 25, 0.05), point(180, 200, 35, 30, 0.45),
                      point(300, 230, 60, 40, 0.8), point(500, 255, 140, 100, 0.95)}});
        list.append({QStringLiteral("Кожа"),
                     {point(-300, 200, 150, 120, 0), point(-120, 210, 160, 130, 0.08),
                      point(-50, 224, 172, 142, 0.3), point(30, 233, 189, 152, 0.55),
                      point(150, 220, 175, 145, 0.35)}});
        list.append({QStringLiteral("Воздух/лёгкие"),
                     {point(-1000, 150, 195, 245, 0), point(-920, 150, 195, 245, 0), point(-800, 165, 205, 245, 0.05),
                      point(-650, 185, 213, 245, 0.45), point(-500, 200, 215, 240, 0.05),
                      point(-350, 205, 215, 230, 0)}});
        list.append({QStringLiteral("Мягкие ткани"),
                     {point(-150, 180, 90, 90, 0), point(-50, 190, 100, 95, 0.05), point(20, 205, 120, 110, 0.25),
                      point(80, 215, 140, 125, 0.45), point(150, 225, 160, 140, 0.55),
                      point(250, 230, 175, 150, 0.35)}});
        list.append({QStringLiteral("Мышцы"),
                     {point(0, 140, 60, 55, 0), point(35, 150, 65, 60, 0.15), point(55, 165, 75, 68, 0.45),
                      point(80, 178, 85, 75, 0.65), point(120, 190, 100, 88, 0.5)}});
        list.append({QStringLiteral("Металл (импланты)"),
                     {point(1300, 185, 185, 195, 0), point(1500, 205, 205, 215, 0.35),
                      point(2000, 225, 225, 235, 0.75), point(3000, 245, 245, 252, 0.97)}});
        list.append({QStringLiteral("Кальцинаты"),
                     {point(130, 255, 220, 90, 0), point(200, 255, 225, 100, 0.2), point(400, 255, 230, 115, 0.55),
                      point(700, 255, 235, 135, 0.88)}});
        list.append({QStringLiteral("Эндоскопия (внутренняя поверхность просвета)"),
                     {point(-1000, 210, 130, 120, 0), point(-650, 210, 130, 120, 0), point(-560, 220, 140, 128, 0.35),
                      point(-480, 228, 148, 134, 0.8), point(-380, 232, 152, 138, 0.97),
                      point(3000, 232, 152, 138, 0.99)}});
        list.append({QStringLiteral("Обзор просвета (снаружи)"),
                     {point(-1000, 150, 150, 155, 0), point(-650, 150, 150, 155, 0), point(-560, 170, 170, 175, 0.3),
                      point(-420, 195, 195, 200, 0.75), point(-350, 210, 210, 215, 0.92),
                      point(3000, 215, 215, 220, 0.96)}});
        return list;
    }();
    return presets;
}

void sampleTransferFunctionColor(const TransferFunctionPreset& function, float rgb[3], double value)
{
    const auto& pts = function.points;
    if (pts.isEmpty()) {
        rgb[0] = rgb[1] = rgb[2] = 1.0f;
        return;
    }
    const Segment s = locate(pts, value);
    const QColor& a = pts[s.index].color;
    if (s.t == 0.0 || s.index + 1 >= pts.size()) {
        rgb[0] = float(a.redF());
        rgb[1] = float(a.greenF());
        rgb[2] = float(a.blueF());
        return;
    }
    const QColor& b = pts[s.index + 1].color;
    const double t = s.t;
    rgb[0] = float((1.0 - t) * a.redF() + t * b.redF());
    rgb[1] = float((1.0 - t) * a.greenF() + t * b.greenF());
    rgb[2] = float((1.0 - t) * a.blueF() + t * b.blueF());
}

double sampleTransferFunctionOpacity(const TransferFunctionPreset& function, double value)
{
    const auto& pts = function.points;
    if (pts.isEmpty())
        return 0.0;
    const Segment s = locate(pts, value);
    if (s.t == 0.0 || s.index + 1 >= pts.size())
        return pts[s.index].opacity;
    return (1.0 - s.t) * pts[s.index].opacity + s.t * pts[s.index + 1].opacity;
}

} // namespace render
