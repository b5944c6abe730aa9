#include "db/IndexBatch.h"

#include "db/Database.h"

namespace db {

IndexBatch::IndexBatch(Database* index, Written written, QObject* parent)
    : QObject(parent), m_index(index), m_written(std::move(written))
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kMaxDelayMs);
    connect(&m_timer, &QTimer::timeout, this, &IndexBatch::flush);
}

void IndexBatch::add(const dicom::DicomFileSummary& summary)
{
    m_pending.append(summary);
    if (m_pending.size() >= kMaxFiles && (!m_sinceBatch.isValid() || m_sinceBatch.elapsed() >= m_lastBatchMs))
        flush();
    else if (!m_timer.isActive())
        m_timer.start();
}

void IndexBatch::flush()
{
    m_timer.stop();
    if (m_pending.isEmpty())
        return;
    // Taken first: whatever `written` does, also adding files, starts a batch of its own.
    QList<dicom::DicomFileSummary> files = std::exchange(m_pending, {});
    if (m_admit)
        files.removeIf([this](const dicom::DicomFileSummary& summary) { return !m_admit(summary); });
    if (files.isEmpty())
        return;
    QElapsedTimer took;
    took.start();
    QStringList errors;
    if (m_index) {
        errors = m_index->indexFiles(files);
    } else {
        for (qsizetype i = 0; i < files.size(); ++i)
            errors << QStringLiteral("Локальная база исследований закрыта");
    }
    m_written(files, errors);
    m_lastBatchMs = took.elapsed();
    m_sinceBatch.start();
}

void IndexBatch::discard()
{
    m_timer.stop();
    m_pending.clear();
}

} // namespace db
