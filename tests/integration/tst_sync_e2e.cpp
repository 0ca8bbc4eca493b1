// Two sync engines on two local folders, paired to the same folder of the reference server:
// what one side does reaches the other, moves stay moves, deletes go to a trash, conflicts keep
// both versions, and a round that would delete too much waits for the user.
#include "eventwait.h"
#include "net/session.h"
#include "referenceserver.h"
#include "sync/localscanner.h"
#include "sync/remotefeed.h"
#include "sync/remotetree.h"
#include "sync/syncengine.h"
#include "sync/syncjournal.h"
#include "synckit.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"
#include "transfer/transfertask.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace SyncKit;

namespace {

// Another file put in path's place under the same size and modification time, as an editor's
// atomic save that keeps the time or a copy with preserved times does.
bool replaceKeepingTime(const QString &path, const QByteArray &bytes)
{
    const QDateTime time = QFileInfo(path).fileTime(QFileDevice::FileModificationTime);
    const QString side = path + ".tmp"; // ignored, so never taken for a file of its own
    if (!writeFile(side, bytes))
        return false;
    {
        QFile f(side);
        if (!f.open(QIODevice::ReadWrite) || !f.setFileTime(time, QFileDevice::FileModificationTime))
            return false;
    }
    return std::rename(QFile::encodeName(side).constData(), QFile::encodeName(path).constData()) == 0;
}

} // namespace

class TestSyncE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void newFilesAndFoldersReachTheOtherFolder();
    void folderRenameIsOneMoveWithoutTransfer();
    void fileSavedInPlaceIsSentWithoutWaitingForTheRescan();
    void deletesGoToBothTrashes();
    void changedOnBothSidesKeepsBothVersions();
    void changedOnBothSidesKeepsBothWhenPlannedFromAnOlderServerView();
    void changedOnBothSidesKeepsBothWhenPlannedMidwayThroughAReplace();
    void crossingFolderMovesTakeTheServersPlacesWithoutTransfer();
    void fileReplacedUnderSameSizeAndTimeIsComparedByDigest();
    void massDeleteWaitsForConfirmation();

private:
    bool settled(int timeoutMs = 20000) { return m_engines.settled(timeoutMs); }
    // B, paused with its feed stopped, resumes and plans from the server as its feed last saw it;
    // once that round has run, the feed goes on and brings what the round asked it to catch up with.
    bool resumeBOnItsOlderView();
    // On both disks "stem.txt" holds A's version and one conflict copy holds B's.
    void checkBothVersionsKept(const QString &stem);
    QJsonArray serverFiles(const QString &parentId) { return SyncKit::serverFiles(*m_server, m_user, parentId); }
    QString serverIdOf(const QString &parentId, const QString &name)
    {
        return SyncKit::serverIdOf(*m_server, m_user, parentId, name);
    }

    QTemporaryDir m_work;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_user;
    QString m_folderId;
    QString m_a;
    QString m_b;
    TwoEngines m_engines;
    SyncEngine *m_engineA = nullptr;
    SyncEngine *m_engineB = nullptr;
};

bool TestSyncE2E::resumeBOnItsOlderView()
{
    RemoteFeed *feed = m_engineB->feed();
    const int rounds = m_engineB->rounds();
    m_engineB->resume();
    if (!waitUntil([&] { return m_engineB->rounds() > rounds && m_engineB->state() != SyncEngine::State::Syncing; }))
        return false;
    feed->resume(feed->cursor(), feed->tree());
    feed->catchUp();
    return true;
}

void TestSyncE2E::checkBothVersionsKept(const QString &stem)
{
    for (const QString &side : {m_a, m_b}) {
        const auto tree = treeOf(side);
        QCOMPARE(tree.value(stem + ".txt"), QByteArray("A's version"));
        const QStringList copies = QStringList(tree.keys()).filter(QRegularExpression("^" + stem + " \\("));
        QCOMPARE(copies.size(), 1);
        QVERIFY2(copies.first().startsWith(stem + " (冲突副本 "), qPrintable(copies.first()));
        QCOMPARE(tree.value(copies.first()), QByteArray("B's version, longer"));
    }
}

