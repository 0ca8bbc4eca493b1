// The change feed of folder sync on the reference server: a space of N entries read from cursor
// 0 in pages of 1000, one page of 1000 entries, a page scoped to a folder (one in a hundred of
// the rows lie below it), and how long a waiting poll takes to answer after a change.
// Usage: bench_server_sync [entries, default 10000]
#include "referenceserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int entries = argc > 1 ? qBound(200, QByteArray(argv[1]).toInt(), 100000) : 10000;

    ReferenceServer server;
    if (!server.start()) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const auto user = server.signIn("syncbench", "13900000901");
    // Folders: 100 at the top of "tree", the rest spread below them (a file costs the same in
    // the feed, and far more to create).
    QElapsedTimer timer;
    timer.start();
    auto makeFolder = [&](const QString &name, qint64 parent) {
        QJsonObject body{{"name", name}};
        if (parent > 0)
            body.insert("parent_id", parent);
        return qint64(server.postJson("/api/folders", body, user).dataObject().value("id").toDouble());
    };
    const qint64 tree = makeFolder("tree", 0);
    std::vector<qint64> tops;
    for (int i = 0; i < 100; ++i)
        tops.push_back(makeFolder(QStringLiteral("d%1").arg(i), tree));
    for (int i = 101; i < entries; ++i)
        makeFolder(QStringLiteral("f%1").arg(i), tops[size_t(i % 100)]);
    std::printf("%d folders made: %lld ms\n", entries, timer.elapsed());

    // The whole picture from 0.
    timer.restart();
    QString cursor = "0";
    int seen = 0;
    int pages = 0;
    qint64 slowest = 0;
    for (bool more = true; more && pages < 1000; ++pages) {
        QElapsedTimer page;
        page.start();
        const auto reply = server.get("/api/sync/changes?limit=1000&cursor=" + cursor, user);
        slowest = std::max(slowest, page.elapsed());
        const QJsonObject data = reply.dataObject();
        seen += int(data.value("changes").toArray().size());
        cursor = data.value("cursor").toString();
        more = data.value("has_more").toBool();
    }
    std::printf("feed from 0: %d changes in %d pages of 1000: %lld ms (slowest page %lld ms)\n", seen, pages,
                timer.elapsed(), slowest);

    // One page of 1000 from the start, and one scoped to a folder (whose rows are spread out).
    const int rounds = 20;
    timer.restart();
    for (int i = 0; i < rounds; ++i)
        server.get("/api/sync/changes?limit=1000&cursor=0", user);
    std::printf("page of 1000 from 0: %.1f ms\n", double(timer.elapsed()) / rounds);
    const qint64 folder = tops.front();
    timer.restart();
    for (int i = 0; i < rounds; ++i)
        server.get(QStringLiteral("/api/sync/changes?limit=1000&cursor=0&folder_id=%1").arg(folder), user);
    std::printf("page of 1000 below a folder: %.1f ms\n", double(timer.elapsed()) / rounds);

    // A waiting poll, answered by a change made through another request.
    QNetworkAccessManager network;
    qint64 total = 0;
    const int polls = 10;
    for (int i = 0; i < polls; ++i) {
        QNetworkRequest request(QUrl(server.baseUrl() + "/api/sync/changes?wait=25&cursor=" + cursor));
        request.setRawHeader("X-User-Id", user.userId.toUtf8());
        request.setRawHeader("X-Auth-Token", user.token.toUtf8());
        QNetworkReply *reply = network.get(request);
        server.get("/api/profile", user); // the poll is in and waiting
        QElapsedTimer wake;
        wake.start();
        server.postJson("/api/folders", {{"name", QStringLiteral("wake%1").arg(i)}}, user);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        total += wake.elapsed();
        cursor = QJsonDocument::fromJson(reply->readAll()).object().value("data").toObject().value("cursor").toString();
        reply->deleteLater();
    }
    std::printf("long poll answered after a change: %.1f ms (change request included)\n", double(total) / polls);
    std::printf("server peak memory: %lld KiB\n", server.peakMemoryKiB());
    return 0;
}
