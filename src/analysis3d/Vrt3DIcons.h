#pragma once

#include <QIcon>

// The toolbar pictures of the 3D volume window, 96 x 96, drawn anew on every call.
namespace vrt3dicons {

QIcon presetsIcon();
QIcon densityCutIcon();
QIcon freeRotationIcon();
QIcon inPlaneRotationIcon();
QIcon resetViewIcon();
QIcon orientationIcon();
QIcon cropDrawIcon();
QIcon cropUndoIcon();
QIcon cpuIcon();

} // namespace vrt3dicons
