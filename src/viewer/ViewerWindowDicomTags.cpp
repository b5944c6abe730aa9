// The tag viewer and editor for the active panel's current image; edits may go into every file of
// the study, after which the panel and the study list show the files as they now are.

#include "viewer/ViewerWindow.h"

#include "viewer/ImageViewportWidget.h"

#include "app/MainWindow.h"
#include "db/Database.h"
#include "dialogs/DicomTagEditorDialog.h"

#include <QMessageBox>

void ViewerWindow::showDicomTags()
{
    const std::optional<db::InstanceRecord> current = m_panels[m_activePanel]->currentSlice();
    if (!current) {
        QMessageBox::information(this, QStringLiteral("DICOM-теги"),
                                 QStringLiteral("Сначала откройте снимок в активной панели."));
        return;
    }
    // The study of the image on screen: with a compared study beside the primary one, a study-wide
    // edit must go into the files of the study that the image belongs to, not the primary one's.
    QString imageStudyUid = m_studyUid;
    const QString panelSeries = m_panelSeriesUids.value(m_activePanel);
    for (auto it = m_studyInfoByUid.cbegin(); it != m_studyInfoByUid.cend() && !panelSeries.isEmpty(); ++it) {
        if (it.key() == m_studyUid)
            continue;
        for (const db::SeriesRecord& series : m_db->seriesForStudy(it.key()))
            if (series.seriesInstanceUid == panelSeries)
                imageStudyUid = it.key();
    }
    // One entry per instance row, so a multi-frame file is listed once per frame.
    QStringList studyFiles;
    for (const db::SeriesRecord& series : m_db->seriesForStudy(imageStudyUid))
        for (const db::InstanceRecord& instance : m_db->instancesForSeries(series.seriesInstanceUid))
            studyFiles << instance.filePath;

    auto* dialog = new DicomTagEditorDialog(current->filePath, this, studyFiles, m_db, current->object());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &DicomTagEditorDialog::tagsChanged, this, [this] {
        if (m_activePanel >= 0 && m_activePanel < PanelCount) {
            const QString seriesUid = m_panelSeriesUids.value(m_activePanel);
            if (!seriesUid.isEmpty())
                showSeriesInActivePanel(seriesUid);
        }
        if (MainWindow::s_instance)
            MainWindow::s_instance->refreshStudyTable();
    });
    dialog->show();
}
