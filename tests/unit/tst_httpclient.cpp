// HttpClient against real HTTP on loopback: URL joining, headers, bodies, the envelope, error
// texts, the profile signal, the time-out, file downloads and the byte counters.
#include "eventwait.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "testsettings.h"

#include <QFile>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

namespace {
// Issues one request through issue() and waits for its callback; counts callback runs.
struct Outcome
{
    std::optional<HttpResponse> response;
    int calls = 0;
};

template <typename Issue> std::shared_ptr<Outcome> run(Issue issue)
{
    auto outcome = std::make_shared<Outcome>();
    issue([outcome](const HttpResponse &response) {
        outcome->response = response;
        ++outcome->calls;
    });
    if (!waitUntil([&] { return outcome->calls > 0; }))
        outcome->response = HttpResponse{false, -1, false, {}, {}, QStringLiteral("no callback")};
    return outcome;
}

HttpResponse fetch(const QByteArray &verb, const QString &path, const QJsonValue &body = QJsonValue())
{
    auto outcome = run([&](HttpCallback done) { HttpClient::instance()->send(verb, path, body, std::move(done)); });
    return *outcome->response;
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

bool hasNoBody(const RecordedRequest &request)
{
    return request.body.isEmpty() && !request.hasHeader("Content-Type") &&
           (!request.hasHeader("Content-Length") || request.header("Content-Length") == "0");
}
} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void buildUrlJoinsPathsAgainstTheConfiguredBase();
    void requestsReachTheServerUnderEveryPathForm();
    void commonHeadersFollowTheSession();
    void getAndDeleteNeverSendABody();
    void unparsedGetLeavesOnlySuccessBodiesUnread();
    void writeVerbsSendCompactJson();
    void envelopeRules_data();
    void envelopeRules();
    void jsonTextReadsIdsAsText();
    void errorTextPrecedence_data();
    void errorTextPrecedence();
    void unreachableServerGivesStatusZero();
    void truncatedSuccessIsAFailure();
    void profileIncompleteSignalsOnceBeforeTheCallback();
    void timeoutTurnsIntoFailure();
    void callbacksRunInCompletionOrder();
    void downloadTruncatesWithoutRangeAndAppendsWithRange();
    void downloadReplacesWhenRangeIsIgnored();
    void downloadKeepsErrorBodiesOutOfTheFile();
    void downloadToUnwritablePathFailsAtOnce();
    void byteCountersAddUpWholeTransfers();

private:
    QTemporaryDir m_settingsDir;
    QTemporaryDir m_files;
    ScriptedServer m_server;
};

void TestHttpClient::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    useSettingsFolder(m_settingsDir.path());
    QVERIFY(m_server.listen());
}

void TestHttpClient::init()
{
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    m_server.clearRoutes();
    m_server.clearRequests();
    Session::instance()->clear();
    HttpClient::instance()->setJsonTimeoutMs(HttpClient::DefaultJsonTimeoutMs);
}

void TestHttpClient::buildUrlJoinsPathsAgainstTheConfiguredBase()
{
    HttpClient *client = HttpClient::instance();
    qputenv("TVR_SERVER", "http://example.test:8080/root");
    QCOMPARE(client->baseUrl(), QStringLiteral("http://example.test:8080/root"));
    QCOMPARE(client->buildUrl("/api/files").toString(), QStringLiteral("http://example.test:8080/root/api/files"));
    QCOMPARE(client->buildUrl("api/files").toString(), QStringLiteral("http://example.test:8080/root/api/files"));
    QCOMPARE(client->buildUrl("/api/files?parent_id=7&category=all").toString(),
             QStringLiteral("http://example.test:8080/root/api/files?parent_id=7&category=all"));
    // Full URLs ignore the base, in both schemes.
    QCOMPARE(client->buildUrl("https://cdn.example.test/a.bin").toString(),
             QStringLiteral("https://cdn.example.test/a.bin"));
    QCOMPARE(client->buildUrl("http://other.test/x").toString(), QStringLiteral("http://other.test/x"));

    qunsetenv("TVR_SERVER");
    QCOMPARE(client->baseUrl(), QString::fromLatin1(HttpClient::DefaultBaseUrl));
    QVERIFY(client->baseUrl().startsWith(QLatin1String("https://")));
    QCOMPARE(client->buildUrl("api/x").toString(), QString::fromLatin1(HttpClient::DefaultBaseUrl) + "/api/x");
    qputenv("TVR_SERVER", "");
    QCOMPARE(client->baseUrl(), QString::fromLatin1(HttpClient::DefaultBaseUrl));
}

