// Folder sync against the reference server on loopback:
//  1. first sync of FILES files of 4 KiB-1 MiB plus one big file, by a SyncEngine, against curl
//     sending the same files four at a time (xargs -P4) as multipart uploads to the server's
//     "/api/files/upload" route of a second, fresh server (curl cannot drive the chunked protocol
//     simply: init, MD5, chunks, merge);
//  2. a rescan of RESCAN unchanged files: the scan alone, and a whole planning round (scan,
//     journal read, reconcile) with a journal and server tree that agree with the disk;
//  3. idle CPU of the engine with the phase-1 folder synced, over IDLE seconds;
//  5. idle CPU of an engine over the RESCAN folder (resumed from a journal and kept server tree
//     that agree with it), over IDLE seconds, and its safety rescan averaged in;
//  4. the delay from a saved file to the server's listing, and from a server change to the disk,
//     with the product's timings (a file counts as stable 2 s after its last change).
//
//   bench_sync [FILES=10000] [BIG_MIB=1024] [RESCAN=100000] [IDLE_S=60]
// (bench_sync 0 0 100000 60 runs the rescan and idle parts at full size in a few minutes.)
#include "benchprobe.h"
#include "net/session.h"
#include "referenceserver.h"
#include "sync/agreedfilter.h"
#include "sync/localscanner.h"
#include "sync/reconciler.h"
#include "sync/remotefeed.h"
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
#ifdef __GLIBC__
#include <malloc.h>
#endif

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

