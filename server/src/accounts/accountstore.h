#pragma once

#include "http/auth.h"

#include <QJsonObject>
#include <QString>
#include <optional>

namespace tvr::server {

struct ServerContext;

// Accounts and sessions. A session token is 256 random bits sent to the client once; the
// database keeps only its SHA-256.
class AccountStore final
{
public:
    static constexpr qint64 SessionIdleSecs = 30LL * 24 * 3600;

    static std::optional<AuthUser> resolveSession(ServerContext &ctx, qint64 userId, const QString &token);
    static QString createSession(ServerContext &ctx, qint64 userId, const QString &machineCode);
    // Ending a session (signing out, or lapsing after SessionIdleSecs) tells ctx.sessionEvents.
    static void revokeSession(ServerContext &ctx, qint64 userId, const QString &token);
    static void expireSessions(ServerContext &ctx);

    static std::optional<qint64> userIdByName(ServerContext &ctx, const QString &username);
    // Phones are proven (by an SMS code) or only claimed (typed into the profile). A proven
    // phone belongs to one account; a claim never keeps the person who proves the number out.
    // The account that proved this phone, if any.
    static std::optional<qint64> userIdByPhone(ServerContext &ctx, const QString &phone);
    // The account's phone, proven or not; empty when it has none.
    static QString phone(ServerContext &ctx, qint64 userId);
    // True when the account's phone, proven or not, is this one.
    static bool hasPhone(ServerContext &ctx, qint64 userId, const QString &phone);
    // True when any account has this phone, proven or not.
    static bool phoneKnown(ServerContext &ctx, const QString &phone);
    // The account proved the phone (an SMS code sent to it was entered): it becomes the
    // account's proven phone, and other accounts' unproven claims of it are dropped.
    static bool provePhone(ServerContext &ctx, qint64 userId, const QString &phone);
    // Creates an account with a proven phone (other accounts' unproven claims of it are dropped);
    // 0 when the user name or the phone is taken or the insert fails.
    static qint64 createUser(ServerContext &ctx, const QString &username, const QString &phone, const QString &name);
    // "138****8000": how a phone is shown to anyone but its owner.
    static QString maskedPhone(const QString &phone);
    // The name shown for an account: its display name, else its user name.
    static QString displayName(ServerContext &ctx, qint64 userId);
    static bool hasPassword(ServerContext &ctx, qint64 userId);
    // The storage an account has without purchases.
    static qint64 baseQuota(ServerContext &ctx, qint64 userId);
    // What other people may see of an account (its phone masked unless `viewerId` is the account).
    struct PublicInfo
    {
        QString name;
        QString username;
        QString phone;
    };
    static std::optional<PublicInfo> publicInfo(ServerContext &ctx, qint64 userId, qint64 viewerId);

    // The login answer: id, username, name, phone, company_name, avatar_url, loginToken,
    // storage_used, storage_limit.
    static QJsonObject loginPayload(ServerContext &ctx, qint64 userId, const QString &token);
    // The profile answer: the login answer without the token, plus base_quota and created_at.
    static QJsonObject profile(ServerContext &ctx, qint64 userId);

    // The demo account (created on first call); its id, or 0 on failure.
    static qint64 ensureDemoAccount(ServerContext &ctx);

    // Login passwords: PBKDF2-HMAC-SHA256 with a random salt ("pbkdf2-sha256$iter$salt$hash").
    static QString hashPassword(const QString &password);
    static bool verifyPassword(ServerContext &ctx, qint64 userId, const QString &password);

    // 2 to 32 characters, trimmed and in NFC, no control characters, no "/" or "\\" and nothing
    // that disguises the name (Names).
    static bool validUsername(const QString &username);
    // A mainland mobile number: 1 followed by ten digits.
    static bool validPhone(const QString &phone);

    static QString randomHex(int bytes);
    static QString sha256Hex(const QByteArray &data);
};

} // namespace tvr::server
