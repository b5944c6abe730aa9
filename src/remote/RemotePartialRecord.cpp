#include "remote/RemotePartialRecord.h"

#include <QList>
#include <QUuid>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace remotepartial {

namespace {

const char kPartialMark[] = "user.kalvenor.partial";
constexpr int kSizeDigits = 20; // the state line keeps one length while the worker rewrites it

// The mark the open file bears; empty when none.
QByteArray markOf(int fd)
{
    char text[64];
    const ssize_t got = ::fgetxattr(fd, kPartialMark, text, sizeof text);
    return got > 0 ? QByteArray(text, got) : QByteArray();
}

QByteArray identityLine(const platform::FileId& id)
{
    return QByteArray::number(id.device) + ' ' + QByteArray::number(id.inode) + '\n';
}

QByteArray stateLine(qint64 written, const QByteArray& writtenDigest, qint64 writing,
                     const QByteArray& writingDigest)
{
    return QByteArray::number(written).rightJustified(kSizeDigits, '0') + ' ' + writtenDigest.toHex() + ' '
           + QByteArray::number(writing).rightJustified(kSizeDigits, '0') + ' ' + writingDigest.toHex() + '\n';
}

bool writeAt(int fd, const QByteArray& text, off_t at)
{
    return ::pwrite(fd, text.constData(), size_t(text.size()), at) == text.size();
}

// The digests of the file's first `cut` bytes and of all its `size` bytes, read through the descriptor;
// false when they cannot be read.
bool digestsOf(int fd, qint64 cut, qint64 size, QByteArray* atCut, QByteArray* whole)
{
    platform::ContentDigest digest;
    if (digest.addRead(fd, 0, cut) != cut)
        return false;
    *atCut = digest.resultSoFar();
    if (digest.addRead(fd, cut, size) != size)
        return false;
    *whole = digest.resultSoFar();
    return true;
}

// The file's bytes are what the record says the worker had written, or was writing: the whole write
// done, or cut inside it once bytes before it were written (a write the worker was killed in). The
// bytes of a write cut before any were written before it prove nothing.
bool provesByContent(const Record& record, int file, qint64 size)
{
    if (record.written < 0 || record.writing < record.written || size < record.written || size > record.writing)
        return false;
    QByteArray atWritten, whole;
    if (!digestsOf(file, record.written, size, &atWritten, &whole))
        return false;
    if (size == record.writing && whole == record.writingDigest)
        return true;
    if (atWritten != record.writtenDigest)
        return false;
    return size == record.written || record.written > 0;
}

} // namespace

