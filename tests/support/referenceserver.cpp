#include "referenceserver.h"

#include "postgresfixture.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <sys/resource.h>

static QHash<QString, QString> &databasesByFolder()
{
    static QHash<QString, QString> databases;
    return databases;
}

ReferenceServer::ReferenceServer()
    : ReferenceServer(Options())
{}

ReferenceServer::ReferenceServer(const Options &options)
    : m_options(options)
    , m_network(std::make_unique<QNetworkAccessManager>())
{}

ReferenceServer::~ReferenceServer()
{
    stop();
    if (m_ownsDatabase) {
        databasesByFolder().remove(m_dataDir);
        if (PostgresFixture *cluster = PostgresFixture::shared(nullptr))
            cluster->dropDatabase(m_database);
    }
}

// The PostgreSQL database of a data folder, made on first use (TVR_TEST_DATABASE=postgresql).
static QString postgresFor(const QString &dataDir, bool *created, QString *error)
{
    QHash<QString, QString> &databases = databasesByFolder();
    *created = false;
    if (const auto it = databases.constFind(dataDir); it != databases.constEnd())
        return it.value();
    PostgresFixture *cluster = PostgresFixture::shared(error);
    const QString database = cluster ? cluster->createDatabase(error) : QString();
    if (!database.isEmpty()) {
        databases.insert(dataDir, database);
        *created = true;
    }
    return database;
}

QString ReferenceServer::databaseFor(const QString &dataDir, QString *error)
{
    if (!PostgresFixture::requested())
        return QString();
    bool created = false;
    return postgresFor(dataDir, &created, error);
}

bool ReferenceServer::start()
{
    return launch() && awaitAddress();
}

