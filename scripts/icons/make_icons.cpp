// Draws Kalvenor's toolbar pictograms and the application icon with QPainter.
// Usage: make_icons <resources folder>; writes <folder>/icons/<name>.png (88 x 88) and <folder>/app.ico.
//
// Every pictogram is drawn on a 24-unit grid scaled to 88 pixels: light strokes for the dark toolbar,
// with one blue accent per picture, so the set reads as one family beside the icons painted in code.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QtMath>

#include <cstdio>
#include <algorithm>
#include <functional>
#include <map>

namespace {

constexpr int Canvas = 88;
constexpr double Grid = 24.0;
constexpr double Stroke = 1.7;

const QColor Light(226, 234, 242);
const QColor Accent(80, 190, 255);

QColor withAlpha(QColor c, int alpha)
{
    c.setAlpha(alpha);
    return c;
}

QPen pen(const QColor& c, double width = Stroke)
{
    return QPen(c, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void stroke(QPainter& p, const QColor& c, double width = Stroke)
{
    p.setPen(pen(c, width));
    p.setBrush(Qt::NoBrush);
}

void fill(QPainter& p, const QColor& c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
}

void dot(QPainter& p, QPointF c, double r, const QColor& colour)
{
    fill(p, colour);
    p.drawEllipse(c, r, r);
}

// An open arrow head (chevron) at tip, pointing along the direction from 'from' to 'tip'.
void chevron(QPainter& p, QPointF from, QPointF tip, double size = 3.6)
{
    const double a = std::atan2(tip.y() - from.y(), tip.x() - from.x());
    const QPointF l(tip.x() - size * std::cos(a - M_PI / 4), tip.y() - size * std::sin(a - M_PI / 4));
    const QPointF r(tip.x() - size * std::cos(a + M_PI / 4), tip.y() - size * std::sin(a + M_PI / 4));
    p.drawPolyline(QPolygonF{l, tip, r});
}

void arrowLine(QPainter& p, QPointF from, QPointF tip, double size = 3.6)
{
    p.drawLine(from, tip);
    chevron(p, from, tip, size);
}

using Painter = std::function<void(QPainter&)>;

std::map<QString, Painter> pictograms()
{
    std::map<QString, Painter> m;

    m["angle"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawPolyline(QPolygonF{{20.5, 19}, {4, 19}, {15, 4.5}});
        stroke(p, Accent);
        // Arc between the two rays; the upper ray rises at about 53 degrees.
        p.drawArc(QRectF(-3, 12, 14, 14), 0, int(52.8 * 16));
        dot(p, {4, 19}, 1.3, Accent);
    };

    m["arrow"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawLine(QPointF(4.5, 19.5), QPointF(18, 6));
        stroke(p, Accent, 1.9);
        p.drawPolyline(QPolygonF{{10.5, 5}, {19, 5}, {19, 13.5}});
    };

    m["burndisk"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
        p.drawEllipse(QPointF(12, 12), 2.6, 2.6);
        stroke(p, Accent, 1.5);
        p.drawArc(QRectF(5.5, 5.5, 13, 13), 100 * 16, 70 * 16);
        p.drawArc(QRectF(5.5, 5.5, 13, 13), 280 * 16, 70 * 16);
    };

    m["calculator"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawRoundedRect(QRectF(5, 2.5, 14, 19), 2, 2);
        fill(p, withAlpha(Accent, 110));
        p.drawRect(QRectF(7.5, 5, 9, 4));
        stroke(p, Accent, 1.2);
        p.drawRect(QRectF(7.5, 5, 9, 4));
        for (double y : {12.5, 15.5, 18.5})
            for (double x : {8.5, 12.0, 15.5})
                dot(p, {x, y}, 1.05, Light);
    };

    m["cine"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawRoundedRect(QRectF(2.5, 4, 19, 16), 1.5, 1.5);
        p.drawLine(QPointF(6, 4), QPointF(6, 20));
        p.drawLine(QPointF(18, 4), QPointF(18, 20));
        for (double y : {7.0, 10.5, 14.0, 17.0}) {
            dot(p, {4.25, y}, 0.75, Light);
            dot(p, {19.75, y}, 0.75, Light);
        }
        fill(p, Accent);
        p.drawPolygon(QPolygonF{{9.5, 8.5}, {15.5, 12}, {9.5, 15.5}});
    };

    m["compare_studies"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawRoundedRect(QRectF(2, 5, 8.5, 14), 1.2, 1.2);
        p.drawEllipse(QPointF(6.25, 12), 2.2, 3);
        stroke(p, Accent);
        p.drawRoundedRect(QRectF(13.5, 5, 8.5, 14), 1.2, 1.2);
        p.drawEllipse(QPointF(17.75, 12), 2.2, 3);
        stroke(p, Light, 1.2);
        p.drawLine(QPointF(12, 3), QPointF(12, 21));
    };

    m["crosslines"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawRoundedRect(QRectF(4, 4, 16, 16), 1.5, 1.5);
        stroke(p, Accent);
        p.drawLine(QPointF(1.5, 12), QPointF(9.5, 12));
        p.drawLine(QPointF(14.5, 12), QPointF(22.5, 12));
        p.drawLine(QPointF(12, 1.5), QPointF(12, 9.5));
        p.drawLine(QPointF(12, 14.5), QPointF(12, 22.5));
        dot(p, {12, 12}, 1.3, Accent);
    };

    m["curved_mpr"] = [](QPainter& p) {
        QPainterPath curve(QPointF(3, 18.5));
        curve.cubicTo(QPointF(7, 3), QPointF(15, 23), QPointF(21, 5.5));
        stroke(p, Accent, 1.9);
        p.drawPath(curve);
        stroke(p, Light, 1.4);
        for (double t : {0.18, 0.5, 0.82}) {
            const QPointF at = curve.pointAtPercent(t);
            const double a = qDegreesToRadians(curve.angleAtPercent(t) + 90.0);
            const QPointF d(2.6 * std::cos(a), -2.6 * std::sin(a));
            p.drawLine(at - d, at + d);
        }
    };

    m["database"] = [](QPainter& p) {
        fill(p, withAlpha(Accent, 90));
        p.drawEllipse(QRectF(5, 3, 14, 5));
        stroke(p, Light);
        p.drawEllipse(QRectF(5, 3, 14, 5));
        p.drawLine(QPointF(5, 5.5), QPointF(5, 18.5));
        p.drawLine(QPointF(19, 5.5), QPointF(19, 18.5));
        p.drawArc(QRectF(5, 16, 14, 5), 180 * 16, 180 * 16);
        stroke(p, Accent, 1.4);
        p.drawArc(QRectF(5, 8.5, 14, 5), 180 * 16, 180 * 16);
        p.drawArc(QRectF(5, 12.5, 14, 5), 180 * 16, 180 * 16);
    };

    m["dicom"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawPolygon(QPolygonF{{5, 2.5}, {14.5, 2.5}, {19, 7}, {19, 21.5}, {5, 21.5}});
        p.drawPolyline(QPolygonF{{14.5, 2.5}, {14.5, 7}, {19, 7}});
        stroke(p, Accent, 1.4);
        p.drawEllipse(QRectF(7.5, 10, 9, 8.5));
        fill(p, withAlpha(Accent, 150));
        p.drawEllipse(QRectF(9, 12.2, 2.4, 4));
        p.drawEllipse(QRectF(12.6, 12.2, 2.4, 4));
    };

    m["dicom_tags"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawPolygon(QPolygonF{{12.5, 2.5}, {21.5, 2.5}, {21.5, 11.5}, {11.5, 21.5}, {2.5, 12.5}});
        stroke(p, Accent, 1.4);
        p.drawEllipse(QPointF(17.2, 6.8), 1.6, 1.6);
        p.drawLine(QPointF(7, 13), QPointF(12, 8));
        p.drawLine(QPointF(9.5, 15.5), QPointF(14.5, 10.5));
        p.drawLine(QPointF(12, 18), QPointF(15, 15));
    };

    m["draw"] = [](QPainter& p) {
        p.save();
        p.translate(12, 12);
        p.rotate(-45);
        stroke(p, Light);
        p.drawPolygon(QPolygonF{{-6, -2.6}, {8.5, -2.6}, {8.5, 2.6}, {-6, 2.6}, {-10.5, 0}});
        p.drawLine(QPointF(-6, -2.6), QPointF(-6, 2.6));
        fill(p, Accent);
        p.drawPolygon(QPolygonF{{-9, -0.9}, {-10.5, 0}, {-9, 0.9}});
        fill(p, withAlpha(Accent, 150));
        p.drawRect(QRectF(5, -2.6, 3.5, 5.2));
        p.restore();
        stroke(p, Accent, 1.3);
        p.drawLine(QPointF(13, 21.5), QPointF(21, 21.5));
    };

    m["ellipsearea"] = [](QPainter& p) {
        fill(p, withAlpha(Accent, 55));
        p.drawEllipse(QRectF(2.5, 6, 19, 12));
        stroke(p, Light);
        p.drawEllipse(QRectF(2.5, 6, 19, 12));
        QPen dash = pen(Accent, 1.4);
        dash.setDashPattern({2.0, 2.0});
        p.setPen(dash);
        p.drawLine(QPointF(4.5, 12), QPointF(19.5, 12));
        dot(p, {2.5, 12}, 1.4, Accent);
        dot(p, {21.5, 12}, 1.4, Accent);
    };

    m["eraser"] = [](QPainter& p) {
        p.save();
        p.translate(12.5, 11);
        p.rotate(-35);
        fill(p, withAlpha(Accent, 140));
        p.drawRoundedRect(QRectF(-8.5, -3.8, 6.5, 7.6), 1.2, 1.2);
        stroke(p, Light);
        p.drawRoundedRect(QRectF(-8.5, -3.8, 17, 7.6), 1.5, 1.5);
        p.drawLine(QPointF(-2, -3.8), QPointF(-2, 3.8));
        p.restore();
        stroke(p, Light, 1.3);
        p.drawLine(QPointF(3, 21), QPointF(21, 21));
    };

    m["export"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawPolyline(QPolygonF{{11, 6.5}, {4, 6.5}, {4, 20}, {17.5, 20}, {17.5, 13}});
        stroke(p, Accent, 1.9);
        p.drawLine(QPointF(10, 14), QPointF(20, 4));
        p.drawPolyline(QPolygonF{{13.5, 4}, {20, 4}, {20, 10.5}});
    };

    m["freehand_roi"] = [](QPainter& p) {
        QPainterPath blob(QPointF(6, 9));
        blob.cubicTo(QPointF(8, 2.5), QPointF(15, 5), QPointF(18.5, 4.5));
        blob.cubicTo(QPointF(22.5, 4), QPointF(22, 12), QPointF(18.5, 13.5));
        blob.cubicTo(QPointF(15.5, 15), QPointF(19, 20.5), QPointF(12.5, 20.5));
        blob.cubicTo(QPointF(6, 20.5), QPointF(3.5, 16), QPointF(4.5, 13));
        blob.cubicTo(QPointF(5, 11.5), QPointF(5.5, 10.5), QPointF(6, 9));
        fill(p, withAlpha(Accent, 55));
        p.drawPath(blob);
        stroke(p, Light);
        p.drawPath(blob);
        stroke(p, Accent, 1.4);
        p.drawLine(QPointF(10, 12), QPointF(14, 12));
        p.drawLine(QPointF(12, 10), QPointF(12, 14));
    };

    m["fusion"] = [](QPainter& p) {
        QPainterPath a, b;
        a.addEllipse(QPointF(9, 12), 6.8, 6.8);
        b.addEllipse(QPointF(15, 12), 6.8, 6.8);
        fill(p, withAlpha(Accent, 150));
        p.drawPath(a.intersected(b));
        stroke(p, Light);
        p.drawPath(a);
        stroke(p, Accent);
        p.drawPath(b);
    };

    m["import"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawPolyline(QPolygonF{{3.5, 13.5}, {3.5, 20.5}, {20.5, 20.5}, {20.5, 13.5}});
        stroke(p, Accent, 1.9);
        p.drawLine(QPointF(12, 3), QPointF(12, 15.5));
        p.drawPolyline(QPolygonF{{7.5, 11}, {12, 15.5}, {16.5, 11}});
    };

    m["invert"] = [](QPainter& p) {
        fill(p, Light);
        p.drawRect(QRectF(3, 4, 9, 16));
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.drawEllipse(QPointF(7.5, 12), 2.8, 2.8);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        stroke(p, Light);
        p.drawRoundedRect(QRectF(3, 4, 18, 16), 1.2, 1.2);
        fill(p, Accent);
        p.drawEllipse(QPointF(16.5, 12), 2.8, 2.8);
    };

    m["layout"] = [](QPainter& p) {
        fill(p, withAlpha(Accent, 120));
        p.drawRect(QRectF(3, 3, 9, 9));
        stroke(p, Light);
        p.drawRoundedRect(QRectF(3, 3, 18, 18), 1.5, 1.5);
        p.drawLine(QPointF(12, 3), QPointF(12, 21));
        p.drawLine(QPointF(3, 12), QPointF(21, 12));
    };

    m["measure"] = [](QPainter& p) {
        p.save();
        p.translate(12, 12);
        p.rotate(-45);
        stroke(p, Light);
        p.drawRoundedRect(QRectF(-10.5, -3.6, 21, 7.2), 1, 1);
        stroke(p, Accent, 1.3);
        for (int i = 0; i < 7; ++i) {
            const double x = -7.5 + i * 2.5;
            p.drawLine(QPointF(x, -3.6), QPointF(x, i % 2 == 0 ? 0.4 : -1.4));
        }
        p.restore();
    };

    m["mpr"] = [](QPainter& p) {
        const QPointF top(12, 2.5), ur(20.5, 7), lr(20.5, 17), bottom(12, 21.5), ll(3.5, 17), ul(3.5, 7), c(12, 11.5);
        fill(p, withAlpha(Accent, 150));
        p.drawPolygon(QPolygonF{top, ur, c, ul});
        fill(p, withAlpha(Light, 60));
        p.drawPolygon(QPolygonF{ul, c, bottom, ll});
        fill(p, withAlpha(Accent, 60));
        p.drawPolygon(QPolygonF{c, ur, lr, bottom});
        stroke(p, Light);
        p.drawPolygon(QPolygonF{top, ur, lr, bottom, ll, ul});
        p.drawPolyline(QPolygonF{ul, c, ur});
        p.drawLine(c, bottom);
    };

    m["open_folder"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawPolyline(QPolygonF{{3, 19}, {3, 5}, {9, 5}, {11, 7.5}, {18.5, 7.5}, {18.5, 10.5}});
        const QPolygonF flap{{3, 19}, {6.5, 10.5}, {21.5, 10.5}, {18, 19}};
        fill(p, withAlpha(Accent, 90));
        p.drawPolygon(flap);
        stroke(p, Accent);
        p.drawPolygon(flap);
    };

    m["pan"] = [](QPainter& p) {
        stroke(p, Light);
        arrowLine(p, {12, 12}, {12, 2.5}, 3.2);
        arrowLine(p, {12, 12}, {12, 21.5}, 3.2);
        arrowLine(p, {12, 12}, {2.5, 12}, 3.2);
        arrowLine(p, {12, 12}, {21.5, 12}, 3.2);
        dot(p, {12, 12}, 2.2, Accent);
    };

    m["polygon"] = [](QPainter& p) {
        const QPolygonF poly{{12, 3}, {20.5, 9.5}, {17.5, 20}, {6.5, 20}, {3.5, 9.5}};
        fill(p, withAlpha(Accent, 50));
        p.drawPolygon(poly);
        stroke(p, Light);
        p.drawPolygon(poly);
        for (const QPointF& v : poly)
            dot(p, v, 1.7, Accent);
    };

    m["print"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawPolyline(QPolygonF{{7, 9}, {7, 3}, {17, 3}, {17, 9}});
        p.drawRoundedRect(QRectF(3, 9, 18, 8.5), 2, 2);
        // The sheet coming out hides the body's lower edge behind it.
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        fill(p, Qt::black);
        p.drawRect(QRectF(6.2, 13.2, 11.6, 8.5));
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        stroke(p, Light);
        p.drawRect(QRectF(7, 14, 10, 7));
        stroke(p, Accent, 1.2);
        p.drawLine(QPointF(9, 16.5), QPointF(15, 16.5));
        p.drawLine(QPointF(9, 18.8), QPointF(13.5, 18.8));
        dot(p, {18, 11.8}, 1.1, Accent);
    };

    m["roi"] = [](QPainter& p) {
        fill(p, withAlpha(Accent, 45));
        p.drawEllipse(QPointF(12, 12), 9, 9);
        stroke(p, Light);
        p.drawEllipse(QPointF(12, 12), 9, 9);
        for (double y : {8.5, 12.0, 15.5})
            for (double x : {8.5, 12.0, 15.5})
                dot(p, {x, y}, 1.0, Accent);
    };

    m["rotate"] = [](QPainter& p) {
        stroke(p, Light);
        // Three quarters of a circle; the head at its upper end shows a clockwise turn.
        p.drawArc(QRectF(4, 4.5, 16, 16), 60 * 16, 270 * 16);
        stroke(p, Accent, 1.9);
        const double end = qDegreesToRadians(60.0);
        const QPointF tip(12 + 8 * std::cos(end), 12.5 - 8 * std::sin(end));
        const QPointF heading(std::sin(end), std::cos(end));
        chevron(p, tip - heading, tip, 4.2);
    };

    m["save"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawPolygon(QPolygonF{{3.5, 3.5}, {17, 3.5}, {20.5, 7}, {20.5, 20.5}, {3.5, 20.5}});
        p.drawRect(QRectF(7.5, 3.5, 8, 5));
        fill(p, withAlpha(Accent, 110));
        p.drawRect(QRectF(7, 12.5, 10, 8));
        stroke(p, Accent, 1.4);
        p.drawRect(QRectF(7, 12.5, 10, 8));
    };

    m["scroll_series_drag"] = [](QPainter& p) {
        stroke(p, withAlpha(Light, 130), 1.4);
        p.drawRect(QRectF(8, 3, 9.5, 9.5));
        p.drawRect(QRectF(5.5, 5.5, 9.5, 9.5));
        stroke(p, Light);
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(3, 8, 9.5, 9.5));
        stroke(p, Accent, 1.8);
        arrowLine(p, {20, 12}, {20, 3.5}, 3);
        arrowLine(p, {20, 12}, {20, 20.5}, 3);
    };

    m["select_all_toggle"] = [](QPainter& p) {
        stroke(p, withAlpha(Light, 150), 1.4);
        p.drawPolyline(QPolygonF{{7.5, 6.5}, {7.5, 3}, {21, 3}, {21, 16.5}, {17.5, 16.5}});
        stroke(p, Light);
        p.drawRoundedRect(QRectF(3, 7, 14, 14), 1.5, 1.5);
        stroke(p, Accent, 2.0);
        p.drawPolyline(QPolygonF{{6, 14}, {9, 17}, {14.5, 10.5}});
    };

    m["smoothcontour"] = [](QPainter& p) {
        const QPointF a(5, 9), b(14, 3.5), c(20.5, 11), d(15, 20.5), e(5.5, 17.5);
        QPainterPath path(a);
        path.cubicTo(QPointF(6.5, 4.5), QPointF(10.5, 3.5), b);
        path.cubicTo(QPointF(18, 3.5), QPointF(20.5, 7), c);
        path.cubicTo(QPointF(20.5, 15.5), QPointF(18.5, 20.5), d);
        path.cubicTo(QPointF(11.5, 20.5), QPointF(7.5, 20), e);
        path.cubicTo(QPointF(3.5, 15), QPointF(3.5, 12), a);
        stroke(p, Light);
        p.drawPath(path);
        fill(p, Accent);
        for (const QPointF& v : {a, b, c, d, e})
            p.drawRect(QRectF(v.x() - 1.5, v.y() - 1.5, 3, 3));
    };

    m["syncscroll"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawRoundedRect(QRectF(2.5, 3.5, 7.5, 17), 1, 1);
        p.drawRoundedRect(QRectF(14, 3.5, 7.5, 17), 1, 1);
        stroke(p, Accent, 1.8);
        p.drawLine(QPointF(1, 12), QPointF(23, 12));
        chevron(p, {12, 12}, {12, 5.5}, 2.6);
        chevron(p, {12, 12}, {12, 18.5}, 2.6);
        p.drawLine(QPointF(12, 5.5), QPointF(12, 18.5));
    };

    m["text"] = [](QPainter& p) {
        stroke(p, Light, 2.0);
        p.drawPolyline(QPolygonF{{5, 6.5}, {5, 4}, {19, 4}, {19, 6.5}});
        p.drawLine(QPointF(12, 4), QPointF(12, 18));
        p.drawLine(QPointF(9, 18), QPointF(15, 18));
        stroke(p, Accent, 1.5);
        p.drawLine(QPointF(4, 21.5), QPointF(20, 21.5));
    };

    m["wheel_series"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawRoundedRect(QRectF(3.5, 3, 11, 18), 5.5, 5.5);
        p.drawLine(QPointF(3.5, 10.5), QPointF(14.5, 10.5));
        fill(p, Accent);
        p.drawRoundedRect(QRectF(8, 5, 2, 4), 1, 1);
        stroke(p, Accent, 1.7);
        chevron(p, {19.5, 9}, {19.5, 4.5}, 2.8);
        chevron(p, {19.5, 15}, {19.5, 19.5}, 2.8);
        p.drawLine(QPointF(19.5, 4.5), QPointF(19.5, 19.5));
    };

    m["windowlevel"] = [](QPainter& p) {
        QPainterPath left;
        left.moveTo(12, 12);
        left.arcTo(QRectF(3, 3, 18, 18), 90, 180);
        left.closeSubpath();
        fill(p, Light);
        p.drawPath(left);
        QLinearGradient g(QPointF(12, 3), QPointF(12, 21));
        g.setColorAt(0, withAlpha(Accent, 230));
        g.setColorAt(1, withAlpha(Accent, 40));
        QPainterPath right;
        right.moveTo(12, 12);
        right.arcTo(QRectF(3, 3, 18, 18), -90, 180);
        right.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawPath(right);
        stroke(p, Light);
        p.drawEllipse(QRectF(3, 3, 18, 18));
        p.drawLine(QPointF(12, 3), QPointF(12, 21));
    };

    m["zoom"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawEllipse(QPointF(10, 10), 6.8, 6.8);
        stroke(p, Light, 2.6);
        p.drawLine(QPointF(15.2, 15.2), QPointF(20.8, 20.8));
        stroke(p, Accent, 1.8);
        p.drawLine(QPointF(7, 10), QPointF(13, 10));
        p.drawLine(QPointF(10, 7), QPointF(10, 13));
    };

    m["classifications"] = [](QPainter& p) {
        stroke(p, Light);
        p.drawRoundedRect(QRectF(4.5, 4, 15, 18), 2, 2);
        fill(p, withAlpha(Accent, 120));
        p.drawRoundedRect(QRectF(9, 2.5, 6, 3.5), 1, 1);
        stroke(p, Accent, 1.2);
        p.drawRoundedRect(QRectF(9, 2.5, 6, 3.5), 1, 1);
        const double lengths[] = {8.5, 6.5, 4.5};
        double y = 10;
        for (double len : lengths) {
            dot(p, {8, y}, 1.2, Accent);
            stroke(p, Light, 1.4);
            p.drawLine(QPointF(10.5, y), QPointF(10.5 + len - 2, y));
            y += 4;
        }
    };

    return m;
}

// A soft dark rim around every stroke keeps the light pictograms legible on the light theme's
// toolbar too; on a dark toolbar it disappears into the background.
QImage withDarkRim(const QImage& image, int radius, int strength)
{
    QImage out(image.size(), QImage::Format_ARGB32);
    out.fill(Qt::transparent);
    const int w = image.width(), h = image.height();
    for (int y = 0; y < h; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            int reach = 0;
            for (int dy = -radius; dy <= radius; ++dy)
                for (int dx = -radius; dx <= radius; ++dx) {
                    if (dx * dx + dy * dy > radius * radius)
                        continue;
                    const int sx = x + dx, sy = y + dy;
                    if (sx < 0 || sy < 0 || sx >= w || sy >= h)
                        continue;
                    reach = std::max(reach, qAlpha(image.pixel(sx, sy)));
                }
            line[x] = qRgba(16, 24, 34, reach * strength / 255);
        }
    }
    QPainter p(&out);
    p.drawImage(0, 0, image);
    p.end();
    return out;
}

QImage drawPictogram(const Painter& draw)
{
    QImage image(Canvas, Canvas, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(Canvas / Grid, Canvas / Grid);
    draw(p);
    p.end();
    return withDarkRim(image.convertToFormat(QImage::Format_ARGB32), 3, 150);
}

// The application's own mark: a dark rounded tile with a light ring and blue cross-hairs.
QImage drawAppIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / Grid, size / Grid);
    QLinearGradient bg(QPointF(0, 0), QPointF(0, 24));
    bg.setColorAt(0, QColor(34, 58, 86));
    bg.setColorAt(1, QColor(14, 26, 42));
    p.setPen(Qt::NoPen);
    p.setBrush(bg);
    p.drawRoundedRect(QRectF(0.5, 0.5, 23, 23), 4.5, 4.5);
    stroke(p, Light, 2.0);
    p.drawEllipse(QPointF(12, 12), 6.5, 6.5);
    stroke(p, Accent, 1.6);
    p.drawLine(QPointF(3, 12), QPointF(8, 12));
    p.drawLine(QPointF(16, 12), QPointF(21, 12));
    p.drawLine(QPointF(12, 3), QPointF(12, 8));
    p.drawLine(QPointF(12, 16), QPointF(12, 21));
    dot(p, {12, 12}, 1.6, Accent);
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <resources folder>\n", argv[0]);
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    if (!root.mkpath(QStringLiteral("icons"))) {
        std::fprintf(stderr, "cannot create %s/icons\n", argv[1]);
        return 1;
    }
    int failures = 0;
    for (const auto& [name, draw] : pictograms()) {
        const QString path = root.filePath(QStringLiteral("icons/%1.png").arg(name));
        QImageWriter writer(path, "png");
        if (!writer.write(drawPictogram(draw))) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(writer.errorString()));
            ++failures;
        }
    }
    QImageWriter ico(root.filePath(QStringLiteral("app.ico")), "ico");
    if (!ico.write(drawAppIcon(64))) {
        std::fprintf(stderr, "app.ico: %s\n", qPrintable(ico.errorString()));
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
