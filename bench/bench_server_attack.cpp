// The reference server under load from hostile clients, on loopback only, bounded in time:
//   1. peak resident memory of the server while 20 clients send 1 GiB chunked bodies at once to a
//      public route (and to a streamed route without a session);
//   2. the latency of a file listing while 500 connections from another address send their
//      request head a line every 5 s, and how soon the server closes those connections;
//   3. the quota overshoot of 10 parallel writes of each kind that consumes storage (target 0);
//   4. one request with a 30,000-character target, to a public route and a session route;
//   5. the descriptors one multipart upload of 2,000 small file parts holds while its body is open;
//   6. the server's memory while one upload sends 64 MiB of distinct form fields (1 MiB quota);
//   7. descriptors and memory held by 600 clients from 2 addresses that ask for the public
//      installer and never read it, and how soon they are closed;
//   8. the answer to another account's upload while 64 uploads of one account dribble a byte
//      every 2 s, and how soon the dribblers are closed;
//   9. requests framed twice (Content-Length with Transfer-Encoding, two lengths): the answer and
//      whether the connection stays open for what follows;
//   10-15. hostile archives and uploads against the file tree (see fileattacks.h).
// Usage: bench_server_attack [--server PATH] [--part 1..15] [--plain] [--instances N]
//   --server  another build of tolvar-server; --plain starts it without the options of this one
//   (--head-timeout, --quota), so that an earlier build runs parts 1 and 2.
//   --instances N runs part 3 against N servers on one data folder (with
//   TVR_TEST_DATABASE=postgresql on one PostgreSQL database of a temporary cluster).
//   TVR_ATTACK_MB sets the body size of part 1 (default 1024): a server that holds bodies in
//   memory needs 20 times that much.
#include "archivekit.h"
#include "fileattacks.h"
#include "rawhttp.h"
#include "referenceserver.h"
#include "stalledreader.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Creds = ReferenceServer::Credentials;

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

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

// 1. Twenty clients each send a 1 GiB chunked body at once.
void memoryUnderChunkedBodies(ReferenceServer &server)
{
    const qint64 total = qEnvironmentVariableIntValue("TVR_ATTACK_MB") > 0
                             ? qint64(qEnvironmentVariableIntValue("TVR_ATTACK_MB")) * 1024 * 1024
                             : 1024LL * 1024 * 1024;
    constexpr int Clients = 20;
    const QString base = server.baseUrl();
    std::atomic<qint64> sentTotal{0};
    std::atomic<int> running{Clients};
    std::vector<std::thread> clients;
    const qint64 peakBefore = server.peakMemoryKiB();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Clients; ++i) {
        clients.emplace_back([&, i] {
            RawHttp raw(base);
            if (raw.open()) {
                // Half to a public JSON route, half to the streamed chunk route without a session.
                const QByteArray path = i % 2 ? "/api/send-sms" : "/api/upload/chunk/x/0";
                raw.send(raw.head(i % 2 ? "POST" : "PUT", path,
                                  {{"Content-Type", "application/json"}, {"Transfer-Encoding", "chunked"}}));
                sentTotal += raw.sendChunked(total, 256 * 1024, 120000);
            }
            --running;
        });
    }
    qint64 peakRss = 0;
    while (running > 0) {
        peakRss = std::max(peakRss, server.residentMemoryKiB());
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the memory probe's interval
    }
    for (auto &client : clients)
        client.join();
    std::printf("1. %d parallel chunked bodies of %lld MiB to public routes: %.1f MiB of them sent in %.1f s\n",
                Clients, total >> 20, double(sentTotal) / (1 << 20), timer.elapsed() / 1000.0);
    std::printf("   server resident memory: peak sampled %.1f MiB, VmHWM %.1f MiB (before: %.1f MiB)\n",
                peakRss / 1024.0, server.peakMemoryKiB() / 1024.0, peakBefore / 1024.0);
}

