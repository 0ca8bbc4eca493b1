// Accounts, sessions and the profile of the reference server, over real HTTP on loopback.
#include "rawhttp.h"
#include "referenceserver.h"
#include "storage/database.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QUrl>
#include <QtTest>

using Creds = ReferenceServer::Credentials;

class TestServerAccounts final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void registersAndSignsInWithSmsCodes();
    void refusesWrongAndStaleCodes();
    void sendSmsChecksScenarioAndInterval();
    void codesStayHiddenWithoutDevMode();
    void everyApiNeedsALiveSession();
    void logoutRevokesTheToken();
    void profileEditsAreValidated();
    void avatarIsCheckedByContentAndSize();
    void demoAccountIsSeeded();
    void anUnprovenPhoneNeverBlocksItsOwner();
    void smsAndIdentityChecksAreThrottledPerAddress();
    void smsCodesAreKeyedAtRest();
    void namesThatDisguiseThemselvesAreRefused();
    void oneClientCannotUseUpAPhonesCodes();
    void anotherClientsGuessesLeaveTheCodeAlone();
    void aStrangersIdentityChecksNeverLockOutTheOwner();
    void aSpentCodeSaysItIsNoLongerValid();

private:
    std::unique_ptr<ReferenceServer> m_server;
};

void TestServerAccounts::initTestCase()
{
    ReferenceServer::Options options;
    options.demo = true;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    QVERIFY(QRegularExpression(QStringLiteral("^http://127\\.0\\.0\\.1:\\d+$")).match(m_server->baseUrl()).hasMatch());
}

void TestServerAccounts::registersAndSignsInWithSmsCodes()
{
    auto &s = *m_server;
    auto check = s.get(QStringLiteral("/api/check-username?username=alice"));
    QVERIFY(check.success());
    QCOMPARE(check.dataObject().value("exists").toBool(), false);

    auto sms = s.postJson("/api/send-sms", {{"phone", "13900000001"}, {"scenario", "register"}});
    QVERIFY2(sms.success(), qPrintable(sms.message()));
    const QString code = sms.json().value("debugCode").toString();
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{6}$")).match(code).hasMatch());
    QTRY_VERIFY(s.output().contains(code.toUtf8())); // printed on the console in dev mode (its own pipe)

    auto login = s.postJson("/api/login/code", {{"username", "alice"}, {"phone", "13900000001"}, {"code", code}});
    QVERIFY2(login.success(), qPrintable(login.message()));
    const QJsonObject payload = login.dataObject();
    QVERIFY(payload.value("id").toDouble() > 0);
    QCOMPARE(payload.value("username").toString(), QStringLiteral("alice"));
    QCOMPARE(payload.value("phone").toString(), QStringLiteral("13900000001"));
    QVERIFY(
        QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(payload.value("loginToken").toString()).hasMatch());
    QCOMPARE(qint64(payload.value("storage_limit").toDouble()), 10LL * 1024 * 1024 * 1024);
    QCOMPARE(qint64(payload.value("storage_used").toDouble()), 0);

    // The same code cannot be used twice.
    auto again = s.postJson("/api/login/code", {{"username", "alice"}, {"phone", "13900000001"}, {"code", code}});
    QVERIFY(!again.success());
    QCOMPARE(again.status, 400);

    // Now the name exists and belongs to that phone only.
    QCOMPARE(s.get("/api/check-username?username=alice").dataObject().value("exists").toBool(), true);
    QVERIFY(s.postJson("/api/verify-identity", {{"username", "alice"}, {"phone", "13900000001"}}).success());
    auto mismatch = s.postJson("/api/verify-identity", {{"username", "alice"}, {"phone", "13900000009"}});
    QCOMPARE(mismatch.status, 400);
    QCOMPARE(mismatch.message(), QStringLiteral("用户名与手机号不匹配"));

    // Signing in again gives a second, independent session.
    s.advanceClock(61, {});
    const Creds second = s.signIn("alice", "13900000001");
    QVERIFY(second.isValid());
    QCOMPARE(second.userId, QString::number(qint64(payload.value("id").toDouble())));
    QVERIFY(second.token != payload.value("loginToken").toString());
    Creds first{second.userId, payload.value("loginToken").toString(), {}};
    QVERIFY(s.get("/api/profile", first).success());
    QVERIFY(s.get("/api/profile", second).success());

    // Another user name cannot take over alice's phone.
    s.advanceClock(61, {});
    auto sms2 = s.postJson("/api/send-sms", {{"phone", "13900000001"}, {"scenario", "login"}});
    QVERIFY(sms2.success());
    auto hijack = s.postJson(
        "/api/login/code",
        {{"username", "mallory"}, {"phone", "13900000001"}, {"code", sms2.json().value("debugCode").toString()}});
    QVERIFY(!hijack.success());
    QCOMPARE(s.get("/api/check-username?username=mallory").dataObject().value("exists").toBool(), false);
}

