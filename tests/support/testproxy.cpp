#include "testproxy.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QtEndian>
#include <algorithm>

namespace {
enum class Stage { Start, SocksLogin, SocksRequest, Tunnel, Refused };

// What a side may hold unread or unsent before the other side is held back (as a real proxy
// would, through TCP's own flow control).
constexpr qint64 PipeBufferBytes = 256 * 1024;

// Pipes bytes both ways between client and upstream. The client's side closes when the client
// closes it; after the upstream's end only when closeWithUpstream (a forwarded request, whose end
// is the close): a tunnel's client may still be reading what it was sent.
void pipe(QTcpSocket *client, QTcpSocket *upstream, bool closeWithUpstream, qint64 *toClient, qint64 *toServer)
{
    client->setReadBufferSize(PipeBufferBytes);
    upstream->setReadBufferSize(PipeBufferBytes);
    // Moves what from holds while to has room; the rest waits in from (and then in the kernel).
    const auto pass = [](QTcpSocket *from, QTcpSocket *to, qint64 *count) {
        if (!to->isOpen())
            return;
        while (from->bytesAvailable() > 0 && to->bytesToWrite() < PipeBufferBytes) {
            const QByteArray bytes = from->read(PipeBufferBytes - to->bytesToWrite());
            if (bytes.isEmpty())
                break;
            to->write(bytes);
            *count += bytes.size();
        }
    };
    QObject::connect(upstream, &QTcpSocket::readyRead, client,
                     [client, upstream, pass, toClient] { pass(upstream, client, toClient); });
    QObject::connect(client, &QTcpSocket::bytesWritten, upstream,
                     [client, upstream, pass, toClient] { pass(upstream, client, toClient); });
    QObject::connect(client, &QTcpSocket::readyRead, upstream,
                     [client, upstream, pass, toServer] { pass(client, upstream, toServer); });
    QObject::connect(upstream, &QTcpSocket::bytesWritten, client,
                     [client, upstream, pass, toServer] { pass(client, upstream, toServer); });
    const auto upstreamEnded = [client, upstream, closeWithUpstream, toClient] {
        // What is left goes on whole: the upstream is gone, so nothing is held back any more.
        const QByteArray rest = upstream->readAll();
        if (client->isOpen() && !rest.isEmpty()) {
            client->write(rest);
            *toClient += rest.size();
        }
        if (closeWithUpstream)
            client->disconnectFromHost();
    };
    // A close shows as an error before it shows as a disconnection: pass on what came first.
    QObject::connect(upstream, &QTcpSocket::errorOccurred, client, upstreamEnded);
    QObject::connect(upstream, &QTcpSocket::disconnected, client, upstreamEnded);
    QObject::connect(client, &QTcpSocket::disconnected, upstream, [upstream] { upstream->disconnectFromHost(); });
}
} // namespace

TestProxy::TestProxy(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestProxy::onConnection);
}

TestProxy::~TestProxy() = default;

bool TestProxy::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 TestProxy::port() const
{
    return m_server->serverPort();
}

void TestProxy::requireAccount(const QByteArray &user, const QByteArray &password)
{
    m_user = user;
    m_password = password;
}

bool TestProxy::accountFits(const QList<QByteArray> &headLines) const
{
    if (m_user.isEmpty())
        return true;
    const QByteArray expected = (m_user + ':' + m_password).toBase64();
    for (const QByteArray &line : headLines) {
        const qsizetype colon = line.indexOf(':');
        if (line.left(colon).trimmed().toLower() != "proxy-authorization")
            continue;
        const QList<QByteArray> value = line.mid(colon + 1).simplified().split(' ');
        return value.size() == 2 && value.at(0).toLower() == "basic" && value.at(1) == expected;
    }
    return false;
}

int TestProxy::count(const QByteArray &part) const
{
    return int(
        std::count_if(m_seen.cbegin(), m_seen.cend(), [&part](const QByteArray &line) { return line.contains(part); }));
}

