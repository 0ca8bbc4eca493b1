#pragma once

#include <QByteArrayView>
#include <QtGlobal>

struct sqlite3_stmt;
struct pg_result;

namespace tvr::server {

// One result row read in place, without a QVariant per column: integers as they are stored,
// text as the database's own UTF-8 bytes. Valid only inside the callback that receives it, and
// the bytes of text() only until the next row. For answers of many rows (a listing of 100,000
// files), where converting every column is most of the cost.
class RawRow final
{
public:
    int columns() const;
    bool isNull(int column) const;
    // 0 for NULL, as QVariant::toLongLong() answers for one.
    qint64 integer(int column) const;
    // Empty for NULL; an integer column as its decimal text.
    QByteArrayView text(int column) const;

private:
    friend class Database;
    friend class PostgresDatabase;
    explicit RawRow(sqlite3_stmt *stmt)
        : m_stmt(stmt)
    {}
    RawRow(const pg_result *result, int row)
        : m_result(result)
        , m_row(row)
    {}

    sqlite3_stmt *m_stmt = nullptr;
    const pg_result *m_result = nullptr;
    int m_row = 0;
};

} // namespace tvr::server
