#include "viewer/SeriesListWidget.h"

#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>

SeriesListWidget::SeriesListWidget(QWidget* parent)
    : QListWidget(parent)
{
    // The widget starts drags itself: the list's own drag would carry item data, not the UID.
    setDragDropMode(QAbstractItemView::NoDragDrop);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalScrollBar()->setSingleStep(24);
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
