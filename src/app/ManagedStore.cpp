#include "app/ManagedStore.h"

#include "db/Database.h"
#include "dicom/AtomicDicomWriter.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/ZipImportWorker.h"
#include "platform/ContentDigest.h"
#include "remote/RemoteParallelDownloadWorker.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>
#include <numeric>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// The names are tested for every file of the store: each pattern is compiled once.
QRegularExpression whole(const char* pattern)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(QLatin1String(pattern)));
}

bool isStoreName(const QString& text)
{
    static const QRegularExpression pattern = whole("[0-9a-f]{32}");
    return pattern.match(text).hasMatch();
}

// A study folder of the retrieves: named after the UID asked for.
bool isUidName(const QString& text)
{
    static const QRegularExpression pattern = whole("[0-9]+(\\.[0-9]+)*");
    return text.size() <= 64 && pattern.match(text).hasMatch();
}

bool isReceiveTemporaryName(const QString& name)
{
    static const QRegularExpression pattern = whole("\\.(receiving|writing)-.+\\.part");
    return pattern.match(name).hasMatch();
}

// What Qt names a file that it copies before the copy is whole.
bool isQtCopyTemporaryName(const QString& name)
{
    static const QRegularExpression pattern = whole("qt_temp\\.[A-Za-z0-9]{6}");
    return pattern.match(name).hasMatch();
}

// "<base>.dcm" or "<base>_<n>.dcm", the base being a plain SOP Instance UID or, for an object whose
// UID is not plain, the time of its arrival in milliseconds; *base gets it.
bool isReceivedName(const QString& name, QString* base = nullptr)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9][0-9.]{0,63})(_[0-9]+)?\\.dcm$"));
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return false;
    if (base)
        *base = match.captured(1);
    return true;
}

// The name a download from another workstation gives an object's file: by its SOP Instance UID, by
// a digest of one that is not plain, or by the file's index at a host that names no objects.
bool isRemoteDownloadName(const QString& name)
{
    static const QRegularExpression pattern = whole("(x[0-9a-f]{40}|[0-9][0-9.]{0,63})\\.dcm");
    return pattern.match(name).hasMatch();
}

QString canonicalFolderInside(const QString& folder, const QString& canonicalData)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    // The program makes its store folders itself: one made a link leads to files it never stored
    // there, a user's folder elsewhere or a copy of the store kept inside the data folder alike.
    return !canonicalData.isEmpty() && !QFileInfo(folder).isSymLink() &&
                   canonical.startsWith(canonicalData + QLatin1Char('/'))
               ? canonical
               : QString();
}

} // namespace

ManagedStore::ManagedStore(const QString& dataFolder)
    : m_archiveFolder(QDir::cleanPath(QDir(dataFolder).absoluteFilePath(QStringLiteral("imported_from_zip")))),
      m_downloadFolder(QDir::cleanPath(QDir(dataFolder).absoluteFilePath(QStringLiteral("pacs_downloads")))),
      m_remoteFolder(QDir::cleanPath(QDir(dataFolder).absoluteFilePath(QStringLiteral("remote_downloads")))),
      m_door(folders(), dataFolder)
{
    const QString canonicalData = QFileInfo(dataFolder).canonicalFilePath();
    m_archiveCanonical = canonicalFolderInside(m_archiveFolder, canonicalData);
    m_downloadCanonical = canonicalFolderInside(m_downloadFolder, canonicalData);
    m_remoteCanonical = canonicalFolderInside(m_remoteFolder, canonicalData);
}

bool ManagedStore::isRemoteStudyFolderName(const QString& name)
{
    static const QRegularExpression allowed = whole("[A-Za-z0-9._-]{1,128}");
    return allowed.match(name).hasMatch() && name.count(QLatin1Char('.')) != name.size();
}

QString ManagedStore::defaultDataFolder()
{
    // Rows record absolute paths: a data folder named relative to the working folder is made absolute,
    // so that the store's folders are written as the rows are.
    return QDir::cleanPath(QFileInfo(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).absoluteFilePath());
}

QString ManagedStore::sessionMarkPath(const QString& dataFolder)
{
    return QDir(dataFolder).filePath(QStringLiteral("store_sweep_due"));
}

ManagedStore::Place ManagedStore::placeAsWritten(const QString& path) const
{
    const QString clean = QDir::cleanPath(path);
    for (const auto& [root, folder, canonical] : roots()) {
        if (clean.startsWith(folder + QLatin1Char('/')))
            return {root, clean.mid(folder.size() + 1).split(QLatin1Char('/'))};
    }
    return {};
}

