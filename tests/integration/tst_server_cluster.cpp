// Several reference servers on one data folder (and one database) behave as one service: any
// instance serves any request of any session, chunks merge wherever they landed, throttles and
// the development switches are shared. TVR_TEST_DATABASE_URL, when set, is handed to every
// instance as --database, so the same cases run on a shared PostgreSQL.
#include "cluster/lease.h"
#include "http/trustedproxies.h"
#include "referenceserver.h"
#include "storage/database.h"
#include "vault/vaultsessions.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QUrl>
#include <QtTest>

using Creds = ReferenceServer::Credentials;
using Reply = ReferenceServer::Reply;

namespace {

constexpr qint64 ChunkBytes = 64 * 1024;

QByteArray randomBytes(qint64 size)
{
    QByteArray out(size, Qt::Uninitialized);
    for (char &c : out)
        c = char(QRandomGenerator::global()->bounded(256));
    return out;
}

QStringList databaseArgs()
{
    const QString url = qEnvironmentVariable("TVR_TEST_DATABASE_URL");
    return url.isEmpty() ? QStringList() : QStringList{QStringLiteral("--database"), url};
}

QStringList names(const Reply &reply)
{
    QStringList out;
    for (const QJsonValue &v : reply.dataArray())
        out.append(v.toObject().value("name").toString());
    return out;
}

} // namespace

class TestServerCluster final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signInOnOneServesEveryPageOnTheOthers();
    void vaultUnlockedOnOneIsOpenOnTheOthersUntilLocked();
    void vaultKeyIsNotInTheDatabaseInClear();
    void chunksOnDifferentInstancesMergeOnAnother();
    void mergeRunningOnAnotherInstanceIsRefusedAndTheFileStoredOnce();
    void mergeLeftByAKilledInstanceOfThisMachineGoesAheadAtOnce();
    void wrongVaultPasswordsAreCountedAcrossInstances();
    void autoPayOfOneInstanceSettlesOrdersOfAnother();
    void developmentClockMovesTheWholeCluster();
    void forwardedForIsBelievedOnlyFromATrustedProxy();
    void healthzFailsWhenTheDataFolderIsGone();
    void instancesStartingTogetherSeedTheDemoOnce();
    void wrappedVaultKeyOpensOnlyWithItsToken();
    void trustedProxiesMatchAddressesAndNetworksOnly();

private:
    std::unique_ptr<ReferenceServer> startInstance(const QString &dataDir, const QStringList &extra = {});
    ReferenceServer &node(int i) { return *m_nodes[size_t(i) % m_nodes.size()]; }
    // The database the instances share, opened in this process.
    bool openShared(tvr::server::Database &db);

    std::vector<std::unique_ptr<ReferenceServer>> m_nodes;
    Creds m_user;
};

std::unique_ptr<ReferenceServer> TestServerCluster::startInstance(const QString &dataDir, const QStringList &extra)
{
    ReferenceServer::Options options;
    options.chunkSize = ChunkBytes;
    options.dataDir = dataDir;
    options.extraArgs = databaseArgs() + extra;
    auto server = std::make_unique<ReferenceServer>(options);
    if (!server->start()) {
        qWarning("%s", qPrintable(server->errorString()));
        return nullptr;
    }
    return server;
}

bool TestServerCluster::openShared(tvr::server::Database &db)
{
    QString location = node(0).database();
    if (location.isEmpty())
        location = qEnvironmentVariable("TVR_TEST_DATABASE_URL");
    if (location.isEmpty())
        location = QStringLiteral("sqlite:") + QDir(node(0).dataDir()).filePath(QStringLiteral("tolvar.db"));
    QString error;
    if (!db.open(location, &error))
        qWarning("%s", qPrintable(error));
    return error.isEmpty();
}

void TestServerCluster::initTestCase()
{
    // The first instance makes the data folder; the others share it. Only the first is told to
    // pay orders automatically: the switch must reach the others through the database.
    auto first = startInstance(QString(), {QStringLiteral("--auto-pay"), QStringLiteral("0")});
    QVERIFY(first);
    const QString shared = first->dataDir();
    m_nodes.push_back(std::move(first));
    for (int i = 0; i < 2; ++i) {
        auto next = startInstance(shared);
        QVERIFY(next);
        m_nodes.push_back(std::move(next));
    }
    m_user = node(0).signIn("clusteruser", "13900000901");
    QVERIFY(m_user.isValid());
}

