#include "transfer/transfermanager.h"

#include "net/httpclient.h"
#include "net/keychaincredentialstore.h"
#include "transfer/downloader.h"
#include "transfer/downloadregistry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>
#include <algorithm>

namespace {
TransferManager *s_manager = nullptr;

void destroyManager()
{
    delete s_manager;
    s_manager = nullptr;
}

QString keyOf(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

qint64 sizeOfFiles(const QStringList &paths)
{
    qint64 total = 0;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isFile())
            total += info.size();
    }
    return total;
}

QString nameOfFiles(const QStringList &paths)
{
    const QString first = QFileInfo(paths.value(0)).fileName();
    if (paths.size() <= 1)
        return first;
    return QStringLiteral("%1 等 %2 个文件").arg(first, QString::number(paths.size()));
}
} // namespace

TransferManager *TransferManager::instance()
{
    if (!s_manager) {
        // The client first, so that its post routine runs after this one: jobs end before the
        // network they use goes away.
        HttpClient::instance();
        s_manager = new TransferManager;
        qAddPostRoutine(destroyManager);
    }
    return s_manager;
}

TransferManager::TransferManager(QObject *parent)
    : QObject(parent)
    , m_saveTimer(new QTimer(this))
    , m_writer(std::make_unique<QThreadPool>())
{
    m_writer->setMaxThreadCount(1);
    // Changes that come in one burst (a pause of every job) are written once.
    m_saveTimer->setSingleShot(true);
    m_saveTimer->setInterval(0);
    connect(m_saveTimer, &QTimer::timeout, this, &TransferManager::saveNow);
}

TransferManager::~TransferManager()
{
    if (!m_storePath.isEmpty())
        saveNow();
    m_writer->waitForDone();
    // Each job stops where it is: side files, notes and server sessions stay for the next start.
    const QList<TransferTask *> tasks = m_tasks;
    m_tasks.clear();
    qDeleteAll(tasks);
}

TransferTask *TransferManager::add(TransferTask *task)
{
    adopt(task);
    emit taskAdded(int(m_tasks.size()) - 1);
    saveSoon();
    scheduleSoon(); // from the event loop: the caller connects to the job before it can end
    return task;
}

void TransferManager::adopt(TransferTask *task)
{
    task->setParent(this);
    task->setWaitsForConnection(m_watched);
    connect(task, &TransferTask::changed, this, [this, task] { emit taskChanged(task); });
    connect(task, &TransferTask::stateChanged, this, &TransferManager::onTaskStateChanged);
    connect(task, &TransferTask::networkLost, this, &TransferManager::reachabilityCheckRequested);
    connect(task, &TransferTask::sigDone, this, [this, task] { emit taskFinished(task); });
    m_tasks.append(task);
}

TransferTask *TransferManager::continueUpload(TransferTask::Kind kind, TransferTask::Space space, const QString &teamId,
                                              const QStringList &paths, const QString &parentId)
{
    QStringList keys;
    for (const QString &path : paths)
        keys << keyOf(path);
    for (TransferTask *task : std::as_const(m_tasks)) {
        if (task->kind() != kind || task->space() != space || task->teamId != teamId || task->parentId != parentId ||
            task->paths.size() != keys.size() || !(task->canResume() || task->canRetry()))
            continue;
        bool same = true;
        for (qsizetype i = 0; same && i < keys.size(); ++i)
            same = keyOf(task->paths.at(i)) == keys.at(i);
        if (!same)
            continue;
        task->requeue();
        scheduleSoon();
        return task;
    }
    return nullptr;
}

TransferTask *TransferManager::addUpload(const QString &path, const QString &parentId)
{
    if (TransferTask *existing =
            continueUpload(TransferTask::Kind::Upload, TransferTask::Space::Personal, QString(), {path}, parentId))
        return existing;
    auto *task = new TransferTask(TransferTask::Kind::Upload, TransferTask::Space::Personal);
    task->paths = {path};
    task->parentId = parentId;
    task->setName(QFileInfo(path).fileName());
    task->setTotalBytes(QFileInfo(path).size());
    return add(task);
}

