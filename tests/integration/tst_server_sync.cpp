// The change feed of folder sync on the reference server: the full picture from cursor 0 in
// pages, renames and moves as changes of the same id, the trash and removal as deletions,
// team spaces for members only, folder scoping, long polls (woken by other requests, timing
// out empty, capped per user), resets for cursors the feed can no longer continue from, and
// hostile parameters. And the one-step replacement of a synced file by its new version.
#include "archivekit.h"
#include "referenceserver.h"
#include "storage/database.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QtTest>

#include <memory>
#include <vector>

using Creds = ReferenceServer::Credentials;
using Reply = ReferenceServer::Reply;

namespace {

qint64 idOf(const QJsonValue &record)
{
    return qint64(record.toObject().value("id").toDouble());
}

// The last change of each id in a list of changes, by id.
QMap<qint64, QJsonObject> byId(const QJsonArray &changes)
{
    QMap<qint64, QJsonObject> out;
    for (const QJsonValue &v : changes)
        out.insert(idOf(v), v.toObject());
    return out;
}

// A long poll on a connection of its own (each manager keeps its own connections).
struct Poll
{
    std::unique_ptr<QNetworkAccessManager> network = std::make_unique<QNetworkAccessManager>();
    QNetworkReply *reply = nullptr;

    bool finished() const { return reply && reply->isFinished(); }
    QJsonObject data() const { return QJsonDocument::fromJson(reply->readAll()).object().value("data").toObject(); }
};

} // namespace

class TestServerSync final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fullPictureFromZeroComesInPagesInSeqOrder();
    void renameAndMoveKeepTheIdAndBumpTheSeq();
    void trashDeletesRestoreReturnsAndPurgeLeavesATombstone();
    void extractedEntriesAppearWhenShown();
    void teamFeedIsForMembersOnly();
    void folderScopeReportsWhatLeftItAsDeleted();
    void longPollWakesOnAChangeByAnotherRequest();
    void longPollTimesOutWithNothingNew();
    void waitingPollsAreCappedPerUser();
    void waitingPollsHoldNoWorker();
    void changeThroughAnotherServerOnTheSameDataWakesAPoll();
    void hostileParametersAreRefusedOrClamped();
    void replaceSwapsBothInOneFeedPageAndKeepsTheOldInTheTrash();
    void replaceRefusalsLeaveBothFilesAsTheyWere();
    void replaceInATeamIsForMembersAndRemovesTheOldForGood();
    void replaceRefusesANameTakenByAThirdEntry();
    // Moves the server clock: last.
    void cursorOlderThanDroppedTombstonesAsksForAReset();

private:
    Reply feed(const Creds &as, const QString &query);
    // Every change from `cursor` on, page by page (`limit` a page); the final cursor in *end.
    QJsonArray drain(const Creds &as, const QString &scope, const QString &cursor, int limit, QString *end,
                     int *pages = nullptr);
    QString head(const Creds &as, const QString &scope = QString());
    qint64 folder(const Creds &as, const QString &name, qint64 parent = 0);
    qint64 upload(const Creds &as, const QString &name, const QByteArray &content, qint64 parent = 0);
    std::unique_ptr<Poll> startPoll(const Creds &as, const QString &query);
    Reply replace(const Creds &as, const QJsonValue &oldId, const QJsonValue &newId, qint64 team = 0);

    std::unique_ptr<ReferenceServer> m_server;
};

void TestServerSync::initTestCase()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
}

Reply TestServerSync::feed(const Creds &as, const QString &query)
{
    return m_server->get("/api/sync/changes?" + query, as);
}

QJsonArray TestServerSync::drain(const Creds &as, const QString &scope, const QString &cursor, int limit, QString *end,
                                 int *pages)
{
    QJsonArray all;
    QString at = cursor;
    for (int page = 1; page <= 100; ++page) {
        const Reply reply = feed(as, QStringLiteral("cursor=%1&limit=%2%3").arg(at).arg(limit).arg(scope));
        if (!reply.success())
            return {};
        const QJsonObject data = reply.dataObject();
        for (const QJsonValue &v : data.value("changes").toArray())
            all.append(v);
        at = data.value("cursor").toString();
        if (pages)
            *pages = page;
        if (!data.value("has_more").toBool())
            break;
    }
    if (end)
        *end = at;
    return all;
}

QString TestServerSync::head(const Creds &as, const QString &scope)
{
    QString end;
    drain(as, scope, "0", 1000, &end);
    return end;
}

qint64 TestServerSync::folder(const Creds &as, const QString &name, qint64 parent)
{
    QJsonObject body{{"name", name}};
    if (parent > 0)
        body.insert("parent_id", parent);
    const Reply reply = m_server->postJson("/api/folders", body, as);
    return reply.success() ? idOf(reply.data()) : 0;
}

