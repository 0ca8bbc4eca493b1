// What the sync engine cannot read: a folder it cannot list holds everything under it back (on
// the server too) instead of reading as deleted, a file it cannot open is not sent, the local
// folder itself unreadable deletes nothing anywhere; each is listed as the pair's error, looked
// at again after a pause that grows to a bound, and synced once it can be read again.
#include "eventwait.h"
#include "net/session.h"
#include "referenceserver.h"
#include "sync/syncengine.h"
#include "synckit.h"
#include "testsettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace SyncKit;

namespace {

// Root reads every file whatever its mode. Without these two capabilities this process meets
// modes as any other user does (threads started later inherit the change; the server, a program
// of its own started by root, gets its capabilities back).
bool dropFileOverrides()
{
    if (geteuid() != 0)
        return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        data[cap / 32].effective &= ~(1u << (cap % 32));
        data[cap / 32].permitted &= ~(1u << (cap % 32));
        data[cap / 32].inheritable &= ~(1u << (cap % 32));
    }
    return syscall(SYS_capset, &header, data) == 0;
}

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

bool listsFailure(const SyncEngine &engine, const QString &path, const QString &words)
{
    for (const SyncExecutor::Failure &failure : engine.failures()) {
        if (failure.path == path && failure.error.contains(words))
            return true;
    }
    return false;
}

} // namespace

class TestSyncUnreadable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void unreadableFolderAndFileAreHeldListedAndRetried();
    void folderListedButNotSearchableIsHeldToo();
    void unreadableLocalFolderDeletesNothing();
    void nameThatIsNotUtf8IsListedAndLeftAlone();

private:
    // The engine's retry pause has doubled up to its bound (800 ms here), and rounds now come at
    // least that far apart.
    static void checkRetriedAtTheBound(const SyncEngine &engine)
    {
        QTRY_COMPARE_WITH_TIMEOUT(engine.retryDelayMs(), 800, 30000);
        const int rounds = engine.rounds();
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(engine.rounds() >= rounds + 2, 30000);
        QVERIFY2(clock.elapsed() >= 800, qPrintable(QString::number(clock.elapsed())));
    }
    QStringList trashNames()
    {
        QStringList names;
        for (const QJsonValue &v : m_server->get("/api/files/trash", m_user).dataArray())
            names << v["name"].toString();
        return names;
    }
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
};

void TestSyncUnreadable::initTestCase()
{
    QVERIFY(dropFileOverrides());
    const QString probe = m_work.filePath("probe");
    QVERIFY(writeFile(probe, "x"));
    QVERIFY(setMode(probe, 0));
    if (QFile(probe).open(QIODevice::ReadOnly))
        QSKIP("this process reads files whatever their mode");

    const QString problem = startSignedIn(m_work.path(), m_server, m_user, "sync_unreadable", "13912340031");
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    m_folderId = newFolder(*m_server, m_user, "同步");
    QVERIFY(!m_folderId.isEmpty());
    QVERIFY(m_engines.start(m_work.path(), m_folderId));
    m_a = m_engines.folderA();
    m_b = m_engines.folderB();
    // Short pauses, so that the bound is reached within the test.
    m_engines.a().setTimings(50, 300, 100, 800);
}

void TestSyncUnreadable::cleanupTestCase()
{
    // The temporary folder must be removable whatever a failed check left behind.
    if (!m_a.isEmpty()) {
        setMode(m_a, 0755);
        setMode(m_a + "/locked", 0755);
        setMode(m_a + "/half", 0755);
    }
    m_engines.stop();
}

