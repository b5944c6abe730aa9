#include "dicom/ZipImportWorker.h"

#include "dicom/AtomicDicomWriter.h"
#include "dicom/FileIdentity.h"
#include "dicom/ZipArchiveOpen.h"
#include "platform/ContentDigest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QThread>

#include <archive.h>
#include <archive_entry.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <sys/stat.h>

namespace dicom {
namespace {

constexpr qint64 kBlockSize = 65536;
// Free space is looked at again after this many bytes have been written.
constexpr qint64 kSpaceCheckInterval = 8ll * 1024 * 1024;
// An entry that grows past this size to more than kMaxExpansion times its packed size is taken for a
// decompression bomb: real images, however uniform, do not pack that well.
constexpr qint64 kExpansionCheckFloor = 64ll * 1024 * 1024;
constexpr qint64 kMaxExpansion = 1000;
// Refused entries are named one per line up to this many.
constexpr int kMaxNamedEntries = 10;

qint64 availableBytes(const QString& path)
{
    QStorageInfo info(path);
    info.refresh();
    return info.isValid() ? info.bytesAvailable() : -1;
}

QString megabytes(qint64 bytes)
{
    return QString::number(qMax<qint64>(0, bytes) / (1024 * 1024));
}

// An archive's name for an entry, fit to be shown: control characters go, long names are shortened.
QString shownName(const QString& name)
{
    QString shown;
    for (const QChar c : name)
        shown += c.isPrint() ? c : QChar(u'?');
    return shown.size() > 120 ? shown.left(60) + QStringLiteral("…") + shown.right(59) : shown;
}

// What is known about an entry before it is unpacked.
struct EntryFacts
{
    QString name;
    qint64 declaredSize = -1;                // -1: the archive does not say
    std::function<qint64()> packedSoFar;     // packed bytes behind the data read so far
};

// A read that fails this way found the entry's data longer or shorter than declared.
constexpr qint64 kReadSizeMismatch = -2;

enum class EntryResult { Written, Damaged, Refused, Stop };

// Writes entries flat into the temporary folder as e00000000, e00000001, ... Archive names are never
// used for paths, so "../" or absolute names cannot place a file anywhere else.
class Unpacker
{
public:
    Unpacker(QString destination, QString store, qint64 reserve, ZipImportWorker::FreeSpaceProbe probe)
        : m_destination(std::move(destination))
        , m_store(std::move(store))
        , m_reserve(reserve)
        , m_probe(std::move(probe))
        , m_buffer(size_t(kBlockSize))
    {
    }

    bool damaged() const { return m_damaged; }
    int skippedEntries() const { return m_skippedEntries; }
    // Why entries were left out, one line each, for the summary.
    QStringList notes() const
    {
        QStringList lines = m_refused;
        if (m_restUnread)
            lines << ZipImportWorker::tr("Записи архива после неё не распакованы.");
        if (m_unnamedRefused > 0)
            lines << ZipImportWorker::tr("Пропущено по тем же причинам ещё записей архива: %1.").arg(m_unnamedRefused);
        if (m_badNames > 0)
            lines << ZipImportWorker::tr("Пропущено записей архива с именем не в кодировке UTF-8: %1.").arg(m_badNames);
        if (!m_encrypted.isEmpty())
            lines << ZipImportWorker::tr("Пропущено зашифрованных записей архива: %1 (например, «%2»). Архивы с паролем не поддерживаются.")
                         .arg(m_encrypted.size())
                         .arg(m_encrypted.first());
        return lines;
    }
    void noteRestUnread() { m_restUnread = true; }
    void skipBadName()
    {
        ++m_badNames;
        ++m_skippedEntries;
    }
    void skipEncrypted(const QString& name)
    {
        m_encrypted << shownName(name);
        ++m_skippedEntries;
    }
    // Set when unpacking had to stop as a whole (no space, no writable temporary folder).
    const QString& fatalError() const { return m_fatal; }

