#include "mpr/MprWindow.h"

#include "dialogs/WindowPlacement.h"
#include "dialogs/WaitingBox.h"
#include "mpr/MprViewportWidget.h"

#include "analysis3d/VolumeRenderWidget.h"
#include "analysis3d/VolumeWarningLabel.h"
#include "render/MprSlices.h"
#include "render/RoiMask.h"
#include "render/SliceSources.h"

#include <QMessageBox>
#include <QQuaternion>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include "dicom/WindowLevel.h"

// Builds the volume of one series away from the GUI thread.
class MprVolumeBuildWorker : public QObject
{
    Q_OBJECT

public:
    MprVolumeBuildWorker(QList<render::SliceSource>&& slices, int planeHint, std::shared_ptr<std::atomic_bool> stop)
        : slices(std::move(slices))
        , planeHint(planeHint)
        , stop(std::move(stop))
    {
    }

    QList<render::SliceSource> slices;
    int planeHint = 0;
    std::shared_ptr<std::atomic_bool> stop;
    render::Volume volume;
    QString error;

public slots:
    void run()
    {
        volume = render::buildVolume(slices, &error, planeHint, stop.get());
        emit finished();
    }

signals:
    void finished();
};

namespace {

const QColor kOrthogonalColour(0, 220, 0);
const std::array<QColor, 3> kPlaneColours{QColor(255, 210, 60), QColor(255, 70, 130), QColor(70, 170, 255)};

int roundHalfAway(double v)
{
    return int(std::lround(v));
}

// The angle, in the pane's picture, of the line where a plane with normal n cuts a pane (u, v, normal p).
double cutLineAngle(const QVector3D& p, const QVector3D& n, const QVector3D& u, const QVector3D& v)
{
    QVector3D l = QVector3D::crossProduct(p, n);
    if (l.lengthSquared() < 1e-8f)
        return 0.0;
    const float len = l.length();
    if (std::abs(len - 1.0f) > 1e-5f && len > 1e-5f)
        l /= len;
    return std::atan2(double(QVector3D::dotProduct(l, v)), double(QVector3D::dotProduct(l, u)));
}

} // namespace

MprWindow::MprWindow(const QList<db::InstanceRecord>& slices, const QString& seriesTitle, QWidget* parent,
                     double windowCenter, double windowWidth)
    : QMainWindow(parent)
    , m_initialCenter(windowCenter)
    , m_initialWidth(windowWidth)
{
    setWindowFlag(Qt::Window, true);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("MPR — %1").arg(seriesTitle));
    resizeWithinScreen(this, QSize(1300, 900));
    setDefaultAxes();
    buildPanes();
    buildToolbar();
    m_volumeWarning = new VolumeWarningLabel(statusBar());
    startBuild(slices, seriesTitle);
}

MprWindow::~MprWindow()
{
    // A running thread must not be destroyed: a window closed during the build stops the build, waits
    // for the little that is left and drops the result.
    m_stop->store(true);
    if (m_thread && m_thread->isRunning()) {
        m_thread->quit();
        m_thread->wait();
    }
}

void MprWindow::startBuild(const QList<db::InstanceRecord>& rows, const QString& seriesTitle)
{
    setEnabled(false);
    m_building = true;
    statusBar()->showMessage(QStringLiteral("Строится объём для реконструкции… (%1 срез.)").arg(rows.size()));
    QList<render::SliceSource> sources = render::sliceSourcesFromInstances(rows);

    auto* thread = new QThread(this);
    auto* worker = new MprVolumeBuildWorker(std::move(sources), render::guessAcquisitionPlane(seriesTitle), m_stop);
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &MprVolumeBuildWorker::run);
    connect(worker, &MprVolumeBuildWorker::finished, this, [this, worker, thread] {
        m_volume = std::move(worker->volume);
        worker->volume = render::Volume();
        const QString error = worker->error;
        thread->quit();
        onVolumeBuilt(error);
    });
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_thread = thread;
    thread->start(QThread::InheritPriority);
}

