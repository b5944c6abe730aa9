#include "analysis3d/TransferFunctionEditorWidget.h"

#include "analysis3d/TransferFunctionGraphicsView.h"
#include "analysis3d/TransferFunctionHandleItem.h"

#include <QBrush>
#include <QColorDialog>
#include <QCursor>
#include <QEvent>
#include <QFontMetricsF>
#include <QGraphicsPathItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QLinearGradient>
#include <QPainterPath>
#include <QPen>
#include <QScopedValueRollback>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr double kMarginLeft = 45.0;
constexpr double kMarginTop = 15.0;
constexpr double kMarginRight = 15.0;
constexpr double kMarginBottom = 30.0;
// A new point must keep this far from its neighbours.
constexpr double kMinGapHu = 2.0;

} // namespace

TransferFunctionEditorWidget::TransferFunctionEditorWidget(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_scene = new QGraphicsScene(this);
    m_view = new TransferFunctionGraphicsView(m_scene, this);
    m_view->setRenderHint(QPainter::Antialiasing, true);
    m_view->setBackgroundBrush(QColor(20, 20, 24));
    m_view->setFrameShape(QFrame::NoFrame);
    m_view->setMinimumHeight(220);
    // The scene is laid out to the viewport's own size; scroll bars would only shift it.
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(m_view);
    // The plot follows the viewport's size, which on first show arrives after this widget's own resize.
    m_view->viewport()->installEventFilter(this);
}

render::TransferFunctionPreset TransferFunctionEditorWidget::preset() const
{
    return {QString(), m_points};
}

QRectF TransferFunctionEditorWidget::plotRect() const
{
    const double w = std::max(200, m_view->viewport()->width());
    const double h = std::max(150, m_view->viewport()->height());
    return QRectF(QPointF(kMarginLeft, kMarginTop), QPointF(w - kMarginRight, h - kMarginBottom));
}

QPointF TransferFunctionEditorWidget::scenePosForPoint(const render::TransferFunctionPoint& point) const
{
    const QRectF plot = plotRect();
    const double t = std::clamp((point.value - m_huMin) / (m_huMax - m_huMin), 0.0, 1.0);
    const double o = std::clamp(point.opacity, 0.0, 1.0);
    return QPointF(plot.left() + plot.width() * t, plot.bottom() - plot.height() * o);
}

render::TransferFunctionPoint TransferFunctionEditorWidget::pointForScenePos(int index, const QPointF& position) const
{
    const QRectF plot = plotRect();
    const double x = std::clamp(position.x(), plot.left(), plot.right());
    const double y = std::clamp(position.y(), plot.top(), plot.bottom());
    render::TransferFunctionPoint point = m_points[index];
    double value = m_huMin + (x - plot.left()) / plot.width() * (m_huMax - m_huMin);
    point.opacity = std::clamp((plot.bottom() - y) / plot.height(), 0.0, 1.0);
    const int count = int(m_points.size());
    if (index > 0 && index < count - 1) {
        const double low = m_points[index - 1].value + 1.0;
        const double high = m_points[index + 1].value - 1.0;
        value = std::max(std::min(low, high), std::min(value, std::max(low, high)));
        point.value = value;
    }
    return point;
}

QPointF TransferFunctionEditorWidget::moveNode(int index, const QPointF& position)
{
    if (index < 0 || index >= m_points.size())
        return position;
    const QPointF placed = scenePosForPoint(pointForScenePos(index, position));
    m_points[index] = pointForScenePos(index, placed);
    updateCurveItem();
    // Placing the nodes while the scene is laid out is no edit: the opener keeps drawing what it had.
    if (!m_layingOut)
        emit presetChangedDraft(preset());
    return placed;
}

void TransferFunctionEditorWidget::nodeReleased()
{
    emit presetChangedFinal(preset());
}

void TransferFunctionEditorWidget::setPreset(const render::TransferFunctionPreset& preset, double huMin, double huMax)
{
    m_huMin = huMin;
    m_huMax = std::max(huMin + 1.0, huMax);
    m_points = preset.points;
    if (m_points.size() < 2) {
        m_points = {{m_huMin, QColor(0, 0, 0), 0.0}, {m_huMax, QColor(255, 255, 255), 1.0}};
    } else {
        std::stable_sort(m_points.begin(), m_points.end(),
                         [](const auto& a, const auto& b) { return a.value < b.value; });
        m_points.first().value = m_huMin;
        m_points.last().value = m_huMax;
    }
    rebuildScene();
}

bool TransferFunctionEditorWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_view->viewport() && event->type() == QEvent::Resize && !m_points.isEmpty())
        rebuildScene();
    return QWidget::eventFilter(watched, event);
}