    // Free space for `bytes` more on the temporary folder's file system, keeping the reserve.
    // What was written here counts against the space found at the start even where the file system
    // does not show it yet (delayed allocation, compression of runs of zeros).
    bool roomFor(qint64 bytes)
    {
        qint64 available = m_probe(m_destination);
        if (available >= 0) {
            if (m_availableAtStart < 0)
                m_availableAtStart = available;
            available = qMin(available, m_availableAtStart - m_written);
        }
        if (available >= 0 && available - bytes < m_reserve) {
            m_fatal = ZipImportWorker::tr("Недостаточно места на диске для распаковки архива: нужно %1 МБ, доступно %2 МБ (%3).")
                          .arg(megabytes(bytes + m_reserve), megabytes(available), QDir::toNativeSeparators(m_destination));
            return false;
        }
        return true;
    }

    // Before anything is unpacked: the store must keep its reserve too.
    bool storeHasReserve()
    {
        const qint64 available = m_probe(m_store);
        if (available >= 0 && available < m_reserve) {
            m_fatal = ZipImportWorker::tr("Недостаточно места в хранилище для импорта: доступно %1 МБ (%2).")
                          .arg(megabytes(available), QDir::toNativeSeparators(m_store));
            return false;
        }
        return true;
    }

    // Copies one entry's data through `read` (bytes read, 0 at the end, negative on a read error) into
    // the next numbered file. A read error marks the archive damaged; an entry that turns out larger
    // than declared or a bomb is refused. Neither leaves anything of the entry behind.
    template<typename Read>
    EntryResult writeEntry(int number, const EntryFacts& facts, Read&& read)
    {
        // The program is closing: nothing is copied into the store yet, so nothing is left unlisted.
        if (QThread::currentThread()->isInterruptionRequested()) {
            m_fatal = ZipImportWorker::tr("Импорт архива прерван: программа закрывается.");
            return EntryResult::Stop;
        }
        if (facts.declaredSize > 0 && !roomFor(facts.declaredSize))
            return EntryResult::Stop;
        const QString path = QDir(m_destination).filePath(QStringLiteral("e%1").arg(number, 8, 10, QLatin1Char('0')));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly)) {
            m_fatal = ZipImportWorker::tr("Не удалось записать файл во временную папку: %1").arg(out.errorString());
            return EntryResult::Stop;
        }
        const auto drop = [&out] {
            out.close();
            out.remove();
        };
        const auto refuse = [&](const QString& why) {
            drop();
            if (m_refused.size() < kMaxNamedEntries)
                m_refused << why;
            else
                ++m_unnamedRefused;
            ++m_skippedEntries;
            return EntryResult::Refused;
        };
        const auto sizeMismatch = [&] {
            return refuse(ZipImportWorker::tr("Запись архива «%1» пропущена: её настоящий размер не совпадает с указанным в архиве (%2 байт).")
                              .arg(shownName(facts.name))
                              .arg(facts.declaredSize));
        };
        qint64 written = 0;
        qint64 sinceCheck = 0;
        for (;;) {
            const qint64 n = read(m_buffer.data(), kBlockSize);
            if (n == 0)
                return facts.declaredSize >= 0 && written != facts.declaredSize ? sizeMismatch() : EntryResult::Written;
            if (n == kReadSizeMismatch && facts.declaredSize >= 0)
                return sizeMismatch();
            if (n < 0) {
                drop();
                m_damaged = true;
                return EntryResult::Damaged; // the next entries may still be whole
            }
            if (out.write(m_buffer.data(), n) != n) {
                m_fatal = ZipImportWorker::tr("Не удалось записать файл во временную папку: %1").arg(out.errorString());
                drop();
                return EntryResult::Stop;
            }
            written += n;
            sinceCheck += n;
            m_written += n;
            if (facts.declaredSize >= 0 && written > facts.declaredSize)
                return sizeMismatch();
            if (written > kExpansionCheckFloor && facts.packedSoFar
                && written / kMaxExpansion > qMax<qint64>(1, facts.packedSoFar()))
                return refuse(ZipImportWorker::tr("Запись архива «%1» пропущена: при распаковке она выросла более чем в %2 раз "
                                                  "(похоже на архивную бомбу).")
                                  .arg(shownName(facts.name))
                                  .arg(kMaxExpansion));
            if (sinceCheck >= kSpaceCheckInterval) {
                sinceCheck = 0;
                // Declared sizes can lie: keep watching while the data keeps coming.
                if (!roomFor(0)) {
                    drop();
                    return EntryResult::Stop;
                }
            }
        }
    }