void TestHttpClient::requestsReachTheServerUnderEveryPathForm()
{
    m_server.on("GET", "/api/ping", ScriptedReply::success());
    m_server.on("GET", "/root/api/ping", ScriptedReply::success());
    QVERIFY(fetch("GET", "/api/ping").ok);
    QVERIFY(fetch("GET", "api/ping").ok);
    QVERIFY(fetch("GET", "/api/ping?x=1&y=%E4%B8%AD").ok);

    // The base is used as it stands, path prefix included.
    qputenv("TVR_SERVER", (m_server.baseUrl() + "/root").toUtf8());
    QVERIFY(fetch("GET", "api/ping").ok);

    // A full URL goes where it says even when TVR_SERVER points elsewhere.
    qputenv("TVR_SERVER", QStringLiteral("http://127.0.0.1:%1").arg(closedPort()).toUtf8());
    QVERIFY(fetch("GET", m_server.baseUrl() + "/api/ping?full=1").ok);

    const QList<RecordedRequest> seen = m_server.requests();
    QCOMPARE(seen.size(), 5);
    QCOMPARE(seen.at(0).target, QByteArray("/api/ping"));
    QCOMPARE(seen.at(1).target, QByteArray("/api/ping"));
    QCOMPARE(seen.at(2).target, QByteArray("/api/ping?x=1&y=%E4%B8%AD"));
    QCOMPARE(seen.at(3).target, QByteArray("/root/api/ping"));
    QCOMPARE(seen.at(4).target, QByteArray("/api/ping?full=1"));
}

void TestHttpClient::commonHeadersFollowTheSession()
{
    m_server.on("", "/api/h", ScriptedReply::success());
    Session *session = Session::instance();
    session->machineCode.clear();

    // Signed out: only the fixed headers and the device code, which is derived on demand.
    QVERIFY(fetch("GET", "/api/h").ok);
    RecordedRequest request = m_server.requests().constLast();
    QCOMPARE(request.header("X-TVR-Client"), QByteArray("1"));
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    QVERIFY(!session->machineCode.isEmpty());
    QCOMPARE(request.header("X-Machine-Code"), session->machineCode.toUtf8());
    QVERIFY(!request.hasHeader("X-User-Id"));
    QVERIFY(!request.hasHeader("X-Auth-Token"));
    QVERIFY(!request.hasHeader("X-Vault-Token"));

    session->userId = QStringLiteral("1024");
    session->token = QStringLiteral("tok-令牌");
    session->vaultToken = QStringLiteral("vault-1");
    QVERIFY(fetch("POST", "/api/h", QJsonObject{{"a", 1}}).ok);
    request = m_server.requests().constLast();
    QCOMPARE(request.header("X-User-Id"), QByteArray("1024"));
    QCOMPARE(request.header("X-Auth-Token"), QStringLiteral("tok-令牌").toUtf8());
    QCOMPARE(request.header("X-Vault-Token"), QByteArray("vault-1"));
    QCOMPARE(request.header("X-TVR-Client"), QByteArray("1"));

    // Downloads and self-built requests carry the same headers.
    QNetworkRequest manual(HttpClient::instance()->buildUrl("/api/h"));
    HttpClient::instance()->applyHeaders(manual);
    QCOMPARE(manual.rawHeader("X-Auth-Token"), QStringLiteral("tok-令牌").toUtf8());
    QCOMPARE(manual.rawHeader("X-Machine-Code"), session->machineCode.toUtf8());

    session->vaultToken.clear();
    QVERIFY(fetch("GET", "/api/h").ok);
    QVERIFY(!m_server.requests().constLast().hasHeader("X-Vault-Token"));
}

