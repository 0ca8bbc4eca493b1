#include "files/fileapi.h"
#include "files/filerecord.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <memory>

namespace {

QJsonObject parse(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

// Issues one request through a helper and keeps what its callback received.
struct Call
{
    std::shared_ptr<int> calls = std::make_shared<int>(0);
    std::shared_ptr<HttpResponse> response = std::make_shared<HttpResponse>();

    HttpCallback callback() const
    {
        return [calls = calls, response = response](const HttpResponse &r) {
            ++*calls;
            *response = r;
        };
    }
};

} // namespace

class TestFileApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void int64ReadsNumbersAndNumericStrings();
    void folderTestIsExactAndCaseSensitive();
    void listPathCarriesOnlyGivenFilters();
    void segmentsAndQueriesArePercentEncoded();

    // Against a scripted server: what goes over the wire.
    void listingsSendExactTargetsWithoutBody();
    void encodedKeywordsAndIdsSurviveTheWire();
    void folderCreationLeavesOutRootParent();
    void renameMoveAndDeleteAddressTheRecord();
    void extractLeavesOutRootTarget();
    void numericIdsAddressWholeNumbers();
    void listingReplyReachesCallbackOnce();

private:
    RecordedRequest lastRequest() const;

    ScriptedServer m_server;
};

void TestFileApi::initTestCase()
{
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    // A fixed device code keeps the test away from the machine's own.
    Session::instance()->machineCode = QStringLiteral("MJ-TEST-0000-0000-0000");
    HttpClient::instance()->setJsonTimeoutMs(5000);
}

void TestFileApi::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    m_server.on("", "*", ScriptedReply::success());
}

RecordedRequest TestFileApi::lastRequest() const
{
    const QList<RecordedRequest> all = m_server.requests();
    return all.isEmpty() ? RecordedRequest() : all.last();
}

void TestFileApi::int64ReadsNumbersAndNumericStrings()
{
    const QJsonObject record = parse(R"({"n": 2048, "s": "2048", "neg": -7.9, "frac": 7.9,
        "big": 9007199254740993, "huge": 1e300, "word": "12abc", "blank": "", "null": null,
        "flag": true, "list": [1], "negs": "-42"})");
    QCOMPARE(jsonInt64(record, "n"), 2048);
    QCOMPARE(jsonInt64(record, "s"), 2048);
    QCOMPARE(jsonInt64(record, "negs"), -42);
    QCOMPARE(jsonInt64(record, "frac"), 7);
    QCOMPARE(jsonInt64(record, "neg"), -7); // toward zero, not down
    QCOMPARE(jsonInt64(record, "big"), Q_INT64_C(9007199254740993));
    QCOMPARE(jsonInt64(record, "huge"), std::numeric_limits<qint64>::max());
    // A string that is no number is 0, whatever the fallback.
    QCOMPARE(jsonInt64(record, "word", 99), 0);
    QCOMPARE(jsonInt64(record, "blank", 99), 0);
    // Every other type gives the fallback.
    QCOMPARE(jsonInt64(record, "null"), 0);
    QCOMPARE(jsonInt64(record, "null", 5), 5);
    QCOMPARE(jsonInt64(record, "flag", 5), 5);
    QCOMPARE(jsonInt64(record, "list", 5), 5);
    QCOMPARE(jsonInt64(record, "missing", -1), -1);
}

void TestFileApi::folderTestIsExactAndCaseSensitive()
{
    QVERIFY(isFolderRecord(parse(R"({"type": "folder"})")));
    QVERIFY(!isFolderRecord(parse(R"({"type": "Folder"})")));
    QVERIFY(!isFolderRecord(parse(R"({"type": "folder "})")));
    QVERIFY(!isFolderRecord(parse(R"({"type": "file"})")));
    QVERIFY(!isFolderRecord(parse(R"({"name": "x"})")));
    QVERIFY(!isFolderRecord(QJsonObject()));
}

void TestFileApi::listPathCarriesOnlyGivenFilters()
{
    QCOMPARE(Api::listFilesPath("", "all"), QString("/api/files?"));
    QCOMPARE(Api::listFilesPath("", ""), QString("/api/files?"));
    QCOMPARE(Api::listFilesPath("", "ALL"), QString("/api/files?category=ALL&"));
    QCOMPARE(Api::listFilesPath("", "image"), QString("/api/files?category=image&"));
    QCOMPARE(Api::listFilesPath("F", "image"), QString("/api/files?parent_id=F&category=image&"));
    QCOMPARE(Api::listFilesPath("7", "all"), QString("/api/files?parent_id=7&"));
    QCOMPARE(Api::listTeamFilesPath("3", ""), QString("/api/teams/3/files"));
    QCOMPARE(Api::listTeamFilesPath("3", "12"), QString("/api/teams/3/files?parent_id=12"));
    QCOMPARE(Api::searchTeamFilesPath("3", "q"), QString("/api/teams/3/files/search?keyword=q"));
    QCOMPARE(Api::searchFilesPath(""), QString("/api/files/search?keyword="));
}

