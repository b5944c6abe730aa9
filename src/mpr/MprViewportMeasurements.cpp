// Creation, layout, removal and storage of the measurements drawn over a reconstruction panel.

#include "mpr/MprViewportWidget.h"

#include "viewer/CommentInputDialog.h"
#include "viewer/MeasurementGraphics.h"

#include <QFont>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPathItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QLineF>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

const QString kRoiReleaseText = QStringLiteral("отпустите для расчёта HU…");
const QString kRoiUnavailableText = QStringLiteral("HU недоступно");

QString mm1(double v)
{
    return QString::number(v, 'f', 1);
}

QPen shapePen(const QColor& colour, int kind)
{
    const bool stenosis = kind == 15 || kind == 16;
    QPen pen(QBrush(colour), stenosis ? 3.5 : 0.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
    if (stenosis)
        pen.setCosmetic(true);
    return pen;
}

bool isStorableKind(int kind)
{
    return kind == 4 || kind == 5 || kind == 6 || kind == 7 || kind == 11 || kind == 14;
}

bool isContourKind(int kind)
{
    return kind == 12 || kind == 13 || kind == 16;
}

double polygonArea(const QList<QPointF>& p)
{
    double sum = 0.0;
    for (qsizetype i = 0; i < p.size(); ++i) {
        const QPointF& a = p.at(i);
        const QPointF& b = p.at((i + 1) % p.size());
        sum += b.x() * a.y() - a.x() * b.y();
    }
    return std::abs(sum) / 2.0;
}

double polygonPerimeter(const QList<QPointF>& p)
{
    double sum = 0.0;
    for (qsizetype i = 0; i < p.size(); ++i)
        sum += QLineF(p.at(i), p.at((i + 1) % p.size())).length();
    return sum;
}

QPolygonF arrowHead(const QPointF& p0, const QPointF& p1)
{
    const double b = QLineF(p0, p1).angle();
    const double t1 = (b + 180.0 - 25.0) * std::numbers::pi / 180.0;
    const double t2 = (b + 180.0 + 25.0) * std::numbers::pi / 180.0;
    return QPolygonF({p1, p1 + 12.0 * QPointF(std::cos(t1), -std::sin(t1)),
                      p1 + 12.0 * QPointF(std::cos(t2), -std::sin(t2))});
}

// Stored points come from a file; values far outside any picture cannot be drawn sensibly.
bool drawablePoint(const QPointF& p)
{
    constexpr double kLimit = 1e6;
    return std::isfinite(p.x()) && std::isfinite(p.y()) && std::abs(p.x()) <= kLimit && std::abs(p.y()) <= kLimit;
}

bool allDrawable(const QList<QPointF>& points)
{
    return std::all_of(points.begin(), points.end(), drawablePoint);
}

} // namespace

QColor MprViewportWidget::kindColour(int kind, int stenosisStep) const
{
    switch (kind) {
    case 4: return QColor(255, 210, 0);
    case 5: return QColor(0, 220, 180);
    case 6: return QColor(0, 255, 130);
    case 7: return m_roiColor.isValid() ? m_roiColor : QColor(0, 200, 255);
    case 9: return QColor(255, 140, 220);
    case 11: return QColor(120, 200, 255);
    case 12: return QColor(140, 255, 170);
    case 13: return QColor(255, 200, 140);
    case 14: return QColor(190, 140, 255);
    case 15:
    case 16: return stenosisStep == 2 ? QColor(255, 150, 0) : QColor(230, 30, 30);
    default: return QColor(Qt::white);
    }
}

QGraphicsSimpleTextItem* MprViewportWidget::createLabel(const QString& text, const QPointF& pos)
{
    auto* label = new QGraphicsSimpleTextItem(text);
    QFont font = label->font();
    font.setPointSize(11);
    font.setWeight(QFont::Bold);
    label->setFont(font);
    label->setBrush(QColor(255, 40, 40));
    label->setFlag(QGraphicsItem::ItemIgnoresTransformations, true);
    applyLabelShadow(label);
    label->setPos(pos);
    m_scene->addItem(label);
    return label;
}

