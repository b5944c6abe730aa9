#include "dialogs/PrintPreviewDialog.h"

#include "dialogs/WindowPlacement.h"
#include "dicom/FrameDecoder.h"

#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QScrollArea>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr int kPortraitW = 1240;
constexpr int kPortraitH = 1754;

QSize sheetSizeFor(bool landscape)
{
    return landscape ? QSize(kPortraitH, kPortraitW) : QSize(kPortraitW, kPortraitH);
}

int roundToInt(double v)
{
    const double r = std::round(v); // halves away from zero
    if (!(r == r))
        return 0;
    return int(std::clamp(r, double(INT_MIN), double(INT_MAX)));
}

// The DICOM Instance Number of a frame: the index keeps the frame index in the last five digits.
qint64 displayedInstanceNumber(const db::InstanceRecord& record)
{
    return record.instanceNumber / 100000;
}

} // namespace

PrintGrid computeAutoPrintGrid(int imageCount, double imageAspect, bool landscape)
{
    const int n = std::max(1, imageCount);
    const QSize sheet = sheetSizeFor(landscape);
    const double W = sheet.width();
    const double H = sheet.height();
    if (!(imageAspect > 0.0) || !std::isfinite(imageAspect))
        imageAspect = 1.0;
    double best = -1.0;
    PrintGrid result{1, std::min(n, 12)};
    for (int c = 1; c <= 12; ++c) {
        for (int r = 1; r <= 12; ++r) {
            if (r * c * 2 < n)
                continue;
            const double score = std::max(1.0, std::min((H - 38) / r - 16, ((W - 20) / c - 6) / imageAspect));
            if (score > best) {
                best = score;
                result = {r, c};
            }
        }
    }
    return result;
}

QList<int> printFrameIndices(int n, int mode, int everyNth, int evenCount)
{
    QList<int> picked;
    if (n <= 0)
        return picked;
    if (mode == 1) {
        const int step = std::max(2, everyNth);
        for (qint64 i = 0; i < n; i += step)
            picked.append(int(i));
    } else if (mode == 2) {
        const int k = std::clamp(evenCount, 1, n);
        if (k < 2) {
            picked.append(n / 2);
        } else {
            for (int i = 0; i < k; ++i) {
                const int index = int(std::clamp<long long>(std::llround(double(n - 1) * i / (k - 1)), 0, n - 1));
                if (!picked.contains(index))
                    picked.append(index);
            }
        }
    }
    return picked;
}

PrintPreviewDialog::PrintPreviewDialog(const QList<db::InstanceRecord>& frames, const SeriesOverlayInfo& overlayInfo,
                                       double windowCenter, double windowWidth, int rows, int columns,
                                       QWidget* parent, const QRectF& crop, bool landscape)
    : QDialog(parent)
    , m_frames(frames)
    , m_overlayInfo(overlayInfo)
    , m_windowCenter(windowCenter)
    , m_windowWidth(windowWidth)
    , m_rows(std::max(1, rows))
    , m_columns(std::max(1, columns))
    , m_crop(crop)
    , m_landscape(landscape)
{
    // A crop outside the image (or not finite) would cut nothing sensible: print the whole image then.
    const QRectF unit(0, 0, 1, 1);
    if (!m_crop.isValid() || !(m_crop.width() > 0) || !(m_crop.height() > 0) || !std::isfinite(m_crop.x())
        || !std::isfinite(m_crop.y()) || !std::isfinite(m_crop.width()) || !std::isfinite(m_crop.height())
        || !m_crop.intersects(unit))
        m_crop = unit;

    const qint64 cells = qint64(m_rows) * m_columns;
    m_pageCount = int(std::max<qint64>(1, (m_frames.size() + cells - 1) / cells));

    setWindowTitle(QStringLiteral("Предпросмотр печати"));
    resizeWithinScreen(this, QSize(1000, 800));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* toolbar = new QToolBar(this);
    QAction* print = toolbar->addAction(QStringLiteral("Печать…"));
    print->setObjectName(QStringLiteral("printSheets"));
    connect(print, &QAction::triggered, this, &PrintPreviewDialog::printSheets);
    toolbar->addSeparator();
    m_prevAction = toolbar->addAction(QStringLiteral("◀ Пред. лист"));
    m_prevAction->setObjectName(QStringLiteral("previousSheet"));
    connect(m_prevAction, &QAction::triggered, this, [this] { showPage(m_currentPage - 1); });
    m_pageLabel = new QLabel(toolbar);
    m_pageLabel->setObjectName(QStringLiteral("pageLabel"));
    m_pageLabel->setContentsMargins(8, 0, 8, 0);
    toolbar->addWidget(m_pageLabel);
    m_nextAction = toolbar->addAction(QStringLiteral("След. лист ▶"));
    m_nextAction->setObjectName(QStringLiteral("nextSheet"));
    connect(m_nextAction, &QAction::triggered, this, [this] { showPage(m_currentPage + 1); });
    toolbar->addSeparator();
    QAction* in = toolbar->addAction(QStringLiteral("Увеличить"));
    in->setObjectName(QStringLiteral("zoomIn"));
    connect(in, &QAction::triggered, this, &PrintPreviewDialog::zoomIn);
    QAction* out = toolbar->addAction(QStringLiteral("Уменьшить"));
    out->setObjectName(QStringLiteral("zoomOut"));
    connect(out, &QAction::triggered, this, &PrintPreviewDialog::zoomOut);
    toolbar->addSeparator();
    QAction* close = toolbar->addAction(QStringLiteral("Закрыть"));
    close->setObjectName(QStringLiteral("closePreview"));
    connect(close, &QAction::triggered, this, &QDialog::accept);
    layout->addWidget(toolbar);

    m_scrollArea = new QScrollArea(this);
    m_scrollArea->setAlignment(Qt::AlignCenter);
    m_scrollArea->setStyleSheet(QStringLiteral("QScrollArea { background: #808080; border: none; }"));
    m_sheetLabel = new QLabel;
    m_sheetLabel->setObjectName(QStringLiteral("sheetLabel"));
    m_sheetLabel->setStyleSheet(QStringLiteral("background: white;"));
    m_scrollArea->setWidget(m_sheetLabel);
    layout->addWidget(m_scrollArea, 1);

    showPage(0);
}

