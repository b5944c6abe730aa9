#pragma once

#include "viewer/SeriesOverlayInfo.h"

#include "db/InstanceRecord.h"

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QMessageBox>
#include <QMap>
#include <QPoint>
#include <QPointF>
#include <QScopeGuard>
#include <QSet>
#include <QString>
#include <QVector>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

class ImageViewportWidget;
class QAction;
class QActionGroup;
class QIcon;
class QLabel;
class QListWidgetItem;
class QMenu;
class QSplitter;
class QTimer;
class QToolBar;
class QToolButton;
class SeriesListWidget;

namespace db {
class Database;
struct SeriesRecord;
} // namespace db

namespace render {
struct FusionVolume;
}

// Item data roles of a series row in the series panel. A row is a series row exactly when its
// SeriesUidRole string is not empty; study header rows carry no data.
constexpr int SeriesUidRole = Qt::UserRole;
constexpr int SeriesDescriptionRole = Qt::UserRole + 1;
constexpr int SeriesNumberRole = Qt::UserRole + 2;
constexpr int SeriesModalityRole = Qt::UserRole + 3;
constexpr int SeriesLateralityRole = Qt::UserRole + 4;
constexpr int SeriesBodyPartRole = Qt::UserRole + 5;
constexpr int SeriesStudyUidRole = Qt::UserRole + 6;

// The 2D viewing window of one study: the series panel on the left, a grid of up to 3 x 3 viewing
// panels on the right. The window deletes itself when closed.
class ViewerWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int PanelCount = 9;

    // seriesUid names the series to show first and may be empty. portableMode selects the reduced
    // toolbar of the portable viewer. The caller shows the window.
    ViewerWindow(db::Database* db, const QString& studyUid, const QString& seriesUid, QWidget* parent = nullptr,
                 bool portableMode = false);
    ~ViewerWindow() override;

    // Called whenever files of a series were indexed, with the series' rows as the index lists them now
    // or with only the rows indexed since the last call: panels showing the series take the rows of
    // files they do not show yet.
    void refreshSeriesSlices(const QString& seriesUid, const QList<db::InstanceRecord>& slices);
    // Lists a second study beside the primary one and shows its first series in an empty panel.
    void openComparisonStudy(const QString& studyUid);
    void showSeriesInActivePanel(const QString& seriesUid);
    // The tag viewer and editor for the active panel's current image.
    void showDicomTags();
    // Page layout, then a modeless contact-sheet preview of the active panel's chosen images.
    void printActivePanel();
    // The analysis windows on the active panel's series (DCE and CTA subtraction may take further
    // series of the study); each call opens a new window, or refuses with a message box.
    void openMprWindow();
    void openVrtWindow();
    void openDceWindow();
    void openCtaSubtractionWindow();
    void openLungNoduleWindow();
    void openCoronaryCalciumWindow();
    // Virtual endoscopy from a point (patient mm) inside the active panel's series.
    void openEndoscopyWindow(const std::array<double, 3>& seedPoint);
    // Left-ventricular function on a short-axis cine stack of the study, chosen by the user when
    // there are several.
    void openCardiacMriWindow();
    // The modal image-export dialog over every panel, the active one as the default scope.
    void openExportDialog();
    // Shows the previous (direction -1) or next (+1) series of the series panel in panel panelIndex;
    // study header rows are skipped and the walk stops at either end.
    void stepSeriesInPanel(int panelIndex, int direction);
    // The curved reconstruction along a drawn centreline (patient mm): mode 0 curved MPR, 1 vessel
    // analysis, 2 orthopantomogram. Builds the volume first; fewer than two points do nothing.
    void startCurvedMprBuild(const QList<std::array<double, 3>>& points, int mode);
    // Follows the vessel from exactly two seed points, then opens the vessel analysis on the trace.
    void startVesselAutoTrack(const QList<std::array<double, 3>>& seeds);
    void setActiveViewport(int index);
    // The per-panel series menu that onSeriesMenuRequested runs; the caller owns it.
    QMenu* buildSeriesMenu(int viewportIndex);
    // Comparison: the patient's other studies as a popup, or the manual study picker.
    void showCompareMenu();
    void chooseComparisonStudyManually();
    // The compare popup, empty when the patient has no other study; the caller owns it.
    QMenu* buildCompareMenu();
    // Fusion: the study's other series as a popup, or switching the active panel's overlay off.
    void toggleFusionOverlay();
    // The fusion popup of the study's series other than the active panel's; the caller owns it.
    QMenu* buildFusionMenu();
    // Builds the overlay volume on the global thread pool and lays it over the panel active now.
    void startFusionBuild(const QString& seriesUid, const QString& label);

    QString studyUid() const { return m_studyUid; }
    bool isPortableMode() const { return m_portableMode; }
    // Which curved presentation a finished centreline of the active panel opens.
    bool vesselAnalysisMode() const { return m_vesselAnalysisMode; }
    bool panoramicMode() const { return m_panoramicMode; }
    int activePanelIndex() const { return m_activePanel; }
    int gridRowCount() const { return m_gridRows; }
    int gridColumnCount() const { return m_gridCols; }
    ImageViewportWidget* panel(int index) const { return m_panels.value(index); }
    QMainWindow* detachedWindow(int index) const { return m_detachedWindows.value(index); }
    QList<db::InstanceRecord> panelSliceList(int index) const { return m_panelSlices.value(index); }
    QString panelTitle(int index) const { return m_panelTitles.value(index); }
    QString panelSeriesUid(int index) const { return m_panelSeriesUids.value(index); }
    SeriesListWidget* seriesListWidget() const { return m_seriesList; }
    QWidget* panelContainer() const { return m_panelContainer; }
    QSplitter* gridSplitter() const { return m_gridSplitter; }
    QToolBar* toolBar() const { return m_toolbar; }
    QToolButton* layoutButton() const { return m_layoutButton; }
    bool syncSlices() const { return m_syncSlices; }
    bool isSeriesPanelRefreshPending() const;
    // The studies the series panel lists, primary and compared.
    QStringList listedStudyUids() const { return m_studyInfoByUid.keys(); }
    bool referenceLinesEnabled() const { return m_referenceLinesEnabled; }
    // Toolbar state read by tests and by windows that embed the viewer's commands.
    QList<QAction*> customizableActions() const { return m_customizableActions; }
    QAction* dceAction() const { return m_dceAction; }
    QAction* ctaSubtractionAction() const { return m_ctaSubtractionAction; }
    QToolButton* toolButton() const { return m_toolButton; }
    QToolButton* cineButton() const { return m_cineButton; }
    QTimer* cineTimer() const { return m_cineTimer; }
    int cineFramesPerSecond() const { return m_cineFramesPerSecond; }

