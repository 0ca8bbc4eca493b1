#pragma once

#include <QDateTime>
#include <atomic>
#include <functional>

namespace tvr::server {

// The server's notion of "now" (UTC). Development builds can move it forward so that
// time-based rules (trash purge, code expiry, token lapse) are testable without waiting.
class Clock final
{
public:
    QDateTime now() const;
    qint64 nowSecs() const;
    void advance(qint64 seconds) { m_offsetSecs += seconds; }
    qint64 offset() const { return m_offsetSource ? m_offsetSource() : m_offsetSecs.load(); }
    // Reads the offset from elsewhere from now on (the cluster's shared setting), so that every
    // instance moved by the development clock agrees; set once, before requests are served.
    void setOffsetSource(std::function<qint64()> source) { m_offsetSource = std::move(source); }

    // Server times on the wire and in the database: "2024-05-01T10:20:30Z".
    static QString format(const QDateTime &utc);
    QString nowText() const { return format(now()); }

private:
    std::atomic<qint64> m_offsetSecs{0};
    std::function<qint64()> m_offsetSource;
};

} // namespace tvr::server
