#include "pacs/ReceivedObjectAdmission.h"

#include <QMutexLocker>

namespace pacs {

ReceivedObjectAdmission::ReceivedObjectAdmission(QString indexPath)
    : m_indexPath(std::move(indexPath))
    , m_index(m_indexPath)
{
}

ReceivedObjectAdmission::Verdict ReceivedObjectAdmission::admit(const QString& sopInstanceUid,
                                                                const QString& seriesInstanceUid,
                                                                const QString& studyInstanceUid,
                                                                const std::function<bool(const QString&)>& sameAsKept)
{
    QMutexLocker lock(&m_mutex);
    const auto refuse = [this] {
        ++m_refused;
        return Verdict::Refuse;
    };
    const auto kept = m_seriesOfKept.constFind(sopInstanceUid);
    if (kept != m_seriesOfKept.constEnd()) {
        if (*kept != seriesInstanceUid || m_studyOfSeries.value(*kept) != studyInstanceUid)
            return refuse();
        // Another object under the same UIDs: the first stays, and the retrieve says what was not kept.
        // While the first has no file yet, it is let in and settled once stored (see kept).
        const QString file = m_fileOfKept.value(sopInstanceUid);
        if (sameAsKept && file.isEmpty())
            return Verdict::Keep;
        if (!sameAsKept || sameAsKept(file))
            return Verdict::AlreadyKept;
        ++m_differing;
        return Verdict::Differs;
    }
    // Past the program's end nothing may read the index: an object that comes that late is not kept.
    if (m_closed)
        return refuse();
    // Objects of this retrieve not indexed yet are known above; the index knows the rest.
    if (const auto place = m_index.instancePlace(sopInstanceUid))
        if (place->seriesInstanceUid != seriesInstanceUid || place->studyInstanceUid != studyInstanceUid)
            return refuse();
    m_seriesOfKept.insert(sopInstanceUid, seriesInstanceUid);
    m_studyOfSeries.insert(seriesInstanceUid, studyInstanceUid);
    return Verdict::Keep;
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
    return QStringLiteral("Отклонено объектов, чей UID в базе уже принадлежит другой серии или другому "
                          "исследованию: %1")
        .arg(refused);
}

QString differingCopiesText(int differing)
{
    return QStringLiteral("Не сохранено объектов, пришедших повторно с тем же UID, но с другим содержимым "
                          "(оставлен первый из них): %1")
        .arg(differing);
}

} // namespace pacs
