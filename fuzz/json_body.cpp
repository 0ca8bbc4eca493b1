// JSON request bodies and the numbers, ids and texts routes read from them: any bytes give an
// object or a 400 answer in the envelope, and every id, folder and size read is within its
// bounds, without an out-of-range conversion (which UBSan reports).
#include "fuzzcheck.h"

#include "http/envelope.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <limits>

using namespace tvr::server;

namespace {

void readAllWays(const QJsonValue &value)
{
    if (const auto id = jsonId(value))
        TVR_FUZZ_CHECK(*id > 0);
    if (const auto folder = folderId(value))
        TVR_FUZZ_CHECK(*folder >= 0);
    constexpr qint64 Max = std::numeric_limits<qint64>::max();
    for (const qint64 max :
         {qint64(0), qint64(1), qint64(1) << 40, (qint64(1) << 53) + 1, (qint64(1) << 53) + 3, Max - 1, Max}) {
        if (const auto size = jsonSize(value, max))
            TVR_FUZZ_CHECK(*size >= 0 && *size <= max);
    }
    if (const auto id = parseId(value.toString()))
        TVR_FUZZ_CHECK(*id > 0);

    QJsonObject holder;
    holder.insert(QStringLiteral("v"), value);
    const QString text = jsonString(holder, QStringLiteral("v"));
    if (value.isDouble() && !text.isEmpty()) {
        // A whole number in plain decimal.
        for (qsizetype i = 0; i < text.size(); ++i)
            TVR_FUZZ_CHECK(text.at(i).isDigit() || (i == 0 && text.at(i) == QLatin1Char('-')));
    }
    if (!value.isString() && !value.isDouble())
        TVR_FUZZ_CHECK(text.isEmpty());
}

void readNested(const QJsonValue &value, int depth)
{
    readAllWays(value);
    if (depth > 3)
        return;
    if (value.isArray()) {
        for (const QJsonValue &element : value.toArray())
            readNested(element, depth + 1);
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            readNested(it.value(), depth + 1);
    }
}

} // namespace

TVR_FUZZ_ENTRY
{
    http::Request request;
    request.body.assign(reinterpret_cast<const char *>(data), size);
    http::Response response;
    const std::optional<QJsonObject> body = jsonBody(request, response);
    if (!body) {
        // Refused with the envelope's failure, never a silent success.
        TVR_FUZZ_CHECK(response.status == 400);
        const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(response.body)).object();
        TVR_FUZZ_CHECK(answer.value(QStringLiteral("success")) == QJsonValue(false));
        TVR_FUZZ_CHECK(!answer.value(QStringLiteral("message")).toString().isEmpty());
        return 0;
    }
    readNested(*body, 0);
    // Members a route looks up but the client left out.
    readAllWays(body->value(QStringLiteral("no such member")));
    return 0;
}