void MprViewportWidget::addHandles(Measurement& m, int count)
{
    for (int i = 0; i < count; ++i)
        m.handles.append(createHandleItem(m_scene, m.points.value(i, m.points.value(0))));
}

QString MprViewportWidget::roiText(int index) const
{
    if (!m_roiStatsProvider || index < 0 || index >= m_measurements.size())
        return kRoiUnavailableText;
    const Measurement& m = m_measurements.at(index);
    if (m.points.size() < 2)
        return kRoiUnavailableText;
    return m_roiStatsProvider(m.sliceIndex, QRectF(m.points.at(0), m.points.at(1)).normalized(), index);
}

void MprViewportWidget::beginMeasurement(const QPointF& p)
{
    const int mode = m_toolMode;
    if (mode == 6 && m_angleStage == 1) {
        if (m_activeIndex < 0 || m_activeIndex >= m_measurements.size())
            return;
        Measurement& m = m_measurements[m_activeIndex];
        if (m.kind != 6 || m.points.size() != 2)
            return;
        m.points.append(p);
        auto* line = m_scene->addLine(QLineF(m.points.at(0), p), shapePen(m.colour, m.kind));
        m.items.append(line);
        return;
    }
    Measurement m;
    m.kind = mode;
    m.sliceIndex = m_sliceIndex;
    switch (mode) {
    case 4: case 5: case 7: case 11: case 14: case 15: {
        m.points = {p, p};
        if (mode == 15) {
            m.stenosisStep = m_stenosisPending + 1;
            m.labelHidden = m_stenosisLabelsHidden;
            if (m.stenosisStep == 2)
                m.stenosisReference = m_stenosisReference;
        }
        m.colour = kindColour(mode, m.stenosisStep);
        const QPen pen = shapePen(m.colour, mode);
        if (mode == 7 || mode == 14) {
            m.items.append(m_scene->addEllipse(QRectF(p, p), pen));
        } else {
            m.items.append(m_scene->addLine(QLineF(p, p), pen));
            if (mode == 11) {
                auto* head = m_scene->addPolygon(arrowHead(p, p), QPen(QBrush(m.colour), 0), QBrush(m.colour));
                m.items.append(head);
            }
        }
        if (mode != 11) {
            m.label = createLabel(QString(), p);
            m.label->setVisible(!m.labelHidden);
        }
        addHandles(m, 2);
        break;
    }
    case 6:
        m.points = {p, p};
        m.colour = kindColour(6, 0);
        m.items.append(m_scene->addLine(QLineF(p, p), shapePen(m.colour, 6)));
        m.label = createLabel(QString(), p);
        break;
    case 9: {
        m.points = {p};
        m.colour = kindColour(9, 0);
        auto* path = m_scene->addPath(polylinePath(m.points, false), shapePen(m.colour, 9));
        m.items.append(path);
        break;
    }
    default:
        return;
    }
    m_measurements.append(m);
    m_activeIndex = m_measurements.size() - 1;
}

void MprViewportWidget::updateActiveMeasurement(const QPointF& c)
{
    if (m_activeIndex < 0 || m_activeIndex >= m_measurements.size())
        return;
    Measurement& m = m_measurements[m_activeIndex];
    switch (m.kind) {
    case 4: case 11: case 14: case 15: case 7:
        if (m.points.size() < 2)
            return;
        m.points[1] = c;
        layoutMeasurement(m_activeIndex);
        if (m.kind == 7 && m.label)
            m.label->setText(kRoiReleaseText);
        break;
    case 5:
        if (m.points.size() < 2)
            return;
        m.points[1] = m_centerlineHorizontal ? QPointF(m.points.at(0).x(), c.y()) : QPointF(c.x(), m.points.at(0).y());
        layoutMeasurement(m_activeIndex);
        break;
    case 6:
        if (m_angleStage == 0 && m.points.size() >= 2) {
            m.points[1] = c;
            if (auto* line = dynamic_cast<QGraphicsLineItem*>(m.items.value(0)))
                line->setLine(QLineF(m.points.at(0), c));
        } else if (m_angleStage == 1 && m.points.size() == 3 && m.items.size() == 2) {
            m.points[2] = c;
            if (auto* line = dynamic_cast<QGraphicsLineItem*>(m.items.value(1)))
                line->setLine(QLineF(m.points.at(0), c));
        }
        break;
    case 9:
        m.points.append(c);
        if (auto* path = dynamic_cast<QGraphicsPathItem*>(m.items.value(0)))
            path->setPath(polylinePath(m.points, false));
        break;
    default:
        break;
    }
}