ManagedStore::Place ManagedStore::placeOf(const QString& path) const
{
    return placeOf(QFileInfo(path));
}

ManagedStore::Place ManagedStore::placeOf(const QFileInfo& info) const
{
    // A folder where a copy should be is placed too: its removal fails, and says so.
    if (info.isSymLink() || !info.exists())
        return {};
    const QString canonical = info.canonicalFilePath();
    for (const auto& [root, written, folder] : roots()) {
        if (!folder.isEmpty() && canonical.startsWith(folder + QLatin1Char('/')))
            return {root, canonical.mid(folder.size() + 1).split(QLatin1Char('/'))};
    }
    return {};
}

bool ManagedStore::isCopyName(const Place& place)
{
    if (place.parts.size() != 2)
        return false;
    const QString& folder = place.parts[0];
    const QString& name = place.parts[1];
    // "<name>_<n>.dcm": an archive's copy put beside a file of other bytes under its name.
    static const QRegularExpression archiveCopy = whole("[0-9a-f]{32}(_[0-9]+)?\\.dcm");
    if (place.root == Root::Archive)
        return isStoreName(folder) && archiveCopy.match(name).hasMatch();
    if (place.root == Root::Remote)
        return isRemoteStudyFolderName(folder) && isRemoteDownloadName(name);
    return place.root == Root::Download && isUidName(folder) && isReceivedName(name);
}

bool ManagedStore::isTemporaryName(const Place& place)
{
    if (place.root == Root::None || place.parts.isEmpty() || place.parts.size() > 2)
        return false;
    const QString& name = place.parts.last();
    // An object being received: beside the study folders, or inside the one it is asked for.
    if (place.root == Root::Download && (place.parts.size() == 1 || isUidName(place.parts[0])) &&
        isReceiveTemporaryName(name))
        return true;
    if (place.parts.size() != 2)
        return false;
    // A copy or an edit being written, under the name of the copy it was to become or replace.
    QString target;
    if (dicom::AtomicDicomWriter::isTemporaryName(name, &target))
        return isCopyName({place.root, {place.parts[0], target}});
    // Earlier versions copied archive files through Qt, which writes under this name first.
    return place.root == Root::Archive && isStoreName(place.parts[0]) && isQtCopyTemporaryName(name);
}

bool ManagedStore::copyNameFits(const Place& place, const QString& studyUid, const QString& seriesUid,
                                const QString& sopUid)
{
    if (place.parts.size() != 2 || sopUid.isEmpty())
        return false;
    // "_<n>" may follow the name: the copy put beside a file of other bytes under it.
    static const QRegularExpression beside = whole("(_[0-9]+)?\\.dcm");
    if (place.root == Root::Archive) {
        const QString name = dicom::ZipImportWorker::storeName(sopUid);
        return place.parts[0] == dicom::ZipImportWorker::storeName(seriesUid) &&
               place.parts[1].startsWith(name) &&
               beside.match(QStringView(place.parts[1]).mid(name.size())).hasMatch();
    }
    // In the folder of the study asked for, under the name the download gives this object, or under
    // the index a host that names no objects gave it.
    if (place.root == Root::Remote) {
        static const QRegularExpression byIndex = whole("[0-9]+\\.dcm");
        return place.parts[0] == studyUid
               && (place.parts[1] == RemoteParallelDownloadWorker::fileNameFor(sopUid, 0)
                   || byIndex.match(place.parts[1]).hasMatch());
    }
    // In the folder of the study asked for, which is the study of every object kept; named after
    // its SOP Instance UID when that is plain (digits and dots), else after the moment it arrived.
    QString base;
    if (place.root != Root::Download || place.parts[0] != studyUid || !isReceivedName(place.parts[1], &base))
        return false;
    static const QRegularExpression plain = whole("[0-9][0-9.]*");
    static const QRegularExpression digits = whole("[0-9]+");
    const bool plainUid = sopUid.size() <= 64 && plain.match(sopUid).hasMatch();
    return base == sopUid || (!plainUid && digits.match(base).hasMatch());
}

bool ManagedStore::isCopyPlace(const QString& path) const
{
    return isCopyName(placeOf(path));
}