QSize PrintPreviewDialog::sheetSize() const
{
    return sheetSizeFor(m_landscape);
}

QImage PrintPreviewDialog::composeSheet(int page) const
{
    const QSize size = sheetSize();
    const double W = size.width();
    const double H = size.height();
    QImage sheet(size, QImage::Format_RGB32);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::black);
    QFont font = painter.font();
    font.setPointSize(9);
    font.setWeight(QFont::Bold);
    painter.setFont(font);

    const QString name = m_overlayInfo.patientName.isEmpty() ? QStringLiteral("(без имени)") : m_overlayInfo.patientName;
    const QString study = m_overlayInfo.studyDescription.isEmpty() ? QStringLiteral("(без описания)")
                                                                   : m_overlayInfo.studyDescription;
    painter.drawText(QRectF(10, 6, W - 20, 20), Qt::AlignLeft,
                     QStringLiteral("%1 (ID: %2)  ·  %3  ·  %4")
                         .arg(name, m_overlayInfo.patientId, study, m_overlayInfo.seriesDescription));

    const qint64 cells = qint64(m_rows) * m_columns;
    const qint64 first = qint64(std::max(0, page)) * cells;
    const render::WindowLevel window{m_windowCenter, m_windowWidth};
    auto decode = [&](qint64 idx) {
        const db::InstanceRecord& r = m_frames.at(int(idx));
        return dicom::decodeFrame(r.filePath, r.frameIndex, window, nullptr, r.object());
    };

    double aspect = 1.0;
    for (qint64 i = 0; i < cells && first + i < m_frames.size(); ++i) {
        const auto decoded = decode(first + i);
        if (decoded && decoded->image.width() > 0 && decoded->image.height() > 0) {
            aspect = (decoded->image.width() * m_crop.width()) / (decoded->image.height() * m_crop.height());
            break;
        }
    }

    const double s = std::max(1.0, std::min((H - 38) / m_rows - 16, ((W - 20) / m_columns - 6) / aspect));
    const double boxW = s * aspect + 6;
    const double boxH = s + 16;
    const double pitchX = boxW + std::max(0.0, (W - 20 - m_columns * boxW) / m_columns);
    const double pitchY = boxH + std::max(0.0, (H - 38 - m_rows * boxH) / m_rows);
    // QPointF and QSizeF compare fuzzily.
    const bool wholeImage = m_crop.topLeft() == QPointF(0, 0) && m_crop.size() == QSizeF(1, 1);

    for (qint64 i = 0; i < cells; ++i) {
        const qint64 idx = first + i;
        if (idx >= m_frames.size())
            break;
        const int col = int(i % m_columns);
        const int row = int(i / m_columns);
        const QRectF cell(10 + col * pitchX, 34 + row * pitchY, pitchX, s);
        const auto decoded = decode(idx);
        if (!decoded || decoded->image.isNull())
            continue; // a frame that cannot be read leaves its cell blank
        QImage image = decoded->image.convertToFormat(QImage::Format_RGB32);
        if (!wholeImage) {
            const int w = image.width();
            const int h = image.height();
            const QRect part(int(std::lround(m_crop.left() * w)), int(std::lround(m_crop.top() * h)),
                             std::max(1, int(std::lround(m_crop.width() * w))),
                             std::max(1, int(std::lround(m_crop.height() * h))));
            const QRect inside = part.intersected(image.rect());
            if (!inside.isEmpty())
                image = image.copy(inside);
        }
        const QRectF box = cell.adjusted(3, 3, -3, -3);
        const QImage scaled = image.scaled(QSize(int(box.width()), int(box.height())), Qt::KeepAspectRatio,
                                           Qt::SmoothTransformation);
        const QPointF at(box.left() + (box.width() - scaled.width()) * 0.5,
                         box.top() + (box.height() - scaled.height()) * 0.5);
        painter.drawImage(at, scaled);
        painter.setPen(QPen(Qt::black, 1.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(at, QSizeF(scaled.width(), scaled.height())));

        QFont captionFont = painter.font();
        captionFont.setPointSize(7);
        painter.setFont(captionFont);
        painter.drawText(QRectF(cell.left(), cell.top() + s + 2, pitchX, 16), Qt::AlignHCenter,
                         QStringLiteral("Срез %1").arg(displayedInstanceNumber(m_frames.at(int(idx)))));
    }
    painter.end();
    return sheet;
}

