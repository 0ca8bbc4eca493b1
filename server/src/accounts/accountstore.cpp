#include "accounts/accountstore.h"

#include "core/names.h"
#include "core/servercontext.h"
#include "files/quota.h"
#include "notify/notifications.h"
#include "storage/transaction.h"

#include <QRegularExpression>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace tvr::server {

QString AccountStore::randomHex(int bytes)
{
    QByteArray buffer(bytes, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(buffer.data()), bytes) != 1)
        qFatal("tolvar-server: the random number generator failed");
    return QString::fromLatin1(buffer.toHex());
}

QString AccountStore::sha256Hex(const QByteArray &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.constData(), size_t(data.size()), digest, &length, EVP_sha256(), nullptr);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

std::optional<AuthUser> AccountStore::resolveSession(ServerContext &ctx, qint64 userId, const QString &token)
{
    const QString tokenHash = sha256Hex(token.toUtf8());
    const auto rows =
        ctx.db.query("SELECT u.id, u.username, s.last_seen FROM sessions s JOIN users u ON u.id = s.user_id "
                     "WHERE s.token_hash = ?1 AND s.user_id = ?2",
                     {tokenHash, userId});
    if (rows.empty())
        return std::nullopt;
    const qint64 now = ctx.clock.nowSecs();
    if (now - rows.front().value(2).toLongLong() > SessionIdleSecs) {
        ctx.db.exec("DELETE FROM sessions WHERE token_hash = ?1", {tokenHash});
        ctx.sessionEvents.ended(userId, tokenHash);
        return std::nullopt;
    }
    ctx.db.exec("UPDATE sessions SET last_seen = ?2 WHERE token_hash = ?1 AND last_seen < ?2 - 60", {tokenHash, now});
    return AuthUser{rows.front().value(0).toLongLong(), rows.front().value(1).toString()};
}

QString AccountStore::createSession(ServerContext &ctx, qint64 userId, const QString &machineCode)
{
    const QString token = randomHex(32);
    const qint64 now = ctx.clock.nowSecs();
    if (!ctx.db.exec("INSERT INTO sessions(token_hash, user_id, created_at, last_seen, machine_code) "
                     "VALUES(?1, ?2, ?3, ?3, ?4)",
                     {sha256Hex(token.toUtf8()), userId, now, machineCode.left(64)}))
        return QString();
    return token;
}

void AccountStore::revokeSession(ServerContext &ctx, qint64 userId, const QString &token)
{
    const QString tokenHash = sha256Hex(token.toUtf8());
    ctx.db.exec("DELETE FROM sessions WHERE token_hash = ?1 AND user_id = ?2", {tokenHash, userId});
    ctx.sessionEvents.ended(userId, tokenHash);
}

void AccountStore::expireSessions(ServerContext &ctx)
{
    const qint64 cutoff = ctx.clock.nowSecs() - SessionIdleSecs;
    const auto rows = ctx.db.query("SELECT user_id, token_hash FROM sessions WHERE last_seen < ?1", {cutoff});
    ctx.db.exec("DELETE FROM sessions WHERE last_seen < ?1", {cutoff});
    for (const QVariantList &row : rows)
        ctx.sessionEvents.ended(row.value(0).toLongLong(), row.value(1).toString());
}

QString AccountStore::phone(ServerContext &ctx, qint64 userId)
{
    return ctx.db.scalar("SELECT phone FROM users WHERE id = ?1", {userId}).toString();
}

std::optional<qint64> AccountStore::userIdByName(ServerContext &ctx, const QString &username)
{
    const QVariant id = ctx.db.scalar("SELECT id FROM users WHERE username = ?1", {Names::normalized(username)});
    if (!id.isValid())
        return std::nullopt;
    return id.toLongLong();
}

std::optional<qint64> AccountStore::userIdByPhone(ServerContext &ctx, const QString &phone)
{
    if (phone.isEmpty())
        return std::nullopt;
    const QVariant id = ctx.db.scalar("SELECT id FROM users WHERE phone = ?1 AND phone_verified = 1", {phone});
    if (!id.isValid())
        return std::nullopt;
    return id.toLongLong();
}

