#!/usr/bin/python3
"""VTK 9 reference timings on the same volume that bench_render measures.

Usage: bench_render_vtk.py volume.raw nx ny nz sx sy sz
The raw file holds nx*ny*nz float32 values, x fastest. Prints one "vtk <name> <ms>" line per figure.
Run under xvfb-run: the ray-cast images are shown through an (off-screen) render window.
"""
import math
import statistics
import sys
import time

import numpy as np
import vtk
from vtk.util import numpy_support


def median_ms(fn, repeats):
    fn()  # warm-up: first renders build internal tables
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t) * 1000.0)
    return statistics.median(times)


def main():
    raw = sys.argv[1]
    nx, ny, nz = (int(v) for v in sys.argv[2:5])
    sx, sy, sz = (float(v) for v in sys.argv[5:8])
    data = np.fromfile(raw, dtype=np.float32)
    assert data.size == nx * ny * nz
    image = vtk.vtkImageData()
    image.SetDimensions(nx, ny, nz)
    image.SetSpacing(sx, sy, sz)
    image.GetPointData().SetScalars(numpy_support.numpy_to_vtk(data, deep=False, array_type=vtk.VTK_FLOAT))

    # Coronal slab MIP, 15 slices (10.5 mm at 0.7 mm) through the middle row.
    slab = vtk.vtkImageReslice()
    slab.SetInputData(image)
    slab.SetResliceAxesDirectionCosines(1, 0, 0, 0, 0, 1, 0, 1, 0)
    slab.SetResliceAxesOrigin(0, (ny // 2) * sy, 0)
    slab.SetOutputDimensionality(2)
    slab.SetInterpolationModeToNearestNeighbor()
    slab.SetSlabModeToMax()
    slab.SetSlabNumberOfSlices(15)

    def run_slab():
        slab.Modified()
        slab.Update()

    print("vtk coronal_slab_mip_10mm %.2f" % median_ms(run_slab, 20), flush=True)

    # Oblique 512 x 512 slice, nearest neighbour, 0.7 mm pixels, through the centre.
    a = math.radians(30)
    oblique = vtk.vtkImageReslice()
    oblique.SetInputData(image)
    ux, uy, uz = math.cos(a), math.sin(a), 0.0
    vx, vy, vz = 0.0, 0.0, -1.0
    n = (uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx)
    oblique.SetResliceAxesDirectionCosines(ux, uy, uz, vx, vy, vz, *n)
    oblique.SetResliceAxesOrigin(nx * sx / 2, ny * sy / 2, nz * sz / 2)
    oblique.SetOutputDimensionality(2)
    oblique.SetOutputSpacing(0.7, 0.7, 0.7)
    oblique.SetOutputOrigin(-256 * 0.7, -256 * 0.7, 0)
    oblique.SetOutputExtent(0, 511, 0, 511, 0, 0)
    oblique.SetInterpolationModeToNearestNeighbor()

    def run_oblique():
        oblique.Modified()
        oblique.Update()

    print("vtk oblique_512 %.2f" % median_ms(run_oblique, 20), flush=True)

    # Ray casting at 512 x 512 with a fixed 1 mm sample distance.
    renderer = vtk.vtkRenderer()
    window = vtk.vtkRenderWindow()
    window.SetOffScreenRendering(1)
    window.AddRenderer(renderer)
    window.SetSize(512, 512)
    mapper = vtk.vtkFixedPointVolumeRayCastMapper()
    mapper.SetInputData(image)
    mapper.AutoAdjustSampleDistancesOff()
    mapper.SetSampleDistance(1.0)
    mapper.SetImageSampleDistance(1.0)
    prop = vtk.vtkVolumeProperty()
    prop.SetInterpolationTypeToLinear()
    colour = vtk.vtkColorTransferFunction()
    opacity = vtk.vtkPiecewiseFunction()
    # The bone preset's control points.
    for hu, r, g, b, o in [(-200, 233, 189, 152, 0), (150, 233, 189, 152, 0), (226, 230, 190, 140, 0.18),
                           (500, 235, 198, 148, 0.55), (900, 240, 206, 155, 0.85), (1300, 245, 214, 165, 0.97)]:
        colour.AddRGBPoint(hu, r / 255.0, g / 255.0, b / 255.0)
        opacity.AddPoint(hu, o)
    prop.SetColor(colour)
    prop.SetScalarOpacity(opacity)
    volume = vtk.vtkVolume()
    volume.SetMapper(mapper)
    volume.SetProperty(prop)
    renderer.AddVolume(volume)
    renderer.ResetCamera()
    camera = renderer.GetActiveCamera()
    camera.Azimuth(25)
    camera.Elevation(15)

    def run_render():
        camera.Azimuth(0.5)
        window.Render()

    prop.ShadeOn()
    mapper.SetBlendModeToComposite()
    print("vtk composite_shaded_512_bones %.2f" % median_ms(run_render, 8), flush=True)

    prop.ShadeOff()
    ramp = vtk.vtkPiecewiseFunction()
    ramp.AddPoint(-1024, 1.0)
    ramp.AddPoint(3000, 1.0)
    prop.SetScalarOpacity(ramp)
    mapper.SetBlendModeToMaximumIntensity()
    print("vtk mip_512 %.2f" % median_ms(run_render, 8), flush=True)


if __name__ == "__main__":
    main()
