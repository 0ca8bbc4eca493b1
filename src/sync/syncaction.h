#pragma once

#include <QString>

// One step of a sync plan. Paths are relative to the pair's folder.
struct SyncAction
{
    enum class Kind {
        CreateRemoteFolder, // path: a local folder the server lacks
        CreateLocalFolder,  // path: a server folder the disk lacks
        Upload,             // path: a new or changed local file (serverId set when it replaces one)
        Download,           // path: a new or changed server file (serverId)
        MoveRemote,         // serverId from path to newPath (rename and/or move)
        MoveLocal,          // path to newPath on disk
        TrashRemote,        // serverId (path) into the server's trash
        TrashLocal,         // path into the desktop's trash
        // Both sides hold different content at path: the local file is renamed to newPath (the
        // conflict copy) and uploaded, the server's version is downloaded to path. When the two
        // turn out to have the same digest, the journal just records them.
        Conflict,
        // Both sides already agree on path (same folder, or a file to compare by digest): the
        // journal records it.
        Record,
        // Both sides lost path: the journal forgets it.
        Forget,
    };

    Kind kind = Kind::Record;
    QString path;
    QString newPath;
    // The journal's key for what the action touches when it starts (empty for new entries): a
    // completed action moves, replaces or removes that record.
    QString journalPath;
    QString serverId;
    bool isDir = false;
    // The server content a download or conflict expects. On an upload that replaces serverId:
    // what that entry holds, and the file is sent only when its digest differs.
    QString md5;
    qint64 size = 0;

    bool operator==(const SyncAction &other) const = default;
};