void TestHttpClient::unparsedGetLeavesOnlySuccessBodiesUnread()
{
    Session::instance()->token = QStringLiteral("tok");
    m_server.on("GET", "/api/list", ScriptedReply::success(QJsonArray{1, 2}));
    m_server.on("GET", "/api/denied",
                ScriptedReply::json(QJsonObject{{"success", false}, {"message", "无权访问"}}, 403));
    auto listed = run([](HttpCallback done) { HttpClient::instance()->getUnparsed("/api/list", std::move(done)); });
    auto denied = run([](HttpCallback done) { HttpClient::instance()->getUnparsed("/api/denied", std::move(done)); });
    QVERIFY(listed->response && denied->response);
    QVERIFY(listed->response->ok);
    QVERIFY(!listed->response->isJson);
    QVERIFY(listed->response->json.isNull());
    QCOMPARE(QJsonDocument::fromJson(listed->response->raw).object().value("data").toArray(), QJsonArray({1, 2}));
    // A refusal is read as any answer is: its text reaches the user.
    QVERIFY(!denied->response->ok);
    QVERIFY(denied->response->isJson);
    QCOMPARE(denied->response->error, QStringLiteral("无权访问"));
    // The same request headers as a plain GET.
    QCOMPARE(m_server.requests().first().header("X-Auth-Token"), QByteArray("tok"));
}

void TestHttpClient::getAndDeleteNeverSendABody()
{
    m_server.on("", "/api/b", ScriptedReply::success());
    auto getOutcome = run([](HttpCallback done) { HttpClient::instance()->get("/api/b", std::move(done)); });
    auto delOutcome = run([](HttpCallback done) { HttpClient::instance()->del("/api/b", std::move(done)); });
    QVERIFY(getOutcome->response && getOutcome->response->ok);
    QVERIFY(delOutcome->response && delOutcome->response->ok);

    QList<RecordedRequest> seen = m_server.requests();
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen.at(0).method, QByteArray("GET"));
    QCOMPARE(seen.at(1).method, QByteArray("DELETE"));
    QVERIFY(hasNoBody(seen.at(0)));
    QVERIFY(hasNoBody(seen.at(1)));

    // Through send with a body: the content type is set, the body still stays home.
    const QJsonObject body{{"ignored", true}};
    QVERIFY(fetch("GET", "/api/b", body).ok);
    QVERIFY(fetch("DELETE", "/api/b", body).ok);
    seen = m_server.requests();
    for (int i : {2, 3}) {
        QCOMPARE(seen.at(i).header("Content-Type"), QByteArray("application/json"));
        QVERIFY(seen.at(i).body.isEmpty());
    }
    QCOMPARE(seen.at(3).method, QByteArray("DELETE"));
}

