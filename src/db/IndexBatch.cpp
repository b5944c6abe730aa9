#include "db/IndexBatch.h"

#include "db/Database.h"

namespace db {

IndexBatch::IndexBatch(Database* index, Written written, QObject* parent)
    : QObject(parent), m_index(index), m_written(std::move(written))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &IndexBatch::onTimer);
}

void IndexBatch::add(const dicom::DicomFileSummary& summary)
{
    m_pending.append(summary);
    if (m_pending.size() >= kMaxFiles && (!m_sinceBatch.isValid() || m_sinceBatch.elapsed() >= m_lastBatchMs))
        writeBatch();
    // Waiting longer would gather no more into the next batch, only more behind it.
    else if (m_pending.size() >= kLargestBatch && m_timer.remainingTime() != 0)
        m_timer.start(0);
    else if (!m_timer.isActive())
        m_timer.start(kMaxDelayMs);
}

void IndexBatch::flush()
{
    while (!m_pending.isEmpty())
        writeBatch();
    m_timer.stop();
}

void IndexBatch::flushThen(std::function<void()> then)
{
    if (m_pending.isEmpty()) {
        then();
        return;
    }
    m_whenWritten.append(std::move(then));
    m_timer.start(0);
}

void IndexBatch::onTimer()
{
    writeBatch();
    if (m_pending.isEmpty()) {
        // Each told once; whatever it does, also adding files or waiting again, meets an empty list.
        for (const std::function<void()>& then : std::exchange(m_whenWritten, {}))
            then();
    }
}

void IndexBatch::writeBatch()
{
    m_timer.stop();
    if (m_pending.isEmpty())
        return;
    // Taken first: whatever `written` does, also adding files, starts a batch of its own.
    QList<dicom::DicomFileSummary> files;
    if (m_pending.size() <= kLargestBatch) {
        files = std::exchange(m_pending, {});
    } else {
        files = m_pending.first(kLargestBatch);
        m_pending.remove(0, kLargestBatch);
    }
    // A backlog goes on the next turn, as does whatever an owner waits for; a few left gather as any do.
    if (m_pending.size() >= kMaxFiles || !m_whenWritten.isEmpty())
        m_timer.start(0);
    else if (!m_pending.isEmpty())
        m_timer.start(kMaxDelayMs);
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
    if (!m_whenWritten.isEmpty())
        m_timer.start(0);
}

} // namespace db
