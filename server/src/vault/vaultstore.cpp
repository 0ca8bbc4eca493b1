#include "vault/vaultstore.h"

#include "accounts/accountstore.h"
#include "core/servercontext.h"
#include "files/quota.h"
#include "storage/transaction.h"
#include "vault/vaultnames.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonObject>
#include <QSet>

namespace tvr::server {

namespace {
constexpr char VaultDir[] = "vault";
constexpr char FileSuffix[] = ".tvv";
} // namespace

std::optional<VaultKeyRecord> VaultStore::record(ServerContext &ctx, qint64 userId)
{
    const QVariant text = ctx.db.scalar("SELECT key_record FROM vaults WHERE user_id = ?1", {userId});
    if (!text.isValid())
        return std::nullopt;
    return VaultKeyRecord::decode(text.toString());
}

bool VaultStore::create(ServerContext &ctx, qint64 userId, const VaultKeyRecord &record)
{
    Transaction tx(ctx.db);
    if (ctx.db.scalar("SELECT 1 FROM vaults WHERE user_id = ?1", {userId}).isValid())
        return false;
    ctx.db.exec("INSERT INTO vaults(user_id, key_record, created_at) VALUES(?1, ?2, ?3)",
                {userId, record.encode(), ctx.clock.nowText()});
    return tx.commit();
}

namespace {

// A row's name: sealed (the usual case) or, for a file stored before names were sealed, clear.
QString nameOf(const QVariantList &r, qint64 userId, const QByteArray &vaultKey, int clear, int sealed, int stored)
{
    const QString text = r.value(sealed).toString();
    if (text.isEmpty())
        return r.value(clear).toString();
    return VaultNames::open(vaultKey, userId, r.value(stored).toString(), text)
        .value_or(QStringLiteral("无法读取的文件名"));
}

} // namespace

QJsonArray VaultStore::list(ServerContext &ctx, qint64 userId, const QByteArray &vaultKey)
{
    const auto rows = ctx.db.query("SELECT id, name, size, created_at, name_sealed, stored_name FROM vault_files "
                                   "WHERE user_id = ?1 ORDER BY id DESC",
                                   {userId});
    QJsonArray array;
    for (const QVariantList &r : rows) {
        array.append(QJsonObject{{QStringLiteral("id"), r.value(0).toLongLong()},
                                 {QStringLiteral("name"), nameOf(r, userId, vaultKey, 1, 4, 5)},
                                 {QStringLiteral("size"), r.value(2).toLongLong()},
                                 {QStringLiteral("created_at"), r.value(3).toString()},
                                 {QStringLiteral("updated_at"), r.value(3).toString()}});
    }
    return array;
}

std::optional<VaultStore::File> VaultStore::find(ServerContext &ctx, qint64 userId, qint64 id,
                                                 const QByteArray &vaultKey)
{
    const auto rows = ctx.db.query("SELECT id, name, size, stored_name, created_at, name_sealed FROM vault_files "
                                   "WHERE user_id = ?1 AND id = ?2",
                                   {userId, id});
    if (rows.empty())
        return std::nullopt;
    const QVariantList &r = rows.front();
    return File{r.value(0).toLongLong(), nameOf(r, userId, vaultKey, 1, 5, 3), r.value(2).toLongLong(),
                r.value(3).toString(), r.value(4).toString()};
}

void VaultStore::sealClearNames(ServerContext &ctx, qint64 userId, const QByteArray &vaultKey)
{
    Transaction tx(ctx.db);
    const auto rows = ctx.db.query(
        "SELECT id, name, stored_name FROM vault_files WHERE user_id = ?1 AND name_sealed = '' AND name <> ''",
        {userId});
    for (const QVariantList &r : rows) {
        const QString sealed = VaultNames::seal(vaultKey, userId, r.value(2).toString(), r.value(1).toString());
        if (!sealed.isEmpty())
            ctx.db.exec("UPDATE vault_files SET name = '', name_sealed = ?2 WHERE id = ?1", {r.value(0), sealed});
    }
    tx.commit();
}

QString VaultStore::newStoredName()
{
    return AccountStore::randomHex(16) + QLatin1String(FileSuffix);
}

QString VaultStore::pathFor(ServerContext &ctx, qint64 userId, const QString &storedName)
{
    const QString dir = ctx.dataPath(QStringLiteral("%1/%2").arg(QLatin1String(VaultDir)).arg(userId));
    QDir().mkpath(dir);
    return dir + QLatin1Char('/') + storedName;
}

std::optional<VaultStore::File> VaultStore::addFile(ServerContext &ctx, qint64 userId, const QString &name, qint64 size,
                                                    const QString &storedName, const QByteArray &vaultKey,
                                                    QuotaReservation &room, int *status)
{
    const QString sealed = VaultNames::seal(vaultKey, userId, storedName, name);
    const QString path = pathFor(ctx, userId, storedName);
    Transaction tx(ctx.db);
    room.release();
    if (!Quota::fits(ctx, userId, size)) {
        *status = 507;
        QFile::remove(path);
        return std::nullopt;
    }
    const QString now = ctx.clock.nowText();
    ctx.db.exec("INSERT INTO vault_files(user_id, name, name_sealed, size, stored_name, created_at) "
                "VALUES(?1, '', ?2, ?3, ?4, ?5)",
                {userId, sealed, size, storedName, now});
    const qint64 id = ctx.db.lastInsertId();
    if (sealed.isEmpty() || !tx.commit()) {
        *status = 500;
        QFile::remove(path);
        return std::nullopt;
    }
    return File{id, name, size, storedName, now};
}

bool VaultStore::removeFile(ServerContext &ctx, qint64 userId, qint64 id)
{
    Transaction tx(ctx.db);
    const QVariant storedName =
        ctx.db.scalar("SELECT stored_name FROM vault_files WHERE user_id = ?1 AND id = ?2", {userId, id});
    if (!storedName.isValid())
        return false;
    ctx.db.exec("DELETE FROM vault_files WHERE user_id = ?1 AND id = ?2", {userId, id});
    const QString path = pathFor(ctx, userId, storedName.toString());
    tx.onCommit([path] { QFile::remove(path); });
    return tx.commit();
}

bool VaultStore::reset(ServerContext &ctx, qint64 userId)
{
    Transaction tx(ctx.db);
    const auto rows = ctx.db.query("SELECT stored_name FROM vault_files WHERE user_id = ?1", {userId});
    QStringList paths;
    for (const QVariantList &r : rows)
        paths.append(pathFor(ctx, userId, r.value(0).toString()));
    ctx.db.exec("DELETE FROM vault_files WHERE user_id = ?1", {userId});
    ctx.db.exec("DELETE FROM vaults WHERE user_id = ?1", {userId});
    tx.onCommit([paths] {
        for (const QString &path : paths)
            QFile::remove(path);
    });
    return tx.commit();
}

qint64 VaultStore::usedBytes(ServerContext &ctx, qint64 userId)
{
    return ctx.db.scalar("SELECT COALESCE(SUM(size), 0) FROM vault_files WHERE user_id = ?1", {userId}).toLongLong();
}

void VaultStore::sweep(ServerContext &ctx)
{
    const QString root = ctx.dataPath(QLatin1String(VaultDir));
    if (!QDir(root).exists())
        return;
    QSet<QString> known;
    for (const QVariantList &r : ctx.db.query("SELECT user_id, stored_name FROM vault_files"))
        known.insert(QStringLiteral("%1/%2").arg(r.value(0).toLongLong()).arg(r.value(1).toString()));
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (!known.contains(relative))
            QFile::remove(path);
    }
}

} // namespace tvr::server