void MprWindow::onVolumeBuilt(const QString& error)
{
    setEnabled(true);
    m_building = false;
    const render::Volume& v = m_volume;
    if (v.isEmpty()) {
        // The build's thread ends, and its worker goes, while the user reads this.
        showWaitingBox(this, QMessageBox::Warning, QStringLiteral("MPR"),
                       QStringLiteral("Не удалось построить объём для реконструкции:\n%1")
                           .arg(error.isEmpty() ? QStringLiteral("неизвестная ошибка") : error));
        statusBar()->showMessage(QStringLiteral("Реконструкция не удалась"));
        return;
    }
    // Beside a volume the builder's text is a warning about it, kept in sight while the volume is shown.
    m_volumeWarning->showBuiltVolume(v, error);
    m_x = v.nx / 2;
    m_y = v.ny / 2;
    m_z = v.nz / 2;
    m_centre = QVector3D(float(v.nx * v.spacingX / 2.0), float(v.ny * v.spacingY / 2.0),
                         float(v.nz * v.spacingZ / 2.0));
    const double extent = std::max({v.nx * v.spacingX, v.ny * v.spacingY, v.nz * v.spacingZ});
    m_obliquePixelSize = extent > 0.0 ? extent / kObliqueImageSide : 1.0;
    setDefaultAxes();
    m_axesRotated = false;
    if (m_initialWidth > 0.0) {
        m_windowCenter = m_initialCenter;
        m_windowWidth = m_initialWidth;
    } else {
        const render::WindowLevel whole = render::windowForRange(v.minValue, v.maxValue);
        m_windowCenter = whole.center;
        m_windowWidth = whole.width;
    }
    m_volumeView->setVolume(&m_volume, m_windowCenter, m_windowWidth);
    m_volumeView->resetView(); // the same whole-volume front view that "Сбросить вид 3D" gives
    m_panes[0]->setSliceCount(v.nz);
    m_panes[1]->setSliceCount(v.ny);
    m_panes[2]->setSliceCount(v.nx);
    for (int plane = 0; plane < 3; ++plane) {
        m_panes[plane]->setPixelSpacing(panePixelSpacing(plane));
        m_panes[plane]->setRoiStatsProvider([this, plane](int slice, QRectF rect, int) {
            if (m_axesRotated)
                return QStringLiteral("ROI-статистика недоступна при повёрнутых плоскостях");
            return roiStatistics(plane, slice, rect);
        });
    }
    updateViews();
}

void MprWindow::setDefaultAxes()
{
    m_axisU = {QVector3D(1, 0, 0), QVector3D(1, 0, 0), QVector3D(0, 1, 0)};
    m_axisV = {QVector3D(0, 1, 0), QVector3D(0, 0, -1), QVector3D(0, 0, -1)};
}

double MprWindow::smallestSpacing() const
{
    return std::min({m_volume.spacingX, m_volume.spacingY, m_volume.spacingZ});
}

// Millimetres per pixel of the picture a pane shows. The orthogonal pictures are rescaled to square pixels
// of the smaller of their two spacings; the oblique ones have pixels of the oblique pixel size.
double MprWindow::panePixelSpacing(int plane) const
{
    if (m_axesRotated)
        return m_obliquePixelSize;
    const double sx = m_volume.spacingX, sy = m_volume.spacingY, sz = m_volume.spacingZ;
    const double h = plane == 2 ? sy : sx;
    const double v = plane == 0 ? sy : sz;
    if (h > 0.0 && v > 0.0 && std::abs(h - v) >= 0.01)
        return std::min(h, v);
    return h;
}

void MprWindow::updateViews()
{
    const render::Volume& v = m_volume;
    if (v.isEmpty())
        return;
    const double half = m_slabThickness / 2.0;
    if (!m_axesRotated) {
        auto halfSlab = [half](double s) {
            if (half <= 0.0 || s <= 0.0)
                return 0;
            return std::max(roundHalfAway(half / s), 0);
        };
        m_panes[0]->setImage(render::renderAxialSlice(v, m_z, m_windowCenter, m_windowWidth, halfSlab(v.spacingZ),
                                                      m_slabMode));
        m_panes[1]->setImage(render::renderCoronalSlice(v, m_y, m_windowCenter, m_windowWidth,
                                                        halfSlab(v.spacingY), m_slabMode));
        m_panes[2]->setImage(render::renderSagittalSlice(v, m_x, m_windowCenter, m_windowWidth,
                                                         halfSlab(v.spacingX), m_slabMode));
    } else {
        const double m = smallestSpacing();
        const int halfSlab = half <= 0.0 || m <= 0.0 ? 0 : std::max(roundHalfAway(half / m), 0);
        for (int plane = 0; plane < 3; ++plane) {
            m_panes[plane]->setImage(render::renderObliqueSlice(v, m_centre, m_axisU[plane], m_axisV[plane],
                                                                kObliqueImageSide, m_obliquePixelSize,
                                                                m_windowCenter, m_windowWidth, halfSlab,
                                                                m_slabMode));
        }
    }
    for (int plane = 0; plane < 3; ++plane)
        m_panes[plane]->setPixelSpacing(panePixelSpacing(plane));
    updateCrosshairs();
}

