// Transfers over an emulated wide-area link, side by side with curl and aria2c in the same run.
// The link is a user-space proxy (WanProxy, run as a child process of this program so its CPU is
// nobody's): one-way delay each direction, a 100 Mbit/s link shared by all connections, and
// optionally a cap per connection, as VPNs, company proxies and long lossy routes impose.
//
// Scenarios: 50 ms and 200 ms round trips on 100 Mbit/s, and 50 ms on 100 Mbit/s with each
// connection held to 30 Mbit/s. For each: the Downloader with one stream and with four, curl -o,
// four curls with ranges at once, aria2c -x4; the Uploader against md5sum + curl -T of one PUT.
// Size: TVR_BENCH_MB (default 256). TVR_WAN_UPLOAD=0 leaves the uploads out; TVR_WAN_THRESHOLD_MB
// lowers the size from which the Downloader uses several streams (for short trial runs).
// TVR_WAN_COST_ROUNDS=N measures only what a download costs: the first scenario, the Downloader
// with one stream against curl -o, N rounds in alternating order, CPU and context switches of each.
#include "benchprobe.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "referenceserver.h"
#include "transfer/downloader.h"
#include "transfer/uploader.h"
#include "transferkit.h"
#include "wanproxy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>
#include <cstdio>
#include <memory>

using namespace bench;

namespace {
constexpr qint64 MbitBytes = 125000; // one Mbit/s in bytes per second

struct Scenario
{
    const char *name;
    int rttMs;
    int linkMbit;
    int capMbit; // 0: none
};

QStringList authHeaders(const ReferenceServer::Credentials &as)
{
    return {QStringLiteral("-H"), QStringLiteral("X-TVR-Client: 1"),
            QStringLiteral("-H"), QStringLiteral("X-User-Id: ") + as.userId,
            QStringLiteral("-H"), QStringLiteral("X-Auth-Token: ") + as.token};
}

// The proxy in a child process; its base URL, or empty.
QString startProxy(QProcess &process, quint16 targetPort, const Scenario &scenario)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--proxy"), QString::number(targetPort), QString::number(scenario.rttMs / 2),
                   QString::number(scenario.linkMbit), QString::number(scenario.capMbit)});
    if (!process.waitForStarted() || !process.waitForReadyRead(10000))
        return {};
    const QByteArray line = process.readLine().trimmed();
    return line.startsWith("PORT ") ? QStringLiteral("http://127.0.0.1:") + QString::fromLatin1(line.mid(5))
                                    : QString();
}

// Several tools at once, to the end of the last; CPU of all of them together.
ToolRun runTogether(const QList<QStringList> &commands)
{
    const auto [userBefore, sysBefore] = cpuSplitMs(RUSAGE_CHILDREN);
    std::vector<std::unique_ptr<QProcess>> processes;
    QElapsedTimer wall;
    wall.start();
    for (const QStringList &command : commands) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(command.first(), command.mid(1));
        processes.push_back(std::move(process));
    }
    bool ok = true;
    for (const auto &process : processes)
        ok = process->waitForFinished(-1) && process->exitCode() == 0 && ok;
    if (!ok)
        return {};
    ToolRun run;
    run.ms = wall.elapsed();
    const auto [userAfter, sysAfter] = cpuSplitMs(RUSAGE_CHILDREN);
    run.sysMs = sysAfter - sysBefore;
    run.cpuMs = userAfter - userBefore + run.sysMs;
    return run;
}

double linkShare(qint64 bytes, qint64 ms, const Scenario &scenario)
{
    return ms > 0 ? 100.0 * double(bytes) * 1000.0 / double(ms) / double(scenario.linkMbit * MbitBytes) : 0;
}

void printRow(const char *what, qint64 ms, qint64 cpuMs, qint64 bytes, const Scenario &scenario)
{
    if (ms < 0) {
        std::printf("  %-28s failed\n", what);
        return;
    }
    std::printf("  %-28s %7lld ms  %6.1f MiB/s  %5.1f %% of the link  cpu %6lld ms\n", what, static_cast<long long>(ms),
                mibPerSecond(bytes, ms), linkShare(bytes, ms, scenario), static_cast<long long>(cpuMs));
}

