#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

namespace tvr::server {

// The few places where the SQL the areas write (SQLite's spelling) and PostgreSQL's differ,
// rewritten once per statement text. Areas write the common subset; only these remain:
// - placeholders: ?N becomes $N (a bare ? takes the next number, as in SQLite);
// - types: INTEGER becomes BIGINT (sizes and seconds exceed 32 bits), BLOB becomes BYTEA,
//   "INTEGER PRIMARY KEY AUTOINCREMENT" becomes a BIGINT identity column;
// - COLLATE NOCASE becomes COLLATE tvr_nocase (a case-insensitive ICU collation);
// - an INSERT into a table with an identity id gains "RETURNING id", which is how
//   lastInsertId() learns the new row's id.
// Text inside quotes is never touched.
class SqlDialect final
{
public:
    struct Postgres
    {
        QByteArray sql;
        bool returnsInsertId = false; // "RETURNING id" was added: its row is the new id, not a result
    };

    // identityTables: tables whose "id" is an identity column (see IdentityTablesQuery).
    static Postgres toPostgres(const char *sql, const QSet<QString> &identityTables);

    // The table an INSERT writes to (lower case), or empty when the statement is no INSERT.
    static QString insertTarget(const QByteArray &sql);

    static constexpr const char *IdentityTablesQuery =
        "SELECT table_name FROM information_schema.columns WHERE table_schema = current_schema() "
        "AND column_name = 'id' AND is_identity = 'YES'";
    static constexpr const char *CaseInsensitiveCollation =
        "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_collation WHERE collname = 'tvr_nocase') THEN "
        "CREATE COLLATION tvr_nocase (provider = icu, locale = 'und-u-ks-level2', deterministic = false); "
        "END IF; END $$";
};

} // namespace tvr::server
