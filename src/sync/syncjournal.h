#pragma once

#include "sync/journalentry.h"
#include "sync/remotechange.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// The last state both sides of one pair agreed on, in its own SQLite file (write-ahead log, so a
// process killed at any moment leaves the last committed state). Each completed action changes
// it in one transaction: begin(), the changes, commit(). Paths are relative, with "/".
class SyncJournal final
{
    Q_DISABLE_COPY_MOVE(SyncJournal)

public:
    SyncJournal();
    ~SyncJournal();

    // Opens (creating when missing) the journal at filePath. False with errorText() when it
    // cannot be used.
    bool open(const QString &filePath);
    void close();
    bool isOpen() const { return !m_connection.isEmpty(); }
    QString errorText() const { return m_error; }

    QHash<QString, JournalEntry> entries() const;
    // The same, without the entries drop() takes: those are never held at once.
    QHash<QString, JournalEntry> entries(const std::function<bool(const JournalEntry &)> &drop) const;
    bool contains(const QString &path) const;
    JournalEntry entry(const QString &path) const;

    bool begin();
    bool commit();
    void rollback();

    bool put(const JournalEntry &entry);
    // path and everything under it.
    bool removeTree(const QString &path);
    // path and everything under it now live under newPath (what was at newPath goes first).
    bool moveTree(const QString &path, const QString &newPath);

    // Where the change feed stopped; empty before the first round.
    QString cursor() const;
    bool setCursor(const QString &cursor);
    // The server's side as the change feed last left it, kept so that the next start continues
    // from cursor() instead of listing everything again. Each call is one transaction with the
    // cursor it belongs to.
    QList<RemoteEntry> remoteEntries() const;
    bool replaceRemote(const QList<RemoteEntry> &entries, const QString &cursor);
    bool applyRemote(const QList<RemoteChange> &changes, const QStringList &removedIds, const QString &cursor);

    // Free-form values of the pair kept with the journal (the last round's time, ...).
    QString value(const QString &key) const;
    bool setValue(const QString &key, const QString &value);

private:
    bool exec(const QString &sql, const QVariantList &values = {});
    bool putRemote(const RemoteEntry &entry);

    QString m_connection;
    QString m_error;
};