void TestServerCluster::signInOnOneServesEveryPageOnTheOthers()
{
    QVERIFY(node(1).postJson("/api/folders", {{"name", "从一号机建的"}}, m_user).success());
    for (int i = 0; i < 3; ++i) {
        const Reply list = node(i).get("/api/files?", m_user);
        QVERIFY2(list.success(), qPrintable(list.message()));
        QVERIFY(names(list).contains("从一号机建的"));
        QVERIFY(node(i).get("/api/profile", m_user).success());
    }
    // Signing out on one instance ends the session on all of them.
    const Creds other = node(2).signIn("clusterleaver", "13900000902");
    QVERIFY(other.isValid());
    QVERIFY(node(0).get("/api/profile", other).success());
    QVERIFY(node(1).postJson("/api/logout", {}, other).success());
    QCOMPARE(node(0).get("/api/profile", other).status, 401);
    QCOMPARE(node(2).get("/api/profile", other).status, 401);
}

void TestServerCluster::vaultUnlockedOnOneIsOpenOnTheOthersUntilLocked()
{
    QVERIFY(node(0).postJson("/api/vault/setup", {{"password", "cluster-vault"}}, m_user).success());
    const Reply unlocked = node(0).postJson("/api/vault/unlock", {{"password", "cluster-vault"}}, m_user);
    QVERIFY2(unlocked.success(), qPrintable(unlocked.message()));
    const QByteArray token = unlocked.dataObject().value("token").toString().toUtf8();
    QVERIFY(!token.isEmpty());

    const QByteArray content = randomBytes(100 * 1024);
    const QByteArray boundary = "----clustervault";
    const QByteArray body = "--" + boundary +
                            "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"secret.bin\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\n" +
                            content + "\r\n--" + boundary + "--\r\n";
    const Reply uploaded = node(1).request("POST", "/api/vault/upload", m_user, body,
                                           "multipart/form-data; boundary=" + boundary, {{"X-Vault-Token", token}});
    QVERIFY2(uploaded.success(), qPrintable(uploaded.message()));
    const qint64 id = qint64(uploaded.dataObject().value("id").toDouble());
    const QString path = QStringLiteral("/api/vault/files/%1/download").arg(id);

    const Reply downloaded = node(2).request("GET", path, m_user, {}, {}, {{"X-Vault-Token", token}});
    QCOMPARE(downloaded.status, 200);
    QVERIFY(downloaded.body == content);

    QVERIFY(node(1)
                .request("POST", "/api/vault/lock", m_user, "{}", "application/json", {{"X-Vault-Token", token}})
                .success());
    QCOMPARE(node(0).request("GET", path, m_user, {}, {}, {{"X-Vault-Token", token}}).status, 403);
    QCOMPARE(node(2).request("GET", path, m_user, {}, {}, {{"X-Vault-Token", token}}).status, 403);
}

void TestServerCluster::vaultKeyIsNotInTheDatabaseInClear()
{
    // An unlock leaves a row behind; nothing in the database files may unwrap it without the
    // token, and the token itself is not stored either.
    const Reply unlocked = node(1).postJson("/api/vault/unlock", {{"password", "cluster-vault"}}, m_user);
    QVERIFY(unlocked.success());
    const QByteArray token = unlocked.dataObject().value("token").toString().toUtf8();
    QByteArray stored;
    const bool postgres = !node(0).database().isEmpty();
    if (postgres) {
        // PostgreSQL's files belong to its cluster: read every column of the unlock records.
        tvr::server::Database db;
        QString error;
        QVERIFY2(db.open(node(0).database(), &error), qPrintable(error));
        for (const auto &row : db.query("SELECT vault_unlocks::text FROM vault_unlocks"))
            stored += row.value(0).toString().toUtf8();
    } else {
        QDir dir(node(0).dataDir());
        for (const QString &name : dir.entryList({"tolvar.db*"}, QDir::Files)) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            stored += file.readAll();
        }
    }
    QVERIFY(!stored.isEmpty());
    QVERIFY(!stored.contains(token));
    QVERIFY(!stored.contains(QByteArray::fromHex(token)));
    // The row is found by the token's digest: that part is meant to be there.
    QVERIFY(stored.contains(QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex()));
}

