#pragma once

#include "net/httpresponse.h"

#include <QList>
#include <QString>

// Requests of the share links: a link for one file or folder that people without an account open in
// a browser. Callbacks run once on the GUI thread (see HttpClient).
namespace Api {

// What the share card asks for. validDays is 1, 7 or 30, or 0 for a link that never expires.
struct ShareOptions
{
    QString fileId;
    QString teamId; // empty for a personal file
    int validDays = 7;
    bool withCode = true;
    bool allowDownload = true;
};

// The body of POST /api/shares; ids go out as numbers when they read as one.
QJsonObject shareRequestBody(const ShareOptions &options);
// data: the new link ("id", "token", "url", "code", "name", "isFolder", "createdAt", "expiresAt", "allowDownload").
void createShare(const ShareOptions &options, HttpCallback callback);
// data: the user's links, newest first, each with its "state" and counts.
void listShares(HttpCallback callback);
// data: {"cancelled": n}.
void cancelShares(const QList<qint64> &ids, HttpCallback callback);

} // namespace Api
