#pragma once

#include "net/httpresponse.h"

#include <QByteArray>
#include <QString>

class QIODevice;

// Requests of the personal centre.
namespace Api {

// GET /api/profile.
void getProfile(HttpCallback callback);
// PUT /api/profile with the edited fields.
void saveProfile(const QJsonObject &body, HttpCallback callback);
// POST /api/profile/avatar: the file as the multipart part "avatar", streamed from disk. A file that
// cannot be opened answers at once through callback with "无法打开图片：NAME"; one the server would
// refuse (avatarFileProblem) answers at once with that text, and nothing is sent.
void uploadAvatar(const QString &localPath, HttpCallback callback);
// The server's limits on an avatar: at most AvatarMaxBytes, PNG or JPEG by content.
constexpr qint64 AvatarMaxBytes = 2 * 1024 * 1024;
// Why the server would refuse this opened image (its Chinese text), or an empty string.
QString avatarFileProblem(QIODevice &file);
// "image/png" for the suffix "png" exactly, "image/jpeg" for anything else.
QByteArray avatarContentType(const QString &localPath);

} // namespace Api
