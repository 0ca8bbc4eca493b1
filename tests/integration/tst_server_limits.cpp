// The reference server's transport under a hostile client, over real sockets: bodies are
// bounded before they are read, chunked or not; slow request heads stall nobody and are closed
// after a bounded time; one client address can hold only so many connections.
#include "eventwait.h"
#include "rawhttp.h"
#include "referenceserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <vector>

using Creds = ReferenceServer::Credentials;

class TestServerLimits final : public QObject
{
    Q_OBJECT

private slots:
    void declaredBodiesOverTheLimitAreRefusedUnread();
    void chunkedBodiesAreCutAtTheRouteLimit();
    void slowHeadsStallNobodyAndAreClosed();
    void connectionsPerAddressAreLimited();

private:
    static std::unique_ptr<ReferenceServer> startServer(const QStringList &extraArgs = {});
};

std::unique_ptr<ReferenceServer> TestServerLimits::startServer(const QStringList &extraArgs)
{
    ReferenceServer::Options options;
    options.extraArgs = extraArgs;
    auto server = std::make_unique<ReferenceServer>(options);
    if (!server->start())
        qWarning("%s", qPrintable(server->errorString()));
    return server;
}

void TestServerLimits::declaredBodiesOverTheLimitAreRefusedUnread()
{
    const auto server = startServer();
    QVERIFY(server->isRunning());
    // A gigabyte announced to a small public route, as JSON or as raw bytes: refused at once,
    // while not one byte of it has been sent.
    for (const QByteArray &type : {QByteArray("application/json"), QByteArray("application/octet-stream")}) {
        RawHttp raw(server->baseUrl());
        QVERIFY(raw.open());
        QVERIFY(
            raw.send(raw.head("POST", "/api/login/code", {{"Content-Type", type}, {"Content-Length", "1073741824"}})));
        const RawHttp::Reply reply = raw.read(10000);
        QCOMPARE(reply.status, 413);
        QVERIFY(reply.body.contains("\"success\":false"));
    }
    // A streamed route checks the session first: a large body is not waited for at all...
    RawHttp upload(server->baseUrl());
    QVERIFY(upload.open());
    QVERIFY(upload.send(
        upload.head("POST", "/api/files/upload",
                    {{"Content-Type", "multipart/form-data; boundary=b"}, {"Content-Length", "67108864"}})));
    QCOMPARE(upload.read(10000).status, 401);
    // ...and a small one is read and dropped, so that a client still sending it gets the answer.
    RawHttp small(server->baseUrl());
    QVERIFY(small.open());
    QVERIFY(small.send(small.head("PUT", "/api/upload/chunk/abc/0",
                                  {{"Content-Type", "application/octet-stream"}, {"Content-Length", "1024"}}) +
                       QByteArray(1024, 'x')));
    QCOMPARE(small.read(10000).status, 401);
    QVERIFY(small.send(small.head("GET", "/api/plans")));
    QCOMPARE(small.read(10000).status, 200);
}

void TestServerLimits::chunkedBodiesAreCutAtTheRouteLimit()
{
    const auto server = startServer();
    QVERIFY(server->isRunning());
    const qint64 peakBefore = server->peakMemoryKiB();
    QVERIFY(peakBefore > 0);
    // 256 MiB without a length to a public JSON route, and to the streamed chunk route without a
    // session: the server stops reading long before the end (it closes the connection) and
    // never holds the body.
    const qint64 total = 256LL * 1024 * 1024;
    RawHttp sms(server->baseUrl());
    QVERIFY(sms.open());
    QVERIFY(sms.send(
        sms.head("POST", "/api/send-sms", {{"Content-Type", "application/json"}, {"Transfer-Encoding", "chunked"}})));
    QVERIFY(sms.sendChunked(total) < total);
    RawHttp chunk(server->baseUrl());
    QVERIFY(chunk.open());
    QVERIFY(chunk.send(chunk.head("PUT", "/api/upload/chunk/abc/0",
                                  {{"Content-Type", "application/octet-stream"}, {"Transfer-Encoding", "chunked"}})));
    QVERIFY(chunk.sendChunked(total) < total);
    const qint64 grownKiB = server->peakMemoryKiB() - peakBefore;
    QVERIFY2(grownKiB < 32 * 1024, qPrintable(QStringLiteral("peak memory grew by %1 KiB").arg(grownKiB)));
    QVERIFY(server->get("/api/plans").success());
}

void TestServerLimits::slowHeadsStallNobodyAndAreClosed()
{
    // More slow connections than a server with one thread per connection has threads.
    const auto server = startServer({"--head-timeout", "2"});
    QVERIFY(server->isRunning());
    const Creds user = server->signIn("patient", "13900000301");
    QVERIFY(user.isValid());
    std::vector<std::unique_ptr<RawHttp>> slow;
    for (int i = 0; i < 48; ++i) {
        auto raw = std::make_unique<RawHttp>(server->baseUrl());
        QVERIFY(raw->open());
        QVERIFY(raw->send("GET /api/plans HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
        slow.push_back(std::move(raw));
    }
    // Each sends one more header line every half second and never ends its head.
    QTimer drip;
    QObject::connect(&drip, &QTimer::timeout, [&slow] {
        for (auto &raw : slow) {
            if (raw->isOpen())
                raw->send("X-Slow: 1\r\n", 100);
        }
    });
    drip.start(500);

    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(server->baseUrl() + "/api/files"));
    request.setRawHeader("X-User-Id", user.userId.toUtf8());
    request.setRawHeader("X-Auth-Token", user.token.toUtf8());
    std::unique_ptr<QNetworkReply> listing(network.get(request));
    QVERIFY2(waitUntil([&] { return listing->isFinished(); }, 10000), "the listing got no answer");
    QCOMPARE(listing->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);

    // The head never completes, so each of them is closed once its time is up.
    const auto open = [&slow] {
        return std::count_if(slow.begin(), slow.end(), [](const auto &raw) { return raw->isOpen(); });
    };
    QVERIFY2(waitUntil([&] { return open() == 0; }, 10000), qPrintable(QString::number(open()) + " still open"));
}

void TestServerLimits::connectionsPerAddressAreLimited()
{
    const auto server = startServer({"--max-connections-per-address", "10"});
    QVERIFY(server->isRunning());
    std::vector<std::unique_ptr<RawHttp>> crowd;
    for (int i = 0; i < 20; ++i) {
        auto raw = std::make_unique<RawHttp>(server->baseUrl(), QStringLiteral("127.0.0.1"));
        QVERIFY(raw->open());
        crowd.push_back(std::move(raw));
    }
    const auto closed = [&crowd] {
        for (auto &raw : crowd)
            raw->waitClosed(1);
        return std::count_if(crowd.begin(), crowd.end(), [](const auto &raw) { return !raw->isOpen(); });
    };
    QVERIFY2(waitUntil([&] { return closed() >= 10; }, 5000), qPrintable(QString::number(closed()) + " closed"));
    QCOMPARE(closed(), 10);

    // Another address is served meanwhile.
    RawHttp other(server->baseUrl(), QStringLiteral("127.0.0.2"));
    QVERIFY(other.open());
    QVERIFY(other.send(other.head("GET", "/api/plans")));
    QCOMPARE(other.read(10000).status, 200);
}

QTEST_GUILESS_MAIN(TestServerLimits)
#include "tst_server_limits.moc"