void MprViewportWidget::finishMeasurement(const QPointF& r)
{
    const int index = m_activeIndex;
    if (index < 0 || index >= m_measurements.size())
        return;
    Measurement& m = m_measurements[index];
    switch (m.kind) {
    case 4: case 11: case 14:
        m.points[1] = r;
        layoutMeasurement(index);
        completeMeasurement(index);
        break;
    case 5:
        m.points[1] = m_centerlineHorizontal ? QPointF(m.points.at(0).x(), r.y()) : QPointF(r.x(), m.points.at(0).y());
        layoutMeasurement(index);
        completeMeasurement(index);
        break;
    case 6:
        if (m_angleStage == 0) {
            m.points[1] = r;
            layoutMeasurement(index);
            m_angleStage = 1;
        } else if (m.points.size() == 3) {
            m.points[2] = r;
            layoutMeasurement(index);
            addHandles(m, 3);
            m_angleStage = 0;
            completeMeasurement(index);
        }
        break;
    case 7:
        m.points[1] = r;
        layoutMeasurement(index);
        if (m.label)
            m.label->setText(roiText(index));
        completeMeasurement(index);
        break;
    case 9:
        m.points.append(r);
        if (auto* path = dynamic_cast<QGraphicsPathItem*>(m.items.value(0)))
            path->setPath(polylinePath(m.points, false));
        completeMeasurement(index);
        break;
    case 15:
        m.points[1] = r;
        layoutMeasurement(index);
        if (m.stenosisStep == 1) {
            m_stenosisReference = measuredValue(m);
            m_stenosisPending = 1;
        } else {
            m_stenosisPending = 0;
        }
        completeMeasurement(index);
        break;
    default:
        break;
    }
}

void MprViewportWidget::completeMeasurement(int index)
{
    m_activeIndex = -1;
    selectMeasurement(index);
}

void MprViewportWidget::openContour(const QPointF& p)
{
    Measurement m;
    m.kind = m_toolMode;
    m.sliceIndex = m_sliceIndex;
    m.points = {p};
    if (m.kind == 16) {
        m.stenosisStep = m_stenosisPending + 1;
        m.labelHidden = m_stenosisLabelsHidden;
    }
    m.colour = kindColour(m.kind, m.stenosisStep);
    m.items.append(m_scene->addPath(polylinePath(m.points, false), shapePen(m.colour, m.kind)));
    m.label = createLabel(QString(), p);
    m.label->setVisible(false);
    m_measurements.append(m);
    m_activeIndex = m_measurements.size() - 1;
    m_contourOpen = true;
    previewContour(p);
}

void MprViewportWidget::addContourPoint(const QPointF& p)
{
    if (m_activeIndex < 0 || m_activeIndex >= m_measurements.size()) {
        m_contourOpen = false;
        return;
    }
    m_measurements[m_activeIndex].points.append(p);
    previewContour(p);
}

void MprViewportWidget::previewContour(const QPointF& cursor)
{
    if (m_activeIndex < 0 || m_activeIndex >= m_measurements.size())
        return;
    const Measurement& m = m_measurements.at(m_activeIndex);
    auto* path = dynamic_cast<QGraphicsPathItem*>(m.items.value(0));
    if (!path)
        return;
    QList<QPointF> points = m.points;
    points.append(cursor);
    if (m.kind == 12 || m.points.size() < 2)
        path->setPath(polylinePath(points, false));
    else
        path->setPath(smoothOpenPath(points));
}