void MprWindow::updateCrosshairs()
{
    const render::Volume& v = m_volume;
    if (v.isEmpty())
        return;
    if (!m_axesRotated) {
        const double fx = v.nx < 2 ? 0.5 : double(m_x) / (v.nx - 1);
        const double fy = v.ny < 2 ? 0.5 : double(m_y) / (v.ny - 1);
        const double fz = v.nz < 2 ? 0.5 : 1.0 - double(m_z) / (v.nz - 1);
        const std::array<QPointF, 3> centres{QPointF(fx, fy), QPointF(fx, fz), QPointF(fy, fz)};
        const std::array<int, 3> indices{m_z, m_y, m_x};
        for (int plane = 0; plane < 3; ++plane) {
            MprViewportWidget* pane = m_panes[plane];
            pane->setCrosshairLineA(centres[plane], 0.0, kOrthogonalColour, false);
            pane->setCrosshairLineB(centres[plane], std::numbers::pi / 2.0, kOrthogonalColour, false);
            pane->setSliderValue(indices[plane]);
            m_sliderValues[plane] = pane->sliceBar()->value();
            pane->setSliceIndex(indices[plane]);
        }
        return;
    }
    std::array<QVector3D, 3> normals;
    for (int plane = 0; plane < 3; ++plane)
        normals[plane] = QVector3D::crossProduct(m_axisU[plane], m_axisV[plane]).normalized();
    // Line A and line B of each pane: the two other planes in axial, coronal, sagittal order.
    const std::array<std::array<int, 2>, 3> others{{{1, 2}, {0, 2}, {0, 1}}};
    const double m = std::max(smallestSpacing(), 0.1);
    for (int plane = 0; plane < 3; ++plane) {
        MprViewportWidget* pane = m_panes[plane];
        const QVector3D& p = normals[plane];
        const int a = others[plane][0];
        const int b = others[plane][1];
        pane->setCrosshairLineA(QPointF(0.5, 0.5), cutLineAngle(p, normals[a], m_axisU[plane], m_axisV[plane]),
                                kPlaneColours[a], false);
        pane->setCrosshairLineB(QPointF(0.5, 0.5), cutLineAngle(p, normals[b], m_axisU[plane], m_axisV[plane]),
                                kPlaneColours[b], false);
        pane->setSliceIndex(roundHalfAway(double(QVector3D::dotProduct(p, m_centre)) / m));
    }
}

void MprWindow::clampCentre()
{
    const render::Volume& v = m_volume;
    m_centre.setX(std::clamp(m_centre.x(), 0.0f, float(v.nx * v.spacingX)));
    m_centre.setY(std::clamp(m_centre.y(), 0.0f, float(v.ny * v.spacingY)));
    m_centre.setZ(std::clamp(m_centre.z(), 0.0f, float(v.nz * v.spacingZ)));
}

void MprWindow::paneClicked(int plane, double normX, double normY)
{
    const render::Volume& v = m_volume;
    if (v.isEmpty())
        return;
    if (!m_axesRotated) {
        const int cx = std::clamp(roundHalfAway((v.nx - 1) * normX), 0, v.nx - 1);
        const int cz = std::clamp(roundHalfAway((1.0 - normY) * (v.nz - 1)), 0, v.nz - 1);
        switch (plane) {
        case 0:
            m_x = cx;
            m_y = std::clamp(roundHalfAway((v.ny - 1) * normY), 0, v.ny - 1);
            break;
        case 1:
            m_x = cx;
            m_z = cz;
            break;
        default:
            m_y = std::clamp(roundHalfAway((v.ny - 1) * normX), 0, v.ny - 1);
            m_z = cz;
            break;
        }
    } else {
        const float span = float(kObliqueImageSide * m_obliquePixelSize);
        m_centre += m_axisU[plane] * float(normX - 0.5) * span + m_axisV[plane] * float(normY - 0.5) * span;
        clampCentre();
    }
    updateViews();
}

void MprWindow::paneWheel(int plane, int direction)
{
    const render::Volume& v = m_volume;
    if (v.isEmpty())
        return;
    if (!m_axesRotated) {
        switch (plane) {
        case 0: m_z = std::clamp(m_z + direction, 0, v.nz - 1); break;
        case 1: m_y = std::clamp(m_y + direction, 0, v.ny - 1); break;
        default: m_x = std::clamp(m_x + direction, 0, v.nx - 1); break;
        }
    } else {
        const QVector3D normal = QVector3D::crossProduct(m_axisU[plane], m_axisV[plane]).normalized();
        m_centre += normal * float(std::max(smallestSpacing(), 0.1)) * float(direction);
        clampCentre();
    }
    updateViews();
}

void MprWindow::onAxialClicked(double normX, double normY)
{
    paneClicked(0, normX, normY);
}

void MprWindow::onCoronalClicked(double normX, double normY)
{
    paneClicked(1, normX, normY);
}

void MprWindow::onSagittalClicked(double normX, double normY)
{
    paneClicked(2, normX, normY);
}

void MprWindow::onAxialWheel(int direction)
{
    paneWheel(0, direction);
}

void MprWindow::onCoronalWheel(int direction)
{
    paneWheel(1, direction);
}

