#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

class ChunkReader;
class HttpConnection;
class FileHasher;
struct HttpResponse;

// One resumable upload of a large file: MD5 and chunk reads on workers, the instant-upload check, the missing
// chunks three at a time with up to three attempts each, then the merge. The next chunks are read
// while the ones before them are being sent (ReadAhead at most), so a free connection need not wait
// for the disk; read-ahead is dropped, never sent, once the job pauses or ends. Connect the signals
// before start(); the job deletes itself after success and after a chunk's final failure.
// pause() lets the chunks in flight arrive and starts no more (sigPaused then): a later job for the
// same file continues through the chunks the server holds. abort() stops at once, silently.
class Uploader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Uploader)

public:
    // Files of this size and more go through an Uploader; smaller ones into one multipart request.
    static constexpr qint64 ChunkedThreshold = 8388608;
    static constexpr qint64 DefaultChunkSize = 8388608;
    static constexpr int MaxParallelChunks = 3;
    // Chunks read and waiting for a connection, beyond those being sent.
    static constexpr int ReadAhead = 2;
    static constexpr int MaxAttempts = 3;
    static constexpr int DefaultRetryDelayMs = 800;

    static bool usesChunkedUpload(qint64 fileSize) { return fileSize >= ChunkedThreshold; }

    explicit Uploader(QObject *parent = nullptr);
    ~Uploader() override;

    // Opens the file and begins hashing; an empty parentId uploads to the root. Call once.
    void start(const QString &path, const QString &parentId);
    // Wait before attempt n+1 is n times this (800 ms in the product; shorter in tests).
    void setRetryDelayMs(int ms) { m_retryDelayMs = ms; }
    // The digest of the file when it had this size and modification time; a file that still has
    // both is not hashed again. Set before start().
    void setKnownDigest(const QString &md5Hex, qint64 size, qint64 modifiedMs);

    // Starts no further chunk; sigPaused once nothing is in flight. A merge already asked for
    // finishes (sigDone). Nothing happens after the job ended.
    void pause();
    // Ends the job at once: requests in flight are dropped and no signal follows.
    void abort();

    QString md5Hex() const { return m_md5Hex; }
    QString uploadId() const { return m_uploadId; }
    qint64 fileSize() const { return m_fileSize; }
    qint64 modifiedMs() const { return m_modifiedMs; }
    // Bytes the server holds or that are on their way in a chunk request.
    qint64 transferredBytes() const;
    // Chunks read ahead and held in memory until a connection is free (ReadAhead at most).
    int chunksAhead() const { return int(m_ready.size()); }
    // Hashing, asking for the session, or merging: the content is being checked, not sent.
    bool isVerifying() const { return m_phase == Phase::Preparing || m_phase == Phase::Merging; }
    // The last failure came from the network (no answer), not from the server or the disk.
    bool failedOnNetwork() const { return m_networkFailure; }

signals:
    void sigProgress(int percent, QString phase);
    void sigDone(QJsonObject fileRecord);
    void sigFailed(QString err);
    // The server's session is known (after the digest and the init request).
    void sigSession(QString uploadId, QString md5Hex);
    // Bytes moved (see transferredBytes), often; for rates and bars.
    void sigBytes(qlonglong done, qlonglong total);
    void sigPaused();

private:
    enum class Phase { Preparing, Uploading, Merging, Finished };

    void onHashed(const QString &md5Hex);
    void doInit();
    void onInit(const HttpResponse &response);
    // Asks the worker for the chunk's bytes; attempt is the one they will be sent for.
    void readChunk(int index, int attempt);
    void onSliceRead(int index, const QByteArray &bytes);
    void sendChunk(int index, int attempt, const QByteArray &bytes);
    void onChunkReply(int index, int attempt, const HttpResponse &response);
    // A failed attempt: tried again after a growing wait, or the job ends after the last one.
    void onChunkFailed(int index, int attempt, const QString &err, bool network);
    // Sends what is read while a connection is free and reads ahead while there is room.
    void pump();
    // A connection with no request in flight; at most MaxParallelChunks are ever opened.
    HttpConnection *idleConnection();
    void doMerge();
    // Ends the job with err; deleteSelf for the failures after which nothing of the job is kept.
    // A failure while pausing ends the pause instead.
    void fail(const QString &err, bool deleteSelf, bool network = false);
    void finishPause();
    qint64 chunkLength(int index) const;
    // Every end of the job lets go of the local file.
    void closeSource();

    QString m_path;
    QString m_parentId;
    ChunkReader *m_reader = nullptr; // the file, open until the job ends, read on a worker
    qint64 m_fileSize = 0;
    FileHasher *m_hasher = nullptr;
    QString m_md5Hex;
    QString m_uploadId;
    qint64 m_chunkSize = DefaultChunkSize;
    int m_totalChunks = 0;
    QList<HttpConnection *> m_connections; // kept alive for the whole job
    struct ReadChunk
    {
        int index = 0;
        int attempt = 0;
        QByteArray bytes;
    };

    QList<int> m_pending;
    QHash<int, int> m_attempts; // chunk index -> attempt being read
    QList<ReadChunk> m_ready;   // read, waiting for a free connection; retries first
    int m_nextIndex = 0;
    int m_reading = 0;  // reads asked of the worker and not yet answered
    int m_sending = 0;  // chunk requests on their way
    int m_retrying = 0; // failed chunks waiting to be tried again; each keeps its connection's turn
    int m_doneChunks = 0;
    Phase m_phase = Phase::Preparing;
    int m_retryDelayMs = DefaultRetryDelayMs;
    qint64 m_modifiedMs = 0;
    QString m_knownMd5;
    qint64 m_knownSize = -1;
    qint64 m_knownModifiedMs = -1;
    qint64 m_doneBytes = 0;
    bool m_pausing = false;
    bool m_hashed = false;
    bool m_networkFailure = false;
};
