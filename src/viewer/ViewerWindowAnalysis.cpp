// The analysis windows the viewer opens on the active panel's series or on the whole study, the export
// dialog, and stepping a panel to the neighbouring series of the series panel. Every launcher checks
// its preconditions first and refuses with a message box; an opened window is a child of the viewer
// that deletes itself when closed, so the viewer keeps no list of them.

#include "viewer/ViewerWindow.h"

#include "viewer/ImageViewportWidget.h"
#include "viewer/SeriesListWidget.h"

#include "analysis3d/CtaSubtractionWindow.h"
#include "analysis3d/DceAnalysisWindow.h"
#include "analysis3d/EndoscopyWindow.h"
#include "analysis3d/Vrt3DWindow.h"
#include "clinical/CardiacMriWindow.h"
#include "clinical/CoronaryCalciumWindow.h"
#include "clinical/LungNoduleWindow.h"
#include "db/Database.h"
#include "db/PhaseGrouping.h"
#include "dialogs/ExportDialog.h"
#include "mpr/CurvedMprWindow.h"
#include "mpr/MprWindow.h"
#include "render/CineStack.h"
#include "render/CtaSubtraction.h"

#include <QInputDialog>
#include <QListWidgetItem>
#include <QMessageBox>

#include <algorithm>

namespace {

const QString NoSeriesText = QStringLiteral("В активной панели нет загруженной серии.");

} // namespace

void ViewerWindow::refuse(QMessageBox::Icon icon, const QString& title, const QString& text)
{
    if (icon == QMessageBox::Warning)
        QMessageBox::warning(this, title, text, QMessageBox::Ok, QMessageBox::NoButton);
    else
        QMessageBox::information(this, title, text, QMessageBox::Ok, QMessageBox::NoButton);
}

bool ViewerWindow::activeSeries(const QString& title, QList<db::InstanceRecord>* slices, ImageViewportWidget** panel)
{
    *slices = m_panelSlices.value(m_activePanel);
    *panel = m_panels.value(m_activePanel);
    if (slices->isEmpty() || !*panel) {
        refuse(QMessageBox::Information, title, NoSeriesText);
        return false;
    }
    return true;
}

void ViewerWindow::openMprWindow()
{
    QList<db::InstanceRecord> slices;
    ImageViewportWidget* panel = nullptr;
    if (!activeSeries(QStringLiteral("MPR"), &slices, &panel))
        return;
    auto* window = new MprWindow(slices, m_panelTitles.value(m_activePanel), this, panel->windowCenter(),
                                 panel->windowWidth());
    window->show();
}

void ViewerWindow::openVrtWindow()
{
    ImageViewportWidget* panel = m_panels.value(m_activePanel);
    if (!panel || panel->sliceCount() == 0) {
        refuse(QMessageBox::Information, QStringLiteral("3D VRT"), NoSeriesText);
        return;
    }
    auto* window = new Vrt3DWindow(m_panelSlices.value(m_activePanel), m_panelTitles.value(m_activePanel), this,
                                   panel->windowCenter(), panel->windowWidth(), m_studyUid);
    window->show();
}

void ViewerWindow::openDceWindow()
{
    const QString title = QStringLiteral("DCE");
    const QString seriesUid = m_panelSeriesUids.value(m_activePanel);
    const QList<db::InstanceRecord> slices = m_panelSlices.value(m_activePanel);
    ImageViewportWidget* panel = m_panels.value(m_activePanel);
    if (seriesUid.isEmpty() || slices.isEmpty() || !panel) {
        refuse(QMessageBox::Information, title, NoSeriesText);
        return;
    }
    // A series whose own temporal positions form phases is not regrouped across series.
    PhaseGrouping phases = groupPhasesByTemporalIndex(slices);
    if (phases.phases.isEmpty() || !phases.message.isEmpty())
        phases = groupPhasesAcrossSeries(m_db, m_studyUid, seriesUid);
    if (!phases.isUsable()) {
        refuse(QMessageBox::Warning, title,
               QStringLiteral("Не удалось определить временные фазы для этой серии.\n\n%1").arg(phases.message));
        return;
    }
    auto* window = new DceAnalysisWindow(phases, m_panelTitles.value(m_activePanel), this, panel->windowCenter(),
                                         panel->windowWidth());
    window->show();
}

void ViewerWindow::openCtaSubtractionWindow()
{
    const QString title = QStringLiteral("Субтракция КТ-ангиографии");
    const QString seriesUid = m_panelSeriesUids.value(m_activePanel);
    if (seriesUid.isEmpty()) {
        refuse(QMessageBox::Information, title, NoSeriesText);
        return;
    }
    const render::CtaSubtractionPair pair = render::findCtaSubtractionPair(m_db, m_studyUid, seriesUid);
    if (!pair.isValid()) {
        refuse(QMessageBox::Warning, title,
               QStringLiteral("Не удалось найти пару серий для субтракции.\n\n%1").arg(pair.error));
        return;
    }
    auto* window = new CtaSubtractionWindow(pair, this);
    window->show();
}

void ViewerWindow::openLungNoduleWindow()
{
    QList<db::InstanceRecord> slices;
    ImageViewportWidget* panel = nullptr;
    if (!activeSeries(QStringLiteral("Узел в лёгком"), &slices, &panel))
        return;
    auto* window = new LungNoduleWindow(slices, panel->currentSliceIndex(), m_panelTitles.value(m_activePanel), this,
                                        panel->windowCenter(), panel->windowWidth());
    window->show();
}

