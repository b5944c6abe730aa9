#include "dicom/RowFileCopy.h"

#include "dicom/FileDescriptorStream.h"

#include <QCoreApplication>

#include <dcmtk/dcmdata/dcfilefo.h>

#include <cerrno>

namespace dicom {

namespace {

struct
{
    void (*hook)(const QString& path, testing::CopyMoment moment, void* context) = nullptr;
    void* context = nullptr;
} copyHook;

} // namespace

QList<RowFile> filesForThemselves(const QStringList& paths)
{
    QList<RowFile> files;
    files.reserve(paths.size());
    for (const QString& path : paths)
        files.append({path, {}});
    return files;
}

QString changedDuringCopyText()
{
    return QCoreApplication::translate("dicom", "Файл изменился во время копирования");
}

RowFileOpening openRowFile(const RowFile& row)
{
    errno = 0;
    const std::shared_ptr<const OpenedFile> opened = OpenedFile::open(row.path);
    if (!opened)
        return {nullptr, RowFileTaken::Failed,
                errno != 0 ? platform::unreadableSource(errno)
                           : QCoreApplication::translate("dicom", "исходный файл не читается: это не файл")};
    const RowObject& object = row.object;
    if (object.heldWithoutReading(opened->identity().text()))
        return {opened, RowFileTaken::Taken, {}};
    // Another version than the one listed: it holds the object when the load of an opening names it, and
    // that opening is what is taken.
    DcmFileFormat file;
    ParseHazard hazard = ParseHazard::None;
    FileOpening loaded;
    const OFCondition status =
        loadDicomFile(file, row.path, ValueLoading::Lazy, &hazard, nullptr, &loaded, object);
    if (status.good() && loaded.file)
        return {loaded.file, RowFileTaken::Taken, {}};
    const RowFileTaken taken = refusalOfLoad(object, loaded, hazard);
    return {nullptr, taken,
            taken == RowFileTaken::Changed       ? changedDuringCopyText()
            : taken == RowFileTaken::OtherObject ? parseHazardText(ParseHazard::OtherObject)
                                                 : loadFailureReason(row.path, status, hazard)};
}

RowFileTaken refusalOfLoad(const RowObject& row, const FileOpening& opening, ParseHazard hazard)
{
    if (hazard == ParseHazard::OtherObject)
        return RowFileTaken::OtherObject;
    // Another patient's image is named only when one was read: a file the same disc is being copied over
    // again reads cut or half written, and is told as the change it is.
    if (hazard == ParseHazard::Changed ||
        (!row.isEmpty() && opening.file && !row.heldWithoutReading(opening.file->identity().text())))
        return RowFileTaken::Changed;
    return RowFileTaken::Failed;
}

RowFileTaken copyRowFile(const RowFile& row, const QString& target, QString* why, platform::TakenName taken,
                         platform::DurableBatch* batch)
{
    testing::reachCopyMoment(row.path, testing::CopyMoment::BeforeOpening);
    const RowFileOpening opening = openRowFile(row);
    if (!opening.file) {
        if (why)
            *why = opening.why;
        return opening.taken;
    }
    return copyOpenedFile(*opening.file, target, why, taken, batch);
}

RowFileTaken copyOpenedFile(const OpenedFile& file, const QString& target, QString* why,
                            platform::TakenName taken, platform::DurableBatch* batch)
{
    testing::reachCopyMoment(file.path(), testing::CopyMoment::Opened);
    bool changed = false;
    const auto changedMeanwhile = [&] {
        changed = file.changedSinceOpened();
        return changed ? changedDuringCopyText() : QString();
    };
    QString cause;
    if (!platform::copyUnderFreeName(file.descriptor(), target, changedMeanwhile, &cause, taken, batch).isEmpty())
        return RowFileTaken::Taken;
    if (why)
        *why = cause;
    return changed ? RowFileTaken::Changed : RowFileTaken::Failed;
}

int otherObjectsAmong(const QList<RowFile>& files)
{
    int other = 0;
    for (const RowFile& file : files)
        other += openRowFile(file).taken == RowFileTaken::OtherObject ? 1 : 0;
    return other;
}

namespace testing {

void setCopyHook(void (*hook)(const QString& path, CopyMoment moment, void* context), void* context)
{
    copyHook = {hook, context};
}

void reachCopyMoment(const QString& path, CopyMoment moment)
{
    if (copyHook.hook)
        copyHook.hook(path, moment, copyHook.context);
}

} // namespace testing

} // namespace dicom
