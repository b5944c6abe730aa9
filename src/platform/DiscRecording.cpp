#include "platform/DiscRecording.h"
#include "platform/OpticalDrives.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <libisofs/libisofs.h>
// libburn declares itself inside a namespace in C++, so the image stream that libisofs hands out as
// ::burn_source is the same C structure as burn::burn_source.
#include <libburn/libburn.h>
using namespace burn;

#include <algorithm>
#include <mutex>

namespace platform {

namespace {

QStringList& extraAddresses()
{
    static QStringList addresses;
    return addresses;
}

QMutex& extraMutex()
{
    static QMutex mutex;
    return mutex;
}

qint64 g_pseudoCapacity = 0; // guarded by extraMutex

// The free space of a blank medium; a pseudo-drive's is its file system's unless a capacity is set.
qint64 availableBytes(burn_drive* drive, const QString& address)
{
    const off_t space = burn_disc_available_space(drive, nullptr);
    qint64 bytes = space > 0 ? (qint64(space) / 2048) * 2048 : 0;
    QMutexLocker lock(&extraMutex());
    if (g_pseudoCapacity > 0 && address.startsWith(QLatin1String("stdio:")))
        bytes = std::min(bytes, g_pseudoCapacity);
    return bytes;
}

// libburn and libisofs keep process-wide state: started once, never finished (the process ends first).
bool startLibraries(QString* detail)
{
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        char severity[] = "NEVER";
        char prefix[] = "libburn: ";
        ok = burn_initialize() == 1;
        if (ok)
            burn_msgs_set_severities(severity, severity, prefix);
        ok = ok && iso_init() >= 0;
        if (ok) {
            char charset[] = "UTF-8";
            iso_set_local_charset(charset, 0);
            iso_set_msgs_severities(severity, severity, prefix);
        }
    });
    if (!ok && detail)
        *detail = QStringLiteral("библиотеки записи дисков не запустились");
    return ok;
}

constexpr quint32 GenericFailure = 0x80004005u;

// libburn keeps one drive list for the process: opening and releasing drives from the GUI thread
// (the dialog's checks) and from a burn thread must not overlap. The write itself runs unlocked.
QMutex& driveListMutex()
{
    static QMutex mutex;
    return mutex;
}

// An opened recorder, released (and optionally ejected) when it goes out of scope.
class GrabbedDrive
{
public:
    explicit GrabbedDrive(const QString& address)
    {
        QMutexLocker lock(&driveListMutex());
        if (address.startsWith(QLatin1String("stdio:")))
            m_path = address.mid(6);
        QByteArray bytes = QFile::encodeName(address);
        if (burn_drive_scan_and_grab(&m_info, bytes.data(), 0) == 1 && m_info)
            m_drive = m_info[0].drive;
    }
    ~GrabbedDrive()
    {
        QMutexLocker lock(&driveListMutex());
        if (m_drive)
            burn_drive_release(m_drive, m_eject ? 1 : 0);
        if (m_info)
            burn_drive_info_free(m_info);
    }
    GrabbedDrive(const GrabbedDrive&) = delete;
    GrabbedDrive& operator=(const GrabbedDrive&) = delete;

    burn_drive* drive() const { return m_drive; }
    const burn_drive_info* info() const { return m_info; }
    void ejectOnRelease() { m_eject = true; }

    // The medium's state once the drive has settled (a freshly inserted disc reports "unready"). A
    // pseudo-drive counts as blank only while its file is empty: libburn would write over any file.
    burn_disc_status status() const
    {
        if (burn_drive_get_drive_role(m_drive) != 1 && !m_path.isEmpty() && QFileInfo(m_path).size() > 0)
            return BURN_DISC_FULL;
        burn_disc_status s = burn_disc_get_status(m_drive);
        for (int i = 0; i < 50 && s == BURN_DISC_UNREADY; ++i) {
            QThread::msleep(100);
            s = burn_disc_get_status(m_drive);
        }
        return s;
    }

private:
    burn_drive_info* m_info = nullptr;
    burn_drive* m_drive = nullptr;
    bool m_eject = false;
    QString m_path;
};