void MprWindow::onSagittalWheel(int direction)
{
    paneWheel(2, direction);
}

void MprWindow::onWindowLevelDragged(double deltaCenter, double deltaWidth)
{
    m_windowCenter += deltaCenter;
    m_windowWidth = std::max(m_windowWidth + deltaWidth, 1.0);
    updateViews();
}

void MprWindow::rotateAxes(int plane, double angleDeg)
{
    if (plane < 0 || plane > 2 || !std::isfinite(angleDeg))
        return;
    const QVector3D axis = QVector3D::crossProduct(m_axisU[plane], m_axisV[plane]).normalized();
    const QQuaternion q = QQuaternion::fromAxisAndAngle(axis, float(angleDeg));
    for (int other = 0; other < 3; ++other) {
        if (other == plane)
            continue;
        m_axisU[other] = q.rotatedVector(m_axisU[other]).normalized();
        m_axisV[other] = q.rotatedVector(m_axisV[other]).normalized();
    }
    m_axesRotated = true;
    updateViews();
}

void MprWindow::resetRotation()
{
    setDefaultAxes();
    m_axesRotated = false;
    updateViews();
}

QString MprWindow::roiStatistics(int plane, int slice, const QRectF& rect) const
{
    const render::Volume& v = m_volume;
    if (v.isEmpty())
        return QStringLiteral("HU недоступно");
    const double a = rect.width() / 2.0;
    const double b = rect.height() / 2.0;
    if (!(a > 0.0) || !(b > 0.0) || !std::isfinite(a) || !std::isfinite(b))
        return QStringLiteral("ROI пуст");
    const double cx = rect.center().x();
    const double cy = rect.center().y();
    int nh = v.nx, nv = v.ny;
    double sh = v.spacingX, sv = v.spacingY;
    if (plane == 1) {
        nv = v.nz;
        sv = v.spacingZ;
    } else if (plane == 2) {
        nh = v.ny;
        sh = v.spacingY;
        nv = v.nz;
        sv = v.spacingZ;
    }
    double scaleH = 1.0, scaleV = 1.0;
    if (sh > 0.0 && sv > 0.0 && std::abs(sh - sv) >= 0.01) {
        const double m = std::min(sh, sv);
        const int w = std::max(roundHalfAway(nh * sh / m), 1);
        const int h = std::max(roundHalfAway(nv * sv / m), 1);
        scaleH = double(nh) / w;
        scaleV = double(nv) / h;
    }
    double sum = 0.0, sumSquares = 0.0;
    double minimum = std::numeric_limits<double>::max();
    double maximum = -std::numeric_limits<double>::max();
    qint64 count = 0;
    // Pixels outside the picture map outside the volume, so the visit is limited to the picture.
    const double maxH = nh / scaleH + 1.0, maxV = nv / scaleV + 1.0;
    const int x0 = int(std::clamp(std::floor(rect.left()), -1.0, maxH + 1.0));
    const int x1 = int(std::clamp(std::ceil(rect.right()), -1.0, maxH));
    const int y0 = int(std::clamp(std::floor(rect.top()), -1.0, maxV + 1.0));
    const int y1 = int(std::clamp(std::ceil(rect.bottom()), -1.0, maxV));
    const render::EllipseRoi ellipse{cx, cy, a, b}; // the pixel rule of every ROI
    for (int py = y0; py <= y1; ++py) {
        for (int px = x0; px <= x1; ++px) {
            if (!ellipse.contains(px, py))
                continue;
            const int ih = roundHalfAway(px * scaleH);
            const int iv = roundHalfAway(py * scaleV);
            int x = 0, y = 0, z = 0;
            if (plane == 0) {
                x = ih;
                y = iv;
                z = slice;
            } else if (plane == 1) {
                x = ih;
                y = slice;
                z = v.nz - 1 - iv;
            } else {
                x = slice;
                y = ih;
                z = v.nz - 1 - iv;
            }
            if (x < 0 || x >= v.nx || y < 0 || y >= v.ny || z < 0 || z >= v.nz)
                continue;
            const double value = render::voxelAt(v, x, y, z);
            sum += value;
            sumSquares += value * value;
            minimum = std::min(minimum, value);
            maximum = std::max(maximum, value);
            ++count;
        }
    }
    if (count == 0)
        return QStringLiteral("ROI пуст");
    const double mean = sum / count;
    const double sd = std::sqrt(std::max(sumSquares / count - mean * mean, 0.0));
    return QStringLiteral("HU: %1 ± %2\nMin: %3  Max: %4\nN=%5")
        .arg(mean, 0, 'f', 0)
        .arg(sd, 0, 'f', 1)
        .arg(minimum, 0, 'f', 0)
        .arg(maximum, 0, 'f', 0)
        .arg(count);
}

#include "MprWindow.moc"