void TestSyncE2E::initTestCase()
{
    const QString problem = startSignedIn(m_work.path(), m_server, m_user, "e2e_sync", "13912340022");
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    m_folderId = newFolder(*m_server, m_user, "同步");
    QVERIFY(!m_folderId.isEmpty());

    QVERIFY(m_engines.start(m_work.path(), m_folderId));
    m_a = m_engines.folderA();
    m_b = m_engines.folderB();
    m_engineA = &m_engines.a();
    m_engineB = &m_engines.b();
}

void TestSyncE2E::cleanupTestCase()
{
    m_engines.stop();
}

void TestSyncE2E::newFilesAndFoldersReachTheOtherFolder()
{
    QVERIFY(writeSettled(m_a + "/docs/报告.txt", "from A"));
    QVERIFY(writeSettled(m_b + "/from-b.bin", QByteArray(100000, 'b')));
    QDir().mkpath(m_a + "/empty");
    QVERIFY(writeSettled(m_a + "/skip.part", "partial"));
    QVERIFY2(settled(),
             qPrintable(QStringList(treeOf(m_a).keys()).join(",") + " | " + QStringList(treeOf(m_b).keys()).join(",")));
    QCOMPARE(treeOf(m_b).value("docs/报告.txt"), QByteArray("from A"));
    // A round planned before the feed brought a side's own uploads took them for server deletes
    // and moved them to the trash (and then downloaded them again).
    QVERIFY(QDir(m_work.filePath("data/Trash/files")).isEmpty());
    QCOMPARE(treeOf(m_a).value("from-b.bin"), QByteArray(100000, 'b'));
    QVERIFY(treeOf(m_b).contains("empty"));
    QVERIFY(!serverIdOf(m_folderId, "docs").isEmpty());
    QVERIFY(serverIdOf(m_folderId, "skip.part").isEmpty());
    // Kept on disk where it was written, never sent.
    QVERIFY(!QFile::exists(m_b + "/skip.part"));
    QFile::remove(m_a + "/skip.part");
    QVERIFY(m_engineA->failures().isEmpty());
}

void TestSyncE2E::folderRenameIsOneMoveWithoutTransfer()
{
    for (int i = 0; i < 30; ++i)
        QVERIFY(writeSettled(m_a + QStringLiteral("/album/%1.jpg").arg(i), QByteArray::number(i)));
    QVERIFY(settled());
    const QString albumId = serverIdOf(m_folderId, "album");
    QVERIFY(!albumId.isEmpty());
    const QString firstId = serverIdOf(albumId, "0.jpg");
    const int tasksBefore = transferCount();
    QVERIFY(QDir().rename(m_a + "/album", m_a + "/相册"));
    QVERIFY(settled());
    QVERIFY(treeOf(m_b).contains("相册/29.jpg"));
    QVERIFY(!treeOf(m_b).contains("album"));
    // The same server folder and files, renamed: nothing went up or down.
    QCOMPARE(serverIdOf(m_folderId, "相册"), albumId);
    QCOMPARE(serverIdOf(albumId, "0.jpg"), firstId);
    QCOMPARE(transferCount(), tasksBefore);
}

void TestSyncE2E::fileSavedInPlaceIsSentWithoutWaitingForTheRescan()
{
    // A program appending to a file, or an editor rewriting it where it is, changes neither the
    // folder's names nor (by its own hand) the file's times: only the file's own writes say so.
    QVERIFY(writeSettled(m_a + "/log.txt", "one\n"));
    QVERIFY(writeSettled(m_a + "/deep/er/notes.txt", "draft"));
    QVERIFY(settled());
    const int roundsA = m_engineA->rounds();
    {
        QFile log(m_a + "/log.txt");
        QVERIFY(log.open(QIODevice::Append) && log.write("two\n") == 4);
        QFile notes(m_a + "/deep/er/notes.txt");
        QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("final text") == 10);
    }
    // Far inside the safety rescan's minutes.
    QVERIFY(waitUntil([&] {
        const auto tree = treeOf(m_b);
        return tree.value("log.txt") == "one\ntwo\n" && tree.value("deep/er/notes.txt") == "final text";
    }));
    QVERIFY(m_engineA->rounds() > roundsA);
}

