#pragma once

#include <QDateTime>
#include <QString>

// The name a local file takes when both sides changed it: "name (冲突副本 YYYY-MM-DD HHMM).ext",
// beside the original. The extension is the part after the last dot of the file name (none for
// names that start with their only dot, like ".bashrc").
// A second copy in the same minute (serial 2, 3, ...) adds its number after the time.
QString conflictCopyName(const QString &fileName, const QDateTime &when, int serial = 1);
// The same for a relative path: only its last part changes.
QString conflictCopyPath(const QString &relativePath, const QDateTime &when, int serial = 1);
