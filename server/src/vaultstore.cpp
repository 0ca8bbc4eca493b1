#include "vaultstore.h"

#include "accountstore.h"
#include "servercontext.h"
#include "transaction.h"

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

QJsonArray VaultStore::list(ServerContext &ctx, qint64 userId)
{
    const auto rows = ctx.db.query(
        "SELECT id, name, size, created_at FROM vault_files WHERE user_id = ?1 ORDER BY id DESC", {userId});
    QJsonArray array;
    for (const QVariantList &r : rows) {
        array.append(QJsonObject{{QStringLiteral("id"), r.value(0).toLongLong()},
                                 {QStringLiteral("name"), r.value(1).toString()},
                                 {QStringLiteral("size"), r.value(2).toLongLong()},
                                 {QStringLiteral("created_at"), r.value(3).toString()},
                                 {QStringLiteral("updated_at"), r.value(3).toString()}});
    }
    return array;
}

std::optional<VaultStore::File> VaultStore::find(ServerContext &ctx, qint64 userId, qint64 id)
{
    const auto rows = ctx.db.query(
        "SELECT id, name, size, stored_name, created_at FROM vault_files WHERE user_id = ?1 AND id = ?2", {userId, id});
    if (rows.empty())
        return std::nullopt;
    const QVariantList &r = rows.front();
    return File{r.value(0).toLongLong(), r.value(1).toString(), r.value(2).toLongLong(), r.value(3).toString(),
                r.value(4).toString()};
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
                                                    const QString &storedName)
{
    Transaction tx(ctx.db);
    const QString now = ctx.clock.nowText();
    ctx.db.exec("INSERT INTO vault_files(user_id, name, size, stored_name, created_at) VALUES(?1, ?2, ?3, ?4, ?5)",
                {userId, name, size, storedName, now});
    const qint64 id = ctx.db.lastInsertId();
    if (!tx.commit()) {
        QFile::remove(pathFor(ctx, userId, storedName));
        return std::nullopt;
    }
    return File{id, name, size, storedName, now};
}

bool VaultStore::removeFile(ServerContext &ctx, qint64 userId, qint64 id)
{
    Transaction tx(ctx.db);
    const auto file = find(ctx, userId, id);
    if (!file)
        return false;
    ctx.db.exec("DELETE FROM vault_files WHERE user_id = ?1 AND id = ?2", {userId, id});
    const QString path = pathFor(ctx, userId, file->storedName);
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