void TestSyncE2E::deletesGoToBothTrashes()
{
    QVERIFY(writeSettled(m_a + "/old.txt", "old"));
    QVERIFY(settled());
    QVERIFY(QFile::exists(m_b + "/old.txt"));
    const QString id = serverIdOf(m_folderId, "old.txt");
    QVERIFY(QFile::remove(m_a + "/old.txt"));
    QVERIFY(settled());
    QVERIFY(!QFile::exists(m_b + "/old.txt"));
    // On the server: in the trash, restorable.
    bool inTrash = false;
    for (const QJsonValue &v : m_server->get("/api/files/trash", m_user).dataArray())
        inTrash = inTrash || QString::number(v["id"].toInteger()) == id;
    QVERIFY(inTrash);
    // On B's disk: in the desktop's trash, not unlinked.
    QDirIterator trash(m_work.filePath("data/Trash/files"), QDir::Files);
    bool found = false;
    while (trash.hasNext()) {
        trash.next();
        found = found || trash.fileName().startsWith("old");
    }
    QVERIFY(found);
}

void TestSyncE2E::changedOnBothSidesKeepsBothVersions()
{
    QVERIFY(writeSettled(m_a + "/shared.txt", "base"));
    QVERIFY(settled());
    m_engineA->pause();
    m_engineB->pause();
    QVERIFY(writeSettled(m_a + "/shared.txt", "A's version"));
    QVERIFY(writeSettled(m_b + "/shared.txt", "B's version, longer"));
    const int quietA = m_engineA->quietRounds();
    m_engineA->resume();
    QVERIFY(waitUntil([&] {
        // The server first: its requests run the event loop, in which A's round may start or
        // go on, so A's state is read last. A's version is in place once a round after the
        // resume found nothing left to do.
        bool uploaded = false;
        for (const QJsonValue &v : serverFiles(m_folderId)) {
            if (v["name"].toString() == "shared.txt")
                uploaded = v["size"].toInteger() == 11; // not "shared (1).txt" of a replace under way
        }
        return uploaded && m_engineA->quietRounds() > quietA && m_engineA->state() == SyncEngine::State::Idle;
    }));
    m_engineB->resume();
    QVERIFY(settled(30000));
    const auto tree = treeOf(m_b);
    QCOMPARE(tree.value("shared.txt"), QByteArray("A's version"));
    QStringList copies;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (it.key().startsWith("shared (冲突副本 ") && it.key().endsWith(").txt"))
            copies << it.key();
    }
    QCOMPARE(copies.size(), 1);
    QCOMPARE(tree.value(copies.first()), QByteArray("B's version, longer"));
    QCOMPARE(m_engineB->conflicts(), copies);
    QVERIFY(!serverIdOf(m_folderId, copies.first()).isEmpty());
}

void TestSyncE2E::changedOnBothSidesKeepsBothWhenPlannedFromAnOlderServerView()
{
    // B plans before its feed has brought A's new version: its replace of the agreed copy finds
    // that copy gone. A's version must keep the name and B's become a conflict copy all the same.
    QVERIFY(writeSettled(m_a + "/late.txt", "base"));
    QVERIFY(settled());
    RemoteFeed *feedB = m_engineB->feed();
    // Once B's own round has been followed by the feed: B plans from whatever its feed holds.
    QVERIFY(waitUntil([&] { return !feedB->isCatchingUp() && m_engineB->state() == SyncEngine::State::Idle; }));
    m_engineB->pause();
    feedB->stop();
    m_engineA->pause();
    QVERIFY(writeSettled(m_a + "/late.txt", "A's version"));
    m_engineA->resume();
    QVERIFY(waitUntil([&] {
        for (const QJsonValue &v : serverFiles(m_folderId)) {
            if (v["name"].toString() == "late.txt")
                return v["size"].toInteger() == 11;
        }
        return false;
    }));
    QVERIFY(writeSettled(m_b + "/late.txt", "B's version, longer"));
    QVERIFY(resumeBOnItsOlderView());
    QVERIFY(settled(30000));
    checkBothVersionsKept("late");
    if (QTest::currentTestFailed())
        return;
    // Sent once: the upload became the copy, rather than a "late (1).txt" beside another copy.
    const QStringList shown = m_engineB->conflicts().filter(QRegularExpression("^late \\("));
    QCOMPARE(shown.size(), 1);
    QStringList onServer;
    for (const QJsonValue &v : serverFiles(m_folderId)) {
        if (v["name"].toString().startsWith("late"))
            onServer << v["name"].toString();
    }
    QStringList expected{"late.txt", shown.first()};
    onServer.sort();
    expected.sort();
    QCOMPARE(onServer, expected);
}