TransferTask *TransferManager::addFormUpload(const QStringList &paths, const QString &parentId)
{
    if (TransferTask *existing =
            continueUpload(TransferTask::Kind::FormUpload, TransferTask::Space::Personal, QString(), paths, parentId))
        return existing;
    auto *task = new TransferTask(TransferTask::Kind::FormUpload, TransferTask::Space::Personal);
    task->paths = paths;
    task->parentId = parentId;
    task->setName(nameOfFiles(paths));
    task->setTotalBytes(sizeOfFiles(paths));
    return add(task);
}

TransferTask *TransferManager::addTeamUpload(const QString &teamId, const QStringList &paths, const QString &parentId)
{
    if (TransferTask *existing =
            continueUpload(TransferTask::Kind::FormUpload, TransferTask::Space::Team, teamId, paths, parentId))
        return existing;
    auto *task = new TransferTask(TransferTask::Kind::FormUpload, TransferTask::Space::Team);
    task->paths = paths;
    task->parentId = parentId;
    task->teamId = teamId;
    task->setName(nameOfFiles(paths));
    task->setTotalBytes(sizeOfFiles(paths));
    return add(task);
}

TransferTask *TransferManager::addVaultUpload(const QString &path)
{
    auto *task = new TransferTask(TransferTask::Kind::FormUpload, TransferTask::Space::Vault);
    task->paths = {path};
    task->setName(QFileInfo(path).fileName());
    task->setTotalBytes(sizeOfFiles({path}));
    return add(task);
}

TransferTask *TransferManager::addDownload(const QString &serverPath, const QString &dir, const QString &fileName,
                                           bool open)
{
    const QString target = Downloader::targetPath(dir, fileName);
    if (TransferTask *existing = unfinishedFor(target)) {
        if (existing->canResume() || existing->canRetry()) {
            // The same file again: the job that has part of it goes on.
            existing->requeue();
            scheduleSoon();
            return existing;
        }
        return nullptr;
    }
    auto *task = new TransferTask(open ? TransferTask::Kind::Open : TransferTask::Kind::Download,
                                  serverPath.startsWith(QLatin1String("/api/teams/")) ? TransferTask::Space::Team
                                                                                      : TransferTask::Space::Personal);
    task->serverPath = serverPath;
    task->dir = dir;
    task->fileName = fileName;
    task->setName(QFileInfo(target).fileName());
    return add(task);
}

TransferTask *TransferManager::addVaultDownload(const QString &serverPath, const QString &dir, const QString &fileName)
{
    const QString target = Downloader::targetPath(dir, fileName);
    if (TransferTask *existing = unfinishedFor(target)) {
        if (!existing->canResume() && !existing->canRetry())
            return nullptr;
        cancel(existing); // a decrypted fragment is never continued
    }
    auto *task = new TransferTask(TransferTask::Kind::Download, TransferTask::Space::Vault);
    task->serverPath = serverPath;
    task->dir = dir;
    task->fileName = fileName;
    task->setName(QFileInfo(target).fileName());
    return add(task);
}

TransferTask *TransferManager::addPackDownload(const QStringList &ids, const QString &savePath)
{
    auto *task = new TransferTask(TransferTask::Kind::PackDownload, TransferTask::Space::Personal);
    task->ids = ids;
    task->savePath = savePath;
    task->setName(QFileInfo(savePath).fileName());
    return add(task);
}

QString TransferManager::targetOf(const TransferTask *task)
{
    switch (task->kind()) {
    case TransferTask::Kind::Download:
    case TransferTask::Kind::Open:
    case TransferTask::Kind::PackDownload:
        return keyOf(task->localPath());
    case TransferTask::Kind::Upload:
    case TransferTask::Kind::FormUpload:
        break;
    }
    return {};
}