qint64 TestServerSync::upload(const Creds &as, const QString &name, const QByteArray &content, qint64 parent)
{
    QList<ReferenceServer::Part> parts;
    if (parent > 0)
        parts.append({"parent_id", {}, {}, QByteArray::number(parent)});
    parts.append({"files", name.toUtf8(), "application/octet-stream", content});
    const Reply reply = m_server->multipart("/api/files/upload", parts, as);
    return reply.success() ? idOf(reply.dataArray().first()) : 0;
}

std::unique_ptr<Poll> TestServerSync::startPoll(const Creds &as, const QString &query)
{
    auto poll = std::make_unique<Poll>();
    QNetworkRequest request(QUrl(m_server->baseUrl() + "/api/sync/changes?" + query));
    request.setRawHeader("X-User-Id", as.userId.toUtf8());
    request.setRawHeader("X-Auth-Token", as.token.toUtf8());
    request.setTransferTimeout(60000);
    poll->reply = poll->network->get(request);
    poll->reply->setParent(poll->network.get());
    return poll;
}

Reply TestServerSync::replace(const Creds &as, const QJsonValue &oldId, const QJsonValue &newId, qint64 team)
{
    QJsonObject body{{"old_id", oldId}, {"new_id", newId}};
    if (team > 0)
        body.insert("team_id", QString::number(team));
    return m_server->postJson("/api/sync/replace", body, as);
}

void TestServerSync::fullPictureFromZeroComesInPagesInSeqOrder()
{
    const Creds u = m_server->signIn("syncfull", "13900000201");
    QVERIFY(u.isValid());
    const qint64 docs = folder(u, "docs");
    const qint64 sub = folder(u, "sub", docs);
    const qint64 a = upload(u, "a.txt", "alpha");
    const qint64 b = upload(u, "b.txt", "beta", docs);
    const qint64 c = upload(u, "c.txt", "gamma", sub);
    QVERIFY(docs && sub && a && b && c);

    QString end;
    int pages = 0;
    const QJsonArray all = drain(u, QString(), "0", 2, &end, &pages);
    QCOMPARE(pages, 3);
    QCOMPARE(all.size(), 5);
    qint64 lastSeq = 0;
    for (const QJsonValue &v : all) {
        const qint64 seq = qint64(v.toObject().value("seq").toDouble());
        QVERIFY2(seq > lastSeq, "changes come in increasing seq order");
        lastSeq = seq;
        QCOMPARE(v.toObject().value("deleted").toBool(true), false);
    }
    const auto entries = byId(all);
    QCOMPARE(entries.value(docs).value("type").toString(), QStringLiteral("folder"));
    QVERIFY(entries.value(docs).value("parent_id").isNull());
    QCOMPARE(entries.value(sub).value("path").toString(), QStringLiteral("docs/sub"));
    QCOMPARE(qint64(entries.value(sub).value("parent_id").toDouble()), docs);
    const QJsonObject gamma = entries.value(c);
    QCOMPARE(gamma.value("path").toString(), QStringLiteral("docs/sub/c.txt"));
    QCOMPARE(gamma.value("size").toInt(), 5);
    QCOMPARE(gamma.value("md5").toString(),
             QString(QCryptographicHash::hash("gamma", QCryptographicHash::Md5).toHex()));
    QCOMPARE(gamma.value("sha256").toString(),
             QString(QCryptographicHash::hash("gamma", QCryptographicHash::Sha256).toHex()));
    QVERIFY(!gamma.value("updated_at").toString().isEmpty());
    QCOMPARE(entries.value(a).value("path").toString(), QStringLiteral("a.txt"));

    // Caught up: nothing more, and the cursor stays put.
    const Reply again = feed(u, "cursor=" + end);
    QVERIFY(again.success());
    QVERIFY(again.dataObject().value("changes").toArray().isEmpty());
    QCOMPARE(again.dataObject().value("cursor").toString(), end);
    QCOMPARE(again.dataObject().value("reset").toBool(true), false);
    // Another user's feed holds none of it.
    const Creds other = m_server->signIn("syncother", "13900000202");
    QVERIFY(drain(other, QString(), "0", 100, nullptr).isEmpty());
}

