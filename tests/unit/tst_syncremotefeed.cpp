// The server's change feed as the sync engine follows it: paging, long polls, resets, failures,
// and the tree of entries it builds (paths from the parent chain, safe names only).
#include "eventwait.h"
#include "net/httpclient.h"
#include "scriptedserver.h"
#include "sync/remotefeed.h"
#include "testsettings.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

namespace {

QJsonObject change(const QString &id, const QString &parent, const QString &name, bool folder, const QString &path,
                   bool deleted = false)
{
    QJsonObject o{{"id", id.toLongLong()},
                  {"parent_id", parent.isEmpty() ? QJsonValue() : QJsonValue(parent.toLongLong())},
                  {"name", name},
                  {"type", folder ? "folder" : "file"},
                  {"size", folder ? 0 : 5},
                  {"md5", folder ? QJsonValue() : QJsonValue("ABCDEF")},
                  {"updated_at", "2026-12-10 10:00:00"},
                  {"deleted", deleted},
                  {"seq", 1},
                  {"path", path}};
    return o;
}

ScriptedReply page(const QJsonArray &changes, const QString &cursor, bool more, bool reset = false)
{
    return ScriptedReply::success(
        QJsonObject{{"changes", changes}, {"cursor", cursor}, {"has_more", more}, {"reset", reset}});
}

QString cursorOf(const RecordedRequest &request)
{
    return QUrlQuery(QString::fromUtf8(request.query())).queryItemValue("cursor");
}

QStringList sortedPaths(const RemoteTree &tree)
{
    QStringList paths = tree.byPath().keys();
    paths.sort();
    return paths;
}

RemoteChange parsed(const QJsonObject &object)
{
    RemoteChange c;
    RemoteChange::fromJson(object, c);
    return c;
}

} // namespace

class TestSyncRemoteFeed : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void listingPagesThroughThenLongPollsForChanges();
    void treeIsReplacedOnlyWhenResetListingIsComplete();
    void failuresAreRetriedWithGrowingPauses();
    void stoppedFeedIgnoresTheAnswerInFlight();
    void renamedFolderCarriesItsChildrenInTheTree();
    void deletedFolderTakesWhatItHeld();
    void unsafeNamesNeverBecomePaths();
    void quietLongPollIsNotTakenForALostConnection();
    void resumedFeedAsksOnlyForWhatChangedSinceItsCursor();
    void resumedFeedWithTooOldCursorListsAgain();
    void catchUpDropsTheHeldPollAndAsksAtOnce();

private:
    QTemporaryDir m_settingsDir;
    ScriptedServer m_server;
};

void TestSyncRemoteFeed::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
}

void TestSyncRemoteFeed::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
}

void TestSyncRemoteFeed::listingPagesThroughThenLongPollsForChanges()
{
    m_server.on("GET", "/api/sync/changes", [](const RecordedRequest &r) {
        const QString cursor = cursorOf(r);
        if (cursor == "0")
            return page({change("10", "7", "docs", true, "docs")}, "p1", true);
        if (cursor == "p1")
            return page({change("11", "10", "a.txt", false, "docs/a.txt")}, "c2", false);
        if (cursor == "c2") // the folder is renamed: only it changes
            return page({change("10", "7", "文档", true, "文档")}, "c3", false);
        return ScriptedReply::hanging();
    });
    RemoteFeed feed("7", "3");
    QSignalSpy changed(&feed, &RemoteFeed::treeChanged);
    QStringList seen;
    connect(&feed, &RemoteFeed::treeChanged, this, [&] { seen << sortedPaths(feed.tree()).join(","); });
    feed.start();
    QVERIFY(waitUntil([&] { return changed.size() >= 2; }));
    // Nothing is reported while the listing is partial.
    QCOMPARE(seen, QStringList({"docs,docs/a.txt", "文档,文档/a.txt"}));
    QVERIFY(m_server.waitForRequests(4));
    const auto requests = m_server.requests();
    QCOMPARE(requests[0].target, QByteArray("/api/sync/changes?cursor=0&limit=1000&wait=0&folder_id=7&team_id=3"));
    QCOMPARE(requests[1].target, QByteArray("/api/sync/changes?cursor=p1&limit=1000&wait=0&folder_id=7&team_id=3"));
    // Once whole, the feed waits at the server for what comes next.
    QCOMPARE(requests[2].target, QByteArray("/api/sync/changes?cursor=c2&limit=1000&wait=25&folder_id=7&team_id=3"));
    QCOMPARE(cursorOf(requests[3]), QString("c3"));
    QVERIFY(feed.isComplete());
    QCOMPARE(feed.tree().byPath()["文档/a.txt"].md5, QString("abcdef"));
    feed.stop();
}

