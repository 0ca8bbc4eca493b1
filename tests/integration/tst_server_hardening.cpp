// The reference server's transport against requests meant to take it down or hold it: long
// request targets, bodies framed twice, multipart bodies of many parts or fields, clients that
// take answers or send uploads too slowly, and one account holding every upload worker.
#include "eventwait.h"
#include "rawhttp.h"
#include "referenceserver.h"
#include "stalledreader.h"

#include "http/router.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <memory>
#include <vector>

using Creds = ReferenceServer::Credentials;
using Part = ReferenceServer::Part;
using tvr::server::http::BodyReader;

namespace {

// A multipart body handed over at once, as a streamed route reads it.
class WholeBody final : public BodyReader
{
public:
    explicit WholeBody(QByteArray body)
        : m_body(std::move(body))
    {}
    bool read(const Sink &sink) override { return sink(m_body.constData(), size_t(m_body.size())); }
    qint64 received() const override { return m_body.size(); }

private:
    QByteArray m_body;
};

QByteArray formPart(const QByteArray &boundary, const QByteArray &name, const QByteArray &fileName,
                    const QByteArray &content)
{
    QByteArray part = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"";
    if (!fileName.isEmpty())
        part += "; filename=\"" + fileName + "\"\r\nContent-Type: application/octet-stream";
    return part + "\r\n\r\n" + content + "\r\n";
}

// The head of a multipart upload whose body is announced but not yet sent.
QByteArray uploadHead(RawHttp &raw, const Creds &as, qint64 length)
{
    return raw.head("POST", "/api/files/upload",
                    {{"X-User-Id", as.userId.toUtf8()},
                     {"X-Auth-Token", as.token.toUtf8()},
                     {"Content-Type", "multipart/form-data; boundary=b"},
                     {"Content-Length", QByteArray::number(length)}});
}

// True when the body reads whole within the form's limits; false when it goes beyond them.
bool readsWhole(const QByteArray &body)
{
    tvr::server::http::Request request;
    request.headers.emplace_back("content-type", "multipart/form-data; boundary=b");
    WholeBody reader(body);
    const bool read = reader.readMultipart(
        request, [](const auto &) { return true; }, [](const char *, size_t) { return true; });
    if (read == reader.formOverLimit())
        qWarning("read %d, over the limit %d", read, reader.formOverLimit());
    return read && !reader.formOverLimit();
}

} // namespace

class TestServerHardening final : public QObject
{
    Q_OBJECT

private slots:
    void longTargetsAreRefusedWith414AndLongIdsAreRouted();
    void requestsFramedTwiceAreRefusedAndClosed();
    void filePartsAreClosedAsTheyEndAndCappedPerRequest();
    void unreadFormFieldsAreCapped();
    void slowReadersAreClosedAndPublicAnswersCappedPerAddress();
    void oneAccountHoldsAtMostEightUploads();
    void dribbledUploadsAreClosed();

private:
    static std::unique_ptr<ReferenceServer> startServer(const QStringList &extraArgs = {}, int descriptorLimit = 0);
};

std::unique_ptr<ReferenceServer> TestServerHardening::startServer(const QStringList &extraArgs, int descriptorLimit)
{
    ReferenceServer::Options options;
    options.extraArgs = extraArgs;
    options.descriptorLimit = descriptorLimit;
    auto server = std::make_unique<ReferenceServer>(options);
    if (!server->start())
        qWarning("%s", qPrintable(server->errorString()));
    return server;
}

void TestServerHardening::longTargetsAreRefusedWith414AndLongIdsAreRouted()
{
    // The router alone: a path of a mebibyte is matched in one pass, its id captured whole.
    tvr::server::http::Router router;
    router.get("/pay/([^/]+)", [](const auto &, auto &) {});
    router.get("/api/files/([^/]+)/download", [](const auto &, auto &) {});
    const std::string id(1 << 20, 'A');
    std::vector<std::string> matches;
    QVERIFY(router.match("GET", "/api/files/" + id + "/download", &matches));
    QCOMPARE(matches.size(), size_t(2));
    QVERIFY(matches[1] == id);
    QVERIFY(!router.match("GET", "/pay/" + id + "/x", &matches));
    QVERIFY(!router.match("GET", "/pay/", &matches));

    const auto server = startServer();
    QVERIFY(server->isRunning());
    // Far over the bound, on a public route and on routes behind a session.
    for (const QByteArray &path :
         {"/pay/" + QByteArray(30000, 'A'), "/api/files/" + QByteArray(30000, '1') + "/download",
          "/api/plans?q=" + QByteArray(9000, 'q')}) {
        RawHttp raw(server->baseUrl());
        QVERIFY(raw.open());
        QVERIFY(raw.send(raw.head("GET", path)));
        const RawHttp::Reply reply = raw.read(10000);
        QCOMPARE(reply.status, 414);
        QVERIFY(reply.body.contains("\"success\":false"));
    }
    // Just under it, a long id is routed like a short one.
    QCOMPARE(server->get("/pay/" + QString(8000, QLatin1Char('B'))).status, 404);
    QCOMPARE(server->del("/api/notifications/" + QString(8000, QLatin1Char('7'))).status, 401);
    QVERIFY(server->isRunning());
    QVERIFY(server->get("/api/plans").success());
}

