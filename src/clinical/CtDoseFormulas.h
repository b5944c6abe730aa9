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

// Where a series lies along the table (the patient's head–foot axis), in mm.
struct TableExtent
{
    double fromMm = 0.0;
    double toMm = 0.0;
};

// The table extent of a series of images rows × columns in size: every image's corners, widened by half a
// slice thickness along the slice normal. Nothing when no instance has a position and orientation.
std::optional<TableExtent> tableExtentMm(const QList<db::InstanceRecord>& instances, int rows, int columns);

// One CT series counted into a study's dose estimate.
struct CountedDoseSeries
{
    QString label;
    QString frameOfReferenceUid;
    std::optional<TableExtent> extent;
};

// Counted series that are likely reconstructions of one scan: two or more that share a frame of reference
// and overlap along the table for more than half of the shorter one's extent. Each group lists its
// series' labels in the given order; the groups follow their first series.
QList<QStringList> likelyReconstructionGroups(const QList<CountedDoseSeries>& series);

// The warning shown beside the estimated total for one such group.
QString reconstructionGroupWarning(const QStringList& labels);

} // namespace clinical