// Runs the event loop for a while without waking it up on its own (the engine's cost alone).
void idleFor(qint64 seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

void releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
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
    QDir().mkpath(local);
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
    idleFor(idleSeconds);
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

    std::printf("\n3. idle with %d files synced    cpu %lld ms over %lld ms = %.2f %% of a core (target < 1 %%)\n",
                files + (bigMiB > 0 ? 1 : 0), static_cast<long long>(idleCpu), static_cast<long long>(idleWall),
                100.0 * double(idleCpu) / double(std::max<qint64>(1, idleWall)));
    std::printf("\n4. saved file -> server listing %6lld ms%s\n", static_cast<long long>(upMs),
                up ? "" : " (not seen)");
    std::printf("   server upload -> local disk  %6lld ms%s\n", static_cast<long long>(downMs),
                down ? "" : " (not seen)");

    // 2. Rescan of unchanged files: the journal and the kept server tree agree with the disk.
    const QString cursor = engine.feed()->cursor();
    engine.stop();
    const QString many = work.filePath(QStringLiteral("many"));
    for (int i = 0; i < rescanCount; ++i) {
        const QString path = many + QStringLiteral("/d%1/f%2.txt").arg(i / 1000).arg(i);
        if (i % 1000 == 0)
            QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("x");
    }
    const QString md5 = QStringLiteral("9dd4e461268c8034f5c8564e155c67a6");
    const QDateTime old = QDateTime::currentDateTime().addSecs(-120);
    const QString manyJournal = work.filePath(QStringLiteral("many.db"));
    {
        // Files dated in the past, so that they count as stable.
        QDirIterator files(many, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            QFile f(files.next());
            if (f.open(QIODevice::ReadWrite))
                f.setFileTime(old, QFileDevice::FileModificationTime);
        }
        SyncJournal seedJournal;
        seedJournal.open(manyJournal);
        const LocalScanner::Result seed =
            LocalScanner::scan(many, IgnoreRules(), QDateTime::currentMSecsSinceEpoch(), 0);
        QHash<QString, QString> ids;
        for (const LocalEntry &e : seed.entries)
            ids.insert(e.path, QStringLiteral("bench-") + QString::number(ids.size() + 1));
        QList<RemoteEntry> kept;
        seedJournal.begin();
        for (const LocalEntry &e : seed.entries) {
            const QString id = ids.value(e.path);
            const QString parent = e.path.contains('/') ? ids.value(e.path.section('/', 0, -2)) : QString();
            seedJournal.put(JournalEntry{e.path, e.isDir, id, e.size, e.mtimeMs, e.inode, e.isDir ? QString() : md5});
            kept << RemoteEntry{id,      parent, e.path.section('/', -1),   e.path,
                                e.isDir, e.size, e.isDir ? QString() : md5, {}};
        }
        seedJournal.commit();
        seedJournal.replaceRemote(kept, cursor);
    }
    const auto round = [&](bool fastPath, const RemoteTree &tree, qint64 *journalMs, qint64 *scanMs, qint64 *treeMs,
                           qint64 *planMs, qsizetype *entries, qsizetype *actions) {
        SyncJournal journal;
        journal.open(manyJournal);
        QElapsedTimer part;
        part.start();
        Reconciler::Input input;
        input.local = LocalScanner::scan(many, IgnoreRules(), QDateTime::currentMSecsSinceEpoch(), 2000).entries;
        *entries = input.local.size();
        *scanMs = part.restart();
        const QHash<QString, RemoteEntry> remote = tree.byPath();
        *treeMs = part.restart();
        if (fastPath) {
            AgreedFilter::load(input, journal, remote); // as the engine reads it
        } else {
            input.journal = journal.entries();
            input.remote = remote;
        }
        *journalMs = part.restart();
        input.now = QDateTime::currentDateTime();
        *actions = Reconciler::plan(input).actions.size();
        *planMs = part.elapsed();
    };
    // The engine keeps the server tree in memory between rounds: it is there before a round starts.
    RemoteTree keptTree;
    {
        SyncJournal journal;
        journal.open(manyJournal);
        QList<RemoteChange> changes;
        for (const RemoteEntry &e : journal.remoteEntries())
            changes << RemoteChange{e, false, 0};
        keptTree.apply(changes);
    }
    std::printf("\n2. rescan of unchanged entries (journal + scan + server paths + plan)\n");
    for (const bool fastPath : {true, false}) {
        releaseFreedMemory(); // what the seeding above left behind is not the round's
        resetPeakRss();
        const qint64 rssBefore = procStatusKb("VmRSS:");
        qint64 journalMs = 0, scanMs = 0, treeMs = 0, planMs = 0;
        qsizetype entries = 0, actions = 0;
        round(fastPath, keptTree, &journalMs, &scanMs, &treeMs, &planMs, &entries, &actions);
        std::printf("   %s: %lld entries, scan %lld ms, server paths %lld ms, journal %lld ms%s, plan %lld ms\n",
                    fastPath ? "with the fast path   " : "whole plan (as before)", static_cast<long long>(entries),
                    static_cast<long long>(scanMs), static_cast<long long>(treeMs), static_cast<long long>(journalMs),
                    fastPath ? " (filtered while read)" : "", static_cast<long long>(planMs));
        std::printf("      round %lld ms, %lld actions (target <= 2000 ms); RSS before %.1f MiB, peak %.1f MiB "
                    "(target <= 150 MiB)\n",
                    static_cast<long long>(journalMs + scanMs + treeMs + planMs), static_cast<long long>(actions),
                    double(rssBefore) / 1024.0, double(procStatusKb("VmHWM:")) / 1024.0);
    }

    // 5. Idle CPU of an engine over the rescan folder, resumed from its journal and kept tree.
    if (idleSeconds > 0) {
        SyncEngine big(SyncEngine::Config{many, {}, {}, {}}, manyJournal);
        QElapsedTimer settleClock;
        settleClock.start();
        bool settled = false;
        QObject::connect(&big, &SyncEngine::settled, &app, [&] { settled = true; });
        const bool started = big.start();
        const bool quiet = started && waitFor([&] { return settled; }, 120000);
        const qint64 settleMs = settleClock.elapsed();
        const qint64 firstRoundMs = big.lastRoundCostMs();
        // A safety rescan as the timer starts it.
        const int quietBefore = big.quietRounds();
        big.syncNow();
        waitFor([&] { return big.quietRounds() > quietBefore; }, 60000);
        const qint64 before = cpuMs(RUSAGE_SELF);
        QElapsedTimer bigClock;
        bigClock.start();
        idleFor(idleSeconds);
        const qint64 cpu = cpuMs(RUSAGE_SELF) - before;
        const qint64 wall = bigClock.elapsed();
        std::printf("\n5. idle with %lld entries synced%s: first round %lld ms (settled after %lld ms), a rescan "
                    "round %lld ms, next safety rescan in %d s\n",
                    static_cast<long long>(rescanCount), quiet ? "" : " (never settled)",
                    static_cast<long long>(firstRoundMs), static_cast<long long>(settleMs),
                    static_cast<long long>(big.lastRoundCostMs()), big.rescanIntervalMs() / 1000);
        std::printf("   cpu %lld ms over %lld ms = %.2f %% of a core measured; with the rescan averaged in: "
                    "%.2f %% (target < 1 %%)\n",
                    static_cast<long long>(cpu), static_cast<long long>(wall),
                    100.0 * double(cpu) / double(std::max<qint64>(1, wall)),
                    100.0 * double(cpu) / double(std::max<qint64>(1, wall)) +
                        100.0 * double(big.lastRoundCostMs()) / double(std::max(1, big.rescanIntervalMs())));
        big.stop();
    }
    return 0;
}