bool AccountStore::hasPhone(ServerContext &ctx, qint64 userId, const QString &phone)
{
    return !phone.isEmpty() &&
           ctx.db.scalar("SELECT 1 FROM users WHERE id = ?1 AND phone = ?2", {userId, phone}).isValid();
}

bool AccountStore::phoneKnown(ServerContext &ctx, const QString &phone)
{
    return !phone.isEmpty() && ctx.db.scalar("SELECT 1 FROM users WHERE phone = ?1 LIMIT 1", {phone}).isValid();
}

bool AccountStore::provePhone(ServerContext &ctx, qint64 userId, const QString &phone)
{
    Transaction tx(ctx.db);
    const auto owner = userIdByPhone(ctx, phone);
    if (owner && *owner != userId)
        return false; // proven elsewhere already: this account's claim stays a claim
    ctx.db.exec("UPDATE users SET phone = '', phone_verified = 1, updated_at = ?3 "
                "WHERE phone = ?1 AND id <> ?2 AND phone_verified = 0",
                {phone, userId, ctx.clock.nowText()});
    ctx.db.exec("UPDATE users SET phone = ?2, phone_verified = 1 WHERE id = ?1", {userId, phone});
    return tx.commit();
}

qint64 AccountStore::createUser(ServerContext &ctx, const QString &username, const QString &phone, const QString &name)
{
    Transaction tx(ctx.db);
    if (userIdByName(ctx, username) || userIdByPhone(ctx, phone))
        return 0;
    const QString now = ctx.clock.nowText();
    if (!phone.isEmpty())
        ctx.db.exec("UPDATE users SET phone = '', updated_at = ?2 WHERE phone = ?1 AND phone_verified = 0",
                    {phone, now});
    ctx.db.exec("INSERT INTO users(username, phone, phone_verified, name, base_quota, created_at, updated_at) "
                "VALUES(?1, ?2, 1, ?3, ?4, ?5, ?5)",
                {Names::normalized(username), phone, Names::normalized(name), ctx.config.baseQuota, now});
    const qint64 id = ctx.db.lastInsertId();
    Notifications::welcome(ctx, id);
    return tx.commit() ? id : 0;
}

qint64 AccountStore::baseQuota(ServerContext &ctx, qint64 userId)
{
    return ctx.db.scalar("SELECT base_quota FROM users WHERE id = ?1", {userId}).toLongLong();
}

std::optional<AccountStore::PublicInfo> AccountStore::publicInfo(ServerContext &ctx, qint64 userId, qint64 viewerId)
{
    const auto rows = ctx.db.query("SELECT name, username, phone FROM users WHERE id = ?1", {userId});
    if (rows.empty())
        return std::nullopt;
    const QString phone = rows.front().value(2).toString();
    return PublicInfo{rows.front().value(0).toString(), rows.front().value(1).toString(),
                      userId == viewerId ? phone : maskedPhone(phone)};
}

QString AccountStore::maskedPhone(const QString &phone)
{
    if (phone.size() >= 8)
        return phone.left(3) + QStringLiteral("****") + phone.right(4);
    return phone.isEmpty() ? QString() : QStringLiteral("****");
}

QString AccountStore::displayName(ServerContext &ctx, qint64 userId)
{
    const auto rows = ctx.db.query("SELECT name, username FROM users WHERE id = ?1", {userId});
    if (rows.empty())
        return QString();
    const QString name = rows.front().value(0).toString();
    return name.isEmpty() ? rows.front().value(1).toString() : name;
}

bool AccountStore::hasPassword(ServerContext &ctx, qint64 userId)
{
    return !ctx.db.scalar("SELECT password_hash FROM users WHERE id = ?1", {userId}).toString().isEmpty();
}

