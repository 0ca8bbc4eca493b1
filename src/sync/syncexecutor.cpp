#include "sync/syncexecutor.h"

#include "files/fileapi.h"
#include "net/httpclient.h"
#include "net/httpresponse.h"
#include "sync/conflictname.h"
#include "sync/localscanner.h"
#include "sync/syncjournal.h"
#include "sync/synclog.h"
#include "transfer/filehasher.h"
#include "transfer/transfermanager.h"
#include "transfer/transfertask.h"
#include "transfer/uploader.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QUrl>

#include <cstdio>
#include <utility>

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

QString encoded(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

// Replaces target with source in one step (the toolkit's rename refuses an existing target).
bool replaceFile(const QString &source, const QString &target)
{
    return std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) == 0;
}

} // namespace

SyncExecutor::SyncExecutor(QObject *parent)
    : QObject(parent)
{}

SyncExecutor::~SyncExecutor() = default;

QString SyncExecutor::sideName(const QString &serverId)
{
    // Matches the ignore rules (*.tmp), so no scan ever takes it for a file of the user's.
    return QStringLiteral(".tvr-sync-") + serverId + QStringLiteral(".tmp");
}

void SyncExecutor::run(const QList<SyncAction> &actions, const Context &context)
{
    m_ctx = context;
    m_actions = actions;
    m_index = -1;
    ++m_round;
    m_running = true;
    m_failures.clear();
    m_conflicts.clear();
    m_skipped = 0;
    m_done = 0;
    m_folderIds.clear();
    m_transfers.clear();
    for (auto it = context.remote.cbegin(); it != context.remote.cend(); ++it) {
        if (it->isDir)
            m_folderIds.insert(it.key(), it->id);
    }
    m_nextToStart = 0;
    m_inFlight = 0;
    m_exclusiveInFlight = false;
    m_settled = QList<bool>(actions.size(), false);
    next();
}

void SyncExecutor::setMaxParallel(int count)
{
    m_maxParallel = qMax(1, count);
}

bool SyncExecutor::runsAlongside(const SyncAction &a)
{
    // Transfers of different paths do not depend on each other; everything else (folders, moves,
    // deletes, conflicts, records) waits for what came before it and holds back what follows, so
    // a folder is there before its files and nothing crosses a move or a delete.
    return a.kind == Kind::Upload || a.kind == Kind::Download;
}

void SyncExecutor::abort(Transfers transfers)
{
    ++m_round;
    m_running = false;
    // A transfer left running would go on without anyone to record it (and, signed out, without a
    // session): paused, it keeps its side file or upload session, and the same action next time
    // continues it rather than starting another.
    const QList<QPointer<TransferTask>> tracked = std::exchange(m_transfers, {});
    for (const QPointer<TransferTask> &task : tracked) {
        if (task && transfers == Transfers::Cancel && task->isUnfinished())
            TransferManager::instance()->cancel(task);
        else if (task && task->canPause())
            TransferManager::instance()->pause(task);
    }
}

void SyncExecutor::track(TransferTask *task)
{
    m_transfers.removeIf([](const QPointer<TransferTask> &t) { return !t || !t->isUnfinished(); });
    m_transfers.append(task);
}

std::function<void(const HttpResponse &)> SyncExecutor::guarded(std::function<void(const HttpResponse &)> f)
{
    QPointer<SyncExecutor> self(this);
    const quint64 round = m_round;
    const int index = m_index;
    return [self, round, index, f = std::move(f)](const HttpResponse &response) {
        if (self && self->m_round == round && self->m_running) {
            self->m_index = index;
            f(response);
        }
    };
}

std::function<bool()> SyncExecutor::resumer()
{
    QPointer<SyncExecutor> self(this);
    const quint64 round = m_round;
    const int index = m_index;
    return [self, round, index] {
        if (!self || self->m_round != round || !self->m_running)
            return false;
        self->m_index = index; // several actions run at once: answers come back to their own
        return true;
    };
}

QString SyncExecutor::full(const QString &path) const
{
    return m_ctx.root + QLatin1Char('/') + path;
}

