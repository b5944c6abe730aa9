#pragma once

#include <QListWidget>
#include <QPoint>

class QMimeData;

// The MIME format of a series dragged from the series panel onto a viewing panel; the data is the
// Series Instance UID in UTF-8, nothing else.
inline constexpr char SeriesUidMimeType[] = "application/x-dicom-series-uid";

// The viewer's series panel. Rows are filled by the viewer; a row is a series row when its
// Qt::UserRole string is not empty. A series row can be dragged onto a viewing panel.
class SeriesListWidget : public QListWidget
{
    Q_OBJECT

public:
    explicit SeriesListWidget(QWidget* parent = nullptr);

    // The payload of a drag of the given series.
    static QMimeData* createSeriesMimeData(const QString& seriesUid);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QPoint m_dragStartPos;
    bool m_dragArmed = false;
};
