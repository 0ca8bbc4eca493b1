#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <utility>

class QTcpSocket;

// One HTTP/1.1 connection driven by hand, for what QNetworkAccessManager does not send: chunked
// bodies of any length, heads sent a line at a time, bodies announced but never sent, and a
// chosen local address (any 127.x.y.z is loopback). Every wait is a wait for socket events.
class RawHttp final
{
public:
    struct Reply
    {
        int status = 0; // 0: no answer (the connection closed, or the time ran out)
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;
        QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
    };

    // `baseUrl` as "http://HOST:PORT"; `localAddress` empty for the system's choice.
    explicit RawHttp(const QString &baseUrl, const QString &localAddress = QString());
    ~RawHttp();
    RawHttp(const RawHttp &) = delete;
    RawHttp &operator=(const RawHttp &) = delete;

    bool open(int timeoutMs = 5000);
    bool isOpen() const;
    // Writes everything; false once the peer has closed or the write failed.
    bool send(const QByteArray &bytes, int timeoutMs = 10000);
    // Sends `total` bytes as a chunked body in pieces of `piece` bytes, then the last chunk;
    // stops early when the server closes. Returns the body bytes that went out.
    qint64 sendChunked(qint64 total, int piece = 64 * 1024, int timeoutMs = 30000);
    // The parts of a chunked body one by one: `data` as one chunk, `total` filler bytes as
    // chunks (returning how many went out), and the last chunk.
    bool sendChunk(const QByteArray &data, int timeoutMs = 10000);
    qint64 sendFillerChunks(qint64 total, int piece = 64 * 1024, int timeoutMs = 30000);
    bool endChunks(int timeoutMs = 10000);
    // Reads one answer (by Content-Length, chunked, or up to the close).
    Reply read(int timeoutMs = 10000);
    // True once the server has closed the connection (within the time given).
    bool waitClosed(int timeoutMs);
    void close();

    // "METHOD PATH HTTP/1.1" with Host and the given header lines, ending the head.
    QByteArray head(const QByteArray &method, const QByteArray &path,
                    const QList<std::pair<QByteArray, QByteArray>> &headers = {}) const;

private:
    bool fill(int timeoutMs);
    QString m_host;
    quint16 m_port = 0;
    QString m_localAddress;
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_buffer;
    bool m_closed = false;
};
