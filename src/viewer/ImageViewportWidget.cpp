#include "viewer/ImageViewportWidget.h"
#include "viewer/MeasurementGraphics.h"

#include "dicom/FrameDecoder.h"
#include "render/FusionOverlay.h"
#include "render/MprSlices.h"
#include "render/SliceSources.h"
#include "render/VolumeGeometryWarnings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPathItem>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStackedLayout>
#include <QToolButton>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

const char kSeriesMimeType[] = "application/x-dicom-series-uid";

// One notch of an ordinary mouse wheel; touchpads report fractions of it.
constexpr int kWheelNotch = 120;

// The corner texts' size is set by layoutOverlayWidgets: 13 px, smaller in a small panel.
const char kCornerLabelStyle[] = "color: #ffd633; background: transparent;";
const char kComboStyle[] = "QComboBox { color: #ffd633; font-size: 11px; background: rgba(0,0,0,120); "
                           "border: 1px solid #555; padding: 1px 3px; }";

// Frames of one file stay together and in order; slice location only separates rows that the
// instance number and frame leave equal, so the order never depends on the order of arrival.
bool sliceLess(const db::InstanceRecord& a, const db::InstanceRecord& b)
{
    if (a.instanceNumber != b.instanceNumber)
        return a.instanceNumber < b.instanceNumber;
    if (a.frameIndex != b.frameIndex)
        return a.frameIndex < b.frameIndex;
    return a.sliceLocation < b.sliceLocation;
}

void sortSlices(QList<db::InstanceRecord>& slices)
{
    std::stable_sort(slices.begin(), slices.end(), sliceLess);
}

QString sliceKey(const db::InstanceRecord& row)
{
    return row.filePath + QLatin1Char('\n') + QString::number(row.frameIndex);
}

QImage invertedImage(const QImage& image)
{
    QImage out = image.convertToFormat(QImage::Format_RGB32);
    out.invertPixels(QImage::InvertRgb);
    return out;
}

} // namespace

