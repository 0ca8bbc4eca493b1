#pragma once

#include <QDateTime>
#include <QFrame>
#include <QPixmap>
#include <QUrl>
#include <functional>

class QLabel;
class QTimer;

// The thin bar at the bottom of the main window: server connection, network meter, support
// contacts, version and clock. The owner drives meterTick() from its own one-second timer so the
// meter can pause while the window is hidden; the clock and the connection probe run on their own.
class StatusBar final : public QFrame
{
    Q_OBJECT

public:
    explicit StatusBar(QWidget *parent = nullptr);

    // One probe of the server; any HTTP status counts as reachable.
    void checkConnection();
    // A request of the client found no server: 连接中断 at once, like a failed probe, and probes
    // sent before it no longer count (their answers may come from a server that has gone since).
    void connectionFailed();
    // Takes the client's byte counters as this second's rates and redraws the meter.
    void meterTick();
    // Drops what the client counted while the meter was paused, so the next tick measures one
    // second of activity from now; the owner calls it when it resumes the ticks.
    void restartMeter();
    void clockTick();
    // "qq", "wechat", "tel", "mobile" or "site"; other keys do nothing.
    void openSupportLink(const QString &key);

    bool isConnected() const { return m_connected; }
    qint64 downRate() const { return m_downRate; }
    qint64 upRate() const { return m_upRate; }
    // Wide enough for every contact, the clock and the longest connection state.
    QSize minimumSizeHint() const override;

    // Replaces the system URL handler (tests).
    void setUrlOpener(std::function<bool(const QUrl &)> opener);

    static constexpr int ClockIntervalMs = 1000;

signals:
    // Every probe's answer: whether the server could be reached.
    void connectionProbed(bool connected);

public:
    static constexpr int ConnectionIntervalMs = 8000;
    static constexpr int FirstProbeDelayMs = 300;
    static constexpr auto Version = "2.1.23";

private:
    QLabel *addSupportLink(const QString &label, const QString &key, const QString &value);
    void showMeter(int level, bool active);

    QLabel *m_connectionLabel = nullptr;
    QLabel *m_meterLabel = nullptr;
    QLabel *m_clockLabel = nullptr;
    QTimer *m_clockTimer = nullptr;
    QTimer *m_connectionTimer = nullptr;
    bool m_connected = false;
    // The last state shown is 连接中断 (not merely unknown while the first probe runs).
    bool m_knownDown = false;
    qint64 m_downRate = 0;
    qint64 m_upRate = 0;
    // Probes overlap when the server is slow; only an answer newer than the last one shown counts.
    quint64 m_probeSerial = 0;
    quint64 m_shownProbeSerial = 0;
    std::function<bool(const QUrl &)> m_openUrl;
};

// Meter level 0..6 for a rate in bytes per second.
int meterLevel(qint64 bytesPerSecond);
// Six bars in a 34 x 16 pixmap, the first level of them lit green (active) or red.
QPixmap meterPixmap(int level, bool active);
// "yyyy/MM/dd HH:mm:ss" followed by the Chinese weekday, e.g. "2025/03/02 09:05:00星期日".
QString clockText(const QDateTime &time);
