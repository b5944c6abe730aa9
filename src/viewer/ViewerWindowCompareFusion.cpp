// The viewer's comparison with another study and the fusion overlay of another series of the study.

#include "viewer/ViewerWindow.h"

#include "viewer/ImageViewportWidget.h"

#include "db/Database.h"
#include "dialogs/StudyPickerDialog.h"
#include "dicom/DicomDateTime.h"

#include <QAction>
#include <QCursor>
#include <QDate>
#include <QMenu>
#include <QMessageBox>

#include <memory>

namespace {

const QString FusionTitle = QStringLiteral("Совмещение");

QString orNoDescription(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("(без описания)") : text;
}

} // namespace

QMenu* ViewerWindow::buildCompareMenu()
{
    const QString patientId = m_primaryStudyInfo.patientId;
    const QList<db::StudyRecord> studies = (m_db && !patientId.isEmpty())
                                               ? m_db->otherStudiesOfPatient(patientId, m_studyUid)
                                               : QList<db::StudyRecord>{};
    auto* menu = new QMenu(this);
    if (studies.isEmpty())
        return menu;
    for (const db::StudyRecord& study : studies) {
        const QString uid = study.studyInstanceUid;
        QAction* action = menu->addAction(QStringLiteral("%1 · %2")
                                              .arg(dicom::dicomDateText(study.studyDate, QStringLiteral("dd.MM.yyyy")),
                                                   orNoDescription(study.studyDescription)));
        action->setData(uid);
        connect(action, &QAction::triggered, this, [this, uid] { openComparisonStudy(uid); });
    }
    menu->addSeparator();
    QAction* manual = menu->addAction(QStringLiteral("Выбрать вручную…"));
    manual->setToolTip(QStringLiteral("Если найденное по ID пациента — не то, или нужно сравнить с чем-то другим"));
    connect(manual, &QAction::triggered, this, &ViewerWindow::chooseComparisonStudyManually);
    return menu;
}

void ViewerWindow::showCompareMenu()
{
    std::unique_ptr<QMenu> menu(buildCompareMenu());
    if (menu->isEmpty()) {
        chooseComparisonStudyManually();
        return;
    }
    menu->setToolTipsVisible(true);
    menu->exec(QCursor::pos());
}

void ViewerWindow::chooseComparisonStudyManually()
{
    StudyPickerDialog picker(m_db, m_studyUid, this);
    if (picker.exec() != QDialog::Accepted)
        return;
    const QString uid = picker.selectedStudyUid();
    if (!uid.isEmpty())
        openComparisonStudy(uid);
}

QMenu* ViewerWindow::buildFusionMenu()
{
    auto* menu = new QMenu(this);
    if (!m_db)
        return menu;
    const QString shownUid = m_panelSeriesUids.value(m_activePanel);
    for (const db::SeriesRecord& series : m_db->seriesForStudy(m_studyUid)) {
        if (series.seriesInstanceUid == shownUid)
            continue;
        const QString uid = series.seriesInstanceUid;
        const QString label = QStringLiteral("%1 · %2").arg(series.modality, orNoDescription(series.seriesDescription));
        QAction* action = menu->addAction(label);
        action->setData(uid);
        connect(action, &QAction::triggered, this, [this, uid, label] { startFusionBuild(uid, label); });
    }
    return menu;
}

void ViewerWindow::toggleFusionOverlay()
{
    ImageViewportWidget* panel = m_panels.value(m_activePanel);
    const QList<db::InstanceRecord> shown = m_panelSlices.value(m_activePanel);
    if (!panel || shown.isEmpty()) {
        QMessageBox::information(this, FusionTitle, QStringLiteral("Сначала откройте серию в активной панели."));
        return;
    }
    if (panel->hasFusionOverlay()) {
        panel->clearFusionOverlay();
        return;
    }
    // The overlay is placed by patient position; over a slice without one it would never show.
    if (!shown.first().hasSpatialInfo) {
        QMessageBox::information(this, FusionTitle,
                                 QStringLiteral("У серии в активной панели нет пространственной информации "
                                                "(ImagePositionPatient/ImageOrientationPatient) — совмещение "
                                                "невозможно."));
        return;
    }
    std::unique_ptr<QMenu> menu(buildFusionMenu());
    if (menu->isEmpty())
        return;
    menu->exec(QCursor::pos());
}
