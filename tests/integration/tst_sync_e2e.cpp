// Two sync engines on two local folders, paired to the same folder of the reference server:
// what one side does reaches the other, moves stay moves, deletes go to a trash, conflicts keep
// both versions, and a round that would delete too much waits for the user.
#include "eventwait.h"
#include "net/session.h"
#include "referenceserver.h"
#include "sync/ignorerules.h"
#include "sync/syncengine.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QMap<QString, QByteArray> treeOf(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QString rel = base.relativeFilePath(it.filePath());
        if (IgnoreRules().isIgnored(rel))
            continue; // never synced
        if (it.fileInfo().isDir()) {
            tree.insert(rel, "/");
        } else {
            QFile f(it.filePath());
            f.open(QIODevice::ReadOnly);
            tree.insert(rel, f.readAll());
        }
    }
    return tree;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Files a little in the past count as stable at once (the engine waits for files still being written).
bool writeSettled(const QString &path, const QByteArray &bytes)
{
    if (!writeFile(path, bytes))
        return false;
    QFile f(path);
    return f.open(QIODevice::ReadWrite) &&
           f.setFileTime(QDateTime::currentDateTime().addSecs(-10), QFileDevice::FileModificationTime);
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
    void deletesGoToBothTrashes();
    void changedOnBothSidesKeepsBothVersions();
    void massDeleteWaitsForConfirmation();

private:
    bool settled(int timeoutMs = 20000);
    QJsonArray serverFiles(const QString &parentId);
    QString serverIdOf(const QString &parentId, const QString &name);

    QTemporaryDir m_work;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_user;
    QString m_folderId;
    QString m_a;
    QString m_b;
    std::unique_ptr<SyncEngine> m_engineA;
    std::unique_ptr<SyncEngine> m_engineB;
};

void TestSyncE2E::initTestCase()
{
    useSettingsFolder(m_work.filePath("settings"));
    // The desktop's trash lives under the data folder: keep it in the test's own folder.
    qputenv("XDG_DATA_HOME", m_work.filePath("data").toUtf8());
    QDir().mkpath(m_work.filePath("data"));
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_user = m_server->signIn("e2e_sync", "13912340022");
    QVERIFY(m_user.isValid());
    QVERIFY(Session::instance()->applyLogin(m_user.login));
    const auto folder = m_server->postJson("/api/folders", QJsonObject{{"name", "同步"}}, m_user);
    QVERIFY2(folder.success(), folder.body.constData());
    m_folderId = QString::number(folder.dataObject().value("id").toInteger());

    m_a = m_work.filePath("A");
    m_b = m_work.filePath("B");
    QDir().mkpath(m_a);
    QDir().mkpath(m_b);
    m_engineA = std::make_unique<SyncEngine>(SyncEngine::Config{m_a, m_folderId, {}, {}}, m_work.filePath("ja.db"));
    m_engineB = std::make_unique<SyncEngine>(SyncEngine::Config{m_b, m_folderId, {}, {}}, m_work.filePath("jb.db"));
    for (SyncEngine *engine : {m_engineA.get(), m_engineB.get()}) {
        engine->setTimings(50, 300, 300);
        QVERIFY(engine->start());
    }
}

void TestSyncE2E::cleanupTestCase()
{
    m_engineA.reset();
    m_engineB.reset();
}

bool TestSyncE2E::settled(int timeoutMs)
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

QJsonArray TestSyncE2E::serverFiles(const QString &parentId)
{
    return m_server->get("/api/files?parent_id=" + parentId, m_user).dataArray();
}

QString TestSyncE2E::serverIdOf(const QString &parentId, const QString &name)
{
    for (const QJsonValue &v : serverFiles(parentId)) {
        if (v["name"].toString() == name)
            return QString::number(v["id"].toInteger());
    }
    return {};
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
    const int tasksBefore = int(TransferManager::instance()->tasks().size());
    QVERIFY(QDir().rename(m_a + "/album", m_a + "/相册"));
    QVERIFY(settled());
    QVERIFY(treeOf(m_b).contains("相册/29.jpg"));
    QVERIFY(!treeOf(m_b).contains("album"));
    // The same server folder and files, renamed: nothing went up or down.
    QCOMPARE(serverIdOf(m_folderId, "相册"), albumId);
    QCOMPARE(serverIdOf(albumId, "0.jpg"), firstId);
    QCOMPARE(int(TransferManager::instance()->tasks().size()), tasksBefore);
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
    m_engineA->resume();
    QVERIFY(waitUntil([&] {
        return m_engineA->state() == SyncEngine::State::Idle && m_engineA->quietRounds() > 0 &&
               !serverIdOf(m_folderId, "shared.txt").isEmpty() &&
               m_server->get("/api/files?parent_id=" + m_folderId, m_user).body.contains("\"size\":11");
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
