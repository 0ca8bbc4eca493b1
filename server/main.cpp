// tolvar-server --listen HOST:PORT --data DIR [--database URL] [--tls-cert FILE --tls-key FILE] [--demo] [--dev]
//               [--downloads DIR] [--auto-pay SECONDS] [--quota BYTES] [--head-timeout SECONDS]
//               [--max-connections-per-address N] [--max-public-per-address N] [--max-entries N]
//               [--min-rate BYTES] [--send-window SECONDS] [--receive-window SECONDS] [--public-url URL]
#include "core/serverconfig.h"
#include "core/tolvarserver.h"
#include "core/version.h"

#include <QFile>
#include <QUrl>

#include <QByteArray>
#include <QString>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

using tvr::server::ServerConfig;
using tvr::server::TolvarServer;

static void usage(FILE *to = stderr)
{
    std::fprintf(to, "usage: tolvar-server --listen HOST:PORT --data DIR [--database URL]\n"
                     "                     [--tls-cert FILE --tls-key FILE]\n"
                     "                     [--demo] [--dev] [--downloads DIR] [--auto-pay SECONDS] [--quota BYTES]\n"
                     "                     [--head-timeout SECONDS] [--max-connections-per-address N]\n"
                     "                     [--max-entries N]\n"
                     "                     [--public-url URL]\n"
                     "                     [--max-public-per-address N] [--min-rate BYTES]\n"
                     "                     [--send-window SECONDS] [--receive-window SECONDS]\n"
                     "                     [--trusted-proxy ADDRESS[/BITS]]...\n"
                     "       tolvar-server --help | --version\n"
                     "  --listen HOST:PORT  address to serve on; port 0 picks a free port\n"
                     "  --data DIR          folder for the stored files (and the SQLite database)\n"
                     "  --database URL      where the records live: sqlite:PATH (default: DIR/tolvar.db)\n"
                     "                      or PostgreSQL, postgresql://USER@HOST:PORT/DB or\n"
                     "                      postgresql:///DB?host=/socket/dir\n"
                     "  --tls-cert FILE     serve HTTPS with this PEM certificate (chain first to last)\n"
                     "  --tls-key FILE      the certificate's PEM private key (unencrypted)\n"
                     "  --demo              create the demo account (user demo, phone 13800138000) once\n"
                     "  --dev               development mode: SMS codes are returned and printed,\n"
                     "                      /api/dev/* is available, TVR_SERVER_CHUNK_SIZE is honoured\n"
                     "  --downloads DIR     update area served under /downloads/ (default: DATA/downloads)\n"
                     "  --auto-pay SECONDS  with --dev: every payment order is paid after this delay\n"
                     "  --quota BYTES       storage of a new account (default 10 GiB)\n"
                     "  --max-entries N     files and folders one account may hold (default 200000)\n"
                     "  --head-timeout SECONDS\n"
                     "                      time a connection has to send a request head, also the\n"
                     "                      idle time of a kept-alive connection (default 15)\n"
                     "  --max-connections-per-address N\n"
                     "                      connections one client address may hold open (default 1000)\n"
                     "  --public-url URL    where people reach this server (http:// or https://, may end in\n"
                     "                      a path); links it hands out, such as the payment page of a QR\n"
                     "                      code, start with it (default: the listening address)\n"
                     "  --max-public-per-address N\n"
                     "                      answers outside a session (downloads, pay pages, sign-in)\n"
                     "                      one address may have in flight; beyond: 503 (default 64)\n"
                     "  --min-rate BYTES    bytes a second a client must at least take of an answer and\n"
                     "                      send of an upload, averaged over the windows below;\n"
                     "                      a slower connection is closed (default 1024)\n"
                     "  --send-window SECONDS\n"
                     "                      window over which an answer's rate is taken (default 60)\n"
                     "  --receive-window SECONDS\n"
                     "                      window over which an upload's rate is taken (default 30)\n"
                     "  --trusted-proxy ADDRESS[/BITS]\n"
                     "                      a balancer in front (repeatable): on its connections the\n"
                     "                      client's address is taken from X-Forwarded-For, and the\n"
                     "                      per-address connection cap is left to the balancer\n"
                     "  --help              show this text\n"
                     "  --version           show the version\n");
}