// 2. Five hundred connections from 127.0.0.2 drip their request head; listings from 127.0.0.1.
void listingWithSlowConnections(ReferenceServer &server, int headTimeoutSecs)
{
    constexpr int Slow = 500;
    const Creds user = server.signIn("listing", "13900009101");
    std::vector<std::unique_ptr<RawHttp>> slow;
    int opened = 0;
    for (int i = 0; i < Slow; ++i) {
        auto raw = std::make_unique<RawHttp>(server.baseUrl(), QStringLiteral("127.0.0.2"));
        if (raw->open(2000) && raw->send("GET /api/plans HTTP/1.1\r\nHost: 127.0.0.1\r\n", 100))
            ++opened;
        slow.push_back(std::move(raw));
    }
    QElapsedTimer sinceOpen;
    sinceOpen.start();
    QTimer drip;
    QObject::connect(&drip, &QTimer::timeout, [&slow] {
        for (auto &raw : slow) {
            if (raw->isOpen())
                raw->send("X-Slow: 1\r\n", 50);
        }
    });
    drip.start(5000);

    QNetworkAccessManager network;
    std::vector<qint64> latencies;
    for (int i = 0; i < 5; ++i) {
        QNetworkRequest request(QUrl(server.baseUrl() + "/api/files"));
        request.setRawHeader("X-User-Id", user.userId.toUtf8());
        request.setRawHeader("X-Auth-Token", user.token.toUtf8());
        QElapsedTimer timer;
        timer.start();
        QNetworkReply *reply = network.get(request);
        const bool answered = waitFor([reply] { return reply->isFinished(); }, 10000);
        latencies.push_back(answered && reply->error() == QNetworkReply::NoError ? timer.elapsed() : -1);
        reply->deleteLater();
    }
    const auto open = [&slow] {
        return std::count_if(slow.begin(), slow.end(), [](const auto &raw) {
            raw->waitClosed(0);
            return raw->isOpen();
        });
    };
    const qint64 stillOpenAtListing = open();
    waitFor([&] { return open() == 0; }, (headTimeoutSecs + 10) * 1000);
    const qint64 closedAfter = sinceOpen.elapsed();
    std::printf("2. %d slow connections from 127.0.0.2 opened, %lld held open by the server\n", opened,
                static_cast<long long>(stillOpenAtListing));
    std::printf("   listing latency from 127.0.0.1 (ms):");
    for (qint64 ms : latencies)
        std::printf(" %lld", static_cast<long long>(ms));
    std::printf("  (target < 1000; -1: no answer in 10 s)\n");
    std::printf("   slow connections still open after %.1f s: %lld (head timeout %d s)\n", closedAfter / 1000.0,
                static_cast<long long>(open()), headTimeoutSecs);
}