void TransferFunctionEditorWidget::rebuildScene()
{
    m_scene->clear();
    m_handles.clear();
    m_curveItem = nullptr;
    if (m_points.isEmpty())
        return;
    const double sceneW = std::max(200, m_view->viewport()->width());
    const double sceneH = std::max(150, m_view->viewport()->height());
    m_scene->setSceneRect(0, 0, sceneW, sceneH);
    const QRectF plot = plotRect();
    const QPen gridPen(QColor(255, 255, 255, 35));
    const QColor labelColor(200, 200, 200);

    for (int i = 0; i <= 4; ++i) {
        const double x = plot.left() + plot.width() * i / 4.0;
        m_scene->addLine(x, plot.top(), x, plot.bottom(), gridPen);
        auto* text = m_scene->addSimpleText(QString::number(m_huMin + (m_huMax - m_huMin) * i / 4.0, 'f', 0));
        text->setBrush(labelColor);
        text->setPos(x - text->boundingRect().width() / 2.0, plot.bottom() + 4.0);
    }
    for (int j = 0; j <= 2; ++j) {
        const double y = plot.top() + plot.height() * j / 2.0;
        m_scene->addLine(plot.left(), y, plot.right(), y, gridPen);
        auto* text = m_scene->addSimpleText(QString::number(1.0 - j / 2.0, 'f', 1));
        text->setBrush(labelColor);
        const QRectF box = text->boundingRect();
        text->setPos(plot.left() - box.width() - 6.0, y - box.height() / 2.0);
    }
    m_scene->addRect(plot, QPen(QColor(255, 255, 255, 90)), Qt::NoBrush);

    m_curveItem = m_scene->addPath(QPainterPath());
    m_curveItem->setZValue(1);

    const QScopedValueRollback layingOut(m_layingOut, true);
    for (int i = 0; i < m_points.size(); ++i) {
        auto* handle = new TransferFunctionHandleItem(i, this);
        handle->setBrush(m_points[i].color);
        handle->setPen(QPen(QColor(255, 255, 255, 220), 1.5));
        handle->setFlags(QGraphicsItem::ItemIsMovable | QGraphicsItem::ItemSendsGeometryChanges
                         | QGraphicsItem::ItemIgnoresTransformations);
        handle->setZValue(10);
        handle->setCursor(Qt::PointingHandCursor);
        handle->setPos(scenePosForPoint(m_points[i]));
        m_scene->addItem(handle);
        m_handles.append(handle);
    }
    updateCurveItem();
}

void TransferFunctionEditorWidget::updateCurveItem()
{
    if (!m_curveItem)
        return;
    const QRectF plot = plotRect();
    QPainterPath path(plot.bottomLeft());
    for (const auto& p : m_points)
        path.lineTo(scenePosForPoint(p));
    path.lineTo(plot.bottomRight());
    path.closeSubpath();
    m_curveItem->setPath(path);

    QLinearGradient gradient(QPointF(plot.left(), 0), QPointF(plot.right(), 0));
    for (const auto& p : m_points) {
        const double t = std::clamp((p.value - m_huMin) / (m_huMax - m_huMin), 0.0, 1.0);
        QColor c = p.color;
        c.setAlphaF(float(std::clamp(p.opacity, 0.05, 1.0)));
        gradient.setColorAt(t, c);
    }
    m_curveItem->setBrush(gradient);
    m_curveItem->setPen(QPen(QColor(255, 255, 255, 160), 1.5));
}

void TransferFunctionEditorWidget::addPointAt(const QPointF& position)
{
    const QRectF plot = plotRect();
    // Without two framing points there is no segment to insert into.
    if (!plot.contains(position) || m_points.size() < 2)
        return;
    const double value = std::clamp(m_huMin + (position.x() - plot.left()) / plot.width() * (m_huMax - m_huMin),
                                    m_huMin, m_huMax);
    const double opacity = std::clamp((plot.bottom() - position.y()) / plot.height(), 0.0, 1.0);
    const int count = int(m_points.size());
    int index = count;
    for (int i = 1; i < count; ++i)
        if (value <= m_points[i].value) {
            index = i;
            break;
        }
    index = std::clamp(index, 1, count - 1);
    const auto& left = m_points[index - 1];
    const auto& right = m_points[index];
    if (std::abs(value - left.value) < kMinGapHu || std::abs(value - right.value) < kMinGapHu)
        return;
    const double span = right.value - left.value;
    const double t = span != 0.0 ? (value - left.value) / span : 0.5;
    const QColor color(int(left.color.red() * (1 - t) + right.color.red() * t),
                       int(left.color.green() * (1 - t) + right.color.green() * t),
                       int(left.color.blue() * (1 - t) + right.color.blue() * t), 255);
    m_points.insert(index, {value, color, opacity});
    rebuildScene();
    emit presetChangedFinal(preset());
}

void TransferFunctionEditorWidget::removePoint(int index)
{
    if (index <= 0 || index >= m_points.size() - 1 || m_points.size() < 3)
        return;
    m_points.removeAt(index);
    rebuildScene();
    emit presetChangedFinal(preset());
}

void TransferFunctionEditorWidget::editPointColor(int index)
{
    if (index < 0 || index >= m_points.size())
        return;
    const QColor chosen = QColorDialog::getColor(m_points[index].color, this, QStringLiteral("Цвет узла кривой"));
    if (!chosen.isValid() || index >= m_points.size())
        return;
    m_points[index].color = chosen;
    updateCurveItem();
    if (index < m_handles.size())
        m_handles[index]->setBrush(QBrush(chosen));
    emit presetChangedFinal(preset());
}
