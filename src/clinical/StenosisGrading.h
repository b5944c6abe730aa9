#pragma once

#include <QString>

namespace clinical {

// One-line Russian grade of a luminal stenosis percentage, without treatment advice; a value that is
// not a number falls into the occlusion band rather than passing as insignificant.
QString stenosisGradeText(double percent);

} // namespace clinical
