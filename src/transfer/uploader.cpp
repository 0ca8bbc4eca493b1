#include "transfer/uploader.h"

#include "net/httpconnection.h"
#include "net/httpresponse.h"
#include "transfer/chunkreader.h"
#include "transfer/filehasher.h"
#include "transfer/transferapi.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <algorithm>
#include <limits>

namespace {
constexpr int HashPercentSpan = 8;        // hashing fills 0..8
constexpr double ChunkPercentSpan = 0.87; // chunks fill 8..95
constexpr int MergePercent = 95;

// Chunk sizes the client accepts from the server: smaller ones would mean millions of requests,
// larger ones more memory per chunk than a desktop should hold three times.
constexpr qint64 MinChunkSize = 64 * 1024;
constexpr qint64 MaxChunkSize = 1024 * 1024 * 1024;

// A chunk index the server reports as held; -1 for anything that is no whole number (a text that
// is no number must not name chunk 0).
qint64 heldIndex(const QJsonValue &value)
{
    if (value.isString()) {
        bool ok = false;
        const qint64 index = value.toString().toLongLong(&ok, 10);
        return ok ? index : -1;
    }
    return jsonInt64(value, -1);
}
} // namespace

Uploader::Uploader(QObject *parent)
    : QObject(parent)
{}

Uploader::~Uploader() = default;

void Uploader::start(const QString &path, const QString &parentId)
{
    m_path = path;
    m_parentId = parentId;
    m_reader = new ChunkReader(this);
    if (!m_reader->open(path)) {
        fail(QStringLiteral("无法打开文件：%1").arg(QFileInfo(path).fileName()), false);
        return;
    }
    const QFileInfo info(path);
    m_fileSize = info.size();
    m_modifiedMs = info.lastModified().toMSecsSinceEpoch();
    connect(m_reader, &ChunkReader::sliceRead, this, &Uploader::onSliceRead);
    m_phase = Phase::Preparing;

    if (!m_knownMd5.isEmpty() && m_knownSize == m_fileSize && m_knownModifiedMs == m_modifiedMs) {
        // Unchanged since it was hashed: the digest still names its content. From the event loop,
        // like a finished hash, so the caller's connections see every signal.
        QTimer::singleShot(0, this, [this] {
            if (m_phase != Phase::Preparing)
                return;
            if (m_pausing)
                finishPause();
            else
                onHashed(m_knownMd5);
        });
        return;
    }

    m_hasher = new FileHasher(this);
    connect(m_hasher, &FileHasher::progress, this, [this](qint64 hashed, qint64 total) {
        const int percent = total <= 0 ? HashPercentSpan : int(double(hashed) / double(total) * HashPercentSpan);
        emit sigProgress(percent, QStringLiteral("计算校验值"));
    });
    connect(m_hasher, &FileHasher::finished, this, &Uploader::onHashed);
    connect(m_hasher, &FileHasher::failed, this, [this](const QString &err) { fail(err, false); });
    m_hasher->start(path, m_fileSize);
}

void Uploader::setKnownDigest(const QString &md5Hex, qint64 size, qint64 modifiedMs)
{
    m_knownMd5 = md5Hex;
    m_knownSize = size;
    m_knownModifiedMs = modifiedMs;
}

void Uploader::onHashed(const QString &md5Hex)
{
    if (m_phase != Phase::Preparing)
        return;
    m_md5Hex = md5Hex;
    m_hashed = true;
    if (m_pausing) {
        finishPause();
        return;
    }
    doInit();
}

qint64 Uploader::chunkLength(int index) const
{
    return std::min(m_chunkSize, m_fileSize - qint64(index) * m_chunkSize);
}

qint64 Uploader::transferredBytes() const
{
    qint64 bytes = m_doneBytes;
    for (const HttpConnection *connection : m_connections) {
        if (connection->isBusy())
            bytes += connection->bodyBytesSent();
    }
    return std::min(bytes, m_fileSize);
}

void Uploader::pause()
{
    if (m_pausing || m_phase == Phase::Finished || m_phase == Phase::Merging)
        return;
    m_pausing = true;
    if (m_phase == Phase::Preparing) {
        if (!m_hashed && m_hasher) {
            // Hashing is started over by the next job; the digest of half a file is worth nothing.
            delete m_hasher;
            m_hasher = nullptr;
            QTimer::singleShot(0, this, [this] { finishPause(); });
        }
        return; // a known digest's turn or the init answer ends the pause
    }
    if (m_phase == Phase::Uploading) {
        m_ready.clear(); // read ahead but never to be sent by this job
        if (m_sending == 0 && m_reading == 0)
            QTimer::singleShot(0, this, [this] { finishPause(); });
    }
    // Otherwise the init answer, or the last chunk or read in flight, ends the pause.
}

