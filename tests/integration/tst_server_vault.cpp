// The vault on the reference server: its own password, an unlock token bound to one user and
// login session that lapses on lock, on sign-out and after 15 idle minutes, files encrypted at
// rest, and a reset confirmed by an SMS code to the account's phone or its login password.
#include "rawhttp.h"
#include "referenceserver.h"
#include "storage/database.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QUrl>
#include <QtTest>

using Creds = ReferenceServer::Credentials;
using Reply = ReferenceServer::Reply;

namespace {

const QByteArray Plaintext = "Quarterly payroll: confidential figures that must never sit on disk in clear. "
                             "Repeated so that the file spans more than one block of the cipher. ";

qint64 idOf(const QJsonValue &record)
{
    return qint64(record.toObject().value("id").toDouble());
}

} // namespace

class TestServerVault final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void setupRequiresSixCharactersOnce();
    void unlockNeedsTheRightPassword();
    void fileRequestsNeedALiveTokenOfTheSameUser();
    void filesAreEncryptedAtRestAndCountAgainstTheQuota();
    void lockEndsTheToken();
    void tokenLapsesAfterFifteenIdleMinutes();
    void repeatedWrongPasswordsAreThrottled();
    void resetNeedsTheLoginPassword();
    void resetGuessesAreThrottledLikeUnlock();
    void fileNamesAreSealedAtRest();
    void chunkedUploadStopsAtTheRoomLeft();
    void resetByCodeSentToTheAccountsOwnPhone();
    void tokenDiesWithTheLoginSessionThatUnlocked();

private:
    Reply vault(const QByteArray &verb, const QString &path, const Creds &as, const QString &token,
                const QByteArray &body = {});
    QString unlock(const Creds &as, const QString &password);
    qint64 upload(const Creds &as, const QString &token, const QString &name, const QByteArray &content);
    QByteArray allVaultBytesOnDisk() const;

    std::unique_ptr<ReferenceServer> m_server;
    Creds m_alice; // signed in by SMS: no login password
    Creds m_bob;
    Creds m_demo; // the demo account has the login password "demo1234"
};

void TestServerVault::initTestCase()
{
    ReferenceServer::Options options;
    options.demo = true;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_alice = m_server->signIn("vaultalice", "13900000201");
    m_bob = m_server->signIn("vaultbob", "13900000202");
    m_demo = m_server->signIn("demo", "13800138000");
    QVERIFY(m_alice.isValid() && m_bob.isValid() && m_demo.isValid());
}

Reply TestServerVault::vault(const QByteArray &verb, const QString &path, const Creds &as, const QString &token,
                             const QByteArray &body)
{
    QList<std::pair<QByteArray, QByteArray>> headers;
    if (!token.isEmpty())
        headers.append({"X-Vault-Token", token.toUtf8()});
    return m_server->request(verb, path, as, body, body.isEmpty() ? QByteArray() : "application/json", headers);
}

QString TestServerVault::unlock(const Creds &as, const QString &password)
{
    const Reply reply = m_server->postJson("/api/vault/unlock", {{"password", password}}, as);
    return reply.success() ? reply.dataObject().value("token").toString() : QString();
}

qint64 TestServerVault::upload(const Creds &as, const QString &token, const QString &name, const QByteArray &content)
{
    // Build the multipart body by hand so the vault token header can go with it.
    const QByteArray boundary = "----vaultboundary7d93";
    QByteArray body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                      name.toUtf8() + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" +
                      boundary + "--\r\n";
    const Reply reply =
        m_server->request("POST", "/api/vault/upload", as, body, "multipart/form-data; boundary=" + boundary,
                          {{"X-Vault-Token", token.toUtf8()}});
    return reply.success() ? idOf(reply.data()) : 0;
}

