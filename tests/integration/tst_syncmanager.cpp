// The user's sync pairs against the reference server: kept per user without anything secret,
// stopped on sign-out and started again on sign-in, removed without touching a file on either
// side, the vault and overlapping folders refused, their transfers in the transfer list, the
// count of a running round falling as it goes, and an upload cut by sign-out continued once.
#include "eventwait.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "referenceserver.h"
#include "sync/syncengine.h"
#include "sync/syncmanager.h"
#include "synckit.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"
#include "transfer/transfertask.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

using SyncKit::writeSettled;

QByteArray settingsBytes()
{
    QSettings settings;
    settings.sync();
    QFile file(settings.fileName());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSyncManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void pairsAreKeptPerUserWithoutSecrets();
    void signOutStopsEnginesAndSignInResumesThem();
    void pausedPairStaysPausedAfterSignIn();
    void removingAPairLeavesBothSidesFiles();
    void vaultMissingAndOverlappingFoldersAreRefused();
    void pairTransfersShowInTheTransferList();
    void journalThatCannotOpenIsAnErrorUntilSyncNow();
    void syncingCountFallsAsEachActionEnds();
    void signOutMidUploadContinuesThatUploadOnceAfterSignIn();
    void removingAPairMidUploadCancelsItsTransfer();

private:
    void signInAs(const ReferenceServer::Credentials &user);
    QString addPair(const QString &localPath, const QString &folderName, QString *folderId = nullptr);
    QString serverIdOf(const QString &parentId, const QString &name, const ReferenceServer::Credentials &as);
    bool waitForServerFile(const QString &parentId, const QString &name);

    QTemporaryDir m_work;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_alice;
    ReferenceServer::Credentials m_bob;
    std::unique_ptr<SyncManager> m_manager;
    int m_folders = 0;
};

void TestSyncManager::initTestCase()
{
    QVERIFY(m_work.isValid());
    useSettingsFolder(m_work.filePath("settings"));
    // The journals and the desktop's trash live under the data folder: keep both in the test's folder.
    qputenv("XDG_DATA_HOME", m_work.filePath("data").toUtf8());
    QDir().mkpath(m_work.filePath("data"));
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_alice = m_server->signIn("sync_alice", "13912340031");
    m_bob = m_server->signIn("sync_bob", "13912340032");
    QVERIFY(m_alice.isValid() && m_bob.isValid());
}

void TestSyncManager::cleanupTestCase()
{
    m_manager.reset();
    Session::instance()->clear();
}

void TestSyncManager::init()
{
    Session::instance()->clear();
    m_manager = std::make_unique<SyncManager>();
    m_manager->setEngineTimings(50, 300, 300);
}

void TestSyncManager::cleanup()
{
    if (m_manager) {
        for (const SyncPair &pair : m_manager->pairs())
            m_manager->removePair(pair.id);
    }
    m_manager.reset();
    Session::instance()->clear();
}

void TestSyncManager::signInAs(const ReferenceServer::Credentials &user)
{
    Session::instance()->clear();
    QVERIFY(Session::instance()->applyLogin(user.login));
}

QString TestSyncManager::serverIdOf(const QString &parentId, const QString &name,
                                    const ReferenceServer::Credentials &as)
{
    for (const QJsonValue &v : m_server->get("/api/files?parent_id=" + parentId, as).dataArray()) {
        if (v["name"].toString() == name)
            return QString::number(v["id"].toInteger());
    }
    return {};
}

bool TestSyncManager::waitForServerFile(const QString &parentId, const QString &name)
{
    return waitUntil([&] { return !serverIdOf(parentId, name, m_alice).isEmpty(); }, 20000);
}

// A new server folder of the signed-in user paired with localPath; the pair's id.
QString TestSyncManager::addPair(const QString &localPath, const QString &folderName, QString *folderId)
{
    const auto folder = m_server->postJson("/api/folders", QJsonObject{{"name", folderName}}, m_alice);
    if (!folder.success())
        return {};
    const QString id = QString::number(folder.dataObject().value("id").toInteger());
    if (folderId)
        *folderId = id;
    QDir().mkpath(localPath);
    SyncPair pair;
    pair.localPath = localPath;
    pair.folderId = id;
    pair.folderPath = QStringLiteral("全部文件/") + folderName;
    QString pairId;
    const QString problem = m_manager->addPair(pair, &pairId);
    return problem.isEmpty() ? pairId : QString();
}

