// Draws the calculator pages' schematic diagrams with QPainter.
// Usage: make_calc_diagrams <resources folder>; writes <folder>/calc_diagrams/stroke_zones.png (588 x 365),
// carotid_stenosis.png (252 x 364) and renal_polar_lines.jpg (217 x 328).
//
// The pictures are plain schematics (no patient images): grey shapes stand for tissue, coloured
// outlines and letters mark what the page asks the user to measure or score.

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

QFont font(int pixelSize, bool bold = false)
{
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

// One axial head slice: skull ring, brain and the midline, centred in `box`.
void drawHeadSlice(QPainter& p, const QRectF& box)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 20, 20));
    p.drawRoundedRect(box, 10, 10);
    const QRectF skull = box.adjusted(18, 14, -18, -14);
    p.setBrush(QColor(235, 235, 235));
    p.drawEllipse(skull);
    p.setBrush(QColor(120, 120, 120));
    p.drawEllipse(skull.adjusted(7, 7, -7, -7));
    p.setPen(QPen(QColor(70, 70, 70), 2));
    p.drawLine(QPointF(skull.center().x(), skull.top() + 10), QPointF(skull.center().x(), skull.bottom() - 10));
}

void labelledRegion(QPainter& p, const QPainterPath& outline, const QColor& colour, const QString& code,
                    const QPointF& at)
{
    p.setPen(QPen(colour, 2.5));
    QColor fill = colour;
    fill.setAlpha(60);
    p.setBrush(fill);
    p.drawPath(outline);
    p.setPen(Qt::white);
    p.setFont(font(13, true));
    const QRectF r(at.x() - 18, at.y() - 9, 36, 18);
    p.drawText(r, Qt::AlignCenter, code);
}

QPainterPath ellipsePath(const QPointF& c, double rx, double ry)
{
    QPainterPath path;
    path.addEllipse(c, rx, ry);
    return path;
}

// Cortical sector of the right half of a slice between two angles (degrees, 0 = front).
QPainterPath sector(const QRectF& brain, double fromDeg, double toDeg, double depth)
{
    QPainterPath path;
    const QRectF inner = brain.adjusted(depth, depth, -depth, -depth);
    // Qt angles: 0 = 3 o'clock, counter-clockwise; front of the head is 12 o'clock (90°).
    const double start = 90 - fromDeg;
    const double span = -(toDeg - fromDeg);
    path.arcMoveTo(brain, start);
    path.arcTo(brain, start, span);
    path.arcTo(inner, start + span, -span);
    path.closeSubpath();
    return path;
}

QImage aspects()
{
    QImage image(588, 365, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    const QRectF left(4, 4, 286, 318);
    const QRectF right(298, 4, 286, 318);
    drawHeadSlice(p, left);
    drawHeadSlice(p, right);

    const QRectF brainL = left.adjusted(25, 21, -25, -21);
    const QRectF brainR = right.adjusted(25, 21, -25, -21);
    const double cxL = brainL.center().x();
    const double cyL = brainL.center().y();

    // Basal ganglia level: deep structures on the right half, cortex M1–M3 and insula.
    labelledRegion(p, ellipsePath({cxL + 28, cyL - 30}, 16, 22), QColor(255, 200, 40), QStringLiteral("C"),
                   {cxL + 28, cyL - 30});
    labelledRegion(p, ellipsePath({cxL + 50, cyL + 4}, 16, 28), QColor(80, 220, 120), QStringLiteral("L"),
                   {cxL + 50, cyL + 4});
    labelledRegion(p, ellipsePath({cxL + 26, cyL + 14}, 9, 26), QColor(80, 170, 255), QStringLiteral("IC"),
                   {cxL + 26, cyL + 14});
    labelledRegion(p, ellipsePath({cxL + 78, cyL + 4}, 7, 34), QColor(255, 120, 200), QStringLiteral("I"),
                   {cxL + 78, cyL + 4});
    labelledRegion(p, sector(brainL, 25, 65, 26), QColor(255, 90, 70), QStringLiteral("M1"), {cxL + 66, cyL - 96});
    labelledRegion(p, sector(brainL, 65, 115, 26), QColor(255, 150, 60), QStringLiteral("M2"), {cxL + 104, cyL + 2});
    labelledRegion(p, sector(brainL, 115, 155, 26), QColor(190, 110, 255), QStringLiteral("M3"), {cxL + 62, cyL + 100});

    // Corona radiata level: cortex M4–M6 above M1–M3.
    const double cxR = brainR.center().x();
    const double cyR = brainR.center().y();
    labelledRegion(p, sector(brainR, 25, 65, 30), QColor(255, 90, 70), QStringLiteral("M4"), {cxR + 64, cyR - 94});
    labelledRegion(p, sector(brainR, 65, 115, 30), QColor(255, 150, 60), QStringLiteral("M5"), {cxR + 100, cyR + 2});
    labelledRegion(p, sector(brainR, 115, 155, 30), QColor(190, 110, 255), QStringLiteral("M6"), {cxR + 60, cyR + 98});

    // The captions lie on light plates of their own: the page's ground is dark in the dark theme.
    const QRectF captions[] = {{4, 328, 286, 32}, {298, 328, 286, 32}};
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(235, 235, 235));
    for (const QRectF& caption : captions)
        p.drawRoundedRect(caption.adjusted(0, 3, 0, -3), 8, 8);
    p.setPen(QColor(40, 40, 40));
    p.setFont(font(14, true));
    p.drawText(captions[0], Qt::AlignCenter, QStringLiteral("Уровень базальных ганглиев"));
    p.drawText(captions[1], Qt::AlignCenter, QStringLiteral("Уровень лучистого венца"));
    return image;
}

