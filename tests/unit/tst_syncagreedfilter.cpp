// The round's fast path: which paths count as agreed and leave the planner's input, and that
// planning over what is left gives the same plan as planning over everything.
#include "sync/agreedfilter.h"
#include "sync/reconciler.h"
#include "sync/syncjournal.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Kind = SyncAction::Kind;

struct Sides
{
    Reconciler::Input in;
    quint64 nextInode = 100;
    int nextId = 1;

    Sides() { in.now = QDateTime(QDate(2026, 12, 10), QTime(15, 30)); }

    static QString parentOf(const QString &path) { return path.contains('/') ? path.section('/', 0, -2) : QString(); }
    QString idOf(const QString &path) const { return in.remote.value(path).id; }

    void agreeFile(const QString &path, const QString &content = QStringLiteral("x"))
    {
        const quint64 inode = nextInode++;
        const QString id = QString::number(nextId++);
        in.journal.insert(path, JournalEntry{path, false, id, content.size(), 1000, inode, content});
        in.local.insert(path, LocalEntry{path, false, content.size(), 1000, inode, false});
        in.remote.insert(
            path,
            RemoteEntry{id, idOf(parentOf(path)), path.section('/', -1), path, false, content.size(), content, {}});
    }
    void agreeDir(const QString &path)
    {
        const quint64 inode = nextInode++;
        const QString id = QString::number(nextId++);
        in.journal.insert(path, JournalEntry{path, true, id, 0, 0, inode, {}});
        in.local.insert(path, LocalEntry{path, true, 0, 0, inode, false});
        in.remote.insert(path, RemoteEntry{id, idOf(parentOf(path)), path.section('/', -1), path, true, 0, {}, {}});
    }
    template <typename Entry> static void move(QHash<QString, Entry> &side, const QString &from, const QString &to)
    {
        const auto keys = side.keys();
        for (const QString &key : keys) {
            if (key == from || key.startsWith(from + '/')) {
                Entry e = side.take(key);
                e.path = to + key.mid(from.size());
                side.insert(e.path, e);
            }
        }
    }
    template <typename Entry> static void remove(QHash<QString, Entry> &side, const QString &path)
    {
        const auto keys = side.keys();
        for (const QString &key : keys) {
            if (key == path || key.startsWith(path + '/'))
                side.remove(key);
        }
    }
};

QString describe(const SyncAction &a)
{
    return QString::number(int(a.kind)) + ' ' + a.path + QStringLiteral(" -> ") + a.newPath + ' ' + a.journalPath +
           ' ' + a.serverId + ' ' + a.md5;
}

QStringList describe(const SyncPlan &plan)
{
    QStringList lines;
    for (const SyncAction &a : plan.actions)
        lines << describe(a);
    lines << QStringLiteral("waiting ") + plan.waiting.join(',');
    lines << QStringLiteral("deletes %1 of %2 %3")
                 .arg(plan.deletedFiles)
                 .arg(plan.knownFiles)
                 .arg(plan.needsConfirmation ? "ask" : "go");
    return lines;
}

SyncPlan fastPlan(Reconciler::Input in)
{
    const QHash<QString, RemoteEntry> remote = in.remote;
    AgreedFilter::apply(in, remote);
    return Reconciler::plan(in);
}

} // namespace

class TestSyncAgreedFilter : public QObject
{
    Q_OBJECT

private slots:
    void unchangedPathsLeaveThePlannerButStayKnown();
    void differencesStayForThePlanner_data();
    void differencesStayForThePlanner();
    void massDeleteGuardCountsTheAgreedFiles();
    void newConflictCopyNeverTakesAnAgreedCopysName();
    void unreadableFolderHoldsWhatItHadWhereverItIsNow();
    void readingTheJournalDropsWhatTheFilterDrops();
    void fastPathPlansLikeTheWholePlanOverRandomEdits();
};

void TestSyncAgreedFilter::unchangedPathsLeaveThePlannerButStayKnown()
{
    Sides s;
    s.agreeDir(QStringLiteral("docs"));
    s.agreeFile(QStringLiteral("docs/a.txt"));
    s.agreeFile(QStringLiteral("b.txt"));
    Reconciler::Input in = s.in;
    const QHash<QString, RemoteEntry> remote = in.remote;
    QCOMPARE(AgreedFilter::apply(in, remote), qsizetype(3));
    QVERIFY(in.journal.isEmpty());
    QVERIFY(in.local.isEmpty());
    QVERIFY(in.remote.isEmpty());
    QCOMPARE(in.agreedFiles, 2);
    QCOMPARE(remote.size(), 3); // the whole server side stays for the executor's folder ids
    const SyncPlan plan = Reconciler::plan(in);
    QVERIFY(plan.actions.isEmpty());
    QCOMPARE(plan.knownFiles, 2);
}

