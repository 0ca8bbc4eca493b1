#include "sync/syncmanager.h"

#include "net/session.h"
#include "sync/remotefeed.h"
#include "sync/syncengine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QUuid>

namespace {

const QString PairsKey = QStringLiteral("pairs");
const QString PersonalSpace = QStringLiteral("personal");
const QString TeamSpace = QStringLiteral("team");

QString groupFor(const QString &userId)
{
    return QStringLiteral("sync/") + userId;
}

// A folder and everything below it, with a trailing slash so that "/a/b" does not cover "/a/bc".
QString asPrefix(const QString &path)
{
    QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (!clean.endsWith(QLatin1Char('/')))
        clean += QLatin1Char('/');
    return clean;
}

bool overlaps(const QString &a, const QString &b)
{
    const QString pa = asPrefix(a);
    const QString pb = asPrefix(b);
    return pa.startsWith(pb) || pb.startsWith(pa);
}

} // namespace

SyncManager::SyncManager(QObject *parent)
    : QObject(parent)
{
    connect(Session::instance(), &Session::changed, this, &SyncManager::followSession);
    followSession();
}

SyncManager::~SyncManager()
{
    stopAll();
}

QString SyncManager::journalPath(const QString &userId, const QString &pairId)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/sync/") + userId +
           QLatin1Char('/') + pairId + QStringLiteral(".db");
}

void SyncManager::setEngineTimings(int hintDelayMs, qint64 stableMs, int backoffMs)
{
    m_hintDelayMs = hintDelayMs;
    m_stableMs = stableMs;
    m_backoffMs = backoffMs;
}

void SyncManager::followSession()
{
    const QString user = Session::instance()->userId;
    if (user == m_userId)
        return; // a profile change, not another user
    stopAll();
    m_pairs.clear();
    m_userId = user;
    if (!m_userId.isEmpty()) {
        loadPairs();
        for (const SyncPair &pair : std::as_const(m_pairs)) {
            if (!pair.paused)
                startEngine(pair);
        }
    }
    emit pairsChanged();
    emit statusChanged();
}

void SyncManager::loadPairs()
{
    QSettings settings;
    settings.beginGroup(groupFor(m_userId));
    const int count = settings.beginReadArray(PairsKey);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        SyncPair pair;
        pair.id = settings.value(QStringLiteral("id")).toString();
        pair.localPath = settings.value(QStringLiteral("localPath")).toString();
        pair.folderId = settings.value(QStringLiteral("folderId")).toString();
        pair.folderPath = settings.value(QStringLiteral("folderPath")).toString();
        const QString space = settings.value(QStringLiteral("space")).toString();
        pair.space = space == TeamSpace ? SyncPair::Space::Team : SyncPair::Space::Personal;
        pair.teamId = settings.value(QStringLiteral("teamId")).toString();
        pair.ignorePatterns = settings.value(QStringLiteral("ignore")).toStringList();
        pair.paused = settings.value(QStringLiteral("paused")).toBool();
        // Only what the user could have added is taken back.
        if (pair.id.isEmpty() || pair.localPath.isEmpty() || (space != PersonalSpace && space != TeamSpace) ||
            (pair.space == SyncPair::Space::Team && pair.teamId.isEmpty()))
            continue;
        m_pairs.append(pair);
    }
    settings.endArray();
    settings.endGroup();
}

void SyncManager::savePairs() const
{
    if (m_userId.isEmpty())
        return;
    QSettings settings;
    settings.beginGroup(groupFor(m_userId));
    settings.remove(PairsKey);
    settings.beginWriteArray(PairsKey, int(m_pairs.size()));
    for (int i = 0; i < m_pairs.size(); ++i) {
        const SyncPair &pair = m_pairs.at(i);
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("id"), pair.id);
        settings.setValue(QStringLiteral("localPath"), pair.localPath);
        settings.setValue(QStringLiteral("folderId"), pair.folderId);
        settings.setValue(QStringLiteral("folderPath"), pair.folderPath);
        settings.setValue(QStringLiteral("space"), pair.space == SyncPair::Space::Team ? TeamSpace : PersonalSpace);
        settings.setValue(QStringLiteral("teamId"), pair.teamId);
        settings.setValue(QStringLiteral("ignore"), pair.ignorePatterns);
        settings.setValue(QStringLiteral("paused"), pair.paused);
    }
    settings.endArray();
    settings.endGroup();
    settings.sync();
}

QString SyncManager::refusal(const SyncPair &pair) const
{
    if (m_userId.isEmpty())
        return QStringLiteral("请先登录");
    if (pair.space == SyncPair::Space::Vault)
        return QStringLiteral("保险箱中的文件不能同步，请选择个人空间或团队空间的文件夹");
    if (pair.space == SyncPair::Space::Team && pair.teamId.isEmpty())
        return QStringLiteral("请选择团队空间");
    const QFileInfo local(pair.localPath);
    if (pair.localPath.isEmpty() || !local.isDir())
        return QStringLiteral("本地文件夹不存在：") + pair.localPath;
    if (!local.isWritable())
        return QStringLiteral("本地文件夹不可写入：") + pair.localPath;
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (overlaps(pair.localPath, data))
        return QStringLiteral("不能同步本程序自己的数据文件夹");
    for (const SyncPair &other : m_pairs) {
        // Two engines on one tree would each take the other's writes for the user's.
        if (overlaps(other.localPath, pair.localPath))
            return QStringLiteral("该文件夹与已有的同步「%1」重叠").arg(QDir::toNativeSeparators(other.localPath));
        if (other.space == pair.space && other.teamId == pair.teamId && other.folderId == pair.folderId)
            return QStringLiteral("服务器文件夹「%1」已在同步中").arg(other.folderPath);
    }
    return QString();
}

