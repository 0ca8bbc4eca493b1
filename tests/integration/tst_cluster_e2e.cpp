// Three reference servers on one data folder behind HAProxy (Debian's /usr/sbin/haproxy, started
// here in the foreground on a free loopback port): requests are spread round robin, so one
// upload's chunks land on different instances; an instance killed mid-upload leaves the client
// to finish the file on the others; a session signed in through the balancer works on every
// instance; parallel writers near the quota never overshoot it together.
// TVR_TEST_DATABASE_URL, when set, is handed to every instance as --database.
#include "net/httpresponse.h"
#include "net/session.h"
#include "referenceserver.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"
#include "transfer/transfersettings.h"
#include "transferkit.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <signal.h>

using Creds = ReferenceServer::Credentials;
using State = TransferTask::State;

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 ChunkBytes = 256 * KiB;
constexpr qint64 QuotaBytes = 8 * 1024 * KiB;
const QString HaProxy = QStringLiteral("/usr/sbin/haproxy");

bool waitFor(const std::function<bool()> &condition, int timeoutMs = 60000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QByteArray randomBytes(qint64 size)
{
    QByteArray out(size, Qt::Uninitialized);
    for (char &c : out)
        c = char(QRandomGenerator::global()->bounded(256));
    return out;
}

struct Answer
{
    int status = 0;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    bool success() const { return status / 100 == 2 && json().value("success").toBool(); }
    QJsonValue data() const { return json().value("data"); }
};

} // namespace

class TestClusterE2E final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void signInThroughTheBalancerServesEveryPage();
    void chunksSpreadOverInstancesMergeByteExact();
    void instanceKilledMidUploadTheClientFinishesOnTheOthers();
    void parallelWritersNearTheQuotaNeverExceedIt();

private:
    Answer send(const QByteArray &verb, const QString &path, const Creds &as = {}, const QByteArray &body = {},
                const QByteArray &type = {});
    Answer postJson(const QString &path, const QJsonObject &body, const Creds &as = {});
    Creds signIn(const QString &name, const QString &phone);
    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path); }
    static QNetworkRequest requestFor(const QString &url, const Creds &as);

    QTemporaryDir m_work;
    QTemporaryDir m_settingsDir;
    std::vector<std::unique_ptr<ReferenceServer>> m_nodes;
    std::unique_ptr<QProcess> m_haproxy;
    QNetworkAccessManager m_network;
    int m_port = 0;
    Creds m_user;
};

QNetworkRequest TestClusterE2E::requestFor(const QString &url, const Creds &as)
{
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(60000);
    request.setRawHeader("X-TVR-Client", "1");
    request.setRawHeader("Accept", "application/json");
    if (as.isValid()) {
        request.setRawHeader("X-User-Id", as.userId.toUtf8());
        request.setRawHeader("X-Auth-Token", as.token.toUtf8());
    }
    return request;
}

