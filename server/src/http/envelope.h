#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <functional>
#include <optional>

#include "http/httpmessage.h"

namespace tvr::server {

class ChunkedText;

// The JSON envelope of every API answer:
//   success: 200 {"success":true,"data":DATA}        (DATA {} when there is nothing to return)
//   failure: 4xx/5xx {"success":false,"message":TEXT} (plus "code" when a machine-readable
//            reason helps the client, e.g. "PROFILE_INCOMPLETE")
void ok(http::Response &res, const QJsonValue &data = QJsonObject());
// Success whose data is JSON text that `writeData` appends to the answer (a large listing),
// sent from the blocks it was written into.
void okText(http::Response &res, const std::function<void(ChunkedText &)> &writeData);
// Success with extra top-level members beside "success" and "data" (e.g. "debugCode").
void okWith(http::Response &res, const QJsonValue &data, const QJsonObject &extra);
void fail(http::Response &res, int status, const QString &message, const QString &code = QString());
// The answer of the transport itself for a status (404 no such route, 413 body too large, 500).
void transportError(http::Response &res, int status);

// The request body as a JSON object. An empty body counts as {}; anything that is not a JSON
// object answers 400 and returns nothing.
std::optional<QJsonObject> jsonBody(const http::Request &req, http::Response &res);

// A member as text: strings as they are, integral numbers in decimal, else empty.
QString jsonString(const QJsonObject &object, const QString &key);
// An id sent as a number or as decimal text; nothing for anything else (null, empty, junk).
std::optional<qint64> jsonId(const QJsonValue &value);
std::optional<qint64> parseId(const QString &text);
// A byte count sent as a whole JSON number or decimal text, from 0 to `max`; nothing for
// anything else (fractions, negatives, values past `max`, which are refused before any
// arithmetic could overflow).
std::optional<qint64> jsonSize(const QJsonValue &value, qint64 max);
// A folder named by a request value, where missing, null, empty, "null" or 0 mean the root
// (returned as 0); nothing for anything else that is not an id.
std::optional<qint64> folderId(const QJsonValue &value);

// Common error texts, so that every area words them the same way.
namespace Msg {
inline const QString BadRequest = QStringLiteral("请求格式错误");
inline const QString NotSignedIn = QStringLiteral("请先登录");
inline const QString SessionExpired = QStringLiteral("登录已失效，请重新登录");
inline const QString NotFound = QStringLiteral("文件不存在");
inline const QString Internal = QStringLiteral("服务器内部错误，请稍后重试");
inline const QString QuotaExceeded = QStringLiteral("存储空间不足");
inline const QString TooLarge = QStringLiteral("请求内容过大");
} // namespace Msg

} // namespace tvr::server
