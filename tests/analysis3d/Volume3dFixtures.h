#pragma once
// Small synthetic volumes for the 3D view and window tests.

#include "render/Volume.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QWheelEvent>
#include <QWidget>

#include <functional>

namespace vol3dtest {

inline render::Volume filledVolume(int nx, int ny, int nz, const std::function<float(int, int, int)>& value,
                                   double spacing = 1.0)
{
    render::Volume v;
    v.nx = nx;
    v.ny = ny;
    v.nz = nz;
    v.spacingX = v.spacingY = v.spacingZ = spacing;
    v.voxels.resize(size_t(nx) * ny * nz);
    v.minValue = 1e30;
    v.maxValue = -1e30;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const float f = value(x, y, z);
                v.voxels[v.index(x, y, z)] = f;
                v.minValue = std::min(v.minValue, double(f));
                v.maxValue = std::max(v.maxValue, double(f));
            }
    return v;
}

// A bright block (1000) in the middle third of a dark (-1000) cube.
inline render::Volume centredBlock(int n = 24, double spacing = 1.0)
{
    return filledVolume(n, n, n, [n](int x, int y, int z) {
        const auto in = [n](int c) { return c >= n / 3 && c < 2 * n / 3; };
        return in(x) && in(y) && in(z) ? 1000.f : -1000.f;
    }, spacing);
}

// One wheel step over the middle of the widget.
inline void wheel(QWidget* w, int deltaY)
{
    const QPointF pos(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent event(pos, w->mapToGlobal(pos), QPoint(), QPoint(0, deltaY), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &event);
}

} // namespace vol3dtest
