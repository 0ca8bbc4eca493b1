// The sync engine coming back from interruptions and the rules the first end-to-end test does
// not reach: a restart continues from the journal's cursor, a server stopped in the middle of a
// round, a folder of 1,000 files renamed without a transfer, a delete against a change, links
// that are never followed, renames in a team space, and conflicts listed for as long as their
// copies are there, across a restart. Two engines on two local folders, paired to the same folder
// of the reference server.
#include "eventwait.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "referenceserver.h"
#include "sync/remotefeed.h"
#include "sync/syncengine.h"
#include "synckit.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace SyncKit;

class TestSyncRecovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void restartedEngineContinuesFromItsCursor();
    void fileStillBeingWrittenDoesNotStartASecondPlanOverTheRunningOne();
    void serverStoppedMidRoundFinishesAfterItReturns();
    void thousandFilesMoveAsOneFolderRenameWithoutTransfer();
    void deletedOnOneSideChangedOnTheOtherKeepsTheChange();
    void symbolicLinksAreNeverFollowed();
    void teamPairRenamesAndMovesOnTheServer();
    void conflictStaysListedWhileItsCopyIsThere();

private:
    std::unique_ptr<SyncEngine> makeEngine(const QString &side, const QString &folderId = {},
                                           const QString &teamId = {});
    bool settled(int timeoutMs = 30000);
    QJsonArray serverFiles(const QString &parentId);
    QString serverIdOf(const QString &parentId, const QString &name);
    bool uploadOnServer(const QString &name, const QByteArray &content);
    // Both sides change name; B's version becomes B's conflict copy. Its path, empty on failure.
    QString makeConflictOnB(const QString &name);

    QTemporaryDir m_work;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_user;
    QString m_folderId;
    QString m_a;
    QString m_b;
    std::unique_ptr<SyncEngine> m_engineA;
    std::unique_ptr<SyncEngine> m_engineB;
};

void TestSyncRecovery::initTestCase()
{
    ReferenceServer::Options options;
    options.dataDir = m_work.filePath("server"); // kept across a stop, for the restart case
    QVERIFY(QDir().mkpath(options.dataDir));
    const QString problem =
        SyncKit::startSignedIn(m_work.path(), m_server, m_user, "sync_recovery", "13912340044", options);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    m_folderId = SyncKit::newFolder(*m_server, m_user, "恢复");
    QVERIFY(!m_folderId.isEmpty());
    m_a = m_work.filePath("A");
    m_b = m_work.filePath("B");
    QDir().mkpath(m_a);
    QDir().mkpath(m_b);
    m_engineA = makeEngine("A", m_folderId);
    m_engineB = makeEngine("B", m_folderId);
    QVERIFY(m_engineA->start());
    QVERIFY(m_engineB->start());
}

void TestSyncRecovery::cleanupTestCase()
{
    m_engineA.reset();
    m_engineB.reset();
}

std::unique_ptr<SyncEngine> TestSyncRecovery::makeEngine(const QString &side, const QString &folderId,
                                                         const QString &teamId)
{
    auto engine = std::make_unique<SyncEngine>(SyncEngine::Config{m_work.filePath(side), folderId, teamId, {}},
                                               m_work.filePath(side + ".db"));
    engine->setTimings(50, 300, 300);
    engine->feed()->setRetryDelays(100, 400);
    return engine;
}

bool TestSyncRecovery::settled(int timeoutMs)
{
    const int quietA = m_engineA->quietRounds();
    const int quietB = m_engineB->quietRounds();
    return waitUntil(
        [&] {
            return m_engineA->quietRounds() > quietA && m_engineB->quietRounds() > quietB &&
                   m_engineA->state() == SyncEngine::State::Idle && m_engineB->state() == SyncEngine::State::Idle &&
                   treeOf(m_a) == treeOf(m_b);
        },
        timeoutMs);
}

QJsonArray TestSyncRecovery::serverFiles(const QString &parentId)
{
    return m_server->get("/api/files?parent_id=" + parentId, m_user).dataArray();
}

QString TestSyncRecovery::serverIdOf(const QString &parentId, const QString &name)
{
    for (const QJsonValue &v : serverFiles(parentId)) {
        if (v["name"].toString() == name)
            return QString::number(v["id"].toInteger());
    }
    return {};
}

