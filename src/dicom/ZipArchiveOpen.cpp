#include "dicom/ZipArchiveOpen.h"

#include <QFile>
#include <QStringDecoder>
#include <QtEndian>

#include <algorithm>
#include <memory>
#include <vector>

namespace dicom {
namespace {

constexpr quint16 kUtf8NameFlag = 0x0800;
// The central directory is read whole; far above any real one (about 100 bytes per entry).
constexpr qint64 kMaxCentralDirectoryBytes = 256ll * 1024 * 1024;

template<typename T>
T readLe(const QByteArray& bytes, qsizetype at)
{
    return at >= 0 && at + qsizetype(sizeof(T)) <= bytes.size() ? qFromLittleEndian<T>(bytes.constData() + at) : T(0);
}

bool isUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    Q_UNUSED(text);
    return !decoder.hasError();
}

// Where the central directory lies, from the end-of-central-directory records.
bool locateCentralDirectory(QFile& file, qint64* offset, qint64* size)
{
    const qint64 tailSize = qMin<qint64>(file.size(), 22 + 65535);
    if (!file.seek(file.size() - tailSize))
        return false;
    const QByteArray tail = file.read(tailSize);
    const qsizetype end = tail.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (end < 0 || end + 22 > tail.size())
        return false;
    *size = readLe<quint32>(tail, end + 12);
    *offset = readLe<quint32>(tail, end + 16);
    if (*size != 0xFFFFFFFF && *offset != 0xFFFFFFFF)
        return true;
    // ZIP64: the locator before the record names the ZIP64 record.
    const qsizetype locator = end - 20;
    if (readLe<quint32>(tail, locator) != 0x07064b50 || !file.seek(readLe<qint64>(tail, locator + 8)))
        return false;
    const QByteArray record = file.read(56);
    if (readLe<quint32>(record, 0) != 0x06064b50)
        return false;
    *size = readLe<qint64>(record, 40);
    *offset = readLe<qint64>(record, 48);
    return true;
}

// Offsets, in the file, of the flag bytes of central directory records whose names claim UTF-8 and
// are not, with the records' indices.
std::vector<qint64> findBadUtf8Names(const QString& path, QSet<zip_uint64_t>* indices)
{
    std::vector<qint64> flagBytes;
    QFile file(path);
    qint64 offset = 0;
    qint64 size = 0;
    if (!file.open(QIODevice::ReadOnly) || !locateCentralDirectory(file, &offset, &size) || offset < 0 || size <= 0
        || size > kMaxCentralDirectoryBytes || offset + size > file.size() || !file.seek(offset))
        return flagBytes;
    const QByteArray directory = file.read(size);
    qsizetype at = 0;
    for (zip_uint64_t index = 0; at + 46 <= directory.size() && readLe<quint32>(directory, at) == 0x02014b50; ++index) {
        const quint16 flags = readLe<quint16>(directory, at + 8);
        const qsizetype nameLength = readLe<quint16>(directory, at + 28);
        const qsizetype recordLength =
            46 + nameLength + readLe<quint16>(directory, at + 30) + readLe<quint16>(directory, at + 32);
        if ((flags & kUtf8NameFlag) && !isUtf8(directory.mid(at + 46, nameLength))) {
            indices->insert(index);
            flagBytes.push_back(offset + at + 9); // the flag's high byte
        }
        at += recordLength;
    }
    return flagBytes;
}

// The archive file as libzip reads it, with the UTF-8 claims of the given records cleared.
struct MaskedFile
{
    MaskedFile() { zip_error_init(&error); }
    ~MaskedFile() { zip_error_fini(&error); }
    MaskedFile(const MaskedFile&) = delete;
    MaskedFile& operator=(const MaskedFile&) = delete;

    QFile file;
    std::vector<qint64> flagBytes; // sorted
    zip_error_t error;

    zip_int64_t fail(int code)
    {
        zip_error_set(&error, code, 0);
        return -1;
    }
};

zip_int64_t maskedFileCallback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    auto* source = static_cast<MaskedFile*>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        return source->file.seek(0) ? 0 : source->fail(ZIP_ER_SEEK);
    case ZIP_SOURCE_READ: {
        const qint64 start = source->file.pos();
        const qint64 n = source->file.read(static_cast<char*>(data), qint64(qMin<zip_uint64_t>(length, 1u << 30)));
        if (n < 0)
            return source->fail(ZIP_ER_READ);
        auto flag = std::lower_bound(source->flagBytes.begin(), source->flagBytes.end(), start);
        for (; flag != source->flagBytes.end() && *flag < start + n; ++flag)
            static_cast<quint8*>(data)[*flag - start] &= quint8(~(kUtf8NameFlag >> 8));
        return n;
    }
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source->error);
        if (!stat)
            return -1;
        zip_stat_init(stat);
        stat->size = zip_uint64_t(source->file.size());
        stat->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&source->error, data, length);
    case ZIP_SOURCE_FREE:
        delete source;
        return 0;
    case ZIP_SOURCE_SEEK: {
        const zip_int64_t to = zip_source_seek_compute_offset(zip_uint64_t(source->file.pos()),
                                                              zip_uint64_t(source->file.size()), data, length,
                                                              &source->error);
        if (to < 0)
            return -1;
        return source->file.seek(to) ? 0 : source->fail(ZIP_ER_SEEK);
    }
    case ZIP_SOURCE_TELL:
        return source->file.pos();
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_SEEKABLE;
    default:
        return source->fail(ZIP_ER_OPNOTSUPP);
    }
}

} // namespace

zip_t* openZipForReading(const QString& path, QSet<zip_uint64_t>* badNameEntries, zip_error_t* error)
{
    int code = 0;
    if (zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code))
        return archive;
    zip_error_init_with_code(error, code);
    if (code != ZIP_ER_INCONS)
        return nullptr;

    // Perhaps only names that are not what they claim: read past them.
    QSet<zip_uint64_t> bad;
    std::vector<qint64> flagBytes = findBadUtf8Names(path, &bad);
    if (flagBytes.empty())
        return nullptr;
    auto masked = std::make_unique<MaskedFile>();
    masked->file.setFileName(path);
    masked->flagBytes = std::move(flagBytes);
    if (!masked->file.open(QIODevice::ReadOnly))
        return nullptr;
    zip_source_t* source = zip_source_function_create(maskedFileCallback, masked.get(), nullptr);
    if (!source)
        return nullptr;
    masked.release(); // the source frees it
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, nullptr);
    if (!archive) {
        zip_source_free(source);
        return nullptr;
    }
    *badNameEntries = std::move(bad);
    return archive;
}

QString zipErrorText(zip_error_t* error)
{
    return QStringLiteral("%1 — %2").arg(zip_error_code_zip(error)).arg(QString::fromUtf8(zip_error_strerror(error)));
}

} // namespace dicom
