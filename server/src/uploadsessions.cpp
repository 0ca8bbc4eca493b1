#include "uploadsessions.h"

#include "accountstore.h"
#include "servercontext.h"
#include "transaction.h"

#include <QDir>
#include <QFileInfo>

namespace tvr::server {

qint64 UploadSession::chunkLength(int index) const
{
    if (index < 0 || index >= totalChunks)
        return -1;
    return qMin(chunkSize, size - qint64(index) * chunkSize);
}

QString UploadSessions::directory(ServerContext &ctx, const QString &uploadId)
{
    return ctx.dataPath(QStringLiteral("uploads/") + uploadId);
}

static UploadSession fromRow(const QVariantList &r)
{
    UploadSession s;
    s.id = r.value(0).toString();
    s.userId = r.value(1).toLongLong();
    s.teamId = r.value(2).toLongLong();
    s.parentId = r.value(3).toLongLong();
    s.name = r.value(4).toString();
    s.size = r.value(5).toLongLong();
    s.md5 = r.value(6).toString();
    s.chunkSize = r.value(7).toLongLong();
    s.totalChunks = r.value(8).toInt();
    return s;
}

#define SESSION_COLS                                                                                                   \
    "id, user_id, COALESCE(team_id, 0), COALESCE(parent_id, 0), name, size, md5, chunk_size, total_chunks "

std::optional<UploadSession> UploadSessions::find(ServerContext &ctx, const QString &uploadId, qint64 userId)
{
    const auto rows =
        ctx.db.query("SELECT " SESSION_COLS "FROM upload_sessions WHERE id = ?1 AND user_id = ?2", {uploadId, userId});
    if (rows.empty())
        return std::nullopt;
    return fromRow(rows.front());
}

std::optional<UploadSession> UploadSessions::openOrResume(ServerContext &ctx, qint64 userId, qint64 teamId,
                                                          qint64 parentId, const QString &name, qint64 size,
                                                          const QString &md5)
{
    const qint64 chunkSize = ctx.config.chunkSize;
    const qint64 now = ctx.clock.nowSecs();
    const QVariant team = teamId > 0 ? QVariant(teamId) : QVariant();
    const QVariant parent = parentId > 0 ? QVariant(parentId) : QVariant();
    Transaction tx(ctx.db);
    const auto rows = ctx.db.query("SELECT " SESSION_COLS "FROM upload_sessions WHERE user_id = ?1 AND "
                                   "COALESCE(team_id, 0) = ?2 AND md5 = ?3 AND size = ?4 AND chunk_size = ?5 "
                                   "AND COALESCE(parent_id, 0) = ?6 AND name = ?7 ORDER BY updated_at DESC LIMIT 1",
                                   {userId, teamId, md5, size, chunkSize, parentId, name});
    UploadSession session;
    if (!rows.empty()) {
        session = fromRow(rows.front());
        ctx.db.exec("UPDATE upload_sessions SET updated_at = ?2 WHERE id = ?1", {session.id, now});
    } else {
        session.id = AccountStore::randomHex(16);
        session.userId = userId;
        session.teamId = teamId;
        session.parentId = parentId;
        session.name = name;
        session.size = size;
        session.md5 = md5;
        session.chunkSize = chunkSize;
        session.totalChunks = int(qMax<qint64>(1, (size + chunkSize - 1) / chunkSize));
        ctx.db.exec("INSERT INTO upload_sessions(id, user_id, team_id, parent_id, name, size, md5, chunk_size, "
                    "total_chunks, created_at, updated_at) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?10)",
                    {session.id, userId, team, parent, name, size, md5, chunkSize, session.totalChunks, now});
    }
    if (!QDir().mkpath(directory(ctx, session.id)) || !tx.commit())
        return std::nullopt;
    return session;
}

QJsonArray UploadSessions::receivedChunks(ServerContext &ctx, const UploadSession &session)
{
    QJsonArray out;
    const QString dir = directory(ctx, session.id);
    for (int i = 0; i < session.totalChunks; ++i) {
        const QFileInfo chunk(dir + QLatin1Char('/') + QString::number(i));
        if (chunk.exists() && chunk.size() == session.chunkLength(i))
            out.append(i);
    }
    return out;
}

int UploadSessions::firstMissingChunk(ServerContext &ctx, const UploadSession &session)
{
    const QString dir = directory(ctx, session.id);
    for (int i = 0; i < session.totalChunks; ++i) {
        const QFileInfo chunk(dir + QLatin1Char('/') + QString::number(i));
        if (!chunk.exists() || chunk.size() != session.chunkLength(i))
            return i;
    }
    return -1;
}

void UploadSessions::touch(ServerContext &ctx, const QString &uploadId)
{
    ctx.db.exec("UPDATE upload_sessions SET updated_at = ?2 WHERE id = ?1", {uploadId, ctx.clock.nowSecs()});
}

void UploadSessions::remove(ServerContext &ctx, const QString &uploadId)
{
    ctx.db.exec("DELETE FROM upload_sessions WHERE id = ?1", {uploadId});
    QDir(directory(ctx, uploadId)).removeRecursively();
}

void UploadSessions::expire(ServerContext &ctx)
{
    const auto stale =
        ctx.db.query("SELECT id FROM upload_sessions WHERE updated_at < ?1", {ctx.clock.nowSecs() - IdleLifetimeSecs});
    for (const auto &row : stale)
        remove(ctx, row.value(0).toString());
    const QDir uploads(ctx.dataPath(QStringLiteral("uploads")));
    for (const QString &name : uploads.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!ctx.db.scalar("SELECT 1 FROM upload_sessions WHERE id = ?1", {name}).isValid())
            QDir(uploads.filePath(name)).removeRecursively();
    }
}

} // namespace tvr::server