QString SyncManager::addPair(const SyncPair &wanted, QString *newId)
{
    const QString problem = refusal(wanted);
    if (!problem.isEmpty())
        return problem;
    SyncPair pair = wanted;
    pair.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    pair.localPath = QDir::cleanPath(QFileInfo(wanted.localPath).absoluteFilePath());
    if (pair.space == SyncPair::Space::Personal)
        pair.teamId.clear();
    m_pairs.append(pair);
    savePairs();
    if (!pair.paused)
        startEngine(pair);
    if (newId)
        *newId = pair.id;
    emit pairsChanged();
    emit statusChanged();
    return QString();
}

void SyncManager::removePair(const QString &id)
{
    const int index = indexOf(id);
    if (index < 0)
        return;
    // Nothing will continue the pair's transfers: they go from the list, and with them their side
    // files and upload sessions.
    stopEngine(id, SyncExecutor::Transfers::Cancel);
    m_pairs.removeAt(index);
    savePairs();
    // Only the record of what was agreed goes; the files on both sides stay as they are.
    const QString journal = journalPath(m_userId, id);
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::remove(journal + suffix);
    m_startErrors.remove(id);
    emit pairsChanged();
    emit statusChanged();
}

void SyncManager::pause(const QString &id)
{
    const int index = indexOf(id);
    if (index < 0)
        return;
    m_pairs[index].paused = true;
    savePairs();
    if (SyncEngine *engine = m_engines.value(id))
        engine->pause();
    emit statusChanged();
}

void SyncManager::resume(const QString &id)
{
    const int index = indexOf(id);
    if (index < 0)
        return;
    m_pairs[index].paused = false;
    savePairs();
    SyncEngine *engine = m_engines.value(id);
    if (!engine)
        startEngine(m_pairs.at(index));
    else if (engine->state() == SyncEngine::State::Stopped)
        engine->start();
    else
        engine->resume();
    emit statusChanged();
}

void SyncManager::syncNow(const QString &id)
{
    SyncEngine *engine = m_engines.value(id);
    const int index = indexOf(id);
    if (!engine || index < 0)
        return;
    if (engine->state() == SyncEngine::State::Stopped) {
        // Its journal could not be opened: try again on request.
        m_startErrors.remove(id);
        if (!engine->start())
            m_startErrors.insert(id, engine->lastError());
        emit statusChanged();
    } else if (engine->state() == SyncEngine::State::Paused && !m_pairs.at(index).paused) {
        // Paused by the engine itself (its folder was missing): look again on request.
        engine->resume();
    } else {
        engine->syncNow();
    }
}

void SyncManager::confirmDeletes(const QString &id)
{
    if (SyncEngine *engine = m_engines.value(id))
        engine->confirmDeletes();
}

void SyncManager::startEngine(const SyncPair &pair)
{
    if (m_engines.contains(pair.id))
        return;
    SyncEngine::Config config;
    config.localPath = pair.localPath;
    config.remoteFolderId = pair.folderId;
    config.teamId = pair.space == SyncPair::Space::Team ? pair.teamId : QString();
    config.ignorePatterns = pair.ignorePatterns;
    auto *engine = new SyncEngine(config, journalPath(m_userId, pair.id), this);
    if (m_hintDelayMs >= 0)
        engine->setTimings(m_hintDelayMs, m_stableMs, m_backoffMs);
    const QString id = pair.id;
    connect(engine, &SyncEngine::stateChanged, this, &SyncManager::statusChanged);
    // A quiet round changes the last sync time without a change of state.
    connect(engine, &SyncEngine::settled, this, &SyncManager::statusChanged);
    // The count of a running round, and conflicts dealt with, also without one.
    connect(engine, &SyncEngine::progressed, this, &SyncManager::statusChanged);
    connect(engine->feed(), &RemoteFeed::failed, this, [this, id](const QString &error) {
        m_feedErrors.insert(id, error);
        emit statusChanged();
    });
    connect(engine->feed(), &RemoteFeed::recovered, this, [this, id] {
        if (m_feedErrors.remove(id) > 0)
            emit statusChanged();
    });
    m_engines.insert(id, engine);
    m_startErrors.remove(id);
    if (!engine->start())
        m_startErrors.insert(id, engine->lastError());
}

void SyncManager::stopEngine(const QString &id, SyncExecutor::Transfers transfers)
{
    SyncEngine *engine = m_engines.take(id);
    m_feedErrors.remove(id);
    if (!engine)
        return;
    engine->disconnect(this);
    engine->feed()->disconnect(this);
    engine->stop(transfers);
    delete engine;
}