bool TestSyncRecovery::uploadOnServer(const QString &name, const QByteArray &content)
{
    return m_server
        ->multipart("/api/files/upload",
                    {{"parent_id", {}, {}, m_folderId.toUtf8()}, {"files", name.toUtf8(), "text/plain", content}},
                    m_user)
        .success();
}

void TestSyncRecovery::restartedEngineContinuesFromItsCursor()
{
    QVERIFY(writeSettled(m_a + "/first.txt", "first"));
    QVERIFY(settled());
    // A is gone (as when the program ends); meanwhile the server changes.
    m_engineA.reset();
    QVERIFY(uploadOnServer("while-away.txt", "arrived while A was away"));
    QVERIFY(waitUntil([&] { return QFile::exists(m_b + "/while-away.txt"); }));
    m_engineA = makeEngine("A", m_folderId);
    QVERIFY(m_engineA->start());
    QVERIFY(settled());
    QCOMPARE(treeOf(m_a).value("while-away.txt"), QByteArray("arrived while A was away"));
    // Only what changed since the kept cursor was asked for: no listing from the start.
    QCOMPARE(m_engineA->feed()->listings(), 0);
    QVERIFY(m_engineA->failures().isEmpty());
}

void TestSyncRecovery::fileStillBeingWrittenDoesNotStartASecondPlanOverTheRunningOne()
{
    // One round: uploads that take a while, and a file too fresh to send yet, which has the
    // engine look again once it may be stable, while the uploads still run.
    HttpClient::instance()->uploadLimiter().setRate(2LL * 1024 * 1024);
    m_engineA->pause();
    for (int i = 0; i < 12; ++i)
        QVERIFY(writeSettled(m_a + QStringLiteral("/slow/%1.bin").arg(i), QByteArray(256 * 1024, char('k' + i))));
    QVERIFY(writeFile(m_a + "/fresh.txt", "just written"));
    m_engineA->resume();
    const bool synced = settled(60000);
    HttpClient::instance()->uploadLimiter().setRate(0);
    QVERIFY(synced);
    QStringList names;
    for (const QJsonValue &v : serverFiles(serverIdOf(m_folderId, "slow")))
        names << v["name"].toString();
    // Each sent once: no second copy under "n (1).bin", and no round failed over it.
    QCOMPARE(names.size(), 12);
    QVERIFY2(names.filter(" (1)").isEmpty(), qPrintable(names.join(",")));
    QVERIFY(m_engineA->failures().isEmpty());
}

void TestSyncRecovery::serverStoppedMidRoundFinishesAfterItReturns()
{
    for (int i = 0; i < 40; ++i)
        QVERIFY(writeSettled(m_a + QStringLiteral("/batch/%1.txt").arg(i), QByteArray(2000 + i, 'a' + i % 26)));
    // Stopped once the round has begun to send.
    QVERIFY(waitUntil([&] {
        const QString batch = serverIdOf(m_folderId, "batch");
        return !batch.isEmpty() && !serverFiles(batch).isEmpty();
    }));
    QCOMPARE(m_server->stop(), 0);
    QVERIFY(waitUntil(
        [&] { return !m_engineA->failures().isEmpty() || m_engineA->state() != SyncEngine::State::Syncing; }));
    QVERIFY(m_server->start());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    QVERIFY(settled(60000));
    // Everything there once, nothing twice.
    const QJsonArray batch = serverFiles(serverIdOf(m_folderId, "batch"));
    QCOMPARE(batch.size(), 40);
    QCOMPARE(treeOf(m_b).value("batch/39.txt"), QByteArray(2039, 'a' + 39 % 26));
    QVERIFY(m_engineA->failures().isEmpty());
}

