#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace tvr::server {

// Vault file names at rest: sealed with AES-256-GCM under a key derived from the vault key
// (so they can be read only while the vault is unlocked), a random nonce per name, and bound
// to the user and the file's stored name (a sealed name copied onto another row does not open).
// Text form: Base64 of nonce || ciphertext || tag.
class VaultNames final
{
public:
    static QString seal(const QByteArray &vaultKey, qint64 userId, const QString &storedName, const QString &name);
    // The name, or nothing when the text was not sealed under this key for this file.
    static std::optional<QString> open(const QByteArray &vaultKey, qint64 userId, const QString &storedName,
                                       const QString &sealed);
};

} // namespace tvr::server
