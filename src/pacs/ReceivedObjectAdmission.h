#pragma once
// Which received objects a retrieve keeps, decided on the thread that receives them and before the
// sender is answered: the first object of each SOP Instance UID, and none whose rows would meet another
// object's, here or in this retrieve: its UID held under another series or study (senders do reuse UIDs
// by mistake; written over, the row of one patient's image would name another's), or one of its keys
// held by another object (a UID equal to another object's frame key, or the reverse). One per
// retrieve, shared by the session and whoever receives for it; safe from any thread.

#include "db/InstancePlaceLookup.h"
#include "dicom/DicomFileSummary.h"

#include <QHash>
#include <QMutex>
#include <QString>

#include <functional>

namespace pacs {

class ReceivedObjectAdmission
{
public:
    enum class Verdict {
        Keep,        // store it
        AlreadyKept, // this very object came before in this retrieve: answer success, keep one copy
        Refuse,      // its UID belongs to another series or study, or one of its keys to another object
        Differs,     // its UIDs came before in this retrieve with other content: the first copy stays
    };

    // indexPath: the index file the retrieve's objects go to (empty: only this retrieve is looked at).
    explicit ReceivedObjectAdmission(QString indexPath);

    // sameAsKept: whether the object holds the very bytes of the file kept for its UIDs (given that
    // file's path); without it, an object whose UIDs came before counts as the same. A copy that comes
    // while the first one of its UIDs is still being stored is let in too, and settled by kept.
    Verdict admit(const dicom::ObjectIdentity& object,
                  const std::function<bool(const QString& keptFile)>& sameAsKept = {});
    // The file an object let in by admit was stored in, and what becomes of it. Copies of one object
    // let in at once settle here: the first file named is the object's (Keep); a copy stored in that
    // very file, which the writer found to hold its bytes, was kept by it (AlreadyKept: no file of its
    // own); a copy in another file has other content (Differs, counted), and its file is not to stay.
    Verdict kept(const QString& sopInstanceUid, const QString& filePath);
    int refused() const;
    int differing() const;
    // At the program's end, for threads that may still be receiving: once it returns, no call reads
    // the index any more, its file is closed, and every object that comes is refused.
    void close();

private:
    const QString m_indexPath;
    mutable QMutex m_mutex;
    // One connection for all of the retrieve's objects, whichever thread receives them: opening the
    // index for each object took longer than receiving it.
    db::InstancePlaceLookup m_index;
    // Whether one of the object's keys is another object's let in before.
    bool meetsKeptKeys(const dicom::ObjectIdentity& object) const;

    QHash<QString, QString> m_seriesOfKept; // SOP Instance UID -> series (which belongs to one study)
    QHash<QString, int> m_framesOfKept;     // SOP Instance UID -> the frames it declared
    // Of each object let in whose UID has the form of a frame key "<U>#f<n>": U -> the n's.
    QMultiHash<QString, int> m_keptAsFrameKeys;
    QHash<QString, QString> m_studyOfSeries;
    QHash<QString, QString> m_fileOfKept;
    int m_refused = 0;
    int m_differing = 0;
    bool m_closed = false;
};

// What a retrieve that refused such objects adds to its message.
QString reusedUidsText(int refused);
// What a retrieve adds to its message for objects that came again with other content.
QString differingCopiesText(int differing);

} // namespace pacs
