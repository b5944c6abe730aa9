#include "app/RowFileZipSource.h"

#include "dicom/FileDescriptorStream.h"
#include "dicom/FileIdentity.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <unistd.h>

namespace {

struct RowFileSource
{
    dicom::RowFile file;
    qsizetype at = -1;
    ZipRowFileRefusal* refusal = nullptr;
    std::shared_ptr<const dicom::OpenedFile> opened; // while libzip reads the entry
    dicom::FileIdentity identity;                    // as it was opened
    qint64 position = 0;
    zip_error_t error{};
};

zip_int64_t refuse(RowFileSource& source, dicom::RowFileTaken taken, const QString& why)
{
    if (source.refusal->at < 0)
        *source.refusal = {source.at, taken, why};
    source.opened.reset();
    zip_error_set(&source.error, ZIP_ER_READ, 0);
    return -1;
}

zip_int64_t readEntry(RowFileSource& source, void* data, zip_uint64_t length)
{
    if (!source.opened) {
        zip_error_set(&source.error, ZIP_ER_INTERNAL, 0);
        return -1;
    }
    for (;;) {
        const ssize_t n = ::pread(source.opened->descriptor(), data,
                                  size_t(std::min<zip_uint64_t>(length, 1 << 30)), off_t(source.position));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return refuse(source, dicom::RowFileTaken::Failed, platform::unreadableSource(errno));
        // Bytes read while the file was cut or written into are no copy of it.
        if (n == 0 && source.opened->changedSinceOpened())
            return refuse(source, dicom::RowFileTaken::Changed, dicom::changedDuringCopyText());
        source.position += n;
        return n;
    }
}

zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    RowFileSource& source = *static_cast<RowFileSource*>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN: {
        dicom::testing::reachCopyMoment(source.file.path, dicom::testing::CopyMoment::BeforeOpening);
        const dicom::RowFileOpening opening = dicom::openRowFile(source.file);
        if (!opening.file)
            return refuse(source, opening.taken, opening.why);
        source.opened = opening.file;
        source.identity = opening.file->identity();
        source.position = 0;
        dicom::testing::reachCopyMoment(source.file.path, dicom::testing::CopyMoment::Opened);
        return 0;
    }
    case ZIP_SOURCE_READ:
        return readEntry(source, data, length);
    case ZIP_SOURCE_CLOSE:
        source.opened.reset(); // an archive of thousands of files holds one open at a time
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source.error);
        if (!stat)
            return -1;
        zip_stat_init(stat);
        // Asked before the entry is opened too: the file as its path shows it now, which only sizes
        // the entry's header; the bytes read make the entry.
        const dicom::FileIdentity identity =
            source.identity.exists() ? source.identity : dicom::fileIdentity(source.file.path);
        if (identity.exists()) {
            stat->size = zip_uint64_t(identity.size);
            stat->mtime = time_t(identity.modifiedNs / 1000000000);
            stat->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        }
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&source.error, data, length);
    case ZIP_SOURCE_FREE:
        zip_error_fini(&source.error);
        delete &source;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
        zip_error_set(&source.error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

} // namespace

zip_source_t* rowFileZipSource(zip_t* archive, const dicom::RowFile& file, qsizetype at,
                               ZipRowFileRefusal* refusal)
{
    auto state = std::make_unique<RowFileSource>();
    state->file = file;
    state->at = at;
    state->refusal = refusal;
    zip_error_init(&state->error);
    zip_source_t* source = zip_source_function(archive, callback, state.get());
    if (!source) {
        zip_error_fini(&state->error);
        return nullptr;
    }
    state.release(); // the source's now, let go at ZIP_SOURCE_FREE
    return source;
}