// 3. Ten parallel writes of each kind on accounts of 1 MiB, spread round robin over the
// instances at `bases` (the server's own address, or a cluster's instances).
void quotaOvershoot(ReferenceServer &server, qint64 quota, const QStringList &bases)
{
    constexpr int Piece = 300 * 1024;
    constexpr int Writers = 10;
    QNetworkAccessManager network;
    const auto used = [&](const Creds &as) {
        return qint64(server.get("/api/profile", as).dataObject().value("storage_used").toDouble());
    };
    const QByteArray boundary = "attack-boundary";
    const auto form = [&](const QByteArray &field, const QByteArray &content) {
        return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field +
               "\"; filename=\"p.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" +
               boundary + "--\r\n";
    };
    struct Call
    {
        QString path;
        QByteArray body;
        QByteArray type;
        QByteArray vaultToken;
    };
    const auto fire = [&](const QList<Call> &calls, const Creds &as) {
        std::vector<QNetworkReply *> replies;
        for (const Call &call : calls) {
            QNetworkRequest request(QUrl(bases.at(qsizetype(replies.size()) % bases.size()) + call.path));
            request.setRawHeader("X-User-Id", as.userId.toUtf8());
            request.setRawHeader("X-Auth-Token", as.token.toUtf8());
            request.setHeader(QNetworkRequest::ContentTypeHeader, call.type);
            if (!call.vaultToken.isEmpty())
                request.setRawHeader("X-Vault-Token", call.vaultToken);
            replies.push_back(network.post(request, call.body));
        }
        waitFor([&] { return std::all_of(replies.begin(), replies.end(), [](auto *r) { return r->isFinished(); }); },
                60000);
        int accepted = 0;
        for (QNetworkReply *reply : replies) {
            accepted += reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
            reply->deleteLater();
        }
        return accepted;
    };
    std::printf("3. quota overshoot of %d parallel writes of %d KiB each, quota %lld KiB, %lld instance(s):\n", Writers,
                Piece / 1024, quota / 1024, static_cast<long long>(bases.size()));
    int account = 0;
    for (const char *kind : {"extract", "vault", "multipart", "merge", "instant", "team"}) {
        const Creds user = server.signIn(QStringLiteral("attack-%1").arg(QLatin1String(kind)),
                                         QStringLiteral("1390000%1").arg(9200 + ++account));
        Creds writer = user;
        QList<Call> calls;
        const QByteArray formType = "multipart/form-data; boundary=" + boundary;
        const QString k = QLatin1String(kind);
        if (k == "extract") {
            const auto stored = server.multipart(
                "/api/files/upload", {{"files", "a.zip", "application/zip", zipOf("p.bin", randomBytes(Piece), false)}},
                user);
            const QString id = QString::number(qint64(stored.dataArray().first().toObject().value("id").toDouble()));
            for (int i = 0; i < Writers; ++i)
                calls.append({"/api/files/extract",
                              QJsonDocument(QJsonObject{{"fileId", id}}).toJson(),
                              "application/json",
                              {}});
        } else if (k == "vault") {
            server.postJson("/api/vault/setup", {{"password", "attack-vault"}}, user);
            const QByteArray token = server.postJson("/api/vault/unlock", {{"password", "attack-vault"}}, user)
                                         .dataObject()
                                         .value("token")
                                         .toString()
                                         .toUtf8();
            for (int i = 0; i < Writers; ++i)
                calls.append({"/api/vault/upload", form("file", randomBytes(Piece)), formType, token});
        } else if (k == "multipart") {
            for (int i = 0; i < Writers; ++i)
                calls.append({"/api/files/upload", form("files", randomBytes(Piece)), formType, {}});
        } else if (k == "merge") {
            for (int i = 0; i < Writers; ++i) {
                const QByteArray content = randomBytes(Piece);
                const QString id =
                    server
                        .postJson("/api/upload/init",
                                  {{"name", QStringLiteral("m%1.bin").arg(i)}, {"size", Piece}, {"md5", md5(content)}},
                                  user)
                        .dataObject()
                        .value("uploadId")
                        .toString();
                server.request("PUT", QStringLiteral("/api/upload/chunk/%1/0").arg(id), user, content,
                               "application/octet-stream");
                calls.append({"/api/upload/merge",
                              QJsonDocument(QJsonObject{{"uploadId", id}}).toJson(),
                              "application/json",
                              {}});
            }
        } else if (k == "instant") {
            const QByteArray content = randomBytes(Piece);
            server.multipart("/api/files/upload", {{"files", "first.bin", "application/octet-stream", content}}, user);
            for (int i = 0; i < Writers; ++i)
                calls.append({"/api/upload/init",
                              QJsonDocument(QJsonObject{{"name", QStringLiteral("c%1.bin").arg(i)},
                                                        {"size", Piece},
                                                        {"md5", md5(content)}})
                                  .toJson(),
                              "application/json",
                              {}});
        } else {
            const qint64 team =
                qint64(server.postJson("/api/teams", {{"name", "attack"}}, user).dataObject().value("id").toDouble());
            writer = server.signIn("attack-member", "13900009299");
            server.postJson(QStringLiteral("/api/teams/%1/members").arg(team), {{"keyword", "attack-member"}}, user);
            for (int i = 0; i < Writers; ++i)
                calls.append({QStringLiteral("/api/teams/%1/files/upload").arg(team),
                              form("files", randomBytes(Piece)),
                              formType,
                              {}});
        }
        const qint64 before = used(user);
        const int accepted = fire(calls, writer);
        const qint64 after = used(user);
        std::printf("   %-9s stored %7lld B (before %7lld B), %2d of %d accepted, overshoot %lld B\n", kind,
                    static_cast<long long>(after), static_cast<long long>(before), accepted, Writers,
                    static_cast<long long>(std::max<qint64>(0, after - quota)));
    }
}

// Descriptors the server process has open; -1 when unknown.
int openDescriptors(const ReferenceServer &server)
{
    const qint64 pid = server.processId();
    return pid > 0 ? int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                             .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                             .size())
                   : -1;
}

std::unique_ptr<ReferenceServer> startServer(const QStringList &args)
{
    ReferenceServer::Options options;
    options.extraArgs = args;
    auto server = std::make_unique<ReferenceServer>(options);
    if (!server->start()) {
        std::fprintf(stderr, "cannot start the server: %s\n", qPrintable(server->errorString()));
        return nullptr;
    }
    return server;
}

