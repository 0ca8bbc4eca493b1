// One, two and three reference servers on one data folder behind HAProxy: listing requests per
// second (parallel clients) and upload throughput (parallel chunked uploads), with the CPU each
// instance used, and the CPU time one listing request and one uploaded MiB cost the instances and
// the database server together. Runs on a shared SQLite file, and on PostgreSQL 15 (a temporary cluster started
// here from /usr/lib/postgresql/15/bin on a Unix socket) when tolvar-server has --database.
// Usage: bench_cluster [seconds of listing per step, default 3] [MiB per upload writer, default 16]
#include "referenceserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <unistd.h>

using Creds = ReferenceServer::Credentials;

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int ListClients = 8;
constexpr int UploadWriters = 3;
const QString PgBin = QStringLiteral("/usr/lib/postgresql/15/bin");

// CPU seconds (user + system) a process has used so far.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// CPU seconds of a process and of its children: those running now and those it has waited for
// (PostgreSQL's backends are children of its postmaster, one per connection).
double treeCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 15)
        return 0;
    double total = double(fields.at(13).toLongLong() + fields.at(14).toLongLong()) / double(sysconf(_SC_CLK_TCK)) +
                   cpuSeconds(pid);
    const QString parent = QString::number(pid);
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const qint64 child = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile childStat(QStringLiteral("/proc/%1/stat").arg(child));
        if (!childStat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = childStat.readAll();
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 1 && f.at(1) == parent.toLatin1())
            total += cpuSeconds(child);
    }
    return total;
}

bool run(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, args);
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

// A throw-away PostgreSQL on a Unix socket; as root it runs as the postgres user.
class TempPostgres final
{
public:
    bool start(const QString &dir)
    {
        m_dir = dir;
        const bool root = ::getuid() == 0;
        const auto as = [root](const QString &tool, const QStringList &args) {
            return root ? run("runuser", QStringList{"-u", "postgres", "--", PgBin + "/" + tool} + args)
                        : run(PgBin + "/" + tool, args);
        };
        if (root && !run("chown", {"postgres:", dir}))
            return false;
        if (!as("initdb", {"-D", dir + "/pg", "-U", "tolvar", "--auth=trust", "-E", "UTF8"}))
            return false;
        m_asPostgres = as;
        if (!as("pg_ctl",
                {"-D", dir + "/pg", "-l", dir + "/pg.log", "-w", "-o", "-c listen_addresses='' -k " + dir, "start"}))
            return false;
        m_running = true;
        return true;
    }
    // A fresh database for one measurement; its URL, or empty.
    QString newDatabase(const QString &name)
    {
        return m_asPostgres("createdb", {"-h", m_dir, "-U", "tolvar", name})
                   ? "postgresql://tolvar@/" + name + "?host=" + m_dir
                   : QString();
    }
    // The postmaster's process id (0: unknown).
    qint64 pid() const
    {
        QFile file(m_dir + "/pg/postmaster.pid");
        return file.open(QIODevice::ReadOnly) ? file.readLine().trimmed().toLongLong() : 0;
    }
    ~TempPostgres()
    {
        if (m_running)
            m_asPostgres("pg_ctl", {"-D", m_dir + "/pg", "-m", "fast", "-w", "stop"});
    }

private:
    QString m_dir;
    bool m_running = false;
    std::function<bool(const QString &, const QStringList &)> m_asPostgres;
};

class Cluster final
{
public:
    bool start(int instances, const QStringList &databaseArgs)
    {
        QString shared;
        for (int i = 0; i < instances; ++i) {
            ReferenceServer::Options options;
            options.chunkSize = MiB;
            options.dataDir = shared;
            options.extraArgs = databaseArgs + QStringList{"--trusted-proxy", "127.0.0.1"};
            auto server = std::make_unique<ReferenceServer>(options);
            if (!server->start()) {
                std::fprintf(stderr, "bench_cluster: %s\n", qPrintable(server->errorString()));
                return false;
            }
            shared = server->dataDir();
            m_nodes.push_back(std::move(server));
        }
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        m_port = probe.serverPort();
        probe.close();
        QString config = QStringLiteral("global\n    maxconn 2048\ndefaults\n    mode http\n    option forwardfor\n"
                                        "    timeout connect 2s\n    timeout client 120s\n    timeout server 120s\n"
                                        "frontend f\n    bind 127.0.0.1:%1\n    default_backend b\n"
                                        "backend b\n    balance roundrobin\n    http-reuse safe\n")
                             .arg(m_port);
        for (size_t i = 0; i < m_nodes.size(); ++i)
            config += QStringLiteral("    server s%1 %2\n").arg(i).arg(QUrl(m_nodes[i]->baseUrl()).authority());
        QFile file(m_dir.filePath("haproxy.cfg"));
        if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) <= 0)
            return false;
        file.close();
        m_haproxy.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_haproxy.start("/usr/sbin/haproxy", {"-db", "-f", file.fileName()});
        if (!m_haproxy.waitForStarted())
            return false;
        // Ready once the balancer answers.
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, quint16(m_port));
            if (socket.waitForConnected(200))
                return true;
            QEventLoop loop;
            QTimer::singleShot(50, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return false;
    }
    ~Cluster()
    {
        m_haproxy.kill();
        m_haproxy.waitForFinished();
    }
    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path); }
    ReferenceServer &first() { return *m_nodes.front(); }
    std::vector<double> cpu() const
    {
        std::vector<double> out;
        for (const auto &node : m_nodes)
            out.push_back(cpuSeconds(node->processId()));
        return out;
    }