QString SyncExecutor::folderId(const QString &path, bool *found) const
{
    *found = true;
    if (path.isEmpty())
        return m_ctx.rootFolderId;
    const auto known = m_folderIds.constFind(path);
    if (known != m_folderIds.cend())
        return *known;
    const JournalEntry entry = m_ctx.journal->entry(path);
    if (entry.isDir && !entry.serverId.isEmpty())
        return entry.serverId;
    *found = false;
    return {};
}

QString SyncExecutor::downloadPath(const QString &serverId) const
{
    if (!m_ctx.teamId.isEmpty())
        return QStringLiteral("/api/teams/") + encoded(m_ctx.teamId) + QStringLiteral("/files/") + encoded(serverId) +
               QStringLiteral("/download");
    return QStringLiteral("/api/files/") + encoded(serverId) + QStringLiteral("/download");
}

bool SyncExecutor::unchangedSinceAgreed(const QString &journalPath, const QString &path) const
{
    LocalEntry now;
    if (!LocalScanner::stat(m_ctx.root, path, now))
        return false;
    const JournalEntry agreed = m_ctx.journal->entry(journalPath);
    if (agreed.path.isEmpty() || agreed.isDir != now.isDir)
        return false;
    if (now.isDir)
        return true;
    // Another file put in its place keeps size and time at times, never the inode.
    const bool sameFile = agreed.inode == 0 || now.inode == 0 || agreed.inode == now.inode;
    return sameFile && agreed.size == now.size && agreed.mtimeMs == now.mtimeMs;
}

bool SyncExecutor::writeJournal(const QString &journalPath, const QString &path, const QString &serverId,
                                const QString &md5)
{
    LocalEntry local;
    if (!LocalScanner::stat(m_ctx.root, path, local))
        return false;
    SyncJournal &journal = *m_ctx.journal;
    if (!journal.begin())
        return false;
    bool ok = true;
    if (!journalPath.isEmpty() && journalPath != path)
        ok = journal.moveTree(journalPath, path);
    ok = ok && journal.put(JournalEntry{path, local.isDir, serverId, local.isDir ? 0 : local.size,
                                        local.isDir ? 0 : local.mtimeMs, local.inode, md5});
    if (!ok) {
        journal.rollback();
        return false;
    }
    return journal.commit();
}

void SyncExecutor::next()
{
    if (!m_running)
        return;
    while (m_nextToStart < m_actions.size()) {
        const SyncAction &a = m_actions[m_nextToStart];
        const bool alongside = runsAlongside(a);
        if (m_inFlight > 0 && (!alongside || m_exclusiveInFlight || m_inFlight >= m_maxParallel))
            break;
        m_index = m_nextToStart++;
        ++m_inFlight;
        m_exclusiveInFlight = !alongside;
        start(a);
        if (!m_running)
            return;
    }
    if (m_inFlight == 0 && m_nextToStart >= m_actions.size()) {
        m_running = false;
        emit finished();
    }
}

void SyncExecutor::start(const SyncAction &a)
{
    emit actionStarted(a);
    switch (a.kind) {
    case Kind::CreateRemoteFolder:
        return createRemoteFolder(a);
    case Kind::CreateLocalFolder:
        return createLocalFolder(a);
    case Kind::Upload:
        return upload(a, a.serverId);
    case Kind::Download:
        return download(a);
    case Kind::MoveRemote:
        return moveRemote(a);
    case Kind::MoveLocal:
        return moveLocal(a);
    case Kind::TrashRemote:
        return trashRemote(a);
    case Kind::TrashLocal:
        return trashLocal(a);
    case Kind::Conflict:
        return conflict(a);
    case Kind::Record:
        return record(a);
    case Kind::Forget: {
        SyncJournal &journal = *m_ctx.journal;
        if (journal.begin() && journal.removeTree(a.journalPath) && journal.commit())
            return succeed();
        journal.rollback();
        return failAction(journal.errorText());
    }
    }
}

bool SyncExecutor::settle()
{
    if (m_index < 0 || m_index >= m_settled.size() || m_settled[m_index])
        return false; // answered already
    m_settled[m_index] = true;
    --m_inFlight;
    if (!runsAlongside(m_actions[m_index]))
        m_exclusiveInFlight = false;
    QMetaObject::invokeMethod(this, &SyncExecutor::next, Qt::QueuedConnection);
    return true;
}