void MprViewportWidget::closeContour()
{
    const int index = m_activeIndex;
    if (index < 0 || index >= m_measurements.size()) {
        m_contourOpen = false;
        return;
    }
    const int kind = m_measurements.at(index).kind;
    if (m_measurements.at(index).points.size() < 3) {
        m_contourOpen = false;
        removeMeasurement(index);
        m_activeIndex = -1;
        if (kind == 16)
            m_stenosisPending = 0;
        return;
    }
    Measurement& m = m_measurements[index];
    addHandles(m, int(m.points.size()));
    if (m.label)
        m.label->setVisible(!m.labelHidden);
    if (kind == 16 && m.stenosisStep == 2)
        m.stenosisReference = m_stenosisReference;
    m_contourOpen = false;
    layoutMeasurement(index);
    if (kind == 16) {
        if (m.stenosisStep == 1) {
            m_stenosisReference = measuredValue(m);
            m_stenosisPending = 1;
        } else {
            m_stenosisPending = 0;
        }
    }
    m_activeIndex = -1;
    selectMeasurement(index);
}

void MprViewportWidget::addTextLabel(const QPointF& p)
{
    const std::optional<QString> text = CommentInputDialog::getText(this, QStringLiteral("Текстовая метка"), QString());
    if (!text)
        return;
    Measurement m;
    m.kind = 10;
    m.sliceIndex = m_sliceIndex;
    m.points = {p};
    m.colour = QColor(Qt::white);
    m.label = createLabel(*text, p);
    addHandles(m, 1);
    m_measurements.append(m);
    selectMeasurement(int(m_measurements.size()) - 1);
}

double MprViewportWidget::measuredValue(const Measurement& m) const
{
    const double s = m_pixelSpacing;
    if (isContourKind(m.kind))
        return m.points.size() >= 3 ? polygonArea(m.points) * s * s : 0.0;
    if (m.points.size() < 2)
        return 0.0;
    return QLineF(m.points.at(0), m.points.at(1)).length() * s;
}

