#include "mpr/MprViewportWidget.h"

#include <QComboBox>
#include <QEvent>
#include <QGraphicsLineItem>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPen>
#include <QScrollBar>
#include <QStackedLayout>
#include <QWheelEvent>

#include <cmath>
#include <numbers>

namespace {

constexpr double kSceneMargin = 3000.0;
constexpr double kLineGrabDistance = 14.0; // view pixels around a crosshair line or its centre

QPen crosshairPen(const QColor& colour, double width, Qt::PenStyle style)
{
    QPen pen(QBrush(colour), width, style, Qt::SquareCap, Qt::BevelJoin);
    pen.setCosmetic(true);
    return pen;
}

bool isMeasuringMode(int mode)
{
    switch (mode) {
    case 4: case 5: case 6: case 7: case 9: case 11: case 14: case 15:
        return true;
    default:
        return false;
    }
}

} // namespace

MprViewportWidget::MprViewportWidget(MprPlane plane, const QString& caption, QWidget* parent)
    : QWidget(parent)
    , m_plane(plane)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* container = new QWidget(this);
    auto* stack = new QStackedLayout(container);
    stack->setStackingMode(QStackedLayout::StackAll);
    stack->setContentsMargins(2, 2, 2, 2);

    m_scene = new QGraphicsScene(this);
    m_pixmapItem = m_scene->addPixmap(QPixmap());
    m_pixmapItem->setTransformationMode(Qt::SmoothTransformation);
    for (QGraphicsLineItem** line : {&m_lineA, &m_lineB}) {
        *line = m_scene->addLine(QLineF(), crosshairPen(QColor(0, 220, 0), 0, Qt::SolidLine));
        (*line)->setZValue(500);
        (*line)->setVisible(false);
    }

    m_view = new QGraphicsView(m_scene, container);
    m_view->setDragMode(QGraphicsView::NoDrag);
    m_view->setRenderHints(QPainter::SmoothPixmapTransform | QPainter::Antialiasing);
    hideViewScrollBars();
    m_view->setBackgroundBrush(QColor(20, 20, 20));
    m_view->setFrameShape(QFrame::NoFrame);
    m_view->viewport()->installEventFilter(this);
    m_view->viewport()->setMouseTracking(true);
    m_view->setFocusPolicy(Qt::NoFocus);
    setFocusPolicy(Qt::StrongFocus);
    stack->addWidget(m_view);

    m_captionLabel = new QLabel(caption, m_view);
    m_captionLabel->setStyleSheet(QStringLiteral("color: #ffd633; font-size: 10px; background: transparent;"));
    m_captionLabel->move(8, 8);

    m_planeCombo = new QComboBox(m_view);
    m_planeCombo->addItem(QStringLiteral("Аксиальная"), 0);
    m_planeCombo->addItem(QStringLiteral("Корональная"), 1);
    m_planeCombo->addItem(QStringLiteral("Сагиттальная"), 2);
    m_planeCombo->setCurrentIndex(int(m_plane));
    m_planeCombo->setStyleSheet(QStringLiteral(
        "QComboBox { color: #ffd633; font-size: 10px; background: rgba(0,0,0,120); border: 1px solid #555; "
        "padding: 1px 4px; }"));
    m_planeCombo->setToolTip(
        QStringLiteral("Выбор другой плоскости меняет эту панель местами с той, что сейчас её показывает."));
    m_planeCombo->move(8, 26);
    m_planeCombo->resize(110, 20);
    m_planeCombo->hide();
    connect(m_planeCombo, &QComboBox::currentIndexChanged, this, [this](int) {
        const int target = m_planeCombo->currentData().toInt();
        if (target == int(m_plane))
            return;
        emit planeSwapRequested(MprPlane(target));
        // The panel keeps its plane; the owner exchanges the panels' places.
        const QSignalBlocker blocker(m_planeCombo);
        m_planeCombo->setCurrentIndex(int(m_plane));
    });

    m_sliceBar = new QScrollBar(Qt::Vertical, this);
    m_sliceBar->setFixedWidth(14);
    m_sliceBar->setRange(0, 0);
    connect(m_sliceBar, &QScrollBar::valueChanged, this, [this](int value) {
        if (!m_sliderGuard)
            emit sliceIndexRequested(value);
    });

    layout->addWidget(container, 1);
    layout->addWidget(m_sliceBar, 0);
}

MprViewportWidget::~MprViewportWidget()
{
    // The scene is a child of this panel and deletes the measurement items with itself; only the records go.
    m_measurements.clear();
    m_bodyStartPoints.clear();
    m_roiStatsProvider = nullptr;
}

