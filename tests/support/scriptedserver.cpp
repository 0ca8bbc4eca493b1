#include "scriptedserver.h"

#include "eventwait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <memory>

namespace {
constexpr qsizetype MaxHeaderBytes = 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 409:
        return "Conflict";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool hasHeaderIn(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}
} // namespace

// ---- RecordedRequest ----

QByteArray RecordedRequest::path() const
{
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? target : target.left(mark);
}

QByteArray RecordedRequest::query() const
{
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? QByteArray() : target.mid(mark + 1);
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool RecordedRequest::hasHeader(const QByteArray &name) const
{
    return hasHeaderIn(headers, name);
}

QJsonObject RecordedRequest::json() const
{
    return QJsonDocument::fromJson(body).object();
}

// ---- ScriptedReply ----

ScriptedReply ScriptedReply::json(const QJsonValue &body, int status)
{
    ScriptedReply reply;
    reply.status = status;
    reply.body = body.isArray() ? QJsonDocument(body.toArray()).toJson(QJsonDocument::Compact)
                                : QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact);
    reply.headers.emplaceBack("Content-Type", "application/json; charset=utf-8");
    return reply;
}

ScriptedReply ScriptedReply::success(const QJsonValue &data)
{
    return json(QJsonObject{{QStringLiteral("success"), true}, {QStringLiteral("data"), data}});
}

ScriptedReply ScriptedReply::text(int status, const QByteArray &body, const QByteArray &contentType)
{
    ScriptedReply reply;
    reply.status = status;
    reply.body = body;
    reply.headers.emplaceBack("Content-Type", contentType);
    return reply;
}

ScriptedReply ScriptedReply::empty(int status)
{
    ScriptedReply reply;
    reply.status = status;
    return reply;
}

ScriptedReply ScriptedReply::hanging()
{
    ScriptedReply reply;
    reply.hang = true;
    return reply;
}

ScriptedReply ScriptedReply::dropped()
{
    ScriptedReply reply;
    reply.drop = true;
    return reply;
}

ScriptedReply ScriptedReply::raw(const QByteArray &bytes, bool closeAfter)
{
    ScriptedReply reply;
    reply.verbatim = bytes;
    reply.closeAfterVerbatim = closeAfter;
    return reply;
}

ScriptedReply &ScriptedReply::withHeader(const QByteArray &name, const QByteArray &value)
{
    headers.emplaceBack(name, value);
    return *this;
}

ScriptedReply &ScriptedReply::heldUntilReleased()
{
    held = true;
    return *this;
}

ScriptedReply &ScriptedReply::withDelay(int ms)
{
    delayMs = ms;
    return *this;
}

ScriptedReply &ScriptedReply::cutAfter(qint64 bodyBytes)
{
    cutAfterBytes = bodyBytes;
    return *this;
}

ScriptedReply &ScriptedReply::withoutLength()
{
    omitLength = true;
    return *this;
}

ScriptedReply &ScriptedReply::trickle(int bytes, int intervalMs)
{
    trickleBytes = bytes;
    trickleIntervalMs = intervalMs;
    return *this;
}

ScriptedReply rangedContent(const QByteArray &content, const RecordedRequest &request)
{
    const QByteArray range = request.header("Range").trimmed();
    const qint64 size = content.size();
    if (range.isEmpty()) {
        ScriptedReply reply;
        reply.body = content;
        reply.headers.emplaceBack("Content-Type", "application/octet-stream");
        reply.headers.emplaceBack("Accept-Ranges", "bytes");
        return reply;
    }

    static const QRegularExpression pattern(QStringLiteral("^bytes=(\\d+)-(\\d*)$"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(range));
    const qint64 start = match.hasMatch() ? match.captured(1).toLongLong() : -1;
    qint64 end = match.hasMatch() && !match.captured(2).isEmpty() ? match.captured(2).toLongLong() : size - 1;
    end = qMin(end, size - 1);
    if (start < 0 || start >= size || end < start) {
        ScriptedReply reply =
            ScriptedReply::json(QJsonObject{{QStringLiteral("error"), QStringLiteral("范围无效")}}, 416);
        reply.headers.emplaceBack("Content-Range", "bytes */" + QByteArray::number(size));
        return reply;
    }
    ScriptedReply reply;
    reply.status = 206;
    reply.body = content.mid(start, end - start + 1);
    reply.headers.emplaceBack("Content-Type", "application/octet-stream");
    reply.headers.emplaceBack("Accept-Ranges", "bytes");
    reply.headers.emplaceBack("Content-Range", "bytes " + QByteArray::number(start) + '-' + QByteArray::number(end) +
                                                   '/' + QByteArray::number(size));
    return reply;
}

// ---- one accepted connection ----

class ScriptedConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ScriptedConnection)

