// HttpConnection against real sockets on loopback: the request on the wire, keep-alive and the
// stale-connection resend, every way an answer can end, broken and hostile answers, time-outs,
// refusals, early answers, and the lifetime rules.
#include "eventwait.h"
#include "net/httpclient.h"
#include "net/httpconnection.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "testsettings.h"

#include <QJsonDocument>
#include <QNetworkRequest>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <optional>

Q_DECLARE_METATYPE(ScriptedReply)

namespace {
struct Outcome
{
    std::optional<HttpResponse> response;
    int calls = 0;
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator{quint32(size)};
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
} // namespace

class TestHttpConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void requestGoesOutWholeWithTheSessionHeaders();
    void keptAliveAcrossRequests();
    void staleConnectionIsReopenedOnceOnly();
    void answerForms_data();
    void answerForms();
    void brokenAnswersAreFailures_data();
    void brokenAnswersAreFailures();
    void serviceErrorsReadLikeEveryRequest();
    void idleTimeoutCountsSilenceNotDuration();
    void refusedAndBusyAreFailures();
    void answerBeforeTheBodyIsDeliveredAndTheNextRequestWorks();
    void destroyedConnectionNeverAnswers();
    void tlsToAPlainServerFails();

private:
    std::shared_ptr<Outcome> send(HttpConnection &connection, const QString &path, const QByteArray &body,
                                  int timeoutMs = 10000);
    QNetworkRequest requestFor(const QString &path) const;

    QTemporaryDir m_settingsDir;
    ScriptedServer m_server;
};

void TestHttpConnection::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    useSettingsFolder(m_settingsDir.path());
    QVERIFY(m_server.listen());
}

void TestHttpConnection::init()
{
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    m_server.clearRoutes();
    m_server.clearRequests();
    m_server.setAnswerBeforeBody(false);
    Session::instance()->clear();
}

QNetworkRequest TestHttpConnection::requestFor(const QString &path) const
{
    HttpClient *client = HttpClient::instance();
    QNetworkRequest request(client->buildUrl(path));
    client->applyHeaders(request);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/octet-stream"));
    return request;
}

std::shared_ptr<Outcome> TestHttpConnection::send(HttpConnection &connection, const QString &path,
                                                  const QByteArray &body, int timeoutMs)
{
    auto outcome = std::make_shared<Outcome>();
    connection.send("PUT", requestFor(path), body, [outcome](const HttpResponse &response) {
        outcome->response = response;
        ++outcome->calls;
    });
    if (!waitUntil([&] { return outcome->calls > 0; }, timeoutMs))
        outcome->response = HttpResponse{false, -1, false, {}, {}, QStringLiteral("no callback")};
    return outcome;
}

void TestHttpConnection::requestGoesOutWholeWithTheSessionHeaders()
{
    QVERIFY(Session::instance()->applyLogin(QJsonObject{{"id", "u-7"}, {"loginToken", "tok-7"}}));
    m_server.on("PUT", "/api/upload/chunk/*", ScriptedReply::success(QJsonObject{{"index", 3}}));

    // Far more than a socket buffer: the body leaves in several partial writes.
    const QByteArray body = randomBytes(24 * 1024 * 1024 + 3);
    HttpClient *client = HttpClient::instance();
    client->bytesUp = 0;
    HttpConnection connection;
    const auto outcome = send(connection, QStringLiteral("/api/upload/chunk/a%20b/3?x=1"), body);

    QCOMPARE(outcome->calls, 1);
    QVERIFY2(outcome->response->ok, qPrintable(outcome->response->error));
    QCOMPARE(outcome->response->status, 200);
    QJsonObject data;
    QString err;
    QVERIFY(outcome->response->unwrap(data, err));
    QCOMPARE(data.value("index").toInt(), 3);

    QCOMPARE(m_server.requestCount(), 1);
    const RecordedRequest request = m_server.requests().constFirst();
    QCOMPARE(request.method, QByteArray("PUT"));
    QCOMPARE(request.target, QByteArray("/api/upload/chunk/a%20b/3?x=1"));
    QCOMPARE(request.header("Host"), QStringLiteral("127.0.0.1:%1").arg(m_server.port()).toLatin1());
    QCOMPARE(request.header("Content-Length"), QByteArray::number(body.size()));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/octet-stream"));
    QCOMPARE(request.header("X-User-Id"), QByteArray("u-7"));
    QCOMPARE(request.header("X-Auth-Token"), QByteArray("tok-7"));
    QCOMPARE(request.header("X-TVR-Client"), QByteArray("1"));
    QVERIFY(request.body == body);
    QVERIFY(client->bytesUp > body.size());
    QVERIFY(!connection.isBusy());
}

