#include "Vrt3DVolumeBuildWorker.h"

Vrt3DVolumeBuildWorker::Vrt3DVolumeBuildWorker(QList<render::SliceSource> slices, int planeHint)
    : m_slices(std::move(slices))
    , m_planeHint(planeHint)
{
}

void Vrt3DVolumeBuildWorker::run()
{
    volume = render::buildVolume(m_slices, &errorMessage, m_planeHint);
    emit finished();
}
