#include "viewer/ToolbarIcons.h"

#include <QGraphicsDropShadowEffect>
#include <QGraphicsPathItem>
#include <QGraphicsScene>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>

namespace {

constexpr int CanvasSize = 88;
constexpr int PaintedSize = 22;

QPen roundPen(const QColor& colour, double width)
{
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

} // namespace

QIcon loadToolbarIcon(const QString& name)
{
    const QPixmap image(QStringLiteral(":/icons/%1.png").arg(name));
    if (image.isNull())
        return QIcon(transparentIconPixmap());

    const QPixmap scaled = image.scaled(CanvasSize, CanvasSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPixmap canvas(CanvasSize, CanvasSize);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.drawPixmap((CanvasSize - scaled.width()) / 2, (CanvasSize - scaled.height()) / 2, scaled);
    painter.end();
    return QIcon(canvas);
}

QIcon angleIcon() { return loadToolbarIcon(QStringLiteral("angle")); }
QIcon arrowIcon() { return loadToolbarIcon(QStringLiteral("arrow")); }
QIcon burnDiskIcon() { return loadToolbarIcon(QStringLiteral("burndisk")); }
QIcon calculatorIcon() { return loadToolbarIcon(QStringLiteral("calculator")); }
QIcon cineIcon() { return loadToolbarIcon(QStringLiteral("cine")); }
QIcon compareStudiesIcon() { return loadToolbarIcon(QStringLiteral("compare_studies")); }
QIcon crosslinesIcon() { return loadToolbarIcon(QStringLiteral("crosslines")); }
QIcon curvedMprIcon() { return loadToolbarIcon(QStringLiteral("curved_mpr")); }
QIcon databaseIcon() { return loadToolbarIcon(QStringLiteral("database")); }
QIcon dicomIcon() { return loadToolbarIcon(QStringLiteral("dicom")); }
QIcon dicomTagsIcon() { return loadToolbarIcon(QStringLiteral("dicom_tags")); }
QIcon drawIcon() { return loadToolbarIcon(QStringLiteral("draw")); }
QIcon ellipseAreaIcon() { return loadToolbarIcon(QStringLiteral("ellipsearea")); }
QIcon eraserIcon() { return loadToolbarIcon(QStringLiteral("eraser")); }
QIcon exportIcon() { return loadToolbarIcon(QStringLiteral("export")); }
QIcon freehandRoiIcon() { return loadToolbarIcon(QStringLiteral("freehand_roi")); }
QIcon fusionIcon() { return loadToolbarIcon(QStringLiteral("fusion")); }
QIcon importIcon() { return loadToolbarIcon(QStringLiteral("import")); }
QIcon invertIcon() { return loadToolbarIcon(QStringLiteral("invert")); }
QIcon layoutIcon() { return loadToolbarIcon(QStringLiteral("layout")); }
QIcon measureIcon() { return loadToolbarIcon(QStringLiteral("measure")); }
QIcon mprIcon() { return loadToolbarIcon(QStringLiteral("mpr")); }
QIcon openFolderIcon() { return loadToolbarIcon(QStringLiteral("open_folder")); }
QIcon panIcon() { return loadToolbarIcon(QStringLiteral("pan")); }
QIcon polygonIcon() { return loadToolbarIcon(QStringLiteral("polygon")); }
QIcon printIcon() { return loadToolbarIcon(QStringLiteral("print")); }
QIcon roiIcon() { return loadToolbarIcon(QStringLiteral("roi")); }
QIcon rotateIcon() { return loadToolbarIcon(QStringLiteral("rotate")); }
QIcon saveIcon() { return loadToolbarIcon(QStringLiteral("save")); }
QIcon scrollSeriesDragIcon() { return loadToolbarIcon(QStringLiteral("scroll_series_drag")); }
QIcon selectAllToggleIcon() { return loadToolbarIcon(QStringLiteral("select_all_toggle")); }
QIcon smoothContourIcon() { return loadToolbarIcon(QStringLiteral("smoothcontour")); }
QIcon syncScrollIcon() { return loadToolbarIcon(QStringLiteral("syncscroll")); }
QIcon textIcon() { return loadToolbarIcon(QStringLiteral("text")); }
QIcon wheelSeriesIcon() { return loadToolbarIcon(QStringLiteral("wheel_series")); }
QIcon windowLevelIcon() { return loadToolbarIcon(QStringLiteral("windowlevel")); }
QIcon zoomIcon() { return loadToolbarIcon(QStringLiteral("zoom")); }

QPixmap transparentIconPixmap()
{
    QPixmap pixmap(PaintedSize, PaintedSize);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

QPixmap paintCurveChartPixmap(const QColor& colour, double guideOpacity)
{
    QPixmap pixmap = transparentIconPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);

    painter.setPen(roundPen(colour, 1.5));
    painter.drawPolyline(QPolygonF{QPointF(3, 4), QPointF(3, 18.5), QPointF(19.5, 18.5)});

    const QPointF samples[] = {QPointF(7.2, 10.9), QPointF(11.0, 6.4), QPointF(15.0, 8.6)};
    QColor guideColour = colour;
    guideColour.setAlphaF(float(guideOpacity));
    QPen guide(guideColour, 1.0);
    guide.setDashPattern({2.0, 2.0});
    painter.setPen(guide);
    for (const QPointF& s : samples)
        painter.drawLine(QPointF(s.x(), s.y() + 1.6), QPointF(s.x(), 18.5));

    QPainterPath curve(QPointF(4.3, 17.3));
    curve.cubicTo(QPointF(6.5, 9.0), QPointF(8.5, 6.5), QPointF(11.0, 6.4));
    curve.cubicTo(QPointF(13.3, 6.3), QPointF(15.0, 8.6), QPointF(17.0, 10.5));
    curve.cubicTo(QPointF(18.2, 11.3), QPointF(19.0, 11.6), QPointF(20.0, 11.8));
    painter.setPen(roundPen(colour, 1.6));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(curve);

    const double radii[] = {1.3, 1.6, 1.3};
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    for (int i = 0; i < 3; ++i)
        painter.drawEllipse(samples[i], radii[i], radii[i]);
    painter.end();
    return pixmap;
}

QIcon dceCurveIcon()
{
    QIcon icon;
    icon.addPixmap(paintCurveChartPixmap(QColor(60, 170, 255), 0.5), QIcon::Normal, QIcon::Off);
    icon.addPixmap(paintCurveChartPixmap(QColor(150, 150, 150), 0.35), QIcon::Disabled, QIcon::Off);
    return icon;
}

QIcon extraFunctionsIcon()
{
    const QColor colour(90, 200, 255);
    QGraphicsScene scene(0, 0, PaintedSize, PaintedSize);

    QPainterPath outline;
    outline.moveTo(8.5, 11);
    outline.lineTo(8.5, 8);
    outline.quadTo(QPointF(8.5, 6.7), QPointF(9.8, 6.7));
    outline.lineTo(12.2, 6.7);
    outline.quadTo(QPointF(13.5, 6.7), QPointF(13.5, 8.0));
    outline.lineTo(13.5, 11);
    outline.addRoundedRect(QRectF(2, 11, 18, 8), 2, 2, Qt::AbsoluteSize);
    outline.moveTo(2, 14.3);
    outline.lineTo(20, 14.3);
    QGraphicsPathItem* outlineItem = scene.addPath(outline, roundPen(colour, 1.5), Qt::NoBrush);

    QPainterPath clasp;
    clasp.addRoundedRect(QRectF(9.8, 13.1, 2.4, 2.4), 0.5, 0.5);
    QGraphicsPathItem* claspItem = scene.addPath(clasp, Qt::NoPen, colour);

    for (QGraphicsPathItem* item : {outlineItem, claspItem}) {
        auto* glow = new QGraphicsDropShadowEffect; // owned by the item
        glow->setColor(colour);
        glow->setBlurRadius(5);
        glow->setOffset(0, 0);
        item->setGraphicsEffect(glow);
    }

    QPixmap pixmap = transparentIconPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    scene.render(&painter, QRectF(0, 0, PaintedSize, PaintedSize), QRectF(0, 0, PaintedSize, PaintedSize),
                 Qt::KeepAspectRatio);
    painter.end();
    return QIcon(pixmap);
}

QIcon remotePacsIcon()
{
    const QColor colour(51, 170, 255);
    QPixmap pixmap = transparentIconPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);

    painter.setPen(roundPen(colour, 2.1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(0.5, 3.5, 16, 11.5), 1.8, 1.8);
    painter.drawLine(QPointF(8.5, 15), QPointF(8.5, 18));
    painter.drawLine(QPointF(4.5, 19.5), QPointF(12.5, 19.5));

    QPen waves(colour, 1.8);
    waves.setCapStyle(Qt::RoundCap);
    painter.setPen(waves);
    painter.drawArc(QRectF(13.5, -1.5, 7.5, 7.5), 30 * 16, 100 * 16);
    painter.drawArc(QRectF(16, 1, 7.5, 7.5), 30 * 16, 100 * 16);

    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(18.3, 5.3, 2.4, 2.4));
    painter.end();
    return QIcon(pixmap);
}

QIcon axesGrabIcon()
{
    const QColor colour(235, 120, 120);
    QPixmap pixmap = transparentIconPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(roundPen(colour, 1.7));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QRectF(4, 4, 14, 14));
    painter.drawArc(QRectF(2, 2, 18, 18), 20 * 16, 140 * 16);
    painter.drawArc(QRectF(2, 2, 18, 18), 200 * 16, 140 * 16);
    painter.end();
    return QIcon(pixmap);
}