void TestServerSync::renameAndMoveKeepTheIdAndBumpTheSeq()
{
    const Creds u = m_server->signIn("syncmove", "13900000203");
    const qint64 x = folder(u, "x");
    const qint64 y = folder(u, "y");
    const qint64 f = upload(u, "f.txt", "f", x);
    QVERIFY(x && y && f);
    const QString start = head(u);
    const qint64 oldSeq = qint64(byId(drain(u, QString(), "0", 100, nullptr)).value(f).value("seq").toDouble());

    QVERIFY(m_server->putJson(QStringLiteral("/api/files/%1").arg(f), {{"name", "g.txt"}}, u).success());
    QString afterRename;
    QJsonArray changes = drain(u, QString(), start, 100, &afterRename);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(idOf(changes.at(0)), f);
    QCOMPARE(changes.at(0).toObject().value("name").toString(), QStringLiteral("g.txt"));
    QCOMPARE(changes.at(0).toObject().value("path").toString(), QStringLiteral("x/g.txt"));
    QVERIFY(qint64(changes.at(0).toObject().value("seq").toDouble()) > oldSeq);

    // A moved folder comes with what it holds, at their new paths.
    QVERIFY(m_server->putJson(QStringLiteral("/api/files/%1/move").arg(x), {{"parent_id", y}}, u).success());
    QString afterMove;
    const auto moved = byId(drain(u, QString(), afterRename, 100, &afterMove));
    QCOMPARE(moved.size(), 2);
    QCOMPARE(qint64(moved.value(x).value("parent_id").toDouble()), y);
    QCOMPARE(moved.value(x).value("path").toString(), QStringLiteral("y/x"));
    QCOMPARE(moved.value(f).value("path").toString(), QStringLiteral("y/x/g.txt"));

    // A renamed folder alone changes; later changes below it carry the new path.
    QVERIFY(m_server->putJson(QStringLiteral("/api/files/%1").arg(y), {{"name", "z"}}, u).success());
    QString afterFolderRename;
    changes = drain(u, QString(), afterMove, 100, &afterFolderRename);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(idOf(changes.at(0)), y);
    QCOMPARE(changes.at(0).toObject().value("path").toString(), QStringLiteral("z"));
    QVERIFY(m_server->putJson(QStringLiteral("/api/files/%1").arg(f), {{"name", "h.txt"}}, u).success());
    changes = drain(u, QString(), afterFolderRename, 100, nullptr);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes.at(0).toObject().value("path").toString(), QStringLiteral("z/x/h.txt"));
}

void TestServerSync::trashDeletesRestoreReturnsAndPurgeLeavesATombstone()
{
    const Creds u = m_server->signIn("synctrash", "13900000204");
    const qint64 t = folder(u, "t");
    const qint64 inside = upload(u, "inside.txt", "i", t);
    QVERIFY(t && inside);
    const QString start = head(u);

    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(t), u).success());
    QString afterTrash;
    auto changes = byId(drain(u, QString(), start, 100, &afterTrash));
    QCOMPARE(changes.size(), 2);
    QVERIFY(changes.value(t).value("deleted").toBool());
    QVERIFY(changes.value(inside).value("deleted").toBool());
    QCOMPARE(changes.value(inside).value("path").toString(), QStringLiteral("t/inside.txt"));

    QVERIFY(m_server->request("PUT", QStringLiteral("/api/files/%1/restore").arg(t), u).success());
    QString afterRestore;
    changes = byId(drain(u, QString(), afterTrash, 100, &afterRestore));
    QCOMPARE(changes.size(), 2);
    QCOMPARE(changes.value(t).value("deleted").toBool(true), false);
    QCOMPARE(changes.value(inside).value("deleted").toBool(true), false);
    QCOMPARE(changes.value(inside).value("path").toString(), QStringLiteral("t/inside.txt"));

    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(t), u).success());
    const QString beforePurge = head(u);
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1/permanent").arg(t), u).success());
    changes = byId(drain(u, QString(), beforePurge, 100, nullptr));
    QCOMPARE(changes.size(), 2);
    QVERIFY(changes.value(t).value("deleted").toBool());
    QCOMPARE(changes.value(inside).value("path").toString(), QStringLiteral("t/inside.txt"));
    QVERIFY(qint64(changes.value(inside).value("seq").toDouble()) > beforePurge.toLongLong());
    // The tombstones are part of the picture from 0 too.
    const auto picture = byId(drain(u, QString(), "0", 100, nullptr));
    QVERIFY(picture.value(t).value("deleted").toBool());
    QVERIFY(picture.value(inside).value("deleted").toBool());
}

void TestServerSync::extractedEntriesAppearWhenShown()
{
    const Creds u = m_server->signIn("syncextract", "13900000216");
    const qint64 archive = upload(u, "pack.zip", archiveOf({{"pack/one.txt", "1"}, {"pack/deep/two.txt", "22"}}));
    const qint64 target = folder(u, "target");
    QVERIFY(archive && target);
    const QString start = head(u);
    QVERIFY(m_server->postJson("/api/files/extract", {{"fileId", archive}, {"targetId", target}}, u).success());
    const QJsonArray changes = drain(u, QString(), start, 100, nullptr);
    QStringList paths;
    qint64 lastSeq = start.toLongLong();
    for (const QJsonValue &v : changes) {
        QCOMPARE(v.toObject().value("deleted").toBool(true), false);
        QVERIFY(qint64(v.toObject().value("seq").toDouble()) > lastSeq);
        lastSeq = qint64(v.toObject().value("seq").toDouble());
        paths.append(v.toObject().value("path").toString());
    }
    // Folders before what they hold.
    QCOMPARE(paths,
             QStringList({"target/pack", "target/pack/one.txt", "target/pack/deep", "target/pack/deep/two.txt"}));
}

