#include "analysis3d/CtaSubtractionBuildWorker.h"

CtaSubtractionBuildWorker::CtaSubtractionBuildWorker(const render::CtaSubtractionPair& pair)
    : nativeInstances(pair.nativeInstances)
    , contrastInstances(pair.contrastInstances)
    , nativeLabel(pair.nativeLabel)
    , contrastLabel(pair.contrastLabel)
    , orderApproximate(pair.orderIsApproximate ? 1 : 0)
    , pairError(pair.error)
{
}

void CtaSubtractionBuildWorker::run()
{
    volume = render::buildSubtractionVolume(nativeInstances, contrastInstances, &errorMessage);
    emit finished();
}
