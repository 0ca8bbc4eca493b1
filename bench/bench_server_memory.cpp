// Uploads (resumable chunks) and downloads a 1 GiB file through the reference server and prints
// the server's peak resident memory, which must stay far below the file size (target < 100 MiB).
// Usage: bench_server_memory [size in MiB, default 1024]
#include "referenceserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

// VmHWM (peak) and VmRSS (current) of a process, in KiB.
std::pair<qint64, qint64> memoryOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {-1, -1};
    qint64 peak = -1;
    qint64 now = -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() >= 2 && parts.at(0) == "VmHWM:")
            peak = parts.at(1).toLongLong();
        if (parts.size() >= 2 && parts.at(0) == "VmRSS:")
            now = parts.at(1).toLongLong();
    }
    return {peak, now};
}

QNetworkRequest requestFor(const ReferenceServer &server, const QString &path, const ReferenceServer::Credentials &as)
{
    QNetworkRequest request(QUrl(server.baseUrl() + path));
    request.setRawHeader("X-User-Id", as.userId.toUtf8());
    request.setRawHeader("X-Auth-Token", as.token.toUtf8());
    return request;
}

bool wait(QNetworkReply *reply)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    return reply->error() == QNetworkReply::NoError;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 sizeMiB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const qint64 size = sizeMiB * 1024 * 1024;

    ReferenceServer server;
    if (!server.start()) {
        std::fprintf(stderr, "cannot start the server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const auto user = server.signIn(QStringLiteral("bench"), QStringLiteral("13900009999"));
    const qint64 pid = server.processId();
    std::printf("server pid %lld, idle: peak %lld KiB\n", pid, memoryOf(pid).first);

    // The source file, with content that does not repeat per chunk (no deduplication shortcuts).
    QTemporaryDir dir;
    QFile source(dir.filePath(QStringLiteral("source.bin")));
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!source.open(QIODevice::ReadWrite))
        return 1;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    quint64 state = 0x9e3779b97f4a7c15ull;
    for (qint64 written = 0; written < size; written += block.size()) {
        auto *words = reinterpret_cast<quint64 *>(block.data());
        for (qsizetype i = 0; i < block.size() / 8; ++i) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            words[i] = state;
        }
        md5.addData(block);
        source.write(block);
    }
    source.flush();
    const QString md5Hex = QString::fromLatin1(md5.result().toHex());

    // Upload: init, then every chunk (three at a time, as the client does), then merge.
    auto init = server.postJson(
        QStringLiteral("/api/upload/init"),
        {{"name", "big.bin"}, {"size", double(size)}, {"md5", md5Hex}, {"parent_id", QJsonValue()}}, user);
    const QString uploadId = init.dataObject().value("uploadId").toString();
    const qint64 chunk = qint64(init.dataObject().value("chunkSize").toDouble());
    const int chunks = int((size + chunk - 1) / chunk);
    QNetworkAccessManager network;
    QElapsedTimer timer;
    timer.start();
    qint64 peakDuringUpload = 0;
    int next = 0;
    int running = 0;
    bool failed = false;
    QEventLoop uploads;
    std::function<void()> sendNext = [&] {
        while (running < 3 && next < chunks && !failed) {
            const int index = next++;
            source.seek(index * chunk);
            const QByteArray bytes = source.read(chunk);
            QNetworkRequest request =
                requestFor(server, QStringLiteral("/api/upload/chunk/%1/%2").arg(uploadId).arg(index), user);
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
            QNetworkReply *reply = network.put(request, bytes);
            ++running;
            QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
                failed = failed || reply->error() != QNetworkReply::NoError;
                reply->deleteLater();
                --running;
                peakDuringUpload = qMax(peakDuringUpload, memoryOf(pid).second);
                if (next >= chunks && running == 0)
                    uploads.quit();
                else
                    sendNext();
            });
        }
    };
    sendNext();
    uploads.exec();
    const auto merged = server.postJson(QStringLiteral("/api/upload/merge"), {{"uploadId", uploadId}}, user);
    const double uploadSecs = timer.elapsed() / 1000.0;
    if (failed || !merged.success()) {
        std::fprintf(stderr, "upload failed: %s\n", qPrintable(merged.message()));
        return 1;
    }
    const qint64 fileId = qint64(merged.dataObject().value("id").toDouble());
    std::printf("upload of %lld MiB in %d chunks: %.1f s (%.0f MiB/s); server RSS peak while uploading %lld KiB\n",
                sizeMiB, chunks, uploadSecs, sizeMiB / uploadSecs, peakDuringUpload);

    // Download, streamed: the body is hashed and dropped as it arrives.
    timer.restart();
    QCryptographicHash check(QCryptographicHash::Md5);
    qint64 received = 0;
    qint64 peakDuringDownload = 0;
    QNetworkReply *download =
        network.get(requestFor(server, QStringLiteral("/api/files/%1/download").arg(fileId), user));
    download->setReadBufferSize(4 * 1024 * 1024);
    QObject::connect(download, &QNetworkReply::readyRead, [&] {
        const QByteArray data = download->readAll();
        received += data.size();
        check.addData(data);
    });
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout,
                     [&] { peakDuringDownload = qMax(peakDuringDownload, memoryOf(pid).second); });
    sampler.start(100);
    const bool downloaded = wait(download);
    received += download->readAll().size();
    const double downloadSecs = timer.elapsed() / 1000.0;
    const bool same = QString::fromLatin1(check.result().toHex()) == md5Hex;
    std::printf("download: %s, %lld bytes, MD5 %s, %.1f s (%.0f MiB/s); server RSS peak while downloading %lld KiB\n",
                downloaded ? "ok" : "FAILED", received, same ? "matches" : "DIFFERS", downloadSecs,
                sizeMiB / downloadSecs, peakDuringDownload);

    const auto [peak, now] = memoryOf(pid);
    std::printf("server peak resident memory (VmHWM): %.1f MiB (target < 100 MiB) %s\n", peak / 1024.0,
                peak < 100 * 1024 ? "OK" : "OVER TARGET");
    return downloaded && same ? 0 : 1;
}
