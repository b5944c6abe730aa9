#include "dicom/AtomicDicomWriter.h"

#include "dicom/DicomFileLoading.h"
#include "dicom/DicomItemLists.h"
#include "dicom/FileDescriptorStream.h"
#include "platform/ContentDigest.h"
#include "platform/FreeNameWrite.h"
#include "platform/OwnFileDoor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryFile>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dicom {

namespace {

// DCMTK's own file stream drops what the disk refuses to take, and the close's error with it: a copy
// cut short by a full disk passed for written and was found broken only when read back. This one
// keeps the system's error of the first write that failed, and stops there.
class CheckedFileConsumer final : public DcmConsumer
{
  public:
    explicit CheckedFileConsumer(int fd) : m_fd(fd) { m_buffer.reserve(kBuffer); }

    OFBool good() const override { return m_error == 0; }
    OFCondition status() const override
    {
        return m_error == 0 ? EC_Normal : makeOFCondition(OFM_dcmdata, 996, OF_error, "the write failed");
    }
    OFBool isFlushed() const override { return m_buffer.isEmpty(); }
    offile_off_t avail() const override { return m_error == 0 ? offile_off_t(1) << 30 : 0; }
    // DCMTK hands a header a few bytes at a time: these gather, and a value's bulk goes straight on.
    offile_off_t write(const void* buf, offile_off_t buflen) override
    {
        if (m_error != 0 || buflen <= 0)
            return 0;
        if (m_buffer.size() + buflen > kBuffer)
            flush();
        if (buflen >= kBuffer)
            return writeAll(static_cast<const char*>(buf), buflen) ? buflen : 0;
        m_buffer.append(static_cast<const char*>(buf), qsizetype(buflen));
        return m_error == 0 ? buflen : 0;
    }
    void flush() override
    {
        if (!m_buffer.isEmpty() && writeAll(m_buffer.constData(), m_buffer.size()))
            m_buffer.clear();
    }

    int error() const { return m_error; }

  private:
    static constexpr qsizetype kBuffer = 64 * 1024;

    bool writeAll(const char* bytes, offile_off_t length)
    {
        if (m_error == 0)
            m_error = platform::writeAll(m_fd, bytes, qint64(length));
        return m_error == 0;
    }

    int m_fd;
    int m_error = 0;
    QByteArray m_buffer;
};

class CheckedFileStream final : public DcmOutputStream
{
  public:
    explicit CheckedFileStream(int fd) : DcmOutputStream(&m_consumer), m_consumer(fd) {}
    // Everything written handed on to the file: a filter in between (deflate) empties itself into the
    // consumer but leaves the consumer's own flush to whoever made it. The system's error, or 0.
    int finish()
    {
        flush();
        m_consumer.flush();
        return m_consumer.error();
    }

  private:
    CheckedFileConsumer m_consumer;
};

// The file as DCMTK's saveFile writes it, through a descriptor whose every write and close is checked:
// *code gets the system's error of a write or close that failed (0: none).
OFCondition saveChecked(DcmFileFormat& file, const QString& path, E_TransferSyntax transferSyntax, int* code)
{
    *code = 0;
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *code = errno;
        return makeOFCondition(OFM_dcmdata, 996, OF_error, "the file could not be opened");
    }
    OFCondition status = EC_Normal;
    {
        CheckedFileStream stream(fd);
        DcmWriteCache cache;
        file.transferInit();
        status = file.write(stream, transferSyntax, EET_ExplicitLength, &cache, EGL_recalcGL,
                            EPD_withoutPadding, 0, 0, 0, EWM_createNewMeta);
        file.transferEnd();
        *code = stream.finish();
    }
    if (::close(fd) != 0 && *code == 0 && errno != EINTR)
        *code = errno;
    if (*code != 0 && status.good())
        status = makeOFCondition(OFM_dcmdata, 996, OF_error, "the write failed");
    return status;
}

// ".<target name>.XXXXXX.tmp": hidden, and telling by its name which file it was to become.
QString temporaryTemplate(const QFileInfo& target)
{
    return target.absoluteDir().filePath(QStringLiteral(".%1.XXXXXX.tmp").arg(target.fileName()));
}

// DCMTK writes a value it kept as bytes under a VR it does not know as UN; but the reader takes a UN
// element of a tag the dictionary knows as the dictionary's VR (useReadingConventions), and bytes
// that never were, say, a sequence's items would leave a file no reader opens.
void writeUnknownVrsAsBytes(DcmItem& item)
{
    for (DcmElement* element : elementsOf(item)) {
        const DcmEVR vr = element->ident();
        if (vr == EVR_UNKNOWN || vr == EVR_UNKNOWN2B)
            element->setVR(EVR_OB);
        else if (vr == EVR_SQ)
            for (DcmItem* child : itemsOf(*static_cast<DcmSequenceOfItems*>(element)))
                writeUnknownVrsAsBytes(*child);
    }
}

