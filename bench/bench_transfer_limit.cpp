// Transfers through the transfer list against the reference server on loopback:
//  1. the rate achieved under a speed limit of 20 MiB/s (TVR_BENCH_LIMIT_MIB), both ways, over the
//     data phase and over the whole job, next to the same transfer without a limit;
//  2. what a pause in the middle and a resume cost on a 1 GiB file (TVR_BENCH_MB) both ways: the
//     bytes that went over the wire beyond the file's size (a chunk is 8 MiB), counted by a
//     forwarding proxy between client and server (request and answer heads included), and how
//     long pausing and getting going again take.
// Figures only; nothing passes or fails.
#include "net/httpclient.h"
#include "net/session.h"
#include "referenceserver.h"
#include "testproxy.h"
#include "transfer/transfermanager.h"
#include "transferkit.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>

namespace {
using State = TransferTask::State;
constexpr qint64 MiB = 1024 * 1024;

bool waitFor(const std::function<bool()> &condition, qint64 timeoutMs = 30 * 60 * 1000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

struct Rate
{
    double dataMiBs = 0;  // from the first to the last byte counted
    double wholeMiBs = 0; // from adding the job to its end (hashing, init, merge included)
    bool ok = false;
};

// Runs task to its end and measures it.
Rate measure(TransferTask *task, qint64 bytes)
{
    QElapsedTimer whole;
    whole.start();
    const DataRateWatch data(task);
    Rate rate;
    rate.ok = waitFor([&] { return !task->isUnfinished() || task->state() == State::Failed; }) &&
              task->state() == State::Finished;
    const qint64 wholeMs = whole.elapsed();
    if (data.bytesPerSecond() > 0)
        rate.dataMiBs = data.bytesPerSecond() / MiB;
    rate.wholeMiBs = double(bytes) / MiB / (double(wholeMs) / 1000.0);
    return rate;
}

void printRate(const char *what, const Rate &rate)
{
    std::printf("%-44s data %7.2f MiB/s   whole job %7.2f MiB/s%s\n", what, rate.dataMiBs, rate.wholeMiBs,
                rate.ok ? "" : "   (FAILED)");
}

struct PauseCost
{
    qint64 repeatedBytes = -1; // moved beyond the file's size
    qint64 pauseMs = 0;        // from pause() until nothing of the job runs
    qint64 resumeMs = 0;       // from resume() until its first new byte
    qint64 heldAtPause = 0;
    bool exact = false;
};

// One transfer paused at half way and resumed. counter tells the bytes of its direction on the
// wire since the job was added.
PauseCost pauseInTheMiddle(TransferManager &manager, TransferTask *task, qint64 size,
                           const std::function<qint64()> &counter, const std::function<bool()> &checkResult)
{
    PauseCost cost;
    if (!waitFor([&] { return task->doneBytes() >= size / 2 || !task->isUnfinished(); }))
        return cost;
    QElapsedTimer clock;
    clock.start();
    manager.pause(task);
    if (!waitFor([&] { return settled(task, State::Paused); }))
        return cost;
    cost.pauseMs = clock.elapsed();
    cost.heldAtPause = task->doneBytes();
    const qint64 before = task->doneBytes();
    clock.restart();
    bool moved = false;
    QObject context;
    QObject::connect(task, &TransferTask::changed, &context, [&] {
        if (!moved && task->state() == State::Running && task->doneBytes() > before) {
            moved = true;
            cost.resumeMs = clock.elapsed();
        }
    });
    manager.resume(task);
    if (!waitFor([&] { return settled(task, State::Finished) || task->state() == State::Failed; }))
        return cost;
    cost.repeatedBytes = counter() - size;
    cost.exact = task->state() == State::Finished && checkResult();
    return cost;
}

void printCost(const char *what, const PauseCost &cost)
{
    std::printf("%-44s repeated %8.2f MiB (%+lld B)   pause %5lld ms   resume to first byte %5lld ms   %s\n", what,
                double(cost.repeatedBytes) / MiB, static_cast<long long>(cost.repeatedBytes),
                static_cast<long long>(cost.pauseMs), static_cast<long long>(cost.resumeMs),
                cost.exact ? "byte-exact" : "NOT EXACT");
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());

    const qint64 limitMib =
        qEnvironmentVariableIsSet("TVR_BENCH_LIMIT_MIB") ? qEnvironmentVariableIntValue("TVR_BENCH_LIMIT_MIB") : 20;
    const qint64 bigMib =
        qEnvironmentVariableIsSet("TVR_BENCH_MB") ? qEnvironmentVariableIntValue("TVR_BENCH_MB") : 1024;
    // Ten seconds at the limit, so the limit is judged over 10 s.
    const qint64 limitedSize = limitMib * 10 * MiB;

    ReferenceServer server;
    if (!server.start()) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    qputenv("TVR_SERVER", server.baseUrl().toUtf8());
    const ReferenceServer::Credentials user =
        server.signIn(QStringLiteral("bench_limit"), QStringLiteral("13900000077"));
    if (!user.isValid() || !Session::instance()->applyLogin(user.login)) {
        std::fprintf(stderr, "cannot sign in\n");
        return 1;
    }
    QTemporaryDir work;
    const QString downloads = work.filePath(QStringLiteral("downloads"));
    QDir().mkpath(downloads);
    TransferManager manager;

    // 1. Limits.
    std::printf("limit %lld MiB/s, %lld MiB each way\n", static_cast<long long>(limitMib),
                static_cast<long long>(limitedSize / MiB));
    const QString limitedFile = work.filePath(QStringLiteral("limited.bin"));
    const QString freeFile = work.filePath(QStringLiteral("free.bin"));
    if (!writeRandomFile(limitedFile, limitedSize, 1) || !writeRandomFile(freeFile, limitedSize, 2))
        return 1;
    TransferSettings limited;
    limited.uploadLimit = limitMib * MiB;
    limited.downloadLimit = limitMib * MiB;

    manager.applySettings(limited, false);
    TransferTask *up = manager.addUpload(limitedFile, QString());
    printRate("upload, limited", measure(up, limitedSize));
    manager.applySettings(TransferSettings(), false);
    TransferTask *upFree = manager.addUpload(freeFile, QString());
    printRate("upload, no limit", measure(upFree, limitedSize));
    const QString limitedId = jsonText(up->fileRecord(), QStringLiteral("id"));

    manager.applySettings(limited, false);
    TransferTask *down = manager.addDownload(QStringLiteral("/api/files/%1/download").arg(limitedId), downloads,
                                             QStringLiteral("limited.bin"));
    printRate("download, limited", measure(down, limitedSize));
    manager.applySettings(TransferSettings(), false);
    TransferTask *downFree = manager.addDownload(QStringLiteral("/api/files/%1/download").arg(limitedId), downloads,
                                                 QStringLiteral("free.bin"));
    printRate("download, no limit", measure(downFree, limitedSize));
    manager.clearFinished();

    // 2. Pause and resume in the middle of a large file.
    const qint64 bigSize = bigMib * MiB;
    std::printf("pause at half way and resume, %lld MiB each way (chunks of 8 MiB)\n", static_cast<long long>(bigMib));
    const QString bigFile = work.filePath(QStringLiteral("big.bin"));
    if (!writeRandomFile(bigFile, bigSize, 3))
        return 1;
    const QByteArray bigMd5 = md5OfFile(bigFile);
    TestProxy proxy;
    if (!proxy.listen())
        return 1;
    TransferSettings viaProxy;
    viaProxy.proxyMode = TransferSettings::ProxyMode::Http;
    viaProxy.proxyHost = QStringLiteral("127.0.0.1");
    viaProxy.proxyPort = proxy.port();
    manager.applySettings(viaProxy, false);

    proxy.resetCounts();
    TransferTask *bigUp = manager.addUpload(bigFile, QString());
    // The server checks the assembled file's MD5 against the one announced before it answers the merge.
    const PauseCost upCost = pauseInTheMiddle(
        manager, bigUp, bigSize, [&] { return proxy.bytesToServers(); },
        [&] { return jsonText(bigUp->fileRecord(), QStringLiteral("md5")) == QString::fromLatin1(bigMd5); });
    printCost("upload", upCost);

    proxy.resetCounts();
    TransferTask *bigDown = manager.addDownload(
        QStringLiteral("/api/files/%1/download").arg(jsonText(bigUp->fileRecord(), QStringLiteral("id"))), downloads,
        QStringLiteral("big.bin"));
    const PauseCost downCost = pauseInTheMiddle(
        manager, bigDown, bigSize, [&] { return proxy.bytesToClients(); },
        [&] { return md5OfFile(QDir(downloads).filePath("big.bin")) == bigMd5; });
    printCost("download", downCost);
    return 0;
}