void TestSyncAgreedFilter::differencesStayForThePlanner_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<QString>("expected"); // the plan's first action, by kind and path
    // Another inode under the same size and time: an upload that first compares the digest.
    QTest::newRow("same size and time, other inode") << 0 << QStringLiteral("upload a.txt");
    QTest::newRow("time only") << 1 << QStringLiteral("upload a.txt");
    QTest::newRow("file replaced by a folder of the same name") << 2 << QStringLiteral("trash-remote a.txt");
    QTest::newRow("server content, same size") << 3 << QStringLiteral("download a.txt");
    QTest::newRow("server entry replaced by a new id") << 4 << QStringLiteral("download a.txt");
    QTest::newRow("still being written") << 5 << QStringLiteral("waiting a.txt");
    QTest::newRow("gone on the server") << 6 << QStringLiteral("trash-local a.txt");
    QTest::newRow("gone on disk") << 7 << QStringLiteral("trash-remote a.txt");
}

void TestSyncAgreedFilter::differencesStayForThePlanner()
{
    QFETCH(int, change);
    QFETCH(QString, expected);
    Sides s;
    s.agreeFile(QStringLiteral("a.txt"), QStringLiteral("abc"));
    s.agreeFile(QStringLiteral("other.txt"));
    const QString a = QStringLiteral("a.txt");
    switch (change) {
    case 0:
        s.in.local[a].inode = 999;
        break;
    case 1:
        s.in.local[a].mtimeMs += 1;
        break;
    case 2:
        s.in.local[a] = LocalEntry{a, true, 0, 0, 555, false};
        break;
    case 3:
        s.in.remote[a].md5 = QStringLiteral("xyz");
        break;
    case 4:
        s.in.remote[a].id = QStringLiteral("77");
        s.in.remote[a].md5 = QStringLiteral("xyz");
        break;
    case 5:
        s.in.local[a].unstable = true;
        break;
    case 6:
        s.in.remote.remove(a);
        break;
    case 7:
        s.in.local.remove(a);
        break;
    }
    Reconciler::Input in = s.in;
    const QHash<QString, RemoteEntry> remote = in.remote;
    AgreedFilter::apply(in, remote);
    QVERIFY(in.journal.contains(a));
    QVERIFY(!in.journal.contains(QStringLiteral("other.txt")));
    QCOMPARE(in.agreedFiles, 1);

    const SyncPlan whole = Reconciler::plan(s.in);
    const SyncPlan fast = Reconciler::plan(in);
    QCOMPARE(describe(fast), describe(whole));
    const QMap<Kind, QString> names{
        {Kind::Upload, "upload"},          {Kind::Download, "download"}, {Kind::TrashRemote, "trash-remote"},
        {Kind::TrashLocal, "trash-local"}, {Kind::Conflict, "conflict"}, {Kind::CreateRemoteFolder, "mkdir-remote"}};
    const QString first =
        fast.actions.isEmpty()
            ? (fast.waiting.isEmpty() ? QStringLiteral("none") : QStringLiteral("waiting ") + fast.waiting.join(','))
            : names.value(fast.actions.first().kind, "other") + ' ' + fast.actions.first().path;
    QCOMPARE(first, expected);
}

void TestSyncAgreedFilter::massDeleteGuardCountsTheAgreedFiles()
{
    // 30 of 100 files deleted on disk: under half, so no question, although the 70 unchanged ones
    // never reach the planner.
    Sides s;
    for (int i = 0; i < 100; ++i)
        s.agreeFile(QStringLiteral("f%1.txt").arg(i));
    for (int i = 0; i < 30; ++i)
        s.in.local.remove(QStringLiteral("f%1.txt").arg(i));
    const SyncPlan fast = fastPlan(s.in);
    QCOMPARE(fast.deletedFiles, 30);
    QCOMPARE(fast.knownFiles, 100);
    QVERIFY(!fast.needsConfirmation);
    // 60 of them: over half, the question comes as before.
    for (int i = 30; i < 60; ++i)
        s.in.local.remove(QStringLiteral("f%1.txt").arg(i));
    QVERIFY(fastPlan(s.in).needsConfirmation);
}