void MprViewportWidget::layoutMeasurement(int index)
{
    if (index < 0 || index >= m_measurements.size())
        return;
    Measurement& m = m_measurements[index];
    const double s = m_pixelSpacing;
    const QList<QPointF>& p = m.points;
    auto setLabel = [&](const QString& text, const QPointF& anchor) {
        if (!m.label)
            return;
        if (!text.isNull())
            m.label->setText(text);
        m.label->setPos(anchor + m.labelOffset);
    };
    auto line = [&](int i) { return dynamic_cast<QGraphicsLineItem*>(m.items.value(i)); };
    auto stenosisTexts = [&](double v, bool area) {
        const QString unit = area ? QStringLiteral("S=%1 мм²") : QStringLiteral("%1 мм");
        if (m.stenosisStep == 1) {
            emit stenosisResultChanged(QStringLiteral("Весь сосуд: %1 — теперь %2")
                                           .arg(unit.arg(mm1(v)),
                                                area ? QStringLiteral("обведите остаточный просвет")
                                                     : QStringLiteral("измерьте остаточный просвет")));
            return QStringLiteral("Весь сосуд: %1").arg(unit.arg(mm1(v)));
        }
        if (m.stenosisStep == 2) {
            const double percent = m.stenosisReference > 1e-9
                ? std::clamp((1.0 - v / m.stenosisReference) * 100.0, 0.0, 100.0)
                : 0.0;
            const QString pct = QString::number(percent, 'f', 0);
            emit stenosisResultChanged(QStringLiteral("Весь сосуд: %1  Просвет: %2  Стеноз: %3%")
                                           .arg(unit.arg(mm1(m.stenosisReference)), unit.arg(mm1(v)), pct));
            return QStringLiteral("Просвет: %1  Стеноз: %2%").arg(unit.arg(mm1(v)), pct);
        }
        return area ? QStringLiteral("S=%1 мм²  P=%2 мм").arg(mm1(v), mm1(polygonPerimeter(p) * s))
                    : QStringLiteral("%1 мм").arg(mm1(v));
    };

    switch (m.kind) {
    case 4: case 5: case 15:
        if (p.size() < 2)
            return;
        if (auto* l = line(0))
            l->setLine(QLineF(p.at(0), p.at(1)));
        if (m.kind == 15)
            setLabel(stenosisTexts(measuredValue(m), false), (p.at(0) + p.at(1)) / 2.0);
        else
            setLabel((m.kind == 4 ? QStringLiteral("%1 мм") : QStringLiteral("Диаметр: %1 мм")).arg(mm1(measuredValue(m))),
                     (p.at(0) + p.at(1)) / 2.0);
        break;
    case 6:
        if (p.size() < 2)
            return;
        if (auto* l = line(0))
            l->setLine(QLineF(p.at(0), p.at(1)));
        if (p.size() >= 3 && m.items.size() >= 2) {
            const QLineF first(p.at(0), p.at(1));
            const QLineF second(p.at(0), p.at(2));
            if (auto* l = line(1))
                l->setLine(second);
            double a = first.angleTo(second);
            if (a > 180.0)
                a = 360.0 - a;
            setLabel(QStringLiteral("%1°").arg(mm1(a)), p.at(0));
        } else {
            setLabel(QString(), p.at(0));
        }
        break;
    case 7:
        if (p.size() < 2)
            return;
        if (auto* e = dynamic_cast<QGraphicsEllipseItem*>(m.items.value(0)))
            e->setRect(QRectF(p.at(0), p.at(1)).normalized());
        setLabel(QString(), QRectF(p.at(0), p.at(1)).normalized().topLeft());
        break;
    case 10:
        if (!p.isEmpty())
            setLabel(QString(), p.at(0));
        break;
    case 11:
        if (p.size() < 2)
            return;
        if (auto* l = line(0))
            l->setLine(QLineF(p.at(0), p.at(1)));
        if (auto* head = dynamic_cast<QGraphicsPolygonItem*>(m.items.value(1)))
            head->setPolygon(arrowHead(p.at(0), p.at(1)));
        break;
    case 14: {
        if (p.size() < 2)
            return;
        const QRectF rect = QRectF(p.at(0), p.at(1)).normalized();
        if (auto* e = dynamic_cast<QGraphicsEllipseItem*>(m.items.value(0)))
            e->setRect(rect);
        const double a = rect.width() / 2.0;
        const double b = rect.height() / 2.0;
        const double area = std::numbers::pi * a * b * s * s;
        const double h = (a - b) * (a - b) / ((a + b) * (a + b) + 1e-9);
        const double perimeter = std::numbers::pi * (a + b) * (1.0 + 3.0 * h / (10.0 + std::sqrt(4.0 - 3.0 * h))) * s;
        setLabel(QStringLiteral("S=%1 мм²  P=%2 мм").arg(mm1(area), mm1(perimeter)), rect.topLeft());
        break;
    }
    case 12: case 13: case 16: {
        auto* path = dynamic_cast<QGraphicsPathItem*>(m.items.value(0));
        if (!path || p.size() < 3)
            return;
        path->setPath(m.kind == 12 ? polylinePath(p, true) : smoothClosedPath(p));
        QPointF mean;
        for (const QPointF& q : p)
            mean += q;
        mean /= double(p.size());
        const double area = measuredValue(m);
        const QString text = m.kind == 16 ? stenosisTexts(area, true)
                                          : QStringLiteral("S=%1 мм²  P=%2 мм").arg(mm1(area), mm1(polygonPerimeter(p) * s));
        setLabel(text, mean);
        break;
    }
    default:
        break;
    }
    for (int i = 0; i < m.handles.size() && i < p.size(); ++i)
        m.handles.at(i)->setPos(p.at(i));
}

