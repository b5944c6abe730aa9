// The viewer's comparison with another study and the fusion overlay of another series of the study.

#include "viewer/ViewerWindow.h"

#include "viewer/ImageViewportWidget.h"

#include "db/Database.h"
#include "dialogs/StudyPickerDialog.h"
#include "render/FusionVolume.h"

#include <QAction>
#include <QCursor>
#include <QDate>
#include <QFutureWatcher>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QStatusBar>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <memory>

namespace {

const QString FusionTitle = QStringLiteral("Совмещение");

QString orNoDescription(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("(без описания)") : text;
}

QString compareDateText(const QString& stored)
{
    const QDate date = QDate::fromString(stored, QStringLiteral("yyyyMMdd"));
    return date.isValid() ? date.toString(QStringLiteral("dd.MM.yyyy")) : stored;
}

using FusionResult = std::shared_ptr<render::FusionVolume>;

// Runs on the global thread pool with its own copy of the rows. A failure of any kind ends as an
// empty volume and a text, never as an exception escaping into the future.
FusionResult buildFusionVolumeInBackground(const QList<db::InstanceRecord> slices,
                                           const std::shared_ptr<QString> error)
{
    auto volume = std::make_shared<render::FusionVolume>();
    try {
        QString message;
        *volume = render::buildFusionVolume(slices, &message);
        *error = message;
    } catch (const std::bad_alloc&) {
        *volume = render::FusionVolume();
        *error = QStringLiteral("недостаточно памяти для объёма серии");
    } catch (const std::exception& e) {
        *volume = render::FusionVolume();
        *error = QString::fromLocal8Bit(e.what());
    }
    return volume;
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
                                              .arg(compareDateText(study.studyDate),
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

void ViewerWindow::startFusionBuild(const QString& seriesUid, const QString& label)
{
    const QPointer<ImageViewportWidget> target = m_panels.value(m_activePanel);
    if (!target || !m_db)
        return;
    const QList<db::InstanceRecord> slices = m_db->instancesForSeries(seriesUid);
    if (slices.isEmpty()) {
        QMessageBox::warning(this, FusionTitle, QStringLiteral("В выбранной серии не найдено ни одного среза."));
        return;
    }

    auto* progress = new QProgressDialog(QStringLiteral("Построение слоя совмещения «%1»…").arg(label), QString(), 0,
                                         0, this);
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(0);
    progress->setCancelButton(nullptr);
    progress->show();

    const auto error = std::make_shared<QString>();
    auto* watcher = new QFutureWatcher<FusionResult>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, progress, error, target, label] {
        progress->close();
        progress->deleteLater();
        const FusionResult volume = watcher->result();
        watcher->deleteLater();
        if (!volume || volume->isEmpty()) {
            QMessageBox::warning(this, FusionTitle, QStringLiteral("Не удалось построить слой совмещения: %1").arg(*error));
            return;
        }
        if (!target) // the panel went away with its window while the volume was built
            return;
        const double centre = (volume->minValue + volume->maxValue) / 2.0;
        double width = volume->maxValue - volume->minValue;
        if (width <= 1.0)
            width = 1.0;
        target->setFusionOverlay(volume, centre, width, label);
        // Slices left out of a built volume leave gaps in the overlay; say so rather than hide it.
        if (!error->isEmpty())
            statusBar()->showMessage(*error);
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), buildFusionVolumeInBackground, slices, error));
}
