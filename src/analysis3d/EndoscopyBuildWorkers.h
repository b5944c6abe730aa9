#pragma once
// The two background jobs of the virtual endoscopy window: building the volumes of a series with an
// outside overview picture, and turning a lumen path into camera frames for the fly-through.
//
// Camera positions live in the centred volume frame: millimetres along the render volume's axes
// (x columns, y rows, z slices) with the origin at the centre of its box, the frame the GPU view
// also works in (texture coordinate = position / extent + 0.5).

#include "db/InstanceRecord.h"
#include "render/FusionVolume.h"
#include "render/Volume.h"
#include "render/VolumeRenderer.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QPointF>
#include <QString>

#include <array>
#include <atomic>
#include <memory>

struct EndoscopyCameraFrame
{
    float position[3] = {0.0f, 0.0f, 0.0f}; // centred volume frame, mm
    float forward[3] = {0.0f, 0.0f, 1.0f};  // unit viewing direction
    float up[3] = {0.0f, 1.0f, 0.0f};       // unit, not forced perpendicular to forward
};

// The render volume is the path volume's stack turned onto the patient's axes, as the volume builder
// turns a stack by its orientation. These carry continuous voxel indices from one volume to the other.
void pathToRenderIndices(const render::FusionVolume& pathVolume, const render::Volume& renderVolume,
                         const double path[3], double render[3]);
void renderToPathIndices(const render::FusionVolume& pathVolume, const render::Volume& renderVolume,
                         const double render[3], double path[3]);
// A patient point in the centred frame of the render volume. False for a point outside the path
// volume's voxel box.
bool worldToVolumeCentredMm(const render::FusionVolume& pathVolume, const render::Volume& renderVolume,
                            const double pointMm[3], float out[3]);
// Pixel of a centred point in the 320-pixel outside overview.
QPointF projectToOverview(const float centred[3], const render::Volume& renderVolume);
render::VolumeRenderParams makeOverviewRenderParams();

class EndoscopyVolumeBuildWorker : public QObject
{
    Q_OBJECT

public:
    EndoscopyVolumeBuildWorker(const QList<db::InstanceRecord>& slices, const QString& title);

    // Raised by the window when it closes: the build ends early without results.
    std::shared_ptr<std::atomic_bool> stop;

    // Results, read by the window after `finished`.
    std::shared_ptr<render::FusionVolume> pathVolume;
    render::Volume renderVolume;
    bool nonAxial = false;
    QImage overviewImage;
    QString errorText; // the failure; beside built volumes, the render volume's warnings (one a line)

public slots:
    void run();

signals:
    void finished();

private:
    QList<db::InstanceRecord> m_slices;
    QString m_title;
};

class EndoscopyPathBuildWorker : public QObject
{
    Q_OBJECT

public:
    // Seed mode: the path is traced through the air lumen around the seed.
    EndoscopyPathBuildWorker(std::shared_ptr<render::FusionVolume> pathVolume, const render::Volume* renderVolume,
                             const double seedMm[3], double windowCenter, double windowWidth);
    // Curve mode: the path follows the given curve and the camera starts at `startIndex`.
    EndoscopyPathBuildWorker(std::shared_ptr<render::FusionVolume> pathVolume, const render::Volume* renderVolume,
                             const QList<std::array<double, 3>>& curve, int startIndex, double windowCenter,
                             double windowWidth);

    // Raised by the window when it closes: the frames are not finished.
    std::shared_ptr<std::atomic_bool> stop;

    // The path search of seed mode, as the imaging core gave it.
    bool pathOk = false;
    QString pathMessage;
    QList<std::array<double, 3>> pathPoints;
    int seedIndex = -1;
    bool branchDetected = false;
    QList<std::array<double, 3>> leftBranch;
    QList<std::array<double, 3>> rightBranch;

    // Results, read by the window after `finished`.
    QList<EndoscopyCameraFrame> frames;
    QList<QPointF> overviewPath; // one per frame, same order
    double startDistanceMm = 0.0;
    QString errorText;

public slots:
    void run();

signals:
    void finished();

private:
    void buildFrames();

    std::shared_ptr<render::FusionVolume> m_pathVolume;
    const render::Volume* m_renderVolume = nullptr;
    bool m_seedMode = true;
    double m_seed[3] = {0.0, 0.0, 0.0};
    QList<std::array<double, 3>> m_curve;
    int m_startIndex = -1;
    double m_windowCenter = 0.0;
    double m_windowWidth = 0.0;
};