void TestSyncManager::pairsAreKeptPerUserWithoutSecrets()
{
    signInAs(m_alice);
    const QString local = m_work.filePath("alice-docs");
    QString folderId;
    const QString id = addPair(local, "资料", &folderId);
    QVERIFY(!id.isEmpty());
    QCOMPARE(m_manager->pairs().size(), 1);

    // The settings name the folders and never the session's token.
    const QByteArray stored = settingsBytes();
    QVERIFY(stored.contains(QDir(local).dirName().toUtf8()) || stored.contains("alice-docs"));
    QVERIFY(!Session::instance()->token.isEmpty());
    QVERIFY(!stored.contains(Session::instance()->token.toUtf8()));
    QVERIFY(!stored.contains(m_alice.token.toUtf8()));

    // Another user sees none of them, in this run or the next.
    signInAs(m_bob);
    QCOMPARE(m_manager->userId(), Session::instance()->userId);
    QVERIFY(m_manager->pairs().isEmpty());
    QVERIFY(m_manager->overallText().isEmpty());
    SyncManager fresh;
    QVERIFY(fresh.pairs().isEmpty());

    signInAs(m_alice);
    QCOMPARE(m_manager->pairs().size(), 1);
    const SyncPair pair = m_manager->pairs().constFirst();
    QCOMPARE(pair.id, id);
    QCOMPARE(pair.localPath, local);
    QCOMPARE(pair.folderId, folderId);
    QCOMPARE(pair.folderPath, QStringLiteral("全部文件/资料"));
    QVERIFY(!pair.paused);
}

void TestSyncManager::signOutStopsEnginesAndSignInResumesThem()
{
    signInAs(m_alice);
    const QString local = m_work.filePath("alice-sign");
    QString folderId;
    const QString id = addPair(local, "进出", &folderId);
    QVERIFY(!id.isEmpty());
    QVERIFY(m_manager->engine(id));
    QVERIFY(writeSettled(local + "/before.txt", "before"));
    QVERIFY(waitForServerFile(folderId, "before.txt"));
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->status(id).kind, SyncPairStatus::Kind::Synced, 20000);
    QCOMPARE(m_manager->overallText(), QStringLiteral("已同步"));

    // Signed out: no engine is left, and the pairs are the next user's business no more.
    Session::instance()->clear();
    QVERIFY(m_manager->findChildren<SyncEngine *>().isEmpty());
    QVERIFY(m_manager->engine(id) == nullptr);
    QVERIFY(m_manager->pairs().isEmpty());

    // Written while signed out, sent once the same user is back.
    QVERIFY(writeSettled(local + "/while-away.txt", "away"));
    QVERIFY(Session::instance()->applyLogin(m_alice.login));
    QVERIFY(m_manager->engine(id));
    QVERIFY(waitForServerFile(folderId, "while-away.txt"));
}

void TestSyncManager::pausedPairStaysPausedAfterSignIn()
{
    signInAs(m_alice);
    const QString local = m_work.filePath("alice-pause");
    QString folderId;
    const QString id = addPair(local, "暂停", &folderId);
    QVERIFY(!id.isEmpty());
    m_manager->pause(id);
    QCOMPARE(m_manager->status(id).kind, SyncPairStatus::Kind::Paused);
    QCOMPARE(SyncManager::stateText(m_manager->status(id)), QStringLiteral("已暂停"));
    QCOMPARE(m_manager->overallText(), QStringLiteral("同步已暂停"));

    signInAs(m_alice);
    QCOMPARE(m_manager->status(id).kind, SyncPairStatus::Kind::Paused);
    QVERIFY(m_manager->engine(id) == nullptr); // a paused pair does not even poll the server

    QVERIFY(writeSettled(local + "/later.txt", "later"));
    m_manager->resume(id);
    QVERIFY(m_manager->engine(id));
    QVERIFY(waitForServerFile(folderId, "later.txt"));
    QVERIFY(!m_manager->pairs().constFirst().paused);
}

