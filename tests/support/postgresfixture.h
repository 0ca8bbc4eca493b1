#pragma once

#include <QString>
#include <QStringList>

// A PostgreSQL 15 cluster of the test process's own (initdb and pg_ctl from
// /usr/lib/postgresql/15/bin) in a temporary folder: it listens only on a Unix socket in that
// folder, never on TCP, and trades durability for speed (fsync, full-page writes and
// synchronous commit off). It starts on first use and is stopped and removed when the process
// ends; a watchdog removes it too if the process dies first. As root (initdb refuses root) the
// cluster runs as the "postgres" account through runuser.
//
// Every test server gets a database of its own: createDatabase() answers a connection string
// for tolvar-server --database.
class PostgresFixture final
{
public:
    // The process's cluster, started on first use; nullptr (and a reason) when it cannot start.
    static PostgresFixture *shared(QString *error);
    // True when the environment asks for the server tests to run on PostgreSQL
    // (TVR_TEST_DATABASE=postgresql).
    static bool requested();

    // A new, empty database; its connection string, or empty (and a reason).
    QString createDatabase(QString *error);
    // Drops a database createDatabase() made (its connections are ended first).
    bool dropDatabase(const QString &connection);
    // Runs one statement in a database (for checks a test makes); "" on error, else the first
    // column of the first row ("" too when there is none).
    QString scalar(const QString &connection, const QString &sql, bool *ok = nullptr);

    QString socketDir() const { return m_root; }

    ~PostgresFixture();
    PostgresFixture(const PostgresFixture &) = delete;
    PostgresFixture &operator=(const PostgresFixture &) = delete;

private:
    PostgresFixture() = default;
    bool start(QString *error);
    void stop();
    QString connectionFor(const QString &database) const;
    int run(const QStringList &command, QString *output = nullptr) const;

    QString m_root; // the temporary folder: the socket, data/ and the log
    bool m_asPostgres = false;
    bool m_running = false;
    int m_next = 0;
};