QByteArray uploadHead(RawHttp &raw, const Creds &as, const QByteArray &length = {})
{
    QList<std::pair<QByteArray, QByteArray>> headers{{"X-User-Id", as.userId.toUtf8()},
                                                     {"X-Auth-Token", as.token.toUtf8()},
                                                     {"Content-Type", "multipart/form-data; boundary=b"}};
    headers.append(length.isEmpty() ? std::pair<QByteArray, QByteArray>{"Transfer-Encoding", "chunked"}
                                    : std::pair<QByteArray, QByteArray>{"Content-Length", length});
    return raw.head("POST", "/api/files/upload", headers);
}

// 4. A 30,000-character target, to a public route and to a session route.
void longTargets()
{
    const QList<std::pair<QByteArray, QByteArray>> targets = {{"GET", "/pay/"}, {"DELETE", "/api/notifications/"}};
    for (const auto &[method, prefix] : targets) {
        auto server = startServer({});
        if (!server)
            return;
        RawHttp raw(server->baseUrl());
        QElapsedTimer timer;
        timer.start();
        const bool sent = raw.open() && raw.send(raw.head(method, prefix + QByteArray(30000, '7')));
        const int status = sent ? raw.read(10000).status : 0;
        const qint64 ms = timer.elapsed();
        waitFor([&] { return !server->isRunning(); }, 500);
        std::printf("4. %s %s + 30000 characters: answer %d in %lld ms, server %s\n", method.constData(),
                    prefix.constData(), status, static_cast<long long>(ms),
                    server->isRunning() ? "still running" : "GONE");
    }
}

// 5. One upload of 2,000 file parts whose body stays open at the end.
void descriptorsOfManyParts()
{
    constexpr int Parts = 2000;
    auto server = startServer({});
    if (!server)
        return;
    const Creds user = server->signIn("parts", "13900009501");
    const int before = openDescriptors(*server);
    RawHttp raw(server->baseUrl());
    raw.open();
    raw.send(uploadHead(raw, user));
    int peak = before;
    int sent = 0;
    for (; sent < Parts; ++sent) {
        const QByteArray part = "--b\r\nContent-Disposition: form-data; name=\"files\"; filename=\"p" +
                                QByteArray::number(sent) + "\"\r\n\r\npart\r\n";
        if (!raw.sendChunk(part))
            break;
        if (sent % 100 == 99)
            peak = std::max(peak, openDescriptors(*server));
    }
    waitFor([&] { return false; }, 1000); // let the server take what was sent
    peak = std::max(peak, openDescriptors(*server));
    const RawHttp::Reply reply = raw.read(2000);
    std::printf("5. one upload of %d file parts (%d sent), body left open: server descriptors %d before, peak %d "
                "(+%d); answer %d\n",
                Parts, sent, before, peak, peak - before, reply.status);
}

// 6. 64 MiB of distinct form fields on an account of 1 MiB.
void memoryOfManyFields()
{
    auto server = startServer({"--quota", QString::number(1024 * 1024)});
    if (!server)
        return;
    const Creds user = server->signIn("fields", "13900009601");
    const qint64 before = server->residentMemoryKiB();
    RawHttp raw(server->baseUrl());
    raw.open();
    raw.send(uploadHead(raw, user));
    qint64 sent = 0;
    qint64 peak = before;
    const QByteArray value(1024, 'v');
    for (int i = 0; i < 64 * 1024; ++i) {
        const QByteArray field =
            "--b\r\nContent-Disposition: form-data; name=\"f" + QByteArray::number(i) + "\"\r\n\r\n" + value + "\r\n";
        if (!raw.sendChunk(field))
            break;
        sent += field.size();
        if (i % 1024 == 1023)
            peak = std::max(peak, server->residentMemoryKiB());
    }
    raw.sendChunk("--b--\r\n");
    raw.endChunks();
    const RawHttp::Reply reply = raw.read(10000);
    peak = std::max(peak, server->residentMemoryKiB());
    std::printf("6. %.1f MiB of distinct form fields sent of 64 MiB: server resident %.1f MiB before, peak sampled "
                "%.1f MiB (+%.1f MiB); answer %d\n",
                double(sent) / (1 << 20), before / 1024.0, peak / 1024.0, (peak - before) / 1024.0, reply.status);
}