void TestServerAccounts::refusesWrongAndStaleCodes()
{
    auto &s = *m_server;
    auto sms = s.postJson("/api/send-sms", {{"phone", "13900000002"}, {"scenario", "register"}});
    QVERIFY(sms.success());
    const QString code = sms.json().value("debugCode").toString();
    const QString wrong = code == "000000" ? "111111" : "000000";
    auto bad = s.postJson("/api/login/code", {{"username", "bob"}, {"phone", "13900000002"}, {"code", wrong}});
    QCOMPARE(bad.status, 400);
    QCOMPARE(bad.message(), QStringLiteral("验证码错误"));
    QCOMPARE(s.get("/api/check-username?username=bob").dataObject().value("exists").toBool(), false);

    // After five wrong tries even the right code is refused.
    for (int i = 0; i < 4; ++i)
        s.postJson("/api/login/code", {{"username", "bob"}, {"phone", "13900000002"}, {"code", wrong}});
    auto locked = s.postJson("/api/login/code", {{"username", "bob"}, {"phone", "13900000002"}, {"code", code}});
    QVERIFY(!locked.success());
    QCOMPARE(locked.message(), QStringLiteral("验证码错误次数过多，请重新获取"));

    // A code older than five minutes is refused.
    QVERIFY(s.advanceClock(61, {}));
    auto fresh = s.postJson("/api/send-sms", {{"phone", "13900000002"}, {"scenario", "register"}});
    QVERIFY(fresh.success());
    QVERIFY(s.advanceClock(301, {}));
    auto stale = s.postJson(
        "/api/login/code",
        {{"username", "bob"}, {"phone", "13900000002"}, {"code", fresh.json().value("debugCode").toString()}});
    QVERIFY(!stale.success());
    QCOMPARE(stale.message(), QStringLiteral("验证码已过期，请重新获取"));

    // Bad user names are refused at registration.
    auto sms3 = s.postJson("/api/send-sms", {{"phone", "13900000002"}, {"scenario", "register"}});
    QVERIFY(sms3.success());
    auto shortName =
        s.postJson("/api/login/code",
                   {{"username", "b"}, {"phone", "13900000002"}, {"code", sms3.json().value("debugCode").toString()}});
    QCOMPARE(shortName.status, 400);
}

