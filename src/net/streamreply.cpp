#include "net/streamreply.h"

#include "net/httpclient.h"
#include "net/requesthead.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstring>
#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

namespace {
bool isDigits(const QByteArray &text)
{
    return !text.isEmpty() && text.size() <= 18 &&
           std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
}
} // namespace

bool StreamReply::canCarry(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
#if QT_CONFIG(ssl)
    const bool known = scheme == QLatin1String("http") || scheme == QLatin1String("https");
#else
    const bool known = scheme == QLatin1String("http");
#endif
    return known && !url.host().isEmpty() && HttpClient::instance()->proxyFor(url).type() == QNetworkProxy::NoProxy;
}

StreamReply::StreamReply(const QNetworkRequest &request, QObject *parent)
    : QNetworkReply(parent)
    , m_timer(new QTimer(this))
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &StreamReply::onTimeout);

    const QUrl url = request.url();
    const bool tls = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    const QString hostName = url.host(QUrl::FullyEncoded);
    const quint16 port = quint16(url.port(tls ? 443 : 80));
    QByteArray head = RequestHead::start("GET", url) + RequestHead::headersOf(request);
    // Bodies are written as they come: never compressed on the way.
    head += "Accept-Encoding: identity\r\nConnection: close\r\n\r\n";
    m_request = head; // sent once connected

    QAbstractSocket *socket = nullptr;
#if QT_CONFIG(ssl)
    if (tls) {
        auto *ssl = new QSslSocket(this);
        connect(ssl, &QSslSocket::encrypted, this, &StreamReply::onConnected);
        connect(ssl, &QSslSocket::sslErrors, this, [this] {
            // Certificates are never waived.
            fail(SslHandshakeFailedError, QStringLiteral("SSL handshake failed"));
        });
        socket = ssl;
    }
#endif
    if (!socket) {
        socket = new QTcpSocket(this);
        connect(socket, &QAbstractSocket::connected, this, &StreamReply::onConnected);
    }
    m_socket = socket;
    socket->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    connect(socket, &QIODevice::readyRead, this, &StreamReply::onSocketReadyRead);
    connect(socket, &QAbstractSocket::errorOccurred, this, &StreamReply::onSocketError);
    connect(socket, &QIODevice::bytesWritten, this, &StreamReply::restartTimer);
    restartTimer();
#if QT_CONFIG(ssl)
    if (tls) {
        static_cast<QSslSocket *>(socket)->connectToHostEncrypted(hostName, port);
        return;
    }
#endif
    socket->connectToHost(hostName, port);
}

StreamReply::~StreamReply()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void StreamReply::restartTimer()
{
    const int ms = request().transferTimeout();
    if (ms > 0)
        m_timer->start(ms);
}

void StreamReply::onTimeout()
{
    if (m_finished)
        return;
    // As the access manager does on its transfer time-out.
    fail(OperationCanceledError, QStringLiteral("Operation canceled"));
}

void StreamReply::onConnected()
{
    if (!m_socket || m_finished)
        return;
    m_socket->write(m_request);
    m_request.clear();
}

void StreamReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    m_bufferSize = qMax<qint64>(0, size);
    if (m_socket)
        m_socket->setReadBufferSize(m_bufferSize);
}

void StreamReply::onSocketReadyRead()
{
    if (!m_socket || m_finished)
        return;
    restartTimer();
    if (m_framing == Framing::Head && !readHead())
        return;
    switch (m_framing) {
    case Framing::Length:
        // Every byte of the body is in once the socket holds what is left of it.
        if (m_socket->bytesAvailable() >= m_remaining)
            return bodyComplete();
        break;
    case Framing::Chunked:
    case Framing::UntilClose:
        pull();
        if (m_finished || m_framing == Framing::Done)
            return;
        break;
    case Framing::Head:
    case Framing::Done:
        return;
    }
    if (bytesAvailable() > 0)
        emit readyRead();
}

