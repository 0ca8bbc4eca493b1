// Keeping unfinished jobs across restarts: one small JSON file per user in the data folder.
#include "transfer/transfermanager.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThreadPool>
#include <QTimer>

namespace {
const QString JobsKey = QStringLiteral("jobs");
const QString VersionKey = QStringLiteral("version");
constexpr int StoreVersion = 1;
// A list of ten thousand jobs is a few megabytes; anything far larger is not ours.
constexpr qint64 MaxStoreBytes = 32 * 1024 * 1024;
} // namespace

bool TransferManager::openStore(const QString &folder, const QString &userId)
{
    if (!m_storePath.isEmpty())
        closeStore();
    if (folder.isEmpty() || userId.isEmpty() || !QDir().mkpath(folder))
        return false;
    m_writer->waitForDone(); // the file as last written
    // The user id names the file only through its digest, so any id makes a plain file name.
    const QByteArray digest = QCryptographicHash::hash(userId.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    const QString path = QDir(folder).absoluteFilePath(QStringLiteral("transfers-%1.json").arg(QLatin1String(digest)));

    QList<TransferTask *> restored;
    QFile file(path);
    if (file.exists() && file.size() <= MaxStoreBytes && file.open(QIODevice::ReadOnly)) {
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        if (document.isObject() && document.object().value(VersionKey).toInt() == StoreVersion) {
            for (const QJsonValue &job : document.object().value(JobsKey).toArray()) {
                if (TransferTask *task = TransferTask::fromJson(job.toObject(), this))
                    restored.append(task);
            }
        }
    }
    m_storePath = path;
    if (!restored.isEmpty()) {
        emit listAboutToBeReset();
        for (TransferTask *task : std::as_const(restored))
            adopt(task);
        emit listReset();
        noteRunningCount(); // the jobs left by the last run wait: the sidebar says so
    }
    saveSoon();
    return true;
}

void TransferManager::closeStore()
{
    m_saveTimer->stop();
    if (!m_storePath.isEmpty())
        saveNow();
    m_writer->waitForDone();
    m_storePath.clear();
    emit listAboutToBeReset();
    const QList<TransferTask *> tasks = m_tasks;
    m_tasks.clear();
    for (TransferTask *task : tasks) {
        task->disconnect(this);
        delete task; // stops where it is; the store already holds it as paused
    }
    emit listReset();
    noteRunningCount();
}

void TransferManager::saveSoon()
{
    if (!m_storePath.isEmpty())
        m_saveTimer->start();
}

void TransferManager::saveNow()
{
    if (m_storePath.isEmpty())
        return;
    QJsonArray jobs;
    for (const TransferTask *task : std::as_const(m_tasks)) {
        const QJsonObject job = task->toJson();
        if (!job.isEmpty())
            jobs.append(job);
    }
    const QJsonObject document{{VersionKey, StoreVersion}, {JobsKey, jobs}};
    const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Compact);
    const QString path = m_storePath;
    m_writer->start([path, bytes] {
        // Written whole or not at all: a crash mid-write leaves the previous list.
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
            file.commit();
    });
}
