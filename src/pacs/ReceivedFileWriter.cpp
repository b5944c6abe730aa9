#include "ReceivedFileWriter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

// Reserves a name nobody else holds by creating the file exclusively.
QString reserveFile(const QDir& dir, const QString& base, QString* error)
{
    for (int n = 0; n < 100000; ++n) {
        const QString name = n == 0 ? base + QStringLiteral(".dcm")
                                    : QStringLiteral("%1_%2.dcm").arg(base).arg(n);
        QFile file(dir.filePath(name));
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
    const QString path = reserveFile(dir, baseNameFor(dataset), err);
    if (path.isEmpty())
        return false;

    // The file format borrows the dataset for the write and hands it back untouched.
    DcmFileFormat fileFormat(&dataset, OFFalse);
    const OFCondition cond = fileFormat.saveFile(OFFilename(QFile::encodeName(path).constData()),
                                                 EXS_LittleEndianExplicit, EET_UndefinedLength,
                                                 EGL_recalcGL, EPD_noChange, 0, 0, EWM_createNewMeta);
    fileFormat.getAndRemoveDataset();
    const QFileInfo written(path);
    if (cond.bad() || written.size() <= 132) {
        *err = QStringLiteral("Не удалось записать файл %1: %2")
                   .arg(path, cond.bad() ? QString::fromUtf8(cond.text()) : QStringLiteral("файл пуст"));
        QFile::remove(path);
        return false;
    }
    if (filePath)
        *filePath = path;
    return true;
}

} // namespace pacs
