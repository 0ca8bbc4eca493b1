// Uploads: instant upload by MD5 and size, resumable chunked sessions with a checked merge, and
// multipart upload of small files. Bodies are streamed to disk, never held in memory.
#include "areas.h"
#include "auth.h"
#include "blobwriter.h"
#include "envelope.h"
#include "filetree.h"
#include "multipartupload.h"
#include "quota.h"
#include "servercontext.h"
#include "uploadsessions.h"

#include <QFile>
#include <QRegularExpression>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <httplib.h>
#include <mutex>
#include <set>
#include <unistd.h>

namespace tvr::server {

namespace {

const QString SessionGone = QStringLiteral("上传任务不存在或已过期，请重新上传");

void initUpload(ServerContext &ctx, const httplib::Request &req, httplib::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString name = jsonString(*body, QStringLiteral("name")).trimmed();
    const QJsonValue sizeValue = body->value(QStringLiteral("size"));
    const QString md5 = jsonString(*body, QStringLiteral("md5")).trimmed().toLower();
    const auto parent = folderId(body->value(QStringLiteral("parent_id")));
    static const QRegularExpression md5Rule(QStringLiteral("^[0-9a-f]{32}$"));
    bool sizeOk = sizeValue.isDouble();
    const qint64 size = sizeOk ? qint64(sizeValue.toDouble()) : sizeValue.toString().toLongLong(&sizeOk);
    if (!FileTree::validName(name))
        return fail(res, 400, QStringLiteral("文件名无效"));
    if (!sizeOk || size < 0)
        return fail(res, 400, QStringLiteral("文件大小无效"));
    if (!md5Rule.match(md5).hasMatch())
        return fail(res, 400, QStringLiteral("文件校验值无效"));
    const FileSpace space = FileSpace::personal(user.id);
    if (!parent || (*parent != 0 && !FileTree::findLive(ctx, space, *parent)))
        return fail(res, 404, QStringLiteral("目标文件夹不存在"));
    if (!Quota::fits(ctx, user.id, size))
        return fail(res, 507, Msg::QuotaExceeded);

    const QString known = ctx.blobs.findByMd5(ctx.db, md5, size);
    if (!known.isEmpty()) {
        const FileResult result = FileTree::addFileFromBlob(ctx, space, *parent, name, QString(), known, md5, size);
        if (!result.ok())
            return fail(res, result.status, result.message);
        const auto entry = FileTree::find(ctx, space, result.id);
        return ok(res, QJsonObject{{QStringLiteral("instant"), true},
                                   {QStringLiteral("file"), entry ? entry->toJson() : QJsonObject()}});
    }
    const auto session = UploadSessions::openOrResume(ctx, user.id, 0, *parent, name, size, md5);
    if (!session)
        return fail(res, 500, Msg::Internal);
    ok(res, QJsonObject{{QStringLiteral("instant"), false},
                        {QStringLiteral("uploadId"), session->id},
                        {QStringLiteral("chunkSize"), session->chunkSize},
                        {QStringLiteral("totalChunks"), session->totalChunks},
                        {QStringLiteral("uploadedChunks"), UploadSessions::receivedChunks(ctx, *session)}});
}

bool writeAll(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

// A chunk is written to a private temporary file and renamed over "<index>" only when it is
// complete and flushed: a chunk file is either whole or absent, even after a crash.
void putChunk(ServerContext &ctx, const httplib::Request &req, httplib::Response &res,
              const httplib::ContentReader &reader, const AuthUser &user)
{
    const QString uploadId = QString::fromStdString(req.matches[1]);
    bool indexOk = false;
    const int index = QString::fromStdString(req.matches[2]).toInt(&indexOk);
    const auto session = UploadSessions::find(ctx, uploadId, user.id);
    const qint64 expected = session && indexOk ? session->chunkLength(index) : -1;
    const bool lengthWrong = req.has_header("Content-Length") &&
                             std::strtoll(req.get_header_value("Content-Length").c_str(), nullptr, 10) != expected;
    if (!session || expected < 0 || lengthWrong) {
        skipBody(req, res, reader);
        if (!session)
            return fail(res, 404, SessionGone);
        return fail(res, 400, expected < 0 ? QStringLiteral("分片序号无效") : QStringLiteral("分片大小不正确"));
    }

    const QString dir = UploadSessions::directory(ctx, uploadId);
    QByteArray tempPath = (dir + QStringLiteral("/.chunk-XXXXXX")).toUtf8();
    const int fd = ::mkstemp(tempPath.data());
    if (fd < 0) {
        skipBody(req, res, reader);
        return fail(res, 404, SessionGone); // the session was removed meanwhile
    }
    qint64 received = 0;
    bool writeFailed = false;
    const bool complete = reader([&](const char *data, size_t length) {
        received += qint64(length);
        if (received > expected)
            return false;
        if (!writeAll(fd, data, length)) {
            writeFailed = true;
            return false;
        }
        return true;
    });
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    const QString target = dir + QLatin1Char('/') + QString::number(index);
    if (!complete || writeFailed || !synced || received != expected ||
        ::rename(tempPath.constData(), target.toUtf8().constData()) != 0) {
        ::unlink(tempPath.constData());
        if (!complete)
            res.set_header("Connection", "close"); // reading stopped part-way
        if (writeFailed || !synced)
            return fail(res, 500, QStringLiteral("服务器存储失败，请稍后重试"));
        return fail(res, 400, QStringLiteral("分片大小不正确"));
    }
    UploadSessions::touch(ctx, uploadId);
    ok(res, QJsonObject{{QStringLiteral("index"), index}, {QStringLiteral("received"), received}});
}

// Merges of one session must not run twice at once.
std::mutex mergingMutex;
std::set<QString> merging;

void mergeUpload(ServerContext &ctx, const httplib::Request &req, httplib::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString uploadId = jsonString(*body, QStringLiteral("uploadId")).trimmed();
    const auto session = UploadSessions::find(ctx, uploadId, user.id);
    if (!session)
        return fail(res, 404, SessionGone);
    {
        std::lock_guard lock(mergingMutex);
        if (!merging.insert(uploadId).second)
            return fail(res, 409, QStringLiteral("文件正在合并，请稍候"));
    }
    struct Release
    {
        QString id;
        ~Release()
        {
            std::lock_guard lock(mergingMutex);
            merging.erase(id);
        }
    } release{uploadId};

    const int missing = UploadSessions::firstMissingChunk(ctx, *session);
    if (missing >= 0)
        return fail(res, 400, QStringLiteral("分片不完整，缺少第 %1 片").arg(missing + 1));
    auto writer = ctx.blobs.createWriter();
    if (!writer)
        return fail(res, 500, Msg::Internal);
    const QString dir = UploadSessions::directory(ctx, uploadId);
    QStringList chunkPaths;
    for (int i = 0; i < session->totalChunks; ++i)
        chunkPaths.append(dir + QLatin1Char('/') + QString::number(i));
    if (!writer->appendFiles(chunkPaths) || !writer->finish())
        return fail(res, 500, QStringLiteral("服务器存储失败，请稍后重试"));
    if (writer->size() != session->size || writer->md5Hex() != session->md5) {
        // The chunks do not make up the announced file: drop them, so a new attempt starts clean.
        UploadSessions::remove(ctx, uploadId);
        return fail(res, 400, QStringLiteral("文件校验失败，请重新上传"));
    }
    const FileSpace space{user.id, session->teamId};
    const FileResult result = FileTree::addFile(ctx, space, session->parentId, session->name, QString(), *writer);
    if (!result.ok())
        return fail(res, result.status, result.message);
    UploadSessions::remove(ctx, uploadId);
    const auto entry = FileTree::find(ctx, space, result.id);
    ok(res, entry ? entry->toJson() : QJsonObject());
}

void uploadFiles(ServerContext &ctx, const httplib::Request &req, httplib::Response &res,
                 const httplib::ContentReader &reader, const AuthUser &user)
{
    if (!req.is_multipart_form_data()) {
        skipBody(req, res, reader);
        return fail(res, 400, QStringLiteral("请以表单方式上传文件"));
    }
    const qint64 room = Quota::limit(ctx, user.id) - Quota::used(ctx, user.id);
    MultipartUpload upload(ctx);
    QString error;
    if (!upload.read(reader, qMax<qint64>(room, 0), &error)) {
        res.set_header("Connection", "close"); // reading stopped part-way
        return fail(res, upload.exceededLimit() ? 507 : 400, error);
    }
    const auto parent = folderId(QJsonValue(upload.field(QStringLiteral("parent_id"))));
    if (!parent)
        return fail(res, 404, QStringLiteral("目标文件夹不存在"));
    QJsonArray created;
    const FileResult result = upload.storeAll(FileSpace::personal(user.id), *parent, QStringLiteral("files"), &created);
    if (!result.ok())
        return fail(res, result.status, result.message);
    ok(res, created);
}

void registerUploadRoutes(httplib::Server &server, ServerContext &ctx)
{
    server.Post("/api/upload/init", withUser(ctx, [&ctx](const httplib::Request &req, httplib::Response &res,
                                                         const AuthUser &user) { initUpload(ctx, req, res, user); }));
    server.Put(
        "/api/upload/chunk/([^/]+)/([^/]+)",
        withUser(ctx, [&ctx](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader,
                             const AuthUser &user) { putChunk(ctx, req, res, reader, user); }));
    server.Post("/api/upload/merge", withUser(ctx, [&ctx](const httplib::Request &req, httplib::Response &res,
                                                          const AuthUser &user) { mergeUpload(ctx, req, res, user); }));
    server.Post("/api/files/upload", withUser(ctx, [&ctx](const httplib::Request &req, httplib::Response &res,
                                                          const httplib::ContentReader &reader, const AuthUser &user) {
                    uploadFiles(ctx, req, res, reader, user);
                }));
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
    };
    area.registerRoutes = registerUploadRoutes;
    area.maintain = UploadSessions::expire;
    return area;
}

} // namespace tvr::server
