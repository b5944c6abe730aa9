#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

#include <utility>

// What the study tables' filters share: the period presets of their date combos and whole-code
// modality matching.
namespace studyfilters {

// The combos list "any date", "today", "yesterday", "last 10 days", "last month", then an exact date
// and a range in either order: `exactIndex` says which of 5 and 6 is the exact date. The exact date
// and a range's start come from `first`, a range's end from `second`. Index 0 or an unknown index
// gives two invalid dates (no date filter).
std::pair<QDate, QDate> periodDates(int index, int exactIndex, const QDate& today, const QDate& first, const QDate& second);

// The codes of a modality list as the tables show it ("CT\\MR", "CT, PT", "SR OT"), upper case.
QStringList modalityCodes(const QString& text);

// True when nothing is selected or a selected code is one of the row's codes. Whole codes only: "CT"
// must not find "OCT" and "US" must not find "IVUS".
bool modalitiesMatch(const QString& rowModalities, const QStringList& selected);

} // namespace studyfilters