void TestHttpClient::writeVerbsSendCompactJson()
{
    m_server.on("", "/api/w", ScriptedReply::success());
    const QJsonObject body{{"name", QStringLiteral("报告.pdf")}, {"parent_id", QJsonValue::Null}, {"size", 5}};
    const QByteArray compact = QJsonDocument(body).toJson(QJsonDocument::Compact);

    QVERIFY(fetch("POST", "/api/w", body).ok);
    QVERIFY(fetch("PUT", "/api/w", body).ok);
    QVERIFY(fetch("PATCH", "/api/w", body).ok);
    QVERIFY(fetch("POST", "/api/w", QJsonArray{1, 2}).ok); // not an object: sent as {}
    QVERIFY(fetch("POST", "/api/w").ok);                   // no body at all

    const QList<RecordedRequest> seen = m_server.requests();
    QCOMPARE(seen.size(), 5);
    const QList<QByteArray> verbs{"POST", "PUT", "PATCH"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(seen.at(i).method, verbs.at(i));
        QCOMPARE(seen.at(i).header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(seen.at(i).body, compact);
    }
    QCOMPARE(seen.at(3).body, QByteArray("{}"));
    QCOMPARE(seen.at(4).method, QByteArray("POST"));
    QVERIFY2(hasNoBody(seen.at(4)), seen.at(4).header("Content-Type").constData());
}

void TestHttpClient::envelopeRules_data()
{
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QByteArray>("expectedData");
    QTest::addColumn<QString>("expectedError");

    const QString none;
    QTest::newRow("failed with text") << false << 500 << QByteArray() << "服务器错误" << false << QByteArray("{}")
                                      << "服务器错误";
    QTest::newRow("failed without text") << false << 0 << QByteArray() << none << false << QByteArray("{}")
                                         << "网络错误(0)";
    QTest::newRow("not json") << true << 200 << QByteArray("<html>") << none << false << QByteArray("{}")
                              << "响应格式错误";
    QTest::newRow("array body") << true << 200 << QByteArray("[1,2]") << none << false << QByteArray("{}")
                                << "响应格式错误";
    QTest::newRow("success with data") << true << 200 << QByteArray(R"({"success":true,"data":{"id":3}})") << none
                                       << true << QByteArray(R"({"id":3})") << none;
    QTest::newRow("success with array data")
        << true << 200 << QByteArray(R"({"success":true,"data":[1]})") << none << true << QByteArray("{}") << none;
    QTest::newRow("success without data")
        << true << 200 << QByteArray(R"({"success":true})") << none << true << QByteArray("{}") << none;
    QTest::newRow("success false bare") << true << 200 << QByteArray(R"({"success":false})") << none << false
                                        << QByteArray("{}") << "操作失败";
    QTest::newRow("success false message") << true << 200 << QByteArray(R"({"success":false,"message":"名称重复"})")
                                           << none << false << QByteArray("{}") << "名称重复";
    QTest::newRow("success false empty message") << true << 200 << QByteArray(R"({"success":false,"message":""})")
                                                 << none << false << QByteArray("{}") << "操作失败";
    QTest::newRow("success wins over error") << true << 200 << QByteArray(R"({"success":true,"error":"x","data":{}})")
                                             << none << true << QByteArray("{}") << none;
    QTest::newRow("error only at 200") << true << 200 << QByteArray(R"({"error":"余额不足"})") << none << false
                                       << QByteArray("{}") << "余额不足";
    QTest::newRow("error not text") << true << 200 << QByteArray(R"({"error":7})") << none << false << QByteArray("{}")
                                    << "操作失败";
    QTest::newRow("plain object") << true << 200 << QByteArray(R"({"count":4})") << none << true
                                  << QByteArray(R"({"count":4})") << none;
}

void TestHttpClient::envelopeRules()
{
    QFETCH(bool, ok);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    QFETCH(bool, expected);
    QFETCH(QByteArray, expectedData);
    QFETCH(QString, expectedError);

    // Through real HTTP for the replies a server can give, so the parse step is covered too.
    HttpResponse response;
    if (ok) {
        m_server.on("GET", "/api/env", ScriptedReply::text(status, body, "application/json"));
        response = fetch("GET", "/api/env");
        QVERIFY(response.ok);
    } else {
        response.ok = false;
        response.status = status;
        response.error = error;
    }

    QJsonObject data{{"stale", true}};
    QString errorText = QStringLiteral("stale");
    QCOMPARE(response.unwrap(data, errorText), expected);
    QCOMPARE(data, QJsonDocument::fromJson(expectedData).object());
    QCOMPARE(errorText, expectedError);
    if (QTest::currentDataTag() == QByteArray("success with array data"))
        QCOMPARE(response.dataArray(), QJsonArray{1});
    else
        QVERIFY(response.dataArray().isEmpty());
}

void TestHttpClient::jsonTextReadsIdsAsText()
{
    const QJsonObject object = QJsonDocument::fromJson(R"({"s":"007","i":1024,"neg":-3,"f":12.5,"g":12.3456789,
        "big":9007199254740993,"t":true,"n":null,"a":[1],"o":{}})")
                                   .object();
    QCOMPARE(jsonText(object, "s"), QStringLiteral("007"));
    QCOMPARE(jsonText(object, "i"), QStringLiteral("1024"));
    QCOMPARE(jsonText(object, "neg"), QStringLiteral("-3"));
    QCOMPARE(jsonText(object, "f"), QStringLiteral("12.5"));
    QCOMPARE(jsonText(object, "g"), QStringLiteral("12.3457"));
    QCOMPARE(jsonText(object, "big"), QStringLiteral("9007199254740993"));
    for (const char *key : {"t", "n", "a", "o", "missing"})
        QVERIFY2(jsonText(object, key).isEmpty(), key);
}

