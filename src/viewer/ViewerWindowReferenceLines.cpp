// Reference lines and the 3D cursor of the viewer window: both work in patient space from the position,
// orientation and pixel spacing of the slices the panels show.

#include "viewer/ViewerWindow.h"

#include "viewer/ImageViewportWidget.h"
#include "viewer/SliceGeometry.h"

#include <QStatusBar>

#include <cmath>

namespace {

// The plane of the slice a panel shows, or an invalid one when the panel cannot take part: no slice,
// no coordinates, or a reconstruction plane whose image is not the file's slice.
SliceGeometry shownGeometry(const ImageViewportWidget* panel)
{
    if (!panel || panel->sliceCount() == 0 || panel->reconstructionPlane() != 0)
        return {};
    const std::optional<db::InstanceRecord> slice = panel->currentSlice();
    if (!slice || !slice->hasSpatialInfo)
        return {};
    return makeSliceGeometry(*slice, panel->imageWidth(), panel->imageHeight());
}

} // namespace

void ViewerWindow::setReferenceLinesEnabled(bool on)
{
    m_referenceLinesEnabled = on;
    updateReferenceLines();
}

void ViewerWindow::updateReferenceLines()
{
    if (m_panels.size() != PanelCount)
        return;
    if (!m_referenceLinesEnabled) {
        for (ImageViewportWidget* panel : std::as_const(m_panels))
            panel->setReferenceLines({});
        statusBar()->clearMessage();
        return;
    }

    QList<int> cells;
    SliceGeometry geometry[PanelCount];
    int loaded = 0;
    for (int r = 0; r < m_gridRows; ++r) {
        for (int c = 0; c < m_gridCols; ++c) {
            const int i = r * 3 + c;
            cells.append(i);
            geometry[i] = shownGeometry(m_panels[i]);
            if (m_panels[i]->sliceCount() > 0)
                ++loaded;
        }
    }

    int located = 0;
    int segments = 0;
    for (int i : std::as_const(cells)) {
        ImageViewportWidget* panel = m_panels[i];
        // The active panel is the one being browsed: the lines show the others where its slice lies.
        if (panel->sliceCount() == 0 || i == m_activePanel || !geometry[i].valid) {
            panel->setReferenceLines({});
            continue;
        }
        ++located;
        QList<QLineF> lines;
        for (int j : std::as_const(cells)) {
            if (j == i || !geometry[j].valid)
                continue;
            const ReferenceLine3D line = intersectSlicePlanes(geometry[i], geometry[j]);
            if (!line.valid)
                continue;
            if (const std::optional<QLineF> segment = clipLineToImage(geometry[i], line)) {
                lines.append(*segment);
                ++segments;
            }
        }
        panel->setReferenceLines(lines);
    }

    if (loaded < 2)
        statusBar()->showMessage(
            QStringLiteral("Референсные линии: нужно минимум 2 панели с загруженными сериями."));
    else if (located == 0)
        statusBar()->showMessage(QStringLiteral(
            "Референсные линии: ни у одной серии нет координат ImagePositionPatient/Orientation — скорее всего, "
            "эти исследования импортированы ДО того, как их начали сохранять. Переимпортируйте исследование "
            "(папку с исходными файлами) заново."));
    else if (segments == 0)
        statusBar()->showMessage(QStringLiteral(
            "Референсные линии: координаты есть, но видимые плоскости практически параллельны (например, две "
            "аксиальные серии) — пересечения физически нет, это ожидаемо."));
    else
        statusBar()->clearMessage();
}

void ViewerWindow::syncCursor3D(int sourceIndex, QPointF imagePixelPos)
{
    if (sourceIndex < 0 || sourceIndex >= PanelCount || m_panels.size() != PanelCount)
        return;
    ImageViewportWidget* source = m_panels[sourceIndex];
    // A reconstruction's pixels are not positions on the file's slice.
    if (source->reconstructionPlane() != 0)
        return;
    const std::optional<db::InstanceRecord> slice = source->currentSlice();
    if (!slice || !slice->hasSpatialInfo) {
        statusBar()->showMessage(QStringLiteral(
            "3D-курсор: у этой серии нет пространственных координат — переимпортируйте исследование заново, "
            "чтобы они появились."));
        return;
    }
    const SliceGeometry g = makeSliceGeometry(*slice, source->imageWidth(), source->imageHeight());
    if (!g.valid)
        return;
    const QVector3D point = g.origin + float(g.spacingX * imagePixelPos.x()) * g.rowDirection
                            + float(g.spacingY * imagePixelPos.y()) * g.colDirection;

    // Panels moved here must not move the others by synchronised scrolling; the lines are
    // recomputed once at the end.
    const bool wasSyncing = m_syncInProgress;
    m_syncInProgress = true;
    for (int k = 0; k < PanelCount; ++k) {
        ImageViewportWidget* panel = m_panels[k];
        if (k == sourceIndex) {
            panel->setCursor3DMarker(imagePixelPos);
            continue;
        }
        if (panel->sliceCount() == 0 || panel->reconstructionPlane() != 0) {
            panel->setCursor3DMarker(std::nullopt);
            continue;
        }
        // The panel's own list, in the panel's order: it sorts and merges slices itself, so the
        // viewer's copy may hold them in another order.
        const QList<db::InstanceRecord>& slices = panel->slices();
        const db::InstanceRecord& first = slices.first();
        if (!first.hasSpatialInfo) {
            panel->setCursor3DMarker(std::nullopt);
            continue;
        }
        const QVector3D row(float(first.orientationRow[0]), float(first.orientationRow[1]),
                            float(first.orientationRow[2]));
        const QVector3D col(float(first.orientationCol[0]), float(first.orientationCol[1]),
                            float(first.orientationCol[2]));
        const QVector3D n = normalizedDirection(QVector3D::crossProduct(row, col));
        if (n.lengthSquared() < 1e-6f) {
            panel->setCursor3DMarker(std::nullopt);
            continue;
        }
        const double delta = QVector3D::dotProduct(point, n);
        int nearest = 0;
        double best = -1.0;
        for (int m = 0; m < slices.size(); ++m) {
            const std::array<double, 3>& p = slices.at(m).imagePosition;
            const double distance = std::abs(p[0] * n.x() + p[1] * n.y() + p[2] * n.z() - delta);
            if (best < 0.0 || distance < best) {
                best = distance;
                nearest = m;
            }
        }
        if (nearest != panel->currentSliceIndex())
            panel->showSlice(nearest);
        const SliceGeometry target =
            makeSliceGeometry(slices.at(nearest), panel->imageWidth(), panel->imageHeight());
        if (target.valid)
            panel->setCursor3DMarker(patientToImage(target, point));
        else
            panel->setCursor3DMarker(std::nullopt);
    }
    m_syncInProgress = wasSyncing;
    updateReferenceLines();
}

void ViewerWindow::hideCursor3DMarkers()
{
    for (ImageViewportWidget* panel : std::as_const(m_panels))
        panel->setCursor3DMarker(std::nullopt);
}
