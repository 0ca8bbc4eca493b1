#include "vault/vaultnames.h"

#include <memory>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace tvr::server {

namespace {

constexpr char NameKeyLabel[] = "tvr-vault-names-v1";
constexpr int NonceBytes = 12;
constexpr int TagBytes = 16;

using CipherPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

QByteArray nameKey(const QByteArray &vaultKey)
{
    QByteArray key(32, Qt::Uninitialized);
    unsigned int length = 0;
    HMAC(EVP_sha256(), vaultKey.constData(), int(vaultKey.size()),
         reinterpret_cast<const unsigned char *>(NameKeyLabel), sizeof NameKeyLabel - 1,
         reinterpret_cast<unsigned char *>(key.data()), &length);
    return key;
}

QByteArray associatedData(qint64 userId, const QString &storedName)
{
    return QByteArray::number(userId) + ':' + storedName.toUtf8();
}

} // namespace

QString VaultNames::seal(const QByteArray &vaultKey, qint64 userId, const QString &storedName, const QString &name)
{
    QByteArray key = nameKey(vaultKey);
    QByteArray nonce(NonceBytes, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(nonce.data()), NonceBytes) != 1)
        return QString();
    const QByteArray plain = name.toUtf8();
    const QByteArray aad = associatedData(userId, storedName);
    QByteArray out = nonce;
    out.resize(NonceBytes + plain.size() + TagBytes);
    auto *cipher = reinterpret_cast<unsigned char *>(out.data() + NonceBytes);
    CipherPtr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int n = 0;
    const bool sealed =
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr,
                           reinterpret_cast<const unsigned char *>(key.constData()),
                           reinterpret_cast<const unsigned char *>(nonce.constData())) == 1 &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char *>(aad.constData()),
                          int(aad.size())) == 1 &&
        EVP_EncryptUpdate(ctx.get(), cipher, &n, reinterpret_cast<const unsigned char *>(plain.constData()),
                          int(plain.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx.get(), cipher + n, &n) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, TagBytes, cipher + plain.size()) == 1;
    key.fill('\0');
    return sealed ? QString::fromLatin1(out.toBase64()) : QString();
}

std::optional<QString> VaultNames::open(const QByteArray &vaultKey, qint64 userId, const QString &storedName,
                                        const QString &sealed)
{
    const QByteArray raw = QByteArray::fromBase64(sealed.toLatin1());
    if (raw.size() < NonceBytes + TagBytes)
        return std::nullopt;
    QByteArray key = nameKey(vaultKey);
    const QByteArray aad = associatedData(userId, storedName);
    const int cipherBytes = int(raw.size()) - NonceBytes - TagBytes;
    const auto *cipher = reinterpret_cast<const unsigned char *>(raw.constData() + NonceBytes);
    QByteArray tag = raw.right(TagBytes);
    QByteArray plain(cipherBytes, Qt::Uninitialized);
    CipherPtr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int n = 0;
    const bool opened =
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr,
                           reinterpret_cast<const unsigned char *>(key.constData()),
                           reinterpret_cast<const unsigned char *>(raw.constData())) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char *>(aad.constData()),
                          int(aad.size())) == 1 &&
        EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char *>(plain.data()), &n, cipher, cipherBytes) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, TagBytes, tag.data()) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(plain.data()) + n, &n) == 1;
    key.fill('\0');
    if (!opened)
        return std::nullopt;
    return QString::fromUtf8(plain);
}

} // namespace tvr::server