void TestServerCluster::chunksOnDifferentInstancesMergeOnAnother()
{
    const QByteArray content = randomBytes(3 * ChunkBytes + 1234);
    const Reply init = node(0).postJson(
        "/api/upload/init",
        {{"name", "spread.bin"},
         {"size", content.size()},
         {"md5", QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())}},
        m_user);
    QVERIFY2(init.success(), qPrintable(init.message()));
    const QString uploadId = init.dataObject().value("uploadId").toString();
    QCOMPARE(init.dataObject().value("totalChunks").toInt(), 4);
    // Chunk 0 on the instance that will merge, the others elsewhere: the merging instance must
    // learn what the others wrote.
    const int instanceOf[] = {0, 1, 2, 1};
    for (int index = 0; index < 4; ++index) {
        const Reply put = node(instanceOf[index])
                              .request("PUT", QStringLiteral("/api/upload/chunk/%1/%2").arg(uploadId).arg(index),
                                       m_user, content.mid(index * ChunkBytes, ChunkBytes), "application/octet-stream");
        QVERIFY2(put.success(), qPrintable(put.message()));
    }
    const Reply merged = node(0).postJson("/api/upload/merge", {{"uploadId", uploadId}}, m_user);
    QVERIFY2(merged.success(), qPrintable(merged.message()));
    const qint64 id = qint64(merged.dataObject().value("id").toDouble());
    const Reply body = node(1).get(QStringLiteral("/api/files/%1/download").arg(id), m_user);
    QCOMPARE(body.status, 200);
    QVERIFY(body.body == content);
}

void TestServerCluster::mergeRunningOnAnotherInstanceIsRefusedAndTheFileStoredOnce()
{
    const QByteArray content = randomBytes(2 * ChunkBytes + 99);
    const Reply init = node(0).postJson(
        "/api/upload/init",
        {{"name", "held.bin"},
         {"size", content.size()},
         {"md5", QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())}},
        m_user);
    QVERIFY2(init.success(), qPrintable(init.message()));
    const QString uploadId = init.dataObject().value("uploadId").toString();
    for (int index = 0; index < 3; ++index) {
        const Reply put =
            node(index).request("PUT", QStringLiteral("/api/upload/chunk/%1/%2").arg(uploadId).arg(index), m_user,
                                content.mid(index * ChunkBytes, ChunkBytes), "application/octet-stream");
        QVERIFY2(put.success(), qPrintable(put.message()));
    }

    // A fourth instance, alive, is merging this upload (it holds the merge's lease) when the
    // client's retry reaches the others: they must leave the session alone.
    tvr::server::Database db;
    QVERIFY(openShared(db));
    const QString holder = QStringLiteral("merging-elsewhere");
    const QString lease = QStringLiteral("merge:") + uploadId;
    QVERIFY(db.exec("INSERT INTO cluster_members(id, seen_secs, machine, pid) VALUES(?1, ?2, 'elsewhere', 1)",
                    {holder, QDateTime::currentSecsSinceEpoch()}));
    QVERIFY(tvr::server::Lease::take(db, lease, holder, QDateTime::currentSecsSinceEpoch(), 10LL * 365 * 86400));
    for (int i = 0; i < 3; ++i) {
        const Reply merge = node(i).postJson("/api/upload/merge", {{"uploadId", uploadId}}, m_user);
        QCOMPARE(merge.status, 409);
        QVERIFY(!merge.message().isEmpty());
    }
    QCOMPARE(node(1).del(QStringLiteral("/api/upload/%1").arg(uploadId), m_user).status, 409);
    QVERIFY(!names(node(2).get("/api/files?", m_user)).contains("held.bin"));

    // That merge ends without a file (it failed): the client's next retry merges, once.
    tvr::server::Lease::release(db, lease, holder);
    const Reply merged = node(2).postJson("/api/upload/merge", {{"uploadId", uploadId}}, m_user);
    QVERIFY2(merged.success(), qPrintable(merged.message()));
    QCOMPARE(node(0).postJson("/api/upload/merge", {{"uploadId", uploadId}}, m_user).status, 404);
    QCOMPARE(names(node(1).get("/api/files?", m_user)).count("held.bin"), 1);
    const qint64 id = qint64(merged.dataObject().value("id").toDouble());
    const Reply body = node(0).get(QStringLiteral("/api/files/%1/download").arg(id), m_user);
    QCOMPARE(body.status, 200);
    QVERIFY(body.body == content);
    QVERIFY(db.exec("DELETE FROM cluster_members WHERE id = ?1", {holder}));
}

