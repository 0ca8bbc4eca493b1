#pragma once

#include <QString>

// One file or folder of the server folder as the change feed last described it. path is relative
// to the synced folder, with "/".
struct RemoteEntry
{
    QString id;
    QString parentId; // empty at the space's root
    QString name;
    QString path;
    bool isDir = false;
    qint64 size = 0;
    QString md5; // files only, lower-case hex
    QString updatedAt;
};
