#include "dicom/AtomicDicomWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <dcmtk/dcmdata/dcfilefo.h>

#include <filesystem>
#include <system_error>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dicom {

namespace {

std::filesystem::path nativePath(const QString& path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

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

} // namespace

AtomicDicomWriter::AtomicDicomWriter(const QString& targetPath)
{
    // Replacing a link would turn it into a file of its own; the file it points to is meant.
    const QFileInfo info(targetPath);
    m_targetPath = info.isSymLink() && info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
}

AtomicDicomWriter::~AtomicDicomWriter()
{
    discard();
}

void AtomicDicomWriter::discard()
{
    if (!m_tempPath.isEmpty()) {
        QFile::remove(m_tempPath);
        m_tempPath.clear();
    }
}

bool AtomicDicomWriter::write(DcmFileFormat& file, E_TransferSyntax transferSyntax, QString* cause)
{
    discard();
    const QFileInfo target(m_targetPath);
    // Same folder as the target, so that the final rename never crosses file systems.
    QTemporaryFile temp(target.absoluteDir().filePath(QStringLiteral(".%1.XXXXXX.tmp").arg(target.fileName())));
    temp.setAutoRemove(false);
    if (!temp.open()) {
        if (cause)
            *cause = temp.errorString();
        return false;
    }
    m_tempPath = temp.fileName();
    temp.close();

    // Implicit VR big endian, read from a mislabelled file, has no transfer syntax UID to be written in.
    if (transferSyntax == EXS_BigEndianImplicit)
        transferSyntax = EXS_LittleEndianExplicit;
    const QByteArray local = QFile::encodeName(m_tempPath);
    const OFCondition status = file.saveFile(OFFilename(local.constData()), transferSyntax, EET_ExplicitLength,
                                             EGL_recalcGL, EPD_withoutPadding, 0, 0, EWM_createNewMeta);
    if (status.bad()) {
        if (cause)
            *cause = QString::fromUtf8(status.text());
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

    std::error_code ec;
    std::filesystem::rename(nativePath(m_tempPath), nativePath(m_targetPath), ec);
    if (ec) {
        if (cause)
            *cause = QString::fromLocal8Bit(ec.message().c_str());
        discard();
        return false;
    }
    m_tempPath.clear();
    return true;
}

} // namespace dicom
