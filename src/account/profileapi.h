#pragma once

#include "net/httpresponse.h"

#include <QByteArray>
#include <QString>

// Requests of the personal centre.
namespace Api {

// GET /api/profile.
void getProfile(HttpCallback callback);
// PUT /api/profile with the edited fields.
void saveProfile(const QJsonObject &body, HttpCallback callback);
// POST /api/profile/avatar: the file as the multipart part "avatar", streamed from disk. A file that
// cannot be opened answers at once through callback with "无法打开图片：NAME".
void uploadAvatar(const QString &localPath, HttpCallback callback);
// "image/png" for the suffix "png" exactly, "image/jpeg" for anything else.
QByteArray avatarContentType(const QString &localPath);

} // namespace Api
