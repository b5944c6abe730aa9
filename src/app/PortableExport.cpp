#include "app/PortableExport.h"

#include "app/RowFileZipSource.h"
#include "app/StagedFolder.h"
#include "app/Startup.h"

#include "db/Database.h"
#include "db/RowFileProof.h"
#include "dicom/DicomCopyWriters.h"
#include "pacs/PacsRetrieveSession.h"
#include "platform/FreeNameWrite.h"
#include "platform/OwnFileDoor.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QThread>

#include <zip.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

QMutex g_programFolderMutex;
QString g_programFolderOverride;

fs::path toPath(const QString& path)
{
    return fs::path(path.toStdU16String());
}

QString fromPath(const fs::path& path)
{
    return QString::fromStdU16String(path.u16string());
}

QString fileNameOf(const QString& path)
{
    QString p = path;
    while (p.size() > 1 && (p.endsWith(QLatin1Char('/')) || p.endsWith(QLatin1Char('\\'))))
        p.chop(1);
    const int slash = std::max(p.lastIndexOf(QLatin1Char('/')), p.lastIndexOf(QLatin1Char('\\')));
    return p.mid(slash + 1);
}

// The name's part from its last "."; "." and ".." and names without a dot have none.
QString extensionOf(const QString& name)
{
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return {};
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot);
}

// True when `inner` is `outer` or lies below it; copying `outer` into `inner` would copy the copy.
bool isInside(const fs::path& inner, const fs::path& outer)
{
    std::error_code ec;
    const fs::path a = fs::weakly_canonical(inner, ec);
    if (ec)
        return false;
    const fs::path b = fs::weakly_canonical(outer, ec);
    if (ec)
        return false;
    auto ai = a.begin();
    for (auto bi = b.begin(); bi != b.end(); ++bi, ++ai) {
        if (bi->empty() && std::next(bi) == b.end())
            break; // trailing separator
        if (ai == a.end() || *ai != *bi)
            return false;
    }
    return true;
}

// The program's own files: top-level entries less the exclusion list; throws fs::filesystem_error.
void copyProgramFiles(const fs::path& target)
{
    const fs::path program = toPath(viewerProgramFolder());
    for (const fs::directory_entry& entry : fs::directory_iterator(program)) {
        if (isExcludedFromViewerCopy(fromPath(entry.path())))
            continue;
        copyOver(entry.path(), target / entry.path().filename());
    }
}

// The bytes of the file at `from` written into the file at `to`, opened with `flags` (and the source's
// permissions when it is made): 0, or the system's error; *readFailed says whether it was the reading
// that failed (the source's part, not the target's).
int copyFileInto(const QByteArray& from, const QByteArray& to, int flags, bool* readFailed)
{
    *readFailed = true;
    // Not held up by a pipe: only a plain file is copied, as the library's copy has it.
    const int in = ::open(from.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0)
        return errno;
    struct stat source {};
    if (::fstat(in, &source) != 0 || !S_ISREG(source.st_mode)) {
        ::close(in);
        return EINVAL;
    }
    const mode_t mode = source.st_mode & 0777;
    *readFailed = false;
    const int out = ::open(to.constData(), flags | O_WRONLY | O_CLOEXEC, mode);
    if (out < 0) {
        const int code = errno;
        ::close(in);
        return code;
    }
    int code = platform::copyAll(in, out, readFailed);
    ::close(in);
    if (::close(out) != 0 && code == 0 && errno != EINTR)
        code = errno;
    return code;
}

// One file of copyOver: written in place over a file of the name, as the library's copy does.
void copyFileOver(const fs::path& from, const fs::path& to)
{
    bool readFailed = false;
    const int code =
        copyFileInto(QByteArray(from.c_str()), QByteArray(to.c_str()), O_CREAT | O_TRUNC, &readFailed);
    if (code != 0 && readFailed)
        throw fs::filesystem_error("cannot copy file", from, std::error_code(code, std::generic_category()));
    if (code != 0)
        throw fs::filesystem_error("cannot copy file", from, to,
                                   std::error_code(code, std::generic_category()));
}