bool interrupted()
{
    return QThread::currentThread()->isInterruptionRequested();
}

// The ISO 9660 + Joliet + Rock Ridge image of a folder as a stream libburn can read; with sizeOnly
// no writer thread starts, for callers that only want its size.
class FolderImage
{
public:
    FolderImage() = default;
    FolderImage(const FolderImage&) = delete;
    FolderImage& operator=(const FolderImage&) = delete;
    ~FolderImage()
    {
        if (m_source)
            burn_source_free(stream());
        if (m_opts)
            iso_write_opts_free(m_opts);
        if (m_image)
            iso_image_unref(m_image);
    }

    BurnFailure build(const QString& folder, const QString& volumeLabel, bool sizeOnly, quint32* code)
    {
        auto fail = [code](BurnFailure why, int result) {
            if (code)
                *code = quint32(result);
            return why;
        };
        const QByteArray label = volumeLabel.left(32).toUtf8();
        int result = iso_image_new(label.constData(), &m_image);
        if (result < 0)
            return fail(BurnFailure::Image, result);
        iso_tree_set_follow_symlinks(m_image, 0);
        iso_tree_set_ignore_hidden(m_image, 0);
        iso_tree_set_ignore_special(m_image, 1);
        const QByteArray path = QFile::encodeName(folder);
        result = iso_tree_add_dir_rec(m_image, iso_image_get_root(m_image), path.constData());
        if (result < 0)
            return fail(BurnFailure::AddFiles, result);
        // Level 3 lets a file pass 4 GiB; Joliet keeps long and Cyrillic names for Windows, Rock Ridge
        // for everything else.
        if ((result = iso_write_opts_new(&m_opts, 0)) < 0)
            return fail(BurnFailure::Image, result);
        iso_write_opts_set_iso_level(m_opts, 3);
        iso_write_opts_set_rockridge(m_opts, 1);
        iso_write_opts_set_joliet(m_opts, 1);
        iso_write_opts_set_joliet_longer_paths(m_opts, 1);
        iso_write_opts_set_will_cancel(m_opts, sizeOnly ? 1 : 0);
        if ((result = iso_image_create_burn_source(m_image, m_opts, &m_source)) < 0)
            return fail(BurnFailure::Image, result);
        return BurnFailure::None;
    }

    burn::burn_source* stream() const { return reinterpret_cast<burn::burn_source*>(m_source); }
    qint64 bytes() const { return m_source ? qint64(stream()->get_size(stream())) : 0; }

private:
    IsoImage* m_image = nullptr;
    IsoWriteOpts* m_opts = nullptr;
    ::burn_source* m_source = nullptr;
};

} // namespace

qint64 discImageBytes(const QString& folder, const QString& volumeLabel)
{
    if (!startLibraries(nullptr))
        return 0;
    FolderImage image;
    return image.build(folder, volumeLabel, true, nullptr) == BurnFailure::None ? image.bytes() : 0;
}

bool discRecordingAvailable(QString* error)
{
    return startLibraries(error);
}

QStringList recorderAddresses()
{
    QStringList out;
    for (const QString& name : opticalDriveNames(systemRoot()))
        out << QStringLiteral("/dev/") + name;
    QMutexLocker lock(&extraMutex());
    out << extraAddresses();
    return out;
}

void setExtraRecorderAddresses(const QStringList& addresses)
{
    QMutexLocker lock(&extraMutex());
    extraAddresses() = addresses;
}

void setPseudoDriveCapacity(qint64 bytes)
{
    QMutexLocker lock(&extraMutex());
    g_pseudoCapacity = bytes;
}