void TestHttpConnection::keptAliveAcrossRequests()
{
    m_server.on("PUT", "/k", ScriptedReply::success());
    const int before = m_server.connectionCount();
    HttpConnection connection;
    for (int i = 0; i < 3; ++i)
        QVERIFY(send(connection, QStringLiteral("/k"), randomBytes(1000 + i))->response->ok);
    QCOMPARE(m_server.requestCount(), 3);
    QCOMPARE(m_server.connectionCount() - before, 1);

    // A server that says it closes is taken at its word.
    m_server.on("PUT", "/k", ScriptedReply::success().withHeader("Connection", "close"));
    QVERIFY(send(connection, QStringLiteral("/k"), "a")->response->ok);
    QVERIFY(send(connection, QStringLiteral("/k"), "b")->response->ok);
    QCOMPARE(m_server.connectionCount() - before, 2);
}

void TestHttpConnection::staleConnectionIsReopenedOnceOnly()
{
    // The second request finds the kept-alive connection closed by the server: sent again on a
    // new one, and the caller never hears of it.
    m_server.onSequence("PUT", "/s", {ScriptedReply::success(), ScriptedReply::dropped(), ScriptedReply::success()});
    const int before = m_server.connectionCount();
    HttpConnection connection;
    QVERIFY(send(connection, QStringLiteral("/s"), "first")->response->ok);
    const auto second = send(connection, QStringLiteral("/s"), "second");
    QCOMPARE(second->calls, 1);
    QVERIFY2(second->response->ok, qPrintable(second->response->error));
    QCOMPARE(m_server.requestCount(), 3);
    QCOMPARE(m_server.requests().at(2).body, QByteArray("second"));
    QCOMPARE(m_server.connectionCount() - before, 2);

    // A fresh connection that breaks is a failure at once: no resend, no false success.
    m_server.clearRequests();
    m_server.on("PUT", "/s", ScriptedReply::dropped());
    HttpConnection fresh;
    const auto dropped = send(fresh, QStringLiteral("/s"), "x");
    QVERIFY(!dropped->response->ok);
    QCOMPARE(dropped->response->status, 0);
    QCOMPARE(dropped->response->error, QStringLiteral("服务器断开了连接"));
    QCOMPARE(m_server.requestCount(), 1);

    // Nor is a reused connection resent twice.
    m_server.clearRequests();
    m_server.onSequence("PUT", "/t", {ScriptedReply::success(), ScriptedReply::dropped()});
    HttpConnection twice;
    QVERIFY(send(twice, QStringLiteral("/t"), "1")->response->ok);
    const auto gaveUp = send(twice, QStringLiteral("/t"), "2");
    QVERIFY(!gaveUp->response->ok);
    QCOMPARE(m_server.requestCount(), 3);
}

void TestHttpConnection::answerForms_data()
{
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    const QByteArray json = R"({"success":true,"data":{}})";
    QTest::newRow("content-length") << ScriptedReply::text(200, json, "application/json") << 200 << json;
    QTest::newRow("until close") << ScriptedReply::text(200, json).withoutLength() << 200 << json;
    QTest::newRow("chunked with extension and trailer")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                              "5;x=y\r\n{\"suc\r\n15\r\ncess\":true,\"data\":{}}\r\n0\r\nX-Trailer: 1\r\n\r\n")
        << 200 << json;
    QTest::newRow("interim 100 first")
        << ScriptedReply::raw("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok") << 201
        << QByteArray("ok");
    QTest::newRow("bare line feeds") << ScriptedReply::raw("HTTP/1.1 200 OK\nContent-Length: 2\n\nhi") << 200
                                     << QByteArray("hi");
    QTest::newRow("HTTP/1.0 without length")
        << ScriptedReply::raw("HTTP/1.0 200 OK\r\n\r\nold", true) << 200 << QByteArray("old");
    QTest::newRow("204 has no body") << ScriptedReply::raw("HTTP/1.1 204 No Content\r\n\r\n") << 204 << QByteArray();
}