void TestServerAccounts::sendSmsChecksScenarioAndInterval()
{
    auto &s = *m_server;
    auto badPhone = s.postJson("/api/send-sms", {{"phone", "2390000000"}, {"scenario", "register"}});
    QCOMPARE(badPhone.status, 400);
    QCOMPARE(badPhone.message(), QStringLiteral("请输入正确的 11 位手机号"));
    auto unknownLogin = s.postJson("/api/send-sms", {{"phone", "13900000003"}, {"scenario", "login"}});
    QCOMPARE(unknownLogin.status, 400);
    auto registeredAgain = s.postJson("/api/send-sms", {{"phone", "13800138000"}, {"scenario", "register"}});
    QCOMPARE(registeredAgain.status, 409);
    auto strange = s.postJson("/api/send-sms", {{"phone", "13900000003"}, {"scenario", "reset"}});
    QCOMPARE(strange.status, 400);

    QVERIFY(s.postJson("/api/send-sms", {{"phone", "13900000003"}, {"scenario", "register"}}).success());
    auto tooSoon = s.postJson("/api/send-sms", {{"phone", "13900000003"}, {"scenario", "register"}});
    QCOMPARE(tooSoon.status, 429);
    QVERIFY(tooSoon.json().value("debugCode").isUndefined());
    QVERIFY(s.advanceClock(60, {}));
    QVERIFY(s.postJson("/api/send-sms", {{"phone", "13900000003"}, {"scenario", "register"}}).success());

    // The development clock moves forward only, and never past the dates it can give.
    QCOMPARE(s.postJson("/api/dev/clock", {{"advanceSeconds", -5}}).status, 400);
    QCOMPARE(s.postJson("/api/dev/clock", {{"advanceSeconds", 9e18}}).status, 400);
    QCOMPARE(s.postJson("/api/dev/clock", {{"advanceSeconds", 1e300}}).status, 400);
    QVERIFY(!s.postJson("/api/send-sms", {{"phone", "13900000003"}, {"scenario", "register"}}).success());
}

void TestServerAccounts::codesStayHiddenWithoutDevMode()
{
    ReferenceServer::Options options;
    options.dev = false;
    ReferenceServer plain(options);
    QVERIFY2(plain.start(), qPrintable(plain.errorString()));
    auto sms = plain.postJson("/api/send-sms", {{"phone", "13900000004"}, {"scenario", "register"}});
    QVERIFY(sms.success());
    QVERIFY(!sms.json().contains("debugCode"));
    QVERIFY(!QString::fromUtf8(plain.output()).contains(QRegularExpression(QStringLiteral("\\d{6}"))));
    QCOMPARE(plain.postJson("/api/dev/clock", {{"advanceSeconds", 10}}).status, 404);
}

void TestServerAccounts::everyApiNeedsALiveSession()
{
    auto &s = *m_server;
    const Creds user = s.signIn("carol", "13900000005");
    QVERIFY(user.isValid());
    const Creds forged{user.userId, QString(64, QLatin1Char('a')), {}};
    const Creds otherUser{QStringLiteral("1"), user.token, {}}; // a real token with someone else's id

    const QList<std::pair<QByteArray, QString>> endpoints = {
        {"GET", "/api/profile"},
        {"PUT", "/api/profile"},
        {"GET", "/api/files?"},
        {"GET", "/api/files/search?keyword=a"},
        {"GET", "/api/folders"},
        {"POST", "/api/folders"},
        {"PUT", "/api/files/1"},
        {"PUT", "/api/files/1/move"},
        {"DELETE", "/api/files/1"},
        {"GET", "/api/files/trash"},
        {"PUT", "/api/files/1/restore"},
        {"DELETE", "/api/files/1/permanent"},
        {"POST", "/api/files/restore/batch"},
        {"POST", "/api/files/permanent/batch"},
        {"POST", "/api/upload/init"},
        {"POST", "/api/upload/merge"},
        {"GET", "/api/files/1/download"},
        {"POST", "/api/files/pack-download"},
        {"POST", "/api/files/extract"},
        {"POST", "/api/logout"},
    };
    for (const auto &[verb, path] : endpoints) {
        for (const Creds &as : {Creds(), forged, otherUser}) {
            const auto reply = s.request(verb, path, as, "{}", "application/json");
            QVERIFY2(
                reply.status == 401,
                qPrintable(QStringLiteral("%1 %2 gave %3").arg(QString::fromLatin1(verb), path).arg(reply.status)));
            QCOMPARE(reply.json().value("success").toBool(true), false);
            QVERIFY(!reply.message().isEmpty());
        }
    }
    // Streamed bodies are refused before they are read.
    const auto chunk =
        s.request("PUT", "/api/upload/chunk/abc/0", {}, QByteArray(4096, 'x'), "application/octet-stream");
    QCOMPARE(chunk.status, 401);
    const auto upload = s.multipart("/api/files/upload", {{"files", "a.txt", "text/plain", "hello"}});
    QCOMPARE(upload.status, 401);
    QVERIFY(s.get("/api/profile", user).success());
}

