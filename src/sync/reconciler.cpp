#include "sync/reconciler.h"

#include "sync/conflictname.h"

#include <QSet>
#include <algorithm>

namespace {

using Kind = SyncAction::Kind;

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

QString nameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString joined(const QString &parent, const QString &name)
{
    return parent.isEmpty() ? name : parent + QLatin1Char('/') + name;
}

bool isUnder(const QString &path, const QString &ancestor)
{
    return path.size() > ancestor.size() && path.startsWith(ancestor) && path.at(ancestor.size()) == QLatin1Char('/');
}

// Folder moves the plan makes on one side, in order: where an entry will be once they are done.
class Rewrites
{
public:
    void add(const QString &from, const QString &to) { m_moves.append({from, to}); }
    QString apply(QString path) const
    {
        for (const auto &[from, to] : m_moves) {
            if (path == from)
                path = to;
            else if (isUnder(path, from))
                path = to + path.mid(from.size());
        }
        return path;
    }

private:
    QList<std::pair<QString, QString>> m_moves;
};

struct Tracked
{
    JournalEntry base;
    QString journalPath; // where the journal will hold it when its actions run
    QString local;       // where it is on disk now (empty: gone)
    QString remote;      // where it is on the server now (empty: gone)
};

bool isAtOrUnder(const QString &path, const QString &ancestor)
{
    return path == ancestor || isUnder(path, ancestor);
}

// Moves so that each one's source and target folder exist when it runs: after the move that
// brings them, on the same side; otherwise in the order planned.
QList<SyncAction> orderedMoves(const QList<SyncAction> &moves)
{
    const qsizetype n = moves.size();
    QList<QList<qsizetype>> after(n); // after[i]: moves that wait for i
    QList<int> waitsFor(n, 0);
    for (qsizetype i = 0; i < n; ++i) {
        for (qsizetype j = 0; j < n; ++j) {
            if (i == j || moves[i].kind != moves[j].kind)
                continue;
            const QString &brought = moves[i].newPath;
            if (isAtOrUnder(moves[j].path, brought) || isAtOrUnder(parentOf(moves[j].newPath), brought)) {
                after[i] << j;
                ++waitsFor[j];
            }
        }
    }
    QList<SyncAction> ordered;
    QList<bool> done(n, false);
    while (ordered.size() < n) {
        qsizetype next = -1;
        for (qsizetype i = 0; i < n && next < 0; ++i) {
            if (!done[i] && waitsFor[i] == 0)
                next = i;
        }
        if (next < 0) { // a cycle: the rest as planned
            for (qsizetype i = 0; i < n; ++i) {
                if (!done[i])
                    ordered << moves[i];
            }
            break;
        }
        done[next] = true;
        ordered << moves[next];
        for (qsizetype j : std::as_const(after[next]))
            --waitsFor[j];
    }
    return ordered;
}

class Planner
{
public:
    // serverPlaces: folders whose local move crosses the server's moves (see crossingMoves()).
    Planner(const Reconciler::Input &input, const QSet<QString> &serverPlaces)
        : m_in(input)
        , m_serverPlaces(serverPlaces)
    {}

