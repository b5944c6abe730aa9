// Sending one indexed study to a configured PACS server by C-STORE, as a task on the global thread
// pool under a progress dialog that the user may hide while the transfer goes on.

#include "app/MainWindow.h"
#include "app/PortableExport.h"

#include "db/Database.h"
#include "db/RowFileProof.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsNetworkClient.h"

#include <QApplication>
#include <QCursor>
#include <QFutureWatcher>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

namespace {

const QString SendTitle = QStringLiteral("Отправка на PACS");

QString serverMenuText(const pacs::PacsServer& server)
{
    const QString name = server.description.isEmpty() ? server.aeTitle : server.description;
    return QStringLiteral("%1 (%2:%3)").arg(name, server.host).arg(server.port);
}

} // namespace

void MainWindow::sendStudyToPacs(const QString& studyUid)
{
    // Told before a server is chosen; the send itself asks again.
    if (const QString refusal = stillReceivingRefusal(*m_db, studyUid); !refusal.isEmpty()) {
        QMessageBox::warning(this, SendTitle, refusal);
        return;
    }
    const pacs::PacsConfig config = pacs::loadPacsConfig();
    if (config.servers.isEmpty()) {
        QMessageBox::information(this, SendTitle,
                                 QStringLiteral("Нет настроенных PACS-серверов — добавьте сервер в настройках PACS."));
        return;
    }
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("pacsServerMenu"));
    for (const pacs::PacsServer& server : config.servers) {
        QAction* entry = menu->addAction(serverMenuText(server));
        connect(entry, &QAction::triggered, this,
                [this, studyUid, server, config] { startPacsSend(studyUid, server, config); });
    }
    menu->exec(QCursor::pos());
    menu->deleteLater();
}

void MainWindow::startPacsSend(const QString& studyUid, const pacs::PacsServer& server, const pacs::PacsConfig& config)
{
    // A multi-frame file has one index row per frame; it is one object for the server.
    QString refusal;
    const StudyFiles files = exportFileList(*m_db, studyUid, &refusal);
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, SendTitle, refusal);
        return;
    }
    if (files.files.isEmpty()) {
        QMessageBox::warning(this, SendTitle, QStringLiteral("В исследовании не найдено файлов."));
        return;
    }

    auto* progress =
        new QProgressDialog(QStringLiteral("Отправка на %1…").arg(server.host), QStringLiteral("Скрыть"), 0,
                            static_cast<int>(files.files.size()), this);
    progress->setObjectName(QStringLiteral("pacsSendProgress"));
    progress->setWindowTitle(SendTitle);
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(0);
    progress->setValue(0);

    auto* watcher = new QFutureWatcher<bool>(this);
    const QString host = server.host;
    // Files found holding another object when they were to go: not sent, and the study named for them.
    // Files that changed as they were read (the same disc still being copied over them) are told apart:
    // no other patient's image was in them.
    const auto otherObjects = std::make_shared<int>(0);
    const auto changedFiles = std::make_shared<int>(0);
    connect(watcher, &QFutureWatcher<bool>::finished, this,
            [this, watcher, progress, host, files, otherObjects, changedFiles] {
                QStringList notes;
                if (*otherObjects > 0)
                    notes << db::replacedFilesText(files.study, files.studyUid, *otherObjects) +
                                 QStringLiteral(" Эти файлы не отправлены.");
                if (*changedFiles > 0)
                    notes << QStringLiteral("Файлов, изменившихся во время отправки (их ещё копируют или "
                                            "записывают): %1. Эти файлы не отправлены, отправьте исследование "
                                            "ещё раз позже.")
                                 .arg(*changedFiles);
                finishPacsSend(watcher, progress, host, notes.join(QStringLiteral("\n\n")));
            });

    // The worker only posts; the dialog is touched on the GUI thread, and not at all once the
    // user has hidden it or it is gone.
    const QPointer<QProgressDialog> guard(progress);
    auto report = [guard](int done, int total) {
        QMetaObject::invokeMethod(
            qApp,
            [guard, done, total] {
                if (!guard || guard->wasCanceled())
                    return;
                guard->setMaximum(total);
                guard->setValue(done);
            },
            Qt::QueuedConnection);
    };
    watcher->setFuture(
        QtConcurrent::run([server, config, rows = files.files, report, otherObjects, changedFiles] {
            return pacs::sendFiles(server, config, rows, nullptr, report, otherObjects.get(), changedFiles.get());
        }));
}

void MainWindow::finishPacsSend(QFutureWatcher<bool>* watcher, QProgressDialog* progress, const QString& host,
                                const QString& leftOutNote)
{
    progress->close();
    progress->deleteLater();
    const bool ok = watcher->result();
    if (ok)
        QMessageBox::information(this, SendTitle, QStringLiteral("Исследование успешно отправлено на %1.").arg(host));
    else if (!leftOutNote.isEmpty())
        QMessageBox::warning(
            this, SendTitle,
            QStringLiteral("Исследование отправлено на %1 не полностью.\n\n%2").arg(host, leftOutNote));
    else
        QMessageBox::warning(this, SendTitle,
                             QStringLiteral("Не удалось полностью отправить исследование на %1 — проверьте настройки "
                                            "сервера и соединение.")
                                 .arg(host));
    watcher->deleteLater();
}