QByteArray TestServerVault::allVaultBytesOnDisk() const
{
    QByteArray all;
    QDirIterator it(m_server->dataDir() + "/vault", QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

void TestServerVault::setupRequiresSixCharactersOnce()
{
    const Reply before = m_server->get("/api/vault/status", m_alice);
    QVERIFY(before.success());
    QCOMPARE(before.dataObject().value("created").toBool(true), false);
    QCOMPARE(before.dataObject().value("unlocked").toBool(true), false);
    QCOMPARE(m_server->get("/api/vault/status").status, 401);
    // The demo account starts without a vault too, so a newcomer meets the set-up first.
    QCOMPARE(m_server->get("/api/vault/status", m_demo).dataObject().value("created").toBool(true), false);

    const Reply shortPassword = m_server->postJson("/api/vault/setup", {{"password", "12345"}}, m_alice);
    QCOMPARE(shortPassword.status, 400);
    QVERIFY(!shortPassword.message().isEmpty());
    QVERIFY(m_server->postJson("/api/vault/setup", {{"password", "alice-vault"}}, m_alice).success());
    QCOMPARE(m_server->postJson("/api/vault/setup", {{"password", "another-one"}}, m_alice).status, 409);
    QVERIFY(m_server->postJson("/api/vault/setup", {{"password", "bob-vault"}}, m_bob).success());
    QVERIFY(m_server->postJson("/api/vault/setup", {{"password", "demo-vault"}}, m_demo).success());

    const Reply after = m_server->get("/api/vault/status", m_alice);
    QCOMPARE(after.dataObject().value("created").toBool(), true);
    QCOMPARE(after.dataObject().value("unlocked").toBool(true), false);
}

void TestServerVault::unlockNeedsTheRightPassword()
{
    const Reply wrong = m_server->postJson("/api/vault/unlock", {{"password", "alice-vaulT"}}, m_alice);
    QVERIFY(!wrong.success());
    QVERIFY(!wrong.message().isEmpty());
    QVERIFY(!wrong.dataObject().contains("token"));
    QCOMPARE(m_server->postJson("/api/vault/unlock", {{"password", ""}}, m_alice).status, 400);
    // Another user's vault password opens nothing here.
    QVERIFY(unlock(m_alice, "bob-vault").isEmpty());

    const QString token = unlock(m_alice, "alice-vault");
    QCOMPARE(token.size(), 64);
    const Reply status = vault("GET", "/api/vault/status", m_alice, token);
    QCOMPARE(status.dataObject().value("unlocked").toBool(), true);
}

void TestServerVault::fileRequestsNeedALiveTokenOfTheSameUser()
{
    const QString aliceToken = unlock(m_alice, "alice-vault");
    const QString bobToken = unlock(m_bob, "bob-vault");
    QVERIFY(!aliceToken.isEmpty() && !bobToken.isEmpty());
    const qint64 file = upload(m_alice, aliceToken, "alice.txt", "alice only");
    QVERIFY(file > 0);
    const QString download = QStringLiteral("/api/vault/files/%1/download").arg(file);

    // No token, a made-up token, and the other user's token: each is refused and reveals nothing.
    for (const QString &token : {QString(), QString(64, QLatin1Char('a')), bobToken}) {
        QCOMPARE(vault("GET", "/api/vault/files", m_alice, token).status, 403);
        const Reply bytes = vault("GET", download, m_alice, token);
        QCOMPARE(bytes.status, 403);
        QVERIFY(!bytes.body.contains("alice only"));
        QCOMPARE(upload(m_alice, token, "planted.txt", "x"), qint64(0));
        QCOMPARE(vault("DELETE", QStringLiteral("/api/vault/files/%1").arg(file), m_alice, token).status, 403);
    }
    // Alice's token in Bob's hands: bound to Alice, so Bob gets nothing of hers.
    QCOMPARE(vault("GET", "/api/vault/files", m_bob, aliceToken).status, 403);
    // Bob with his own token cannot reach Alice's file by id.
    QCOMPARE(vault("GET", download, m_bob, bobToken).status, 404);
    QCOMPARE(vault("DELETE", QStringLiteral("/api/vault/files/%1").arg(file), m_bob, bobToken).status, 404);

    const Reply list = vault("GET", "/api/vault/files", m_alice, aliceToken);
    QCOMPARE(list.dataArray().size(), 1);
    QCOMPARE(vault("GET", download, m_alice, aliceToken).body, QByteArray("alice only"));
    QVERIFY(vault("GET", "/api/vault/files", m_bob, bobToken).dataArray().isEmpty());
    QVERIFY(vault("DELETE", QStringLiteral("/api/vault/files/%1").arg(file), m_alice, aliceToken).success());
}

void TestServerVault::filesAreEncryptedAtRestAndCountAgainstTheQuota()
{
    const QString token = unlock(m_alice, "alice-vault");
    const QByteArray content = Plaintext.repeated(2000); // about 300 KB: several cipher blocks
    const qint64 usedBefore =
        qint64(m_server->get("/api/profile", m_alice).dataObject().value("storage_used").toDouble());
    const qint64 file = upload(m_alice, token, "工资单.txt", content);
    QVERIFY(file > 0);

    const QJsonObject listed = vault("GET", "/api/vault/files", m_alice, token).dataArray().first().toObject();
    QCOMPARE(listed.value("name").toString(), QStringLiteral("工资单.txt"));
    QCOMPARE(qint64(listed.value("size").toDouble()), qint64(content.size()));
    const Reply download = vault("GET", QStringLiteral("/api/vault/files/%1/download").arg(file), m_alice, token);
    QCOMPARE(download.status, 200);
    QCOMPARE(download.body, content);
    QVERIFY(download.header("Content-Disposition").contains("attachment"));

    const QByteArray disk = allVaultBytesOnDisk();
    QVERIFY(disk.size() >= content.size());
    QVERIFY(!disk.contains("confidential figures"));
    QVERIFY(!disk.contains(Plaintext.left(24)));
    QCOMPARE(qint64(m_server->get("/api/profile", m_alice).dataObject().value("storage_used").toDouble()),
             usedBefore + content.size());

    QVERIFY(vault("DELETE", QStringLiteral("/api/vault/files/%1").arg(file), m_alice, token).success());
    QVERIFY(!allVaultBytesOnDisk().contains(disk.right(64)));
    QCOMPARE(qint64(m_server->get("/api/profile", m_alice).dataObject().value("storage_used").toDouble()), usedBefore);
}

void TestServerVault::lockEndsTheToken()
{
    const QString token = unlock(m_alice, "alice-vault");
    QVERIFY(vault("GET", "/api/vault/files", m_alice, token).success());
    // Bob cannot lock Alice's vault with her token.
    QVERIFY(vault("POST", "/api/vault/lock", m_bob, token).success());
    QVERIFY(vault("GET", "/api/vault/files", m_alice, token).success());

    QVERIFY(vault("POST", "/api/vault/lock", m_alice, token).success());
    QCOMPARE(vault("GET", "/api/vault/files", m_alice, token).status, 403);
    QCOMPARE(vault("GET", "/api/vault/status", m_alice, token).dataObject().value("unlocked").toBool(true), false);
}

void TestServerVault::tokenLapsesAfterFifteenIdleMinutes()
{
    const QString token = unlock(m_alice, "alice-vault");
    QVERIFY(m_server->advanceClock(14 * 60, m_alice));
    QVERIFY(vault("GET", "/api/vault/files", m_alice, token).success()); // activity renews it
    QVERIFY(m_server->advanceClock(14 * 60, m_alice));
    QVERIFY(vault("GET", "/api/vault/files", m_alice, token).success());
    QVERIFY(m_server->advanceClock(15 * 60 + 1, m_alice));
    QCOMPARE(vault("GET", "/api/vault/files", m_alice, token).status, 403);
    QCOMPARE(vault("GET", "/api/vault/status", m_alice, token).dataObject().value("unlocked").toBool(true), false);
    QVERIFY(!unlock(m_alice, "alice-vault").isEmpty());
}

void TestServerVault::repeatedWrongPasswordsAreThrottled()
{
    for (int i = 0; i < 5; ++i)
        QCOMPARE(m_server->postJson("/api/vault/unlock", {{"password", "guess-" + QString::number(i)}}, m_bob).status,
                 403);
    // Even the right password waits now.
    const Reply throttled = m_server->postJson("/api/vault/unlock", {{"password", "bob-vault"}}, m_bob);
    QCOMPARE(throttled.status, 429);
    QVERIFY(!throttled.message().isEmpty());
    QVERIFY(m_server->advanceClock(15 * 60 + 1, m_bob));
    QVERIFY(!unlock(m_bob, "bob-vault").isEmpty());
}

void TestServerVault::resetNeedsTheLoginPassword()
{
    // An account signed in by SMS has no login password to confirm with.
    const Reply noPassword = m_server->postJson("/api/vault/reset", {{"password", "anything"}}, m_alice);
    QCOMPARE(noPassword.status, 400);
    QVERIFY(!noPassword.message().isEmpty());
    QCOMPARE(m_server->get("/api/vault/status", m_alice).dataObject().value("created").toBool(), true);

    const QString token = unlock(m_demo, "demo-vault");
    const qint64 file = upload(m_demo, token, "keep.txt", "keep me");
    QVERIFY(file > 0);

    const Reply wrong = m_server->postJson("/api/vault/reset", {{"password", "demo12345"}}, m_demo);
    QCOMPARE(wrong.status, 403);
    // Nothing changed: the vault, its password, the token and the file are all still there.
    QCOMPARE(vault("GET", QStringLiteral("/api/vault/files/%1/download").arg(file), m_demo, token).body,
             QByteArray("keep me"));
    QVERIFY(!unlock(m_demo, "demo-vault").isEmpty());
    // Another user's login password is not this account's.
    QVERIFY(!m_server->postJson("/api/vault/reset", {{"password", "demo1234"}}, m_bob).success());
    QCOMPARE(m_server->get("/api/vault/status", m_bob).dataObject().value("created").toBool(), true);

    const QByteArray diskBefore = allVaultBytesOnDisk();
    QVERIFY(m_server->postJson("/api/vault/reset", {{"password", "demo1234"}}, m_demo).success());
    QCOMPARE(m_server->get("/api/vault/status", m_demo).dataObject().value("created").toBool(true), false);
    QCOMPARE(vault("GET", "/api/vault/files", m_demo, token).status, 403);
    QVERIFY(allVaultBytesOnDisk().size() < diskBefore.size());
    // A new vault starts empty with a new password.
    QVERIFY(m_server->postJson("/api/vault/setup", {{"password", "fresh-start"}}, m_demo).success());
    QVERIFY(unlock(m_demo, "demo-vault").isEmpty());
    QVERIFY(vault("GET", "/api/vault/files", m_demo, unlock(m_demo, "fresh-start")).dataArray().isEmpty());
}

void TestServerVault::resetGuessesAreThrottledLikeUnlock()
{
    ReferenceServer::Options options;
    options.demo = true;
    ReferenceServer server(options);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const Creds demo = server.signIn("demo", "13800138000");
    QVERIFY(server.postJson("/api/vault/setup", {{"password", "demo-vault"}}, demo).success());
    for (int i = 0; i < 5; ++i)
        QCOMPARE(server.postJson("/api/vault/reset", {{"password", QStringLiteral("guess%1").arg(i)}}, demo).status,
                 403);
    // Five wrong guesses of the login password: even the right one waits now, and the vault stays.
    const Reply throttled = server.postJson("/api/vault/reset", {{"password", "demo1234"}}, demo);
    QCOMPARE(throttled.status, 429);
    QVERIFY(throttled.message().contains(QStringLiteral("分钟后再试")));
    QCOMPARE(server.get("/api/vault/status", demo).dataObject().value("created").toBool(), true);
    QVERIFY(server.advanceClock(15 * 60 + 1, demo));
    QVERIFY(server.postJson("/api/vault/reset", {{"password", "demo1234"}}, demo).success());
    QCOMPARE(server.get("/api/vault/status", demo).dataObject().value("created").toBool(true), false);
}

void TestServerVault::fileNamesAreSealedAtRest()
{
    const QString token = unlock(m_alice, "alice-vault");
    const QString name = QStringLiteral("并购意向书-绝密.docx");
    const qint64 file = upload(m_alice, token, name, "draft");
    QVERIFY(file > 0);
    QCOMPARE(vault("GET", "/api/vault/files", m_alice, token).dataArray().first().toObject().value("name").toString(),
             name);
    // Neither the database nor its journal holds the name in clear (SQLite: the files
    // themselves; PostgreSQL, whose files belong to its cluster: every column of the records).
    QByteArray database;
    if (m_server->database().isEmpty()) {
        for (const char *suffix : {"", "-wal"}) {
            QFile part(m_server->dataDir() + "/tolvar.db" + QLatin1String(suffix));
            if (part.open(QIODevice::ReadOnly))
                database += part.readAll();
        }
    } else {
        tvr::server::Database db;
        QString error;
        QVERIFY2(db.open(m_server->database(), &error), qPrintable(error));
        for (const auto &row : db.query("SELECT vault_files::text FROM vault_files"))
            database += row.value(0).toString().toUtf8();
    }
    QVERIFY(database.size() > 0);
    QVERIFY(!database.contains(name.toUtf8()));
    QVERIFY(!database.contains(QStringLiteral("并购意向书").toUtf8()));
    // The download still gives the name back.
    const Reply download = vault("GET", QStringLiteral("/api/vault/files/%1/download").arg(file), m_alice, token);
    QVERIFY(download.header("Content-Disposition").contains(QUrl::toPercentEncoding(name)));
    QVERIFY(vault("DELETE", QStringLiteral("/api/vault/files/%1").arg(file), m_alice, token).success());
}

void TestServerVault::chunkedUploadStopsAtTheRoomLeft()
{
    ReferenceServer::Options options;
    options.extraArgs = {"--quota", QString::number(1024 * 1024)};
    ReferenceServer server(options);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const Creds user = server.signIn("vaultroom", "13900000203");
    QVERIFY(server.postJson("/api/vault/setup", {{"password", "room-vault"}}, user).success());
    const QString token =
        server.postJson("/api/vault/unlock", {{"password", "room-vault"}}, user).dataObject().value("token").toString();

    // 64 MiB sent without a length, in a form: nothing announces the size ahead.
    RawHttp raw(server.baseUrl());
    QVERIFY(raw.open());
    const QByteArray boundary = "vault-room-boundary";
    QVERIFY(raw.send(raw.head("POST", "/api/vault/upload",
                              {{"X-User-Id", user.userId.toUtf8()},
                               {"X-Auth-Token", user.token.toUtf8()},
                               {"X-Vault-Token", token.toUtf8()},
                               {"Content-Type", "multipart/form-data; boundary=" + boundary},
                               {"Transfer-Encoding", "chunked"}})));
    QVERIFY(raw.sendChunk("--" + boundary +
                          "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.bin\"\r\n\r\n"));
    // The server stops taking the body soon after the room is used up (it drops a little more so
    // that a client still sending can read the refusal, then closes): most of it is never read.
    const qint64 total = 64LL * 1024 * 1024;
    const qint64 sent = raw.sendFillerChunks(total);
    QVERIFY2(sent < total, "the whole body was read");
    raw.sendChunk("\r\n--" + boundary + "--\r\n");
    raw.endChunks();

    // Cut off at the room left: nothing is stored, nothing counts, no encrypted bytes remain.
    const Reply listed = server.request("GET", "/api/vault/files", user, {}, {}, {{"X-Vault-Token", token.toUtf8()}});
    QVERIFY(listed.success());
    QVERIFY(listed.dataArray().isEmpty());
    QCOMPARE(qint64(server.get("/api/profile", user).dataObject().value("storage_used").toDouble()), 0);
    qint64 onDisk = 0;
    QDirIterator it(server.dataDir() + "/vault", QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        onDisk += QFileInfo(it.next()).size();
    QCOMPARE(onDisk, 0);
}

void TestServerVault::resetByCodeSentToTheAccountsOwnPhone()
{
    ReferenceServer::Options options;
    options.demo = true;
    ReferenceServer server(options);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const QString phone = QStringLiteral("13900000211");
    const Creds carol = server.signIn("vaultcarol", phone);
    const Creds dave = server.signIn("vaultdave", "13900000212");
    const Creds demo = server.signIn("demo", "13800138000");
    QVERIFY(carol.isValid() && dave.isValid() && demo.isValid());
    QCOMPARE(server.get("/api/vault/status", carol).dataObject().value("hasLoginPassword").toBool(true), false);
    QCOMPARE(server.get("/api/vault/status", demo).dataObject().value("hasLoginPassword").toBool(false), true);
    QVERIFY(server.postJson("/api/vault/setup", {{"password", "carol-vault"}}, carol).success());
    QVERIFY(server.advanceClock(61, {}));

    // The code goes only to the signed-in account's own phone.
    const QJsonObject toOwn{{"phone", phone}, {"scenario", "vault-reset"}};
    QCOMPARE(server.postJson("/api/send-sms", toOwn).status, 401);
    const Reply foreign =
        server.postJson("/api/send-sms", {{"phone", "13900000212"}, {"scenario", "vault-reset"}}, carol);
    QCOMPARE(foreign.status, 403);
    QCOMPARE(foreign.message(), QStringLiteral("只能向本账号绑定的手机发送验证码"));
    QCOMPARE(server.postJson("/api/send-sms", toOwn, dave).status, 403);
    const Reply sent = server.postJson("/api/send-sms", toOwn, carol);
    QVERIFY2(sent.success(), qPrintable(sent.message()));
    QCOMPARE(sent.dataObject().value("expiresIn").toInt(), 300);
    QCOMPARE(sent.dataObject().value("interval").toInt(), 60);
    const QString code = sent.json().value("debugCode").toString();
    QCOMPARE(code.size(), 6);
    QCOMPARE(server.postJson("/api/send-sms", toOwn, carol).status, 429);
    // A vault-reset code signs nobody in.
    QVERIFY(
        !server.postJson("/api/login/code", {{"username", "vaultcarol"}, {"phone", phone}, {"code", code}}).success());

    const QString wrongCode = code == "000000" ? "111111" : "000000";
    const Reply wrong = server.postJson("/api/vault/reset", {{"code", wrongCode}}, carol);
    QCOMPARE(wrong.status, 403);
    QCOMPARE(wrong.message(), QStringLiteral("验证码错误"));
    // Another account cannot spend it either.
    QVERIFY(server.postJson("/api/vault/setup", {{"password", "dave-vault"}}, dave).success());
    QVERIFY(!server.postJson("/api/vault/reset", {{"code", code}}, dave).success());
    QCOMPARE(server.get("/api/vault/status", dave).dataObject().value("created").toBool(), true);
    QCOMPARE(server.get("/api/vault/status", carol).dataObject().value("created").toBool(), true);

    QVERIFY(server.postJson("/api/vault/reset", {{"code", code}}, carol).success());
    QCOMPARE(server.get("/api/vault/status", carol).dataObject().value("created").toBool(true), false);
    QVERIFY(server.postJson("/api/vault/setup", {{"password", "carol-again"}}, carol).success());
    const Reply spent = server.postJson("/api/vault/reset", {{"code", code}}, carol);
    QVERIFY(!spent.success());
    QCOMPARE(spent.message(), QStringLiteral("验证码已失效，请重新获取"));

    // A code past its five minutes is no longer valid either.
    QVERIFY(server.advanceClock(61, {}));
    const QString late = server.postJson("/api/send-sms", toOwn, carol).json().value("debugCode").toString();
    QVERIFY(!late.isEmpty());
    QVERIFY(server.advanceClock(301, {}));
    const Reply expired = server.postJson("/api/vault/reset", {{"code", late}}, carol);
    QVERIFY(!expired.success());
    QCOMPARE(expired.message(), QStringLiteral("验证码已失效，请重新获取"));
    // A sign-in code of the same phone does not reset the vault.
    QVERIFY(server.advanceClock(61, {}));
    const QString login = server.postJson("/api/send-sms", {{"phone", phone}, {"scenario", "login"}})
                              .json()
                              .value("debugCode")
                              .toString();
    QVERIFY(!server.postJson("/api/vault/reset", {{"code", login}}, carol).success());
    QCOMPARE(server.get("/api/vault/status", carol).dataObject().value("created").toBool(), true);
}

void TestServerVault::tokenDiesWithTheLoginSessionThatUnlocked()
{
    ReferenceServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const QString phone = QStringLiteral("13900000221");
    const Creds first = server.signIn("vaulterin", phone);
    QVERIFY(first.isValid());
    QVERIFY(server.postJson("/api/vault/setup", {{"password", "erin-vault"}}, first).success());
    const Reply unlocked = server.postJson("/api/vault/unlock", {{"password", "erin-vault"}}, first);
    const QByteArray token = unlocked.dataObject().value("token").toString().toUtf8();
    QVERIFY(!token.isEmpty());
    const auto files = [&](const Creds &as) {
        return server.request("GET", "/api/vault/files", as, {}, {}, {{"X-Vault-Token", token}});
    };
    QVERIFY(files(first).success());

    // Another login session of the same account does not inherit the open vault.
    QVERIFY(server.advanceClock(61, {}));
    const Creds second = server.signIn("vaulterin", phone);
    QVERIFY(second.isValid());
    QCOMPARE(files(second).status, 403);
    QVERIFY(files(first).success());

    // Signing out locks it; the next sign-in finds it locked.
    QVERIFY(server.postJson("/api/logout", {}, first).success());
    QVERIFY(server.advanceClock(61, {}));
    const Creds third = server.signIn("vaulterin", phone);
    QVERIFY(third.isValid());
    const Reply after = files(third);
    QCOMPARE(after.status, 403);
    QCOMPARE(after.json().value("code").toString(), QStringLiteral("VAULT_LOCKED"));
    QCOMPARE(server.request("GET", "/api/vault/status", third, {}, {}, {{"X-Vault-Token", token}})
                 .dataObject()
                 .value("unlocked")
                 .toBool(true),
             false);
}

QTEST_GUILESS_MAIN(TestServerVault)
#include "tst_server_vault.moc"
