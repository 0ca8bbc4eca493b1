#include "net/httpclient.h"

#include "net/session.h"
#include "net/streamreply.h"

#include <QCoreApplication>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <algorithm>
#include <memory>

namespace {

// Marks a reply whose successful body is handed on unparsed.
constexpr char UnparsedProperty[] = "tvrUnparsedBody";
constexpr int ErrorBodyChars = 200;
// Error bodies of downloads are kept in memory only to find the server's text; cap them.
constexpr qsizetype ErrorBodyCap = 64 * 1024;
// The reply holds at most this much unread: the network pauses instead of memory growing when the
// disk or the GUI thread falls behind.
constexpr qint64 DownloadReadBufferBytes = 2 * 1024 * 1024;
constexpr qsizetype DownloadCopyBytes = 1024 * 1024;
// Each read from a reply with a bounded buffer wakes the network thread to refill it, and each
// piece read is one write to the disk: below this much unread, a drain waits a little for more,
// so a fast download moves in large blocks instead of one per arrival.
constexpr qint64 DownloadGatherBytes = 512 * 1024;
constexpr int DownloadGatherMs = 25;

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

} // namespace

// An abort caused by the request's own transfer time-out says so.
QString HttpClient::networkErrorText(const QNetworkReply *reply)
{
    switch (reply->error()) {
    case QNetworkReply::OperationCanceledError:
        return reply->request().transferTimeout() > 0 ? QStringLiteral("请求超时") : QStringLiteral("请求已取消");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("请求超时");
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("无法连接服务器");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("找不到服务器：%1").arg(reply->url().host());
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("服务器断开了连接");
    case QNetworkReply::SslHandshakeFailedError:
        // Never waived: an untrusted certificate is a failed connection.
        return QStringLiteral("安全连接失败：服务器证书无效或不受信任");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return QStringLiteral("网络连接中断");
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return proxyAuthenticationText(!instance()->proxyFor(reply->url()).user().isEmpty());
    case QNetworkReply::UnknownProxyError:
        return QStringLiteral("代理服务器连接失败");
    default:
        break;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status > 0 ? QStringLiteral("网络错误(%1)").arg(status) : QStringLiteral("网络错误");
}

namespace {

struct DownloadState
{
    bool writeFailed = false;
    bool headersSeen = false;
    bool networkDone = false; // the reply has finished; what it holds may still wait for the limiter
    bool completed = false;   // done has been answered
    qint64 written = 0;       // body bytes taken from the reply
    QString refusal;          // why the body was refused; empty when it was accepted
    QByteArray errorBody;
    QByteArray buffer = QByteArray(DownloadCopyBytes, Qt::Uninitialized);
};
} // namespace

HttpClient *HttpClient::instance()
{
    if (!s_client) {
        s_client = new HttpClient;
        // The system's proxy settings apply unless the user chose others.
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        // Freed while the application object still exists, so the access manager shuts down cleanly.
        qAddPostRoutine(destroyClient);
    }
    return s_client;
}

void HttpClient::get(const QString &path, HttpCallback callback)
{
    send(QByteArrayLiteral("GET"), path, QJsonValue(), std::move(callback));
}

QNetworkReply *HttpClient::getLongPoll(const QString &path, int waitMs, HttpCallback callback)
{
    QNetworkRequest request(buildUrl(path));
    applyHeaders(request);
    request.setTransferTimeout(qMax(0, waitMs) + m_jsonTimeoutMs);
    QNetworkReply *reply = network()->get(request);
    handleReply(reply, std::move(callback));
    return reply;
}

void HttpClient::getUnparsed(const QString &path, HttpCallback callback)
{
    QNetworkRequest request(buildUrl(path));
    applyHeaders(request);
    request.setTransferTimeout(m_jsonTimeoutMs);
    QNetworkReply *reply = network()->get(request);
    reply->setProperty(UnparsedProperty, true);
    handleReply(reply, std::move(callback));
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

    QNetworkReply *reply = streamGet(request);
    reply->setReadBufferSize(options.unboundedReadBuffer ? 0 : DownloadReadBufferBytes);
    QFile *sink = file.release();
    sink->setParent(reply);
    auto state = std::make_shared<DownloadState>();
    // Wakes the drain when the limiter had no bytes to give.
    auto *pump = new QTimer(reply);
    pump->setSingleShot(true);

    // Runs once, when the status and headers are known and before the first body byte is written
    // (or at the end of an empty body). False when the body is refused.
    const bool fromStart = options.range.startsWith("bytes=0-");
    const auto acceptHeaders = [reply, sink, state, ranged, fromStart, check = options.checkHeaders] {
        if (state->headersSeen)
            return state->refusal.isEmpty();
        const int status = statusOf(reply);
        if (!isSuccessStatus(status))
            return true; // an error answer: its body is kept away from the file anyway
        state->headersSeen = true;
        // Anything but a part of a ranged request is the whole body (a server that ignores Range
        // answers 200): it replaces the old bytes, also when it is empty.
        // An empty file is left alone: on ext4 a truncation to zero makes the later close() wait
        // for the whole file's blocks to be allocated, which stalled the event loop for 0.6 s per GiB.
        if ((!(ranged && status == 206) || fromStart) && sink->size() > 0 && !sink->resize(0))
            state->writeFailed = true;
        if (check)
            state->refusal = check(*reply);
        return state->refusal.isEmpty();
    };

    const auto complete = [this, reply, sink, state, acceptHeaders, localPath, done] {
        if (state->completed)
            return;
        state->completed = true;
        if (reply->error() == QNetworkReply::NoError)
            acceptHeaders(); // an empty body still replaces the side file, or is refused
        if (!sink->flush())
            state->writeFailed = true;
        sink->close();
        sink->deleteLater();

        HttpResponse response;
        response.status = statusOf(reply);
        response.raw = localPath.toUtf8();
        const bool connectionFailed = reply->error() != QNetworkReply::NoError && isConnectionFailure(reply);
        response.ok = isSuccessStatus(response.status) && reply->error() == QNetworkReply::NoError &&
                      !state->writeFailed && state->refusal.isEmpty();
        if (!response.ok) {
            if (!state->refusal.isEmpty()) {
                response.error = state->refusal;
            } else if (state->writeFailed) {
                response.error = QStringLiteral("无法写入文件：%1").arg(localPath);
            } else {
                response.networkError = isNetworkError(reply);
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
        if (connectionFailed)
            emit this->connectionFailed();
    };

    const auto drain = [this, reply, sink, state, acceptHeaders, complete, pump, progress] {
        if (state->completed)
            return;
        const int status = statusOf(reply);
        if (!reply->isOpen() || !state->refusal.isEmpty()) {
            if (state->networkDone)
                complete();
            return;
        }
        if (!isSuccessStatus(status)) {
            // An error page is not file content: keep it away from the (side) file.
            const QByteArray chunk = reply->readAll();
            state->errorBody.append(chunk.left(ErrorBodyCap - state->errorBody.size()));
            if (state->networkDone)
                complete();
            return;
        }
        if (!acceptHeaders()) {
            reply->abort(); // finished, and so complete, follow from inside abort
            return;
        }
        // Moved through one small buffer: no allocation per arrival, bounded time per write. The
        // limiter decides how much may move now; the rest waits in the reply, whose bounded buffer
        // then holds the network back.
        const qint64 before = state->written;
        while (reply->bytesAvailable() > 0) {
            const qint64 asked = std::min<qint64>(state->buffer.size(), reply->bytesAvailable());
            const qint64 want = m_downloadLimiter.take(asked);
            if (want <= 0) {
                if (!pump->isActive())
                    pump->start(m_downloadLimiter.waitMs(DownloadCopyBytes));
                break;
            }
            const qint64 got = reply->read(state->buffer.data(), want);
            if (got <= 0)
                break;
            bytesDown += got;
            state->written += got;
            if (!state->writeFailed && sink->write(state->buffer.constData(), got) != got) {
                state->writeFailed = true;
                reply->abort();
                return;
            }
            if (want < asked) {
                // The bucket ran dry. Taking what trickles back in would spin here, byte by byte,
                // through everything the reply holds, with no event (a pause) handled meanwhile.
                if (!pump->isActive())
                    pump->start(m_downloadLimiter.waitMs(DownloadCopyBytes));
                break;
            }
        }
        if (progress && state->written > before) {
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            progress(state->written, length.isValid() ? length.toLongLong() : -1);
        }
        if (state->networkDone && reply->bytesAvailable() == 0)
            complete();
    };

    connect(reply, &QNetworkReply::readyRead, this, [reply, state, pump, drain] {
        // The first bytes go at once: the headers are judged before any body byte is kept.
        if (state->headersSeen && !state->networkDone && reply->bytesAvailable() < DownloadGatherBytes) {
            if (!pump->isActive())
                pump->start(DownloadGatherMs);
            return;
        }
        drain();
    });
    connect(pump, &QTimer::timeout, this, drain);
    connect(reply, &QNetworkReply::finished, this, [reply, state, drain, complete] {
        state->networkDone = true;
        if (reply->isOpen() && state->refusal.isEmpty())
            drain(); // completes once the last byte is written, later when the limiter holds it back
        else
            complete();
    });
    return reply;
}

QNetworkReply *HttpClient::streamGet(const QNetworkRequest &request)
{
    if (StreamReply::canCarry(request.url()))
        return new StreamReply(request, this);
    return network()->get(request);
}

void HttpClient::stop(QNetworkReply *reply)
{
    if (!reply)
        return;
    if (reply->isRunning())
        reply->abort();
    else if (reply->isOpen())
        reply->QNetworkReply::close(); // the override returns early once finished
}

QNetworkReply *HttpClient::postBody(const QString &path, QIODevice *body, qint64 length, const QByteArray &contentType,
                                    HttpCallback callback)
{
    QNetworkRequest request(buildUrl(path));
    applyHeaders(request);
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    // With a stated length the access manager streams a sequential body instead of buffering it.
    request.setHeader(QNetworkRequest::ContentLengthHeader, length);
    QNetworkReply *reply = network()->post(request, body);
    body->setParent(reply);
    handleReply(reply, std::move(callback));
    return reply;
}

void HttpClient::setProxy(const QNetworkProxy &proxy)
{
    m_proxy = proxy;
    network()->setProxy(proxy);
    // Kept-alive connections still lead the old way, and credentials learnt from the old proxy's
    // challenges would outrank the new account: new requests start from the new proxy alone.
    network()->clearAccessCache();
}

QNetworkProxy HttpClient::proxyFor(const QUrl &url) const
{
    if (m_proxy.type() != QNetworkProxy::DefaultProxy)
        return m_proxy;
    // The application's choice: the system's settings, and never a proxy for loopback.
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy &proxy : proxies) {
        if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::HttpProxy ||
            proxy.type() == QNetworkProxy::Socks5Proxy)
            return proxy;
    }
    return QNetworkProxy(QNetworkProxy::NoProxy);
}

QString HttpClient::proxyAuthenticationText(bool accountGiven)
{
    return accountGiven ? QStringLiteral("代理服务器拒绝了代理账号或密码，请在传输设置中检查")
                        : QStringLiteral("代理服务器需要身份验证，请在传输设置中填写代理账号和密码");
}

bool HttpClient::isNetworkError(const QNetworkReply *reply)
{
    // Codes below 200 are the connection's and the proxy's; from 200 on they stand for answers.
    // A proxy that refuses the account answers the same way every time: that is no outage.
    const int code = int(reply->error());
    return code > 0 && code < 200 && reply->error() != QNetworkReply::ProxyAuthenticationRequiredError;
}

bool HttpClient::isConnectionFailure(const QNetworkReply *reply)
{
    switch (reply->error()) {
    case QNetworkReply::OperationCanceledError:  // the client's own abort (a pause, a cancel)
    case QNetworkReply::SslHandshakeFailedError: // a server that answered, in the wrong way
    case QNetworkReply::BackgroundRequestNotAllowedError:
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return false;
    default:
        return isNetworkError(reply);
    }
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
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        m_network->setProxy(m_proxy);
    }
    return m_network;
}

HttpResponse HttpClient::makeResponse(int status, const QByteArray &raw, const QString &transportError,
                                      bool parseSuccess)
{
    HttpResponse response;
    response.raw = raw;
    response.status = status;
    const bool transportFailed = !transportError.isEmpty();

    QJsonParseError parseError;
    const bool parse = parseSuccess || transportFailed || !isSuccessStatus(status);
    const QJsonDocument document = parse ? QJsonDocument::fromJson(response.raw, &parseError) : QJsonDocument();
    if (parse && parseError.error == QJsonParseError::NoError && !document.isNull()) {
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

    // The proxy's own answer: its body (a page of the proxy's) says nothing useful here.
    if (response.status == 407)
        response.error = proxyAuthenticationText(!m_proxy.user().isEmpty());
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
        HttpResponse response =
            makeResponse(statusOf(reply), raw, transportError, !reply->property(UnparsedProperty).toBool());
        response.networkError = !response.ok && isNetworkError(reply);
        const bool connectionFailed = !response.ok && isConnectionFailure(reply);
        reply->deleteLater();
        if (callback)
            callback(response);
        // After the callback: the request's owner settles first (a job pauses itself), then the watch hears it.
        if (connectionFailed)
            emit this->connectionFailed();
    });
}
