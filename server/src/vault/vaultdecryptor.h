#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace tvr::server {

// Reads a vault file back one authenticated block at a time. A block that does not
// authenticate (wrong key, altered, truncated or reordered data) stops the stream: no byte of
// it is ever handed out.
class VaultDecryptor final
{
public:
    explicit VaultDecryptor(const QByteArray &vaultKey);
    ~VaultDecryptor();
    VaultDecryptor(const VaultDecryptor &) = delete;
    VaultDecryptor &operator=(const VaultDecryptor &) = delete;

    // Opens the file and checks its header and overall length.
    bool open(const QString &path);
    qint64 plainBytes() const { return m_plainBytes; }
    bool atEnd() const { return m_nextBlock >= m_blockCount; }
    // The next block of plaintext (possibly empty for an empty file); false on any failure.
    bool readBlock(QByteArray *plain);
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &message);

    QByteArray m_vaultKey;
    QByteArray m_fileKey;
    QByteArray m_header;
    QFile m_file;
    quint32 m_blockBytes = 0;
    quint64 m_blockCount = 0;
    quint64 m_nextBlock = 0;
    qint64 m_lastBlockCipher = 0; // ciphertext bytes of the last block, tag excluded
    qint64 m_plainBytes = 0;
    bool m_failed = false;
    QString m_error;
    EVP_CIPHER_CTX *m_ctx = nullptr;
};

} // namespace tvr::server