ImageViewportWidget::ImageViewportWidget(QWidget* parent) : QWidget(parent)
{
    setAcceptDrops(true);
    setFocusPolicy(Qt::StrongFocus);

    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    m_container = new QWidget(this);
    auto* stack = new QStackedLayout(m_container);
    stack->setStackingMode(QStackedLayout::StackAll);
    stack->setContentsMargins(0, 0, 0, 0);

    m_scene = new QGraphicsScene(this);
    m_imageItem = new QGraphicsPixmapItem;
    m_imageItem->setTransformationMode(Qt::SmoothTransformation);
    m_scene->addItem(m_imageItem);

    m_view = new QGraphicsView(m_scene, this);
    m_view->setDragMode(QGraphicsView::NoDrag);
    m_view->setRenderHint(QPainter::Antialiasing, true);
    m_view->setRenderHint(QPainter::SmoothPixmapTransform, true);
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setBackgroundBrush(QBrush(QColor(20, 20, 20)));
    m_view->setFrameShape(QFrame::NoFrame);
    m_view->setFocusPolicy(Qt::NoFocus);
    m_view->setAcceptDrops(true);
    m_view->viewport()->setMouseTracking(true);
    m_view->viewport()->setAcceptDrops(true);
    m_view->viewport()->installEventFilter(this);

    m_placeholder = new QLabel(QStringLiteral("Выберите серию слева, чтобы открыть срезы"), this);
    m_placeholder->setAlignment(Qt::AlignCenter);
    m_placeholder->setStyleSheet(QStringLiteral("color: #888; font-size: 14px;"));
    m_placeholder->setAttribute(Qt::WA_TransparentForMouseEvents, true);
    m_placeholder->setAcceptDrops(true);
    m_placeholder->installEventFilter(this);

    m_activeFrame = new QWidget(m_container);
    m_activeFrame->setAttribute(Qt::WA_TransparentForMouseEvents, true);
    m_activeFrame->setAttribute(Qt::WA_StyledBackground, true);
    m_activeFrame->setStyleSheet(QStringLiteral("background: transparent; border: 3px solid transparent;"));

    stack->addWidget(m_view);
    stack->addWidget(m_placeholder);
    stack->addWidget(m_activeFrame);
    m_activeFrame->show();
    m_activeFrame->raise();

    auto makeCornerLabel = [this](bool right) {
        auto* label = new QLabel(m_view);
        label->setStyleSheet(QString::fromLatin1(kCornerLabelStyle));
        QFont font = label->font();
        font.setPixelSize(13);
        label->setFont(font);
        label->setAttribute(Qt::WA_TransparentForMouseEvents, true);
        // Long texts wrap within the share of the panel that layoutOverlayWidgets gives each corner.
        label->setWordWrap(true);
        if (right)
            label->setAlignment(Qt::AlignRight | Qt::AlignTop);
        // The texts lie over the image wherever it is panned or zoomed: the halo keeps them readable.
        applyLabelShadow(label);
        label->hide();
        return label;
    };
    m_topLeftLabel = makeCornerLabel(false);
    m_topRightLabel = makeCornerLabel(true);
    m_bottomLeftLabel = makeCornerLabel(false);
    m_bottomRightLabel = makeCornerLabel(true);

    m_planeCombo = new QComboBox(m_view);
    m_planeCombo->addItem(QStringLiteral("2D"), 0);
    m_planeCombo->addItem(QStringLiteral("AX"), 3);
    m_planeCombo->addItem(QStringLiteral("SAG"), 1);
    m_planeCombo->addItem(QStringLiteral("COR"), 2);
    m_planeCombo->setStyleSheet(QString::fromLatin1(kComboStyle));
    m_planeCombo->setToolTip(QStringLiteral(
        "Плоскость реконструкции этой панели: 2D — исходные срезы файла, AX/SAG/COR — построить объём из серии "
        "и показать аксиальный/сагиттальный/корональный срез вместо исходного."));
    m_planeCombo->setFixedWidth(64);

    m_slabCombo = new QComboBox(m_view);
    m_slabCombo->addItems({QStringLiteral("Срез"), QStringLiteral("MIP"), QStringLiteral("MinIP"),
                           QStringLiteral("Avg")});
    m_slabCombo->setStyleSheet(QString::fromLatin1(kComboStyle));
    m_slabCombo->setToolTip(QStringLiteral(
        "Свёртка утолщённого среза реконструкции — действует только когда слева выбрана плоскость AX/SAG/COR "
        "(не «2D») и толщина справа больше нуля."));
    m_slabCombo->setFixedWidth(64);

    m_thicknessBox = new QDoubleSpinBox(m_view);
    m_thicknessBox->setRange(0.0, 100.0);
    m_thicknessBox->setSingleStep(5.0);
    m_thicknessBox->setDecimals(0);
    m_thicknessBox->setSuffix(QStringLiteral(" мм"));
    m_thicknessBox->setButtonSymbols(QAbstractSpinBox::NoButtons);
    m_thicknessBox->setStyleSheet(QStringLiteral(
        "QDoubleSpinBox { color: #ffd633; font-size: 11px; background: rgba(0,0,0,120); border: 1px solid #555; "
        "padding: 1px 2px; padding-right: 13px; }"));
    m_thicknessBox->setToolTip(QStringLiteral("Толщина утолщённого среза (0 — обычный тонкий срез)"));
    m_thicknessBox->setFixedWidth(64);
    m_thicknessBox->setEnabled(false);

    m_thicknessUp = makeThicknessStepButton(QStringLiteral("▲"), QStringLiteral("Увеличить толщину"));
    m_thicknessDown = makeThicknessStepButton(QStringLiteral("▼"), QStringLiteral("Уменьшить толщину"));

    m_selectCheck = new QCheckBox(QStringLiteral("Выбрать"), m_view);
    m_selectCheck->setStyleSheet(QStringLiteral(
        "QCheckBox { color: #7fd8ff; font-size: 12px; background: transparent; }"
        "QCheckBox::indicator { width: 15px; height: 15px; }"
        "QCheckBox::indicator:unchecked { border: 2px solid #7fd8ff; background: transparent; border-radius: 2px; }"
        "QCheckBox::indicator:checked { border: 2px solid #7fd8ff; background: #33aaff; border-radius: 2px; }"));
    m_selectCheck->hide();

    m_scrollBar = new QScrollBar(Qt::Vertical, this);
    m_scrollBar->setFixedWidth(14);
    m_scrollBar->setRange(0, 0);

    outer->addWidget(m_container, 1);
    outer->addWidget(m_scrollBar, 0);

    connect(m_planeCombo, &QComboBox::currentIndexChanged, this, &ImageViewportWidget::onPlaneComboChanged);
    connect(m_slabCombo, &QComboBox::currentIndexChanged, this, &ImageViewportWidget::onSlabModeChanged);
    connect(m_thicknessBox, &QDoubleSpinBox::valueChanged, this, &ImageViewportWidget::onSlabThicknessChanged);
    connect(m_thicknessUp, &QToolButton::clicked, m_thicknessBox, &QDoubleSpinBox::stepUp);
    connect(m_thicknessDown, &QToolButton::clicked, m_thicknessBox, &QDoubleSpinBox::stepDown);
    connect(m_selectCheck, &QCheckBox::toggled, this, &ImageViewportWidget::setCurrentSliceSelected);
    connect(m_scrollBar, &QScrollBar::valueChanged, this, &ImageViewportWidget::onScrollBarValueChanged);

    clearSeries();
}

ImageViewportWidget::~ImageViewportWidget() = default;

QToolButton* ImageViewportWidget::makeThicknessStepButton(const QString& text, const QString& toolTip)
{
    auto* button = new QToolButton(m_view);
    button->setText(text);
    button->setToolTip(toolTip);
    button->setFixedSize(12, 9);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral(
        "QToolButton { color: #ffd633; font-size: 7px; background: rgba(255,255,255,25); border: 1px solid #555; "
        "padding: 0px; }QToolButton:hover { background: rgba(255,255,255,70); }QToolButton:pressed { background: "
        "rgba(255,255,255,110); }"));
    button->setEnabled(false);
    return button;
}

// ---------------------------------------------------------------------------------------------------
// Series and slices

void ImageViewportWidget::showSeries(const QList<db::InstanceRecord>& slices, const SeriesOverlayInfo& info)
{
    if (!m_slices.isEmpty() && !m_overlayInfo.seriesInstanceUid.isEmpty())
        saveViewState();

    m_slices = slices;
    sortSlices(m_slices);
    m_sliceFiles.clear();
    for (const db::InstanceRecord& row : std::as_const(m_slices))
        m_sliceFiles.insert(row.filePath);
    m_overlayInfo = info;
    m_currentIndex = 0;
    m_userWindow = false;

    for (int i = m_measurements.size() - 1; i >= 0; --i)
        removeMeasurement(i);
    m_secondPhase = false;
    activeMeasurement = -1;
    m_plane = 0;
    releaseVolume();
    m_slabMode = 0;
    m_slabThickness = 0.0;
    syncReconstructionControls();
    m_rotation = 0;
    m_flipHorizontal = false;
    m_flipVertical = false;

    if (m_slices.isEmpty()) {
        clearSeries();
        return;
    }

    showImageArea();
    setScrollBarRange(m_slices.size() - 1);

    const QString key = m_overlayInfo.seriesInstanceUid;
    if (!key.isEmpty() && m_viewMemory.contains(key)) {
        const ViewState state = m_viewMemory.value(key);
        m_userWindow = state.userWindow;
        m_windowCenter = state.windowCenter;
        m_windowWidth = state.windowWidth;
        m_rotation = state.rotation;
        m_flipHorizontal = state.flipHorizontal;
        m_flipVertical = state.flipVertical;
        showSlice(std::min(std::max(state.sliceIndex, 0), int(m_slices.size()) - 1));
        if (state.userZoomed) {
            m_view->setTransform(state.transform);
            m_view->horizontalScrollBar()->setValue(state.horizontalScroll);
            m_view->verticalScrollBar()->setValue(state.verticalScroll);
            m_userZoomed = true;
            updateOrientationLabels();
        } else {
            // A fitted view is fitted again: the panel may have another size than when it was left.
            fitImageInView();
        }
        return;
    }

    showSlice(0);
    if (!m_imageItem->pixmap().isNull())
        fitImageInView();
}