void TestSyncManager::removingAPairLeavesBothSidesFiles()
{
    signInAs(m_alice);
    const QString local = m_work.filePath("alice-remove");
    QString folderId;
    const QString id = addPair(local, "移除", &folderId);
    QVERIFY(!id.isEmpty());
    QVERIFY(writeSettled(local + "/keep.txt", "keep me"));
    QVERIFY(waitForServerFile(folderId, "keep.txt"));
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->status(id).kind, SyncPairStatus::Kind::Synced, 20000);
    const QString journal = SyncManager::journalPath(m_manager->userId(), id);
    QVERIFY(QFile::exists(journal));

    m_manager->removePair(id);
    QVERIFY(m_manager->pairs().isEmpty());
    QVERIFY(m_manager->engine(id) == nullptr);
    QVERIFY(!QFile::exists(journal));
    // Both sides as they were.
    QFile kept(local + "/keep.txt");
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("keep me"));
    QVERIFY(!serverIdOf(folderId, "keep.txt", m_alice).isEmpty());
    QVERIFY(!serverIdOf(QString(), "移除", m_alice).isEmpty());
    for (const QJsonValue &v : m_server->get("/api/files/trash", m_alice).dataArray())
        QVERIFY(v["name"].toString() != QStringLiteral("keep.txt"));
    // And gone from the settings for good.
    signInAs(m_alice);
    QVERIFY(m_manager->pairs().isEmpty());
}

void TestSyncManager::vaultMissingAndOverlappingFoldersAreRefused()
{
    SyncPair pair;
    pair.localPath = m_work.filePath("refused");
    QDir().mkpath(pair.localPath);
    QVERIFY(!m_manager->addPair(pair).isEmpty()); // signed out

    signInAs(m_alice);
    pair.space = SyncPair::Space::Vault;
    pair.folderPath = QStringLiteral("保险箱");
    const QString vault = m_manager->addPair(pair);
    QVERIFY2(vault.contains(QStringLiteral("保险箱")), qPrintable(vault));

    pair.space = SyncPair::Space::Personal;
    pair.localPath = m_work.filePath("nowhere");
    QVERIFY(m_manager->addPair(pair).startsWith(QStringLiteral("本地文件夹不存在")));

    pair.localPath = m_work.filePath("refused");
    QString id;
    QVERIFY(m_manager->addPair(pair, &id).isEmpty());
    // A folder inside a synced one, or around it, would be synced twice.
    pair.localPath = m_work.filePath("refused/inner");
    QDir().mkpath(pair.localPath);
    pair.folderId = QStringLiteral("999");
    QVERIFY(m_manager->addPair(pair).contains(QStringLiteral("重叠")));
    pair.localPath = m_work.filePath("refused/..");
    QVERIFY(!m_manager->addPair(pair).isEmpty());
    const QString outer = m_work.filePath("outer");
    QVERIFY(QDir().mkpath(outer + "/refused"));
    QString innerId;
    pair.localPath = outer + "/refused";
    pair.folderId = QStringLiteral("998");
    QVERIFY(m_manager->addPair(pair, &innerId).isEmpty());
    pair.localPath = outer;
    pair.folderId = QStringLiteral("997");
    QVERIFY(m_manager->addPair(pair).contains(QStringLiteral("重叠")));
    m_manager->removePair(innerId);
    // Nor the program's own data folder, where the journals are.
    pair.localPath = m_work.filePath("data");
    QVERIFY(m_manager->addPair(pair).contains(QStringLiteral("数据文件夹")));
    // A sibling whose name starts the same is no overlap.
    pair.localPath = m_work.filePath("refused-2");
    QDir().mkpath(pair.localPath);
    QVERIFY(m_manager->addPair(pair).isEmpty());
    QCOMPARE(m_manager->pairs().size(), 2);
    for (const SyncPair &kept : m_manager->pairs())
        QVERIFY(kept.space != SyncPair::Space::Vault);
}

void TestSyncManager::pairTransfersShowInTheTransferList()
{
    signInAs(m_alice);
    const QString local = m_work.filePath("alice-transfers");
    QString folderId;
    QVERIFY(!addPair(local, "传输", &folderId).isEmpty());
    QVERIFY(writeSettled(local + "/上传.txt", "sent by the pair"));
    QVERIFY(waitForServerFile(folderId, "上传.txt"));
    bool listed = false;
    for (const TransferTask *task : TransferManager::instance()->tasks())
        listed = listed || task->name() == QStringLiteral("上传.txt");
    QVERIFY(listed);
}

