#include "envelope.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>
#include <cstdlib>
#include <httplib.h>
#include <memory>

namespace tvr::server {

static void send(httplib::Response &res, int status, const QJsonObject &body)
{
    res.status = status;
    // Served through a provider with an explicit length rather than as a plain body: the HTTP
    // library would otherwise cut a plain body to the request's Range header (and even turn an
    // error into 416), so a download request that fails would answer a mangled envelope.
    auto json = std::make_shared<QByteArray>(QJsonDocument(body).toJson(QJsonDocument::Compact));
    res.set_header("Content-Length", std::to_string(json->size()));
    res.set_content_provider("application/json; charset=utf-8", [json](size_t, httplib::DataSink &sink) {
        sink.write(json->constData(), size_t(json->size()));
        sink.done();
        return true;
    });
}

void ok(httplib::Response &res, const QJsonValue &data)
{
    okWith(res, data, {});
}

void okWith(httplib::Response &res, const QJsonValue &data, const QJsonObject &extra)
{
    QJsonObject body = extra;
    body.insert(QStringLiteral("success"), true);
    body.insert(QStringLiteral("data"), data.isUndefined() ? QJsonValue(QJsonObject()) : data);
    send(res, 200, body);
}

void fail(httplib::Response &res, int status, const QString &message, const QString &code)
{
    QJsonObject body{{QStringLiteral("success"), false}, {QStringLiteral("message"), message}};
    if (!code.isEmpty())
        body.insert(QStringLiteral("code"), code);
    send(res, status, body);
}

std::optional<QJsonObject> jsonBody(const httplib::Request &req, httplib::Response &res)
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

void skipBody(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader)
{
    const bool known = req.has_header("Content-Length");
    const qint64 length = known ? std::strtoll(req.get_header_value("Content-Length").c_str(), nullptr, 10) : -1;
    if (!known || length < 0 || length > DrainLimit) {
        res.set_header("Connection", "close");
        return;
    }
    const auto drop = [](const char *, size_t) { return true; };
    const bool read = req.is_multipart_form_data()
                          ? reader([](const httplib::MultipartFormData &) { return true; }, drop)
                          : reader(drop);
    if (!read)
        res.set_header("Connection", "close");
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
