#include "transfer/transferapi.h"

#include "net/httpclient.h"
#include "net/httpconnection.h"
#include "transfer/multipartbody.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
// A chunk transfer that moves no byte for this long is given up (and retried by the uploader).
// The time-out restarts with every byte sent, so slow links are not cut off.
constexpr int ChunkIdleTimeoutMs = 60000;
// The merge answers only after the server has read the whole file (about 8 s per GiB on a busy machine).
constexpr int MergeIdleTimeoutMs = 10 * 60 * 1000;

QString encoded(const QString &id)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}

} // namespace

namespace Api {

void initUpload(const QString &name, qint64 size, const QString &md5, const QString &parentId, HttpCallback callback)
{
    const QJsonObject body{
        {QStringLiteral("name"), name},
        {QStringLiteral("size"), size},
        {QStringLiteral("md5"), md5},
        {QStringLiteral("parent_id"), parentId.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(parentId)},
    };
    HttpClient::instance()->post(QStringLiteral("/api/upload/init"), body, std::move(callback));
}

QString uploadChunkPath(const QString &uploadId, int index)
{
    // Concatenated, not arg()-chained: an encoded id contains "%2"-like sequences.
    return QStringLiteral("/api/upload/chunk/") + encoded(uploadId) + QLatin1Char('/') + QString::number(index);
}

void uploadChunk(HttpConnection *connection, const QString &uploadId, int index, const QByteArray &bytes,
                 HttpCallback callback)
{
    HttpClient *client = HttpClient::instance();
    QNetworkRequest request(client->buildUrl(uploadChunkPath(uploadId, index)));
    client->applyHeaders(request);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/octet-stream"));
    connection->setIdleTimeoutMs(ChunkIdleTimeoutMs);
    connection->send(QByteArrayLiteral("PUT"), request, bytes, std::move(callback));
}

void mergeUpload(const QString &uploadId, HttpCallback callback)
{
    // Sent like any JSON request, but the server checks the whole file's MD5 before it answers,
    // which for large files takes longer than the usual 20 s of silence.
    HttpClient *client = HttpClient::instance();
    QNetworkRequest request(client->buildUrl(QStringLiteral("/api/upload/merge")));
    client->applyHeaders(request);
    request.setTransferTimeout(MergeIdleTimeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("uploadId"), uploadId}}).toJson(QJsonDocument::Compact);
    client->handleReply(client->network()->post(request, body), std::move(callback));
}

void abandonUpload(const QString &uploadId, HttpCallback callback)
{
    HttpClient::instance()->del(QStringLiteral("/api/upload/") + encoded(uploadId), std::move(callback));
}

MultipartBody *buildUploadForm(const QStringList &paths, const QString &parentId)
{
    auto *body = new MultipartBody;
    if (!parentId.isEmpty())
        body->addField("parent_id", parentId.toUtf8());
    for (const QString &path : paths)
        body->addFile("files", path); // folders and unreadable files are left out
    body->finish();
    return body;
}

namespace {
QNetworkReply *postForm(const QString &path, MultipartBody *body, HttpCallback callback)
{
    return HttpClient::instance()->postBody(path, body, body->length(), body->contentType(), std::move(callback));
}
} // namespace

QNetworkReply *uploadFiles(const QStringList &paths, const QString &parentId, HttpCallback callback)
{
    return postForm(QStringLiteral("/api/files/upload"), buildUploadForm(paths, parentId), std::move(callback));
}

QNetworkReply *uploadTeamFiles(const QString &teamId, const QStringList &paths, const QString &parentId,
                               HttpCallback callback)
{
    return postForm(QStringLiteral("/api/teams/%1/files/upload").arg(encoded(teamId)), buildUploadForm(paths, parentId),
                    std::move(callback));
}

QNetworkReply *uploadVaultFile(const QString &path, HttpCallback callback)
{
    auto *body = new MultipartBody;
    if (!body->addFile("file", path)) {
        delete body;
        HttpResponse failed;
        failed.error = QStringLiteral("无法打开文件");
        if (callback)
            callback(failed);
        return nullptr;
    }
    body->finish();
    return postForm(QStringLiteral("/api/vault/upload"), body, std::move(callback));
}

} // namespace Api
