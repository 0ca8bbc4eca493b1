#pragma once

// A user-space stand-in for a wide-area link, for kernels without netem: a TCP proxy on 127.0.0.1
// that delays every byte by a one-way delay in each direction and shapes each direction with a
// token bucket shared by all connections (the link), plus an optional bucket per connection (a
// path that holds one stream below the link). Bytes are shaped first (the bottleneck's queue) and
// then delayed (the propagation). Each connection's bytes waiting to be shaped are bounded, so
// a sender is held back by TCP's own flow control like at a real bottleneck.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

namespace bench {

class WanProxy final : public QObject
{
public:
    struct Options
    {
        quint16 targetPort = 0;
        int oneWayDelayMs = 25;
        qint64 linkBytesPerSecond = 12500000; // each direction
        qint64 connBytesPerSecond = 0;        // each direction of each connection; 0: no cap
    };

    explicit WanProxy(const Options &options, QObject *parent = nullptr)
        : QObject(parent)
        , m_options(options)
        , m_linkUp(options.linkBytesPerSecond)
        , m_linkDown(options.linkBytesPerSecond)
    {
        m_clock.start();
        m_tick.setTimerType(Qt::PreciseTimer);
        m_tick.setInterval(1);
        connect(&m_tick, &QTimer::timeout, this, &WanProxy::onTick);
        connect(&m_server, &QTcpServer::newConnection, this, &WanProxy::onConnection);
    }

    bool listen()
    {
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            return false;
        m_tick.start();
        return true;
    }
    quint16 port() const { return m_server.serverPort(); }

private:
    static constexpr qint64 InboxBytes = 256 * 1024;
    static constexpr qint64 QuantumBytes = 16 * 1024;
    static constexpr qint64 SocketWriteBacklog = 4 * 1024 * 1024;

    struct Bucket
    {
        explicit Bucket(qint64 bytesPerSecond = 0)
            : rate(double(bytesPerSecond))
            // A late tick must not cost throughput, nor a burst exceed the link by much.
            , burst(std::max(64.0 * 1024, rate * 0.02))
        {}
        void refill(qint64 nowNs)
        {
            if (rate <= 0)
                return;
            tokens = std::min(burst, tokens + rate * double(nowNs - lastNs) / 1e9);
            lastNs = nowNs;
        }
        qint64 available() const { return rate <= 0 ? QuantumBytes : qint64(tokens); }
        void take(qint64 bytes)
        {
            if (rate > 0)
                tokens -= double(bytes);
        }
        double rate = 0;
        double burst = 0;
        double tokens = 0;
        qint64 lastNs = 0;
    };

    struct Pipe
    {
        QTcpSocket *from = nullptr;
        QTcpSocket *to = nullptr;
        Bucket cap;
        QByteArray inbox;
        std::deque<std::pair<qint64, QByteArray>> line; // (release time, bytes)
        bool fromClosed = false;
        bool closed = false;
    };

    struct Connection
    {
        std::unique_ptr<QTcpSocket> client;
        std::unique_ptr<QTcpSocket> server;
        Pipe up;   // client to server
        Pipe down; // server to client
    };

    void onConnection()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            auto connection = std::make_unique<Connection>();
            socket->setParent(nullptr);
            connection->client.reset(socket);
            connection->server = std::make_unique<QTcpSocket>();
            connection->server->connectToHost(QHostAddress::LocalHost, m_options.targetPort);
            for (QTcpSocket *s : {connection->client.get(), connection->server.get()}) {
                s->setReadBufferSize(InboxBytes);
                s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            }
            connection->up.from = connection->down.to = connection->client.get();
            connection->up.to = connection->down.from = connection->server.get();
            connection->up.cap = connection->down.cap = Bucket(m_options.connBytesPerSecond);
            const qint64 now = m_clock.nsecsElapsed();
            connection->up.cap.lastNs = connection->down.cap.lastNs = now;
            m_connections.push_back(std::move(connection));
        }
    }

    static void shape(std::vector<Pipe *> &pipes, Bucket &link, qint64 nowNs, qint64 delayNs, size_t &cursor)
    {
        link.refill(nowNs);
        for (Pipe *pipe : pipes)
            pipe->cap.refill(nowNs);
        // Round robin in quanta, starting with the next connection each tick (a tick's tokens are
        // often less than a quantum): the link is shared fairly by the connections that have bytes.
        const size_t count = pipes.size();
        bool moved = true;
        while (moved && link.available() > 0) {
            moved = false;
            for (size_t k = 0; k < count; ++k) {
                Pipe *pipe = pipes[(cursor + k) % count];
                const qint64 n =
                    std::min({QuantumBytes, qint64(pipe->inbox.size()), pipe->cap.available(), link.available()});
                if (n <= 0)
                    continue;
                pipe->line.emplace_back(nowNs + delayNs, pipe->inbox.left(n));
                pipe->inbox.remove(0, n);
                pipe->cap.take(n);
                link.take(n);
                moved = true;
            }
        }
        cursor = count > 0 ? (cursor + 1) % count : 0;
    }

    static void deliver(Pipe &pipe, qint64 nowNs)
    {
        while (!pipe.line.empty() && pipe.line.front().first <= nowNs && pipe.to->bytesToWrite() < SocketWriteBacklog) {
            pipe.to->write(pipe.line.front().second);
            pipe.line.pop_front();
        }
        if (!pipe.fromClosed && pipe.from->state() != QAbstractSocket::ConnectedState &&
            pipe.from->state() != QAbstractSocket::ConnectingState &&
            pipe.from->state() != QAbstractSocket::HostLookupState && pipe.from->bytesAvailable() == 0)
            pipe.fromClosed = true;
        if (!pipe.fromClosed && pipe.inbox.size() < InboxBytes && pipe.from->bytesAvailable() > 0)
            pipe.inbox.append(pipe.from->read(InboxBytes - pipe.inbox.size()));
        if (pipe.fromClosed && !pipe.closed && pipe.inbox.isEmpty() && pipe.line.empty()) {
            pipe.closed = true;
            pipe.to->disconnectFromHost(); // after what is queued for it
        }
    }

    void onTick()
    {
        const qint64 now = m_clock.nsecsElapsed();
        const qint64 delayNs = qint64(m_options.oneWayDelayMs) * 1000000;
        std::vector<Pipe *> ups;
        std::vector<Pipe *> downs;
        for (const auto &connection : m_connections) {
            ups.push_back(&connection->up);
            downs.push_back(&connection->down);
        }
        shape(ups, m_linkUp, now, delayNs, m_upCursor);
        shape(downs, m_linkDown, now, delayNs, m_downCursor);
        for (const auto &connection : m_connections) {
            deliver(connection->up, now);
            deliver(connection->down, now);
        }
        std::erase_if(m_connections, [](const std::unique_ptr<Connection> &c) {
            const bool done = c->up.closed && c->down.closed;
            if (done) {
                c->client->disconnect();
                c->server->disconnect();
                c->client.release()->deleteLater();
                c->server.release()->deleteLater();
            }
            return done;
        });
    }

    Options m_options;
    QTcpServer m_server;
    QTimer m_tick;
    QElapsedTimer m_clock;
    Bucket m_linkUp;
    Bucket m_linkDown;
    size_t m_upCursor = 0;
    size_t m_downCursor = 0;
    std::vector<std::unique_ptr<Connection>> m_connections;
};

} // namespace bench