void TestSyncE2E::changedOnBothSidesKeepsBothWhenPlannedMidwayThroughAReplace()
{
    // Another client's new version is on the server beside the old one ("mid (1).txt") when B
    // plans, and swapped in before B's own upload ends.
    QVERIFY(writeSettled(m_a + "/mid.txt", "base"));
    QVERIFY(settled());
    const QString baseId = serverIdOf(m_folderId, "mid.txt");
    RemoteFeed *feedB = m_engineB->feed();
    QVERIFY(waitUntil([&] { return !feedB->isCatchingUp() && m_engineB->state() == SyncEngine::State::Idle; }));
    m_engineA->pause();
    m_engineB->pause();
    const auto sent = m_server->multipart(
        "/api/files/upload",
        {{"parent_id", {}, {}, m_folderId.toUtf8()}, {"files", "mid.txt", "text/plain", "A's version"}}, m_user);
    QVERIFY(sent.success());
    const QString newId = serverIdOf(m_folderId, "mid (1).txt");
    QVERIFY(!newId.isEmpty());
    QVERIFY(waitUntil([&] { return feedB->tree().byPath().contains("mid (1).txt"); }));
    feedB->stop();
    QVERIFY(m_server->postJson("/api/sync/replace", {{"old_id", baseId}, {"new_id", newId}}, m_user).success());
    QVERIFY(writeSettled(m_b + "/mid.txt", "B's version, longer"));
    QVERIFY(resumeBOnItsOlderView());
    m_engineA->resume();
    QVERIFY(settled(30000));
    checkBothVersionsKept("mid");
    if (QTest::currentTestFailed())
        return;
    QStringList onServer;
    for (const QJsonValue &v : serverFiles(m_folderId)) {
        if (v["name"].toString().startsWith("mid"))
            onServer << v["name"].toString();
    }
    QCOMPARE(onServer.size(), 2);
}

void TestSyncE2E::crossingFolderMovesTakeTheServersPlacesWithoutTransfer()
{
    QVERIFY(writeSettled(m_a + "/甲/x.txt", "x in 甲"));
    QVERIFY(writeSettled(m_a + "/乙/y.txt", "y in 乙"));
    QVERIFY(settled());
    const QString jiaId = serverIdOf(m_folderId, "甲");
    const QString yiId = serverIdOf(m_folderId, "乙");
    QVERIFY(!jiaId.isEmpty() && !yiId.isEmpty());
    const int transfers = transferCount();
    // In the same interval: 乙 into 甲 on the other folder (and so on the server), 甲 into 乙 here.
    m_engineA->pause();
    QVERIFY(QDir().rename(m_b + "/乙", m_b + "/甲/乙"));
    QVERIFY(waitUntil([&] { return m_engineA->feed()->tree().byPath().contains("甲/乙/y.txt"); }, 30000));
    QVERIFY(QDir().rename(m_a + "/甲", m_a + "/乙/甲"));
    // Only this folder has something to do (the server does not change again): its round after
    // the moves finds nothing left, and the two folders are the same.
    const int quiet = m_engineA->quietRounds();
    m_engineA->resume();
    QVERIFY2(waitUntil(
                 [&] {
                     return m_engineA->quietRounds() > quiet && m_engineA->state() == SyncEngine::State::Idle &&
                            m_engineB->state() == SyncEngine::State::Idle && treeOf(m_a) == treeOf(m_b);
                 },
                 30000),
             qPrintable(QStringList(treeOf(m_a).keys()).join(",") + " | " + QStringList(treeOf(m_b).keys()).join(",")));
    // The server's places on both disks, the same server entries, and nothing sent or fetched.
    const auto tree = treeOf(m_a);
    QCOMPARE(tree.value("甲/x.txt"), QByteArray("x in 甲"));
    QCOMPARE(tree.value("甲/乙/y.txt"), QByteArray("y in 乙"));
    QVERIFY(!tree.contains("乙"));
    QCOMPARE(serverIdOf(m_folderId, "甲"), jiaId);
    QCOMPARE(serverIdOf(jiaId, "乙"), yiId);
    QVERIFY(serverIdOf(m_folderId, "乙").isEmpty());
    QCOMPARE(transferCount(), transfers);
    QVERIFY(m_engineA->failures().isEmpty());
    QVERIFY(m_engineB->failures().isEmpty());
}

