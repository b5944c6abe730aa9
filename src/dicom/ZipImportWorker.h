#pragma once

#include "dicom/DicomFileSummary.h"
#include "platform/OwnFileDoor.h"

#include <QObject>
#include <QString>

#include <functional>

namespace dicom {

// Imports the DICOM files of a ZIP or 7z archive: unpacks it flat into a temporary folder, copies each
// DICOM file into the managed store as <MD5 of series UID>/<MD5 of SOP UID>.dcm and hands the summary
// of the stored copy to its owner. Meant to run on a thread of its own; run() ends with one finished().
class ZipImportWorker : public QObject
{
    Q_OBJECT
public:
    ZipImportWorker(QString archivePath, QString targetDirectory, QObject* parent = nullptr);
    ~ZipImportWorker() override;

    // Space that unpacking and copying leave free on the temporary folder's and the store's file
    // systems; the import stops with a message rather than eat into it.
    void setFreeSpaceReserve(qint64 bytes) { freeSpaceReserve = bytes; }
    static constexpr qint64 kDefaultFreeSpaceReserve = 256ll * 1024 * 1024;

    // Free bytes on the file system holding a path (negative: unknown). The file system by default;
    // tests give a fixed figure so that other programs writing or freeing space cannot sway them.
    using FreeSpaceProbe = std::function<qint64(const QString& path)>;
    void setFreeSpaceProbe(FreeSpaceProbe probe) { freeSpaceProbe = std::move(probe); }

    // Whether the index lists the object (its SOP Instance UID) at the file at that path. Asked on the
    // worker's thread, and let go there before run() returns. Without it no file is taken as listed.
    using ListedProbe = std::function<bool(const QString& sopInstanceUid, const QString& path)>;
    void setListedProbe(ListedProbe probe) { listedProbe = std::move(probe); }
    // Whether the index lists the object as the program's copy at another file than that path, one
    // that is on disk: the object is present already and is neither copied nor handed on. Asked and
    // let go as the listed probe is.
    using HeldProbe = std::function<bool(const QString& sopInstanceUid, const QString& path)>;
    void setHeldProbe(HeldProbe probe) { heldProbe = std::move(probe); }
    // Told on the worker's thread of each copy it makes (made: as it made it), before it is handed on.
    using CopyMade = std::function<void(const QString& path, const platform::FileId& made)>;
    void setCopyMadeNote(CopyMade note) { copyMade = std::move(note); }

    // Lower-case hexadecimal MD5 of the UID's UTF-8 bytes: the store name of a series or an instance.
    static QString storeName(const QString& uid);

signals:
    void fileFound(dicom::DicomFileSummary summary);
    void progress(int filesProcessed);
    void finished(int imported, int skipped, QString errorMessage);

public slots:
    void run();

private:
    QString archivePath;
    QString targetDirectory;
    qint64 freeSpaceReserve = kDefaultFreeSpaceReserve;
    FreeSpaceProbe freeSpaceProbe;
    ListedProbe listedProbe;
    HeldProbe heldProbe;
    CopyMade copyMade;
};

} // namespace dicom
