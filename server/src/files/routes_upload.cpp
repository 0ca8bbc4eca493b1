// Uploads: instant upload by MD5 and size, resumable chunked sessions with a checked merge, and
// multipart upload of small files. Bodies are streamed to disk, never held in memory.
#include "cluster/clustermembers.h"
#include "cluster/lease.h"
#include "core/servercontext.h"
#include "files/filetree.h"
#include "files/multipartupload.h"
#include "files/quota.h"
#include "files/uploadprogress.h"
#include "files/uploadsessions.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "storage/areas.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <unistd.h>

namespace tvr::server {

namespace {

const QString SessionGone = QStringLiteral("上传任务不存在或已过期，请重新上传");
const QString StorageFailed = QStringLiteral("服务器存储失败，请稍后重试");
// A second request for a chunk being written waits this long for the first one to end.
constexpr auto ChunkClaimWait = std::chrono::seconds(30);
// Write-back of a chunk is started a megabyte at a time as it arrives.
constexpr qint64 WriteBackStep = 1024 * 1024;
// Multipart framing around the files of a form, allowed beyond the room left.
constexpr qint64 FormOverhead = 64 * 1024;

void initUpload(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString name = FileTree::cleanName(jsonString(*body, QStringLiteral("name")));
    const auto size = jsonSize(body->value(QStringLiteral("size")), Quota::MaxFileBytes);
    const QString md5 = jsonString(*body, QStringLiteral("md5")).trimmed().toLower();
    const auto parent = folderId(body->value(QStringLiteral("parent_id")));
    static const QRegularExpression md5Rule(QStringLiteral("^[0-9a-f]{32}$"));
    if (!FileTree::validName(name))
        return fail(res, 400, QStringLiteral("文件名无效"));
    if (!size)
        return fail(res, 400, QStringLiteral("文件大小无效"));
    if (!md5Rule.match(md5).hasMatch())
        return fail(res, 400, QStringLiteral("文件校验值无效"));
    const FileSpace space = FileSpace::personal(user.id);
    if (!parent || (*parent != 0 && !FileTree::findLive(ctx, space, *parent)))
        return fail(res, 404, QStringLiteral("目标文件夹不存在"));

    // Only content the caller can already read is reused; anything else is uploaded normally,
    // so a digest tells nobody whether someone else stores that file.
    const QString known = FileTree::readableContent(ctx, user.id, md5, *size);
    if (!known.isEmpty()) {
        if (!Quota::fits(ctx, user.id, *size))
            return fail(res, 507, Msg::QuotaExceeded);
        const FileResult result = FileTree::addFileFromBlob(ctx, space, *parent, name, QString(), known, md5, *size);
        if (!result.ok())
            return fail(res, result.status, result.message);
        const auto entry = FileTree::find(ctx, space, result.id);
        return ok(res, QJsonObject{{QStringLiteral("instant"), true},
                                   {QStringLiteral("file"), entry ? entry->toJson() : QJsonObject()}});
    }
    // A session being resumed already holds its room; a new one must find it.
    bool overQuota = false;
    const auto session = UploadSessions::openOrResume(ctx, user.id, 0, *parent, name, *size, md5, &overQuota);
    if (!session)
        return fail(res, overQuota ? 507 : 500, overQuota ? Msg::QuotaExceeded : Msg::Internal);
    ok(res, QJsonObject{{QStringLiteral("instant"), false},
                        {QStringLiteral("uploadId"), session->id},
                        {QStringLiteral("chunkSize"), session->chunkSize},
                        {QStringLiteral("totalChunks"), session->totalChunks},
                        {QStringLiteral("uploadedChunks"), UploadSessions::receivedChunks(ctx, *session)}});
}

bool writeAt(int fd, const char *data, size_t length, qint64 offset)
{
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, length, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
        offset += n;
    }
    return true;
}

std::shared_ptr<UploadProgress> progressOf(ServerContext &ctx, const UploadSession &session)
{
    return ctx.uploads->get(session, UploadSessions::dataPath(ctx, session.id),
                            [&ctx, &session] { return UploadSessions::doneChunks(ctx, session.id); });
}

// A chunk is written in place into the session's file and counts only once it is on disk in
// full and on record; a chunk already complete is never written again (its bytes may be hashed
// already), a repeated request for it just succeeds.
void putChunk(ServerContext &ctx, const http::Request &req, http::Response &res, http::BodyReader &reader,
              const AuthUser &user)
{
    const QString uploadId = QString::fromStdString(req.matches[1]);
    bool indexOk = false;
    const int index = QString::fromStdString(req.matches[2]).toInt(&indexOk);
    const auto session = UploadSessions::find(ctx, uploadId, user.id);
    if (!session)
        return fail(res, 404, SessionGone);
    const qint64 expected = indexOk ? session->chunkLength(index) : -1;
    if (expected < 0)
        return fail(res, 400, QStringLiteral("分片序号无效"));
    const auto declared = req.contentLength();
    if (declared && *declared != expected)
        return fail(res, 400, QStringLiteral("分片大小不正确"));
    // The session holds its room; no chunk is taken once the account is over its limit anyway
    // (bought capacity expired), as the file could not be stored.
    if (!Quota::withinLimit(ctx, Quota::holder(ctx, FileSpace{user.id, session->teamId})))
        return fail(res, 507, Msg::QuotaExceeded);

    const auto progress = progressOf(ctx, *session);
    const UploadProgress::Claim claim = progress->claim(index, ChunkClaimWait);
    if (claim == UploadProgress::Claim::Busy)
        return fail(res, 409, QStringLiteral("该分片正在上传，请稍后重试"));
    qint64 received = 0;
    if (claim == UploadProgress::Claim::AlreadyDone) {
        const bool read = reader.read([&](const char *, size_t length) {
            received += qint64(length);
            return received <= expected;
        });
        if (!read || received != expected)
            return fail(res, 400, QStringLiteral("分片大小不正确"));
        return ok(res, QJsonObject{{QStringLiteral("index"), index}, {QStringLiteral("received"), received}});
    }

    const int fd =
        ::open(UploadSessions::dataPath(ctx, uploadId).toUtf8().constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        progress->release(index, false);
        return fail(res, 404, SessionGone); // the session was removed meanwhile
    }
    const qint64 offset = session->chunkOffset(index);
    bool writeFailed = false;
    qint64 flushed = 0;
    const bool complete = reader.read([&](const char *data, size_t length) {
        if (received + qint64(length) > expected)
            return false;
        if (!writeAt(fd, data, length, offset + received)) {
            writeFailed = true;
            return false;
        }
        received += qint64(length);
        // Write-back starts as the chunk arrives, so little is left to flush when it completes;
        // a megabyte at a time, as a call per network read costs more than it saves.
        if (received - flushed >= WriteBackStep) {
            ::sync_file_range(fd, off_t(offset + flushed), off_t(received - flushed), SYNC_FILE_RANGE_WRITE);
            flushed = received;
        }
        progress->written(index, received); // the digests follow the chunk right after the prefix
        return true;
    });
    const bool whole = complete && !writeFailed && received == expected;
    const bool stored = whole && ::fdatasync(fd) == 0 && UploadSessions::recordChunk(ctx, uploadId, index);
    ::close(fd);
    progress->release(index, stored);
    if (!stored) {
        if (whole || writeFailed)
            return fail(res, 500, StorageFailed);
        return fail(res, 400, QStringLiteral("分片大小不正确"));
    }
    UploadSessions::touch(ctx, uploadId);
    ok(res, QJsonObject{{QStringLiteral("index"), index}, {QStringLiteral("received"), received}});
}

// Merges (and the cancel) of one session must not run twice at once, on this instance or on
// another one a client's retry reached: the set keeps this instance's requests apart, a lease in
// the shared database every instance's. A lease whose instance died is free at once.
std::mutex mergingMutex;
std::set<QString> merging;

class MergeClaim final
{
public:
    MergeClaim(ServerContext &ctx, const QString &uploadId, qint64 forSecs)
        : m_ctx(ctx)
        , m_uploadId(uploadId)
    {
        {
            std::lock_guard lock(mergingMutex);
            if (!merging.insert(uploadId).second)
                return;
        }
        m_local = true;
        m_held = Lease::take(ctx.db, leaseName(), ctx.instanceId, ctx.clock.nowSecs(), forSecs);
        if (!m_held) {
            // The holder may be an instance of this machine that was killed mid-merge: the
            // client's retry need not wait for its heartbeat to run out.
            ClusterMembers::forgetDeadNeighbours(ctx);
            m_held = Lease::take(ctx.db, leaseName(), ctx.instanceId, ctx.clock.nowSecs(), forSecs);
        }
    }
    ~MergeClaim()
    {
        if (m_held)
            Lease::release(m_ctx.db, leaseName(), m_ctx.instanceId);
        if (m_local) {
            std::lock_guard lock(mergingMutex);
            merging.erase(m_uploadId);
        }
    }
    MergeClaim(const MergeClaim &) = delete;
    MergeClaim &operator=(const MergeClaim &) = delete;