QImage carotid()
{
    QImage image(252, 364, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    p.setPen(QColor(30, 30, 30));
    p.setFont(font(13, true));
    p.drawText(QRectF(0, 4, 252, 22), Qt::AlignCenter, QStringLiteral("NASCET: (1 − a/c) × 100 %"));
    p.drawText(QRectF(0, 336, 252, 22), Qt::AlignCenter, QStringLiteral("ECST: (1 − a/b) × 100 %"));

    // Common carotid at the bottom, internal carotid up and to the left, external up and to the right.
    const QColor wall(200, 60, 60);
    const QColor lumen(240, 150, 150);
    QPainterPath common;
    common.moveTo(96, 330);
    common.lineTo(96, 230);
    common.cubicTo(96, 205, 60, 190, 60, 160);
    common.lineTo(60, 36);
    common.lineTo(120, 36);
    common.lineTo(120, 160);
    common.cubicTo(120, 175, 128, 185, 138, 190);
    common.cubicTo(160, 180, 172, 160, 180, 130);
    common.lineTo(196, 36);
    common.lineTo(226, 40);
    common.lineTo(206, 140);
    common.cubicTo(196, 190, 160, 210, 152, 230);
    common.lineTo(152, 330);
    common.closeSubpath();
    p.setPen(QPen(wall, 3));
    p.setBrush(lumen);
    p.drawPath(common);

    // Plaque narrowing the internal carotid just above the bulb.
    QPainterPath plaque;
    plaque.moveTo(60, 160);
    plaque.cubicTo(86, 146, 86, 110, 60, 96);
    plaque.closeSubpath();
    p.setPen(QPen(QColor(150, 120, 40), 2));
    p.setBrush(QColor(235, 205, 110));
    p.drawPath(plaque);

    auto measure = [&p](double x1, double x2, double y, const QString& name) {
        p.setPen(QPen(QColor(20, 60, 180), 2));
        p.drawLine(QPointF(x1, y), QPointF(x2, y));
        p.drawLine(QPointF(x1, y - 5), QPointF(x1, y + 5));
        p.drawLine(QPointF(x2, y - 5), QPointF(x2, y + 5));
        p.setFont(font(15, true));
        p.drawText(QRectF(x2 + 4, y - 11, 24, 22), Qt::AlignVCenter | Qt::AlignLeft, name);
    };
    measure(80, 118, 122, QStringLiteral("a"));
    p.setPen(QPen(QColor(20, 60, 180), 2, Qt::DashLine));
    measure(60, 120, 138, QString());
    p.setPen(QColor(20, 60, 180));
    p.setFont(font(15, true));
    p.drawText(QRectF(24, 127, 30, 22), Qt::AlignCenter, QStringLiteral("b"));
    measure(62, 118, 56, QStringLiteral("c"));
    return image;
}

QImage renal()
{
    QImage image(217, 328, QImage::Format_RGB32);
    image.fill(QColor(18, 18, 18));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // Coronal kidney: cortex, medulla and the sinus fat opening medially (to the right).
    QPainterPath kidney;
    kidney.moveTo(108, 34);
    kidney.cubicTo(40, 34, 36, 150, 44, 180);
    kidney.cubicTo(50, 260, 80, 296, 112, 296);
    kidney.cubicTo(160, 296, 176, 246, 160, 206);
    kidney.cubicTo(146, 186, 146, 150, 160, 124);
    kidney.cubicTo(178, 80, 158, 34, 108, 34);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(170, 170, 170));
    p.drawPath(kidney);
    p.setBrush(QColor(110, 110, 110));
    p.drawEllipse(QPointF(100, 165), 34, 92);
    p.setBrush(QColor(50, 50, 50));
    p.drawEllipse(QPointF(132, 165), 22, 36);

    p.setPen(QPen(QColor(255, 220, 0), 2.5));
    p.drawLine(QPointF(8, 118), QPointF(209, 118));
    p.drawLine(QPointF(8, 214), QPointF(209, 214));
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_calc_diagrams <resources folder>\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]) + QStringLiteral("/calc_diagrams"));
    if (!QDir().mkpath(dir.path()))
        return 1;
    bool ok = aspects().save(dir.filePath(QStringLiteral("stroke_zones.png")));
    ok = carotid().save(dir.filePath(QStringLiteral("carotid_stenosis.png"))) && ok;
    ok = renal().save(dir.filePath(QStringLiteral("renal_polar_lines.jpg")), "JPG", 90) && ok;
    return ok ? 0 : 1;
}