void TestServerSync::teamFeedIsForMembersOnly()
{
    const Creds owner = m_server->signIn("syncteamowner", "13900000205");
    const Creds outsider = m_server->signIn("syncoutsider", "13900000206");
    const Reply created = m_server->postJson("/api/teams", {{"name", "同步组"}}, owner);
    QVERIFY(created.success());
    const qint64 team = idOf(created.data());
    const QString scope = QStringLiteral("&team_id=%1").arg(team);

    const Reply made = m_server->postJson(QStringLiteral("/api/teams/%1/folders").arg(team), {{"name", "共享"}}, owner);
    QVERIFY(made.success());
    const qint64 shared = idOf(made.data());
    QString end;
    auto changes = byId(drain(owner, scope, "0", 100, &end));
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes.value(shared).value("path").toString(), QStringLiteral("共享"));
    QVERIFY(!byId(drain(owner, QString(), "0", 100, nullptr)).contains(shared));

    const Reply refused = feed(outsider, "cursor=0" + scope);
    QCOMPARE(refused.status, 404);
    QVERIFY(!refused.message().isEmpty());

    // Team deletions are final: a tombstone at once.
    QVERIFY(m_server->del(QStringLiteral("/api/teams/%1/files/%2").arg(team).arg(shared), owner).success());
    changes = byId(drain(owner, scope, end, 100, nullptr));
    QCOMPARE(changes.size(), 1);
    QVERIFY(changes.value(shared).value("deleted").toBool());
}

void TestServerSync::folderScopeReportsWhatLeftItAsDeleted()
{
    const Creds u = m_server->signIn("syncscope", "13900000207");
    const qint64 synced = folder(u, "synced");
    const qint64 outside = folder(u, "outside");
    const qint64 in = upload(u, "in.txt", "in", synced);
    const qint64 out = upload(u, "out.txt", "out", outside);
    QVERIFY(synced && outside && in && out);
    const QString scope = QStringLiteral("&folder_id=%1").arg(synced);

    QString end;
    auto changes = byId(drain(u, scope, "0", 100, &end));
    QCOMPARE(changes.keys(), QList<qint64>{in});
    QCOMPARE(changes.value(in).value("path").toString(), QStringLiteral("in.txt"));

    // Moved out: deleted for this folder. A folder moved in brings what it holds.
    QVERIFY(m_server->putJson(QStringLiteral("/api/files/%1/move").arg(in), {{"parent_id", outside}}, u).success());
    QVERIFY(m_server->putJson(QStringLiteral("/api/files/%1/move").arg(outside), {{"parent_id", synced}}, u).success());
    changes = byId(drain(u, scope, end, 100, nullptr));
    QCOMPARE(changes.size(), 3);
    QVERIFY(!changes.contains(synced));
    QCOMPARE(changes.value(outside).value("path").toString(), QStringLiteral("outside"));
    QCOMPARE(changes.value(out).value("path").toString(), QStringLiteral("outside/out.txt"));
    QCOMPARE(changes.value(out).value("deleted").toBool(true), false);
    // `in` moved out first, then came back inside `outside`: its last change is the later one.
    QCOMPARE(changes.value(in).value("path").toString(), QStringLiteral("outside/in.txt"));

    const qint64 elsewhere = folder(u, "elsewhere");
    const QString beforeLeaving = head(u, scope);
    QVERIFY(
        m_server->putJson(QStringLiteral("/api/files/%1/move").arg(outside), {{"parent_id", elsewhere}}, u).success());
    changes = byId(drain(u, scope, beforeLeaving, 100, nullptr));
    QVERIFY(changes.value(outside).value("deleted").toBool());
    QCOMPARE(changes.value(outside).value("path").toString(), QString());
    QVERIFY(changes.value(out).value("deleted").toBool());

    // Only a live folder of the caller's space can be synced.
    const Creds stranger = m_server->signIn("syncstranger", "13900000208");
    QCOMPARE(feed(stranger, "cursor=0" + scope).status, 404);
    QCOMPARE(feed(u, QStringLiteral("cursor=0&folder_id=%1").arg(out)).status, 404);
    QCOMPARE(feed(u, "cursor=0&folder_id=abc").status, 404);
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(elsewhere), u).success());
    const Reply trashed = feed(u, QStringLiteral("cursor=0&folder_id=%1").arg(elsewhere));
    QCOMPARE(trashed.status, 404);
    QVERIFY(!trashed.message().isEmpty());
}