private:
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<ReferenceServer>> m_nodes;
    QProcess m_haproxy;
    int m_port = 0;
};

QNetworkRequest requestFor(const QString &url, const Creds &as)
{
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("X-TVR-Client", "1");
    request.setRawHeader("X-User-Id", as.userId.toUtf8());
    request.setRawHeader("X-Auth-Token", as.token.toUtf8());
    return request;
}

QByteArray await(QNetworkReply *reply, int *status = nullptr)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    return body;
}

// Listing requests answered per second by ListClients clients each asking again at once;
// `answered` gets their number.
double listingRate(Cluster &cluster, const Creds &as, int seconds, qint64 *answered)
{
    std::vector<std::unique_ptr<QNetworkAccessManager>> managers;
    qint64 done = 0;
    qint64 failed = 0;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    int running = ListClients;
    std::function<void(QNetworkAccessManager *)> ask = [&](QNetworkAccessManager *manager) {
        QNetworkReply *reply = manager->get(requestFor(cluster.url("/api/files?"), as));
        QObject::connect(reply, &QNetworkReply::finished, reply, [&, reply, manager] {
            (reply->error() == QNetworkReply::NoError ? done : failed) += 1;
            reply->deleteLater();
            if (clock.elapsed() < seconds * 1000)
                ask(manager);
            else if (--running == 0)
                loop.quit();
        });
    };
    for (int i = 0; i < ListClients; ++i) {
        managers.push_back(std::make_unique<QNetworkAccessManager>());
        ask(managers.back().get());
    }
    loop.exec();
    if (failed > 0)
        std::printf("    (%lld listing requests failed)\n", failed);
    *answered = done;
    return double(done) * 1000.0 / double(qMax<qint64>(1, clock.elapsed()));
}

// One chunked upload of `content`, chunk by chunk; true when merged.
bool uploadOnce(QNetworkAccessManager &manager, Cluster &cluster, const Creds &as, const QString &name,
                const QByteArray &content)
{
    QNetworkRequest init = requestFor(cluster.url("/api/upload/init"), as);
    init.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    const QJsonObject body{
        {"name", name},
        {"size", content.size()},
        {"md5", QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())}};
    const QJsonObject session = QJsonDocument::fromJson(await(manager.post(init, QJsonDocument(body).toJson())))
                                    .object()
                                    .value("data")
                                    .toObject();
    const QString id = session.value("uploadId").toString();
    const qint64 chunk = qint64(session.value("chunkSize").toDouble());
    if (id.isEmpty() || chunk <= 0)
        return false;
    for (qint64 offset = 0, index = 0; offset < content.size(); offset += chunk, ++index) {
        QNetworkRequest put = requestFor(cluster.url(QStringLiteral("/api/upload/chunk/%1/%2").arg(id).arg(index)), as);
        put.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
        int status = 0;
        await(manager.put(put, content.mid(offset, chunk)), &status);
        if (status != 200)
            return false;
    }
    QNetworkRequest merge = requestFor(cluster.url("/api/upload/merge"), as);
    merge.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    int status = 0;
    await(manager.post(merge, QJsonDocument(QJsonObject{{"uploadId", id}}).toJson()), &status);
    return status == 200;
}

// Bytes per second of UploadWriters chunked uploads, one after another, each chunk a request of
// its own that the balancer hands to the next instance.
double uploadRate(Cluster &cluster, const Creds &as, qint64 bytesEach, int round)
{
    std::vector<QByteArray> contents;
    for (int i = 0; i < UploadWriters; ++i) {
        QByteArray bytes(bytesEach, Qt::Uninitialized);
        QRandomGenerator generator(quint32(round * 100 + i));
        generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        contents.push_back(bytes);
    }
    QElapsedTimer clock;
    clock.start();
    int ok = 0;
    std::vector<std::unique_ptr<QNetworkAccessManager>> managers;
    for (int i = 0; i < UploadWriters; ++i)
        managers.push_back(std::make_unique<QNetworkAccessManager>());
    for (int i = 0; i < UploadWriters; ++i)
        ok += uploadOnce(*managers[size_t(i)], cluster, as, QStringLiteral("bench-%1-%2.bin").arg(round).arg(i),
                         contents[size_t(i)])
                  ? 1
                  : 0;
    if (ok != UploadWriters)
        std::printf("    (%d of %d uploads failed)\n", UploadWriters - ok, UploadWriters);
    return double(bytesEach * ok) * 1000.0 / double(qMax<qint64>(1, clock.elapsed()));
}

