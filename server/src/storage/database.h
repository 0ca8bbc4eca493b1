#pragma once

#include "storage/rawrow.h"

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tvr::server {

class PostgresDatabase;

// The server's database: SQLite (one connection in WAL mode shared by all request threads) or
// PostgreSQL (a pool of connections, one per thread at a time). Areas write SQL once, in
// SQLite's spelling of the common subset (see SqlDialect for what is rewritten for PostgreSQL).
//
// SQLite: every call takes the connection's lock, so statements never interleave; a Transaction
// holds the lock for its whole life. PostgreSQL: a statement outside a transaction borrows a
// connection for itself; a Transaction keeps one connection for its thread until it ends, and
// other threads go on with other connections (rows a transaction must see unchanged are locked
// with lockForUpdate). Statements are prepared with bound values, never spliced into SQL.
class Database final
{
public:
    using Rows = std::vector<QVariantList>;
    enum class Dialect { SQLite, PostgreSQL };

    // What the open transactions of one thread (SQLite: of the lock holder) share.
    struct TxState
    {
        int depth = 0;                                  // open transactions
        quint64 errors = 0;                             // grows on every failed statement; a transaction compares it
        std::vector<std::function<void()>> afterCommit; // queued by open transactions
        bool conflicted = false; // the outermost one ended as a deadlock's victim or unserialisable
    };

    // Further runs of a transaction that PostgreSQL ended for a deadlock or a serialisation failure.
    static constexpr int ConflictRetries = 4;

    Database();
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // `location`: "sqlite:PATH", a PostgreSQL connection string ("postgresql://USER@HOST:PORT/DB",
    // "postgresql:///DB?host=/socket/dir") or a plain file path (SQLite).
    bool open(const QString &location, QString *error);
    void close();
    Dialect dialect() const { return m_pg ? Dialect::PostgreSQL : Dialect::SQLite; }
    bool isPostgres() const { return m_pg != nullptr; }

    // Runs one statement with positional arguments (?1, ?2 ... or ?). Integers come back as
    // qlonglong, text as QString, blobs as QByteArray, NULL as an invalid QVariant.
    Rows query(const char *sql, const QVariantList &args = {}, bool *ok = nullptr);
    // The same, handing each row to `each` as it is read instead of keeping them all (a listing
    // of 100,000 files). `each` must not use the database. False on error, possibly after rows
    // were handed over.
    bool queryEach(const char *sql, const QVariantList &args, const std::function<void(const QVariantList &)> &each);
    // The same again with each row read in place (see RawRow), for answers where converting every
    // column into a QVariant would cost more than the rest of the work.
    bool queryRaw(const char *sql, const QVariantList &args, const std::function<void(const RawRow &)> &each);
    // The first column of the first row, or an invalid QVariant when there is no row.
    QVariant scalar(const char *sql, const QVariantList &args = {});
    // Runs a statement for its effect; false on error (the error is counted, see Transaction).
    bool exec(const char *sql, const QVariantList &args = {});
    // Runs several statements separated by ';' without arguments (schema migrations).
    bool execScript(const QString &sql);

    // Runs `work`, which opens an outermost Transaction and answers whether it committed. When
    // PostgreSQL ended that transaction as the victim of a deadlock (SQLSTATE 40P01) or could
    // not serialise it (40001), `work` runs again from its start, up to ConflictRetries times
    // more: the other transaction has finished by then, so a new attempt sees what it wrote.
    // Any other failure is answered at once. Inside an open transaction it runs `work` once: the
    // outermost level retries. Answers what the last run of `work` answered.
    bool transact(const std::function<bool()> &work);

    // Runs `action` once the open transaction of this thread commits (dropped if it rolls
    // back); at once when none is open.
    void afterCommit(std::function<void()> action);

    // The id of the row the calling thread inserted last (into a table whose id is
    // "INTEGER PRIMARY KEY AUTOINCREMENT") and the rows its last statement changed.
    qint64 lastInsertId();
    int changes();
    QString lastError() const;

    // Locks the rows a SELECT finds until the calling thread's transaction ends, so that a check
    // and the write that follows it cannot interleave with another instance's (PostgreSQL:
    // SELECT ... FOR UPDATE). Outside a transaction, and on SQLite (whose transactions already
    // exclude every other writer), there is nothing to lock and nothing is run.
    bool lockForUpdate(const char *sql, const QVariantList &args);
    // True while the calling thread has a Transaction open.
    bool inTransaction();
    // Held by whoever reads or writes state kept in memory beside the database (the quota
    // ledger). SQLite: also the connection's lock. Take it after lockForUpdate, never before.
    std::recursive_mutex &mutex() { return m_mutex; }

    // Serialises the start-up of several servers on one database (migrations, demo data):
    // PostgreSQL: a session-level advisory lock; SQLite: an exclusive lock on a file beside the
    // database ("tolvar.db.start-lock").
    bool lockStartup(QString *error);
    void unlockStartup();

private:
    friend class Transaction;

    bool openSqlite(const QString &path, QString *error);
    sqlite3_stmt *statement(const char *sql);
    void recordError(const char *sql);
    TxState &txState();
    bool beginOuter();
    bool endOuter(bool commit);

    sqlite3 *m_db = nullptr;
    std::unique_ptr<PostgresDatabase> m_pg;
    std::recursive_mutex m_mutex;
    std::map<std::string, sqlite3_stmt *> m_statements;
    QString m_lastError;
    TxState m_tx;   // SQLite's (one connection, guarded by m_mutex)
    QString m_path; // SQLite's file
    int m_startupLockFd = -1;
};

} // namespace tvr::server
