// Folder sync against the reference server on loopback:
//  1. first sync of FILES files of 4 KiB-1 MiB plus one big file, by a SyncEngine, against curl
//     sending the same files four at a time (xargs -P4) as multipart uploads to the server's
//     "/api/files/upload" route of a second, fresh server (curl cannot drive the chunked protocol
//     simply: init, MD5, chunks, merge);
//  2. a rescan of RESCAN unchanged files: the scan alone, and a whole planning round (scan,
//     journal read, reconcile) with a journal and server tree that agree with the disk;
//  3. idle CPU of the engine with the phase-1 folder synced, over IDLE seconds;
//  4. the delay from a saved file to the server's listing, and from a server change to the disk,
//     with the product's timings (a file counts as stable 2 s after its last change).
//
//   bench_sync [FILES=10000] [BIG_MIB=1024] [RESCAN=100000] [IDLE_S=60]
#include "benchprobe.h"
#include "net/session.h"
#include "referenceserver.h"
#include "sync/localscanner.h"
#include "sync/reconciler.h"
#include "sync/syncengine.h"
#include "sync/syncjournal.h"
#include "synckit.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdio>

using namespace bench;

namespace {

qint64 argOr(int argc, char **argv, int index, qint64 fallback)
{
    return argc > index ? QByteArray(argv[index]).toLongLong() : fallback;
}

// Deterministic sizes from 4 KiB to 1 MiB.
qint64 sizeOf(int i)
{
    const quint32 x = quint32(i) * 2654435761u;
    return 4096 + qint64(x % (1048576 - 4096 + 1));
}

bool makeFiles(const QString &root, int count, qint64 *total)
{
    QByteArray pattern(1048576, Qt::Uninitialized);
    quint32 x = 12345;
    for (char &c : pattern) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    const QDateTime past = QDateTime::currentDateTime().addSecs(-60);
    for (int i = 0; i < count; ++i) {
        const QString path = root + QStringLiteral("/d%1/f%2.bin").arg(i / 500).arg(i);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        const qint64 size = sizeOf(i);
        // Each file differs from the others at its start, so no upload is an instant one.
        QByteArray head = QByteArray::number(i).rightJustified(16, '0');
        if (!f.open(QIODevice::WriteOnly) || f.write(head) != head.size() ||
            f.write(pattern.constData(), size - head.size()) != size - head.size())
            return false;
        f.close(); // closing writes what is buffered, which would date the file now
        if (!f.open(QIODevice::ReadWrite) || !f.setFileTime(past, QFileDevice::FileModificationTime))
            return false;
        *total += size;
    }
    return true;
}

QStringList authHeaders(const ReferenceServer::Credentials &as)
{
    return {QStringLiteral("-H"), QStringLiteral("X-TVR-Client: 1"),
            QStringLiteral("-H"), QStringLiteral("X-User-Id: ") + as.userId,
            QStringLiteral("-H"), QStringLiteral("X-Auth-Token: ") + as.token};
}

bool waitFor(const std::function<bool()> &done, qint64 timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    qputenv("XDG_DATA_HOME", settings.filePath("data").toUtf8());

    const int files = int(argOr(argc, argv, 1, 10000));
    const qint64 bigMiB = argOr(argc, argv, 2, 1024);
    const int rescanCount = int(argOr(argc, argv, 3, 100000));
    const qint64 idleSeconds = argOr(argc, argv, 4, 60);
    QTemporaryDir work;
    std::printf("bench_sync: %d files + %lld MiB, rescan of %d, idle %lld s, in %s\n", files,
                static_cast<long long>(bigMiB), rescanCount, static_cast<long long>(idleSeconds),
                qPrintable(work.path()));

    // 1. First sync.
    const QString local = work.filePath(QStringLiteral("local"));
    qint64 total = 0;
    if (!makeFiles(local, files, &total) ||
        (bigMiB > 0 && !SyncKit::writeBig(local + QStringLiteral("/big.bin"), bigMiB * 1024 * 1024, 3))) {
        std::fprintf(stderr, "cannot write the files\n");
        return 1;
    }
    total += bigMiB * 1024 * 1024;
    ReferenceServer server;
    ReferenceServer curlServer;
    if (!server.start() || !curlServer.start()) {
        std::fprintf(stderr, "cannot start the servers\n");
        return 1;
    }
    qputenv("TVR_SERVER", server.baseUrl().toUtf8());
    const auto user = server.signIn(QStringLiteral("benchsync"), QStringLiteral("13900000031"));
    const auto curlUser = curlServer.signIn(QStringLiteral("benchcurl"), QStringLiteral("13900000032"));
    if (!user.isValid() || !curlUser.isValid() || !Session::instance()->applyLogin(user.login)) {
        std::fprintf(stderr, "cannot sign in\n");
        return 1;
    }
    SyncEngine engine(SyncEngine::Config{local, {}, {}, {}}, work.filePath(QStringLiteral("journal.db")));
    QString failure;
    int failedRounds = 0;
    const Probe first = measure([&](std::function<void()> finish) {
        QObject::connect(&engine, &SyncEngine::settled, &app, finish);
        // Failures are retried by the engine: noted here, and the clock runs on until it settles.
        QObject::connect(&engine, &SyncEngine::stateChanged, &app, [&] {
            if (engine.failures().isEmpty())
                return;
            ++failedRounds;
            if (failure.isEmpty())
                failure = engine.failures().first().path + QStringLiteral(": ") + engine.failures().first().error;
        });
        if (!engine.start()) {
            failure = engine.lastError();
            finish();
        }
    });
    QObject::disconnect(&engine, nullptr, &app, nullptr);
    if (!failure.isEmpty())
        std::printf("!! %d rounds with failures on the way, the first: %s\n", failedRounds, qPrintable(failure));
    // curl, four at a time, one multipart upload per file, into the second server's root.
    const QString listFile = work.filePath(QStringLiteral("list.txt"));
    QByteArray list;
    QDirIterator it(local, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        list += it.next().toUtf8() + '\n';
    {
        QFile out(listFile);
        out.open(QIODevice::WriteOnly);
        out.write(list);
    }
    const QString curlCommand =
        QStringLiteral("xargs -P 4 -I{} curl -sS -f -o /dev/null -H 'X-TVR-Client: 1' -H "
                       "'X-User-Id: %1' -H 'X-Auth-Token: %2' -F 'files=@{}' %3/api/files/upload < %4")
            .arg(curlUser.userId, curlUser.token, curlServer.baseUrl(), listFile);
    const ToolRun curl = runTool(QStringLiteral("sh"), {QStringLiteral("-c"), curlCommand});
    const double mib = double(total) / 1048576.0;
    std::printf("\n1. first sync of %d files + %lld MiB (%.0f MiB in all)\n", files, static_cast<long long>(bigMiB),
                mib);
    std::printf("   sync engine                  %8lld ms  %7.1f MiB/s  cpu %7lld ms  peak RSS %6.1f MiB\n",
                static_cast<long long>(first.wallMs), mibPerSecond(total, first.wallMs),
                static_cast<long long>(first.cpuMs), double(first.peakRssKb) / 1024.0);
    std::printf("   curl -F, 4 at a time         %8lld ms  %7.1f MiB/s  cpu %7lld ms\n",
                static_cast<long long>(curl.ms), mibPerSecond(total, curl.ms), static_cast<long long>(curl.cpuMs));
    if (curl.ms > 0)
        std::printf("   ratio engine/curl            %8.2f (target <= 1.5)\n", double(first.wallMs) / double(curl.ms));

    // 3. Idle CPU with the folder synced (before the rescan phase adds its own files elsewhere).
    const qint64 idleCpuBefore = cpuMs(RUSAGE_SELF);
    QElapsedTimer idleClock;
    idleClock.start();
    waitFor([&] { return idleClock.elapsed() >= idleSeconds * 1000; }, idleSeconds * 1000 + 1000);
    const qint64 idleCpu = cpuMs(RUSAGE_SELF) - idleCpuBefore;
    const qint64 idleWall = idleClock.elapsed();

    // 4. Delays with the product's timings.
    QElapsedTimer clock;
    {
        QFile saved(local + QStringLiteral("/saved.txt"));
        saved.open(QIODevice::WriteOnly);
        saved.write("saved by the user");
    }
    clock.start();
    const bool up =
        waitFor([&] { return server.get(QStringLiteral("/api/files"), user).body.contains("saved.txt"); }, 60000);
    const qint64 upMs = clock.elapsed();
    clock.restart();
    const bool posted =
        server
            .multipart(QStringLiteral("/api/files/upload"), {{"files", "from-server.txt", "text/plain", "hello"}}, user)
            .success();
    const bool down =
        posted && waitFor([&] { return QFile::exists(local + QStringLiteral("/from-server.txt")); }, 60000);
    const qint64 downMs = clock.elapsed();
    engine.stop();

    std::printf("\n3. idle with %d files synced    cpu %lld ms over %lld ms = %.2f %% of a core (target < 1 %%)\n",
                files + (bigMiB > 0 ? 1 : 0), static_cast<long long>(idleCpu), static_cast<long long>(idleWall),
                100.0 * double(idleCpu) / double(std::max<qint64>(1, idleWall)));
    std::printf("\n4. saved file -> server listing %6lld ms%s\n", static_cast<long long>(upMs),
                up ? "" : " (not seen)");
    std::printf("   server upload -> local disk  %6lld ms%s\n", static_cast<long long>(downMs),
                down ? "" : " (not seen)");

    // 2. Rescan of unchanged files, without a server: the journal and the server tree agree.
    const QString many = work.filePath(QStringLiteral("many"));
    for (int i = 0; i < rescanCount; ++i) {
        const QString path = many + QStringLiteral("/d%1/f%2.txt").arg(i / 1000).arg(i);
        if (i % 1000 == 0)
            QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("x");
    }
    const qint64 later = QDateTime::currentMSecsSinceEpoch() + 60000; // everything counts as stable
    SyncJournal journal;
    journal.open(work.filePath(QStringLiteral("many.db")));
    const LocalScanner::Result seed = LocalScanner::scan(many, IgnoreRules(), later, 0);
    QHash<QString, RemoteEntry> remote;
    journal.begin();
    int serial = 1;
    for (const LocalEntry &e : seed.entries) {
        const QString id = QString::number(serial++);
        journal.put(JournalEntry{e.path, e.isDir, id, e.size, e.mtimeMs, e.inode,
                                 e.isDir ? QString() : QStringLiteral("9dd4e461268c8034f5c8564e155c67a6")});
        remote.insert(e.path, RemoteEntry{id,
                                          {},
                                          e.path.section('/', -1),
                                          e.path,
                                          e.isDir,
                                          e.size,
                                          e.isDir ? QString() : QStringLiteral("9dd4e461268c8034f5c8564e155c67a6"),
                                          {}});
    }
    journal.commit();
    resetPeakRss();
    const qint64 rssBefore = procStatusKb("VmRSS:");
    QElapsedTimer scanClock;
    scanClock.start();
    const LocalScanner::Result scan = LocalScanner::scan(many, IgnoreRules(), later, 0);
    const qint64 scanMs = scanClock.elapsed();
    scanClock.restart();
    Reconciler::Input input;
    input.journal = journal.entries();
    input.local = LocalScanner::scan(many, IgnoreRules(), later, 0).entries;
    input.remote = remote;
    input.now = QDateTime::currentDateTime();
    const SyncPlan plan = Reconciler::plan(input);
    const qint64 roundMs = scanClock.elapsed();
    std::printf("\n2. rescan of %lld unchanged entries\n", static_cast<long long>(scan.entries.size()));
    std::printf("   scan alone                   %6lld ms\n", static_cast<long long>(scanMs));
    std::printf("   round (journal+scan+plan)    %6lld ms, %lld actions (target <= 2000 ms)\n",
                static_cast<long long>(roundMs), static_cast<long long>(plan.actions.size()));
    std::printf("   process RSS %0.1f MiB (peak %0.1f MiB) holding the tree, journal and plan (target <= 150 MiB)\n",
                double(procStatusKb("VmRSS:")) / 1024.0, double(procStatusKb("VmHWM:")) / 1024.0);
    std::printf("   (RSS before the round: %0.1f MiB)\n", double(rssBefore) / 1024.0);
    return 0;
}