void MprViewportWidget::hideViewScrollBars()
{
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void MprViewportWidget::setImage(const QImage& image)
{
    m_pixmapItem->setPixmap(QPixmap::fromImage(image));
    m_scene->setSceneRect(
        m_pixmapItem->boundingRect().adjusted(-kSceneMargin, -kSceneMargin, kSceneMargin, kSceneMargin));
    if (m_userZoomed)
        hideViewScrollBars();
    else
        fitImageInView();
}

void MprViewportWidget::fitImageInView()
{
    if (m_pixmapItem->pixmap().isNull())
        return;
    m_view->resetTransform();
    m_view->fitInView(m_pixmapItem, Qt::KeepAspectRatio);
    m_userZoomed = false;
    hideViewScrollBars();
}

void MprViewportWidget::setSliceIndex(int index)
{
    if (index == m_sliceIndex)
        return;
    m_sliceIndex = index;
    applySliceVisibility();
}

void MprViewportWidget::setSliceCount(int count)
{
    m_sliderGuard = true;
    m_sliceBar->setRange(0, std::max(count - 1, 0));
    m_sliderGuard = false;
}

void MprViewportWidget::setSliderValue(int value)
{
    m_sliderGuard = true;
    m_sliceBar->setValue(value);
    m_sliderGuard = false;
}

void MprViewportWidget::setPixelSpacing(double mm)
{
    const double spacing = mm > 0.0 && std::isfinite(mm) ? mm : 1.0;
    if (spacing == m_pixelSpacing)
        return;
    // Every shown length and area is in millimetres of the old spacing: they are measured again. A
    // stenosis step keeps its whole-vessel value in millimetres, which scales the same way, so the
    // percent, a ratio of pixel lengths, stays as it was.
    const double ratio = spacing / m_pixelSpacing;
    m_pixelSpacing = spacing;
    for (int i = 0; i < m_measurements.size(); ++i) {
        Measurement& m = m_measurements[i];
        if (m.kind == 15)
            m.stenosisReference *= ratio;
        else if (m.kind == 16)
            m.stenosisReference *= ratio * ratio;
        layoutMeasurement(i);
    }
}

void MprViewportWidget::setMeasurementMode(int mode)
{
    m_toolMode = mode;
    // A measurement being drawn is abandoned; one whose handle is being dragged is a finished one and stays.
    if (m_activeIndex >= 0 && !m_handleDragging)
        removeMeasurement(m_activeIndex);
    m_activeIndex = -1;
    m_angleStage = 0;
    m_stenosisPending = 0;
    m_stenosisReference = 0.0;
    m_contourOpen = false;
    selectMeasurement(-1);
    m_windowLevelDragging = m_panDragging = m_zoomDragging = m_axesRotating = m_crosshairDragging = false;
    m_handleDragging = m_labelDragging = m_createPending = m_bodyPressed = m_bodyMoved = false;
    m_dragHandleIndex = m_labelDragIndex = m_bodyDragIndex = -1;
}

void MprViewportWidget::setRoiColor(const QColor& colour)
{
    m_roiColor = colour;
}

void MprViewportWidget::setRoiStatsProvider(RoiStatsProvider provider)
{
    m_roiStatsProvider = std::move(provider);
}

void MprViewportWidget::setPlaneSelectorVisible(bool on)
{
    m_planeCombo->setVisible(on);
    m_captionLabel->setVisible(!on);
}

void MprViewportWidget::setCenterlineHorizontal(bool on)
{
    m_centerlineHorizontal = on;
}

void MprViewportWidget::setStenosisLabelsHidden(bool on)
{
    m_stenosisLabelsHidden = on;
}

void MprViewportWidget::setCrosshairLineA(std::optional<QPointF> centre, std::optional<double> angle, QColor colour,
                                          bool dashed)
{
    placeCrosshairLine(m_lineA, m_lineAAngle, centre, angle, colour, dashed);
}

void MprViewportWidget::setCrosshairLineB(std::optional<QPointF> centre, std::optional<double> angle, QColor colour,
                                          bool dashed)
{
    placeCrosshairLine(m_lineB, m_lineBAngle, centre, angle, colour, dashed);
}

void MprViewportWidget::placeCrosshairLine(QGraphicsLineItem* line, std::optional<double>& storedAngle,
                                           std::optional<QPointF> centre, std::optional<double> angle,
                                           const QColor& colour, bool dashed)
{
    storedAngle = angle;
    const QRectF r = m_pixmapItem->boundingRect();
    if (r.isEmpty() || !angle || !std::isfinite(*angle)) {
        line->setVisible(false);
        if (!dashed)
            m_crosshairCentreValid = false;
        return;
    }
    const QPointF c = centre ? QPointF(r.left() + r.width() * centre->x(), r.top() + r.height() * centre->y())
                             : r.center();
    if (!dashed) {
        m_crosshairCentre = c;
        m_crosshairCentreValid = true;
    }
    const double length = std::hypot(r.width(), r.height());
    const QPointF d(length * std::cos(*angle), length * std::sin(*angle));
    line->setLine(QLineF(c - d, c + d));
    if (m_toolMode == 8)
        line->setPen(crosshairPen(QColor(255, 210, 0), 2, Qt::SolidLine));
    else
        line->setPen(crosshairPen(colour, 0, dashed ? Qt::DashLine : Qt::SolidLine));
    line->setVisible(true);
}

std::optional<QPointF> MprViewportWidget::normalisedPosition(const QPointF& p) const
{
    const QRectF r = m_pixmapItem->boundingRect();
    if (r.width() <= 0.0 || r.height() <= 0.0)
        return std::nullopt;
    return QPointF(std::clamp((p.x() - r.left()) / r.width(), 0.0, 1.0),
                   std::clamp((p.y() - r.top()) / r.height(), 0.0, 1.0));
}

QPointF MprViewportWidget::imageCentreInView() const
{
    return m_view->viewportTransform().map(m_pixmapItem->boundingRect().center());
}

bool MprViewportWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_view->viewport())
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        return handleMousePress(static_cast<QMouseEvent*>(event));
    case QEvent::MouseMove:
        return handleMouseMove(static_cast<QMouseEvent*>(event));
    case QEvent::MouseButtonRelease:
        return handleMouseRelease(static_cast<QMouseEvent*>(event));
    case QEvent::MouseButtonDblClick:
        return handleDoubleClick(static_cast<QMouseEvent*>(event));
    case QEvent::Wheel:
        return handleWheel(static_cast<QWheelEvent*>(event));
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void MprViewportWidget::crosshairPress(const QPointF& scenePos)
{
    if (const auto pos = normalisedPosition(scenePos))
        emit positionClicked(pos->x(), pos->y());
    m_crosshairDragging = true;
}

