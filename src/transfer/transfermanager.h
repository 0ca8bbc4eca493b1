#pragma once

#include "transfer/transfersettings.h"
#include "transfer/transfertask.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

class CredentialStore;
class QThreadPool;
class QTimer;

// Every upload and download of the client, as one list: at most maxRunning() jobs run at once (a
// chunked upload still keeps its three chunks in flight), the rest wait in the order they came.
// Jobs can be paused, continued, cancelled and retried; unfinished ones are kept in a small JSON
// file of the user's data folder (written whole or not at all, never holding a token) and come
// back paused after a restart. A connection watch (setServerReachable) pauses running jobs while
// the server cannot be reached and continues them when it answers again. Widget-free.
class TransferManager final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TransferManager)

public:
    // The process-wide list the pages add to; created on first use, without a store.
    static TransferManager *instance();

    explicit TransferManager(QObject *parent = nullptr);
    // Running jobs stop as paused, and the store keeps them.
    ~TransferManager() override;

    // Keeps the unfinished jobs of userId in folder from now on, after adding those kept there
    // before (paused, or failed with their reason). False when the folder cannot be used.
    bool openStore(const QString &folder, const QString &userId);
    // Pauses every job, writes the store and empties the list (sign-out).
    void closeStore();
    QString storePath() const { return m_storePath; }

    // Adding jobs; each returns the new job (owned by the manager, alive while it is listed).
    // An upload of the same files into the same folder as a paused or failed job continues that
    // job (it keeps its server session) and returns it instead: the file is never sent twice.
    // A large personal file in resumable chunks.
    TransferTask *addUpload(const QString &path, const QString &parentId);
    // Small personal files in one multipart request.
    TransferTask *addFormUpload(const QStringList &paths, const QString &parentId);
    // Files of any size into a team folder, in one multipart request.
    TransferTask *addTeamUpload(const QString &teamId, const QStringList &paths, const QString &parentId);
    // One file into the unlocked vault.
    TransferTask *addVaultUpload(const QString &path);
    // A file into dir; open hands it to the desktop's application when it is complete. When a
    // paused or failed job already writes that file, that job continues and is returned instead.
    TransferTask *addDownload(const QString &serverPath, const QString &dir, const QString &fileName,
                              bool open = false);
    // A decrypted vault file into dir (never continued from a fragment).
    TransferTask *addVaultDownload(const QString &serverPath, const QString &dir, const QString &fileName);
    // An archive of the entries, saved as savePath (pick it with freeName).
    TransferTask *addPackDownload(const QStringList &ids, const QString &savePath);

    // True while a queued or running job, or any other writer, is about to write target.
    bool isTargetBusy(const QString &target) const;
    // fileName when dir has no file, side file or job of that name; else "stem (2).ext", ...
    QString freeName(const QString &dir, const QString &fileName) const;

    const QList<TransferTask *> &tasks() const { return m_tasks; }
    int indexOf(const TransferTask *task) const { return int(m_tasks.indexOf(const_cast<TransferTask *>(task))); }
    // Jobs running now (the sidebar's count).
    int runningCount() const;
    // Paused jobs the user did not pause: waiting for the connection, or left by the last run.
    int waitingCount() const;

    void pause(TransferTask *task);
    void resume(TransferTask *task);
    void retry(TransferTask *task);
    // Stops the job, removes its side file or abandons its upload session, and takes it off the list.
    void cancel(TransferTask *task);
    // Takes the finished jobs off the list.
    void clearFinished();

    int maxRunning() const { return m_maxRunning; }
    void setMaxRunning(int count);

    // The connection watch: false pauses running and queued jobs, true continues what it paused.
    // Once called, a job whose request finds no server waits for the watch instead of failing.
    void setServerReachable(bool reachable);
    bool serverReachable() const { return m_reachable; }

    TransferSettings settings() const { return m_settings; }
    // Applies settings to the queue and to HttpClient (limits, proxy); save keeps them for next time,
    // the proxy password in the credential store (a failure there is told by credentialProblem).
    void applySettings(const TransferSettings &settings, bool save = true);
    // Applies the kept settings, and the proxy password from the credential store once it answers.
    void restoreSettings();
    // Where the proxy password is kept; not owned. Until set: the desktop's keyring.
    void setCredentialStore(CredentialStore *store) { m_credentials = store; }
    CredentialStore *credentialStore();
    static constexpr auto ProxyPasswordKey = "proxy-password";
    // The folder downloads go to now (created when missing).
    QString downloadDir() const { return m_settings.effectiveDownloadDir(); }

signals:
    void taskAdded(int row);
    void taskAboutToBeRemoved(int row);
    void taskRemoved();
    // The whole list is replaced (store opened or closed, finished jobs cleared).
    void listAboutToBeReset();
    void listReset();
    // Something a row shows changed.
    void taskChanged(TransferTask *task);
    void runningCountChanged(int count);
    void waitingCountChanged(int count);
    // A job ended in success.
    void taskFinished(TransferTask *task);
    // A job found no server: the connection watch should check now.
    void reachabilityCheckRequested();
    // The proxy password could not be kept or read back; the text says what it means, in Chinese.
    void credentialProblem(const QString &text);

private:
    TransferTask *add(TransferTask *task);
    void adopt(TransferTask *task);
    void remove(TransferTask *task);
    void schedule();
    void scheduleSoon();
    void onTaskStateChanged();
    void noteRunningCount();
    void saveSoon();
    void keepSettings(const TransferSettings &settings, const TransferSettings &previous);
    void saveNow();
    TransferTask *unfinishedFor(const QString &target) const;
    // The paused or failed upload of kind, space and team with these sources and folder, queued
    // again; null when there is none.
    TransferTask *continueUpload(TransferTask::Kind kind, TransferTask::Space space, const QString &teamId,
                                 const QStringList &paths, const QString &parentId);
    static QString targetOf(const TransferTask *task);

    QList<TransferTask *> m_tasks;
    int m_maxRunning = TransferSettings::DefaultMaxRunning;
    bool m_reachable = true;
    bool m_watched = false;
    bool m_scheduling = false;
    bool m_scheduleAgain = false;
    bool m_schedulePosted = false;
    int m_lastRunningCount = 0;
    int m_lastWaitingCount = 0;
    TransferSettings m_settings;
    CredentialStore *m_credentials = nullptr;
    QString m_storePath;
    QTimer *m_saveTimer = nullptr;
    // Writes the store off the GUI thread (a commit waits for the disk), one write after another.
    std::unique_ptr<QThreadPool> m_writer;
};