void TestServerAccounts::logoutRevokesTheToken()
{
    auto &s = *m_server;
    const Creds user = s.signIn("dave", "13900000006");
    QVERIFY(user.isValid());
    QVERIFY(s.get("/api/profile", user).success());
    QVERIFY(s.request("POST", "/api/logout", user).success());
    const auto after = s.get("/api/profile", user);
    QCOMPARE(after.status, 401);
    QCOMPARE(after.message(), QStringLiteral("登录已失效，请重新登录"));
}

void TestServerAccounts::profileEditsAreValidated()
{
    auto &s = *m_server;
    const Creds user = s.signIn("erin", "13900000007");
    QVERIFY(user.isValid());
    auto saved = s.putJson("/api/profile", {{"name", "王小二"}, {"phone", ""}, {"companyName", "  示例公司 "}}, user);
    QVERIFY2(saved.success(), qPrintable(saved.message()));
    auto profile = s.get("/api/profile", user).dataObject();
    QCOMPARE(profile.value("name").toString(), QStringLiteral("王小二"));
    QCOMPARE(profile.value("phone").toString(), QString());
    QCOMPARE(profile.value("company_name").toString(), QStringLiteral("示例公司"));
    QCOMPARE(profile.value("username").toString(), QStringLiteral("erin"));
    QVERIFY(profile.contains("storage_used") && profile.contains("storage_limit"));

    QCOMPARE(s.putJson("/api/profile", {{"name", ""}, {"phone", ""}, {"companyName", ""}}, user).status, 400);
    QCOMPARE(s.putJson("/api/profile", {{"name", "x"}, {"phone", "12345"}, {"companyName", ""}}, user).message(),
             QStringLiteral("手机号格式不正确"));
    QCOMPARE(s.putJson("/api/profile", {{"name", "x"}, {"phone", ""}, {"companyName", ""}, {"username", "e"}}, user)
                 .message(),
             QStringLiteral("用户名长度需在 2-32 个字符"));
    QCOMPARE(s.putJson("/api/profile",
                       {{"name", "x"}, {"phone", ""}, {"companyName", ""}, {"username", QString(33, 'e')}}, user)
                 .status,
             400);
    auto taken =
        s.putJson("/api/profile", {{"name", "x"}, {"phone", ""}, {"companyName", ""}, {"username", "DEMO"}}, user);
    QCOMPARE(taken.status, 409);
    auto phoneTaken = s.putJson("/api/profile", {{"name", "x"}, {"phone", "13800138000"}, {"companyName", ""}}, user);
    QCOMPARE(phoneTaken.status, 409);
    // Nothing of the refused edits stuck.
    QCOMPARE(s.get("/api/profile", user).dataObject().value("name").toString(), QStringLiteral("王小二"));

    auto renamed = s.putJson(
        "/api/profile", {{"name", "x"}, {"phone", "13900000007"}, {"companyName", ""}, {"username", "erin2"}}, user);
    QVERIFY(renamed.success());
    QCOMPARE(s.get("/api/check-username?username=erin2").dataObject().value("exists").toBool(), true);
    QCOMPARE(s.get("/api/check-username?username=erin").dataObject().value("exists").toBool(), false);
}

