#include "ReceivedFileWriter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

namespace pacs {

namespace {

QString baseNameFor(DcmDataset& dataset)
{
    OFString uid;
    if (dataset.findAndGetOFString(DCM_SOPInstanceUID, uid).good()) {
        const QString text = QString::fromLatin1(uid.c_str()).trimmed();
        // A UID from the network is outside data: only a plain UID may become a file name.
        bool plain = !text.isEmpty() && text.size() <= 64 && !text.startsWith(QLatin1Char('.'));
        for (QChar c : text)
            plain = plain && (c.isDigit() || c == QLatin1Char('.'));
        if (plain)
            return text;
    }
    return QString::number(QDateTime::currentMSecsSinceEpoch());
}

QString candidateName(const QString& base, int n)
{
    return n == 0 ? base + QStringLiteral(".dcm") : QStringLiteral("%1_%2.dcm").arg(base).arg(n);
}

// Reserves a name nobody else holds by creating the file exclusively.
QString reserveFile(const QDir& dir, const QString& base, QString* error)
{
    for (int n = 0; n < 100000; ++n) {
        QFile file(dir.filePath(candidateName(base, n)));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return file.fileName();
        if (file.exists())
            continue;
        *error = QStringLiteral("Не удалось создать файл %1: %2").arg(file.fileName(), file.errorString());
        return {};
    }
    *error = QStringLiteral("Не удалось подобрать свободное имя файла в папке %1").arg(dir.path());
    return {};
}

enum class LinkOutcome { Linked, Unsupported, Failed };

// Gives the finished file its first free name by a hard link, which never replaces an existing file.
// Writing under a fresh name and linking it avoids truncating or renaming over a file, both of which
// make ext4 force the data to disk on close and halve the speed of a retrieve.
LinkOutcome linkToFreeName(const QString& written, const QDir& dir, const QString& base, QString* path, QString* error)
{
    const QByteArray source = QFile::encodeName(written);
    for (int n = 0; n < 100000; ++n) {
        const QString target = dir.filePath(candidateName(base, n));
        if (::link(source.constData(), QFile::encodeName(target).constData()) == 0) {
            *path = target;
            return LinkOutcome::Linked;
        }
        if (errno == EEXIST)
            continue;
        if (errno == EPERM || errno == EOPNOTSUPP || errno == EXDEV || errno == EMLINK)
            return LinkOutcome::Unsupported; // FAT and some network file systems have no hard links
        *error = QStringLiteral("Не удалось создать файл %1: %2").arg(target, QString::fromLocal8Bit(strerror(errno)));
        return LinkOutcome::Failed;
    }
    *error = QStringLiteral("Не удалось подобрать свободное имя файла в папке %1").arg(dir.path());
    return LinkOutcome::Failed;
}

bool saveDataset(DcmDataset& dataset, const QString& path, QString* error)
{
    // The file format borrows the dataset for the write and hands it back untouched.
    DcmFileFormat fileFormat(&dataset, OFFalse);
    const OFCondition cond = fileFormat.saveFile(OFFilename(QFile::encodeName(path).constData()),
                                                 EXS_LittleEndianExplicit, EET_UndefinedLength,
                                                 EGL_recalcGL, EPD_noChange, 0, 0, EWM_createNewMeta);
    fileFormat.getAndRemoveDataset();
    if (cond.bad() || QFileInfo(path).size() <= 132) {
        *error = QStringLiteral("Не удалось записать файл %1: %2")
                     .arg(path, cond.bad() ? QString::fromUtf8(cond.text()) : QStringLiteral("файл пуст"));
        QFile::remove(path);
        return false;
    }
    return true;
}

} // namespace

bool writeReceivedDataset(DcmDataset& dataset, const QString& outputDirectory, QString* filePath,
                          QString* error)
{
    QString localError;
    QString* err = error ? error : &localError;
    QDir dir(outputDirectory);
    if (!dir.mkpath(QStringLiteral("."))) {
        *err = QStringLiteral("Не удалось создать папку %1").arg(outputDirectory);
        return false;
    }
    const QString base = baseNameFor(dataset);
    const QString written = dir.filePath(QStringLiteral(".writing-%1.part").arg(QUuid::createUuid().toString(QUuid::Id128)));
    if (!saveDataset(dataset, written, err))
        return false;
    QString path;
    const LinkOutcome linked = linkToFreeName(written, dir, base, &path, err);
    QFile::remove(written);
    if (linked == LinkOutcome::Failed)
        return false;
    if (linked == LinkOutcome::Unsupported) {
        path = reserveFile(dir, base, err);
        if (path.isEmpty() || !saveDataset(dataset, path, err))
            return false;
    }
    if (filePath)
        *filePath = path;
    return true;
}

} // namespace pacs
