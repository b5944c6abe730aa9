#include "ReceivedObjectFile.h"

#include "dicom/DicomFileLoading.h"
#include "dicom/DicomNesting.h"

#include <QDir>

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
        auto file = std::make_unique<QTemporaryFile>(QDir(folder).filePath(QStringLiteral(".receiving-XXXXXX.part")));
        if (!file->open()) {
            m_error = QStringLiteral("Не удалось создать временный файл в папке %1: %2").arg(folder, file->errorString());
            continue;
        }
        // DCMTK writes it by name; the object keeps the name reserved and removes it.
        file->close();
        m_path = file->fileName();
        m_file = std::move(file);
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
    if (!m_file)
        return;
    m_file.reset(); // removes the file
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
