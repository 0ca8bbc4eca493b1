#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

class QTcpServer;
class QTcpSocket;

// A small forwarding proxy on loopback that records what goes through it. One port speaks both
// kinds the client offers: HTTP (requests in absolute form, forwarded with "Connection: close",
// and CONNECT tunnels) and SOCKS5 (CONNECT only). Without requireAccount it asks for no
// account; with it, HTTP needs "Proxy-Authorization: Basic" with that account (else 407) and
// SOCKS5 the user name and password method.
class TestProxy final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TestProxy)

public:
    explicit TestProxy(QObject *parent = nullptr);
    ~TestProxy() override;

    bool listen();
    quint16 port() const;
    // From now on only this account gets through; an empty user lets everyone through again.
    void requireAccount(const QByteArray &user, const QByteArray &password);

    // One line per request or tunnel, in arrival order: "GET http://127.0.0.1:P/path" for a
    // forwarded request, "CONNECT 127.0.0.1:P" for an HTTP tunnel, "SOCKS5 127.0.0.1:P" for a
    // SOCKS tunnel.
    QList<QByteArray> seen() const { return m_seen; }
    // What was turned away for want of the account, written like seen()'s lines
    // ("SOCKS5 user NAME" for a refused SOCKS5 login).
    QList<QByteArray> refused() const { return m_refused; }
    void clear()
    {
        m_seen.clear();
        m_refused.clear();
    }
    // Lines of seen() that contain part.
    int count(const QByteArray &part) const;
    // Bytes passed on towards the clients (answers) and towards the servers (requests), protocol
    // bytes included; what went over the wire, whether or not the other side read it.
    qint64 bytesToClients() const { return m_toClients; }
    qint64 bytesToServers() const { return m_toServers; }
    void resetCounts() { m_toClients = m_toServers = 0; }

private:
    void onConnection();
    void onClientData(QTcpSocket *client);

    QTcpServer *m_server = nullptr;
    bool accountFits(const QList<QByteArray> &headLines) const;

    QList<QByteArray> m_seen;
    QList<QByteArray> m_refused;
    QByteArray m_user;
    QByteArray m_password;
    qint64 m_toClients = 0;
    qint64 m_toServers = 0;
};
