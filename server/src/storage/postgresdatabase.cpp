#include "storage/postgresdatabase.h"

#include <QRegularExpression>
#include <cstdio>
#include <libpq-fe.h>

namespace tvr::server {

namespace {

// A deadlock's victim (40P01) or a transaction that could not be serialised (40001): running it
// again from its start may well succeed.
bool isConflict(const char *sqlState)
{
    return sqlState && (qstrcmp(sqlState, "40001") == 0 || qstrcmp(sqlState, "40P01") == 0);
}

// Type OIDs of the built-in types (pg_type.h is not part of the client library's headers).
constexpr Oid BoolOid = 16;
constexpr Oid ByteaOid = 17;
constexpr Oid Int8Oid = 20;
constexpr Oid Int2Oid = 21;
constexpr Oid Int4Oid = 23;
constexpr Oid OidOid = 26;
constexpr Oid Float4Oid = 700;
constexpr Oid Float8Oid = 701;
constexpr Oid NumericOid = 1700;

// The key of the advisory lock that serialises servers starting on one database.
constexpr long long StartupLockKey = 0x746f6c766172; // "tolvar"

void ignoreNotice(void *, const char *) {}

struct Parameters
{
    std::vector<QByteArray> storage;
    std::vector<Oid> types;
    std::vector<const char *> values;
    std::vector<int> lengths;
    std::vector<int> formats;

    explicit Parameters(const QVariantList &args)
    {
        const size_t n = size_t(args.size());
        storage.resize(n);
        types.resize(n, 0);
        values.resize(n, nullptr);
        lengths.resize(n, 0);
        formats.resize(n, 0);
        for (size_t i = 0; i < n; ++i) {
            const QVariant &value = args.at(qsizetype(i));
            if (!value.isValid() || value.isNull())
                continue;
            switch (value.typeId()) {
            case QMetaType::Bool:
            case QMetaType::Int:
            case QMetaType::UInt:
            case QMetaType::Long:
            case QMetaType::LongLong:
            case QMetaType::ULongLong:
                storage[i] = QByteArray::number(value.toLongLong());
                types[i] = Int8Oid;
                break;
            case QMetaType::Double:
                storage[i] = QByteArray::number(value.toDouble(), 'g', 17);
                types[i] = Float8Oid;
                break;
            case QMetaType::QByteArray:
                storage[i] = value.toByteArray();
                types[i] = ByteaOid;
                formats[i] = 1;
                break;
            default:
                storage[i] = value.toString().toUtf8();
                break;
            }
            values[i] = storage[i].constData();
            lengths[i] = int(storage[i].size());
        }
    }
};

QVariant columnValue(const PGresult *result, int row, int column)
{
    if (PQgetisnull(result, row, column))
        return QVariant();
    const char *text = PQgetvalue(result, row, column);
    const int length = PQgetlength(result, row, column);
    switch (PQftype(result, column)) {
    case Int8Oid:
    case Int4Oid:
    case Int2Oid:
    case OidOid:
        return QVariant(qlonglong(QByteArray::fromRawData(text, length).toLongLong()));
    case BoolOid:
        return QVariant(qlonglong(text[0] == 't' ? 1 : 0));
    case NumericOid: {
        // Sums of integer columns are numeric: whole ones come back as integers, like SQLite's.
        const QByteArray number(text, length);
        if (!number.contains('.') && !number.contains('e') && !number.contains('N'))
            return QVariant(qlonglong(number.toLongLong()));
        return QVariant(number.toDouble());
    }
    case Float4Oid:
    case Float8Oid:
        return QVariant(QByteArray(text, length).toDouble());
    case ByteaOid: {
        // Text results spell bytea as "\x" and hex digits.
        const QByteArray hex = QByteArray::fromRawData(text, length);
        return QVariant(QByteArray::fromHex(hex.startsWith("\\x") ? hex.mid(2) : hex));
    }
    default:
        return QVariant(QString::fromUtf8(text, length));
    }
}

bool isSchemaChange(const QString &sql)
{
    static const QRegularExpression ddl(QStringLiteral("\\b(CREATE|ALTER|DROP)\\s+TABLE\\b"),
                                        QRegularExpression::CaseInsensitiveOption);
    return sql.contains(ddl);
}

} // namespace

PostgresDatabase::PostgresDatabase(QByteArray conninfo)
    : m_conninfo(std::move(conninfo))
{}

PostgresDatabase::~PostgresDatabase()
{
    unlockStartup();
    std::lock_guard lock(m_poolMutex);
    for (PGconn *conn : m_idle)
        PQfinish(conn);
    m_idle.clear();
    std::lock_guard sessions(m_sessionMutex);
    for (auto &[thread, session] : m_sessions) {
        if (session.pinned)
            PQfinish(session.pinned);
    }
}

bool PostgresDatabase::open(QString *error)
{
    PGconn *conn = acquire(error);
    if (!conn)
        return false;
    refreshIdentityTables(conn);
    release(conn);
    return true;
}

PostgresDatabase::Session &PostgresDatabase::session()
{
    std::lock_guard lock(m_sessionMutex);
    // Elements of an unordered_map keep their address while others are added.
    return m_sessions[std::this_thread::get_id()];
}

Database::TxState &PostgresDatabase::txState()
{
    return session().tx;
}

PGconn *PostgresDatabase::acquire(QString *error)
{
    {
        std::lock_guard lock(m_poolMutex);
        if (!m_idle.empty()) {
            PGconn *conn = m_idle.back();
            m_idle.pop_back();
            return conn;
        }
    }
    PGconn *conn = PQconnectdb(m_conninfo.constData());
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        if (error)
            *error = QStringLiteral("cannot connect to PostgreSQL: %1")
                         .arg(QString::fromUtf8(conn ? PQerrorMessage(conn) : "out of memory").trimmed());
        PQfinish(conn);
        return nullptr;
    }
    PQsetNoticeProcessor(conn, ignoreNotice, nullptr);
    PQsetClientEncoding(conn, "UTF8");
    return conn;
}

