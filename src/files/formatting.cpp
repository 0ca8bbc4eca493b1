#include "files/formatting.h"

#include <QRegularExpression>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * 1024;
constexpr int MaxUnitSteps = 5;
constexpr int TimeStampLength = 19; // yyyy-MM-dd HH:mm:ss
constexpr int DateLength = 10;      // yyyy-MM-dd
constexpr int FallbackLength = 16;

// Trim, drop a trailing "Z", and turn the ISO "T" into the blank of the plain form.
QString normaliseServerTime(const QString &text)
{
    QString normalised = text.trimmed();
    if (normalised.endsWith(QLatin1Char('Z')))
        normalised.chop(1);
    normalised.replace(QLatin1Char('T'), QLatin1Char(' '));
    return normalised;
}

// Parsed from date and time parts directly, never through local time: a UTC time that falls
// into a local daylight-saving gap must not be lost or shifted.
QDateTime parseTimeStamp(const QString &normalised)
{
    if (normalised.size() < TimeStampLength || normalised.at(DateLength) != QLatin1Char(' '))
        return {};
    const QDate date = QDate::fromString(normalised.left(DateLength), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(normalised.mid(DateLength + 1, 8), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return {};

    // The service sends UTC; a time that names its own offset ("+08:00") is read with it,
    // otherwise it would be shown hours off. Fractions of seconds are ignored.
    static const QRegularExpression offsetPattern(QStringLiteral("^(?:\\.\\d+)?([+-])(\\d{2}):?(\\d{2})?$"));
    const QRegularExpressionMatch match = offsetPattern.match(normalised.mid(TimeStampLength));
    if (match.hasMatch()) {
        const int hours = match.captured(2).toInt();
        const int minutes = match.captured(3).isEmpty() ? 0 : match.captured(3).toInt();
        if (hours <= 14 && minutes < 60) {
            const int sign = match.captured(1) == QLatin1String("-") ? -1 : 1;
            return QDateTime(date, time, Qt::OffsetFromUTC, sign * (hours * 3600 + minutes * 60));
        }
    }
    return QDateTime(date, time, Qt::UTC);
}

} // namespace

QString formatSize(qint64 bytes)
{
    static const char *const units[] = {"B", "KB", "MB", "GB", "TB", "PB"};
    if (bytes < 0)
        bytes = 0;
    if (bytes < KiB)
        return QString::number(bytes) + QStringLiteral(" B");

    double value = static_cast<double>(bytes);
    int unit = 0;
    while (unit < MaxUnitSteps && value >= KiB) {
        value /= KiB;
        ++unit;
    }
    const int decimals = value >= 100 ? 0 : value >= 10 ? 1 : 2;
    return QString::number(value, 'f', decimals) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString formatQuotaSize(qint64 bytes)
{
    static const char *const units[] = {"B", "KB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(qMax<qint64>(bytes, 0));
    int unit = 0;
    while (unit < MaxUnitSteps && value >= KiB) {
        value /= KiB;
        ++unit;
    }
    QString number = QString::number(value, 'f', 1);
    if (number.endsWith(QLatin1String(".0")))
        number.chop(2);
    // Rounding may reach the next unit's size: 1023.96 KB reads as 1024 KB, which is still true.
    return number + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString formatSpeed(qint64 bytesPerSecond)
{
    if (bytesPerSecond <= 0)
        return QStringLiteral("0");
    if (bytesPerSecond >= MiB)
        return QString::number(static_cast<double>(bytesPerSecond) / KiB / KiB, 'f', 1) + QStringLiteral("MB/s");
    if (bytesPerSecond >= KiB)
        return QString::number(static_cast<double>(bytesPerSecond) / KiB, 'f', 0) + QStringLiteral("KB/s");
    return QString::number(bytesPerSecond) + QStringLiteral("B/s");
}

QDateTime parseServerTime(const QString &text)
{
    const QString normalised = normaliseServerTime(text);
    QDateTime moment = parseTimeStamp(normalised);
    if (!moment.isValid()) {
        // A bare date means midnight UTC of that day.
        const QDate date = QDate::fromString(normalised.left(DateLength), QStringLiteral("yyyy-MM-dd"));
        if (date.isValid())
            moment = QDateTime(date, QTime(0, 0), Qt::UTC);
    }
    return moment.isValid() ? moment.toLocalTime() : QDateTime();
}

QString formatDateTime(const QString &text)
{
    const QDateTime moment = parseServerTime(text);
    if (moment.isValid())
        return moment.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    return text.left(FallbackLength);
}

QString formatShortTime(const QString &text)
{
    const QString normalised = normaliseServerTime(text);
    const QDateTime moment = parseTimeStamp(normalised);
    if (moment.isValid())
        return moment.toLocalTime().toString(QStringLiteral("MM-dd HH:mm"));
    return normalised.left(FallbackLength);
}
