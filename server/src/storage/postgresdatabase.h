#pragma once

#include "storage/database.h"
#include "storage/sqldialect.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct pg_conn;
typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

namespace tvr::server {

// Database's PostgreSQL side (through libpq): a pool of connections, each used by one thread at
// a time. A statement outside a transaction borrows an idle connection (or opens one) and gives
// it back; a transaction keeps its connection pinned to its thread from BEGIN to its end.
// Values go as parameters: integers as int8, text untyped (the server infers the column's
// type, as SQLite's loose typing allowed), bytes as binary bytea. Results come back typed as
// SQLite's do: integers (any width, count(*), integral sums) as qlonglong, bytea as QByteArray.
class PostgresDatabase final
{
public:
    explicit PostgresDatabase(QByteArray conninfo);
    ~PostgresDatabase();
    PostgresDatabase(const PostgresDatabase &) = delete;
    PostgresDatabase &operator=(const PostgresDatabase &) = delete;

    bool open(QString *error);

    Database::Rows query(const char *sql, const QVariantList &args, bool *ok);
    // Each row of the result read in place; the result is still received whole from the server.
    bool queryRaw(const char *sql, const QVariantList &args, const std::function<void(const RawRow &)> &each);
    bool exec(const std::string &sql, const QVariantList &args);
    bool execScript(const QString &sql);
    qint64 lastInsertId();
    int changes();
    QString lastError() const;

    Database::TxState &txState();
    bool begin();
    bool finish(bool commit);

    bool lockStartup(QString *error);
    void unlockStartup();

    // Connections kept open while idle; more are opened while more threads need one at once.
    static constexpr size_t MaxIdle = 8;

private:
    struct Session
    {
        PGconn *pinned = nullptr; // the connection of the thread's open transaction
        Database::TxState tx;
        qint64 lastInsertId = 0;
        int changes = 0;
    };

    bool run(const char *sql, const QVariantList &args, const std::function<void(const PGresult *, bool)> &tuples);
    Session &session();
    PGconn *acquire(QString *error);
    void release(PGconn *conn);
    const SqlDialect::Postgres &translated(const char *sql);
    void refreshIdentityTables(PGconn *conn);
    void recordError(const QString &message, const char *sql, bool quiet = false);

    QByteArray m_conninfo;
    std::mutex m_poolMutex;
    std::vector<PGconn *> m_idle;
    std::mutex m_sessionMutex;
    std::unordered_map<std::thread::id, Session> m_sessions;
    std::mutex m_schemaMutex;
    QSet<QString> m_identityTables;
    std::unordered_map<std::string, SqlDialect::Postgres> m_translations;
    mutable std::mutex m_errorMutex;
    QString m_lastError;
    PGconn *m_startupLock = nullptr;
};

} // namespace tvr::server
