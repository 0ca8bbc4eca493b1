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
// chunks three at a time with up to three attempts each, then the merge. Connect the signals
// before start(); the job deletes itself after success and after a chunk's final failure.
class Uploader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Uploader)

public:
    // Files of this size and more go through an Uploader; smaller ones into one multipart request.
    static constexpr qint64 ChunkedThreshold = 8388608;
    static constexpr qint64 DefaultChunkSize = 8388608;
    static constexpr int MaxParallelChunks = 3;
    static constexpr int MaxAttempts = 3;
    static constexpr int DefaultRetryDelayMs = 800;

    static bool usesChunkedUpload(qint64 fileSize) { return fileSize >= ChunkedThreshold; }

    explicit Uploader(QObject *parent = nullptr);
    ~Uploader() override;

    // Opens the file and begins hashing; an empty parentId uploads to the root. Call once.
    void start(const QString &path, const QString &parentId);
    // Wait before attempt n+1 is n times this (800 ms in the product; shorter in tests).
    void setRetryDelayMs(int ms) { m_retryDelayMs = ms; }

signals:
    void sigProgress(int percent, QString phase);
    void sigDone(QJsonObject fileRecord);
    void sigFailed(QString err);

private:
    enum class Phase { Preparing, Uploading, Merging, Finished };

    void onHashed(const QString &md5Hex);
    void doInit();
    void onInit(const HttpResponse &response);
    void uploadChunkWithRetry(int index, int attempt);
    void onSliceRead(int index, const QByteArray &bytes);
    void onChunkReply(int index, int attempt, const HttpResponse &response);
    void startNextChunk();
    // A connection with no request in flight; at most MaxParallelChunks are ever opened.
    HttpConnection *idleConnection();
    void doMerge();
    // Ends the job with err; deleteSelf for the failures after which nothing of the job is kept.
    void fail(const QString &err, bool deleteSelf);
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
    QList<int> m_pending;
    QHash<int, int> m_attempts; // chunk index -> attempt being read or sent
    int m_nextIndex = 0;
    int m_inFlight = 0;
    int m_doneChunks = 0;
    Phase m_phase = Phase::Preparing;
    int m_retryDelayMs = DefaultRetryDelayMs;
};