bool MprViewportWidget::handleMousePress(QMouseEvent* event)
{
    const QPoint viewPos = event->position().toPoint();
    if (event->button() == Qt::RightButton) {
        const int w = m_view->viewport()->width();
        const int h = m_view->viewport()->height();
        const int qx = int(w * 0.25);
        const int qy = int(h * 0.25);
        const bool central = viewPos.x() >= qx && viewPos.x() <= w - qx && viewPos.y() >= qy && viewPos.y() <= h - qy;
        (central ? m_panDragging : m_zoomDragging) = true;
        m_lastMousePos = viewPos;
        return true;
    }
    if (event->button() == Qt::MiddleButton) {
        m_windowLevelDragging = true;
        m_lastMousePos = viewPos;
        return true;
    }
    if (event->button() != Qt::LeftButton)
        return false;

    const QPointF s = m_view->mapToScene(viewPos);
    setFocus(Qt::MouseFocusReason);
    switch (m_toolMode) {
    case 8: {
        const QPointF d = QPointF(viewPos) - imageCentreInView();
        for (const auto& angle : {m_lineAAngle, m_lineBAngle}) {
            if (angle && std::abs(std::sin(*angle) * d.x() - std::cos(*angle) * d.y()) <= kLineGrabDistance) {
                m_axesRotating = true;
                m_lastAxisAngle = std::atan2(d.y(), d.x());
                break;
            }
        }
        return true;
    }
    case 1:
        m_panDragging = true;
        m_lastMousePos = viewPos;
        return true;
    case 2:
        m_zoomDragging = true;
        m_lastMousePos = viewPos;
        return true;
    case 3:
        m_windowLevelDragging = true;
        m_lastMousePos = viewPos;
        return true;
    case 10:
        addTextLabel(s);
        return true;
    default:
        break;
    }
    if (m_contourOpen) {
        addContourPoint(s);
        return true;
    }
    if (m_toolMode == 12 || m_toolMode == 13 || m_toolMode == 16) {
        openContour(s);
        return true;
    }
    if (m_toolMode == 0) {
        crosshairPress(s);
        return true;
    }
    if (m_crosshairCentreValid) {
        const QPointF centre = m_view->viewportTransform().map(m_crosshairCentre);
        if (std::hypot(viewPos.x() - centre.x(), viewPos.y() - centre.y()) <= kLineGrabDistance) {
            crosshairPress(s);
            return true;
        }
    }
    if (grabExistingMeasurement(viewPos, s))
        return true;
    selectMeasurement(-1);
    if (m_angleStage == 1 && m_toolMode == 6) {
        beginMeasurement(s);
    } else if (isMeasuringMode(m_toolMode)) {
        m_createPending = true;
        m_pressViewPos = viewPos;
        m_pressScenePos = s;
    }
    return true;
}