    // Where every journal entry is now on each side, and the place and content actions for it.
    void planKnown();
    // Folders moved locally whose moves, together with the server's, would put a folder inside
    // itself (A into B here, B into A there). Their server places give a tree again.
    QSet<QString> crossingMoves() const;
    // Deletes, new entries and the order of everything.
    SyncPlan finish();

private:
    bool localChanged(const JournalEntry &base, const LocalEntry &now) const
    {
        return now.size != base.size || now.mtimeMs != base.mtimeMs;
    }
    // Another file put in place under the same size and time (an editor's save that keeps the
    // time, a copy with preserved times, a rename over it): only the content's digest can tell.
    bool localReplaced(const JournalEntry &base, const LocalEntry &now) const
    {
        return !base.isDir && base.inode != 0 && now.inode != 0 && now.inode != base.inode;
    }
    bool remoteChanged(const JournalEntry &base, const RemoteEntry &now) const
    {
        if (now.size != base.size)
            return true;
        return !now.md5.isEmpty() && !base.md5.isEmpty() && now.md5.compare(base.md5, Qt::CaseInsensitive) != 0;
    }
    QString findLocal(const JournalEntry &base, const QString &expected) const;
    // A conflict name for path that nothing on either side has and no other action takes.
    QString asideFor(const QString &path);
    void planTracked(const JournalEntry &base);
    void planDeletes();
    void planNew();
    SyncAction action(Kind kind, const QString &path, const JournalEntry &base, const QString &journalPath) const
    {
        SyncAction a;
        a.kind = kind;
        a.path = path;
        a.journalPath = journalPath;
        a.serverId = base.serverId;
        a.isDir = base.isDir;
        return a;
    }

    const Reconciler::Input &m_in;
    const QSet<QString> m_serverPlaces;
    SyncPlan m_plan;
    QHash<quint64, QString> m_newLocalByInode;
    QHash<QString, QString> m_remoteById;
    QSet<QString> m_journalIds;
    QSet<QString> m_claimedLocal;
    QSet<QString> m_claimedRemote;
    QSet<QString> m_waitingPaths;
    QSet<QString> m_asides;
    // Journal paths whose entry the plan deletes.
    QSet<QString> m_gone;
    // Per journal path: where its local copy is now, and where the entry will be after the plan.
    QHash<QString, QString> m_localNow;
    QHash<QString, QString> m_remoteNow;
    QHash<QString, QString> m_final;
    Rewrites m_localMoves;
    Rewrites m_remoteMoves;
    // The moves that take crossing folders to their server places run before all others: their
    // paths on disk and in the journal count only each other.
    Rewrites m_firstLocalMoves;
    Rewrites m_firstJournalMoves;