// The target's part when the source's bytes cannot be written into the file at path (made by this
// process): the system's error of that write, or 0 when they went in or the source was what failed.
int targetRefusal(const QString& source, const QString& path)
{
    bool readFailed = false;
    const int code =
        copyFileInto(QFile::encodeName(source), QFile::encodeName(path), O_TRUNC | O_NOFOLLOW, &readFailed);
    return readFailed ? 0 : code;
}

bool fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return false;
}

// The job's refusal once the file at `at` was found holding another object: the files after it are
// looked at too, so that the study is named with how many hold other images now.
bool otherObjectsFrom(const StudyFiles& sources, qsizetype at, QString* error)
{
    return fail(error, otherObjectsRefusal(sources, 1 + dicom::otherObjectsAmong(sources.files.mid(at + 1))));
}

// A numbered copy goes in whole or not at all, under its own name only, and only of its row's object.
bool copyNumbered(const StudyFiles& sources, qsizetype at, const QString& destination, QString* error,
                  platform::DurableBatch* batch)
{
    const dicom::RowFile& source = sources.files.at(at);
    QString why;
    const dicom::RowFileTaken taken =
        dicom::copyRowFile(source, destination, &why, platform::TakenName::Fail, batch);
    if (taken == dicom::RowFileTaken::OtherObject)
        return otherObjectsFrom(sources, at, error);
    return taken == dicom::RowFileTaken::Taken ||
           fail(error, QStringLiteral("Не удалось скопировать %1: %2").arg(source.path, why));
}

// A DICOM copy its writer makes by path, taken as whole only once its bytes are on the disk.
bool placeNumbered(const QString& destination, const std::function<bool(const QString& partial)>& write,
                   QString* why, platform::DurableBatch* batch)
{
    return !platform::writeUnderFreeName(destination, write, why, platform::TakenName::Fail, batch).isEmpty();
}

// The compressed copy into the door's partial file. Its plain copy (of pixels it cannot compress)
// never writes over a file, so it writes where nothing lies, beside the partial file, and that file
// then takes the partial one's place. The writer says it could not copy the source when it was the
// target that refused the bytes: a plain copy into the partial file, which never stays (the copy has
// failed), tells whose part it was, and *targetFailed then says so, *why giving the system's cause (a
// full or vanished drive).
bool compressInto(const dicom::RowFile& source, const QString& partial, QString* why, bool* targetFailed,
                  dicom::RowFileTaken* taken)
{
    *targetFailed = false;
    const platform::FileId empty = platform::FileId::of(partial);
    const QString fresh = partial + QStringLiteral(".dcm");
    if (!dicom::writeCompressedCopy(source.path, fresh, why, source.object, taken)) {
        // Another object, or a source that changed as it was read, is the source's part.
        const bool sourcesPart =
            *taken == dicom::RowFileTaken::OtherObject || *taken == dicom::RowFileTaken::Changed;
        if (const int refused = sourcesPart ? 0 : targetRefusal(source.path, partial);
            refused != 0) {
            *targetFailed = true;
            *why = platform::writeFailureCause(refused);
        } else {
            why->replace(fresh, partial);
        }
        return false;
    }
    const platform::OwnFileDoor door({QFileInfo(partial).absolutePath()});
    const platform::FileId made = platform::FileId::of(fresh);
    if (door.rename(fresh, made, partial, platform::OwnProof::made(empty), why) ==
        platform::OwnFileDoor::Outcome::Done)
        return true;
    door.remove(fresh, platform::OwnProof::made(made));
    return false;
}

} // namespace

bool isExcludedFromViewerCopy(const QString& path)
{
    const QString name = fileNameOf(path);
    if (name == QLatin1String("mac_portable") || name == QLatin1String("windows_portable"))
        return true;
    static const QStringList excluded = {QStringLiteral(".sqlite3"), QStringLiteral(".pdb"), QStringLiteral(".lib"),
                                         QStringLiteral(".exp"), QStringLiteral(".ilk")};
    return excluded.contains(extensionOf(name));
}

