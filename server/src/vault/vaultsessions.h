#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace tvr::server {

class Database;

// Unlocked vaults, shared by every instance through the database. Unlocking gives a random token
// bound to one user and to the login session that unlocked it; the token lapses after IdleSecs
// without a vault request, on lock or reset and when its login session ends. The row of a token
// is found by the token's SHA-256 and holds the vault key wrapped (AES-256-GCM) under a key
// derived from the token itself (HKDF-SHA-256), so the database alone never yields a vault key:
// only a request bearing the token can unwrap it. Failed unlocks are counted per user and
// throttled, since each guess is otherwise limited only by the key derivation's cost.
class VaultSessions final
{
public:
    static constexpr qint64 IdleSecs = 15 * 60;
    static constexpr int MaxFailures = 5;
    static constexpr qint64 FailureWindowSecs = 15 * 60;

    explicit VaultSessions(Database &db)
        : m_db(db)
    {}
    VaultSessions(const VaultSessions &) = delete;
    VaultSessions &operator=(const VaultSessions &) = delete;

    // A new token for the user's login session (the SHA-256 hex of its token) holding the key;
    // empty when it could not be recorded.
    QString open(qint64 userId, const QString &session, const QByteArray &key, qint64 nowSecs);
    // The key behind a live token of this user and login session, and a fresh idle period;
    // nothing for an unknown, lapsed or foreign token.
    std::optional<QByteArray> touch(const QString &token, qint64 userId, const QString &session, qint64 nowSecs);
    void close(const QString &token, qint64 userId);
    void closeAll(qint64 userId);
    // Closes what the login session unlocked.
    void closeSession(qint64 userId, const QString &session);

    // Seconds until the user may try again; 0 when unlocking is allowed now.
    qint64 retryAfter(qint64 userId, qint64 nowSecs);
    void recordFailure(qint64 userId, qint64 nowSecs);
    void clearFailures(qint64 userId);

    // The wrapping itself, apart for tests: nonce, sealed key and tag in one value, bound to
    // the row's name.
    static QByteArray wrap(const QString &token, const QByteArray &key);
    static std::optional<QByteArray> unwrap(const QString &token, const QByteArray &wrapped);
    static QString tokenHash(const QString &token);

private:
    void dropLapsed(qint64 nowSecs);

    Database &m_db;
};

} // namespace tvr::server
