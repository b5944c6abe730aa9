#pragma once

#include "render/ProjectionMode.h"
#include "render/TransferFunction.h"
#include "render/Volume.h"

#include "dicom/WindowLevel.h"

#include <QImage>
#include <QQuaternion>

#include <memory>

namespace render {

// The six standard view directions of a 3D view.
enum VolumeViewPreset : int {
    ViewFront = 0,
    ViewBack = 1,
    ViewRight = 2,
    ViewLeft = 3,
    ViewTop = 4,
    ViewBottom = 5,
};

// The camera of a 3D view, exchanged by synchronised views.
struct VolumeCameraState
{
    QQuaternion rotation;
    double zoom = 1.0;
    double panX = 0.0;
    double panY = 0.0;
};

struct VolumeRenderParams
{
    QQuaternion rotation;
    WindowLevel window;
    qint32 projectionMode = 0; // ProjectionMode: 0 maximum, 1 minimum, 2 mean
    double zoom = 0.6;         // half view width as a fraction of the half-diagonal; below 0.1 acts as 0.1
    double panX = 0.0;         // mm along the camera's right axis
    double panY = 0.0;         // mm along the camera's up axis
    qint32 imageSize = 420;
    qint32 sampleCount = 220;  // below 16 acts as 16
    qint32 renderMode = 0;     // 1 VRT, anything else projection
    TransferFunctionPreset transferFunction;
    bool fullQuality = false;  // settled image: more samples, smoothed values and shading
    // A VRT preview drawn while the camera moves in place of a full-quality image of this many samples
    // per ray (see raySampleCount): its opacities are corrected for its longer steps and it is lit as
    // that image is, so that both are equally bright. 0 for any other image.
    qint32 fullImageSamples = 0;
};

// The samples per ray of an image: sampleCount (at least 16), raised with fullQuality as far as the
// volume's smallest spacing needs, up to 450.
int raySampleCount(const Volume& volume, int sampleCount, bool fullQuality);

// What successive renders of one volume share: the value range of each block of voxels, and which
// blocks the last transfer function leaves empty. Built on the first render that needs it and again
// when the volume or the transfer function differs. A volume is recognised by its voxel storage and
// dimensions only: whoever changes the voxels in place calls clear(). Used by one thread at a time.
class VolumeRenderCache
{
public:
    VolumeRenderCache();
    ~VolumeRenderCache();
    VolumeRenderCache(const VolumeRenderCache&) = delete;
    VolumeRenderCache& operator=(const VolumeRenderCache&) = delete;

    void clear();

    struct Data;
    Data& data();

private:
    std::unique_ptr<Data> m_data;
};

// Renders the volume with parallel rays into a square RGB888 image of side max(32, imageSize).
// The cache may be null; the image is the same either way.
QImage renderVolumeCpu(const Volume& volume, const VolumeRenderParams& params, VolumeRenderCache* cache);
QImage renderVolumeCpu(const Volume& volume, const VolumeRenderParams& params);

} // namespace render
