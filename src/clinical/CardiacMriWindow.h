#pragma once
// Left- and right-ventricular volumetry on a short-axis cine stack: the user marks the end-diastolic
// and end-systolic phase once for the whole stack, outlines the ventricles slice by slice on the ED and
// ES views and gets volumes, ejection fractions, myocardial mass and an automatic conclusion.

#include "clinical/CardiacMriReport.h"
#include "clinical/MeasurementReport.h"

#include "db/PatientBodyInfo.h"
#include "render/CineStack.h"

#include <QList>
#include <QMainWindow>
#include <QPointF>
#include <QString>
#include <QTimer>

class ImageViewportWidget;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDialog;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSpinBox;

class CardiacMriWindow : public QMainWindow
{
    Q_OBJECT

  public:
    // Runs the modal patient-parameter dialog before returning, so that the first calculation already
    // has confirmed height, weight and sex.
    CardiacMriWindow(const render::CineStack& grid, const QString& title, const db::PatientBodyInfo& body,
                     QWidget* parent);
    ~CardiacMriWindow() override;

    struct ContourMatch
    {
        bool found = false;
        QList<QPointF> points;
        int kind = 12;
    };

    // The last contour named `role` (polygon, smooth contour or ellipse area) on that image of the view.
    static ContourMatch findContour(const ImageViewportWidget* view, int sliceIndex, const QString& role);
    // Its area in cm²; 0 without a contour or with too few points. Spacings ≤ 0 count as 1 mm.
    static double contourAreaCm2(const ImageViewportWidget* view, int sliceIndex, const QString& role,
                                 double spacingX, double spacingY);

    // Read by tests.
    ImageViewportWidget* cineView() const { return m_cineView; }
    ImageViewportWidget* edView() const { return m_edView; }
    ImageViewportWidget* esView() const { return m_esView; }
    int edPhase() const { return m_edPhase; }
    int esPhase() const { return m_esPhase; }
    int currentSlice() const { return m_currentSlice; }
    double sliceThicknessMm() const { return m_sliceThicknessMm; }
    double sliceGapPercent() const { return m_sliceGapPercent; }
    // Height of each disc of the volumetry: the median centre-to-centre spacing when the stack tells it.
    double discHeightMm() const { return m_sliceThicknessMm * (1.0 + m_discGapPercent / 100.0); }
    double heightCm() const { return m_heightCm; }
    double weightKg() const { return m_weightKg; }
    bool isFemale() const { return m_female; }
    const QTimer& playbackTimer() const { return m_timer; }
    QDialog* extraDialog() const { return m_extraDialog; }
    QDialog* resultDialog() const { return m_result.dialog; }
    QLabel* resultLabel() const { return m_result.label; }

    void editPatientParameters();
    void showExtraMeasurements();
    void recalculate();
    void exportReportPng();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void computeSliceGeometry();
    void setupUi();
    void showCurrentSlice();
    void stepSlice(int delta);
    void setPlaying(bool on);
    void advanceCine();
    void markPhase(bool ed);
    void loadEdEsViews();
    void onRoleToggled(QPushButton* button, bool checked);
    void applyContourTool();
    clinical::CardiacExtraMeasurements readExtraMeasurements() const;
    void showResult(const QString& html);

    render::CineStack m_grid;
    QString m_title;
    int m_edPhase = -1;
    int m_esPhase = -1;
    int m_currentSlice = 0;
    double m_heightCm = 170.0;
    double m_weightKg = 70.0;
    bool m_female = false;
    bool m_heightFromDicom = false;
    bool m_weightFromDicom = false;
    bool m_sexFromDicom = false;
    double m_sliceThicknessMm = 8.0;
    double m_sliceGapPercent = 25.0;
    // The gap the volumetry uses: negative when slices overlap, so that each disc is one spacing high.
    double m_discGapPercent = 25.0;
    bool m_shownOnce = false;

    ImageViewportWidget* m_cineView = nullptr;
    ImageViewportWidget* m_edView = nullptr;
    ImageViewportWidget* m_esView = nullptr;
    QLabel* m_instructionLabel = nullptr;
    QLabel* m_sliceLabel = nullptr;
    QLabel* m_phaseLabel = nullptr;
    QPushButton* m_playButton = nullptr;
    QSpinBox* m_speedSpin = nullptr;
    QPushButton* m_endoButton = nullptr;
    QPushButton* m_epiButton = nullptr;
    QPushButton* m_rvButton = nullptr;
    QButtonGroup* m_roleGroup = nullptr;
    QComboBox* m_methodCombo = nullptr;
    QTimer m_timer;

    // Extra measurements: null until the dialog is first opened.
    QDialog* m_extraDialog = nullptr;
    QDoubleSpinBox* m_edd = nullptr;
    QDoubleSpinBox* m_esd = nullptr;
    QDoubleSpinBox* m_ivsd = nullptr;
    QDoubleSpinBox* m_ivss = nullptr;
    QDoubleSpinBox* m_lvpwd = nullptr;
    QDoubleSpinBox* m_lvpws = nullptr;
    QDoubleSpinBox* m_lav = nullptr;
    QDoubleSpinBox* m_rav = nullptr;
    QDoubleSpinBox* m_rvd1 = nullptr;
    QDoubleSpinBox* m_rvd2 = nullptr;
    QDoubleSpinBox* m_rvotProximal = nullptr;
    QDoubleSpinBox* m_rvotDistal = nullptr;
    QDoubleSpinBox* m_rvWall = nullptr;
    QCheckBox* m_effusion = nullptr;
    QComboBox* m_effusionLocation = nullptr;
    QDoubleSpinBox* m_effusionSeparation = nullptr;
    QCheckBox* m_tamponade = nullptr;
    QCheckBox* m_thrombusLv = nullptr;
    QCheckBox* m_thrombusLa = nullptr;
    QCheckBox* m_thrombusRa = nullptr;
    QCheckBox* m_thrombusRv = nullptr;

    MeasurementReportDialog m_result;
};