void Uploader::finishPause()
{
    if (m_phase == Phase::Finished || m_phase == Phase::Merging)
        return;
    m_phase = Phase::Finished;
    closeSource();
    emit sigPaused();
}

void Uploader::abort()
{
    m_phase = Phase::Finished;
    // Destroying a connection drops its socket; its callback is never called.
    qDeleteAll(m_connections);
    m_connections.clear();
    closeSource();
}

void Uploader::doInit()
{
    emit sigProgress(HashPercentSpan, QStringLiteral("检查秒传"));
    QPointer<Uploader> self(this);
    Api::initUpload(QFileInfo(m_path).fileName(), m_fileSize, m_md5Hex, m_parentId,
                    [self](const HttpResponse &response) {
                        if (self)
                            self->onInit(response);
                    });
}

void Uploader::onInit(const HttpResponse &response)
{
    if (m_phase != Phase::Preparing)
        return;
    QJsonObject data;
    QString err;
    if (!response.unwrap(data, err)) {
        fail(err, false, response.networkError);
        return;
    }
    if (data.value(QStringLiteral("instant")).toBool()) {
        m_phase = Phase::Finished;
        closeSource();
        emit sigProgress(100, QStringLiteral("秒传完成"));
        emit sigDone(data.value(QStringLiteral("file")).toObject());
        return;
    }

    m_uploadId = jsonText(data, QStringLiteral("uploadId"));
    m_chunkSize = jsonInt64(data, QStringLiteral("chunkSize"), DefaultChunkSize);
    if (m_chunkSize <= 0)
        m_chunkSize = DefaultChunkSize;
    if (m_chunkSize < MinChunkSize || m_chunkSize > MaxChunkSize) {
        fail(QStringLiteral("服务器给出的分片大小无效（%1 字节），应在 64 KiB 到 1 GiB 之间")
                 .arg(QString::number(m_chunkSize)),
             false);
        return;
    }
    const qint64 chunks = std::max<qint64>((m_fileSize + m_chunkSize - 1) / m_chunkSize, 1);
    if (chunks > std::numeric_limits<int>::max()) {
        fail(QStringLiteral("文件过大，无法分片上传"), false);
        return;
    }
    m_totalChunks = int(chunks);

    // Indices outside the file's chunks are ignored, never wrapped into valid ones.
    QSet<int> held;
    for (const QJsonValue &value : data.value(QStringLiteral("uploadedChunks")).toArray()) {
        const qint64 index = heldIndex(value);
        if (index >= 0 && index < m_totalChunks)
            held.insert(int(index));
    }
    m_pending.clear();
    for (int index = 0; index < m_totalChunks; ++index) {
        if (!held.contains(index))
            m_pending.append(index);
    }
    m_doneChunks = m_totalChunks - int(m_pending.size());
    m_doneBytes = 0;
    for (int index : std::as_const(held))
        m_doneBytes += chunkLength(index);
    m_nextIndex = 0;
    m_phase = Phase::Uploading;
    emit sigSession(m_uploadId, m_md5Hex);
    emit sigBytes(m_doneBytes, m_fileSize);

    if (m_pausing) {
        finishPause();
        return;
    }
    if (m_pending.isEmpty()) {
        doMerge();
        return;
    }
    pump();
}

void Uploader::pump()
{
    // Retries and chunks waiting for a connection go first; each retry keeps its connection's turn.
    while (m_phase == Phase::Uploading && !m_pausing && !m_ready.isEmpty() &&
           m_sending + m_retrying < MaxParallelChunks) {
        const ReadChunk chunk = m_ready.takeFirst();
        sendChunk(chunk.index, chunk.attempt, chunk.bytes);
    }
    // Memory stays bounded: chunks being read, waiting or sent never number more than this.
    while (m_phase == Phase::Uploading && !m_pausing && m_nextIndex < m_pending.size() &&
           m_sending + m_retrying + m_reading + m_ready.size() < MaxParallelChunks + ReadAhead)
        readChunk(m_pending.at(m_nextIndex++), 1);
}

void Uploader::readChunk(int index, int attempt)
{
    ++m_reading;
    m_attempts.insert(index, attempt);
    const qint64 offset = qint64(index) * m_chunkSize;
    // Read on the worker; the bytes come back in a later event-loop turn.
    m_reader->read(index, offset, chunkLength(index));
}

