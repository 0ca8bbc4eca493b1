#include "net/ratelimiter.h"

#include <algorithm>
#include <cmath>

RateLimiter::RateLimiter()
{
    m_clock.start();
}

void RateLimiter::setRate(qint64 bytesPerSecond)
{
    m_rate = std::max<qint64>(bytesPerSecond, 0);
    m_burst = std::max<qint64>(m_rate / BurstDivisor, MinBurstBytes);
    m_tokens = 0;
    m_lastNs = m_clock.nsecsElapsed();
}

void RateLimiter::refill() const
{
    const qint64 now = m_clock.nsecsElapsed();
    const qint64 elapsed = now - m_lastNs;
    m_lastNs = now;
    m_tokens = std::min(double(m_burst), m_tokens + double(elapsed) * double(m_rate) / 1e9);
}

qint64 RateLimiter::take(qint64 want)
{
    if (!isLimited() || want <= 0)
        return std::max<qint64>(want, 0);
    refill();
    const qint64 granted = std::min<qint64>(want, qint64(m_tokens));
    m_tokens -= double(granted);
    return granted;
}

int RateLimiter::waitMs(qint64 bytes) const
{
    if (!isLimited())
        return 0;
    refill();
    const double missing = double(std::min(bytes, m_burst)) - m_tokens;
    if (missing <= 0)
        return 0;
    return std::max(1, int(std::ceil(missing * 1000.0 / double(m_rate))));
}
