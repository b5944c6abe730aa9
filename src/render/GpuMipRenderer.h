#pragma once

#include "GpuCropSlot.h"
#include "GpuShaderProgram.h"

#include <QString>
#include <QVector3D>

namespace render {

class GpuDevice;

// Orthographic maximum (mode 0 and any unknown mode), minimum (1) or mean (2) intensity projection of
// the volume texture in grey, with up to six crop masks.
class GpuMipRenderer
{
public:
    bool initialize(GpuDevice* device, QString* error);
    void release();
    bool isInitialized() const { return m_program.isBuilt(); }

    void draw(GpuDevice* device, unsigned int volumeTexture, const QVector3D& cameraDir, const QVector3D& cameraRight,
              const QVector3D& cameraUp, const QVector3D& volumeExtentMm, float halfDiagonalMm, float zoom,
              float panU, float panV, float windowCenter, float windowWidth, int steps, int mode,
              const CropSlots& crops, int cropCount);

    unsigned int program() const { return m_program.program(); }
    unsigned int parameterBuffer() const { return m_parameters; }

private:
    GpuShaderProgram m_program;
    unsigned int m_parameters = 0;
    unsigned int m_vertexArray = 0;
    unsigned int m_volumeSampler = 0;
    unsigned int m_cropSampler = 0;
    unsigned int m_keepAllMask = 0;
};

} // namespace render
