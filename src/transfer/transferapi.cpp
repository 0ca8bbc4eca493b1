#include "transfer/transferapi.h"

#include "net/httpclient.h"
#include "net/httpconnection.h"

#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeDatabase>
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

// Form-data writes parameter values in double quotes; a quote or a line break in a file name
// would end the value or the header early, so they are escaped the way browsers do.
QByteArray quotedParameter(const QString &value)
{
    QByteArray bytes = value.toUtf8();
    bytes.replace('"', "%22").replace('\r', "%0D").replace('\n', "%0A");
    return '"' + bytes + '"';
}

const QMimeDatabase &mimeDatabase()
{
    static const QMimeDatabase database;
    return database;
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

QHttpMultiPart *buildUploadForm(const QStringList &paths, const QString &parentId)
{
    auto *multipart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    if (!parentId.isEmpty()) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader, QByteArrayLiteral("form-data; name=\"parent_id\""));
        part.setBody(parentId.toUtf8());
        multipart->append(part);
    }
    for (const QString &path : paths) {
        auto *file = new QFile(path, multipart);
        if (!file->open(QIODevice::ReadOnly)) { // folders and unreadable files are left out
            delete file;
            continue;
        }
        QString mimeType = mimeDatabase().mimeTypeForFile(path).name();
        if (mimeType.isEmpty())
            mimeType = QStringLiteral("application/octet-stream");
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       "form-data; name=\"files\"; filename=" + quotedParameter(QFileInfo(path).fileName()));
        part.setHeader(QNetworkRequest::ContentTypeHeader, mimeType.toUtf8());
        part.setBodyDevice(file);
        multipart->append(part);
    }
    return multipart;
}

void uploadFiles(const QStringList &paths, const QString &parentId, HttpCallback callback)
{
    HttpClient::instance()->postMultipart(QStringLiteral("/api/files/upload"), buildUploadForm(paths, parentId),
                                          std::move(callback));
}

void uploadTeamFiles(const QString &teamId, const QStringList &paths, const QString &parentId, HttpCallback callback)
{
    HttpClient::instance()->postMultipart(QStringLiteral("/api/teams/%1/files/upload").arg(encoded(teamId)),
                                          buildUploadForm(paths, parentId), std::move(callback));
}

} // namespace Api
