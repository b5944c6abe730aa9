#include "platform/ContentDigest.h"

#include "platform/OwnFileDoor.h"

#include <QFile>

#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kDigestBytes = 32;
const char kMarkName[] = "user.kalvenor.copy";

} // namespace

struct ContentDigest::State
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(context); }
};

ContentDigest::ContentDigest() : m_state(std::make_unique<State>())
{
    EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr);
}

ContentDigest::~ContentDigest() = default;

void ContentDigest::add(const char* data, qint64 size)
{
    if (size > 0)
        EVP_DigestUpdate(m_state->context, data, size_t(size));
}

QByteArray ContentDigest::result()
{
    QByteArray digest(kDigestBytes, Qt::Uninitialized);
    unsigned int length = 0;
    const bool done =
        EVP_DigestFinal_ex(m_state->context, reinterpret_cast<unsigned char*>(digest.data()), &length) == 1 &&
        length == unsigned(kDigestBytes);
    EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr);
    return done ? digest : QByteArray();
}

QByteArray ContentDigest::ofOpen(int fd)
{
    ContentDigest digest;
    QByteArray block(256 * 1024, Qt::Uninitialized);
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, block.data(), size_t(block.size()), at);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return {};
        }
        if (got == 0)
            break;
        digest.add(block.constData(), got);
        at += got;
    }
    return digest.result();
}

QByteArray ContentDigest::of(const QString& path)
{
    const Descriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return file.fd() >= 0 ? ofOpen(file.fd()) : QByteArray();
}

bool ContentDigest::mark(int fd, const QByteArray& digest)
{
    return digest.size() == kDigestBytes &&
           ::fsetxattr(fd, kMarkName, digest.constData(), size_t(digest.size()), 0) == 0;
}

QByteArray ContentDigest::markOf(const QString& path)
{
    QByteArray digest(kDigestBytes, Qt::Uninitialized);
    const ssize_t got =
        ::lgetxattr(QFile::encodeName(path).constData(), kMarkName, digest.data(), size_t(digest.size()));
    return got == kDigestBytes ? digest : QByteArray();
}

QByteArray ContentDigest::provenMark(const QString& path)
{
    const QByteArray marked = markOf(path);
    return !marked.isEmpty() && of(path) == marked ? marked : QByteArray();
}

} // namespace platform