// 7. 300 stalled readers of the public installer from each of two addresses.
void stalledReaders(bool plain)
{
    constexpr int PerAddress = 300;
    QTemporaryDir area;
    QDir(area.path()).mkpath("stable");
    QFile setup(area.filePath("stable/Setup.exe"));
    if (!setup.open(QIODevice::WriteOnly) || !setup.resize(64LL * 1024 * 1024))
        return;
    setup.close();
    const int window = 5;
    QStringList args{"--downloads", area.path()};
    if (!plain)
        args << "--send-window" << QString::number(window);
    auto server = startServer(args);
    if (!server)
        return;
    const int fdBefore = openDescriptors(*server);
    const qint64 memBefore = server->residentMemoryKiB();
    std::vector<std::unique_ptr<StalledReader>> readers;
    int served = 0;
    int refused = 0;
    for (const char *address : {"127.0.0.5", "127.0.0.6"}) {
        for (int i = 0; i < PerAddress; ++i) {
            auto reader = std::make_unique<StalledReader>(server->baseUrl(), QLatin1String(address),
                                                          "/downloads/stable/Setup.exe");
            const QByteArray status = reader->statusLine(5000);
            served += status.endsWith("200");
            refused += !status.isEmpty() && !status.endsWith("200");
            readers.push_back(std::move(reader));
        }
    }
    const int fdHeld = openDescriptors(*server);
    const qint64 memHeld = server->residentMemoryKiB();
    QElapsedTimer timer;
    timer.start();
    const bool closed = waitFor([&] { return openDescriptors(*server) <= fdBefore + 2; }, (4 * window + 5) * 1000);
    std::printf("7. %d stalled readers of a 64 MiB public download from 2 addresses: %d served, %d refused\n",
                2 * PerAddress, served, refused);
    std::printf("   server descriptors %d before, %d while they wait (+%d); resident %.1f MiB (+%.1f MiB)\n", fdBefore,
                fdHeld, fdHeld - fdBefore, memHeld / 1024.0, (memHeld - memBefore) / 1024.0);
    std::printf("   %s after %.1f s (send window %d s)\n", closed ? "all closed" : "still held",
                timer.elapsed() / 1000.0, plain ? 60 : window);
}

// 8. 64 uploads of one account dribble; another account uploads.
void dribbledUploads(bool plain)
{
    constexpr int Dribblers = 64;
    const int window = 5;
    auto server = startServer(plain ? QStringList() : QStringList{"--receive-window", QString::number(window)});
    if (!server)
        return;
    const Creds hog = server->signIn("dribbler", "13900009801");
    const Creds other = server->signIn("victim", "13900009802");
    std::vector<std::unique_ptr<RawHttp>> dribblers;
    int turnedAway = 0;
    for (int i = 0; i < Dribblers; ++i) {
        auto raw = std::make_unique<RawHttp>(server->baseUrl());
        raw->open();
        raw->send(uploadHead(*raw, hog, QByteArray::number(64 << 20)) +
                  "--b\r\nContent-Disposition: form-data; name=\"files\"; filename=\"d\"\r\n\r\n");
        dribblers.push_back(std::move(raw));
    }
    QTimer drip;
    QObject::connect(&drip, &QTimer::timeout, [&] {
        for (auto &raw : dribblers) {
            if (raw->isOpen())
                raw->send("d", 50);
        }
    });
    drip.start(2000);
    for (auto &raw : dribblers)
        turnedAway += raw->read(20).status == 429;
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(server->baseUrl() + "/api/files/upload"));
    request.setRawHeader("X-User-Id", other.userId.toUtf8());
    request.setRawHeader("X-Auth-Token", other.token.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, "multipart/form-data; boundary=b");
    QElapsedTimer timer;
    timer.start();
    QNetworkReply *reply = network.post(
        request,
        QByteArray("--b\r\nContent-Disposition: form-data; name=\"files\"; filename=\"v.txt\"\r\n\r\nv\r\n--b--\r\n"));
    const bool answered = waitFor([reply] { return reply->isFinished(); }, 15000);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const qint64 latency = timer.elapsed();
    reply->deleteLater();
    const auto open = [&] {
        return std::count_if(dribblers.begin(), dribblers.end(), [](const auto &raw) {
            raw->waitClosed(0);
            return raw->isOpen();
        });
    };
    timer.restart();
    waitFor([&] { return open() == 0; }, (4 * window + 5) * 1000);
    std::printf("8. %d uploads of one account dribbling a byte every 2 s: %d turned away at once\n", Dribblers,
                turnedAway);
    std::printf("   another account's upload: %s %d after %lld ms\n", answered ? "answered" : "NO ANSWER", status,
                static_cast<long long>(latency));
    std::printf("   dribblers still open %.1f s later: %lld (receive window %d s)\n", timer.elapsed() / 1000.0,
                static_cast<long long>(open()), plain ? 30 : window);
}