// `databaseFor(instances)`: the --database switches of one measurement (empty: SQLite);
// `databaseCpu`: CPU seconds the database server has used so far (0 for SQLite, which works
// inside the instances).
void measure(const QString &label, const std::function<QStringList(int)> &databaseFor,
             const std::function<double()> &databaseCpu, int seconds, qint64 bytesEach)
{
    std::printf("%s\n", qPrintable(label));
    std::printf("  instances  listing req/s  CPU ms/req  upload MiB/s  CPU ms/MiB  CPU%% per instance (listing + "
                "upload)\n");
    const auto sum = [](const std::vector<double> &values) {
        double total = 0;
        for (double v : values)
            total += v;
        return total;
    };
    for (int instances = 1; instances <= 3; ++instances) {
        Cluster cluster;
        if (!cluster.start(instances, databaseFor(instances))) {
            std::printf("  %9d  (the cluster did not start)\n", instances);
            continue;
        }
        const Creds user = cluster.first().signIn("benchuser", "13900000999");
        if (!user.isValid()) {
            std::printf("  %9d  (sign-in failed)\n", instances);
            continue;
        }
        for (int i = 0; i < 50; ++i)
            cluster.first().postJson("/api/folders", {{"name", QStringLiteral("folder %1").arg(i)}}, user);
        const std::vector<double> before = cluster.cpu();
        const double databaseBefore = databaseCpu();
        QElapsedTimer wall;
        wall.start();
        qint64 answered = 0;
        const double rate = listingRate(cluster, user, seconds, &answered);
        const double listed = sum(cluster.cpu()) - sum(before) + databaseCpu() - databaseBefore;
        const double upload = uploadRate(cluster, user, bytesEach, instances);
        const std::vector<double> after = cluster.cpu();
        const double uploaded = sum(after) - sum(before) + databaseCpu() - databaseBefore - listed;
        QString cpu;
        for (size_t i = 0; i < after.size(); ++i)
            cpu += QStringLiteral(" %1").arg(100.0 * (after[i] - before[i]) / (double(wall.elapsed()) / 1000.0), 5, 'f',
                                             0);
        // What one request and one MiB cost the instances and the database together.
        const double mib = double(bytesEach) * UploadWriters / double(MiB);
        std::printf("  %9d  %13.0f  %10.2f  %12.1f  %10.1f %s\n", instances, rate,
                    1000.0 * listed / double(qMax<qint64>(1, answered)), upload / double(MiB), 1000.0 * uploaded / mib,
                    qPrintable(cpu));
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 3;
    const qint64 bytesEach = (argc > 2 ? qMax(1, QByteArray(argv[2]).toInt()) : 16) * MiB;
    if (!QFile::exists("/usr/sbin/haproxy")) {
        std::printf("bench_cluster: /usr/sbin/haproxy is missing (scripts/setup installs it)\n");
        return 1;
    }
    std::printf("bench_cluster: %d listing clients for %d s, %d uploads of %lld MiB each, through HAProxy\n",
                ListClients, seconds, UploadWriters, bytesEach / MiB);
    measure(
        QStringLiteral("SQLite (one shared file)"), [](int) { return QStringList(); }, [] { return 0.0; }, seconds,
        bytesEach);

    QProcess help;
    help.start(QStringLiteral(TVR_SERVER_BINARY), {"--help"});
    help.waitForFinished();
    const bool speaksPostgres = (help.readAllStandardOutput() + help.readAllStandardError()).contains("--database");
    if (!speaksPostgres || !QFile::exists(PgBin + "/initdb")) {
        std::printf("PostgreSQL: skipped (%s)\n",
                    speaksPostgres ? "PostgreSQL 15 is not installed" : "this tolvar-server has no --database");
        return 0;
    }
    QTemporaryDir pgDir;
    TempPostgres postgres;
    if (!postgres.start(pgDir.path())) {
        std::printf("PostgreSQL: could not start a temporary cluster in %s\n", qPrintable(pgDir.path()));
        return 1;
    }
    measure(
        QStringLiteral("PostgreSQL 15 (Unix socket)"),
        [&postgres](int instances) {
            return QStringList{"--database", postgres.newDatabase(QStringLiteral("bench%1").arg(instances))};
        },
        [&postgres] { return treeCpuSeconds(postgres.pid()); }, seconds, bytesEach);
    return 0;
}
