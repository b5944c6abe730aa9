#pragma once

#include <array>
#include <cmath>

namespace render {

using Vec3d = std::array<double, 3>;

inline Vec3d operator+(const Vec3d& a, const Vec3d& b)
{
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}

inline Vec3d operator-(const Vec3d& a, const Vec3d& b)
{
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

inline Vec3d operator*(double s, const Vec3d& a)
{
    return {s * a[0], s * a[1], s * a[2]};
}

inline double dot(const Vec3d& a, const Vec3d& b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

inline Vec3d cross(const Vec3d& a, const Vec3d& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline double length(const Vec3d& a)
{
    return std::sqrt(dot(a, a));
}

// The vector divided by its length, or the zero vector when it is shorter than 1e-9; callers treat
// a zero axis as having no direction. Shared by vessel tracing and the curved reconstruction.
inline Vec3d normalizedOrZero(const Vec3d& v)
{
    const double len = length(v);
    if (!(len >= 1e-9))
        return {0.0, 0.0, 0.0};
    return {v[0] / len, v[1] / len, v[2] / len};
}

} // namespace render
