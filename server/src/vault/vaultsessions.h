#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <mutex>
#include <optional>

namespace tvr::server {

// Unlocked vaults, in memory only. Unlocking gives a random token bound to one user and to the
// login session that unlocked it, and holds the vault key while the token lives; the token
// lapses after IdleSecs without a vault request, on lock or reset and when its login session
// ends, and the key is wiped with it. Failed unlocks are counted per user and
// throttled, since each guess is otherwise limited only by the key derivation's cost.
class VaultSessions final
{
public:
    static constexpr qint64 IdleSecs = 15 * 60;
    static constexpr int MaxFailures = 5;
    static constexpr qint64 FailureWindowSecs = 15 * 60;

    VaultSessions() = default;
    ~VaultSessions();
    VaultSessions(const VaultSessions &) = delete;
    VaultSessions &operator=(const VaultSessions &) = delete;

    // A new token for the user's login session (the SHA-256 hex of its token) holding the key.
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

private:
    struct Entry
    {
        qint64 userId = 0;
        QString session;
        QByteArray key;
        qint64 lastUsed = 0;
    };
    struct Failures
    {
        int count = 0;
        qint64 firstAt = 0;
    };

    void dropLapsed(qint64 nowSecs);
    static QByteArray tokenKey(const QString &token);

    std::mutex m_mutex;
    std::map<QByteArray, Entry> m_entries; // by SHA-256 of the token
    std::map<qint64, Failures> m_failures;
};

} // namespace tvr::server
