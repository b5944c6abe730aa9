#pragma once
// Optical recorders through libburn, and ISO 9660 + Joliet + Rock Ridge images of a folder made with
// libisofs. A recorder is named by its libburn address: "/dev/srN" for the kernel's drives, or
// "stdio:<file>" for a pseudo-drive that writes into a regular file.

#include <QString>
#include <QStringList>

#include <functional>

namespace platform {

struct RecorderState
{
    QString address;
    QString vendor;
    QString product;
    bool hasMedia = false;
    bool blank = false;
    qint64 freeBytes = 0;
};

// False with a reason when libburn or libisofs cannot start.
bool discRecordingAvailable(QString* error);

// The recorder addresses: the kernel's optical drives below systemRoot(), then the extra addresses
// set with setExtraRecorderAddresses (pseudo-drives, used by tests).
QStringList recorderAddresses();
void setExtraRecorderAddresses(const QStringList& addresses);
// Caps the free space that blank pseudo-drives report (tests stand in a small disc); 0 lifts the cap.
void setPseudoDriveCapacity(qint64 bytes);

// Opens the recorder and reads its medium; false when the recorder cannot be opened.
bool probeRecorder(const QString& address, RecorderState* state, QString* error);

// Why a burn stopped.
// Cancelled: the burning thread was asked to stop before the disc was touched; CancelledWhileWriting:
// the write was cut off.
enum class BurnFailure {
    None,
    Library,
    Drive,
    Image,
    Capacity,
    AddFiles,
    Write,
    Eject,
    Cancelled,
    CancelledWhileWriting
};

// The stages a burn goes through, reported before each begins.
enum class BurnStage { Connecting, BuildingImage, Writing };

// The size of the image that burnFolder would write for the folder; 0 when it cannot be made.
qint64 discImageBytes(const QString& folder, const QString& volumeLabel);

// Writes the folder's contents as the root of a closed disc named volumeLabel (first 32 characters);
// code receives the failing call's 32-bit code (libisofs's own, else a generic failure code). An
// interruption request on the calling thread stops the burn.
BurnFailure burnFolder(const QString& address, const QString& folder, const QString& volumeLabel, bool eject,
                       const std::function<void(BurnStage)>& stage, quint32* code);

} // namespace platform