ManagedStore::Standing ManagedStore::standingOf(const db::IndexedFile& file) const
{
    if (!file.ownCopy) {
        const Place written = placeAsWritten(file.filePath);
        if (!isCopyName(written)
            || !copyNameFits(written, file.studyInstanceUid, file.seriesInstanceUid, file.sopInstanceUid))
            return Standing::Users;
    } else if (!*file.ownCopy) {
        return Standing::Users;
    }
    const QFileInfo place(file.filePath);
    if (!place.exists() && !place.isSymLink())
        return Standing::Missing;
    return isCopyName(placeOf(place)) ? Standing::Own : Standing::Elsewhere;
}

bool ManagedStore::liesAsCopy(const db::IndexedFile& file) const
{
    // Most such rows are of files opened where they lie, far from the store: their names tell them
    // before the disk is asked where the file is.
    static const QRegularExpression archiveCopy = whole("[0-9a-f]{32}(_[0-9]+)?\\.dcm");
    const QString name = QFileInfo(file.filePath).fileName();
    if (file.ownCopy != false
        || (!archiveCopy.match(name).hasMatch() && !isReceivedName(name) && !isRemoteDownloadName(name)))
        return false;
    // Wherever the row's path leads: through a link to the data folder, or by its real path.
    const Place place = placeOf(file.filePath);
    return isCopyName(place)
           && copyNameFits(place, file.studyInstanceUid, file.seriesInstanceUid, file.sopInstanceUid);
}

void ManagedStore::LeftFiles::add(Why why, const QString& path)
{
    ++counts[why];
    if (named[why].size() < kNamed)
        named[why] << path;
}

void ManagedStore::LeftFiles::add(const LeftFiles& other)
{
    for (int why = 0; why < kReasons; ++why) {
        counts[why] += other.counts[why];
        named[why] += other.named[why].mid(0, kNamed - named[why].size());
    }
}

qsizetype ManagedStore::LeftFiles::count() const
{
    return std::accumulate(counts.begin(), counts.end(), qsizetype(0));
}

QStringList ManagedStore::LeftFiles::names() const
{
    QStringList all;
    for (const QStringList& some : named)
        all += some;
    return all;
}

QString ManagedStore::LeftFiles::reasons(const QString& separator) const
{
    static const char* const said[kReasons] = {
        "нет там, где программа хранит копии сейчас (папка данных перенесена или файлы удалены вручную) — %1",
        "под их именем лежит уже другой файл — %1",
        "лежат вне хранилища программы (папка хранилища заменена ссылкой) — %1",
        "нет записи, по которой программа узнала бы записанный ею файл (запись прежней версии) — %1",
        "лежат там, где программа хранит свои копии, но не отмечены как записанные ею (папка "
        "данных скопирована без отметок файлов, импорт прерван в прежней версии программы, или "
        "это файлы пользователя) — %1",
    };
    QStringList out;
    for (int why = 0; why < kReasons; ++why)
        if (counts[why] > 0)
            out << QString::fromUtf8(said[why]).arg(counts[why]);
    return out.join(separator);
}

bool ManagedStore::isOwnTemporary(const QString& path) const
{
    return isTemporaryName(placeOf(path));
}

platform::OwnFileDoor::Outcome ManagedStore::removeFile(const QString& path, const platform::OwnProof& proof,
                                                       QStringList* emptiedFolders) const
{
    const platform::OwnFileDoor::Outcome outcome = m_door.remove(path, proof);
    if (outcome == platform::OwnFileDoor::Outcome::Done)
        emptiedFolders->append(QFileInfo(path).absolutePath());
    return outcome;
}

void ManagedStore::removeCompleteMarkOf(const QString& path) const
{
    // A name only the download gives, beside the file it marked, in a folder of the store.
    if (const Place place = placeAsWritten(path); place.root == Root::Remote && isCopyName(place))
        m_door.remove(path + QStringLiteral(".done"), platform::OwnProof::ownName());
}

void ManagedStore::removeEmptiedFolders(QStringList folders) const
{
    // Only folders left empty go; the store's own folders stay.
    folders.removeDuplicates();
    for (const QString& folder : std::as_const(folders))
        m_door.removeEmptyFolder(folder);
}

namespace {

bool changedSince(const QString& path, const QDateTime& moment)
{
    return moment.isValid() && QFileInfo(path).lastModified() >= moment;
}

} // namespace