bool ReferenceServer::launch()
{
    m_baseUrl.clear();
    if (m_options.dataDir.isEmpty()) {
        m_tempDir = std::make_unique<QTemporaryDir>();
        if (!m_tempDir->isValid()) {
            m_error = QStringLiteral("cannot create a temporary folder");
            return false;
        }
        m_dataDir = m_tempDir->path();
    } else {
        m_dataDir = m_options.dataDir;
    }

    QStringList args{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--data"), m_dataDir};
    if (m_options.dev)
        args << QStringLiteral("--dev");
    if (m_options.demo)
        args << QStringLiteral("--demo");
    m_database = m_options.database;
    if (m_database.isEmpty() && PostgresFixture::requested() &&
        !m_options.extraArgs.contains(QStringLiteral("--database"))) {
        bool created = false;
        m_database = postgresFor(m_dataDir, &created, &m_error);
        if (m_database.isEmpty())
            return false;
        m_ownsDatabase = created && m_tempDir;
    }
    if (!m_database.isEmpty())
        args << QStringLiteral("--database") << m_database;
    args << m_options.extraArgs;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (m_options.chunkSize > 0)
        env.insert(QStringLiteral("TVR_SERVER_CHUNK_SIZE"), QString::number(m_options.chunkSize));

    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(env);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (const int limit = m_options.descriptorLimit; limit > 0) {
        m_process->setChildProcessModifier([limit] {
            const rlimit descriptors{rlim_t(limit), rlim_t(limit)};
            setrlimit(RLIMIT_NOFILE, &descriptors);
        });
    }
    // TVR_SERVER_BINARY in the environment runs the same tests against another build.
    const QString binary = qEnvironmentVariable("TVR_SERVER_BINARY", QStringLiteral(TVR_SERVER_BINARY));
    m_process->start(binary, args);
    if (!m_process->waitForStarted(10000)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(binary, m_process->errorString());
        return false;
    }
    return true;
}

bool ReferenceServer::awaitAddress()
{
    if (!m_process)
        return false;
    QByteArray buffer;
    QElapsedTimer timer;
    timer.start();
    while (!buffer.contains('\n')) {
        if (timer.elapsed() > 20000 || m_process->state() != QProcess::Running) {
            m_error = QStringLiteral("the server did not report its address: %1").arg(QString::fromUtf8(buffer));
            return false;
        }
        m_process->waitForReadyRead(200);
        buffer += m_process->readAllStandardOutput();
    }
    const qsizetype newline = buffer.indexOf('\n');
    const QByteArray first = buffer.left(newline).trimmed();
    m_output = buffer.mid(newline + 1);
    static const QByteArray prefix("listening on ");
    if (!first.startsWith(prefix)) {
        m_error = QStringLiteral("unexpected first line: %1").arg(QString::fromUtf8(first));
        return false;
    }
    m_baseUrl = QString::fromUtf8(first.mid(prefix.size()));
    return true;
}

int ReferenceServer::stop()
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return m_process ? m_process->exitCode() : 0;
    m_process->terminate();
    if (!m_process->waitForFinished(15000)) {
        m_process->kill();
        m_process->waitForFinished(2000);
        return -1;
    }
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

bool ReferenceServer::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

qint64 ReferenceServer::processId() const
{
    return isRunning() ? m_process->processId() : 0;
}

static qint64 statusField(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 ReferenceServer::peakMemoryKiB() const
{
    return statusField(processId(), "VmHWM:");
}

qint64 ReferenceServer::residentMemoryKiB() const
{
    return statusField(processId(), "VmRSS:");
}

QByteArray ReferenceServer::output() const
{
    if (m_process)
        m_output += m_process->readAllStandardOutput();
    return m_output;
}

QJsonObject ReferenceServer::Reply::json() const
{
    return QJsonDocument::fromJson(body).object();
}

bool ReferenceServer::Reply::success() const
{
    return status >= 200 && status < 300 && json().value(QStringLiteral("success")).toBool();
}

QJsonValue ReferenceServer::Reply::data() const
{
    return json().value(QStringLiteral("data"));
}

QString ReferenceServer::Reply::message() const
{
    return json().value(QStringLiteral("message")).toString();
}

QByteArray ReferenceServer::Reply::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

ReferenceServer::Reply ReferenceServer::request(const QByteArray &verb, const QString &path, const Credentials &as,
                                                const QByteArray &body, const QByteArray &contentType,
                                                const QList<std::pair<QByteArray, QByteArray>> &headers)
{
    QNetworkRequest request(QUrl(m_baseUrl + path));
    request.setRawHeader("X-TVR-Client", "1");
    request.setRawHeader("Accept", "application/json");
    if (!as.userId.isEmpty())
        request.setRawHeader("X-User-Id", as.userId.toUtf8());
    if (!as.token.isEmpty())
        request.setRawHeader("X-Auth-Token", as.token.toUtf8());
    if (!contentType.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);

    QNetworkReply *reply = nullptr;
    if (verb == "GET")
        reply = m_network->get(request);
    else if (verb == "DELETE" && body.isEmpty())
        reply = m_network->deleteResource(request);
    else
        reply = m_network->sendCustomRequest(request, verb, body);

    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timeout, &QTimer::timeout, reply, &QNetworkReply::abort);
    timeout.start(RequestTimeoutMs);
    if (!reply->isFinished())
        loop.exec();

    Reply out;
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.body = reply->readAll();
    for (const auto &pair : reply->rawHeaderPairs())
        out.headers.append({pair.first, pair.second});
    if (reply->error() != QNetworkReply::NoError)
        out.networkError = reply->errorString();
    reply->deleteLater();
    return out;
}

ReferenceServer::Reply ReferenceServer::get(const QString &path, const Credentials &as)
{
    return request("GET", path, as);
}

ReferenceServer::Reply ReferenceServer::del(const QString &path, const Credentials &as)
{
    return request("DELETE", path, as);
}

ReferenceServer::Reply ReferenceServer::postJson(const QString &path, const QJsonObject &body, const Credentials &as)
{
    return request("POST", path, as, QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json");
}

ReferenceServer::Reply ReferenceServer::putJson(const QString &path, const QJsonObject &body, const Credentials &as)
{
    return request("PUT", path, as, QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json");
}

ReferenceServer::Reply ReferenceServer::multipart(const QString &path, const QList<Part> &parts, const Credentials &as)
{
    const QByteArray boundary = "tvr-boundary-" + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    QByteArray body;
    for (const Part &part : parts) {
        body += "--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + part.name + "\"";
        if (!part.fileName.isEmpty())
            body += "; filename=\"" + part.fileName + "\"";
        body += "\r\n";
        if (!part.contentType.isEmpty())
            body += "Content-Type: " + part.contentType + "\r\n";
        body += "\r\n" + part.body + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return request("POST", path, as, body, "multipart/form-data; boundary=" + boundary);
}

ReferenceServer::Credentials ReferenceServer::signIn(const QString &username, const QString &phone)
{
    const Reply check =
        get(QStringLiteral("/api/check-username?username=") + QString::fromLatin1(QUrl::toPercentEncoding(username)));
    if (!check.success())
        return {};
    const bool exists = check.dataObject().value(QStringLiteral("exists")).toBool();
    if (exists) {
        const Reply identity = postJson(QStringLiteral("/api/verify-identity"),
                                        {{QStringLiteral("username"), username}, {QStringLiteral("phone"), phone}});
        if (!identity.success())
            return {};
    }
    const Reply sms =
        postJson(QStringLiteral("/api/send-sms"),
                 {{QStringLiteral("phone"), phone},
                  {QStringLiteral("scenario"), exists ? QStringLiteral("login") : QStringLiteral("register")}});
    const QString code = sms.json().value(QStringLiteral("debugCode")).toString();
    if (!sms.success() || code.isEmpty())
        return {};
    const Reply login = postJson(
        QStringLiteral("/api/login/code"),
        {{QStringLiteral("username"), username}, {QStringLiteral("phone"), phone}, {QStringLiteral("code"), code}});
    if (!login.success())
        return {};
    Credentials creds;
    creds.login = login.dataObject();
    const QJsonValue id = creds.login.value(QStringLiteral("id"));
    creds.userId = id.isDouble() ? QString::number(qint64(id.toDouble())) : id.toString();
    creds.token = creds.login.value(QStringLiteral("loginToken")).toString();
    return creds;
}

bool ReferenceServer::advanceClock(qint64 seconds, const Credentials &as)
{
    return postJson(QStringLiteral("/api/dev/clock"), {{QStringLiteral("advanceSeconds"), seconds}}, as).success();
}
