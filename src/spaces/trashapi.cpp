#include "spaces/trashapi.h"

#include "net/httpclient.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QUrl>

namespace {

QString entryPath(const QString &id, const char *action)
{
    return QStringLiteral("/api/files/") + QString::fromLatin1(QUrl::toPercentEncoding(id)) + QLatin1Char('/') +
           QLatin1String(action);
}

QJsonObject idsBody(const QStringList &ids)
{
    return {{QStringLiteral("ids"), QJsonArray::fromStringList(ids)}};
}

} // namespace

namespace Api {

void listTrash(HttpCallback callback)
{
    HttpClient::instance()->get(QStringLiteral("/api/files/trash"), std::move(callback));
}

void restoreTrashItem(const QString &id, HttpCallback callback)
{
    HttpClient::instance()->put(entryPath(id, "restore"), QJsonValue(), std::move(callback));
}

void purgeTrashItem(const QString &id, HttpCallback callback)
{
    HttpClient::instance()->del(entryPath(id, "permanent"), std::move(callback));
}

void restoreTrashItems(const QStringList &ids, HttpCallback callback)
{
    HttpClient::instance()->post(QStringLiteral("/api/files/restore/batch"), idsBody(ids), std::move(callback));
}

void purgeTrashItems(const QStringList &ids, HttpCallback callback)
{
    HttpClient::instance()->post(QStringLiteral("/api/files/permanent/batch"), idsBody(ids), std::move(callback));
}

} // namespace Api