platform::OwnProof ManagedStore::proofOf(const db::PendingRemoval& removal) const
{
    const QString& path = removal.filePath;
    const qint64 size = removal.fileSize.value_or(-1);
    if (!removal.contentDigest.isEmpty())
        return platform::OwnProof::recorded(path, size, removal.contentDigest);
    // A record of an earlier version keeps no digest: the file proves the copy the program wrote by
    // its own UIDs, which give its name there, and by the size recorded. A copy the program put
    // beside a file under that name shows that the file there was not its own when it wrote that
    // copy (an earlier version's start took such a user's file for its copy).
    const Place place = placeOf(path);
    std::optional<dicom::DicomFileSummary> summary;
    if (size >= 0 && isCopyName(place) && dicom::isDicomFile(path))
        summary = dicom::readFileSummary(path);
    const QFileInfo info(path);
    const QString beside =
        info.dir().filePath(info.completeBaseName() + QStringLiteral("_1.") + info.suffix());
    if (!summary ||
        !copyNameFits(place, summary->studyInstanceUid, summary->seriesInstanceUid,
                      summary->sopInstanceUid) ||
        QFileInfo::exists(beside))
        return {};
    return platform::OwnProof::recorded(path, size);
}

void ManagedStore::finishRemovals(db::Database& index, const QList<db::PendingRemoval>& removals,
                                  const QDateTime& sparedFrom, SweepReport& report,
                                  QStringList* emptiedFolders, QStringList* waiting) const
{
    using Outcome = platform::OwnFileDoor::Outcome;
    QStringList gone, left;
    for (const db::PendingRemoval& removal : removals) {
        const QString& path = removal.filePath;
        if (!isCopyPlace(path)) {
            // Gone already, or reached outside where the program keeps its copies: left alone.
            const QFileInfo place(path);
            if (place.exists() || place.isSymLink()) {
                report.left.add(LeftFiles::Elsewhere, path);
                left << path;
            } else {
                gone << path;
            }
            continue;
        }
        if (changedSince(path, sparedFrom)) {
            ++report.spared;
            *waiting << path;
            continue;
        }
        const platform::OwnProof proof = proofOf(removal);
        if (proof.isNone()) {
            report.left.add(LeftFiles::Unproven, path);
            left << path;
            continue;
        }
        switch (removeFile(path, proof, emptiedFolders)) {
        case Outcome::Done:
            ++report.removed;
            gone << path;
            break;
        case Outcome::Gone:
            gone << path;
            break;
        case Outcome::Refused:
            // Another file lies under the copy's name than the one the program wrote: not its own.
            report.left.add(LeftFiles::Replaced, path);
            left << path;
            break;
        case Outcome::Failed:
            report.failed << path;
            *waiting << path;
            break;
        }
    }
    for (const QString& path : std::as_const(gone))
        removeCompleteMarkOf(path);
    index.forgetPendingRemovals(gone);
    // Not the program's to remove, nor to list again as its copies: they stay as they are.
    index.leavePendingUnlisted(left);
}

QStringList ManagedStore::removeCopies(db::Database& index, const QStringList& paths, LeftFiles* left) const
{
    const QSet<QString> asked(paths.begin(), paths.end());
    QList<db::PendingRemoval> removals;
    for (const db::PendingRemoval& removal : index.pendingRemovalRecords())
        if (asked.contains(removal.filePath))
            removals << removal;
    SweepReport report;
    QStringList emptied, waiting;
    finishRemovals(index, removals, QDateTime(), report, &emptied, &waiting);
    removeEmptiedFolders(emptied);
    if (left)
        left->add(report.left);
    return report.failed;
}

ManagedStore::SweepReport ManagedStore::sweep(db::Database& index, const QDateTime& sparedFrom,
                                              const Progress& progress, const std::function<bool()>& stop) const
{
    SweepReport report;
    QStringList emptied, waiting;
    // Removals that a kill or a failure left unfinished: their rows went in the same transaction.
    finishRemovals(index, index.pendingRemovalRecords(), sparedFrom, report, &emptied, &waiting);
    walkStore(index, waiting + index.leftUnlisted(), sparedFrom, report, &emptied, progress, stop);
    removeEmptiedFolders(emptied);
    return report;
}

