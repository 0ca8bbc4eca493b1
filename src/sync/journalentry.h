#pragma once

#include <QString>

// The last state both sides agreed on for one path: what was on disk then and which server entry
// (and content) it matched.
struct JournalEntry
{
    QString path;
    bool isDir = false;
    QString serverId;
    qint64 size = 0;
    qint64 mtimeMs = 0;
    quint64 inode = 0;
    QString md5;

    bool operator==(const JournalEntry &other) const = default;
};
