#include "files/fileapi.h"

#include "net/httpclient.h"

#include <QJsonObject>
#include <QUrl>

namespace {

QString encoded(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

QString teamPath(const QString &teamId)
{
    return QStringLiteral("/api/teams/") + encoded(teamId);
}

QJsonObject folderBody(const QString &name, const QString &parentId)
{
    QJsonObject body{{QStringLiteral("name"), name}};
    if (!parentId.isEmpty())
        body.insert(QStringLiteral("parent_id"), parentId);
    return body;
}

} // namespace

namespace Api {

QString listFilesPath(const QString &parentId, const QString &category)
{
    QString path = QStringLiteral("/api/files?");
    if (!parentId.isEmpty())
        path += QStringLiteral("parent_id=") + encoded(parentId) + QLatin1Char('&');
    if (!category.isEmpty() && category != QLatin1String("all"))
        path += QStringLiteral("category=") + encoded(category) + QLatin1Char('&');
    return path;
}

QString searchFilesPath(const QString &keyword)
{
    return QStringLiteral("/api/files/search?keyword=") + encoded(keyword);
}

QString listTeamFilesPath(const QString &teamId, const QString &parentId)
{
    QString path = teamPath(teamId) + QStringLiteral("/files");
    if (!parentId.isEmpty())
        path += QStringLiteral("?parent_id=") + encoded(parentId);
    return path;
}

QString searchTeamFilesPath(const QString &teamId, const QString &keyword)
{
    return teamPath(teamId) + QStringLiteral("/files/search?keyword=") + encoded(keyword);
}

void listFiles(const QString &parentId, const QString &category, HttpCallback callback)
{
    HttpClient::instance()->get(listFilesPath(parentId, category), std::move(callback));
}

void searchFiles(const QString &keyword, HttpCallback callback)
{
    HttpClient::instance()->get(searchFilesPath(keyword), std::move(callback));
}

void listTeamFiles(const QString &teamId, const QString &parentId, HttpCallback callback)
{
    HttpClient::instance()->get(listTeamFilesPath(teamId, parentId), std::move(callback));
}

void searchTeamFiles(const QString &teamId, const QString &keyword, HttpCallback callback)
{
    HttpClient::instance()->get(searchTeamFilesPath(teamId, keyword), std::move(callback));
}

void listFolders(HttpCallback callback)
{
    HttpClient::instance()->get(QStringLiteral("/api/folders"), std::move(callback));
}

void createFolder(const QString &name, const QString &parentId, HttpCallback callback)
{
    HttpClient::instance()->post(QStringLiteral("/api/folders"), folderBody(name, parentId), std::move(callback));
}

void createTeamFolder(const QString &teamId, const QString &name, const QString &parentId, HttpCallback callback)
{
    HttpClient::instance()->post(teamPath(teamId) + QStringLiteral("/folders"), folderBody(name, parentId),
                                 std::move(callback));
}

void renameFile(const QString &id, const QString &newName, HttpCallback callback)
{
    HttpClient::instance()->put(QStringLiteral("/api/files/") + encoded(id),
                                QJsonObject{{QStringLiteral("name"), newName}}, std::move(callback));
}

void moveFile(const QString &id, const QString &targetFolderId, HttpCallback callback)
{
    // The root is an explicit null, not a missing member.
    const QJsonValue parent = targetFolderId.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(targetFolderId);
    HttpClient::instance()->put(QStringLiteral("/api/files/") + encoded(id) + QStringLiteral("/move"),
                                QJsonObject{{QStringLiteral("parent_id"), parent}}, std::move(callback));
}

void deleteFile(const QString &id, HttpCallback callback)
{
    HttpClient::instance()->del(QStringLiteral("/api/files/") + encoded(id), std::move(callback));
}

void renameTeamFile(const QString &teamId, const QString &id, const QString &newName, HttpCallback callback)
{
    HttpClient::instance()->put(teamPath(teamId) + QStringLiteral("/files/") + encoded(id),
                                QJsonObject{{QStringLiteral("name"), newName}}, std::move(callback));
}

void moveTeamFile(const QString &teamId, const QString &id, const QString &targetFolderId, HttpCallback callback)
{
    const QJsonValue parent = targetFolderId.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(targetFolderId);
    HttpClient::instance()->put(teamPath(teamId) + QStringLiteral("/files/") + encoded(id) + QStringLiteral("/move"),
                                QJsonObject{{QStringLiteral("parent_id"), parent}}, std::move(callback));
}

void deleteTeamFile(const QString &teamId, const QString &id, HttpCallback callback)
{
    HttpClient::instance()->del(teamPath(teamId) + QStringLiteral("/files/") + encoded(id), std::move(callback));
}

void extractArchive(const QString &fileId, const QString &targetId, HttpCallback callback)
{
    QJsonObject body{{QStringLiteral("fileId"), fileId}};
    if (!targetId.isEmpty())
        body.insert(QStringLiteral("targetId"), targetId);
    HttpClient::instance()->post(QStringLiteral("/api/files/extract"), body, std::move(callback));
}

} // namespace Api