void SyncExecutor::succeed()
{
    if (!settle())
        return;
    ++m_done;
    emit actionFinished();
}

void SyncExecutor::failAction(const QString &error)
{
    qCDebug(lcSync) << m_ctx.root << "failed" << m_actions.value(m_index).path << error;
    if (!settle())
        return;
    m_failures.append(Failure{m_actions[m_index].path, error});
    emit actionFinished();
}

void SyncExecutor::skip()
{
    qCDebug(lcSync) << m_ctx.root << "skipped" << m_actions.value(m_index).path;
    if (!settle())
        return;
    ++m_skipped;
    emit actionFinished();
}

void SyncExecutor::createRemoteFolder(const SyncAction &a)
{
    LocalEntry local;
    if (!LocalScanner::stat(m_ctx.root, a.path, local) || !local.isDir)
        return skip();
    bool found = false;
    const QString existing = folderId(a.path, &found);
    if (found && !existing.isEmpty() && m_ctx.remote.contains(a.path)) {
        if (!writeJournal(a.journalPath, a.path, existing, {}))
            return failAction(m_ctx.journal->errorText());
        return succeed();
    }
    const QString parentId = folderId(parentOf(a.path), &found);
    if (!found)
        return skip(); // the parent comes first; the next round finds it
    auto answer = guarded([this, a](const HttpResponse &response) {
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error))
            return failAction(error);
        const QString id = jsonText(data, QStringLiteral("id"));
        if (jsonText(data, QStringLiteral("name")) != nameOf(a.path))
            return failAction(QStringLiteral("服务器上已有同名项目"));
        m_folderIds.insert(a.path, id);
        if (!writeJournal(a.journalPath, a.path, id, {}))
            return failAction(m_ctx.journal->errorText());
        succeed();
    });
    if (m_ctx.teamId.isEmpty())
        Api::createFolder(nameOf(a.path), parentId, std::move(answer));
    else
        Api::createTeamFolder(m_ctx.teamId, nameOf(a.path), parentId, std::move(answer));
}

void SyncExecutor::createLocalFolder(const SyncAction &a)
{
    LocalEntry local;
    const bool exists = LocalScanner::stat(m_ctx.root, a.path, local);
    if (exists && !local.isDir)
        return skip();
    if (!exists && !QDir().mkpath(full(a.path)))
        return failAction(QStringLiteral("无法创建文件夹"));
    m_folderIds.insert(a.path, a.serverId);
    if (!writeJournal(a.journalPath, a.path, a.serverId, {}))
        return failAction(m_ctx.journal->errorText());
    succeed();
}

void SyncExecutor::upload(const SyncAction &a, const QString &replaceId)
{
    LocalEntry before;
    if (!LocalScanner::stat(m_ctx.root, a.path, before) || before.isDir)
        return skip();
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - before.mtimeMs;
    if (age >= 0 && age < m_ctx.stableMs)
        return skip(); // written again since the scan
    if (!QFileInfo(full(a.path)).isReadable())
        return failAction(QStringLiteral("无法读取文件"));
    if (a.md5.isEmpty() || replaceId.isEmpty())
        return send(a, replaceId, before);
    // A file put in place under the same size and time: sent only when its content differs from
    // what the server's entry holds.
    hash(full(a.path), before.size, [this, a, replaceId, before](const QString &md5) {
        LocalEntry now;
        if (!LocalScanner::stat(m_ctx.root, a.path, now) || now.isDir || now.inode != before.inode ||
            now.size != before.size || now.mtimeMs != before.mtimeMs)
            return skip(); // written again while it was being read: the next round looks again
        if (md5.isEmpty())
            return failAction(QStringLiteral("无法读取文件"));
        if (md5.compare(a.md5, Qt::CaseInsensitive) != 0)
            return send(a, replaceId, before);
        if (!writeJournal(a.journalPath, a.path, replaceId, md5.toLower()))
            return failAction(m_ctx.journal->errorText());
        succeed();
    });
}