void TestHttpConnection::answerForms()
{
    QFETCH(ScriptedReply, reply);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    m_server.on("PUT", "/f", reply);
    m_server.on("PUT", "/after", ScriptedReply::success());
    HttpConnection connection;
    const auto outcome = send(connection, QStringLiteral("/f"), "payload");
    QVERIFY2(outcome->response->ok, qPrintable(outcome->response->error));
    QCOMPARE(outcome->response->status, status);
    QCOMPARE(outcome->response->raw, body);
    // Whatever the form, the connection stays usable for the next request.
    QVERIFY(send(connection, QStringLiteral("/after"), "next")->response->ok);
    QCOMPARE(m_server.requests().constLast().body, QByteArray("next"));
}

void TestHttpConnection::brokenAnswersAreFailures_data()
{
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");

    const QString unreadable = QStringLiteral("服务器的应答无法识别");
    QTest::newRow("cut-off 200") << ScriptedReply::success(QJsonObject{{"k", QString(500, 'v')}}).cutAfter(40) << 200
                                 << QStringLiteral("服务器断开了连接");
    QTest::newRow("cut-off chunked")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc", true) << 200
        << QStringLiteral("服务器断开了连接");
    QTest::newRow("no status line") << ScriptedReply::raw("hello\r\n\r\n") << 0 << unreadable;
    QTest::newRow("switching protocols") << ScriptedReply::raw("HTTP/1.1 101 Switching\r\n\r\n") << 0 << unreadable;
    QTest::newRow("differing lengths")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc") << 0
        << unreadable;
    QTest::newRow("bad chunk size")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n") << 200 << unreadable;
    QTest::newRow("chunk longer than its size")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n") << 200
        << unreadable;
    QTest::newRow("declared body too large")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: " +
                              QByteArray::number(HttpConnection::MaxBodyBytes + 1) + "\r\n\r\n")
        << 0 << unreadable;
    QTest::newRow("chunks too large")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                              QByteArray::number(HttpConnection::MaxBodyBytes + 1, 16) + "\r\n")
        << 200 << unreadable;
    QTest::newRow("endless headers")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\n" + QByteArray("X-Pad: 0123456789\r\n").repeated(5000)) << 0
        << unreadable;
    QTest::newRow("endless body until close")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\n\r\n" + QByteArray(HttpConnection::MaxBodyBytes + 10, 'z')) << 200
        << QStringLiteral("服务器的应答过大");
}

void TestHttpConnection::brokenAnswersAreFailures()
{
    QFETCH(ScriptedReply, reply);
    QFETCH(int, status);
    QFETCH(QString, error);

    m_server.on("PUT", "/b", reply);
    HttpConnection connection;
    const auto outcome = send(connection, QStringLiteral("/b"), "payload");
    QCOMPARE(outcome->calls, 1);
    QVERIFY(!outcome->response->ok);
    QCOMPARE(outcome->response->status, status);
    QCOMPARE(outcome->response->error, error);
    // Never answered twice, whatever else arrives or closes afterwards.
    QCoreApplication::processEvents();
    QCOMPARE(outcome->calls, 1);
}

void TestHttpConnection::serviceErrorsReadLikeEveryRequest()
{
    m_server.on("PUT", "/full", ScriptedReply::json(QJsonObject{{"error", "存储空间不足"}}, 507));
    HttpConnection connection;
    const auto full = send(connection, QStringLiteral("/full"), "x");
    QVERIFY(!full->response->ok);
    QCOMPARE(full->response->status, 507);
    QCOMPARE(full->response->error, QStringLiteral("存储空间不足"));
    QVERIFY(full->response->isJson);

    QSignalSpy incomplete(HttpClient::instance(), &HttpClient::profileIncomplete);
    m_server.on("PUT", "/profile",
                ScriptedReply::json(QJsonObject{{"code", "PROFILE_INCOMPLETE"}, {"error", "请先完善资料"}}, 403));
    const auto profile = send(connection, QStringLiteral("/profile"), "x");
    QCOMPARE(profile->response->error, QStringLiteral("请先完善资料"));
    QCOMPARE(incomplete.count(), 1);
}

void TestHttpConnection::idleTimeoutCountsSilenceNotDuration()
{
    m_server.on("PUT", "/hang", ScriptedReply::hanging());
    HttpConnection connection;
    connection.setIdleTimeoutMs(300);
    const auto hung = send(connection, QStringLiteral("/hang"), "x");
    QVERIFY(!hung->response->ok);
    QCOMPARE(hung->response->status, 0);
    QCOMPARE(hung->response->error, QStringLiteral("请求超时"));

    // Longer than the time-out in all, but never silent for that long.
    const QByteArray body = QByteArray(R"({"success":true,"data":{"pad":")") + QByteArray(40, 'p') + "\"}}";
    m_server.on("PUT", "/slow", ScriptedReply::text(200, body).trickle(4, 30));
    const auto slow = send(connection, QStringLiteral("/slow"), "x");
    QVERIFY2(slow->response->ok, qPrintable(slow->response->error));
    QCOMPARE(slow->response->raw, body);
}