void ImageViewportWidget::saveViewState()
{
    ViewState state;
    state.sliceIndex = m_currentIndex;
    state.transform = m_view->transform();
    state.horizontalScroll = m_view->horizontalScrollBar()->value();
    state.verticalScroll = m_view->verticalScrollBar()->value();
    state.userZoomed = m_userZoomed;
    state.userWindow = m_userWindow;
    state.windowCenter = m_windowCenter;
    state.windowWidth = m_windowWidth;
    state.rotation = m_rotation;
    state.flipHorizontal = m_flipHorizontal;
    state.flipVertical = m_flipVertical;
    m_viewMemory.insert(m_overlayInfo.seriesInstanceUid, state);
}

void ImageViewportWidget::mergeSlices(const QList<db::InstanceRecord>& incoming)
{
    // Every frame of a new file is taken; a row listed twice in one batch is taken once. What this
    // costs goes with the rows handed in: a growing series is handed its new rows again and again.
    QList<db::InstanceRecord> fresh;
    QSet<QString> freshKeys;
    QSet<QString> freshFiles;
    for (const db::InstanceRecord& row : incoming) {
        if (m_sliceFiles.contains(row.filePath))
            continue;
        const QString key = sliceKey(row);
        if (freshKeys.contains(key))
            continue;
        freshKeys.insert(key);
        freshFiles.insert(row.filePath);
        fresh.append(row);
    }
    if (fresh.isEmpty())
        return;
    m_sliceFiles.unite(freshFiles);
    sortSlices(fresh);

    if (m_slices.isEmpty()) {
        m_slices = fresh;
        setScrollBarRange(m_slices.size() - 1);
        showImageArea();
        showSlice(0);
        fitImageInView();
        return;
    }

    if (sliceLess(fresh.first(), m_slices.last())) {
        // Slices that arrive late may sort in front of the shown one: merged in the order a sort of the
        // whole list would give (the earlier slice first of two equal ones), the shown slice and the
        // slices of the measurements keep their identity (file and frame), not their old position.
        const qsizetype held = m_slices.size();
        QList<int> newIndexOf(held);
        QList<db::InstanceRecord> merged;
        merged.reserve(held + fresh.size());
        qsizetype j = 0;
        for (qsizetype i = 0; i < held; ++i) {
            while (j < fresh.size() && sliceLess(fresh.at(j), m_slices.at(i)))
                merged.append(fresh.at(j++));
            newIndexOf[i] = int(merged.size());
            merged.append(m_slices.at(i));
        }
        while (j < fresh.size())
            merged.append(fresh.at(j++));
        m_slices = std::move(merged);
        auto remap = [&](int oldIndex) {
            return oldIndex < 0 || oldIndex >= held ? oldIndex : newIndexOf.at(oldIndex);
        };
        m_currentIndex = remap(m_currentIndex);
        for (Measurement& m : m_measurements)
            m.sliceIndex = remap(m.sliceIndex);
        for (int& slice : m_mouse.curvedPathSlices)
            slice = remap(slice);
    } else {
        // The usual arrival, in order: behind every slice held, whose places stay.
        m_slices.append(fresh);
    }

    // In a reconstruction plane the scroll bar walks the volume, which a merge does not rebuild.
    if (m_plane == 0) {
        setScrollBarRange(m_slices.size() - 1);
        setScrollBarValue(m_currentIndex);
        updateOverlayTexts();
    }
}

void ImageViewportWidget::clearSeries()
{
    m_slices.clear();
    m_sliceFiles.clear();
    m_currentIndex = 0;
    m_userWindow = false;
    m_imageItem->setPixmap(QPixmap());
    m_topLeftLabel->hide();
    m_topRightLabel->hide();
    m_bottomLeftLabel->hide();
    m_bottomRightLabel->hide();
    m_selectCheck->hide();
    if (m_leftSideLabel)
        m_leftSideLabel->hide();
    if (m_rightSideLabel)
        m_rightSideLabel->hide();
    m_placeholder->show();
    m_view->hide();
    m_activeFrame->raise();
    for (int i = m_measurements.size() - 1; i >= 0; --i)
        removeMeasurement(i);
    m_secondPhase = false;
    activeMeasurement = -1;
    m_huLoaded = false;
    setReferenceLines({});
    m_plane = 0;
    releaseVolume();
    m_slabMode = 0;
    m_slabThickness = 0.0;
    syncReconstructionControls();
    setScrollBarRange(0);
}

void ImageViewportWidget::showImageArea()
{
    m_placeholder->hide();
    m_view->show();
    m_activeFrame->raise();
    m_topLeftLabel->show();
    m_topRightLabel->show();
    m_bottomLeftLabel->show();
    m_bottomRightLabel->show();
}