void TestServerHardening::requestsFramedTwiceAreRefusedAndClosed()
{
    const auto server = startServer();
    QVERIFY(server->isRunning());
    // Each body reads whole under either of its framings; what follows it is a second request
    // to a server that takes the other one.
    const QList<std::pair<QByteArray, QList<std::pair<QByteArray, QByteArray>>>> framings = {
        {"0\r\n\r\n", {{"Content-Length", "5"}, {"Transfer-Encoding", "chunked"}}},
        {"{}", {{"Content-Length", "2"}, {"Content-Length", "0"}}},
    };
    for (auto [body, headers] : framings) {
        headers.append(std::pair<QByteArray, QByteArray>("Content-Type", "application/json"));
        RawHttp raw(server->baseUrl());
        QVERIFY(raw.open());
        QVERIFY(raw.send(raw.head("POST", "/api/logout", headers) + body + raw.head("GET", "/api/plans")));
        QCOMPARE(raw.read(10000).status, 400);
        QVERIFY2(raw.waitClosed(10000), "the connection stayed open");
    }
    QVERIFY(server->get("/api/plans").success());
}

void TestServerHardening::filePartsAreClosedAsTheyEndAndCappedPerRequest()
{
    // Fewer descriptors than the request has files: it goes through only when each file is
    // closed as soon as its part ends.
    const auto server = startServer({}, 192);
    QVERIFY(server->isRunning());
    const Creds user = server->signIn("manyparts", "13900000401");
    QVERIFY(user.isValid());
    QList<Part> parts;
    for (int i = 0; i < 300; ++i)
        parts.append(
            Part{"files", "p" + QByteArray::number(i) + ".txt", "text/plain", "part " + QByteArray::number(i)});
    const ReferenceServer::Reply stored = server->multipart("/api/files/upload", parts, user);
    QVERIFY2(stored.success(), qPrintable(QString::number(stored.status) + ' ' + stored.message()));
    QCOMPARE(stored.dataArray().size(), 300);

    // One part more than a request may hold is refused; counted without storing anything.
    QByteArray body;
    for (int i = 0; i < BodyReader::MaxFileParts; ++i)
        body += formPart("b", "files", "x" + QByteArray::number(i), "x");
    QVERIFY(readsWhole(body + "--b--\r\n"));
    body += formPart("b", "files", "one-more", "x");
    QVERIFY(!readsWhole(body + "--b--\r\n"));
}

void TestServerHardening::unreadFormFieldsAreCapped()
{
    const auto server = startServer();
    QVERIFY(server->isRunning());
    const Creds user = server->signIn("manyfields", "13900000402");
    QVERIFY(user.isValid());
    QList<Part> parts{{"parent_id", {}, {}, "0"}};
    for (int i = 1; i < BodyReader::MaxFields; ++i)
        parts.append(Part{"field" + QByteArray::number(i), {}, {}, QByteArray(1000, 'f')});
    parts.append(Part{"files", "a.txt", "text/plain", "content"});
    QVERIFY(server->multipart("/api/files/upload", parts, user).success());
    // One field more, or fields longer than the form may hold in all.
    parts.insert(1, Part{"one-more", {}, {}, "x"});
    const ReferenceServer::Reply tooMany = server->multipart("/api/files/upload", parts, user);
    QCOMPARE(tooMany.status, 400);
    QVERIFY(tooMany.message().contains(QStringLiteral("过多")));
    QList<Part> long_{{"parent_id", {}, {}, "0"}};
    for (int i = 0; i < 5; ++i)
        long_.append(Part{"long" + QByteArray::number(i), {}, {}, QByteArray(16 * 1024, 'l')});
    long_.append(Part{"files", "b.txt", "text/plain", "content"});
    QCOMPARE(server->multipart("/api/files/upload", long_, user).status, 400);
    QVERIFY(server->get("/api/plans").success());
}

