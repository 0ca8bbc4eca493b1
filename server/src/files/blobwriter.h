#pragma once

#include <QString>
#include <memory>
#include <openssl/evp.h>

namespace tvr::server {

// Streams incoming bytes into a temporary file while computing their SHA-256 and MD5, so that
// no upload is ever held in memory. finish() flushes the file to disk; the BlobStore then
// moves it under its content hash. An unfinished or uncommitted temporary file is removed
// when the writer is destroyed.
class BlobWriter final
{
public:
    explicit BlobWriter(const QString &tempDir);
    ~BlobWriter();
    BlobWriter(const BlobWriter &) = delete;
    BlobWriter &operator=(const BlobWriter &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    bool write(const char *data, size_t length);
    bool finish();

    qint64 size() const { return m_size; }
    QString sha256Hex() const { return m_sha256; }
    QString md5Hex() const { return m_md5; }
    QString tempPath() const { return m_tempPath; }
    // Called by the store once the file has been moved away or adopted.
    void release() { m_tempPath.clear(); }

private:
    bool writeBytes(const char *data, size_t length);

    QString m_tempPath;
    int m_fd = -1;
    qint64 m_size = 0;
    EVP_MD_CTX *m_shaCtx = nullptr;
    EVP_MD_CTX *m_md5Ctx = nullptr;
    QString m_sha256;
    QString m_md5;
};

} // namespace tvr::server
