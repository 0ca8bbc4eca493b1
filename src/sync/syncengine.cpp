#include "sync/syncengine.h"

#include "sync/agreedfilter.h"
#include "sync/folderwatcher.h"
#include "sync/localscanner.h"
#include "sync/reconciler.h"
#include "sync/remotefeed.h"
#include "sync/synclog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTimer>

namespace {
const auto ConflictsKey = QStringLiteral("conflicts");

// What the scan could not take in, as the pair's errors.
QList<SyncExecutor::Failure> scanFailuresOf(const LocalScanner::Result &scan)
{
    QList<SyncExecutor::Failure> failures;
    for (const LocalEntry &entry : scan.badNames)
        failures << SyncExecutor::Failure{entry.path, QStringLiteral("文件名不是 UTF-8 编码，无法同步，请改名")};
    for (const QString &folder : scan.unreadable) {
        failures << SyncExecutor::Failure{folder, folder.isEmpty()
                                                      ? QStringLiteral("无法读取本地文件夹，暂不同步")
                                                      : QStringLiteral("无法读取文件夹，其中的内容暂不同步")};
    }
    return failures;
}

} // namespace

SyncEngine::SyncEngine(const Config &config, const QString &journalPath, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_rules(config.ignorePatterns)
    , m_journalPath(journalPath)
    , m_feed(new RemoteFeed(config.remoteFolderId, config.teamId, this))
    , m_executor(new SyncExecutor(this))
    , m_watcher(new FolderWatcher(this))
    , m_roundTimer(new QTimer(this))
    , m_rescanTimer(new QTimer(this))
{
    m_roundTimer->setSingleShot(true);
    connect(m_roundTimer, &QTimer::timeout, this, &SyncEngine::runRound);
    m_rescanTimer->setSingleShot(true);
    connect(m_rescanTimer, &QTimer::timeout, this, [this] { scheduleRound(0); });
    connect(m_feed, &RemoteFeed::treeChanged, this, [this] { scheduleRound(0); });
    connect(m_feed, &RemoteFeed::caughtUp, this, [this] {
        if (m_awaitingFeed) {
            m_awaitingFeed = false;
            scheduleRound(0);
        }
    });
    // The server's side is kept with its cursor, so that the next start asks only for what changed.
    connect(m_feed, &RemoteFeed::listed, this, [this] {
        if (m_journal.isOpen())
            m_journal.replaceRemote(m_feed->tree().entries(), m_feed->cursor());
    });
    connect(m_feed, &RemoteFeed::advanced, this,
            [this](const QList<RemoteChange> &changes, const QStringList &removed, const QString &cursor) {
                if (m_journal.isOpen())
                    m_journal.applyRemote(changes, removed, cursor);
            });
    connect(m_executor, &SyncExecutor::finished, this, &SyncEngine::onExecuted);
    connect(m_executor, &SyncExecutor::actionFinished, this, &SyncEngine::onActionFinished);
    // Watcher events are hints: the scan that follows is the truth. A file still being written
    // cannot go before it is stable, so a write alone asks for a look only then.
    m_watcher->setIgnoredName([this](const QString &name) { return m_rules.isIgnoredName(name); });
    connect(m_watcher, &FolderWatcher::changed, this, [this] { scheduleRound(m_hintDelayMs); });
    connect(m_watcher, &FolderWatcher::writing, this, [this] { scheduleRound(int(m_stableMs)); });
}

SyncEngine::~SyncEngine()
{
    stop();
}

void SyncEngine::setTimings(int hintDelayMs, qint64 stableMs, int backoffMs, int maxBackoffMs)
{
    m_hintDelayMs = hintDelayMs;
    m_stableMs = stableMs;
    m_firstBackoffMs = backoffMs;
    m_maxBackoffMs = qMax(backoffMs, maxBackoffMs);
}

bool SyncEngine::start()
{
    if (!m_journal.isOpen() && !m_journal.open(m_journalPath)) {
        m_lastError = m_journal.errorText();
        return false;
    }
    loadConflicts();
    setState(State::Idle);
    const QString cursor = m_journal.cursor();
    if (cursor.isEmpty()) {
        m_feed->start();
    } else {
        RemoteTree tree(m_config.remoteFolderId);
        const QList<RemoteEntry> kept = m_journal.remoteEntries();
        QList<RemoteChange> changes;
        changes.reserve(kept.size());
        for (const RemoteEntry &entry : kept)
            changes << RemoteChange{entry, false, 0};
        tree.apply(changes);
        m_feed->resume(cursor, tree);
    }
    m_rescanTimer->start(RescanIntervalMs);
    scheduleRound(0);
    return true;
}

void SyncEngine::stop(SyncExecutor::Transfers transfers)
{
    m_awaitingFeed = false;
    m_feed->stop();
    m_executor->abort(transfers);
    m_roundTimer->stop();
    m_rescanTimer->stop();
    m_watcher->clear();
    m_journal.close();
    setState(State::Stopped);
}

void SyncEngine::pause()
{
    if (m_state == State::Stopped)
        return;
    m_executor->abort();
    m_roundTimer->stop();
    setState(State::Paused);
}

void SyncEngine::resume()
{
    if (m_state != State::Paused && m_state != State::NeedsConfirmation)
        return;
    setState(State::Idle);
    scheduleRound(0);
}

void SyncEngine::syncNow()
{
    if (m_state == State::Idle || m_state == State::Syncing) {
        m_backoffMs = 0;
        scheduleRound(0);
    }
}

void SyncEngine::confirmDeletes()
{
    if (m_state != State::NeedsConfirmation)
        return;
    m_deletesConfirmed = true;
    setState(State::Idle);
    scheduleRound(0);
}

void SyncEngine::scheduleRound(int delayMs)
{
    if (m_state != State::Idle && m_state != State::Syncing)
        return;
    if (m_executor->isRunning()) {
        m_again = true;
        return;
    }
    if (!m_roundTimer->isActive() || m_roundTimer->remainingTime() > delayMs)
        m_roundTimer->start(delayMs);
}

int SyncEngine::rescanIntervalMs() const
{
    return m_rescanTimer->interval();
}

int SyncEngine::rescanIntervalFor(qint64 roundCostMs)
{
    // The safety rescan may take at most about 0.5 % of the time: a round of 1 s waits 200 s.
    const qint64 wanted = roundCostMs * RescanDutyDivisor;
    return int(qBound(qint64(RescanIntervalMs), wanted, qint64(MaxRescanIntervalMs)));
}

void SyncEngine::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged();
}