// Why the written file does not open through the program's own reading; empty when it does.
QString readBackProblem(const QString& path)
{
    DcmFileFormat written;
    ParseHazard hazard = ParseHazard::None;
    const OFCondition status = loadDicomFile(written, path, ValueLoading::Lazy, &hazard);
    return status.good() ? QString() : loadFailureReason(path, status, hazard);
}

} // namespace

bool AtomicDicomWriter::isTemporaryName(const QString& fileName, QString* targetName)
{
    // QTemporaryFile fills the six places with letters and digits.
    static const QRegularExpression pattern(QStringLiteral("^\\.(.+)\\.[A-Za-z0-9]{6}\\.tmp$"));
    const QRegularExpressionMatch match = pattern.match(fileName);
    if (!match.hasMatch())
        return false;
    if (targetName)
        *targetName = match.captured(1);
    return true;
}

bool AtomicDicomWriter::copyFile(const QString& sourcePath, const QString& targetPath, QString* cause,
                                 int* code, platform::FileId* madeCopy, QByteArray* digest)
{
    auto fail = [cause, code](const QString& text, int error) {
        if (cause)
            *cause = text;
        if (code)
            *code = error;
        return false;
    };
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return fail(source.errorString(), errno);
    QTemporaryFile temp(temporaryTemplate(QFileInfo(targetPath)));
    // errno is read right after each failing call: Qt passes the system's code through.
    errno = 0;
    if (!temp.open())
        return fail(temp.errorString(), errno);
    // The temporary goes through the door, as the file it made here, unless it became the target.
    temp.setAutoRemove(false);
    const platform::FileId made = platform::FileId::of(temp.fileName());
    const platform::OwnFileDoor door({QFileInfo(temp.fileName()).path()});
    bool placed = false;
    const auto dropTemporary = qScopeGuard([&] {
        if (!placed)
            door.remove(temp.fileName(), platform::OwnProof::made(made));
    });
    // The bytes are taken for the copy's digest as they pass.
    platform::ContentDigest written;
    QByteArray block(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = source.read(block.data(), block.size());
        if (n < 0)
            return fail(source.errorString(), errno);
        if (n == 0)
            break;
        errno = 0;
        if (temp.write(block.constData(), n) != n)
            return fail(temp.errorString(), errno);
        written.add(block.constData(), n);
    }
    errno = 0;
    if (!temp.flush())
        return fail(temp.errorString(), errno);
    const QByteArray copied = written.result();
    platform::ContentDigest::mark(int(temp.handle()), copied);
    temp.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    errno = 0;
    temp.close();
    // A file system that reports a lost write only when the file is closed (NFS, FUSE) does it here.
    if (temp.error() != QFileDevice::NoError)
        return fail(temp.errorString(), errno);
    // A copy never replaces a file: whatever lies under the target's name stays.
    QString why;
    placed = door.rename(temp.fileName(), made, targetPath, platform::OwnProof(), &why) == platform::OwnFileDoor::Outcome::Done;
    if (placed && madeCopy)
        *madeCopy = made;
    if (placed && digest)
        *digest = copied;
    return placed ? true : fail(why, EEXIST);
}

AtomicDicomWriter::AtomicDicomWriter(const QString& targetPath)
{
    // Replacing a link would turn it into a file of its own; the file it points to is meant.
    const QFileInfo info(targetPath);
    m_targetPath = info.isSymLink() && info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    // The file the caller means to replace, as it is now: no other file that comes under its name
    // meanwhile is replaced.
    m_targetId = platform::FileId::of(m_targetPath);
}

AtomicDicomWriter::~AtomicDicomWriter()
{
    discard();
}

void AtomicDicomWriter::discard()
{
    if (m_tempPath.isEmpty())
        return;
    // Written into in place, the empty partial file is as it was: emptied, but not its to remove.
    if (m_inPlace)
        ::truncate(QFile::encodeName(m_tempPath).constData(), 0);
    else
        platform::OwnFileDoor({QFileInfo(m_tempPath).path()}).remove(m_tempPath, platform::OwnProof::made(m_tempId));
    m_tempPath.clear();
}

bool AtomicDicomWriter::save(DcmFileFormat& file, E_TransferSyntax transferSyntax, QString* cause,
                             bool* unreadable)
{
    return write(file, transferSyntax, cause, unreadable) && commit(cause);
}

