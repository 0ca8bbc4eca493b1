#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <utility>

class QTcpServer;

using HeaderList = QList<std::pair<QByteArray, QByteArray>>;

// One request as it arrived on the wire.
struct RecordedRequest
{
    QByteArray method;
    QByteArray target;  // path with query, exactly as sent
    HeaderList headers; // in arrival order, names as sent
    QByteArray body;
    qint64 receivedMs = 0; // since the server was created
    int connectionId = 0;  // which accepted connection carried it

    QByteArray path() const;                         // target without the query
    QByteArray query() const;                        // after "?", empty when none
    QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
    bool hasHeader(const QByteArray &name) const;
    QJsonObject json() const; // the body as a JSON object (empty when it is not one)
};

// How the server answers one request.
struct ScriptedReply
{
    int status = 200;
    HeaderList headers;
    QByteArray body;
    int delayMs = 0;           // wait before answering
    qint64 cutAfterBytes = -1; // close the connection after this many body bytes (the length stays declared)
    bool omitLength = false;   // no Content-Length: the body ends when the connection closes
    bool hang = false;         // never answer, keep the connection open
    bool drop = false;         // close the connection without any answer
    bool held = false;         // wait for ScriptedServer::releaseHeld() before answering
    int trickleBytes = 0;      // send the body in pieces of this size...
    int trickleIntervalMs = 0; // ...this far apart
    QByteArray verbatim;       // when set, written as the whole answer instead of status, headers and body
    bool closeAfterVerbatim = false;

    static ScriptedReply json(const QJsonValue &body, int status = 200);
    // {"success": true, "data": data}
    static ScriptedReply success(const QJsonValue &data = QJsonObject());
    static ScriptedReply text(int status, const QByteArray &body,
                              const QByteArray &contentType = QByteArrayLiteral("text/plain; charset=utf-8"));
    static ScriptedReply empty(int status);
    static ScriptedReply hanging();
    static ScriptedReply dropped();
    // Exactly these bytes on the wire (interim answers, chunked bodies, malformed answers); close
    // the connection afterwards when the answer's end is the close.
    static ScriptedReply raw(const QByteArray &bytes, bool closeAfter = false);

    ScriptedReply &withHeader(const QByteArray &name, const QByteArray &value);
    ScriptedReply &withDelay(int ms);
    ScriptedReply &cutAfter(qint64 bodyBytes);
    ScriptedReply &withoutLength();
    ScriptedReply &trickle(int bytes, int intervalMs);
    ScriptedReply &heldUntilReleased();
};

// Answers like a file server that honours "Range: bytes=N-" and "bytes=N-M": 200 without a range,
// 206 with Content-Range, 416 with "bytes */SIZE" past the end.
ScriptedReply rangedContent(const QByteArray &content, const RecordedRequest &request);

// A loopback HTTP/1.1 server whose every answer a test scripts. Keeps connections alive like a
// real server (the access manager reuses them), reads request bodies of any size, with
// Content-Length or chunked, and records each request.
class ScriptedServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ScriptedServer)

public:
    using Handler = std::function<ScriptedReply(const RecordedRequest &)>;

    explicit ScriptedServer(QObject *parent = nullptr);
    ~ScriptedServer() override;

    // Listens on 127.0.0.1 with a free port.
    bool listen();
    quint16 port() const;
    QString baseUrl() const; // "http://127.0.0.1:PORT"

    // Routes: method empty matches any; a path ending in "*" matches by prefix, a path with "?"
    // matches the whole target, any other path matches the target without its query.
    // The newest matching route answers; unmatched requests get 404 {"error":"no route"}.
    void on(const QByteArray &method, const QString &path, const ScriptedReply &reply);
    void on(const QByteArray &method, const QString &path, Handler handler);
    // Answers the given replies in turn; the last one repeats.
    void onSequence(const QByteArray &method, const QString &path, const QList<ScriptedReply> &replies);
    // GET of path serves content with Range support.
    void serveContent(const QString &path, const QByteArray &content);
    void clearRoutes();
    // Answers each request as soon as its headers are in, like a server refusing an upload, then
    // reads and discards its Content-Length body before the next request on the connection.
    void setAnswerBeforeBody(bool early) { m_answerBeforeBody = early; }

    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requests(const QByteArray &method, const QString &path) const;
    int requestCount() const { return int(m_requests.size()); }
    void clearRequests() { m_requests.clear(); }
    int connectionCount() const { return m_connections; }
    // Replies scripted as held wait here, oldest first, until released (count < 0: all).
    int heldCount() const;
    void releaseHeld(int count = -1);
    // Waits until at least count requests have arrived in total.
    bool waitForRequests(int count, int timeoutMs = 5000);
    // The elapsed clock the receivedMs stamps use.
    qint64 elapsedMs() const { return m_clock.elapsed(); }

signals:
    void requestReceived(const RecordedRequest &request);

private:
    struct Route
    {
        QByteArray method;
        QString path;
        Handler handler;
    };

    ScriptedReply answer(const RecordedRequest &request) const;
    void record(const RecordedRequest &request);
    static bool matches(const Route &route, const RecordedRequest &request);

    friend class ScriptedConnection;

    QTcpServer *m_server = nullptr;
    QList<Route> m_routes;
    QList<RecordedRequest> m_requests;
    QList<QPointer<QObject>> m_held; // ScriptedConnections waiting to answer
    QElapsedTimer m_clock;
    int m_connections = 0;
    bool m_answerBeforeBody = false;
};