void SyncEngine::watchFolders(const QStringList &dirs)
{
    QStringList wanted;
    wanted.reserve(dirs.size() + 1);
    wanted << m_config.localPath;
    for (const QString &dir : dirs)
        wanted << m_config.localPath + QLatin1Char('/') + dir;
    m_watcher->addPaths(wanted); // those watched already are left as they are
    if (m_watcher->limitReached() && !m_toldWatchLimit) {
        m_toldWatchLimit = true;
        qCWarning(lcSync) << m_config.localPath
                          << "has more folders than the system lets a program watch (fs.inotify.max_user_watches):"
                             " changes in some are seen by the periodic rescan only";
    }
}

void SyncEngine::runRound()
{
    if (m_state != State::Idle && m_state != State::Syncing)
        return;
    if (!m_feed->isComplete())
        return; // the feed's first whole listing starts a round
    if (m_awaitingFeed)
        return; // the feed's catching up starts the next round
    if (m_executor->isRunning()) {
        // A round timer set before the running plan began (files still being written) must not
        // start a second plan over it: the first one's answers would be dropped unrecorded and
        // its uploads sent again. The running plan's end starts the next round.
        m_again = true;
        return;
    }
    QElapsedTimer cost;
    cost.start();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    LocalScanner::Result scan = LocalScanner::scan(m_config.localPath, m_rules, now, m_stableMs);
    ++m_rounds;
    if (scan.rootMissing) {
        // An unmounted disk or a removed folder must never read as "everything was deleted".
        m_lastError = QStringLiteral("本地文件夹不存在：") + m_config.localPath;
        m_failures = {SyncExecutor::Failure{QString(), m_lastError}};
        setState(State::Paused);
        return;
    }
    QStringList dirs;
    for (const LocalEntry &entry : scan.entries) {
        if (entry.isDir)
            dirs << entry.path;
    }
    watchFolders(dirs);
    if (dropGoneConflicts())
        emit progressed();

    Reconciler::Input input;
    input.local = std::move(scan.entries);
    const QHash<QString, RemoteEntry> remote = m_feed->tree().byPath();
    // Only what differs from the record, on either side, goes on to the planner.
    AgreedFilter::load(input, m_journal, remote);
    QSet<quint64> badNameInodes;
    for (const LocalEntry &entry : std::as_const(scan.badNames))
        badNameInodes.insert(entry.inode);
    AgreedFilter::holdUnreadable(input, scan.unreadable, badNameInodes);
    m_scanFailures = scanFailuresOf(scan);
    input.rules = m_rules;
    input.now = QDateTime::currentDateTime();
    const SyncPlan plan = Reconciler::plan(input);
    input = Reconciler::Input();
    // Every round scans everything, so the safety rescan counts from this one.
    m_lastRoundCostMs = cost.elapsed();
    m_rescanTimer->start(rescanIntervalFor(m_lastRoundCostMs));
    m_plannedDeletes = plan.deletedFiles;
    if (plan.needsConfirmation && !m_deletesConfirmed) {
        setState(State::NeedsConfirmation);
        return;
    }
    m_deletesConfirmed = false;
    if (!plan.waiting.isEmpty())
        scheduleRound(int(m_stableMs)); // files still being written: look again once they may be stable
    if (plan.actions.isEmpty()) {
        m_pending = 0;
        m_lastSynced = QDateTime::currentDateTime();
        // Nothing left to try: what failed before is gone or done (a refused file taken away, a
        // missing folder back). Folders that cannot be read are looked at again after a pause.
        const bool shownChanged = m_failures != m_scanFailures;
        m_failures = m_scanFailures;
        if (!m_failures.isEmpty()) {
            retryLater();
            if (m_state == State::Idle && shownChanged)
                emit progressed();
            setState(State::Idle);
            return;
        }
        m_backoffMs = 0;
        if (plan.waiting.isEmpty()) {
            ++m_quietRounds;
            setState(State::Idle);
            emit settled();
        }
        return;
    }
    m_pending = int(plan.actions.size());
    if (lcSync().isDebugEnabled()) {
        for (const SyncAction &a : plan.actions)
            qCDebug(lcSync) << m_config.localPath << "plans" << int(a.kind) << a.path << a.newPath << "id" << a.serverId
                            << "journal" << a.journalPath;
    }
    if (m_state == State::Syncing)
        emit progressed();
    setState(State::Syncing);
    SyncExecutor::Context context;
    context.root = m_config.localPath;
    context.rootFolderId = m_config.remoteFolderId;
    context.teamId = m_config.teamId;
    context.journal = &m_journal;
    context.remote = remote;
    context.stableMs = m_stableMs;
    m_executor->run(plan.actions, context);
}