bool MprViewportWidget::handleMouseMove(QMouseEvent* event)
{
    const QPoint viewPos = event->position().toPoint();
    const QPointF c = m_view->mapToScene(viewPos);
    if (m_contourOpen) {
        previewContour(c);
        return true;
    }
    if (m_axesRotating) {
        const QPointF d = QPointF(viewPos) - imageCentreInView();
        const double g = std::atan2(d.y(), d.x());
        double diff = g - m_lastAxisAngle;
        if (diff > std::numbers::pi)
            diff -= 2.0 * std::numbers::pi;
        else if (diff < -std::numbers::pi)
            diff += 2.0 * std::numbers::pi;
        m_lastAxisAngle = g;
        emit axesRotateDelta(diff * 180.0 / std::numbers::pi);
        return true;
    }
    if (m_crosshairDragging) {
        if (const auto pos = normalisedPosition(c))
            emit positionClicked(pos->x(), pos->y());
        return true;
    }
    if (m_panDragging) {
        const QPoint d = viewPos - m_lastMousePos;
        m_lastMousePos = viewPos;
        m_view->horizontalScrollBar()->setValue(m_view->horizontalScrollBar()->value() - d.x());
        m_view->verticalScrollBar()->setValue(m_view->verticalScrollBar()->value() - d.y());
        return true;
    }
    if (m_zoomDragging) {
        const int dy = m_lastMousePos.y() - viewPos.y();
        m_lastMousePos = viewPos;
        const double factor = std::pow(1.01, dy);
        m_view->scale(factor, factor);
        m_userZoomed = true;
        return true;
    }
    if (m_createPending) {
        if ((viewPos - m_pressViewPos).manhattanLength() < 4)
            return true;
        m_createPending = false;
        beginMeasurement(m_pressScenePos);
        updateActiveMeasurement(c);
        return true;
    }
    if (moveEditedMeasurement(viewPos, c))
        return true;
    if (m_activeIndex >= 0) {
        updateActiveMeasurement(c);
        return true;
    }
    if (m_windowLevelDragging) {
        const QPoint d = viewPos - m_lastMousePos;
        m_lastMousePos = viewPos;
        emit windowLevelDragged(2.0 * d.y(), 2.0 * d.x());
        return true;
    }
    return false;
}

bool MprViewportWidget::handleMouseRelease(QMouseEvent* event)
{
    if (event->button() == Qt::MiddleButton) {
        m_windowLevelDragging = false;
        return true;
    }
    if (event->button() == Qt::RightButton) {
        m_panDragging = false;
        m_zoomDragging = false;
        return true;
    }
    if (event->button() != Qt::LeftButton)
        return false;
    m_createPending = false;
    if (m_crosshairDragging) {
        m_crosshairDragging = false;
        emit crosshairDragFinished();
        return true;
    }
    for (bool* flag : {&m_axesRotating, &m_panDragging, &m_zoomDragging, &m_windowLevelDragging}) {
        if (*flag) {
            *flag = false;
            return true;
        }
    }
    if (releaseEditedMeasurement())
        return true;
    if (m_activeIndex >= 0 && !m_contourOpen)
        finishMeasurement(m_view->mapToScene(event->position().toPoint()));
    return true;
}

bool MprViewportWidget::handleDoubleClick(QMouseEvent*)
{
    if (m_contourOpen)
        closeContour();
    else
        emit doubleClicked();
    return true;
}

bool MprViewportWidget::handleWheel(QWheelEvent* event)
{
    const int delta = event->angleDelta().y();
    if (event->modifiers() & Qt::ControlModifier) {
        const double factor = delta > 0 ? 1.15 : 1.0 / 1.15;
        m_view->scale(factor, factor);
        m_userZoomed = true;
        hideViewScrollBars();
    } else {
        emit wheelStepped(delta > 0 ? -1 : 1);
    }
    return true;
}

void MprViewportWidget::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) && m_selectedIndex >= 0
        && m_selectedIndex < m_measurements.size()) {
        const int k = m_selectedIndex;
        removeMeasurement(k);
        if (k - 1 >= 0 && k - 1 < m_measurements.size())
            selectMeasurement(k - 1);
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MprViewportWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (!m_userZoomed)
        fitImageInView();
    hideViewScrollBars();
}
