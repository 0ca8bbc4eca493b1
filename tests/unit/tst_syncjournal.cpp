// The sync pair's record on disk (journal), the local scan, ignore rules and conflict names.
#include "sync/conflictname.h"
#include "sync/ignorerules.h"
#include "sync/localscanner.h"
#include "sync/syncjournal.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSyncJournal : public QObject
{
    Q_OBJECT

private slots:
    void journalKeepsEntriesAndCursorAcrossReopen();
    void rolledBackChangesLeaveNoTrace();
    void serverSideIsKeptWithItsCursor();
    void moveTreeCarriesChildrenButNotLookalikes();
    void unusableJournalPathIsAnError();
    void scanListsFilesAndFoldersWithInodes();
    void scanDoesNotFollowSymbolicLinks();
    void scanMarksRecentlyWrittenFilesUnstable();
    void scanSkipsIgnoredNamesAndWhatTheyHold();
    void scanReportsMissingRootAndUnreadableFolders();
    void defaultIgnoreRulesCoverTemporaryFiles();
    void conflictCopyNameKeepsTheExtension();

private:
    static void write(const QString &path, const QByteArray &bytes = "x")
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    static const qint64 Later = 4102444800000; // 2100: everything written now is long stable
};

void TestSyncJournal::journalKeepsEntriesAndCursorAcrossReopen()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("pairs/1.db");
    {
        SyncJournal journal;
        QVERIFY2(journal.open(file), qPrintable(journal.errorText()));
        QVERIFY(journal.begin());
        QVERIFY(journal.put(JournalEntry{"a/b.txt", false, "42", 12, 1700000000123, 987654321012ULL, "abc"}));
        QVERIFY2(journal.put(JournalEntry{"a", true, "41", 0, 0, 5, {}}), qPrintable(journal.errorText()));
        QVERIFY(journal.setCursor("c-17"));
        QVERIFY(journal.commit());
        // An update of the same path replaces it.
        QVERIFY(journal.put(JournalEntry{"a/b.txt", false, "43", 13, 1700000000999, 987654321012ULL, "def"}));
    }
    SyncJournal again;
    QVERIFY(again.open(file));
    const auto entries = again.entries();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries["a/b.txt"], (JournalEntry{"a/b.txt", false, "43", 13, 1700000000999, 987654321012ULL, "def"}));
    QVERIFY(entries["a"].isDir);
    QCOMPARE(again.cursor(), QString("c-17"));
    QVERIFY(again.contains("a"));
    QVERIFY(!again.contains("b"));
}

void TestSyncJournal::serverSideIsKeptWithItsCursor()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("j.db");
    const RemoteEntry folder{"5", "1", "docs", "docs", true, 0, {}, "t1"};
    const RemoteEntry a{"6", "5", "a.txt", "docs/a.txt", false, 3, "abc", "t2"};
    const RemoteEntry b{"7", "1", "b.txt", "b.txt", false, 4, "def", "t3"};
    {
        SyncJournal journal;
        QVERIFY(journal.open(file));
        QVERIFY(journal.remoteEntries().isEmpty());
        QVERIFY(journal.replaceRemote({folder, a}, "c10"));
        RemoteEntry renamed = a;
        renamed.name = "renamed.txt";
        QVERIFY(journal.applyRemote(
            {RemoteChange{renamed, false, 11}, RemoteChange{b, false, 12}, RemoteChange{folder, true, 13}}, {"5"},
            "c13"));
    }
    SyncJournal again;
    QVERIFY(again.open(file));
    QCOMPARE(again.cursor(), QString("c13"));
    QHash<QString, RemoteEntry> byId;
    for (const RemoteEntry &e : again.remoteEntries())
        byId.insert(e.id, e);
    QCOMPARE(QStringList(byId.keys()).size(), 2);
    QCOMPARE(byId.value("6").name, QString("renamed.txt"));
    QCOMPARE(byId.value("7").md5, QString("def"));
    QCOMPARE(byId.value("7").updatedAt, QString("t3"));
    QVERIFY(!byId.contains("5"));
    // A new listing replaces everything.
    QVERIFY(again.replaceRemote({b}, "c20"));
    QCOMPARE(again.remoteEntries().size(), 1);
    QCOMPARE(again.cursor(), QString("c20"));
}

