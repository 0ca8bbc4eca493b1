// The sync executor runs up to four transfers of a plan at once against the reference server:
// folders, moves and deletes still wait for what came before them, every file lands byte for
// byte, and one failed transfer leaves the others to finish. A download lands through its side
// file, and a local file changed while it ran steps aside as a conflict copy.
#include "eventwait.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "referenceserver.h"
#include "sync/localscanner.h"
#include "sync/syncexecutor.h"
#include "sync/syncjournal.h"
#include "synckit.h"
#include "testsettings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Kind = SyncAction::Kind;

QByteArray contentOf(int i)
{
    // Different sizes and bytes, so a file swapped with another or cut short shows.
    QByteArray bytes;
    for (int k = 0; k < 2000 + i * 3001; ++k)
        bytes += char('a' + (k * 7 + i) % 26);
    return bytes;
}

using SyncKit::writeSettled;

SyncAction actionOf(Kind kind, const QString &path)
{
    SyncAction a;
    a.kind = kind;
    a.path = path;
    a.isDir = kind == Kind::CreateRemoteFolder;
    return a;
}

} // namespace

class TestSyncParallel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void transfersRunFourAtOnceAndAFolderWaitsForThemAll();
    void oneFailedTransferDoesNotStopTheOthers();
    void fileChangedWhileItsDownloadRunsBecomesAConflictCopy();

private:
    QString newFolder(const QString &name);
    QByteArray serverBytes(const QString &id);

    QTemporaryDir m_work;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_user;
};

