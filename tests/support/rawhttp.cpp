#include "rawhttp.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QUrl>

QByteArray RawHttp::Reply::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

RawHttp::RawHttp(const QString &baseUrl, const QString &localAddress)
    : m_localAddress(localAddress)
    , m_socket(std::make_unique<QTcpSocket>())
{
    const QUrl url(baseUrl);
    m_host = url.host();
    m_port = quint16(url.port(80));
}

RawHttp::~RawHttp() = default;

bool RawHttp::open(int timeoutMs)
{
    if (!m_localAddress.isEmpty() && !m_socket->bind(QHostAddress(m_localAddress), 0))
        return false;
    m_socket->connectToHost(m_host, m_port);
    return m_socket->waitForConnected(timeoutMs);
}

bool RawHttp::isOpen() const
{
    return !m_closed && m_socket->state() == QAbstractSocket::ConnectedState;
}

QByteArray RawHttp::head(const QByteArray &method, const QByteArray &path,
                         const QList<std::pair<QByteArray, QByteArray>> &headers) const
{
    QByteArray out =
        method + ' ' + path + " HTTP/1.1\r\nHost: " + m_host.toUtf8() + ':' + QByteArray::number(m_port) + "\r\n";
    for (const auto &[name, value] : headers)
        out += name + ": " + value + "\r\n";
    return out + "\r\n";
}

bool RawHttp::send(const QByteArray &bytes, int timeoutMs)
{
    if (!isOpen() || m_socket->write(bytes) != bytes.size())
        return false;
    QElapsedTimer timer;
    timer.start();
    while (m_socket->bytesToWrite() > 0) {
        if (!isOpen() || timer.elapsed() > timeoutMs)
            return false;
        m_socket->waitForBytesWritten(100);
    }
    return isOpen();
}

qint64 RawHttp::sendChunked(qint64 total, int piece, int timeoutMs)
{
    const qint64 sent = sendFillerChunks(total, piece, timeoutMs);
    endChunks();
    return sent;
}

bool RawHttp::sendChunk(const QByteArray &data, int timeoutMs)
{
    return data.isEmpty() || send(QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n", timeoutMs);
}

qint64 RawHttp::sendFillerChunks(qint64 total, int piece, int timeoutMs)
{
    const QByteArray data(piece, 'x');
    qint64 sent = 0;
    QElapsedTimer timer;
    timer.start();
    while (sent < total && timer.elapsed() < timeoutMs) {
        const qint64 n = qMin<qint64>(piece, total - sent);
        if (!sendChunk(n == piece ? data : data.left(n), timeoutMs))
            return sent;
        sent += n;
    }
    return sent;
}

bool RawHttp::endChunks(int timeoutMs)
{
    return send("0\r\n\r\n", timeoutMs);
}

bool RawHttp::fill(int timeoutMs)
{
    if (m_socket->bytesAvailable() == 0 && !m_socket->waitForReadyRead(timeoutMs)) {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            m_closed = true;
        return false;
    }
    m_buffer += m_socket->readAll();
    return true;
}

RawHttp::Reply RawHttp::read(int timeoutMs)
{
    Reply reply;
    QElapsedTimer timer;
    timer.start();
    const auto left = [&] { return int(qMax<qint64>(1, timeoutMs - timer.elapsed())); };
    qsizetype end = -1;
    while ((end = m_buffer.indexOf("\r\n\r\n")) < 0) {
        if (timer.elapsed() > timeoutMs || (!fill(left()) && m_closed))
            return reply;
    }
    const QList<QByteArray> lines = m_buffer.left(end).split('\n');
    m_buffer.remove(0, end + 4);
    const QList<QByteArray> status = lines.value(0).trimmed().split(' ');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            reply.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    if (status.value(1).toInt() == 100) // an interim answer: the real one follows
        return read(left());
    reply.status = status.value(1).toInt();
    if (!reply.header("Content-Length").isEmpty()) {
        const qint64 length = reply.header("Content-Length").toLongLong();
        while (m_buffer.size() < length && timer.elapsed() <= timeoutMs && (fill(left()) || !m_closed)) {
        }
        reply.body = m_buffer.left(length);
        m_buffer.remove(0, reply.body.size());
    } else if (reply.header("Transfer-Encoding").toLower().contains("chunked")) {
        for (;;) {
            qsizetype lineEnd;
            while ((lineEnd = m_buffer.indexOf("\r\n")) < 0) {
                if (timer.elapsed() > timeoutMs || (!fill(left()) && m_closed))
                    return reply;
            }
            const qint64 size = m_buffer.left(lineEnd).trimmed().toLongLong(nullptr, 16);
            while (m_buffer.size() < lineEnd + 2 + size + 2) {
                if (timer.elapsed() > timeoutMs || (!fill(left()) && m_closed))
                    return reply;
            }
            reply.body += m_buffer.mid(lineEnd + 2, size);
            m_buffer.remove(0, lineEnd + 2 + size + 2);
            if (size == 0)
                break;
        }
    } else {
        while (!m_closed && timer.elapsed() <= timeoutMs)
            fill(left());
        reply.body = m_buffer;
        m_buffer.clear();
    }
    return reply;
}

bool RawHttp::waitClosed(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!m_closed && m_socket->state() == QAbstractSocket::ConnectedState && timer.elapsed() < timeoutMs) {
        if (m_socket->waitForReadyRead(int(qMax<qint64>(1, timeoutMs - timer.elapsed()))))
            m_buffer += m_socket->readAll();
        else if (m_socket->state() != QAbstractSocket::ConnectedState)
            m_closed = true;
    }
    return m_closed || m_socket->state() != QAbstractSocket::ConnectedState;
}

void RawHttp::close()
{
    m_socket->abort();
    m_closed = true;
}
