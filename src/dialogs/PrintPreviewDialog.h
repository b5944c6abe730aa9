#pragma once

#include "db/InstanceRecord.h"
#include "viewer/SeriesOverlayInfo.h"

#include <QDialog>
#include <QImage>
#include <QList>
#include <QRectF>

class QAction;
class QLabel;
class QPrinter;
class QScrollArea;

struct PrintGrid
{
    int rows = 1;
    int columns = 1;
};

// The grid (at most 12 x 12) that gives `imageCount` images of the given aspect the largest size on
// sheets of the chosen orientation, allowing up to two sheets.
PrintGrid computeAutoPrintGrid(int imageCount, double imageAspect, bool landscape);

// Indices into a series of n slices picked for printing: mode 1 every N-th (N at least 2), mode 2 a
// total spread evenly over the series. Other modes (the ticked images are the panel's) give nothing.
QList<int> printFrameIndices(int n, int mode, int everyNth, int evenCount);

// Lays frames out as contact sheets with a patient header and a caption under each image, previews
// them with paging and zoom, and prints them through the system print dialog.
class PrintPreviewDialog : public QDialog
{
    Q_OBJECT

public:
    PrintPreviewDialog(const QList<db::InstanceRecord>& frames, const SeriesOverlayInfo& overlayInfo,
                       double windowCenter, double windowWidth, int rows, int columns, QWidget* parent,
                       const QRectF& crop, bool landscape);

    QImage composeSheet(int page) const;
    void showPage(int page);
    void printSheets();
    // Paints every sheet on a printer that is already set up; false when it cannot be opened.
    bool paintSheets(QPrinter* printer) const;
    void zoomIn();
    void zoomOut();

    int currentPage() const { return m_currentPage; }
    int pageCount() const { return m_pageCount; }
    double zoom() const { return m_zoom; }
    QRectF crop() const { return m_crop; }
    QSize sheetSize() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void setZoom(double zoom);

    QList<db::InstanceRecord> m_frames;
    SeriesOverlayInfo m_overlayInfo;
    double m_windowCenter = 0.0;
    double m_windowWidth = 0.0;
    int m_rows = 1;
    int m_columns = 1;
    QRectF m_crop;
    bool m_landscape = false;
    int m_currentPage = 0;
    int m_pageCount = 1;
    double m_zoom = 1.0;
    bool m_fittedToWidth = false;
    QScrollArea* m_scrollArea = nullptr;
    QLabel* m_sheetLabel = nullptr;
    QLabel* m_pageLabel = nullptr;
    QAction* m_prevAction = nullptr;
    QAction* m_nextAction = nullptr;
};