    void markDamaged() { m_damaged = true; }

private:
    QString m_destination;
    QString m_store;
    qint64 m_reserve;
    ZipImportWorker::FreeSpaceProbe m_probe;
    qint64 m_availableAtStart = -1;
    qint64 m_written = 0;
    std::vector<char> m_buffer;
    bool m_damaged = false;
    QString m_fatal;
    QStringList m_refused;
    QStringList m_encrypted;
    int m_unnamedRefused = 0;
    bool m_restUnread = false;
    int m_badNames = 0;
    int m_skippedEntries = 0;
};

// false: the archive cannot be opened (error set); otherwise the unpacker tells about damage or a stop.
bool extract7z(const QString& archivePath, Unpacker& unpacker, QString* error)
{
    std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(), &archive_read_free);
    archive_read_support_format_7zip(reader.get());
    if (archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(), size_t(kBlockSize)) != ARCHIVE_OK) {
        *error = ZipImportWorker::tr("Не удалось открыть 7z-архив: %1").arg(QString::fromUtf8(archive_error_string(reader.get())));
        return false;
    }
    int number = 0;
    int retries = 0;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status == ARCHIVE_RETRY && ++retries < 3)
            continue;
        if (status == ARCHIVE_RETRY || status == ARCHIVE_FATAL) {
            unpacker.markDamaged();
            break;
        }
        if (status == ARCHIVE_FAILED) {
            unpacker.markDamaged();
            continue;
        }
        retries = 0; // ARCHIVE_OK or ARCHIVE_WARN: the entry is usable
        if (archive_entry_filetype(entry) != AE_IFREG)
            continue;
        const char* name = archive_entry_pathname_utf8(entry);
        EntryFacts facts;
        facts.name = QString::fromUtf8(name ? name : archive_entry_pathname(entry));
        if (archive_entry_is_data_encrypted(entry)) {
            unpacker.skipEncrypted(facts.name);
            continue;
        }
        facts.declaredSize = archive_entry_size_is_set(entry) ? qint64(archive_entry_size(entry)) : -1;
        // A 7z entry's packed size is not told; what the reader takes from the file meanwhile stands in.
        const qint64 packedBefore = archive_filter_bytes(reader.get(), -1);
        facts.packedSoFar = [&reader, packedBefore] { return archive_filter_bytes(reader.get(), -1) - packedBefore; };
        bool fatalRead = false;
        int warnings = 0;
        const EntryResult result = unpacker.writeEntry(number++, facts, [&](char* buffer, qint64 size) -> qint64 {
            for (;;) {
                const la_ssize_t n = archive_read_data(reader.get(), buffer, size_t(size));
                if (n == ARCHIVE_WARN && ++warnings < 3)
                    continue;
                if (n == ARCHIVE_FATAL)
                    fatalRead = true;
                return n < 0 ? -1 : qint64(n);
            }
        });
        // Going on past a refused entry would mean unpacking the rest of it first: its data share
        // one packed stream with the entries after it.
        if (result == EntryResult::Refused)
            unpacker.noteRestUnread();
        if (result == EntryResult::Stop || result == EntryResult::Refused || fatalRead)
            break;
    }
    return true;
}