void PrintPreviewDialog::showPage(int page)
{
    m_currentPage = std::clamp(page, 0, m_pageCount - 1);
    const QImage sheet = composeSheet(m_currentPage);
    const QSize target(roundToInt(sheet.width() * m_zoom), roundToInt(sheet.height() * m_zoom));
    m_sheetLabel->setPixmap(QPixmap::fromImage(sheet.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    m_sheetLabel->resize(target);
    m_pageLabel->setText(QStringLiteral("Лист %1 из %2").arg(m_currentPage + 1).arg(m_pageCount));
    m_prevAction->setEnabled(m_currentPage > 0);
    m_nextAction->setEnabled(m_currentPage < m_pageCount - 1);
}

void PrintPreviewDialog::setZoom(double zoom)
{
    m_zoom = std::clamp(zoom, 0.25, 4.0);
    showPage(m_currentPage);
}

void PrintPreviewDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The preview opens with the sheet as wide as the view (beside its vertical scroll bar), so every
    // column of the sheet is in sight; the zoom buttons take it from there.
    if (m_fittedToWidth)
        return;
    m_fittedToWidth = true;
    const int scrollBar =
        m_scrollArea->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_scrollArea);
    const int room = m_scrollArea->width() - 2 * m_scrollArea->frameWidth() - scrollBar;
    setZoom(double(room) / sheetSize().width());
}

void PrintPreviewDialog::zoomIn()
{
    setZoom(m_zoom * 1.2);
}

void PrintPreviewDialog::zoomOut()
{
    setZoom(m_zoom * 0.8333333333333334);
}

bool PrintPreviewDialog::paintSheets(QPrinter* printer) const
{
    QPainter painter;
    if (!printer || !painter.begin(printer))
        return false;
    for (int p = 0; p < m_pageCount; ++p) {
        if (p > 0)
            printer->newPage();
        const QImage sheet = composeSheet(p);
        const QRect vp = painter.viewport();
        // The device scales the sheet into its rectangle: a copy at the printer's resolution would take
        // hundreds of megabytes per page at 1200 dpi.
        const QSize fitted = sheet.size().scaled(vp.size(), Qt::KeepAspectRatio);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(QPoint(vp.x() + (vp.width() - fitted.width()) / 2,
                                       vp.y() + (vp.height() - fitted.height()) / 2),
                                fitted),
                          sheet);
    }
    painter.end();
    return true;
}

void PrintPreviewDialog::printSheets()
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageOrientation(m_landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("Печать снимков"));
    if (dialog.exec() != QDialog::Accepted)
        return;
    if (!paintSheets(&printer))
        QMessageBox::critical(this, QStringLiteral("Печать"),
                              QStringLiteral("Не удалось начать печать — принтер недоступен."), QMessageBox::Ok);
}