void SyncExecutor::send(const SyncAction &a, const QString &replaceId, const LocalEntry &before)
{
    bool found = false;
    const QString parentId = folderId(parentOf(a.path), &found);
    if (!found)
        return skip();
    TransferManager *transfers = TransferManager::instance();
    TransferTask *task = nullptr;
    if (!m_ctx.teamId.isEmpty())
        task = transfers->addTeamUpload(m_ctx.teamId, {full(a.path)}, parentId);
    else if (Uploader::usesChunkedUpload(before.size))
        task = transfers->addUpload(full(a.path), parentId);
    else
        task = transfers->addFormUpload({full(a.path)}, parentId);
    if (!task)
        return failAction(QStringLiteral("无法开始上传"));
    track(task);
    const auto live = resumer();
    const bool chunked = task->kind() == TransferTask::Kind::Upload;
    if (chunked) {
        connect(task, &TransferTask::sigDone, this, [this, live, a, before, replaceId, task] {
            if (live())
                onUploaded(a, task->fileRecord(), before, replaceId);
        });
    } else {
        connect(task, &TransferTask::sigResponse, this, [this, live, a, before, replaceId](const HttpResponse &r) {
            if (!live() || !r.ok)
                return; // failures arrive through sigFailed
            const QJsonArray created = r.dataArray();
            onUploaded(a, created.isEmpty() ? QJsonObject() : created.first().toObject(), before, replaceId);
        });
    }
    connect(task, &TransferTask::sigFailed, this, [this, live](const QString &error) {
        if (live())
            failAction(error);
    });
}

void SyncExecutor::onUploaded(const SyncAction &a, const QJsonObject &record, const LocalEntry &before,
                              const QString &replaceId)
{
    const QString id = jsonText(record, QStringLiteral("id"));
    if (id.isEmpty())
        return failAction(QStringLiteral("上传后没有收到文件信息"));
    const QString md5 = jsonText(record, QStringLiteral("md5")).toLower();
    const QString name = jsonText(record, QStringLiteral("name"));
    const auto finish = [this, a, id, md5, before] {
        // The journal keeps the state that was sent: a change made during the upload is seen as
        // a change by the next round.
        SyncJournal &journal = *m_ctx.journal;
        bool ok = journal.begin();
        if (ok && !a.journalPath.isEmpty() && a.journalPath != a.path)
            ok = journal.removeTree(a.journalPath);
        ok = ok && journal.put(JournalEntry{a.path, false, id, before.size, before.mtimeMs, before.inode, md5});
        if (!ok || !journal.commit()) {
            journal.rollback();
            return failAction(journal.errorText());
        }
        succeed();
    };
    const bool renamed = name != nameOf(a.path);
    if (replaceId.isEmpty() && !renamed)
        return finish();
    // The server named the new copy "name (1)": the name was taken when it arrived. It takes the
    // name with a rename. Should another file still hold it, that one came after what this round
    // planned from (another client's new file or new version): changed on both sides, and this
    // upload is kept as the conflict copy.
    const auto takeName = [this, a, id, md5, before, finish] {
        renameOnServer(id, nameOf(a.path), guarded([this, a, id, md5, before, finish](const HttpResponse &response) {
                           QJsonObject data;
                           QString error;
                           if (!response.unwrap(data, error))
                               return failAction(error);
                           if (jsonText(data, QStringLiteral("name")) != nameOf(a.path))
                               return keepUploadAsConflict(a, id, md5, before);
                           finish();
                       }));
    };
    if (replaceId.isEmpty())
        return takeName();
    // A new version: the server swaps it for the old one in one step, so that no other client
    // sees both side by side and a refusal leaves the old one as it was. Should the old one
    // have been renamed or moved meanwhile, the new one takes its place there and the next
    // round follows.
    replaceOnServer(replaceId, id, guarded([this, renamed, takeName, finish](const HttpResponse &response) {
                        QJsonObject data;
                        QString error;
                        if (response.unwrap(data, error))
                            return finish();
                        if (response.status != 404)
                            return failAction(error);
                        // The old one is gone already (or the new one, which the rename then says).
                        if (renamed)
                            return takeName();
                        finish();
                    }));
}