std::optional<db::InstanceRecord> ImageViewportWidget::currentSlice() const
{
    if (m_currentIndex < 0 || m_currentIndex >= m_slices.size())
        return std::nullopt;
    return m_slices.at(m_currentIndex);
}

double ImageViewportWidget::currentPixelSpacing() const
{
    const auto row = currentSlice();
    if (!row)
        return -1.0;
    const double x = row->pixelSpacingX;
    const double y = row->pixelSpacingY;
    if (x <= 0.0 && y <= 0.0)
        return -1.0;
    if (x <= 0.0)
        return y;
    if (y <= 0.0)
        return x;
    return (x + y) / 2.0;
}

int ImageViewportWidget::imageWidth() const
{
    return m_imageItem->pixmap().width();
}

int ImageViewportWidget::imageHeight() const
{
    return m_imageItem->pixmap().height();
}

void ImageViewportWidget::showSlice(int index)
{
    if (m_slices.isEmpty())
        return;
    const int n = m_slices.size();
    m_currentIndex = std::min(std::max(index, 0), n - 1);
    m_huLoaded = false;
    setScrollBarValue(m_currentIndex);

    std::optional<render::WindowLevel> request;
    if (m_userWindow)
        request = render::WindowLevel{m_windowCenter, m_windowWidth};

    const db::InstanceRecord& row = m_slices.at(m_currentIndex);
    QString why;
    bool otherObject = false;
    const std::optional<dicom::DecodedFrame> frame =
        dicom::decodeFrame(row.filePath, row.frameIndex, request, &why, row.object(), &otherObject);
    if (!frame || frame->image.isNull()) {
        m_imageItem->setPixmap(QPixmap());
        if (!otherObject) {
            showTopLeftMessage(
                QStringLiteral("Не удалось декодировать срез:\n%1").arg(QFileInfo(row.filePath).fileName()));
            return;
        }
        // Another disc copied over the folder since the series was listed: the slice is missing here,
        // and nothing of the other image is shown under this study.
        showTopLeftMessage(QStringLiteral("Срез не показан:\n%1").arg(why));
        emit rowFileReplaced(row.filePath);
        return;
    }

    QImage image = frame->image;
    if (m_inverted)
        image = invertedImage(image);
    if (m_fusion && !m_fusion->isEmpty())
        image = render::blendFusionOverlay(image, row, *m_fusion, m_fusionCenter, m_fusionWidth, m_fusionColourMap,
                                           m_fusionOpacity);
    setImage(image);

    m_windowCenter = frame->windowCenter;
    m_windowWidth = frame->windowWidth;

    updateOverlayTexts();
    // A path may run through several slices: each point is marked on its own slice only, so that no
    // point seems to lie on the slice shown.
    for (int i = 0; i < m_mouse.curvedPathMarkers.size(); ++i)
        m_mouse.curvedPathMarkers.at(i)->setVisible(m_mouse.curvedPathSlices.value(i, -1) == m_currentIndex);
    updateOrientationLabels();

    updateMeasurementVisibility();

    emit sliceChanged(m_currentIndex, n);
}

void ImageViewportWidget::setImage(const QImage& image)
{
    m_imageItem->setPixmap(QPixmap::fromImage(image));
    const QRectF r = m_imageItem->boundingRect();
    // Room to pan the image by up to its own size in every direction.
    m_scene->setSceneRect(r.adjusted(-r.width(), -r.height(), r.width(), r.height()));
}

void ImageViewportWidget::showTopLeftMessage(const QString& text)
{
    m_topLeftLabel->setText(text);
    m_topLeftLabel->show();
    m_topLeftLabel->adjustSize();
    layoutOverlayWidgets();
}

void ImageViewportWidget::setScrollBarRange(int maximum)
{
    m_scrollGuard = true;
    m_scrollBar->setRange(0, std::max(maximum, 0));
    m_scrollGuard = false;
}

void ImageViewportWidget::setScrollBarValue(int value)
{
    m_scrollGuard = true;
    m_scrollBar->setValue(value);
    m_scrollGuard = false;
}

void ImageViewportWidget::onScrollBarValueChanged(int value)
{
    if (m_scrollGuard)
        return;
    if (m_plane == 0)
        showSlice(value);
    else
        setReconstructedIndex(value);
}

void ImageViewportWidget::stepSlices(int steps)
{
    if (m_slices.isEmpty() || steps == 0)
        return;
    if (m_plane == 0)
        showSlice(m_currentIndex + steps);
    else
        setReconstructedIndex(m_reconIndex + steps);
}

void ImageViewportWidget::setReconstructedIndex(int index)
{
    m_reconIndex = std::min(std::max(index, 0), std::max(reconstructionSliceCount() - 1, 0));
    renderReconstruction();
}

// ---------------------------------------------------------------------------------------------------
// View

void ImageViewportWidget::fitImageInView()
{
    if (m_imageItem->pixmap().isNull())
        return;
    m_view->resetTransform();
    if (m_flipHorizontal)
        m_view->scale(-1.0, m_flipVertical ? -1.0 : 1.0);
    else if (m_flipVertical)
        m_view->scale(1.0, -1.0);
    if (m_rotation != 0)
        m_view->rotate(m_rotation);
    // Fitted last, so that an image turned by 90 degrees fits with its sides swapped; the fit keeps
    // the flips and the rotation.
    m_view->fitInView(m_imageItem, Qt::KeepAspectRatio);
    m_userZoomed = false;
    hideScrollBars();
    // Flips and rotations end here: the side letters follow the new orientation.
    updateOrientationLabels();
}

void ImageViewportWidget::resetViewTransform()
{
    m_rotation = 0;
    m_flipHorizontal = false;
    m_flipVertical = false;
    fitImageInView();
}

