#include "sync/agreedfilter.h"

#include "sync/syncjournal.h"

#include <QSet>
#include <QStringView>

namespace {

// The planner must see every existing conflict copy, so that a new one never takes its name.
bool looksLikeConflictCopy(const QString &path)
{
    return path.contains(QStringView(u"冲突副本"));
}

bool localAgrees(const JournalEntry &base, const LocalEntry &now)
{
    if (now.isDir != base.isDir || now.unstable || now.inode != base.inode)
        return false;
    return now.isDir || (now.size == base.size && now.mtimeMs == base.mtimeMs);
}

bool remoteAgrees(const JournalEntry &base, const RemoteEntry &now)
{
    if (now.isDir != base.isDir || base.serverId.isEmpty() || now.id != base.serverId)
        return false;
    if (now.isDir)
        return true;
    // Both digests are needed: a size alone does not tell content apart.
    return now.size == base.size && !now.md5.isEmpty() && now.md5.compare(base.md5, Qt::CaseInsensitive) == 0;
}

} // namespace

qsizetype AgreedFilter::apply(Reconciler::Input &input, const QHash<QString, RemoteEntry> &remote)
{
    qsizetype removed = 0;
    input.remote.clear();
    for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
        const auto base = input.journal.constFind(it.key());
        const auto local = input.local.constFind(it.key());
        // (An ignored path is never on the scan's side, so it is never taken out here.)
        const bool agreed = base != input.journal.cend() && local != input.local.cend() && localAgrees(*base, *local) &&
                            remoteAgrees(*base, *it) && !looksLikeConflictCopy(it.key());
        if (!agreed) {
            input.remote.insert(it.key(), *it);
            continue;
        }
        if (!base->isDir)
            ++input.agreedFiles;
        input.local.erase(local);
        input.journal.erase(base);
        ++removed;
    }
    return removed;
}

qsizetype AgreedFilter::load(Reconciler::Input &input, const SyncJournal &journal,
                             const QHash<QString, RemoteEntry> &remote)
{
    QSet<QString> agreedPaths;
    input.journal = journal.entries([&](const JournalEntry &base) {
        const auto local = input.local.constFind(base.path);
        const auto there = remote.constFind(base.path);
        const bool agreed = local != input.local.cend() && there != remote.cend() && localAgrees(base, *local) &&
                            remoteAgrees(base, *there) && !looksLikeConflictCopy(base.path);
        if (!agreed)
            return false;
        if (!base.isDir)
            ++input.agreedFiles;
        agreedPaths.insert(there.key());
        input.local.erase(local);
        return true;
    });
    input.remote.clear();
    for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
        if (!agreedPaths.contains(it.key()))
            input.remote.insert(it.key(), *it);
    }
    return agreedPaths.size();
}

qsizetype AgreedFilter::holdUnreadable(Reconciler::Input &input, QStringList folders, const QSet<quint64> &heldInodes)
{
    if (!heldInodes.isEmpty()) {
        for (const JournalEntry &base : std::as_const(input.journal)) {
            if (base.inode != 0 && heldInodes.contains(base.inode))
                folders << base.path;
        }
    }
    if (folders.isEmpty())
        return 0;
    const auto held = [&folders](const QString &path) {
        for (const QString &folder : folders) {
            if (folder.isEmpty() || path == folder ||
                (path.startsWith(folder) && path.size() > folder.size() && path.at(folder.size()) == QLatin1Char('/')))
                return true;
        }
        return false;
    };
    // Followed by id and inode too: an entry moved out of the folder on either side must not
    // read as new on one side and gone on the other.
    QSet<QString> ids;
    QSet<quint64> inodes;
    qsizetype removed = 0;
    for (auto it = input.journal.begin(); it != input.journal.end();) {
        if (!held(it.key())) {
            ++it;
            continue;
        }
        if (!it->serverId.isEmpty())
            ids.insert(it->serverId);
        if (it->inode != 0)
            inodes.insert(it->inode);
        it = input.journal.erase(it);
        ++removed;
    }
    removed += input.remote.removeIf(
        [&](const QHash<QString, RemoteEntry>::iterator &it) { return held(it.key()) || ids.contains(it->id); });
    removed += input.local.removeIf([&](const QHash<QString, LocalEntry>::iterator &it) {
        return held(it.key()) || (it->inode != 0 && inodes.contains(it->inode));
    });
    return removed;
}