void TestServerAccounts::avatarIsCheckedByContentAndSize()
{
    auto &s = *m_server;
    const Creds user = s.signIn("frank", "13900000008");
    QVERIFY(user.isValid());
    const QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(100, '\0');
    auto ok = s.multipart("/api/profile/avatar", {{"avatar", "me.jpg", "image/jpeg", png}}, user);
    QVERIFY2(ok.success(), qPrintable(ok.message()));
    const QString url = ok.dataObject().value("avatar_url").toString();
    QVERIFY(url.startsWith("data:image/png;base64,")); // by content, not by the declared type
    QCOMPARE(QByteArray::fromBase64(url.section(',', 1).toLatin1()), png);
    QCOMPARE(s.get("/api/profile", user).dataObject().value("avatar_url").toString(), url);

    auto text = s.multipart("/api/profile/avatar", {{"avatar", "me.png", "image/png", "not an image"}}, user);
    QCOMPARE(text.status, 415);
    auto missing = s.multipart("/api/profile/avatar", {{"picture", "me.png", "image/png", png}}, user);
    QCOMPARE(missing.status, 400);
    const QByteArray big = QByteArray("\xff\xd8\xff\xe0", 4) + QByteArray(2 * 1024 * 1024, 'j');
    auto tooBig = s.multipart("/api/profile/avatar", {{"avatar", "big.jpg", "image/jpeg", big}}, user);
    QCOMPARE(tooBig.status, 413);
    QCOMPARE(s.get("/api/profile", user).dataObject().value("avatar_url").toString(), url);
}

void TestServerAccounts::demoAccountIsSeeded()
{
    auto &s = *m_server;
    const Creds demo = s.signIn("demo", "13800138000");
    QVERIFY(demo.isValid());
    QCOMPARE(demo.login.value("name").toString(), QStringLiteral("演示用户"));
    QCOMPARE(demo.login.value("company_name").toString(), QStringLiteral("托尔瓦科技"));

    // The trash is not empty on first look: one file and one folder, each restorable.
    const QJsonArray trash = s.get("/api/files/trash", demo).dataArray();
    QCOMPARE(trash.size(), 2);
    QStringList types;
    QString fileId;
    for (const QJsonValue &value : trash) {
        const QJsonObject item = value.toObject();
        types.append(item.value("type").toString());
        QVERIFY(!item.value("trash_time").toString().isEmpty());
        if (item.value("type").toString() != QLatin1String("folder"))
            fileId = QString::number(qint64(item.value("id").toDouble()));
    }
    types.sort();
    QCOMPARE(types, (QStringList{"file", "folder"}));
    QVERIFY(s.putJson("/api/files/" + fileId + "/restore", {}, demo).success());
    QCOMPARE(s.get("/api/files/trash", demo).dataArray().size(), 1);
    const QJsonArray found = s.get(QStringLiteral("/api/files/search?keyword=") +
                                       QString::fromLatin1(QUrl::toPercentEncoding(QStringLiteral("旧版报价单"))),
                                   demo)
                                 .dataArray();
    QCOMPARE(found.size(), 1);
    QVERIFY(found.first().toObject().value("parent_id").toDouble() > 0); // back in its folder, not at the root
}

void TestServerAccounts::anUnprovenPhoneNeverBlocksItsOwner()
{
    auto &s = *m_server;
    const Creds squatter = s.signIn("squatter", "13900000011");
    QVERIFY(squatter.isValid());
    // A number typed into the profile is taken as it is, but it is only a claim.
    QVERIFY(s.putJson("/api/profile", {{"name", "占号"}, {"phone", "13900000012"}, {"companyName", ""}}, squatter)
                .success());
    QCOMPARE(s.get("/api/profile", squatter).dataObject().value("phone").toString(), QStringLiteral("13900000012"));

    // The number's owner registers with it all the same, proving it with the code sent to it.
    const auto sms = s.postJson("/api/send-sms", {{"phone", "13900000012"}, {"scenario", "register"}});
    QVERIFY2(sms.success(), qPrintable(sms.message()));
    const auto login = s.postJson(
        "/api/login/code",
        {{"username", "realowner"}, {"phone", "13900000012"}, {"code", sms.json().value("debugCode").toString()}});
    QVERIFY2(login.success(), qPrintable(login.message()));
    QCOMPARE(login.dataObject().value("phone").toString(), QStringLiteral("13900000012"));

    // The claim is dropped from the other account, which cannot claim the number again.
    QCOMPARE(s.get("/api/profile", squatter).dataObject().value("phone").toString(), QString());
    QCOMPARE(
        s.putJson("/api/profile", {{"name", "占号"}, {"phone", "13900000012"}, {"companyName", ""}}, squatter).status,
        409);
    QVERIFY(s.advanceClock(61, {}));
    QVERIFY(s.signIn("realowner", "13900000012").isValid());
}