void TestServerCluster::mergeLeftByAKilledInstanceOfThisMachineGoesAheadAtOnce()
{
    const QByteArray content = randomBytes(ChunkBytes + 5);
    const Reply init = node(1).postJson(
        "/api/upload/init",
        {{"name", "orphaned.bin"},
         {"size", content.size()},
         {"md5", QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())}},
        m_user);
    QVERIFY2(init.success(), qPrintable(init.message()));
    const QString uploadId = init.dataObject().value("uploadId").toString();
    for (int index = 0; index < 2; ++index)
        QVERIFY(node(index)
                    .request("PUT", QStringLiteral("/api/upload/chunk/%1/%2").arg(uploadId).arg(index), m_user,
                             content.mid(index * ChunkBytes, ChunkBytes), "application/octet-stream")
                    .success());

    // An instance of this machine took the merge and was killed: its heartbeat is still fresh,
    // but its process is gone.
    QProcess gone;
    gone.start(QStringLiteral("true"));
    QVERIFY(gone.waitForStarted());
    const qint64 deadPid = gone.processId();
    QVERIFY(gone.waitForFinished());
    QFile boot(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    QVERIFY(boot.open(QIODevice::ReadOnly));
    const QString machine =
        QSysInfo::machineHostName() + QLatin1Char('/') + QString::fromLatin1(boot.readAll().trimmed());
    tvr::server::Database db;
    QVERIFY(openShared(db));
    const QString holder = QStringLiteral("killed-mid-merge");
    QVERIFY(db.exec("INSERT INTO cluster_members(id, seen_secs, machine, pid) VALUES(?1, ?2, ?3, ?4)",
                    {holder, QDateTime::currentSecsSinceEpoch(), machine, deadPid}));
    QVERIFY(tvr::server::Lease::take(db, QStringLiteral("merge:") + uploadId, holder,
                                     QDateTime::currentSecsSinceEpoch(), 10LL * 365 * 86400));

    const Reply merged = node(2).postJson("/api/upload/merge", {{"uploadId", uploadId}}, m_user);
    QVERIFY2(merged.success(), qPrintable(merged.message()));
    const Reply body = node(0).get(
        QStringLiteral("/api/files/%1/download").arg(qint64(merged.dataObject().value("id").toDouble())), m_user);
    QVERIFY(body.body == content);
    QVERIFY(!db.scalar("SELECT 1 FROM cluster_members WHERE id = ?1", {holder}).isValid());
}

void TestServerCluster::wrongVaultPasswordsAreCountedAcrossInstances()
{
    const Creds guesser = node(0).signIn("clusterguesser", "13900000903");
    QVERIFY(guesser.isValid());
    QVERIFY(node(0).postJson("/api/vault/setup", {{"password", "right-password"}}, guesser).success());
    // Five wrong guesses spread over the instances use up the allowance of all of them.
    for (int i = 0; i < 5; ++i)
        QCOMPARE(node(i).postJson("/api/vault/unlock", {{"password", "wrong-guess"}}, guesser).status, 403);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(node(i).postJson("/api/vault/unlock", {{"password", "right-password"}}, guesser).status, 429);
}

void TestServerCluster::autoPayOfOneInstanceSettlesOrdersOfAnother()
{
    const QJsonArray plans = node(1).get("/api/plans").dataObject().value("plans").toArray();
    QVERIFY(!plans.isEmpty());
    const Reply order = node(2).postJson(
        "/api/payment/alipay/precreate",
        {{"plan_id", plans.first().toObject().value("id").toString()}, {"plan_type", "capacity"}}, m_user);
    QVERIFY2(order.success(), qPrintable(order.message()));
    const QString orderNo = order.dataObject().value("order_no").toString();
    const Reply status = node(2).get("/api/payment/order/" + QUrl::toPercentEncoding(orderNo), m_user);
    QCOMPARE(status.dataObject().value("status").toString(), QStringLiteral("paid"));
}

