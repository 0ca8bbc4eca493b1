#include "files/uploadsessions.h"

#include "accounts/accountstore.h"
#include "core/servercontext.h"
#include "files/quota.h"
#include "files/uploadprogress.h"
#include "storage/transaction.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

QString UploadSessions::dataPath(ServerContext &ctx, const QString &uploadId)
{
    return directory(ctx, uploadId) + QStringLiteral("/data");
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
                                                          const QString &md5, bool *overQuota)
{
    if (overQuota)
        *overQuota = false;
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
        const auto open =
            ctx.db.query("SELECT id FROM upload_sessions WHERE user_id = ?1 ORDER BY updated_at DESC", {userId});
        for (size_t i = MaxOpenPerUser - 1; i < open.size(); ++i) {
            const QString stale = open[i].value(0).toString();
            ctx.db.exec("DELETE FROM upload_chunks WHERE upload_id = ?1", {stale});
            ctx.db.exec("DELETE FROM upload_sessions WHERE id = ?1", {stale});
            const QString dir = directory(ctx, stale);
            tx.onCommit([dir] { QDir(dir).removeRecursively(); });
        }
        if (!Quota::fits(ctx, Quota::holder(ctx, FileSpace{userId, teamId}), size)) {
            if (overQuota)
                *overQuota = true;
            return std::nullopt; // the transaction rolls back: no session was given way
        }
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

std::vector<int> UploadSessions::doneChunks(ServerContext &ctx, const QString &uploadId)
{
    std::vector<int> out;
    for (const auto &row : ctx.db.query("SELECT idx FROM upload_chunks WHERE upload_id = ?1 ORDER BY idx", {uploadId}))
        out.push_back(row.value(0).toInt());
    return out;
}

QJsonArray UploadSessions::receivedChunks(ServerContext &ctx, const UploadSession &session)
{
    QJsonArray out;
    for (int index : doneChunks(ctx, session.id)) {
        if (index >= 0 && index < session.totalChunks)
            out.append(index);
    }
    return out;
}

int UploadSessions::firstMissingChunk(ServerContext &ctx, const UploadSession &session)
{
    const std::vector<int> done = doneChunks(ctx, session.id);
    int expected = 0;
    for (int index : done) {
        if (index != expected)
            break;
        ++expected;
    }
    return expected >= session.totalChunks ? -1 : expected;
}

bool UploadSessions::recordChunk(ServerContext &ctx, const QString &uploadId, int index)
{
    // A chunk that lands after its session was cancelled leaves no row behind.
    return ctx.db.exec("INSERT INTO upload_chunks(upload_id, idx) SELECT ?1, ?2 "
                       "WHERE EXISTS(SELECT 1 FROM upload_sessions WHERE id = ?1) ON CONFLICT DO NOTHING",
                       {uploadId, index});
}

void UploadSessions::touch(ServerContext &ctx, const QString &uploadId)
{
    ctx.db.exec("UPDATE upload_sessions SET updated_at = ?2 WHERE id = ?1", {uploadId, ctx.clock.nowSecs()});
}

void UploadSessions::remove(ServerContext &ctx, const QString &uploadId)
{
    ctx.db.exec("DELETE FROM upload_chunks WHERE upload_id = ?1", {uploadId});
    ctx.db.exec("DELETE FROM upload_sessions WHERE id = ?1", {uploadId});
    ctx.uploads->drop(uploadId);
    QDir(directory(ctx, uploadId)).removeRecursively();
}

namespace {

// A folder of the earlier layout holds one file per complete chunk, named by its index: copy
// them into the session's one file and put them on record.
void adoptChunkFiles(ServerContext &ctx, const UploadSession &session)
{
    const QDir dir(UploadSessions::directory(ctx, session.id));
    const QStringList names = dir.entryList(QDir::Files);
    if (names.isEmpty() || names.contains(QStringLiteral("data")))
        return;
    const int out =
        ::open(UploadSessions::dataPath(ctx, session.id).toUtf8().constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (out < 0)
        return;
    for (const QString &name : names) {
        bool isIndex = false;
        const int index = name.toInt(&isIndex);
        QFile chunk(dir.filePath(name));
        if (isIndex && chunk.size() == session.chunkLength(index) && chunk.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = chunk.readAll();
            if (::pwrite(out, bytes.constData(), size_t(bytes.size()), off_t(session.chunkOffset(index))) ==
                    bytes.size() &&
                ::fdatasync(out) == 0)
                UploadSessions::recordChunk(ctx, session.id, index);
        }
        QFile::remove(dir.filePath(name));
    }
    ::close(out);
}

} // namespace

void UploadSessions::expire(ServerContext &ctx)
{
    const auto stale =
        ctx.db.query("SELECT id FROM upload_sessions WHERE updated_at < ?1", {ctx.clock.nowSecs() - IdleLifetimeSecs});
    for (const auto &row : stale)
        remove(ctx, row.value(0).toString());
    for (const auto &row : ctx.db.query("SELECT " SESSION_COLS "FROM upload_sessions"))
        adoptChunkFiles(ctx, fromRow(row));
    const QDir uploads(ctx.dataPath(QStringLiteral("uploads")));
    // A folder made a moment ago may belong to a session another instance is still committing.
    const QDateTime settled = QDateTime::currentDateTimeUtc().addSecs(-60);
    for (const QString &name : uploads.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (QFileInfo(uploads.filePath(name)).lastModified().toUTC() > settled)
            continue;
        if (!ctx.db.scalar("SELECT 1 FROM upload_sessions WHERE id = ?1", {name}).isValid())
            QDir(uploads.filePath(name)).removeRecursively();
    }
    ctx.db.exec("DELETE FROM upload_chunks WHERE upload_id NOT IN (SELECT id FROM upload_sessions)");
}

} // namespace tvr::server