void TestServerAccounts::smsAndIdentityChecksAreThrottledPerAddress()
{
    // A server of its own: the limits used up here must not touch the other tests.
    ReferenceServer s;
    QVERIFY2(s.start(), qPrintable(s.errorString()));
    // Many phones from one address: the address runs out long before any phone does.
    const auto firstRefusal = [&](const char *path, auto body, int tries) {
        for (int i = 0; i < tries; ++i) {
            const auto reply = s.postJson(QString::fromLatin1(path), body(QStringLiteral("1370000%1").arg(1000 + i)));
            if (reply.status == 429) {
                if (reply.message() != QStringLiteral("操作过于频繁，请稍后再试"))
                    return -2;
                return i;
            }
        }
        return -1;
    };
    QCOMPARE(firstRefusal(
                 "/api/send-sms",
                 [](const QString &phone) {
                     return QJsonObject{{"phone", phone}, {"scenario", "register"}};
                 },
                 35),
             30);
    QCOMPARE(firstRefusal(
                 "/api/verify-identity",
                 [](const QString &phone) {
                     return QJsonObject{{"username", "someone"}, {"phone", phone}};
                 },
                 65),
             60);
    QCOMPARE(firstRefusal(
                 "/api/login/code",
                 [](const QString &phone) {
                     return QJsonObject{{"username", "someone"}, {"phone", phone}, {"code", "123456"}};
                 },
                 65),
             60);
    // The limits are windows: an hour later the address may try again.
    QVERIFY(s.advanceClock(3601, {}));
    QVERIFY(s.postJson("/api/send-sms", {{"phone", "13700002000"}, {"scenario", "register"}}).success());
    // One phone checked again and again from one address is limited too, well below the address's limit.
    int phoneRefusedAt = -1;
    for (int i = 0; i < 12 && phoneRefusedAt < 0; ++i) {
        if (s.postJson("/api/verify-identity", {{"username", "someone"}, {"phone", "13700002001"}}).status == 429)
            phoneRefusedAt = i;
    }
    QCOMPARE(phoneRefusedAt, 10);
}

void TestServerAccounts::smsCodesAreKeyedAtRest()
{
    auto &s = *m_server;
    const QString phone = QStringLiteral("13900000014");
    const auto sms = s.postJson("/api/send-sms", {{"phone", phone}, {"scenario", "register"}});
    QVERIFY(sms.success());
    const QByteArray code = sms.json().value("debugCode").toString().toUtf8();

    // Read behind the server's back, from whichever database it keeps its records in.
    tvr::server::Database db;
    QString error;
    QVERIFY2(db.open(s.database().isEmpty() ? s.dataDir() + "/tolvar.db" : s.database(), &error), qPrintable(error));
    const auto rows = db.query("SELECT code_hash, salt FROM sms_codes WHERE phone = ?1", {phone});
    QCOMPARE(rows.size(), size_t(1));
    const QByteArray stored = rows.front().value(0).toString().toUtf8();
    const QByteArray salt = rows.front().value(1).toString().toUtf8();
    db.close();

    // No digest that the database alone lets anyone compute matches: guessing the six digits
    // against a copy of it gets nowhere.
    const auto sha = [](const QByteArray &text) {
        return QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex();
    };
    QVERIFY(!stored.isEmpty() && salt.size() >= 16);
    QVERIFY(stored != sha(phone.toUtf8() + ':' + code));
    QVERIFY(stored != sha(salt + ':' + phone.toUtf8() + ':' + code));
    // It is an HMAC under the server's key, a file apart that only the server's user may read.
    QFile key(s.dataDir() + "/server.key");
    QVERIFY(key.open(QIODevice::ReadOnly));
    QCOMPARE(key.size(), 32);
    QCOMPARE(key.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFile::Permissions());
    QCOMPARE(stored, QMessageAuthenticationCode::hash(salt + ':' + phone.toUtf8() + ':' + code, key.readAll(),
                                                      QCryptographicHash::Sha256)
                         .toHex());
}

