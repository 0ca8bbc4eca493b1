#include "vault/vaultformat.h"

#include <QtEndian>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace tvr::server::vaultformat {

namespace {
constexpr char FileKeyLabel[] = "tvr-vault-file-v1";
}

QByteArray makeHeader(quint32 blockBytes, const QByteArray &salt)
{
    QByteArray header(Magic, MagicBytes);
    header.append(char(Version));
    header.append(3, '\0');
    char size[4];
    qToBigEndian(blockBytes, size);
    header.append(size, 4);
    header.append(salt);
    return header;
}

QByteArray fileKey(const QByteArray &vaultKey, const QByteArray &salt)
{
    const QByteArray message = QByteArray(FileKeyLabel) + salt;
    QByteArray key(32, Qt::Uninitialized);
    unsigned int length = 0;
    HMAC(EVP_sha256(), vaultKey.constData(), vaultKey.size(),
         reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size()),
         reinterpret_cast<unsigned char *>(key.data()), &length);
    key.resize(int(length));
    return key;
}

QByteArray nonce(quint64 blockIndex)
{
    QByteArray iv(NonceBytes, '\0');
    qToBigEndian(blockIndex, iv.data() + 4);
    return iv;
}

QByteArray associatedData(const QByteArray &header, quint64 blockIndex, bool finalBlock)
{
    QByteArray aad = header;
    char index[8];
    qToBigEndian(blockIndex, index);
    aad.append(index, 8);
    aad.append(finalBlock ? '\1' : '\0');
    return aad;
}

} // namespace tvr::server::vaultformat