bool AtomicDicomWriter::save(DcmFileFormat& file, E_TransferSyntax transferSyntax, const QString& notSaved,
                             const QString& notReadBack, QString* error)
{
    QString cause;
    bool unreadable = false;
    if (save(file, transferSyntax, &cause, &unreadable))
        return true;
    if (error)
        *error = unreadable ? QStringLiteral("%1\nЗаписанная копия не читается обратно: %2")
                                  .arg(notReadBack.arg(m_targetPath), cause)
                            : notSaved.arg(m_targetPath);
    // What the system refused is said in the user's words, and so is a file changed since it was read;
    // DCMTK's own refusals stay unsaid.
    if (error && !unreadable && (m_refusedBySystem || m_targetChanged))
        *error += QStringLiteral("\n") + cause;
    return false;
}

bool AtomicDicomWriter::write(DcmFileFormat& file, E_TransferSyntax transferSyntax, QString* cause,
                              bool* unreadable)
{
    discard();
    m_refusedBySystem = false;
    if (unreadable)
        *unreadable = false;
    // The empty partial file of the writer of user files replaces nothing: written into, it stays the one
    // file that writer made and recorded, where a temporary beside it would be one that a process killed
    // meanwhile leaves where nobody knows of it (a user's export folder).
    m_inPlace = platform::isPartialBeingFilled(m_targetPath) && QFileInfo(m_targetPath).size() == 0;
    if (m_inPlace) {
        m_tempPath = m_targetPath;
        m_tempId = m_targetId;
    } else {
        const QFileInfo target(m_targetPath);
        // Same folder as the target, so that the final rename never crosses file systems.
        QTemporaryFile temp(temporaryTemplate(target));
        temp.setAutoRemove(false);
        if (!temp.open()) {
            if (cause)
                *cause = temp.errorString();
            return false;
        }
        m_tempPath = temp.fileName();
        m_tempId = platform::FileId::of(m_tempPath);
        temp.close();
    }

    // Implicit VR big endian, read from a mislabelled file, has no transfer syntax UID to be written in.
    if (transferSyntax == EXS_BigEndianImplicit)
        transferSyntax = EXS_LittleEndianExplicit;
    if (DcmDataset* dataset = file.getDataset())
        writeUnknownVrsAsBytes(*dataset);
    int code = 0;
    const OFCondition status = saveChecked(file, m_tempPath, transferSyntax, &code);
    m_refusedBySystem = code != 0;
    if (status.bad()) {
        if (cause)
            *cause = code != 0 ? platform::writeFailureCause(code) : QString::fromUtf8(status.text());
        discard();
        return false;
    }
    if (const QString problem = readBackProblem(m_tempPath); !problem.isEmpty()) {
        if (unreadable)
            *unreadable = true;
        if (cause)
            *cause = problem;
        discard();
        return false;
    }
    return true;
}

void AtomicDicomWriter::replaceOnly(const FileOpening& read)
{
    m_read = read.file;
    if (m_read)
        m_targetId = {quint64(m_read->identity().device), quint64(m_read->identity().inode), true};
}

bool AtomicDicomWriter::commit(QString* cause)
{
    m_targetChanged = false;
    if (m_tempPath.isEmpty()) {
        if (cause)
            *cause = QStringLiteral("нет записанного файла");
        return false;
    }
    if (m_read && FileOpening{m_read}.changed()) {
        m_targetChanged = true;
        if (cause)
            *cause = QStringLiteral("файл изменился после того, как был прочитан, — его заменили или "
                                    "записали в него другой программой");
        discard();
        return false;
    }
    if (m_inPlace) {
        m_tempPath.clear();
        return true;
    }
    QFile::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
    const bool replacing = QFileInfo::exists(m_targetPath);
    if (replacing)
        permissions = QFile::permissions(m_targetPath);
    QFile::setPermissions(m_tempPath, permissions);
    // The bytes must be on the disk before the rename makes them the only copy of the file; a partial
    // file of the writer of user files is no copy of anything, and that writer syncs what replaces it
    // (once for a whole export).
    if (replacing && !platform::isPartialBeingFilled(m_targetPath))
        platform::syncFile(m_tempPath);

    QString why;
    const platform::OwnProof targetProof = m_targetId.known ? platform::OwnProof::made(m_targetId) : platform::OwnProof();
    if (platform::OwnFileDoor({QFileInfo(m_targetPath).path()}).rename(m_tempPath, m_tempId, m_targetPath, targetProof, &why)
        != platform::OwnFileDoor::Outcome::Done) {
        if (cause)
            *cause = why;
        discard();
        return false;
    }
    m_tempPath.clear();
    return true;
}

} // namespace dicom
