#pragma once
// Size of a solid lung nodule from one elliptical outline, and its Lung-RADS category.

#include <QString>

namespace clinical {

struct NoduleEstimate
{
    double diameterMm = 0.0; // the longer axis
    double meanDiameterMm = 0.0; // mean of the two axes, rounded to 0.1 mm: the size Lung-RADS grades
    double volumeMm3 = 0.0;  // ellipsoid with the mean of the two semi-axes as the third
    bool valid = false;      // false for an outline without extent
};

// Outline's bounding box in pixels; spacings ≤ 0 count as 1 mm on their axis.
NoduleEstimate noduleFromOutline(double widthPx, double heightPx, double spacingX, double spacingY);

// Category ("2", "3", "4A" or "4B") by the mean diameter; a nodule first seen on a follow-up study has
// lower limits.
QString lungRadsCategory(double meanDiameterMm, bool newOnFollowUp);
// The category with its follow-up advice.
QString lungRadsCategoryText(double meanDiameterMm, bool newOnFollowUp);

} // namespace clinical
