#include "postgresfixture.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QUrl>
#include <fcntl.h>
#include <libpq-fe.h>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

QString binDir()
{
    return qEnvironmentVariable("TVR_PG_BIN", QStringLiteral("/usr/lib/postgresql/15/bin"));
}

// A database name from a connection string made by connectionFor().
QString databaseOf(const QString &connection)
{
    return QUrl(connection).path().mid(1);
}

} // namespace

bool PostgresFixture::requested()
{
    return qEnvironmentVariable("TVR_TEST_DATABASE") == QLatin1String("postgresql");
}

PostgresFixture *PostgresFixture::shared(QString *error)
{
    static std::mutex mutex;
    static std::unique_ptr<PostgresFixture> fixture;
    static QString failure;
    std::lock_guard lock(mutex);
    if (!fixture && failure.isEmpty()) {
        std::unique_ptr<PostgresFixture> fresh(new PostgresFixture());
        if (fresh->start(&failure))
            fixture = std::move(fresh);
    }
    if (!fixture && error)
        *error = failure;
    return fixture.get();
}

PostgresFixture::~PostgresFixture()
{
    stop();
}

// Runs a program (as "postgres" when the cluster belongs to it) with its output appended to
// setup.log in the cluster's folder; its exit code, -1 when it could not run.
int PostgresFixture::run(const QStringList &command, QString *output) const
{
    QStringList full = command;
    if (m_asPostgres)
        full = QStringList{QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("postgres"),
                           QStringLiteral("--")} +
               command;
    std::vector<QByteArray> storage;
    for (const QString &part : full)
        storage.push_back(part.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &part : storage)
        argv.push_back(part.data());
    argv.push_back(nullptr);
    const QByteArray logPath = QDir(m_root).filePath(QStringLiteral("setup.log")).toLocal8Bit();
    const QByteArray root = m_root.toLocal8Bit();
    const qint64 logStart = QFileInfo(QString::fromLocal8Bit(logPath)).size();

    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int log = ::open(logPath.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, 0);
        if (::chdir(root.constData()) != 0)
            ::_exit(126);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output) {
        QFile log(QString::fromLocal8Bit(logPath));
        if (log.open(QIODevice::ReadOnly) && log.seek(qMax<qint64>(0, logStart)))
            *output = QString::fromLocal8Bit(log.readAll()).trimmed();
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PostgresFixture::start(QString *error)
{
    // A short path: a Unix socket's path is limited to about a hundred bytes.
    QByteArray pattern = "/tmp/tvr-pg-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        *error = QStringLiteral("cannot create a folder for PostgreSQL");
        return false;
    }
    m_root = QString::fromLocal8Bit(pattern);
    if (::geteuid() == 0) {
        const passwd *account = ::getpwnam("postgres");
        if (!account || ::chown(pattern.constData(), account->pw_uid, account->pw_gid) != 0) {
            *error = QStringLiteral("PostgreSQL refuses root and there is no postgres account to run it as");
            QDir(m_root).removeRecursively();
            return false;
        }
        m_asPostgres = true;
    }
    const QString bin = binDir();
    const QString data = QDir(m_root).filePath(QStringLiteral("data"));
    QString output;
    if (run({bin + QStringLiteral("/initdb"), QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("tvr"),
             QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
             QStringLiteral("-N")},
            &output) != 0) {
        *error = QStringLiteral("initdb failed: %1").arg(output.right(2000));
        QDir(m_root).removeRecursively();
        return false;
    }
    // No TCP at all: the socket in the folder is the only way in.
    const QString options = QStringLiteral("-c listen_addresses='' -k %1 -c fsync=off -c full_page_writes=off "
                                           "-c synchronous_commit=off -c max_connections=400")
                                .arg(m_root);
    if (run({bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), data, QStringLiteral("-l"),
             QDir(m_root).filePath(QStringLiteral("server.log")), QStringLiteral("-w"), QStringLiteral("-t"),
             QStringLiteral("60"), QStringLiteral("-o"), options, QStringLiteral("start")},
            &output) != 0) {
        QFile log(QDir(m_root).filePath(QStringLiteral("server.log")));
        log.open(QIODevice::ReadOnly);
        *error = QStringLiteral("pg_ctl start failed: %1 %2").arg(output, QString::fromLocal8Bit(log.readAll()));
        QDir(m_root).removeRecursively();
        return false;
    }
    m_running = true;

    // Should this process die without stopping the cluster, a watchdog does: it waits for the
    // end of a pipe only this process holds (close-on-exec keeps it out of the servers).
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
        const QByteArray stopCommand =
            QStringLiteral("read _; %1 %2/pg_ctl -D %3 -m immediate stop; rm -rf %4")
                .arg(m_asPostgres ? QStringLiteral("runuser -u postgres --") : QString(), bin, data, m_root)
                .toLocal8Bit();
        const pid_t watchdog = ::fork();
        if (watchdog == 0) {
            ::setsid();
            ::dup2(fds[0], 0);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/bin/sh", "sh", "-c", stopCommand.constData(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(fds[0]); // the write end stays open (and unclosed) until the process ends
    }
    return true;
}

void PostgresFixture::stop()
{
    if (m_root.isEmpty())
        return;
    if (m_running) {
        run({binDir() + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), QDir(m_root).filePath(QStringLiteral("data")),
             QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("stop")});
        m_running = false;
    }
    QDir(m_root).removeRecursively();
    m_root.clear();
}

QString PostgresFixture::connectionFor(const QString &database) const
{
    return QStringLiteral("postgresql:///%1?host=%2&user=tvr").arg(database, m_root);
}

QString PostgresFixture::scalar(const QString &connection, const QString &sql, bool *ok)
{
    if (ok)
        *ok = false;
    PGconn *conn = PQconnectdb(connection.toUtf8().constData());
    QString value;
    if (PQstatus(conn) == CONNECTION_OK) {
        PGresult *result = PQexec(conn, sql.toUtf8().constData());
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
            if (ok)
                *ok = true;
            if (PQntuples(result) > 0 && PQnfields(result) > 0)
                value = QString::fromUtf8(PQgetvalue(result, 0, 0));
        } else {
            qWarning("PostgreSQL: %s", PQerrorMessage(conn));
        }
        PQclear(result);
    } else {
        qWarning("PostgreSQL: %s", PQerrorMessage(conn));
    }
    PQfinish(conn);
    return value;
}

QString PostgresFixture::createDatabase(QString *error)
{
    const QString name = QStringLiteral("tvr_%1_%2").arg(::getpid()).arg(++m_next);
    bool ok = false;
    scalar(connectionFor(QStringLiteral("postgres")), QStringLiteral("CREATE DATABASE %1").arg(name), &ok);
    if (!ok) {
        if (error)
            *error = QStringLiteral("cannot create the database %1").arg(name);
        return {};
    }
    return connectionFor(name);
}

bool PostgresFixture::dropDatabase(const QString &connection)
{
    const QString name = databaseOf(connection);
    if (!name.startsWith(QLatin1String("tvr_")))
        return false;
    bool ok = false;
    scalar(connectionFor(QStringLiteral("postgres")),
           QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(name), &ok);
    return ok;
}
