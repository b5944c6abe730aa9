#pragma once

#include "dicom/RowObject.h"

#include <QList>
#include <QString>

namespace dicom {

// One data element of a file as the tag editor shows it.
struct TagEntry
{
    quint16 group = 0;
    quint16 element = 0;
    QString vr;    // "PN", "DS", "SQ", ...
    QString name;  // the data dictionary's name of the tag
    QString value; // all values joined by backslashes; empty for sequences and values without text form
};

// The file meta information first, then the top-level data set elements without Pixel Data,
// each in stored order. Sequences are one entry each, their items are not listed. Read for an index
// row, only a file that holds the row's object is listed (RowObject).
QList<TagEntry> readTagList(const QString& path, QString* error = nullptr, const RowObject& row = {});

// Puts each entry's value (a backslash separates values) into the data set and saves the file over
// itself; only group, element and value are used. Meta information and sequences cannot be edited.
// Nothing is written unless every entry could be put and the whole file saved, and nothing but the
// file read is replaced: for an index row, one that holds the row's object (RowObject), and only
// while it is still the version read.
bool writeTagValues(const QString& path, const QList<TagEntry>& entries, QString* error = nullptr,
                    const RowObject& row = {});

} // namespace dicom
