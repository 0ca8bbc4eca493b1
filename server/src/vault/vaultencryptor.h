#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

class QSaveFile;
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace tvr::server {

// Encrypts a stream of bytes into a vault file (layout in vaultformat.h), one block at a time,
// so an upload of any size needs only one block of memory. The file appears at its path only
// when finish() succeeds; an encryptor destroyed before that leaves nothing behind.
class VaultEncryptor final
{
public:
    explicit VaultEncryptor(const QByteArray &vaultKey, quint32 blockBytes = 0);
    ~VaultEncryptor();
    VaultEncryptor(const VaultEncryptor &) = delete;
    VaultEncryptor &operator=(const VaultEncryptor &) = delete;

    bool open(const QString &path);
    bool write(const char *data, qint64 size);
    bool finish();

    qint64 plainBytes() const { return m_plainBytes; }
    QString errorString() const { return m_error; }

private:
    bool flushBlock(bool finalBlock);
    bool fail(const QString &message);

    QByteArray m_vaultKey;
    quint32 m_blockBytes;
    QByteArray m_fileKey;
    QByteArray m_header;
    QByteArray m_pending;
    quint64 m_blockIndex = 0;
    qint64 m_plainBytes = 0;
    bool m_failed = false;
    bool m_finished = false;
    QString m_error;
    std::unique_ptr<QSaveFile> m_file;
    EVP_CIPHER_CTX *m_ctx = nullptr;
};

} // namespace tvr::server
