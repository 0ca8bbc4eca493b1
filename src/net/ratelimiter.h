#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

// A token bucket shared by the transfers of one direction: tokens (bytes) accrue at the rate, up to
// a small burst, and a transfer moves only the bytes it could take. Rate 0 means no limit. GUI
// thread only; users that get nothing wait waitMs() and ask again.
class RateLimiter final
{
public:
    // Tokens saved up while the event loop was busy elsewhere (up to half a second of the rate)
    // are spent later, so a slow loop does not slow the transfer; since the bucket starts empty,
    // no window of any length moves more than the rate allows plus that half second.
    static constexpr int BurstDivisor = 2;
    static constexpr qint64 MinBurstBytes = 64 * 1024;

    RateLimiter();

    // Bytes per second; 0 or less lifts the limit. The bucket starts empty.
    void setRate(qint64 bytesPerSecond);
    qint64 rate() const { return m_rate; }
    bool isLimited() const { return m_rate > 0; }

    // Up to want bytes that may go now, taken out of the bucket (want itself when unlimited).
    qint64 take(qint64 want);
    // Milliseconds until bytes (capped to the burst) can be taken; 0 when they can now.
    int waitMs(qint64 bytes) const;
    // The burst size, a sensible amount to ask for at once.
    qint64 burst() const { return m_burst; }

private:
    void refill() const;

    qint64 m_rate = 0;
    qint64 m_burst = MinBurstBytes;
    mutable double m_tokens = 0;
    mutable qint64 m_lastNs = 0;
    QElapsedTimer m_clock;
};
