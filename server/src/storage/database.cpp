#include "storage/database.h"

#include "storage/postgresdatabase.h"

#include <QByteArray>
#include <cstdio>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

namespace tvr::server {

Database::Database() = default;

Database::~Database()
{
    close();
}

bool Database::open(const QString &location, QString *error)
{
    close();
    if (location.startsWith(QLatin1String("postgresql:")) || location.startsWith(QLatin1String("postgres:"))) {
        m_pg = std::make_unique<PostgresDatabase>(location.toUtf8());
        if (m_pg->open(error))
            return true;
        m_pg.reset();
        return false;
    }
    return openSqlite(location.startsWith(QLatin1String("sqlite:")) ? location.mid(7) : location, error);
}

bool Database::openSqlite(const QString &path, QString *error)
{
    std::lock_guard lock(m_mutex);
    m_path = path;
    // No mutex of SQLite's own: every use of the connection already holds m_mutex, and taking a
    // second lock in each sqlite3_column_* call costs a tenth of a long listing's time.
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, flags, nullptr) != SQLITE_OK) {
        if (error)
            *error = QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : "cannot open database");
        close();
        return false;
    }
    sqlite3_busy_timeout(m_db, 5000);
    // Servers starting at once on a new database each switch it to WAL, and a switch that meets
    // another one under way fails with "database is locked" without waiting: they take turns, under
    // the start-up lock (unless this process holds it already, which a second flock would wait for).
    int turnFd = -1;
    if (m_startupLockFd < 0) {
        turnFd =
            ::open((path + QStringLiteral(".start-lock")).toUtf8().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (turnFd >= 0 && ::flock(turnFd, LOCK_EX) != 0) {
            ::close(turnFd);
            turnFd = -1;
        }
    }
    // WAL keeps readers and the writer apart and survives a crash at any point; NORMAL
    // synchronisation is durable in WAL mode up to the last checkpointed commit. Pages are read
    // through a memory map: a listing of 100,000 files visits its rows in index order, all over
    // the table, and reading each page with its own system call and copy cost more than the query.
    const bool ok = execScript(QStringLiteral("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                                              "PRAGMA foreign_keys=ON; PRAGMA temp_store=MEMORY; "
                                              "PRAGMA mmap_size=268435456;"));
    if (turnFd >= 0)
        ::close(turnFd); // closing the descriptor ends its lock
    if (!ok && error)
        *error = m_lastError;
    return ok;
}

void Database::close()
{
    unlockStartup();
    m_pg.reset();
    std::lock_guard lock(m_mutex);
    for (auto &[sql, stmt] : m_statements)
        sqlite3_finalize(stmt);
    m_statements.clear();
    if (m_db) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

sqlite3_stmt *Database::statement(const char *sql)
{
    auto it = m_statements.find(sql);
    if (it != m_statements.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        recordError(sql);
        return nullptr;
    }
    m_statements.emplace(sql, stmt);
    return stmt;
}

void Database::recordError(const char *sql)
{
    ++m_tx.errors;
    m_lastError = QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : "database not open");
    std::fprintf(stderr, "tolvar-server: SQL error: %s in: %s\n", m_lastError.toUtf8().constData(), sql);
}

static bool bindValue(sqlite3_stmt *stmt, int index, const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return sqlite3_bind_null(stmt, index) == SQLITE_OK;
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return sqlite3_bind_int64(stmt, index, value.toLongLong()) == SQLITE_OK;
    case QMetaType::Double:
        return sqlite3_bind_double(stmt, index, value.toDouble()) == SQLITE_OK;
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return sqlite3_bind_blob64(stmt, index, bytes.constData(), sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT) ==
               SQLITE_OK;
    }
    default: {
        const QByteArray text = value.toString().toUtf8();
        return sqlite3_bind_text64(stmt, index, text.constData(), sqlite3_uint64(text.size()), SQLITE_TRANSIENT,
                                   SQLITE_UTF8) == SQLITE_OK;
    }
    }
}

static QVariant columnValue(sqlite3_stmt *stmt, int column)
{
    switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_INTEGER:
        return QVariant(qlonglong(sqlite3_column_int64(stmt, column)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(stmt, column));
    case SQLITE_TEXT:
        return QVariant(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, column)),
                                          sqlite3_column_bytes(stmt, column)));
    case SQLITE_BLOB:
        return QVariant(QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, column)),
                                   sqlite3_column_bytes(stmt, column)));
    default:
        return QVariant();
    }
}

Database::Rows Database::query(const char *sql, const QVariantList &args, bool *ok)
{
    if (m_pg)
        return m_pg->query(sql, args, ok);
    Rows rows;
    const bool done = queryEach(sql, args, [&rows](const QVariantList &row) { rows.push_back(row); });
    if (!done)
        rows.clear();
    if (ok)
        *ok = done;
    return rows;
}

