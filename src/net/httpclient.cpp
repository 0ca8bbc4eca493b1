#include "net/httpclient.h"

#include "net/session.h"

#include <QCoreApplication>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <memory>

namespace {
constexpr int ErrorBodyChars = 200;
// Error bodies of downloads are kept in memory only to find the server's text; cap them.
constexpr qsizetype ErrorBodyCap = 64 * 1024;
// The reply holds at most this much unread: the network pauses instead of memory growing when the
// disk or the GUI thread falls behind.
constexpr qint64 DownloadReadBufferBytes = 2 * 1024 * 1024;
constexpr qsizetype DownloadCopyBytes = 256 * 1024;

HttpClient *s_client = nullptr;

void destroyClient()
{
    delete s_client;
    s_client = nullptr;
}

int statusOf(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() ? status.toInt() : 0;
}

bool isSuccessStatus(int status)
{
    return status >= 200 && status < 300;
}

// The service's own text in an error body: "error", else "message"; empty when neither is a text.
QString serverErrorText(const QJsonValue &json)
{
    if (!json.isObject())
        return {};
    const QJsonObject object = json.toObject();
    const QString error = object.value(QStringLiteral("error")).toString();
    return error.isEmpty() ? object.value(QStringLiteral("message")).toString() : error;
}

// The network layer's text; an abort caused by the request's own transfer time-out says so.
QString networkErrorText(const QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::OperationCanceledError && reply->request().transferTimeout() > 0)
        return QStringLiteral("请求超时");
    return reply->errorString();
}

struct DownloadState
{
    bool writeFailed = false;
    bool headersSeen = false;
    QString refusal; // why the body was refused; empty when it was accepted
    QByteArray errorBody;
    QByteArray buffer = QByteArray(DownloadCopyBytes, Qt::Uninitialized);
};
} // namespace

HttpClient *HttpClient::instance()
{
    if (!s_client) {
        s_client = new HttpClient;
        // Freed while the application object still exists, so the access manager shuts down cleanly.
        qAddPostRoutine(destroyClient);
    }
    return s_client;
}

void HttpClient::get(const QString &path, HttpCallback callback)
{
    send(QByteArrayLiteral("GET"), path, QJsonValue(), std::move(callback));
}

void HttpClient::post(const QString &path, const QJsonValue &body, HttpCallback callback)
{
    send(QByteArrayLiteral("POST"), path, body, std::move(callback));
}

void HttpClient::put(const QString &path, const QJsonValue &body, HttpCallback callback)
{
    send(QByteArrayLiteral("PUT"), path, body, std::move(callback));
}

void HttpClient::del(const QString &path, HttpCallback callback)
{
    send(QByteArrayLiteral("DELETE"), path, QJsonValue(), std::move(callback));
}

void HttpClient::send(const QByteArray &verb, const QString &path, const QJsonValue &body, HttpCallback callback)
{
    QNetworkRequest request(buildUrl(path));
    applyHeaders(request);
    request.setTransferTimeout(m_jsonTimeoutMs);

    const bool hasBody = !body.isNull() && !body.isUndefined();
    QByteArray payload;
    if (hasBody) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        payload = QJsonDocument(body.isObject() ? body.toObject() : QJsonObject()).toJson(QJsonDocument::Compact);
    }

    QNetworkAccessManager *manager = network();
    QNetworkReply *reply = nullptr;
    if (verb == "GET") {
        reply = manager->get(request);
    } else if (verb == "DELETE") {
        reply = manager->deleteResource(request);
    } else if (verb == "POST") {
        reply = manager->post(request, payload);
    } else if (verb == "PUT") {
        reply = manager->put(request, payload);
    } else {
        reply = manager->sendCustomRequest(request, verb, payload);
    }
    handleReply(reply, std::move(callback));
}

void HttpClient::postMultipart(const QString &path, QHttpMultiPart *multipart, HttpCallback callback)
{
    QNetworkRequest request(buildUrl(path));
    applyHeaders(request);
    QNetworkReply *reply = network()->post(request, multipart);
    multipart->setParent(reply);
    handleReply(reply, std::move(callback));
}

QNetworkReply *HttpClient::download(const QString &path, const QString &localPath, ProgressFn progress,
                                    HttpCallback done, const QByteArray &range)
{
    DownloadOptions options;
    options.range = range;
    return download(path, localPath, std::move(progress), std::move(done), options);
}

