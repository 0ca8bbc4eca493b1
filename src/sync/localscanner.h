#pragma once

#include "sync/ignorerules.h"
#include "sync/localentry.h"

#include <QHash>
#include <QString>
#include <QStringList>

// What is on disk under a pair's folder now: path, size, modification time and inode of every
// file and folder that is not ignored. Symbolic links (and anything else that is neither a file
// nor a folder) are not followed and not listed. A file modified less than stableMs ago is marked
// unstable: it may still be being written. Blocking; cheap enough to run on every round (one
// stat per entry, no reads).
class LocalScanner final
{
public:
    // A file stays untouched this long after its last change before it counts as stable.
    static constexpr qint64 DefaultStableMs = 2000;

    struct Result
    {
        QHash<QString, LocalEntry> entries;
        // Folders that could not be listed in full (relative paths; "" for the root itself).
        QStringList unreadable;
        // Files and folders whose names are not UTF-8 (another system's encoding): no request can
        // name them, so they are left out; path shows the name as best it can.
        QList<LocalEntry> badNames;
        bool rootMissing = false;
    };

    // nowMs: the wall clock in ms since the epoch (a parameter, so tests can fix it).
    static Result scan(const QString &root, const IgnoreRules &rules, qint64 nowMs, qint64 stableMs = DefaultStableMs);
    // One path (relative to root) alone; false when it is missing, ignored or not a file or folder.
    static bool stat(const QString &root, const QString &relativePath, LocalEntry &entry);
};