bool extractZip(const QString& archivePath, Unpacker& unpacker, QString* error)
{
    zip_error_t openError;
    QSet<zip_uint64_t> badNames;
    zip_t* archive = openZipForReading(archivePath, &badNames, &openError);
    if (!archive) {
        *error = ZipImportWorker::tr("Не удалось открыть ZIP-архив (код ошибки libzip: %1)").arg(zipErrorText(&openError));
        zip_error_fini(&openError);
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(archive, 0);

    // The declared sizes must fit before anything is written.
    qint64 declaredTotal = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, zip_uint64_t(i), 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE))
            declaredTotal = qMin(declaredTotal + qint64(qMin<zip_uint64_t>(stat.size, zip_uint64_t(1) << 56)), qint64(1) << 60);
    }
    if (!unpacker.roomFor(declaredTotal)) {
        zip_discard(archive);
        return true;
    }

    for (zip_int64_t i = 0; i < count; ++i) {
        const char* rawName = zip_get_name(archive, zip_uint64_t(i), ZIP_FL_ENC_GUESS);
        if (!rawName)
            continue;
        EntryFacts facts;
        facts.name = QString::fromUtf8(rawName);
        if (facts.name.isEmpty() || facts.name.endsWith(QLatin1Char('/')))
            continue;
        if (badNames.contains(zip_uint64_t(i))) {
            unpacker.skipBadName();
            continue;
        }
        zip_stat_t stat;
        zip_stat_init(&stat);
        const bool known = zip_stat_index(archive, zip_uint64_t(i), 0, &stat) == 0;
        if (known && (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE) {
            unpacker.skipEncrypted(facts.name);
            continue;
        }
        if (known && (stat.valid & ZIP_STAT_SIZE))
            facts.declaredSize = qint64(qMin<zip_uint64_t>(stat.size, zip_uint64_t(1) << 56));
        if (known && (stat.valid & ZIP_STAT_COMP_SIZE)) {
            const qint64 packed = qint64(qMin<zip_uint64_t>(stat.comp_size, zip_uint64_t(1) << 56));
            facts.packedSoFar = [packed] { return packed; };
        }
        zip_file_t* file = zip_fopen_index(archive, zip_uint64_t(i), 0);
        if (!file) {
            const int code = zip_error_code_zip(zip_get_error(archive));
            if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_WRONGPASSWD || code == ZIP_ER_ENCRNOTSUPP)
                unpacker.skipEncrypted(facts.name);
            else
                unpacker.markDamaged(); // unsupported method or broken local header
            continue;
        }
        const EntryResult result = unpacker.writeEntry(int(i), facts, [file](char* buffer, qint64 size) -> qint64 {
            const zip_int64_t n = zip_fread(file, buffer, zip_uint64_t(size));
            // libzip compares the data with the declared size and checksum only at their end.
            if (n < 0 && zip_error_code_zip(zip_file_get_error(file)) == ZIP_ER_INCONS)
                return kReadSizeMismatch;
            return n < 0 ? -1 : qint64(n);
        });
        zip_fclose(file);
        if (result == EntryResult::Stop)
            break;
    }
    zip_discard(archive);
    return true;
}

bool isFullDisk(int code)
{
    return code == ENOSPC || code == EDQUOT;
}

// Creates the series folder of a copy; on failure names it with the system's reason.
bool makeFolder(const QString& folder, QString* cause, int* code)
{
    if (::mkdir(QFile::encodeName(folder).constData(), 0777) == 0 || errno == EEXIST) {
        if (QFileInfo(folder).isDir())
            return true;
        errno = EEXIST;
    }
    *code = errno;
    *cause = ZipImportWorker::tr("не удалось создать папку %1: %2")
                 .arg(QDir::toNativeSeparators(folder), QString::fromLocal8Bit(strerror(*code)));
    return false;
}

