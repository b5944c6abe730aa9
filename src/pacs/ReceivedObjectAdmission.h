#pragma once
// Which received objects a retrieve keeps, decided on the thread that receives them and before the
// sender is answered: the first object of each SOP Instance UID, and none whose UID the index already
// holds under another series or study (senders do reuse UIDs by mistake; written over, the row of one
// patient's image would name another's). One per retrieve, shared by the session and whoever
// receives for it; safe from any thread.

#include "db/InstancePlaceLookup.h"

#include <QHash>
#include <QMutex>
#include <QString>

namespace pacs {

class ReceivedObjectAdmission
{
public:
    enum class Verdict {
        Keep,        // store it
        AlreadyKept, // this very object came before in this retrieve: answer success, keep one copy
        Refuse,      // its UID belongs to another series or study
    };

    // indexPath: the index file the retrieve's objects go to (empty: only this retrieve is looked at).
    explicit ReceivedObjectAdmission(QString indexPath);

    Verdict admit(const QString& sopInstanceUid, const QString& seriesInstanceUid, const QString& studyInstanceUid);
    int refused() const;
    // At the program's end, for threads that may still be receiving: once it returns, no call reads
    // the index any more, its file is closed, and every object that comes is refused.
    void close();

private:
    const QString m_indexPath;
    mutable QMutex m_mutex;
    // One connection for all of the retrieve's objects, whichever thread receives them: opening the
    // index for each object took longer than receiving it.
    db::InstancePlaceLookup m_index;
    QHash<QString, QString> m_seriesOfKept; // SOP Instance UID -> series (which belongs to one study)
    QHash<QString, QString> m_studyOfSeries;
    int m_refused = 0;
    bool m_closed = false;
};

// What a retrieve that refused such objects adds to its message.
QString reusedUidsText(int refused);

} // namespace pacs