void TestServerHardening::slowReadersAreClosedAndPublicAnswersCappedPerAddress()
{
    QTemporaryDir area;
    QVERIFY(QDir(area.path()).mkpath("beta"));
    QFile setup(area.filePath("beta/Setup-9.exe"));
    QVERIFY(setup.open(QIODevice::WriteOnly));
    const qint64 size = 48LL * 1024 * 1024; // more than any socket buffers on the way hold
    QVERIFY(setup.resize(size));
    setup.close();
    const auto server =
        startServer({"--downloads", area.path(), "--send-window", "2", "--max-public-per-address", "3"});
    QVERIFY(server->isRunning());
    const QByteArray path = "/downloads/beta/Setup-9.exe";

    std::vector<std::unique_ptr<StalledReader>> stalled;
    for (int i = 0; i < 3; ++i) {
        stalled.push_back(std::make_unique<StalledReader>(server->baseUrl(), QStringLiteral("127.0.0.3"), path));
        QCOMPARE(stalled.back()->statusLine(10000), QByteArray("HTTP/1.1 200"));
    }
    // The address has all its public answers in flight; another address is served.
    const auto ask = [&](const QString &from) {
        RawHttp raw(server->baseUrl(), from);
        if (!raw.open() || !raw.send(raw.head("GET", path, {{"Range", "bytes=0-9"}})))
            return 0;
        return raw.read(10000).status;
    };
    QCOMPARE(ask("127.0.0.3"), 503);
    QCOMPARE(ask("127.0.0.4"), 206);
    // Readers that take nothing are closed within a few windows, and their places come free.
    QVERIFY2(waitUntil([&] { return ask("127.0.0.3") == 206; }, 20000), "the stalled readers were not closed");
    for (auto &reader : stalled)
        QVERIFY(reader->drain(10000) < size);
}

void TestServerHardening::oneAccountHoldsAtMostEightUploads()
{
    const auto server = startServer();
    QVERIFY(server->isRunning());
    const Creds hog = server->signIn("uploadhog", "13900000403");
    const Creds other = server->signIn("uploadother", "13900000404");
    QVERIFY(hog.isValid() && other.isValid());
    // Nine uploads of one account whose bodies are announced (too long to be drained after an
    // early answer) and begun but not sent on.
    std::vector<std::unique_ptr<RawHttp>> held;
    for (int i = 0; i < 9; ++i) {
        auto raw = std::make_unique<RawHttp>(server->baseUrl());
        QVERIFY(raw->open());
        QVERIFY(raw->send(uploadHead(*raw, hog, 64 << 20) + "--b\r\n"));
        held.push_back(std::move(raw));
    }
    // Exactly one of them is turned away at once, the others wait for their bodies.
    // (The last one most likely: it is read first.)
    int refused = 0;
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        auto &raw = *it;
        const RawHttp::Reply reply = raw->read(refused ? 200 : 2000);
        if (reply.status == 429)
            ++refused;
        else
            QCOMPARE(reply.status, 0);
    }
    QCOMPARE(refused, 1);
    // Another account uploads meanwhile.
    const ReferenceServer::Reply stored =
        server->multipart("/api/files/upload", {{"files", "mine.txt", "text/plain", "mine"}}, other);
    QVERIFY2(stored.success(), qPrintable(stored.message()));
}

void TestServerHardening::dribbledUploadsAreClosed()
{
    const auto server = startServer({"--receive-window", "2"});
    QVERIFY(server->isRunning());
    const Creds user = server->signIn("dribbler", "13900000405");
    QVERIFY(user.isValid());
    RawHttp raw(server->baseUrl());
    QVERIFY(raw.open());
    QVERIFY(raw.send(uploadHead(raw, user, 1 << 20) +
                     "--b\r\nContent-Disposition: form-data; name=\"files\"; filename=\"d.bin\"\r\n\r\n"));
    // A byte every half second is far below the floor rate: no progress.
    QTimer drip;
    QObject::connect(&drip, &QTimer::timeout, [&raw] {
        if (raw.isOpen())
            raw.send("d", 100);
    });
    drip.start(500);
    QVERIFY2(waitUntil([&] { return !raw.isOpen() || raw.waitClosed(1); }, 15000), "the dribbled upload stayed open");
    drip.stop();
    // Nothing of it was stored, and its place is free for the same account.
    QCOMPARE(server->get("/api/files", user).dataArray().size(), 0);
    QVERIFY(server->multipart("/api/files/upload", {{"files", "e.txt", "text/plain", "e"}}, user).success());
}

QTEST_GUILESS_MAIN(TestServerHardening)
#include "tst_server_hardening.moc"
