#include "dicom/AtomicDicomWriter.h"

#include "dicom/DicomFileLoading.h"
#include "dicom/DicomItemLists.h"
#include "platform/ContentDigest.h"
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
#include <dcmtk/dcmdata/dcsequen.h>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dicom {

namespace {

// The bytes must be on the disk before the rename makes them the only copy of the file.
void flushToDisk(const QString& path)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(path);
#endif
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
    if (!m_tempPath.isEmpty()) {
        platform::OwnFileDoor({QFileInfo(m_tempPath).path()}).remove(m_tempPath, platform::OwnProof::made(m_tempId));
        m_tempPath.clear();
    }
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
    return false;
}

bool AtomicDicomWriter::write(DcmFileFormat& file, E_TransferSyntax transferSyntax, QString* cause,
                              bool* unreadable)
{
    discard();
    if (unreadable)
        *unreadable = false;
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

    // Implicit VR big endian, read from a mislabelled file, has no transfer syntax UID to be written in.
    if (transferSyntax == EXS_BigEndianImplicit)
        transferSyntax = EXS_LittleEndianExplicit;
    if (DcmDataset* dataset = file.getDataset())
        writeUnknownVrsAsBytes(*dataset);
    const QByteArray local = QFile::encodeName(m_tempPath);
    const OFCondition status = file.saveFile(OFFilename(local.constData()), transferSyntax, EET_ExplicitLength,
                                             EGL_recalcGL, EPD_withoutPadding, 0, 0, EWM_createNewMeta);
    if (status.bad()) {
        if (cause)
            *cause = QString::fromUtf8(status.text());
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

bool AtomicDicomWriter::commit(QString* cause)
{
    if (m_tempPath.isEmpty()) {
        if (cause)
            *cause = QStringLiteral("нет записанного файла");
        return false;
    }
    QFile::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
    const bool replacing = QFileInfo::exists(m_targetPath);
    if (replacing)
        permissions = QFile::permissions(m_targetPath);
    QFile::setPermissions(m_tempPath, permissions);
    if (replacing)
        flushToDisk(m_tempPath);

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