public slots:
    void onSeriesThumbnailActivated(QListWidgetItem* item);
    void onViewportSliceChanged(int sourceViewportIndex, int index, int total);
    void onGridLayoutChosen(int rows, int cols);
    void onSeriesMenuRequested(int viewportIndex, QPoint globalPos);
    void toggleDetachViewport(int viewportIndex);
    // Reference lines: where the slices of the other grid panels cut each panel's slice.
    void updateReferenceLines();
    void setReferenceLinesEnabled(bool on);
    // 3D cursor: the point under the mouse in panel sourceIndex, found in every other panel.
    void syncCursor3D(int sourceIndex, QPointF imagePixelPos);
    void hideCursor3DMarkers();
    // Toolbar: order and visibility of the customisable actions from the settings.
    void applyToolbarLayout();
    void applyToolToAllViewports(int mode);
    void updateDceActionState();
    void updateCtaSubtractionActionState();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildCentralArea();
    void buildToolbar();
    void buildPortableToolbar();
    QToolButton* addMenuButton(const QIcon& icon, const QString& toolTip);
    void addToolModeAction(QActionGroup* group, QMenu* menu, const QIcon& icon, const QString& label, int mode,
                           const QString& toolTip);
    void addShortcut(QAction* action, const QString& hotkeyId);
    void buildCineButton();
    void setCineFramesPerSecond(int framesPerSecond);
    void advanceCine();
    void reconstructInActivePanel(int plane);
    void openGridLayoutPicker();
    void loadStudyHeader();
    // Until the guard goes (the outermost, where they nest), each series is listed once: what one
    // action of the user (an opening, a series shown, a panel made active) needs of a series (its
    // row's count and thumbnail, the panel, the checks of the analyses) comes from one listing, which
    // proves the files of a series that may be thousands.
    [[nodiscard]] QScopeGuard<std::function<void()>> listEachSeriesOnce();
    // The series' rows as the index lists them, from the listing of this action when there was one;
    // replacedFiles as Database::instancesForSeries counts them.
    QList<db::InstanceRecord> seriesRows(const QString& seriesUid, int* replacedFiles = nullptr);
    void rebuildSeriesPanel();
    // How many files of the series hold other images now than its rows name (they are not listed).
    int fillSeriesRow(QListWidgetItem* item, const db::SeriesRecord& series, const QString& studyUid);
    // Tells, in the status bar, of the files of the study that hold other images than its rows name.
    void noteReplacedFiles(const QString& studyUid, int files);
    // A panel found the file of a slice holding another image than its row names, after the listing
    // that handed the row on: the series is listed again, which finds the file as every listing does,
    // and the study's note counts it.
    void noteReplacedFileRead(int viewportIndex, const QString& filePath);
    void markActiveSeries();
    void refreshSeriesPanel();
    QWidget* createDetachedPlaceholder(int viewportIndex);
    bool isGridCell(int index) const;
    void fitGridPanelsLater();
    void fitPanelsWithSlices(bool gridCellsOnly);
    void storePanelSeries(int index, const QList<db::InstanceRecord>& slices, const QString& description,
                          const QString& seriesUid);
    void onBackToList();
    void refuse(QMessageBox::Icon icon, const QString& title, const QString& text);
    // The files of the window's study it holds: those its panels show, and every file of each series it
    // lists but shows in no panel. A window opened while its study arrived holds fewer than come later.
    QSet<QString> studyFilesHeld() const;
    // The active slot's instance list and panel; false after the "no series" refusal titled title.
    bool activeSeries(const QString& title, QList<db::InstanceRecord>* slices, ImageViewportWidget** panel);
    // `message`: the failure for a volume that came out empty, else the builder's warnings.
    void onCurvedMprBuildFinished(std::shared_ptr<render::FusionVolume> volume, const QString& message,
                                  const QList<std::array<double, 3>>& points, double windowCenter, double windowWidth,
                                  int mode);
    // `volumeWarnings`: the volume builder's, which the window keeps in sight.
    void showCurvedMprWindow(std::shared_ptr<render::FusionVolume> volume, const QList<std::array<double, 3>>& points,
                             double windowCenter, double windowWidth, int mode,
                             std::optional<std::pair<double, double>> initialWindow, const QString& volumeWarnings);
    // Arms a picking tool (16 curved path, 17 vessel seeds, 18 endoscopy seed) on the active panel.
    void armActivePanelTool(int mode);

    db::Database* m_db = nullptr;
    QString m_studyUid;
    bool m_portableMode = false;
    SeriesOverlayInfo m_primaryStudyInfo;
    QMap<QString, SeriesOverlayInfo> m_studyInfoByUid;
    // What the viewer told of each study's files that hold other images than their rows name, and
    // where: a label of the status bar that stays.
    QMap<QString, int> m_replacedFilesTold;
    QMap<QString, QString> m_replacedFilesNotes;
    QLabel* m_replacedFilesLabel = nullptr;
    QMap<QString, int> m_replacedInSeries; // by series: such files its last listing found
    QSet<QString> m_replacedFilesRead;     // such files the panels found when reading them
    SeriesListWidget* m_seriesList = nullptr;
    QWidget* m_panelContainer = nullptr;
    QSplitter* m_gridSplitter = nullptr;
    QVector<ImageViewportWidget*> m_panels;
    QVector<QMainWindow*> m_detachedWindows;
    QToolBar* m_toolbar = nullptr;
    QToolButton* m_layoutButton = nullptr;
    QToolButton* m_toolButton = nullptr;
    QToolButton* m_cineButton = nullptr;
    QList<QAction*> m_customizableActions;
    QAction* m_dceAction = nullptr;
    QAction* m_ctaSubtractionAction = nullptr;
    QTimer* m_cineTimer = nullptr;
    int m_cineFramesPerSecond = 10;
    int m_activePanel = 0;
    int m_gridRows = 1;
    int m_gridCols = 1;
    QVector<QList<db::InstanceRecord>> m_panelSlices;
    QVector<QString> m_panelTitles;
    QVector<QString> m_panelSeriesUids;
    bool m_syncSlices = false;
    bool m_syncInProgress = false;
    bool m_referenceLinesEnabled = true;
    bool m_vesselAnalysisMode = false;
    bool m_panoramicMode = false;
    QTimer* m_refreshTimer = nullptr;
    bool m_shownOnce = false;
    struct ListedSeries
    {
        QList<db::InstanceRecord> rows;
        int replacedFiles = 0;
    };
    int m_listingActions = 0;
    QHash<QString, ListedSeries> m_listedSeries;
};