void TestSyncManager::journalThatCannotOpenIsAnErrorUntilSyncNow()
{
    signInAs(m_alice);
    // A file where the user's journal folder belongs: no journal can be opened.
    const QString journals = QFileInfo(SyncManager::journalPath(m_manager->userId(), "x")).absolutePath();
    QVERIFY(QDir(journals).removeRecursively());
    QFile blocker(journals);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString local = m_work.filePath("alice-journal");
    QString folderId;
    const QString id = addPair(local, "记录", &folderId);
    QVERIFY(!id.isEmpty());
    SyncPairStatus status = m_manager->status(id);
    QCOMPARE(status.kind, SyncPairStatus::Kind::Failed);
    QCOMPARE(SyncManager::stateText(status), QStringLiteral("出错 1 项"));
    QVERIFY2(status.failures.constFirst().error.startsWith(QStringLiteral("无法打开同步记录")),
             qPrintable(status.failures.constFirst().error));
    QVERIFY(m_manager->overallText().startsWith(QStringLiteral("同步：出错")));

    QVERIFY(QFile::remove(journals));
    QVERIFY(writeSettled(local + "/after.txt", "after"));
    m_manager->syncNow(id);
    QVERIFY(waitForServerFile(folderId, "after.txt"));
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->status(id).kind, SyncPairStatus::Kind::Synced, 20000);
}

void TestSyncManager::syncingCountFallsAsEachActionEnds()
{
    signInAs(m_alice);
    const QString local = m_work.filePath("alice-count");
    for (int i = 0; i < 3; ++i)
        QVERIFY(writeSettled(local + QStringLiteral("/n%1.txt").arg(i), QByteArray(1000 + i, char('n' + i))));
    // What the row and the tray said, each change once.
    QStringList rowTexts;
    QStringList trayTexts;
    const auto note = [](QStringList &texts, const QString &text) {
        if (texts.isEmpty() || texts.constLast() != text)
            texts << text;
    };
    connect(m_manager.get(), &SyncManager::statusChanged, this, [&] {
        const QList<SyncPairStatus> all = m_manager->statuses();
        if (all.size() != 1)
            return;
        note(rowTexts, SyncManager::stateText(all.constFirst()));
        note(trayTexts, m_manager->overallText());
    });
    QString folderId;
    const QString id = addPair(local, "计数", &folderId);
    QVERIFY(!id.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_server->get("/api/files?parent_id=" + folderId, m_alice).dataArray().size(), 3, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->status(id).kind, SyncPairStatus::Kind::Synced, 20000);
    m_manager->disconnect(this);

    const QStringList row{"同步中 3 项", "同步中 2 项", "同步中 1 项", "已同步"};
    const qsizetype first = rowTexts.indexOf("同步中 3 项");
    QVERIFY2(first >= 0, qPrintable(rowTexts.join(" | ")));
    QCOMPARE(rowTexts.mid(first, row.size()), row);
    const qsizetype trayFirst = trayTexts.indexOf("同步中 3 项");
    QVERIFY2(trayFirst >= 0, qPrintable(trayTexts.join(" | ")));
    QCOMPARE(trayTexts.mid(trayFirst, row.size()), row);
}