void TestSyncE2E::fileReplacedUnderSameSizeAndTimeIsComparedByDigest()
{
    QVERIFY(writeSettled(m_a + "/保存.txt", "version 1"));
    QVERIFY(writeSettled(m_a + "/副本.txt", "same bytes"));
    QVERIFY(settled());
    const QString savedId = serverIdOf(m_folderId, "保存.txt");
    const QString copyId = serverIdOf(m_folderId, "副本.txt");
    QVERIFY(!savedId.isEmpty() && !copyId.isEmpty());
    const int transfers = transferCount();
    SyncJournal journal; // a second reader of engine A's journal
    QVERIFY(journal.open(m_work.filePath("A.db")));
    LocalEntry copy;
    QVERIFY(LocalScanner::stat(m_a, "副本.txt", copy));
    QCOMPARE(journal.entry("副本.txt").inode, copy.inode);
    // Other bytes of the same length, and the same bytes again: both on a new inode, same time.
    // B looks only once A is done: a replace seen half done ("保存 (1).txt" uploaded beside the
    // old version) is another case than this one.
    m_engineB->pause();
    const int quietA = m_engineA->quietRounds();
    QVERIFY(replaceKeepingTime(m_a + "/保存.txt", "version 2"));
    QVERIFY(replaceKeepingTime(m_a + "/副本.txt", "same bytes"));
    const quint64 oldInode = copy.inode;
    QVERIFY(LocalScanner::stat(m_a, "副本.txt", copy));
    QVERIFY(copy.inode != oldInode);
    QVERIFY(waitUntil([&] {
        const bool replaced =
            serverIdOf(m_folderId, "保存.txt") != savedId && serverIdOf(m_folderId, "保存 (1).txt").isEmpty();
        return replaced && m_engineA->quietRounds() > quietA && m_engineA->state() == SyncEngine::State::Idle;
    }));
    const int quietB = m_engineB->quietRounds();
    m_engineB->resume();
    QVERIFY(waitUntil(
        [&] {
            return m_engineB->quietRounds() > quietB && m_engineB->state() == SyncEngine::State::Idle &&
                   treeOf(m_a) == treeOf(m_b);
        },
        30000));
    QVERIFY(waitUntil([&] { return journal.entry("副本.txt").inode == copy.inode; }, 30000));
    QCOMPARE(treeOf(m_b).value("保存.txt"), QByteArray("version 2"));
    QVERIFY(serverIdOf(m_folderId, "保存.txt") != savedId);
    // The same content was not sent again: the server keeps its entry, and only the changed file
    // went up (and down to the other folder).
    QCOMPARE(serverIdOf(m_folderId, "副本.txt"), copyId);
    QCOMPARE(journal.entry("副本.txt").serverId, copyId);
    const auto tasks = TransferManager::instance()->tasks();
    for (qsizetype i = transfers; i < tasks.size(); ++i)
        QVERIFY2(!tasks[i]->name().contains("副本"), qPrintable(tasks[i]->name()));
    QVERIFY(transferCount() > transfers);
    QVERIFY(m_engineA->failures().isEmpty());
}

void TestSyncE2E::massDeleteWaitsForConfirmation()
{
    for (int i = 0; i < 25; ++i)
        QVERIFY(writeSettled(m_a + QStringLiteral("/bulk/%1.txt").arg(i), "x"));
    QVERIFY(settled());
    const int total = int(serverFiles(serverIdOf(m_folderId, "bulk")).size());
    QCOMPARE(total, 25);
    // Everything at once, as an emptied or unmounted folder would look. The other folder is
    // paused so that only this side's question is looked at.
    m_engineB->pause();
    const auto entries = QDir(m_a).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString &name : entries)
        QVERIFY(QFileInfo(m_a + "/" + name).isDir() ? QDir(m_a + "/" + name).removeRecursively()
                                                    : QFile::remove(m_a + "/" + name));
    QVERIFY(waitUntil([&] { return m_engineA->state() == SyncEngine::State::NeedsConfirmation; }));
    QVERIFY(m_engineA->plannedDeletes() >= 25);
    QCOMPARE(int(serverFiles(serverIdOf(m_folderId, "bulk")).size()), 25);
    m_engineA->confirmDeletes();
    QVERIFY(waitUntil([&] { return serverFiles(m_folderId).isEmpty(); }));
    // Into the server's trash, restorable.
    QVERIFY(m_server->get("/api/files/trash", m_user).body.contains("\"bulk\""));
}

QTEST_GUILESS_MAIN(TestSyncE2E)
#include "tst_sync_e2e.moc"