bool Database::queryEach(const char *sql, const QVariantList &args,
                         const std::function<void(const QVariantList &)> &each)
{
    if (m_pg) {
        bool ok = false;
        const Rows rows = m_pg->query(sql, args, &ok);
        for (const QVariantList &row : rows)
            each(row);
        return ok;
    }
    // One row's values at a time, in the same list: a large result never exists as a whole.
    QVariantList row;
    return queryRaw(sql, args, [&row, &each](const RawRow &raw) {
        if (row.isEmpty())
            row.resize(raw.columns());
        for (int c = 0; c < row.size(); ++c)
            row[c] = columnValue(raw.m_stmt, c);
        each(row);
    });
}

bool Database::queryRaw(const char *sql, const QVariantList &args, const std::function<void(const RawRow &)> &each)
{
    if (m_pg)
        return m_pg->queryRaw(sql, args, each);
    std::lock_guard lock(m_mutex);
    sqlite3_stmt *stmt = m_db ? statement(sql) : nullptr;
    if (!stmt) {
        if (!m_db)
            recordError(sql);
        return false;
    }
    for (int i = 0; i < args.size(); ++i) {
        if (!bindValue(stmt, i + 1, args.at(i))) {
            recordError(sql);
            return false;
        }
    }
    const RawRow row(stmt);
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            each(row);
        } else if (rc == SQLITE_DONE) {
            break;
        } else {
            recordError(sql);
            sqlite3_reset(stmt);
            return false;
        }
    }
    sqlite3_reset(stmt);
    return true;
}

QVariant Database::scalar(const char *sql, const QVariantList &args)
{
    const Rows rows = query(sql, args);
    if (rows.empty() || rows.front().isEmpty())
        return QVariant();
    return rows.front().front();
}

bool Database::exec(const char *sql, const QVariantList &args)
{
    bool ok = false;
    query(sql, args, &ok);
    return ok;
}

bool Database::execScript(const QString &sql)
{
    if (m_pg)
        return m_pg->execScript(sql);
    std::lock_guard lock(m_mutex);
    if (!m_db) {
        recordError("script");
        return false;
    }
    char *message = nullptr;
    const QByteArray text = sql.toUtf8();
    if (sqlite3_exec(m_db, text.constData(), nullptr, nullptr, &message) != SQLITE_OK) {
        ++m_tx.errors;
        m_lastError = QString::fromUtf8(message ? message : "script failed");
        std::fprintf(stderr, "tolvar-server: SQL error: %s\n", m_lastError.toUtf8().constData());
        sqlite3_free(message);
        return false;
    }
    return true;
}

qint64 Database::lastInsertId()
{
    if (m_pg)
        return m_pg->lastInsertId();
    std::lock_guard lock(m_mutex);
    return m_db ? sqlite3_last_insert_rowid(m_db) : 0;
}

int Database::changes()
{
    if (m_pg)
        return m_pg->changes();
    std::lock_guard lock(m_mutex);
    return m_db ? sqlite3_changes(m_db) : 0;
}

void Database::afterCommit(std::function<void()> action)
{
    if (inTransaction()) {
        std::lock_guard lock(m_mutex);
        txState().afterCommit.push_back(std::move(action));
        return;
    }
    action();
}

QString Database::lastError() const
{
    return m_pg ? m_pg->lastError() : m_lastError;
}

bool Database::lockForUpdate(const char *sql, const QVariantList &args)
{
    if (!m_pg || !inTransaction())
        return true;
    const std::string locking = std::string(sql) + " FOR UPDATE";
    return m_pg->exec(locking, args);
}

bool Database::transact(const std::function<bool()> &work)
{
    for (int attempt = 0;; ++attempt) {
        if (work())
            return true;
        // SQLite's writers exclude one another: its transactions neither deadlock nor conflict.
        if (!m_pg || attempt == ConflictRetries || inTransaction() || !txState().conflicted)
            return false;
    }
}

bool Database::inTransaction()
{
    if (m_pg)
        return m_pg->txState().depth > 0;
    std::lock_guard lock(m_mutex);
    return m_tx.depth > 0;
}

Database::TxState &Database::txState()
{
    return m_pg ? m_pg->txState() : m_tx;
}

bool Database::beginOuter()
{
    return m_pg ? m_pg->begin() : execScript(QStringLiteral("BEGIN IMMEDIATE"));
}

bool Database::endOuter(bool commit)
{
    if (m_pg)
        return m_pg->finish(commit);
    if (execScript(commit ? QStringLiteral("COMMIT") : QStringLiteral("ROLLBACK")))
        return true;
    // A COMMIT that failed (the database busy) leaves the transaction open.
    if (commit)
        execScript(QStringLiteral("ROLLBACK"));
    return false;
}

bool Database::lockStartup(QString *error)
{
    const QString lockFile = m_path + QStringLiteral(".start-lock");
    if (m_pg)
        return m_pg->lockStartup(error);
    if (m_startupLockFd >= 0)
        return true;
    const int fd = ::open(lockFile.toUtf8().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
        if (fd >= 0)
            ::close(fd);
        *error = QStringLiteral("cannot lock %1").arg(lockFile);
        return false;
    }
    m_startupLockFd = fd;
    return true;
}

void Database::unlockStartup()
{
    if (m_pg)
        m_pg->unlockStartup();
    if (m_startupLockFd >= 0) {
        ::close(m_startupLockFd); // closing the descriptor ends its lock
        m_startupLockFd = -1;
    }
}

} // namespace tvr::server
