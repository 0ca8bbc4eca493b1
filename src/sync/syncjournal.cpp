#include "sync/syncjournal.h"

#include <QAtomicInt>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QAtomicInt s_connectionSerial;

const auto CursorKey = QStringLiteral("cursor");

JournalEntry entryFrom(const QSqlQuery &query)
{
    JournalEntry entry;
    entry.path = query.value(0).toString();
    entry.isDir = query.value(1).toInt() != 0;
    entry.serverId = query.value(2).toString();
    entry.size = query.value(3).toLongLong();
    entry.mtimeMs = query.value(4).toLongLong();
    entry.inode = quint64(query.value(5).toLongLong());
    entry.md5 = query.value(6).toString();
    return entry;
}

} // namespace

SyncJournal::SyncJournal() = default;

SyncJournal::~SyncJournal()
{
    close();
}

bool SyncJournal::open(const QString &filePath)
{
    close();
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    const QString name = QStringLiteral("tvr-sync-journal-%1").arg(s_connectionSerial.fetchAndAddRelaxed(1));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(filePath);
        if (!db.open()) {
            m_error = QStringLiteral("无法打开同步记录：") + db.lastError().text();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
            return false;
        }
    }
    m_connection = name;
    const bool ready = exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
                       exec(QStringLiteral("PRAGMA synchronous=NORMAL")) &&
                       exec(QStringLiteral("CREATE TABLE IF NOT EXISTS entries (path TEXT PRIMARY KEY, is_dir "
                                           "INTEGER NOT NULL, server_id TEXT NOT NULL, size INTEGER NOT NULL, "
                                           "mtime INTEGER NOT NULL, inode INTEGER NOT NULL, md5 TEXT NOT NULL)")) &&
                       exec(QStringLiteral("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT)")) &&
                       exec(QStringLiteral("CREATE TABLE IF NOT EXISTS remote (id TEXT PRIMARY KEY, parent_id TEXT NOT "
                                           "NULL, name TEXT NOT NULL, path TEXT NOT NULL, is_dir INTEGER NOT NULL, "
                                           "size INTEGER NOT NULL, md5 TEXT NOT NULL, updated_at TEXT NOT NULL)"));
    if (!ready) {
        const QString error = m_error;
        close();
        m_error = error;
        return false;
    }
    return true;
}

void SyncJournal::close()
{
    if (m_connection.isEmpty())
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    m_connection.clear();
}

bool SyncJournal::exec(const QString &sql, const QVariantList &values)
{
    if (m_connection.isEmpty()) {
        m_error = QStringLiteral("同步记录未打开");
        return false;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(sql)) {
        m_error = QStringLiteral("同步记录出错：") + query.lastError().text();
        return false;
    }
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        m_error = QStringLiteral("同步记录出错：") + query.lastError().text();
        return false;
    }
    return true;
}

QHash<QString, JournalEntry> SyncJournal::entries() const
{
    return entries([](const JournalEntry &) { return false; });
}

QHash<QString, JournalEntry> SyncJournal::entries(const std::function<bool(const JournalEntry &)> &drop) const
{
    QHash<QString, JournalEntry> result;
    if (m_connection.isEmpty())
        return result;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT path, is_dir, server_id, size, mtime, inode, md5 FROM entries")))
        return result;
    while (query.next()) {
        JournalEntry entry = entryFrom(query);
        if (!drop(entry))
            result.insert(entry.path, entry);
    }
    return result;
}

bool SyncJournal::contains(const QString &path) const
{
    return !entry(path).path.isEmpty();
}

JournalEntry SyncJournal::entry(const QString &path) const
{
    if (m_connection.isEmpty())
        return {};
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(
        QStringLiteral("SELECT path, is_dir, server_id, size, mtime, inode, md5 FROM entries WHERE path = ?"));
    query.addBindValue(path);
    if (!query.exec() || !query.next())
        return {};
    return entryFrom(query);
}

bool SyncJournal::begin()
{
    return !m_connection.isEmpty() && QSqlDatabase::database(m_connection, false).transaction();
}

bool SyncJournal::commit()
{
    if (m_connection.isEmpty())
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (db.commit())
        return true;
    m_error = QStringLiteral("同步记录出错：") + db.lastError().text();
    db.rollback();
    return false;
}

void SyncJournal::rollback()
{
    if (!m_connection.isEmpty())
        QSqlDatabase::database(m_connection, false).rollback();
}

