// What the benchmarks measure, shared: wall and CPU time of a phase run on the event loop, the
// worst lateness of a 10 ms timer meanwhile, the peak resident memory of this process, and the
// same figures (but the stall) for a command-line tool run beside it.
#pragma once

#include "transferkit.h"
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/resource.h>

namespace bench {

constexpr int TickMs = 10;

inline qint64 procStatusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Resets the kernel's peak-RSS mark of this process (Linux 4.0+), so each phase gets its own peak.
inline void resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// User and system CPU time of this process (RUSAGE_SELF) or of its reaped children, in ms.
inline std::pair<qint64, qint64> cpuSplitMs(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return {usage.ru_utime.tv_sec * 1000 + usage.ru_utime.tv_usec / 1000,
            usage.ru_stime.tv_sec * 1000 + usage.ru_stime.tv_usec / 1000};
}

inline qint64 cpuMs(int who)
{
    const auto [user, system] = cpuSplitMs(who);
    return user + system;
}

struct Probe
{
    qint64 wallMs = 0;
    qint64 cpuMs = 0;
    qint64 worstStallMs = 0;
    qint64 peakRssKb = 0;
    qint64 sysMs = 0;    // the part of cpuMs spent in the kernel
    qint64 switches = 0; // context switches, voluntary or not, of all threads
};

inline qint64 contextSwitches(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Runs start() and the event loop until finish() is called; meanwhile a 10 ms timer measures how
// late the loop serves it.
// watchStalls false leaves the timer out, for figures of what the phase itself costs (the timer
// wakes the loop 100 times a second, which a command-line tool beside it does not pay for).
inline Probe measure(const std::function<void(std::function<void()> finish)> &start, bool watchStalls = true)
{
    Probe probe;
    QEventLoop loop;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(TickMs);
    QElapsedTimer sinceTick;
    QObject::connect(&ticker, &QTimer::timeout, &loop,
                     [&] { probe.worstStallMs = std::max(probe.worstStallMs, sinceTick.restart() - TickMs); });
    resetPeakRss();
    const auto [userBefore, sysBefore] = cpuSplitMs(RUSAGE_SELF);
    const qint64 switchesBefore = contextSwitches(RUSAGE_SELF);
    QElapsedTimer wall;
    wall.start();
    sinceTick.start();
    if (watchStalls)
        ticker.start();
    bool finished = false;
    start([&] {
        finished = true;
        loop.quit();
    });
    if (!finished)
        loop.exec();
    probe.wallMs = wall.elapsed();
    // The last interval counts too: a stall right before the end is still a stall.
    if (watchStalls)
        probe.worstStallMs = std::max(probe.worstStallMs, sinceTick.elapsed() - TickMs);
    const auto [userAfter, sysAfter] = cpuSplitMs(RUSAGE_SELF);
    probe.sysMs = sysAfter - sysBefore;
    probe.cpuMs = userAfter - userBefore + probe.sysMs;
    probe.switches = contextSwitches(RUSAGE_SELF) - switchesBefore;
    probe.peakRssKb = procStatusKb("VmHWM:");
    return probe;
}

struct ToolRun
{
    qint64 ms = -1; // -1: the tool failed
    qint64 cpuMs = 0;
    qint64 sysMs = 0; // the part of cpuMs spent in the kernel
};

// Runs a tool to its end, as a shell would: stdin and stdout on /dev/null (or stdout captured
// into output), stderr passed through.
inline ToolRun runTool(const QString &program, const QStringList &args, QByteArray *output = nullptr)
{
    const auto [userBefore, sysBefore] = cpuSplitMs(RUSAGE_CHILDREN);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!output)
        process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer wall;
    wall.start();
    process.start(program, args);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s (exit code %d)\n", qPrintable(program), qPrintable(process.errorString()),
                     process.exitCode());
        return {};
    }
    ToolRun run;
    run.ms = wall.elapsed();
    const auto [userAfter, sysAfter] = cpuSplitMs(RUSAGE_CHILDREN);
    run.sysMs = sysAfter - sysBefore;
    run.cpuMs = userAfter - userBefore + run.sysMs;
    if (output)
        *output = process.readAllStandardOutput();
    return run;
}

// Best time of repeated runs; the worst stall and the highest memory of any run.
inline Probe keepBest(const Probe &kept, const Probe &next)
{
    if (kept.wallMs == 0)
        return next;
    Probe best = next.wallMs < kept.wallMs ? next : kept;
    best.worstStallMs = std::max(kept.worstStallMs, next.worstStallMs);
    best.peakRssKb = std::max(kept.peakRssKb, next.peakRssKb);
    return best;
}

inline ToolRun keepBest(const ToolRun &kept, const ToolRun &next)
{
    return kept.ms < 0 || (next.ms >= 0 && next.ms < kept.ms) ? next : kept;
}

// Flushes dirty pages so that no contender pays for the write-back of the one before it.
inline void settle()
{
    runTool(QStringLiteral("sync"), {});
}

// On a virtual machine that hands free memory back to its host (free page reporting), memory that
// sat free for a few seconds faults into the host when it is touched again: writing 1 GiB into
// the page cache then costs 1-3 s of system time instead of 0.2 s. A contender would pay that or
// not depending on how long the memory it fills happened to lie idle (the sync before it, the
// run before it). Writing and deleting a scratch file of its size just before the run hands
// every contender the same just-used memory, as a run by hand that overwrites its last output
// gets. Deleted before write-back, the scratch file costs no disk I/O. TVR_BENCH_COLD=1 skips it.
inline void warmPageCache(const QString &dir, qint64 bytes)
{
    if (qEnvironmentVariableIsSet("TVR_BENCH_COLD"))
        return;
    const QString path = dir + QStringLiteral("/warm-up.scratch");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    // Kept for the whole run: a block freed here would stay in the heap and count as resident
    // memory of the contender measured next.
    static const QByteArray block(1024 * 1024, '\x5a');
    for (qint64 written = 0; written < bytes; written += block.size()) {
        if (file.write(block) != block.size())
            break;
    }
    file.close();
    QFile::remove(path);
}

inline double mibPerSecond(qint64 bytes, qint64 ms)
{
    return ms > 0 ? double(bytes) / (1024.0 * 1024.0) / (double(ms) / 1000.0) : 0.0;
}

inline double ratio(qint64 a, qint64 b)
{
    return double(a) / double(std::max<qint64>(1, b));
}

inline int envInt(const char *name, int fallback)
{
    return qEnvironmentVariableIsSet(name) ? qEnvironmentVariableIntValue(name) : fallback;
}

} // namespace bench
