#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace tvr::server {

// What the command line (and, in development mode, the environment) decides.
struct ServerConfig
{
    QString host = QStringLiteral("127.0.0.1");
    int port = 0;
    QString dataDir;
    // Where the records live: "sqlite:PATH" or a PostgreSQL connection string (Database::open).
    // Empty: SQLite in DATA/tolvar.db. The stored files stay in the data folder either way.
    QString database;
    bool dev = false;        // reveal SMS codes, enable /api/dev/*, honour TVR_SERVER_CHUNK_SIZE
    bool demo = false;       // seed the demo account once
    QString downloadsDir;    // the update area; empty: "downloads" in the data folder
    qint64 autoPaySecs = -1; // dev only: pay every order this many seconds after it is created
    // Where people reach this server, as "scheme://host[:port][/path]" without a trailing "/":
    // links handed out (the payment page of a QR code) start with it. Empty: the address the
    // server listens on, https when TLS is on (set once the port is known).
    QString publicUrl;

    static constexpr qint64 DefaultChunkSize = 8 * 1024 * 1024;
    static constexpr qint64 DefaultBaseQuota = 10LL * 1024 * 1024 * 1024;

    qint64 chunkSize = DefaultChunkSize;
    qint64 baseQuota = DefaultBaseQuota;
    // Entries (files and folders, the trash included) one account may hold, so that empty
    // files are not free.
    static constexpr qint64 DefaultMaxEntries = 200000;
    qint64 maxEntriesPerUser = DefaultMaxEntries;

    // Connections one client address may hold open at once.
    int perAddressConnections = 1000;
    // A connection must send a whole request head within this many seconds of opening or of its
    // previous answer (so this is also how long an idle kept-alive connection lives).
    int headTimeoutSecs = 15;
    // Answers outside a session (public downloads, pay pages, sign-in) one address may have in
    // flight at once.
    int perAddressPublic = 64;
    // The floor rate at which a client must take an answer (averaged over sendWindowSecs) and
    // send a streamed body (over receiveWindowSecs); a slower connection is closed.
    int minBytesPerSec = 1024;
    int sendWindowSecs = 60;
    int receiveWindowSecs = 30;

    // Balancers in front ("ADDRESS" or "ADDRESS/BITS"): only on their connections is the client's
    // address taken from X-Forwarded-For.
    QStringList trustedProxies;

    // PEM certificate (with its chain) and private key; both set: the server speaks HTTPS only.
    QByteArray tlsCertificatePem;
    QByteArray tlsKeyPem;
    bool tls() const { return !tlsCertificatePem.isEmpty(); }
};

} // namespace tvr::server