public:
    ScriptedConnection(ScriptedServer *server, QTcpSocket *socket, int id)
        : QObject(server)
        , m_server(server)
        , m_socket(socket)
        , m_id(id)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &ScriptedConnection::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    }

private:
    enum class State { Headers, FixedBody, ChunkedBody, SkipBody, Answering };

    void onReadyRead()
    {
        m_buffer.append(m_socket->readAll());
        parse();
    }

    void parse()
    {
        while (m_state != State::Answering) {
            if (m_state == State::Headers && !parseHeaders())
                return;
            if (m_state == State::SkipBody) {
                const qint64 skip = std::min<qint64>(m_remaining, m_buffer.size());
                m_buffer.remove(0, skip);
                m_remaining -= skip;
                if (m_remaining > 0)
                    return;
                m_state = State::Headers;
            } else if (m_state == State::FixedBody) {
                if (m_buffer.size() < m_remaining)
                    return;
                m_request.body = m_buffer.left(m_remaining);
                m_buffer.remove(0, m_remaining);
                dispatch();
            } else if (m_state == State::ChunkedBody && !parseChunk()) {
                return;
            }
        }
    }

    bool parseHeaders()
    {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > MaxHeaderBytes)
                m_socket->abort();
            return false;
        }
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        m_buffer.remove(0, end + 4);

        m_request = RecordedRequest();
        m_request.connectionId = m_id;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        m_request.method = requestLine.value(0);
        m_request.target = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                m_request.headers.emplaceBack(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
        }

        if (m_request.header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0)
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        if (m_request.header("Transfer-Encoding").toLower().contains("chunked")) {
            m_state = State::ChunkedBody;
        } else {
            m_remaining = m_request.header("Content-Length").toLongLong();
            m_state = State::FixedBody;
        }
        if (m_server->m_answerBeforeBody && m_state == State::FixedBody) {
            m_skipAfterAnswer = true;
            dispatch();
        }
        return true;
    }

    bool parseChunk()
    {
        const qsizetype lineEnd = m_buffer.indexOf("\r\n");
        if (lineEnd < 0)
            return false;
        bool ok = false;
        const qint64 size = m_buffer.left(lineEnd).split(';').value(0).trimmed().toLongLong(&ok, 16);
        if (!ok) {
            m_socket->abort();
            return false;
        }
        if (size == 0) {
            // Last chunk: skip optional trailers up to the empty line.
            const qsizetype trailerEnd = m_buffer.indexOf("\r\n\r\n", lineEnd);
            const qsizetype plainEnd = lineEnd;
            if (m_buffer.mid(lineEnd, 4) == "\r\n\r\n") {
                m_buffer.remove(0, plainEnd + 4);
            } else if (trailerEnd >= 0) {
                m_buffer.remove(0, trailerEnd + 4);
            } else {
                return false;
            }
            dispatch();
            return true;
        }
        if (m_buffer.size() < lineEnd + 2 + size + 2)
            return false;
        m_request.body.append(m_buffer.mid(lineEnd + 2, size));
        m_buffer.remove(0, lineEnd + 2 + size + 2);
        return true;
    }

    void dispatch()
    {
        m_state = State::Answering;
        m_request.receivedMs = m_server->elapsedMs();
        m_server->record(m_request);
        m_reply = m_server->answer(m_request);
        if (m_reply.drop) {
            m_socket->abort();
            return;
        }
        if (m_reply.hang)
            return;
        if (m_reply.held) {
            m_server->m_held.append(QPointer<QObject>(this));
            return;
        }
        release();
    }

public:
    // Answers the current request (after its scripted delay).
    void release()
    {
        if (m_reply.delayMs > 0)
            QTimer::singleShot(m_reply.delayMs, this, &ScriptedConnection::respond);
        else
            respond();
    }

