#pragma once

#include <QString>

namespace dicom {

// The object an index row names in the file it is read for, and the version of the file (FileIdentity::
// text()) its listing found holding it. A listing is seconds old when the bytes are taken: another disc
// copied over the folder meanwhile puts another object under the path. The load proves the row's
// object from the very opening it reads: a file still in the version listed holds it, at no cost;
// any other holds it when the SOP Instance UID it parsed is the row's, and is refused otherwise
// (ParseHazard::OtherObject). Empty: a file read for itself, not for a row; nothing to prove.
struct RowObject
{
    QString sopInstanceUid;
    QString version; // empty: none was found, the UID read decides
    bool isEmpty() const { return sopInstanceUid.isEmpty(); }
    // Whether a file of that version holds the object without being read: nothing is to be proven, or it
    // is the version listed. Any other holds it when the UID read from it (objectUidOf) is the row's.
    bool heldWithoutReading(const QString& fileVersion) const
    {
        return isEmpty() || (!version.isEmpty() && fileVersion == version);
    }
    // Whether a file of `frames` frames holds the frame a reader was asked for. A row names one frame:
    // a file of the row's object that no longer has it (sent again with fewer under the same UID) holds
    // another image in its place, never that frame. -1 (the middle frame) and a read for no row take
    // whatever frame the file has nearest.
    bool holdsFrame(int frame, int frames) const
    {
        return isEmpty() || frame == -1 || (frame >= 0 && frame < frames);
    }
};

} // namespace dicom
