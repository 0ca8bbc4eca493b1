#include "transfer/packdownload.h"

#include "net/httpclient.h"
#include "transfer/downloadregistry.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <algorithm>
#include <memory>

namespace {
// The unread part of the reply is bounded: the network pauses when the disk falls behind.
constexpr qint64 ReadBufferBytes = 2 * 1024 * 1024;
// An error body is kept only to find the server's text.
constexpr qsizetype ErrorBodyCap = 64 * 1024;
// The server may think a while before the first byte of a large archive; only a silent link
// this long is given up.
constexpr int IdleTimeoutMs = 120000;

struct PackState
{
    QFile sink;
    bool opened = false;
    bool writeFailed = false;
    bool networkDone = false;
    bool completed = false;
    qint64 written = 0;
    QByteArray errorBody;
};

constexpr qint64 CopyBytes = 256 * 1024;

int statusOf(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() ? status.toInt() : 0;
}

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

QString writeFailedText(const QString &savePath)
{
    return QStringLiteral("无法写入：%1").arg(savePath);
}
} // namespace

namespace Api {

QNetworkReply *packDownload(const QStringList &ids, const QString &savePath, PackProgressFn progress, HttpCallback done)
{
    HttpClient *client = HttpClient::instance();
    if (!DownloadRegistry::claim(savePath)) {
        // Another job writes this archive or its side file: refuse rather than share the file.
        QTimer::singleShot(0, client, [savePath, done] {
            HttpResponse response;
            response.raw = savePath.toUtf8();
            response.error = DownloadRegistry::busyText(QFileInfo(savePath).fileName());
            if (done)
                done(response);
        });
        return nullptr;
    }
    QJsonArray idArray;
    for (const QString &id : ids)
        idArray.append(id);
    const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("ids"), idArray}}).toJson(QJsonDocument::Compact);

    QNetworkRequest request(client->buildUrl(QStringLiteral("/api/files/pack-download")));
    client->applyHeaders(request);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setTransferTimeout(IdleTimeoutMs);
    QNetworkReply *reply = client->network()->post(request, body);
    // The toolkit's SOCKS5 socket stops delivering once a bounded read buffer has filled (see
    // Downloader::ProxyPartBytes); through such a proxy the archive is read without a bound.
    const bool socks = client->proxyFor(request.url()).type() == QNetworkProxy::Socks5Proxy;
    reply->setReadBufferSize(socks ? 0 : ReadBufferBytes);

    auto state = std::make_shared<PackState>();
    state->sink.setFileName(savePath + QStringLiteral(".part"));

    auto *pump = new QTimer(reply); // wakes the drain when the limiter had no bytes to give
    pump->setSingleShot(true);

    const auto complete = [reply, state, savePath, done] {
        if (state->completed)
            return;
        state->completed = true;
        reply->deleteLater();

        HttpResponse response;
        response.status = statusOf(reply);
        response.raw = savePath.toUtf8();
        response.ok = isSuccess(response.status) && reply->error() == QNetworkReply::NoError && !state->writeFailed;

        if (state->opened) {
            if (!state->sink.flush())
                state->writeFailed = response.ok = false;
            state->sink.close();
        }
        if (response.ok && state->opened) {
            // The finished archive replaces an older one of the same name only now.
            QFile::remove(savePath);
            if (!QFile::rename(state->sink.fileName(), savePath)) {
                state->writeFailed = true;
                response.ok = false;
            }
        }
        if (!response.ok) {
            if (state->opened || QFile::exists(state->sink.fileName()))
                QFile::remove(state->sink.fileName());
            if (state->writeFailed) {
                response.error = writeFailedText(savePath);
            } else {
                const QJsonDocument document = QJsonDocument::fromJson(state->errorBody);
                if (document.isObject()) {
                    response.isJson = true;
                    response.json = document.object();
                    const QJsonObject object = document.object();
                    response.error = object.value(QStringLiteral("error")).toString();
                    if (response.error.isEmpty())
                        response.error = object.value(QStringLiteral("message")).toString();
                }
                response.networkError = HttpClient::isNetworkError(reply);
                if (response.error.isEmpty() && reply->error() == QNetworkReply::OperationCanceledError)
                    response.error = QStringLiteral("请求超时"); // the idle time-out; own aborts are write failures
                else if (response.error.isEmpty() && reply->error() != QNetworkReply::NoError)
                    response.error = HttpClient::networkErrorText(reply);
                if (response.error.isEmpty())
                    response.error = QStringLiteral("请求失败(%1)").arg(response.status);
            }
        }
        // Given back before done runs, so its handler may write the same name again.
        DownloadRegistry::release(savePath);
        if (done)
            done(response);
    };

    const auto drain = [client, reply, state, pump, progress, complete] {
        if (state->completed)
            return;
        if (!reply->isOpen()) {
            if (state->networkDone)
                complete();
            return;
        }
        if (!isSuccess(statusOf(reply))) {
            const QByteArray chunk = reply->readAll();
            state->errorBody.append(chunk.left(ErrorBodyCap - state->errorBody.size()));
            if (state->networkDone)
                complete();
            return;
        }
        if (state->writeFailed)
            return;
        RateLimiter &limiter = client->downloadLimiter();
        const qint64 before = state->written;
        while (reply->bytesAvailable() > 0) {
            const qint64 asked = std::min(CopyBytes, reply->bytesAvailable());
            const qint64 allowed = limiter.take(asked);
            if (allowed <= 0) {
                if (!pump->isActive())
                    pump->start(limiter.waitMs(CopyBytes));
                break;
            }
            const QByteArray chunk = reply->read(allowed);
            client->bytesDown += chunk.size();
            state->written += chunk.size();
            // Opened on the first byte: an empty success writes nothing.
            if (!state->opened) {
                state->opened = state->sink.open(QIODevice::WriteOnly | QIODevice::Truncate);
                if (!state->opened) {
                    state->writeFailed = true;
                    reply->abort();
                    return;
                }
            }
            if (state->sink.write(chunk) != chunk.size()) {
                state->writeFailed = true;
                reply->abort();
                return;
            }
            if (allowed < asked) {
                // The bucket ran dry: wait for it rather than spin on what trickles back in.
                if (!pump->isActive())
                    pump->start(limiter.waitMs(CopyBytes));
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
    QObject::connect(reply, &QNetworkReply::readyRead, client, drain);
    QObject::connect(pump, &QTimer::timeout, client, drain);
    QObject::connect(reply, &QNetworkReply::finished, client, [reply, state, drain, complete] {
        state->networkDone = true;
        if (reply->isOpen() && !state->writeFailed)
            drain(); // completes once the last byte is written
        else
            complete();
    });
    return reply;
}

} // namespace Api
