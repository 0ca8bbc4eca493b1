#pragma once

#include "net/httpresponse.h"

#include <QString>

// Requests of team spaces and their members. Team and user ids are percent-encoded in paths;
// callbacks run once on the GUI thread (see HttpClient). The team's files go through the file API.
namespace Api {

// data: the caller's teams with "id", "name", "role", "member_count" and "used_size".
void listTeams(HttpCallback callback);
void createTeam(const QString &name, HttpCallback callback);
void renameTeam(const QString &teamId, const QString &name, HttpCallback callback);
// Owner only: the team and all its files go.
void dissolveTeam(const QString &teamId, HttpCallback callback);
// Members only: the owner cannot leave.
void leaveTeam(const QString &teamId, HttpCallback callback);

// data: the members with "user_id", "role", "name", "username" and "phone".
void listTeamMembers(const QString &teamId, HttpCallback callback);
// The server resolves keyword (a user name or a mobile number) to a user.
void inviteTeamMember(const QString &teamId, const QString &keyword, HttpCallback callback);
void removeTeamMember(const QString &teamId, const QString &userId, HttpCallback callback);

} // namespace Api
