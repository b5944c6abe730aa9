#include "dicom/FileDescriptorStream.h"

#include <QFile>

#include <dcmtk/dcmdata/dcerror.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dicom {

OpenedFile::OpenedFile(int fd, const QString& path, const FileIdentity& identity)
    : m_fd(fd), m_path(path), m_identity(identity)
{
}

OpenedFile::~OpenedFile()
{
    ::close(m_fd);
}

std::shared_ptr<const OpenedFile> OpenedFile::open(const QString& path)
{
    // Not blocking: a name that leads to a pipe must not hold the reader until someone writes into it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<const OpenedFile>(new OpenedFile(fd, path, fileIdentity(fd)));
}

OFCondition fileChangedCondition()
{
    return makeOFCondition(OFM_dcmdata, 995, OF_error, "the file changed since it was opened");
}

// Reads the opening from an offset through a window of its own; the end is where the file ended when
// it was opened. A read that fails or comes back short ends the data there, as a file cut short does.
class FileDescriptorStream::Producer final : public DcmProducer
{
  public:
    Producer(const OpenedFile* file, offile_off_t offset)
        : m_fd(file ? file->descriptor() : -1), m_size(file ? file->identity().size : 0),
          m_position(qBound(qint64(0), qint64(offset), m_size))
    {
        if (!file)
            m_status = fileChangedCondition();
    }

    OFBool good() const override { return m_status.good(); }
    OFCondition status() const override { return m_status; }
    OFBool eos() override { return m_status.bad() || m_position >= m_size; }
    offile_off_t avail() override { return m_status.bad() ? 0 : offile_off_t(m_size - m_position); }

    offile_off_t read(void* buf, offile_off_t buflen) override
    {
        if (m_status.bad() || !buf || buflen <= 0)
            return 0;
        auto* out = static_cast<uchar*>(buf);
        qint64 wanted = qMin<qint64>(buflen, m_size - m_position);
        qint64 done = 0;
        while (wanted > 0) {
            if (m_position >= m_windowStart && m_position < m_windowStart + m_windowLength) {
                const qint64 n = qMin(wanted, m_windowStart + m_windowLength - m_position);
                std::memcpy(out + done, m_window.data() + (m_position - m_windowStart), size_t(n));
                done += n;
                m_position += n;
                wanted -= n;
                continue;
            }
            // A value's bulk goes straight where DCMTK wants it; headers come from the window.
            if (wanted >= kWindow) {
                const qint64 n = readAt(out + done, wanted, m_position);
                done += n;
                m_position += n;
                if (n < wanted)
                    m_size = m_position;
                break;
            }
            if (!fill())
                break;
        }
        return offile_off_t(done);
    }

    offile_off_t skip(offile_off_t skiplen) override
    {
        if (m_status.bad() || skiplen <= 0)
            return 0;
        const qint64 n = qMin<qint64>(skiplen, m_size - m_position);
        m_position += n;
        return offile_off_t(n);
    }

    void putback(offile_off_t num) override
    {
        if (m_status.bad() || num <= 0)
            return;
        if (num > m_position)
            m_status = EC_PutbackFailed;
        else
            m_position -= num;
    }

  private:
    static constexpr qint64 kWindow = 64 * 1024;

    qint64 readAt(uchar* to, qint64 length, qint64 offset) const
    {
        qint64 got = 0;
        while (got < length) {
            const ssize_t n = ::pread(m_fd, to + got, size_t(length - got), off_t(offset + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        return got;
    }

    bool fill()
    {
        if (m_window.empty())
            m_window.resize(size_t(kWindow));
        m_windowStart = m_position;
        m_windowLength = readAt(m_window.data(), qMin(kWindow, m_size - m_position), m_position);
        if (m_windowLength == 0)
            m_size = m_position;
        return m_windowLength > 0;
    }

    int m_fd;
    qint64 m_size;
    qint64 m_position;
    OFCondition m_status = EC_Normal;
    std::vector<uchar> m_window;
    qint64 m_windowStart = 0;
    qint64 m_windowLength = 0;
};

namespace {

// What DCMTK keeps of a value left in the file: where the file was and what it was then.
class ReopeningFactory final : public DcmInputStreamFactory
{
  public:
    ReopeningFactory(const QString& path, const FileIdentity& identity, offile_off_t offset)
        : m_path(path), m_identity(identity), m_offset(offset)
    {
    }

    DcmInputStream* create() const override
    {
        std::shared_ptr<const OpenedFile> file = OpenedFile::open(m_path);
        if (file && file->identity() != m_identity)
            file.reset();
        return new FileDescriptorStream(std::move(file), m_offset);
    }
    DcmInputStreamFactory* clone() const override { return new ReopeningFactory(*this); }
    DcmInputStreamFactoryType ident() const override { return DFT_DcmInputFileStreamFactory; }

  private:
    QString m_path;
    FileIdentity m_identity;
    offile_off_t m_offset;
};

} // namespace

FileDescriptorStream::FileDescriptorStream(std::shared_ptr<const OpenedFile> file, offile_off_t offset)
    : FileDescriptorStream(std::make_unique<Producer>(file.get(), offset), file, offset)
{
}

FileDescriptorStream::FileDescriptorStream(std::unique_ptr<Producer> producer,
                                           const std::shared_ptr<const OpenedFile>& file, offile_off_t offset)
    : DcmInputStream(producer.get()), m_producer(std::move(producer)), m_file(file), m_offset(offset)
{
}

FileDescriptorStream::~FileDescriptorStream() = default;

DcmInputStreamFactory* FileDescriptorStream::newFactory() const
{
    // A value in a stream inflated as it is read has no place in the file to come back to.
    if (!m_file || currentProducer() != m_producer.get())
        return nullptr;
    return new ReopeningFactory(m_file->path(), m_file->identity(), m_offset + tell());
}

} // namespace dicom
