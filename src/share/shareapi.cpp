#include "share/shareapi.h"

#include "net/httpclient.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

const QString SharesPath = QStringLiteral("/api/shares");

// File and team ids are integers on the server; an id that is not one is passed on as text and
// the server says what it thinks of it.
QJsonValue idValue(const QString &id)
{
    bool isNumber = false;
    const qint64 number = id.toLongLong(&isNumber);
    return isNumber ? QJsonValue(number) : QJsonValue(id);
}

} // namespace

namespace Api {

QJsonObject shareRequestBody(const ShareOptions &options)
{
    QJsonObject body{{QStringLiteral("fileId"), idValue(options.fileId)},
                     {QStringLiteral("validDays"), options.validDays},
                     {QStringLiteral("withCode"), options.withCode},
                     {QStringLiteral("allowDownload"), options.allowDownload}};
    if (!options.teamId.isEmpty())
        body.insert(QStringLiteral("teamId"), idValue(options.teamId));
    return body;
}

void createShare(const ShareOptions &options, HttpCallback callback)
{
    HttpClient::instance()->post(SharesPath, shareRequestBody(options), std::move(callback));
}

void listShares(HttpCallback callback)
{
    HttpClient::instance()->get(SharesPath, std::move(callback));
}

void cancelShares(const QList<qint64> &ids, HttpCallback callback)
{
    QJsonArray array;
    for (qint64 id : ids)
        array.append(id);
    HttpClient::instance()->post(SharesPath + QStringLiteral("/cancel"), QJsonObject{{QStringLiteral("ids"), array}},
                                 std::move(callback));
}

} // namespace Api