TransferTask *TransferManager::unfinishedFor(const QString &target) const
{
    const QString key = keyOf(target);
    for (TransferTask *task : m_tasks) {
        if (task->isUnfinished() && targetOf(task) == key)
            return task;
    }
    return nullptr;
}

bool TransferManager::isTargetBusy(const QString &target) const
{
    if (DownloadRegistry::isBusy(target))
        return true;
    const TransferTask *task = unfinishedFor(target);
    return task && (task->state() == TransferTask::State::Queued || task->isActive() || task->isBusy());
}

QString TransferManager::freeName(const QString &dir, const QString &fileName) const
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot > 0 ? fileName.mid(dot) : QString();
    const QString stem = fileName.left(fileName.size() - extension.size());
    const QDir folder(dir);
    QString name = fileName;
    for (int n = 2; DownloadRegistry::freeName(dir, name) != name || unfinishedFor(folder.absoluteFilePath(name)); ++n)
        name = QStringLiteral("%1 (%2)%3").arg(stem, QString::number(n), extension);
    return name;
}

int TransferManager::runningCount() const
{
    return int(std::count_if(m_tasks.cbegin(), m_tasks.cend(), [](const TransferTask *t) { return t->isActive(); }));
}

int TransferManager::waitingCount() const
{
    return int(std::count_if(m_tasks.cbegin(), m_tasks.cend(), [](const TransferTask *t) {
        return t->state() == TransferTask::State::Paused && (t->isAutoPaused() || t->isFromLastRun());
    }));
}

void TransferManager::pause(TransferTask *task)
{
    if (task && m_tasks.contains(task))
        task->pause(false);
}

void TransferManager::resume(TransferTask *task)
{
    if (!task || !m_tasks.contains(task) || !task->canResume())
        return;
    task->requeue();
    schedule();
}

void TransferManager::retry(TransferTask *task)
{
    if (!task || !m_tasks.contains(task) || !task->canRetry())
        return;
    task->requeue();
    schedule();
}

void TransferManager::cancel(TransferTask *task)
{
    if (!task || !m_tasks.contains(task))
        return;
    task->cancel();
    remove(task);
}

void TransferManager::remove(TransferTask *task)
{
    const int row = indexOf(task);
    if (row < 0)
        return;
    emit taskAboutToBeRemoved(row);
    m_tasks.removeAt(row);
    task->disconnect(this);
    emit taskRemoved();
    task->deleteLater(); // may be inside one of its own signals
    saveSoon();
    noteRunningCount();
    schedule();
}

void TransferManager::clearFinished()
{
    if (std::none_of(m_tasks.cbegin(), m_tasks.cend(), [](const TransferTask *t) { return !t->isUnfinished(); }))
        return;
    emit listAboutToBeReset();
    QList<TransferTask *> kept;
    for (TransferTask *task : std::as_const(m_tasks)) {
        if (task->isUnfinished()) {
            kept.append(task);
        } else {
            task->disconnect(this);
            task->deleteLater();
        }
    }
    m_tasks = kept;
    emit listReset();
}

void TransferManager::setMaxRunning(int count)
{
    m_maxRunning = std::clamp(count, 1, TransferSettings::MaxMaxRunning);
    schedule();
}

void TransferManager::setServerReachable(bool reachable)
{
    if (!m_watched) {
        m_watched = true;
        for (TransferTask *task : std::as_const(m_tasks))
            task->setWaitsForConnection(true);
    }
    m_reachable = reachable;
    const QList<TransferTask *> tasks = m_tasks;
    for (TransferTask *task : tasks) {
        if (!reachable && task->canPause())
            task->pause(true);
        else if (reachable && task->canResume() && task->isAutoPaused())
            task->requeue();
    }
    schedule();
}