void TestFileApi::segmentsAndQueriesArePercentEncoded()
{
    QCOMPARE(Api::searchFilesPath("季度 报告"),
             QString("/api/files/search?keyword=%E5%AD%A3%E5%BA%A6%20%E6%8A%A5%E5%91%8A"));
    // Only letters, digits and - . _ ~ stay as they are.
    QCOMPARE(Api::searchFilesPath("a&b=c/d+e?f#g%h~_.-"),
             QString("/api/files/search?keyword=a%26b%3Dc%2Fd%2Be%3Ff%23g%25h~_.-"));
    QCOMPARE(Api::listFilesPath("a/b&c", "x y"), QString("/api/files?parent_id=a%2Fb%26c&category=x%20y&"));
    QCOMPARE(Api::listTeamFilesPath("t/1", "p?2"), QString("/api/teams/t%2F1/files?parent_id=p%3F2"));
    QCOMPARE(Api::searchTeamFilesPath("t 1", "合同"),
             QString("/api/teams/t%201/files/search?keyword=%E5%90%88%E5%90%8C"));
}

void TestFileApi::listingsSendExactTargetsWithoutBody()
{
    struct Case
    {
        std::function<void(HttpCallback)> issue;
        QByteArray target;
    };
    const QList<Case> cases = {
        {[](HttpCallback cb) { Api::listFiles("", "all", cb); }, "/api/files?"},
        {[](HttpCallback cb) { Api::listFiles("F", "image", cb); }, "/api/files?parent_id=F&category=image&"},
        {[](HttpCallback cb) { Api::listFiles("", "ALL", cb); }, "/api/files?category=ALL&"},
        {[](HttpCallback cb) { Api::listTeamFiles("3", "", cb); }, "/api/teams/3/files"},
        {[](HttpCallback cb) { Api::listTeamFiles("3", "12", cb); }, "/api/teams/3/files?parent_id=12"},
        {[](HttpCallback cb) { Api::searchTeamFiles("3", "q", cb); }, "/api/teams/3/files/search?keyword=q"},
        {[](HttpCallback cb) { Api::searchFiles("q", cb); }, "/api/files/search?keyword=q"},
        {[](HttpCallback cb) { Api::listFolders(cb); }, "/api/folders"},
    };
    for (const Case &c : cases) {
        m_server.clearRequests();
        Call call;
        c.issue(call.callback());
        QTRY_COMPARE(*call.calls, 1);
        const RecordedRequest request = lastRequest();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, c.target);
        QVERIFY(request.body.isEmpty());
        QVERIFY(!request.hasHeader("Content-Type"));
    }
}

void TestFileApi::encodedKeywordsAndIdsSurviveTheWire()
{
    Call search;
    Api::searchFiles("季度 报告 a&b=c/d+e?f#g%h~_.-", search.callback());
    QTRY_COMPARE(*search.calls, 1);
    QCOMPARE(lastRequest().target, QByteArray("/api/files/search?keyword=%E5%AD%A3%E5%BA%A6%20%E6%8A%A5%E5%91%8A%20"
                                              "a%26b%3Dc%2Fd%2Be%3Ff%23g%25h~_.-"));

    Call team;
    Api::searchTeamFiles("t/1", "合同 2024", team.callback());
    QTRY_COMPARE(*team.calls, 1);
    QCOMPARE(lastRequest().target, QByteArray("/api/teams/t%2F1/files/search?keyword=%E5%90%88%E5%90%8C%202024"));

    Call list;
    Api::listFiles("a/b?c", "x y", list.callback());
    QTRY_COMPARE(*list.calls, 1);
    QCOMPARE(lastRequest().target, QByteArray("/api/files?parent_id=a%2Fb%3Fc&category=x%20y&"));

    Call del;
    Api::deleteTeamFile("t 1", "../7", del.callback());
    QTRY_COMPARE(*del.calls, 1);
    QCOMPARE(lastRequest().target, QByteArray("/api/teams/t%201/files/..%2F7"));
}

void TestFileApi::folderCreationLeavesOutRootParent()
{
    Call root;
    Api::createFolder("新建 文件夹", "", root.callback());
    QTRY_COMPARE(*root.calls, 1);
    RecordedRequest request = lastRequest();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/api/folders"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.json(), parse(R"({"name": "新建 文件夹"})"));

    Call nested;
    Api::createFolder("B", "5", nested.callback());
    QTRY_COMPARE(*nested.calls, 1);
    QCOMPARE(lastRequest().json(), parse(R"({"name": "B", "parent_id": "5"})"));

    Call team;
    Api::createTeamFolder("3", "C", "", team.callback());
    QTRY_COMPARE(*team.calls, 1);
    request = lastRequest();
    QCOMPARE(request.target, QByteArray("/api/teams/3/folders"));
    QCOMPARE(request.json(), parse(R"({"name": "C"})"));

    Call teamNested;
    Api::createTeamFolder("3", "D", "8", teamNested.callback());
    QTRY_COMPARE(*teamNested.calls, 1);
    QCOMPARE(lastRequest().json(), parse(R"({"name": "D", "parent_id": "8"})"));
}

