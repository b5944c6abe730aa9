#include "viewer/ViewerWindow.h"

#include "dialogs/WindowPlacement.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/SeriesListWidget.h"

#include "db/Database.h"
#include "db/RowFileProof.h"
#include "dicom/FrameDecoder.h"
#include "dicom/DicomDateTime.h"

#include <QAction>
#include <QCloseEvent>
#include <QDate>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString ActiveMark = QStringLiteral("✓ ");
constexpr int SeriesPanelRefreshMs = 500;

// Header fields 0 to 6 of a study row; the series fields stay empty.
SeriesOverlayInfo studyHeaderInfo(const db::StudyRecord& study)
{
    SeriesOverlayInfo info;
    info.patientName = study.patientName;
    info.patientId = study.patientId;
    info.birthDate = study.birthDate;
    info.sex = study.sex;
    info.studyDescription = study.studyDescription;
    info.studyDate = study.studyDate;
    info.studyTime = study.studyTime;
    return info;
}

SeriesOverlayInfo lookUpStudyHeader(db::Database* db, const QString& studyUid, bool* found = nullptr)
{
    if (found)
        *found = false;
    if (!db)
        return {};
    const std::optional<db::StudyRecord> study = db->studyRecord(studyUid);
    if (!study)
        return {};
    if (found)
        *found = true;
    return studyHeaderInfo(*study);
}

QString headerRowText(const SeriesOverlayInfo& info)
{
    const QString dateText = dicom::dicomDateText(info.studyDate, QStringLiteral("dd.MM.yyyy"));
    const QString name = info.patientName.isEmpty() ? QStringLiteral("(без имени)") : info.patientName;
    const QString description =
        info.studyDescription.isEmpty() ? QStringLiteral("(без описания)") : info.studyDescription;
    return QStringLiteral("── %1 · %2 ──\n%3").arg(dateText, name, description);
}

