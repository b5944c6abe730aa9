#pragma once

#include "dicom/DicomFileSummary.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace db {

class Database;

// Files to be indexed, written a batch at a time, each batch in one transaction (Database::indexFiles):
// when it holds kMaxFiles files, kMaxDelayMs after its first file, and at flush(). A synced commit per
// file would hold an import or a retrieve to the pace of the disk. A batch that took long (a busy
// disk syncs slowly) holds the next one's count back by as long, so that files gather into fewer,
// larger batches instead of the thread doing nothing but commit. No batch holds more than
// kLargestBatch files: the thread that writes it (the window's) does nothing else meanwhile, so files
// that come faster than they are written go in the next batches, each on a turn of the event loop of
// its own, rather than into one that grows with the backlog. Each file's outcome goes to `written`
// once its batch has been committed or has failed; whoever adds files flushes before it reports its
// own end (flushThen() where the thread is the window's), and before it goes. Files are to be on disk
// before they are added.
class IndexBatch : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxFiles = 100;
    static constexpr int kMaxDelayMs = 200;
    // Large enough for a commit's cost to spread thin, small enough to be written in well under a
    // quarter of a second.
    static constexpr int kLargestBatch = 1000;

    // errors: one text per file, empty for a file indexed.
    using Written = std::function<void(const QList<dicom::DicomFileSummary>& files, const QStringList& errors)>;

    IndexBatch(Database* index, Written written, QObject* parent = nullptr);

    // Judges each file as its batch is written, against the index as it is then: a file it refuses
    // is left out, and `written` is not told of it.
    using Admit = std::function<bool(const dicom::DicomFileSummary& summary)>;
    void setAdmit(Admit admit) { m_admit = std::move(admit); }

    void add(const dicom::DicomFileSummary& summary);
    // Writes every file now, a batch after another. Nobody waiting through flushThen() is told: this is
    // for an owner that goes.
    void flush();
    // Writes the files a batch per turn of the event loop and calls `then` once none is left, at once
    // when none is.
    void flushThen(std::function<void()> then);
    // Forgets the files not yet written, as when none of them is to stay.
    void discard();
    bool isEmpty() const { return m_pending.isEmpty(); }

private:
    // The next batch, at most kLargestBatch files; those after it wait for the next.
    void writeBatch();
    void onTimer();

    QPointer<Database> m_index;
    Written m_written;
    Admit m_admit;
    QList<dicom::DicomFileSummary> m_pending;
    QTimer m_timer;
    QElapsedTimer m_sinceBatch; // since the last batch was written
    qint64 m_lastBatchMs = 0;   // how long that took
    QList<std::function<void()>> m_whenWritten;
};

} // namespace db