void SyncManager::stopAll()
{
    const QStringList ids = m_engines.keys();
    for (const QString &id : ids)
        stopEngine(id);
    m_startErrors.clear();
}

int SyncManager::indexOf(const QString &id) const
{
    for (int i = 0; i < m_pairs.size(); ++i) {
        if (m_pairs.at(i).id == id)
            return i;
    }
    return -1;
}

SyncPairStatus SyncManager::status(const QString &id) const
{
    SyncPairStatus status;
    const int index = indexOf(id);
    if (index < 0)
        return status;
    const SyncPair &pair = m_pairs.at(index);
    status.id = pair.id;
    status.localPath = pair.localPath;
    status.folderPath = pair.folderPath;
    using Kind = SyncPairStatus::Kind;
    const SyncEngine *engine = m_engines.value(id);
    if (!engine) {
        status.kind = pair.paused ? Kind::Paused : Kind::Stopped;
        return status;
    }
    status.lastSynced = engine->lastSynced();
    status.failures = engine->failures();
    status.conflicts = engine->conflicts();
    status.plannedDeletes = engine->plannedDeletes();
    if (m_startErrors.contains(id))
        status.failures.prepend({QString(), m_startErrors.value(id)});
    else if (m_feedErrors.contains(id))
        status.failures.prepend({QString(), m_feedErrors.value(id)});

    switch (engine->state()) {
    case SyncEngine::State::NeedsConfirmation:
        status.kind = Kind::NeedsConfirmation;
        status.count = status.plannedDeletes;
        return status;
    case SyncEngine::State::Syncing:
        status.kind = Kind::Syncing;
        status.count = engine->pendingCount();
        return status;
    case SyncEngine::State::Paused:
        // Paused by the engine itself (a missing folder) is a failure, not the user's pause.
        if (pair.paused || status.failures.isEmpty()) {
            status.kind = Kind::Paused;
            return status;
        }
        break;
    case SyncEngine::State::Stopped:
        if (status.failures.isEmpty()) {
            status.kind = Kind::Stopped;
            return status;
        }
        break;
    case SyncEngine::State::Idle:
        break;
    }
    if (!status.failures.isEmpty()) {
        status.kind = Kind::Failed;
        status.count = int(status.failures.size());
    } else if (!status.conflicts.isEmpty()) {
        status.kind = Kind::Conflicted;
        status.count = int(status.conflicts.size());
    } else {
        status.kind = status.lastSynced.isValid() ? Kind::Synced : Kind::Starting;
    }
    return status;
}

QList<SyncPairStatus> SyncManager::statuses() const
{
    QList<SyncPairStatus> all;
    for (const SyncPair &pair : m_pairs)
        all.append(status(pair.id));
    return all;
}

QString SyncManager::stateText(const SyncPairStatus &status)
{
    using Kind = SyncPairStatus::Kind;
    switch (status.kind) {
    case Kind::Starting:
        return QStringLiteral("准备同步");
    case Kind::Synced:
        return QStringLiteral("已同步");
    case Kind::Syncing:
        return status.count > 0 ? QStringLiteral("同步中 %1 项").arg(status.count) : QStringLiteral("同步中");
    case Kind::Paused:
        return QStringLiteral("已暂停");
    case Kind::Failed:
        return QStringLiteral("出错 %1 项").arg(status.count);
    case Kind::Conflicted:
        return QStringLiteral("冲突 %1 项").arg(status.count);
    case Kind::NeedsConfirmation:
        return QStringLiteral("待确认删除 %1 项").arg(status.count);
    case Kind::Stopped:
        return QStringLiteral("未运行");
    }
    return QString();
}

QString SyncManager::overallText() const
{
    if (m_pairs.isEmpty())
        return QString();
    using Kind = SyncPairStatus::Kind;
    int confirm = 0, syncing = 0, failed = 0, conflicts = 0, paused = 0, pending = 0;
    for (const SyncPairStatus &status : statuses()) {
        switch (status.kind) {
        case Kind::NeedsConfirmation:
            ++confirm;
            break;
        case Kind::Syncing:
        case Kind::Starting:
            ++syncing;
            pending += status.count;
            break;
        case Kind::Failed:
            failed += status.count;
            break;
        case Kind::Conflicted:
            conflicts += status.count;
            break;
        case Kind::Paused:
        case Kind::Stopped:
            ++paused;
            break;
        case Kind::Synced:
            break;
        }
    }
    // The most pressing first: what waits for the user, then what is wrong, then what runs.
    if (confirm > 0)
        return QStringLiteral("同步：%1 个文件夹等待确认删除").arg(confirm);
    if (failed > 0)
        return QStringLiteral("同步：出错 %1 项").arg(failed);
    if (conflicts > 0)
        return QStringLiteral("同步：冲突 %1 项").arg(conflicts);
    if (syncing > 0)
        return pending > 0 ? QStringLiteral("同步中 %1 项").arg(pending) : QStringLiteral("同步中");
    if (paused == m_pairs.size())
        return QStringLiteral("同步已暂停");
    return QStringLiteral("已同步");
}
