#include "files/blobwriter.h"

#include <QByteArray>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
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