QNetworkReply *HttpClient::download(const QString &path, const QString &localPath, ProgressFn progress,
                                    HttpCallback done, const DownloadOptions &options)
{
    const bool ranged = !options.range.isEmpty();
    // Opened before anything is sent, so a file that cannot be written never leaves a request running.
    // Its old content is dropped only when a whole body arrives: a failed request leaves it as it was.
    auto file = std::make_unique<QFile>(localPath);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered | QIODevice::Append)) {
        if (done) {
            HttpResponse response;
            response.raw = localPath.toUtf8();
            response.error = QStringLiteral("无法写入文件：%1").arg(localPath);
            done(response);
        }
        return nullptr;
    }

    QNetworkRequest request(buildUrl(path));
    applyHeaders(request);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    if (ranged) {
        request.setRawHeader(QByteArrayLiteral("Range"), options.range);
        if (!options.ifRange.isEmpty())
            request.setRawHeader(QByteArrayLiteral("If-Range"), options.ifRange);
    }

    QNetworkReply *reply = network()->get(request);
    reply->setReadBufferSize(DownloadReadBufferBytes);
    QFile *sink = file.release();
    sink->setParent(reply);
    auto state = std::make_shared<DownloadState>();

    // Runs once, when the status and headers are known and before the first body byte is written
    // (or at the end of an empty body). False when the body is refused.
    const auto acceptHeaders = [reply, sink, state, ranged, check = options.checkHeaders] {
        if (state->headersSeen)
            return state->refusal.isEmpty();
        const int status = statusOf(reply);
        if (!isSuccessStatus(status))
            return true; // an error answer: its body is kept away from the file anyway
        state->headersSeen = true;
        // Anything but a part of a ranged request is the whole body (a server that ignores Range
        // answers 200): it replaces the old bytes, also when it is empty.
        if (!(ranged && status == 206) && !sink->resize(0))
            state->writeFailed = true;
        if (check)
            state->refusal = check(*reply);
        return state->refusal.isEmpty();
    };

    const auto drain = [this, reply, sink, state, acceptHeaders] {
        const int status = statusOf(reply);
        if (!isSuccessStatus(status)) {
            // An error page is not file content: keep it away from the (side) file.
            const QByteArray chunk = reply->readAll();
            state->errorBody.append(chunk.left(ErrorBodyCap - state->errorBody.size()));
            return;
        }
        if (!acceptHeaders()) {
            reply->abort();
            return;
        }
        // Moved through one small buffer: no allocation per arrival, bounded time per write.
        qint64 got = 0;
        while ((got = reply->read(state->buffer.data(), state->buffer.size())) > 0) {
            bytesDown += got;
            if (state->writeFailed)
                continue;
            if (sink->write(state->buffer.constData(), got) != got) {
                state->writeFailed = true;
                reply->abort();
                return;
            }
        }
    };

    connect(reply, &QNetworkReply::readyRead, this, drain);
    if (progress) {
        connect(reply, &QNetworkReply::downloadProgress, this,
                [reply, progress, acceptHeaders](qint64 received, qint64 total) {
                    if (isSuccessStatus(statusOf(reply)) && acceptHeaders())
                        progress(received, total);
                });
    }
    connect(reply, &QNetworkReply::finished, this, [reply, sink, state, drain, acceptHeaders, localPath, done] {
        if (reply->isOpen() && state->refusal.isEmpty())
            drain();
        if (reply->error() == QNetworkReply::NoError)
            acceptHeaders(); // an empty body still replaces the side file, or is refused
        if (!sink->flush())
            state->writeFailed = true;
        sink->close();
        sink->deleteLater();

        HttpResponse response;
        response.status = statusOf(reply);
        response.raw = localPath.toUtf8();
        response.ok = isSuccessStatus(response.status) && reply->error() == QNetworkReply::NoError &&
                      !state->writeFailed && state->refusal.isEmpty();
        if (!response.ok) {
            if (!state->refusal.isEmpty()) {
                response.error = state->refusal;
            } else if (state->writeFailed) {
                response.error = QStringLiteral("无法写入文件：%1").arg(localPath);
            } else {
                const QJsonDocument document = QJsonDocument::fromJson(state->errorBody);
                response.error = serverErrorText(document.isObject() ? QJsonValue(document.object()) : QJsonValue());
                if (response.error.isEmpty())
                    response.error = networkErrorText(reply);
                if (response.error.isEmpty())
                    response.error = QStringLiteral("下载失败(%1)").arg(response.status);
            }
        }
        if (done)
            done(response);
    });
    return reply;
}

