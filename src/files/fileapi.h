#pragma once

#include "net/httpresponse.h"

#include <QString>

// Requests of the file workspace. Every id, keyword and category put into a path is
// percent-encoded as UTF-8; callbacks run once on the GUI thread (see HttpClient).
namespace Api {

// Paths exactly as sent, trailing "?" or "&" included.
QString listFilesPath(const QString &parentId, const QString &category);
QString searchFilesPath(const QString &keyword);
QString listTeamFilesPath(const QString &teamId, const QString &parentId);
QString searchTeamFilesPath(const QString &teamId, const QString &keyword);

// Listing and search: data is an array of file records.
void listFiles(const QString &parentId, const QString &category, HttpCallback callback);
void searchFiles(const QString &keyword, HttpCallback callback);
void listTeamFiles(const QString &teamId, const QString &parentId, HttpCallback callback);
void searchTeamFiles(const QString &teamId, const QString &keyword, HttpCallback callback);
// All folders of the user in one flat array of {id, parent_id, name}.
void listFolders(HttpCallback callback);

// An empty parentId creates the folder at the root.
void createFolder(const QString &name, const QString &parentId, HttpCallback callback);
void createTeamFolder(const QString &teamId, const QString &name, const QString &parentId, HttpCallback callback);
void renameFile(const QString &id, const QString &newName, HttpCallback callback);
// An empty targetFolderId moves the entry to the root.
void moveFile(const QString &id, const QString &targetFolderId, HttpCallback callback);
void renameTeamFile(const QString &teamId, const QString &id, const QString &newName, HttpCallback callback);
// An empty targetFolderId moves the entry to the team's root.
void moveTeamFile(const QString &teamId, const QString &id, const QString &targetFolderId, HttpCallback callback);
// Personal entries go to the trash; team entries are deleted for good.
void deleteFile(const QString &id, HttpCallback callback);
void deleteTeamFile(const QString &teamId, const QString &id, HttpCallback callback);
// An empty targetId extracts into the root.
void extractArchive(const QString &fileId, const QString &targetId, HttpCallback callback);

} // namespace Api
