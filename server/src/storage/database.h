#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tvr::server {

// One SQLite connection (WAL mode) shared by all request threads. Every call takes the
// connection's lock, so statements never interleave; a Transaction holds the lock for its whole
// life. Statements are prepared once and cached by their SQL text; values are always bound,
// never spliced into SQL.
class Database final
{
public:
    using Rows = std::vector<QVariantList>;

    Database() = default;
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    bool open(const QString &path, QString *error);
    void close();

    // Runs one statement with positional arguments (?1, ?2 ... or ?). Integers come back as
    // qlonglong, text as QString, blobs as QByteArray, NULL as an invalid QVariant.
    Rows query(const char *sql, const QVariantList &args = {}, bool *ok = nullptr);
    // The first column of the first row, or an invalid QVariant when there is no row.
    QVariant scalar(const char *sql, const QVariantList &args = {});
    // Runs a statement for its effect; false on error (the error is counted, see Transaction).
    bool exec(const char *sql, const QVariantList &args = {});
    // Runs several statements separated by ';' without arguments (schema migrations).
    bool execScript(const QString &sql);

    // Runs `action` once the open transaction of this thread commits (dropped if it rolls
    // back); at once when none is open.
    void afterCommit(std::function<void()> action);

    qint64 lastInsertId();
    int changes();
    QString lastError() const { return m_lastError; }

    std::recursive_mutex &mutex() { return m_mutex; }

private:
    friend class Transaction;

    sqlite3_stmt *statement(const char *sql);
    void recordError(const char *sql);

    sqlite3 *m_db = nullptr;
    std::recursive_mutex m_mutex;
    std::map<std::string, sqlite3_stmt *> m_statements;
    QString m_lastError;
    quint64 m_errorCount = 0;                         // grows on every failed statement; a transaction compares it
    int m_depth = 0;                                  // open transactions on the thread that holds the lock
    std::vector<std::function<void()>> m_afterCommit; // queued by open transactions
};

} // namespace tvr::server
