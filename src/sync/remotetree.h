#pragma once

#include "sync/remotechange.h"
#include "sync/remoteentry.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// The server folder as the change feed has described it so far, by id. Paths are worked out from
// the parent chain, so a renamed folder carries its contents without a change for each of them;
// the feed's own path is used only where the chain is not known.
class RemoteTree final
{
public:
    // rootId: the synced folder's id (empty: the space's root).
    explicit RemoteTree(const QString &rootId = QString());

    // Returns the ids that left the tree (a deleted folder takes what it held).
    QStringList apply(const RemoteChange &change);
    QStringList apply(const QList<RemoteChange> &changes);
    void clear() { m_byId.clear(); }
    int size() const { return int(m_byId.size()); }
    bool contains(const QString &id) const { return m_byId.contains(id); }
    QString rootId() const { return m_rootId; }
    QList<RemoteEntry> entries() const { return m_byId.values(); }

    // Every entry by its path relative to the synced folder.
    QHash<QString, RemoteEntry> byPath() const;

private:
    QString pathOf(const QString &id, QHash<QString, QString> &known, int depth) const;

    QString m_rootId;
    QHash<QString, RemoteEntry> m_byId;
};
