#pragma once

#include <QJsonArray>
#include <QString>
#include <optional>
#include <vector>

namespace tvr::server {

struct ServerContext;

// One resumable chunked upload. Its chunks are written in place into one file,
// "uploads/<id>/data", each at its offset; a chunk counts as received only once it is on disk
// in full and on record in "upload_chunks", so after a crash a chunk is either whole or sent
// again. The merge hard-links that file into the blob store: nothing is copied.
struct UploadSession
{
    QString id;
    qint64 userId = 0;
    qint64 teamId = 0;
    qint64 parentId = 0;
    QString name;
    qint64 size = 0;
    QString md5;
    qint64 chunkSize = 0;
    int totalChunks = 0;

    qint64 chunkLength(int index) const;
    qint64 chunkOffset(int index) const { return qint64(index) * chunkSize; }
};

class UploadSessions final
{
public:
    static constexpr qint64 IdleLifetimeSecs = 7LL * 24 * 3600;
    // Open sessions per user; the least recently used one gives way to a new one.
    static constexpr int MaxOpenPerUser = 64;

    static QString directory(ServerContext &ctx, const QString &uploadId);
    static QString dataPath(ServerContext &ctx, const QString &uploadId);
    static std::optional<UploadSession> find(ServerContext &ctx, const QString &uploadId, qint64 userId);
    // The open session for this upload (same user, space, folder, name, MD5, size and chunk
    // size), or a new one. Two uploads of one content into different places stay apart. A new
    // session holds its whole size of the quota until it is merged, cancelled or expires; when
    // that does not fit, nothing is opened and `overQuota` is set.
    static std::optional<UploadSession> openOrResume(ServerContext &ctx, qint64 userId, qint64 teamId, qint64 parentId,
                                                     const QString &name, qint64 size, const QString &md5,
                                                     bool *overQuota = nullptr);
    // Indices of the chunks held completely, ascending.
    static std::vector<int> doneChunks(ServerContext &ctx, const QString &uploadId);
    static QJsonArray receivedChunks(ServerContext &ctx, const UploadSession &session);
    // The first chunk not held completely, or -1 when all are there.
    static int firstMissingChunk(ServerContext &ctx, const UploadSession &session);
    // Records a chunk as held completely (after its bytes are on disk).
    static bool recordChunk(ServerContext &ctx, const QString &uploadId, int index);
    static void touch(ServerContext &ctx, const QString &uploadId);
    static void remove(ServerContext &ctx, const QString &uploadId);
    // Drops sessions idle for longer than IdleLifetimeSecs and folders without a session;
    // turns chunk folders of the earlier layout (one file per chunk) into the current one.
    static void expire(ServerContext &ctx);
};

} // namespace tvr::server
