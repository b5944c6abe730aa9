#pragma once

#include "render/TransferFunction.h"

#include <QList>
#include <QPointF>
#include <QRectF>
#include <QWidget>

class QGraphicsPathItem;
class QGraphicsScene;
class TransferFunctionGraphicsView;
class TransferFunctionHandleItem;

// Hand editing of a transfer function: a filled opacity curve over the HU axis with one draggable
// coloured node per control point. The two end nodes stay pinned to the ends of the axis.
class TransferFunctionEditorWidget : public QWidget
{
    Q_OBJECT

public:
    explicit TransferFunctionEditorWidget(QWidget* parent = nullptr);

    void setPreset(const render::TransferFunctionPreset& preset, double huMin, double huMax);
    // The current points under an empty name.
    render::TransferFunctionPreset preset() const;

    const QList<render::TransferFunctionPoint>& points() const { return m_points; }
    double huMin() const { return m_huMin; }
    double huMax() const { return m_huMax; }
    const QList<TransferFunctionHandleItem*>& handles() const { return m_handles; }
    QGraphicsPathItem* curveItem() const { return m_curveItem; }
    TransferFunctionGraphicsView* graphicsView() const { return m_view; }

    QRectF plotRect() const;
    QPointF scenePosForPoint(const render::TransferFunctionPoint& point) const;
    // The point a node at `position` stands for: clamped into the plot, kept 1 HU inside its neighbours,
    // end nodes keeping their value.
    render::TransferFunctionPoint pointForScenePos(int index, const QPointF& position) const;

    // Where a node proposed at `position` actually goes; writes its point back and reports a draft.
    QPointF moveNode(int index, const QPointF& position);
    void nodeReleased();
    void addPointAt(const QPointF& position);
    void removePoint(int index);
    void editPointColor(int index);

signals:
    void presetChangedDraft(render::TransferFunctionPreset preset);
    void presetChangedFinal(render::TransferFunctionPreset preset);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuildScene();
    void updateCurveItem();

    TransferFunctionGraphicsView* m_view = nullptr;
    QGraphicsScene* m_scene = nullptr;
    QGraphicsPathItem* m_curveItem = nullptr;
    QList<TransferFunctionHandleItem*> m_handles;
    QList<render::TransferFunctionPoint> m_points;
    double m_huMin = -1000.0;
    double m_huMax = 3000.0;
    bool m_layingOut = false;
};