void TestServerCluster::developmentClockMovesTheWholeCluster()
{
    const Reply before = node(1).postJson("/api/dev/clock", {{"advanceSeconds", 0}}, m_user);
    QVERIFY(before.success());
    const qint64 offset = qint64(before.dataObject().value("offsetSeconds").toDouble());
    QVERIFY(node(0).advanceClock(3600, m_user));
    for (int i = 0; i < 3; ++i) {
        const Reply now = node(i).postJson("/api/dev/clock", {{"advanceSeconds", 0}}, m_user);
        QCOMPARE(qint64(now.dataObject().value("offsetSeconds").toDouble()), offset + 3600);
    }
    // A vault token idle past its lapse on the shared clock is dead everywhere.
    const Reply unlocked = node(0).postJson("/api/vault/unlock", {{"password", "cluster-vault"}}, m_user);
    QVERIFY(unlocked.success());
    const QByteArray token = unlocked.dataObject().value("token").toString().toUtf8();
    QCOMPARE(node(2).request("GET", "/api/vault/files", m_user, {}, {}, {{"X-Vault-Token", token}}).status, 200);
    QVERIFY(node(1).advanceClock(16 * 60, m_user));
    QCOMPARE(node(2).request("GET", "/api/vault/files", m_user, {}, {}, {{"X-Vault-Token", token}}).status, 403);
}

void TestServerCluster::forwardedForIsBelievedOnlyFromATrustedProxy()
{
    // SMS codes belong to the address that asked for them: a code asked for as one client
    // cannot be spent as another. Behind a trusted proxy the two forwarded addresses are two
    // clients; from an untrusted peer the header is ignored and both are the peer.
    auto trusting = startInstance(node(0).dataDir(), {"--trusted-proxy", "127.0.0.0/8"});
    auto doubting = startInstance(node(0).dataDir(), {"--trusted-proxy", "192.0.2.1"});
    QVERIFY(trusting && doubting);
    const auto attempt = [](ReferenceServer &server, const QString &phone) {
        const Reply sms =
            server.request("POST", "/api/send-sms", {},
                           QJsonDocument(QJsonObject{{"phone", phone}, {"scenario", "register"}}).toJson(),
                           "application/json", {{"X-Forwarded-For", "198.51.100.7"}});
        const QString code = sms.json().value("debugCode").toString();
        if (code.isEmpty())
            return -1;
        return server
            .request("POST", "/api/login/code", {},
                     QJsonDocument(QJsonObject{{"username", "fwd" + phone.right(4)}, {"phone", phone}, {"code", code}})
                         .toJson(),
                     "application/json", {{"X-Forwarded-For", "203.0.113.9, 198.51.100.8"}})
            .status;
    };
    QVERIFY(attempt(*trusting, "13900000911") >= 400);
    QCOMPARE(attempt(*doubting, "13900000912"), 200);
    // The client's own list before the proxy's entry proves nothing: the last one counts.
    const Reply sms =
        trusting->request("POST", "/api/send-sms", {},
                          QJsonDocument(QJsonObject{{"phone", "13900000913"}, {"scenario", "register"}}).toJson(),
                          "application/json", {{"X-Forwarded-For", "10.9.9.9, 198.51.100.20"}});
    const QString code = sms.json().value("debugCode").toString();
    QVERIFY(!code.isEmpty());
    const Reply login = trusting->request(
        "POST", "/api/login/code", {},
        QJsonDocument(QJsonObject{{"username", "fwd0913"}, {"phone", "13900000913"}, {"code", code}}).toJson(),
        "application/json", {{"X-Forwarded-For", "172.16.1.1, 198.51.100.20"}});
    QCOMPARE(login.status, 200);
}

void TestServerCluster::healthzFailsWhenTheDataFolderIsGone()
{
    // An instance of its own, so the others keep their folder.
    auto lone = startInstance(QString());
    QVERIFY(lone);
    QCOMPARE(lone->get("/healthz").status, 200);
    const QString data = lone->dataDir();
    QVERIFY(QDir().rename(data, data + ".away"));
    QCOMPARE(lone->get("/healthz").status, 503);
    QVERIFY(QDir().rename(data + ".away", data));
    QCOMPARE(lone->get("/healthz").status, 200);
}

