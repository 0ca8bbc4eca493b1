#include "blobwriter.h"

#include <QByteArray>
#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>

namespace tvr::server {

BlobWriter::BlobWriter(const QString &tempDir)
{
    QByteArray pattern = (tempDir + QStringLiteral("/blob-XXXXXX")).toUtf8();
    m_fd = mkstemp(pattern.data());
    if (m_fd < 0)
        return;
    m_tempPath = QString::fromUtf8(pattern);
    m_shaCtx = EVP_MD_CTX_new();
    m_md5Ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(m_shaCtx, EVP_sha256(), nullptr);
    EVP_DigestInit_ex(m_md5Ctx, EVP_md5(), nullptr);
}

BlobWriter::~BlobWriter()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_tempPath.isEmpty())
        QFile::remove(m_tempPath);
    EVP_MD_CTX_free(m_shaCtx);
    EVP_MD_CTX_free(m_md5Ctx);
}

bool BlobWriter::write(const char *data, size_t length)
{
    if (m_fd < 0)
        return false;
    EVP_DigestUpdate(m_shaCtx, data, length);
    EVP_DigestUpdate(m_md5Ctx, data, length);
    return writeBytes(data, length);
}

bool BlobWriter::writeBytes(const char *data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(m_fd, data + done, length - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += size_t(n);
    }
    m_size += qint64(length);
    return true;
}

namespace {
constexpr size_t CopyBufferBytes = 1024 * 1024;

// Feeds every byte of the files, in order, to sink; false when a file cannot be read or sink refuses.
template<typename Sink>
bool readFiles(const QStringList &paths, const std::atomic_bool &stop, Sink &&sink)
{
    std::unique_ptr<char[]> buffer(new char[CopyBufferBytes]);
    for (const QString &path : paths) {
        const int in = ::open(path.toUtf8().constData(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
            return false;
        bool ok = true;
        while (ok && !stop) {
            const ssize_t n = ::read(in, buffer.get(), CopyBufferBytes);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            ok = sink(buffer.get(), size_t(n));
        }
        ::close(in);
        if (!ok || stop)
            return false;
    }
    return true;
}
} // namespace

bool BlobWriter::appendFiles(const QStringList &paths)
{
    if (m_fd < 0)
        return false;
    std::atomic_bool stop = false;
    bool md5Read = false;
    // The MD5 context belongs to the helper thread until join(); this thread only touches the
    // SHA-256 context and the file.
    std::thread md5Thread([&] {
        md5Read = readFiles(paths, stop, [this](const char *data, size_t length) {
            return EVP_DigestUpdate(m_md5Ctx, data, length) == 1;
        });
    });
    const bool copied = readFiles(paths, stop, [this](const char *data, size_t length) {
        EVP_DigestUpdate(m_shaCtx, data, length);
        return writeBytes(data, length);
    });
    if (!copied)
        stop = true;
    md5Thread.join();
    return copied && md5Read;
}

static QString hexDigest(EVP_MD_CTX *ctx)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, digest, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

bool BlobWriter::finish()
{
    if (m_fd < 0)
        return false;
    const bool synced = ::fsync(m_fd) == 0;
    ::close(m_fd);
    m_fd = -1;
    m_sha256 = hexDigest(m_shaCtx);
    m_md5 = hexDigest(m_md5Ctx);
    return synced;
}

} // namespace tvr::server
