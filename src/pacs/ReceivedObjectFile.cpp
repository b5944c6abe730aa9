#include "ReceivedObjectFile.h"

#include "dicom/DicomFileLoading.h"
#include "dicom/DicomNesting.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

namespace pacs {

ReceivedObjectFile::ReceivedObjectFile(const QStringList& folders)
{
    QStringList candidates;
    for (const QString& folder : folders) {
        if (!folder.isEmpty())
            candidates << folder;
    }
    candidates << QDir::tempPath();
    for (const QString& folder : candidates) {
        if (!QDir().mkpath(folder))
            continue;
        const QString name = QStringLiteral(".receiving-%1.part").arg(QUuid::createUuid().toString(QUuid::WithoutBraces));
        QFile probe(QDir(folder).filePath(name));
        if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            m_error = QStringLiteral("Не удалось создать временный файл в папке %1: %2").arg(folder, probe.errorString());
            continue;
        }
        // Only the name is kept (unique by its random part): DCMTK creates the file anew. Emptying an
        // existing file instead would make the file system write it out at once on close, and
        // its removal would then wait for the disk.
        probe.close();
        probe.remove();
        m_path = probe.fileName();
        m_error.clear();
        return;
    }
    if (m_error.isEmpty())
        m_error = QStringLiteral("Не удалось создать временный файл для принимаемого объекта");
}

ReceivedObjectFile::~ReceivedObjectFile()
{
    remove();
}

void ReceivedObjectFile::remove()
{
    if (!m_path.isEmpty() && QFileInfo::exists(m_path))
        QFile::remove(m_path);
}

std::unique_ptr<DcmFileFormat> openReceivedObject(const QString& path, QString* error)
{
    const int depth = dicom::sequenceNestingDepth(path);
    if (depth > dicom::kMaxSequenceNesting) {
        *error = QStringLiteral("Отклонён объект с последовательностями, вложенными глубже %1 уровней")
                     .arg(dicom::kMaxSequenceNesting);
        return nullptr;
    }
    auto file = std::make_unique<DcmFileFormat>();
    const OFCondition cond = dicom::loadDicomFile(*file, path, dicom::ValueLoading::Lazy);
    if (cond.bad()) {
        *error = QStringLiteral("Отклонён повреждённый объект: %1").arg(QString::fromUtf8(cond.text()));
        return nullptr;
    }
    return file;
}

} // namespace pacs
