#include "app/StagedFolder.h"

#include "platform/FreeNameWrite.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <filesystem>
#include <system_error>
#include <vector>

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
    try {
        for (int attempt = 0; attempt < 8 && m_staging.isEmpty(); ++attempt) {
            const fs::path staging = hiddenSibling(wanted, "partial");
            if (fs::create_directory(staging))
                m_staging = QString::fromStdU16String(staging.u16string());
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
    if (m_committed || m_staging.isEmpty())
        return;
    std::error_code ignored; // links inside are removed, never followed
    fs::remove_all(toPath(m_staging), ignored);
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
    return true;
}
