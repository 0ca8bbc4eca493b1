#pragma once

#include <QByteArray>
#include <QString>

namespace tvr::server {

// The server's own key for keyed digests (SMS codes at rest): 32 random bytes in a file of the
// data directory readable by the server's user only, apart from the database, so that a copy
// of the database alone does not let anyone test guesses against what it holds.
class ServerSecret final
{
public:
    static constexpr int Bytes = 32;
    static constexpr char FileName[] = "server.key";

    // Reads the key, creating it on first use; false (with a message) when neither works.
    static bool loadOrCreate(const QString &dataDir, QByteArray *secret, QString *error);
    // HMAC-SHA256 of data under key, as lower-case hex.
    static QString hmacHex(const QByteArray &key, const QByteArray &data);
};

} // namespace tvr::server