void TestServerCluster::instancesStartingTogetherSeedTheDemoOnce()
{
    // What one instance alone seeds.
    ReferenceServer::Options single;
    single.demo = true;
    ReferenceServer alone(single);
    QVERIFY(alone.start());
    const Creds demoAlone = alone.signIn("demo", "13800138000");
    QVERIFY(demoAlone.isValid());
    const int expected = int(alone.get("/api/files?", demoAlone).dataArray().size());
    QVERIFY(expected > 0);

    // Three instances started at the same moment on one fresh folder: all come up, and the
    // demo account holds what one seeding gives.
    QTemporaryDir shared;
    QString error;
    const QString database = ReferenceServer::databaseFor(shared.path(), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QStringList sharedDatabase =
        database.isEmpty() ? databaseArgs() : QStringList{QStringLiteral("--database"), database};
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < 3; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(TVR_SERVER_BINARY),
                       QStringList{"--listen", "127.0.0.1:0", "--data", shared.path(), "--demo", "--dev"} +
                           sharedDatabase);
        processes.push_back(std::move(process));
    }
    std::vector<QByteArray> output(processes.size());
    const auto allListening = [&] {
        for (size_t i = 0; i < processes.size(); ++i) {
            output[i] += processes[i]->readAllStandardOutput();
            if (!output[i].startsWith("listening on "))
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(allListening(), 60000);
    for (const auto &process : processes) {
        process->terminate();
        QVERIFY(process->waitForFinished(20000));
        QCOMPARE(process->exitCode(), 0);
    }
    ReferenceServer::Options after;
    after.dataDir = shared.path();
    ReferenceServer later(after);
    QVERIFY(later.start());
    const Creds demo = later.signIn("demo", "13800138000");
    QVERIFY(demo.isValid());
    QCOMPARE(int(later.get("/api/files?", demo).dataArray().size()), expected);
}

void TestServerCluster::wrappedVaultKeyOpensOnlyWithItsToken()
{
    using tvr::server::VaultSessions;
    const QByteArray key = randomBytes(32);
    const QString token = QString::fromLatin1(randomBytes(32).toHex());
    const QByteArray wrapped = VaultSessions::wrap(token, key);
    QVERIFY(!wrapped.isEmpty());
    QVERIFY(!wrapped.contains(key));
    QCOMPARE(VaultSessions::unwrap(token, wrapped).value_or(QByteArray()), key);
    // Two wraps of one key differ (fresh nonce); neither the row's name, another token nor a
    // changed byte opens it.
    QVERIFY(VaultSessions::wrap(token, key) != wrapped);
    QVERIFY(!VaultSessions::unwrap(VaultSessions::tokenHash(token), wrapped));
    QVERIFY(!VaultSessions::unwrap(QString::fromLatin1(randomBytes(32).toHex()), wrapped));
    QByteArray tampered = wrapped;
    tampered[20] = char(tampered[20] ^ 1);
    QVERIFY(!VaultSessions::unwrap(token, tampered));
    QVERIFY(!VaultSessions::unwrap(token, wrapped.left(20)));
}

void TestServerCluster::trustedProxiesMatchAddressesAndNetworksOnly()
{
    tvr::server::http::TrustedProxies proxies;
    QVERIFY(proxies.add("10.1.2.3"));
    QVERIFY(proxies.add("192.168.0.0/16"));
    QVERIFY(proxies.add("fd00::/8"));
    QVERIFY(!proxies.add("10.1.2.300"));
    QVERIFY(!proxies.add("10.0.0.0/33"));
    QVERIFY(!proxies.add("balancer.example"));
    QVERIFY(proxies.contains("10.1.2.3"));
    QVERIFY(!proxies.contains("10.1.2.4"));
    QVERIFY(proxies.contains("192.168.77.1"));
    QVERIFY(!proxies.contains("192.169.0.1"));
    QVERIFY(proxies.contains("fd12::1"));
    QVERIFY(!proxies.contains("fe80::1"));
    // From an untrusted peer the header is ignored; from a trusted one the last untrusted entry
    // counts, past further trusted hops; garbage ends the walk.
    QCOMPARE(proxies.clientAddress("203.0.113.5", "198.51.100.1"), std::string("203.0.113.5"));
    QCOMPARE(proxies.clientAddress("10.1.2.3", "1.1.1.1, 198.51.100.1"), std::string("198.51.100.1"));
    QCOMPARE(proxies.clientAddress("10.1.2.3", "198.51.100.1, 192.168.1.1"), std::string("198.51.100.1"));
    QCOMPARE(proxies.clientAddress("10.1.2.3", ""), std::string("10.1.2.3"));
    QCOMPARE(proxies.clientAddress("10.1.2.3", "not-an-address"), std::string("10.1.2.3"));
    QCOMPARE(proxies.clientAddress("10.1.2.3", " 2001:db8::1 "), std::string("2001:db8::1"));
    tvr::server::http::TrustedProxies none;
    QCOMPARE(none.clientAddress("10.1.2.3", "198.51.100.1"), std::string("10.1.2.3"));
}

QTEST_GUILESS_MAIN(TestServerCluster)
#include "tst_server_cluster.moc"