QString viewerProgramFolder()
{
    QMutexLocker lock(&g_programFolderMutex);
    return g_programFolderOverride.isEmpty() ? programFolder() : g_programFolderOverride;
}

void setViewerProgramFolderOverride(const QString& folder)
{
    QMutexLocker lock(&g_programFolderMutex);
    g_programFolderOverride = folder;
}

QString macPortableBundlePath()
{
    const QString path = QDir(viewerProgramFolder()).filePath(QStringLiteral("mac_portable/Kalvenor.app"));
    return QFileInfo(path).isDir() ? path : QString();
}

QString windowsPortableFolderPath()
{
    const QString path = QDir(viewerProgramFolder()).filePath(QStringLiteral("windows_portable"));
    return QFileInfo::exists(QDir(path).filePath(QStringLiteral("VavovIvirur.exe"))) ? path : QString();
}

bool folderHasVisibleEntries(const QString& folder)
{
    return !QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty();
}

std::optional<db::StudyRecord> findStudy(const db::Database& index, const QString& studyUid)
{
    return index.studyRecord(studyUid);
}

namespace {

// replaced counts the files that hold other images now than their rows name: they are not listed.
QList<dicom::RowFile> studyFileList(const db::Database& index, const QString& studyUid,
                                    int* replaced = nullptr)
{
    QList<dicom::RowFile> files;
    QSet<QString> seen;
    int other = 0;
    for (const db::SeriesRecord& series : index.seriesForStudy(studyUid)) {
        int otherInSeries = 0;
        const QList<db::InstanceRecord> rows =
            index.instancesForSeries(series.seriesInstanceUid, &otherInSeries);
        for (const db::InstanceRecord& row : rows)
            if (!seen.contains(row.filePath)) {
                seen.insert(row.filePath);
                files.append({row.filePath, {row.sopInstanceUid, row.fileVersion}});
            }
        other += otherInSeries;
    }
    if (replaced)
        *replaced = other;
    return files;
}

} // namespace

QString stillReceivingRefusal(const db::Database& index, const QString& studyUid)
{
    if (!pacs::PacsRetrieveSession::isReceiving(studyUid))
        return {};
    return pacs::PacsRetrieveSession::stillReceivingText(int(studyFileList(index, studyUid).size()))
        + QStringLiteral(" Повторите после окончания загрузки или после её отмены.");
}

StudyFiles exportFileList(const db::Database& index, const QString& studyUid, QString* refusal)
{
    QString why = stillReceivingRefusal(index, studyUid);
    StudyFiles files{{}, studyUid, index.studyRecord(studyUid)};
    if (why.isEmpty()) {
        // A copy without them would pass for the whole study; one with them would carry another
        // patient's images under this one's name.
        int replaced = 0;
        files.files = studyFileList(index, studyUid, &replaced);
        if (replaced > 0) {
            files.files.clear();
            why = otherObjectsRefusal(files, replaced);
        }
    }
    if (refusal)
        *refusal = why;
    return files;
}

QString otherObjectsRefusal(const StudyFiles& study, int files)
{
    return db::replacedFilesText(study.study, study.studyUid, files) +
           QStringLiteral(" Исследование не передано, чтобы чужие снимки не ушли под этим пациентом. "
                          "Импортируйте папку с исследованием заново.");
}

QString firstFreePath(const QString& folder, const QString& stem, const QString& suffix,
                      const std::function<bool(const QString&)>& taken)
{
    const QDir base(folder);
    QString candidate = base.filePath(stem + suffix);
    for (int n = 2; taken(candidate); ++n)
        candidate = base.filePath(QStringLiteral("%1_%2%3").arg(stem).arg(n).arg(suffix));
    return candidate;
}

QString exportFileName(int counter)
{
    return QStringLiteral("IMG_%1.dcm").arg(counter, 6, 10, QLatin1Char('0'));
}

