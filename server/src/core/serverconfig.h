#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace tvr::server {

// What the command line (and, in development mode, the environment) decides.
struct ServerConfig
{
    QString host = QStringLiteral("127.0.0.1");
    int port = 0;
    QString dataDir;
    bool dev = false;        // reveal SMS codes, enable /api/dev/*, honour TVR_SERVER_CHUNK_SIZE
    bool demo = false;       // seed the demo account once
    QString downloadsDir;    // the update area; empty: "downloads" in the data folder
    qint64 autoPaySecs = -1; // dev only: pay every order this many seconds after it is created
    QString publicUrl; // --public-url: scheme://host[:port] of public links, no trailing slash; empty = the listen address

    static constexpr qint64 DefaultChunkSize = 8 * 1024 * 1024;
    static constexpr qint64 DefaultBaseQuota = 10LL * 1024 * 1024 * 1024;

    qint64 chunkSize = DefaultChunkSize;
    qint64 baseQuota = DefaultBaseQuota;

    // Connections one client address may hold open at once.
    int perAddressConnections = 1000;
    // A connection must send a whole request head within this many seconds of opening or of its
    // previous answer (so this is also how long an idle kept-alive connection lives).
    int headTimeoutSecs = 15;

    // PEM certificate (with its chain) and private key; both set: the server speaks HTTPS only.
    QByteArray tlsCertificatePem;
    QByteArray tlsKeyPem;
    bool tls() const { return !tlsCertificatePem.isEmpty(); }
};

} // namespace tvr::server