void ViewerWindow::openCoronaryCalciumWindow()
{
    QList<db::InstanceRecord> slices;
    ImageViewportWidget* panel = nullptr;
    if (!activeSeries(QStringLiteral("Индекс коронарного кальция"), &slices, &panel))
        return;
    auto* window = new CoronaryCalciumWindow(slices, panel->currentSliceIndex(), m_panelTitles.value(m_activePanel),
                                             this, panel->windowCenter(), panel->windowWidth());
    window->show();
}

void ViewerWindow::openEndoscopyWindow(const std::array<double, 3>& seedPoint)
{
    const QList<db::InstanceRecord> slices = m_panelSlices.value(m_activePanel);
    ImageViewportWidget* panel = m_panels.value(m_activePanel);
    if (slices.isEmpty() || !panel)
        return;
    auto* window = new EndoscopyWindow(slices, seedPoint.data(), panel->windowCenter(), panel->windowWidth(),
                                       m_panelTitles.value(m_activePanel), this);
    window->show();
}

void ViewerWindow::openCardiacMriWindow()
{
    const QString title = QStringLiteral("Кардио-МРТ");
    const QList<render::CineStack> stacks = render::findCardiacCineStacks(m_db, m_studyUid);
    if (stacks.isEmpty()) {
        refuse(QMessageBox::Warning, title,
               QStringLiteral("Не найдено ни одного SAX cine-стека в этом исследовании (нужно несколько срезов × "
                              "несколько фаз сердечного цикла на срез — обычно 15-30 фаз)."));
        return;
    }
    render::CineStack chosen = stacks.first();
    if (stacks.size() > 1) {
        QStringList labels;
        for (const render::CineStack& stack : stacks)
            labels << stack.label;
        bool ok = false;
        const QString label = QInputDialog::getItem(this, QStringLiteral("Кардио-МРТ — выбор стека"),
                                                    QStringLiteral("В исследовании найдено несколько cine-стеков:"),
                                                    labels, 0, false, &ok);
        if (!ok)
            return;
        const auto it = std::find_if(stacks.cbegin(), stacks.cend(),
                                     [&label](const render::CineStack& stack) { return stack.label == label; });
        if (it == stacks.cend())
            return;
        chosen = *it;
    }
    const db::PatientBodyInfo body = m_db ? m_db->patientBodyInfo(m_studyUid) : db::PatientBodyInfo();
    auto* window = new CardiacMriWindow(chosen, chosen.label, body, this);
    window->show();
}

QSet<QString> ViewerWindow::studyFilesHeld() const
{
    QSet<QString> listed;
    for (int row = 0; row < m_seriesList->count(); ++row) {
        const QListWidgetItem* item = m_seriesList->item(row);
        if (item->data(SeriesStudyUidRole).toString() == m_studyUid)
            listed.insert(item->data(SeriesUidRole).toString());
    }
    QSet<QString> shown;
    QSet<QString> held;
    for (int i = 0; i < PanelCount; ++i) {
        if (!listed.contains(m_panelSeriesUids.value(i)))
            continue;
        shown.insert(m_panelSeriesUids.value(i));
        for (const db::InstanceRecord& slice : m_panelSlices.value(i))
            held.insert(slice.filePath);
    }
    // A listed series is read from the index as it is when it is shown.
    if (m_db)
        for (const db::IndexedFile& file : m_db->studyFiles(m_studyUid))
            if (listed.contains(file.seriesInstanceUid) && !shown.contains(file.seriesInstanceUid))
                held.insert(file.filePath);
    return held;
}

void ViewerWindow::openExportDialog()
{
    ExportDialog dialog(m_db, this);
    dialog.setStudyUid(m_studyUid);
    dialog.setStudyFilesHeld(studyFilesHeld());
    dialog.setActiveViewport(m_panels.value(m_activePanel));
    QList<QList<db::InstanceRecord>> slotSlices;
    for (int i = 0; i < PanelCount; ++i)
        slotSlices.append(m_panelSlices.value(i));
    dialog.setViewports(m_panels, slotSlices);
    dialog.exec();
}

void ViewerWindow::stepSeriesInPanel(int panelIndex, int direction)
{
    // Without a direction the walk below would never leave a header row.
    if (panelIndex < 0 || panelIndex >= PanelCount || direction == 0)
        return;
    const int count = m_seriesList->count();
    if (count == 0)
        return;
    auto uidAt = [this](int row) { return m_seriesList->item(row)->data(SeriesUidRole).toString(); };

    // An empty slot is not "found" at the first study header, whose UID is empty as well.
    const QString current = m_panelSeriesUids.value(panelIndex);
    int found = -1;
    for (int row = 0; row < count && !current.isEmpty(); ++row) {
        if (uidAt(row) == current) {
            found = row;
            break;
        }
    }
    int row = found >= 0 ? found + direction : (direction < 1 ? count - 1 : 0);
    while (row >= 0 && row < count && uidAt(row).isEmpty())
        row += direction;
    row = std::clamp(row, 0, count - 1);
    const QString target = uidAt(row);
    if (row == found || target.isEmpty())
        return;
    setActiveViewport(panelIndex);
    showSeriesInActivePanel(target);
}

void ViewerWindow::showCurvedMprWindow(std::shared_ptr<render::FusionVolume> volume,
                                       const QList<std::array<double, 3>>& points, double windowCenter,
                                       double windowWidth, int mode, std::optional<std::pair<double, double>> initialWindow,
                                       const QString& volumeWarnings)
{
    std::optional<render::WindowLevel> traceWindow;
    if (initialWindow)
        traceWindow = render::WindowLevel{initialWindow->first, initialWindow->second};
    auto* window = new CurvedMprWindow(std::move(volume), points, windowCenter, windowWidth, this,
                                       CurvedMprWindow::PresentationMode(std::clamp(mode, 0, 2)), traceWindow);
    window->setVolumeWarnings(volumeWarnings);
    window->show();
}
