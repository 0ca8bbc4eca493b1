#include "storage/rawrow.h"

#include <charconv>
#include <libpq-fe.h>
#include <sqlite3.h>

namespace tvr::server {

int RawRow::columns() const
{
    return m_stmt ? sqlite3_column_count(m_stmt) : PQnfields(m_result);
}

bool RawRow::isNull(int column) const
{
    if (m_stmt)
        return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
    return PQgetisnull(m_result, m_row, column) != 0;
}

qint64 RawRow::integer(int column) const
{
    if (m_stmt)
        return sqlite3_column_int64(m_stmt, column);
    if (PQgetisnull(m_result, m_row, column))
        return 0;
    // PostgreSQL's text results spell integers in decimal and booleans as t/f.
    const char *text = PQgetvalue(m_result, m_row, column);
    const int length = PQgetlength(m_result, m_row, column);
    if (length == 1 && (text[0] == 't' || text[0] == 'f'))
        return text[0] == 't' ? 1 : 0;
    qint64 value = 0;
    std::from_chars(text, text + length, value);
    return value;
}

QByteArrayView RawRow::text(int column) const
{
    if (m_stmt) {
        // The text pointer first: asking for the length first could measure another encoding.
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
        return data ? QByteArrayView(data, sqlite3_column_bytes(m_stmt, column)) : QByteArrayView();
    }
    if (PQgetisnull(m_result, m_row, column))
        return {};
    return QByteArrayView(PQgetvalue(m_result, m_row, column), PQgetlength(m_result, m_row, column));
}

} // namespace tvr::server
