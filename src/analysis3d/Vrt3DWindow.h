#pragma once

#include "analysis3d/DensityCut.h"

#include "db/InstanceRecord.h"
#include "render/TransferFunction.h"
#include "render/Volume.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <atomic>
#include <memory>

class D3DVolumeRenderWidget;
class QAction;
class QLabel;
class QMenu;
class QStackedWidget;
class QThread;
class QTimer;
class Vrt3DVolumeBuildWorker;
class VolumeRenderWidget;
class VolumeWarningLabel;

// The 3D volume rendering window of a series: builds the volume on a worker thread, shows it on the
// GPU view (the CPU view when the GPU cannot start or on request), with transfer-function presets and
// their editor, density cuts, view directions, crops and camera synchronisation between windows of
// the same key.
class Vrt3DWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Opened by the viewer on its active panel's instance rows; a window width of 0 or less takes the
    // window from the volume's value range. An empty sync key disables synchronisation.
    Vrt3DWindow(const QList<db::InstanceRecord>& slices, const QString& title, QWidget* parent, double windowCenter,
                double windowWidth, const QString& syncKey);
    // Opened on a volume that is already built (CTA subtraction), starting with the named built-in preset;
    // `warnings` are its builder's, one a line, kept in sight as for a volume the window builds.
    Vrt3DWindow(render::Volume&& volume, const QString& title, QWidget* parent, double windowCenter,
                double windowWidth, const QString& initialPresetName, const QString& syncKey,
                const QString& warnings = QString());
    ~Vrt3DWindow() override;

    // The user's own presets from the settings, in stored order.
    static QList<render::TransferFunctionPreset> loadCustomPresets();
    // Stores the preset, replacing a stored one of the same name; `appended` tells whether the name was new.
    // False, with a Russian `error`, when the settings file could not be written.
    static bool saveCustomPreset(const render::TransferFunctionPreset& preset, bool* appended, QString* error);

    const render::Volume& volume() const { return m_volume; }
    // The flag raised when the window goes: its builds still running end early, without results.
    std::shared_ptr<const std::atomic_bool> buildStopFlag() const { return m_stop; }
    render::TransferFunctionPreset currentPreset() const { return m_currentPreset; }
    DensityCut densityCut() const { return m_densityCut; }
    double effectiveWindowCenter() const { return m_effectiveWindowCenter; }
    double effectiveWindowWidth() const { return m_effectiveWindowWidth; }
    QString syncKey() const { return m_syncKey; }
    VolumeRenderWidget* cpuView() const { return m_cpuView; }
    D3DVolumeRenderWidget* gpuView() const { return m_gpuView; }
    QStackedWidget* viewStack() const { return m_viewStack; }
    QMenu* presetsMenu() const { return m_presetsMenu; }
    QAction* cpuModeAction() const { return m_cpuModeAction; }
    QAction* syncAction() const { return m_syncAction; }
    QAction* cropDrawAction() const { return m_cropDrawAction; }
    QAction* cropUndoAction() const { return m_cropUndoAction; }
    QAction* cropClearAction() const { return m_cropClearAction; }
    QLabel* statusNote() const { return m_statusNote; }
    VolumeWarningLabel* volumeWarning() const { return m_volumeWarning; }

    void openTransferFunctionEditor();
    void openCustomDensityRangeDialog();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void setupUi(const QString& title);
    void buildToolbar();
    void addPresetActions(QMenu* menu, const QList<render::TransferFunctionPreset>& presets);
    QMenu* buildDensityCutMenu();
    void startBuild(const QList<db::InstanceRecord>& slices, const QString& title);
    void onVolumeBuilt(const QString& message);
    void setCurrentPreset(const render::TransferFunctionPreset& preset);
    void applyPreset();
    void chooseDensityCut(const DensityCut& cut, const QString& presetName);
    void onCameraSettled();
    void showCpuView(const QString& message);
    void showGpuView();
    void showStatusNote(const QString& text);
    void hideStatusNote();

    render::Volume m_volume;
    VolumeRenderWidget* m_cpuView = nullptr;
    D3DVolumeRenderWidget* m_gpuView = nullptr;
    QStackedWidget* m_viewStack = nullptr;
    QWidget* m_placeholderPage = nullptr;
    QAction* m_cpuModeAction = nullptr;
    QAction* m_inPlaneAction = nullptr;
    QAction* m_cropDrawAction = nullptr;
    QAction* m_cropUndoAction = nullptr;
    QAction* m_cropClearAction = nullptr;
    QMenu* m_presetsMenu = nullptr;
    double m_effectiveWindowCenter = 0.0;
    double m_effectiveWindowWidth = 1.0;
    double m_requestedWindowCenter = 0.0;
    double m_requestedWindowWidth = 0.0;
    bool m_shownOnce = false;
    QString m_initialPresetName;
    render::TransferFunctionPreset m_currentPreset;
    DensityCut m_densityCut;
    QString m_syncKey;
    QAction* m_syncAction = nullptr;
    bool m_applyingSync = false;

    static constexpr int kStatusNoteMs = 8000;
    QLabel* m_statusNote = nullptr; // a status text too long for one line, wrapped
    VolumeWarningLabel* m_volumeWarning = nullptr;
    QTimer* m_statusNoteTimer = nullptr;
    QString m_statusNoteRestores;

    QThread* m_buildThread = nullptr;
    Vrt3DVolumeBuildWorker* m_buildWorker = nullptr;
    std::shared_ptr<std::atomic_bool> m_stop = std::make_shared<std::atomic_bool>(false);
};
