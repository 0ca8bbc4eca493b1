#pragma once

#include "sync/syncexecutor.h"
#include "sync/syncpair.h"
#include "sync/syncpairstatus.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class SyncEngine;

// The signed-in user's sync pairs: kept per user in the settings, one SyncEngine each (with its
// journal under the app data folder) while the user is signed in. Follows the session: signing
// out stops every engine, signing in starts the pairs of that user again. Removing a pair stops
// its engine and drops its journal; no file is touched on either side. Widget-free.
class SyncManager final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SyncManager)

public:
    explicit SyncManager(QObject *parent = nullptr);
    ~SyncManager() override;

    // Adds and starts a pair; an empty text on success, else why not (in Chinese). The pair's id
    // is made here and returned through newId.
    QString addPair(const SyncPair &pair, QString *newId = nullptr);
    void removePair(const QString &id);
    void pause(const QString &id);
    void resume(const QString &id);
    void syncNow(const QString &id);
    // Lets a round that waits for its deletes go ahead.
    void confirmDeletes(const QString &id);

    // The signed-in user whose pairs these are; empty while signed out.
    QString userId() const { return m_userId; }
    QList<SyncPair> pairs() const { return m_pairs; }
    SyncPairStatus status(const QString &id) const;
    QList<SyncPairStatus> statuses() const;
    // One line for the tray: the pairs' state taken together; empty without pairs.
    QString overallText() const;

    // The engine of a pair while it runs (for tests); null otherwise.
    SyncEngine *engine(const QString &id) const { return m_engines.value(id); }
    // Shorter delays for the engines started from now on (tests).
    void setEngineTimings(int hintDelayMs, qint64 stableMs, int backoffMs);

    static QString stateText(const SyncPairStatus &status);
    // Where the journal of a pair of a user lives.
    static QString journalPath(const QString &userId, const QString &pairId);

signals:
    // A pair was added or removed, or the user changed.
    void pairsChanged();
    // A pair's state changed.
    void statusChanged();

private:
    void followSession();
    void loadPairs();
    void savePairs() const;
    void startEngine(const SyncPair &pair);
    void stopEngine(const QString &id, SyncExecutor::Transfers transfers = SyncExecutor::Transfers::Pause);
    void stopAll();
    int indexOf(const QString &id) const;
    QString refusal(const SyncPair &pair) const;

    QString m_userId;
    QList<SyncPair> m_pairs;
    QHash<QString, SyncEngine *> m_engines;
    QHash<QString, QString> m_startErrors;
    QHash<QString, QString> m_feedErrors;
    int m_hintDelayMs = -1;
    qint64 m_stableMs = -1;
    int m_backoffMs = -1;
};
