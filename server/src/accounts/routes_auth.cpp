// Accounts: user-name check, identity check, SMS codes, sign-in (and first-time registration)
// with a code, logout.
#include "accounts/accountstore.h"
#include "accounts/smscodes.h"
#include "core/names.h"
#include "core/servercontext.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "storage/areas.h"

#include <QJsonObject>
#include <cstdio>

namespace tvr::server {

namespace {

constexpr qint64 Hour = 3600;

// Identity checks are limited per (phone, client address) and per client address: one address
// gets nowhere with many phones or with one phone, and what one client uses up never locks the
// phone's owner, checking from elsewhere, out of signing in. (A check costs nothing to send, so
// unlike SMS codes there is no cap per phone across all clients.)
constexpr Throttle::Rule IdentityPerPhoneAndAddress{10, Hour};
constexpr Throttle::Rule IdentityPerAddress{60, Hour};

const QString TooManyRequests = QStringLiteral("操作过于频繁，请稍后再试");

QString field(const QJsonObject &body, const char *key)
{
    return jsonString(body, QString::fromLatin1(key)).trimmed();
}

QString addressKey(const char *kind, const http::Request &req)
{
    return QString::fromLatin1(kind) + QLatin1Char(':') + QString::fromStdString(req.remoteAddress);
}

QString pairKey(const char *kind, const QString &phone, const http::Request &req)
{
    return QString::fromLatin1(kind) + QLatin1Char(':') + phone + QLatin1Char('@') +
           QString::fromStdString(req.remoteAddress);
}

// Refuses (429) once this address used up its rule for the phone or its rule overall; else
// counts one.
bool throttled(ServerContext &ctx, const http::Request &req, http::Response &res, const char *kind,
               const QString &phone, const Throttle::Rule &perPair, const Throttle::Rule &perAddress)
{
    const qint64 now = ctx.clock.nowSecs();
    const QString byPair = pairKey(kind, phone, req);
    const QString byAddress = addressKey(kind, req);
    if (ctx.throttle.retryAfter(byPair, perPair, now) > 0 || ctx.throttle.retryAfter(byAddress, perAddress, now) > 0) {
        fail(res, 429, TooManyRequests);
        return true;
    }
    ctx.throttle.record(byPair, now);
    ctx.throttle.record(byAddress, now);
    return false;
}

void checkUsername(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    const QString username = QString::fromStdString(req.param("username")).trimmed();
    if (username.isEmpty())
        return fail(res, 400, QStringLiteral("请输入用户名"));
    ok(res, QJsonObject{{QStringLiteral("exists"), AccountStore::userIdByName(ctx, username).has_value()}});
}

void verifyIdentity(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString username = field(*body, "username");
    const QString phone = field(*body, "phone");
    if (username.isEmpty() || phone.isEmpty())
        return fail(res, 400, QStringLiteral("请输入用户名和手机号"));
    if (throttled(ctx, req, res, "identity", phone, IdentityPerPhoneAndAddress, IdentityPerAddress))
        return;
    const auto userId = AccountStore::userIdByName(ctx, username);
    if (!userId)
        return fail(res, 404, QStringLiteral("用户不存在"));
    if (!AccountStore::hasPhone(ctx, *userId, phone))
        return fail(res, 400, QStringLiteral("用户名与手机号不匹配"));
    ok(res);
}

QString clientAddress(const http::Request &req)
{
    return QString::fromStdString(req.remoteAddress);
}

const QLatin1String VaultReset("vault-reset");

void sendSms(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString phone = field(*body, "phone");
    const QString scenario = field(*body, "scenario");
    if (!AccountStore::validPhone(phone))
        return fail(res, 400, QStringLiteral("请输入正确的 11 位手机号"));
    if (scenario != QLatin1String("login") && scenario != QLatin1String("register") && scenario != VaultReset)
        return fail(res, 400, QStringLiteral("未知的验证码用途"));
    // Signing in works for a phone any account has; registering is refused only for a phone
    // another account has proven (an unproven claim never blocks the number's owner).
    if (scenario == QLatin1String("login") && !AccountStore::phoneKnown(ctx, phone))
        return fail(res, 400, QStringLiteral("该手机号尚未注册"));
    if (scenario == QLatin1String("register") && AccountStore::userIdByPhone(ctx, phone))
        return fail(res, 409, QStringLiteral("该手机号已注册，请使用原用户名登录"));
    // A vault reset is confirmed on the signed-in account's own phone, and on no other.
    if (scenario == VaultReset) {
        const auto user = authenticate(ctx, req);
        if (!user) {
            const bool sentCredentials = !req.header("X-Auth-Token").empty();
            return fail(res, 401, sentCredentials ? Msg::SessionExpired : Msg::NotSignedIn,
                        QStringLiteral("UNAUTHORIZED"));
        }
        if (!AccountStore::hasPhone(ctx, user->id, phone))
            return fail(res, 403, QStringLiteral("只能向本账号绑定的手机发送验证码"));
    }

    QString code;
    qint64 wait = 0;
    switch (SmsCodes::send(ctx, phone, clientAddress(req), scenario, &code, &wait)) {
    case SmsCodes::Sent::Ok:
        break;
    case SmsCodes::Sent::TooSoon:
        return fail(res, 429, QStringLiteral("验证码发送过于频繁，请 %1 秒后再试").arg(wait));
    case SmsCodes::Sent::Throttled:
        return fail(res, 429, TooManyRequests);
    case SmsCodes::Sent::Failed:
        return fail(res, 500, Msg::Internal);
    }
    const QJsonObject data{{QStringLiteral("expiresIn"), SmsCodes::LifetimeSecs},
                           {QStringLiteral("interval"), SmsCodes::IntervalSecs}};
    if (!ctx.config.dev)
        return ok(res, data);
    std::printf("SMS code for %s (%s): %s\n", phone.toUtf8().constData(), scenario.toUtf8().constData(),
                code.toUtf8().constData());
    std::fflush(stdout);
    okWith(res, data, QJsonObject{{QStringLiteral("debugCode"), code}});
}

// The text for a sign-in code that was not accepted.
QString signInCodeError(SmsCodes::Check check)
{
    switch (check) {
    case SmsCodes::Check::Missing:
        return QStringLiteral("请先获取验证码");
    case SmsCodes::Check::Wrong:
        return QStringLiteral("验证码错误");
    case SmsCodes::Check::TooManyWrong:
        return QStringLiteral("验证码错误次数过多，请重新获取");
    case SmsCodes::Check::Expired:
        return QStringLiteral("验证码已过期，请重新获取");
    case SmsCodes::Check::Used:
        return QStringLiteral("验证码已失效，请重新获取");
    case SmsCodes::Check::Failed:
    case SmsCodes::Check::Ok:
        break;
    }
    return Msg::Internal;
}

void loginWithCode(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString username = Names::normalized(field(*body, "username"));
    const QString phone = field(*body, "phone");
    const QString code = field(*body, "code");
    if (username.isEmpty())
        return fail(res, 400, QStringLiteral("请输入用户名"));
    if (!AccountStore::validPhone(phone))
        return fail(res, 400, QStringLiteral("请输入正确的 11 位手机号"));
    if (code.isEmpty())
        return fail(res, 400, QStringLiteral("请输入短信验证码"));
    const QString address = clientAddress(req);
    if (!SmsCodes::mayTry(ctx, address))
        return fail(res, 429, TooManyRequests);

    auto userId = AccountStore::userIdByName(ctx, username);
    if (userId) {
        if (!AccountStore::hasPhone(ctx, *userId, phone))
            return fail(res, 400, QStringLiteral("用户名与手机号不匹配"));
    } else {
        if (!AccountStore::validUsername(username))
            return fail(res, 400, QStringLiteral("用户名需为 2-32 个字符，且不能包含斜杠"));
        if (AccountStore::userIdByPhone(ctx, phone))
            return fail(res, 409, QStringLiteral("该手机号已被其他账号使用"));
    }
    const SmsCodes::Check check =
        SmsCodes::consume(ctx, phone, address, code, {QStringLiteral("login"), QStringLiteral("register")});
    if (check != SmsCodes::Check::Ok) {
        SmsCodes::recordRefused(ctx, address);
        return fail(res, check == SmsCodes::Check::Failed ? 500 : 400, signInCodeError(check));
    }
    // The code proves the phone: it becomes this account's, and unproven claims elsewhere go.
    if (userId) {
        AccountStore::provePhone(ctx, *userId, phone);
    } else {
        const qint64 created = AccountStore::createUser(ctx, username, phone, username);
        if (created <= 0)
            return fail(res, 409, QStringLiteral("用户名或手机号已被占用"));
        userId = created;
    }
    const QString token =
        AccountStore::createSession(ctx, *userId, QString::fromStdString(req.header("X-Machine-Code")));
    if (token.isEmpty())
        return fail(res, 500, Msg::Internal);
    ok(res, AccountStore::loginPayload(ctx, *userId, token));
}

void registerAuthRoutes(http::Router &router, ServerContext &ctx)
{
    router.get("/api/check-username",
               [&ctx](const http::Request &req, http::Response &res) { checkUsername(ctx, req, res); });
    router.post("/api/verify-identity",
                [&ctx](const http::Request &req, http::Response &res) { verifyIdentity(ctx, req, res); });
    router.post("/api/send-sms", [&ctx](const http::Request &req, http::Response &res) { sendSms(ctx, req, res); });
    router.post("/api/login/code",
                [&ctx](const http::Request &req, http::Response &res) { loginWithCode(ctx, req, res); });
    router.post("/api/logout",
                withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                    AccountStore::revokeSession(ctx, user.id, QString::fromStdString(req.header("X-Auth-Token")));
                    ok(res);
                }));
}