void TestSyncJournal::rolledBackChangesLeaveNoTrace()
{
    QTemporaryDir dir;
    SyncJournal journal;
    QVERIFY(journal.open(dir.filePath("j.db")));
    QVERIFY(journal.put(JournalEntry{"kept", false, "1", 1, 1, 1, "m"}));
    QVERIFY(journal.begin());
    QVERIFY(journal.removeTree("kept"));
    QVERIFY(journal.put(JournalEntry{"other", false, "2", 1, 1, 2, "m"}));
    journal.rollback();
    QCOMPARE(journal.entries().keys(), QStringList({"kept"}));
}

void TestSyncJournal::moveTreeCarriesChildrenButNotLookalikes()
{
    QTemporaryDir dir;
    SyncJournal journal;
    QVERIFY(journal.open(dir.filePath("j.db")));
    for (const char *path : {"d", "d/x", "d/sub/y", "d2/z", "d_%", "target"})
        QVERIFY(journal.put(JournalEntry{path, false, path, 1, 1, 1, {}}));
    QVERIFY(journal.moveTree("d", "target"));
    QStringList keys = journal.entries().keys();
    keys.sort();
    // "d2" and "d_%" only start with the same letters; what stood at the target gave way.
    QCOMPARE(keys, QStringList({"d2/z", "d_%", "target", "target/sub/y", "target/x"}));
    QCOMPARE(journal.entry("target/x").serverId, QString("d/x"));
    QVERIFY(journal.removeTree("target"));
    keys = journal.entries().keys();
    keys.sort();
    QCOMPARE(keys, QStringList({"d2/z", "d_%"}));
}

void TestSyncJournal::unusableJournalPathIsAnError()
{
    QTemporaryDir dir;
    write(dir.filePath("file"));
    SyncJournal journal;
    QVERIFY(!journal.open(dir.filePath("file/j.db")));
    QVERIFY(!journal.errorText().isEmpty());
    QVERIFY(!journal.put(JournalEntry{"a", false, "1", 1, 1, 1, {}}));
}

void TestSyncJournal::scanListsFilesAndFoldersWithInodes()
{
    QTemporaryDir dir;
    write(dir.filePath("top.txt"), "12345");
    write(dir.filePath("docs/中文 名.md"), "abc");
    QDir(dir.path()).mkpath("empty");
    const auto result = LocalScanner::scan(dir.path(), IgnoreRules(), Later);
    QStringList keys = result.entries.keys();
    keys.sort();
    QCOMPARE(keys, QStringList({"docs", "docs/中文 名.md", "empty", "top.txt"}));
    const LocalEntry top = result.entries["top.txt"];
    QCOMPARE(top.size, 5);
    QVERIFY(!top.isDir);
    QVERIFY(top.inode != 0);
    QCOMPARE(top.mtimeMs, QFileInfo(dir.filePath("top.txt")).lastModified().toMSecsSinceEpoch());
    QVERIFY(result.entries["docs"].isDir);
    // A rename keeps the inode: that is how a move is told from a delete and a new file.
    QVERIFY(QFile::rename(dir.filePath("top.txt"), dir.filePath("docs/moved.txt")));
    const auto after = LocalScanner::scan(dir.path(), IgnoreRules(), Later);
    QCOMPARE(after.entries["docs/moved.txt"].inode, top.inode);
    LocalEntry one;
    QVERIFY(LocalScanner::stat(dir.path(), "docs/moved.txt", one));
    QCOMPARE(one.inode, top.inode);
    QVERIFY(!LocalScanner::stat(dir.path(), "top.txt", one));
}

void TestSyncJournal::scanDoesNotFollowSymbolicLinks()
{
    QTemporaryDir dir;
    QTemporaryDir outside;
    write(outside.filePath("secret.txt"));
    write(dir.filePath("real.txt"));
    QVERIFY(QFile::link(outside.path(), dir.filePath("linked-folder")));
    QVERIFY(QFile::link(dir.filePath("real.txt"), dir.filePath("linked-file")));
    const auto result = LocalScanner::scan(dir.path(), IgnoreRules(), Later);
    QCOMPARE(result.entries.keys(), QStringList({"real.txt"}));
    LocalEntry entry;
    QVERIFY(!LocalScanner::stat(dir.path(), "linked-folder", entry));
}