bool SyncJournal::put(const JournalEntry &entry)
{
    // An empty id or digest may arrive as a null text: stored as "".
    return exec(
        QStringLiteral("INSERT INTO entries (path, is_dir, server_id, size, mtime, inode, md5) VALUES (?, ?, "
                       "COALESCE(?, ''), ?, ?, ?, COALESCE(?, '')) ON CONFLICT (path) DO UPDATE SET is_dir = "
                       "excluded.is_dir, server_id = "
                       "excluded.server_id, size = excluded.size, mtime = excluded.mtime, inode = "
                       "excluded.inode, md5 = excluded.md5"),
        {entry.path, entry.isDir ? 1 : 0, entry.serverId, entry.size, entry.mtimeMs, qint64(entry.inode), entry.md5});
}

bool SyncJournal::removeTree(const QString &path)
{
    // Compared by prefix, not LIKE: names may hold "%" and "_".
    return exec(QStringLiteral("DELETE FROM entries WHERE path = ? OR substr(path, 1, length(?) + 1) = ? || '/'"),
                {path, path, path});
}

bool SyncJournal::moveTree(const QString &path, const QString &newPath)
{
    if (path == newPath)
        return true;
    return removeTree(newPath) &&
           exec(QStringLiteral("UPDATE entries SET path = ? || substr(path, length(?) + 1) WHERE path = ? OR "
                               "substr(path, 1, length(?) + 1) = ? || '/'"),
                {newPath, path, path, path, path});
}

QString SyncJournal::cursor() const
{
    return value(CursorKey);
}

bool SyncJournal::setCursor(const QString &cursor)
{
    return setValue(CursorKey, cursor);
}

QString SyncJournal::value(const QString &key) const
{
    if (m_connection.isEmpty())
        return {};
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT value FROM meta WHERE key = ?"));
    query.addBindValue(key);
    if (!query.exec() || !query.next())
        return {};
    return query.value(0).toString();
}

bool SyncJournal::setValue(const QString &key, const QString &value)
{
    return exec(
        QStringLiteral(
            "INSERT INTO meta (key, value) VALUES (?, ?) ON CONFLICT (key) DO UPDATE SET value = excluded.value"),
        {key, value});
}

QList<RemoteEntry> SyncJournal::remoteEntries() const
{
    QList<RemoteEntry> result;
    if (m_connection.isEmpty())
        return result;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id, parent_id, name, path, is_dir, size, md5, updated_at FROM remote")))
        return result;
    while (query.next()) {
        RemoteEntry entry;
        entry.id = query.value(0).toString();
        entry.parentId = query.value(1).toString();
        entry.name = query.value(2).toString();
        entry.path = query.value(3).toString();
        entry.isDir = query.value(4).toInt() != 0;
        entry.size = query.value(5).toLongLong();
        entry.md5 = query.value(6).toString();
        entry.updatedAt = query.value(7).toString();
        result << entry;
    }
    return result;
}

bool SyncJournal::putRemote(const RemoteEntry &e)
{
    return exec(QStringLiteral("INSERT INTO remote (id, parent_id, name, path, is_dir, size, md5, updated_at) VALUES "
                               "(?, COALESCE(?, ''), COALESCE(?, ''), COALESCE(?, ''), ?, ?, COALESCE(?, ''), "
                               "COALESCE(?, '')) ON CONFLICT (id) DO UPDATE SET parent_id = excluded.parent_id, name "
                               "= excluded.name, path = excluded.path, is_dir = excluded.is_dir, size = "
                               "excluded.size, md5 = excluded.md5, updated_at = excluded.updated_at"),
                {e.id, e.parentId, e.name, e.path, e.isDir ? 1 : 0, e.size, e.md5, e.updatedAt});
}

bool SyncJournal::replaceRemote(const QList<RemoteEntry> &entries, const QString &cursor)
{
    if (!begin())
        return false;
    bool ok = exec(QStringLiteral("DELETE FROM remote"));
    for (const RemoteEntry &entry : entries) {
        if (!ok)
            break;
        ok = putRemote(entry);
    }
    ok = ok && setCursor(cursor);
    if (!ok) {
        rollback();
        return false;
    }
    return commit();
}

bool SyncJournal::applyRemote(const QList<RemoteChange> &changes, const QStringList &removedIds, const QString &cursor)
{
    if (!begin())
        return false;
    bool ok = true;
    for (const RemoteChange &change : changes) {
        if (!ok)
            break;
        if (!change.deleted)
            ok = putRemote(change.entry);
    }
    for (const QString &id : removedIds) {
        if (!ok)
            break;
        ok = exec(QStringLiteral("DELETE FROM remote WHERE id = ?"), {id});
    }
    ok = ok && setCursor(cursor);
    if (!ok) {
        rollback();
        return false;
    }
    return commit();
}
