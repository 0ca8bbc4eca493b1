// Quotas under concurrency on the reference server: ten parallel writes of each kind that
// consumes storage never store more than the account's room, a zip bomb stops at the room,
// sizes that would overflow are refused, open chunked uploads hold their size, and a team
// member's upload cannot hold the owner's room. Accounts get 1 MiB (--quota), so the writes
// are small. With TVR_TEST_INSTANCES=N, N servers share one data folder and database (a cluster)
// and the parallel writes are spread over them, so the room must hold across instances.
#include "archivekit.h"
#include "eventwait.h"
#include "rawhttp.h"
#include "referenceserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QtTest>
#include <archive.h>
#include <archive_entry.h>

using Creds = ReferenceServer::Credentials;

namespace {

constexpr qint64 Quota = 1024 * 1024;
constexpr int Piece = 300 * 1024; // three fit in the quota, the fourth does not
constexpr int Writers = 10;

QByteArray randomBytes(int size)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(out.data()), size / 4);
    return out;
}

QString md5(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

// A zip holding one entry, stored or deflated.
QByteArray multipartBody(const QByteArray &boundary, const QByteArray &field, const QByteArray &fileName,
                         const QByteArray &content)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field + "\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" + boundary + "--\r\n";
}

} // namespace

class TestServerQuotas final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parallelWritesNeverExceedTheQuota_data();
    void parallelWritesNeverExceedTheQuota();
    void zipBombStopsAtTheRoom();
    void oversizedSizesAreRefused();
    void openChunkedUploadsHoldTheirSize();
    void removedMemberNoLongerBlocksTheOwner();

private:
    struct Call
    {
        QByteArray verb;
        QString path;
        QByteArray body;
        QByteArray contentType;
        QList<std::pair<QByteArray, QByteArray>> headers = {};
    };
    // Sends every call at once (as many in parallel as the network manager opens connections)
    // and returns the statuses when all have answered.
    QList<int> inParallel(const QList<Call> &calls, const Creds &as);
    qint64 used(const Creds &as);
    qint64 uploadFile(const Creds &as, const QByteArray &name, const QByteArray &content);

    std::unique_ptr<ReferenceServer> m_server;
    std::vector<std::unique_ptr<ReferenceServer>> m_others; // the cluster's further instances
    QNetworkAccessManager m_network;
    int m_accounts = 0;
};

void TestServerQuotas::initTestCase()
{
    ReferenceServer::Options options;
    options.extraArgs = {"--quota", QString::number(Quota)};
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    options.dataDir = m_server->dataDir();
    for (int i = 1; i < qEnvironmentVariableIntValue("TVR_TEST_INSTANCES"); ++i) {
        m_others.push_back(std::make_unique<ReferenceServer>(options));
        QVERIFY2(m_others.back()->start(), qPrintable(m_others.back()->errorString()));
    }
}

