#include "net/httpconnection.h"

#include "net/httpclient.h"
#include "net/requesthead.h"

#include <QNetworkRequest>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

HttpConnection::HttpConnection(QObject *parent)
    : QObject(parent)
    , m_idle(new QTimer(this))
    , m_pump(new QTimer(this))
{
    m_idle->setSingleShot(true);
    connect(m_idle, &QTimer::timeout, this, &HttpConnection::onTimeout);
    m_pump->setSingleShot(true);
    connect(m_pump, &QTimer::timeout, this, &HttpConnection::pumpBody);
}

HttpConnection::~HttpConnection()
{
    m_callback = nullptr;
    dropSocket();
}

void HttpConnection::setIdleTimeoutMs(int ms)
{
    m_idleTimeoutMs = ms;
    if (m_idle->isActive())
        m_idle->start(m_idleTimeoutMs);
}

void HttpConnection::send(const QByteArray &verb, const QNetworkRequest &request, const QByteArray &body,
                          HttpCallback callback)
{
    if (m_busy) {
        HttpResponse refused;
        refused.error = QStringLiteral("连接正忙");
        if (callback)
            callback(refused);
        return;
    }
    const QUrl url = request.url();
    m_scheme = url.scheme().toLower();
    m_host = url.host(QUrl::FullyEncoded);
    const bool tls = m_scheme == QLatin1String("https");
    m_port = quint16(url.port(tls ? 443 : 80));
    if ((m_scheme != QLatin1String("http") && !tls) || m_host.isEmpty()) {
        HttpResponse invalid;
        invalid.error = QStringLiteral("无效的地址：%1").arg(url.toDisplayString());
        if (callback)
            callback(invalid);
        return;
    }

    m_proxy = HttpClient::instance()->proxyFor(url);
    m_viaHttpProxy = m_proxy.type() == QNetworkProxy::HttpProxy && !tls;

    m_head = RequestHead::start(verb, url, m_viaHttpProxy); // a proxy is asked for the whole URL
    if (m_viaHttpProxy && !m_proxy.user().isEmpty())
        m_head += "Proxy-Authorization: Basic " +
                  (m_proxy.user() + QLatin1Char(':') + m_proxy.password()).toUtf8().toBase64() + "\r\n";
    m_head += RequestHead::headersOf(request);
    m_head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    m_body = body;
    m_callback = std::move(callback);
    m_busy = true;
    m_resent = false;

    const QString endpoint = m_scheme + QLatin1String("://") + m_host + QLatin1Char(':') + QString::number(m_port) +
                             QLatin1String(" via ") + QString::number(int(m_proxy.type())) + QLatin1Char(':') +
                             m_proxy.hostName() + QLatin1Char(':') + QString::number(m_proxy.port());
    if (m_socket && (endpoint != m_endpoint || m_socket->state() != QAbstractSocket::ConnectedState))
        dropSocket();
    m_endpoint = endpoint;
    if (m_socket) {
        m_reused = true;
        writeRequest();
    } else {
        m_reused = false;
        openSocket();
    }
}

void HttpConnection::openSocket()
{
    m_idle->start(m_idleTimeoutMs);
#if QT_CONFIG(ssl)
    if (m_scheme == QLatin1String("https")) {
        auto *socket = new QSslSocket(this);
        m_socket = socket;
        connect(socket, &QSslSocket::encrypted, this, &HttpConnection::writeRequest);
        connect(socket, &QAbstractSocket::errorOccurred, this, &HttpConnection::onSocketError);
        connect(socket, &QSslSocket::sslErrors, this, [this] {
            // Certificates are never waived: the handshake fails with this text.
            fail(QStringLiteral("安全连接失败：服务器证书无效或不受信任"), false);
        });
        connect(socket, &QIODevice::readyRead, this, &HttpConnection::onReadyRead);
        connect(socket, &QIODevice::bytesWritten, this, &HttpConnection::onBytesWritten);
        socket->setProxy(m_proxy); // through an HTTP proxy: a CONNECT tunnel
        socket->connectToHostEncrypted(m_host, m_port);
        return;
    }
#else
    if (m_scheme == QLatin1String("https")) {
        fail(QStringLiteral("此系统不支持安全连接"), false);
        return;
    }
#endif
    auto *socket = new QTcpSocket(this);
    m_socket = socket;
    connect(socket, &QAbstractSocket::connected, this, &HttpConnection::writeRequest);
    connect(socket, &QAbstractSocket::errorOccurred, this, &HttpConnection::onSocketError);
    connect(socket, &QIODevice::readyRead, this, &HttpConnection::onReadyRead);
    connect(socket, &QIODevice::bytesWritten, this, &HttpConnection::onBytesWritten);
    if (m_viaHttpProxy) {
        socket->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        socket->connectToHost(m_proxy.hostName(), m_proxy.port());
        return;
    }
    socket->setProxy(m_proxy);
    socket->connectToHost(m_host, m_port);
}

void HttpConnection::writeRequest()
{
    if (!m_busy || !m_socket)
        return;
    m_reader.reset();
    m_anyAnswerByte = false;
    m_written = false;
    m_toWrite = m_head.size() + m_body.size();
    m_bodyQueued = 0;
    m_bodySent = 0;
    m_idle->start(m_idleTimeoutMs);
    m_socket->write(m_head);
    pumpBody();
}