void TestSyncUnreadable::unreadableFolderAndFileAreHeldListedAndRetried()
{
    SyncEngine &a = m_engines.a();
    QVERIFY(writeSettled(m_a + "/locked/keep.txt", "kept"));
    QVERIFY(writeSettled(m_a + "/locked/sub/deep.txt", "deep"));
    QVERIFY(m_engines.settled());
    const QString lockedId = serverIdOf(m_folderId, "locked");
    QVERIFY(!lockedId.isEmpty());

    // Unlistable, the folder's files must not read as deleted here.
    QVERIFY(setMode(m_a + "/locked", 0));
    QVERIFY(writeSettled(m_a + "/secret.txt", "not for the sync"));
    QVERIFY(setMode(m_a + "/secret.txt", 0));
    QVERIFY(writeSettled(m_a + "/open.txt", "readable"));
    QTRY_VERIFY_WITH_TIMEOUT(
        listsFailure(a, "locked", "无法读取文件夹") && listsFailure(a, "secret.txt", "无法读取文件"), 30000);
    // What can be read still goes; what cannot is neither sent nor deleted anywhere.
    QTRY_COMPARE_WITH_TIMEOUT(treeOf(m_b).value("open.txt"), QByteArray("readable"), 30000);
    QVERIFY(serverIdOf(m_folderId, "secret.txt").isEmpty());
    QVERIFY(!serverIdOf(lockedId, "keep.txt").isEmpty());
    QCOMPARE(treeOf(m_b).value("locked/sub/deep.txt"), QByteArray("deep"));
    QVERIFY(m_server->get("/api/files/trash", m_user).dataArray().isEmpty());

    // A change on the server under the folder waits for it too, and is not a failure of its own.
    QVERIFY(writeSettled(m_b + "/locked/keep.txt", "changed on B"));
    QTRY_VERIFY_WITH_TIMEOUT(m_engines.b().state() == SyncEngine::State::Idle && m_engines.b().failures().isEmpty() &&
                                 m_engines.b().pendingCount() == 0,
                             30000);

    // Looked at again after a pause that doubles up to its bound, not in a loop.
    checkRetriedAtTheBound(a);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(a.failures().size(), 2);
    QVERIFY(a.state() == SyncEngine::State::Idle);

    // Readable again: everything goes, the server's change comes down, the errors clear.
    QVERIFY(setMode(m_a + "/locked", 0755));
    QVERIFY(setMode(m_a + "/secret.txt", 0644));
    QVERIFY(m_engines.settled(30000));
    QVERIFY(a.failures().isEmpty());
    QCOMPARE(treeOf(m_a).value("locked/keep.txt"), QByteArray("changed on B"));
    QCOMPARE(treeOf(m_b).value("secret.txt"), QByteArray("not for the sync"));
    QCOMPARE(serverIdOf(m_folderId, "locked"), lockedId);
    // Only the version B's change replaced.
    QCOMPARE(trashNames(), QStringList{"keep.txt"});
}

void TestSyncUnreadable::folderListedButNotSearchableIsHeldToo()
{
    SyncEngine &a = m_engines.a();
    QVERIFY(writeSettled(m_a + "/half/one.txt", "one"));
    QVERIFY(writeSettled(m_a + "/half/two.txt", "two"));
    QVERIFY(m_engines.settled());
    const QString halfId = serverIdOf(m_folderId, "half");
    const QStringList trashBefore = trashNames();
    // Names can be read, but not one of the files behind them.
    QVERIFY(setMode(m_a + "/half", 0644));
    QTRY_VERIFY_WITH_TIMEOUT(listsFailure(a, "half", "无法读取文件夹"), 30000);
    QVERIFY(!serverIdOf(halfId, "one.txt").isEmpty());
    QVERIFY(!serverIdOf(halfId, "two.txt").isEmpty());
    QCOMPARE(trashNames(), trashBefore);
    QCOMPARE(treeOf(m_b).value("half/two.txt"), QByteArray("two"));

    const int quiet = a.quietRounds();
    QVERIFY(setMode(m_a + "/half", 0755));
    QTRY_VERIFY_WITH_TIMEOUT(a.quietRounds() > quiet && a.failures().isEmpty() && treeOf(m_a) == treeOf(m_b), 30000);
    QCOMPARE(trashNames(), trashBefore);
}