void ManagedStore::walkStore(db::Database& index, const QStringList& waiting, const QDateTime& sparedFrom,
                             SweepReport& report, QStringList* emptiedFolders, const Progress& progress,
                             const std::function<bool()>& stop) const
{
    int unlisted = 0;
    // The window that shows the start's long work comes up on a large store even when nothing is
    // found, and an end asked for meanwhile is seen as soon.
    qint64 steps = 0;
    const auto tick = [&] {
        if ((++steps & 0xff) != 0)
            return false;
        if (progress)
            progress(unlisted, 0);
        if (stop && stop())
            report.stopped = true;
        return report.stopped;
    };
    // Paths by their hashes: a million rows fit in a few megabytes. Two paths of one hash only keep
    // a copy from being indexed again.
    std::vector<size_t> listed;
    const bool read = index.visitFilePaths([&listed, &tick](const QString& path) {
        listed.push_back(qHash(QDir::cleanPath(path)));
        tick();
    });
    if (report.stopped)
        return;
    if (!read)
        report.cause = QStringLiteral("список файлов в локальной базе исследований прочитан не до конца");
    std::sort(listed.begin(), listed.end());
    QSet<QString> pending;
    for (const QString& path : waiting)
        pending.insert(QDir::cleanPath(path));
    // Found copies are listed a batch at a time, each batch in one transaction, as an import lists
    // its files: a commit for each would make a start after a cut import last many times as long.
    // A batch that fails (a full disk, an index held by another program past the time-out) leaves
    // its copies for the next start, and says why.
    constexpr int kFilesAtOnce = 200;
    QList<dicom::DicomFileSummary> found;
    // The objects found so far, whether as the program's copy: of two files of one object (a user's
    // file under the copy's name, the copy beside it) the program's copy is listed.
    QHash<QString, bool> foundObjects;
    const auto indexFound = [&index, &report, &found] {
        for (const QString& error : index.indexFiles(std::exchange(found, {}))) {
            if (error.isEmpty()) {
                ++report.reindexed;
            } else {
                ++report.unlisted;
                report.cause = error;
            }
        }
    };

    for (const auto& [root, folder, canonical] : roots()) {
        if (canonical.isEmpty() || root == Root::Remote)
            continue;
        // Links are neither listed nor followed: below a folder that is no link, the path's own
        // text is then its place.
        QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
        while (it.hasNext() && !tick()) {
            const QString path = QDir::cleanPath(it.next());
            const Place place{root, path.mid(folder.size() + 1).split(QLatin1Char('/'))};
            if (isTemporaryName(place)) {
                if (changedSince(path, sparedFrom))
                    ++report.spared;
                else if (const auto outcome = removeFile(path, platform::OwnProof::ownName(), emptiedFolders);
                         outcome == platform::OwnFileDoor::Outcome::Done || outcome == platform::OwnFileDoor::Outcome::Gone)
                    ++report.removed;
                else
                    report.failed << path;
                continue;
            }
            if (!read || !isCopyName(place) || pending.contains(path) ||
                std::binary_search(listed.begin(), listed.end(), qHash(path)))
                continue;
            // A copy that no row names: its import or retrieve was cut short before the row was
            // written, or the index was replaced by an older one. It is listed again, not lost.
            if (!dicom::isDicomFile(path))
                continue;
            std::optional<dicom::DicomFileSummary> summary = dicom::readFileSummary(path);
            if (!summary
                || !copyNameFits(place, summary->studyInstanceUid, summary->seriesInstanceUid,
                                 summary->sopInstanceUid))
                continue;
            // Its object listed at a copy of the program's that is there: that copy keeps its row (the
            // file found may be a user's under the copy's name beside the program's "_<n>" copy).
            if (const std::optional<db::IndexedFile> listedAt = index.objectFile(summary->sopInstanceUid)) {
                const Standing standing = standingOf(*listedAt);
                if (standing == Standing::Own || standing == Standing::Elsewhere)
                    continue;
            }
            summary->filePath = path;
            // Its folder and name are the ones the program gives this very object's copy; the
            // program's own only when its mark says so and its bytes are still those marked.
            summary->contentDigest = platform::ContentDigest::provenMark(path);
            summary->ownCopy = !summary->contentDigest.isEmpty();
            if (const auto seen = foundObjects.constFind(summary->sopInstanceUid);
                seen != foundObjects.cend()) {
                if (*seen || !summary->ownCopy)
                    continue;
                found.removeIf([&](const dicom::DicomFileSummary& s) {
                    return s.sopInstanceUid == summary->sopInstanceUid;
                });
            }
            foundObjects.insert(summary->sopInstanceUid, summary->ownCopy);
            found.append(*summary);
            if (found.size() >= kFilesAtOnce)
                indexFound();
            if (progress)
                progress(++unlisted, 0);
        }
    }
    // What was read before an end was asked for is listed still: it costs one batch.
    indexFound();
}
