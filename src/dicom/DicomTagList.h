#pragma once

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
// each in stored order. Sequences are one entry each, their items are not listed.
QList<TagEntry> readTagList(const QString& path, QString* error = nullptr);

// Puts each entry's value (a backslash separates values) into the data set and saves the file over
// itself; only group, element and value are used. Meta information and sequences cannot be edited.
// Nothing is written unless every entry could be put and the whole file saved.
bool writeTagValues(const QString& path, const QList<TagEntry>& entries, QString* error = nullptr);

} // namespace dicom