void TestHttpClient::errorTextPrecedence_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected"); // empty: the network layer's own text

    const QByteArray longText = QByteArray("错").repeated(150) + QByteArray("x").repeated(100);
    QTest::newRow("error wins") << 500 << QByteArray(R"({"error":"甲","message":"乙"})") << "甲";
    QTest::newRow("message when no error") << 500 << QByteArray(R"({"message":"乙"})") << "乙";
    QTest::newRow("message when error empty") << 400 << QByteArray(R"({"error":"","message":"乙"})") << "乙";
    QTest::newRow("object without texts") << 502 << QByteArray(R"({"code":1})") << R"({"code":1})";
    QTest::newRow("plain text cut to 200") << 500 << longText << QString::fromUtf8(longText).left(200);
    QTest::newRow("empty body 404") << 404 << QByteArray() << QString();
    QTest::newRow("empty body without network error") << 399 << QByteArray() << "请求失败(399)";
}

void TestHttpClient::errorTextPrecedence()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);

    m_server.on("GET", "/api/err", ScriptedReply::text(status, body));
    const HttpResponse response = fetch("GET", "/api/err");
    QVERIFY(!response.ok);
    QCOMPARE(response.status, status);
    QCOMPARE(response.raw, body);
    if (expected.isEmpty()) {
        QVERIFY(!response.error.isEmpty());
        QVERIFY(!response.error.startsWith(QLatin1String("请求失败")));
    } else {
        QCOMPARE(response.error, expected);
    }
    QJsonObject data;
    QString errorText;
    QVERIFY(!response.unwrap(data, errorText));
    QCOMPARE(errorText, response.error);
}

void TestHttpClient::unreachableServerGivesStatusZero()
{
    qputenv("TVR_SERVER", QStringLiteral("http://127.0.0.1:%1").arg(closedPort()).toUtf8());
    const HttpResponse response = fetch("GET", "/api/x");
    QVERIFY(!response.ok);
    QCOMPARE(response.status, 0);
    QVERIFY(!response.error.isEmpty());
}

void TestHttpClient::truncatedSuccessIsAFailure()
{
    m_server.on("GET", "/api/cut", ScriptedReply::success(QJsonObject{{"k", QString(500, 'v')}}).cutAfter(40));
    const HttpResponse response = fetch("GET", "/api/cut");
    QCOMPARE(response.status, 200);
    QVERIFY(!response.ok);
    QVERIFY(!response.error.isEmpty());
}

void TestHttpClient::profileIncompleteSignalsOnceBeforeTheCallback()
{
    QSignalSpy spy(HttpClient::instance(), &HttpClient::profileIncomplete);
    m_server.on("GET", "/api/p",
                ScriptedReply::json(QJsonObject{{"code", "PROFILE_INCOMPLETE"}, {"error", "请先完善个人资料"}}, 403));
    int signalsAtCallback = -1;
    auto outcome = run([&](HttpCallback done) {
        HttpClient::instance()->get("/api/p", [&, done](const HttpResponse &response) {
            signalsAtCallback = int(spy.count());
            done(response);
        });
    });
    QCOMPARE(outcome->calls, 1);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(signalsAtCallback, 1);
    QVERIFY(!outcome->response->ok);
    QCOMPARE(outcome->response->status, 403);
    QCOMPARE(outcome->response->error, QStringLiteral("请先完善个人资料"));

    // The code alone decides, and only on 403.
    m_server.on("GET", "/api/q", ScriptedReply::json(QJsonObject{{"error", "禁止访问"}}, 403));
    m_server.on("GET", "/api/r", ScriptedReply::json(QJsonObject{{"code", "PROFILE_INCOMPLETE"}}, 400));
    QVERIFY(!fetch("GET", "/api/q").ok);
    QVERIFY(!fetch("GET", "/api/r").ok);
    QCOMPARE(spy.count(), 1);
}