    bool held() const { return m_held; }

private:
    QString leaseName() const { return QStringLiteral("merge:") + m_uploadId; }

    ServerContext &m_ctx;
    QString m_uploadId;
    bool m_local = false;
    bool m_held = false;
};

const QString MergeRunning = QStringLiteral("文件正在合并，请稍候");

void mergeUpload(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString uploadId = jsonString(*body, QStringLiteral("uploadId")).trimmed();
    auto session = UploadSessions::find(ctx, uploadId, user.id);
    if (!session)
        return fail(res, 404, SessionGone);
    // Hashing what is left may take a while on a big file: the lease lasts longer than that.
    const auto wait = std::chrono::seconds(60 + session->size / (16 * 1024 * 1024));
    const MergeClaim claim(ctx, uploadId, 2 * wait.count());
    if (!claim.held())
        return fail(res, 409, MergeRunning);
    // Another instance may have merged it between the look-up and the claim.
    session = UploadSessions::find(ctx, uploadId, user.id);
    if (!session)
        return fail(res, 404, SessionGone);

    const int missing = UploadSessions::firstMissingChunk(ctx, *session);
    if (missing >= 0)
        return fail(res, 400, QStringLiteral("分片不完整，缺少第 %1 片").arg(missing + 1));
    // The digests follow the chunks as they arrive; only what came last is left to hash (or, after
    // a restart, the whole file).
    const QString path = UploadSessions::dataPath(ctx, uploadId);
    const auto digests = progressOf(ctx, *session)->digests(wait);
    if (!digests || QFileInfo(path).size() != session->size)
        return fail(res, 500, StorageFailed);
    if (digests->md5 != session->md5) {
        // The chunks do not make up the announced file: drop them, so a new attempt starts clean.
        UploadSessions::remove(ctx, uploadId);
        return fail(res, 400, QStringLiteral("文件校验失败，请重新上传"));
    }
    const FileSpace space{user.id, session->teamId};
    const FileResult result = FileTree::addLinkedFile(ctx, space, session->parentId, session->name, path,
                                                      digests->sha256, digests->md5, session->size, uploadId);
    if (!result.ok())
        return fail(res, result.status, result.message);
    UploadSessions::remove(ctx, uploadId);
    const auto entry = FileTree::find(ctx, space, result.id);
    ok(res, entry ? entry->toJson() : QJsonObject());
}

// A cancelled upload gives its session up at once rather than waiting out the idle lifetime.
void cancelUpload(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const QString uploadId = QString::fromStdString(req.matches[1]);
    if (!UploadSessions::find(ctx, uploadId, user.id))
        return fail(res, 404, SessionGone);
    // Under the merge's claim, so no merge starts on a half-removed session.
    const MergeClaim claim(ctx, uploadId, 60);
    if (!claim.held())
        return fail(res, 409, MergeRunning);
    UploadSessions::remove(ctx, uploadId);
    ok(res, QJsonObject{{QStringLiteral("uploadId"), uploadId}});
}

void uploadFiles(ServerContext &ctx, const http::Request &req, http::Response &res, http::BodyReader &reader,
                 const AuthUser &user)
{
    if (!req.isMultipart())
        return fail(res, 400, QStringLiteral("请以表单方式上传文件"));
    const auto declared = req.contentLength();
    if (declared && !Quota::fits(ctx, user.id, qMax<qint64>(0, *declared - FormOverhead)))
        return fail(res, 507, Msg::QuotaExceeded);
    QuotaReservation room(ctx, user.id);
    if (declared && !room.ensureExactly(*declared))
        return fail(res, 507, Msg::QuotaExceeded);
    MultipartUpload upload(ctx);
    QString error;
    if (!upload.read(req, reader, room, &error))
        return fail(res, upload.exceededLimit() ? 507 : 400, error);
    const auto parent = folderId(QJsonValue(upload.field(QStringLiteral("parent_id"))));
    if (!parent)
        return fail(res, 404, QStringLiteral("目标文件夹不存在"));
    QJsonArray created;
    const FileResult result =
        upload.storeAll(FileSpace::personal(user.id), *parent, QStringLiteral("files"), room, &created);
    if (!result.ok())
        return fail(res, result.status, result.message);
    ok(res, created);
}

void registerUploadRoutes(http::Router &router, ServerContext &ctx)
{
    router.post("/api/upload/init", withUser(ctx, [&ctx](const http::Request &req, http::Response &res,
                                                         const AuthUser &user) { initUpload(ctx, req, res, user); }));
    router.putStream("/api/upload/chunk/([^/]+)/([^/]+)",
                     withUser(ctx, [&ctx](const http::Request &req, http::Response &res, http::BodyReader &reader,
                                          const AuthUser &user) { putChunk(ctx, req, res, reader, user); }),
                     ctx.config.chunkSize + 1); // one byte too many is the handler's to refuse (400)
    router.post("/api/upload/merge", withUser(ctx, [&ctx](const http::Request &req, http::Response &res,
                                                          const AuthUser &user) { mergeUpload(ctx, req, res, user); }));
    router.del("/api/upload/([^/]+)",
               withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                   cancelUpload(ctx, req, res, user);
               }));
    router.postStream("/api/files/upload",
                      withUser(ctx, [&ctx](const http::Request &req, http::Response &res, http::BodyReader &reader,
                                           const AuthUser &user) { uploadFiles(ctx, req, res, reader, user); }),
                      Quota::MaxFileBytes);
}

} // namespace

Area uploadArea()
{
    Area area{"upload", {}};
    area.migrations = {
        {1, "CREATE TABLE upload_sessions(id TEXT PRIMARY KEY, "
            "  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, team_id INTEGER, parent_id INTEGER, "
            "  name TEXT NOT NULL, size INTEGER NOT NULL, md5 TEXT NOT NULL, chunk_size INTEGER NOT NULL, "
            "  total_chunks INTEGER NOT NULL, created_at INTEGER NOT NULL, updated_at INTEGER NOT NULL);"
            "CREATE INDEX upload_sessions_content ON upload_sessions(user_id, md5, size);"},
        // Chunks are written in place into one file per session; these are the ones held in full.
        {2, "CREATE TABLE upload_chunks(upload_id TEXT NOT NULL, idx INTEGER NOT NULL, "
            "  PRIMARY KEY(upload_id, idx));"},
    };
    area.registerRoutes = registerUploadRoutes;
    area.maintain = UploadSessions::expire;
    return area;
}

} // namespace tvr::server