    QList<SyncAction> m_firstMoves;
    QList<SyncAction> m_moves;
    QList<SyncAction> m_content;
    QList<SyncAction> m_forget;
    // Deletes wanted, by the path on the side that keeps the entry (as it is now).
    QHash<QString, Tracked> m_trashRemote;
    QHash<QString, Tracked> m_trashLocal;
};

QString Planner::findLocal(const JournalEntry &base, const QString &expected) const
{
    const auto here = m_in.local.constFind(expected);
    if (here != m_in.local.cend() && here->isDir == base.isDir && !m_claimedLocal.contains(expected))
        return expected;
    if (base.inode == 0)
        return {};
    const QString moved = m_newLocalByInode.value(base.inode);
    if (moved.isEmpty() || m_claimedLocal.contains(moved))
        return {};
    const LocalEntry &candidate = m_in.local[moved];
    if (candidate.isDir != base.isDir)
        return {};
    // A file found by inode alone might be a new file on a reused inode: it counts as the same
    // file only with the same size and time.
    if (!base.isDir && (candidate.size != base.size || candidate.mtimeMs != base.mtimeMs))
        return {};
    return moved;
}

QString Planner::asideFor(const QString &path)
{
    for (int serial = 1;; ++serial) {
        const QString candidate = conflictCopyPath(path, m_in.now, serial);
        if (!m_in.local.contains(candidate) && !m_in.remote.contains(candidate) && !m_asides.contains(candidate)) {
            m_asides.insert(candidate);
            return candidate;
        }
    }
}

void Planner::planTracked(const JournalEntry &base)
{
    const QString parent = parentOf(base.path);
    const bool parentTracked = m_in.journal.contains(parent) && !parent.isEmpty();
    const QString parentLocal = parentTracked ? m_localNow.value(parent) : parent;
    const QString expectedLocal =
        parentLocal.isEmpty() && parentTracked ? base.path : joined(parentLocal, nameOf(base.path));
    const QString journalPath = joined(parentTracked ? m_final.value(parent, parent) : parent, nameOf(base.path));

    const QString local = findLocal(base, expectedLocal);
    QString remote = base.serverId.isEmpty() ? QString() : m_remoteById.value(base.serverId);
    if (remote.isEmpty()) {
        // A server that stores a new version as a new entry: the same kind of entry at the same
        // place, known to no other record, is this one changed.
        const auto there = m_in.remote.constFind(journalPath);
        if (there != m_in.remote.cend() && there->isDir == base.isDir && !m_claimedRemote.contains(journalPath) &&
            !m_journalIds.contains(there->id))
            remote = journalPath;
    }
    if (!local.isEmpty())
        m_claimedLocal.insert(local);
    if (!remote.isEmpty())
        m_claimedRemote.insert(remote);
    m_localNow.insert(base.path, local);
    m_remoteNow.insert(base.path, remote);

    if (!local.isEmpty() && m_in.local[local].unstable) {
        m_plan.waiting << local;
        m_waitingPaths.insert(local);
        m_final.insert(base.path, journalPath);
        return;
    }
    if (local.isEmpty() && remote.isEmpty()) {
        m_forget << action(Kind::Forget, journalPath, base, journalPath);
        m_final.insert(base.path, journalPath);
        return;
    }
    if (local.isEmpty()) {
        const RemoteEntry &now = m_in.remote[remote];
        const QString target = m_remoteMoves.apply(remote);
        m_final.insert(base.path, target);
        if (!base.isDir && remoteChanged(base, now)) {
            SyncAction a = action(Kind::Download, target, base, journalPath);
            a.serverId = now.id;
            a.md5 = now.md5;
            a.size = now.size;
            m_content << a;
        } else {
            m_trashRemote.insert(remote, Tracked{base, journalPath, local, remote});
        }
        return;
    }
    if (remote.isEmpty()) {
        const LocalEntry &now = m_in.local[local];
        const QString target = m_localMoves.apply(local);
        m_final.insert(base.path, target);
        if (!base.isDir && (localChanged(base, now) || localReplaced(base, now))) {
            SyncAction a = action(Kind::Upload, target, base, journalPath);
            a.serverId.clear(); // the server's entry is gone: a new one
            a.size = now.size;
            m_content << a;
        } else {
            m_trashLocal.insert(local, Tracked{base, journalPath, local, remote});
        }
        return;
    }

    // On both sides: first the place, then the content.
    const QString localAt = m_localMoves.apply(local);
    const QString remoteAt = m_remoteMoves.apply(remote);
    QString finalPath = localAt;
    if (localAt != remoteAt) {
        const bool localMoved = localAt != journalPath && !m_serverPlaces.contains(base.path);
        const bool remoteMoved = remoteAt != journalPath;
        const QString wanted = localMoved && !remoteMoved ? localAt : remoteAt;
        const bool taken = localMoved && !remoteMoved
                               ? m_in.remote.contains(wanted) && m_in.remote[wanted].id != base.serverId
                               : m_in.local.contains(wanted) && wanted != local;
        if (taken) {
            // Something else arrived at the place on the other side: both keep it under a
            // conflict name, and the newcomer keeps the place.
            const QString aside = asideFor(wanted);
            SyncAction toLocal = action(Kind::MoveLocal, localAt, base, journalPath);
            toLocal.newPath = aside;
            SyncAction toRemote = action(Kind::MoveRemote, remoteAt, base, journalPath);
            toRemote.serverId = m_in.remote[remote].id;
            toRemote.newPath = aside;
            m_moves << toLocal << toRemote;
            if (base.isDir) {
                m_localMoves.add(localAt, aside);
                m_remoteMoves.add(remoteAt, aside);
            }
            finalPath = aside;
        } else if (localMoved && !remoteMoved && !base.isDir && isUnder(localAt, remoteAt)) {
            // Moved into a new folder that took its old name: the server's file first frees the
            // name (under its new one, beside it), so that the folder can be made there; the next
            // round moves it in. Content waits for that round too.
            QString step = joined(parentOf(remoteAt), nameOf(localAt));
            if (m_in.remote.contains(step) || m_in.local.contains(step) || m_asides.contains(step))
                step = asideFor(remoteAt);
            SyncAction a = action(Kind::MoveRemote, remoteAt, base, journalPath);
            a.serverId = m_in.remote[remote].id;
            a.newPath = step;
            m_moves << a;
            m_final.insert(base.path, step);
            return;
        } else if (localMoved && !remoteMoved) {
            SyncAction a = action(Kind::MoveRemote, remoteAt, base, journalPath);
            a.serverId = m_in.remote[remote].id; // found by id, or by place
            a.newPath = localAt;
            m_moves << a;
            if (base.isDir)
                m_remoteMoves.add(remoteAt, localAt);
        } else if (m_serverPlaces.contains(base.path)) {
            // A crossing folder goes back to its server place before any other move runs, from
            // where the crossing moves before it left it.
            const QString from = m_firstLocalMoves.apply(local);
            const QString journalNow = m_firstJournalMoves.apply(base.path);
            SyncAction a = action(Kind::MoveLocal, from, base, journalNow);
            a.newPath = remoteAt;
            m_firstMoves << a;
            m_firstLocalMoves.add(from, remoteAt);
            m_firstJournalMoves.add(journalNow, remoteAt);
            m_localMoves.add(localAt, remoteAt);
            finalPath = remoteAt;
        } else {
            // Moved on the server (or on both sides: the server's place wins).
            SyncAction a = action(Kind::MoveLocal, localAt, base, journalPath);
            a.newPath = remoteAt;
            m_moves << a;
            if (base.isDir)
                m_localMoves.add(localAt, remoteAt);
            finalPath = remoteAt;
        }
    } else if (localAt != journalPath) {
        // Moved the same way on both sides: only the journal follows.
        SyncAction a = action(Kind::Record, localAt, base, journalPath);
        m_moves << a;
    }
    m_final.insert(base.path, finalPath);
    if (base.isDir)
        return;

    const LocalEntry &localNow = m_in.local[local];
    const RemoteEntry &remoteNow = m_in.remote[remote];
    const bool lc = localChanged(base, localNow);
    const bool replaced = !lc && localReplaced(base, localNow);
    const bool rc = remoteChanged(base, remoteNow);
    if ((lc || replaced) && rc) {
        SyncAction a = action(Kind::Conflict, finalPath, base, finalPath);
        a.serverId = remoteNow.id;
        a.newPath = asideFor(finalPath);
        a.md5 = remoteNow.md5;
        a.size = remoteNow.size;
        m_content << a;
    } else if (lc || replaced) {
        SyncAction a = action(Kind::Upload, finalPath, base, finalPath);
        a.serverId = remoteNow.id;
        a.size = localNow.size;
        // Only replaced (new inode, same size and time): sent only if the digest differs from the
        // agreed one; else only the record follows.
        if (!lc)
            a.md5 = base.md5;
        m_content << a;
    } else if (rc) {
        SyncAction a = action(Kind::Download, finalPath, base, finalPath);
        a.serverId = remoteNow.id;
        a.md5 = remoteNow.md5;
        a.size = remoteNow.size;
        m_content << a;
    }
}

// A folder is deleted only when everything under it goes too; otherwise it stays (and comes back
// on the side that lost it). Only the topmost deleted folder gets an action: its trash takes the
// rest. Returns the paths whose delete goes ahead.
template <typename Entry>
QSet<QString> approvedDeletes(const QHash<QString, Tracked> &wanted, const QHash<QString, Entry> &side,
                              const IgnoreRules &rules)
{
    QHash<QString, QStringList> children;
    for (auto it = side.cbegin(); it != side.cend(); ++it)
        children[parentOf(it.key())] << it.key();
    QStringList paths = wanted.keys();
    // Deepest first, so a folder sees its children's verdicts.
    std::sort(paths.begin(), paths.end(),
              [](const QString &a, const QString &b) { return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/')); });
    QSet<QString> approved;
    for (const QString &path : std::as_const(paths)) {
        const Tracked &tracked = wanted[path];
        bool ok = true;
        if (tracked.base.isDir) {
            for (const QString &child : children.value(path)) {
                if (!approved.contains(child) && !rules.isIgnored(child)) {
                    ok = false;
                    break;
                }
            }
        }
        if (ok)
            approved.insert(path);
    }
    return approved;
}

void Planner::planDeletes()
{
    const auto place = [this](const QHash<QString, Tracked> &wanted, const QSet<QString> &approved, bool remoteSide) {
        QStringList paths = wanted.keys();
        std::sort(paths.begin(), paths.end());
        for (const QString &path : std::as_const(paths)) {
            const Tracked &tracked = wanted[path];
            const QString at = remoteSide ? m_remoteMoves.apply(path) : m_localMoves.apply(path);
            if (!approved.contains(path)) {
                // Kept: the folder comes back on the side that lost it.
                SyncAction a = action(remoteSide ? Kind::CreateLocalFolder : Kind::CreateRemoteFolder, at, tracked.base,
                                      tracked.journalPath);
                m_content << a;
                continue;
            }
            m_gone.insert(tracked.base.path);
            if (!tracked.base.isDir)
                ++m_plan.deletedFiles;
            if (approved.contains(parentOf(path)) && wanted.contains(parentOf(path)))
                continue; // the folder's delete takes it along
            SyncAction a =
                action(remoteSide ? Kind::TrashRemote : Kind::TrashLocal, at, tracked.base, tracked.journalPath);
            if (remoteSide)
                a.serverId = m_in.remote[tracked.remote].id; // found by id, or by place
            m_content << a;
        }
    };
    place(m_trashRemote, approvedDeletes(m_trashRemote, m_in.remote, m_in.rules), true);
    place(m_trashLocal, approvedDeletes(m_trashLocal, m_in.local, m_in.rules), false);
}

void Planner::planNew()
{
    // Where tracked entries will be once the plan ran (deleted ones leave their place free).
    QSet<QString> finals;
    for (auto it = m_final.cbegin(); it != m_final.cend(); ++it) {
        if (!m_gone.contains(it.key()))
            finals.insert(it.value());
    }
    // A new entry where a tracked one lands (a file that became a folder, a name taken while the
    // other side moved something there) steps aside under a conflict name, with what it holds.
    const auto stepAside = [this, &finals](const QStringList &keys, bool localSide) {
        for (const QString &key : keys) {
            const Rewrites &moves = localSide ? m_localMoves : m_remoteMoves;
            const QString at = moves.apply(key);
            if (!finals.contains(at) || m_waitingPaths.contains(at))
                continue;
            SyncAction a;
            a.kind = localSide ? Kind::MoveLocal : Kind::MoveRemote;
            a.path = at;
            a.newPath = asideFor(at);
            if (!localSide)
                a.serverId = m_in.remote[key].id;
            a.isDir = localSide ? m_in.local[key].isDir : m_in.remote[key].isDir;
            m_moves << a;
            (localSide ? m_localMoves : m_remoteMoves).add(at, a.newPath);
        }
    };
    QStringList unclaimedLocal;
    for (auto it = m_in.local.cbegin(); it != m_in.local.cend(); ++it) {
        if (!m_claimedLocal.contains(it.key()) && !m_in.rules.isIgnored(it.key()) && !it->unstable)
            unclaimedLocal << it.key();
    }
    QStringList unclaimedRemote;
    for (auto it = m_in.remote.cbegin(); it != m_in.remote.cend(); ++it) {
        if (!m_claimedRemote.contains(it.key()) && !m_in.rules.isIgnored(it.key()))
            unclaimedRemote << it.key();
    }
    std::sort(unclaimedLocal.begin(), unclaimedLocal.end());
    std::sort(unclaimedRemote.begin(), unclaimedRemote.end());
    stepAside(unclaimedLocal, true);
    stepAside(unclaimedRemote, false);

    // What neither the journal nor a move explains, where it will be once the moves are done.
    QHash<QString, const LocalEntry *> newLocal;
    for (auto it = m_in.local.cbegin(); it != m_in.local.cend(); ++it) {
        if (!m_claimedLocal.contains(it.key()) && !m_in.rules.isIgnored(it.key()))
            newLocal.insert(m_localMoves.apply(it.key()), &it.value());
    }
    QHash<QString, const RemoteEntry *> newRemote;
    for (auto it = m_in.remote.cbegin(); it != m_in.remote.cend(); ++it) {
        if (!m_claimedRemote.contains(it.key()) && !m_in.rules.isIgnored(it.key()))
            newRemote.insert(m_remoteMoves.apply(it.key()), &it.value());
    }

    for (auto it = newLocal.cbegin(); it != newLocal.cend(); ++it) {
        const QString &path = it.key();
        const LocalEntry &local = *it.value();
        if (local.unstable) {
            m_plan.waiting << path;
            continue;
        }
        SyncAction a;
        a.path = path;
        a.isDir = local.isDir;
        a.size = local.size;
        const RemoteEntry *remote = newRemote.value(path);
        if (!remote) {
            a.kind = local.isDir ? Kind::CreateRemoteFolder : Kind::Upload;
            m_content << a;
            continue;
        }
        a.serverId = remote->id;
        a.md5 = remote->md5;
        if (local.isDir && remote->isDir) {
            a.kind = Kind::Record;
            m_content << a;
        } else if (!local.isDir && !remote->isDir) {
            a.kind = Kind::Conflict; // the same file on both sides unless the digests differ
            a.newPath = asideFor(path);
            a.size = remote->size;
            m_content << a;
        } else if (!local.isDir) {
            // A local file where the server has a folder: the file steps aside under a conflict name.
            SyncAction move;
            move.kind = Kind::MoveLocal;
            move.path = path;
            move.newPath = asideFor(path);
            m_moves << move;
            SyncAction upload;
            upload.kind = Kind::Upload;
            upload.path = move.newPath;
            upload.size = local.size;
            m_content << upload;
            SyncAction folder;
            folder.kind = Kind::CreateLocalFolder;
            folder.path = path;
            folder.isDir = true;
            folder.serverId = remote->id;
            m_content << folder;
        } else {
            // A local folder where the server has a file: the server's file steps aside.
            SyncAction move;
            move.kind = Kind::MoveRemote;
            move.path = path;
            move.newPath = asideFor(path);
            move.serverId = remote->id;
            m_moves << move;
            SyncAction download;
            download.kind = Kind::Download;
            download.path = move.newPath;
            download.serverId = remote->id;
            download.md5 = remote->md5;
            download.size = remote->size;
            m_content << download;
            SyncAction folder;
            folder.kind = Kind::CreateRemoteFolder;
            folder.path = path;
            folder.isDir = true;
            m_content << folder;
        }
    }
    for (auto it = newRemote.cbegin(); it != newRemote.cend(); ++it) {
        const QString &path = it.key();
        if (newLocal.contains(path))
            continue;
        const RemoteEntry &remote = *it.value();
        if (finals.contains(path) || m_waitingPaths.contains(path)) {
            // A tracked entry takes this place this round; the next round sees the clash settled.
            m_plan.waiting << path;
            continue;
        }
        SyncAction a;
        a.kind = remote.isDir ? Kind::CreateLocalFolder : Kind::Download;
        a.path = path;
        a.isDir = remote.isDir;
        a.serverId = remote.id;
        a.md5 = remote.md5;
        a.size = remote.size;
        m_content << a;
    }
}

void Planner::planKnown()
{
    m_plan.knownFiles = m_in.agreedFiles;
    for (auto it = m_in.remote.cbegin(); it != m_in.remote.cend(); ++it)
        m_remoteById.insert(it->id, it.key());
    for (auto it = m_in.local.cbegin(); it != m_in.local.cend(); ++it) {
        if (!m_in.journal.contains(it.key()) && it->inode != 0)
            m_newLocalByInode.insert(it->inode, it.key());
    }
    // Folders before files, and a folder before what it holds, so that every entry sees the
    // folder moves that carry it along.
    for (const JournalEntry &entry : m_in.journal)
        m_journalIds.insert(entry.serverId);
    QStringList known = m_in.journal.keys();
    std::sort(known.begin(), known.end(), [this](const QString &a, const QString &b) {
        const bool aDir = m_in.journal[a].isDir;
        const bool bDir = m_in.journal[b].isDir;
        if (aDir != bDir)
            return aDir;
        return a < b;
    });
    for (const QString &path : std::as_const(known)) {
        const JournalEntry &base = m_in.journal[path];
        if (!base.isDir)
            ++m_plan.knownFiles;
        if (m_in.rules.isIgnored(path)) {
            // Ignored since: neither side is touched, and the other side keeps what it has.
            const QString remote = m_remoteById.value(base.serverId);
            if (!remote.isEmpty())
                m_claimedRemote.insert(remote);
            m_claimedLocal.insert(path);
            m_localNow.insert(path, path);
            m_remoteNow.insert(path, remote);
            m_final.insert(path, path);
            continue;
        }
        planTracked(base);
    }
}

QSet<QString> Planner::crossingMoves() const
{
    // Every folder as a node: a known one by its journal path, a new one by its side and path
    // ("/" never starts a relative path); a path no record and no scan explains is a folder both
    // sides agree on, known under that path. The root is "".
    QHash<QString, QString> localNode;
    QHash<QString, QString> remoteNode;
    for (auto it = m_localNow.cbegin(); it != m_localNow.cend(); ++it) {
        if (m_in.journal[it.key()].isDir && !it.value().isEmpty())
            localNode.insert(it.value(), it.key());
    }
    for (auto it = m_remoteNow.cbegin(); it != m_remoteNow.cend(); ++it) {
        if (m_in.journal[it.key()].isDir && !it.value().isEmpty())
            remoteNode.insert(it.value(), it.key());
    }
    QHash<QString, QString> up; // node -> the folder it will be in, were the moves made as planned
    for (auto it = m_in.local.cbegin(); it != m_in.local.cend(); ++it) {
        if (it->isDir && !m_claimedLocal.contains(it.key()))
            localNode.insert(it.key(), QStringLiteral("/L/") + it.key());
    }
    for (auto it = m_in.remote.cbegin(); it != m_in.remote.cend(); ++it) {
        if (it->isDir && !m_claimedRemote.contains(it.key()))
            remoteNode.insert(it.key(), QStringLiteral("/R/") + it.key());
    }
    const auto nodeOf = [](const QHash<QString, QString> &nodes, const QString &path) {
        return nodes.value(path, path);
    };
    for (auto it = localNode.cbegin(); it != localNode.cend(); ++it) {
        if (it.value().startsWith(QLatin1String("/L/")))
            up.insert(it.value(), nodeOf(localNode, parentOf(it.key())));
    }
    for (auto it = remoteNode.cbegin(); it != remoteNode.cend(); ++it) {
        if (it.value().startsWith(QLatin1String("/R/")))
            up.insert(it.value(), nodeOf(remoteNode, parentOf(it.key())));
    }
    QHash<QString, QString> serverUp; // known folders placed by their local move: the server's parent
    bool anyServerMove = false;
    for (auto it = m_localNow.cbegin(); it != m_localNow.cend(); ++it) {
        const QString &node = it.key();
        const QString &local = it.value();
        const QString remote = m_remoteNow.value(node);
        if (!m_in.journal[node].isDir || (local.isEmpty() && remote.isEmpty()))
            continue;
        if (remote.isEmpty()) {
            up.insert(node, nodeOf(localNode, parentOf(local)));
            continue;
        }
        const QString remoteUp = nodeOf(remoteNode, parentOf(remote));
        const bool remoteMoved = remoteUp != parentOf(node) || nameOf(remote) != nameOf(node);
        anyServerMove = anyServerMove || remoteMoved;
        if (local.isEmpty()) {
            up.insert(node, remoteUp);
            continue;
        }
        const QString localUp = nodeOf(localNode, parentOf(local));
        const bool localMoved = localUp != parentOf(node) || nameOf(local) != nameOf(node);
        if (localMoved && !remoteMoved && !m_serverPlaces.contains(node)) {
            up.insert(node, localUp);
            serverUp.insert(node, remoteUp);
        } else {
            up.insert(node, remoteUp);
        }
    }
    QSet<QString> crossing;
    // Each side's moves alone leave a tree: a cycle needs a folder moved on the server.
    if (!anyServerMove || serverUp.isEmpty())
        return crossing;
    const auto parentNode = [&up](const QString &node) {
        const auto known = up.constFind(node);
        return known != up.cend() ? *known : parentOf(node);
    };
    for (;;) {
        QStringList cycle;
        QHash<QString, int> seen; // 1: on the walk being followed, 2: leads to the root
        for (auto it = up.cbegin(); it != up.cend() && cycle.isEmpty(); ++it) {
            QStringList walk;
            QString node = it.key();
            while (!node.isEmpty() && seen.value(node) == 0) {
                seen.insert(node, 1);
                walk << node;
                node = parentNode(node);
            }
            if (!node.isEmpty() && seen.value(node) == 1)
                cycle = walk.mid(walk.indexOf(node));
            for (const QString &n : std::as_const(walk))
                seen.insert(n, 2);
        }
        if (cycle.isEmpty())
            return crossing;
        bool placed = false;
        for (const QString &node : std::as_const(cycle)) {
            const auto server = serverUp.constFind(node);
            if (server == serverUp.cend())
                continue;
            up.insert(node, *server);
            crossing.insert(node);
            serverUp.erase(server);
            placed = true;
        }
        if (!placed)
            return crossing; // the server's own places never make a cycle
    }
}

SyncPlan Planner::finish()
{
    planDeletes();
    planNew();

    // Moves in the order found (a folder before its contents); then the deletes, which free the
    // places new entries may take; then folders before what goes into them.
    const auto rank = [](const SyncAction &a) {
        switch (a.kind) {
        case Kind::TrashLocal:
        case Kind::TrashRemote:
        case Kind::Forget:
            return 0;
        case Kind::CreateLocalFolder:
        case Kind::CreateRemoteFolder:
        case Kind::Record:
            return 1;
        default:
            return 2;
        }
    };
    m_content.append(m_forget);
    std::stable_sort(m_content.begin(), m_content.end(), [&rank](const SyncAction &a, const SyncAction &b) {
        const int ra = rank(a);
        const int rb = rank(b);
        if (ra != rb)
            return ra < rb;
        return a.path < b.path;
    });
    m_plan.actions = orderedMoves(m_firstMoves + m_moves) + m_content;
    m_plan.waiting.sort();
    m_plan.needsConfirmation =
        m_plan.deletedFiles > Reconciler::MassDeleteMinimum && m_plan.deletedFiles * 2 > m_plan.knownFiles;
    return m_plan;
}

} // namespace

SyncPlan Reconciler::plan(const Input &input)
{
    Planner planner(input, {});
    planner.planKnown();
    const QSet<QString> crossing = planner.crossingMoves();
    if (crossing.isEmpty())
        return planner.finish();
    Planner again(input, crossing);
    again.planKnown();
    return again.finish();
}
