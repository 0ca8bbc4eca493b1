#pragma once

#include "vault/vaultkey.h"

#include <QJsonArray>
#include <QString>
#include <optional>

namespace tvr::server {

class QuotaReservation;
struct ServerContext;

// The vaults on record: each user's password record and encrypted files. File contents live
// under "vault/<user id>/" in the data directory, named by random ids, encrypted with the
// vault key (see VaultEncryptor); the database keeps the size and the user's file name sealed
// under the vault key too (VaultNames), so reading either needs the vault unlocked.
class VaultStore final
{
public:
    struct File
    {
        qint64 id = 0;
        QString name;
        qint64 size = 0;
        QString storedName;
        QString createdAt;
    };

    static std::optional<VaultKeyRecord> record(ServerContext &ctx, qint64 userId);
    // False when the user already has a vault (or on a database error).
    static bool create(ServerContext &ctx, qint64 userId, const VaultKeyRecord &record);

    static QJsonArray list(ServerContext &ctx, qint64 userId, const QByteArray &vaultKey);
    static std::optional<File> find(ServerContext &ctx, qint64 userId, qint64 id, const QByteArray &vaultKey);
    // Seals names still kept in clear (files stored before names were sealed).
    static void sealClearNames(ServerContext &ctx, qint64 userId, const QByteArray &vaultKey);
    // A fresh path for a new encrypted file and the name to record for it.
    static QString newStoredName();
    static QString pathFor(ServerContext &ctx, qint64 userId, const QString &storedName);
    // Records an encrypted file already written at its path, checked against the quota in the
    // same transaction (the write's reservation is released there); removes the file when that
    // fails, with 507 (no room) or 500 in `status`.
    static std::optional<File> addFile(ServerContext &ctx, qint64 userId, const QString &name, qint64 size,
                                       const QString &storedName, const QByteArray &vaultKey, QuotaReservation &room,
                                       int *status);
    static bool removeFile(ServerContext &ctx, qint64 userId, qint64 id);
    // Deletes the vault, every file in it and its password record.
    static bool reset(ServerContext &ctx, qint64 userId);

    // Plaintext bytes held in the user's vault (counted against the quota).
    static qint64 usedBytes(ServerContext &ctx, qint64 userId);
    // At start-up: removes encrypted files that no row refers to (a crash between the two).
    static void sweep(ServerContext &ctx);
};

} // namespace tvr::server
