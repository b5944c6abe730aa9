#pragma once

#include "db/InstanceRecord.h"

#include <QList>
#include <QString>

#include <array>
#include <optional>

namespace clinical {

// Body regions 0..10 and the two reference phantoms (0 = 16 cm head, 1 = 32 cm body) of the
// DLP-to-effective-dose conversion factors.
QString bodyRegionName(int region);

using EdlpTable = std::array<std::array<double, 6>, 11>; // [region][age group], NaN where undefined
const EdlpTable& edlpTable16cm();
const EdlpTable& edlpTable32cm();

std::optional<double> doseKFactor(int phantom, int region, int ageGroup);
std::optional<double> effectiveDoseFromDlp(double dlp, int phantom, int region, int ageGroup);
QList<int> regionsWithKFactors(int phantom);
QString backgroundDoseText(double mSv);

struct BodyRegionGuess
{
    int region = 0;
    int phantom = 0;
    bool found = false;
};

// Scanned length of a CT series in mm: the spread of its image positions along the slice normal plus one
// slice thickness. Only when an instance lacks position and orientation does Slice Location stand in.
double scannedLengthMm(const QList<db::InstanceRecord>& instances);

BodyRegionGuess detectBodyRegion(const QString& bodyPart, const QString& protocolName,
                                 const QString& seriesDescription, const QString& studyDescription);

} // namespace clinical
