#pragma once

#include <QDate>
#include <QString>

namespace dicom {

// A DA value "YYYYMMDD", or the old ACR-NEMA form "YYYY.MM.DD"; an invalid date for anything else.
QDate parseDicomDate(const QString& text);

// The date in `format`; a value that is no date is shown as it stands.
QString dicomDateText(const QString& value, const QString& format);

// Times are read as TM ("HHMMSS.FFFFFF", shortened to "HHMM" or "HH") or in the old form "HH:MM:SS";
// a value that is no time is shown as it stands.

// "yyyy-MM-dd HH:mm:ss" as the study tables show it (sortable as text); the time only when it has
// seconds.
QString dateTimeForTable(const QString& date, const QString& time);

// "dd.MM.yyyy HH:mm" as the corner texts and burnt-in overlays show it; either part may be missing,
// and the time only when it has minutes.
QString dateTimeForOverlay(const QString& date, const QString& time);

} // namespace dicom
