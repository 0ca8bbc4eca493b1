#pragma once

#include "net/httpresponse.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class Downloader;
class QNetworkReply;
class Uploader;

// One row of the transfer list: an upload or download with what it needs to start, pause, continue
// and be cancelled, its progress and its state. TransferManager creates, queues and drives it;
// pages connect to its signals for their status texts and reloads. Only the manager calls the
// driving methods (run, pause, cancel).
class TransferTask final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TransferTask)

public:
    enum class Kind {
        Upload,       // a large personal file in resumable chunks
        FormUpload,   // one multipart request (small personal files, team files, a vault file)
        Download,     // one file into a folder through its side file
        Open,         // a download handed to the desktop when it is complete
        PackDownload, // a zip the server builds of several entries
    };
    enum class Space { Personal, Team, Vault };
    enum class State { Queued, Running, Verifying, Paused, Finished, Failed };

    // Network failures in a row, without a byte moved in between, before a job stops waiting for
    // the connection and fails.
    static constexpr int MaxNetworkRetries = 3;

    TransferTask(Kind kind, Space space, QObject *parent = nullptr);
    ~TransferTask() override;

    quint64 id() const { return m_id; }
    Kind kind() const { return m_kind; }
    Space space() const { return m_space; }
    bool isUpload() const { return m_kind == Kind::Upload || m_kind == Kind::FormUpload; }
    QString name() const { return m_name; }
    // Upload: the (first) source file; download: the final file (pack: the archive).
    QString localPath() const;
    // The folder that holds localPath().
    QString localFolder() const;

    State state() const { return m_state; }
    // The list's text for the state: 排队中, 上传中, 下载中, 校验中, 已暂停, 已完成, "失败：reason";
    // a job that waits for the connection says 等待网络, one left paused by the last run 上次未完成.
    QString stateText() const;
    QString error() const { return m_error; }
    // Paused by the connection watch, not by the user; continues when the server answers again.
    bool isAutoPaused() const { return m_autoPaused; }
    // Read back paused from the store and not continued since.
    bool isFromLastRun() const { return m_fromLastRun; }
    // A worker is still alive (running, or letting its last chunks arrive after a pause).
    bool isBusy() const;
    bool isActive() const { return m_state == State::Running || m_state == State::Verifying; }
    bool isUnfinished() const { return m_state != State::Finished; }

    qint64 totalBytes() const { return m_total; }
    qint64 doneBytes() const { return m_done; }
    // Bytes per second over the last few seconds; 0 when not moving.
    qint64 speed() const;
    // Seconds left at the current speed; -1 when unknown.
    int etaSeconds() const;
    // 0..100; -1 while the size is unknown.
    int percent() const;

    // What the finished job produced: the chunked upload's file record, the download's path.
    QJsonObject fileRecord() const { return m_record; }
    QString finalPath() const { return m_finalPath; }

    bool canPause() const;
    bool canResume() const { return m_state == State::Paused; }
    bool canRetry() const { return m_state == State::Failed; }
    bool canOpenFolder() const { return m_state == State::Finished && !isUpload(); }

    // Driving, by TransferManager.
    void run();
    // Stops the job keeping all it needs to continue; automatic for the connection watch.
    void pause(bool automatic);
    // Back in the queue (from paused or failed).
    void requeue();
    // With a connection watch, a request that finds no server pauses the job (networkLost) instead
    // of failing it, up to MaxNetworkRetries times in a row.
    void setWaitsForConnection(bool waits) { m_waitsForConnection = waits; }
    // Stops the job and throws away what it left: the side file, the server's upload session.
    void cancel();

    // The persisted form (no tokens, no server addresses beyond the path); null for vault jobs,
    // which cannot continue without an unlock the client never keeps.
    QJsonObject toJson() const;
    // A job read back from toJson(), paused (or failed, with its reason); null when unreadable.
    static TransferTask *fromJson(const QJsonObject &object, QObject *parent);

    // How a job is described; the manager's add functions fill these.
    QStringList paths;  // upload sources
    QString parentId;   // target folder of uploads
    QString teamId;     // team of team jobs
    QString serverPath; // download source
    QString dir;        // download folder
    QString fileName;   // download name (made safe when joined to dir)
    QStringList ids;    // entries of a pack-download
    QString savePath;   // archive of a pack-download
    void setName(const QString &name) { m_name = name; }
    void setTotalBytes(qint64 total) { m_total = total; }

signals:
    // As Uploader::sigProgress, for chunked uploads.
    void sigUploadProgress(int percent, QString phase);
    // As Downloader::sigProgress, for downloads and opens.
    void sigDownloadProgress(qlonglong done, qlonglong total, qlonglong speed, int etaSec);
    // The final answer of a multipart upload or a pack-download, success or failure; a network
    // failure that leaves the job waiting for the connection is not final and emits nothing.
    void sigResponse(const HttpResponse &response);
    void sigDone();
    void sigFailed(QString err);
    // Anything the list shows changed.
    void changed();
    // The state changed (the manager queues and saves on it).
    void stateChanged();
    // A request found no server; the manager has the connection checked.
    void networkLost();

private:
    void setState(State state);
    void setDone(qint64 done);
    void succeed();
    void failWith(const QString &err, bool network);
    void runUpload();
    void runFormUpload();
    void runDownload();
    void runPackDownload();
    void onFormAnswer(const HttpResponse &response);
    void onPackAnswer(const HttpResponse &response);
    void onWorkerPaused();
    void dropWorkers();
    QString downloadTarget() const;

    static quint64 s_nextId;
    quint64 m_id;
    Kind m_kind;
    Space m_space;
    QString m_name;
    State m_state = State::Queued;
    QString m_error;
    bool m_autoPaused = false;
    bool m_fromLastRun = false;
    bool m_ownAbort = false;
    bool m_waitsForConnection = false;
    int m_networkFailures = 0;
    qint64 m_doneAtRun = 0;

    qint64 m_total = 0;
    qint64 m_done = 0;
    struct Sample
    {
        qint64 ms;
        qint64 bytes;
    };
    QList<Sample> m_samples;
    QElapsedTimer m_clock;

    // Chunked uploads: what identifies the content and the server's session.
    QString m_md5;
    qint64 m_sourceSize = -1;
    qint64 m_sourceModifiedMs = -1;
    QString m_uploadId;

    QJsonObject m_record;
    QString m_finalPath;

    QPointer<Uploader> m_uploader;
    QPointer<Downloader> m_downloader;
    QPointer<QNetworkReply> m_reply;
};
