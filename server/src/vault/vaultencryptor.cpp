#include "vault/vaultencryptor.h"

#include "vault/vaultformat.h"
#include "vault/vaultkey.h"

#include <QSaveFile>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace tvr::server {

VaultEncryptor::VaultEncryptor(const QByteArray &vaultKey, quint32 blockBytes)
    : m_vaultKey(vaultKey)
    , m_blockBytes(blockBytes == 0 ? vaultformat::DefaultBlockBytes : qMin(blockBytes, vaultformat::MaxBlockBytes))
{}

VaultEncryptor::~VaultEncryptor()
{
    if (m_file && !m_finished)
        m_file->cancelWriting();
    EVP_CIPHER_CTX_free(m_ctx);
    VaultKey::wipe(m_vaultKey);
    VaultKey::wipe(m_fileKey);
    VaultKey::wipe(m_pending);
}

bool VaultEncryptor::open(const QString &path)
{
    if (m_vaultKey.size() != VaultKey::KeyBytes)
        return fail(QStringLiteral("invalid vault key"));
    QByteArray salt(vaultformat::SaltBytes, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(salt.data()), salt.size()) != 1)
        return fail(QStringLiteral("no random bytes"));
    m_ctx = EVP_CIPHER_CTX_new();
    if (!m_ctx)
        return fail(QStringLiteral("no cipher context"));
    m_header = vaultformat::makeHeader(m_blockBytes, salt);
    m_fileKey = vaultformat::fileKey(m_vaultKey, salt);
    m_file = std::make_unique<QSaveFile>(path);
    if (!m_file->open(QIODevice::WriteOnly))
        return fail(m_file->errorString());
    if (m_file->write(m_header) != m_header.size())
        return fail(m_file->errorString());
    m_pending.reserve(int(m_blockBytes));
    return true;
}

bool VaultEncryptor::write(const char *data, qint64 size)
{
    if (m_failed || m_finished || !m_file)
        return false;
    while (size > 0) {
        // A full pending block is written only when more data follows, so that the last block
        // of the stream is always the one flagged final.
        if (m_pending.size() == int(m_blockBytes) && !flushBlock(false))
            return false;
        const qint64 room = qint64(m_blockBytes) - m_pending.size();
        const qint64 take = qMin(room, size);
        m_pending.append(data, int(take));
        data += take;
        size -= take;
        m_plainBytes += take;
    }
    return true;
}

bool VaultEncryptor::finish()
{
    if (m_failed || m_finished || !m_file)
        return false;
    if (!flushBlock(true))
        return false;
    if (!m_file->commit())
        return fail(m_file->errorString());
    m_finished = true;
    return true;
}

bool VaultEncryptor::flushBlock(bool finalBlock)
{
    const QByteArray iv = vaultformat::nonce(m_blockIndex);
    const QByteArray aad = vaultformat::associatedData(m_header, m_blockIndex, finalBlock);
    QByteArray out(m_pending.size() + vaultformat::TagBytes, Qt::Uninitialized);
    auto *outBytes = reinterpret_cast<unsigned char *>(out.data());
    int length = 0;
    int tail = 0;
    const bool ok =
        EVP_EncryptInit_ex(m_ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_GCM_SET_IVLEN, vaultformat::NonceBytes, nullptr) == 1 &&
        EVP_EncryptInit_ex(m_ctx, nullptr, nullptr, reinterpret_cast<const unsigned char *>(m_fileKey.constData()),
                           reinterpret_cast<const unsigned char *>(iv.constData())) == 1 &&
        EVP_EncryptUpdate(m_ctx, nullptr, &length, reinterpret_cast<const unsigned char *>(aad.constData()),
                          aad.size()) == 1 &&
        EVP_EncryptUpdate(m_ctx, outBytes, &length, reinterpret_cast<const unsigned char *>(m_pending.constData()),
                          m_pending.size()) == 1 &&
        EVP_EncryptFinal_ex(m_ctx, outBytes + length, &tail) == 1 &&
        EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_GCM_GET_TAG, vaultformat::TagBytes, outBytes + m_pending.size()) == 1;
    if (!ok)
        return fail(QStringLiteral("encryption failed"));
    if (m_file->write(out) != out.size())
        return fail(m_file->errorString());
    ++m_blockIndex;
    m_pending.resize(0);
    return true;
}

bool VaultEncryptor::fail(const QString &message)
{
    m_failed = true;
    m_error = message;
    if (m_file)
        m_file->cancelWriting();
    return false;
}

} // namespace tvr::server
