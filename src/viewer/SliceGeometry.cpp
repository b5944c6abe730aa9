#include "viewer/SliceGeometry.h"

#include <algorithm>
#include <cmath>

QVector3D normalizedDirection(const QVector3D& v)
{
    const double length = std::sqrt(double(v.x()) * v.x() + double(v.y()) * v.y() + double(v.z()) * v.z());
    if (std::abs(length - 1.0) <= 1e-5 || length <= 1e-5)
        return v;
    return QVector3D(float(v.x() / length), float(v.y() / length), float(v.z() / length));
}

SliceGeometry makeSliceGeometry(const db::InstanceRecord& slice, int width, int height)
{
    SliceGeometry g;
    if (!slice.hasSpatialInfo || width < 1 || height < 1)
        return g;
    g.origin = QVector3D(float(slice.imagePosition[0]), float(slice.imagePosition[1]), float(slice.imagePosition[2]));
    const QVector3D row(float(slice.orientationRow[0]), float(slice.orientationRow[1]), float(slice.orientationRow[2]));
    const QVector3D col(float(slice.orientationCol[0]), float(slice.orientationCol[1]), float(slice.orientationCol[2]));
    if (row.lengthSquared() < 1e-6f || col.lengthSquared() < 1e-6f)
        return g;
    g.rowDirection = normalizedDirection(row);
    g.colDirection = normalizedDirection(col);
    g.normal = normalizedDirection(QVector3D::crossProduct(g.rowDirection, g.colDirection));
    g.spacingX = slice.pixelSpacingX > 0.0 ? slice.pixelSpacingX : 1.0;
    g.spacingY = slice.pixelSpacingY > 0.0 ? slice.pixelSpacingY : 1.0;
    g.width = width;
    g.height = height;
    g.valid = true;
    return g;
}

ReferenceLine3D intersectSlicePlanes(const SliceGeometry& a, const SliceGeometry& b)
{
    ReferenceLine3D line;
    const QVector3D d = QVector3D::crossProduct(a.normal, b.normal);
    if (d.lengthSquared() < 1e-8f)
        return line;
    const float h1 = QVector3D::dotProduct(a.normal, a.origin);
    const float h2 = QVector3D::dotProduct(b.normal, b.origin);
    const double alpha = QVector3D::dotProduct(a.normal, a.normal);
    const double beta = QVector3D::dotProduct(b.normal, b.normal);
    const double gamma = QVector3D::dotProduct(a.normal, b.normal);
    const double det = alpha * beta - gamma * gamma;
    if (std::abs(det) < 1e-8)
        return line;
    const double k1 = (beta * h1 - gamma * h2) / det;
    const double k2 = (alpha * h2 - gamma * h1) / det;
    line.point = float(k1) * a.normal + float(k2) * b.normal;
    line.direction = normalizedDirection(d);
    line.valid = true;
    return line;
}

QPointF patientToImage(const SliceGeometry& g, const QVector3D& patient)
{
    const QVector3D rel = patient - g.origin;
    return QPointF(double(QVector3D::dotProduct(rel, g.rowDirection)) / g.spacingX,
                   double(QVector3D::dotProduct(rel, g.colDirection)) / g.spacingY);
}

std::optional<QLineF> clipLineToImage(const SliceGeometry& g, const ReferenceLine3D& line)
{
    const QPointF p0 = patientToImage(g, line.point);
    const QPointF p1 = patientToImage(g, line.point + 1000.0f * line.direction);
    const double u0 = p0.x(), v0 = p0.y();
    const double du = p1.x() - u0, dv = p1.y() - v0;
    if (std::hypot(du, dv) < 1e-6)
        return std::nullopt;

    // Liang-Barsky: each edge as p * t <= q; p < 0 enters the image, p > 0 leaves it.
    const double p[4] = {-du, du, -dv, dv};
    const double q[4] = {u0, g.width - u0, v0, g.height - v0};
    double tMin = -1e9, tMax = 1e9;
    for (int i = 0; i < 4; ++i) {
        if (std::abs(p[i]) < 1e-9) {
            if (q[i] < 0.0)
                return std::nullopt;
            continue;
        }
        const double r = q[i] / p[i];
        if (p[i] < 0.0)
            tMin = std::max(tMin, r);
        else
            tMax = std::min(tMax, r);
        if (tMin > tMax)
            return std::nullopt;
    }
    return QLineF(u0 + tMin * du, v0 + tMin * dv, u0 + tMax * du, v0 + tMax * dv);
}