void expireCodesAndSessions(ServerContext &ctx)
{
    SmsCodes::expire(ctx);
    AccountStore::expireSessions(ctx);
}

} // namespace

Area accountArea()
{
    Area area{"account", {}};
    area.migrations = {
        {1, "CREATE TABLE users(id INTEGER PRIMARY KEY AUTOINCREMENT, "
            "  username TEXT NOT NULL COLLATE NOCASE UNIQUE, phone TEXT NOT NULL DEFAULT '', "
            "  name TEXT NOT NULL DEFAULT '', company_name TEXT NOT NULL DEFAULT '', "
            "  avatar TEXT NOT NULL DEFAULT '', password_hash TEXT NOT NULL DEFAULT '', "
            "  base_quota INTEGER NOT NULL, created_at TEXT NOT NULL, updated_at TEXT NOT NULL);"
            "CREATE UNIQUE INDEX users_phone ON users(phone) WHERE phone <> '';"
            "CREATE TABLE sessions(token_hash TEXT PRIMARY KEY, "
            "  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
            "  created_at INTEGER NOT NULL, last_seen INTEGER NOT NULL, machine_code TEXT NOT NULL DEFAULT '');"
            "CREATE INDEX sessions_user ON sessions(user_id);"
            "CREATE TABLE sms_codes(phone TEXT PRIMARY KEY, code_hash TEXT NOT NULL, scenario TEXT NOT NULL, "
            "  sent_at INTEGER NOT NULL, expires_at INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0);"},
        // A phone is proven (by an SMS code) or only claimed; only proven phones are unique.
        // Codes at rest become keyed digests with a salt of their own (earlier rows cannot match).
        {2, "ALTER TABLE users ADD COLUMN phone_verified INTEGER NOT NULL DEFAULT 1;"
            "DROP INDEX users_phone;"
            "CREATE UNIQUE INDEX users_phone_proven ON users(phone) WHERE phone <> '' AND phone_verified = 1;"
            "CREATE INDEX users_phone ON users(phone);"
            "ALTER TABLE sms_codes ADD COLUMN salt TEXT NOT NULL DEFAULT '';"
            "UPDATE sms_codes SET code_hash = '';"},
        // A code belongs to the phone and the client address that asked for it. Codes in flight
        // (five minutes at most) are dropped.
        {3, "DROP TABLE sms_codes;"
            "CREATE TABLE sms_codes(phone TEXT NOT NULL, address TEXT NOT NULL, code_hash TEXT NOT NULL, "
            "  salt TEXT NOT NULL, scenario TEXT NOT NULL, sent_at INTEGER NOT NULL, "
            "  expires_at INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(phone, address));"},
    };
    area.registerRoutes = registerAuthRoutes;
    area.maintain = expireCodesAndSessions;
    return area;
}

} // namespace tvr::server
