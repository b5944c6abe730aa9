#pragma once
// Changes a file at the moment a reader has read and checked its header and not yet read the values
// it left in the file, its pixels among them (the readers' test hook): another file renamed over it,
// as rsync and the tag editor save, or its times moved with its bytes as they were. Or at a moment of
// a copy of it.

#include "dicom/DicomFileLoading.h"
#include "dicom/RowFileCopy.h"
#include "support/DicomFixtures.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <QDir>
#include <QFile>
#include <QString>

#include <atomic>
#include <functional>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>

namespace fixtures {

// `change` runs once, on the thread of the first read of `path` that reaches that moment; the hook
// stays until this object goes, so that reads on other threads meanwhile find it in place.
class ChangeBeforeValues
{
public:
    ChangeBeforeValues(const QString& path, std::function<void()> change)
        : m_path(path), m_change(std::move(change))
    {
        dicom::testing::setBeforeValuesHook(&ChangeBeforeValues::reached, this);
    }
    ~ChangeBeforeValues() { dicom::testing::setBeforeValuesHook(nullptr, nullptr); }
    ChangeBeforeValues(const ChangeBeforeValues&) = delete;
    ChangeBeforeValues& operator=(const ChangeBeforeValues&) = delete;

    bool happened() const { return m_done.load(); }

private:
    static void reached(const QString& path, void* self)
    {
        auto* change = static_cast<ChangeBeforeValues*>(self);
        if (path == change->m_path && !change->m_done.exchange(true))
            change->m_change();
    }

    QString m_path;
    std::function<void()> m_change;
    std::atomic_bool m_done{false};
};

// Changes a file at a moment of a copy of it for its index row (dicom/RowFileCopy.h): the listing done
// and the file about to be opened, or opened and its bytes not yet read. `change` runs once, on the
// copying thread.
class ChangeDuringCopy
{
  public:
    ChangeDuringCopy(const QString& path, dicom::testing::CopyMoment moment, std::function<void()> change)
        : m_path(path), m_moment(moment), m_change(std::move(change))
    {
        dicom::testing::setCopyHook(&ChangeDuringCopy::reached, this);
    }
    ~ChangeDuringCopy() { dicom::testing::setCopyHook(nullptr, nullptr); }
    ChangeDuringCopy(const ChangeDuringCopy&) = delete;
    ChangeDuringCopy& operator=(const ChangeDuringCopy&) = delete;

    bool happened() const { return m_done.load(); }

  private:
    static void reached(const QString& path, dicom::testing::CopyMoment moment, void* self)
    {
        auto* change = static_cast<ChangeDuringCopy*>(self);
        if (path == change->m_path && moment == change->m_moment && !change->m_done.exchange(true))
            change->m_change();
    }

    QString m_path;
    dicom::testing::CopyMoment m_moment;
    std::function<void()> m_change;
    std::atomic_bool m_done{false};
};

// A file of `layout` at over a megabyte (its pixels are read after its header, not with it) that holds
// HU 100, and one of its layout to put over it that holds HU 200 (300 stored, intercept -100), with a
// longer header when `longerHeader`: a read that takes one's header and the other's pixels shows
// neither value. Both under folder, named after tag.
struct FileAndReplacement
{
    QString file;
    QString other;
};

inline FileAndReplacement writeFileAndReplacement(SeriesLayout layout, const QString& folder,
                                                  const QString& tag, bool longerHeader)
{
    layout.rows = 1024;
    layout.columns = 600;
    layout.value = [](int, int, int) { return 100; };
    SeriesLayout second = layout;
    second.value = [](int, int, int) { return 300; };
    second.rescaleIntercept = -100.0;
    if (longerHeader) {
        second.customize = [](DcmDataset& ds, int) {
            ds.putAndInsertString(DCM_ImageComments, QByteArray(3002, 'x').constData());
        };
    }
    const QDir dir(folder);
    return {writeSlice(dir.filePath(QStringLiteral("read_%1.dcm").arg(tag)), layout, 0),
            writeSlice(dir.filePath(QStringLiteral("over_%1.dcm").arg(tag)), second, 0)};
}

inline bool renameOver(const QString& from, const QString& to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// Sets the file's times ten seconds on, as a touch does, its bytes unchanged: whatever the clock's
// grain, the file's identity moves.
inline bool touchLater(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    timespec times[2] = {info.st_atim, info.st_mtim};
    times[0].tv_sec += 10;
    times[1].tv_sec += 10;
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

} // namespace fixtures
