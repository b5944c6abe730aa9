#pragma once
// Phantom volumes for the vessel and curve tests: a render::FusionVolume with tilted axes and a
// non-zero origin, filled from a function of the patient position, so that every expected value
// is known in patient space independently of the volume's own geometry.

#include "render/FusionVolume.h"

#include <QList>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

namespace phantom {

using Vec3 = std::array<double, 3>;

inline Vec3 add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 mul(double s, const Vec3& a) { return {s * a[0], s * a[1], s * a[2]}; }
inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }
inline Vec3 unit(const Vec3& a) { return mul(1.0 / norm(a), a); }
inline Vec3 cross(const Vec3& a, const Vec3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Distance from p to the segment [a, b], and the fraction along it of the nearest point.
inline double segmentDistance(const Vec3& p, const Vec3& a, const Vec3& b, double* fraction = nullptr)
{
    const Vec3 ab = sub(b, a);
    const double t = std::clamp(dot(sub(p, a), ab) / dot(ab, ab), 0.0, 1.0);
    if (fraction)
        *fraction = t;
    return norm(sub(p, add(a, mul(t, ab))));
}

struct Box
{
    Vec3 centre{12.0, -30.0, 45.0};
    double halfExtent = 30.0; // mm along each (tilted) axis
    std::array<double, 3> spacing{0.5, 0.5, 0.5};
    bool tilted = true;
};

// A cube of voxels around box.centre, with axes turned away from the patient axes when tilted.
inline render::FusionVolume makeVolume(const Box& box, const std::function<float(const Vec3&)>& value)
{
    render::FusionVolume v;
    if (box.tilted) {
        v.rowDir = unit({1.0, 0.18, -0.12});
        const Vec3 c0 = unit({-0.15, 1.0, 0.2});
        v.colDir = unit(sub(c0, mul(dot(c0, v.rowDir), v.rowDir)));
        v.sliceDir = cross(v.rowDir, v.colDir);
    }
    v.spacing = box.spacing;
    const int n[3] = {int(std::ceil(2 * box.halfExtent / box.spacing[0])) + 1,
                      int(std::ceil(2 * box.halfExtent / box.spacing[1])) + 1,
                      int(std::ceil(2 * box.halfExtent / box.spacing[2])) + 1};
    v.nx = n[0];
    v.ny = n[1];
    v.nz = n[2];
    v.origin = sub(box.centre, add(add(mul((n[0] - 1) * box.spacing[0] / 2, v.rowDir),
                                       mul((n[1] - 1) * box.spacing[1] / 2, v.colDir)),
                                   mul((n[2] - 1) * box.spacing[2] / 2, v.sliceDir)));
    v.voxels.resize(size_t(v.nx) * v.ny * v.nz);
    v.minValue = 1e30;
    v.maxValue = -1e30;
    for (int k = 0; k < v.nz; ++k)
        for (int j = 0; j < v.ny; ++j)
            for (int i = 0; i < v.nx; ++i) {
                Vec3 p;
                render::voxelToWorld(v, i, j, k, &p[0], &p[1], &p[2]);
                const float x = value(p);
                v.voxels[v.index(i, j, k)] = x;
                v.minValue = std::min(v.minValue, double(x));
                v.maxValue = std::max(v.maxValue, double(x));
            }
    return v;
}

// A tube of `inside` HU around the polyline, radius given per point of the axis by radiusAt
// (fraction along the whole polyline length), in tissue of `outside` HU.
inline std::function<float(const Vec3&)> tube(const QList<Vec3>& axis, std::function<double(double)> radiusAt,
                                              float inside = 300.0f, float outside = 40.0f)
{
    std::vector<double> cum{0.0};
    for (int s = 1; s < axis.size(); ++s)
        cum.push_back(cum.back() + norm(sub(axis[s], axis[s - 1])));
    const double total = cum.back();
    return [=](const Vec3& p) {
        double best = 1e30, bestArc = 0.0;
        for (int s = 1; s < axis.size(); ++s) {
            double f = 0.0;
            const double d = segmentDistance(p, axis[s - 1], axis[s], &f);
            if (d < best) {
                best = d;
                bestArc = cum[size_t(s - 1)] + f * (cum[size_t(s)] - cum[size_t(s - 1)]);
            }
        }
        return best <= radiusAt(bestArc / total) ? inside : outside;
    };
}

inline QList<Vec3> straightLine(const Vec3& a, const Vec3& b, int pieces)
{
    QList<Vec3> out;
    for (int s = 0; s <= pieces; ++s)
        out.append(add(a, mul(double(s) / pieces, sub(b, a))));
    return out;
}

// Quarter-ish arc of radius R in the plane spanned by e1, e2 around centre, from angle a0 to a1.
inline QList<Vec3> arc(const Vec3& centre, const Vec3& e1, const Vec3& e2, double radius, double a0, double a1,
                       int pieces)
{
    QList<Vec3> out;
    for (int s = 0; s <= pieces; ++s) {
        const double a = a0 + (a1 - a0) * s / pieces;
        out.append(add(centre, add(mul(radius * std::cos(a), e1), mul(radius * std::sin(a), e2))));
    }
    return out;
}

} // namespace phantom
