// Fetching a client installer from the reference server's update area on loopback, side by side
// with the command-line tools: UpdateChecker (manifest, probe, four ranged segments into one
// side file, SHA-512) vs aria2c -x4 -s4 --checksum=sha-512=… vs curl -o followed by sha512sum; plus the worst
// GUI event-loop stall (lateness of a 10 ms timer) and the peak resident memory of this process.
//
// Size: TVR_BENCH_MB (default 256). The installer is random bytes published with its manifest
// (real SHA-512) in a temporary update area given to the server by --downloads.
// Rounds: TVR_BENCH_ROUNDS (default 3). Every round runs the three once, each from the same start
// (no output file on disk, no dirty pages, the installer in the page cache, just-used memory to
// write into), in an order that rotates from round to round; the best time of each is kept, and
// the ratios within each round are shown too (the machine may be shared).
// The installer lands where the client puts it, in the user's cache folder: XDG_CACHE_HOME points
// into the temporary folder for the run, so nothing is left behind.
#include "benchprobe.h"
#include "referenceserver.h"
#include "update/updatechecker.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cstdio>

using namespace bench;

namespace {

const QString Channel = QStringLiteral("storageclient-linux");
const QString InstallerName = QStringLiteral("TolvarStorage-9.0.0-x86_64.run");

QByteArray sha512Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The manifest in the layout the server's own releases use.
QByteArray manifestFor(const QString &name, qint64 size, const QByteArray &digest)
{
    const QByteArray base64 = digest.toBase64();
    QByteArray text = "version: 9.0.0\nfiles:\n";
    text += "  - url: " + name.toUtf8() + "\n    sha512: " + base64 + "\n    size: " + QByteArray::number(size) + "\n";
    text += "path: " + name.toUtf8() + "\nsha512: " + base64 + "\nreleaseDate: 2026-01-01T00:00:00.000Z\n";
    return text;
}

struct OurRun
{
    Probe probe;
    qint64 checkedMs = 0;  // manifest read
    qint64 allBytesMs = 0; // the last segment's last byte written
    QString path;
    QString error;
};

OurRun runUpdateChecker(QCoreApplication &app)
{
    OurRun run;
    QElapsedTimer clock;
    auto *checker = new UpdateChecker(Channel, QLatin1String(UpdateChecker::CurrentVersion), &app);
    run.probe = measure([&](std::function<void()> finish) {
        clock.start();
        QObject::connect(checker, &UpdateChecker::checked, &app, [&, checker, finish](bool hasUpdate, const QString &) {
            run.checkedMs = clock.elapsed();
            if (hasUpdate) {
                checker->downloadInstaller();
                return;
            }
            run.error = QStringLiteral("no update found");
            finish();
        });
        QObject::connect(checker, &UpdateChecker::progress, &app, [&](int percent) {
            if (percent == 100 && run.allBytesMs == 0)
                run.allBytesMs = clock.elapsed();
        });
        QObject::connect(checker, &UpdateChecker::downloaded, &app, [&, finish](const QString &path) {
            run.path = path;
            finish();
        });
        QObject::connect(checker, &UpdateChecker::failed, &app, [&, finish](const QString &message) {
            run.error = message;
            finish();
        });
        checker->check();
    });
    delete checker;
    return run;
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

void printProbe(const char *what, const Probe &probe, qint64 bytes)
{
    std::printf("%-36s %7lld ms  %7.1f MiB/s  cpu %5lld ms  worst stall %4lld ms  peak RSS %6.1f MiB\n", what,
                static_cast<long long>(probe.wallMs), mibPerSecond(bytes, probe.wallMs),
                static_cast<long long>(probe.cpuMs), static_cast<long long>(probe.worstStallMs),
                double(probe.peakRssKb) / 1024.0);
}

void printTool(const char *what, const ToolRun &run, qint64 bytes)
{
    std::printf("%-36s %7lld ms  %7.1f MiB/s  cpu %5lld ms (kernel %lld)\n", what, static_cast<long long>(run.ms),
                mibPerSecond(bytes, run.ms), static_cast<long long>(run.cpuMs), static_cast<long long>(run.sysMs));
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    // Before the application object, so the cache location already points here.
    qputenv("XDG_CACHE_HOME", work.filePath(QStringLiteral("cache")).toUtf8());
    QCoreApplication app(argc, argv);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, work.filePath(QStringLiteral("settings")));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, work.filePath(QStringLiteral("settings")));

