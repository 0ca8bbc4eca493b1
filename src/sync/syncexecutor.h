#pragma once

#include "sync/localscanner.h"
#include "sync/remoteentry.h"
#include "sync/syncaction.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>

class SyncJournal;
class TransferTask;
struct HttpResponse;
struct LocalEntry;

// Carries out a sync plan in order, up to maxParallel() uploads and downloads at once, through the client's own
// requests and the transfer list (uploads and downloads show there as usual). Each action first checks that what it is
// about to touch is still as planned, and records its result in the journal in one transaction when it completes. A
// failed action is reported and skipped; the next round plans again. Downloads land in a hidden side name first and
// take their place with one rename; a local file changed meanwhile is kept under a conflict name. Deletes go to a trash
// on both sides.
class SyncExecutor final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SyncExecutor)

public:
    struct Context
    {
        QString root;         // the local folder
        QString rootFolderId; // the server folder (empty: the space's root)
        QString teamId;       // empty: the personal space
        SyncJournal *journal = nullptr;
        QHash<QString, RemoteEntry> remote; // the server side the plan was made from, by path
        // How long a file stays untouched before it counts as stable: the scan's own, so that a
        // file the plan took as stable is never sent back as still being written.
        qint64 stableMs = LocalScanner::DefaultStableMs;
    };
    struct Failure
    {
        QString path;
        QString error;
        bool operator==(const Failure &other) const = default;
    };

    static constexpr int DefaultMaxParallel = 4;

    explicit SyncExecutor(QObject *parent = nullptr);
    ~SyncExecutor() override;

    // How many uploads and downloads of a plan may run at once (1: one action after another).
    void setMaxParallel(int count);
    int maxParallel() const { return m_maxParallel; }
    // Whether an action may run beside others; any other waits until all before it are done.
    static bool runsAlongside(const SyncAction &a);

    void run(const QList<SyncAction> &actions, const Context &context);
    enum class Transfers { Pause, Cancel };
    // Stops without waiting for the actions in flight: their answers are ignored, the journal is
    // left as it was, and their transfers pause where they are (a later round continues them) or,
    // when nothing will continue them, are cancelled.
    void abort(Transfers transfers = Transfers::Pause);
    bool isRunning() const { return m_running; }
    QList<Failure> failures() const { return m_failures; }
    // Actions skipped because their preconditions no longer held: worth another round at once.
    int skipped() const { return m_skipped; }
    int done() const { return m_done; }
    // Conflict copies made this run (relative paths), including local versions that stepped
    // aside for a download.
    QStringList conflictCopies() const { return m_conflicts; }

    // The hidden name a download of serverId is written to before it takes its place.
    static QString sideName(const QString &serverId);

signals:
    void actionStarted(const SyncAction &action);
    // An action is done with, whatever its outcome (done, failed or skipped).
    void actionFinished();
    void finished();

private:
    // Starts what may start now; emits finished() once everything has answered.
    void next();
    void start(const SyncAction &a);
    // The action at m_index has answered; false when it had already.
    bool settle();
    void succeed();
    void failAction(const QString &error);
    void skip();

    void createRemoteFolder(const SyncAction &a);
    void createLocalFolder(const SyncAction &a);
    void upload(const SyncAction &a, const QString &replaceId);
    // The transfer itself, once upload() has decided the file goes.
    void send(const SyncAction &a, const QString &replaceId, const LocalEntry &before);
    void onUploaded(const SyncAction &a, const QJsonObject &record, const LocalEntry &before, const QString &replaceId);
    void download(const SyncAction &a);
    void onDownloaded(const SyncAction &a, const QString &sidePath);
    void placeDownload(const SyncAction &a, const QString &sidePath);
    // A replace that found its base gone and the name taken by a newer file: the upload becomes
    // the conflict copy, on the server and on disk.
    void keepUploadAsConflict(const SyncAction &a, const QString &id, const QString &md5, const LocalEntry &before);
    void moveRemote(const SyncAction &a);
    void moveLocal(const SyncAction &a);
    void trashRemote(const SyncAction &a);
    void trashLocal(const SyncAction &a);
    void conflict(const SyncAction &a);
    void conflictHashed(const SyncAction &a, const LocalEntry &hashed, const QString &localMd5);
    // MD5 of path's first size bytes, worked out off this thread; done gets "" when unreadable and
    // is dropped when the round ends first.
    void hash(const QString &path, qint64 size, std::function<void(const QString &)> done);
    void record(const SyncAction &a);
    // Keeps the transfer so that abort() can pause it.
    void track(TransferTask *task);

    // The personal space's or the team's route for the same request.
    void renameOnServer(const QString &id, const QString &name, std::function<void(const HttpResponse &)> callback);
    void moveOnServer(const QString &id, const QString &targetFolderId,
                      std::function<void(const HttpResponse &)> callback);
    void trashOnServer(const QString &id, std::function<void(const HttpResponse &)> callback);
    // The new version takes the old one's name and place in one step; the old one goes as a delete takes it.
    void replaceOnServer(const QString &oldId, const QString &newId,
                         std::function<void(const HttpResponse &)> callback);

    QString full(const QString &path) const;
    // The server id of the folder at path ("" with found for the synced folder itself).
    QString folderId(const QString &path, bool *found) const;
    bool unchangedSinceAgreed(const QString &journalPath, const QString &path) const;
    bool writeJournal(const QString &journalPath, const QString &path, const QString &serverId, const QString &md5);
    QString downloadPath(const QString &serverId) const;
    // Runs f once the request answers, if this executor and its round are still there.
    std::function<void(const HttpResponse &)> guarded(std::function<void(const HttpResponse &)> f);
    // A check for later answers to the action at m_index: true (and that action current again)
    // while this executor and its round are still there.
    std::function<bool()> resumer();

    Context m_ctx;
    QList<SyncAction> m_actions;
    int m_index = 0; // the action being worked on (the one whose answer came back)
    int m_nextToStart = 0;
    int m_inFlight = 0;
    int m_maxParallel = DefaultMaxParallel;
    bool m_exclusiveInFlight = false;
    QList<bool> m_settled;
    quint64 m_round = 0;
    bool m_running = false;
    QHash<QString, QString> m_folderIds;       // path -> server id of folders known or made this round
    QList<QPointer<TransferTask>> m_transfers; // started this run
    QList<Failure> m_failures;
    QStringList m_conflicts;
    int m_skipped = 0;
    int m_done = 0;
};
