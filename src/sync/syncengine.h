#pragma once

#include "sync/ignorerules.h"
#include "sync/syncexecutor.h"
#include "sync/syncjournal.h"
#include "sync/syncplan.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;
class FolderWatcher;
class RemoteFeed;

// Keeps one local folder and one server folder the same. A round scans the disk, takes the
// server's side from the change feed, plans (Reconciler) and carries the plan out
// (SyncExecutor); rounds follow the watcher's hints, the feed's changes, and a full rescan every
// few minutes. A round that would delete too much waits for confirmDeletes(). Widget-free.
class SyncEngine final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SyncEngine)

public:
    enum class State { Idle, Syncing, Paused, NeedsConfirmation, Stopped };

    struct Config
    {
        QString localPath;
        QString remoteFolderId; // empty: the space's root
        QString teamId;         // empty: the personal space
        QStringList ignorePatterns;
    };

    // The full rescan that catches what the watcher missed: every RescanIntervalMs at the
    // shortest, longer when a round is costly (RescanDutyDivisor times its cost), never longer
    // than MaxRescanIntervalMs.
    static constexpr int RescanIntervalMs = 3 * 60 * 1000;
    static constexpr int RescanDutyDivisor = 200;
    static constexpr int MaxRescanIntervalMs = 15 * 60 * 1000;
    static constexpr int HintDelayMs = 300;
    static constexpr int FirstBackoffMs = 5000;
    static constexpr int MaxBackoffMs = 5 * 60 * 1000;

    SyncEngine(const Config &config, const QString &journalPath, QObject *parent = nullptr);
    ~SyncEngine() override;

    // False (with lastError()) when the journal cannot be opened.
    bool start();
    // Its transfers pause, for the pair's next start to continue them; a pair removed for good
    // cancels them instead.
    void stop(SyncExecutor::Transfers transfers = SyncExecutor::Transfers::Pause);
    void pause();
    void resume();
    void syncNow();
    // Lets the waiting round's deletes go ahead, once.
    void confirmDeletes();

    State state() const { return m_state; }
    Config config() const { return m_config; }
    QString lastError() const { return m_lastError; }
    QList<SyncExecutor::Failure> failures() const { return m_failures; }
    // Conflict copies still at the name they were given (relative paths), kept in the journal.
    QStringList conflicts() const { return m_conflicts; }
    QDateTime lastSynced() const { return m_lastSynced; }
    // Actions of the running round still to do.
    int pendingCount() const { return m_pending; }
    int plannedDeletes() const { return m_plannedDeletes; }
    // Rounds completed with nothing left to do (for tests and the status texts).
    int quietRounds() const { return m_quietRounds; }
    // Rounds that scanned the disk so far (for tests and the log).
    int rounds() const { return m_rounds; }
    // How long the last round took (scan and plan), and the safety rescan it leads to.
    qint64 lastRoundCostMs() const { return m_lastRoundCostMs; }
    int rescanIntervalMs() const;
    static int rescanIntervalFor(qint64 roundCostMs);
    // The pause before the round that tries failed actions again; 0 after a round without failures.
    int retryDelayMs() const { return m_backoffMs; }
    // Shorter delays for tests.
    void setTimings(int hintDelayMs, qint64 stableMs, int backoffMs, int maxBackoffMs = MaxBackoffMs);
    RemoteFeed *feed() const { return m_feed; }

signals:
    void stateChanged();
    // A round ended with nothing to do and no failure.
    void settled();
    // What the pair shows changed while its state did not: an action of the round finished, or a
    // conflict copy went away.
    void progressed();

private:
    void scheduleRound(int delayMs);
    void runRound();
    void onExecuted();
    void watchFolders(const QStringList &dirs);
    void setState(State state);
    void onActionFinished();
    void retryLater();
    void loadConflicts();
    void keepConflicts();
    // Drops the conflicts whose copy is no longer where it was made; true when any went.
    bool dropGoneConflicts();

    Config m_config;
    IgnoreRules m_rules;
    QString m_journalPath;
    SyncJournal m_journal;
    RemoteFeed *m_feed = nullptr;
    SyncExecutor *m_executor = nullptr;
    FolderWatcher *m_watcher = nullptr;
    QTimer *m_roundTimer = nullptr;
    QTimer *m_rescanTimer = nullptr;
    State m_state = State::Stopped;
    QString m_lastError;
    QList<SyncExecutor::Failure> m_failures;
    QList<SyncExecutor::Failure> m_scanFailures; // folders the last scan could not list
    QStringList m_conflicts;
    QDateTime m_lastSynced;
    int m_pending = 0;
    int m_plannedDeletes = 0;
    int m_quietRounds = 0;
    int m_rounds = 0;
    int m_backoffMs = 0;
    qint64 m_lastRoundCostMs = 0;
    int m_hintDelayMs = HintDelayMs;
    qint64 m_stableMs = 2000;
    int m_firstBackoffMs = FirstBackoffMs;
    int m_maxBackoffMs = MaxBackoffMs;
    bool m_again = false;
    bool m_awaitingFeed = false; // a plan changed the server: plan again once the feed has it
    bool m_deletesConfirmed = false;
    bool m_toldWatchLimit = false;
};