void ImageViewportWidget::toggleFlipHorizontal()
{
    m_flipHorizontal = !m_flipHorizontal;
    fitImageInView();
}

void ImageViewportWidget::toggleFlipVertical()
{
    m_flipVertical = !m_flipVertical;
    fitImageInView();
}

void ImageViewportWidget::fitToView()
{
    fitImageInView();
}

void ImageViewportWidget::hideScrollBars()
{
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void ImageViewportWidget::rotateBy(int degrees)
{
    m_rotation = ((m_rotation + degrees) % 360 + 360) % 360;
    fitImageInView();
}

QRectF ImageViewportWidget::visibleImageRect() const
{
    const double w = m_imageItem->pixmap().width();
    const double h = m_imageItem->pixmap().height();
    if (m_userZoomed && w > 0 && h > 0) {
        const QRectF visible = m_view->mapToScene(m_view->viewport()->rect()).boundingRect();
        const QRectF part = visible.intersected(QRectF(0, 0, w, h));
        if (!part.isEmpty())
            return QRectF(part.left() / w, part.top() / h, part.width() / w, part.height() / h);
    }
    return QRectF(0, 0, 1, 1);
}

void ImageViewportWidget::setActiveHighlight(bool active)
{
    m_activeFrame->raise();
    m_activeFrame->setStyleSheet(active ? QStringLiteral("background: transparent; border: 3px solid #33aaff;")
                                        : QStringLiteral("background: transparent; border: 3px solid transparent;"));
    if (active)
        setFocus(Qt::OtherFocusReason);
}

void ImageViewportWidget::setInverted(bool inverted)
{
    m_inverted = inverted;
    if (m_slices.isEmpty())
        return;
    if (m_plane != 0)
        renderReconstruction();
    else
        showSlice(m_currentIndex);
}

void ImageViewportWidget::setWindowPreset(render::WindowLevel window)
{
    if (m_slices.isEmpty())
        return;
    m_windowCenter = window.center;
    m_windowWidth = window.width;
    m_userWindow = true;
    // A reconstruction plane keeps showing the reconstruction, now in the chosen window.
    if (m_plane != 0)
        renderReconstruction();
    else
        showSlice(m_currentIndex);
}

void ImageViewportWidget::setSliceByFraction(double fraction)
{
    const int n = m_slices.size();
    if (n == 0)
        return;
    if (m_plane != 0) {
        // Synchronised scrolling moves through the reconstruction the panel shows.
        const int count = reconstructionSliceCount();
        setReconstructedIndex(count <= 1 ? 0 : int(std::lround((count - 1) * fraction)));
        return;
    }
    if (n == 1) {
        showSlice(0);
        return;
    }
    showSlice(int(std::lround((n - 1) * fraction)));
}

// ---------------------------------------------------------------------------------------------------
// Reconstruction planes

int ImageViewportWidget::reconstructionSliceCount() const
{
    if (!m_volumePresent || m_plane < 1 || m_plane > 3)
        return 0;
    return m_reconCounts[m_plane - 1];
}

int ImageViewportWidget::slabHalfWidth() const
{
    const double half = m_slabThickness / 2.0;
    if (!(half > 0.0) || !m_volume)
        return 0;
    double spacing = 0.0;
    switch (m_plane) {
    case 1: spacing = m_volume->spacingX; break;
    case 2: spacing = m_volume->spacingY; break;
    case 3: spacing = m_volume->spacingZ; break;
    default: return 0;
    }
    if (!(spacing > 0.0))
        return 0;
    const long slices = std::lround(half / spacing);
    return slices > 0 ? int(slices) : 0;
}

void ImageViewportWidget::releaseVolume()
{
    m_volume.reset();
    m_volumePresent = false;
    m_volumeWarnings.clear();
    m_reconCounts[0] = m_reconCounts[1] = m_reconCounts[2] = 0;
    m_reconIndex = 0;
}

void ImageViewportWidget::enterReconstructionPlane(int plane)
{
    if (m_slices.isEmpty())
        return;
    if (plane < 1 || plane > 3) {
        syncReconstructionControls();
        return;
    }
    if (!m_volumePresent) {
        // Each slice carries its own position and orientation, so the builder orients the stack from
        // the geometry; the description only decides when the files carry none.
        const QList<render::SliceSource> sources = render::sliceSourcesFromInstances(m_slices);
        const int hint = render::guessAcquisitionPlane(m_overlayInfo.seriesDescription);
        QString error;
        render::Volume volume = render::buildVolume(sources, &error, hint);
        if (volume.isEmpty()) {
            showTopLeftMessage(QStringLiteral("Реконструкция недоступна:\n%1")
                                   .arg(error.isEmpty() ? QStringLiteral("неизвестная ошибка") : error));
            syncReconstructionControls();
            return;
        }
        m_reconCounts[0] = volume.nx;
        m_reconCounts[1] = volume.ny;
        m_reconCounts[2] = volume.nz;
        m_volume = std::move(volume);
        m_volumePresent = true;
        m_volumeWarnings = error;
    }
    m_plane = plane;
    // Reference lines and the 3D-cursor marker belong to the file's slice, not to this plane.
    setReferenceLines({});
    if (m_cursorMarker)
        setCursor3DMarker(std::nullopt);
    m_reconIndex = m_reconCounts[plane - 1] / 2;
    m_userWindow = false;
    m_userZoomed = false;
    syncReconstructionControls();
    renderReconstruction();
}

void ImageViewportWidget::renderReconstruction()
{
    if (!m_volumePresent || !m_volume)
        return;
    const render::Volume& volume = *m_volume;

    double centre = m_windowCenter;
    // A preset narrower than one unit would divide by zero or less in the grey mapping.
    double width = std::max(m_windowWidth, 1.0);
    if (!m_userWindow) {
        const render::WindowLevel whole = render::windowForRange(volume.minValue, volume.maxValue);
        centre = whole.center;
        width = whole.width;
        m_windowCenter = centre;
        m_windowWidth = width;
    }
    const int half = slabHalfWidth();
    const int mode = (m_slabMode >= 1 && m_slabMode <= 3) ? m_slabMode : 0;

    QImage image;
    QString planeName;
    switch (m_plane) {
    case 1:
        image = render::renderSagittalSlice(volume, m_reconIndex, centre, width, half, mode);
        planeName = QStringLiteral("Sagittal");
        break;
    case 2:
        image = render::renderCoronalSlice(volume, m_reconIndex, centre, width, half, mode);
        planeName = QStringLiteral("Coronal");
        break;
    case 3:
        image = render::renderAxialSlice(volume, m_reconIndex, centre, width, half, mode);
        planeName = QStringLiteral("Axial");
        break;
    default:
        return;
    }
    if (m_inverted)
        image = invertedImage(image);
    setImage(image);
    updateMeasurementVisibility();

    const int count = reconstructionSliceCount();
    setScrollBarRange(std::max(count - 1, 0));
    setScrollBarValue(m_reconIndex);
    if (!m_userZoomed)
        fitImageInView();

    m_topRightLabel->hide();
    m_bottomRightLabel->hide();
    m_bottomLeftLabel->hide();
    m_selectCheck->hide();
    // The side letters describe the file's own slice; a reconstructed plane has other axes.
    if (m_leftSideLabel)
        m_leftSideLabel->hide();
    if (m_rightSideLabel)
        m_rightSideLabel->hide();
    QString slabText;
    if (m_slabThickness > 0.0 && mode != 0) {
        const QString modeName = mode == 1 ? QStringLiteral("MIP")
                                 : mode == 2 ? QStringLiteral("MinIP")
                                             : QStringLiteral("Среднее");
        slabText = QStringLiteral(" (%1, %2 мм)").arg(modeName, QString::number(m_slabThickness, 'f', 0));
    }
    const QString warnings = render::markedWarnings(m_volumeWarnings);
    showTopLeftMessage(QStringLiteral("Реконструкция: %1%2\nСрез %3 / %4%5")
                           .arg(planeName, slabText)
                           .arg(m_reconIndex + 1)
                           .arg(count)
                           .arg(warnings.isEmpty() ? warnings : QLatin1Char('\n') + warnings));
}

void ImageViewportWidget::showOriginalSlices()
{
    if (m_plane == 0)
        return;
    m_plane = 0;
    m_userWindow = false;
    m_userZoomed = false;
    m_topRightLabel->show();
    m_bottomRightLabel->show();
    m_bottomLeftLabel->show();
    syncReconstructionControls();
    // The scroll bar walked the reconstruction; it walks the file's slices again.
    setScrollBarRange(m_slices.size() - 1);
    showSlice(m_currentIndex);
    fitImageInView();
}

void ImageViewportWidget::syncReconstructionControls()
{
    {
        const QSignalBlocker blocker(m_planeCombo);
        const int item = m_planeCombo->findData(m_plane);
        if (item >= 0)
            m_planeCombo->setCurrentIndex(item);
    }
    {
        const QSignalBlocker blocker(m_slabCombo);
        m_slabCombo->setCurrentIndex((m_slabMode >= 1 && m_slabMode <= 3) ? m_slabMode : 0);
    }
    {
        const QSignalBlocker blocker(m_thicknessBox);
        m_thicknessBox->setValue(m_slabThickness);
    }
    const bool slab = m_slabCombo->currentIndex() != 0;
    m_thicknessBox->setEnabled(slab);
    m_thicknessUp->setEnabled(slab);
    m_thicknessDown->setEnabled(slab);
}

void ImageViewportWidget::onPlaneComboChanged()
{
    const int plane = m_planeCombo->currentData().toInt();
    if (plane == m_plane)
        return;
    if (plane == 0) {
        showOriginalSlices();
        return;
    }
    if (!m_slices.isEmpty())
        enterReconstructionPlane(plane);
    else
        syncReconstructionControls();
}

void ImageViewportWidget::onSlabModeChanged(int index)
{
    const int mode = (index >= 1 && index <= 3) ? index : 0;
    if (mode != m_slabMode) {
        m_slabMode = mode;
        if (m_plane != 0)
            renderReconstruction();
    }
    const bool slab = index != 0;
    m_thicknessBox->setEnabled(slab);
    m_thicknessUp->setEnabled(slab);
    m_thicknessDown->setEnabled(slab);
    if (!slab) {
        if (m_slabThickness != 0.0) {
            m_slabThickness = 0.0;
            if (m_plane != 0)
                renderReconstruction();
        }
    } else if (m_thicknessBox->value() <= 0.0) {
        m_thicknessBox->setValue(10.0);
    } else {
        // "Срез" left the box showing its last value: a slab mode chosen again uses what the box shows.
        onSlabThicknessChanged(m_thicknessBox->value());
    }
}

void ImageViewportWidget::onSlabThicknessChanged(double value)
{
    const double thickness = std::max(value, 0.0);
    if (thickness == m_slabThickness)
        return;
    m_slabThickness = thickness;
    if (m_plane != 0)
        renderReconstruction();
}

// ---------------------------------------------------------------------------------------------------
// Slice selection

void ImageViewportWidget::selectAllSlices()
{
    for (const db::InstanceRecord& row : m_slices)
        m_selection.insert(row.filePath);
    if (!m_slices.isEmpty()) {
        const QSignalBlocker blocker(m_selectCheck);
        m_selectCheck->setChecked(true);
    }
}

QList<db::InstanceRecord> ImageViewportWidget::selectedSlices() const
{
    QList<db::InstanceRecord> out;
    if (m_selection.isEmpty())
        return out;
    for (const db::InstanceRecord& row : m_slices)
        if (m_selection.contains(row.filePath))
            out.append(row);
    return out;
}

void ImageViewportWidget::setCurrentSliceSelected(bool selected)
{
    const auto row = currentSlice();
    if (!row)
        return;
    if (selected)
        m_selection.insert(row->filePath);
    else
        m_selection.remove(row->filePath);
    const QSignalBlocker blocker(m_selectCheck);
    m_selectCheck->setChecked(selected);
}

void ImageViewportWidget::clearSliceSelection()
{
    m_selection = QSet<QString>();
    const QSignalBlocker blocker(m_selectCheck);
    m_selectCheck->setChecked(false);
}

// ---------------------------------------------------------------------------------------------------
// Measurements, markers and overlays

QList<ImageViewportWidget::MeasurementInfo> ImageViewportWidget::measurementsForSlice(int sliceIndex) const
{
    QList<MeasurementInfo> out;
    for (const Measurement& m : m_measurements) {
        if (m.sliceIndex != sliceIndex)
            continue;
        MeasurementInfo info;
        info.kind = m.kind;
        info.points = m.points;
        info.text = m.label ? m.label->text() : QString();
        info.colour = m.colour;
        info.name = m.name;
        out.append(info);
    }
    return out;
}

void ImageViewportWidget::removeMeasurement(int index)
{
    if (index < 0 || index >= m_measurements.size())
        return;
    Measurement m = m_measurements.takeAt(index);
    for (QGraphicsItem* item : m.items)
        delete item;
    delete m.label;
    for (QGraphicsItem* handle : m.handles)
        delete handle;
    auto adjust = [index](int& current) {
        if (current == index)
            current = -1;
        else if (current > index)
            --current;
    };
    adjust(selectedMeasurement);
    adjust(activeMeasurement);
}

void ImageViewportWidget::clearMeasurements(bool onlyCurrentSlice)
{
    for (int i = m_measurements.size() - 1; i >= 0; --i)
        if (!onlyCurrentSlice || m_measurements.at(i).sliceIndex == m_currentIndex)
            removeMeasurement(i);
}

void ImageViewportWidget::clearMeasurements()
{
    clearMeasurements(false);
}

void ImageViewportWidget::clearContourOverlay()
{
    for (QGraphicsPathItem* item : m_contourOverlay) {
        m_scene->removeItem(item);
        delete item;
    }
    m_contourOverlay.clear();
}

void ImageViewportWidget::setReferenceLines(QList<QLineF> linesInImagePixelCoords)
{
    for (QGraphicsLineItem* item : m_referenceLines) {
        m_scene->removeItem(item);
        delete item;
    }
    m_referenceLines.clear();
    QPen pen(QBrush(QColor(0, 220, 0)), 0, Qt::DashLine, Qt::SquareCap, Qt::BevelJoin);
    for (const QLineF& line : linesInImagePixelCoords) {
        auto* item = m_scene->addLine(line, pen);
        item->setZValue(400);
        m_referenceLines.append(item);
    }
}

void ImageViewportWidget::setCursor3DMarker(std::optional<QPointF> imagePixelPos)
{
    if (!m_cursorMarker) {
        QPen pen(QBrush(QColor(255, 60, 60)), 0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
        m_cursorMarker = m_scene->addEllipse(QRectF(), pen, Qt::NoBrush);
        m_cursorMarker->setZValue(500);
    }
    if (imagePixelPos) {
        m_cursorMarker->setRect(QRectF(imagePixelPos->x() - 6, imagePixelPos->y() - 6, 12, 12));
        m_cursorMarker->show();
    } else {
        m_cursorMarker->hide();
    }
}

std::array<double, 3> ImageViewportWidget::imageToPatient(const QPointF& imagePos) const
{
    const auto row = currentSlice();
    if (!row)
        return {0.0, 0.0, 0.0};
    const double sx = row->pixelSpacingX > 0.0 ? row->pixelSpacingX : 1.0;
    const double sy = row->pixelSpacingY > 0.0 ? row->pixelSpacingY : 1.0;
    std::array<double, 3> p{};
    for (int i = 0; i < 3; ++i)
        p[i] = row->imagePosition[i] + imagePos.x() * sx * row->orientationRow[i]
               + imagePos.y() * sy * row->orientationCol[i];
    return p;
}

// ---------------------------------------------------------------------------------------------------
// Fusion overlay and HU values

void ImageViewportWidget::redrawShownImage()
{
    if (m_slices.isEmpty())
        return;
    if (m_plane != 0)
        renderReconstruction();
    else
        showSlice(m_currentIndex);
}

void ImageViewportWidget::setFusionOpacity(double opacity)
{
    m_fusionOpacity = std::min(std::max(opacity, 0.0), 1.0);
    if (m_fusion)
        redrawShownImage();
}

void ImageViewportWidget::setFusionOverlay(std::shared_ptr<render::FusionVolume> volume, double centre,
                                           double width, const QString& name, const QString& warnings)
{
    m_fusion = std::move(volume);
    m_fusionCenter = centre;
    m_fusionWidth = width;
    m_fusionName = name;
    m_fusionWarnings = warnings;
    redrawShownImage();
}

bool ImageViewportWidget::hasFusionOverlay() const
{
    return m_fusion && !m_fusion->isEmpty();
}

void ImageViewportWidget::clearFusionOverlay()
{
    m_fusion.reset();
    m_fusionName.clear();
    m_fusionWarnings.clear();
    redrawShownImage();
}

void ImageViewportWidget::ensureHuFrameLoaded()
{
    if (m_huLoaded || m_slices.isEmpty())
        return;
    const db::InstanceRecord& row = m_slices.at(std::min(std::max(m_currentIndex, 0), int(m_slices.size()) - 1));
    QString error;
    render::loadHuFrame(m_huImage, row.filePath, row.frameIndex, &error, row.object());
    if (!m_huImage.valid && m_huImage.error.isEmpty())
        m_huImage.error = error;
    m_huLoaded = true;
    if (m_huImage.otherObject)
        emit rowFileReplaced(row.filePath);
}

// ---------------------------------------------------------------------------------------------------
// Events

bool ImageViewportWidget::eventFilter(QObject* watched, QEvent* event)
{
    const bool onViewport = watched == m_view->viewport();
    const bool onPlaceholder = watched == m_placeholder;
    if (!onViewport && !onPlaceholder)
        return QWidget::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (acceptsSeriesDrag(drag->mimeData()))
            drag->acceptProposedAction();
        else
            drag->ignore();
        return true;
    }
    case QEvent::Drop:
        handleSeriesDrop(static_cast<QDropEvent*>(event));
        return true;
    case QEvent::MouseButtonPress:
        if (onPlaceholder) {
            emit activated();
            return true;
        }
        return viewportMousePress(static_cast<QMouseEvent*>(event));
    case QEvent::MouseMove:
        return onViewport && viewportMouseMove(static_cast<QMouseEvent*>(event));
    case QEvent::MouseButtonRelease:
        return onViewport && viewportMouseRelease(static_cast<QMouseEvent*>(event));
    case QEvent::MouseButtonDblClick:
        return onViewport && viewportDoubleClick(static_cast<QMouseEvent*>(event));
    case QEvent::Wheel:
        if (onViewport) {
            handleWheel(static_cast<QWheelEvent*>(event));
            return true;
        }
        return false;
    case QEvent::Resize:
        // The image and the floating controls go by the view's size. The panel's own resize can come
        // while it is hidden, before its layout has given the view its size (a window built before it
        // is shown): they would then stay laid out for the view's first, tiny size.
        if (onViewport) {
            if (!m_userZoomed)
                fitImageInView();
            hideScrollBars();
            layoutOverlayWidgets();
        }
        return false;
    default:
        return false;
    }
}