    const qint64 megabytes = envInt("TVR_BENCH_MB", 256);
    const qint64 size = megabytes * 1024 * 1024;
    const int rounds = std::max(1, envInt("TVR_BENCH_ROUNDS", 3));

    const QString area = work.filePath(QStringLiteral("area"));
    const QString channelDir = QDir(area).filePath(Channel);
    const QString installer = QDir(channelDir).filePath(InstallerName);
    std::printf("preparing a %lld MiB installer in %s\n", static_cast<long long>(megabytes), qPrintable(channelDir));
    if (!QDir().mkpath(channelDir) || !writeRandomFile(installer, size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(installer));
        return 1;
    }
    const QByteArray digest = sha512Of(installer);
    const QByteArray digestHex = digest.toHex();
    if (digest.isEmpty() ||
        !writeFile(QDir(channelDir).filePath(QStringLiteral("latest.yml")), manifestFor(InstallerName, size, digest))) {
        std::fprintf(stderr, "cannot publish the manifest\n");
        return 1;
    }

    ReferenceServer::Options options;
    options.extraArgs = {QStringLiteral("--downloads"), area};
    ReferenceServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "reference server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    qputenv("TVR_SERVER", server.baseUrl().toUtf8());
    const QString url = UpdateChecker::downloadAreaUrl(Channel) + InstallerName;
    const QString ourFolder = UpdateChecker::defaultInstallerFolder();
    const QString ourTarget = QDir(ourFolder).filePath(InstallerName);
    const QString toolDir = work.filePath(QStringLiteral("tools"));
    const QString ariaName = QStringLiteral("aria2.bin");
    const QString ariaTarget = QDir(toolDir).filePath(ariaName);
    const QString curlTarget = QDir(toolDir).filePath(QStringLiteral("curl.bin"));
    QDir().mkpath(toolDir);
    std::printf("installer folder of the client: %s\n", qPrintable(ourFolder));
    runTool(QStringLiteral("cat"), {installer}); // the served file in the page cache for every contender alike

    OurRun ours;
    ToolRun aria;
    ToolRun curl;
    ToolRun curlHash;
    ToolRun curlTotal; // the best sum of one curl run and the sha512sum after it
    bool intact = true;
    QStringList problems;
    // This round's times, for ratios within one round (the load of a shared machine changes).
    qint64 roundOurs = -1;
    qint64 roundAria = -1;
    qint64 roundCurl = -1;
    QList<double> ariaRatios;
    QList<double> curlRatios;