void TestSyncParallel::initTestCase()
{
    const QString problem = SyncKit::startSignedIn(m_work.path(), m_server, m_user, "sync_parallel", "13912340077");
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

QString TestSyncParallel::newFolder(const QString &name)
{
    return SyncKit::newFolder(*m_server, m_user, name);
}

QByteArray TestSyncParallel::serverBytes(const QString &id)
{
    const auto answer = m_server->get("/api/files/" + id + "/download", m_user);
    return answer.status == 200 ? answer.body : QByteArray("(missing)");
}

void TestSyncParallel::transfersRunFourAtOnceAndAFolderWaitsForThemAll()
{
    const QString folderId = newFolder("parallel");
    QVERIFY(!folderId.isEmpty());
    const QString root = m_work.filePath("p1");
    QList<SyncAction> actions;
    for (int i = 0; i < 6; ++i) {
        const QString name = QStringLiteral("f%1.txt").arg(i);
        QVERIFY(writeSettled(root + '/' + name, contentOf(i)));
        actions << actionOf(Kind::Upload, name);
    }
    QVERIFY(QDir().mkpath(root + "/dir"));
    QVERIFY(writeSettled(root + "/dir/x.txt", contentOf(9)));
    actions << actionOf(Kind::CreateRemoteFolder, "dir") << actionOf(Kind::Upload, "dir/x.txt");

    SyncJournal journal;
    QVERIFY(journal.open(m_work.filePath("p1.db")));
    SyncExecutor executor;
    QStringList started;
    QStringList unfinishedWhenTheFolderStarted;
    connect(&executor, &SyncExecutor::actionStarted, this, [&](const SyncAction &a) {
        started << a.path;
        if (a.path == "dir") {
            for (int i = 0; i < 6; ++i) {
                if (!journal.contains(QStringLiteral("f%1.txt").arg(i)))
                    unfinishedWhenTheFolderStarted << QStringLiteral("f%1.txt").arg(i);
            }
        }
    });
    QSignalSpy finished(&executor, &SyncExecutor::finished);
    SyncExecutor::Context context;
    context.root = root;
    context.rootFolderId = folderId;
    context.journal = &journal;
    executor.run(actions, context);
    // Four transfers start at once, before any answer.
    QCOMPARE(started, QStringList({"f0.txt", "f1.txt", "f2.txt", "f3.txt"}));
    QVERIFY(finished.wait(30000));
    QVERIFY2(executor.failures().isEmpty(), qPrintable(executor.failures().value(0).error));
    QCOMPARE(started.size(), 8);
    QVERIFY2(unfinishedWhenTheFolderStarted.isEmpty(), qPrintable(unfinishedWhenTheFolderStarted.join(',')));
    QCOMPARE(started.indexOf("dir/x.txt"), 7);
    for (int i = 0; i < 6; ++i) {
        const JournalEntry entry = journal.entry(QStringLiteral("f%1.txt").arg(i));
        QVERIFY(!entry.serverId.isEmpty());
        QCOMPARE(serverBytes(entry.serverId), contentOf(i));
    }
    QCOMPARE(serverBytes(journal.entry("dir/x.txt").serverId), contentOf(9));
    QVERIFY(journal.entry("dir").isDir);
    QCOMPARE(executor.done(), 8);
}

void TestSyncParallel::oneFailedTransferDoesNotStopTheOthers()
{
    const QString folderId = newFolder("parallel-failure");
    QVERIFY(!folderId.isEmpty());
    const QString root = m_work.filePath("p2");
    QVERIFY(QDir().mkpath(root));
    QList<SyncAction> actions;
    for (int i = 0; i < 4; ++i) {
        if (i == 1) {
            // A server file that is no longer there: its download fails while the uploads run.
            SyncAction ghost = actionOf(Kind::Download, "ghost.txt");
            ghost.serverId = "987654";
            ghost.md5 = "0123456789abcdef0123456789abcdef";
            ghost.size = 10;
            actions << ghost;
            continue;
        }
        const QString name = QStringLiteral("g%1.txt").arg(i);
        QVERIFY(writeSettled(root + '/' + name, contentOf(20 + i)));
        actions << actionOf(Kind::Upload, name);
    }
    SyncJournal journal;
    QVERIFY(journal.open(m_work.filePath("p2.db")));
    SyncExecutor executor;
    QSignalSpy started(&executor, &SyncExecutor::actionStarted);
    QSignalSpy finished(&executor, &SyncExecutor::finished);
    SyncExecutor::Context context;
    context.root = root;
    context.rootFolderId = folderId;
    context.journal = &journal;
    executor.run(actions, context);
    QCOMPARE(started.size(), 4);
    QVERIFY(finished.wait(30000));
    QCOMPARE(executor.failures().size(), 1);
    QCOMPARE(executor.failures().first().path, QStringLiteral("ghost.txt"));
    for (int i : {0, 2, 3}) {
        const JournalEntry entry = journal.entry(QStringLiteral("g%1.txt").arg(i));
        QVERIFY2(!entry.serverId.isEmpty(), qPrintable(entry.path));
        QCOMPARE(serverBytes(entry.serverId), contentOf(20 + i));
    }
    QVERIFY(!QFile::exists(root + "/ghost.txt"));
    QCOMPARE(executor.done(), 3);
}

void TestSyncParallel::fileChangedWhileItsDownloadRunsBecomesAConflictCopy()
{
    const QString folderId = newFolder("parallel-download");
    QVERIFY(!folderId.isEmpty());
    const QString root = m_work.filePath("p3");
    const QString target = root + QStringLiteral("/报告.txt");
    // The version both sides agreed on, on disk and on record.
    QVERIFY(writeSettled(target, "agreed version"));
    SyncJournal journal;
    QVERIFY(journal.open(m_work.filePath("p3.db")));
    LocalEntry agreed;
    QVERIFY(LocalScanner::stat(root, QStringLiteral("报告.txt"), agreed));
    QVERIFY(journal.begin());
    QVERIFY(journal.put(JournalEntry{QStringLiteral("报告.txt"), false, "1", agreed.size, agreed.mtimeMs, agreed.inode,
                                     "0123456789abcdef0123456789abcdef"}));
    QVERIFY(journal.commit());
    // The server's newer version.
    const QByteArray newer = contentOf(300);
    const auto uploaded = m_server->multipart(
        "/api/files/upload", {{"parent_id", {}, {}, folderId.toUtf8()}, {"files", "报告.txt", "text/plain", newer}},
        m_user);
    QVERIFY2(uploaded.success(), uploaded.body.constData());
    SyncAction down = actionOf(Kind::Download, QStringLiteral("报告.txt"));
    down.journalPath = down.path;
    down.serverId = QString::number(uploaded.dataArray().at(0)["id"].toInteger());
    down.md5 = QString::fromLatin1(QCryptographicHash::hash(newer, QCryptographicHash::Md5).toHex());
    down.size = newer.size();

    const auto unlimited = qScopeGuard([] { HttpClient::instance()->downloadLimiter().setRate(0); });
    HttpClient::instance()->downloadLimiter().setRate(256 * 1024);
    SyncExecutor executor;
    QSignalSpy finished(&executor, &SyncExecutor::finished);
    SyncExecutor::Context context;
    context.root = root;
    context.rootFolderId = folderId;
    context.journal = &journal;
    executor.run({down}, context);
    const QString side = root + '/' + SyncExecutor::sideName(down.serverId) + ".part";
    QVERIFY(waitUntil([&] { return QFileInfo(side).size() > 0; }, 30000));
    // Under way, the download writes its side file only.
    QFile current(target);
    QVERIFY(current.open(QIODevice::ReadOnly));
    QCOMPARE(current.readAll(), QByteArray("agreed version"));
    current.close();
    // The user saves meanwhile.
    QFile edit(target);
    QVERIFY(edit.open(QIODevice::WriteOnly));
    QCOMPARE(edit.write("saved while it downloaded"), qint64(25));
    edit.close();
    HttpClient::instance()->downloadLimiter().setRate(0);
    QVERIFY(finished.wait(30000));

    QVERIFY2(executor.failures().isEmpty(), qPrintable(executor.failures().value(0).error));
    QCOMPARE(executor.conflictCopies().size(), 1);
    const QString copy = executor.conflictCopies().constFirst();
    QVERIFY2(copy.startsWith(QStringLiteral("报告 (冲突副本 ")) && copy.endsWith(").txt"), qPrintable(copy));
    QFile kept(root + '/' + copy);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("saved while it downloaded"));
    QFile landed(target);
    QVERIFY(landed.open(QIODevice::ReadOnly));
    QCOMPARE(landed.readAll(), newer);
    QCOMPARE(journal.entry(QStringLiteral("报告.txt")).serverId, down.serverId);
    QVERIFY(!journal.contains(copy)); // a new file for the next round to upload
    QCOMPARE(QDir(root).entryList({".tvr-sync-*"}, QDir::Files | QDir::Hidden), QStringList());
}

QTEST_MAIN(TestSyncParallel)
#include "tst_sync_parallel.moc"
