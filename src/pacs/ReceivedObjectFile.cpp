#include "pacs/ReceivedObjectFile.h"

#include "dicom/DicomFileLoading.h"
#include "dicom/DicomNesting.h"
#include "platform/OwnFileDoor.h"

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
        const QFileInfo info(folder);
        if (!info.isDir() || !info.isWritable()) {
            m_error = QStringLiteral("Нет доступа на запись в папку %1").arg(folder);
            continue;
        }
        // Only a name, unique by its random part: the receive creates the file. No file is made
        // here (each one made and removed slows the file system's next creations), nor emptied
        // (the file system would then write it out on close and its removal wait for the disk).
        m_path = QDir(folder).filePath(
            QStringLiteral(".receiving-%1.part").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
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
    // The name, with its random part, is this object's own: nobody else makes a file under it.
    if (!m_path.isEmpty())
        platform::OwnFileDoor({QFileInfo(m_path).path()}).remove(m_path, platform::OwnProof::ownName());
}

std::unique_ptr<DcmFileFormat> openReceivedObject(const QString& path, QString* error)
{
    auto file = std::make_unique<DcmFileFormat>();
    dicom::ParseHazard hazard = dicom::ParseHazard::None;
    const OFCondition cond = dicom::loadDicomFile(*file, path, dicom::ValueLoading::Lazy, &hazard);
    if (cond.bad()) {
        *error = refusalText(hazard, cond);
        return nullptr;
    }
    return file;
}

QString refusalText(dicom::ParseHazard hazard, const OFCondition& cond)
{
    switch (hazard) {
    case dicom::ParseHazard::DeepNesting:
        return QStringLiteral("Отклонён объект с последовательностями, вложенными глубже %1 уровней")
            .arg(dicom::kMaxSequenceNesting);
    case dicom::ParseHazard::TooManyElements:
        return QStringLiteral("Отклонён объект, в котором больше %1 элементов").arg(dicom::kMaxDatasetElements);
    case dicom::ParseHazard::ElementsOutOfOrder:
        return QStringLiteral("Отклонён объект, элементы которого записаны не по порядку тегов");
    case dicom::ParseHazard::InflatesTooFar:
        return QStringLiteral("Отклонён объект, сжатый набор данных которого распаковывается в недопустимо большой объём");
    case dicom::ParseHazard::Unfollowable:
        return QStringLiteral("Отклонён объект нестандартной структуры, который нельзя безопасно прочитать");
    case dicom::ParseHazard::Truncated:
        return QStringLiteral("Отклонён повреждённый объект: значение элемента выходит за конец данных");
    case dicom::ParseHazard::None:
        break;
    }
    return QStringLiteral("Отклонён повреждённый объект: %1").arg(QString::fromUtf8(cond.text()));
}

} // namespace pacs
