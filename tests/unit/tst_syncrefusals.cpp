// What the server refuses to take: a name it does not allow and a full quota are listed as the
// pair's errors in the server's own words, and tried again after a pause that grows up to a
// bound, never in a loop. Counted by the requests a scripted server saw, round by round.
#include "eventwait.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "sync/syncengine.h"
#include "synckit.h"
#include "testsettings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString NameRefused = QStringLiteral("文件名包含不允许的字符");
const QString QuotaFull = QStringLiteral("存储空间不足，请扩容后再上传");

using SyncKit::writeSettled;

ScriptedReply refusal(int status, const QString &message)
{
    return ScriptedReply::json(QJsonObject{{"success", false}, {"message", message}}, status);
}

} // namespace

class TestSyncRefusals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusedNameAndFullQuotaAreRetriedWithAGrowingBoundedPause();

private:
    QTemporaryDir m_work;
};

void TestSyncRefusals::initTestCase()
{
    QVERIFY(m_work.isValid());
    useSettingsFolder(m_work.filePath("settings"));
    qputenv("XDG_DATA_HOME", m_work.filePath("data").toUtf8());
    QVERIFY(Session::instance()->applyLogin(QJsonObject{{"id", "7101"}, {"loginToken", "refusal-token"}}));
}

void TestSyncRefusals::refusedNameAndFullQuotaAreRetriedWithAGrowingBoundedPause()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    qputenv("TVR_SERVER", server.baseUrl().toUtf8());
    // An empty server folder whose feed then stays quiet.
    server.on("GET", QStringLiteral("/api/sync/changes*"), [](const RecordedRequest &request) {
        if (request.query().contains("cursor=0&"))
            return ScriptedReply::success(QJsonObject{{"changes", QJsonArray()}, {"cursor", "5"}, {"has_more", false}});
        return ScriptedReply::hanging();
    });
    server.on("POST", QStringLiteral("/api/files/upload"), [](const RecordedRequest &request) {
        return request.body.contains("a name the server refuses") ? refusal(400, NameRefused) : refusal(507, QuotaFull);
    });
    const QString root = m_work.filePath("refused");
    QVERIFY(writeSettled(root + "/a:b.txt", "a name the server refuses"));
    QVERIFY(writeSettled(root + "/big.txt", "no room for this"));

    SyncEngine engine(SyncEngine::Config{root, "1", {}, {}}, m_work.filePath("refused.db"));
    engine.setTimings(50, 300, 100, 800);
    // At the start of each round: the pause it followed and the uploads the server had seen.
    QList<int> delays;
    QList<int> uploads;
    connect(&engine, &SyncEngine::stateChanged, this, [&] {
        if (engine.state() != SyncEngine::State::Syncing)
            return;
        delays << engine.retryDelayMs();
        uploads << int(server.requests("POST", "/api/files/upload").size());
    });
    QVERIFY(engine.start());
    QVERIFY2(waitUntil([&] { return delays.size() >= 7; }, 60000), qPrintable(QString::number(delays.size())));
    const QList<SyncExecutor::Failure> failures = engine.failures();

    // Each round sends each file once; the pause doubles from the first up to the bound.
    QCOMPARE(delays.mid(0, 7), QList<int>({0, 100, 200, 400, 800, 800, 800}));
    QCOMPARE(uploads.mid(0, 7), QList<int>({0, 2, 4, 6, 8, 10, 12}));
    // Listed with the server's words.
    QCOMPARE(failures.size(), 2);
    QHash<QString, QString> errors;
    for (const SyncExecutor::Failure &failure : failures)
        errors.insert(failure.path, failure.error);
    QCOMPARE(errors.value("a:b.txt"), NameRefused);
    QCOMPARE(errors.value("big.txt"), QuotaFull);

    // Once the user has taken the files away there is nothing left to try: the errors go.
    QVERIFY(QFile::remove(root + "/a:b.txt"));
    QVERIFY(QFile::remove(root + "/big.txt"));
    QVERIFY(waitUntil([&] { return engine.failures().isEmpty(); }, 20000));
    QCOMPARE(engine.state(), SyncEngine::State::Idle);
    QCOMPARE(engine.retryDelayMs(), 0);
    engine.stop();
}

QTEST_GUILESS_MAIN(TestSyncRefusals)
#include "tst_syncrefusals.moc"