QList<int> TestServerQuotas::inParallel(const QList<Call> &calls, const Creds &as)
{
    std::vector<QNetworkReply *> replies;
    for (const Call &call : calls) {
        // Round robin over the instances, as a balancer would.
        const size_t instance = replies.size() % (m_others.size() + 1);
        const ReferenceServer &server = instance == 0 ? *m_server : *m_others[instance - 1];
        QNetworkRequest request(QUrl(server.baseUrl() + call.path));
        request.setRawHeader("X-User-Id", as.userId.toUtf8());
        request.setRawHeader("X-Auth-Token", as.token.toUtf8());
        if (!call.contentType.isEmpty())
            request.setHeader(QNetworkRequest::ContentTypeHeader, call.contentType);
        for (const auto &[name, value] : call.headers)
            request.setRawHeader(name, value);
        replies.push_back(m_network.sendCustomRequest(request, call.verb, call.body));
    }
    waitUntil([&] { return std::all_of(replies.begin(), replies.end(), [](auto *r) { return r->isFinished(); }); },
              60000);
    QList<int> statuses;
    for (QNetworkReply *reply : replies) {
        statuses.append(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
        reply->deleteLater();
    }
    return statuses;
}

qint64 TestServerQuotas::used(const Creds &as)
{
    return qint64(m_server->get("/api/profile", as).dataObject().value("storage_used").toDouble());
}

qint64 TestServerQuotas::uploadFile(const Creds &as, const QByteArray &name, const QByteArray &content)
{
    const auto reply =
        m_server->multipart("/api/files/upload", {{"files", name, "application/octet-stream", content}}, as);
    return reply.success() ? qint64(reply.dataArray().first().toObject().value("id").toDouble()) : 0;
}

void TestServerQuotas::parallelWritesNeverExceedTheQuota_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"extract", "vault", "multipart", "merge", "instant", "team"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void TestServerQuotas::parallelWritesNeverExceedTheQuota()
{
    QFETCH(QString, kind);
    const QString phone = QStringLiteral("1390000%1").arg(4100 + ++m_accounts);
    const Creds user = m_server->signIn(QStringLiteral("quota-%1").arg(kind), phone);
    QVERIFY(user.isValid());
    Creds payer = user; // whose quota the writes use
    QList<Call> calls;
    int refusedEarly = 0; // writes refused before their last request
    const QByteArray boundary = "tvr-quota-boundary";
    const QByteArray form = "multipart/form-data; boundary=" + boundary;

    if (kind == QLatin1String("extract")) {
        // The archive itself takes a piece; each extract would add another.
        const qint64 archive = uploadFile(user, "pieces.zip", zipOf("piece.bin", randomBytes(Piece), false));
        QVERIFY(archive > 0);
        for (int i = 0; i < Writers; ++i)
            calls.append({"POST", "/api/files/extract",
                          QJsonDocument(QJsonObject{{"fileId", QString::number(archive)}}).toJson(),
                          "application/json"});
    } else if (kind == QLatin1String("vault")) {
        QVERIFY(m_server->postJson("/api/vault/setup", {{"password", "quota-vault"}}, user).success());
        const QString token = m_server->postJson("/api/vault/unlock", {{"password", "quota-vault"}}, user)
                                  .dataObject()
                                  .value("token")
                                  .toString();
        QVERIFY(!token.isEmpty());
        for (int i = 0; i < Writers; ++i)
            calls.append({"POST",
                          "/api/vault/upload",
                          multipartBody(boundary, "file", "v.bin", randomBytes(Piece)),
                          form,
                          {{"X-Vault-Token", token.toUtf8()}}});
    } else if (kind == QLatin1String("multipart")) {
        for (int i = 0; i < Writers; ++i)
            calls.append(
                {"POST", "/api/files/upload", multipartBody(boundary, "files", "m.bin", randomBytes(Piece)), form});
    } else if (kind == QLatin1String("merge")) {
        for (int i = 0; i < Writers; ++i) {
            const QByteArray content = randomBytes(Piece);
            const auto init = m_server->postJson(
                "/api/upload/init",
                {{"name", QStringLiteral("c%1.bin").arg(i)}, {"size", Piece}, {"md5", md5(content)}}, user);
            // An open upload holds its size, so those beyond the room are refused right away.
            if (init.status == 507) {
                ++refusedEarly;
                continue;
            }
            QVERIFY2(init.success(), qPrintable(init.message()));
            const QString id = init.dataObject().value("uploadId").toString();
            QVERIFY(m_server
                        ->request("PUT", QStringLiteral("/api/upload/chunk/%1/0").arg(id), user, content,
                                  "application/octet-stream")
                        .success());
            calls.append({"POST", "/api/upload/merge", QJsonDocument(QJsonObject{{"uploadId", id}}).toJson(),
                          "application/json"});
        }
    } else if (kind == QLatin1String("instant")) {
        const QByteArray content = randomBytes(Piece);
        QVERIFY(uploadFile(user, "first.bin", content) > 0);
        for (int i = 0; i < Writers; ++i)
            calls.append(
                {"POST", "/api/upload/init",
                 QJsonDocument(
                     QJsonObject{{"name", QStringLiteral("copy%1.bin").arg(i)}, {"size", Piece}, {"md5", md5(content)}})
                     .toJson(),
                 "application/json"});
    } else if (kind == QLatin1String("team")) {
        // A member uploads; the bytes count against the owner's quota.
        const qint64 team =
            qint64(m_server->postJson("/api/teams", {{"name", "配额"}}, user).dataObject().value("id").toDouble());
        const Creds member = m_server->signIn("quota-member", "13900004199");
        QVERIFY(
            m_server->postJson(QStringLiteral("/api/teams/%1/members").arg(team), {{"keyword", "quota-member"}}, user)
                .success());
        for (int i = 0; i < Writers; ++i)
            calls.append({"POST", QStringLiteral("/api/teams/%1/files/upload").arg(team),
                          multipartBody(boundary, "files", "t.bin", randomBytes(Piece)), form});
        const QList<int> statuses = inParallel(calls, member);
        QVERIFY2(used(payer) <= Quota, qPrintable(QStringLiteral("%1 bytes stored").arg(used(payer))));
        // Room is taken as a member's bytes arrive, so uploads running side by side can each hold a
        // part of it and turn one away that would have fitted after the others: never more than
        // fits, and at least one.
        const int accepted = int(statuses.count(200));
        QVERIFY2(accepted >= 1 && accepted <= int(Quota / Piece), qPrintable(QString::number(accepted)));
        QCOMPARE(statuses.count(507), Writers - accepted);
        return;
    }
    const qint64 before = used(payer);
    const QList<int> statuses = inParallel(calls, user);
    const qint64 after = used(payer);
    QVERIFY2(after <= Quota, qPrintable(QStringLiteral("%1 bytes stored in a quota of %2").arg(after).arg(Quota)));
    // Exactly as many writes as fit went through; the others were refused for want of room.
    QCOMPARE(statuses.count(200), int((Quota - before) / Piece));
    QCOMPARE(statuses.count(507) + refusedEarly, Writers - statuses.count(200));
}

void TestServerQuotas::zipBombStopsAtTheRoom()
{
    const Creds user = m_server->signIn("bomber", "13900004198");
    // 64 MiB of zeros deflate to a few dozen KiB; unpacked they are far over the room.
    const QByteArray bomb = zipOf("zeros.bin", QByteArray(64 * 1024 * 1024, '\0'), true);
    QVERIFY(bomb.size() < 512 * 1024);
    const qint64 archive = uploadFile(user, "bomb.zip", bomb);
    QVERIFY(archive > 0);
    QList<Call> calls;
    for (int i = 0; i < 4; ++i)
        calls.append({"POST", "/api/files/extract",
                      QJsonDocument(QJsonObject{{"fileId", QString::number(archive)}}).toJson(), "application/json"});
    const QList<int> statuses = inParallel(calls, user);
    QCOMPARE(statuses.count(507), 4);
    QCOMPARE(used(user), qint64(bomb.size()));
    // Nothing of the unpacked bytes is left behind.
    QDirIterator temps(m_server->dataDir() + "/tmp", QDir::Files | QDir::Hidden);
    QVERIFY(!temps.hasNext());
}

void TestServerQuotas::oversizedSizesAreRefused()
{
    const Creds user = m_server->signIn("overflow", "13900004197");
    const QString digest = md5("x");
    const auto sessions = [this] {
        return QDir(m_server->dataDir() + "/uploads").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    };
    const qsizetype sessionsBefore = sessions();
    for (const QJsonValue &size : {QJsonValue(9223372036854775807.0), QJsonValue("9223372036854775807"),
                                   QJsonValue(1e300), QJsonValue(-1), QJsonValue(1.5), QJsonValue("12abc")}) {
        const auto reply =
            m_server->postJson("/api/upload/init", {{"name", "huge.bin"}, {"size", size}, {"md5", digest}}, user);
        QCOMPARE(reply.status, 400);
        QCOMPARE(reply.message(), QStringLiteral("文件大小无效"));
    }
    QCOMPARE(sessions(), sessionsBefore);
}

void TestServerQuotas::openChunkedUploadsHoldTheirSize()
{
    const Creds user = m_server->signIn("sessions", "13900004301");
    const auto init = [&](const QString &name, const QByteArray &content) {
        return m_server->postJson("/api/upload/init", {{"name", name}, {"size", content.size()}, {"md5", md5(content)}},
                                  user);
    };
    const QByteArray first = randomBytes(700 * 1024);
    const QByteArray second = randomBytes(700 * 1024);
    const auto opened = init("first.bin", first);
    QVERIFY2(opened.success(), qPrintable(opened.message()));
    const QString uploadId = opened.dataObject().value("uploadId").toString();
    // The open upload holds its 700 KiB: neither a second one nor another write gets them.
    QCOMPARE(init("second.bin", second).status, 507);
    QCOMPARE(uploadFile(user, "other.bin", randomBytes(400 * 1024)), qint64(0));
    // Resuming the same upload is no new claim.
    const auto resumed = init("first.bin", first);
    QVERIFY(resumed.success());
    QCOMPARE(resumed.dataObject().value("uploadId").toString(), uploadId);
    // Merging turns the held room into the file, without counting it twice.
    QVERIFY(m_server->request("PUT", "/api/upload/chunk/" + uploadId + "/0", user, first, "application/octet-stream")
                .success());
    const auto merged = m_server->postJson("/api/upload/merge", {{"uploadId", uploadId}}, user);
    QVERIFY2(merged.success(), qPrintable(merged.message()));
    QCOMPARE(used(user), qint64(first.size()));
    QCOMPARE(init("second.bin", second).status, 507);
    // A cancelled upload gives its room back at once.
    const QByteArray small = randomBytes(200 * 1024);
    const QString cancelled = init("small.bin", small).dataObject().value("uploadId").toString();
    QVERIFY(!cancelled.isEmpty());
    QCOMPARE(init("small2.bin", randomBytes(200 * 1024)).status, 507);
    QVERIFY(m_server->del("/api/upload/" + cancelled, user).success());
    QVERIFY(init("small2.bin", randomBytes(200 * 1024)).success());
}

void TestServerQuotas::removedMemberNoLongerBlocksTheOwner()
{
    const Creds owner = m_server->signIn("team-owner", "13900004302");
    const Creds member = m_server->signIn("team-member", "13900004303");
    const qint64 team =
        qint64(m_server->postJson("/api/teams", {{"name", "blocked"}}, owner).dataObject().value("id").toDouble());
    QVERIFY(team > 0);
    QVERIFY(m_server->postJson(QStringLiteral("/api/teams/%1/members").arg(team), {{"keyword", "team-member"}}, owner)
                .success());
    const QString temps = m_server->dataDir() + "/tmp";
    const auto tempFiles = [&] { return QDir(temps).entryList(QDir::Files | QDir::Hidden).size(); };
    const qsizetype tempsBefore = tempFiles();

    // The member announces a body as large as the owner's whole room and sends a little of it.
    const QByteArray boundary = "member-boundary";
    RawHttp slow(m_server->baseUrl());
    QVERIFY(slow.open());
    QVERIFY(slow.send(slow.head("POST", QStringLiteral("/api/teams/%1/files/upload").arg(team).toUtf8(),
                                {{"X-User-Id", member.userId.toUtf8()},
                                 {"X-Auth-Token", member.token.toUtf8()},
                                 {"Content-Type", "multipart/form-data; boundary=" + boundary},
                                 {"Content-Length", QByteArray::number(Quota)}})));
    const QByteArray start = "--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"files\"; filename=\"m.bin\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             QByteArray(16 * 1024, 'm');
    QVERIFY(slow.send(start));
    QVERIFY(waitUntil([&] { return tempFiles() > tempsBefore; }, 10000)); // the server is storing it

    // The owner's own uploads still find the room the member has not used.
    QVERIFY(uploadFile(owner, "own1.bin", randomBytes(100 * 1024)) > 0);
    QVERIFY(m_server->del(QStringLiteral("/api/teams/%1/members/%2").arg(team).arg(member.userId), owner).success());
    // The removed member's upload ends at its next bytes and keeps nothing (the answer follows
    // the rest of the announced body, which the server drops).
    slow.send(QByteArray(Quota - start.size(), 'm'));
    const RawHttp::Reply ended = slow.read(10000);
    QCOMPARE(ended.status, 403);
    QVERIFY(uploadFile(owner, "own2.bin", randomBytes(100 * 1024)) > 0);
    QCOMPARE(used(owner), qint64(200 * 1024));
    QVERIFY(waitUntil([&] { return tempFiles() == tempsBefore; }, 10000));
}

QTEST_GUILESS_MAIN(TestServerQuotas)
#include "tst_server_quotas.moc"
