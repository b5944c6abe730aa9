#!/usr/bin/python3
"""VTK 9 as the peer of bench_peers: the same volume, the same work, timed one request at a time.

Usage: peer_vtk.py volume.raw nx ny nz sx sy sz
The raw file holds nx*ny*nz float32 values, x fastest. After "ready" the script reads one command a
line from stdin, "<work> <runs>", runs that work <runs> times and answers "<work> <milliseconds>"
(the mean of the runs). bench_peers alternates these requests with its own runs. "quit" ends it.
Run under xvfb-run: the ray casters draw into an (off-screen) render window.

Works: slab (coronal slab MIP, 15 slices through the middle row), oblique (512 x 512 nearest slice
through the centre), vrt (shaded composite with the bone preset) and mip, both ray cast at 512 x 512
with 0.5 mm between samples.
"""
import math
import sys
import time

import numpy as np
import vtk
from vtk.util import numpy_support

STEP_MM = 0.5


def main():
    raw = sys.argv[1]
    nx, ny, nz = (int(v) for v in sys.argv[2:5])
    sx, sy, sz = (float(v) for v in sys.argv[5:8])
    data = np.fromfile(raw, dtype=np.float32)
    assert data.size == nx * ny * nz
    image = vtk.vtkImageData()
    image.SetDimensions(nx, ny, nz)
    image.SetSpacing(sx, sy, sz)
    # The voxels are copied into VTK's own array, as a VTK program holds a volume it has read: numpy
    # asks the kernel for huge pages for large arrays, which neither VTK nor Kalvenor does, and which
    # alone makes scattered reads (the oblique slice) two to three times faster.
    image.GetPointData().SetScalars(numpy_support.numpy_to_vtk(data, deep=True, array_type=vtk.VTK_FLOAT))
    del data

    slab = vtk.vtkImageReslice()
    slab.SetInputData(image)
    slab.SetResliceAxesDirectionCosines(1, 0, 0, 0, 0, 1, 0, 1, 0)
    slab.SetResliceAxesOrigin(0, (ny // 2) * sy, 0)
    slab.SetOutputDimensionality(2)
    slab.SetInterpolationModeToNearestNeighbor()
    slab.SetSlabModeToMax()
    slab.SetSlabNumberOfSlices(15)

    a = math.radians(30)
    ux, uy, uz = math.cos(a), math.sin(a), 0.0
    vx, vy, vz = 0.0, 0.0, -1.0
    n = (uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx)
    oblique = vtk.vtkImageReslice()
    oblique.SetInputData(image)
    oblique.SetResliceAxesDirectionCosines(ux, uy, uz, vx, vy, vz, *n)
    oblique.SetResliceAxesOrigin(nx * sx / 2, ny * sy / 2, nz * sz / 2)
    oblique.SetOutputDimensionality(2)
    oblique.SetOutputSpacing(0.7, 0.7, 0.7)
    oblique.SetOutputOrigin(-256 * 0.7, -256 * 0.7, 0)
    oblique.SetOutputExtent(0, 511, 0, 511, 0, 0)
    oblique.SetInterpolationModeToNearestNeighbor()

    renderer = vtk.vtkRenderer()
    window = vtk.vtkRenderWindow()
    window.SetOffScreenRendering(1)
    window.AddRenderer(renderer)
    window.SetSize(512, 512)
    mapper = vtk.vtkFixedPointVolumeRayCastMapper()
    mapper.SetInputData(image)
    mapper.AutoAdjustSampleDistancesOff()
    mapper.SetSampleDistance(STEP_MM)
    mapper.SetImageSampleDistance(1.0)
    prop = vtk.vtkVolumeProperty()
    prop.SetInterpolationTypeToLinear()
    colour = vtk.vtkColorTransferFunction()
    bone_opacity = vtk.vtkPiecewiseFunction()
    # The bone preset's control points.
    for hu, r, g, b, o in [(-200, 233, 189, 152, 0), (150, 233, 189, 152, 0), (226, 230, 190, 140, 0.18),
                           (500, 235, 198, 148, 0.55), (900, 240, 206, 155, 0.85), (1300, 245, 214, 165, 0.97)]:
        colour.AddRGBPoint(hu, r / 255.0, g / 255.0, b / 255.0)
        bone_opacity.AddPoint(hu, o)
    ramp = vtk.vtkPiecewiseFunction()
    ramp.AddPoint(-1024, 1.0)
    ramp.AddPoint(3000, 1.0)
    prop.SetColor(colour)
    volume = vtk.vtkVolume()
    volume.SetMapper(mapper)
    volume.SetProperty(prop)
    renderer.AddVolume(volume)
    renderer.ResetCamera()
    camera = renderer.GetActiveCamera()
    camera.Azimuth(25)
    camera.Elevation(15)
    # Parallel rays and the view width of the program's 3D view: 0.6 of the half-diagonal each side.
    camera.ParallelProjectionOn()
    camera.SetParallelScale(0.6 * math.sqrt((nx * sx) ** 2 + (ny * sy) ** 2 + (nz * sz) ** 2) / 2)

    def use_vrt():
        prop.ShadeOn()
        prop.SetScalarOpacity(bone_opacity)
        mapper.SetBlendModeToComposite()

    def use_mip():
        prop.ShadeOff()
        prop.SetScalarOpacity(ramp)
        mapper.SetBlendModeToMaximumIntensity()

    def reslice(filter_):
        filter_.Modified()
        filter_.Update()

    def render():
        camera.Azimuth(0.5)  # a new view each time, as while the user turns the volume
        window.Render()

    works = {
        "slab": (None, lambda: reslice(slab)),
        "oblique": (None, lambda: reslice(oblique)),
        "vrt": (use_vrt, render),
        "mip": (use_mip, render),
    }
    current = None
    print("ready", flush=True)
    for line in sys.stdin:
        parts = line.split()
        if not parts or parts[0] == "quit":
            break
        setup, run = works[parts[0]]
        runs = int(parts[1]) if len(parts) > 1 else 1
        if setup and current != parts[0]:
            setup()
            run()  # the first render after a change builds the mapper's tables
        current = parts[0]
        t = time.perf_counter()
        for _ in range(runs):
            run()
        print("%s %.4f" % (parts[0], (time.perf_counter() - t) * 1000.0 / runs), flush=True)


if __name__ == "__main__":
    main()
