#include "db/ObjectKeys.h"

#include "dicom/DicomFileSummary.h"

#include <limits>

namespace db {

ObjectKeys::ObjectKeys(QString sopInstanceUid, int frames, QString seriesInstanceUid, QString studyInstanceUid)
    : m_uid(std::move(sopInstanceUid))
    , m_frames(frames < 1 ? 1 : frames)
    , m_series(std::move(seriesInstanceUid))
    , m_study(std::move(studyInstanceUid))
{
}

ObjectKeys ObjectKeys::of(const dicom::DicomFileSummary& summary)
{
    return ObjectKeys(summary.sopInstanceUid, summary.numberOfFrames, summary.seriesInstanceUid,
                      summary.studyInstanceUid);
}

QString ObjectKeys::key(int frame) const
{
    return frame == 0 ? m_uid : QStringLiteral("%1#f%2").arg(m_uid).arg(frame);
}

KeyClash ObjectKeys::clashWith(const QString& key, int frameIndex, const QString& seriesInstanceUid,
                               const QString& studyInstanceUid) const
{
    if (key != m_uid) {
        const auto frame = asFrameKey(key);
        if (!frame || frame->first != m_uid || frame->second >= m_frames)
            return KeyClash::None; // not a key this object writes
    }
    if (objectOfKey(key, frameIndex) != m_uid)
        return KeyClash::OtherObject;
    if (key == m_uid && (seriesInstanceUid != m_series || studyInstanceUid != m_study))
        return KeyClash::OtherPlace;
    return KeyClash::None;
}

bool ObjectKeys::isFramePastLast(const QString& key, int frameIndex) const
{
    return frameIndex >= m_frames && objectOfKey(key, frameIndex) == m_uid;
}

QString ObjectKeys::objectOfKey(const QString& key, int frameIndex)
{
    if (frameIndex <= 0)
        return key;
    const QString suffix = QStringLiteral("#f%1").arg(frameIndex);
    return key.endsWith(suffix) ? key.chopped(suffix.size()) : key;
}

std::optional<std::pair<QString, int>> ObjectKeys::asFrameKey(const QString& key)
{
    const qsizetype at = key.lastIndexOf(QStringLiteral("#f"));
    if (at < 0)
        return std::nullopt;
    const QStringView digits = QStringView(key).mid(at + 2);
    // As the writer writes a frame: decimal, without a sign or a leading zero.
    if (digits.isEmpty() || digits.size() > 10 || digits.front() == QLatin1Char('0'))
        return std::nullopt;
    for (const QChar c : digits)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    const qint64 frame = digits.toLongLong();
    if (frame > std::numeric_limits<int>::max())
        return std::nullopt;
    return std::pair{key.left(at), int(frame)};
}

} // namespace db