int runProxy(const QStringList &args)
{
    WanProxy::Options options;
    options.targetPort = quint16(args.value(2).toUInt());
    options.oneWayDelayMs = args.value(3).toInt();
    options.linkBytesPerSecond = args.value(4).toLongLong() * MbitBytes;
    options.connBytesPerSecond = args.value(5).toLongLong() * MbitBytes;
    WanProxy proxy(options);
    if (!proxy.listen())
        return 1;
    std::printf("PORT %u\n", unsigned(proxy.port()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("--proxy"))
        return runProxy(app.arguments());
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures as they come, also into a file
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());

    const qint64 size = qint64(envInt("TVR_BENCH_MB", 256)) * 1024 * 1024;
    const bool uploads = envInt("TVR_WAN_UPLOAD", 1) != 0;
    // Without the stall-watching timer, so that the CPU figures are the download's alone.
    const bool costOnly = envInt("TVR_WAN_COST_ROUNDS", 0) > 0;
    // For short trial runs below the Downloader's own threshold.
    const qint64 threshold = qint64(envInt("TVR_WAN_THRESHOLD_MB", 0)) * 1024 * 1024;
    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("source.bin"));
    if (!writeRandomFile(source, size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(source));
        return 1;
    }
    // Server A for the client's transfers; B takes curl's upload as one chunk the size of the file.
    ReferenceServer serverA;
    ReferenceServer::Options bOptions;
    bOptions.chunkSize = size;
    ReferenceServer serverB(bOptions);
    if (!serverA.start() || !serverB.start()) {
        std::fprintf(stderr, "reference server: %s%s\n", qPrintable(serverA.errorString()),
                     qPrintable(serverB.errorString()));
        return 1;
    }
    const ReferenceServer::Credentials userA =
        serverA.signIn(QStringLiteral("wanclient"), QStringLiteral("13900000011"));
    const ReferenceServer::Credentials userB = serverB.signIn(QStringLiteral("wancurl"), QStringLiteral("13900000012"));
    if (!userA.isValid() || !userB.isValid()) {
        std::fprintf(stderr, "sign-in failed\n");
        return 1;
    }
    Session::instance()->applyLogin(userA.login);

    // The file to download goes up once, directly.
    qputenv("TVR_SERVER", serverA.baseUrl().toUtf8());
    QString fileId;
    const auto upload = [&](const QString &path, QString *error) {
        return measure([&](std::function<void()> finish) {
            auto *uploader = new Uploader(&app);
            QObject::connect(uploader, &Uploader::sigDone, &app, [&, finish](const QJsonObject &record) {
                fileId = jsonText(record, QStringLiteral("id"));
                finish();
            });
            QObject::connect(uploader, &Uploader::sigFailed, &app, [&, finish, error](const QString &err) {
                *error = err;
                finish();
            });
            uploader->start(path, QString());
        });
    };
    QString error;
    upload(source, &error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "upload failed: %s\n", qPrintable(error));
        return 1;
    }
    const QString downloadPath = QStringLiteral("/api/files/%1/download").arg(fileId);
    const QString downloads = work.filePath(QStringLiteral("downloads"));
    QDir().mkpath(downloads);
    const QByteArray sourceMd5 = md5OfFile(source);

    const QList<Scenario> scenarios = {{"50 ms, 100 Mbit/s", 50, 100, 0},
                                       {"200 ms, 100 Mbit/s", 200, 100, 0},
                                       {"50 ms, 100 Mbit/s, 30 Mbit/s per connection", 50, 100, 30}};
    const quint16 portA = quint16(QUrl(serverA.baseUrl()).port());
    const quint16 portB = quint16(QUrl(serverB.baseUrl()).port());
    int seed = 1;
    for (const Scenario &scenario : scenarios) {
        std::printf("\n== %s, %lld MiB ==\n", scenario.name, static_cast<long long>(size >> 20));
        QProcess proxyA;
        QProcess proxyB;
        const QString viaA = startProxy(proxyA, portA, scenario);
        const QString viaB = startProxy(proxyB, portB, scenario);
        if (viaA.isEmpty() || viaB.isEmpty()) {
            std::fprintf(stderr, "the proxy did not start\n");
            return 1;
        }
        qputenv("TVR_SERVER", viaA.toUtf8());
        const auto ours = [&](int streams) {
            QFile::remove(QDir(downloads).filePath(QStringLiteral("ours.bin")));
            settle();
            QString failure;
            const Probe run = measure(
                [&](std::function<void()> finish) {
                    auto *downloader = new Downloader(&app);
                    downloader->setStreams(streams);
                    if (threshold > 0)
                        downloader->setSegmentThreshold(threshold);
                    QObject::connect(downloader, &Downloader::sigDone, &app, [finish](const QString &) { finish(); });
                    QObject::connect(downloader, &Downloader::sigFailed, &app, [&, finish](const QString &err) {
                        failure = err;
                        finish();
                    });
                    downloader->start(downloadPath, downloads, QStringLiteral("ours.bin"), false);
                },
                !costOnly);
            const bool intact =
                failure.isEmpty() && md5OfFile(QDir(downloads).filePath(QStringLiteral("ours.bin"))) == sourceMd5;
            if (!intact)
                std::printf("  !! download %s\n", failure.isEmpty() ? "differs from the source" : qPrintable(failure));
            return intact ? run : Probe{-1, 0, 0, 0};
        };
        const QString url = viaA + downloadPath;
        const QStringList curlBase = QStringList{QStringLiteral("curl"), QStringLiteral("-sS"), QStringLiteral("-f")}
                                     << authHeaders(userA);
        if (const int rounds = envInt("TVR_WAN_COST_ROUNDS", 0); rounds > 0) {
            std::printf(" download cost: CPU user + system, context switches\n");
            for (int round = 0; round < rounds; ++round) {
                const auto oursRow = [&] {
                    const Probe run = ours(1);
                    std::printf("  round %d Downloader %7lld ms  cpu %5lld ms (user %lld, sys %lld)  switches %lld\n",
                                round + 1, static_cast<long long>(run.wallMs), static_cast<long long>(run.cpuMs),
                                static_cast<long long>(run.cpuMs - run.sysMs), static_cast<long long>(run.sysMs),
                                static_cast<long long>(run.switches));
                };
                const auto curlRow = [&] {
                    settle();
                    const qint64 switches = contextSwitches(RUSAGE_CHILDREN);
                    const ToolRun run = runTool(QStringLiteral("curl"),
                                                curlBase.mid(1) << QStringLiteral("-o")
                                                                << work.filePath(QStringLiteral("curl.bin")) << url);
                    std::printf("  round %d curl -o    %7lld ms  cpu %5lld ms (user %lld, sys %lld)  switches %lld\n",
                                round + 1, static_cast<long long>(run.ms), static_cast<long long>(run.cpuMs),
                                static_cast<long long>(run.cpuMs - run.sysMs), static_cast<long long>(run.sysMs),
                                static_cast<long long>(contextSwitches(RUSAGE_CHILDREN) - switches));
                    QFile::remove(work.filePath(QStringLiteral("curl.bin")));
                };
                if (round % 2 == 0) {
                    oursRow();
                    curlRow();
                } else {
                    curlRow();
                    oursRow();
                }
            }
            proxyA.kill();
            proxyB.kill();
            proxyA.waitForFinished();
            proxyB.waitForFinished();
            return 0;
        }
        const Probe one = ours(1);
        const Probe four = ours(4);
        settle();
        const ToolRun curl =
            runTool(QStringLiteral("curl"),
                    curlBase.mid(1) << QStringLiteral("-o") << work.filePath(QStringLiteral("curl.bin")) << url);
        QList<QStringList> ranged;
        for (int i = 0; i < 4; ++i) {
            const qint64 first = size / 4 * i;
            const qint64 last = i == 3 ? size - 1 : first + size / 4 - 1;
            ranged << (QStringList(curlBase)
                       << QStringLiteral("-r") << QStringLiteral("%1-%2").arg(first).arg(last) << QStringLiteral("-o")
                       << work.filePath(QStringLiteral("curl.%1").arg(i)) << url);
        }
        settle();
        const ToolRun curl4 = runTogether(ranged);
        QStringList aria{QStringLiteral("-q"),
                         QStringLiteral("-x4"),
                         QStringLiteral("-s4"),
                         QStringLiteral("--min-split-size=1M"),
                         QStringLiteral("--file-allocation=none"),
                         QStringLiteral("--allow-overwrite=true"),
                         QStringLiteral("--auto-file-renaming=false"),
                         QStringLiteral("-d"),
                         work.path(),
                         QStringLiteral("-o"),
                         QStringLiteral("aria.bin")};
        aria << QStringLiteral("--header=X-TVR-Client: 1") << QStringLiteral("--header=X-User-Id: ") + userA.userId
             << QStringLiteral("--header=X-Auth-Token: ") + userA.token << url;
        settle();
        const ToolRun aria2 = runTool(QStringLiteral("aria2c"), aria);
        std::printf(" download\n");
        printRow("Downloader, 1 stream", one.wallMs, one.cpuMs, size, scenario);
        printRow("Downloader, 4 streams", four.wallMs, four.cpuMs, size, scenario);
        printRow("curl -o", curl.ms, curl.cpuMs, size, scenario);
        printRow("curl x4 with ranges", curl4.ms, curl4.cpuMs, size, scenario);
        printRow("aria2c -x4", aria2.ms, aria2.cpuMs, size, scenario);
        std::printf("  throughput ratios: 4 streams / curl -o %.2f, / curl x4 %.2f, / aria2c %.2f, / 1 stream %.2f;"
                    " 1 stream / curl -o %.2f\n",
                    ratio(curl.ms, four.wallMs), ratio(curl4.ms, four.wallMs), ratio(aria2.ms, four.wallMs),
                    ratio(one.wallMs, four.wallMs), ratio(curl.ms, one.wallMs));
        for (const QString &name : {QStringLiteral("curl.bin"), QStringLiteral("aria.bin"), QStringLiteral("curl.0"),
                                    QStringLiteral("curl.1"), QStringLiteral("curl.2"), QStringLiteral("curl.3")})
            QFile::remove(work.filePath(name));

        if (uploads) {
            // Fresh bytes for each side, or the server would take them as an instant upload.
            const QString ourFile = work.filePath(QStringLiteral("up-ours.bin"));
            const QString curlFile = work.filePath(QStringLiteral("up-curl.bin"));
            if (!writeRandomFile(ourFile, size, quint32(1000 + seed)) ||
                !writeRandomFile(curlFile, size, quint32(2000 + seed))) {
                std::fprintf(stderr, "cannot write the upload files\n");
                return 1;
            }
            ++seed;
            settle();
            QString upError;
            const Probe ourUpload = upload(ourFile, &upError);
            if (!upError.isEmpty())
                std::printf("  !! upload: %s\n", qPrintable(upError));
            QByteArray md5Output;
            const ToolRun md5sum = runTool(QStringLiteral("md5sum"), {curlFile}, &md5Output);
            const ReferenceServer::Reply init =
                serverB.postJson(QStringLiteral("/api/upload/init"),
                                 QJsonObject{{"name", QStringLiteral("curl%1.bin").arg(seed)},
                                             {"size", size},
                                             {"md5", QString::fromLatin1(md5Output.left(32))},
                                             {"parent_id", QJsonValue::Null}},
                                 userB);
            const QString uploadId = jsonText(init.dataObject(), QStringLiteral("uploadId"));
            settle();
            const ToolRun put =
                runTool(QStringLiteral("curl"),
                        QStringList{QStringLiteral("-sS"), QStringLiteral("-f"), QStringLiteral("-o"),
                                    QStringLiteral("/dev/null"), QStringLiteral("-T"), curlFile, QStringLiteral("-H"),
                                    QStringLiteral("Expect:"), QStringLiteral("-H"),
                                    QStringLiteral("Content-Type: application/octet-stream")}
                            << authHeaders(userB)
                            << viaB + QStringLiteral("/api/upload/chunk/") + uploadId + QStringLiteral("/0"));
            std::printf(" upload\n");
            printRow("Uploader (hash+chunks+merge)", upError.isEmpty() ? ourUpload.wallMs : -1, ourUpload.cpuMs, size,
                     scenario);
            printRow("md5sum + curl -T", put.ms < 0 ? -1 : md5sum.ms + put.ms, md5sum.cpuMs + put.cpuMs, size,
                     scenario);
            std::printf("  throughput ratio: Uploader / (md5sum + curl -T) %.2f\n",
                        ratio(md5sum.ms + put.ms, ourUpload.wallMs));
            QFile::remove(ourFile);
            QFile::remove(curlFile);
        }
        proxyA.kill();
        proxyB.kill();
        proxyA.waitForFinished();
        proxyB.waitForFinished();
    }
    return 0;
}
