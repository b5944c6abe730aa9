#include "viewer/SeriesListWidget.h"

#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextLayout>

#include <cmath>

namespace {

// Study header rows (rows without a series UID) span the panel and wrap their text at word
// boundaries, or anywhere when a word, such as a long patient name, is wider than the panel; every
// character stays in view. Series rows are drawn as usual.
class SeriesPanelDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        if (!isHeader(index))
            return QStyledItemDelegate::sizeHint(option, index);
        const int width = headerWidth(option);
        QTextLayout layout;
        return QSize(width, int(std::ceil(layOut(layout, option, index, width - 2 * Padding))) + 2 * Padding);
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        if (!isHeader(index)) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        painter->save();
        painter->fillRect(option.rect, index.data(Qt::BackgroundRole).value<QBrush>());
        painter->setPen(index.data(Qt::ForegroundRole).value<QBrush>().color());
        QTextLayout layout;
        layOut(layout, option, index, option.rect.width() - 2 * Padding);
        layout.draw(painter, QPointF(option.rect.left() + Padding, option.rect.top() + Padding));
        painter->restore();
    }

private:
    static constexpr int Padding = 3;

    static bool isHeader(const QModelIndex& index) { return index.data(Qt::UserRole).toString().isEmpty(); }

    // The whole row of the panel, less the spacing the list keeps around its items.
    static int headerWidth(const QStyleOptionViewItem& option)
    {
        const auto* list = qobject_cast<const QListView*>(option.widget);
        return list ? std::max(1, list->viewport()->width() - 2 * list->spacing()) : option.rect.width();
    }

    // Lays the row's text out in centred lines of the given width; returns its height.
    static qreal layOut(QTextLayout& layout, const QStyleOptionViewItem& option, const QModelIndex& index,
                        int width)
    {
        QString text = index.data(Qt::DisplayRole).toString();
        text.replace(QLatin1Char('\n'), QChar::LineSeparator);
        // A name's components (family^given^middle) may each start a line.
        text.replace(QLatin1Char('^'), QStringLiteral("^\u200B"));
        layout.setText(text);
        const QVariant font = index.data(Qt::FontRole);
        layout.setFont(font.isValid() ? font.value<QFont>() : option.font);
        QTextOption textOption(Qt::AlignHCenter);
        textOption.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(textOption);
        qreal y = 0;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(std::max(1, width));
            line.setPosition(QPointF(0, y));
            y += line.height();
        }
        layout.endLayout();
        return y;
    }
};

} // namespace

SeriesListWidget::SeriesListWidget(QWidget* parent)
    : QListWidget(parent)
{
    // The widget starts drags itself: the list's own drag would carry item data, not the UID.
    setDragDropMode(QAbstractItemView::NoDragDrop);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalScrollBar()->setSingleStep(24);
    setItemDelegate(new SeriesPanelDelegate(this));
}

QMimeData* SeriesListWidget::createSeriesMimeData(const QString& seriesUid)
{
    auto* mime = new QMimeData;
    mime->setData(QString::fromLatin1(SeriesUidMimeType), seriesUid.toUtf8());
    return mime;
}

void SeriesListWidget::mousePressEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (event->button() == Qt::LeftButton && itemAt(pos)) {
        m_dragStartPos = pos;
        m_dragArmed = true;
    } else {
        m_dragArmed = false;
    }
    QListWidget::mousePressEvent(event);
}

void SeriesListWidget::mouseMoveEvent(QMouseEvent* event)
{
    QListWidgetItem* item = nullptr;
    if (m_dragArmed && (event->buttons() & Qt::LeftButton)
        && (event->position().toPoint() - m_dragStartPos).manhattanLength() >= QApplication::startDragDistance()) {
        // One press starts at most one drag.
        m_dragArmed = false;
        item = itemAt(m_dragStartPos);
    }
    const QString uid = item ? item->data(Qt::UserRole).toString() : QString();
    if (uid.isEmpty()) {
        QListWidget::mouseMoveEvent(event);
        return;
    }

    auto* drag = new QDrag(this);
    drag->setMimeData(createSeriesMimeData(uid));
    const QIcon icon = item->icon();
    if (!icon.isNull())
        drag->setPixmap(icon.pixmap(QSize(64, 64), QIcon::Normal, QIcon::Off));
    drag->exec(Qt::CopyAction, Qt::CopyAction);
}

void SeriesListWidget::resizeEvent(QResizeEvent* event)
{
    QListWidget::resizeEvent(event);
    // Rows flow top to bottom, so the list lays them out again only for a new height; the header rows
    // span the width and must follow it too.
    if (event->size().width() != event->oldSize().width())
        scheduleDelayedItemsLayout();
}
