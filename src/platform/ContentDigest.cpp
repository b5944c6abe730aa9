#include "platform/ContentDigest.h"

#include "platform/OwnFileDoor.h"

#include <QFile>

#include <openssl/evp.h>
#include <xxhash.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace platform {

namespace {

// XXH3-128, recorded for every new copy.
constexpr qsizetype kDigestBytes = qsizetype(sizeof(XXH128_canonical_t));
// SHA-256, recorded by earlier versions.
constexpr qsizetype kEarlierDigestBytes = 32;
const char kMarkName[] = "user.kalvenor.copy";

// Reads the descriptor's bytes from `from` up to `to` (to its end when -1), a block at a time, into
// `take`; the offset reached, or -1 when they cannot be read.
template <typename Take>
qint64 readRange(int fd, qint64 from, qint64 to, Take take)
{
    QByteArray block(256 * 1024, Qt::Uninitialized);
    for (qint64 at = from;;) {
        const qint64 wanted = to < 0 ? block.size() : qMin<qint64>(block.size(), to - at);
        if (wanted == 0)
            return at;
        const ssize_t got = ::pread(fd, block.data(), size_t(wanted), off_t(at));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            return at;
        take(block.constData(), size_t(got));
        at += got;
    }
}

template <typename Take>
bool readWhole(int fd, Take take)
{
    return readRange(fd, 0, -1, take) >= 0;
}

// The digest a mark read into `digest` records, when it is of either kind; a mark of an earlier version
// is the longer one, so the buffer is of that length.
QByteArray recognisedMark(QByteArray digest, ssize_t got)
{
    if (got != kDigestBytes && got != kEarlierDigestBytes)
        return {};
    digest.truncate(got);
    return digest;
}

QByteArray earlierDigestOfOpen(int fd)
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    QByteArray digest(kEarlierDigestBytes, Qt::Uninitialized);
    unsigned int length = 0;
    const bool done =
        context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1 &&
        readWhole(fd, [context](const char* data, size_t size) { EVP_DigestUpdate(context, data, size); }) &&
        EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char*>(digest.data()), &length) == 1 &&
        length == unsigned(kEarlierDigestBytes);
    EVP_MD_CTX_free(context);
    return done ? digest : QByteArray();
}

} // namespace

struct ContentDigest::State
{
    XXH3_state_t* state = XXH3_createState();
    ~State() { XXH3_freeState(state); }
};

ContentDigest::ContentDigest() : m_state(std::make_unique<State>())
{
    XXH3_128bits_reset(m_state->state);
}

ContentDigest::~ContentDigest() = default;

void ContentDigest::add(const char* data, qint64 size)
{
    if (size > 0 && m_state->state)
        XXH3_128bits_update(m_state->state, data, size_t(size));
}

QByteArray ContentDigest::result()
{
    if (!m_state->state)
        return {};
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(m_state->state));
    XXH3_128bits_reset(m_state->state);
    return QByteArray(reinterpret_cast<const char*>(canonical.digest), kDigestBytes);
}

QByteArray ContentDigest::resultSoFar() const
{
    if (!m_state->state)
        return {};
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(m_state->state));
    return QByteArray(reinterpret_cast<const char*>(canonical.digest), kDigestBytes);
}

qint64 ContentDigest::addRead(int fd, qint64 from, qint64 to)
{
    return readRange(fd, from, to, [this](const char* data, size_t size) { add(data, qint64(size)); });
}

QByteArray ContentDigest::ofOpen(int fd)
{
    ContentDigest digest;
    return readWhole(fd, [&digest](const char* data, size_t size) { digest.add(data, qint64(size)); })
               ? digest.result()
               : QByteArray();
}

QByteArray ContentDigest::of(const QString& path)
{
    const Descriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return file.fd() >= 0 ? ofOpen(file.fd()) : QByteArray();
}

bool ContentDigest::proves(int fd, const QByteArray& recorded)
{
    switch (recorded.size()) {
    case kDigestBytes:
        return ofOpen(fd) == recorded;
    case kEarlierDigestBytes:
        return earlierDigestOfOpen(fd) == recorded;
    default:
        return false;
    }
}

bool ContentDigest::mark(int fd, const QByteArray& digest)
{
    return digest.size() == kDigestBytes &&
           ::fsetxattr(fd, kMarkName, digest.constData(), size_t(digest.size()), 0) == 0;
}

QByteArray ContentDigest::markOf(const QString& path)
{
    QByteArray digest(kEarlierDigestBytes, Qt::Uninitialized);
    const ssize_t got =
        ::lgetxattr(QFile::encodeName(path).constData(), kMarkName, digest.data(), size_t(digest.size()));
    return recognisedMark(digest, got);
}

QByteArray ContentDigest::provenMark(const QString& path)
{
    // The mark and the bytes of one opening of the file.
    const Descriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.fd() < 0)
        return {};
    QByteArray digest(kEarlierDigestBytes, Qt::Uninitialized);
    const ssize_t got = ::fgetxattr(file.fd(), kMarkName, digest.data(), size_t(digest.size()));
    const QByteArray marked = recognisedMark(digest, got);
    return !marked.isEmpty() && proves(file.fd(), marked) ? marked : QByteArray();
}

} // namespace platform
