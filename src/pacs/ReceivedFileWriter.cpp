#include "pacs/ReceivedFileWriter.h"

#include "dicom/DicomFileSummary.h"
#include "dicom/FileIdentity.h"
#include "platform/ContentDigest.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QUuid>
#include <QtEndian>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>
#include <vector>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcostrmf.h>
#include <dcmtk/dcmdata/dcxfer.h>

namespace pacs {

namespace {

// *byUid tells whether the name is the object's own SOP Instance UID.
QString baseNameFor(DcmDataset& dataset, bool* byUid)
{
    const QString text = dicom::objectUidOf(dataset);
    // A UID from the network is outside data: only a plain UID may become a file name.
    bool plain = !text.isEmpty() && text.size() <= 64 && !text.startsWith(QLatin1Char('.'));
    for (QChar c : text)
        plain = plain && (c.isDigit() || c == QLatin1Char('.'));
    *byUid = plain;
    return plain ? text : QString::number(QDateTime::currentMSecsSinceEpoch());
}

// The file at `path` holds this very object (its SOP Instance, series and study UIDs) in these very
// bytes: the copy an earlier retrieve of the study stored under the object's name, as the peer sends
// it again.
bool holdsSameObject(const QString& path, const QString& received, DcmDataset& dataset)
{
    // Asked of every object received, and nearly always of a name nothing holds: one look at it.
    struct stat held {}, came {};
    if (::lstat(QFile::encodeName(path).constData(), &held) != 0 || !S_ISREG(held.st_mode)
        || ::stat(QFile::encodeName(received).constData(), &came) != 0 || held.st_size != came.st_size
        || !dicom::isDicomFile(path))
        return false;
    const std::optional<dicom::DicomFileSummary> summary = dicom::readFileSummary(path);
    if (!summary)
        return false;
    const dicom::ObjectIdentity object = dicom::objectIdentityOf(dataset);
    if (summary->sopInstanceUid != object.sopInstanceUid || summary->seriesInstanceUid != object.seriesInstanceUid
        || summary->studyInstanceUid != object.studyInstanceUid)
        return false;
    return dicom::sameFileBytes(path, received);
}

QString candidateName(const QString& base, int n)
{
    return n == 0 ? base + QStringLiteral(".dcm") : QStringLiteral("%1_%2.dcm").arg(base).arg(n);
}

enum class Naming { Named, NoFolder, Unsupported, Failed };

// Gives the finished file its first free name, never replacing a file there: by renaming it where the
// file system can refuse to replace one, else by a hard link (`moved` tells which). Writing under a
// fresh name and moving or linking it avoids truncating or renaming over a file, both of which make
// ext4 force the data to disk on close and halve the speed of a retrieve.
Naming giveFreeName(const QString& written, const QDir& dir, const QString& base, QString* path, int* number,
                    bool* moved, QString* error)
{
    const QByteArray source = QFile::encodeName(written);
    bool renaming = true;
    for (int n = 0; n < 100000; ++n) {
        const QString target = dir.filePath(candidateName(base, n));
        const QByteArray name = QFile::encodeName(target);
        const int done = renaming
                           ? ::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, name.constData(), RENAME_NOREPLACE)
                           : ::link(source.constData(), name.constData());
        if (done == 0) {
            *path = target;
            *number = n;
            *moved = renaming;
            return Naming::Named;
        }
        if (errno == EEXIST)
            continue;
        if (errno == ENOENT || errno == ENOTDIR)
            return Naming::NoFolder;
        if (renaming && (errno == EINVAL || errno == ENOSYS || errno == EXDEV)) {
            renaming = false; // a file system that cannot rename without replacing: linked instead
            --n;
            continue;
        }
        if (!renaming && (errno == EPERM || errno == EOPNOTSUPP || errno == EXDEV || errno == EMLINK))
            return Naming::Unsupported; // FAT and some network file systems have no hard links
        *error = QStringLiteral("Не удалось создать файл %1: %2").arg(target, QString::fromLocal8Bit(strerror(errno)));
        return Naming::Failed;
    }
    *error = QStringLiteral("Не удалось подобрать свободное имя файла в папке %1").arg(dir.path());
    return Naming::Failed;
}

// The files made and not yet taken by the retrieve that is told of them.
QMutex g_storedMutex;
QHash<QString, StoredFile> g_stored;

// An earlier copy found holding the object (no file made) never takes the place of the note of the
// connection that made that very file and has yet to be taken.
void noteStored(const QString& path, StoredFile stored)
{
    const QMutexLocker lock(&g_storedMutex);
    if (!stored.file.known && g_stored.contains(path))
        return;
    g_stored.insert(path, std::move(stored));
}

// The digest of the received file's bytes, as they are stored; the file, linked into place, bears it
// as its mark. Taken from what the receive wrote when that is the whole file, else read from the file.
QByteArray markReceived(const QString& receivedPath, WrittenBytes* written)
{
    const platform::Descriptor file(
        ::open(QFile::encodeName(receivedPath).constData(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    const bool whole = written && file.fd() >= 0 && ::fstat(file.fd(), &info) == 0 && info.st_size == written->size;
    const QByteArray digest = whole ? written->digest.result()
                              : file.fd() >= 0 ? platform::ContentDigest::ofOpen(file.fd())
                                               : QByteArray();
    platform::ContentDigest::mark(file.fd(), digest);
    return digest;
}

constexpr qint64 kMaxWrittenHeader = 64 * 1024;

quint32 read32(const uchar* p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

// What precedes the data set in a received file: the preamble and the meta header written as it
// arrived, always with its group length. Empty when the file does not look so.
QByteArray writtenHeader(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray head = file.read(144);
    const auto* data = reinterpret_cast<const uchar*>(head.constData());
    if (head.size() < 144 || std::memcmp(data + 128, "DICM", 4) != 0 || data[132] != 0x02 || data[133] != 0x00
        || data[134] != 0x00 || data[135] != 0x00 || std::memcmp(data + 136, "UL", 2) != 0 || data[138] != 4
        || data[139] != 0)
        return {};
    const qint64 start = 144 + qint64(read32(data + 140));
    // A header written on receipt holds a handful of UIDs and names: a longer one is not such a header.
    if (start > kMaxWrittenHeader || start > file.size())
        return {};
    head += file.read(start - 144);
    return head.size() == start ? head : QByteArray();
}

// The meta header (with preamble) DCMTK writes for this data set in this transfer syntax: it depends
// only on the data set's SOP Class and SOP Instance UIDs, so DCMTK writes it for a data set of those
// two alone.
QByteArray newMetaHeader(DcmDataset& dataset, E_TransferSyntax syntax)
{
    DcmFileFormat fileFormat;
    for (const DcmTagKey& key : {DCM_SOPClassUID, DCM_SOPInstanceUID}) {
        DcmElement* element = nullptr;
        if (dataset.findAndGetElement(key, element).good() && element)
            fileFormat.getDataset()->insert(static_cast<DcmElement*>(element->clone()));
    }
    std::vector<char> buffer(64 * 1024);
    DcmOutputBufferStream stream(buffer.data(), offile_off_t(buffer.size()));
    fileFormat.transferInit();
    const OFCondition cond = fileFormat.write(stream, syntax, EET_UndefinedLength, nullptr, EGL_recalcGL,
                                              EPD_noChange, 0, 0, 0, EWM_createNewMeta);
    fileFormat.transferEnd();
    Uint32 groupLength = 0;
    if (cond.bad() || fileFormat.getMetaInfo()->findAndGetUint32(DCM_FileMetaInformationGroupLength, groupLength).bad())
        return {};
    void* written = nullptr;
    offile_off_t filled = 0;
    stream.flushBuffer(written, filled);
    const qint64 length = 144 + qint64(groupLength);
    return length <= filled ? QByteArray(static_cast<const char*>(written), qsizetype(length)) : QByteArray();
}

// newMetaHeader for the UIDs a C-STORE request names. Its bytes differ from one object of a sender to
// the next only in the SOP Instance UID's value: a header made once for the class, the syntax and the
// length of a plain instance UID, with a stand-in of that length, is given each object's UID in its
// place, rather than DCMTK building and writing a file format for each object.
QByteArray requestMetaHeader(const char* sopClass, const char* sopInstance, E_TransferSyntax syntax)
{
    const auto built = [&](const char* instance) {
        DcmDataset uids;
        if (uids.putAndInsertString(DCM_SOPClassUID, sopClass).bad()
            || uids.putAndInsertString(DCM_SOPInstanceUID, instance).bad())
            return QByteArray();
        return newMetaHeader(uids, syntax);
    };
    const QByteArray instance(sopInstance);
    bool plain = !instance.isEmpty() && instance.size() <= 64;
    for (const char c : instance)
        plain = plain && ((c >= '0' && c <= '9') || c == '.');
    if (!plain)
        return built(sopInstance);
    struct Made
    {
        QByteArray sopClass;
        E_TransferSyntax syntax = EXS_Unknown;
        qsizetype instanceLength = 0;
        QByteArray header;
        qsizetype instanceAt = -1; // where the instance UID's value starts
    };
    thread_local Made made;
    if (made.header.isEmpty() || made.sopClass != sopClass || made.syntax != syntax
        || made.instanceLength != instance.size()) {
        made = {sopClass, syntax, instance.size(), built(QByteArray(instance.size(), '1').constData()), -1};
        // (0002,0003) UI: the element's header, then its value.
        const qsizetype element = made.header.indexOf(QByteArrayView("\x02\x00\x03\x00UI", 6), 132);
        made.instanceAt = element < 0 ? -1 : element + 8;
        if (made.instanceAt < 0 || made.instanceAt + instance.size() > made.header.size()) {
            made.header.clear();
            return built(sopInstance);
        }
    }
    QByteArray header = made.header;
    header.replace(made.instanceAt, instance.size(), instance);
    return header;
}

std::function<void(const QString&)> g_copyingForTest;

// Copies the file `source` into the folder under a temporary name of the receive's own, and gives the
// copy the first free name only once it is whole, through the door, never over a file that is there:
// a copy cut short (the program killed, the disk full) lies under no object's name.
bool copyToFreeName(const QString& source, const QDir& dir, const QString& base, QString* path, int* number,
                    QString* error)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        *error = QStringLiteral("Не удалось прочитать файл %1: %2").arg(source, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const QString temporary =
        dir.filePath(QStringLiteral(".writing-%1.part").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
    const int out = ::open(QFile::encodeName(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        *error = QStringLiteral("Не удалось создать файл %1: %2").arg(temporary, QString::fromLocal8Bit(strerror(errno)));
        ::close(in);
        return false;
    }
    const platform::FileId made = platform::FileId::ofOpen(out);
    int code = 0;
    std::vector<char> chunk(1 << 20);
    for (ssize_t got; code == 0 && (got = ::read(in, chunk.data(), chunk.size())) != 0;) {
        if (got < 0 || ::write(out, chunk.data(), size_t(got)) != got)
            code = errno ? errno : EIO;
        else if (g_copyingForTest)
            g_copyingForTest(temporary);
    }
    if (::close(out) != 0 && code == 0)
        code = errno;
    ::close(in);
    const platform::OwnFileDoor door({dir.path()});
    QString why;
    if (code == 0) {
        for (int n = 0; n < 100000; ++n) {
            *path = dir.filePath(candidateName(base, n));
            const platform::OwnFileDoor::Outcome renamed = door.rename(temporary, made, *path, platform::OwnProof(), &why);
            if (renamed == platform::OwnFileDoor::Outcome::Done) {
                *number = n;
                return true;
            }
            // Taken: the next name. Anything else is told.
            if (renamed != platform::OwnFileDoor::Outcome::Refused || !platform::FileId::of(*path).known)
                break;
            why = QStringLiteral("не удалось подобрать свободное имя файла в папке %1").arg(dir.path());
        }
        *error = QStringLiteral("Не удалось сохранить файл %1: %2").arg(*path, why);
        code = EIO;
    } else {
        *error = QStringLiteral("Не удалось записать файл %1: %2").arg(temporary, QString::fromLocal8Bit(strerror(code)));
    }
    // Only the file this copy made goes.
    door.remove(temporary, platform::OwnProof::made(made));
    errno = code;
    return false;
}

// Puts `header` in place of everything before byte `start` of the file at `path`, moving the rest
// up or down to follow it. The file keeps its inode: no file is made or removed.
bool replaceHeader(const QString& path, qint64 start, const QByteArray& header, QString* error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    struct stat info = {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_size < start) {
        *error = QStringLiteral("Не удалось записать файл %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const qint64 length = info.st_size - start, target = header.size();
    std::vector<char> chunk(256 * 1024);
    const auto move = [&](qint64 offset, qint64 count) {
        return ::pread(fd, chunk.data(), size_t(count), start + offset) == count
               && ::pwrite(fd, chunk.data(), size_t(count), target + offset) == count;
    };
    bool ok = true;
    if (target < start) {
        // Towards the start, front to back: no chunk overwrites bytes not yet moved.
        for (qint64 offset = 0; ok && offset < length; offset += qint64(chunk.size()))
            ok = move(offset, std::min<qint64>(qint64(chunk.size()), length - offset));
        ok = ok && ::ftruncate(fd, target + length) == 0;
    } else if (target > start) {
        for (qint64 end = length; ok && end > 0; end -= qint64(chunk.size()))
            ok = move(std::max<qint64>(0, end - qint64(chunk.size())), std::min<qint64>(qint64(chunk.size()), end));
    }
    ok = ok && ::pwrite(fd, header.constData(), size_t(header.size()), 0) == header.size();
    const int code = ok ? 0 : (errno ? errno : EIO);
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        *error = QStringLiteral("Не удалось записать файл %1: %2").arg(path, QString::fromLocal8Bit(strerror(code ? code : EIO)));
    return ok;
}

// The header openReceiveStream last wrote on this thread, and what it was made of.
struct WrittenHeader
{
    QString path;
    OFString sopClassUid;
    OFString sopInstanceUid;
    E_TransferSyntax syntax = EXS_Unknown;
};
thread_local WrittenHeader t_written;

// A UID's value as written: padded to an even length.
OFString writtenUid(OFString uid)
{
    if (uid.size() % 2 != 0)
        uid += '\0';
    return uid;
}

// The data set holds this UID under the key as a UID element that newMetaHeader would copy into the
// same bytes.
bool holdsUid(DcmDataset& dataset, const DcmTagKey& key, const OFString& uid)
{
    DcmElement* element = nullptr;
    OFString held;
    return dataset.findAndGetElement(key, element).good() && element && element->ident() == EVR_UI
           && element->getOFStringArray(held, OFFalse).good() && writtenUid(held) == writtenUid(uid);
}

// The header written on receipt names the UIDs of the request: it is rewritten only when it differs
// from the data set's own (or is DCMTK's, which also names the sender), and stays when it cannot be read.
// `rewritten`: whether a new header is in place, which names the syntax the data set came in.
bool settleHeader(const QString& receivedPath, DcmDataset& dataset, QString* error, bool* rewritten = nullptr)
{
    // The data set names the request's UIDs in the syntax it came in, as nearly every one does: the
    // header written for them is the one it needs, and is neither read back nor made again.
    if (t_written.path == receivedPath && dataset.getOriginalXfer() == t_written.syntax
        && holdsUid(dataset, DCM_SOPClassUID, t_written.sopClassUid)
        && holdsUid(dataset, DCM_SOPInstanceUID, t_written.sopInstanceUid))
        return true;
    const QByteArray written = writtenHeader(receivedPath);
    const QByteArray header = written.isEmpty() ? QByteArray() : newMetaHeader(dataset, dataset.getOriginalXfer());
    if (header.isEmpty() || header == written)
        return true;
    if (rewritten)
        *rewritten = true;
    return replaceHeader(receivedPath, written.size(), header, error);
}

bool makeFolder(const QDir& dir, QString* error)
{
    if (dir.mkpath(QStringLiteral(".")))
        return true;
    *error = QStringLiteral("Не удалось создать папку %1").arg(dir.path());
    return false;
}

} // namespace

bool storeReceivedFile(const QString& receivedPath, DcmFileFormat& parsed, const QString& outputDirectory,
                       QString* filePath, QString* error, bool summarized, bool* moved, WrittenBytes* written)
{
    QString localError;
    QString* err = error ? error : &localError;
    bool movedAway = false;
    bool* receivedMoved = moved ? moved : &movedAway;
    *receivedMoved = false;
    DcmDataset& dataset = *parsed.getDataset();
    const QDir dir(outputDirectory);
    bool byUid = false;
    const QString base = baseNameFor(dataset, &byUid);
    // Read off the object as parsed, which the stored file holds byte for byte: it is not parsed again.
    StoredFile stored;
    if (summarized)
        stored.summary = dicom::summaryOf(parsed, receivedPath);
    // The received file becomes the stored one, its data set byte for byte as the peer sent it. Its
    // large values move with it, so the parsed object, which reads them from this file, is not used
    // past this point.
    bool rewritten = false;
    if (!settleHeader(receivedPath, dataset, err, &rewritten))
        return false;
    // A header written again is not what the receive wrote.
    stored.digest = markReceived(receivedPath, rewritten ? nullptr : written);
    if (stored.summary && rewritten)
        stored.summary->transferSyntaxUid = QString::fromLatin1(DcmXfer(dataset.getOriginalXfer()).getXferID());
    // Any file under the object's name, whoever wrote it, stays as it is, and the object takes the first
    // free name beside it. The folder is made when it is not there.
    QString path;
    int number = 0;
    const auto name = [&] {
        return g_copyingForTest ? Naming::Unsupported
                                : giveFreeName(receivedPath, dir, base, &path, &number, receivedMoved, err);
    };
    Naming named = name();
    if (named == Naming::NoFolder || named == Naming::Unsupported) {
        if (!makeFolder(dir, err))
            return false;
        if (named == Naming::NoFolder)
            named = name();
    }
    if (named == Naming::NoFolder) {
        *err = QStringLiteral("Не удалось сохранить принятый файл %1 в папке %2").arg(receivedPath, dir.path());
        return false;
    }
    if (named == Naming::Failed)
        return false;
    if (named == Naming::Unsupported && !copyToFreeName(receivedPath, dir, base, &path, &number, err))
        return false;
    const platform::FileId made = platform::FileId::of(path);
    // The object as it was stored before (a retrieve of the study repeated, or one cut short before
    // its rows were written), or as another connection brings it at the same time: the file under the
    // lowest name that holds these very bytes is the object's, and this one goes again. Every name
    // below this one was taken when it was given, each by a file whole once named.
    for (int lower = 0; byUid && lower < number; ++lower) {
        const QString held = dir.filePath(candidateName(base, lower));
        if (!holdsSameObject(held, path, dataset))
            continue;
        const platform::OwnFileDoor::Outcome removed =
            platform::OwnFileDoor({dir.path()}).remove(path, platform::OwnProof::made(made));
        if (removed != platform::OwnFileDoor::Outcome::Done && removed != platform::OwnFileDoor::Outcome::Gone)
            break; // it stays, and is listed
        StoredFile earlier;
        earlier.digest = stored.digest;
        noteStored(held, std::move(earlier));
        if (filePath)
            *filePath = held;
        return true;
    }
    stored.file = made;
    if (stored.summary)
        stored.summary->filePath = QFileInfo(path).absoluteFilePath();
    noteStored(path, std::move(stored));
    if (filePath)
        *filePath = path;
    return true;
}

bool holdsReceivedObject(const QString& storedPath, const QString& receivedPath, DcmFileFormat& parsed)
{
    QString error;
    DcmDataset& dataset = *parsed.getDataset();
    return settleHeader(receivedPath, dataset, &error) && holdsSameObject(storedPath, receivedPath, dataset);
}

void copyWithoutLinksForTest(std::function<void(const QString& partialCopy)> copying)
{
    g_copyingForTest = std::move(copying);
}

StoredFile takeStored(const QString& filePath)
{
    const QMutexLocker lock(&g_storedMutex);
    return g_stored.take(filePath);
}

platform::FileId takeStoredFile(const QString& filePath, QByteArray* digest)
{
    StoredFile stored = takeStored(filePath);
    if (digest)
        *digest = stored.digest;
    return stored.file;
}

DcmOutputFileStream* openReceiveStream(const QString& path, const T_DIMSE_C_StoreRQ& request,
                                       T_ASC_Association* association, T_ASC_PresentationContextID presID,
                                       OFCondition* cond, int made, WrittenBytes* written)
{
    const QByteArray local = QFile::encodeName(path);
    T_ASC_PresentationContext context;
    QByteArray header;
    E_TransferSyntax syntax = EXS_Unknown;
    t_written = {};
    if (association && ASC_findAcceptedPresentationContext(association->params, presID, &context).good()) {
        syntax = DcmXfer(context.acceptedTransferSyntax).getXfer();
        if (syntax != EXS_Unknown)
            header = requestMetaHeader(request.AffectedSOPClassUID, request.AffectedSOPInstanceUID, syntax);
    }
    DcmOutputFileStream* stream = nullptr;
    if (header.isEmpty()) {
        // DCMTK writes its header into a file of its own opening (the made one, emptied again).
        if (made >= 0)
            ::close(made);
        *cond = DIMSE_createFilestream(local.constData(), &request, association, presID, OFTrue, &stream);
        return cond->good() ? stream : nullptr;
    }
    // The made file is written through its descriptor, as it is: opening it by name again to empty it
    // would make the file system write it out on close.
    FILE* file = made >= 0 ? ::fdopen(made, "wb") : nullptr;
    if (made >= 0 && !file)
        ::close(made);
    stream = file ? new DcmOutputFileStream(file) : new DcmOutputFileStream(OFFilename(local.constData()));
    if (stream->status().good())
        stream->write(header.constData(), offile_off_t(header.size()));
    *cond = stream->status();
    if (cond->good()) {
        if (written)
            written->add(header.constData(), header.size());
        t_written = {path, request.AffectedSOPClassUID, request.AffectedSOPInstanceUID, syntax};
        return stream;
    }
    delete stream;
    return nullptr;
}

} // namespace pacs