void TestSyncManager::signOutMidUploadContinuesThatUploadOnceAfterSignIn()
{
    QTemporaryDir store;
    QVERIFY(store.isValid());
    TransferManager *transfers = TransferManager::instance();
    const auto restore = qScopeGuard([transfers] {
        HttpClient::instance()->uploadLimiter().setRate(0);
        transfers->closeStore();
    });
    // As the program does at sign-in: the user's unfinished transfers first, then the session.
    QVERIFY(transfers->openStore(store.path(), m_alice.userId));
    signInAs(m_alice);
    const QString local = m_work.filePath("alice-big");
    const QString name = QStringLiteral("大文件.bin");
    QByteArray content;
    content.reserve(20 * 1024 * 1024);
    for (int i = 0; content.size() < 20 * 1024 * 1024; ++i)
        content += QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Md5);
    QVERIFY(writeSettled(local + '/' + name, content));
    // Slow enough that sign-out finds the chunks on their way.
    HttpClient::instance()->uploadLimiter().setRate(3LL * 1024 * 1024);
    QString folderId;
    const QString id = addPair(local, "大文件", &folderId);
    QVERIFY(!id.isEmpty());
    const auto jobsNamed = [&] {
        QList<TransferTask *> found;
        for (TransferTask *task : transfers->tasks()) {
            if (task->name() == name)
                found << task;
        }
        return found;
    };
    QPointer<TransferTask> job;
    QVERIFY(waitUntil(
        [&] {
            const QList<TransferTask *> jobs = jobsNamed();
            job = jobs.value(0);
            return job && job->kind() == TransferTask::Kind::Upload && job->doneBytes() > 0;
        },
        30000));

    // Signed out: the sync's transfer stops where it is, waiting, not failed and not running on.
    Session::instance()->clear();
    QVERIFY(job);
    QCOMPARE(job->state(), TransferTask::State::Paused);
    const QString storeFile = transfers->storePath();
    transfers->closeStore();
    QVERIFY(job.isNull());
    HttpClient::instance()->uploadLimiter().setRate(0);
    QFile kept(storeFile);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    int records = 0;
    for (const QJsonValue &record : QJsonDocument::fromJson(kept.readAll()).object().value("jobs").toArray()) {
        if (record["name"].toString() != name)
            continue;
        ++records;
        QVERIFY(!record["uploadId"].toString().isEmpty()); // the server's session, to go on with
        QVERIFY(!record["md5"].toString().isEmpty());
    }
    QCOMPARE(records, 1);

    // Signed in again: that job goes on, once, and the server holds the file once, byte for byte.
    QVERIFY(transfers->openStore(store.path(), m_alice.userId));
    QVERIFY(Session::instance()->applyLogin(m_alice.login));
    QVERIFY(waitForServerFile(folderId, name));
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->status(id).kind, SyncPairStatus::Kind::Synced, 30000);
    const QList<TransferTask *> jobs = jobsNamed();
    QCOMPARE(jobs.size(), 1);
    QCOMPARE(jobs.constFirst()->state(), TransferTask::State::Finished);
    const QJsonArray files = m_server->get("/api/files?parent_id=" + folderId, m_alice).dataArray();
    QCOMPARE(files.size(), 1);
    QCOMPARE(files.at(0)["name"].toString(), name);
    const auto fetched =
        m_server->get("/api/files/" + QString::number(files.at(0)["id"].toInteger()) + "/download", m_alice);
    QCOMPARE(fetched.status, 200);
    QVERIFY(fetched.body == content);
}

void TestSyncManager::removingAPairMidUploadCancelsItsTransfer()
{
    TransferManager *transfers = TransferManager::instance();
    const auto restore = qScopeGuard([] { HttpClient::instance()->uploadLimiter().setRate(0); });
    signInAs(m_alice);
    const QString local = m_work.filePath("alice-removed-mid-upload");
    const QString name = QStringLiteral("移除中.bin");
    const QByteArray content(12 * 1024 * 1024, 'r');
    QVERIFY(writeSettled(local + '/' + name, content));
    const QDir sessions(m_server->dataDir() + "/uploads");
    const auto sessionsNow = [&sessions] { return sessions.entryList(QDir::Dirs | QDir::NoDotAndDotDot); };
    const QStringList sessionsBefore = sessionsNow();
    HttpClient::instance()->uploadLimiter().setRate(2LL * 1024 * 1024);
    QString folderId;
    const QString id = addPair(local, "移除中", &folderId);
    QVERIFY(!id.isEmpty());
    QPointer<TransferTask> job;
    QVERIFY(waitUntil(
        [&] {
            for (TransferTask *task : transfers->tasks()) {
                if (task->name() == name && task->kind() == TransferTask::Kind::Upload && task->doneBytes() > 0)
                    job = task;
            }
            return !job.isNull();
        },
        30000));
    QCOMPARE(sessionsNow().size(), sessionsBefore.size() + 1);

    // Nothing would ever continue it: it leaves the list (not paused there), and the server's
    // session goes with it. The file stays where it was.
    m_manager->removePair(id);
    QTRY_VERIFY_WITH_TIMEOUT(job.isNull(), 10000);
    for (TransferTask *task : transfers->tasks())
        QVERIFY(task->name() != name);
    QTRY_COMPARE_WITH_TIMEOUT(sessionsNow(), sessionsBefore, 20000);
    QVERIFY(serverIdOf(folderId, name, m_alice).isEmpty());
    QCOMPARE(QFileInfo(local + '/' + name).size(), content.size());
}

QTEST_GUILESS_MAIN(TestSyncManager)
#include "tst_syncmanager.moc"
