#pragma once

#include <QJsonObject>
#include <QString>

// Reading rules for the file records the server sends. Records are kept as the QJsonObject
// that arrived; these helpers are the only way members are interpreted.

// A numeric member: a JSON number truncated toward zero, a base-10 numeric string (any other
// string gives 0), anything else (missing, null, bool, ...) gives fallback.
qint64 jsonInt64(const QJsonObject &object, const QString &key, qint64 fallback = 0);

// True exactly when "type" reads as the text "folder" (case-sensitive).
bool isFolderRecord(const QJsonObject &record);
