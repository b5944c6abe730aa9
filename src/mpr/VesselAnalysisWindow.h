#pragma once

#include "render/FusionVolume.h"
#include "render/VesselLumen.h"

#include <QDateTime>
#include <QList>
#include <QMainWindow>

#include <array>
#include <atomic>
#include <memory>

class CrossSectionPanel;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QThread;
class VesselProfileChartWidget;
class VesselProfileWorker;

// Lumen diameter and area along a centreline: the narrowest point, the healthy calibre at both ends,
// stenosis by diameter and by area, calcified and clipped points, with a chart, a summary, enlarged
// cross-sections at a clicked place and a PNG report. The measurement runs on a worker thread.
class VesselAnalysisWindow : public QMainWindow
{
    Q_OBJECT

public:
    VesselAnalysisWindow(std::shared_ptr<render::FusionVolume> volume, const QList<std::array<double, 3>>& curve,
                         double windowCenter, double windowWidth, const QString& title, QWidget* parent = nullptr);
    ~VesselAnalysisWindow() override;

    void startComputation();
    void exportReport();
    // The export after the file has been chosen: writes the picture, warns when it cannot.
    bool saveReportTo(const QString& path);
    void onChartPointClicked(double distanceMm);
    // Shows a profile: chart, summary and status; the finished measurement arrives here.
    void applyProfile(const render::LumenProfile& profile);

    const render::LumenProfile& profile() const { return m_profile; }
    bool isBusy() const { return m_busy; }
    // The flag raised when the window goes: its builds still running end early, without results.
    std::shared_ptr<const std::atomic_bool> buildStopFlag() const { return m_stop; }
    QString summaryText() const;
    VesselProfileChartWidget* chart() const { return m_chart; }
    CrossSectionPanel* crossSectionPanel() const { return m_crossSections; }

private:
    void onWorkerFinished(VesselProfileWorker* worker, QThread* thread);
    void updateSummary();

    std::shared_ptr<render::FusionVolume> m_volume;
    QList<std::array<double, 3>> m_curve;
    double m_windowCenter = 0.0;
    double m_windowWidth = 1.0;
    QString m_title;
    VesselProfileChartWidget* m_chart = nullptr;
    CrossSectionPanel* m_crossSections = nullptr;
    QLabel* m_summary = nullptr;
    QDoubleSpinBox* m_lumenFrom = nullptr;
    QDoubleSpinBox* m_lumenTo = nullptr;
    QDoubleSpinBox* m_calcium = nullptr;
    QDoubleSpinBox* m_sliceWindow = nullptr;
    QPushButton* m_recompute = nullptr;
    render::LumenProfile m_profile;
    bool m_busy = false;
    std::shared_ptr<std::atomic_bool> m_stop = std::make_shared<std::atomic_bool>(false);
};

// "VesselProfile_<title>_<yyyyMMdd_HHmmss>.png", with every run of characters other than Latin and
// Cyrillic letters, digits, underscore and hyphen in the title replaced by one "_".
QString vesselReportFileName(const QString& title, const QDateTime& when);