QUrl HttpClient::buildUrl(const QString &path) const
{
    if (path.startsWith(QLatin1String("http")))
        return QUrl(path, QUrl::TolerantMode);
    const QString separator = path.startsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/");
    return QUrl(baseUrl() + separator + path, QUrl::TolerantMode);
}

QString HttpClient::baseUrl() const
{
    const QString configured = qEnvironmentVariable("TVR_SERVER");
    return configured.isEmpty() ? QString::fromLatin1(DefaultBaseUrl) : configured;
}

void HttpClient::applyHeaders(QNetworkRequest &request) const
{
    Session *session = Session::instance();
    request.setRawHeader(QByteArrayLiteral("X-TVR-Client"), QByteArrayLiteral("1"));
    request.setRawHeader(QByteArrayLiteral("Accept"), QByteArrayLiteral("application/json"));
    if (!session->userId.isEmpty())
        request.setRawHeader(QByteArrayLiteral("X-User-Id"), session->userId.toUtf8());
    if (!session->token.isEmpty())
        request.setRawHeader(QByteArrayLiteral("X-Auth-Token"), session->token.toUtf8());
    if (!session->vaultToken.isEmpty())
        request.setRawHeader(QByteArrayLiteral("X-Vault-Token"), session->vaultToken.toUtf8());
    const QString machineCode = session->ensureMachineCode();
    if (!machineCode.isEmpty())
        request.setRawHeader(QByteArrayLiteral("X-Machine-Code"), machineCode.toUtf8());
}

QNetworkAccessManager *HttpClient::network()
{
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    return m_network;
}

HttpResponse HttpClient::makeResponse(int status, const QByteArray &raw, const QString &transportError)
{
    HttpResponse response;
    response.raw = raw;
    response.status = status;
    const bool transportFailed = !transportError.isEmpty();

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(response.raw, &parseError);
    if (parseError.error == QJsonParseError::NoError && !document.isNull()) {
        response.isJson = true;
        response.json = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
    }

    // A 2xx whose transfer broke off carries a truncated body: that is a failure, not a success.
    response.ok = isSuccessStatus(response.status) && !transportFailed;
    if (!response.ok) {
        if (isSuccessStatus(response.status))
            response.error = transportError;
        if (response.error.isEmpty())
            response.error = serverErrorText(response.json);
        if (response.error.isEmpty() && !response.raw.trimmed().isEmpty())
            response.error = QString::fromUtf8(response.raw).left(ErrorBodyChars);
        if (response.error.isEmpty())
            response.error = transportError;
        if (response.error.isEmpty())
            response.error = QStringLiteral("请求失败(%1)").arg(response.status);
    }

    if (response.status == 403 && response.json.isObject() &&
        response.json.toObject().value(QStringLiteral("code")).toString() == QLatin1String("PROFILE_INCOMPLETE"))
        emit profileIncomplete();
    return response;
}

void HttpClient::handleReply(QNetworkReply *reply, HttpCallback callback)
{
    auto lastSent = std::make_shared<qint64>(0);
    connect(reply, &QNetworkReply::uploadProgress, this, [this, lastSent](qint64 sent, qint64) {
        // A resent request starts again from zero; count only forward movement.
        if (sent > *lastSent)
            bytesUp += sent - *lastSent;
        *lastSent = sent;
    });

    connect(reply, &QNetworkReply::finished, this, [this, reply, callback = std::move(callback)] {
        const QByteArray raw = reply->isOpen() ? reply->readAll() : QByteArray(); // an aborted reply is closed
        bytesDown += raw.size();
        QString transportError;
        if (reply->error() != QNetworkReply::NoError) {
            transportError = networkErrorText(reply);
            if (transportError.isEmpty())
                transportError = QStringLiteral("网络错误");
        }
        const HttpResponse response = makeResponse(statusOf(reply), raw, transportError);
        reply->deleteLater();
        if (callback)
            callback(response);
    });
}
