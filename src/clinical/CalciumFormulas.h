#pragma once
// Agatston coronary calcium scoring: the score of one lesion and the risk category of a total.

#include <QString>

namespace clinical {

// Lesion area (mm²) weighted by its peak density: ×1 from 130 HU, ×2 from 200, ×3 from 300, ×4 from 400;
// 0 below 130 HU, for a NaN peak and for a non-positive area.
double agatstonLesionScore(double areaMm2, double peakHu);

// Risk category of a total score; a fractional total between two bands goes to the upper band.
QString calciumScoreCategory(double agatston);

// The report's lines of the total, printed with one decimal, and of its risk category: the category of
// that printed number, so that the two never disagree (10.0136 prints "10.0" and is minimal).
QString calciumTotalHtml(double total);

// The method and its risk categories assume contiguous slices about 3 mm thick. A warning naming the
// series' thickness and spacing when it departs from that (thickness off 3 mm by more than 0.5 mm, or a
// spacing more than 10 % below the thickness); empty when it holds or no thickness is known. A spacing of 0
// is unknown.
QString agatstonSliceWarning(double thicknessMm, double spacingMm);

} // namespace clinical
