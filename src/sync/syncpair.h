#pragma once

#include <QString>
#include <QStringList>

// One local folder paired with one server folder, as the user set it up. Kept in the user's
// settings: nothing secret goes in here.
struct SyncPair
{
    enum class Space { Personal, Team, Vault };

    QString id;
    QString localPath;
    QString folderId;   // empty: the space's root
    QString folderPath; // what the user sees, e.g. "全部文件/项目"
    Space space = Space::Personal;
    QString teamId;
    QStringList ignorePatterns;
    bool paused = false;
};