void SyncExecutor::keepUploadAsConflict(const SyncAction &a, const QString &id, const QString &md5,
                                        const LocalEntry &before)
{
    // The server's file keeps the name; the uploaded copy and the local file both take the
    // conflict name, so that the next round brings the server's version down beside it and
    // nothing is sent twice.
    QString aside = conflictCopyPath(a.path, QDateTime::currentDateTime());
    LocalEntry taken;
    for (int serial = 2; LocalScanner::stat(m_ctx.root, aside, taken); ++serial)
        aside = conflictCopyPath(a.path, QDateTime::currentDateTime(), serial);
    renameOnServer(
        id, nameOf(aside), guarded([this, a, id, md5, before, aside](const HttpResponse &response) {
            QJsonObject data;
            QString error;
            if (!response.unwrap(data, error))
                return failAction(error);
            // Should the server have had to choose another name, the disk follows it: within
            // the same folder only.
            const QString given = jsonText(data, QStringLiteral("name"));
            if (!given.isEmpty() && (given.contains(QLatin1Char('/')) || given.contains(QChar()) ||
                                     given == QLatin1String(".") || given == QLatin1String("..")))
                return failAction(QStringLiteral("服务器返回的文件名无效"));
            const QString target = given.isEmpty() ? aside : aside.left(aside.size() - nameOf(aside).size()) + given;
            LocalEntry here;
            LocalEntry there;
            if (!LocalScanner::stat(m_ctx.root, a.path, here) || here.isDir || here.inode != before.inode ||
                LocalScanner::stat(m_ctx.root, target, there) || !QFile::rename(full(a.path), full(target)))
                return failAction(QStringLiteral("无法保存冲突副本"));
            m_conflicts << target;
            // The record keeps what was sent: a change made during the upload is seen
            // as a change of the copy by the next round.
            SyncJournal &journal = *m_ctx.journal;
            bool ok = journal.begin();
            if (ok && !a.journalPath.isEmpty())
                ok = journal.removeTree(a.journalPath);
            ok = ok && journal.put(JournalEntry{target, false, id, before.size, before.mtimeMs, before.inode, md5});
            if (!ok || !journal.commit()) {
                journal.rollback();
                return failAction(journal.errorText());
            }
            succeed();
        }));
}

void SyncExecutor::download(const SyncAction &a)
{
    LocalEntry here;
    if (LocalScanner::stat(m_ctx.root, a.path, here) && (here.isDir || !unchangedSinceAgreed(a.journalPath, a.path)))
        return skip(); // something new is there: the next round compares
    const QString dir = QFileInfo(full(a.path)).absolutePath();
    if (!QDir().mkpath(dir))
        return failAction(QStringLiteral("无法创建文件夹"));
    TransferTask *task = TransferManager::instance()->addDownload(downloadPath(a.serverId), dir, sideName(a.serverId));
    if (!task)
        return failAction(QStringLiteral("无法开始下载"));
    track(task);
    const auto live = resumer();
    connect(task, &TransferTask::sigDone, this, [this, live, a, task] {
        if (live())
            onDownloaded(a, task->finalPath());
    });
    connect(task, &TransferTask::sigFailed, this, [this, live](const QString &error) {
        if (live())
            failAction(error);
    });
}

void SyncExecutor::hash(const QString &path, qint64 size, std::function<void(const QString &)> done)
{
    // A big file takes seconds to digest: that happens on the hasher's thread, never on this one.
    auto *hasher = new FileHasher(this);
    const auto live = resumer();
    const auto answer = [live, hasher, done](const QString &md5) {
        hasher->deleteLater();
        if (live())
            done(md5);
    };
    connect(hasher, &FileHasher::finished, this, answer);
    connect(hasher, &FileHasher::failed, this, [answer] { answer(QString()); });
    hasher->start(path, size);
}

void SyncExecutor::onDownloaded(const SyncAction &a, const QString &sidePath)
{
    if (a.md5.isEmpty())
        return placeDownload(a, sidePath);
    hash(sidePath, QFileInfo(sidePath).size(), [this, a, sidePath](const QString &md5) {
        if (md5.compare(a.md5, Qt::CaseInsensitive) != 0) {
            QFile::remove(sidePath);
            return skip(); // changed on the server meanwhile
        }
        placeDownload(a, sidePath);
    });
}