QString programFolderOverlap(const QString& target)
{
    const QString program = viewerProgramFolder();
    // The copy of the program folder would land inside itself and carry itself along.
    if (isInside(toPath(target), toPath(program)))
        return QStringLiteral("Папка назначения находится внутри папки программы (%1) — выберите другую папку.")
            .arg(QDir::toNativeSeparators(program));
    // Writing over such a folder would remove the running program with it.
    if (isInside(toPath(program), toPath(target)))
        return QStringLiteral("Папка назначения содержит папку программы (%1) — выберите другую папку.")
            .arg(QDir::toNativeSeparators(program));
    return {};
}

void copyOver(const fs::path& from, const fs::path& to)
{
    if (!fs::is_directory(from)) {
        copyFileOver(from, to);
        return;
    }
    fs::create_directory(to);
    for (const fs::directory_entry& entry : fs::directory_iterator(from))
        copyOver(entry.path(), to / entry.path().filename());
}

QString unconfirmedText(const QList<platform::DurableBatch::Struck>& struck)
{
    if (struck.isEmpty())
        return {};
    QString text = QStringLiteral("Ошибка копирования: %1 (%2)")
                       .arg(struck.first().cause, QDir::toNativeSeparators(struck.first().path));
    if (struck.size() > 1)
        text += QStringLiteral("\nНе записано на диск файлов: %1").arg(struck.size());
    return text;
}

