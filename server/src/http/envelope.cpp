#include "http/envelope.h"

#include "http/chunkedtext.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

namespace tvr::server {

static void send(http::Response &res, int status, const QJsonObject &body)
{
    res.status = status;
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    res.setContent(json.toStdString(), "application/json; charset=utf-8");
}

void ok(http::Response &res, const QJsonValue &data)
{
    okWith(res, data, {});
}

void okText(http::Response &res, const std::function<void(ChunkedText &)> &writeData)
{
    // Members in QJsonObject's key order, as ok() writes them.
    auto body = std::make_shared<ChunkedText>();
    body->append(R"({"data":)");
    writeData(*body);
    body->append(R"(,"success":true})");
    res.status = 200;
    ChunkedText::answer(res, std::move(body), "application/json; charset=utf-8");
}

void okWith(http::Response &res, const QJsonValue &data, const QJsonObject &extra)
{
    QJsonObject body = extra;
    body.insert(QStringLiteral("success"), true);
    body.insert(QStringLiteral("data"), data.isUndefined() ? QJsonValue(QJsonObject()) : data);
    send(res, 200, body);
}

void fail(http::Response &res, int status, const QString &message, const QString &code)
{
    QJsonObject body{{QStringLiteral("success"), false}, {QStringLiteral("message"), message}};
    if (!code.isEmpty())
        body.insert(QStringLiteral("code"), code);
    send(res, status, body);
}

std::optional<QJsonObject> jsonBody(const http::Request &req, http::Response &res)
{
    const QByteArray raw = QByteArray::fromRawData(req.body.data(), qsizetype(req.body.size())).trimmed();
    if (raw.isEmpty() || raw == "null")
        return QJsonObject(); // no body, or a JSON null, means "no arguments"
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(raw, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        fail(res, 400, Msg::BadRequest);
        return std::nullopt;
    }
    return doc.object();
}

void transportError(http::Response &res, int status)
{
    switch (status) {
    case 404:
        return fail(res, 404, QStringLiteral("接口不存在"));
    case 400:
        return fail(res, 400, Msg::BadRequest);
    case 413:
        return fail(res, 413, Msg::TooLarge);
    case 414:
        return fail(res, 414, QStringLiteral("请求地址过长"));
    case 503:
        return fail(res, 503, QStringLiteral("服务器繁忙，请稍后重试"));
    case 500:
        return fail(res, 500, Msg::Internal);
    default:
        return fail(res, status, QStringLiteral("请求失败(%1)").arg(status));
    }
}

QString jsonString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (std::floor(d) == d && std::abs(d) < 9.0e15)
            return QString::number(qint64(d));
    }
    return QString();
}

std::optional<qint64> parseId(const QString &text)
{
    bool ok = false;
    const qint64 id = text.trimmed().toLongLong(&ok);
    if (!ok || id <= 0)
        return std::nullopt;
    return id;
}

std::optional<qint64> jsonSize(const QJsonValue &value, qint64 max)
{
    if (value.isDouble()) {
        const double d = value.toDouble();
        // 2^63 and beyond do not fit; below that the comparison is exact in integers (max
        // itself may not be a double).
        if (!(d >= 0) || std::floor(d) != d || d >= 9223372036854775808.0)
            return std::nullopt;
        const qint64 size = qint64(d);
        if (size > max)
            return std::nullopt;
        return size;
    }
    if (value.isString()) {
        const QString text = value.toString().trimmed();
        if (text.isEmpty() || text.size() > 18)
            return std::nullopt;
        for (const QChar c : text) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
        }
        const qint64 size = text.toLongLong();
        if (size > max)
            return std::nullopt;
        return size;
    }
    return std::nullopt;
}

std::optional<qint64> jsonId(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (std::floor(d) != d || d <= 0 || d > 9.0e15)
            return std::nullopt;
        return qint64(d);
    }
    if (value.isString())
        return parseId(value.toString());
    return std::nullopt;
}

} // namespace tvr::server

namespace tvr::server {

std::optional<qint64> folderId(const QJsonValue &value)
{
    if (value.isUndefined() || value.isNull())
        return qint64(0);
    if (value.isString()) {
        const QString text = value.toString().trimmed();
        if (text.isEmpty() || text == QLatin1String("null") || text == QLatin1String("0"))
            return qint64(0);
    }
    if (value.isDouble() && value.toDouble() == 0)
        return qint64(0);
    return jsonId(value);
}

} // namespace tvr::server