void SyncExecutor::placeDownload(const SyncAction &a, const QString &sidePath)
{
    LocalEntry here;
    if (LocalScanner::stat(m_ctx.root, a.path, here) && !unchangedSinceAgreed(a.journalPath, a.path)) {
        // Written locally while the download ran: that version steps aside, never overwritten.
        const QString aside = conflictCopyPath(a.path, QDateTime::currentDateTime());
        if (here.isDir || !QFile::rename(full(a.path), full(aside)))
            return failAction(QStringLiteral("本地文件已被修改，无法放入下载的版本"));
        m_conflicts << aside;
    }
    if (!replaceFile(sidePath, full(a.path)))
        return failAction(QStringLiteral("无法写入文件"));
    if (!writeJournal(a.journalPath, a.path, a.serverId, a.md5))
        return failAction(m_ctx.journal->errorText());
    succeed();
}

void SyncExecutor::renameOnServer(const QString &id, const QString &name, HttpCallback callback)
{
    if (m_ctx.teamId.isEmpty())
        Api::renameFile(id, name, std::move(callback));
    else
        Api::renameTeamFile(m_ctx.teamId, id, name, std::move(callback));
}

void SyncExecutor::moveOnServer(const QString &id, const QString &targetFolderId, HttpCallback callback)
{
    if (m_ctx.teamId.isEmpty())
        Api::moveFile(id, targetFolderId, std::move(callback));
    else
        Api::moveTeamFile(m_ctx.teamId, id, targetFolderId, std::move(callback));
}

void SyncExecutor::replaceOnServer(const QString &oldId, const QString &newId, HttpCallback callback)
{
    QJsonObject body{{QStringLiteral("old_id"), oldId}, {QStringLiteral("new_id"), newId}};
    if (!m_ctx.teamId.isEmpty())
        body.insert(QStringLiteral("team_id"), m_ctx.teamId);
    HttpClient::instance()->post(QStringLiteral("/api/sync/replace"), body, std::move(callback));
}

void SyncExecutor::trashOnServer(const QString &id, HttpCallback callback)
{
    if (m_ctx.teamId.isEmpty())
        Api::deleteFile(id, std::move(callback));
    else
        Api::deleteTeamFile(m_ctx.teamId, id, std::move(callback));
}

void SyncExecutor::moveRemote(const SyncAction &a)
{
    bool found = false;
    const QString targetParent = folderId(parentOf(a.newPath), &found);
    if (!found)
        return skip();
    const QString sourceParent = folderId(parentOf(a.path), &found);
    const bool moves = !found || sourceParent != targetParent;
    const bool renames = nameOf(a.path) != nameOf(a.newPath);
    const auto finish = [this, a](const QJsonObject &data) {
        if (!data.isEmpty() && jsonText(data, QStringLiteral("name")) != nameOf(a.newPath))
            return failAction(QStringLiteral("服务器上已有同名项目"));
        if (a.isDir)
            m_folderIds.insert(a.newPath, a.serverId);
        SyncJournal &journal = *m_ctx.journal;
        if (a.journalPath.isEmpty() ||
            (journal.begin() && journal.moveTree(a.journalPath, a.newPath) && journal.commit()))
            return succeed();
        journal.rollback();
        failAction(journal.errorText());
    };
    const auto rename = [this, a, finish] {
        renameOnServer(a.serverId, nameOf(a.newPath), guarded([this, finish](const HttpResponse &response) {
                           QJsonObject data;
                           QString error;
                           if (!response.unwrap(data, error))
                               return failAction(error);
                           finish(data);
                       }));
    };
    if (!moves) {
        rename();
        return;
    }
    moveOnServer(a.serverId, targetParent, guarded([this, renames, rename, finish](const HttpResponse &response) {
                     QJsonObject data;
                     QString error;
                     if (!response.unwrap(data, error))
                         return failAction(error);
                     if (renames)
                         rename();
                     else
                         finish({});
                 }));
}

void SyncExecutor::moveLocal(const SyncAction &a)
{
    LocalEntry source;
    LocalEntry target;
    if (!LocalScanner::stat(m_ctx.root, a.path, source) || LocalScanner::stat(m_ctx.root, a.newPath, target))
        return skip();
    QDir().mkpath(QFileInfo(full(a.newPath)).absolutePath());
    if (!QDir().rename(full(a.path), full(a.newPath)))
        return failAction(QStringLiteral("无法移动本地文件"));
    SyncJournal &journal = *m_ctx.journal;
    if (a.journalPath.isEmpty() || (journal.begin() && journal.moveTree(a.journalPath, a.newPath) && journal.commit()))
        return succeed();
    journal.rollback();
    failAction(journal.errorText());
}

