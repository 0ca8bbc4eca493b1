#include "cluster/clustermembers.h"

#include "core/servercontext.h"
#include "storage/transaction.h"

#include <QDateTime>
#include <QFile>
#include <QSysInfo>
#include <cerrno>
#include <openssl/rand.h>
#include <signal.h>
#include <unistd.h>

namespace tvr::server {

static qint64 wallSecs()
{
    return QDateTime::currentSecsSinceEpoch();
}

// This machine in this boot: process ids mean something only within it.
static QString machine()
{
    static const QString name = [] {
        QFile boot(QStringLiteral("/proc/sys/kernel/random/boot_id"));
        const QByteArray bootId = boot.open(QIODevice::ReadOnly) ? boot.readAll().trimmed() : QByteArray();
        return QSysInfo::machineHostName() + QLatin1Char('/') + QString::fromLatin1(bootId);
    }();
    return name;
}

bool ClusterMembers::beat(ServerContext &ctx)
{
    return ctx.db.exec("INSERT INTO cluster_members(id, seen_secs, machine, pid) VALUES(?1, ?2, ?3, ?4) "
                       "ON CONFLICT (id) DO UPDATE SET seen_secs = excluded.seen_secs",
                       {ctx.instanceId, wallSecs(), machine(), qint64(::getpid())});
}

void ClusterMembers::forgetDeadNeighbours(ServerContext &ctx)
{
    const auto rows = ctx.db.query("SELECT id, pid FROM cluster_members WHERE machine = ?1 AND id <> ?2",
                                   {machine(), ctx.instanceId});
    for (const QVariantList &row : rows) {
        const pid_t pid = pid_t(row.value(1).toLongLong());
        if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
            forget(ctx, row.value(0).toString());
    }
}

void ClusterMembers::forget(ServerContext &ctx, const QString &id)
{
    // Several instances may sweep the same rows at once.
    ctx.db.transact([&] {
        Transaction tx(ctx.db);
        ctx.db.exec("DELETE FROM quota_reservations WHERE instance = ?1", {id});
        ctx.db.exec("DELETE FROM active_extracts WHERE instance = ?1", {id});
        ctx.db.exec("DELETE FROM cluster_members WHERE id = ?1", {id});
        return tx.commit();
    });
}

qint64 ClusterMembers::aliveSince()
{
    return wallSecs() - StaleSecs;
}

bool ClusterMembers::othersAlive(ServerContext &ctx)
{
    return ctx.db
        .scalar("SELECT 1 FROM cluster_members WHERE id <> ?1 AND seen_secs >= ?2", {ctx.instanceId, aliveSince()})
        .isValid();
}

void ClusterMembers::forgetStale(ServerContext &ctx)
{
    const qint64 since = aliveSince();
    ctx.db.transact([&] {
        Transaction tx(ctx.db);
        ctx.db.exec("DELETE FROM quota_reservations WHERE instance IN "
                    "(SELECT id FROM cluster_members WHERE seen_secs < ?1)",
                    {since});
        ctx.db.exec("DELETE FROM quota_reservations WHERE instance NOT IN (SELECT id FROM cluster_members)");
        ctx.db.exec("DELETE FROM active_extracts WHERE instance NOT IN (SELECT id FROM cluster_members "
                    "WHERE seen_secs >= ?1)",
                    {since});
        ctx.db.exec("DELETE FROM cluster_members WHERE seen_secs < ?1", {since});
        return tx.commit();
    });
}

void ClusterMembers::leave(ServerContext &ctx)
{
    forget(ctx, ctx.instanceId);
}

QString ClusterMembers::newId()
{
    QByteArray random(12, Qt::Uninitialized);
    RAND_bytes(reinterpret_cast<unsigned char *>(random.data()), int(random.size()));
    return QString::fromLatin1(random.toHex());
}

} // namespace tvr::server
