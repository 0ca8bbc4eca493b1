#include "net/jsonnumber.h"

#include <QVariant>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double Int64Bound = 9223372036854775808.0; // 2^63, exactly representable

// A finite double as a qint64, truncated and saturated instead of converted out of range.
qint64 saturated(double number)
{
    const double whole = std::trunc(number);
    if (whole >= Int64Bound)
        return std::numeric_limits<qint64>::max();
    if (whole < -Int64Bound)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(whole);
}

bool readWhole(const QJsonValue &value, qint64 &out)
{
    if (value.isDouble()) {
        // Integers past 2^53 arrive exact as long long; keep them exact.
        const QVariant variant = value.toVariant();
        if (variant.typeId() == QMetaType::LongLong) {
            out = variant.toLongLong();
            return true;
        }
        const double number = value.toDouble();
        if (!std::isfinite(number))
            return false;
        out = saturated(number);
        return true;
    }
    if (value.isString()) {
        const QString text = value.toString().trimmed();
        bool ok = false;
        const qint64 whole = text.toLongLong(&ok, 10);
        if (ok) {
            out = whole;
            return true;
        }
        // Also "2.5e3"; text too large for a double does not convert and counts as no number.
        const double number = text.toDouble(&ok);
        if (!ok || !std::isfinite(number))
            return false;
        out = saturated(number);
        return true;
    }
    return false;
}

} // namespace

qint64 jsonBoundedInt64(const QJsonValue &value, qint64 min, qint64 max, qint64 fallback)
{
    if (max < min)
        std::swap(min, max);
    qint64 number = fallback;
    if (!readWhole(value, number))
        number = fallback;
    return std::clamp(number, min, max);
}

qint64 jsonBoundedInt64(const QJsonObject &object, const QString &key, qint64 min, qint64 max, qint64 fallback)
{
    return jsonBoundedInt64(object.value(key), min, max, fallback);
}

qint64 jsonByteCount(const QJsonObject &object, const QString &key)
{
    return jsonBoundedInt64(object, key, 0, std::numeric_limits<qint64>::max(), 0);
}
