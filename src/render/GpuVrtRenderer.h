#pragma once

#include "GpuCropSlot.h"
#include "GpuShaderProgram.h"

#include <QString>
#include <QVector3D>

namespace render {

class GpuDevice;

// A camera inside the volume for virtual endoscopy: rays fan out from the position over the field of view.
struct PerspectiveCamera
{
    bool enabled = false;
    QVector3D positionMm; // relative to the volume centre
    float fovDeg = 60.0f; // full field of view
};

// Front-to-back volume rendering through the transfer-function texture, optionally shaded, with up to
// six crop masks and an optional perspective camera.
class GpuVrtRenderer
{
public:
    bool initialize(GpuDevice* device, QString* error);
    void release();
    bool isInitialized() const { return m_program.isBuilt(); }

    // huMin and huMax must be the range the transfer-function texture was built for.
    void draw(GpuDevice* device, unsigned int volumeTexture, unsigned int transferFunctionTexture,
              const QVector3D& cameraDir, const QVector3D& cameraRight, const QVector3D& cameraUp,
              const QVector3D& volumeExtentMm, const QVector3D& voxelSizeMm, float halfDiagonalMm, float zoom,
              float panU, float panV, float huMin, float huMax, bool shading, int steps, const CropSlots& crops,
              int cropCount, const PerspectiveCamera& perspective);

    unsigned int program() const { return m_program.program(); }
    unsigned int parameterBuffer() const { return m_parameters; }

private:
    GpuShaderProgram m_program;
    unsigned int m_parameters = 0;
    unsigned int m_vertexArray = 0;
    unsigned int m_volumeSampler = 0;
    unsigned int m_tableSampler = 0;
    unsigned int m_cropSampler = 0;
    unsigned int m_keepAllMask = 0;
};

} // namespace render