void TestSyncRemoteFeed::treeIsReplacedOnlyWhenResetListingIsComplete()
{
    int listings = 0;
    m_server.on("GET", "/api/sync/changes", [&listings](const RecordedRequest &r) {
        const QString cursor = cursorOf(r);
        if (cursor == "0") {
            ++listings;
            if (listings == 1)
                return page({change("1", "", "old.txt", false, "old.txt")}, "c1", false);
            return page({change("2", "", "new.txt", false, "new.txt")}, "p", true);
        }
        if (cursor == "c1")
            return page({}, "c1", false, true); // too old
        if (cursor == "p")
            return page({change("3", "", "more.txt", false, "more.txt")}, "c9", false).withDelay(300);
        return ScriptedReply::hanging();
    });
    RemoteFeed feed({}, {});
    QSignalSpy changed(&feed, &RemoteFeed::treeChanged);
    QSignalSpy reset(&feed, &RemoteFeed::resetRequested);
    feed.start();
    QVERIFY(changed.wait());
    QCOMPARE(sortedPaths(feed.tree()), QStringList({"old.txt"}));
    QVERIFY(reset.wait());
    // While the new listing pages in, the engine still sees the last whole tree.
    QVERIFY(waitUntil([&] { return m_server.requests().size() >= 4; }));
    QCOMPARE(sortedPaths(feed.tree()), QStringList({"old.txt"}));
    QVERIFY(changed.wait());
    QCOMPARE(sortedPaths(feed.tree()), QStringList({"more.txt", "new.txt"}));
    QCOMPARE(feed.cursor(), QString("c9"));
    feed.stop();
}

void TestSyncRemoteFeed::failuresAreRetriedWithGrowingPauses()
{
    // Requests of feeds from earlier cases may still arrive: only this folder's count.
    QList<qint64> times;
    m_server.on("GET", "/api/sync/changes", [&times, this](const RecordedRequest &r) {
        if (!r.target.contains("folder_id=f3"))
            return ScriptedReply::hanging();
        times << m_server.elapsedMs();
        switch (times.size()) {
        case 1:
            return ScriptedReply::json(QJsonObject{{"success", false}, {"message", "服务暂不可用"}}, 503);
        case 2:
            return ScriptedReply::text(200, "not json");
        case 3:
            return ScriptedReply::success(QJsonObject{{"changes", "nonsense"}});
        case 4:
            return page({change("1", "f3", "a", false, "a")}, "c1", false);
        default:
            return ScriptedReply::hanging();
        }
    });
    RemoteFeed feed("f3", {});
    feed.setRetryDelays(40, 100);
    QSignalSpy failed(&feed, &RemoteFeed::failed);
    QSignalSpy recovered(&feed, &RemoteFeed::recovered);
    QSignalSpy changed(&feed, &RemoteFeed::treeChanged);
    QList<int> delays;
    connect(&feed, &RemoteFeed::failed, this, [&] { delays << feed.retryDelayMs(); });
    feed.start();
    QVERIFY(changed.wait(5000));
    QCOMPARE(failed.size(), 3);
    QCOMPARE(failed[0][0].toString(), QString("服务暂不可用"));
    QCOMPARE(failed[2][0].toString(), QString("服务器返回的变更数据无法识别"));
    QCOMPARE(delays, QList<int>({40, 80, 100}));
    QCOMPARE(recovered.size(), 1);
    QCOMPARE(feed.retryDelayMs(), 0);
    // Each failure waited its pause before the next request.
    QVERIFY(times.size() >= 4);
    for (int i = 1; i < 4; ++i)
        QVERIFY2(times[i] - times[i - 1] >= delays[i - 1] - 5, qPrintable(QString::number(times[i] - times[i - 1])));
    feed.stop();
}

void TestSyncRemoteFeed::stoppedFeedIgnoresTheAnswerInFlight()
{
    int mine = 0;
    m_server.on("GET", "/api/sync/changes", [&mine](const RecordedRequest &r) {
        if (!r.target.contains("folder_id=f4"))
            return ScriptedReply::hanging();
        ++mine;
        return page({change("1", "f4", "a", false, "a")}, "c1", false).withDelay(200);
    });
    RemoteFeed feed("f4", {});
    QSignalSpy changed(&feed, &RemoteFeed::treeChanged);
    feed.start();
    QVERIFY(waitUntil([&] { return mine == 1; }));
    feed.stop();
    QVERIFY(!changed.wait(600));
    QCOMPARE(mine, 1);
    QVERIFY(!feed.isRunning());
    QVERIFY(!feed.isComplete());
}

