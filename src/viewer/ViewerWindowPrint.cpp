// Printing the active panel's series: the page layout is asked first, then the chosen frames are laid
// out as contact sheets in a modeless preview that prints them.

#include "viewer/ViewerWindow.h"

#include "viewer/ImageViewportWidget.h"

#include "dialogs/PageLayoutDialog.h"
#include "dialogs/PrintPreviewDialog.h"

#include <QMessageBox>

void ViewerWindow::printActivePanel()
{
    const QString title = QStringLiteral("Печать");
    ImageViewportWidget* panel = m_panels.value(m_activePanel);
    const QList<db::InstanceRecord> slices = m_panelSlices.value(m_activePanel);
    const int n = int(slices.size());
    if (n == 0 || !panel) {
        QMessageBox::information(this, title, QStringLiteral("В активной панели нет загруженной серии."),
                                 QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    PageLayoutDialog layout(n, this);
    if (layout.exec() != QDialog::Accepted)
        return;

    QList<db::InstanceRecord> frames;
    const int mode = layout.frameSelectionMode();
    if (mode == 0) {
        frames = panel->selectedSlices();
        if (frames.isEmpty()) {
            QMessageBox::information(
                this, title,
                QStringLiteral("Сначала отметьте снимки для печати (чекбокс в углу панели или кнопка \"Выбрать все\"), "
                               "либо выберите другой вариант отбора кадров в этом же диалоге (\"Какие снимки "
                               "печатать\")."),
                QMessageBox::Ok, QMessageBox::NoButton);
            return;
        }
    } else {
        for (int index : printFrameIndices(n, mode, layout.everyNth(), layout.evenFrameCount()))
            frames.append(slices.at(index));
    }
    if (frames.isEmpty()) {
        QMessageBox::information(this, title, QStringLiteral("Не удалось отобрать снимки для печати."),
                                 QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    const bool landscape = layout.isLandscape();
    int rows = layout.rows();
    int columns = layout.columns();
    if (layout.autoFillSheet()) {
        const PrintGrid grid = computeAutoPrintGrid(int(frames.size()), 1.0, landscape);
        rows = grid.rows;
        columns = grid.columns;
    }

    // The study's texts for the header; the series line comes from the panel, so the sheet names the
    // series that was printed.
    SeriesOverlayInfo info = m_primaryStudyInfo;
    const SeriesOverlayInfo& shown = panel->overlayInfo();
    info.seriesDescription = shown.seriesDescription;
    info.seriesNumber = shown.seriesNumber;
    info.modality = shown.modality;
    info.laterality = shown.laterality;
    info.bodyPartExamined = shown.bodyPartExamined;
    info.seriesInstanceUid = shown.seriesInstanceUid;

    auto* preview = new PrintPreviewDialog(frames, info, panel->windowCenter(), panel->windowWidth(), rows, columns,
                                           this, panel->visibleImageRect(), landscape);
    preview->setAttribute(Qt::WA_DeleteOnClose);
    preview->show();
}
