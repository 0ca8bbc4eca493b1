#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <functional>

// The outcome of one request. Copied freely; callbacks receive it by const reference.
struct HttpResponse
{
    bool ok = false;     // status 200..299 (downloads: and no network error)
    int status = 0;      // 0 when no status was received (connection failure, time-out, abort)
    bool isJson = false; // body parsed as a JSON object or array
    QJsonValue json;     // the parsed object or array; null otherwise
    QByteArray raw;      // whole body; for downloads the local file path as UTF-8
    QString error;       // failure text, empty when ok
    // The exchange broke off in the network (no server, time-out, connection cut, proxy), as
    // opposed to an answer that said no; such a request may succeed when sent again later.
    bool networkError = false;

    // The service envelope: true with the data object, or false with a Chinese error text.
    bool unwrap(QJsonObject &data, QString &errorText) const;
    // The "data" member of an object body when it is an array; otherwise empty.
    QJsonArray dataArray() const;
};

using HttpCallback = std::function<void(const HttpResponse &)>;

// A JSON member as text: strings unchanged, integral numbers in decimal, other numbers with
// 6 significant digits, anything else empty. Ids arrive as strings or numbers alike.
QString jsonText(const QJsonObject &object, const QString &key);

// A number chosen by the server as a signed 64-bit integer: a JSON number truncated toward zero
// and clamped to the range (NaN gives 0), a base-10 integer string (any other string gives 0),
// anything else (missing, null, bool, ...) gives fallback. Never an out-of-range conversion.
qint64 jsonInt64(const QJsonValue &value, qint64 fallback = 0);
qint64 jsonInt64(const QJsonObject &object, const QString &key, qint64 fallback = 0);
// A double truncated toward zero and clamped to the signed 64-bit range; NaN gives 0.
qint64 clampedInt64(double number);
