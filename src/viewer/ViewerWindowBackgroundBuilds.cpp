// The viewer's operations that need a volume before they can show anything: the curved
// reconstruction, automatic vessel tracking and the fusion overlay. Each builds the volume on the
// global thread pool while a busy dialog blocks the viewer, then reports the failure or hands the
// result on.

#include "viewer/ViewerWindow.h"

#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerBackgroundBuild.h"

#include "db/Database.h"
#include "render/VesselCenterline.h"
#include "render/VolumeGeometryWarnings.h"

#include <QMessageBox>
#include <QPointer>
#include <QStatusBar>

#include <memory>
#include <optional>
#include <utility>
#include "dicom/WindowLevel.h"

namespace {

const QString CurvedTitle = QStringLiteral("Криволинейный MPR");
const QString TrackTitle = QStringLiteral("Автотрассировка сосуда");
const QString FusionTitle = QStringLiteral("Совмещение");
const QString NoSeriesText = QStringLiteral("В активной панели нет загруженной серии.");
const QString NoVolumeText = QStringLiteral("не удалось построить объём серии");

using VolumePtr = std::shared_ptr<render::FusionVolume>;

// The result of the vessel-tracking task.
struct BackgroundResult
{
    VolumePtr volume;
    QList<std::array<double, 3>> points;
    bool ok = false;
    QString message;
    bool stoppedAtBifurcation = false;
    double windowCenter = 0.0;
    double windowWidth = 0.0;
    QString volumeWarnings; // the builder's, beside a built volume
};

bool isBuilt(const VolumePtr& volume)
{
    return volume && !volume->isEmpty();
}

// The curved reconstruction's volume. One that came out empty always leaves a reason in `message`; beside
// a built one `message` holds the builder's warnings (one a line), which the window shows.
VolumePtr buildCurvedMprVolume(const QList<db::InstanceRecord>& slices, QString* message)
{
    VolumePtr volume = viewerbuild::buildVolume(slices, message);
    if (!isBuilt(volume) && message->isEmpty())
        *message = NoVolumeText;
    return volume;
}

// A click is placed on the slice as the series has it, and the trace runs in the volume: where the volume
// does not follow the series' geometry, the click may miss the vessel there. A refusal says so first,
// since clicking more precisely then does not help.
QString traceRefusalText(const QString& tracerMessage, const QString& volumeWarnings)
{
    if (volumeWarnings.isEmpty())
        return tracerMessage;
    return QStringLiteral("Объём серии передаёт её геометрию приближённо — точки клика могли оказаться в объёме "
                          "мимо сосуда:\n%1\n\n%2")
        .arg(render::markedWarnings(volumeWarnings), tracerMessage);
}

BackgroundResult traceVesselInBackground(const QList<db::InstanceRecord>& slices, std::array<double, 3> seedA,
                                         std::array<double, 3> seedB, QString* error)
{
    BackgroundResult result;
    QString message;
    result.volume = buildCurvedMprVolume(slices, &message);
    if (!isBuilt(result.volume)) {
        *error = message;
        return result;
    }
    result.volumeWarnings = message;
    try {
        const render::CenterlineResult trace =
            render::traceVesselCenterline(*result.volume, seedA.data(), seedB.data());
        result.points = trace.points;
        result.ok = trace.ok;
        result.message = trace.message;
        result.stoppedAtBifurcation = trace.stoppedAtBifurcation;
        result.windowCenter = trace.windowCenter;
        result.windowWidth = trace.windowWidth;
    } catch (const std::bad_alloc&) {
        result.ok = false;
        result.message = QStringLiteral("Недостаточно памяти для трассировки сосуда.");
    }
    return result;
}

} // namespace