void TestSyncAgreedFilter::newConflictCopyNeverTakesAnAgreedCopysName()
{
    Sides s;
    s.agreeFile(QStringLiteral("a.txt"), QStringLiteral("base"));
    // A conflict copy from an earlier round at this same minute, synced since.
    const QString earlier = QStringLiteral("a (冲突副本 2026-12-10 1530).txt");
    s.agreeFile(earlier);
    s.in.local[QStringLiteral("a.txt")].mtimeMs += 10;
    s.in.local[QStringLiteral("a.txt")].size = 5;
    s.in.remote[QStringLiteral("a.txt")].md5 = QStringLiteral("other");
    const SyncPlan plan = fastPlan(s.in);
    QCOMPARE(plan.actions.size(), 1);
    QCOMPARE(plan.actions.first().kind, Kind::Conflict);
    QCOMPARE(plan.actions.first().newPath, QStringLiteral("a (冲突副本 2026-12-10 1530 2).txt"));
}

void TestSyncAgreedFilter::unreadableFolderHoldsWhatItHadWhereverItIsNow()
{
    // "locked" is on the scan, but nothing under it is: it could not be listed.
    Sides s;
    s.agreeDir(QStringLiteral("locked"));
    s.agreeFile(QStringLiteral("locked/a.txt"));
    s.agreeFile(QStringLiteral("locked/b.txt"));
    s.agreeFile(QStringLiteral("lockedness.txt"));
    s.agreeFile(QStringLiteral("other.txt"));
    s.in.local.remove(QStringLiteral("locked/a.txt"));
    s.in.local.remove(QStringLiteral("locked/b.txt"));
    // Meanwhile on the server: b moved out of the folder, a new file in it.
    Sides::move(s.in.remote, QStringLiteral("locked/b.txt"), QStringLiteral("b.txt"));
    s.in.remote.insert(QStringLiteral("locked/new.txt"), RemoteEntry{QStringLiteral("99"),
                                                                     s.idOf("locked"),
                                                                     QStringLiteral("new.txt"),
                                                                     QStringLiteral("locked/new.txt"),
                                                                     false,
                                                                     1,
                                                                     "n",
                                                                     {}});
    // What the folder's own name begins with is not under it.
    s.in.local[QStringLiteral("lockedness.txt")].size = 7;
    s.in.local[QStringLiteral("lockedness.txt")].mtimeMs += 5;
    QVERIFY(!fastPlan(s.in).actions.isEmpty());

    Reconciler::Input held = s.in;
    const QHash<QString, RemoteEntry> remote = held.remote;
    AgreedFilter::apply(held, remote);
    AgreedFilter::holdUnreadable(held, {QStringLiteral("locked")});
    const SyncPlan plan = Reconciler::plan(held);
    QCOMPARE(plan.actions.size(), 1);
    QCOMPARE(plan.actions.first().kind, Kind::Upload);
    QCOMPARE(plan.actions.first().path, QStringLiteral("lockedness.txt"));
    QCOMPARE(plan.deletedFiles, 0);

    // The pair's folder itself unreadable: nothing at all is planned.
    Reconciler::Input all = s.in;
    AgreedFilter::apply(all, remote);
    AgreedFilter::holdUnreadable(all, {QString()});
    QVERIFY(Reconciler::plan(all).actions.isEmpty());
}

