// The change feed of folder sync on the reference server: a space of N entries (extracted from
// one archive into 100 folders) read from cursor 0 in pages of 1000, one page of 1000 entries, a
// page scoped to a folder, and how long a waiting poll takes to answer after a change.
// Usage: bench_server_sync [entries, default 10000]
#include "archivekit.h"
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
    const int entries = argc > 1 ? qBound(100, QByteArray(argv[1]).toInt(), 19000) : 10000;

    ReferenceServer server;
    if (!server.start()) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const auto user = server.signIn("syncbench", "13900000901");
    std::vector<ArchiveEntry> files;
    files.reserve(size_t(entries));
    for (int i = 0; i < entries; ++i)
        files.push_back({QStringLiteral("tree/d%1/f%2.txt").arg(i % 100).arg(i).toUtf8(), QByteArray::number(i)});
    QList<ReferenceServer::Part> parts{{"files", "tree.zip", "application/zip", archiveOf(files)}};
    const auto uploaded = server.multipart("/api/files/upload", parts, user);
    const qint64 archive = qint64(uploaded.dataArray().first().toObject().value("id").toDouble());
    QElapsedTimer timer;
    timer.start();
    if (!server.postJson("/api/files/extract", {{"fileId", archive}}, user).success()) {
        std::fprintf(stderr, "extract failed\n");
        return 1;
    }
    std::printf("extract of %d entries: %lld ms\n", entries, timer.elapsed());

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
    qint64 folder = 0;
    for (const QJsonValue &v : server.get("/api/files?parent_id=0", user).dataArray()) {
        if (v.toObject().value("name").toString() == QLatin1String("tree"))
            folder = qint64(v.toObject().value("id").toDouble());
    }
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
