#pragma once

#include <QMetaType>

// The plane a reconstruction panel shows.
enum class MprPlane : int { Axial = 0, Coronal = 1, Sagittal = 2 };

Q_DECLARE_METATYPE(MprPlane)
