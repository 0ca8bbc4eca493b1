#pragma once

#include "core/throttle.h"

#include <QString>

namespace tvr::server {

struct ServerContext;

// SMS codes. A code belongs to the phone it went to and to the client address that asked for
// it: only that address can spend it or use up its wrong tries, so nobody elsewhere can void a
// code in flight. Sends are limited per phone (each message costs), per (phone, address) well
// below that (one client cannot use up a phone's day), and per address.
class SmsCodes final
{
public:
    static constexpr qint64 LifetimeSecs = 5 * 60;
    static constexpr qint64 IntervalSecs = 60;
    static constexpr int MaxAttempts = 5;
    static constexpr Throttle::Rule SendsPerPhone{10, 24 * 3600};
    static constexpr Throttle::Rule SendsPerPhoneAndAddress{5, 24 * 3600};
    static constexpr Throttle::Rule SendsPerAddress{30, 3600};
    static constexpr Throttle::Rule WrongCodesPerAddress{60, 3600};

    enum class Sent { Ok, TooSoon, Throttled, Failed };
    // Issues a new code for (phone, address), replacing that pair's previous one. *code is the
    // code on Ok; *waitSecs the time left on TooSoon.
    static Sent send(ServerContext &ctx, const QString &phone, const QString &address, const QString &scenario,
                     QString *code, qint64 *waitSecs);

    enum class Check { Ok, Missing, Wrong, TooManyWrong, Expired, Used, Failed };
    // Checks the code (phone, address) was sent for one of `scenarios` and spends it when it
    // matches. Wrong tries count against this pair's code only.
    static Check consume(ServerContext &ctx, const QString &phone, const QString &address, const QString &code,
                         const QStringList &scenarios);
    // True when the address may still try codes now; false after too many wrong ones.
    static bool mayTry(ServerContext &ctx, const QString &address);
    // Counts a refused code against the address.
    static void recordRefused(ServerContext &ctx, const QString &address);

    // Drops codes whose lifetime and send interval are both over.
    static void expire(ServerContext &ctx);
};

} // namespace tvr::server