void PostgresDatabase::release(PGconn *conn)
{
    if (!conn)
        return;
    // Only a healthy connection outside any transaction goes back to the pool.
    if (PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_IDLE) {
        std::lock_guard lock(m_poolMutex);
        if (m_idle.size() < MaxIdle) {
            m_idle.push_back(conn);
            return;
        }
    }
    PQfinish(conn);
}

void PostgresDatabase::refreshIdentityTables(PGconn *conn)
{
    PGresult *result = PQexec(conn, SqlDialect::IdentityTablesQuery);
    QSet<QString> tables;
    if (PQresultStatus(result) == PGRES_TUPLES_OK) {
        for (int row = 0; row < PQntuples(result); ++row)
            tables.insert(QString::fromUtf8(PQgetvalue(result, row, 0)));
    }
    PQclear(result);
    std::lock_guard lock(m_schemaMutex);
    if (tables != m_identityTables) {
        m_identityTables = tables;
        m_translations.clear();
    }
}

const SqlDialect::Postgres &PostgresDatabase::translated(const char *sql)
{
    std::lock_guard lock(m_schemaMutex);
    auto it = m_translations.find(sql);
    if (it == m_translations.end())
        it = m_translations.emplace(sql, SqlDialect::toPostgres(sql, m_identityTables)).first;
    return it->second;
}

void PostgresDatabase::recordError(const QString &message, const char *sql, bool quiet)
{
    ++session().tx.errors;
    {
        std::lock_guard lock(m_errorMutex);
        m_lastError = message;
    }
    if (!quiet)
        std::fprintf(stderr, "tolvar-server: SQL error: %s in: %s\n", message.toUtf8().constData(), sql);
}

QString PostgresDatabase::lastError() const
{
    std::lock_guard lock(m_errorMutex);
    return m_lastError;
}

Database::Rows PostgresDatabase::query(const char *sql, const QVariantList &args, bool *ok)
{
    Database::Rows rows;
    const bool done = run(sql, args, [&rows](const PGresult *result, bool returnsInsertId) {
        if (returnsInsertId)
            return;
        const int count = PQntuples(result);
        const int columns = PQnfields(result);
        rows.reserve(size_t(count));
        for (int r = 0; r < count; ++r) {
            QVariantList row;
            row.reserve(columns);
            for (int c = 0; c < columns; ++c)
                row.append(columnValue(result, r, c));
            rows.push_back(std::move(row));
        }
    });
    if (!done)
        rows.clear();
    if (ok)
        *ok = done;
    return rows;
}

bool PostgresDatabase::queryRaw(const char *sql, const QVariantList &args,
                                const std::function<void(const RawRow &)> &each)
{
    return run(sql, args, [&each](const PGresult *result, bool returnsInsertId) {
        if (returnsInsertId)
            return;
        const int count = PQntuples(result);
        for (int r = 0; r < count; ++r)
            each(RawRow(result, r));
    });
}

