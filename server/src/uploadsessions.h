#pragma once

#include <QJsonArray>
#include <QString>
#include <optional>

namespace tvr::server {

struct ServerContext;

// One resumable chunked upload. Chunks live as files "uploads/<id>/<index>", each written to a
// temporary name and renamed when complete, so a chunk file is either whole or absent.
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
};

class UploadSessions final
{
public:
    static constexpr qint64 IdleLifetimeSecs = 7LL * 24 * 3600;

    static QString directory(ServerContext &ctx, const QString &uploadId);
    static std::optional<UploadSession> find(ServerContext &ctx, const QString &uploadId, qint64 userId);
    // The open session for this upload (same user, space, folder, name, MD5, size and chunk
    // size), or a new one. Two uploads of one content into different places stay apart.
    static std::optional<UploadSession> openOrResume(ServerContext &ctx, qint64 userId, qint64 teamId, qint64 parentId,
                                                     const QString &name, qint64 size, const QString &md5);
    // Indices of the chunks held completely.
    static QJsonArray receivedChunks(ServerContext &ctx, const UploadSession &session);
    // The first chunk that is missing or of the wrong size, or -1 when all are there.
    static int firstMissingChunk(ServerContext &ctx, const UploadSession &session);
    static void touch(ServerContext &ctx, const QString &uploadId);
    static void remove(ServerContext &ctx, const QString &uploadId);
    // Drops sessions idle for longer than IdleLifetimeSecs and chunk folders without a session.
    static void expire(ServerContext &ctx);
};

} // namespace tvr::server