void MprViewportWidget::applySliceVisibility()
{
    for (int i = 0; i < m_measurements.size(); ++i) {
        const Measurement& m = m_measurements.at(i);
        const bool on = m.sliceIndex == m_sliceIndex;
        for (QGraphicsItem* item : m.items)
            item->setVisible(on);
        if (m.label)
            m.label->setVisible(on && !m.labelHidden && !(m_contourOpen && i == m_activeIndex));
        for (QGraphicsItem* handle : m.handles)
            handle->setVisible(on && i == m_selectedIndex);
    }
}

void MprViewportWidget::removeMeasurement(int index)
{
    if (index < 0 || index >= m_measurements.size())
        return;
    Measurement m = m_measurements.takeAt(index);
    qDeleteAll(m.items);
    delete m.label;
    qDeleteAll(m.handles);
    for (int* i : {&m_selectedIndex, &m_activeIndex}) {
        if (*i == index)
            *i = -1;
        else if (*i > index)
            --*i;
    }
    // Drags that pointed at the removed record must not move its neighbour.
    for (int* i : {&m_labelDragIndex, &m_bodyDragIndex}) {
        if (*i == index)
            *i = -1;
        else if (*i > index)
            --*i;
    }
    emit measurementRemoved(index);
}

void MprViewportWidget::clearMeasurements()
{
    for (int i = int(m_measurements.size()) - 1; i >= 0; --i)
        removeMeasurement(i);
    m_contourOpen = false;
    m_angleStage = 0;
    m_activeIndex = -1;
}

QList<MprMeasurementRecord> MprViewportWidget::exportMeasurements() const
{
    QList<MprMeasurementRecord> records;
    for (const Measurement& m : m_measurements) {
        if (isStorableKind(m.kind))
            records.append({m.kind, m.sliceIndex, m.points, m.labelOffset});
    }
    return records;
}

void MprViewportWidget::importMeasurements(const QList<MprMeasurementRecord>& records)
{
    for (const MprMeasurementRecord& record : records) {
        if (!isStorableKind(record.kind))
            continue;
        const int needed = record.kind == 6 ? 3 : 2;
        // Records that cannot be rebuilt (too few or non-finite points) are skipped.
        if (record.points.size() < needed || !allDrawable(record.points.mid(0, needed)))
            continue;
        Measurement m;
        m.kind = record.kind;
        m.sliceIndex = record.sliceIndex;
        m.points = record.points.mid(0, needed);
        m.labelOffset = drawablePoint(record.labelOffset) ? record.labelOffset : QPointF();
        m.colour = m.kind == 7 ? QColor(0, 200, 255) : kindColour(m.kind, 0);
        const QPen pen = shapePen(m.colour, m.kind);
        const QPointF p0 = m.points.at(0);
        switch (m.kind) {
        case 7: case 14:
            m.items.append(m_scene->addEllipse(QRectF(p0, p0), pen));
            break;
        case 6:
            m.items.append(m_scene->addLine(QLineF(p0, p0), pen));
            m.items.append(m_scene->addLine(QLineF(p0, p0), pen));
            break;
        case 11:
            m.items.append(m_scene->addLine(QLineF(p0, p0), pen));
            m.items.append(m_scene->addPolygon(arrowHead(p0, p0), QPen(QBrush(m.colour), 0), QBrush(m.colour)));
            break;
        default:
            m.items.append(m_scene->addLine(QLineF(p0, p0), pen));
            break;
        }
        if (m.kind != 11)
            m.label = createLabel(QString(), p0);
        addHandles(m, needed);
        m_measurements.append(m);
        const int index = int(m_measurements.size()) - 1;
        layoutMeasurement(index);
        if (m.kind == 7)
            m_measurements[index].label->setText(roiText(index));
    }
    applySliceVisibility();
}