void Uploader::onSliceRead(int index, const QByteArray &bytes)
{
    --m_reading;
    const int attempt = m_attempts.take(index);
    if (m_phase != Phase::Uploading)
        return; // the job ended: nothing read is sent any more
    if (m_pausing) {
        if (m_sending == 0 && m_reading == 0)
            finishPause();
        return;
    }
    if (bytes.size() != chunkLength(index)) {
        // A file that shrank or cannot be read fails this attempt like a failed request would.
        onChunkFailed(index, attempt, QStringLiteral("无法读取文件：%1").arg(QFileInfo(m_path).fileName()), false);
        return;
    }
    if (attempt > 1)
        m_ready.prepend(ReadChunk{index, attempt, bytes});
    else
        m_ready.append(ReadChunk{index, attempt, bytes});
    pump();
}

void Uploader::sendChunk(int index, int attempt, const QByteArray &bytes)
{
    ++m_sending;
    QPointer<Uploader> self(this);
    Api::uploadChunk(idleConnection(), m_uploadId, index, bytes, [self, index, attempt](const HttpResponse &response) {
        if (self)
            self->onChunkReply(index, attempt, response);
    });
}

HttpConnection *Uploader::idleConnection()
{
    for (HttpConnection *connection : std::as_const(m_connections)) {
        if (!connection->isBusy())
            return connection;
    }
    auto *connection = new HttpConnection(this);
    connect(connection, &HttpConnection::bodyProgress, this, [this] { emit sigBytes(transferredBytes(), m_fileSize); });
    m_connections.append(connection);
    return connection;
}

void Uploader::onChunkReply(int index, int attempt, const HttpResponse &response)
{
    --m_sending;
    if (m_phase != Phase::Uploading)
        return; // the job already ended; late replies change nothing

    QJsonObject data;
    QString err;
    const bool held = response.unwrap(data, err);
    if (held) {
        m_doneBytes += chunkLength(index);
        emit sigBytes(transferredBytes(), m_fileSize);
    }
    if (m_pausing) {
        // Held or not, it is what the server reports when the job is continued.
        if (held)
            ++m_doneChunks;
        if (m_sending == 0 && m_reading == 0)
            finishPause();
        return;
    }
    if (held) {
        ++m_doneChunks;
        const int percent =
            HashPercentSpan + int(double(m_doneChunks) / std::max(m_totalChunks, 1) * ChunkPercentSpan * 100);
        emit sigProgress(
            percent, QStringLiteral("上传中 %1/%2").arg(QString::number(m_doneChunks), QString::number(m_totalChunks)));
        if (m_doneChunks == m_totalChunks)
            doMerge(); // a chunk waiting for its retry is not held yet, so every chunk has arrived
        else
            pump();
        return;
    }
    onChunkFailed(index, attempt, err.isEmpty() ? QStringLiteral("分片 %1 上传失败").arg(QString::number(index)) : err,
                  response.networkError);
}

void Uploader::onChunkFailed(int index, int attempt, const QString &err, bool network)
{
    if (attempt < MaxAttempts) {
        // The chunk is read again for the next attempt; its bytes are not kept while waiting.
        ++m_retrying;
        QTimer::singleShot(attempt * m_retryDelayMs, this, [this, index, attempt] {
            --m_retrying;
            if (m_phase == Phase::Uploading && !m_pausing)
                readChunk(index, attempt + 1);
        });
        return;
    }
    fail(err, true, network);
}

void Uploader::doMerge()
{
    if (m_phase != Phase::Uploading)
        return;
    m_phase = Phase::Merging;
    emit sigProgress(MergePercent, QStringLiteral("合并文件"));
    QPointer<Uploader> self(this);
    Api::mergeUpload(m_uploadId, [self](const HttpResponse &response) {
        if (!self)
            return;
        QJsonObject data;
        QString err;
        if (!response.unwrap(data, err)) {
            self->fail(err, false, response.networkError);
            return;
        }
        self->m_phase = Phase::Finished;
        self->closeSource();
        emit self->sigProgress(100, QStringLiteral("上传完成"));
        emit self->sigDone(data);
        self->deleteLater();
    });
}

void Uploader::fail(const QString &err, bool deleteSelf, bool network)
{
    if (m_pausing && m_phase != Phase::Merging) {
        finishPause();
        return;
    }
    m_networkFailure = network;
    m_phase = Phase::Finished;
    closeSource();
    emit sigFailed(err);
    if (deleteSelf)
        deleteLater();
}

void Uploader::closeSource()
{
    // A job that ended may stay with its page for a long time; it must not keep the user's file
    // open (Windows would refuse to rename or delete it meanwhile).
    m_ready.clear();
    if (m_reader)
        m_reader->close();
    if (m_hasher) {
        m_hasher->deleteLater(); // may be the sender of the signal being handled
        m_hasher = nullptr;
    }
}
