#pragma once
// The viewer's volume builds on the global thread pool: a busy dialog without a cancel button blocks
// the viewer while the task runs, and the finish handler runs on the GUI thread once it has ended.

#include "render/FusionVolume.h"

#include "db/InstanceRecord.h"

#include <QFutureWatcher>
#include <QList>
#include <QObject>
#include <QProgressDialog>
#include <QString>
#include <QThreadPool>
#include <QWidget>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <functional>
#include <memory>
#include <new>

namespace viewerbuild {

// Builds the series' volume; any failure, thrown ones included, ends as an empty volume with the
// reason in *error (the build's own text, which may be empty). Never throws, so a failure cannot
// escape into the future and from there into the GUI thread.
inline std::shared_ptr<render::FusionVolume> buildVolume(const QList<db::InstanceRecord>& slices, QString* error)
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

// Runs task(error) on the global thread pool under a window-modal busy dialog of owner, then
// finished(result, error text) on the GUI thread. The task gets the shared error text to write; the
// handler reads it only after the task has ended. Closing the owner while the task runs drops the
// result: the watcher goes with its parent and the task keeps only its own copies.
template <typename Result>
void runUnderProgress(QWidget* owner, const QString& label, std::function<Result(QString*)> task,
                      std::function<void(Result, const QString&)> finished)
{
    auto* progress = new QProgressDialog(label, QString(), 0, 0, owner);
    progress->setWindowTitle(QStringLiteral("Kalvenor"));
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(0);
    progress->setCancelButton(nullptr);
    progress->show();

    const auto error = std::make_shared<QString>();
    auto* watcher = new QFutureWatcher<Result>(owner);
    QObject::connect(watcher, &QFutureWatcherBase::finished, owner,
                     [watcher, progress, error, finished = std::move(finished)] {
                         progress->close();
                         progress->deleteLater();
                         Result result = watcher->result();
                         watcher->deleteLater();
                         finished(std::move(result), *error);
                     });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
                                         [task = std::move(task), error] { return task(error.get()); }));
}

} // namespace viewerbuild