void ImageViewportWidget::handleWheel(QWheelEvent* event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    // Touchpads send many small deltas: only whole notches act, and a turn back starts afresh.
    if ((m_wheelAccumulator > 0) != (delta > 0))
        m_wheelAccumulator = 0;
    m_wheelAccumulator += delta;
    const int notches = m_wheelAccumulator / kWheelNotch;
    if (notches == 0)
        return;
    m_wheelAccumulator -= notches * kWheelNotch;

    if (event->modifiers() & Qt::ControlModifier) {
        const double factor = std::pow(notches > 0 ? 1.15 : 1.0 / 1.15, std::abs(notches));
        m_view->scale(factor, factor);
        m_userZoomed = true;
        hideScrollBars();
        return;
    }
    // Turning the wheel away from the user goes back through the stack.
    const int steps = -notches;
    if (m_wheelStepsSeries) {
        for (int i = 0; i < std::abs(steps); ++i)
            emit seriesStepRequested(steps > 0 ? 1 : -1);
        return;
    }
    stepSlices(steps);
}

void ImageViewportWidget::mousePressEvent(QMouseEvent* event)
{
    emit activated();
    if (event->button() == Qt::RightButton)
        emit seriesMenuRequested(event->globalPosition().toPoint());
    QWidget::mousePressEvent(event);
}

