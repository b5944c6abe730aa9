#pragma once

#include "platform/OwnFileDoor.h"

#include <QString>

#include <dcmtk/dcmdata/dcxfer.h>

#include <memory>

class DcmFileFormat;

namespace dicom {

class OpenedFile;
struct FileOpening;

// Saves a DICOM file beside its target under a temporary name and moves it over the target only
// when asked to, so that a save that fails part-way (full disk, size limit, crash) never leaves a
// damaged or half-written file where the caller expects one. An uncommitted temporary file is
// removed when the writer goes away.
class AtomicDicomWriter
{
public:
    explicit AtomicDicomWriter(const QString& targetPath);
    ~AtomicDicomWriter();

    AtomicDicomWriter(const AtomicDicomWriter&) = delete;
    AtomicDicomWriter& operator=(const AtomicDicomWriter&) = delete;

    // Writes the file to the temporary path with explicit item lengths, recalculated group lengths,
    // no padding and a new meta header, then reads it back as every reader of the program reads a
    // file: one the program could not open again is never committed. Values DCMTK kept as bytes under
    // a VR it does not know are written as OB, so that they come back as the bytes they were. On
    // failure *cause gets the library's or the system's text, or why the written file does not read
    // back (then *unreadable is true).
    bool write(DcmFileFormat& file, E_TransferSyntax transferSyntax, QString* cause = nullptr,
               bool* unreadable = nullptr);
    // write() and then commit().
    bool save(DcmFileFormat& file, E_TransferSyntax transferSyntax, QString* cause = nullptr,
              bool* unreadable = nullptr);
    // save(), a failure told in *error as `notSaved`, or as `notReadBack` and why when the written file
    // did not read back; both name the target for %1.
    bool save(DcmFileFormat& file, E_TransferSyntax transferSyntax, const QString& notSaved,
              const QString& notReadBack, QString* error);
    // The written temporary file, e.g. to read it back before committing (the target itself when that
    // is an empty partial file of the writer of user files, which a commit then leaves as written and a
    // discard empties again).
    QString temporaryPath() const { return m_tempPath; }
    // Replaces the target (an existing file keeps its permissions): the file that was there when the
    // writer was made, not one that came under its name since.
    bool commit(QString* cause = nullptr);
    // What is written was read from the target through `read`: only that file is replaced, and only
    // while it is still the version read. One copied or renamed over it since holds what was never
    // read (another disc's image), and stays as it is.
    void replaceOnly(const FileOpening& read);
    void discard();

    // Copies a file to the target the same way: under a temporary name beside it, moved into place
    // once whole, never over a file that lies there. On failure *cause gets the system's text and
    // *code its error number (0 if none). *made gets the copy as it was made, *digest the digest of
    // the bytes it wrote, which the copy also bears as its mark.
    static bool copyFile(const QString& sourcePath, const QString& targetPath, QString* cause = nullptr,
                         int* code = nullptr, platform::FileId* made = nullptr, QByteArray* digest = nullptr);
    // True for the name of a temporary file that a writer for a file named targetName leaves behind
    // when it is killed; *targetName gets that name.
    static bool isTemporaryName(const QString& fileName, QString* targetName = nullptr);

private:
    QString m_targetPath;
    QString m_tempPath;
    platform::FileId m_targetId; // the file at the target when the writer was made
    platform::FileId m_tempId;
    bool m_inPlace = false; // the target is an empty partial file being filled: written into, not replaced
    // The last write failed because the system refused it (a full disk, a medium gone): its cause is
    // the user's to hear.
    bool m_refusedBySystem = false;
    std::shared_ptr<const OpenedFile> m_read; // see replaceOnly
    bool m_targetChanged = false;             // the last commit found the target changed since read
};

} // namespace dicom
