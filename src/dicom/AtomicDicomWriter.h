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
    // no padding and a new meta header. On failure *cause gets the library's or the system's text.
    bool write(DcmFileFormat& file, E_TransferSyntax transferSyntax, QString* cause = nullptr);
    // The written temporary file, e.g. to read it back before committing.
    QString temporaryPath() const { return m_tempPath; }
    // Replaces the target (an existing file keeps its permissions).
    bool commit(QString* cause = nullptr);
    void discard();

private:
    QString m_targetPath;
    QString m_tempPath;
};

} // namespace dicom