void TestProxy::onConnection()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        client->setParent(this);
        client->setProperty("stage", int(Stage::Start));
        connect(client, &QTcpSocket::readyRead, this, [this, client] { onClientData(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

void TestProxy::onClientData(QTcpSocket *client)
{
    const auto stage = Stage(client->property("stage").toInt());
    if (stage == Stage::Tunnel)
        return; // the pipe moves it
    if (stage == Stage::Refused) {
        client->readAll(); // the rest of a refused request; the client closes after the 407
        return;
    }
    QByteArray in = client->property("buffer").toByteArray() + client->readAll();
    const auto wait = [client, &in] { client->setProperty("buffer", in); };

    // Opens the way on: from now on bytes of either side go to the other (an unconnected socket
    // keeps what is written until it is connected).
    const auto open = [this, client](const QString &host, quint16 port, bool closeWithUpstream) {
        auto *upstream = new QTcpSocket(client);
        client->setProperty("stage", int(Stage::Tunnel));
        client->setProperty("buffer", QByteArray());
        pipe(client, upstream, closeWithUpstream, &m_toClients, &m_toServers);
        upstream->connectToHost(host, port);
        return upstream;
    };

    if (stage == Stage::Start && !in.isEmpty() && in.at(0) == 0x05) {
        // SOCKS5 greeting: version, method count, methods. "No authentication" is chosen, or
        // "user name and password" when an account is required.
        if (in.size() < 2 || in.size() < 2 + quint8(in.at(1)))
            return wait();
        const QByteArray methods = in.mid(2, quint8(in.at(1)));
        in.remove(0, 2 + quint8(in.at(1)));
        if (!m_user.isEmpty() && !methods.contains('\x02')) {
            m_refused.append("SOCKS5 without an account");
            client->write(QByteArray("\x05\xff", 2));
            client->disconnectFromHost();
            return;
        }
        client->write(m_user.isEmpty() ? QByteArray("\x05\x00", 2) : QByteArray("\x05\x02", 2));
        client->setProperty("stage", int(m_user.isEmpty() ? Stage::SocksRequest : Stage::SocksLogin));
        client->setProperty("buffer", in);
        if (!in.isEmpty())
            onClientData(client);
        return;
    }
    if (stage == Stage::SocksLogin) {
        // Version 1, user name length, user name, password length, password.
        if (in.size() < 2 || in.size() < 3 + quint8(in.at(1)) ||
            in.size() < 3 + quint8(in.at(1)) + quint8(in.at(2 + quint8(in.at(1)))))
            return wait();
        const qsizetype userLength = quint8(in.at(1));
        const QByteArray user = in.mid(2, userLength);
        const qsizetype passwordLength = quint8(in.at(2 + userLength));
        const QByteArray password = in.mid(3 + userLength, passwordLength);
        in.remove(0, 3 + userLength + passwordLength);
        if (user != m_user || password != m_password) {
            m_refused.append("SOCKS5 user " + user);
            client->write(QByteArray("\x01\x01", 2));
            client->disconnectFromHost();
            return;
        }
        client->write(QByteArray("\x01\x00", 2));
        client->setProperty("stage", int(Stage::SocksRequest));
        client->setProperty("buffer", in);
        if (!in.isEmpty())
            onClientData(client);
        return;
    }
    if (stage == Stage::SocksRequest) {
        // Version, CONNECT, reserved, address type, address, port.
        if (in.size() < 5)
            return wait();
        const quint8 type = quint8(in.at(3));
        QString host;
        qsizetype at = 0;
        if (type == 0x01 && in.size() >= 10) {
            host = QHostAddress(qFromBigEndian<quint32>(in.constData() + 4)).toString();
            at = 8;
        } else if (type == 0x03 && in.size() >= 5 + quint8(in.at(4)) + 2) {
            host = QString::fromLatin1(in.mid(5, quint8(in.at(4))));
            at = 5 + quint8(in.at(4));
        } else {
            return wait();
        }
        const quint16 port = qFromBigEndian<quint16>(in.constData() + at);
        m_seen.append("SOCKS5 " + host.toLatin1() + ':' + QByteArray::number(port));
        QTcpSocket *upstream = open(host, port, false);
        upstream->write(in.mid(at + 2));
        m_toServers += in.size() - at - 2;
        connect(upstream, &QTcpSocket::connected, client,
                [client] { client->write(QByteArray("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10)); });
        return;
    }

    const qsizetype headEnd = in.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return wait();
    const QByteArray head = in.left(headEnd);
    const QByteArray body = in.mid(headEnd + 4);
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    const QByteArray method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);

    if (!accountFits(lines)) {
        m_refused.append(method + ' ' + target);
        const QByteArray page = "<html><body>Proxy account required</body></html>";
        client->setProperty("stage", int(Stage::Refused));
        client->setProperty("buffer", QByteArray());
        client->write("HTTP/1.1 407 Proxy Authentication Required\r\n"
                      "Proxy-Authenticate: Basic realm=\"test proxy\"\r\n"
                      "Content-Type: text/html\r\nContent-Length: " +
                      QByteArray::number(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
        return;
    }

    if (method == "CONNECT") {
        m_seen.append("CONNECT " + target);
        const qsizetype colon = target.lastIndexOf(':');
        QTcpSocket *upstream =
            open(QString::fromLatin1(target.left(colon)), quint16(target.mid(colon + 1).toUInt()), false);
        upstream->write(body);
        m_toServers += body.size();
        connect(upstream, &QTcpSocket::connected, client,
                [client] { client->write("HTTP/1.1 200 Connection established\r\n\r\n"); });
        return;
    }

    // A request in absolute form: sent on in origin form, one per connection.
    m_seen.append(method + ' ' + target);
    const QUrl url(QString::fromLatin1(target));
    QByteArray forwarded = method + ' ' + url.path(QUrl::FullyEncoded).toLatin1();
    if (url.hasQuery())
        forwarded += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    forwarded += ' ' + requestLine.value(2) + "\r\n";
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
        if (line.isEmpty() || name == "connection" || name == "proxy-connection" || name == "keep-alive" ||
            name == "proxy-authorization")
            continue;
        forwarded += line + "\r\n";
    }
    forwarded += "Connection: close\r\n\r\n";
    QTcpSocket *upstream = open(url.host(), quint16(url.port(80)), true);
    upstream->write(forwarded + body);
    m_toServers += forwarded.size() + body.size();
}
