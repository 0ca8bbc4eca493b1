#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <utility>

class QNetworkAccessManager;
class QProcess;

// The real tolvar-server (TVR_SERVER_BINARY) on 127.0.0.1 with a free port and a data folder
// that is removed afterwards. Started by start(), stopped (SIGTERM) by the destructor.
// Also a small blocking HTTP helper, so a test can set up and check state in a few lines.
class ReferenceServer final
{
public:
    struct Options
    {
        bool dev = true;       // --dev: SMS codes come back as debugCode; /api/dev/* exists
        bool demo = false;     // --demo: the demo account and its files
        qint64 chunkSize = 0;  // TVR_SERVER_CHUNK_SIZE when > 0 (needs dev)
        QString dataDir;       // reuse a folder (e.g. to restart on the same data); else a fresh one
        QStringList extraArgs; // further command-line options (e.g. "--auto-pay", "0")
        // > 0: the server may open at most this many descriptors.
        int descriptorLimit = 0;
        // --database; empty: SQLite in the data folder, or, when TVR_TEST_DATABASE=postgresql,
        // a fresh database of the test process's PostgreSQL cluster (one per data folder, so
        // a restart on the same folder finds its records again).
        QString database;
    };

    // Who a request is sent as; empty fields mean "no such header".
    struct Credentials
    {
        QString userId;
        QString token;
        QJsonObject login; // the login payload, when it came from signIn()
        bool isValid() const { return !userId.isEmpty() && !token.isEmpty(); }
    };

    struct Reply
    {
        int status = 0; // 0: no answer (connection failure or time-out)
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers;
        QString networkError;

        QJsonObject json() const; // the body as an object (empty when it is not one)
        bool success() const;     // 2xx and "success" true
        QJsonValue data() const;  // "data" of the envelope
        QJsonObject dataObject() const { return data().toObject(); }
        QJsonArray dataArray() const { return data().toArray(); }
        QString message() const;                         // "message" of the envelope
        QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
    };

    // One part of a multipart/form-data body.
    struct Part
    {
        QByteArray name;
        QByteArray fileName; // empty: a plain field
        QByteArray contentType;
        QByteArray body;
    };

    ReferenceServer();
    explicit ReferenceServer(const Options &options);
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer &) = delete;
    ReferenceServer &operator=(const ReferenceServer &) = delete;

    // Starts the server and waits (at most 20 s) for "listening on http://HOST:PORT".
    bool start();
    // start() in two halves, so that several servers can be started at the same moment.
    bool launch();
    bool awaitAddress();
    // Stops the server (SIGTERM, then kill after 15 s); returns its exit code, -1 if it crashed.
    int stop();
    bool isRunning() const;
    qint64 processId() const; // 0 when not running
    // The server process's peak and current resident memory (VmHWM, VmRSS) in KiB; -1 unknown.
    qint64 peakMemoryKiB() const;
    qint64 residentMemoryKiB() const;

    QString baseUrl() const { return m_baseUrl; }
    QString dataDir() const { return m_dataDir; }
    // The --database that servers of this test process get for dataDir: "" (SQLite in the folder)
    // unless TVR_TEST_DATABASE=postgresql, then the folder's database in the test cluster.
    static QString databaseFor(const QString &dataDir, QString *error);
    // The --database the server was given ("" for SQLite in the data folder).
    QString database() const { return m_database; }
    QString errorString() const { return m_error; }
    // What the server printed after its first line (e.g. the SMS codes in dev mode).
    QByteArray output() const;

    Reply request(const QByteArray &verb, const QString &path, const Credentials &as = {}, const QByteArray &body = {},
                  const QByteArray &contentType = {}, const QList<std::pair<QByteArray, QByteArray>> &headers = {});
    Reply get(const QString &path, const Credentials &as = {});
    Reply del(const QString &path, const Credentials &as = {});
    Reply postJson(const QString &path, const QJsonObject &body, const Credentials &as = {});
    Reply putJson(const QString &path, const QJsonObject &body, const Credentials &as = {});
    Reply multipart(const QString &path, const QList<Part> &parts, const Credentials &as = {});

    // Signs in (or registers) through the SMS flow, as the client does: user-name check,
    // identity check for a known name, send-sms with the right scenario, login/code with the
    // debugCode of the answer. Invalid credentials when any step fails.
    Credentials signIn(const QString &username, const QString &phone);
    // Moves the server clock forward and runs its periodic upkeep (dev only).
    bool advanceClock(qint64 seconds, const Credentials &as);

    static constexpr int RequestTimeoutMs = 60000;

private:
    Options m_options;
    std::unique_ptr<QTemporaryDir> m_tempDir;
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QNetworkAccessManager> m_network;
    QString m_dataDir;
    QString m_database;
    bool m_ownsDatabase = false; // made for this server's own temporary folder: dropped with it
    QString m_baseUrl;
    QString m_error;
    mutable QByteArray m_output; // grows as output() collects what the server printed
};