// A whole number from `min` to `max`, or nothing.
static std::optional<qint64> parseNumber(const char *text, qint64 min, qint64 max)
{
    bool ok = false;
    const qint64 value = QByteArray(text).toLongLong(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

// "http(s)://host[:port][/path]" without query, fragment or user; kept without a trailing "/".
static std::optional<QString> parsePublicUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.host().isEmpty() || url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
        return std::nullopt;
    QString normal = url.toString(QUrl::FullyEncoded);
    while (normal.endsWith(QLatin1Char('/')))
        normal.chop(1);
    return normal;
}

// Many connections are served at once; each is a descriptor.
static void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

static bool parseListen(const QString &text, ServerConfig &config)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const int port = text.mid(colon + 1).toInt(&ok);
    if (!ok || port < 0 || port > 65535)
        return false;
    config.host = text.left(colon);
    config.port = port;
    return true;
}

// The whole of a PEM file; a missing, unreadable, empty or oversized one stops the start.
static bool readPem(const QString &path, const char *option, QByteArray &into)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "tolvar-server: %s %s: %s\n", option, path.toLocal8Bit().constData(),
                     file.errorString().toLocal8Bit().constData());
        return false;
    }
    into = file.read(1024 * 1024 + 1);
    if (into.isEmpty() || into.size() > 1024 * 1024 || !into.contains("-----BEGIN ")) {
        std::fprintf(stderr, "tolvar-server: %s %s: not a PEM file\n", option, path.toLocal8Bit().constData());
        return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    // Archive entry names are converted through the C library's locale: make it UTF-8.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    ServerConfig config;
    bool listenGiven = false;
    QString certFile;
    QString keyFile;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--listen") && i + 1 < argc) {
            listenGiven = parseListen(QString::fromLocal8Bit(argv[++i]), config);
            if (!listenGiven) {
                usage();
                return 2;
            }
        } else if (arg == QLatin1String("--data") && i + 1 < argc) {
            config.dataDir = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == QLatin1String("--database") && i + 1 < argc) {
            config.database = QString::fromLocal8Bit(argv[++i]);
            if (!config.database.startsWith(QLatin1String("sqlite:")) &&
                !config.database.startsWith(QLatin1String("postgresql:")) &&
                !config.database.startsWith(QLatin1String("postgres:"))) {
                std::fprintf(stderr, "tolvar-server: --database needs sqlite:PATH or postgresql://...\n");
                return 2;
            }
        } else if (arg == QLatin1String("--trusted-proxy") && i + 1 < argc) {
            config.trustedProxies.append(QString::fromLocal8Bit(argv[++i]));
        } else if (arg == QLatin1String("--demo")) {
            config.demo = true;
        } else if (arg == QLatin1String("--dev")) {
            config.dev = true;
        } else if (arg == QLatin1String("--downloads") && i + 1 < argc) {
            config.downloadsDir = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == QLatin1String("--auto-pay") && i + 1 < argc) {
            bool ok = false;
            config.autoPaySecs = QString::fromLocal8Bit(argv[++i]).toLongLong(&ok);
            if (!ok || config.autoPaySecs < 0) {
                usage();
                return 2;
            }
        } else if (arg == QLatin1String("--quota") && i + 1 < argc) {
            const auto bytes = parseNumber(argv[++i], 0, 1LL << 50);
            if (!bytes) {
                usage();
                return 2;
            }
            config.baseQuota = *bytes;
        } else if (arg == QLatin1String("--max-entries") && i + 1 < argc) {
            const auto count = parseNumber(argv[++i], 1, 1LL << 40);
            if (!count) {
                usage();
                return 2;
            }
            config.maxEntriesPerUser = *count;
        } else if (arg == QLatin1String("--head-timeout") && i + 1 < argc) {
            const auto secs = parseNumber(argv[++i], 1, 3600);
            if (!secs) {
                usage();
                return 2;
            }
            config.headTimeoutSecs = int(*secs);
        } else if (arg == QLatin1String("--max-connections-per-address") && i + 1 < argc) {
            const auto count = parseNumber(argv[++i], 1, 100000);
            if (!count) {
                usage();
                return 2;
            }
            config.perAddressConnections = int(*count);
        } else if (arg == QLatin1String("--public-url") && i + 1 < argc) {
            const auto url = parsePublicUrl(QString::fromLocal8Bit(argv[++i]));
            if (!url) {
                std::fprintf(stderr, "tolvar-server: --public-url needs an http:// or https:// address\n");
                return 2;
            }
            config.publicUrl = *url;
        } else if (arg == QLatin1String("--max-public-per-address") && i + 1 < argc) {
            const auto count = parseNumber(argv[++i], 1, 100000);
            if (!count) {
                usage();
                return 2;
            }
            config.perAddressPublic = int(*count);
        } else if (arg == QLatin1String("--min-rate") && i + 1 < argc) {
            const auto bytes = parseNumber(argv[++i], 0, 1LL << 30);
            if (!bytes) {
                usage();
                return 2;
            }
            config.minBytesPerSec = int(*bytes);
        } else if ((arg == QLatin1String("--send-window") || arg == QLatin1String("--receive-window")) &&
                   i + 1 < argc) {
            const auto secs = parseNumber(argv[++i], 1, 3600);
            if (!secs) {
                usage();
                return 2;
            }
            (arg == QLatin1String("--send-window") ? config.sendWindowSecs : config.receiveWindowSecs) = int(*secs);
        } else if (arg == QLatin1String("--tls-cert") && i + 1 < argc) {
            certFile = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == QLatin1String("--tls-key") && i + 1 < argc) {
            keyFile = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            usage(stdout);
            return 0;
        } else if (arg == QLatin1String("--version") || arg == QLatin1String("-v")) {
            std::printf("tolvar-server %s\n", tvr::server::version());
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (!listenGiven || config.dataDir.isEmpty()) {
        usage();
        return 2;
    }
    if (certFile.isEmpty() != keyFile.isEmpty()) {
        std::fprintf(stderr, "tolvar-server: --tls-cert and --tls-key go together\n");
        return 2;
    }
    if (!certFile.isEmpty() && (!readPem(certFile, "--tls-cert", config.tlsCertificatePem) ||
                                !readPem(keyFile, "--tls-key", config.tlsKeyPem)))
        return 2;
    if (config.autoPaySecs >= 0 && !config.dev) {
        std::fprintf(stderr, "tolvar-server: --auto-pay needs --dev (it pays orders without a payment)\n");
        return 2;
    }
    if (config.dev) {
        // Lets tests use small chunks so that a many-chunk upload stays a few KiB.
        const QByteArray chunk = qgetenv("TVR_SERVER_CHUNK_SIZE");
        if (!chunk.isEmpty() && chunk.toLongLong() > 0)
            config.chunkSize = chunk.toLongLong();
    }

    // SIGINT/SIGTERM are taken by one thread with sigwait, so they never interrupt a handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();

    TolvarServer server(config);
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "tolvar-server: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    std::printf("listening on %s://%s:%d\n", config.tls() ? "https" : "http", config.host.toUtf8().constData(),
                server.port());
    std::fflush(stdout);

    // The transport serves on its own threads; this one waits for SIGINT/SIGTERM.
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.shutdown();
    std::fflush(stdout);
    // Open connections and the transport's threads are not waited for: nothing is in progress
    // any more and the database is closed, so end here.
    std::_Exit(0);
}
