#pragma once

// What a left-button drag does in a 3D view.
enum VolumeRotationMode : int {
    FreeRotation = 0,    // arcball rotation of the camera
    InPlaneRotation = 1, // turns the picture about the viewing axis
};