void TestSyncJournal::scanMarksRecentlyWrittenFilesUnstable()
{
    QTemporaryDir dir;
    write(dir.filePath("f"));
    const qint64 mtime = QFileInfo(dir.filePath("f")).lastModified().toMSecsSinceEpoch();
    QVERIFY(LocalScanner::scan(dir.path(), IgnoreRules(), mtime + 500, 2000).entries["f"].unstable);
    QVERIFY(!LocalScanner::scan(dir.path(), IgnoreRules(), mtime + 2000, 2000).entries["f"].unstable);
    // A time ahead of the clock does not hold the file back for ever.
    QVERIFY(!LocalScanner::scan(dir.path(), IgnoreRules(), mtime - 60000, 2000).entries["f"].unstable);
}

void TestSyncJournal::scanSkipsIgnoredNamesAndWhatTheyHold()
{
    QTemporaryDir dir;
    write(dir.filePath("keep.txt"));
    write(dir.filePath("video.mp4.part"));
    write(dir.filePath("video.mp4.part.meta"));
    write(dir.filePath("~$报告.docx"));
    write(dir.filePath(".~lock.表格.ods#"));
    write(dir.filePath("a.tmp"));
    write(dir.filePath("sub/.DS_Store"));
    write(dir.filePath("sub/Thumbs.db"));
    write(dir.filePath("node_modules/pkg/index.js"));
    write(dir.filePath("logs/today.log"));
    write(dir.filePath("logs/keep.txt"));
    const auto result = LocalScanner::scan(dir.path(), IgnoreRules({"node_modules", "logs/*.log", " "}), Later);
    QStringList keys = result.entries.keys();
    keys.sort();
    QCOMPARE(keys, QStringList({"keep.txt", "logs", "logs/keep.txt", "sub"}));
}

void TestSyncJournal::scanReportsMissingRootAndUnreadableFolders()
{
    QTemporaryDir dir;
    QVERIFY(LocalScanner::scan(dir.filePath("nope"), IgnoreRules(), Later).rootMissing);
    write(dir.filePath("locked/inside.txt"));
    QFile::setPermissions(dir.filePath("locked"), QFileDevice::Permissions());
    const auto result = LocalScanner::scan(dir.path(), IgnoreRules(), Later);
    QFile::setPermissions(dir.filePath("locked"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (QFileInfo(dir.filePath("locked/inside.txt")).isReadable() && result.unreadable.isEmpty())
        QSKIP("running with rights that read any folder");
    QVERIFY(!result.rootMissing);
    QCOMPARE(result.unreadable, QStringList({"locked"}));
    QVERIFY(result.entries.contains("locked"));
}

void TestSyncJournal::defaultIgnoreRulesCoverTemporaryFiles()
{
    const IgnoreRules rules;
    for (const char *path : {"a.part", "dir/~$x.docx", ".~lock.a.odt#", "b.tmp", "x/.DS_Store", "Thumbs.db",
                             "f.part.meta", "cache/x.tmp/inner.txt"})
        QVERIFY2(rules.isIgnored(path), path);
    for (const char *path : {"part", "a.partial", "lock.txt", "tmp/a.txt", "Thumbs.db.txt", "x~$y"})
        QVERIFY2(!rules.isIgnored(path), path);
    const IgnoreRules own({"*.bak", "/build/", "docs/draft-*"});
    QVERIFY(own.isIgnored("a/b.bak"));
    QVERIFY(own.isIgnored("build/out.o"));
    QVERIFY(own.isIgnored("docs/draft-1.md"));
    QVERIFY(!own.isIgnored("other/docs/draft-1.md"));
    QCOMPARE(own.extraPatterns(), QStringList({"*.bak", "/build/", "docs/draft-*"}));
}

void TestSyncJournal::conflictCopyNameKeepsTheExtension()
{
    const QDateTime when(QDate(2026, 3, 7), QTime(9, 5, 59));
    QCOMPARE(conflictCopyName("报告.docx", when), QString("报告 (冲突副本 2026-03-07 0905).docx"));
    QCOMPARE(conflictCopyName("archive.tar.gz", when), QString("archive.tar (冲突副本 2026-03-07 0905).gz"));
    QCOMPARE(conflictCopyName("README", when), QString("README (冲突副本 2026-03-07 0905)"));
    QCOMPARE(conflictCopyName(".bashrc", when), QString(".bashrc (冲突副本 2026-03-07 0905)"));
    QCOMPARE(conflictCopyName("a.txt", when, 2), QString("a (冲突副本 2026-03-07 0905 2).txt"));
    QCOMPARE(conflictCopyPath("x.y/dir/a.txt", when), QString("x.y/dir/a (冲突副本 2026-03-07 0905).txt"));
}

QTEST_GUILESS_MAIN(TestSyncJournal)
#include "tst_syncjournal.moc"
