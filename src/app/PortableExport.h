#pragma once
// Copies of studies that leave the workstation: the portable study folder with the program's own
// files, the plain archive copy and their folder names. Everything here works on file paths only, so
// the long copies can run off the GUI thread; the index is read by the caller beforehand.

#include "db/StudyRecord.h"
#include "dicom/DicomCopyWriters.h"
#include "dicom/RowFileCopy.h"
#include "platform/FreeNameWrite.h"
#include "platform/SafeFileName.h"

#include <QString>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <optional>

namespace db {
class Database;
}

// True for top-level program entries that a viewer copy leaves out.
bool isExcludedFromViewerCopy(const QString& path);

// The folder whose entries a viewer copy carries: the running executable's folder, unless a test has
// pointed it elsewhere with setViewerProgramFolderOverride (an empty path restores the default).
QString viewerProgramFolder();
void setViewerProgramFolderOverride(const QString& folder);

// "mac_portable/Kalvenor.app" and "windows_portable" of the program folder, or empty when absent.
QString macPortableBundlePath();
QString windowsPortableFolderPath();

// True when the folder holds an entry other than hidden or system ones.
bool folderHasVisibleEntries(const QString& folder);

// The indexed study with that UID, or nothing when the index does not hold it.
std::optional<db::StudyRecord> findStudy(const db::Database& index, const QString& studyUid);

// A study's files as a job that copies or sends them out takes them: each with the object its index
// rows name there, which the job proves from the bytes it takes (dicom::RowFile), and the study, which
// the job names when files of it hold other images by then.
struct StudyFiles
{
    QList<dicom::RowFile> files;
    QString studyUid{};
    std::optional<db::StudyRecord> study{};
};

// The study's files in series order then instance order, each file once (a multi-frame file has one
// index row per frame but is exported once): what a job that copies or sends the study out takes.
// While a retrieve still adds objects to the study, a copy of what is there now would pass for the
// whole of it: the list is then empty and `refusal` says so, with how many objects the study holds.
// So it is, naming the study, when files of it hold other images now than the index lists there.
StudyFiles exportFileList(const db::Database& index, const QString& studyUid, QString* refusal);
// Why a job does not take the study out: `files` of its files hold other images now than the index
// lists there. The study is named.
QString otherObjectsRefusal(const StudyFiles& study, int files);
// The refusal exportFileList gives now: empty when the study's files may be taken.
QString stillReceivingRefusal(const db::Database& index, const QString& studyUid);

// The first of folder/stem+suffix, folder/stem_2+suffix, folder/stem_3+suffix, ... that is not taken.
QString firstFreePath(const QString& folder, const QString& stem, const QString& suffix,
                      const std::function<bool(const QString&)>& taken);

// "IMG_%1.dcm" with the counter zero-padded to six digits.
QString exportFileName(int counter);

// Why a portable folder cannot be written at target: it lies inside the program's own folder (the copy
// would carry itself along) or holds it (writing over it would remove the program); empty otherwise.
QString programFolderOverlap(const QString& target);

// A file, or a folder with everything in it, copied onto `to` as the library's recursive copy that
// overwrites does (links followed), but with every write and the close checked: a drive that fills is
// told as full, which the library's copy, cut short, reports as an input/output error. Throws the
// library's filesystem_error with the system's cause, naming only the source when it was the reading
// that failed. Nothing here is synced: the batch of the folder it writes into does that.
void copyOver(const std::filesystem::path& from, const std::filesystem::path& to);

// What the user is told when files of a job did not reach the disk: the first of them and why, and
// how many there were.
QString unconfirmedText(const QList<platform::DurableBatch::Struck>& struck);

// Writes the portable layout (program files, "portable.marker", "DICOM/IMG_nnnnnn.dcm") into target;
// false with a message at the first failure, the part already written left in place. An anonymised
// layout leaves out documents and images with identity in their pixels; leftOut receives how many.
// A file that holds another object than its rows name, or changed while it was copied, fails it too.
// With a batch (of a staging folder that holds target) the files reach the disk when the caller
// confirms it, with what it adds; without, they have when this returns true.
bool writePortableFolderFiles(const StudyFiles& sources, const QString& target, bool anonymise,
                              bool compress, QString* error, dicom::LeftOutCount* leftOut = nullptr,
                              platform::DurableBatch* batch = nullptr);

// Copies the files into folder as IMG_000001.dcm, ... without overwriting; `written` receives the
// files this call created, so a caller can take them back after a failure, which a file that holds
// another object than its rows name, or changed while it was copied, is as well. They reach the disk
// as writePortableFolderFiles's do.
bool copyFilesNumbered(const StudyFiles& sources, const QString& folder, QString* error,
                       QStringList* written, platform::DurableBatch* batch = nullptr);

// Packs the files and the program folder into one ZIP with the portable layout; a file that cannot
// be read as the archive is begun is left out, one that holds another object than its rows name or
// changes while it is packed fails it. A failure names the archive as shownPath (archivePath when
// empty): the name the user knows it by, when archivePath is where it is written meanwhile.
bool writePortableZip(const StudyFiles& inputFiles, const QString& archivePath, QString* error,
                      std::function<void(int, int)> progress, const QString& shownPath = QString());

// Runs work on its own thread while the calling (GUI) thread keeps its event loop turning; returns
// the work's result once it has finished.
bool runWithoutFreezing(const std::function<bool()>& work);
