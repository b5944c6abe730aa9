#include "analysis3d/Vrt3DIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

#include <QtMath>

#include <cmath>
#include <functional>

namespace vrt3dicons {

namespace {

constexpr int kSide = 96;
const QColor kLine(207, 216, 227);
const QColor kAccent(90, 170, 255);

QIcon drawn(const std::function<void(QPainter&)>& paint)
{
    QImage image(kSide, kSide, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    paint(p);
    p.end();
    return QIcon(QPixmap::fromImage(image));
}

// A cube in cabinet projection inside the square (x, y, s).
void cube(QPainter& p, double x, double y, double s, const QPen& pen)
{
    const double d = s * 0.3;
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(x, y + d, s - d, s - d));
    p.drawLine(QPointF(x, y + d), QPointF(x + d, y));
    p.drawLine(QPointF(x + d, y), QPointF(x + s, y));
    p.drawLine(QPointF(x + s, y), QPointF(x + s - d, y + d));
    p.drawLine(QPointF(x + s, y), QPointF(x + s, y + s - d));
    p.drawLine(QPointF(x + s, y + s - d), QPointF(x + s - d, y + s));
}

void skull(QPainter& p, const QPointF& c, double r)
{
    p.setPen(QPen(QColor(60, 60, 60), 2));
    p.setBrush(QColor(235, 225, 205));
    QPainterPath head;
    head.addEllipse(c + QPointF(0, -r * 0.15), r, r * 0.9);
    head.addRoundedRect(QRectF(c.x() - r * 0.55, c.y() + r * 0.4, r * 1.1, r * 0.6), 4, 4);
    p.drawPath(head.simplified());
    p.setBrush(QColor(50, 50, 50));
    p.setPen(Qt::NoPen);
    p.drawEllipse(c + QPointF(-r * 0.38, 0), r * 0.24, r * 0.28);
    p.drawEllipse(c + QPointF(r * 0.38, 0), r * 0.24, r * 0.28);
    QPolygonF nose({c + QPointF(0, r * 0.2), c + QPointF(-r * 0.1, r * 0.4), c + QPointF(r * 0.1, r * 0.4)});
    p.drawPolygon(nose);
}

void circularArrow(QPainter& p, const QRectF& box, int startDeg, int spanDeg, const QColor& color)
{
    p.setPen(QPen(color, 5, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(box, startDeg * 16, spanDeg * 16);
    const double end = qDegreesToRadians(double(startDeg + spanDeg));
    const QPointF c = box.center();
    const QPointF tip(c.x() + box.width() / 2 * std::cos(end), c.y() - box.height() / 2 * std::sin(end));
    const QPointF tangent(-std::sin(end) * (spanDeg > 0 ? -1 : 1), -std::cos(end) * (spanDeg > 0 ? -1 : 1));
    const QPointF normal(std::cos(end), -std::sin(end));
    p.setBrush(color);
    p.setPen(Qt::NoPen);
    p.drawPolygon(QPolygonF({tip + tangent * 12, tip + normal * 8, tip - normal * 8}));
}

} // namespace

QIcon presetsIcon()
{
    return drawn([](QPainter& p) {
        QRadialGradient glow(QPointF(38, 50), 40);
        glow.setColorAt(0, QColor(90, 170, 255, 140));
        glow.setColorAt(1, QColor(90, 170, 255, 0));
        p.setBrush(glow);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(38, 50), 40, 40);
        cube(p, 6, 14, 64, QPen(kAccent, 3));
        skull(p, QPointF(33, 52), 16);
        p.setPen(QPen(kLine, 3, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 3; ++i) {
            const double y = 24 + i * 22;
            p.drawLine(QPointF(78, y), QPointF(92, y));
            p.setBrush(kAccent);
            p.drawEllipse(QPointF(i == 1 ? 88 : 82, y), 4, 4);
        }
    });
}

QIcon densityCutIcon()
{
    return drawn([](QPainter& p) {
        cube(p, 12, 12, 72, QPen(kLine, 3, Qt::DashLine));
        p.setPen(QPen(QColor(240, 90, 80), 6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(30, 42), QPointF(58, 70));
        p.drawLine(QPointF(58, 42), QPointF(30, 70));
    });
}

QIcon freeRotationIcon()
{
    return drawn([](QPainter& p) {
        cube(p, 28, 28, 40, QPen(kLine, 3));
        circularArrow(p, QRectF(8, 8, 80, 80), 100, 150, kAccent);
        circularArrow(p, QRectF(8, 8, 80, 80), 280, 150, kAccent);
    });
}

QIcon inPlaneRotationIcon()
{
    return drawn([](QPainter& p) {
        p.setPen(QPen(kLine, 3));
        p.setBrush(QColor(207, 216, 227, 40));
        p.drawPolygon(QPolygonF({QPointF(6, 70), QPointF(30, 50), QPointF(90, 50), QPointF(66, 70)}));
        skull(p, QPointF(48, 40), 16);
        circularArrow(p, QRectF(10, 6, 76, 76), 200, 280, kAccent);
    });
}

QIcon resetViewIcon()
{
    return drawn([](QPainter& p) {
        p.setPen(QPen(kLine, 3));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(48, 48), 18, 18);
        p.drawLine(QPointF(48, 20), QPointF(48, 76));
        p.drawLine(QPointF(20, 48), QPointF(76, 48));
        circularArrow(p, QRectF(8, 8, 80, 80), 120, 280, kAccent);
    });
}

QIcon orientationIcon()
{
    return drawn([](QPainter& p) {
        p.setPen(QPen(kLine, 4, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(kLine);
        p.drawEllipse(QPointF(48, 26), 7, 7);
        p.drawLine(QPointF(48, 34), QPointF(48, 60));
        p.drawLine(QPointF(36, 44), QPointF(60, 44));
        p.drawLine(QPointF(48, 60), QPointF(40, 78));
        p.drawLine(QPointF(48, 60), QPointF(56, 78));
        QFont font = p.font();
        font.setPixelSize(16);
        font.setBold(true);
        p.setFont(font);
        p.setPen(kAccent);
        p.drawText(QRectF(40, 0, 16, 16), Qt::AlignCenter, QStringLiteral("S"));
        p.drawText(QRectF(40, 80, 16, 16), Qt::AlignCenter, QStringLiteral("I"));
        p.drawText(QRectF(6, 40, 16, 16), Qt::AlignCenter, QStringLiteral("R"));
        p.drawText(QRectF(74, 40, 16, 16), Qt::AlignCenter, QStringLiteral("L"));
    });
}

QIcon cropDrawIcon()
{
    return drawn([](QPainter& p) {
        p.setPen(QPen(kAccent, 3, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(6, 6, 70, 70));
        cube(p, 18, 18, 44, QPen(kLine, 3));
        p.setPen(QPen(QColor(60, 60, 60), 2));
        p.setBrush(QColor(255, 205, 80));
        p.drawPolygon(QPolygonF({QPointF(62, 90), QPointF(58, 76), QPointF(84, 50), QPointF(92, 58), QPointF(66, 84)}));
    });
}

QIcon cropUndoIcon()
{
    return drawn([](QPainter& p) {
        cube(p, 30, 30, 56, QPen(kLine, 3, Qt::DashLine));
        circularArrow(p, QRectF(6, 6, 60, 60), 0, 200, kAccent);
    });
}

QIcon cpuIcon()
{
    return drawn([](QPainter& p) {
        p.setPen(QPen(kLine, 4, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 4; ++i) {
            const double t = 30 + i * 12;
            p.drawLine(QPointF(t, 8), QPointF(t, 22));
            p.drawLine(QPointF(t, 74), QPointF(t, 88));
            p.drawLine(QPointF(8, t), QPointF(22, t));
            p.drawLine(QPointF(74, t), QPointF(88, t));
        }
        p.setPen(QPen(kLine, 3));
        p.setBrush(QColor(40, 48, 60));
        p.drawRoundedRect(QRectF(20, 20, 56, 56), 6, 6);
        p.setBrush(kAccent);
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(34, 34, 28, 28), 3, 3);
    });
}

} // namespace vrt3dicons
