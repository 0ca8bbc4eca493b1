#include "accounts/smscodes.h"

#include "accounts/accountstore.h"
#include "core/servercontext.h"
#include "storage/serversecret.h"
#include "storage/transaction.h"

#include <QStringList>
#include <openssl/rand.h>

namespace tvr::server {

namespace {

QString newCode()
{
    // Uniform over 000000..999999: reject the top sliver of the 32-bit range.
    quint32 value = 0;
    do {
        RAND_bytes(reinterpret_cast<unsigned char *>(&value), sizeof value);
    } while (value >= 4294000000u);
    return QStringLiteral("%1").arg(value % 1000000u, 6, 10, QLatin1Char('0'));
}

// Codes at rest are keyed digests: without the server's key a stored row tells nothing about
// its code, and the salt makes every row different even for one phone and code.
QString codeHash(ServerContext &ctx, const QString &salt, const QString &phone, const QString &code)
{
    return ServerSecret::hmacHex(ctx.secret, (salt + QLatin1Char(':') + phone + QLatin1Char(':') + code).toUtf8());
}

QString key(const char *kind, const QString &value)
{
    return QString::fromLatin1(kind) + QLatin1Char(':') + value;
}

} // namespace

SmsCodes::Sent SmsCodes::send(ServerContext &ctx, const QString &phone, const QString &address, const QString &scenario,
                              QString *code, qint64 *waitSecs)
{
    Transaction tx(ctx.db);
    const qint64 now = ctx.clock.nowSecs();
    const QVariant sentAt =
        ctx.db.scalar("SELECT sent_at FROM sms_codes WHERE phone = ?1 AND address = ?2", {phone, address});
    if (sentAt.isValid() && now - sentAt.toLongLong() < IntervalSecs) {
        *waitSecs = IntervalSecs - (now - sentAt.toLongLong());
        return Sent::TooSoon;
    }
    const QString byPhone = key("sms", phone);
    const QString byPair = key("sms", phone + QLatin1Char('@') + address);
    const QString byAddress = key("sms-from", address);
    if (ctx.throttle.retryAfter(byPhone, SendsPerPhone, now) > 0 ||
        ctx.throttle.retryAfter(byPair, SendsPerPhoneAndAddress, now) > 0 ||
        ctx.throttle.retryAfter(byAddress, SendsPerAddress, now) > 0)
        return Sent::Throttled;
    ctx.throttle.record(byPhone, now);
    ctx.throttle.record(byPair, now);
    ctx.throttle.record(byAddress, now);

    *code = newCode();
    const QString salt = AccountStore::randomHex(16);
    ctx.db.exec("INSERT INTO sms_codes(phone, address, code_hash, salt, scenario, sent_at, expires_at, attempts) "
                "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, 0) ON CONFLICT(phone, address) DO UPDATE SET "
                "code_hash = excluded.code_hash, salt = excluded.salt, scenario = excluded.scenario, "
                "sent_at = excluded.sent_at, expires_at = excluded.expires_at, attempts = 0",
                {phone, address, codeHash(ctx, salt, phone, *code), salt, scenario, now, now + LifetimeSecs});
    return tx.commit() ? Sent::Ok : Sent::Failed;
}

SmsCodes::Check SmsCodes::consume(ServerContext &ctx, const QString &phone, const QString &address, const QString &code,
                                  const QStringList &scenarios)
{
    Transaction tx(ctx.db);
    const auto rows = ctx.db.query("SELECT code_hash, expires_at, attempts, salt, scenario FROM sms_codes "
                                   "WHERE phone = ?1 AND address = ?2",
                                   {phone, address});
    if (rows.empty() || !scenarios.contains(rows.front().value(4).toString()))
        return Check::Missing;
    const QVariantList &row = rows.front();
    const QString expected = row.value(0).toString();
    // A spent code stays spent whatever is typed next; the row keeps the send interval.
    if (expected.isEmpty())
        return Check::Used;
    if (row.value(2).toInt() >= MaxAttempts)
        return Check::TooManyWrong;
    if (ctx.clock.nowSecs() > row.value(1).toLongLong())
        return Check::Expired;
    if (expected != codeHash(ctx, row.value(3).toString(), phone, code)) {
        ctx.db.exec("UPDATE sms_codes SET attempts = attempts + 1 WHERE phone = ?1 AND address = ?2", {phone, address});
        tx.commit();
        return Check::Wrong;
    }
    ctx.db.exec("UPDATE sms_codes SET code_hash = '' WHERE phone = ?1 AND address = ?2", {phone, address});
    return tx.commit() ? Check::Ok : Check::Failed;
}

bool SmsCodes::mayTry(ServerContext &ctx, const QString &address)
{
    return ctx.throttle.retryAfter(key("wrong-code", address), WrongCodesPerAddress, ctx.clock.nowSecs()) == 0;
}

void SmsCodes::recordRefused(ServerContext &ctx, const QString &address)
{
    ctx.throttle.record(key("wrong-code", address), ctx.clock.nowSecs());
}

void SmsCodes::expire(ServerContext &ctx)
{
    ctx.db.exec("DELETE FROM sms_codes WHERE sent_at < ?1", {ctx.clock.nowSecs() - LifetimeSecs - IntervalSecs});
}

} // namespace tvr::server