bool StreamReply::readHead()
{
    for (;;) {
        const qsizetype room = MaxHeadBytes + 4 - m_head.size();
        m_head += m_socket->read(room);
        const qsizetype end = m_head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_head.size() > MaxHeadBytes)
                fail(ProtocolFailure, QStringLiteral("Header too long"));
            return false;
        }
        const QList<QByteArray> lines = m_head.left(end).split('\n');
        const QByteArray status = lines.first().trimmed();
        // "HTTP/1.1 200 OK"
        const QList<QByteArray> parts = status.split(' ');
        bool ok = false;
        const int code = parts.size() >= 2 ? parts.at(1).toInt(&ok) : 0;
        if (!status.startsWith("HTTP/1.") || !ok || code < 100 || code > 999) {
            fail(ProtocolFailure, QStringLiteral("Unreadable answer"));
            return false;
        }
        QByteArray rest = m_head.mid(end + 4);
        if (code < 200) {
            m_head = std::move(rest); // an interim answer; the final one follows
            continue;
        }
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, code);
        setAttribute(QNetworkRequest::HttpReasonPhraseAttribute,
                     QString::fromLatin1(parts.size() > 2 ? status.mid(parts.at(0).size() + parts.at(1).size() + 2)
                                                          : QByteArray()));
        QByteArray length;
        bool chunked = false;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            const QByteArray lower = name.toLower();
            if (lower == "transfer-encoding") {
                chunked = value.toLower().contains("chunked");
            } else if (lower == "content-length") {
                if (!isDigits(value) || (!length.isEmpty() && length != value)) {
                    fail(ProtocolFailure, QStringLiteral("Invalid Content-Length"));
                    return false;
                }
                length = value;
            }
            const QByteArray before = rawHeader(name);
            setRawHeader(name, before.isEmpty() ? value : before + ", " + value);
        }
        if (chunked && !length.isEmpty()) {
            // The chunks say where the body ends; a length beside them means nothing.
            setRawHeader("Content-Length", QByteArray());
            setHeader(QNetworkRequest::ContentLengthHeader, QVariant());
        }
        m_head.clear();
        if (code == 204 || code == 304) {
            m_framing = Framing::Done;
        } else if (chunked) {
            m_framing = Framing::Chunked;
            m_raw = std::move(rest);
        } else if (!length.isEmpty()) {
            m_framing = Framing::Length;
            const qint64 total = length.toLongLong();
            rest.truncate(qsizetype(qMin<qint64>(rest.size(), total)));
            m_remaining = total - rest.size();
            m_pending = std::move(rest);
        } else {
            m_framing = Framing::UntilClose;
            m_pending = std::move(rest);
        }
        emit metaDataChanged();
        if (m_finished)
            return false; // the answer was refused in its handler
        if (m_framing == Framing::Done || (m_framing == Framing::Length && m_remaining == 0)) {
            bodyComplete();
            return false;
        }
        if (m_framing == Framing::Chunked && !dechunk({}))
            return false;
        return true;
    }
}

void StreamReply::pull()
{
    if (!m_socket)
        return;
    while (m_framing == Framing::Chunked || m_framing == Framing::UntilClose) {
        const qint64 room = m_bufferSize > 0 ? m_bufferSize - pendingSize() : qint64(1) << 20;
        if (room <= 0)
            return; // read() pulls again once room is made
        const QByteArray raw = m_socket->read(room);
        if (raw.isEmpty())
            return;
        if (m_framing == Framing::UntilClose) {
            m_pending += raw;
            continue;
        }
        if (!dechunk(raw))
            return;
    }
}

bool StreamReply::dechunk(const QByteArray &raw)
{
    m_raw += raw;
    qsizetype at = 0;
    const auto failChunked = [this] {
        fail(ProtocolFailure, QStringLiteral("Invalid chunked body"));
        return false;
    };
    while (at < m_raw.size()) {
        if (m_chunk == Chunk::Data) {
            const qint64 take = qMin<qint64>(m_chunkLeft, m_raw.size() - at);
            m_pending.append(m_raw.constData() + at, qsizetype(take));
            at += qsizetype(take);
            m_chunkLeft -= take;
            if (m_chunkLeft == 0)
                m_chunk = Chunk::DataEnd;
            continue;
        }
        const qsizetype eol = m_raw.indexOf("\r\n", at);
        if (eol < 0) {
            if (m_raw.size() - at > MaxChunkLineBytes)
                return failChunked();
            break;
        }
        const QByteArray line = m_raw.mid(at, eol - at);
        at = eol + 2;
        if (m_chunk == Chunk::DataEnd) {
            if (!line.isEmpty())
                return failChunked();
            m_chunk = Chunk::Size;
        } else if (m_chunk == Chunk::Size) {
            const QByteArray hex = line.left(line.indexOf(';') < 0 ? line.size() : line.indexOf(';')).trimmed();
            bool ok = false;
            const qint64 size = hex.size() <= 15 ? hex.toLongLong(&ok, 16) : -1;
            if (!ok || size < 0)
                return failChunked();
            m_chunkLeft = size;
            m_chunk = size == 0 ? Chunk::Trailers : Chunk::Data;
        } else if (line.isEmpty()) { // the end of the trailers, and of the body
            m_raw.clear();
            bodyComplete();
            return false;
        }
    }
    m_raw.remove(0, at);
    return true;
}