// Beside a file under the copy's name that holds the object in other bytes: the first of
// "<name>_1.dcm", "<name>_2.dcm", … that is free or holds the source's very bytes (stored so by an
// earlier import of the same archive); empty when none is.
QString besideName(const QString& seriesFolder, const QString& name, const QString& source)
{
    for (int n = 1; n < 1000; ++n) {
        const QString candidate = QDir(seriesFolder).filePath(QStringLiteral("%1_%2.dcm").arg(name).arg(n));
        const QFileInfo info(candidate);
        if ((!info.exists() && !info.isSymLink()) || sameFileBytes(candidate, source))
            return candidate;
    }
    return {};
}

} // namespace

ZipImportWorker::ZipImportWorker(QString archivePath, QString targetDirectory, QObject* parent)
    : QObject(parent)
    , archivePath(std::move(archivePath))
    , targetDirectory(std::move(targetDirectory))
{
}

ZipImportWorker::~ZipImportWorker() = default;

QString ZipImportWorker::storeName(const QString& uid)
{
    return QString::fromLatin1(QCryptographicHash::hash(uid.toUtf8(), QCryptographicHash::Md5).toHex());
}

void ZipImportWorker::run()
{
    QTemporaryDir temporary;
    if (!temporary.isValid()) {
        emit finished(0, 0, tr("Не удалось создать временную папку для распаковки"));
        return;
    }
    QDir().mkpath(targetDirectory);
    // Its connection to the index belongs to this thread.
    const auto releaseListed = qScopeGuard([this] {
        listedProbe = {};
        heldProbe = {};
    });

    const FreeSpaceProbe probe = freeSpaceProbe ? freeSpaceProbe : FreeSpaceProbe(availableBytes);
    Unpacker unpacker(temporary.path(), targetDirectory, freeSpaceReserve, probe);
    QString error;
    if (!unpacker.storeHasReserve()) {
        emit finished(0, 0, unpacker.fatalError());
        return;
    }
    const bool opened = archivePath.endsWith(QLatin1String(".7z"), Qt::CaseInsensitive)
        ? extract7z(archivePath, unpacker, &error)
        : extractZip(archivePath, unpacker, &error);
    if (!opened) {
        emit finished(0, 0, error);
        return;
    }
    if (!unpacker.fatalError().isEmpty()) {
        // Nothing half-unpacked is imported: the temporary folder goes away with its contents.
        emit finished(0, 0, unpacker.fatalError());
        return;
    }

    int imported = 0;
    int skipped = 0;
    int copyFailures = 0;
    QString firstCopyFailure;
    QString stopMessage;
    // Unpacked names are numbered in archive order; walking them sorted keeps that order.
    QStringList unpacked;
    QDirIterator it(temporary.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        unpacked << it.next();
    unpacked.sort();
    for (const QString& path : std::as_const(unpacked)) {
        // Closing the program ends the import between two files: every copy made so far has been
        // handed on for its row, none is half made.
        if (QThread::currentThread()->isInterruptionRequested()) {
            stopMessage = tr("Импорт архива прерван: программа закрывается. Импортировано файлов: %1.").arg(imported);
            break;
        }
        if (!isDicomFile(path)) {
            ++skipped;
            continue;
        }
        std::optional<DicomFileSummary> summary = readFileSummary(path);
        if (!summary) {
            ++skipped;
            continue;
        }
        const QString seriesFolder = QDir(targetDirectory).filePath(storeName(summary->seriesInstanceUid));
        QString destination = QDir(seriesFolder).filePath(storeName(summary->sopInstanceUid) + QLatin1String(".dcm"));
        // A retrieve's copy keeps its row: a second copy would take the row over and leave the first
        // one unrecorded, never to be deleted with its study.
        if (heldProbe && heldProbe(summary->sopInstanceUid, destination))
            continue;
        // Only a copy this import writes is its own; one it finds is judged by whoever knows the
        // index's record of it.
        summary->ownCopy = false;
        bool found = QFileInfo::exists(destination) || QFileInfo(destination).isSymLink();
        if (found) {
            // Stored before (the same archive imported again, or an import cut short): it is taken
            // as this object's copy only when it holds this very object; anything else under its
            // name is neither taken nor overwritten.
            const std::optional<DicomFileSummary> there =
                QFileInfo(destination).isSymLink() || !isDicomFile(destination) ? std::nullopt
                                                                                : readFileSummary(destination);
            if (!there || there->sopInstanceUid != summary->sopInstanceUid
                || there->seriesInstanceUid != summary->seriesInstanceUid
                || there->studyInstanceUid != summary->studyInstanceUid) {
                if (copyFailures++ == 0)
                    firstCopyFailure = tr("под именем копии в хранилище уже лежит другой файл: %1")
                                           .arg(QDir::toNativeSeparators(destination));
                ++skipped;
                continue;
            }
            // The object in other bytes that no row lists there (a file of the user's, a name that
            // differs only in case on FAT) is not this import's copy: the archive's goes beside it.
            if (!sameFileBytes(destination, path) && !(listedProbe && listedProbe(summary->sopInstanceUid, destination))) {
                destination = besideName(seriesFolder, storeName(summary->sopInstanceUid), path);
                if (destination.isEmpty()) {
                    if (copyFailures++ == 0)
                        firstCopyFailure = tr("не удалось подобрать свободное имя копии в папке %1")
                                               .arg(QDir::toNativeSeparators(seriesFolder));
                    ++skipped;
                    continue;
                }
                found = QFileInfo::exists(destination);
            }
        }
        if (!found) {
            const qint64 size = QFileInfo(path).size();
            const qint64 available = probe(targetDirectory);
            if (available >= 0 && available - size < freeSpaceReserve) {
                stopMessage = tr("Импорт остановлен: в хранилище недостаточно места (%1). Импортировано файлов: %2.")
                                  .arg(QDir::toNativeSeparators(targetDirectory))
                                  .arg(imported);
                break;
            }
            int code = 0;
            QString cause;
            platform::FileId made;
            const bool copied =
                makeFolder(seriesFolder, &cause, &code) &&
                AtomicDicomWriter::copyFile(path, destination, &cause, &code, &made, &summary->contentDigest);
            if (!copied && isFullDisk(code)) {
                // Every further file would fail the same way, and free bytes alone do not show it: a
                // file system can run out of files (inodes) with space to spare.
                stopMessage = tr("Импорт остановлен: на диске хранилища нет места (%1) — диск заполнен или "
                                 "исчерпан запас файлов на нём. Импортировано файлов: %2.")
                                  .arg(QDir::toNativeSeparators(targetDirectory))
                                  .arg(imported);
                break;
            }
            if (!copied) {
                if (copyFailures++ == 0)
                    firstCopyFailure = cause;
                ++skipped;
                continue;
            }
            summary->ownCopy = true;
            if (copyMade)
                copyMade(destination, made);
        } else {
            // Found holding the archive's very bytes (or listed there, which the index's record then
            // tells): what a copy of this file would be known by.
            summary->contentDigest = platform::ContentDigest::of(path);
        }
        summary->filePath = destination;
        emit fileFound(*summary);
        ++imported;
        emit progress(imported + skipped);
    }

    skipped += unpacker.skippedEntries();
    QStringList messages;
    if (!stopMessage.isEmpty())
        messages << stopMessage;
    messages << unpacker.notes();
    if (unpacker.damaged())
        messages << tr("Архив повреждён: часть файлов не удалось распаковать. Импортировано файлов: %1.").arg(imported);
    if (copyFailures > 0)
        messages << tr("Не удалось скопировать файлов в постоянное хранилище: %1 (пропущены, не импортированы). "
                       "Причина: %2")
                        .arg(copyFailures)
                        .arg(firstCopyFailure);
    emit finished(imported, skipped, messages.join(QLatin1Char('\n')));
}

} // namespace dicom
