#pragma once

#include "sync/remoteentry.h"

#include <QJsonObject>

// One entry of the server's change feed: the entry as it is now, or that it is gone (deleted,
// or moved out of the synced folder).
struct RemoteChange
{
    RemoteEntry entry;
    bool deleted = false;
    qint64 seq = 0;

    // From the feed's JSON object; false when it names no id.
    static bool fromJson(const QJsonObject &object, RemoteChange &change);
};
