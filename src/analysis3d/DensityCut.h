#pragma once

#include "render/TransferFunction.h"

// A visible HU range laid over a transfer function, independent of its points.
struct DensityCut
{
    bool enabled = false;
    double minHu = -1024.0;
    double maxHu = 3071.0;
};

// The preset limited to the cut: transparent at and outside its ends, with 20 HU ramps inside them.
// An inactive or empty cut gives the preset unchanged. Pure; safe from any thread.
render::TransferFunctionPreset densityCutPreset(const render::TransferFunctionPreset& preset, const DensityCut& cut);