void ImageViewportWidget::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if ((key == Qt::Key_Backspace || key == Qt::Key_Delete) && selectedMeasurement >= 0
        && selectedMeasurement < m_measurements.size()) {
        const int index = selectedMeasurement;
        removeMeasurement(index);
        if (index - 1 >= 0 && index - 1 < m_measurements.size())
            selectMeasurement(index - 1);
        event->accept();
        return;
    }
    if (m_slices.isEmpty()) {
        QWidget::keyPressEvent(event);
        return;
    }
    const bool recon = m_plane != 0;
    switch (key) {
    case Qt::Key_Home:
        recon ? setReconstructedIndex(0) : showSlice(0);
        break;
    case Qt::Key_End:
        recon ? setReconstructedIndex(reconstructionSliceCount() - 1) : showSlice(m_slices.size() - 1);
        break;
    case Qt::Key_Up:
    case Qt::Key_PageUp:
        stepSlices(-1);
        break;
    case Qt::Key_Down:
    case Qt::Key_PageDown:
        stepSlices(1);
        break;
    case Qt::Key_Left:
        emit seriesStepRequested(-1);
        break;
    case Qt::Key_Right:
        emit seriesStepRequested(1);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

bool ImageViewportWidget::acceptsSeriesDrag(const QMimeData* mime) const
{
    return mime && mime->hasFormat(QString::fromLatin1(kSeriesMimeType));
}

bool ImageViewportWidget::handleSeriesDrop(QDropEvent* event)
{
    const QMimeData* mime = event->mimeData();
    const QByteArray data = mime ? mime->data(QString::fromLatin1(kSeriesMimeType)) : QByteArray();
    if (data.isEmpty()) {
        event->ignore();
        return false;
    }
    emit activated();
    emit seriesDropped(QString::fromUtf8(data));
    event->acceptProposedAction();
    return true;
}

void ImageViewportWidget::dragEnterEvent(QDragEnterEvent* event)
{
    if (acceptsSeriesDrag(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ImageViewportWidget::dropEvent(QDropEvent* event)
{
    handleSeriesDrop(event);
}