void SyncEngine::onExecuted()
{
    if (m_executor->done() > 0) {
        // The server's answers to this plan's uploads, moves and deletes are in, but the feed may
        // not have brought them yet: a round planned from that older tree would take a file just
        // uploaded for one deleted on the server and move it to the trash.
        m_awaitingFeed = true;
        m_feed->catchUp();
    }
    m_pending = 0;
    m_failures = m_scanFailures + m_executor->failures();
    bool newConflict = false;
    for (const QString &copy : m_executor->conflictCopies()) {
        if (!m_conflicts.contains(copy)) {
            m_conflicts << copy;
            newConflict = true;
        }
    }
    if (newConflict)
        keepConflicts();
    m_lastSynced = QDateTime::currentDateTime();
    if (m_state == State::Syncing)
        setState(State::Idle);
    if (!m_failures.isEmpty()) {
        retryLater();
    } else {
        m_backoffMs = 0;
    }
    // What changed while the plan ran, or was skipped, is looked at again now.
    if (m_again || m_executor->done() > 0 || m_executor->skipped() > 0) {
        m_again = false;
        if (m_failures.isEmpty())
            scheduleRound(0);
    }
}

void SyncEngine::retryLater()
{
    // Failures are retried with a growing pause, not in a loop.
    m_backoffMs = m_backoffMs == 0 ? m_firstBackoffMs : qMin(m_backoffMs * 2, m_maxBackoffMs);
    scheduleRound(m_backoffMs);
}

void SyncEngine::onActionFinished()
{
    // The round's end says 0 itself, by its change of state.
    if (m_pending > 0 && --m_pending > 0)
        emit progressed();
}

void SyncEngine::loadConflicts()
{
    m_conflicts.clear();
    const QJsonDocument kept = QJsonDocument::fromJson(m_journal.value(ConflictsKey).toUtf8());
    for (const QJsonValue &value : kept.array()) {
        const QString path = value.toString();
        if (!path.isEmpty() && !m_conflicts.contains(path))
            m_conflicts << path;
    }
}

void SyncEngine::keepConflicts()
{
    if (m_journal.isOpen())
        m_journal.setValue(
            ConflictsKey,
            QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(m_conflicts)).toJson(QJsonDocument::Compact)));
}

bool SyncEngine::dropGoneConflicts()
{
    // Deleted, renamed or moved away by the user, or by a round that brought the other side's
    // doing: the user has dealt with it.
    const qsizetype before = m_conflicts.size();
    m_conflicts.removeIf([this](const QString &path) {
        LocalEntry entry;
        return !LocalScanner::stat(m_config.localPath, path, entry) || entry.isDir;
    });
    if (m_conflicts.size() == before)
        return false;
    keepConflicts();
    return true;
}