void TestServerAccounts::namesThatDisguiseThemselvesAreRefused()
{
    auto &s = *m_server;
    const auto sms = s.postJson("/api/send-sms", {{"phone", "13900000015"}, {"scenario", "register"}});
    const QString code = sms.json().value("debugCode").toString();
    // A right-to-left override makes "admin\u202Etxt.exe" display as something else; a zero-width
    // space makes a name look like another one.
    for (const QString &name :
         {QStringLiteral("ad\u202Emin"), QStringLiteral("de\u200Bmo"), QStringLiteral("x\u2066y")}) {
        const auto login =
            s.postJson("/api/login/code", {{"username", name}, {"phone", "13900000015"}, {"code", code}});
        QCOMPARE(login.status, 400);
    }
    const Creds user = s.signIn("gina", "13900000016");
    QCOMPARE(s.putJson("/api/profile", {{"name", "王\u202E二"}, {"phone", ""}, {"companyName", ""}}, user).status, 400);
    QCOMPARE(s.putJson("/api/profile", {{"name", "王二"}, {"phone", ""}, {"companyName", "示\uFEFF例"}}, user).status,
             400);
}

namespace {

// A JSON POST from a chosen loopback address (another client, as far as the server can tell).
QJsonObject postFrom(const ReferenceServer &s, const QString &address, const QByteArray &path, const QJsonObject &body,
                     int *status = nullptr)
{
    RawHttp raw(s.baseUrl(), address);
    if (!raw.open())
        return {};
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    raw.send(raw.head("POST", path,
                      {{"Content-Type", "application/json"},
                       {"Content-Length", QByteArray::number(json.size())},
                       {"Connection", "close"}}) +
             json);
    const RawHttp::Reply reply = raw.read();
    if (status)
        *status = reply.status;
    return QJsonDocument::fromJson(reply.body).object();
}

} // namespace

void TestServerAccounts::oneClientCannotUseUpAPhonesCodes()
{
    ReferenceServer s;
    QVERIFY2(s.start(), qPrintable(s.errorString()));
    const QString phone = QStringLiteral("13900000031");
    QVERIFY(s.signIn("phoneowner", phone).isValid());
    // A stranger asks for codes to the owner's phone, a minute apart, until refused.
    int refusedAt = -1;
    for (int i = 0; i < 12 && refusedAt < 0; ++i) {
        QVERIFY(s.advanceClock(61, {}));
        int status = 0;
        postFrom(s, "127.0.0.2", "/api/send-sms", {{"phone", phone}, {"scenario", "login"}}, &status);
        if (status == 429)
            refusedAt = i;
    }
    QCOMPARE(refusedAt, 5);
    // The owner still gets codes and signs in, here and from a second place of their own.
    QVERIFY(s.advanceClock(61, {}));
    QVERIFY(s.signIn("phoneowner", phone).isValid());
    const QJsonObject other = postFrom(s, "127.0.0.3", "/api/send-sms", {{"phone", phone}, {"scenario", "login"}});
    QVERIFY2(other.value("success").toBool(), qPrintable(other.value("message").toString()));
    // The phone's own daily limit still caps what all clients together cost: ten a day.
    int status = 0;
    for (int i = 0; i < 2; ++i) {
        QVERIFY(s.advanceClock(61, {}));
        postFrom(s, "127.0.0.4", "/api/send-sms", {{"phone", phone}, {"scenario", "login"}}, &status);
        QCOMPARE(status, 200);
    }
    QVERIFY(s.advanceClock(61, {}));
    postFrom(s, "127.0.0.5", "/api/send-sms", {{"phone", phone}, {"scenario", "login"}}, &status);
    QCOMPARE(status, 429);
}

