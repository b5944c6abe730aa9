#pragma once
// DCMTK reads a file by its name, and reads values it left in the file (Pixel Data above all) by
// opening that name again later: whatever was renamed or copied over the name meanwhile gives its
// bytes at the offsets of the first file. The stream here reads one opening of the file, and what
// DCMTK reads later it reads only from the very file that was opened, as long as it is unchanged.

#include "dicom/FileIdentity.h"

#include <QString>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcistrma.h>

#include <memory>

namespace dicom {

// One opening of a file, read-only, shared by the streams that read it; closed with the last of them.
class OpenedFile
{
  public:
    // Null when the path names no regular file that can be opened for reading.
    static std::shared_ptr<const OpenedFile> open(const QString& path);
    ~OpenedFile();
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    int descriptor() const { return m_fd; }
    const QString& path() const { return m_path; }
    // The file as it was when opened.
    const FileIdentity& identity() const { return m_identity; }
    // Its size, a time of change or its place moved since it was opened (cut, written into, touched,
    // another file renamed over its name), or it can no longer be asked.
    bool changedSinceOpened() const { return fileIdentity(m_fd) != m_identity; }

  private:
    OpenedFile(int fd, const QString& path, const FileIdentity& identity);

    int m_fd;
    QString m_path;
    FileIdentity m_identity;
};

// The condition a stream reports whose file is no longer the one the values were read from first.
OFCondition fileChangedCondition();

// A DCMTK input stream over an opening, read through a window (DCMTK takes a header a few bytes at a
// time), never through a mapping whose pages may vanish. The values DCMTK leaves in the file to read
// later are read from the file opened anew by its name, and only when it is still the file this
// opening read (device, inode, size and times of change): otherwise the later stream fails, and the
// value with it.
class FileDescriptorStream : public DcmInputStream
{
  public:
    // A stream over `file` from `offset`; a null file gives a stream that has failed.
    explicit FileDescriptorStream(std::shared_ptr<const OpenedFile> file, offile_off_t offset = 0);
    ~FileDescriptorStream() override;

    DcmInputStreamFactory* newFactory() const override;

  private:
    class Producer;
    FileDescriptorStream(std::unique_ptr<Producer> producer, const std::shared_ptr<const OpenedFile>& file,
                         offile_off_t offset);

    std::unique_ptr<Producer> m_producer;
    std::shared_ptr<const OpenedFile> m_file;
    offile_off_t m_offset; // where in the file this stream began
};

} // namespace dicom
