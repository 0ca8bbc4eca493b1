#include "net/httpresponse.h"

#include <QJsonDocument>
#include <QVariant>
#include <cmath>
#include <limits>

namespace {
const QString SuccessKey = QStringLiteral("success");
const QString DataKey = QStringLiteral("data");
const QString MessageKey = QStringLiteral("message");
const QString ErrorKey = QStringLiteral("error");
const QString OperationFailed = QStringLiteral("操作失败");

// An empty message would leave the user with a blank failure, so it counts as missing.
QString textOr(const QJsonValue &value, const QString &fallback)
{
    const QString text = value.toString();
    return text.isEmpty() ? fallback : text;
}
} // namespace

bool HttpResponse::unwrap(QJsonObject &data, QString &errorText) const
{
    data = QJsonObject();
    errorText.clear();

    if (!ok) {
        errorText = error.isEmpty() ? QStringLiteral("网络错误(%1)").arg(status) : error;
        return false;
    }
    if (!json.isObject()) {
        errorText = QStringLiteral("响应格式错误");
        return false;
    }

    const QJsonObject object = json.toObject();
    if (object.contains(SuccessKey)) {
        if (object.value(SuccessKey).toBool()) {
            data = object.value(DataKey).toObject(); // empty when missing or not an object
            return true;
        }
        errorText = textOr(object.value(MessageKey), OperationFailed);
        return false;
    }
    if (object.contains(ErrorKey)) {
        errorText = textOr(object.value(ErrorKey), OperationFailed);
        return false;
    }
    data = object;
    return true;
}

QJsonArray HttpResponse::dataArray() const
{
    return json.toObject().value(DataKey).toArray();
}

QString jsonText(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isString())
        return value.toString();
    if (!value.isDouble())
        return {};

    const double number = value.toDouble();
    // 2^63 is exactly representable; anything at or past it does not fit a qint64.
    constexpr double Int64Limit = 9223372036854775808.0;
    if (std::isfinite(number) && std::trunc(number) == number && number >= -Int64Limit && number < Int64Limit)
        return QString::number(value.toInteger(static_cast<qint64>(number))); // exact past 2^53
    return QString::number(number, 'g', 6);
}

qint64 clampedInt64(double number)
{
    if (std::isnan(number))
        return 0;
    const double whole = std::trunc(number);
    // 2^63 is exactly representable; anything at or past it does not fit a qint64.
    if (whole >= 9223372036854775808.0)
        return std::numeric_limits<qint64>::max();
    if (whole <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(whole);
}

qint64 jsonInt64(const QJsonValue &value, qint64 fallback)
{
    if (value.isDouble()) {
        // Integers beyond 2^53 arrive exact; keep them exact.
        const QVariant variant = value.toVariant();
        if (variant.typeId() == QMetaType::LongLong)
            return variant.toLongLong();
        return clampedInt64(value.toDouble());
    }
    if (value.isString()) {
        bool ok = false;
        const qint64 parsed = value.toString().toLongLong(&ok, 10);
        return ok ? parsed : 0;
    }
    return fallback;
}

qint64 jsonInt64(const QJsonObject &object, const QString &key, qint64 fallback)
{
    return jsonInt64(object.value(key), fallback);
}