void read(int folder, const QByteArray& name, Record* record)
{
    *record = Record();
    record->fd = platform::Descriptor(
        ::openat(folder, name.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (record->fd.fd() < 0 || ::fstat(record->fd.fd(), &st) != 0 || !S_ISREG(st.st_mode)
        || st.st_nlink != 1) {
        record->fd = platform::Descriptor();
        return;
    }
    record->making = st.st_size == 0;
    if (record->making)
        return;
    char text[512] = {};
    const ssize_t got = ::pread(record->fd.fd(), text, sizeof text - 1, 0);
    const QList<QByteArray> lines = QByteArray(text, qMax<ssize_t>(got, 0)).split('\n');
    const QList<QByteArray> parts = lines.value(0).trimmed().split(' ');
    bool deviceOk = false, inodeOk = false;
    record->file = {parts.value(0).toULongLong(&deviceOk), parts.value(1).toULongLong(&inodeOk), true};
    record->mark = markOf(record->fd.fd());
    if (parts.size() != 2 || !deviceOk || !inodeOk) {
        record->fd = platform::Descriptor();
        record->file = {};
        return;
    }
    // What the bytes were, when the record says it whole (a record of an earlier version does not).
    const QList<QByteArray> state = lines.value(1).split(' ');
    bool writtenOk = false, writingOk = false;
    const qint64 written = state.value(0).toLongLong(&writtenOk);
    const qint64 writing = state.value(2).toLongLong(&writingOk);
    const QByteArray writtenDigest = QByteArray::fromHex(state.value(1));
    const QByteArray writingDigest = QByteArray::fromHex(state.value(3));
    if (state.size() == 4 && writtenOk && writingOk && written >= 0 && writing >= written
        && !writtenDigest.isEmpty() && writtenDigest.size() == writingDigest.size()) {
        record->written = written;
        record->writtenDigest = writtenDigest;
        record->writing = writing;
        record->writingDigest = writingDigest;
    }
}

bool proves(const Record& record, int file)
{
    struct stat st {};
    // A second name would let what is written or removed here change a file elsewhere.
    if (record.fd.fd() < 0 || ::fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return false;
    // An empty file holds nothing to lose, whatever copied it: a record of an earlier version says
    // nothing of the bytes, and no copy keeps the identity or, without attributes, the mark.
    if (st.st_size == 0)
        return true;
    // The worker writes the file's identity before its first byte.
    if (record.making)
        return false;
    if (platform::FileId::ofOpen(file) == record.file)
        return true;
    if (!record.mark.isEmpty() && markOf(file) == record.mark)
        return true;
    return provesByContent(record, file, qint64(st.st_size));
}

bool Progress::reset(int file)
{
    m_digest.result(); // starts anew
    m_size = m_digest.addRead(file, 0);
    m_sizeDigest = m_size < 0 ? QByteArray() : m_digest.resultSoFar();
    return m_size >= 0;
}

bool Progress::announce(Record* record, const char* data, qint64 size)
{
    if (m_size < 0 || record->fd.fd() < 0 || record->written < 0)
        return false;
    m_digest.add(data, size);
    const QByteArray after = m_digest.resultSoFar();
    const QByteArray line = stateLine(m_size, m_sizeDigest, m_size + size, after);
    if (!writeAt(record->fd.fd(), line, off_t(identityLine(record->file).size()))) {
        m_size = -1; // the digest holds bytes the file will not: read again before the next write
        return false;
    }
    record->written = m_size;
    record->writtenDigest = m_sizeDigest;
    record->writing = m_size + size;
    record->writingDigest = after;
    m_size += size;
    m_sizeDigest = after;
    return true;
}

bool write(Record* record, int file, const Progress& progress)
{
    if (progress.size() < 0)
        return false;
    const platform::FileId id = platform::FileId::ofOpen(file);
    // The mark the record bears goes on (a copy of the file without it gets it again).
    QByteArray mark = record->mark.isEmpty() ? QUuid::createUuid().toByteArray(QUuid::Id128) : record->mark;
    for (const int marked : {record->fd.fd(), file})
        if (::fsetxattr(marked, kPartialMark, mark.constData(), size_t(mark.size()), 0) != 0)
            mark.clear();
    const QByteArray digest = progress.digest();
    const QByteArray text = identityLine(id) + stateLine(progress.size(), digest, progress.size(), digest);
    // Written over the old text and then cut to its length: never left empty, which would say a file
    // is being made.
    if (!writeAt(record->fd.fd(), text, 0) || ::ftruncate(record->fd.fd(), off_t(text.size())) != 0)
        return false;
    record->making = false;
    record->file = id;
    record->mark = mark;
    record->written = record->writing = progress.size();
    record->writtenDigest = record->writingDigest = digest;
    return true;
}

bool catchUp(Record* record, int file, Progress* progress)
{
    struct stat st {};
    if (::fstat(file, &st) == 0 && qint64(st.st_size) == progress->size())
        return true;
    if (!progress->reset(file))
        return false;
    const bool said = record->file == platform::FileId::ofOpen(file) && record->written == progress->size()
                      && record->writing == progress->size() && record->writtenDigest == progress->digest();
    return said || write(record, file, *progress);
}

} // namespace remotepartial
