#include "pacs/ReceivedObjectAdmission.h"

#include <QMutexLocker>

namespace pacs {

ReceivedObjectAdmission::ReceivedObjectAdmission(QString indexPath)
    : m_indexPath(std::move(indexPath))
    , m_index(m_indexPath)
{
}

ReceivedObjectAdmission::Verdict ReceivedObjectAdmission::admit(const dicom::ObjectIdentity& object,
                                                                const std::function<bool(const QString&)>& sameAsKept)
{
    QMutexLocker lock(&m_mutex);
    const auto refuse = [this] {
        ++m_refused;
        return Verdict::Refuse;
    };
    const QString& uid = object.sopInstanceUid;
    const auto kept = m_seriesOfKept.constFind(uid);
    if (kept != m_seriesOfKept.constEnd()) {
        if (*kept != object.seriesInstanceUid || m_studyOfSeries.value(*kept) != object.studyInstanceUid)
            return refuse();
        // Another object under the same UIDs: the first stays, and the retrieve says what was not kept.
        // While the first has no file yet, it is let in and settled once stored (see kept).
        const QString file = m_fileOfKept.value(uid);
        if (sameAsKept && file.isEmpty())
            return Verdict::Keep;
        if (!sameAsKept || sameAsKept(file))
            return Verdict::AlreadyKept;
        ++m_differing;
        return Verdict::Differs;
    }
    // Past the program's end nothing may read the index: an object that comes that late is not kept.
    if (m_closed || meetsKeptKeys(object))
        return refuse();
    // Objects of this retrieve not indexed yet are known above; the index knows the rest.
    if (m_index.keyClash(db::ObjectKeys(uid, object.frames, object.seriesInstanceUid, object.studyInstanceUid))
        != db::KeyClash::None)
        return refuse();
    m_seriesOfKept.insert(uid, object.seriesInstanceUid);
    m_studyOfSeries.insert(object.seriesInstanceUid, object.studyInstanceUid);
    m_framesOfKept.insert(uid, object.frames);
    if (const auto frameKey = db::ObjectKeys::asFrameKey(uid))
        m_keptAsFrameKeys.insert(frameKey->first, frameKey->second);
    return Verdict::Keep;
}

bool ReceivedObjectAdmission::meetsKeptKeys(const dicom::ObjectIdentity& object) const
{
    // Its UID is a frame key of an object let in with that many frames...
    if (const auto frameKey = db::ObjectKeys::asFrameKey(object.sopInstanceUid))
        if (m_framesOfKept.value(frameKey->first, 0) > frameKey->second)
            return true;
    // ...or the UID of an object let in is one of its own frame keys.
    for (auto it = m_keptAsFrameKeys.constFind(object.sopInstanceUid);
         it != m_keptAsFrameKeys.constEnd() && it.key() == object.sopInstanceUid; ++it)
        if (*it < object.frames)
            return true;
    return false;
}

ReceivedObjectAdmission::Verdict ReceivedObjectAdmission::kept(const QString& sopInstanceUid, const QString& filePath)
{
    QMutexLocker lock(&m_mutex);
    const QString first = m_fileOfKept.value(sopInstanceUid);
    if (first.isEmpty()) {
        m_fileOfKept.insert(sopInstanceUid, filePath);
        return Verdict::Keep;
    }
    if (first == filePath)
        return Verdict::AlreadyKept;
    ++m_differing;
    return Verdict::Differs;
}

int ReceivedObjectAdmission::differing() const
{
    QMutexLocker lock(&m_mutex);
    return m_differing;
}

void ReceivedObjectAdmission::close()
{
    QMutexLocker lock(&m_mutex);
    m_closed = true;
    m_index.close();
}

int ReceivedObjectAdmission::refused() const
{
    QMutexLocker lock(&m_mutex);
    return m_refused;
}

QString reusedUidsText(int refused)
{
    return QStringLiteral("Отклонено объектов, чей UID в базе уже принадлежит другой серии, другому "
                          "исследованию или другому объекту: %1")
        .arg(refused);
}

QString differingCopiesText(int differing)
{
    return QStringLiteral("Не сохранено объектов, пришедших повторно с тем же UID, но с другим содержимым "
                          "(оставлен первый из них): %1")
        .arg(differing);
}

} // namespace pacs
