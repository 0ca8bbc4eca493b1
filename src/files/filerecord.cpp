#include "files/filerecord.h"

#include "net/httpresponse.h"

#include <QJsonValue>
#include <QVariant>
#include <cmath>
#include <limits>

qint64 jsonInt64(const QJsonObject &object, const QString &key, qint64 fallback)
{
    const QJsonValue value = object.value(key);
    if (value.isDouble()) {
        // Integers beyond 2^53 arrive exact; keep them exact.
        const QVariant variant = value.toVariant();
        if (variant.typeId() == QMetaType::LongLong)
            return variant.toLongLong();
        const double number = std::trunc(value.toDouble());
        // Clamp instead of converting out of range, which is undefined behaviour.
        if (std::isnan(number))
            return 0;
        if (number >= 9223372036854775807.0)
            return std::numeric_limits<qint64>::max();
        if (number <= -9223372036854775808.0)
            return std::numeric_limits<qint64>::min();
        return static_cast<qint64>(number);
    }
    if (value.isString()) {
        bool ok = false;
        const qint64 parsed = value.toString().toLongLong(&ok, 10);
        return ok ? parsed : 0;
    }
    return fallback;
}

bool isFolderRecord(const QJsonObject &record)
{
    return jsonText(record, QStringLiteral("type")) == QLatin1String("folder");
}
