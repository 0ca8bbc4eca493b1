// The transfer list with 1,000 rows (TVR_BENCH_ROWS): how long the page takes to show them, what a
// progress report costs (every row reporting), what one batched redraw costs (the model's signal
// and the view painting what it shows), and a repaint after scrolling. Offscreen; figures only.
#include "app/theme.h"
#include "app/transferlistmodel.h"
#include "app/transferpage.h"
#include "transfer/transfermanager.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScrollBar>
#include <QSettings>
#include <QTableView>
#include <QTemporaryDir>
#include <cstdio>

namespace {
// A store of paused downloads, as a client that was stopped with that many jobs would leave it.
bool writeStore(const QString &folder, int rows)
{
    QJsonArray jobs;
    for (int i = 0; i < rows; ++i) {
        jobs.append(QJsonObject{{"kind", "download"},
                                {"space", "personal"},
                                {"name", QStringLiteral("季度报表-%1.xlsx").arg(i)},
                                {"serverPath", QStringLiteral("/api/files/%1/download").arg(i)},
                                {"dir", folder},
                                {"fileName", QStringLiteral("季度报表-%1.xlsx").arg(i)},
                                {"total", double(1024 * 1024 * (i + 1))},
                                {"state", i % 7 == 0 ? "failed" : "paused"},
                                {"error", "服务器断开了连接"}});
    }
    QDir().mkpath(folder);
    // openStore names the file after the user id's digest; find it by opening an empty store first.
    TransferManager probe;
    if (!probe.openStore(folder, QStringLiteral("bench")))
        return false;
    const QString path = probe.storePath();
    probe.closeStore();
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(QJsonDocument(QJsonObject{{"version", 1}, {"jobs", jobs}}).toJson()) > 0;
}

double msOf(const QElapsedTimer &clock)
{
    return double(clock.nsecsElapsed()) / 1e6;
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setStyleSheet(Theme::globalStyleSheet());
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    const int rows =
        qEnvironmentVariableIsSet("TVR_BENCH_ROWS") ? qEnvironmentVariableIntValue("TVR_BENCH_ROWS") : 1000;
    QTemporaryDir work;
    if (!writeStore(work.path(), rows))
        return 1;

    TransferManager manager;
    QElapsedTimer clock;
    clock.start();
    manager.openStore(work.path(), QStringLiteral("bench"));
    const double restoreMs = msOf(clock);
    clock.restart();
    TransferPage page(&manager);
    page.resize(970, 560);
    page.show();
    QApplication::processEvents();
    page.table()->viewport()->repaint();
    const double showMs = msOf(clock);
    std::printf("%d rows: restored in %.1f ms, page built and painted in %.1f ms\n", page.model()->rowCount(),
                restoreMs, showMs);

    // Every row reports progress (as running jobs do, many times a second each).
    constexpr int Rounds = 20;
    double reportMs = 0;
    double flushMs = 0;
    double paintMs = 0;
    for (int round = 0; round < Rounds; ++round) {
        clock.restart();
        for (TransferTask *task : manager.tasks())
            emit manager.taskChanged(task);
        reportMs += msOf(clock);
        clock.restart();
        page.model()->flush();
        flushMs += msOf(clock);
        clock.restart();
        page.table()->viewport()->repaint();
        paintMs += msOf(clock);
    }
    std::printf("progress report of one row: %.2f us; redraw batch (all rows changed): signal %.2f ms, paint %.2f ms\n",
                reportMs * 1000.0 / (Rounds * double(rows)), flushMs / Rounds, paintMs / Rounds);
    std::printf("at most %d batches a second: %.1f ms of drawing per second with every row moving\n",
                1000 / TransferListModel::RefreshIntervalMs,
                (flushMs + paintMs) / Rounds * (1000.0 / TransferListModel::RefreshIntervalMs));

    // Scrolled to the end and back.
    QScrollBar *bar = page.table()->verticalScrollBar();
    clock.restart();
    bar->setValue(bar->maximum());
    page.table()->viewport()->repaint();
    bar->setValue(0);
    page.table()->viewport()->repaint();
    std::printf("scroll to the end and back, painted: %.2f ms\n", msOf(clock));
    return 0;
}
