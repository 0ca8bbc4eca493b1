// Transfer speed against the reference server on loopback, side by side with the command-line
// tools: Uploader vs md5sum + curl -T, Downloader vs curl -o, FileHasher vs md5sum; plus the
// worst GUI event-loop stall (lateness of a 10 ms timer) and the peak resident memory of this
// process during each transfer.
//
// Size: TVR_BENCH_MB (default 1024). The file is random bytes in a temporary folder.
// Hashing and downloads run TVR_BENCH_ROUNDS times (default 2), alternating with their tool, and
// keep the best time (the machine may be shared); the upload runs once, as a second upload of the
// same bytes would be an instant upload (TVR_BENCH_CURL_FIRST=1 runs curl -T before it instead of
// after it). Every upload and download starts from the same state (see sameStart), and each round
// adds curl -o /dev/null, which shows the network's share.
#include "benchprobe.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "referenceserver.h"
#include "transfer/downloader.h"
#include "transfer/filehasher.h"
#include "transfer/uploader.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdio>

using namespace bench;

namespace {
// Cuts path into files dir/0, dir/1, ... of chunkSize bytes (the last one shorter).
bool cutChunks(const QString &path, qint64 chunkSize, const QString &dir)
{
    QFile source(path);
    if (chunkSize <= 0 || !QDir().mkpath(dir) || !source.open(QIODevice::ReadOnly))
        return false;
    for (int index = 0; !source.atEnd(); ++index) {
        QFile chunk(QDir(dir).filePath(QString::number(index)));
        const QByteArray bytes = source.read(chunkSize);
        if (!chunk.open(QIODevice::WriteOnly) || chunk.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

void printProbe(const char *what, const Probe &probe, qint64 bytes)
{
    std::printf("%-34s %8lld ms  %8.1f MiB/s  cpu %6lld ms  worst stall %4lld ms  peak RSS %6.1f MiB\n", what,
                static_cast<long long>(probe.wallMs), mibPerSecond(bytes, probe.wallMs),
                static_cast<long long>(probe.cpuMs), static_cast<long long>(probe.worstStallMs),
                double(probe.peakRssKb) / 1024.0);
}

void printTool(const char *what, qint64 ms, qint64 cpu, qint64 bytes)
{
    std::printf("%-34s %8lld ms  %8.1f MiB/s  cpu %6lld ms\n", what, static_cast<long long>(ms),
                mibPerSecond(bytes, ms), static_cast<long long>(cpu));
}

QStringList authHeaders(const ReferenceServer::Credentials &as)
{
    return {QStringLiteral("-H"), QStringLiteral("X-TVR-Client: 1"),
            QStringLiteral("-H"), QStringLiteral("X-User-Id: ") + as.userId,
            QStringLiteral("-H"), QStringLiteral("X-Auth-Token: ") + as.token};
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());

    const qint64 megabytes = envInt("TVR_BENCH_MB", 1024);
    const qint64 size = megabytes * 1024 * 1024;
    const int rounds = std::max(1, envInt("TVR_BENCH_ROUNDS", 2));
    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("bench-source.bin"));
    std::printf("preparing %lld MiB of random bytes in %s\n", static_cast<long long>(megabytes),
                qPrintable(work.path()));
    if (!writeRandomFile(source, size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(source));
        return 1;
    }
    runTool(QStringLiteral("cat"), {source}); // warm the page cache for every contender alike

    // Server A: the product's chunk size, for the Uploader and both downloads.
    ReferenceServer serverA;
    // Server B: one chunk as large as the file, so curl -T sends the same bytes in one request.
    ReferenceServer::Options bOptions;
    bOptions.chunkSize = size;
    ReferenceServer serverB(bOptions);
    // Server C: the product's chunk size again, for curl sending the same chunks as the Uploader.
    ReferenceServer serverC;
    if (!serverA.start() || !serverB.start() || !serverC.start()) {
        std::fprintf(stderr, "reference server: %s%s\n", qPrintable(serverA.errorString()),
                     qPrintable(serverB.errorString()));
        return 1;
    }
    const ReferenceServer::Credentials userA =
        serverA.signIn(QStringLiteral("benchclient"), QStringLiteral("13900000001"));
    const ReferenceServer::Credentials userB =
        serverB.signIn(QStringLiteral("benchcurl"), QStringLiteral("13900000002"));
    const ReferenceServer::Credentials userC =
        serverC.signIn(QStringLiteral("benchchunks"), QStringLiteral("13900000003"));
    if (!userA.isValid() || !userB.isValid() || !userC.isValid()) {
        std::fprintf(stderr, "sign-in failed\n");
        return 1;
    }
    qputenv("TVR_SERVER", serverA.baseUrl().toUtf8());
    Session::instance()->applyLogin(userA.login);

    std::printf("\n%-34s %11s  %13s\n", "", "wall", "throughput");

    // 1. Hashing alone, alternating with md5sum.
    QString ourMd5;
    QByteArray md5Output;
    Probe hashing;
    ToolRun md5sum;
    for (int round = 0; round < rounds; ++round) {
        settle();
        hashing =
            keepBest(hashing, measure([&](std::function<void()> finish) {
                         auto *hasher = new FileHasher(&app);
                         QObject::connect(hasher, &FileHasher::finished, &app, [&, hasher, finish](const QString &md5) {
                             ourMd5 = md5;
                             hasher->deleteLater();
                             finish();
                         });
                         hasher->start(source, size);
                     }));
        settle();
        md5sum = keepBest(md5sum, runTool(QStringLiteral("md5sum"), {source}, &md5Output));
    }
    const qint64 md5sumMs = md5sum.ms;
    const QString toolMd5 = QString::fromLatin1(md5Output.left(32));
    printProbe("FileHasher (MD5)", hashing, size);
    printTool("md5sum", md5sum.ms, md5sum.cpuMs, size);
    if (ourMd5 != toolMd5)
        std::printf("!! digests differ: %s vs %s\n", qPrintable(ourMd5), qPrintable(toolMd5));

    // 2. Upload: Uploader (hash, init, chunks, merge) vs md5sum + curl -T of the same bytes.
    // Each upload fills the page cache with the server's copy, so each starts as a download does
    // (see sameStart below): without it, whichever went second paid for memory that had lain free.
    const auto uploadStart = [&] {
        settle();
        warmPageCache(work.path(), size + size / 8);
    };
    // One curl -T of the whole file to server B and its merge; before or after the Uploader
    // (TVR_BENCH_CURL_FIRST=1), so that runs can alternate which of the two goes first.
    qint64 curlPutMs = 0;
    qint64 curlPutCpu = 0;
    qint64 curlMergeMs = 0;
    bool curlMerged = false;
    const auto runCurlPut = [&] {
        const ReferenceServer::Reply init = serverB.postJson(
            QStringLiteral("/api/upload/init"),
            QJsonObject{{"name", "curl.bin"}, {"size", size}, {"md5", toolMd5}, {"parent_id", QJsonValue::Null}},
            userB);
        const QString curlUploadId = jsonText(init.dataObject(), QStringLiteral("uploadId"));
        uploadStart();
        const ToolRun curlPut = runTool(
            QStringLiteral("curl"),
            QStringList{QStringLiteral("-sS"), QStringLiteral("-f"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                        QStringLiteral("-T"), source, QStringLiteral("-H"), QStringLiteral("Expect:"),
                        QStringLiteral("-H"), QStringLiteral("Content-Type: application/octet-stream")}
                << authHeaders(userB)
                << serverB.baseUrl() + QStringLiteral("/api/upload/chunk/") + curlUploadId + QStringLiteral("/0"));
        curlPutMs = curlPut.ms;
        curlPutCpu = curlPut.cpuMs;
        QElapsedTimer mergeTimer;
        mergeTimer.start();
        curlMerged =
            serverB.postJson(QStringLiteral("/api/upload/merge"), QJsonObject{{"uploadId", curlUploadId}}, userB)
                .success();
        curlMergeMs = mergeTimer.elapsed();
    };

    const bool curlFirst = envInt("TVR_BENCH_CURL_FIRST", 0) != 0;
    if (curlFirst)
        runCurlPut();
    QString fileId;
    QString uploadError;
    QElapsedTimer uploadClock;
    qint64 untilMergeMs = 0;
    qint64 hashedMs = 0;
    qint64 firstChunkMs = 0;
    uploadStart();
    const Probe upload = measure([&](std::function<void()> finish) {
        auto *uploader = new Uploader(&app);
        uploadClock.start();
        QObject::connect(uploader, &Uploader::sigProgress, &app, [&](int, const QString &phase) {
            if (phase == QStringLiteral("合并文件"))
                untilMergeMs = uploadClock.elapsed();
            else if (phase == QStringLiteral("检查秒传"))
                hashedMs = uploadClock.elapsed();
            else if (firstChunkMs == 0 && phase.startsWith(QStringLiteral("上传中")))
                firstChunkMs = uploadClock.elapsed();
        });
        QObject::connect(uploader, &Uploader::sigDone, &app, [&, finish](const QJsonObject &record) {
            fileId = jsonText(record, QStringLiteral("id"));
            finish();
        });
        QObject::connect(uploader, &Uploader::sigFailed, &app, [&, finish](const QString &err) {
            uploadError = err;
            finish();
        });
        uploader->start(source, QString());
    });
    if (!uploadError.isEmpty()) {
        std::fprintf(stderr, "upload failed: %s\n", qPrintable(uploadError));
        return 1;
    }
    if (!curlFirst)
        runCurlPut();

    // The same chunks as the Uploader, three at a time, by one curl (chunk files cut beforehand).
    const ReferenceServer::Reply chunkedInit = serverC.postJson(
        QStringLiteral("/api/upload/init"),
        QJsonObject{{"name", "chunks.bin"}, {"size", size}, {"md5", toolMd5}, {"parent_id", QJsonValue::Null}}, userC);
    const QString chunkedId = jsonText(chunkedInit.dataObject(), QStringLiteral("uploadId"));
    const qint64 chunkSize = chunkedInit.dataObject().value(QStringLiteral("chunkSize")).toInteger();
    QStringList chunkedArgs{QStringLiteral("-sS"),
                            QStringLiteral("--no-progress-meter"), // -Z draws its meter even with -s
                            QStringLiteral("-f"),
                            QStringLiteral("-Z"),
                            QStringLiteral("--parallel-max"),
                            QStringLiteral("3"),
                            QStringLiteral("-H"),
                            QStringLiteral("Expect:"),
                            QStringLiteral("-H"),
                            QStringLiteral("Content-Type: application/octet-stream")};
    chunkedArgs << authHeaders(userC);
    if (!cutChunks(source, chunkSize, work.filePath(QStringLiteral("chunks")))) {
        std::fprintf(stderr, "cannot cut the chunk files\n");
        return 1;
    }
    for (qint64 index = 0; index * chunkSize < size; ++index) {
        chunkedArgs << QStringLiteral("-o") << QStringLiteral("/dev/null") << QStringLiteral("-T")
                    << work.filePath(QStringLiteral("chunks/%1").arg(index))
                    << serverC.baseUrl() + QStringLiteral("/api/upload/chunk/%1/%2").arg(chunkedId).arg(index);
    }
    uploadStart();
    const ToolRun curlChunks = runTool(QStringLiteral("curl"), chunkedArgs);
    const bool chunksMerged =
        serverC.postJson(QStringLiteral("/api/upload/merge"), QJsonObject{{"uploadId", chunkedId}}, userC).success();

    printProbe("Uploader (hash+chunks+merge)", upload, size);
    std::printf("%-34s %8lld ms  %8.1f MiB/s\n", "  of which hash + chunks (to merge)",
                static_cast<long long>(untilMergeMs), mibPerSecond(size, untilMergeMs));
    std::printf("%-34s %8lld ms hashed, %lld ms first chunk answered\n", "  timeline", static_cast<long long>(hashedMs),
                static_cast<long long>(firstChunkMs));
    printTool("curl -T (one PUT)", curlPutMs, curlPutCpu, size);
    printTool("md5sum + curl -T", md5sumMs + curlPutMs, md5sum.cpuMs + curlPutCpu, size);
    std::printf("%-34s %8lld ms  (%s)\n", "server merge after curl -T", static_cast<long long>(curlMergeMs),
                curlMerged ? "ok" : "failed");
    printTool(chunksMerged ? "curl -Z, same chunks, 3 at a time" : "curl -Z, same chunks (merge FAILED)", curlChunks.ms,
              curlChunks.cpuMs, size);
    printTool("md5sum + curl -Z same chunks", md5sumMs + curlChunks.ms, md5sum.cpuMs + curlChunks.cpuMs, size);

    // 3. Download: Downloader vs curl -o of the same file.
    const QString downloads = work.filePath(QStringLiteral("downloads"));
    QDir().mkpath(downloads);
    QString downloadError;
    QString savedPath;
    const QString curlTarget = work.filePath(QStringLiteral("downloads/curl.bin"));
    const QString downloadPath = QStringLiteral("/api/files/%1/download").arg(fileId);
    Probe download;
    ToolRun curlGet;
    ToolRun curlNull; // the same request with the body thrown away: the network's share
    bool intact = true;
    const auto runOurs = [&] {
        const Probe run = measure([&](std::function<void()> finish) {
            auto *downloader = new Downloader(&app);
            QObject::connect(downloader, &Downloader::sigDone, &app, [&, finish](const QString &path) {
                savedPath = path;
                finish();
            });
            QObject::connect(downloader, &Downloader::sigFailed, &app, [&, finish](const QString &err) {
                downloadError = err;
                finish();
            });
            downloader->start(downloadPath, downloads, QStringLiteral("ours.bin"), false);
        });
        std::printf("  Downloader %6lld ms  cpu %lld ms\n", static_cast<long long>(run.wallMs),
                    static_cast<long long>(run.cpuMs));
        download = keepBest(download, run);
        // Checked after every run, before the next one removes the file (not timed).
        QByteArray savedMd5;
        runTool(QStringLiteral("md5sum"), {savedPath}, &savedMd5);
        intact = intact && downloadError.isEmpty() && savedMd5.left(32) == md5Output.left(32) &&
                 QFileInfo(savedPath).size() == size;
    };
    const auto runCurl = [&] {
        const ToolRun run =
            runTool(QStringLiteral("curl"),
                    QStringList{QStringLiteral("-sS"), QStringLiteral("-f"), QStringLiteral("-o"), curlTarget}
                        << authHeaders(userA) << serverA.baseUrl() + downloadPath);
        std::printf("  curl -o    %6lld ms  cpu %lld ms (kernel %lld)\n", static_cast<long long>(run.ms),
                    static_cast<long long>(run.cpuMs), static_cast<long long>(run.sysMs));
        curlGet = keepBest(curlGet, run);
    };
    const auto runCurlNull = [&] {
        const ToolRun run = runTool(
            QStringLiteral("curl"),
            QStringList{QStringLiteral("-sS"), QStringLiteral("-f"), QStringLiteral("-o"), QStringLiteral("/dev/null")}
                << authHeaders(userA) << serverA.baseUrl() + downloadPath);
        std::printf("  curl -o /dev/null %6lld ms  cpu %lld ms\n", static_cast<long long>(run.ms),
                    static_cast<long long>(run.cpuMs));
        curlNull = keepBest(curlNull, run);
    };
    // Both start from the same state: neither output file on disk, no dirty pages, the served
    // file in the page cache, just-used memory to write into (see warmPageCache). The order
    // alternates, so neither always runs on the other's heels.
    const auto sameStart = [&] {
        QFile::remove(work.filePath(QStringLiteral("downloads/ours.bin")));
        QFile::remove(curlTarget);
        settle();
        warmPageCache(work.path(), size + size / 8);
    };
    // TVR_BENCH_UPLOAD_ONLY=1 leaves the downloads out, for repeated runs of the upload alone.
    const bool timeDownloads = envInt("TVR_BENCH_UPLOAD_ONLY", 0) == 0;
    for (int round = 0; timeDownloads && round < rounds && downloadError.isEmpty(); ++round) {
        sameStart();
        if (round % 2 == 0)
            runOurs();
        else
            runCurl();
        sameStart();
        if (round % 2 == 0)
            runCurl();
        else
            runOurs();
        sameStart();
        runCurlNull();
    }
    if (!downloadError.isEmpty()) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(downloadError));
        return 1;
    }
    const qint64 curlGetMs = curlGet.ms;
    printProbe("Downloader", download, size);
    printTool("curl -o", curlGet.ms, curlGet.cpuMs, size);
    std::printf("%-34s %8lld ms  of which in the kernel (it writes in 8 KiB calls)\n", "  curl -o system cpu",
                static_cast<long long>(curlGet.sysMs));
    printTool("curl -o /dev/null (no file)", curlNull.ms, curlNull.cpuMs, size);

    std::printf("\nratios (target)\n");
    std::printf("upload to merge / (md5sum + curl -T) %5.2f  (<= 1.15)\n",
                double(untilMergeMs) / double(std::max<qint64>(1, md5sumMs + curlPutMs)));
    std::printf("upload to merge / (md5sum + curl -Z) %5.2f  (same chunks on both sides)\n",
                double(untilMergeMs) / double(std::max<qint64>(1, md5sumMs + curlChunks.ms)));
    std::printf("upload wall / (md5sum + curl -T)     %5.2f\n",
                double(upload.wallMs) / double(std::max<qint64>(1, md5sumMs + curlPutMs)));
    std::printf("  same, merges on both sides         %5.2f\n",
                double(upload.wallMs) / double(std::max<qint64>(1, md5sumMs + curlPutMs + curlMergeMs)));
    std::printf("download throughput / curl's         %5.2f  (>= 0.90)\n",
                double(curlGetMs) / double(std::max<qint64>(1, download.wallMs)));
    std::printf("hashing throughput / md5sum's        %5.2f  (>= 0.90)\n",
                double(md5sumMs) / double(std::max<qint64>(1, hashing.wallMs)));
    std::printf("worst stall: hash %lld, upload %lld, download %lld ms  (<= 50)\n",
                static_cast<long long>(hashing.worstStallMs), static_cast<long long>(upload.worstStallMs),
                static_cast<long long>(download.worstStallMs));
    std::printf("peak RSS: hash %.1f, upload %.1f, download %.1f MiB  (<= 100)\n", double(hashing.peakRssKb) / 1024.0,
                double(upload.peakRssKb) / 1024.0, double(download.peakRssKb) / 1024.0);
    std::printf("downloaded file intact: %s\n", !timeDownloads ? "not downloaded" : intact ? "yes" : "NO");
    return intact ? 0 : 1;
}