void TestServerSync::longPollWakesOnAChangeByAnotherRequest()
{
    const Creds u = m_server->signIn("syncwake", "13900000209");
    const QString start = head(u);
    const auto poll = startPoll(u, "wait=25&cursor=" + start);
    // Nothing yet: the poll holds (a change elsewhere does not answer it).
    const Creds other = m_server->signIn("syncwakeother", "13900000210");
    QVERIFY(folder(other, "not-mine"));
    QVERIFY(!poll->finished());

    const qint64 made = folder(u, "woken");
    QVERIFY(made);
    // Well before the 25 s of the wait.
    QTRY_VERIFY_WITH_TIMEOUT(poll->finished(), 10000);
    QCOMPARE(poll->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    const QJsonObject data = poll->data();
    QCOMPARE(byId(data.value("changes").toArray()).keys(), QList<qint64>{made});
    QVERIFY(data.value("cursor").toString().toLongLong() > start.toLongLong());
}

void TestServerSync::longPollTimesOutWithNothingNew()
{
    const Creds u = m_server->signIn("synctimeout", "13900000211");
    QVERIFY(folder(u, "only"));
    const QString start = head(u);
    const auto poll = startPoll(u, "wait=1&cursor=" + start);
    QTRY_VERIFY_WITH_TIMEOUT(poll->finished(), 10000);
    QCOMPARE(poll->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    const QJsonObject data = poll->data();
    QVERIFY(data.value("changes").toArray().isEmpty());
    QCOMPARE(data.value("has_more").toBool(true), false);
    QVERIFY(data.value("cursor").toString().toLongLong() >= start.toLongLong());
}

void TestServerSync::waitingPollsAreCappedPerUser()
{
    const Creds u = m_server->signIn("synccap", "13900000212");
    const QString start = head(u);
    std::vector<std::unique_ptr<Poll>> polls;
    for (int i = 0; i < 9; ++i)
        polls.push_back(startPoll(u, "wait=25&cursor=" + start));
    auto finishedCount = [&polls] {
        int n = 0;
        for (const auto &poll : polls)
            n += poll->finished() ? 1 : 0;
        return n;
    };
    // Eight wait; the one over the cap is answered at once, with nothing.
    QTRY_COMPARE_WITH_TIMEOUT(finishedCount(), 1, 10000);
    for (const auto &poll : polls) {
        if (poll->finished()) {
            QCOMPARE(poll->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
            QVERIFY(poll->data().value("changes").toArray().isEmpty());
        }
    }
    // Another account still gets its own wait.
    const Creds other = m_server->signIn("synccapother", "13900000213");
    const auto theirs = startPoll(other, "wait=25&cursor=" + head(other));

    QVERIFY(folder(u, "release"));
    QTRY_COMPARE_WITH_TIMEOUT(finishedCount(), 9, 10000);
    QVERIFY(!theirs->finished());
    QVERIFY(folder(other, "theirs"));
    QTRY_VERIFY_WITH_TIMEOUT(theirs->finished(), 10000);
    QCOMPARE(theirs->data().value("changes").toArray().size(), 1);
}

void TestServerSync::waitingPollsHoldNoWorker()
{
    // More waiting polls than the server has request workers (16).
    std::vector<Creds> users;
    std::vector<std::unique_ptr<Poll>> polls;
    for (int u = 0; u < 3; ++u) {
        users.push_back(m_server->signIn(QStringLiteral("syncidle%1").arg(u), QStringLiteral("1390000022%1").arg(u)));
        QVERIFY(users.back().isValid());
        const QString start = head(users.back());
        for (int i = 0; i < 7; ++i)
            polls.push_back(startPoll(users.back(), "wait=25&cursor=" + start));
    }
    auto finishedCount = [&polls] {
        int n = 0;
        for (const auto &poll : polls)
            n += poll->finished() ? 1 : 0;
        return n;
    };
    // Other requests are served while they all wait.
    for (int i = 0; i < 3; ++i)
        QVERIFY(m_server->get("/api/profile", users.front()).success());
    QCOMPARE(finishedCount(), 0);
    QVERIFY(folder(users.front(), "meanwhile"));
    QTRY_COMPARE_WITH_TIMEOUT(finishedCount(), 7, 10000);
    for (size_t u = 1; u < users.size(); ++u)
        QVERIFY(folder(users[u], "release"));
    QTRY_COMPARE_WITH_TIMEOUT(finishedCount(), 21, 10000);
}

void TestServerSync::changeThroughAnotherServerOnTheSameDataWakesAPoll()
{
    const Creds u = m_server->signIn("syncpeer", "13900000217");
    ReferenceServer::Options options;
    options.dataDir = m_server->dataDir();
    ReferenceServer peer(options);
    QVERIFY2(peer.start(), qPrintable(peer.errorString()));

    const auto poll = startPoll(u, "wait=25&cursor=" + head(u));
    QVERIFY(m_server->get("/api/profile", u).success()); // the poll is in
    // The peer shares the database, not the process: only the periodic look can see this.
    const Reply made = peer.postJson("/api/folders", {{"name", "from-peer"}}, u);
    QVERIFY(made.success());
    QTRY_VERIFY_WITH_TIMEOUT(poll->finished(), 10000);
    QCOMPARE(byId(poll->data().value("changes").toArray()).keys(), QList<qint64>{idOf(made.data())});
}

void TestServerSync::hostileParametersAreRefusedOrClamped()
{
    const Creds u = m_server->signIn("synchostile", "13900000214");
    QVERIFY(folder(u, "one") && folder(u, "two"));
    for (const char *query : {"cursor=-1", "cursor=abc", "cursor=99999999999999999999999", "cursor=1e5", "cursor=%201",
                              "limit=-5", "limit=ten", "wait=-1", "wait=0x10"}) {
        const Reply reply = feed(u, QString::fromLatin1(query));
        QVERIFY2(reply.status == 400, query);
        QVERIFY(!reply.message().isEmpty());
    }
    // Out of range but numeric: brought within bounds.
    Reply reply = feed(u, "cursor=0&limit=0");
    QVERIFY(reply.success());
    QCOMPARE(reply.dataObject().value("changes").toArray().size(), 1);
    QVERIFY(reply.dataObject().value("has_more").toBool());
    reply = feed(u, "cursor=0&limit=99999999999999999999999&wait=99999999999999999999");
    QVERIFY(reply.success());
    QCOMPARE(reply.dataObject().value("changes").toArray().size(), 2);
    QCOMPARE(feed(u, "cursor=0&team_id=abc").status, 404);
    QCOMPARE(feed(u, "cursor=0&team_id=-3").status, 404);
    QCOMPARE(m_server->get("/api/sync/changes?cursor=0").status, 401);
    // A cursor this server never gave out starts over.
    reply = feed(u, "cursor=999999999999999999");
    QVERIFY(reply.success());
    QVERIFY(reply.dataObject().value("reset").toBool());
    QCOMPARE(reply.dataObject().value("cursor").toString(), QStringLiteral("0"));
}

void TestServerSync::replaceSwapsBothInOneFeedPageAndKeepsTheOldInTheTrash()
{
    const Creds u = m_server->signIn("syncreplace", "13900000230");
    const qint64 x = folder(u, "x");
    const qint64 old = upload(u, "r.txt", "old version", x);
    const qint64 fresh = upload(u, "r.txt", "new version!", x);
    QVERIFY(x && old && fresh);
    const QString start = head(u);
    const auto poll = startPoll(u, "wait=25&limit=1000&cursor=" + start);

    const Reply swapped = replace(u, QString::number(old), fresh);
    QVERIFY2(swapped.success(), swapped.body.constData());
    QCOMPARE(idOf(swapped.data()), fresh);
    QCOMPARE(swapped.dataObject().value("name").toString(), QStringLiteral("r.txt"));
    QCOMPARE(qint64(swapped.dataObject().value("parent_id").toDouble()), x);

    // The waiting poll wakes with both changes at once: the old one gone, then the new one named.
    QTRY_VERIFY_WITH_TIMEOUT(poll->finished(), 15000);
    const QJsonArray woken = poll->data().value("changes").toArray();
    QCOMPARE(woken.size(), 2);
    QCOMPARE(idOf(woken.at(0)), old);
    QVERIFY(woken.at(0).toObject().value("deleted").toBool());
    QCOMPARE(idOf(woken.at(1)), fresh);
    QCOMPARE(woken.at(1).toObject().value("path").toString(), QStringLiteral("x/r.txt"));
    QCOMPARE(woken.at(1).toObject().value("deleted").toBool(true), false);
    const QJsonArray listing = m_server->get(QStringLiteral("/api/files?parent_id=%1").arg(x), u).dataArray();
    QCOMPARE(listing.size(), 1);
    QCOMPARE(idOf(listing.at(0)), fresh);

    // The old version is in the trash and comes back beside the new one.
    const QJsonArray trash = m_server->get("/api/files/trash", u).dataArray();
    QCOMPARE(trash.size(), 1);
    QCOMPARE(idOf(trash.at(0)), old);
    QVERIFY(m_server->request("PUT", QStringLiteral("/api/files/%1/restore").arg(old), u).success());
    const auto restored = byId(m_server->get(QStringLiteral("/api/files?parent_id=%1").arg(x), u).dataArray());
    QCOMPARE(restored.size(), 2);
    QCOMPARE(restored.value(old).value("name").toString(), QStringLiteral("r (1).txt"));
    QCOMPARE(restored.value(old).value("size").toInt(), 11);
    QCOMPARE(restored.value(fresh).value("name").toString(), QStringLiteral("r.txt"));
}

void TestServerSync::replaceRefusalsLeaveBothFilesAsTheyWere()
{
    const Creds u = m_server->signIn("syncreplaceno", "13900000231");
    const Creds other = m_server->signIn("syncreplaceother", "13900000232");
    const qint64 old = upload(u, "a.txt", "a");
    const qint64 fresh = upload(u, "a.txt", "aa");
    const qint64 dir = folder(u, "d");
    const qint64 binned = upload(u, "b.txt", "b");
    const qint64 theirs = upload(other, "a.txt", "theirs");
    QVERIFY(old && fresh && dir && binned && theirs);
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(binned), u).success());
    const QString start = head(u);
    const QString theirStart = head(other);

    const QString oldGone = QStringLiteral("要替换的文件不存在或已被删除");
    const QString newGone = QStringLiteral("新版本的文件不存在或已被删除");
    const QString notFiles = QStringLiteral("只能用另一个文件替换文件");
    struct Case
    {
        const char *what;
        Creds as;
        QJsonValue oldId;
        QJsonValue newId;
        int status;
        QString message;
    };
    const QList<Case> cases = {
        {"old in the trash", u, binned, fresh, 404, oldGone},
        {"old never was", u, 999999, fresh, 404, oldGone},
        {"old not an id", u, "x1", fresh, 404, oldGone},
        {"new gone", u, old, binned, 404, newGone},
        {"new missing", u, old, QJsonValue(), 404, newGone},
        {"old a folder", u, dir, fresh, 400, notFiles},
        {"new a folder", u, old, dir, 400, notFiles},
        {"the same file", u, old, old, 400, notFiles},
        {"old of another user", u, theirs, fresh, 404, oldGone},
        {"new of another user", u, old, theirs, 404, newGone},
        {"their file over mine", other, old, theirs, 404, oldGone},
        {"mine by another user", other, theirs, fresh, 404, newGone},
    };
    for (const Case &c : cases) {
        const Reply refused = replace(c.as, c.oldId, c.newId);
        QVERIFY2(refused.status == c.status, c.what);
        QVERIFY2(refused.message() == c.message, qPrintable(QString::fromUtf8(c.what) + ": " + refused.message()));
    }
    const Reply noBody = m_server->request("POST", "/api/sync/replace", u, "[]", "application/json");
    QCOMPARE(noBody.status, 400);
    QVERIFY(!noBody.message().isEmpty());

    // Nothing changed for either user: no change in their feeds, every file where it was.
    QCOMPARE(drain(u, QString(), start, 100, nullptr).size(), 0);
    QCOMPARE(drain(other, QString(), theirStart, 100, nullptr).size(), 0);
    const auto mine = byId(m_server->get("/api/files", u).dataArray());
    QCOMPARE(mine.value(old).value("name").toString(), QStringLiteral("a.txt"));
    QCOMPARE(mine.value(fresh).value("name").toString(), QStringLiteral("a (1).txt"));
    QCOMPARE(m_server->get("/api/files/trash", u).dataArray().size(), 1);
    const auto theirFiles = byId(m_server->get("/api/files", other).dataArray());
    QCOMPARE(theirFiles.keys(), QList<qint64>{theirs});
    QCOMPARE(theirFiles.value(theirs).value("name").toString(), QStringLiteral("a.txt"));
}

void TestServerSync::replaceInATeamIsForMembersAndRemovesTheOldForGood()
{
    const Creds owner = m_server->signIn("syncreplaceteam", "13900000233");
    const Creds outsider = m_server->signIn("syncreplaceout", "13900000234");
    const Reply created = m_server->postJson("/api/teams", {{"name", "替换组"}}, owner);
    QVERIFY(created.success());
    const qint64 team = idOf(created.data());
    const auto teamUpload = [&](const QByteArray &content) {
        const Reply reply = m_server->multipart(QStringLiteral("/api/teams/%1/files/upload").arg(team),
                                                {{"files", "t.txt", "application/octet-stream", content}}, owner);
        return reply.success() ? idOf(reply.dataArray().first()) : 0;
    };
    const qint64 old = teamUpload("team old");
    const qint64 fresh = teamUpload("team new");
    const qint64 personal = upload(owner, "p.txt", "p");
    QVERIFY(old && fresh && personal);
    const QString scope = QStringLiteral("&team_id=%1").arg(team);
    const QString start = head(owner, scope);

    // Not a member: the team is not there. Nor are team files in the personal space, or the
    // owner's personal file in the team's.
    QCOMPARE(replace(outsider, old, fresh, team).status, 404);
    QCOMPARE(replace(outsider, old, fresh, 987654).message(), QStringLiteral("团队不存在或您不是该团队成员"));
    QCOMPARE(replace(owner, old, fresh).status, 404);
    QCOMPARE(replace(owner, personal, fresh, team).status, 404);
    QCOMPARE(drain(owner, scope, start, 100, nullptr).size(), 0);

    const Reply swapped = replace(owner, old, fresh, team);
    QVERIFY2(swapped.success(), swapped.body.constData());
    QCOMPARE(swapped.dataObject().value("name").toString(), QStringLiteral("t.txt"));
    // As a team delete: for good, a tombstone in the same page as the new name.
    const QJsonArray changes = drain(owner, scope, start, 1000, nullptr);
    QCOMPARE(changes.size(), 2);
    QVERIFY(changes.at(0).toObject().value("deleted").toBool());
    QCOMPARE(idOf(changes.at(0)), old);
    QCOMPARE(changes.at(1).toObject().value("path").toString(), QStringLiteral("t.txt"));
    const QJsonArray listing = m_server->get(QStringLiteral("/api/teams/%1/files").arg(team), owner).dataArray();
    QCOMPARE(listing.size(), 1);
    QCOMPARE(idOf(listing.at(0)), fresh);
}

void TestServerSync::replaceRefusesANameTakenByAThirdEntry()
{
    const Creds u = m_server->signIn("syncreplacethird", "13900000235");
    const qint64 old = upload(u, "c.txt", "c");
    const qint64 fresh = upload(u, "c.txt", "cc");
    QVERIFY(old && fresh);
    // No request makes two live entries of one name: a row written straight into the database
    // stands for a folder that holds such a pair already.
    QString error;
    tvr::server::Database db;
    const QString location =
        m_server->database().isEmpty() ? "sqlite:" + m_server->dataDir() + "/tolvar.db" : m_server->database();
    QVERIFY2(db.open(location, &error), qPrintable(error));
    QVERIFY(db.exec("INSERT INTO files(owner_id, parent_id, name, type, created_at, updated_at) "
                    "VALUES(?1, NULL, 'c.txt', 'file', '2026-01-01T00:00:00.000Z', '2026-01-01T00:00:00.000Z')",
                    {u.userId.toLongLong()}));
    db.close();
    const QString start = head(u);

    const Reply refused = replace(u, old, fresh);
    QCOMPARE(refused.status, 409);
    QCOMPARE(refused.message(), QStringLiteral("服务器上已有同名项目"));
    QCOMPARE(drain(u, QString(), start, 100, nullptr).size(), 0);
    QCOMPARE(m_server->get("/api/files/trash", u).dataArray().size(), 0);
    const auto files = byId(m_server->get("/api/files", u).dataArray());
    QCOMPARE(files.value(old).value("name").toString(), QStringLiteral("c.txt"));
    QCOMPARE(files.value(fresh).value("name").toString(), QStringLiteral("c (1).txt"));
}

void TestServerSync::cursorOlderThanDroppedTombstonesAsksForAReset()
{
    Creds u = m_server->signIn("syncreset", "13900000215");
    const qint64 gone = upload(u, "gone.txt", "g");
    QVERIFY(gone);
    const QString beforeDelete = head(u);
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(gone), u).success());
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1/permanent").arg(gone), u).success());
    const QString afterDelete = head(u);
    QVERIFY(byId(drain(u, QString(), beforeDelete, 100, nullptr)).value(gone).value("deleted").toBool());

    // Past the time tombstones are kept: the older cursor can no longer learn of the removal.
    QVERIFY(m_server->advanceClock(31LL * 24 * 3600, u));
    u = m_server->signIn("syncreset", "13900000215");
    QVERIFY(u.isValid());
    const Reply reset = feed(u, "cursor=" + beforeDelete);
    QVERIFY(reset.success());
    QVERIFY(reset.dataObject().value("reset").toBool());
    QVERIFY(reset.dataObject().value("changes").toArray().isEmpty());
    QCOMPARE(reset.dataObject().value("cursor").toString(), QStringLiteral("0"));
    QCOMPARE(reset.dataObject().value("has_more").toBool(true), false);
    // A cursor past the removal goes on, and the picture from 0 no longer holds the entry.
    const Reply current = feed(u, "cursor=" + afterDelete);
    QVERIFY(current.success());
    QCOMPARE(current.dataObject().value("reset").toBool(true), false);
    QVERIFY(!byId(drain(u, QString(), "0", 100, nullptr)).contains(gone));
}

QTEST_MAIN(TestServerSync)
#include "tst_server_sync.moc"