void TestHttpClient::timeoutTurnsIntoFailure()
{
    HttpClient::instance()->setJsonTimeoutMs(300);
    m_server.on("GET", "/api/slow", ScriptedReply::hanging());
    const HttpResponse response = fetch("GET", "/api/slow");
    QVERIFY(!response.ok);
    QCOMPARE(response.status, 0);
    QCOMPARE(response.error, QStringLiteral("请求超时"));
    QJsonObject data;
    QString errorText;
    QVERIFY(!response.unwrap(data, errorText));
    QCOMPARE(errorText, QStringLiteral("请求超时"));
}

void TestHttpClient::callbacksRunInCompletionOrder()
{
    m_server.on("GET", "/api/late", ScriptedReply::success(QJsonObject{{"n", "late"}}).withDelay(300));
    m_server.on("GET", "/api/early", ScriptedReply::success(QJsonObject{{"n", "early"}}));
    QStringList order;
    const auto note = [&order](const HttpResponse &response) {
        QJsonObject data;
        QString error;
        order << (response.unwrap(data, error) ? data.value("n").toString() : error);
    };
    HttpClient::instance()->get("/api/late", note);
    HttpClient::instance()->get("/api/early", note);
    QVERIFY(waitUntil([&] { return order.size() == 2; }));
    QCOMPARE(order, (QStringList{"early", "late"}));
}

void TestHttpClient::downloadTruncatesWithoutRangeAndAppendsWithRange()
{
    const QByteArray content = "0123456789abcdefghij";
    m_server.serveContent("/files/a.bin", content);
    const QString local = m_files.filePath("a.bin");

    const auto download = [&](const QByteArray &range, QList<std::pair<qint64, qint64>> *progress) {
        auto outcome = std::make_shared<Outcome>();
        QNetworkReply *reply = HttpClient::instance()->download(
            "/files/a.bin", local,
            [progress](qint64 received, qint64 total) {
                progress->append({received, total});
            },
            [outcome](const HttpResponse &response) {
                outcome->response = response;
                ++outcome->calls;
            },
            range);
        if (!waitUntil([&] { return outcome->calls > 0; }))
            outcome->response = HttpResponse{false, -1, false, {}, {}, QStringLiteral("no callback")};
        delete reply; // the caller owns it
        return outcome;
    };

    QFile old(local);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("OLD-CONTENT-LONGER-THAN-THE-NEW-ONE-XXXXXXXXXX");
    old.close();

    QList<std::pair<qint64, qint64>> progress;
    auto whole = download({}, &progress);
    QCOMPARE(whole->calls, 1);
    QVERIFY(whole->response->ok);
    QCOMPARE(whole->response->status, 200);
    QCOMPARE(whole->response->raw, local.toUtf8());
    QVERIFY(!m_server.requests().constLast().hasHeader("Range"));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), content);
    old.close();
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.constLast(), (std::pair<qint64, qint64>(20, 20)));

    // Keep the first 12 bytes and continue from there.
    QVERIFY(old.resize(12));
    progress.clear();
    auto ranged = download("bytes=12-", &progress);
    QVERIFY(ranged->response->ok);
    QCOMPARE(ranged->response->status, 206);
    QCOMPARE(m_server.requests().constLast().header("Range"), QByteArray("bytes=12-"));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), content);
    old.close();
    QCOMPARE(progress.constLast(), (std::pair<qint64, qint64>(8, 8)));
}

void TestHttpClient::downloadReplacesWhenRangeIsIgnored()
{
    const QByteArray content = "the whole file, from its first byte";
    m_server.on("GET", "/files/b.bin", ScriptedReply::text(200, content, "application/octet-stream"));
    const QString local = m_files.filePath("b.bin");
    QFile part(local);
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write("the whole");
    part.close();

    auto outcome = run([&](HttpCallback done) {
        QNetworkReply *reply = HttpClient::instance()->download("/files/b.bin", local, {}, std::move(done), "bytes=9-");
        QVERIFY(reply);
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    });
    QVERIFY(outcome->response->ok);
    QCOMPARE(outcome->response->status, 200);
    QVERIFY(part.open(QIODevice::ReadOnly));
    QCOMPARE(part.readAll(), content);
}