void TestSyncAgreedFilter::readingTheJournalDropsWhatTheFilterDrops()
{
    Sides s;
    s.agreeDir(QStringLiteral("docs"));
    s.agreeFile(QStringLiteral("docs/a.txt"));
    s.agreeFile(QStringLiteral("docs/b.txt"));
    s.agreeFile(QStringLiteral("c.txt"));
    s.agreeFile(QStringLiteral("d.txt"));
    s.in.local[QStringLiteral("docs/b.txt")].mtimeMs += 3;
    s.in.remote[QStringLiteral("c.txt")].md5 = QStringLiteral("new");
    s.in.local.remove(QStringLiteral("d.txt"));
    s.in.local.insert(QStringLiteral("e.txt"), LocalEntry{QStringLiteral("e.txt"), false, 1, 1, 900, false});

    QTemporaryDir dir;
    SyncJournal journal;
    QVERIFY(journal.open(dir.filePath(QStringLiteral("j.db"))));
    QVERIFY(journal.begin());
    for (const JournalEntry &entry : std::as_const(s.in.journal))
        QVERIFY(journal.put(entry));
    QVERIFY(journal.commit());

    Reconciler::Input filtered = s.in;
    AgreedFilter::apply(filtered, s.in.remote);
    Reconciler::Input loaded = s.in;
    loaded.journal.clear();
    QCOMPARE(AgreedFilter::load(loaded, journal, s.in.remote), qsizetype(2));
    QCOMPARE(loaded.journal, filtered.journal);
    const auto sorted = [](QStringList keys) {
        keys.sort();
        return keys;
    };
    QCOMPARE(sorted(loaded.local.keys()), sorted(filtered.local.keys()));
    QCOMPARE(sorted(loaded.remote.keys()), sorted(filtered.remote.keys()));
    QCOMPARE(sorted(loaded.journal.keys()), QStringList({"c.txt", "d.txt", "docs/b.txt"}));
    QCOMPARE(loaded.agreedFiles, 1);
    QCOMPARE(describe(Reconciler::plan(loaded)), describe(Reconciler::plan(s.in)));
}

void TestSyncAgreedFilter::fastPathPlansLikeTheWholePlanOverRandomEdits()
{
    QRandomGenerator random(20261211);
    for (int round = 0; round < 400; ++round) {
        Sides s;
        QStringList dirs{QString()};
        QStringList files;
        for (int i = 0; i < 4; ++i) {
            const QString parent = dirs.at(random.bounded(int(dirs.size())));
            const QString path =
                parent.isEmpty() ? QStringLiteral("d%1").arg(i) : parent + QStringLiteral("/d%1").arg(i);
            s.agreeDir(path);
            dirs << path;
        }
        for (int i = 0; i < 12; ++i) {
            const QString parent = dirs.at(random.bounded(int(dirs.size())));
            const QString path =
                parent.isEmpty() ? QStringLiteral("f%1.txt").arg(i) : parent + QStringLiteral("/f%1.txt").arg(i);
            s.agreeFile(path, QStringLiteral("c%1").arg(i));
            files << path;
        }
        const int edits = 1 + random.bounded(4);
        for (int e = 0; e < edits; ++e) {
            const QString file = files.at(random.bounded(int(files.size())));
            const QString dir = dirs.at(1 + random.bounded(int(dirs.size()) - 1));
            const QString fresh = QStringLiteral("n%1-%2.txt").arg(round).arg(e);
            switch (random.bounded(12)) {
            case 0:
                if (s.in.local.contains(file)) {
                    s.in.local[file].size += 1;
                    s.in.local[file].mtimeMs += 7;
                }
                break;
            case 1:
                if (s.in.remote.contains(file)) {
                    s.in.remote[file].md5 += 'r';
                    s.in.remote[file].size += 1;
                }
                break;
            case 2:
                Sides::move(s.in.local, file, fresh);
                break;
            case 3:
                Sides::move(s.in.remote, file, fresh);
                break;
            case 4:
                Sides::move(s.in.local, dir, QStringLiteral("moved-") + fresh);
                break;
            case 5:
                Sides::move(s.in.remote, dir, QStringLiteral("moved-") + fresh);
                break;
            case 6:
                Sides::remove(s.in.local, random.bounded(2) ? file : dir);
                break;
            case 7:
                Sides::remove(s.in.remote, random.bounded(2) ? file : dir);
                break;
            case 8:
                if (s.in.local.contains(file))
                    s.in.local[file].inode = s.nextInode++;
                break;
            case 9:
                s.in.local.insert(fresh, LocalEntry{fresh, false, 3, 5000, s.nextInode++, false});
                break;
            case 10:
                s.in.remote.insert(
                    fresh,
                    RemoteEntry{QString::number(s.nextId++), {}, fresh, fresh, false, 3, QStringLiteral("new"), {}});
                break;
            case 11:
                if (s.in.local.contains(file))
                    s.in.local[file] = LocalEntry{file, true, 0, 0, s.nextInode++, false};
                break;
            }
        }
        const QStringList whole = describe(Reconciler::plan(s.in));
        const QStringList fast = describe(fastPlan(s.in));
        if (fast != whole) {
            qWarning() << "round" << round << "local" << s.in.local.keys() << "remote" << s.in.remote.keys();
            QCOMPARE(fast, whole);
        }
    }
}

QTEST_GUILESS_MAIN(TestSyncAgreedFilter)
#include "tst_syncagreedfilter.moc"
