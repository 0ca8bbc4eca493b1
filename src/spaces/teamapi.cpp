#include "spaces/teamapi.h"

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

} // namespace

namespace Api {

void listTeams(HttpCallback callback)
{
    HttpClient::instance()->get(QStringLiteral("/api/teams"), std::move(callback));
}

void createTeam(const QString &name, HttpCallback callback)
{
    HttpClient::instance()->post(QStringLiteral("/api/teams"), QJsonObject{{QStringLiteral("name"), name}},
                                 std::move(callback));
}

void renameTeam(const QString &teamId, const QString &name, HttpCallback callback)
{
    HttpClient::instance()->put(teamPath(teamId), QJsonObject{{QStringLiteral("name"), name}}, std::move(callback));
}

void dissolveTeam(const QString &teamId, HttpCallback callback)
{
    HttpClient::instance()->del(teamPath(teamId), std::move(callback));
}

void leaveTeam(const QString &teamId, HttpCallback callback)
{
    HttpClient::instance()->post(teamPath(teamId) + QStringLiteral("/leave"), QJsonValue(), std::move(callback));
}

void listTeamMembers(const QString &teamId, HttpCallback callback)
{
    HttpClient::instance()->get(teamPath(teamId) + QStringLiteral("/members"), std::move(callback));
}

void inviteTeamMember(const QString &teamId, const QString &keyword, HttpCallback callback)
{
    HttpClient::instance()->post(teamPath(teamId) + QStringLiteral("/members"),
                                 QJsonObject{{QStringLiteral("keyword"), keyword}}, std::move(callback));
}

void removeTeamMember(const QString &teamId, const QString &userId, HttpCallback callback)
{
    HttpClient::instance()->del(teamPath(teamId) + QStringLiteral("/members/") + encoded(userId), std::move(callback));
}

} // namespace Api
