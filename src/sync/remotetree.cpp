#include "sync/remotetree.h"

#include <QStringTokenizer>

namespace {
// Deeper than any real tree: a parent chain this long is a loop in the data.
constexpr int MaxDepth = 4096;

bool isSafePath(const QString &path)
{
    if (path.isEmpty() || path.contains(QLatin1Char('\\')) || path.contains(QChar(0)))
        return false;
    // Name by name without copying them: this runs for every entry of every round.
    for (const QStringView part : QStringView(path).tokenize(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}
} // namespace

RemoteTree::RemoteTree(const QString &rootId)
    : m_rootId(rootId)
{}

QStringList RemoteTree::apply(const RemoteChange &change)
{
    if (change.entry.id == m_rootId)
        return {}; // the synced folder itself
    if (!change.deleted) {
        m_byId.insert(change.entry.id, change.entry);
        return {};
    }
    QStringList removed;
    // What a deleted folder held goes with it, whether or not the feed lists it.
    QList<QString> gone{change.entry.id};
    QHash<QString, QList<QString>> children;
    for (auto it = m_byId.cbegin(); it != m_byId.cend(); ++it)
        children[it->parentId] << it.key();
    while (!gone.isEmpty()) {
        const QString id = gone.takeLast();
        if (m_byId.remove(id))
            removed << id;
        gone << children.value(id);
    }
    return removed;
}

QStringList RemoteTree::apply(const QList<RemoteChange> &changes)
{
    QStringList removed;
    for (const RemoteChange &change : changes)
        removed << apply(change);
    return removed;
}

QString RemoteTree::pathOf(const QString &id, QHash<QString, QString> &known, int depth) const
{
    const auto cached = known.constFind(id);
    if (cached != known.cend())
        return *cached;
    const RemoteEntry &entry = m_byId[id];
    QString path;
    if (entry.parentId == m_rootId || (m_rootId.isEmpty() && entry.parentId.isEmpty())) {
        path = entry.name;
    } else if (m_byId.contains(entry.parentId) && depth < MaxDepth) {
        const QString parent = pathOf(entry.parentId, known, depth + 1);
        path = parent.isEmpty() ? QString() : parent + QLatin1Char('/') + entry.name;
    } else {
        path = entry.path;
    }
    known.insert(id, path);
    return path;
}

QHash<QString, RemoteEntry> RemoteTree::byPath() const
{
    QHash<QString, QString> known;
    known.reserve(m_byId.size());
    QHash<QString, RemoteEntry> result;
    result.reserve(m_byId.size());
    for (auto it = m_byId.cbegin(); it != m_byId.cend(); ++it) {
        const QString path = pathOf(it.key(), known, 0);
        if (!isSafePath(path))
            continue; // a name that must never become a place on disk
        RemoteEntry entry = it.value();
        entry.path = path;
        result.insert(path, entry);
    }
    return result;
}
