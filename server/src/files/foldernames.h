#pragma once

#include "files/filespace.h"

#include <QHash>
#include <QSet>
#include <QString>

namespace tvr::server {

struct ServerContext;

// The names taken in one folder, compared the way the database compares them (ASCII letters
// folded), and the free names for new entries: the name itself, else "name (1).ext",
// "name (2).ext", ... Loaded with one read of the folder (through the index of live names), so
// a run of clashing names costs no query per candidate.
class FolderNames final
{
public:
    // Every live name of the folder.
    static FolderNames load(ServerContext &ctx, const FileSpace &space, qint64 parentId);
    // The live names of the folder that could clash with `name` or its numbered variants (they
    // start with its stem); `ignoreId` is left out (the entry being renamed or moved).
    static FolderNames loadFor(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name,
                               bool isFolder, qint64 ignoreId);

    bool taken(const QString &name) const { return m_taken.contains(fold(name)); }
    void add(const QString &name) { m_taken.insert(fold(name)); }
    // A free name for a new entry; from then on it counts as taken.
    QString claim(const QString &name, bool isFolder);

    // Lower case of the ASCII letters only, as SQLite's lower().
    static QString fold(const QString &name);
    // The index key of a space: the team, or the owner negated for a personal space.
    static qint64 spaceKey(const FileSpace &space) { return space.teamId > 0 ? space.teamId : -space.userId; }

private:
    QSet<QString> m_taken;
    QHash<QString, int> m_nextNumber; // folded "stem/ext" -> the first number not yet tried
};

} // namespace tvr::server
