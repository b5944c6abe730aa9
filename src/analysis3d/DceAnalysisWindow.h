#pragma once
// DCE analysis: the phases of a dynamic series are stepped through in a reslice panel, elliptical ROIs
// are drawn on the image, and the time-intensity curve of every ROI of the shown slice is charted
// with its enhancement type. Everything runs on the GUI thread; a curve is recomputed each time the
// panel asks for its ROI's label.

#include "analysis3d/TimeIntensityCurveWidget.h"

#include "db/PhaseGrouping.h"
#include "render/TimeIntensityCurve.h"

#include <QColor>
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QRectF>
#include <QString>

class MprViewportWidget;
class QLabel;
class QPushButton;
class QSlider;

struct DceRoi
{
    QColor color;
    double centerX = 0.0; // image pixels
    double centerY = 0.0;
    double radiusX = 0.0;
    double radiusY = 0.0;
    render::TimeIntensityCurve curve;
    int sliceIndex = 0;
};

class DceAnalysisWindow : public QMainWindow
{
    Q_OBJECT

public:
    // A windowWidth of 0 or less shows each frame in the file's own window.
    DceAnalysisWindow(const PhaseGrouping& phases, const QString& title, QWidget* parent = nullptr,
                      double windowCenter = 0.0, double windowWidth = 0.0);

    static const QList<QColor>& dceRoiPalette();
    // The label text the panel shows for a ROI; creates or updates its record.
    QString roiLabel(int slice, const QRectF& rect, int measurementIndex);
    void clearRois();
    void exportSnapshot();
    // The panel and the chart side by side as the PNG report holds them; null when neither can be grabbed.
    QPixmap snapshotPixmap() const;

    // State read by tests.
    int currentPhase() const { return m_currentPhase; }
    int currentSlice() const { return m_currentSlice; }
    const QList<DceRoi>& rois() const { return m_rois; }
    const QMap<int, int>& roiByMeasurement() const { return m_roiByMeasurement; }
    MprViewportWidget* viewport() const { return m_viewport; }
    TimeIntensityCurveWidget* chart() const { return m_chart; }
    QLabel* phaseLabel() const { return m_phaseLabel; }
    QSlider* phaseSlider() const { return m_phaseSlider; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void setupUi();
    void showCurrentPhase();
    void updatePhaseLabel();
    void onMeasurementRemoved(int index);
    void refreshChart();
    void updateRoiColor();

    PhaseGrouping m_phases;
    QString m_title;
    int m_currentPhase = 0;
    int m_currentSlice = 0;
    double m_windowCenter = 0.0;
    double m_windowWidth = 0.0;
    QMap<int, int> m_roiByMeasurement;
    QList<DceRoi> m_rois;
    MprViewportWidget* m_viewport = nullptr;
    TimeIntensityCurveWidget* m_chart = nullptr;
    QLabel* m_phaseLabel = nullptr;
    QSlider* m_phaseSlider = nullptr;
    bool m_shownOnce = false;
};
