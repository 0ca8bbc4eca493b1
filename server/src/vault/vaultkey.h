#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace tvr::server {

// What the server keeps of a vault password: the scrypt parameters, the salt and a verifier.
// Neither the password nor the key it derives is ever stored.
struct VaultKeyRecord
{
    QByteArray salt;     // random, SaltBytes long
    int costLog2 = 15;   // scrypt N = 2^costLog2
    int blockSize = 8;   // scrypt r
    int parallelism = 1; // scrypt p
    QByteArray verifier; // SHA-256 of the second half of the derived bytes

    // One line for a database column: "scrypt$N$r$p$salt$verifier" (Base64 parts).
    QString encode() const;
    static std::optional<VaultKeyRecord> decode(const QString &text);
};

// The key behind a vault password. The derivation yields 64 bytes: the first half is the
// AES-256 key, the second half only feeds the stored verifier, so the verifier says nothing
// about the key.
class VaultKey final
{
public:
    static constexpr int KeyBytes = 32;
    static constexpr int SaltBytes = 16;

    struct Created
    {
        VaultKeyRecord record;
        QByteArray key;
    };

    // A fresh record (new random salt) for the password, and its key; nothing when the
    // derivation itself fails (out of memory).
    static std::optional<Created> create(const QByteArray &password, int costLog2 = 15);
    // The key when the password matches the record; nothing for a wrong password or a
    // malformed record.
    static std::optional<QByteArray> unlock(const VaultKeyRecord &record, const QByteArray &password);
    // Overwrites key material before it is released.
    static void wipe(QByteArray &secret);
};

} // namespace tvr::server