void TestServerAccounts::anotherClientsGuessesLeaveTheCodeAlone()
{
    auto &s = *m_server;
    const QString phone = QStringLiteral("13900000032");
    QVERIFY(s.signIn("guessedowner", phone).isValid());
    QVERIFY(s.advanceClock(61, {}));
    const auto sms = s.postJson("/api/send-sms", {{"phone", phone}, {"scenario", "login"}});
    QVERIFY(sms.success());
    const QString code = sms.json().value("debugCode").toString();
    // Someone elsewhere tries codes for the owner's phone; whatever they send, they never reach it.
    for (int i = 0; i < 8; ++i) {
        const QString guess = QStringLiteral("%1").arg(i, 6, 10, QLatin1Char('0'));
        const QJsonObject reply =
            postFrom(s, "127.0.0.6", "/api/login/code",
                     {{"username", "guessedowner"}, {"phone", phone}, {"code", guess == code ? "999999" : guess}});
        QCOMPARE(reply.value("success").toBool(true), false);
    }
    const QJsonObject stolen =
        postFrom(s, "127.0.0.6", "/api/login/code", {{"username", "guessedowner"}, {"phone", phone}, {"code", code}});
    QCOMPARE(stolen.value("success").toBool(true), false);
    // The owner's code is as good as before.
    const auto login = s.postJson("/api/login/code", {{"username", "guessedowner"}, {"phone", phone}, {"code", code}});
    QVERIFY2(login.success(), qPrintable(login.message()));
}

void TestServerAccounts::aStrangersIdentityChecksNeverLockOutTheOwner()
{
    ReferenceServer s;
    QVERIFY2(s.start(), qPrintable(s.errorString()));
    const QString phone = QStringLiteral("13900000034");
    QVERIFY(s.signIn("checkedowner", phone).isValid());
    // A stranger checks names against the owner's phone until refused.
    int refusedAt = -1;
    QString refusal;
    for (int i = 0; i < 12 && refusedAt < 0; ++i) {
        int status = 0;
        const QJsonObject reply = postFrom(s, "127.0.0.7", "/api/verify-identity",
                                           {{"username", QStringLiteral("guess%1").arg(i)}, {"phone", phone}}, &status);
        if (status == 429) {
            refusedAt = i;
            refusal = reply.value("message").toString();
        }
    }
    QCOMPARE(refusedAt, 10);
    QCOMPARE(refusal, QStringLiteral("操作过于频繁，请稍后再试"));
    // The stranger stays refused for that phone, even with the right name.
    int status = 0;
    postFrom(s, "127.0.0.7", "/api/verify-identity", {{"username", "checkedowner"}, {"phone", phone}}, &status);
    QCOMPARE(status, 429);
    // The owner's checks, from wherever the owner is, go through as before.
    const auto here = s.postJson("/api/verify-identity", {{"username", "checkedowner"}, {"phone", phone}});
    QVERIFY2(here.success(), qPrintable(here.message()));
    const QJsonObject elsewhere =
        postFrom(s, "127.0.0.8", "/api/verify-identity", {{"username", "checkedowner"}, {"phone", phone}});
    QVERIFY2(elsewhere.value("success").toBool(), qPrintable(elsewhere.value("message").toString()));
}

void TestServerAccounts::aSpentCodeSaysItIsNoLongerValid()
{
    auto &s = *m_server;
    const QString phone = QStringLiteral("13900000033");
    const auto sms = s.postJson("/api/send-sms", {{"phone", phone}, {"scenario", "register"}});
    const QString code = sms.json().value("debugCode").toString();
    QVERIFY(s.postJson("/api/login/code", {{"username", "spentcode"}, {"phone", phone}, {"code", code}}).success());
    const QString wrong = code == "000000" ? "111111" : "000000";
    for (const QString &again : {wrong, code}) {
        const auto reply =
            s.postJson("/api/login/code", {{"username", "spentcode"}, {"phone", phone}, {"code", again}});
        QCOMPARE(reply.status, 400);
        QCOMPARE(reply.message(), QStringLiteral("验证码已失效，请重新获取"));
    }
}

QTEST_GUILESS_MAIN(TestServerAccounts)
#include "tst_server_accounts.moc"
