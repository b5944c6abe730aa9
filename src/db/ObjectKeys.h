#pragma once
// The keys an object's rows take in the index: its SOP Instance UID for its first frame and
// "<UID>#f<f>" for each later frame f. A UID comes from outside (a peer, a disc, a folder) and may hold
// that separator, so one object's UID can equal another object's frame key: written blindly, the
// second would take the first one's row. Whoever writes rows, or admits a received object before its
// rows are written, looks at the rows under the object's keys and asks clashWith what each means.

#include <QString>

#include <optional>
#include <utility>

namespace dicom {
struct DicomFileSummary;
}

namespace db {

enum class KeyClash {
    None,        // no row of another object, and the object's own row in its own series and study
    OtherPlace,  // the object's UID is indexed in another series or study
    OtherObject, // one of the object's keys is the key of another object's row
};

class ObjectKeys
{
public:
    // frames: the rows the object takes (below 1: one).
    ObjectKeys(QString sopInstanceUid, int frames, QString seriesInstanceUid, QString studyInstanceUid);
    // As the index writes the file's rows.
    static ObjectKeys of(const dicom::DicomFileSummary& summary);

    const QString& sopInstanceUid() const { return m_uid; }
    int frames() const { return m_frames; }
    QString key(int frame) const;
    // A range of keys that holds every key of the object, as the index orders its keys, and perhaps
    // keys of objects whose UIDs begin with this one's: [first, past).
    const QString& first() const { return m_uid; }
    QString past() const { return m_uid + QStringLiteral("#g"); }
    // What a row of the index, keyed `key` with the frame index it records, means for writing the
    // object's rows.
    KeyClash clashWith(const QString& key, int frameIndex, const QString& seriesInstanceUid,
                       const QString& studyInstanceUid) const;
    // Whether such a row is of a frame past the object's last: written when its file held more frames.
    bool isFramePastLast(const QString& key, int frameIndex) const;

    // The object an index row's key names: the key itself for a first frame, whatever it holds ("#" too);
    // for a later frame the key less the frame's own suffix.
    static QString objectOfKey(const QString& key, int frameIndex);
    // The object UID and frame of a key of the form "<UID>#f<f>" (f from 1, written as the writer
    // writes it); nothing for any other text.
    static std::optional<std::pair<QString, int>> asFrameKey(const QString& key);

private:
    QString m_uid;
    int m_frames;
    QString m_series;
    QString m_study;
};

} // namespace db