void ViewerWindow::startCurvedMprBuild(const QList<std::array<double, 3>>& points, int mode)
{
    if (points.size() < 2)
        return;
    const QList<db::InstanceRecord> slices = m_panelSlices.value(m_activePanel);
    ImageViewportWidget* panel = m_panels.value(m_activePanel);
    if (slices.isEmpty() || !panel) {
        QMessageBox::warning(this, CurvedTitle, NoSeriesText, QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    const double centre = panel->windowCenter();
    const double width = panel->windowWidth();
    viewerbuild::runUnderProgress<VolumePtr>(
        this, QStringLiteral("Построение криволинейного MPR…"),
        [slices](QString* error) { return buildCurvedMprVolume(slices, error); },
        [this, points, centre, width, mode](VolumePtr volume, const QString& error) {
            onCurvedMprBuildFinished(std::move(volume), error, points, centre, width, mode);
        });
}

void ViewerWindow::onCurvedMprBuildFinished(std::shared_ptr<render::FusionVolume> volume, const QString& message,
                                            const QList<std::array<double, 3>>& points, double windowCenter,
                                            double windowWidth, int mode)
{
    if (!isBuilt(volume)) {
        QMessageBox::warning(this, CurvedTitle, QStringLiteral("Не удалось построить реконструкцию: %1").arg(message),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    showCurvedMprWindow(std::move(volume), points, windowCenter, windowWidth, mode, std::nullopt, message);
}

void ViewerWindow::startVesselAutoTrack(const QList<std::array<double, 3>>& seeds)
{
    if (seeds.size() != 2)
        return;
    const QList<db::InstanceRecord> slices = m_panelSlices.value(m_activePanel);
    ImageViewportWidget* panel = m_panels.value(m_activePanel);
    if (slices.isEmpty() || !panel) {
        QMessageBox::warning(this, TrackTitle, NoSeriesText, QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    const double centre = panel->windowCenter();
    const double width = panel->windowWidth();
    const std::array<double, 3> seedA = seeds.at(0);
    const std::array<double, 3> seedB = seeds.at(1);
    viewerbuild::runUnderProgress<BackgroundResult>(
        this, QStringLiteral("Автотрассировка хода сосуда…"),
        [slices, seedA, seedB](QString* error) { return traceVesselInBackground(slices, seedA, seedB, error); },
        [this, centre, width](BackgroundResult result, const QString& error) {
            if (!error.isEmpty()) {
                QMessageBox::warning(this, TrackTitle, QStringLiteral("Не удалось построить объём серии: %1").arg(error),
                                     QMessageBox::Ok, QMessageBox::NoButton);
                return;
            }
            if (!result.ok) {
                QMessageBox::warning(this, TrackTitle, traceRefusalText(result.message, result.volumeWarnings),
                                     QMessageBox::Ok, QMessageBox::NoButton);
                return;
            }
            QMessageBox::information(this, TrackTitle, result.message, QMessageBox::Ok, QMessageBox::NoButton);
            showCurvedMprWindow(result.volume, result.points, centre, width, 1,
                                std::make_pair(result.windowCenter, result.windowWidth), result.volumeWarnings);
        });
}

void ViewerWindow::startFusionBuild(const QString& seriesUid, const QString& label)
{
    const QPointer<ImageViewportWidget> target = m_panels.value(m_activePanel);
    if (!target || !m_db)
        return;
    const QList<db::InstanceRecord> slices = m_db->instancesForSeries(seriesUid);
    if (slices.isEmpty()) {
        QMessageBox::warning(this, FusionTitle, QStringLiteral("В выбранной серии не найдено ни одного среза."),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    viewerbuild::runUnderProgress<VolumePtr>(
        this, QStringLiteral("Построение слоя совмещения «%1»…").arg(label),
        [slices](QString* error) { return viewerbuild::buildVolume(slices, error); },
        [this, target, label](VolumePtr volume, const QString& error) {
            if (!isBuilt(volume)) {
                QMessageBox::warning(this, FusionTitle, QStringLiteral("Не удалось построить слой совмещения: %1").arg(error),
                                     QMessageBox::Ok, QMessageBox::NoButton);
                return;
            }
            if (!target) // the panel went away with its window while the volume was built
                return;
            const render::WindowLevel whole = render::windowForRange(volume->minValue, volume->maxValue);
            // Slices left out of a built volume, unevenly stepped or slid within their planes misplace parts
            // of the overlay: the panel says so for as long as it shows the overlay, the status line at once.
            target->setFusionOverlay(volume, whole.center, whole.width, label, error);
            if (!error.isEmpty())
                statusBar()->showMessage(QString(error).replace(QLatin1Char('\n'), QStringLiteral("; ")));
        });
}
