#pragma once

#include <QString>

#include <dcmtk/dcmdata/dcxfer.h>

class DcmFileFormat;

namespace dicom {

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
    // The written temporary file, e.g. to read it back before committing.
    QString temporaryPath() const { return m_tempPath; }
    // Replaces the target (an existing file keeps its permissions).
    bool commit(QString* cause = nullptr);
    void discard();

    // Copies a file to the target the same way: under a temporary name beside it, moved into place
    // once whole. On failure *cause gets the system's text and *code its error number (0 if none).
    static bool copyFile(const QString& sourcePath, const QString& targetPath, QString* cause = nullptr,
                         int* code = nullptr);
    // True for the name of a temporary file that a writer for a file named targetName leaves behind
    // when it is killed; *targetName gets that name.
    static bool isTemporaryName(const QString& fileName, QString* targetName = nullptr);

private:
    QString m_targetPath;
    QString m_tempPath;
};

} // namespace dicom
