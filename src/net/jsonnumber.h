#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// Numbers chosen by the server are read only through these, so that a value out of range can
// never reach an integer conversion (which would be undefined) or a later multiplication.

// A JSON number truncated toward zero, or a numeric string (decimal integer, or a decimal or
// exponent form read as a number), clamped into [min, max]. Missing, null, NaN, non-numeric
// strings and other types give fallback (which is clamped too).
qint64 jsonBoundedInt64(const QJsonValue &value, qint64 min, qint64 max, qint64 fallback = 0);
qint64 jsonBoundedInt64(const QJsonObject &object, const QString &key, qint64 min, qint64 max, qint64 fallback = 0);

// Byte counts and other sizes: never negative, never beyond what a qint64 holds.
qint64 jsonByteCount(const QJsonObject &object, const QString &key);