// 9. Requests framed twice, each followed by a second request.
void doubleFraming()
{
    auto server = startServer({});
    if (!server)
        return;
    const QList<std::pair<const char *, QList<std::pair<QByteArray, QByteArray>>>> cases = {
        {"Content-Length + Transfer-Encoding", {{"Content-Length", "5"}, {"Transfer-Encoding", "chunked"}}},
        {"two different Content-Length", {{"Content-Length", "5"}, {"Content-Length", "0"}}},
    };
    for (const auto &[name, headers] : cases) {
        RawHttp raw(server->baseUrl());
        raw.open();
        raw.send(raw.head("POST", "/api/logout", headers) + "0\r\n\r\n" + raw.head("GET", "/api/plans"));
        const int first = raw.read(5000).status;
        const int second = raw.read(2000).status;
        std::printf("9. %-35s answer %d, then %s\n", name, first,
                    second ? qPrintable(QStringLiteral("a second answer %1 on the same connection").arg(second))
                           : (raw.waitClosed(2000) ? "closed" : "open, no second answer"));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype serverArg = args.indexOf(QStringLiteral("--server"));
    if (serverArg > 0 && serverArg + 1 < args.size())
        qputenv("TVR_SERVER_BINARY", args.at(serverArg + 1).toUtf8());
    const qsizetype partArg = args.indexOf(QStringLiteral("--part"));
    const int part = partArg > 0 && partArg + 1 < args.size() ? args.at(partArg + 1).toInt() : 0;
    const bool plain = args.contains(QStringLiteral("--plain"));
    const int headTimeoutSecs = plain ? 15 : 10;
    constexpr qint64 Quota = 1024 * 1024;
    // Part 7 holds hundreds of sockets in this process.
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0) {
        descriptors.rlim_cur = descriptors.rlim_max;
        setrlimit(RLIMIT_NOFILE, &descriptors);
    }

    if (part == 0 || part == 1 || part == 2) {
        ReferenceServer::Options options;
        if (!plain)
            options.extraArgs = {"--head-timeout", QString::number(headTimeoutSecs)};
        ReferenceServer server(options);
        if (!server.start()) {
            std::fprintf(stderr, "cannot start the server: %s\n", qPrintable(server.errorString()));
            return 1;
        }
        if (part != 2)
            memoryUnderChunkedBodies(server);
        if (part != 1)
            listingWithSlowConnections(server, headTimeoutSecs);
    }
    if (part == 0 || part == 3) {
        ReferenceServer::Options options;
        options.extraArgs = {"--quota", QString::number(Quota)};
        ReferenceServer server(options);
        if (!server.start()) {
            std::fprintf(stderr, "cannot start the server: %s\n", qPrintable(server.errorString()));
            return 1;
        }
        // --instances N: N servers on one data folder (and, with TVR_TEST_DATABASE=postgresql,
        // one PostgreSQL database), the writes spread over them.
        const qsizetype instancesArg = args.indexOf(QStringLiteral("--instances"));
        const int instances =
            instancesArg > 0 && instancesArg + 1 < args.size() ? args.at(instancesArg + 1).toInt() : 1;
        std::vector<std::unique_ptr<ReferenceServer>> others;
        QStringList bases{server.baseUrl()};
        options.dataDir = server.dataDir();
        for (int i = 1; i < instances; ++i) {
            others.push_back(std::make_unique<ReferenceServer>(options));
            if (!others.back()->start()) {
                std::fprintf(stderr, "cannot start instance %d: %s\n", i + 1, qPrintable(others.back()->errorString()));
                return 1;
            }
            bases.append(others.back()->baseUrl());
        }
        quotaOvershoot(server, Quota, bases);
    }
    if (part == 0 || (part >= 10 && part <= 15))
        return fileattacks::run(part, Quota);
    if (part == 0 || part == 4)
        longTargets();
    if (part == 0 || part == 5)
        descriptorsOfManyParts();
    if (part == 0 || part == 6)
        memoryOfManyFields();
    if (part == 0 || part == 7)
        stalledReaders(plain);
    if (part == 0 || part == 8)
        dribbledUploads(plain);
    if (part == 0 || part == 9)
        doubleFraming();
    return 0;
}