bool PostgresDatabase::run(const char *sql, const QVariantList &args,
                           const std::function<void(const PGresult *, bool)> &tuples)
{
    bool ok = false;
    Session &own = session();
    PGconn *conn = own.pinned;
    bool borrowed = conn == nullptr;
    if (borrowed) {
        QString error;
        conn = acquire(&error);
        if (!conn) {
            recordError(error, sql);
            return false;
        }
    }
    // Copied: the cache may be cleared by another thread once the lock is let go.
    const SqlDialect::Postgres statement = translated(sql);
    const Parameters params(args);
    PGresult *result = PQexecParams(conn, statement.sql.constData(), int(args.size()), params.types.data(),
                                    params.values.data(), params.lengths.data(), params.formats.data(), 0);
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
        own.changes = QByteArray(PQcmdTuples(result)).toInt();
        const int count = PQntuples(result);
        if (statement.returnsInsertId && count > 0)
            own.lastInsertId = QByteArray(PQgetvalue(result, count - 1, 0)).toLongLong();
        // The connection goes back to the pool first, so that a long reader holds none.
        if (borrowed) {
            release(conn);
            borrowed = false;
        }
        tuples(result, statement.returnsInsertId);
        ok = true;
    } else {
        // Statements after a failed one in the same transaction fail too; only the first speaks.
        const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        const bool aborted = state && qstrcmp(state, "25P02") == 0;
        if (own.pinned && isConflict(state))
            own.tx.conflicted = true;
        recordError(QString::fromUtf8(PQerrorMessage(conn)).trimmed(), sql, aborted);
    }
    PQclear(result);
    if (borrowed)
        release(conn);
    return ok;
}

bool PostgresDatabase::exec(const std::string &sql, const QVariantList &args)
{
    bool ok = false;
    query(sql.c_str(), args, &ok);
    return ok;
}

bool PostgresDatabase::execScript(const QString &sql)
{
    Session &own = session();
    PGconn *conn = own.pinned;
    const bool borrowed = conn == nullptr;
    QString error;
    if (borrowed && !(conn = acquire(&error))) {
        recordError(error, "script");
        return false;
    }
    const QByteArray text = sql.toUtf8();
    // Scripts are schema steps and transaction control: no INSERT of theirs needs its id.
    const SqlDialect::Postgres script = SqlDialect::toPostgres(text.constData(), {});
    PGresult *result = PQexec(conn, script.sql.constData());
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok)
        recordError(QString::fromUtf8(PQerrorMessage(conn)).trimmed(), text.constData());
    PQclear(result);
    if (ok && isSchemaChange(sql))
        refreshIdentityTables(conn);
    if (borrowed)
        release(conn);
    return ok;
}

qint64 PostgresDatabase::lastInsertId()
{
    return session().lastInsertId;
}

int PostgresDatabase::changes()
{
    return session().changes;
}

bool PostgresDatabase::begin()
{
    Session &own = session();
    QString error;
    own.tx.conflicted = false;
    if (!own.pinned && !(own.pinned = acquire(&error))) {
        recordError(error, "BEGIN");
        return false;
    }
    if (execScript(QStringLiteral("BEGIN")))
        return true;
    release(own.pinned);
    own.pinned = nullptr;
    return false;
}

bool PostgresDatabase::finish(bool commit)
{
    Session &own = session();
    PGconn *conn = own.pinned;
    if (!conn)
        return false;
    own.pinned = nullptr;
    PGresult *result = PQexec(conn, commit ? "COMMIT" : "ROLLBACK");
    // A COMMIT of a transaction that had failed answers "ROLLBACK": nothing was written.
    bool ok =
        PQresultStatus(result) == PGRES_COMMAND_OK && qstrcmp(PQcmdStatus(result), commit ? "COMMIT" : "ROLLBACK") == 0;
    if (!ok && commit) {
        // Serializable transactions may learn of their conflict only here.
        if (isConflict(PQresultErrorField(result, PG_DIAG_SQLSTATE)))
            own.tx.conflicted = true;
        recordError(QString::fromUtf8(PQerrorMessage(conn)).trimmed(), "COMMIT");
    }
    PQclear(result);
    if (PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) != PQTRANS_IDLE) {
        PQclear(PQexec(conn, "ROLLBACK"));
        ok = false;
    }
    release(conn);
    return ok;
}

bool PostgresDatabase::lockStartup(QString *error)
{
    if (m_startupLock)
        return true;
    PGconn *conn = acquire(error);
    if (!conn)
        return false;
    const QByteArray sql = "SELECT pg_advisory_lock(" + QByteArray::number(StartupLockKey) + ")";
    PGresult *result = PQexec(conn, sql.constData());
    const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
    if (!ok)
        *error = QStringLiteral("cannot lock the database for start-up: %1")
                     .arg(QString::fromUtf8(PQerrorMessage(conn)).trimmed());
    PQclear(result);
    if (!ok) {
        PQfinish(conn);
        return false;
    }
    m_startupLock = conn;
    return true;
}

void PostgresDatabase::unlockStartup()
{
    // The lock belongs to the session: ending the connection ends it.
    if (m_startupLock) {
        PQfinish(m_startupLock);
        m_startupLock = nullptr;
    }
}

} // namespace tvr::server