void HttpConnection::pumpBody()
{
    if (!m_busy || !m_socket || m_bodyQueued >= m_body.size())
        return;
    RateLimiter &limiter = HttpClient::instance()->uploadLimiter();
    if (!limiter.isLimited()) {
        // Into the socket's buffer whole (shared, not copied) when nothing went yet; the socket
        // hands the kernel as much as it takes per turn of the event loop.
        if (m_bodyQueued == 0)
            m_socket->write(m_body);
        else
            m_socket->write(m_body.constData() + m_bodyQueued, m_body.size() - m_bodyQueued);
        m_bodyQueued = m_body.size();
        return;
    }
    const qint64 rest = m_body.size() - m_bodyQueued;
    const qint64 granted = limiter.take(std::min(rest, limiter.burst()));
    if (granted > 0) {
        m_socket->write(m_body.constData() + m_bodyQueued, granted);
        m_bodyQueued += granted;
    }
    if (m_bodyQueued < m_body.size() && !m_pump->isActive())
        m_pump->start(limiter.waitMs(std::min(rest - granted, limiter.burst() / 4 + 1)));
}

void HttpConnection::onBytesWritten(qint64 bytes)
{
    if (!m_busy)
        return;
    HttpClient::instance()->bytesUp += bytes;
    m_toWrite -= bytes;
    if (m_toWrite <= 0)
        m_written = true; // the body is kept all the same: a stale connection may need it sent again
    const qint64 bodySent = m_head.size() + m_body.size() - m_toWrite - m_head.size();
    if (bodySent > m_bodySent) {
        m_bodySent = bodySent;
        emit bodyProgress();
    }
    if (!m_reader.isComplete())
        m_idle->start(m_idleTimeoutMs);
}

void HttpConnection::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    if (!m_busy) {
        dropSocket(); // nothing is expected between requests; a stray byte makes the connection unusable
        return;
    }
    m_anyAnswerByte = true;
    HttpClient::instance()->bytesDown += bytes.size();
    m_idle->start(m_idleTimeoutMs);
    if (take(bytes) && m_reader.isComplete())
        complete();
}

bool HttpConnection::take(const QByteArray &bytes)
{
    switch (m_reader.feed(bytes)) {
    case HttpAnswerReader::Result::NeedMore:
    case HttpAnswerReader::Result::Complete:
        return true;
    case HttpAnswerReader::Result::TooLarge:
        fail(QStringLiteral("服务器的应答过大"), false);
        return false;
    case HttpAnswerReader::Result::Unreadable:
        break;
    }
    fail(QStringLiteral("服务器的应答无法识别"), false);
    return false;
}

void HttpConnection::complete()
{
    m_idle->stop();
    // A server may answer before it has read the whole body (a refusal, say); what is left of the
    // body would then be read as the next request, so such a connection is not used again.
    if (!m_reader.keepAlive() || !m_written || m_reader.hasExtraBytes())
        dropSocket();
    answer(HttpClient::instance()->makeResponse(m_reader.status(), m_reader.body(), QString()));
}

void HttpConnection::onSocketError(QAbstractSocket::SocketError error)
{
    auto *socket = qobject_cast<QAbstractSocket *>(sender());
    if (socket != m_socket)
        return;
    if (!m_busy) {
        dropSocket(); // a kept-alive connection closed while idle: the next request opens a new one
        return;
    }
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // Bytes may still be buffered behind the close.
        const QByteArray rest = socket->readAll();
        if (!rest.isEmpty()) {
            m_anyAnswerByte = true;
            if (!take(rest))
                return;
        }
        if (m_reader.finishAtClose()) {
            dropSocket();
            complete();
            return;
        }
    }
    if (m_reused && !m_anyAnswerByte && !m_resent) {
        // The server had closed the kept-alive connection before this request reached it.
        m_resent = true;
        dropSocket();
        openSocket();
        return;
    }
    // A proxy that refuses the account answers the same way every time: no use waiting for it.
    fail(socketErrorText(error), error != QAbstractSocket::ProxyAuthenticationRequiredError);
}

void HttpConnection::onTimeout()
{
    if (m_busy)
        fail(QStringLiteral("请求超时"));
}

void HttpConnection::fail(const QString &text, bool network)
{
    m_idle->stop();
    dropSocket();
    // A status that arrived stays known (a cut-off 200 is still a failure, see makeResponse).
    HttpResponse response = HttpClient::instance()->makeResponse(m_reader.status(), m_reader.body(), text);
    response.networkError = network;
    answer(response);
}

void HttpConnection::answer(const HttpResponse &response)
{
    m_pump->stop();
    m_busy = false;
    m_body.clear();
    m_reader.reset();
    // Taken out first: the callback may start the next request on this connection.
    HttpCallback callback = std::move(m_callback);
    m_callback = nullptr;
    if (callback)
        callback(response);
}

void HttpConnection::dropSocket()
{
    m_pump->stop();
    if (!m_socket)
        return;
    QAbstractSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater(); // may be inside one of its own signals
}

QString HttpConnection::socketErrorText(QAbstractSocket::SocketError error) const
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("无法连接服务器");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("找不到服务器：%1").arg(m_host);
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("服务器断开了连接");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("请求超时");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("网络连接中断");
    case QAbstractSocket::ProxyConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionClosedError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
    case QAbstractSocket::ProxyNotFoundError:
    case QAbstractSocket::ProxyProtocolError:
        return QStringLiteral("代理服务器连接失败");
    case QAbstractSocket::ProxyAuthenticationRequiredError:
        return HttpClient::proxyAuthenticationText(!m_proxy.user().isEmpty());
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return QStringLiteral("安全连接失败");
    default:
        return QStringLiteral("网络错误：%1").arg(m_socket ? m_socket->errorString() : QString());
    }
}