    const auto sameStart = [&] {
        QFile::remove(ourTarget);
        QFile::remove(ariaTarget);
        QFile::remove(curlTarget);
        settle();
        // The client writes the installer once now (its side file becomes the installer); the
        // warm-up stays at twice its size so that figures compare with earlier runs.
        warmPageCache(work.path(), 2 * size);
    };
    const auto runOurs = [&] {
        OurRun run = runUpdateChecker(app);
        std::printf("  UpdateChecker   %6lld ms (manifest %lld, all bytes in %lld, join + digest after it %lld)  stall "
                    "%lld ms  "
                    "peak %.1f MiB\n",
                    static_cast<long long>(run.probe.wallMs), static_cast<long long>(run.checkedMs),
                    static_cast<long long>(run.allBytesMs), static_cast<long long>(run.probe.wallMs - run.allBytesMs),
                    static_cast<long long>(run.probe.worstStallMs), double(run.probe.peakRssKb) / 1024.0);
        if (!run.error.isEmpty()) {
            problems << QStringLiteral("UpdateChecker: ") + run.error;
            intact = false;
            return;
        }
        // Checked after the run, not timed: the file is where the client keeps installers, whole.
        if (QFileInfo(run.path).absoluteFilePath() != QFileInfo(ourTarget).absoluteFilePath() ||
            sha512Of(run.path) != digest) {
            problems << QStringLiteral("UpdateChecker wrote %1, not the verified installer").arg(run.path);
            intact = false;
        }
        roundOurs = run.probe.wallMs;
        const Probe best = keepBest(ours.probe, run.probe);
        if (ours.probe.wallMs == 0 || run.probe.wallMs < ours.probe.wallMs)
            ours = run;
        ours.probe = best;
    };
    const auto runAria = [&] {
        const ToolRun run =
            runTool(QStringLiteral("aria2c"), {QStringLiteral("-x4"), QStringLiteral("-s4"),
                                               QStringLiteral("--checksum=sha-512=") + QString::fromLatin1(digestHex),
                                               QStringLiteral("--no-conf"), QStringLiteral("-q"), QStringLiteral("-d"),
                                               toolDir, QStringLiteral("-o"), ariaName, url});
        std::printf("  aria2c          %6lld ms  cpu %lld ms\n", static_cast<long long>(run.ms),
                    static_cast<long long>(run.cpuMs));
        if (run.ms < 0 || QFileInfo(ariaTarget).size() != size) {
            problems << QStringLiteral("aria2c failed");
            intact = false;
        }
        roundAria = run.ms;
        aria = keepBest(aria, run);
    };
    const auto runCurl = [&] {
        const ToolRun get = runTool(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("-f"),
                                                             QStringLiteral("-o"), curlTarget, url});
        QByteArray output;
        const ToolRun hash = runTool(QStringLiteral("sha512sum"), {curlTarget}, &output);
        std::printf("  curl + sha512sum %5lld ms + %lld ms  cpu %lld + %lld ms\n", static_cast<long long>(get.ms),
                    static_cast<long long>(hash.ms), static_cast<long long>(get.cpuMs),
                    static_cast<long long>(hash.cpuMs));
        if (get.ms < 0 || hash.ms < 0 || !output.startsWith(digestHex)) {
            problems << QStringLiteral("curl + sha512sum failed");
            intact = false;
            return;
        }
        roundCurl = get.ms + hash.ms;
        curl = keepBest(curl, get);
        curlHash = keepBest(curlHash, hash);
        const ToolRun total{get.ms + hash.ms, get.cpuMs + hash.cpuMs, get.sysMs + hash.sysMs};
        curlTotal = keepBest(curlTotal, total);
    };

    // TVR_BENCH_ONLY=ours|aria2c|curl runs one of them alone (to profile it).
    const QString only = qEnvironmentVariable("TVR_BENCH_ONLY");
    const std::array<std::pair<QString, std::function<void()>>, 3> contenders{
        {{QStringLiteral("ours"), runOurs}, {QStringLiteral("aria2c"), runAria}, {QStringLiteral("curl"), runCurl}}};
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d\n", round + 1);
        roundOurs = roundAria = roundCurl = -1;
        for (size_t i = 0; i < contenders.size(); ++i) {
            const auto &[name, run] = contenders[(i + size_t(round)) % contenders.size()];
            if (!only.isEmpty() && name != only)
                continue;
            sameStart();
            run();
        }
        if (roundOurs > 0 && roundAria > 0)
            ariaRatios.append(ratio(roundOurs, roundAria));
        if (roundOurs > 0 && roundCurl > 0)
            curlRatios.append(ratio(roundOurs, roundCurl));
    }
    sameStart();

    std::printf("\nbest of %d rounds%40s\n", rounds, "wall      throughput");
    printProbe("UpdateChecker (check to verified)", ours.probe, size);
    std::printf("%-36s %7lld ms manifest, %lld ms all bytes in, %lld ms join + digest after it\n", "  timeline",
                static_cast<long long>(ours.checkedMs), static_cast<long long>(ours.allBytesMs),
                static_cast<long long>(ours.probe.wallMs - ours.allBytesMs));
    printTool("aria2c -x4 -s4 --checksum", aria, size);
    printTool("curl -o", curl, size);
    printTool("sha512sum", curlHash, size);
    printTool("curl -o + sha512sum", curlTotal, size);

    std::printf("\nratios (target)\n");
    std::printf("wall / aria2c's                  %5.2f  (<= 1.10)  best against best; median of the rounds %.2f\n",
                ratio(ours.probe.wallMs, aria.ms), median(ariaRatios));
    std::printf("wall / (curl + sha512sum)'s      %5.2f  (<= 1.20)  best against best; median of the rounds %.2f\n",
                ratio(ours.probe.wallMs, curlTotal.ms), median(curlRatios));
    std::printf("worst stall                      %5lld ms  (<= 50)\n",
                static_cast<long long>(ours.probe.worstStallMs));
    std::printf("peak RSS                         %5.1f MiB  (<= 100)\n", double(ours.probe.peakRssKb) / 1024.0);
    std::printf("installers intact: %s\n", intact ? "yes" : "NO");
    for (const QString &problem : problems)
        std::printf("!! %s\n", qPrintable(problem));
    return intact ? 0 : 1;
}
