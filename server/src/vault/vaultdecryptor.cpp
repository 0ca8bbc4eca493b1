#include "vault/vaultdecryptor.h"

#include "vault/vaultformat.h"
#include "vault/vaultkey.h"

#include <QtEndian>
#include <openssl/evp.h>

namespace tvr::server {

VaultDecryptor::VaultDecryptor(const QByteArray &vaultKey)
    : m_vaultKey(vaultKey)
{}

VaultDecryptor::~VaultDecryptor()
{
    EVP_CIPHER_CTX_free(m_ctx);
    VaultKey::wipe(m_vaultKey);
    VaultKey::wipe(m_fileKey);
}

bool VaultDecryptor::open(const QString &path)
{
    using namespace vaultformat;
    if (m_vaultKey.size() != VaultKey::KeyBytes)
        return fail(QStringLiteral("invalid vault key"));
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly))
        return fail(m_file.errorString());
    m_header = m_file.read(HeaderBytes);
    if (m_header.size() != HeaderBytes || !m_header.startsWith(QByteArray(Magic, MagicBytes)) ||
        quint8(m_header.at(MagicBytes)) != Version)
        return fail(QStringLiteral("not a vault file"));
    m_blockBytes = qFromBigEndian<quint32>(m_header.constData() + MagicBytes + 4);
    if (m_blockBytes == 0 || m_blockBytes > MaxBlockBytes)
        return fail(QStringLiteral("not a vault file"));

    const qint64 body = m_file.size() - HeaderBytes;
    const qint64 fullBlock = qint64(m_blockBytes) + TagBytes;
    const qint64 fullBlocks = body / fullBlock;
    const qint64 rest = body % fullBlock;
    if (rest == 0) {
        if (fullBlocks == 0)
            return fail(QStringLiteral("truncated vault file"));
        m_blockCount = quint64(fullBlocks);
        m_lastBlockCipher = m_blockBytes;
    } else {
        if (rest < TagBytes)
            return fail(QStringLiteral("truncated vault file"));
        m_blockCount = quint64(fullBlocks) + 1;
        m_lastBlockCipher = rest - TagBytes;
    }
    m_plainBytes = body - qint64(m_blockCount) * TagBytes;
    m_fileKey = fileKey(m_vaultKey, m_header.mid(MagicBytes + 8, SaltBytes));
    m_ctx = EVP_CIPHER_CTX_new();
    if (!m_ctx)
        return fail(QStringLiteral("no cipher context"));
    return true;
}

bool VaultDecryptor::readBlock(QByteArray *plain)
{
    using namespace vaultformat;
    if (m_failed || !m_ctx || atEnd())
        return false;
    const bool finalBlock = m_nextBlock + 1 == m_blockCount;
    const qint64 cipherBytes = finalBlock ? m_lastBlockCipher : qint64(m_blockBytes);
    const QByteArray sealed = m_file.read(cipherBytes + TagBytes);
    if (sealed.size() != cipherBytes + TagBytes)
        return fail(QStringLiteral("truncated vault file"));

    const QByteArray iv = nonce(m_nextBlock);
    const QByteArray aad = associatedData(m_header, m_nextBlock, finalBlock);
    QByteArray out(int(cipherBytes), Qt::Uninitialized);
    auto *outBytes = reinterpret_cast<unsigned char *>(out.data());
    QByteArray tag = sealed.right(TagBytes);
    int length = 0;
    int tail = 0;
    const bool ok =
        EVP_DecryptInit_ex(m_ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_GCM_SET_IVLEN, NonceBytes, nullptr) == 1 &&
        EVP_DecryptInit_ex(m_ctx, nullptr, nullptr, reinterpret_cast<const unsigned char *>(m_fileKey.constData()),
                           reinterpret_cast<const unsigned char *>(iv.constData())) == 1 &&
        EVP_DecryptUpdate(m_ctx, nullptr, &length, reinterpret_cast<const unsigned char *>(aad.constData()),
                          aad.size()) == 1 &&
        EVP_DecryptUpdate(m_ctx, outBytes, &length, reinterpret_cast<const unsigned char *>(sealed.constData()),
                          int(cipherBytes)) == 1 &&
        EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_GCM_SET_TAG, TagBytes, tag.data()) == 1 &&
        EVP_DecryptFinal_ex(m_ctx, outBytes + length, &tail) == 1;
    if (!ok) {
        VaultKey::wipe(out);
        return fail(QStringLiteral("vault block failed authentication"));
    }
    ++m_nextBlock;
    *plain = out;
    return true;
}

bool VaultDecryptor::fail(const QString &message)
{
    m_failed = true;
    m_error = message;
    return false;
}

} // namespace tvr::server
