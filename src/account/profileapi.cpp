#include "account/profileapi.h"

#include "net/httpclient.h"

#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>

namespace Api {

void getProfile(HttpCallback callback)
{
    HttpClient::instance()->get(QStringLiteral("/api/profile"), std::move(callback));
}

void saveProfile(const QJsonObject &body, HttpCallback callback)
{
    HttpClient::instance()->send("PUT", QStringLiteral("/api/profile"), body, std::move(callback));
}

QByteArray avatarContentType(const QString &localPath)
{
    return QFileInfo(localPath).suffix() == QLatin1String("png") ? QByteArrayLiteral("image/png")
                                                                 : QByteArrayLiteral("image/jpeg");
}

QString avatarFileProblem(QIODevice &file)
{
    if (file.size() > AvatarMaxBytes)
        return QStringLiteral("头像图片不能超过 2MB");
    const QByteArray head = file.peek(8);
    const bool png = head.startsWith(QByteArray("\x89PNG\r\n\x1a\n", 8));
    const bool jpeg = head.startsWith(QByteArray("\xff\xd8\xff", 3));
    if (!png && !jpeg)
        return QStringLiteral("头像只支持 PNG 或 JPG 图片");
    return QString();
}

void uploadAvatar(const QString &localPath, HttpCallback callback)
{
    const QString fileName = QFileInfo(localPath).fileName();
    auto multipart = std::make_unique<QHttpMultiPart>(QHttpMultiPart::FormDataType);
    auto *file = new QFile(localPath, multipart.get());
    if (!file->open(QIODevice::ReadOnly)) {
        HttpResponse failed;
        failed.error = QStringLiteral("无法打开图片：%1").arg(fileName);
        callback(failed);
        return;
    }
    // The server cuts a larger body off mid-way, which would read as a broken connection.
    const QString problem = avatarFileProblem(*file);
    if (!problem.isEmpty()) {
        HttpResponse refused;
        refused.error = problem;
        callback(refused);
        return;
    }
    QHttpPart part;
    // Quotes and line breaks in a file name would break the header; the server ignores the name anyway.
    QByteArray headerName = fileName.toUtf8();
    headerName.replace('"', "").replace('\r', "").replace('\n', "");
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QByteArray("form-data; name=\"avatar\"; filename=\"" + headerName + '"'));
    part.setHeader(QNetworkRequest::ContentTypeHeader, avatarContentType(localPath));
    part.setBodyDevice(file);
    multipart->append(part);
    HttpClient::instance()->postMultipart(QStringLiteral("/api/profile/avatar"), multipart.release(),
                                          std::move(callback));
}

} // namespace Api
