#pragma once

#include "net/httpanswerreader.h"
#include "net/httpresponse.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QNetworkProxy>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkRequest;
class QTimer;

// One keep-alive HTTP/1.1 connection that sends large request bodies held in memory.
//
// The access manager hands a request body to its socket 16 KiB per event-loop turn, which holds
// chunk uploads to a fraction of what loopback or a LAN carries. This writes the whole body to the
// socket at once and lets the kernel take it in large pieces. The answer is read and turned into
// the same HttpResponse as every other request (HttpClient::makeResponse), and bytes sent count
// into HttpClient::bytesUp.
//
// One request at a time. A kept-alive connection that the server closed meanwhile is reopened and
// the request sent once more, before any answer byte only (so the verb should be idempotent).
//
// The body goes no faster than HttpClient's upload limiter allows, and the connection takes the
// client's proxy: an HTTP proxy gets plain requests in absolute form (or a CONNECT tunnel for
// https), a SOCKS5 proxy a tunnel.
class HttpConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpConnection)

public:
    static constexpr int DefaultIdleTimeoutMs = 60000;
    static constexpr qsizetype MaxHeaderBytes = HttpAnswerReader::MaxHeaderBytes;
    static constexpr qsizetype MaxBodyBytes = HttpAnswerReader::MaxBodyBytes;

    explicit HttpConnection(QObject *parent = nullptr);
    // Drops the connection; a callback still waiting is never called.
    ~HttpConnection() override;

    // Sends verb with body to request's URL with its raw headers (Host, Content-Length and
    // Connection are set here). callback runs once, on this object's thread; it may send again.
    // Calling send while busy answers callback at once with a failure.
    void send(const QByteArray &verb, const QNetworkRequest &request, const QByteArray &body, HttpCallback callback);
    bool isBusy() const { return m_busy; }
    // Bytes of the current request's body that have left so far.
    qint64 bodyBytesSent() const { return m_bodySent; }

    // A request fails with "请求超时" when no byte moves for this long (connecting included).
    void setIdleTimeoutMs(int ms);
    int idleTimeoutMs() const { return m_idleTimeoutMs; }

signals:
    // Body bytes of the current request have left (see bodyBytesSent).
    void bodyProgress();

private:
    void openSocket();
    void writeRequest();
    // Hands the socket as much of the body as the upload limiter allows now.
    void pumpBody();
    void onReadyRead();
    void onBytesWritten(qint64 bytes);
    void onSocketError(QAbstractSocket::SocketError error);
    void onTimeout();
    // Reads bytes into the answer; false when it cannot be read (the request has then failed).
    bool take(const QByteArray &bytes);
    void complete();
    // network: the connection failed (as opposed to an answer that cannot be read).
    void fail(const QString &text, bool network = true);
    void answer(const HttpResponse &response);
    void dropSocket();
    QString socketErrorText(QAbstractSocket::SocketError error) const;

    int m_idleTimeoutMs = DefaultIdleTimeoutMs;
    QTimer *m_idle = nullptr;
    QPointer<QAbstractSocket> m_socket;
    QString m_endpoint; // scheme://host:port of m_socket, and the proxy it goes through
    QTimer *m_pump = nullptr;

    // The request in flight.
    bool m_busy = false;
    bool m_reused = false;  // sent on a connection that had answered before
    bool m_resent = false;  // already sent once more after a stale connection
    bool m_written = false; // every byte of the request has left
    QString m_scheme;
    QString m_host;
    quint16 m_port = 0;
    QByteArray m_head;
    QByteArray m_body;
    qint64 m_toWrite = 0;
    qint64 m_bodyQueued = 0;     // body bytes handed to the socket
    qint64 m_bodySent = 0;       // body bytes the socket has written
    QNetworkProxy m_proxy;       // how the socket reaches the server
    bool m_viaHttpProxy = false; // plain HTTP through an HTTP proxy: absolute-form requests to it
    HttpCallback m_callback;

    // The answer being read.
    HttpAnswerReader m_reader;
    bool m_anyAnswerByte = false;
};