bool probeRecorder(const QString& address, RecorderState* state, QString* error)
{
    *state = RecorderState{};
    state->address = address;
    if (!startLibraries(error))
        return false;
    GrabbedDrive drive(address);
    if (!drive.drive()) {
        if (error)
            *error = QStringLiteral("привод %1 не открывается").arg(address);
        return false;
    }
    state->vendor = QString::fromLatin1(drive.info()->vendor).trimmed();
    state->product = QString::fromLatin1(drive.info()->product).trimmed();
    const burn_disc_status status = drive.status();
    state->hasMedia = status == BURN_DISC_BLANK || status == BURN_DISC_APPENDABLE || status == BURN_DISC_FULL;
    state->blank = status == BURN_DISC_BLANK;
    if (state->blank)
        state->freeBytes = availableBytes(drive.drive(), address);
    return true;
}

BurnFailure burnFolder(const QString& address, const QString& folder, const QString& volumeLabel, bool eject,
                       const std::function<void(BurnStage)>& stage, quint32* code)
{
    auto report = [&](BurnStage s) {
        if (stage)
            stage(s);
    };
    // libisofs reports its own 32-bit codes; libburn only says that something failed.
    auto fail = [&](BurnFailure why, int failure = int(GenericFailure)) {
        if (code)
            *code = quint32(failure);
        return why;
    };
    if (!startLibraries(nullptr))
        return fail(BurnFailure::Library);

    report(BurnStage::Connecting);
    GrabbedDrive drive(address);
    if (!drive.drive())
        return fail(BurnFailure::Drive);

    if (interrupted())
        return fail(BurnFailure::Cancelled);
    report(BurnStage::BuildingImage);
    FolderImage image;
    if (const BurnFailure why = image.build(folder, volumeLabel, false, code); why != BurnFailure::None)
        return why;
    if (interrupted())
        return fail(BurnFailure::Cancelled);

    const burn_disc_status status = drive.status();
    if (status != BURN_DISC_BLANK)
        return fail(BurnFailure::Write);
    const qint64 space = availableBytes(drive.drive(), address);
    if (space > 0 && image.bytes() > space)
        return fail(BurnFailure::Capacity);

    report(BurnStage::Writing);
    burn_disc* disc = burn_disc_create();
    burn_session* session = burn_session_create();
    burn_track* track = burn_track_create();
    burn_disc_add_session(disc, session, BURN_POS_END);
    burn_track_define_data(track, 0, 0, 1, BURN_MODE1);
    burn_track_set_source(track, image.stream());
    burn_session_add_track(session, track, BURN_POS_END);
    burn_write_opts* opts = burn_write_opts_new(drive.drive());
    burn_write_opts_set_perform_opc(opts, 0);
    burn_write_opts_set_multi(opts, 0); // the disc is closed against later additions
    burn_write_opts_set_underrun_proof(opts, 1);
    char reasons[BURN_REASONS_LEN] = {};
    BurnFailure outcome = BurnFailure::None;
    if (burn_write_opts_auto_write_type(opts, disc, reasons, 0) == BURN_WRITE_NONE) {
        outcome = fail(BurnFailure::Write);
    } else {
        burn_drive_set_speed(drive.drive(), 0, 0);
        burn_disc_write(opts, disc);
        burn_progress progress;
        bool cancelled = false;
        while (burn_drive_get_status(drive.drive(), &progress) == BURN_DRIVE_SPAWNING)
            QThread::msleep(20);
        while (burn_drive_get_status(drive.drive(), &progress) != BURN_DRIVE_IDLE) {
            if (!cancelled && interrupted()) {
                burn_drive_cancel(drive.drive()); // the drive winds down, then reports idle
                cancelled = true;
            }
            QThread::msleep(100);
        }
        if (cancelled)
            outcome = fail(BurnFailure::CancelledWhileWriting);
        else if (burn_drive_wrote_well(drive.drive()) != 1)
            outcome = fail(BurnFailure::Write);
    }
    burn_write_opts_free(opts);
    burn_track_free(track);
    burn_session_free(session);
    burn_disc_free(disc);
    if (outcome == BurnFailure::None && eject)
        drive.ejectOnRelease();
    return outcome;
}

} // namespace platform