Answer TestClusterE2E::send(const QByteArray &verb, const QString &path, const Creds &as, const QByteArray &body,
                            const QByteArray &type)
{
    QNetworkRequest request = requestFor(url(path), as);
    if (!type.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, type);
    QNetworkReply *reply = m_network.sendCustomRequest(request, verb, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(60000);
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    reply->deleteLater();
    return answer;
}

Answer TestClusterE2E::postJson(const QString &path, const QJsonObject &body, const Creds &as)
{
    return send("POST", path, as, QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json");
}

// The client's own flow, each step on whichever instance the balancer picks: the SMS code is
// checked by an instance other than the one that sent it.
Creds TestClusterE2E::signIn(const QString &name, const QString &phone)
{
    const Answer sms = postJson("/api/send-sms", {{"phone", phone}, {"scenario", "register"}});
    const QString code = sms.json().value("debugCode").toString();
    if (!sms.success() || code.isEmpty())
        return {};
    const Answer login = postJson("/api/login/code", {{"username", name}, {"phone", phone}, {"code", code}});
    if (!login.success())
        return {};
    Creds creds;
    creds.login = login.data().toObject();
    creds.userId = QString::number(qint64(creds.login.value("id").toDouble()));
    creds.token = creds.login.value("loginToken").toString();
    return creds;
}

void TestClusterE2E::initTestCase()
{
    if (!QFile::exists(HaProxy))
        QSKIP("haproxy is not installed (scripts/setup installs it)");
    useSettingsFolder(m_settingsDir.path());
    QStringList args{"--trusted-proxy", "127.0.0.1", "--quota", QString::number(QuotaBytes)};
    const QString database = qEnvironmentVariable("TVR_TEST_DATABASE_URL");
    if (!database.isEmpty())
        args << "--database" << database;
    QString shared;
    for (int i = 0; i < 3; ++i) {
        ReferenceServer::Options options;
        options.chunkSize = ChunkBytes;
        options.dataDir = shared;
        options.extraArgs = args;
        auto server = std::make_unique<ReferenceServer>(options);
        QVERIFY2(server->start(), qPrintable(server->errorString()));
        shared = server->dataDir();
        m_nodes.push_back(std::move(server));
    }

    m_port = freePort();
    QVERIFY(m_port > 0);
    QString config = QStringLiteral("global\n    maxconn 512\n"
                                    "defaults\n    mode http\n    option forwardfor\n    option redispatch\n"
                                    "    retries 2\n    timeout connect 2s\n    timeout client 60s\n"
                                    "    timeout server 60s\n    timeout http-keep-alive 5s\n"
                                    "frontend tolvar\n    bind 127.0.0.1:%1\n    default_backend instances\n"
                                    "backend instances\n    balance roundrobin\n"
                                    "    option httpchk GET /healthz\n    http-check expect status 200\n"
                                    "    default-server check inter 300ms fall 1 rise 1\n")
                         .arg(m_port);
    for (size_t i = 0; i < m_nodes.size(); ++i)
        config += QStringLiteral("    server s%1 %2\n").arg(i).arg(QUrl(m_nodes[i]->baseUrl()).authority());
    QFile file(m_work.filePath("haproxy.cfg"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(config.toUtf8()) > 0);
    file.close();
    m_haproxy = std::make_unique<QProcess>();
    m_haproxy->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_haproxy->start(HaProxy, {"-db", "-f", file.fileName()});
    QVERIFY(m_haproxy->waitForStarted());
    QVERIFY(waitFor([&] { return send("GET", "/healthz").status == 200; }, 20000));

    m_user = signIn("balanced", "13900000951");
    QVERIFY(m_user.isValid());
}

void TestClusterE2E::cleanupTestCase()
{
    if (m_haproxy) {
        m_haproxy->kill();
        m_haproxy->waitForFinished();
    }
    m_nodes.clear();
}

void TestClusterE2E::signInThroughTheBalancerServesEveryPage()
{
    // Round robin: consecutive requests go to consecutive instances, each served from the
    // shared session, twice around.
    const QStringList pages{"/api/profile", "/api/files?",       "/api/folders", "/api/notifications?",
                            "/api/teams",   "/api/vault/status", "/api/plans",   "/api/files?category=image&"};
    for (int round = 0; round < 2; ++round) {
        for (const QString &page : pages) {
            const Answer answer = send("GET", page, m_user);
            QVERIFY2(answer.success(), qPrintable(page + ": " + answer.body));
        }
    }
    QVERIFY(postJson("/api/folders", {{"name", "balanced"}}, m_user).success());
    bool seen = false;
    for (const QJsonValue &v : send("GET", "/api/files?", m_user).data().toArray())
        seen = seen || v.toObject().value("name").toString() == "balanced";
    QVERIFY(seen);
}

void TestClusterE2E::chunksSpreadOverInstancesMergeByteExact()
{
    const QByteArray content = randomBytes(5 * ChunkBytes + 77);
    const Answer init =
        postJson("/api/upload/init",
                 {{"name", "spread.bin"},
                  {"size", content.size()},
                  {"md5", QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())}},
                 m_user);
    QVERIFY2(init.success(), init.body.constData());
    const QString id = init.data().toObject().value("uploadId").toString();
    for (int index = 0; index < 6; ++index) {
        const Answer put = send("PUT", QStringLiteral("/api/upload/chunk/%1/%2").arg(id).arg(index), m_user,
                                content.mid(index * ChunkBytes, ChunkBytes), "application/octet-stream");
        QVERIFY2(put.success(), put.body.constData());
    }
    const Answer merged = postJson("/api/upload/merge", {{"uploadId", id}}, m_user);
    QVERIFY2(merged.success(), merged.body.constData());
    const qint64 fileId = qint64(merged.data().toObject().value("id").toDouble());
    const Answer body = send("GET", QStringLiteral("/api/files/%1/download").arg(fileId), m_user);
    QCOMPARE(body.status, 200);
    QVERIFY(body.body == content);
}

void TestClusterE2E::instanceKilledMidUploadTheClientFinishesOnTheOthers()
{
    qputenv("TVR_SERVER", url(QString()).toUtf8());
    QVERIFY(Session::instance()->applyLogin(m_user.login));
    const QString source = m_work.filePath("killed.bin");
    constexpr qint64 Size = 3 * 1024 * KiB;
    QVERIFY(writeRandomFile(source, Size, 23));

    TransferManager manager;
    TransferSettings slow; // slow enough that the kill lands mid-upload
    slow.uploadLimit = 1024 * KiB;
    manager.applySettings(slow, false);
    TransferTask *task = manager.addUpload(source, QString());
    QVERIFY2(waitFor([&] {
                 return task->doneBytes() >= ChunkBytes * 2 || !task->isUnfinished() || task->state() == State::Failed;
             }),
             qPrintable(QStringLiteral("state %1, %2 bytes: %3")
                            .arg(int(task->state()))
                            .arg(task->doneBytes())
                            .arg(task->error())));
    QVERIFY(task->isUnfinished());
    ReferenceServer &victim = *m_nodes[1];
    QVERIFY(victim.processId() > 0);
    QCOMPARE(::kill(pid_t(victim.processId()), SIGKILL), 0);

    QVERIFY2(waitFor([&] { return settled(task, State::Finished) || task->state() == State::Failed; }, 120000),
             "the upload neither finished nor failed");
    QCOMPARE(task->state(), State::Finished);
    const QString id = jsonText(task->fileRecord(), QStringLiteral("id"));
    const Answer body = send("GET", QStringLiteral("/api/files/%1/download").arg(id), m_user);
    QCOMPARE(body.status, 200);
    QCOMPARE(QCryptographicHash::hash(body.body, QCryptographicHash::Md5).toHex(), md5OfFile(source));
    manager.applySettings(TransferSettings(), false);
}

void TestClusterE2E::parallelWritersNearTheQuotaNeverExceedIt()
{
    const Creds writer = signIn("quotawriter", "13900000952");
    QVERIFY(writer.isValid());
    // Ten writers of 1200 KiB each at once, spread over the instances: at most six fit.
    constexpr int Writers = 10;
    constexpr qint64 Each = 1200 * KiB;
    std::vector<std::unique_ptr<QNetworkAccessManager>> managers;
    QList<QNetworkReply *> replies;
    for (int i = 0; i < Writers; ++i) {
        managers.push_back(std::make_unique<QNetworkAccessManager>());
        auto *multipart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"files\"; filename=\"w%1.bin\"").arg(i));
        part.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
        part.setBody(randomBytes(Each));
        multipart->append(part);
        QNetworkReply *reply = managers.back()->post(requestFor(url("/api/files/upload"), writer), multipart);
        multipart->setParent(reply);
        replies.append(reply);
    }
    QVERIFY(waitFor(
        [&] { return std::all_of(replies.begin(), replies.end(), [](QNetworkReply *r) { return r->isFinished(); }); }));
    int stored = 0;
    int refused = 0;
    for (QNetworkReply *reply : replies) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        stored += status == 200 ? 1 : 0;
        refused += status == 507 ? 1 : 0;
        reply->deleteLater();
    }
    QCOMPARE(stored + refused, Writers);
    QVERIFY(stored >= 1 && stored <= int(QuotaBytes / Each));
    const QJsonObject profile = send("GET", "/api/profile", writer).data().toObject();
    const qint64 used = qint64(profile.value("storage_used").toDouble());
    QCOMPARE(used, stored * Each);
    QVERIFY(used <= QuotaBytes);
}

QTEST_GUILESS_MAIN(TestClusterE2E)
#include "tst_cluster_e2e.moc"
