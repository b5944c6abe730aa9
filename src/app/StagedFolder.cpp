#include "app/StagedFolder.h"

#include "platform/FreeNameWrite.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <filesystem>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path toPath(const QString& path)
{
    return fs::path(path.toStdU16String());
}

// A hidden name beside the target that no other run picks: ".<name>.<what>-<random>".
fs::path hiddenSibling(const fs::path& target, const char* what)
{
    const QString name = QString::fromStdU16String(target.filename().u16string());
    const QString suffix = QString::number(QRandomGenerator::global()->generate64(), 36);
    const QString hidden = QStringLiteral(".%1.%2-%3").arg(name, QLatin1String(what), suffix);
    return target.parent_path() / fs::path(hidden.toStdU16String());
}

// Inside a staging folder: its own name, written when it was made.
constexpr char kMark[] = ".kalvenor-staging";

// The mark of a new staging folder, locked for as long as the folder is written: its descriptor, or -1
// when none could be made (such a folder is then never taken for a left one).
int makeMark(const fs::path& staging)
{
    const int fd =
        ::open((staging / kMark).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    const std::string name = staging.filename().string();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        platform::writeAll(fd, name.data(), qint64(name.size())) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the folder is a staging folder that an export left: its mark, no link, names that very
// folder (a copy of it under another name, or the user's folder of a like name, is not one) and no
// export holds its lock. The mark's descriptor, locked, goes to *held.
bool isLeftStaging(const fs::path& folder, int* held)
{
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return false;
    const int mark = ::openat(dir, kMark, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(dir);
    if (mark < 0)
        return false;
    const std::string name = folder.filename().string();
    std::string said(name.size() + 1, '\0');
    struct stat info {};
    const bool proven = ::fstat(mark, &info) == 0 && S_ISREG(info.st_mode) &&
                        ::flock(mark, LOCK_EX | LOCK_NB) == 0 &&
                        ::read(mark, said.data(), said.size()) == ssize_t(name.size()) &&
                        said.compare(0, name.size(), name) == 0;
    if (!proven) {
        ::close(mark);
        return false;
    }
    *held = mark;
    return true;
}

// Removes the staging folders left beside target by exports cut short.
void removeLeftStaging(const fs::path& target)
{
    std::error_code ec;
    for (fs::directory_iterator it(target.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        int held = -1;
        // Only the name's form picks the candidates; the mark decides.
        if (name.size() < 2 || name[0] != '.' || name.find(".partial-") == std::string::npos ||
            !isLeftStaging(it->path(), &held))
            continue;
        std::error_code ignored; // links inside are removed, never followed
        fs::remove_all(it->path(), ignored);
        ::close(held);
    }
}

} // namespace

QString fileCopyFailure(const fs::filesystem_error& e)
{
    const QString cause =
        e.code().category() == std::generic_category() || e.code().category() == std::system_category()
            ? platform::writeFailureCause(e.code().value())
            : QString::fromUtf8(e.what());
    // A copy names its source first and what it was writing second: the place written is meant.
    const fs::path& where = e.path2().empty() ? e.path1() : e.path2();
    return where.empty()
               ? QStringLiteral("Ошибка копирования: %1").arg(cause)
               : QStringLiteral("Ошибка копирования: %1 (%2)")
                     .arg(cause, QDir::toNativeSeparators(QString::fromStdU16String(where.u16string())));
}

StagedFolder::StagedFolder(const QString& target)
    : m_target(QDir::cleanPath(QFileInfo(target).absoluteFilePath()))
{
    const fs::path wanted = toPath(m_target);
    removeLeftStaging(wanted);
    try {
        for (int attempt = 0; attempt < 8 && m_staging.isEmpty(); ++attempt) {
            const fs::path staging = hiddenSibling(wanted, "partial");
            if (fs::create_directory(staging)) {
                m_staging = QString::fromStdU16String(staging.u16string());
                m_mark = makeMark(staging);
            }
        }
        if (m_staging.isEmpty())
            throw fs::filesystem_error("cannot create a staging folder", wanted,
                                       std::make_error_code(std::errc::file_exists));
    } catch (const fs::filesystem_error& e) {
        m_error = fileCopyFailure(e);
    }
}

StagedFolder::~StagedFolder()
{
    if (!m_committed && !m_staging.isEmpty()) {
        std::error_code ignored; // links inside are removed, never followed
        fs::remove_all(toPath(m_staging), ignored);
    }
    if (m_mark >= 0)
        ::close(m_mark);
}

bool StagedFolder::commit(bool replaceTarget, QString* error)
{
    if (!isValid()) {
        if (error)
            *error = m_error;
        return false;
    }
    const fs::path target = toPath(m_target);
    const fs::path staging = toPath(m_staging);
    try {
        // Gone before the folder takes its name: were the program stopped in between, a complete folder
        // would stay hidden rather than a marked one stand under the final name.
        fs::remove(staging / kMark);
        const fs::file_status there = fs::symlink_status(target);
        if (!fs::exists(there)) {
            fs::rename(staging, target);
        } else if (replaceTarget) {
            // The old folder steps aside under a hidden name first: were the program stopped in
            // between, the final name would be free rather than half old and half new.
            const fs::path old = hiddenSibling(target, "replaced");
            fs::rename(target, old);
            try {
                fs::rename(staging, target);
            } catch (const fs::filesystem_error&) {
                std::error_code ignored;
                fs::rename(old, target, ignored);
                throw;
            }
            std::error_code ignored;
            fs::remove_all(old, ignored);
        } else {
            if (!fs::is_directory(fs::status(target)))
                throw fs::filesystem_error("cannot write into", target,
                                           std::make_error_code(std::errc::not_a_directory));
            // Checked before anything moves, so that a clash leaves the folder as it was.
            std::vector<fs::path> names;
            for (const fs::directory_entry& entry : fs::directory_iterator(staging)) {
                names.push_back(entry.path().filename());
                if (fs::exists(fs::symlink_status(target / names.back())))
                    throw fs::filesystem_error("cannot write", target / names.back(),
                                               std::make_error_code(std::errc::file_exists));
            }
            for (const fs::path& name : names)
                fs::rename(staging / name, target / name);
            std::error_code ignored;
            fs::remove(staging, ignored);
        }
    } catch (const fs::filesystem_error& e) {
        if (error)
            *error = fileCopyFailure(e);
        return false;
    }
    m_committed = true;
    // The folder's new name and its mark's going are written back later than its files: pulled out
    // now, the drive would hold only the hidden folder. Under its name whatever the sync says, it stays.
    if (const int lost = platform::syncNamesIn(QString::fromStdU16String(target.parent_path().u16string()));
        lost != 0) {
        if (error)
            *error = QStringLiteral("Ошибка копирования: %1 (%2)")
                         .arg(platform::nameMayNotBeOnDisk(lost), QDir::toNativeSeparators(m_target));
        return false;
    }
    return true;
}
