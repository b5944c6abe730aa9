#include "render/VolumeGeometryWarnings.h"

#include <QtMath>

#include <algorithm>
#include <cmath>

namespace render {

namespace {

// Positions this close along the normal are one slice repeated (the volume builders' own rule).
constexpr double kRepeatedPositionMm = 0.001;
// Below this a tilt is rounding in the stored cosines or a patient lying slightly askew: the planes
// are as good as the patient's.
constexpr double kTiltWarningDegrees = 3.0;
// A slide within the plane up to this share of a pixel is rounding in the stored positions.
constexpr double kShiftWarningPixels = 0.1;

using Vec3 = std::array<double, 3>;

double dot(const Vec3& a, const Vec3& b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

double departureDegrees(const Vec3& v)
{
    const double length = std::sqrt(dot(v, v));
    if (!(length > 1e-9))
        return 0.0;
    const double nearest = std::max({std::abs(v[0]), std::abs(v[1]), std::abs(v[2])}) / length;
    return qRadiansToDegrees(std::acos(std::min(nearest, 1.0)));
}

} // namespace

QString unevenSpacingWarning(const std::vector<double>& sortedPositions)
{
    double smallest = 0.0, largest = 0.0, sum = 0.0;
    int gaps = 0;
    for (size_t i = 1; i < sortedPositions.size(); ++i) {
        const double gap = sortedPositions[i] - sortedPositions[i - 1];
        if (!(gap > kRepeatedPositionMm))
            continue;
        smallest = gaps == 0 ? gap : std::min(smallest, gap);
        largest = gaps == 0 ? gap : std::max(largest, gap);
        sum += gap;
        ++gaps;
    }
    if (gaps < 2)
        return {};
    const double mean = sum / gaps;
    if (!(largest - smallest > std::max(0.1 * mean, 0.1)))
        return {};
    return QStringLiteral("Неравномерный шаг между срезами: от %1 до %2 мм, объём построен с шагом %3 мм — "
                          "расстояния вдоль оси срезов приблизительны")
        .arg(smallest, 0, 'f', 2)
        .arg(largest, 0, 'f', 2)
        .arg(mean, 0, 'f', 2);
}

double stackTiltDegrees(const std::array<double, 3>& row, const std::array<double, 3>& column)
{
    return std::max(departureDegrees(row), departureDegrees(column));
}

QString obliqueStackWarning(const std::array<double, 3>& row, const std::array<double, 3>& column)
{
    const double tilt = stackTiltDegrees(row, column);
    if (!(tilt > kTiltWarningDegrees))
        return {};
    return QStringLiteral("Срезы наклонены к осям пациента на %1° — плоскости реконструкции следуют "
                          "плоскости сканирования, а не осям пациента")
        .arg(tilt, 0, 'f', 0);
}

QString shiftedSlicesWarning(const std::vector<std::array<double, 3>>& positions,
                             const std::array<double, 3>& row, const std::array<double, 3>& column,
                             double pixelSpacingX, double pixelSpacingY)
{
    Vec3 n{row[1] * column[2] - row[2] * column[1], row[2] * column[0] - row[0] * column[2],
           row[0] * column[1] - row[1] * column[0]};
    const double length = std::sqrt(dot(n, n));
    if (positions.size() < 2 || !(length > 1e-9))
        return {};
    for (double& c : n)
        c /= length;
    // The volumes put their first voxel at the lowest slice and step from it along the normal.
    const Vec3& lowest =
        *std::min_element(positions.begin(), positions.end(),
                          [&n](const Vec3& a, const Vec3& b) { return dot(a, n) < dot(b, n); });
    double largest = 0.0;
    for (const Vec3& p : positions) {
        const Vec3 d{p[0] - lowest[0], p[1] - lowest[1], p[2] - lowest[2]};
        const double t = dot(d, n);
        const Vec3 off{d[0] - t * n[0], d[1] - t * n[1], d[2] - t * n[2]};
        largest = std::max(largest, std::sqrt(dot(off, off)));
    }
    const double pixel =
        std::min(pixelSpacingX > 0.0 ? pixelSpacingX : 1.0, pixelSpacingY > 0.0 ? pixelSpacingY : 1.0);
    if (!(largest > kShiftWarningPixels * pixel))
        return {};
    return QStringLiteral("срезы сдвинуты относительно друг друга (наклон гентри) — до %1 мм")
        .arg(largest, 0, 'f', 2);
}

QString joinedWarnings(const QString& first, const QString& second)
{
    if (first.isEmpty())
        return second;
    if (second.isEmpty())
        return first;
    return first + QLatin1Char('\n') + second;
}

QString markedWarnings(const QString& warnings)
{
    if (warnings.isEmpty())
        return {};
    return QStringLiteral("⚠ ") + QString(warnings).replace(QLatin1Char('\n'), QStringLiteral("\n⚠ "));
}

} // namespace render