QJsonObject AccountStore::profile(ServerContext &ctx, qint64 userId)
{
    const auto rows = ctx.db.query(
        "SELECT id, username, name, phone, company_name, avatar, base_quota, created_at FROM users WHERE id = ?1",
        {userId});
    if (rows.empty())
        return {};
    const QVariantList &r = rows.front();
    return QJsonObject{
        {QStringLiteral("id"), r.value(0).toLongLong()},
        {QStringLiteral("username"), r.value(1).toString()},
        {QStringLiteral("name"), r.value(2).toString()},
        {QStringLiteral("phone"), r.value(3).toString()},
        {QStringLiteral("company_name"), r.value(4).toString()},
        {QStringLiteral("avatar_url"), r.value(5).toString()},
        {QStringLiteral("storage_used"), Quota::used(ctx, userId)},
        {QStringLiteral("storage_limit"), Quota::limit(ctx, userId)},
        {QStringLiteral("base_quota"), r.value(6).toLongLong()},
        {QStringLiteral("created_at"), r.value(7).toString()},
    };
}

QJsonObject AccountStore::loginPayload(ServerContext &ctx, qint64 userId, const QString &token)
{
    QJsonObject payload = profile(ctx, userId);
    payload.remove(QStringLiteral("base_quota"));
    payload.remove(QStringLiteral("created_at"));
    payload.insert(QStringLiteral("loginToken"), token);
    return payload;
}

qint64 AccountStore::ensureDemoAccount(ServerContext &ctx)
{
    const QString username = QStringLiteral("demo");
    if (const auto id = userIdByName(ctx, username))
        return *id;
    const qint64 id = createUser(ctx, username, QStringLiteral("13800138000"), QStringLiteral("演示用户"));
    if (id <= 0)
        return 0;
    ctx.db.exec("UPDATE users SET company_name = ?2, password_hash = ?3 WHERE id = ?1",
                {id, QStringLiteral("托尔瓦科技"), hashPassword(QStringLiteral("demo1234"))});
    return id;
}

static constexpr int PasswordIterations = 120000;

static QByteArray pbkdf2(const QByteArray &password, const QByteArray &salt, int iterations)
{
    QByteArray out(32, Qt::Uninitialized);
    PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
                      reinterpret_cast<const unsigned char *>(salt.constData()), int(salt.size()), iterations,
                      EVP_sha256(), int(out.size()), reinterpret_cast<unsigned char *>(out.data()));
    return out;
}

QString AccountStore::hashPassword(const QString &password)
{
    const QByteArray salt = QByteArray::fromHex(randomHex(16).toLatin1());
    const QByteArray hash = pbkdf2(password.toUtf8(), salt, PasswordIterations);
    return QStringLiteral("pbkdf2-sha256$%1$%2$%3")
        .arg(PasswordIterations)
        .arg(QString::fromLatin1(salt.toHex()), QString::fromLatin1(hash.toHex()));
}

bool AccountStore::verifyPassword(ServerContext &ctx, qint64 userId, const QString &password)
{
    const QString stored = ctx.db.scalar("SELECT password_hash FROM users WHERE id = ?1", {userId}).toString();
    const QStringList parts = stored.split(QLatin1Char('$'));
    if (parts.size() != 4 || parts.at(0) != QLatin1String("pbkdf2-sha256") || password.isEmpty())
        return false;
    const int iterations = parts.at(1).toInt();
    if (iterations <= 0)
        return false;
    const QByteArray expected = QByteArray::fromHex(parts.at(3).toLatin1());
    const QByteArray actual = pbkdf2(password.toUtf8(), QByteArray::fromHex(parts.at(2).toLatin1()), iterations);
    return expected.size() == actual.size() &&
           CRYPTO_memcmp(expected.constData(), actual.constData(), size_t(expected.size())) == 0;
}

bool AccountStore::validUsername(const QString &username)
{
    const qsizetype length = username.toUcs4().size();
    if (username != Names::normalized(username) || length < 2 || length > 32)
        return false;
    return !Names::hasControlCharacters(username) && !Names::hasDeceptiveCharacters(username) &&
           !username.contains(QLatin1Char('/')) && !username.contains(QLatin1Char('\\'));
}

bool AccountStore::validPhone(const QString &phone)
{
    static const QRegularExpression rule(QStringLiteral("^1[0-9]{10}$"));
    return rule.match(phone).hasMatch();
}

} // namespace tvr::server
