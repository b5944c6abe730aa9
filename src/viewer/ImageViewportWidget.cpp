#include "ImageViewportWidget.h"

#include <QGraphicsView>
#include <QScrollBar>

ImageViewportWidget::ImageViewportWidget(QWidget* parent) : QWidget(parent) {}
ImageViewportWidget::~ImageViewportWidget() = default;
bool ImageViewportWidget::eventFilter(QObject* watched, QEvent* event) { return QWidget::eventFilter(watched, event); }
void ImageViewportWidget::showSeries(const QList<db::InstanceRecord>&, const SeriesOverlayInfo&) {}
void ImageViewportWidget::mergeSlices(const QList<db::InstanceRecord>&) {}
void ImageViewportWidget::clearSeries() {}
std::optional<db::InstanceRecord> ImageViewportWidget::currentSlice() const { return std::nullopt; }
double ImageViewportWidget::currentPixelSpacing() const { return -1.0; }
int ImageViewportWidget::imageWidth() const { return 0; }
int ImageViewportWidget::imageHeight() const { return 0; }
void ImageViewportWidget::showSlice(int) {}
void ImageViewportWidget::fitImageInView() {}
void ImageViewportWidget::resetViewTransform() {}
void ImageViewportWidget::toggleFlipHorizontal() {}
void ImageViewportWidget::toggleFlipVertical() {}
void ImageViewportWidget::fitToView() {}
void ImageViewportWidget::hideScrollBars() {}
void ImageViewportWidget::rotateBy(int) {}
QRectF ImageViewportWidget::visibleImageRect() const { return QRectF(0, 0, 1, 1); }
void ImageViewportWidget::setActiveHighlight(bool) {}
void ImageViewportWidget::setInverted(bool) {}
void ImageViewportWidget::enterReconstructionPlane(int) {}
void ImageViewportWidget::renderReconstruction() {}
void ImageViewportWidget::showOriginalSlices() {}
void ImageViewportWidget::syncReconstructionControls() {}
int ImageViewportWidget::reconstructionSliceCount() const { return 0; }
void ImageViewportWidget::updateOverlayTexts() {}
void ImageViewportWidget::updateOrientationLabels() {}
void ImageViewportWidget::layoutOverlayWidgets() {}
void ImageViewportWidget::selectAllSlices() {}
QList<db::InstanceRecord> ImageViewportWidget::selectedSlices() const { return {}; }
void ImageViewportWidget::setCurrentSliceSelected(bool) {}
void ImageViewportWidget::clearSliceSelection() {}
QList<ImageViewportWidget::MeasurementInfo> ImageViewportWidget::measurementsForSlice(int) const { return {}; }
void ImageViewportWidget::removeMeasurement(int) {}
void ImageViewportWidget::clearContourOverlay() {}
void ImageViewportWidget::setFusionOpacity(double) {}
void ImageViewportWidget::setFusionOverlay(std::shared_ptr<render::FusionVolume>, double, double, const QString&) {}
void ImageViewportWidget::clearFusionOverlay() {}
void ImageViewportWidget::ensureHuFrameLoaded() {}
std::array<double, 3> ImageViewportWidget::imageToPatient(const QPointF&) const { return {0, 0, 0}; }
int ImageViewportWidget::slabHalfWidth() const { return 0; }
void ImageViewportWidget::setWindowPreset(render::WindowLevel) {}
void ImageViewportWidget::setMeasurementMode(MeasurementMode) {}
void ImageViewportWidget::clearMeasurements(bool) {}
void ImageViewportWidget::clearMeasurements() {}
void ImageViewportWidget::setSliceByFraction(double) {}
void ImageViewportWidget::setReferenceLines(QList<QLineF>) {}
void ImageViewportWidget::setCursor3DMarker(std::optional<QPointF>) {}
void ImageViewportWidget::setTagsDisplayMode(TagsDisplayMode) {}
void ImageViewportWidget::onPlaneComboChanged() {}
void ImageViewportWidget::onSlabModeChanged(int) {}
void ImageViewportWidget::onSlabThicknessChanged(double) {}
void ImageViewportWidget::onScrollBarValueChanged(int) {}
void ImageViewportWidget::mousePressEvent(QMouseEvent* e) { QWidget::mousePressEvent(e); }
void ImageViewportWidget::keyPressEvent(QKeyEvent* e) { QWidget::keyPressEvent(e); }
void ImageViewportWidget::resizeEvent(QResizeEvent* e) { QWidget::resizeEvent(e); }
void ImageViewportWidget::dragEnterEvent(QDragEnterEvent* e) { QWidget::dragEnterEvent(e); }
void ImageViewportWidget::dropEvent(QDropEvent* e) { QWidget::dropEvent(e); }
QToolButton* ImageViewportWidget::makeThicknessStepButton(const QString&, const QString&) { return nullptr; }
void ImageViewportWidget::setScrollBarRange(int) {}
void ImageViewportWidget::setScrollBarValue(int) {}
void ImageViewportWidget::showImageArea() {}
void ImageViewportWidget::setImage(const QImage&) {}
void ImageViewportWidget::showTopLeftMessage(const QString&) {}
void ImageViewportWidget::stepSlices(int) {}
void ImageViewportWidget::setReconstructedIndex(int) {}
bool ImageViewportWidget::acceptsSeriesDrag(const QMimeData*) const { return false; }
bool ImageViewportWidget::handleSeriesDrop(QDropEvent*) { return false; }
void ImageViewportWidget::saveViewState() {}
void ImageViewportWidget::releaseVolume() {}