void TestSyncRemoteFeed::renamedFolderCarriesItsChildrenInTheTree()
{
    RemoteTree tree("100");
    tree.apply({parsed(change("1", "100", "a", true, "a")), parsed(change("2", "1", "b", true, "a/b")),
                parsed(change("3", "2", "f.txt", false, "a/b/f.txt"))});
    QCOMPARE(sortedPaths(tree), QStringList({"a", "a/b", "a/b/f.txt"}));
    tree.apply(parsed(change("1", "100", "z", true, "z")));
    tree.apply(parsed(change("2", "100", "top", true, "top"))); // moved up and renamed
    QCOMPARE(sortedPaths(tree), QStringList({"top", "top/f.txt", "z"}));
    QCOMPARE(tree.byPath()["top/f.txt"].id, QString("3"));
    // The synced folder itself never becomes an entry.
    tree.apply(parsed(change("100", "9", "root", true, "")));
    QCOMPARE(tree.size(), 3);
}

void TestSyncRemoteFeed::deletedFolderTakesWhatItHeld()
{
    RemoteTree tree;
    tree.apply({parsed(change("1", "", "a", true, "a")), parsed(change("2", "1", "b", true, "a/b")),
                parsed(change("3", "2", "f.txt", false, "a/b/f.txt")), parsed(change("4", "", "g", false, "g"))});
    // Moved out of the synced folder: the feed says deleted, for the folder alone.
    tree.apply(parsed(change("1", "", "a", true, "a", true)));
    QCOMPARE(sortedPaths(tree), QStringList({"g"}));
    QCOMPARE(tree.size(), 1);
}

void TestSyncRemoteFeed::unsafeNamesNeverBecomePaths()
{
    RemoteTree tree;
    tree.apply({parsed(change("1", "", "..", true, "..")), parsed(change("2", "1", "x", false, "../x")),
                parsed(change("3", "", "ok", false, "ok")), parsed(change("4", "", "", false, "")),
                parsed(change("5", "77", "orphan", false, "../../etc/orphan")),
                parsed(change("6", "77", "lost", false, "kept/lost"))});
    // An entry whose parent the feed has not described yet keeps the feed's own path, if safe.
    QCOMPARE(sortedPaths(tree), QStringList({"kept/lost", "ok"}));
    QVERIFY(!RemoteChange::fromJson(QJsonObject{{"name", "no id"}}, *std::make_unique<RemoteChange>()));
}

void TestSyncRemoteFeed::quietLongPollIsNotTakenForALostConnection()
{
    // The server holds a poll for the whole wait when nothing changes; the request's time-out
    // must outlast it, whatever the usual time-out of JSON requests is.
    m_server.on("GET", "/api/sync/changes", [](const RecordedRequest &r) {
        if (!r.target.contains("folder_id=f6"))
            return ScriptedReply::hanging();
        if (cursorOf(r) == "0")
            return page({change("1", "f6", "a", false, "a")}, "c1", false);
        if (cursorOf(r) == "c1")
            return page({change("2", "f6", "b", false, "b")}, "c2", false).withDelay(700);
        return ScriptedReply::hanging();
    });
    HttpClient::instance()->setJsonTimeoutMs(300);
    RemoteFeed feed("f6", {});
    feed.setWaitSeconds(1);
    QSignalSpy failed(&feed, &RemoteFeed::failed);
    feed.start();
    const bool arrived = waitUntil([&] { return feed.tree().byPath().contains("b"); }, 5000);
    HttpClient::instance()->setJsonTimeoutMs(HttpClient::DefaultJsonTimeoutMs);
    QVERIFY(arrived);
    QCOMPARE(failed.size(), 0);
    feed.stop();
    // The product's poll: about 25 s at the server, which allows at most 25.
    QVERIFY(RemoteFeed("x", {}).changesPath("c", true).contains("&wait=25"));
}

