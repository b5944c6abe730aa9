#pragma once
// A built volume stands for its series on a regular grid: one spacing between all slices, axes along
// the patient's. Where the series is not like that the volume is still built as usual, and these
// warnings say how far the picture's geometry may be trusted.

#include <QString>

#include <array>
#include <vector>

namespace render {

// The positions of a stack's slices along its normal, in ascending order (mm). A Russian warning when
// the gaps between consecutive slices differ by more than a tenth of their mean (at least 0.1 mm), as
// where slices are missing or the step changes: the volume spaces them evenly. Empty otherwise. Gaps
// of 0.001 mm or less are repeated positions, not steps.
QString unevenSpacingWarning(const std::vector<double>& sortedPositions);

// How far, in degrees, the row or the column direction departs from the patient axis nearest to it;
// 0 for a zero direction.
double stackTiltDegrees(const std::array<double, 3>& row, const std::array<double, 3>& column);

// A Russian warning when the stack is tilted (stackTiltDegrees) by more than a few degrees: the
// volume's planes then follow the acquisition, not the patient's axes. Empty otherwise.
QString obliqueStackWarning(const std::array<double, 3>& row, const std::array<double, 3>& column);

// A Russian warning when the slices' image positions lie off the line that runs from the lowest of
// them along the slice normal (row x column) by more than a tenth of the smaller pixel spacing (one
// not above 0 counts as 1 mm), naming the largest distance in mm. A scanner with a tilted gantry
// moves the table, not the slice plane, so each slice slides within its plane; a volume that stacks
// the slices along the normal does not follow that slide. Empty otherwise, for fewer than two
// positions and for a zero normal.
QString shiftedSlicesWarning(const std::vector<std::array<double, 3>>& positions,
                             const std::array<double, 3>& row, const std::array<double, 3>& column,
                             double pixelSpacingX, double pixelSpacingY);

// Warnings for one line each, in order; empty texts are left out.
QString joinedWarnings(const QString& first, const QString& second);
// The same lines as a window shows them, each led by a warning sign; empty for none.
QString markedWarnings(const QString& warnings);

} // namespace render