qint64 StreamReply::bytesAvailable() const
{
    qint64 available = pendingSize() + QNetworkReply::bytesAvailable();
    if (m_framing == Framing::Length && m_socket)
        available += qMin(m_socket->bytesAvailable(), m_remaining);
    return available;
}

qint64 StreamReply::readData(char *data, qint64 maxSize)
{
    qint64 copied = 0;
    if (const qint64 held = pendingSize(); held > 0) {
        copied = qMin(held, maxSize);
        std::memcpy(data, m_pending.constData() + m_pendingAt, size_t(copied));
        m_pendingAt += qsizetype(copied);
        if (m_pendingAt == m_pending.size()) {
            m_pending.clear();
            m_pendingAt = 0;
        } else if (m_pendingAt > (1 << 20) && m_pendingAt * 2 > m_pending.size()) {
            m_pending.remove(0, m_pendingAt);
            m_pendingAt = 0;
        }
    }
    if (m_framing == Framing::Length && m_socket && copied < maxSize && m_remaining > 0) {
        const qint64 got = m_socket->read(data + copied, qMin(maxSize - copied, m_remaining));
        if (got > 0) {
            copied += got;
            m_remaining -= got;
            // A socket whose bounded buffer was full reads on only once a read empties it; a
            // reader that takes a part at a time must not stall the rest. Setting the bound
            // again lets it read on as soon as there is room.
            if (m_bufferSize > 0 && m_socket->bytesAvailable() > 0) {
                m_socket->setReadBufferSize(0);
                m_socket->setReadBufferSize(m_bufferSize);
            }
        }
    } else if ((m_framing == Framing::Chunked || m_framing == Framing::UntilClose) && !m_pullQueued && m_socket &&
               m_socket->bytesAvailable() > 0) {
        // Room was made: what waits in the socket is taken next, outside the caller's read.
        m_pullQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_pullQueued = false;
                onSocketReadyRead();
            },
            Qt::QueuedConnection);
    }
    if (copied == 0 && m_finished && bytesAvailable() == 0)
        return -1;
    return copied;
}

void StreamReply::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_finished || !m_socket)
        return;
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // What arrived before the close is still in the socket.
        if (m_framing == Framing::Head && !readHead())
            return m_finished ? void() : fail(RemoteHostClosedError, QStringLiteral("Connection closed"));
        if (m_framing == Framing::Length && m_socket->bytesAvailable() >= m_remaining)
            return bodyComplete();
        if (m_framing == Framing::UntilClose) {
            const qint64 keep = m_bufferSize;
            m_bufferSize = 0; // the rest is all there is
            pull();
            m_bufferSize = keep;
            return bodyComplete();
        }
        if (m_framing == Framing::Chunked) {
            pull();
            if (m_finished)
                return;
        }
        return fail(RemoteHostClosedError, QStringLiteral("Connection closed"));
    }
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return fail(ConnectionRefusedError, m_socket->errorString());
    case QAbstractSocket::HostNotFoundError:
        return fail(HostNotFoundError, m_socket->errorString());
    case QAbstractSocket::SocketTimeoutError:
        return fail(TimeoutError, m_socket->errorString());
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return fail(SslHandshakeFailedError, m_socket->errorString());
    default:
        return fail(UnknownNetworkError, m_socket->errorString());
    }
}

void StreamReply::bodyComplete()
{
    if (m_finished)
        return;
    if (m_framing != Framing::Length)
        m_framing = Framing::Done; // a body with a length is still read from the socket
    if (bytesAvailable() > 0)
        emit readyRead();
    finishOnce();
}

void StreamReply::fail(NetworkError code, const QString &text)
{
    if (m_finished)
        return;
    setError(code, text);
    // Bytes already in stay readable: a download keeps what arrived before the failure.
    if (m_framing == Framing::Length && m_socket)
        m_remaining = qMin(m_remaining, m_socket->bytesAvailable());
    finishOnce();
}

void StreamReply::finishOnce()
{
    if (m_finished)
        return;
    m_finished = true;
    m_timer->stop();
    setFinished(true);
    if (error() != NoError)
        emit errorOccurred(error());
    emit finished();
}

void StreamReply::abort()
{
    if (m_finished)
        return;
    close();
    fail(OperationCanceledError, QStringLiteral("Operation canceled"));
}

void StreamReply::close()
{
    // Unread bytes are dropped with the connection.
    QNetworkReply::close();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    m_pending.clear();
    m_pendingAt = 0;
    m_remaining = 0;
}
