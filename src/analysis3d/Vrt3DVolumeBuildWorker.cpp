#include "analysis3d/Vrt3DVolumeBuildWorker.h"

Vrt3DVolumeBuildWorker::Vrt3DVolumeBuildWorker(QList<render::SliceSource> slices, int planeHint,
                                               std::shared_ptr<std::atomic_bool> stop)
    : m_slices(std::move(slices))
    , m_planeHint(planeHint)
    , m_stop(std::move(stop))
{
}

void Vrt3DVolumeBuildWorker::run()
{
    volume = render::buildVolume(m_slices, &errorMessage, m_planeHint, m_stop.get());
    emit finished();
}