void TestSyncRecovery::thousandFilesMoveAsOneFolderRenameWithoutTransfer()
{
    for (int i = 0; i < 1000; ++i)
        QVERIFY(writeSettled(m_a + QStringLiteral("/many/%1.txt").arg(i), QByteArray::number(i)));
    QVERIFY(settled(240000));
    const QString manyId = serverIdOf(m_folderId, "many");
    QVERIFY(!manyId.isEmpty());
    QCOMPARE(serverFiles(manyId).size(), 1000);
    const QString someId = serverIdOf(manyId, "500.txt");
    const int tasksBefore = int(TransferManager::instance()->tasks().size());
    QVERIFY(QDir().rename(m_a + "/many", m_a + "/许多"));
    QVERIFY(settled(60000));
    QVERIFY(!QFileInfo::exists(m_b + "/many"));
    QCOMPARE(QDir(m_b + "/许多").entryList(QDir::Files).size(), 1000);
    QCOMPARE(serverIdOf(m_folderId, "许多"), manyId);
    QCOMPARE(serverIdOf(manyId, "500.txt"), someId);
    // Not one upload or download for the rename.
    QCOMPARE(int(TransferManager::instance()->tasks().size()), tasksBefore);
}

void TestSyncRecovery::deletedOnOneSideChangedOnTheOtherKeepsTheChange()
{
    QVERIFY(writeSettled(m_a + "/contested.txt", "base"));
    QVERIFY(settled());
    m_engineA->pause();
    m_engineB->pause();
    QVERIFY(QFile::remove(m_a + "/contested.txt"));
    QVERIFY(writeSettled(m_b + "/contested.txt", "B changed it"));
    m_engineA->resume();
    QVERIFY(waitUntil([&] { return serverIdOf(m_folderId, "contested.txt").isEmpty(); }));
    m_engineB->resume();
    QVERIFY(settled());
    QCOMPARE(treeOf(m_a).value("contested.txt"), QByteArray("B changed it"));
    QVERIFY(!serverIdOf(m_folderId, "contested.txt").isEmpty());
}

void TestSyncRecovery::symbolicLinksAreNeverFollowed()
{
    QVERIFY(writeSettled(m_work.filePath("outside/secret.txt"), "outside the pair"));
    QVERIFY(QFile::link(m_work.filePath("outside/secret.txt"), m_a + "/link.txt"));
    QVERIFY(QFile::link(m_work.filePath("outside"), m_a + "/linkdir"));
    QVERIFY(writeSettled(m_a + "/plain.txt", "plain"));
    QVERIFY(waitUntil([&] { return QFile::exists(m_b + "/plain.txt"); }));
    // One more round on each side, to see that the links give no work and no error.
    m_engineA->syncNow();
    m_engineB->syncNow();
    QVERIFY(settled());
    QVERIFY(m_engineA->failures().isEmpty());
    QVERIFY(serverIdOf(m_folderId, "link.txt").isEmpty());
    QVERIFY(serverIdOf(m_folderId, "linkdir").isEmpty());
    QVERIFY(!QFileInfo::exists(m_b + "/link.txt"));
    QVERIFY(!QFileInfo::exists(m_b + "/linkdir"));
    QFile::remove(m_a + "/link.txt");
    QFile::remove(m_a + "/linkdir");
}

void TestSyncRecovery::teamPairRenamesAndMovesOnTheServer()
{
    const auto team = m_server->postJson("/api/teams", {{"name", "同步团队"}}, m_user);
    QVERIFY2(team.success(), team.body.constData());
    const QString teamId = QString::number(team.dataObject().value("id").toInteger());
    const QString teamFiles = "/api/teams/" + teamId + "/files";
    QVERIFY(QDir().mkpath(m_work.filePath("T")));
    auto engine = makeEngine("T", {}, teamId);
    QVERIFY(engine->start());
    const auto idIn = [&](const QString &parent, const QString &name) {
        for (const QJsonValue &v : m_server->get(teamFiles + "?parent_id=" + parent, m_user).dataArray()) {
            if (v["name"].toString() == name)
                return QString::number(v["id"].toInteger());
        }
        return QString();
    };
    QVERIFY(writeSettled(m_work.filePath("T/计划.txt"), "plan"));
    QVERIFY(QDir().mkpath(m_work.filePath("T/存档")));
    QVERIFY(waitUntil([&] { return !idIn({}, "计划.txt").isEmpty() && !idIn({}, "存档").isEmpty(); }, 20000));
    const QString fileId = idIn({}, "计划.txt");
    const QString folderId = idIn({}, "存档");
    QVERIFY(waitUntil([&] { return engine->state() == SyncEngine::State::Idle && engine->failures().isEmpty(); }));
    QVERIFY(QFile::rename(m_work.filePath("T/计划.txt"), m_work.filePath("T/存档/定稿.txt")));
    QVERIFY2(waitUntil([&] { return idIn(folderId, "定稿.txt") == fileId; }, 20000),
             engine->failures().isEmpty() ? "" : qPrintable(engine->failures().first().error));
    QVERIFY(idIn({}, "计划.txt").isEmpty());
}