void SyncExecutor::trashRemote(const SyncAction &a)
{
    auto answer = guarded([this, a](const HttpResponse &response) {
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error) && response.status != 404)
            return failAction(error);
        SyncJournal &journal = *m_ctx.journal;
        if (journal.begin() && journal.removeTree(a.journalPath) && journal.commit())
            return succeed();
        journal.rollback();
        failAction(journal.errorText());
    });
    trashOnServer(a.serverId, std::move(answer));
}

void SyncExecutor::trashLocal(const SyncAction &a)
{
    if (!unchangedSinceAgreed(a.journalPath, a.path))
        return skip(); // changed since: the change wins next round
    if (!QFile::moveToTrash(full(a.path)))
        return failAction(QStringLiteral("无法移到回收站"));
    SyncJournal &journal = *m_ctx.journal;
    if (journal.begin() && journal.removeTree(a.journalPath) && journal.commit())
        return succeed();
    journal.rollback();
    failAction(journal.errorText());
}

void SyncExecutor::conflict(const SyncAction &a)
{
    LocalEntry here;
    if (!LocalScanner::stat(m_ctx.root, a.path, here) || here.isDir)
        return skip();
    hash(full(a.path), here.size, [this, a, here](const QString &localMd5) { conflictHashed(a, here, localMd5); });
}

void SyncExecutor::conflictHashed(const SyncAction &a, const LocalEntry &hashed, const QString &localMd5)
{
    if (localMd5.isEmpty())
        return failAction(QStringLiteral("无法读取文件"));
    LocalEntry now;
    if (!LocalScanner::stat(m_ctx.root, a.path, now) || now.isDir || now.size != hashed.size ||
        now.mtimeMs != hashed.mtimeMs)
        return skip(); // written again while it was being read: the next round looks again
    if (localMd5.compare(a.md5, Qt::CaseInsensitive) == 0) {
        if (!writeJournal(a.journalPath, a.path, a.serverId, localMd5))
            return failAction(m_ctx.journal->errorText());
        return succeed();
    }
    const JournalEntry agreed = a.journalPath.isEmpty() ? JournalEntry() : m_ctx.journal->entry(a.journalPath);
    if (!agreed.md5.isEmpty() && localMd5.compare(agreed.md5, Qt::CaseInsensitive) == 0) {
        // Touched or replaced, but still what was agreed: nothing of the user's to keep aside. The
        // record takes the file as it is now, so that the download may replace it.
        if (!writeJournal(a.journalPath, a.path, agreed.serverId, agreed.md5))
            return failAction(m_ctx.journal->errorText());
        SyncAction down = a;
        down.kind = Kind::Download;
        return download(down);
    }
    LocalEntry taken;
    if (LocalScanner::stat(m_ctx.root, a.newPath, taken))
        return skip();
    if (!QFile::rename(full(a.path), full(a.newPath)))
        return failAction(QStringLiteral("无法保存冲突副本"));
    m_conflicts << a.newPath;
    // The local version is now a new file under the conflict name (the next round uploads it);
    // the server's version comes down under the name.
    SyncJournal &journal = *m_ctx.journal;
    if (!a.journalPath.isEmpty() && journal.begin()) {
        if (journal.removeTree(a.journalPath))
            journal.commit();
        else
            journal.rollback();
    }
    SyncAction down = a;
    down.kind = Kind::Download;
    down.journalPath.clear();
    download(down);
}

void SyncExecutor::record(const SyncAction &a)
{
    LocalEntry here;
    if (!LocalScanner::stat(m_ctx.root, a.path, here))
        return skip();
    QString serverId = a.serverId;
    QString md5 = a.md5;
    const auto remote = m_ctx.remote.constFind(a.path);
    if (remote != m_ctx.remote.cend()) {
        serverId = remote->id;
        md5 = remote->md5;
    }
    if (here.isDir)
        m_folderIds.insert(a.path, serverId);
    if (!writeJournal(a.journalPath, a.path, serverId, md5))
        return failAction(m_ctx.journal->errorText());
    succeed();
}
