#include "vault/vaultkey.h"

#include <QStringList>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

namespace tvr::server {

namespace {

constexpr int DerivedBytes = 64;
// Bounds on stored parameters, so a damaged record cannot make a derivation run for hours.
constexpr int MinCostLog2 = 10;
constexpr int MaxCostLog2 = 20;
constexpr int MaxBlockSize = 16;
constexpr int MaxParallelism = 4;

std::optional<QByteArray> derive(const QByteArray &password, const VaultKeyRecord &record)
{
    const uint64_t n = uint64_t(1) << record.costLog2;
    const uint64_t r = uint64_t(record.blockSize);
    const uint64_t p = uint64_t(record.parallelism);
    // scrypt needs 128 * r * N * p bytes of work memory plus some slack.
    const uint64_t maxMem = 128 * r * n * p + 16 * 1024 * 1024;
    QByteArray out(DerivedBytes, Qt::Uninitialized);
    const int ok = EVP_PBE_scrypt(
        password.constData(), size_t(password.size()), reinterpret_cast<const unsigned char *>(record.salt.constData()),
        size_t(record.salt.size()), n, r, p, maxMem, reinterpret_cast<unsigned char *>(out.data()), size_t(out.size()));
    if (ok != 1) {
        VaultKey::wipe(out);
        return std::nullopt;
    }
    return out;
}

QByteArray verifierOf(const QByteArray &derived)
{
    QByteArray digest(SHA256_DIGEST_LENGTH, Qt::Uninitialized);
    SHA256(reinterpret_cast<const unsigned char *>(derived.constData()) + VaultKey::KeyBytes,
           size_t(DerivedBytes - VaultKey::KeyBytes), reinterpret_cast<unsigned char *>(digest.data()));
    return digest;
}

bool parametersSane(const VaultKeyRecord &record)
{
    return record.costLog2 >= MinCostLog2 && record.costLog2 <= MaxCostLog2 && record.blockSize >= 1 &&
           record.blockSize <= MaxBlockSize && record.parallelism >= 1 && record.parallelism <= MaxParallelism &&
           record.salt.size() == VaultKey::SaltBytes && record.verifier.size() == SHA256_DIGEST_LENGTH;
}

} // namespace

QString VaultKeyRecord::encode() const
{
    return QStringLiteral("scrypt$%1$%2$%3$%4$%5")
        .arg(costLog2)
        .arg(blockSize)
        .arg(parallelism)
        .arg(QString::fromLatin1(salt.toBase64()), QString::fromLatin1(verifier.toBase64()));
}

std::optional<VaultKeyRecord> VaultKeyRecord::decode(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('$'));
    if (parts.size() != 6 || parts[0] != QLatin1String("scrypt"))
        return std::nullopt;
    VaultKeyRecord record;
    bool okN = false, okR = false, okP = false;
    record.costLog2 = parts[1].toInt(&okN);
    record.blockSize = parts[2].toInt(&okR);
    record.parallelism = parts[3].toInt(&okP);
    const auto strict = QByteArray::AbortOnBase64DecodingErrors;
    const auto salt = QByteArray::fromBase64Encoding(parts[4].toLatin1(), strict);
    const auto verifier = QByteArray::fromBase64Encoding(parts[5].toLatin1(), strict);
    if (!okN || !okR || !okP || !salt || !verifier)
        return std::nullopt;
    record.salt = *salt;
    record.verifier = *verifier;
    if (!parametersSane(record))
        return std::nullopt;
    return record;
}

std::optional<VaultKey::Created> VaultKey::create(const QByteArray &password, int costLog2)
{
    VaultKeyRecord record;
    record.costLog2 = costLog2;
    record.salt.resize(SaltBytes);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(record.salt.data()), SaltBytes) != 1)
        return std::nullopt;
    auto derived = derive(password, record);
    if (!derived)
        return std::nullopt;
    record.verifier = verifierOf(*derived);
    Created created{record, derived->left(KeyBytes)};
    wipe(*derived);
    return created;
}

std::optional<QByteArray> VaultKey::unlock(const VaultKeyRecord &record, const QByteArray &password)
{
    if (!parametersSane(record))
        return std::nullopt;
    auto derived = derive(password, record);
    if (!derived)
        return std::nullopt;
    const QByteArray verifier = verifierOf(*derived);
    const bool match = CRYPTO_memcmp(verifier.constData(), record.verifier.constData(), size_t(verifier.size())) == 0;
    std::optional<QByteArray> key;
    if (match)
        key = derived->left(KeyBytes);
    wipe(*derived);
    return key;
}

void VaultKey::wipe(QByteArray &secret)
{
    if (!secret.isEmpty())
        OPENSSL_cleanse(secret.data(), size_t(secret.size()));
    secret.clear();
}

} // namespace tvr::server