QString TestSyncRecovery::makeConflictOnB(const QString &name)
{
    if (!writeSettled(m_a + '/' + name, "base"))
        return {};
    // Both sides hold the base version, both engines at rest.
    const auto bothHaveBase = [&] {
        return m_engineA->state() == SyncEngine::State::Idle && m_engineB->state() == SyncEngine::State::Idle &&
               treeOf(m_a).value(name) == "base" && treeOf(m_b).value(name) == "base";
    };
    if (!settled() || !waitUntil(bothHaveBase, 40000))
        return {};
    m_engineA->pause();
    m_engineB->pause();
    if (!writeSettled(m_a + '/' + name, "A's version") || !writeSettled(m_b + '/' + name, "B's version"))
        return {};
    m_engineA->resume();
    // B goes on once its feed shows A's version in place (and nothing half-done of the replace),
    // so that B's round sees both sides changed.
    const bool sent = waitUntil([&] {
        const QHash<QString, RemoteEntry> server = m_engineB->feed()->tree().byPath();
        const QString half = QFileInfo(name).completeBaseName() + " (1).txt";
        return m_engineA->state() == SyncEngine::State::Idle && m_engineA->failures().isEmpty() &&
               server.value(name).size == 11 && !server.contains(half);
    });
    m_engineB->resume();
    if (!sent || !settled())
        return {};
    const QString stem = QFileInfo(name).completeBaseName();
    for (const QString &entry : QDir(m_b).entryList(QDir::Files)) {
        if (entry.startsWith(stem + QStringLiteral(" (冲突副本 ")))
            return entry;
    }
    return {};
}

void TestSyncRecovery::conflictStaysListedWhileItsCopyIsThere()
{
    const QString first = makeConflictOnB("议程.txt");
    QVERIFY(!first.isEmpty());
    QCOMPARE(m_engineB->conflicts(), QStringList{first});

    // Listed still after a restart, from the pair's own record, and after a round with other work.
    m_engineB.reset();
    m_engineB = makeEngine("B", m_folderId);
    QVERIFY(m_engineB->start());
    QCOMPARE(m_engineB->conflicts(), QStringList{first});
    QVERIFY(writeSettled(m_a + "/other.txt", "other"));
    QVERIFY(settled());
    QCOMPARE(m_engineB->conflicts(), QStringList{first});

    // Renamed on the other side: gone from this one, and from the list.
    QVERIFY(QFile::rename(m_a + '/' + first, m_a + "/议程-B.txt"));
    QVERIFY(settled());
    QVERIFY(QFile::exists(m_b + "/议程-B.txt"));
    QVERIFY(waitUntil([&] { return m_engineB->conflicts().isEmpty(); }));

    // Deleted here by the user: dropped, and the pair is back to nothing to show.
    const QString second = makeConflictOnB("纪要.txt");
    QVERIFY(!second.isEmpty());
    QCOMPARE(m_engineB->conflicts(), QStringList{second});
    QVERIFY(QFile::remove(m_b + '/' + second));
    QVERIFY(settled());
    QVERIFY(waitUntil([&] { return m_engineB->conflicts().isEmpty(); }));
    QVERIFY(m_engineB->failures().isEmpty());
    QCOMPARE(m_engineB->state(), SyncEngine::State::Idle);
    // And so after the next start too.
    m_engineB.reset();
    m_engineB = makeEngine("B", m_folderId);
    QVERIFY(m_engineB->start());
    QVERIFY(m_engineB->conflicts().isEmpty());
    QVERIFY(waitUntil([&] { return m_engineB->quietRounds() > 0 && m_engineB->state() == SyncEngine::State::Idle; }));
    QVERIFY(m_engineB->conflicts().isEmpty());
}

QTEST_GUILESS_MAIN(TestSyncRecovery)
#include "tst_sync_recovery.moc"