// The middle instance of the series, decoded with its own window and scaled into 120 x 120. A file
// that holds another image than its row by now gives no picture and is counted in *replaced.
QIcon seriesThumbnail(const QList<db::InstanceRecord>& instances, int* replaced)
{
    if (instances.isEmpty())
        return {};
    const db::InstanceRecord& middle = instances.at(instances.size() / 2);
    bool otherObject = false;
    const std::optional<dicom::DecodedFrame> frame =
        dicom::decodeFrame(middle.filePath, -1, std::nullopt, nullptr, middle.object(), &otherObject);
    *replaced += otherObject ? 1 : 0;
    if (!frame || frame->image.isNull())
        return {};
    return QIcon(QPixmap::fromImage(
        frame->image.scaled(QSize(120, 120), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

QString titleOf(const QString& description)
{
    return description.isEmpty() ? QStringLiteral("Серия") : description;
}

} // namespace

ViewerWindow::ViewerWindow(db::Database* db, const QString& studyUid, const QString& seriesUid, QWidget* parent,
                           bool portableMode)
    : QMainWindow(parent)
    , m_db(db)
    , m_studyUid(studyUid)
    , m_portableMode(portableMode)
    , m_panels(PanelCount, nullptr)
    , m_detachedWindows(PanelCount, nullptr)
    , m_panelSlices(PanelCount)
    , m_panelTitles(PanelCount)
    , m_panelSeriesUids(PanelCount)
{
    setAttribute(Qt::WA_DeleteOnClose);
    resizeWithinScreen(this, QSize(1400, 900));

    buildCentralArea();
    buildToolbar();
    const auto listedOnce = listEachSeriesOnce();
    loadStudyHeader();

    m_refreshTimer = new QTimer(this);
    m_refreshTimer->setObjectName(QStringLiteral("seriesPanelRefreshTimer"));
    m_refreshTimer->setSingleShot(true);
    connect(m_refreshTimer, &QTimer::timeout, this, &ViewerWindow::refreshSeriesPanel);

    QListWidgetItem* first = nullptr;
    for (int row = 0; row < m_seriesList->count(); ++row) {
        QListWidgetItem* item = m_seriesList->item(row);
        const QString uid = item->data(SeriesUidRole).toString();
        if (uid.isEmpty())
            continue;
        if (!first)
            first = item;
        if (!seriesUid.isEmpty() && uid == seriesUid) {
            first = item;
            break;
        }
    }
    if (!first)
        return;
    m_seriesList->setCurrentItem(first);
    showSeriesInActivePanel(first->data(SeriesUidRole).toString());
}

ViewerWindow::~ViewerWindow()
{
    // The panels in the grid are deleted by QWidget after this window's members are gone; nothing
    // they emit on the way out may reach this window.
    for (ImageViewportWidget* panel : std::as_const(m_panels))
        panel->disconnect(this);
    // Detached panel windows have no parent; a viewer deleted without being closed must not leave
    // them behind with panels that talk to a window that no longer exists.
    for (QMainWindow*& window : m_detachedWindows) {
        if (!window)
            continue;
        window->removeEventFilter(this);
        delete window;
        window = nullptr;
    }
}

void ViewerWindow::buildCentralArea()
{
    auto* splitter = new QSplitter(Qt::Horizontal, this);

    m_seriesList = new SeriesListWidget(splitter);
    m_seriesList->setViewMode(QListView::IconMode);
    m_seriesList->setFlow(QListView::TopToBottom);
    m_seriesList->setWrapping(false);
    m_seriesList->setResizeMode(QListView::Adjust);
    m_seriesList->setMovement(QListView::Static);
    m_seriesList->setIconSize(QSize(120, 120));
    m_seriesList->setSpacing(6);
    m_seriesList->setMinimumWidth(80);
    m_seriesList->setWordWrap(true);
    connect(m_seriesList, &QListWidget::itemClicked, this, &ViewerWindow::onSeriesThumbnailActivated);

    m_panelContainer = new QWidget(splitter);
    auto* containerLayout = new QVBoxLayout(m_panelContainer);
    containerLayout->setContentsMargins(0, 0, 0, 0);

    for (int i = 0; i < PanelCount; ++i) {
        auto* panel = new ImageViewportWidget(m_panelContainer);
        m_panels[i] = panel;
        connect(panel, &ImageViewportWidget::activated, this, [this, i] { setActiveViewport(i); });
        connect(panel, &ImageViewportWidget::sliceChanged, this,
                [this, i](int index, int total) { onViewportSliceChanged(i, index, total); });
        connect(panel, &ImageViewportWidget::seriesDropped, this, [this, i](const QString& seriesUid) {
            setActiveViewport(i);
            showSeriesInActivePanel(seriesUid);
        });
        connect(panel, &ImageViewportWidget::seriesMenuRequested, this,
                [this, i](QPoint globalPos) { onSeriesMenuRequested(i, globalPos); });
        connect(panel, &ImageViewportWidget::rowFileReplaced, this,
                [this, i](const QString& filePath) { noteReplacedFileRead(i, filePath); });
        connect(panel, &ImageViewportWidget::cursor3DClicked, this,
                [this, i](QPointF imagePixelPos) { syncCursor3D(i, imagePixelPos); });
        connect(panel, &ImageViewportWidget::cursor3DReleased, this, &ViewerWindow::hideCursor3DMarkers);
        connect(panel, &ImageViewportWidget::seriesStepRequested, this,
                [this, i](int direction) { stepSeriesInPanel(i, direction); });
        connect(panel, &ImageViewportWidget::curvedMprPathFinished, this,
                [this](const QList<std::array<double, 3>>& points) {
                    startCurvedMprBuild(points, m_panoramicMode ? 2 : (m_vesselAnalysisMode ? 1 : 0));
                });
        connect(panel, &ImageViewportWidget::vesselAutoTrackSeedPicked, this, &ViewerWindow::startVesselAutoTrack);
        connect(panel, &ImageViewportWidget::airwayAutoTraceSeedClicked, this, &ViewerWindow::openEndoscopyWindow);
    }

    onGridLayoutChosen(1, 1);
    setActiveViewport(0);

    splitter->addWidget(m_seriesList);
    splitter->addWidget(m_panelContainer);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({160, 2000});
    setCentralWidget(splitter);
}

void ViewerWindow::loadStudyHeader()
{
    bool found = false;
    m_primaryStudyInfo = lookUpStudyHeader(m_db, m_studyUid, &found);
    if (found)
        setWindowTitle(QStringLiteral("%1 — %2").arg(m_primaryStudyInfo.patientName,
                                                     m_primaryStudyInfo.studyDescription));
    else
        setWindowTitle(QStringLiteral("Kalvenor"));
    m_studyInfoByUid.insert(m_studyUid, m_primaryStudyInfo);
    rebuildSeriesPanel();
}

QScopeGuard<std::function<void()>> ViewerWindow::listEachSeriesOnce()
{
    ++m_listingActions;
    return QScopeGuard<std::function<void()>>([this] {
        if (--m_listingActions == 0)
            m_listedSeries.clear();
    });
}

QList<db::InstanceRecord> ViewerWindow::seriesRows(const QString& seriesUid, int* replacedFiles)
{
    ListedSeries listed;
    if (const auto it = m_listedSeries.constFind(seriesUid); it != m_listedSeries.constEnd())
        listed = it.value();
    else if (m_db)
        listed.rows = m_db->instancesForSeries(seriesUid, &listed.replacedFiles);
    if (m_listingActions > 0)
        m_listedSeries.insert(seriesUid, listed);
    if (replacedFiles)
        *replacedFiles = listed.replacedFiles;
    return listed.rows;
}

void ViewerWindow::rebuildSeriesPanel()
{
    const auto listedOnce = listEachSeriesOnce();
    m_seriesList->clear();

    QStringList studies = m_studyInfoByUid.keys();
    // Newest study on top; date and time compared as text.
    std::stable_sort(studies.begin(), studies.end(), [this](const QString& a, const QString& b) {
        const SeriesOverlayInfo& ia = m_studyInfoByUid[a];
        const SeriesOverlayInfo& ib = m_studyInfoByUid[b];
        return ia.studyDate + ia.studyTime > ib.studyDate + ib.studyTime;
    });

    for (const QString& studyUid : studies) {
        auto* header = new QListWidgetItem(headerRowText(m_studyInfoByUid.value(studyUid)), m_seriesList);
        header->setFlags(Qt::ItemIsEnabled);
        header->setTextAlignment(Qt::AlignHCenter);
        header->setBackground(QColor(40, 45, 55));
        header->setForeground(QColor(190, 200, 220));
        QFont font = header->font();
        font.setWeight(QFont::Bold);
        header->setFont(font);

        if (!m_db)
            continue;
        const QList<db::SeriesRecord> seriesList = m_db->seriesForStudy(studyUid);
        int replaced = 0;
        for (const db::SeriesRecord& series : seriesList)
            replaced += fillSeriesRow(new QListWidgetItem(m_seriesList), series, studyUid);
        noteReplacedFiles(studyUid, replaced);
    }
    markActiveSeries();
}

void ViewerWindow::noteReplacedFiles(const QString& studyUid, int files)
{
    // Once for the study, however often its series are listed again with the same finding, and where
    // the passing messages of the status bar do not cover it.
    if (files <= 0 || m_replacedFilesTold.value(studyUid) == files)
        return;
    m_replacedFilesTold.insert(studyUid, files);
    m_replacedFilesNotes.insert(studyUid,
                                db::replacedFilesText(m_db->studyRecord(studyUid), studyUid, files));
    if (!m_replacedFilesLabel) {
        m_replacedFilesLabel = new QLabel(this);
        m_replacedFilesLabel->setObjectName(QStringLiteral("replacedFilesNote"));
        m_replacedFilesLabel->setStyleSheet(QStringLiteral("color: #ffb347;"));
        statusBar()->addPermanentWidget(m_replacedFilesLabel, 1);
    }
    const QStringList notes = m_replacedFilesNotes.values();
    m_replacedFilesLabel->setText(
        notes.join(QLatin1Char(' '))
        + QStringLiteral(" Эти снимки не показываются; импортируйте папку с исследованием заново."));
    m_replacedFilesLabel->setToolTip(m_replacedFilesLabel->text());
}

void ViewerWindow::noteReplacedFileRead(int viewportIndex, const QString& filePath)
{
    const QString seriesUid = m_panelSeriesUids.value(viewportIndex);
    if (!m_db || seriesUid.isEmpty() || m_replacedFilesRead.contains(filePath))
        return;
    m_replacedFilesRead.insert(filePath);
    int replaced = 0;
    QSet<QString> listed;
    for (const db::InstanceRecord& row : m_db->instancesForSeries(seriesUid, &replaced))
        listed.insert(row.filePath);
    // A file listed again as it holds its object now (other frames, elsewhere) still holds other images
    // than the panels were given: the listing does not count it, the panels that found it do.
    for (const QString& read : std::as_const(m_replacedFilesRead))
        replaced += listed.contains(read) ? 1 : 0;
    m_replacedInSeries.insert(seriesUid, replaced);
    QString studyUid;
    for (int row = 0; row < m_seriesList->count() && studyUid.isEmpty(); ++row)
        if (m_seriesList->item(row)->data(SeriesUidRole).toString() == seriesUid)
            studyUid = m_seriesList->item(row)->data(SeriesStudyUidRole).toString();
    int inStudy = 0;
    for (int row = 0; row < m_seriesList->count(); ++row)
        if (!studyUid.isEmpty() && m_seriesList->item(row)->data(SeriesStudyUidRole).toString() == studyUid)
            inStudy += m_replacedInSeries.value(m_seriesList->item(row)->data(SeriesUidRole).toString());
    noteReplacedFiles(studyUid, inStudy);
}

int ViewerWindow::fillSeriesRow(QListWidgetItem* item, const db::SeriesRecord& series,
                                const QString& studyUid)
{
    int replaced = 0;
    const QList<db::InstanceRecord> instances = seriesRows(series.seriesInstanceUid, &replaced);
    item->setIcon(seriesThumbnail(instances, &replaced));
    m_replacedInSeries.insert(series.seriesInstanceUid, replaced);
    item->setText(QStringLiteral("%1\n%2\n%3 срез.")
                      .arg(series.modality.isEmpty() ? QStringLiteral("?") : series.modality,
                           series.seriesDescription.isEmpty() ? QStringLiteral("(без описания)")
                                                              : series.seriesDescription)
                      .arg(instances.size()));
    item->setTextAlignment(Qt::AlignHCenter);
    item->setData(SeriesUidRole, series.seriesInstanceUid);
    item->setData(SeriesDescriptionRole, series.seriesDescription);
    item->setData(SeriesNumberRole, series.seriesNumber);
    item->setData(SeriesModalityRole, series.modality);
    item->setData(SeriesLateralityRole, series.laterality);
    item->setData(SeriesBodyPartRole, series.bodyPartExamined);
    item->setData(SeriesStudyUidRole, studyUid);
    return replaced;
}

void ViewerWindow::markActiveSeries()
{
    const QString activeUid = m_panelSeriesUids.value(m_activePanel);
    for (int row = 0; row < m_seriesList->count(); ++row) {
        QListWidgetItem* item = m_seriesList->item(row);
        const QString text = item->text();
        const bool marked = text.startsWith(ActiveMark);
        if (!activeUid.isEmpty() && activeUid == item->data(SeriesUidRole).toString()) {
            if (!marked)
                item->setText(ActiveMark + text);
        } else if (marked) {
            item->setText(text.mid(ActiveMark.size()));
        }
    }
}

void ViewerWindow::refreshSeriesPanel()
{
    const auto listedOnce = listEachSeriesOnce();
    QHash<QString, int> rowOfSeries;
    for (int row = 0; row < m_seriesList->count(); ++row) {
        QListWidgetItem* item = m_seriesList->item(row);
        if (item->data(SeriesStudyUidRole).toString() == m_studyUid)
            rowOfSeries.insert(item->data(SeriesUidRole).toString(), row);
    }

    bool anyNew = false;
    int replaced = 0;
    const QList<db::SeriesRecord> seriesList = m_db ? m_db->seriesForStudy(m_studyUid) : QList<db::SeriesRecord>{};
    for (const db::SeriesRecord& series : seriesList) {
        const auto it = rowOfSeries.constFind(series.seriesInstanceUid);
        if (it == rowOfSeries.constEnd())
            anyNew = true;
        else
            replaced += fillSeriesRow(m_seriesList->item(it.value()), series, m_studyUid);
    }
    if (anyNew) {
        rebuildSeriesPanel();
    } else {
        noteReplacedFiles(m_studyUid, replaced);
        markActiveSeries();
    }
}

bool ViewerWindow::isSeriesPanelRefreshPending() const
{
    return m_refreshTimer && m_refreshTimer->isActive();
}

void ViewerWindow::onSeriesThumbnailActivated(QListWidgetItem* item)
{
    if (!item)
        return;
    const QString uid = item->data(SeriesUidRole).toString();
    if (uid.isEmpty())
        return;
    showSeriesInActivePanel(uid);
}

void ViewerWindow::showSeriesInActivePanel(const QString& seriesUid)
{
    QListWidgetItem* row = nullptr;
    for (int i = 0; i < m_seriesList->count(); ++i) {
        if (m_seriesList->item(i)->data(SeriesUidRole).toString() == seriesUid) {
            row = m_seriesList->item(i);
            break;
        }
    }
    if (!row || seriesUid.isEmpty())
        return;
    const auto listedOnce = listEachSeriesOnce();

    SeriesOverlayInfo info =
        m_studyInfoByUid.value(row->data(SeriesStudyUidRole).toString(), m_primaryStudyInfo);
    info.seriesDescription = row->data(SeriesDescriptionRole).toString();
    info.seriesNumber = row->data(SeriesNumberRole).toString();
    info.modality = row->data(SeriesModalityRole).toString();
    info.laterality = row->data(SeriesLateralityRole).toString();
    info.bodyPartExamined = row->data(SeriesBodyPartRole).toString();
    info.seriesInstanceUid = seriesUid;

    const QList<db::InstanceRecord> slices = seriesRows(seriesUid);
    m_panels[m_activePanel]->showSeries(slices, info);

    storePanelSeries(m_activePanel, slices, info.seriesDescription, seriesUid);
    updateReferenceLines();
    markActiveSeries();
    updateDceActionState();
    updateCtaSubtractionActionState();
}

void ViewerWindow::storePanelSeries(int index, const QList<db::InstanceRecord>& slices, const QString& description,
                                    const QString& seriesUid)
{
    m_panelSlices[index] = slices;
    m_panelTitles[index] = titleOf(description);
    m_panelSeriesUids[index] = seriesUid;
}

void ViewerWindow::openComparisonStudy(const QString& studyUid)
{
    const QList<db::SeriesRecord> seriesList = m_db ? m_db->seriesForStudy(studyUid) : QList<db::SeriesRecord>{};
    if (seriesList.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Сравнение"),
                             QStringLiteral("В выбранном исследовании не найдено ни одной серии."));
        return;
    }
    const auto listedOnce = listEachSeriesOnce();

    const SeriesOverlayInfo studyInfo = lookUpStudyHeader(m_db, studyUid);
    m_studyInfoByUid.insert(studyUid, studyInfo);
    rebuildSeriesPanel();

    const db::SeriesRecord& series = seriesList.first();
    SeriesOverlayInfo info = studyInfo;
    info.seriesDescription = series.seriesDescription;
    info.seriesNumber = series.seriesNumber;
    info.modality = series.modality;
    info.laterality = series.laterality;
    info.bodyPartExamined = series.bodyPartExamined;
    info.seriesInstanceUid = series.seriesInstanceUid;

    if (m_gridRows * m_gridCols < 2)
        onGridLayoutChosen(1, 2);

    // Only cells of the grid on screen are candidates: a panel outside the grid would load the study
    // where nobody sees it. With every cell filled, the last cell of the grid takes the study.
    int target = -1;
    for (int r = 0; r < m_gridRows && target < 0; ++r) {
        for (int c = 0; c < m_gridCols; ++c) {
            const int i = r * 3 + c;
            if (m_panelSlices[i].isEmpty()) {
                target = i;
                break;
            }
        }
    }
    if (target < 0)
        target = (m_gridRows - 1) * 3 + (m_gridCols - 1);

    const QList<db::InstanceRecord> slices = seriesRows(series.seriesInstanceUid);
    m_panels[target]->showSeries(slices, info);
    storePanelSeries(target, slices, series.seriesDescription, series.seriesInstanceUid);
    setActiveViewport(target);
    updateReferenceLines();
}

void ViewerWindow::refreshSeriesSlices(const QString& seriesUid, const QList<db::InstanceRecord>& slices)
{
    m_listedSeries.remove(seriesUid); // grown since
    for (int i = 0; i < PanelCount; ++i) {
        if (m_panelSeriesUids[i].isEmpty() || m_panelSeriesUids[i] != seriesUid)
            continue;
        m_panels[i]->mergeSlices(slices);
        // What the panel holds now: the rows given may be only the new ones.
        m_panelSlices[i] = m_panels[i]->slices();
    }
    // Not restarted by later calls: while files stream in, the series panel refreshes at most once
    // per interval.
    if (!m_refreshTimer->isActive())
        m_refreshTimer->start(SeriesPanelRefreshMs);
}

void ViewerWindow::onViewportSliceChanged(int sourceViewportIndex, int index, int total)
{
    // Panels moved by synchronised scrolling or by the 3D cursor: whoever moves them recomputes the
    // lines once at the end, and a moved panel does not drag the others along by its fraction.
    if (m_syncInProgress)
        return;
    if (m_syncSlices && !m_syncInProgress && total >= 1) {
        const double fraction = total == 1 ? 0.0 : double(index) / double(total - 1);
        m_syncInProgress = true;
        for (int i = 0; i < PanelCount; ++i) {
            if (i != sourceViewportIndex && !m_panelSlices[i].isEmpty())
                m_panels[i]->setSliceByFraction(fraction);
        }
        m_syncInProgress = false;
    }
    updateReferenceLines();
}

QMenu* ViewerWindow::buildSeriesMenu(int viewportIndex)
{
    if (viewportIndex < 0 || viewportIndex >= PanelCount)
        return nullptr;
    auto* menu = new QMenu(this);
    ImageViewportWidget* panel = m_panels[viewportIndex];

    if (panel->reconstructionPlane() != 0) {
        connect(menu->addAction(QStringLiteral("↩ Исходные срезы")), &QAction::triggered, this,
                [panel] { panel->showOriginalSlices(); });
        menu->addSeparator();
    }

    for (int row = 0; row < m_seriesList->count(); ++row) {
        const QListWidgetItem* item = m_seriesList->item(row);
        const QString uid = item->data(SeriesUidRole).toString();
        if (uid.isEmpty())
            continue;
        const QString text = QStringLiteral("%1№%2 · %3 · %4")
                                 .arg(uid == m_panelSeriesUids[viewportIndex] ? ActiveMark : QString(),
                                      item->data(SeriesNumberRole).toString(),
                                      item->data(SeriesModalityRole).toString(),
                                      item->data(SeriesDescriptionRole).toString());
        connect(menu->addAction(text), &QAction::triggered, this, [this, viewportIndex, uid] {
            setActiveViewport(viewportIndex);
            showSeriesInActivePanel(uid);
        });
    }

    menu->addSeparator();
    const QString detachText = m_detachedWindows[viewportIndex] ? QStringLiteral("📌 Прикрепить обратно")
                                                                : QStringLiteral("🖥 Отсоединить на отдельный экран");
    connect(menu->addAction(detachText), &QAction::triggered, this,
            [this, viewportIndex] { toggleDetachViewport(viewportIndex); });
    return menu;
}

void ViewerWindow::onSeriesMenuRequested(int viewportIndex, QPoint globalPos)
{
    QMenu* menu = buildSeriesMenu(viewportIndex);
    if (!menu)
        return;
    if (!menu->isEmpty())
        menu->exec(globalPos);
    delete menu;
}

bool ViewerWindow::isGridCell(int index) const
{
    return index >= 0 && index < PanelCount && index / 3 < m_gridRows && index % 3 < m_gridCols;
}

void ViewerWindow::onGridLayoutChosen(int rows, int cols)
{
    m_gridRows = std::clamp(rows, 1, 3);
    m_gridCols = std::clamp(cols, 1, 3);

    // Panels leave the old splitters before those are deleted.
    for (int i = 0; i < PanelCount; ++i) {
        if (m_detachedWindows[i])
            continue;
        m_panels[i]->setParent(m_panelContainer);
        m_panels[i]->hide();
    }
    auto* containerLayout = static_cast<QVBoxLayout*>(m_panelContainer->layout());
    if (m_gridSplitter) {
        containerLayout->removeWidget(m_gridSplitter);
        m_gridSplitter->hide();
        m_gridSplitter->deleteLater();
    }

    m_gridSplitter = new QSplitter(Qt::Vertical, m_panelContainer);
    for (int r = 0; r < m_gridRows; ++r) {
        auto* rowSplitter = new QSplitter(Qt::Horizontal, m_gridSplitter);
        QList<int> sizes;
        for (int c = 0; c < m_gridCols; ++c) {
            const int i = r * 3 + c;
            if (m_detachedWindows[i]) {
                rowSplitter->addWidget(createDetachedPlaceholder(i));
            } else {
                rowSplitter->addWidget(m_panels[i]);
                m_panels[i]->show();
            }
            sizes << 1000;
        }
        rowSplitter->setSizes(sizes);
        m_gridSplitter->addWidget(rowSplitter);
    }
    m_gridSplitter->setSizes(QList<int>(m_gridRows, 1000));
    containerLayout->addWidget(m_gridSplitter);
    // A layout shows a new child only from the event loop; the grid is wanted on screen at once.
    m_gridSplitter->show();

    if (!isGridCell(m_activePanel))
        setActiveViewport(0);
    updateReferenceLines();
    fitGridPanelsLater();
}

QWidget* ViewerWindow::createDetachedPlaceholder(int viewportIndex)
{
    auto* placeholder = new QWidget;
    placeholder->setStyleSheet(QStringLiteral("background-color: #1a1a1a;"));
    auto* layout = new QVBoxLayout(placeholder);
    layout->addStretch();
    auto* label = new QLabel(QStringLiteral("Панель отсоединена\nна отдельный экран"), placeholder);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(QStringLiteral("color: #888;"));
    layout->addWidget(label);
    auto* button = new QPushButton(QStringLiteral("Прикрепить обратно"), placeholder);
    layout->addWidget(button, 0, Qt::AlignHCenter);
    layout->addStretch();
    connect(button, &QPushButton::clicked, this, [this, viewportIndex] { toggleDetachViewport(viewportIndex); });
    return placeholder;
}

void ViewerWindow::fitGridPanelsLater()
{
    QTimer::singleShot(0, this, [this] { fitPanelsWithSlices(true); });
}

void ViewerWindow::fitPanelsWithSlices(bool gridCellsOnly)
{
    for (int i = 0; i < PanelCount; ++i) {
        if (gridCellsOnly && !isGridCell(i))
            continue;
        // A panel that was hidden while its cell changed size may have placed its floating texts
        // for the old size; by now its own layout has settled.
        m_panels[i]->layoutOverlayWidgets();
        if (!m_panelSlices[i].isEmpty())
            m_panels[i]->fitImageInView();
    }
}

void ViewerWindow::setActiveViewport(int index)
{
    if (index < 0 || index >= PanelCount)
        return;
    const auto listedOnce = listEachSeriesOnce();
    m_activePanel = index;
    for (int i = 0; i < PanelCount; ++i)
        m_panels[i]->setActiveHighlight(i == index);
    updateReferenceLines();
    markActiveSeries();
    updateDceActionState();
    updateCtaSubtractionActionState();
}

void ViewerWindow::toggleDetachViewport(int viewportIndex)
{
    if (viewportIndex < 0 || viewportIndex >= PanelCount)
        return;
    ImageViewportWidget* panel = m_panels[viewportIndex];

    if (QMainWindow* window = m_detachedWindows[viewportIndex]) {
        m_detachedWindows[viewportIndex] = nullptr;
        window->takeCentralWidget();
        panel->setParent(nullptr);
        window->removeEventFilter(this);
        window->close();
        window->deleteLater();
        onGridLayoutChosen(m_gridRows, m_gridCols);
        return;
    }

    auto* window = new QMainWindow;
    window->setWindowTitle(QStringLiteral("Панель просмотра — Kalvenor"));
    window->resize(900, 700);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->installEventFilter(this);
    window->setCentralWidget(panel);
    panel->show();
    m_detachedWindows[viewportIndex] = window;
    onGridLayoutChosen(m_gridRows, m_gridCols);
    window->show();
    window->raise();
    window->activateWindow();
}

bool ViewerWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Close) {
        int index = -1;
        for (int i = 0; i < PanelCount && index < 0; ++i) {
            if (m_detachedWindows[i] && static_cast<QObject*>(m_detachedWindows[i]) == watched)
                index = i;
        }
        if (index >= 0) {
            // Closing a panel's own window puts the panel back into the grid.
            event->ignore();
            toggleDetachViewport(index);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void ViewerWindow::closeEvent(QCloseEvent* event)
{
    for (int i = 0; i < PanelCount; ++i) {
        QMainWindow* window = m_detachedWindows[i];
        if (!window)
            continue;
        // The panel stays the viewer's for as long as the viewer lives.
        window->takeCentralWidget();
        m_panels[i]->setParent(m_panelContainer);
        m_panels[i]->hide();
        window->removeEventFilter(this);
        window->close();
        window->deleteLater();
        m_detachedWindows[i] = nullptr;
    }
    QMainWindow::closeEvent(event);
}

void ViewerWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // The first image fits the panel size the window ends up with, not the size at construction.
    QTimer::singleShot(0, this, [this] { fitPanelsWithSlices(false); });
}