void TransferManager::applySettings(const TransferSettings &settings, bool save)
{
    const bool proxyChanged =
        settings.proxy() != m_settings.proxy() || HttpClient::instance()->proxy() != settings.proxy();
    const TransferSettings previous = m_settings;
    m_settings = settings;
    HttpClient *client = HttpClient::instance();
    client->uploadLimiter().setRate(settings.uploadLimit);
    client->downloadLimiter().setRate(settings.downloadLimit);
    Downloader::setDefaultStreams(settings.downloadStreams);
    if (proxyChanged)
        client->setProxy(settings.proxy());
    setMaxRunning(settings.maxRunning);
    if (save)
        keepSettings(settings, previous);
}

void TransferManager::keepSettings(const TransferSettings &settings, const TransferSettings &previous)
{
    settings.save();
    const QString key = QString::fromLatin1(ProxyPasswordKey);
    if (!settings.proxyNeedsPassword()) {
        // A password no account needs any more leaves the keyring; never ask it for nothing.
        if (previous.proxyNeedsPassword())
            credentialStore()->remove(key, {});
        return;
    }
    QPointer<TransferManager> self(this);
    credentialStore()->write(key, settings.proxyPassword, [self](const CredentialStore::Reply &reply) {
        if (self && !reply.ok)
            emit self->credentialProblem(
                QStringLiteral("代理密码未能保存到系统密钥环（%1），只在本次运行中有效").arg(reply.error));
    });
}

void TransferManager::restoreSettings()
{
    const TransferSettings kept = TransferSettings::load();
    applySettings(kept, false);
    if (!kept.proxyNeedsPassword())
        return;
    QPointer<TransferManager> self(this);
    credentialStore()->read(QString::fromLatin1(ProxyPasswordKey), [self, kept](const CredentialStore::Reply &reply) {
        if (!self || self->m_settings != kept)
            return; // the user has chosen other settings meanwhile
        if (reply.ok) {
            TransferSettings withPassword = kept;
            withPassword.proxyPassword = reply.secret;
            self->applySettings(withPassword, false);
        } else if (reply.missing) {
            emit self->credentialProblem(QStringLiteral("未找到保存的代理密码，请在传输设置中重新填写"));
        } else {
            emit self->credentialProblem(
                QStringLiteral("无法从系统密钥环读取代理密码（%1），请在传输设置中重新填写").arg(reply.error));
        }
    });
}

CredentialStore *TransferManager::credentialStore()
{
    if (!m_credentials)
        m_credentials = new KeychainCredentialStore(QStringLiteral("tolvar-storage"), this);
    return m_credentials;
}

void TransferManager::schedule()
{
    if (m_scheduling) {
        m_scheduleAgain = true; // a job that ended while another was started
        return;
    }
    m_scheduling = true;
    do {
        m_scheduleAgain = false;
        if (!m_reachable)
            break;
        int busy = int(std::count_if(m_tasks.cbegin(), m_tasks.cend(),
                                     [](const TransferTask *t) { return t->isActive() || t->isBusy(); }));
        const QList<TransferTask *> tasks = m_tasks;
        for (TransferTask *task : tasks) {
            if (busy >= m_maxRunning)
                break;
            if (task->state() == TransferTask::State::Queued && !task->isBusy() && m_tasks.contains(task)) {
                task->run();
                ++busy;
            }
        }
    } while (m_scheduleAgain);
    m_scheduling = false;
    noteRunningCount();
}

void TransferManager::scheduleSoon()
{
    if (m_schedulePosted)
        return;
    m_schedulePosted = true;
    QTimer::singleShot(0, this, [this] {
        m_schedulePosted = false;
        schedule();
    });
}

void TransferManager::onTaskStateChanged()
{
    saveSoon();
    schedule();
}

void TransferManager::noteRunningCount()
{
    const int waiting = waitingCount();
    if (waiting != m_lastWaitingCount) {
        m_lastWaitingCount = waiting;
        emit waitingCountChanged(waiting);
    }
    const int count = runningCount();
    if (count == m_lastRunningCount)
        return;
    m_lastRunningCount = count;
    emit runningCountChanged(count);
}