void TestFileApi::renameMoveAndDeleteAddressTheRecord()
{
    Call rename;
    Api::renameFile("7", "报告 final.pdf", rename.callback());
    QTRY_COMPARE(*rename.calls, 1);
    RecordedRequest request = lastRequest();
    QCOMPARE(request.method, QByteArray("PUT"));
    QCOMPARE(request.target, QByteArray("/api/files/7"));
    QCOMPARE(request.json(), parse(R"({"name": "报告 final.pdf"})"));

    Call toRoot;
    Api::moveFile("7", "", toRoot.callback());
    QTRY_COMPARE(*toRoot.calls, 1);
    request = lastRequest();
    QCOMPARE(request.method, QByteArray("PUT"));
    QCOMPARE(request.target, QByteArray("/api/files/7/move"));
    // The root is an explicit null, never a missing member.
    QVERIFY(request.json().contains("parent_id"));
    QVERIFY(request.json().value("parent_id").isNull());

    Call toFolder;
    Api::moveFile("7", "9", toFolder.callback());
    QTRY_COMPARE(*toFolder.calls, 1);
    QCOMPARE(lastRequest().json(), parse(R"({"parent_id": "9"})"));

    Call del;
    Api::deleteFile("7", del.callback());
    QTRY_COMPARE(*del.calls, 1);
    request = lastRequest();
    QCOMPARE(request.method, QByteArray("DELETE"));
    QCOMPARE(request.target, QByteArray("/api/files/7"));
    QVERIFY(request.body.isEmpty());

    Call teamDel;
    Api::deleteTeamFile("3", "7", teamDel.callback());
    QTRY_COMPARE(*teamDel.calls, 1);
    request = lastRequest();
    QCOMPARE(request.method, QByteArray("DELETE"));
    QCOMPARE(request.target, QByteArray("/api/teams/3/files/7"));
}

void TestFileApi::extractLeavesOutRootTarget()
{
    Call root;
    Api::extractArchive("7", "", root.callback());
    QTRY_COMPARE(*root.calls, 1);
    RecordedRequest request = lastRequest();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/api/files/extract"));
    QCOMPARE(request.json(), parse(R"({"fileId": "7"})"));

    Call folder;
    Api::extractArchive("7", "12", folder.callback());
    QTRY_COMPARE(*folder.calls, 1);
    QCOMPARE(lastRequest().json(), parse(R"({"fileId": "7", "targetId": "12"})"));

    // A refusal reaches the caller as the server's own text.
    m_server.on("POST", "/api/files/extract", ScriptedReply::json(parse(R"({"error": "不支持的压缩格式"})"), 400));
    Call refused;
    Api::extractArchive("8", "", refused.callback());
    QTRY_COMPARE(*refused.calls, 1);
    QJsonObject data;
    QString error;
    QVERIFY(!refused.response->unwrap(data, error));
    QCOMPARE(error, QString("不支持的压缩格式"));
}

void TestFileApi::numericIdsAddressWholeNumbers()
{
    const QJsonObject record = parse(R"({"id": 7, "big": 5000000000, "odd": 7.5})");
    Call small;
    Api::deleteFile(jsonText(record, "id"), small.callback());
    QTRY_COMPARE(*small.calls, 1);
    QCOMPARE(lastRequest().target, QByteArray("/api/files/7"));

    Call big;
    Api::renameFile(jsonText(record, "big"), "x", big.callback());
    QTRY_COMPARE(*big.calls, 1);
    QCOMPARE(lastRequest().target, QByteArray("/api/files/5000000000"));

    Call odd;
    Api::moveFile(jsonText(record, "odd"), "", odd.callback());
    QTRY_COMPARE(*odd.calls, 1);
    QCOMPARE(lastRequest().target, QByteArray("/api/files/7.5/move"));
}

void TestFileApi::listingReplyReachesCallbackOnce()
{
    const QJsonArray rows = QJsonDocument::fromJson(R"([{"id": 1, "name": "a.txt"}, {"id": 2, "name": "B",
        "type": "folder"}])")
                                .array();
    m_server.on("GET", "/api/files", ScriptedReply::success(rows));
    Call call;
    Api::listFiles("", "all", call.callback());
    QTRY_COMPARE(*call.calls, 1);
    QJsonObject data;
    QString error;
    QVERIFY(call.response->unwrap(data, error));
    QCOMPARE(call.response->dataArray(), rows);
    // A later request's answer does not reach the earlier callback again.
    Call next;
    Api::listFolders(next.callback());
    QTRY_COMPARE(*next.calls, 1);
    QCOMPARE(*call.calls, 1);
}

QTEST_GUILESS_MAIN(TestFileApi)
#include "tst_fileapi.moc"
