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
                       exec(QStringLiteral("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT)"));
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
    QHash<QString, JournalEntry> result;
    if (m_connection.isEmpty())
        return result;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT path, is_dir, server_id, size, mtime, inode, md5 FROM entries")))
        return result;
    while (query.next()) {
        JournalEntry entry = entryFrom(query);
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
