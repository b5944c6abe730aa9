#include "pacs/ReceivedObjectFile.h"

#include "dicom/DicomFileLoading.h"
#include "dicom/DicomNesting.h"
#include "platform/OwnFileDoor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "pacs/StoreSpace.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrma.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace pacs {

namespace {

QString receivingName(const QString& folder)
{
    return QDir(folder).filePath(
        QStringLiteral(".receiving-%1.part").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
}

int makeEmpty(const QString& path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

} // namespace

ReceivedObjectFile::ReceivedObjectFile(const QStringList& folders, Creation creation)
    : m_folders(folders)
{
    // One made ahead goes where the objects went before, as a rule: made there at once, without
    // looking at the folder first.
    if (creation == Creation::Made && !folders.isEmpty() && !folders.first().isEmpty()) {
        const QString path = receivingName(folders.first());
        m_descriptor = makeEmpty(path);
        if (m_descriptor >= 0) {
            m_path = path;
            return;
        }
    }
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
        // here for nothing (each one made and removed slows the file system's next creations), nor
        // emptied (the file system would then write it out on close and its removal wait for the
        // disk). One made ahead is made now, under that name, and never emptied.
        const QString path = receivingName(folder);
        if (creation == Creation::Made) {
            m_descriptor = makeEmpty(path);
            if (m_descriptor < 0) {
                // None made ahead: the receive makes its own, and tells what stops it.
                m_error = QStringLiteral("Не удалось создать файл %1: %2")
                              .arg(path, QString::fromLocal8Bit(strerror(errno)));
                return;
            }
        }
        m_path = path;
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

std::unique_ptr<ReceivedObjectFile> ReceivedObjectFile::forObject(std::unique_ptr<ReceivedObjectFile>& madeAhead,
                                                                  const QStringList& folders)
{
    std::unique_ptr<ReceivedObjectFile> file = std::move(madeAhead);
    if (!file || !file->isValid() || file->m_folders != folders)
        file = std::make_unique<ReceivedObjectFile>(folders);
    return file;
}

int ReceivedObjectFile::takeDescriptor()
{
    return std::exchange(m_descriptor, -1);
}

void ReceivedObjectFile::release()
{
    if (m_descriptor >= 0)
        ::close(takeDescriptor());
    m_path.clear();
}

void ReceivedObjectFile::remove()
{
    if (m_descriptor >= 0)
        ::close(takeDescriptor());
    if (m_path.isEmpty())
        return;
    // The name, with its random part, is this object's own: nobody else makes a file under it. The
    // door to its folder is made once for the objects a thread receives into it, not once for each:
    // making it resolves every step of the folder's path. One that refuses was made for the folder as
    // it was (gone, or reached by another way since): made again, it judges the folder as it is.
    struct FolderDoor
    {
        QString folder;
        std::optional<platform::OwnFileDoor> door;
    };
    thread_local FolderDoor t_last;
    const QString folder = QFileInfo(m_path).path();
    const auto remake = [&folder] { t_last = {folder, platform::OwnFileDoor({folder})}; };
    if (!t_last.door || t_last.folder != folder)
        remake();
    if (t_last.door->remove(m_path, platform::OwnProof::ownName()) == platform::OwnFileDoor::Outcome::Refused) {
        remake();
        t_last.door->remove(m_path, platform::OwnProof::ownName());
    }
    m_path.clear(); // gone, or given its name for good: not looked for again
}

namespace {

// The free space is looked at again each time the file has grown by this much: other writers share the
// disk, and a statvfs per fragment would cost more than it tells.
constexpr qint64 kSpaceCheckBytes = 8ll * 1024 * 1024;

// Passes writes on to the file's stream within what the store can spare.
struct BoundConsumer : DcmConsumer
{
    BoundConsumer(DcmOutputStream* file, const QString& folder, std::function<void()> refusing, WrittenBytes* written)
        : file(file)
        , folder(folder)
        , refusing(std::move(refusing))
        , bytes(written)
    {
        measure();
    }
    void measure()
    {
        const qint64 free = storeFreeBytes(folder);
        allowed = free < 0 ? -1 : written + qMax<qint64>(0, free - kStoreFreeSpaceReserve);
        nextCheck = written + kSpaceCheckBytes;
    }
    // Good still once refusing: DCMTK would otherwise wait for a fragment past the last one.
    OFBool good() const override { return file ? file->good() : OFTrue; }
    OFCondition status() const override { return file ? file->status() : EC_Normal; }
    OFBool isFlushed() const override { return file ? file->isFlushed() : OFTrue; }
    offile_off_t avail() const override { return file ? file->avail() : offile_off_t(1) << 30; }
    offile_off_t write(const void* data, offile_off_t length) override
    {
        if (!refused && written + qint64(length) > nextCheck)
            measure();
        if (!refused && allowed >= 0 && written + qint64(length) > allowed) {
            refused = true;
            file.reset(); // closed: its space can be given back
            if (refusing)
                refusing();
        }
        if (refused)
            return length;
        const offile_off_t done = file->write(data, length);
        written += qint64(done);
        if (bytes && done > 0)
            bytes->add(data, qint64(done));
        return done;
    }
    void flush() override
    {
        if (file)
            file->flush();
    }

    std::unique_ptr<DcmOutputStream> file;
    QString folder;
    std::function<void()> refusing;
    WrittenBytes* bytes;
    qint64 written = 0;
    qint64 allowed = -1; // -1: the free space cannot be told
    qint64 nextCheck = 0;
    bool refused = false;
};

} // namespace

struct StoreBoundStream::Bounded : BoundConsumer, DcmOutputStream
{
    Bounded(DcmOutputStream* file, const QString& folder, std::function<void()> refusing, WrittenBytes* written)
        : BoundConsumer(file, folder, std::move(refusing), written)
        , DcmOutputStream(static_cast<BoundConsumer*>(this))
    {
    }
};

StoreBoundStream::StoreBoundStream(DcmOutputStream* file, const QString& folder, std::function<void()> refusing,
                                   WrittenBytes* written)
    : m_bounded(std::make_unique<Bounded>(file, folder, std::move(refusing), written))
{
}

StoreBoundStream::~StoreBoundStream()
{
    // What the stream still holds reaches the file before the file's stream goes.
    m_bounded->DcmOutputStream::flush();
}

DcmOutputStream* StoreBoundStream::stream()
{
    return m_bounded.get();
}

bool StoreBoundStream::refused() const
{
    return m_bounded->refused;
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
    case dicom::ParseHazard::Changed:
        return QStringLiteral("Отклонён объект, файл которого изменился или стал недоступен во время чтения");
    case dicom::ParseHazard::OtherObject:
        return QStringLiteral("Отклонён объект: в его файле теперь другой снимок");
    case dicom::ParseHazard::None:
        break;
    }
    return QStringLiteral("Отклонён повреждённый объект: %1").arg(QString::fromUtf8(cond.text()));
}

} // namespace pacs
