#pragma once

#include <QDateTime>
#include <QString>

// Display texts shared by every page: byte counts, transfer speeds and server time stamps.

// "532 B", "1.50 KB", "12.3 MB": binary units up to PB, fewer decimals as the value grows.
QString formatSize(qint64 bytes);
// Storage figures side by side ("10 GB / 110 GB", "2.9 MB / 110 GB"): one decimal at most,
// none when it is zero, so that used and limit read in the same form.
QString formatQuotaSize(qint64 bytes);
// "0", "512B/s", "37KB/s", "2.4MB/s".
QString formatSpeed(qint64 bytesPerSecond);
// A server time (UTC unless it names its own offset) in local time; invalid when unreadable.
QDateTime parseServerTime(const QString &text);
// "yyyy-MM-dd HH:mm" in local time, or the first 16 characters of the text as given.
QString formatDateTime(const QString &text);
// "MM-dd HH:mm" in local time (date-only texts are not accepted), or the first 16 characters
// of the normalised text.
QString formatShortTime(const QString &text);