bool writePortableFolderFiles(const StudyFiles& sources, const QString& target, bool anonymise,
                              bool compress, QString* error, dicom::LeftOutCount* leftOut,
                              platform::DurableBatch* batch)
{
    if (leftOut)
        *leftOut = {};
    try {
        const fs::path targetPath = toPath(target);
        if (const QString refusal = programFolderOverlap(target); !refusal.isEmpty())
            return fail(error, refusal);
        fs::create_directories(targetPath);
        // Not told written before all of it has reached the disk, when no caller does that.
        std::optional<platform::DurableBatch> own;
        if (!batch)
            batch = &own.emplace(target);
        copyProgramFiles(targetPath);

        const QString marker = QDir(target).filePath(QStringLiteral("portable.marker"));
        const int made =
            ::open(QFile::encodeName(marker).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (made < 0 || ::close(made) != 0)
            return fail(error,
                        QStringLiteral("Не удалось создать portable.marker: %1 (%2)")
                            .arg(platform::writeFailureCause(errno), QDir::toNativeSeparators(marker)));

        const QDir dicom(QDir(target).filePath(QStringLiteral("DICOM")));
        QDir().mkpath(dicom.path());
        const QString anonymous = QStringLiteral("ANONYMOUS");
        int counter = 0;
        dicom::LeftOutCount left;
        for (qsizetype at = 0; at < sources.files.size(); ++at) {
            const QString& source = sources.files.at(at).path;
            const QString destination = dicom.filePath(exportFileName(counter + 1));
            QString why;
            QString placing; // why a copy written whole did not reach the disk or its name
            dicom::RowFileTaken taken = dicom::RowFileTaken::Taken;
            if (anonymise) {
                dicom::LeftOut leftOutWhy = dicom::LeftOut::Nothing;
                bool anonymised = false;
                bool compressed = false;
                const bool placed = placeNumbered(
                    destination,
                    [&](const QString& partial) {
                        anonymised =
                            dicom::writeAnonymizedCopy(source, partial, anonymous, anonymous, &why,
                                                       &leftOutWhy, sources.files.at(at).object, &taken);
                        compressed = anonymised && leftOutWhy == dicom::LeftOut::Nothing &&
                                     (!compress || dicom::writeCompressedCopy(partial, partial, &why));
                        why.replace(partial, destination); // the name the copy was to take
                        return compressed;
                    },
                    &placing, batch);
                if (taken == dicom::RowFileTaken::OtherObject)
                    return otherObjectsFrom(sources, at, error);
                if (!anonymised)
                    return fail(error, QStringLiteral("Не удалось анонимизировать %1: %2").arg(source, why));
                if (leftOutWhy != dicom::LeftOut::Nothing) {
                    left.add(leftOutWhy);
                    if (leftOut)
                        *leftOut = left;
                    continue; // the numbering stays without gaps
                }
                if (!compressed)
                    return fail(error, QStringLiteral("Не удалось сжать %1: %2").arg(destination, why));
                if (!placed)
                    return fail(error,
                                QStringLiteral("Не удалось записать %1: %2").arg(destination, placing));
            } else if (compress) {
                bool compressed = false;
                bool targetFailed = false;
                if (!placeNumbered(
                        destination,
                        [&](const QString& partial) {
                            compressed = compressInto(sources.files.at(at), partial, &why, &targetFailed, &taken);
                            why.replace(partial, destination); // the name the copy was to take
                            return compressed;
                        },
                        &placing, batch))
                    return taken == dicom::RowFileTaken::OtherObject
                               ? otherObjectsFrom(sources, at, error)
                               : fail(error,
                                      compressed
                                          ? QStringLiteral("Не удалось записать %1: %2").arg(destination, placing)
                                          : QStringLiteral("Не удалось сжать %1: %2")
                                                .arg(targetFailed ? destination : source, why));
            } else if (!copyNumbered(sources, at, destination, error, batch)) {
                return false;
            }
            ++counter;
        }
        if (counter == 0 && left.total() != 0)
            return fail(error, dicom::nothingLeftToCopyText(left));
        if (counter == 0)
            return fail(error, QStringLiteral("В исследовании не найдено ни одного файла для копирования"));
        const QList<platform::DurableBatch::Struck> struck =
            own ? own->confirm() : QList<platform::DurableBatch::Struck>();
        return struck.isEmpty() || fail(error, unconfirmedText(struck));
    } catch (const fs::filesystem_error& e) {
        return fail(error, fileCopyFailure(e));
    }
}

bool copyFilesNumbered(const StudyFiles& sources, const QString& folder, QString* error, QStringList* written,
                       platform::DurableBatch* batch)
{
    std::optional<platform::DurableBatch> own;
    if (!batch)
        batch = &own.emplace(folder);
    const QDir dir(folder);
    for (qsizetype at = 0; at < sources.files.size(); ++at) {
        const QString destination = dir.filePath(exportFileName(int(at) + 1));
        if (!copyNumbered(sources, at, destination, error, batch))
            return false;
        if (written)
            *written << destination;
    }
    const QList<platform::DurableBatch::Struck> struck =
        own ? own->confirm() : QList<platform::DurableBatch::Struck>();
    return struck.isEmpty() || fail(error, unconfirmedText(struck));
}

namespace {

using Progress = std::function<void(int, int)>;

bool packsIntoZip(const fs::path& file)
{
    return extensionOf(fromPath(file.filename())) != QLatin1String(".sqlite3");
}

// The entry name of a program file: its path relative to the program folder with "/" separators.
// A symbolic link that leads out of the folder keeps its own place, so no name climbs out with "..".
QByteArray programEntryName(const fs::path& file, const fs::path& program, const fs::path& canonicalProgram)
{
    std::error_code ec;
    fs::path relative = fs::weakly_canonical(file, ec).lexically_relative(canonicalProgram);
    if (ec || relative.empty() || relative.is_absolute() || *relative.begin() == "..")
        relative = file.lexically_relative(program);
    return fromPath(relative.generic_u16string()).replace(QLatin1Char('\\'), QLatin1Char('/')).toUtf8();
}

// Registering the entries takes the first 15 of the 100 units, writing them the rest, so that the
// bar climbs once instead of filling and starting over.
constexpr int RegistrationShare = 15;

void progressTrampoline(zip_t*, double fraction, void* state)
{
    const int value = RegistrationShare + static_cast<int>(fraction * (100 - RegistrationShare));
    (*static_cast<Progress*>(state))(value, 100);
}

void freeProgress(void* state)
{
    delete static_cast<Progress*>(state);
}

// What libzip met, in the user's words when the system refused it (a full disk above all).
QString zipFailureCause(zip_error_t* why)
{
    if (zip_error_system_type(why) == ZIP_ET_SYS && zip_error_code_system(why) != 0)
        return platform::writeFailureCause(zip_error_code_system(why));
    return QString::fromUtf8(zip_error_strerror(why));
}

} // namespace

bool writePortableZip(const StudyFiles& inputFiles, const QString& archivePath, QString* error,
                      Progress progress, const QString& shownPath)
{
    const QString shown = QDir::toNativeSeparators(shownPath.isEmpty() ? archivePath : shownPath);
    ZipRowFileRefusal refusal; // outlives the archive's sources
    int code = 0;
    zip_t* archive = zip_open(QFile::encodeName(archivePath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive) {
        zip_error_t why;
        zip_error_init_with_code(&why, code);
        const QString text = zipFailureCause(&why);
        zip_error_fini(&why);
        return fail(error, QStringLiteral("Не удалось создать архив %1: %2").arg(shown, text));
    }
    try {
        const fs::path program = toPath(viewerProgramFolder());
        int programFiles = 0;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(program))
            if (entry.is_regular_file() && packsIntoZip(entry.path()))
                ++programFiles;
        const int total = programFiles + int(inputFiles.files.size()) + 1;
        int done = 0;
        auto step = [&] {
            ++done;
            if (progress)
                progress(static_cast<int>(done * double(RegistrationShare) / total), 100);
        };

        int counter = 0;
        for (qsizetype at = 0; at < inputFiles.files.size(); ++at) {
            // libzip opens a file source only while writing, so a missing file would make the whole
            // archive fail at the end: an input that cannot be read now is left out here.
            zip_source_t* source = QFile(inputFiles.files.at(at).path).open(QIODevice::ReadOnly)
                                       ? rowFileZipSource(archive, inputFiles.files.at(at), at, &refusal)
                                       : nullptr;
            if (source) {
                const QByteArray name = (QStringLiteral("DICOM/") + exportFileName(++counter)).toUtf8();
                if (zip_file_add(archive, name.constData(), source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0)
                    zip_source_free(source);
            }
            step();
        }
        if (counter == 0) {
            zip_discard(archive);
            return fail(error, QStringLiteral("Не удалось добавить в архив ни одного файла"));
        }

        if (zip_source_t* marker = zip_source_buffer(archive, nullptr, 0, 0)) {
            if (zip_file_add(archive, "portable.marker", marker, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0)
                zip_source_free(marker);
        }
        step();

        const fs::path canonicalProgram = fs::weakly_canonical(program);
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(program)) {
            if (!entry.is_regular_file() || !packsIntoZip(entry.path()))
                continue;
            const QByteArray name = programEntryName(entry.path(), program, canonicalProgram);
            zip_source_t* source = QFile(fromPath(entry.path())).open(QIODevice::ReadOnly)
                ? zip_source_file_create(entry.path().c_str(), 0, -1, nullptr)
                : nullptr;
            if (source && zip_file_add(archive, name.constData(), source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0)
                zip_source_free(source);
            step();
        }
    } catch (const std::exception& e) {
        zip_discard(archive);
        return fail(error, QStringLiteral("Ошибка при упаковке среды выполнения: %1").arg(QString::fromUtf8(e.what())));
    }

    if (progress)
        zip_register_progress_callback_with_state(archive, 0.005, progressTrampoline, freeProgress,
                                                  new Progress(progress));
    if (zip_close(archive) < 0) {
        const QString cause = zipFailureCause(zip_get_error(archive));
        // A failed close leaves the archive open with its temporary file; discarding removes both, so
        // no half-written archive stays behind.
        zip_discard(archive);
        if (refusal.taken == dicom::RowFileTaken::OtherObject)
            return otherObjectsFrom(inputFiles, refusal.at, error);
        if (refusal.at >= 0)
            return fail(error, QStringLiteral("Не удалось скопировать %1: %2")
                                   .arg(inputFiles.files.at(refusal.at).path, refusal.why));
        return fail(error, QStringLiteral("Не удалось сохранить файл архива %1: %2").arg(shown, cause));
    }
    return true;
}

bool runWithoutFreezing(const std::function<bool()>& work)
{
    bool result = false;
    QThread* thread = QThread::create([&] { result = work(); });
    QEventLoop loop;
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    thread->wait();
    delete thread;
    return result;
}