void TestHttpClient::downloadKeepsErrorBodiesOutOfTheFile()
{
    m_server.on("GET", "/files/gone", ScriptedReply::json(QJsonObject{{"error", "文件不存在"}}, 404));
    m_server.on("GET", "/files/cut", ScriptedReply::text(200, QByteArray(4000, 'z')).cutAfter(1000));
    const QString local = m_files.filePath("kept.part");
    QFile part(local);
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write("KEEP");
    part.close();

    QList<qint64> progress;
    auto missing = run([&](HttpCallback done) {
        QNetworkReply *reply = HttpClient::instance()->download(
            "/files/gone", local, [&progress](qint64 received, qint64) { progress << received; }, std::move(done),
            "bytes=4-");
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    });
    QVERIFY(!missing->response->ok);
    QCOMPARE(missing->response->status, 404);
    QCOMPARE(missing->response->error, QStringLiteral("文件不存在"));
    QVERIFY(progress.isEmpty());
    QVERIFY(part.open(QIODevice::ReadOnly));
    QCOMPARE(part.readAll(), QByteArray("KEEP"));
    part.close();

    // A body that breaks off is not a finished download.
    auto cut = run([&](HttpCallback done) {
        QNetworkReply *reply = HttpClient::instance()->download("/files/cut", local, {}, std::move(done));
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    });
    QVERIFY(!cut->response->ok);
    QVERIFY(!cut->response->error.isEmpty());
}

void TestHttpClient::downloadToUnwritablePathFailsAtOnce()
{
    m_server.serveContent("/files/c.bin", "data");
    const QString local = m_files.filePath("no-such-dir/c.bin");
    int calls = 0;
    HttpResponse seen;
    QNetworkReply *reply = HttpClient::instance()->download("/files/c.bin", local, {}, [&](const HttpResponse &r) {
        seen = r;
        ++calls;
    });
    QVERIFY(!reply);
    QCOMPARE(calls, 1); // at once, before download() returns
    QVERIFY(!seen.ok);
    QCOMPARE(seen.status, 0);
    QCOMPARE(seen.error, QStringLiteral("无法写入文件：%1").arg(local));
    QVERIFY(!QFile::exists(local));
    QCOMPARE(m_server.requestCount(), 0);
}

void TestHttpClient::byteCountersAddUpWholeTransfers()
{
    HttpClient *client = HttpClient::instance();
    m_server.on("PUT", "/api/upload/chunk/*", ScriptedReply::success());
    const QByteArray tenMegabytes(10 * 1000 * 1000, 'u');

    client->bytesUp = 0;
    client->bytesDown = 0;
    QNetworkRequest request(client->buildUrl("/api/upload/chunk/u1/0"));
    client->applyHeaders(request);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/octet-stream"));
    auto upload =
        run([&](HttpCallback done) { client->handleReply(client->network()->put(request, tenMegabytes), done); });
    QVERIFY(upload->response->ok);
    QCOMPARE(m_server.requests().constLast().body.size(), tenMegabytes.size());
    QCOMPARE(client->bytesUp, qint64(tenMegabytes.size()));
    const qint64 replyBytes = upload->response->raw.size();
    QVERIFY(replyBytes > 0);
    QCOMPARE(client->bytesDown, replyBytes);

    // Multipart bodies count the same way; downloads count what reached the file.
    client->bytesUp = 0;
    auto *multipart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader, QByteArrayLiteral("form-data; name=\"files\""));
    part.setBody(QByteArray(300000, 'm'));
    multipart->append(part);
    m_server.on("POST", "/api/files/upload", ScriptedReply::success());
    auto posted =
        run([&](HttpCallback done) { client->postMultipart("/api/files/upload", multipart, std::move(done)); });
    QVERIFY(posted->response->ok);
    QCOMPARE(client->bytesUp, qint64(m_server.requests().constLast().body.size()));

    client->bytesDown = 0;
    m_server.serveContent("/files/d.bin", QByteArray(123457, 'd'));
    auto fetched = run([&](HttpCallback done) {
        QNetworkReply *reply = client->download("/files/d.bin", m_files.filePath("d.bin"), {}, std::move(done));
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    });
    QVERIFY(fetched->response->ok);
    QCOMPARE(client->bytesDown, qint64(123457));
}

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