void TestSyncRemoteFeed::resumedFeedAsksOnlyForWhatChangedSinceItsCursor()
{
    m_server.on("GET", "/api/sync/changes", [](const RecordedRequest &r) {
        if (!r.target.contains("folder_id=f7"))
            return ScriptedReply::hanging();
        if (cursorOf(r) == "c40")
            return page(
                {change("2", "f7", "new.txt", false, "new.txt"), change("1", "f7", "old.txt", false, "old.txt", true)},
                "c41", true);
        if (cursorOf(r) == "c41")
            return page({change("3", "f7", "later.txt", false, "later.txt")}, "c42", false);
        return ScriptedReply::hanging();
    });
    RemoteTree kept("f7");
    kept.apply(parsed(change("1", "f7", "old.txt", false, "old.txt")));
    kept.apply(parsed(change("5", "f7", "keep", true, "keep")));
    RemoteFeed feed("f7", {});
    QSignalSpy changed(&feed, &RemoteFeed::treeChanged);
    QList<QStringList> removed;
    QStringList cursors;
    connect(&feed, &RemoteFeed::advanced, this,
            [&](const QList<RemoteChange> &, const QStringList &gone, const QString &at) {
                removed << gone;
                cursors << at;
            });
    feed.resume("c40", kept);
    QVERIFY(!feed.isComplete());
    QVERIFY(changed.wait());
    // Whole only once every change since the cursor is in, and reported once.
    QCOMPARE(changed.size(), 1);
    QVERIFY(feed.isComplete());
    QCOMPARE(sortedPaths(feed.tree()), QStringList({"keep", "later.txt", "new.txt"}));
    QCOMPARE(feed.listings(), 0);
    QCOMPARE(cursors, QStringList({"c41", "c42"}));
    QCOMPARE(removed.first(), QStringList({"1"}));
    QVERIFY(m_server.waitForRequests(3));
    QStringList asked;
    for (const RecordedRequest &r : m_server.requests()) {
        if (r.target.contains("folder_id=f7"))
            asked << cursorOf(r);
    }
    QVERIFY(!asked.contains("0"));
    feed.stop();
}

void TestSyncRemoteFeed::resumedFeedWithTooOldCursorListsAgain()
{
    m_server.on("GET", "/api/sync/changes", [](const RecordedRequest &r) {
        if (!r.target.contains("folder_id=f8"))
            return ScriptedReply::hanging();
        if (cursorOf(r) == "c3")
            return page({}, "c3", false, true);
        if (cursorOf(r) == "0")
            return page({change("9", "f8", "fresh.txt", false, "fresh.txt")}, "c77", false);
        return ScriptedReply::hanging();
    });
    RemoteTree kept("f8");
    kept.apply(parsed(change("1", "f8", "stale.txt", false, "stale.txt")));
    RemoteFeed feed("f8", {});
    QSignalSpy listed(&feed, &RemoteFeed::listed);
    QSignalSpy reset(&feed, &RemoteFeed::resetRequested);
    feed.resume("c3", kept);
    QVERIFY(listed.wait());
    QCOMPARE(reset.size(), 1);
    QCOMPARE(feed.listings(), 1);
    QCOMPARE(sortedPaths(feed.tree()), QStringList({"fresh.txt"}));
    QCOMPARE(feed.cursor(), QString("c77"));
    feed.stop();
}

void TestSyncRemoteFeed::catchUpDropsTheHeldPollAndAsksAtOnce()
{
    m_server.on("GET", "/api/sync/changes", [](const RecordedRequest &r) {
        if (!r.target.contains("folder_id=f9"))
            return ScriptedReply::hanging();
        if (cursorOf(r) == "0")
            return page({change("1", "f9", "a.txt", false, "a.txt")}, "c1", false);
        // What the engine itself just uploaded: the held poll would bring it only at the next change.
        if (cursorOf(r) == "c1" && r.target.contains("wait=0"))
            return page({change("2", "f9", "mine.txt", false, "mine.txt")}, "c2", false);
        return ScriptedReply::hanging();
    });
    const auto asked = [this](const QString &cursor, bool held) {
        for (const RecordedRequest &r : m_server.requests()) {
            if (r.target.contains("folder_id=f9") && cursorOf(r) == cursor &&
                r.target.contains(held ? "wait=25" : "wait=0"))
                return true;
        }
        return false;
    };
    RemoteFeed feed("f9", {});
    QSignalSpy listed(&feed, &RemoteFeed::listed);
    feed.start();
    QVERIFY(listed.wait());
    QVERIFY(waitUntil([&] { return asked("c1", true); }));

    QSignalSpy caught(&feed, &RemoteFeed::caughtUp);
    QSignalSpy failed(&feed, &RemoteFeed::failed);
    feed.catchUp();
    QVERIFY(feed.isCatchingUp());
    QVERIFY(caught.wait(5000));
    QCOMPARE(caught.size(), 1);
    QVERIFY(feed.tree().byPath().contains("mine.txt"));
    QVERIFY(!feed.isCatchingUp());
    // The dropped poll is no failure, and the feed waits at the server again from the new cursor.
    QCOMPARE(failed.size(), 0);
    QVERIFY(waitUntil([&] { return asked("c2", true); }));
    feed.stop();
}

QTEST_GUILESS_MAIN(TestSyncRemoteFeed)
#include "tst_syncremotefeed.moc"