private:
    void respond()
    {
        if (!m_reply.verbatim.isEmpty()) {
            m_socket->write(m_reply.verbatim);
            finishAnswer(m_reply.closeAfterVerbatim);
            return;
        }
        const bool closeAfter = m_reply.omitLength || m_reply.cutAfterBytes >= 0 ||
                                m_request.header("Connection").compare("close", Qt::CaseInsensitive) == 0;
        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(m_reply.status) + ' ' + reasonPhrase(m_reply.status) + "\r\n";
        for (const auto &[name, value] : m_reply.headers)
            head += name + ": " + value + "\r\n";
        if (!m_reply.omitLength && !hasHeaderIn(m_reply.headers, "Content-Length"))
            head += "Content-Length: " + QByteArray::number(m_reply.body.size()) + "\r\n";
        if (closeAfter)
            head += "Connection: close\r\n";
        head += "\r\n";
        m_socket->write(head);

        QByteArray body = m_reply.body;
        if (m_reply.cutAfterBytes >= 0)
            body.truncate(m_reply.cutAfterBytes);
        if (m_reply.trickleBytes > 0 && m_reply.trickleIntervalMs > 0) {
            m_pending = body;
            m_closeAfter = closeAfter;
            trickleNext();
            return;
        }
        m_socket->write(body);
        finishAnswer(closeAfter);
    }

    void trickleNext()
    {
        m_socket->write(m_pending.left(m_reply.trickleBytes));
        m_pending.remove(0, m_reply.trickleBytes);
        if (m_pending.isEmpty()) {
            finishAnswer(m_closeAfter);
            return;
        }
        QTimer::singleShot(m_reply.trickleIntervalMs, this, &ScriptedConnection::trickleNext);
    }

    void finishAnswer(bool closeAfter)
    {
        if (closeAfter) {
            m_socket->disconnectFromHost(); // sends what is buffered, then closes
            return;
        }
        m_state = m_skipAfterAnswer ? State::SkipBody : State::Headers;
        m_skipAfterAnswer = false;
        parse(); // a request may already be waiting on this connection
    }

    ScriptedServer *m_server;
    QTcpSocket *m_socket;
    int m_id;
    State m_state = State::Headers;
    QByteArray m_buffer;
    qint64 m_remaining = 0;
    RecordedRequest m_request;
    ScriptedReply m_reply;
    QByteArray m_pending;
    bool m_closeAfter = false;
    bool m_skipAfterAnswer = false; // answered before the body: m_remaining body bytes still to drop
};

// ---- ScriptedServer ----

ScriptedServer::ScriptedServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    m_clock.start();
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection())
            new ScriptedConnection(this, socket, ++m_connections);
    });
}

ScriptedServer::~ScriptedServer() = default;

bool ScriptedServer::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

int ScriptedServer::heldCount() const
{
    return int(
        std::count_if(m_held.cbegin(), m_held.cend(), [](const QPointer<QObject> &held) { return !held.isNull(); }));
}

void ScriptedServer::releaseHeld(int count)
{
    while (!m_held.isEmpty() && count != 0) {
        const QPointer<QObject> next = m_held.takeFirst();
        if (auto *connection = qobject_cast<ScriptedConnection *>(next.data())) {
            connection->release();
            --count;
        }
    }
}

quint16 ScriptedServer::port() const
{
    return m_server->serverPort();
}

QString ScriptedServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void ScriptedServer::on(const QByteArray &method, const QString &path, const ScriptedReply &reply)
{
    on(method, path, [reply](const RecordedRequest &) { return reply; });
}

void ScriptedServer::on(const QByteArray &method, const QString &path, Handler handler)
{
    m_routes.append({method, path, std::move(handler)});
}

void ScriptedServer::onSequence(const QByteArray &method, const QString &path, const QList<ScriptedReply> &replies)
{
    auto next = std::make_shared<qsizetype>(0);
    on(method, path, [replies, next](const RecordedRequest &) {
        const qsizetype index = qMin(*next, replies.size() - 1);
        ++*next;
        return replies.value(index, ScriptedReply::empty(500));
    });
}

void ScriptedServer::serveContent(const QString &path, const QByteArray &content)
{
    on("GET", path, [content](const RecordedRequest &request) { return rangedContent(content, request); });
}

void ScriptedServer::clearRoutes()
{
    m_routes.clear();
}

QList<RecordedRequest> ScriptedServer::requests(const QByteArray &method, const QString &path) const
{
    QList<RecordedRequest> found;
    for (const RecordedRequest &request : m_requests) {
        if (matches(Route{method, path, {}}, request))
            found.append(request);
    }
    return found;
}

bool ScriptedServer::waitForRequests(int count, int timeoutMs)
{
    return waitUntil([this, count] { return requestCount() >= count; }, timeoutMs);
}

ScriptedReply ScriptedServer::answer(const RecordedRequest &request) const
{
    for (auto route = m_routes.crbegin(); route != m_routes.crend(); ++route) {
        if (matches(*route, request))
            return route->handler(request);
    }
    return ScriptedReply::json(QJsonObject{{QStringLiteral("error"), QStringLiteral("no route")}}, 404);
}

void ScriptedServer::record(const RecordedRequest &request)
{
    m_requests.append(request);
    emit requestReceived(request);
}

bool ScriptedServer::matches(const Route &route, const RecordedRequest &request)
{
    if (!route.method.isEmpty() && route.method != request.method)
        return false;
    const QString target = QString::fromUtf8(request.target);
    if (route.path.endsWith(QLatin1Char('*')))
        return target.startsWith(route.path.chopped(1));
    if (route.path.contains(QLatin1Char('?')))
        return target == route.path;
    return QString::fromUtf8(request.path()) == route.path;
}

#include "scriptedserver.moc"