void TestSyncUnreadable::unreadableLocalFolderDeletesNothing()
{
    SyncEngine &a = m_engines.a();
    const QStringList trashBefore = trashNames();
    QVERIFY(!treeOf(m_b).isEmpty());
    // The pair's folder itself, unreadable, must not read as emptied: fewer files than the
    // mass-delete guard counts would otherwise go without a question.
    QVERIFY(setMode(m_a, 0));
    QTRY_VERIFY_WITH_TIMEOUT(listsFailure(a, QString(), "无法读取本地文件夹"), 30000);
    QVERIFY(writeSettled(m_b + "/new-on-b.txt", "from B"));
    QTRY_VERIFY_WITH_TIMEOUT(!serverIdOf(m_folderId, "new-on-b.txt").isEmpty(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(a.retryDelayMs(), 800, 30000);
    QVERIFY(a.state() == SyncEngine::State::Idle);
    QVERIFY(!serverIdOf(m_folderId, "open.txt").isEmpty());
    QCOMPARE(trashNames(), trashBefore);
    QCOMPARE(treeOf(m_b).value("open.txt"), QByteArray("readable"));

    // Nothing else changes on B's side, so A alone has a round to end.
    const int quiet = a.quietRounds();
    QVERIFY(setMode(m_a, 0755));
    QTRY_VERIFY_WITH_TIMEOUT(
        a.quietRounds() > quiet && a.state() == SyncEngine::State::Idle && treeOf(m_a) == treeOf(m_b), 30000);
    QVERIFY(a.failures().isEmpty());
    QCOMPARE(treeOf(m_a).value("new-on-b.txt"), QByteArray("from B"));
    QCOMPARE(trashNames(), trashBefore);
}

void TestSyncUnreadable::nameThatIsNotUtf8IsListedAndLeftAlone()
{
    SyncEngine &a = m_engines.a();
    // A name from another system's encoding: no text names it, so no request can carry it.
    const QByteArray raw = QFile::encodeName(m_a) + "/\xb1\xa8\xb1\xed.txt"; // "报表" in GB 2312
    {
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "gbk", 3), ssize_t(3));
        ::close(fd);
        const struct timespec past[2] = {{0, UTIME_OMIT}, {time(nullptr) - 60, 0}};
        QVERIFY(::utimensat(AT_FDCWD, raw.constData(), past, 0) == 0);
    }
    QVERIFY(writeSettled(m_a + "/after-gbk.txt", "still goes"));
    QTRY_COMPARE_WITH_TIMEOUT(treeOf(m_b).value("after-gbk.txt"), QByteArray("still goes"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!a.failures().isEmpty(), 30000);
    // Listed and looked at again after a growing pause, not in a loop.
    checkRetriedAtTheBound(a);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(a.failures().first().error.contains("编码"));

    // A synced file renamed to such a name has not gone: the server keeps it, and so does B.
    const QString keptId = serverIdOf(m_folderId, "after-gbk.txt");
    const QByteArray renamed = QFile::encodeName(m_a) + "/\xd2\xd1\xb4\xe6.txt"; // "已存"
    QVERIFY(::rename(QFile::encodeName(m_a + "/after-gbk.txt").constData(), renamed.constData()) == 0);
    QTRY_COMPARE_WITH_TIMEOUT(a.failures().size(), 2, 30000);
    QCOMPARE(serverIdOf(m_folderId, "after-gbk.txt"), keptId);
    QVERIFY(treeOf(m_b).contains("after-gbk.txt"));
    QVERIFY(!trashNames().contains("after-gbk.txt"));

    QVERIFY(::unlink(raw.constData()) == 0);
    QVERIFY(::rename(renamed.constData(), QFile::encodeName(m_a + "/after-gbk.txt").constData()) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(a.failures().isEmpty() && a.state() == SyncEngine::State::Idle, 30000);
    QCOMPARE(serverIdOf(m_folderId, "after-gbk.txt"), keptId);
}

QTEST_GUILESS_MAIN(TestSyncUnreadable)
#include "tst_sync_unreadable.moc"