void TestHttpConnection::refusedAndBusyAreFailures()
{
    qputenv("TVR_SERVER", QStringLiteral("http://127.0.0.1:%1").arg(closedPort()).toUtf8());
    HttpConnection connection;
    const auto refused = send(connection, QStringLiteral("/x"), "x");
    QVERIFY(!refused->response->ok);
    QCOMPARE(refused->response->status, 0);
    QCOMPARE(refused->response->error, QStringLiteral("无法连接服务器"));

    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    m_server.on("PUT", "/held", ScriptedReply::success().heldUntilReleased());
    int firstCalls = 0;
    connection.send("PUT", requestFor(QStringLiteral("/held")), "1", [&](const HttpResponse &) { ++firstCalls; });
    QVERIFY(connection.isBusy());
    std::optional<HttpResponse> second;
    connection.send("PUT", requestFor(QStringLiteral("/held")), "2",
                    [&](const HttpResponse &response) { second = response; });
    QVERIFY(second.has_value()); // answered at once, without touching the request in flight
    QVERIFY(!second->ok);
    QCOMPARE(second->error, QStringLiteral("连接正忙"));
    QVERIFY(waitUntil([&] { return m_server.heldCount() == 1; }));
    m_server.releaseHeld();
    QVERIFY(waitUntil([&] { return firstCalls == 1; }));
    QCOMPARE(m_server.requestCount(), 1);
}

void TestHttpConnection::answerBeforeTheBodyIsDeliveredAndTheNextRequestWorks()
{
    // A server refusing an upload answers as soon as it has the headers, while the body is still
    // on its way; the answer is what counts, and the rest of the body never reads as a request.
    m_server.setAnswerBeforeBody(true);
    m_server.on("PUT", "/refuse", ScriptedReply::json(QJsonObject{{"error", "文件过大"}}, 413));
    m_server.on("PUT", "/ok", ScriptedReply::success());
    HttpConnection connection;
    const auto refused = send(connection, QStringLiteral("/refuse"), randomBytes(16 * 1024 * 1024));
    QVERIFY(!refused->response->ok);
    QCOMPARE(refused->response->status, 413);
    QCOMPARE(refused->response->error, QStringLiteral("文件过大"));

    const auto next = send(connection, QStringLiteral("/ok"), "next");
    QVERIFY2(next->response->ok, qPrintable(next->response->error));
    QCOMPARE(m_server.requestCount(), 2);
    QCOMPARE(m_server.requests().constLast().target, QByteArray("/ok"));
}

void TestHttpConnection::destroyedConnectionNeverAnswers()
{
    m_server.on("PUT", "/held", ScriptedReply::success().heldUntilReleased());
    int calls = 0;
    auto connection = std::make_unique<HttpConnection>();
    connection->send("PUT", requestFor(QStringLiteral("/held")), "x", [&](const HttpResponse &) { ++calls; });
    QVERIFY(waitUntil([&] { return m_server.heldCount() == 1; }));
    connection.reset();
    // The server sees the connection go; nothing is ever answered.
    QVERIFY(waitUntil([&] { return m_server.heldCount() == 0; }));
    m_server.releaseHeld();
    QCoreApplication::processEvents();
    QCOMPARE(calls, 0);
}

void TestHttpConnection::tlsToAPlainServerFails()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS backend on this system");
    // Not a TLS server: it answers the client's hello with plain HTTP.
    QTcpServer plain;
    QVERIFY(plain.listen(QHostAddress::LocalHost, 0));
    connect(&plain, &QTcpServer::newConnection, &plain, [&plain] {
        QTcpSocket *socket = plain.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->readAll();
            socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
        });
    });
    qputenv("TVR_SERVER", QStringLiteral("https://127.0.0.1:%1").arg(plain.serverPort()).toUtf8());
    HttpConnection connection;
    const auto outcome = send(connection, QStringLiteral("/x"), "x");
    QVERIFY(!outcome->response->ok);
    QCOMPARE(outcome->response->status, 0);
    QVERIFY2(outcome->response->error.startsWith(QStringLiteral("安全连接失败")), qPrintable(outcome->response->error));
}

QTEST_GUILESS_MAIN(TestHttpConnection)
#include "tst_httpconnection.moc"
