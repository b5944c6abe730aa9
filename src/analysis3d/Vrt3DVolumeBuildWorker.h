#pragma once

#include "render/Volume.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

// Builds the 3D window's volume off the GUI thread. Lives on its own thread without a parent; the
// window reads volume and errorMessage only after `finished` has arrived.
class Vrt3DVolumeBuildWorker : public QObject
{
    Q_OBJECT

public:
    Vrt3DVolumeBuildWorker(QList<render::SliceSource> slices, int planeHint, std::shared_ptr<std::atomic_bool> stop);

    render::Volume volume;
    QString errorMessage;

signals:
    void finished();

public slots:
    void run();

private:
    QList<render::SliceSource> m_slices;
    int m_planeHint = 0;
    std::shared_ptr<std::atomic_bool> m_stop; // raised when the window goes
};
