// File downloads with byte ranges, and pack-download of several entries as one streamed zip.
#include "core/servercontext.h"
#include "files/blobstore.h"
#include "files/filetree.h"
#include "files/zipstreamer.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "http/filedownload.h"
#include "storage/areas.h"
#include "teams/teamstore.h"

#include <QJsonArray>
#include <QSet>

namespace tvr::server {

namespace {

void download(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto id = parseId(QString::fromStdString(req.matches[1]));
    const auto entry = id ? FileTree::findLive(ctx, FileSpace::personal(user.id), *id) : std::nullopt;
    if (!entry)
        return fail(res, 404, Msg::NotFound);
    if (entry->isFolder)
        return fail(res, 400, QStringLiteral("文件夹不能直接下载，请使用「打包下载」"));
    FileDownload::serve(req, res, ctx.blobs->pathFor(entry->blobHash), entry->name, entry->mimeType, entry->blobHash);
}

void packDownload(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QJsonValue ids = body->value(QStringLiteral("ids"));
    if (!ids.isArray() || ids.toArray().isEmpty())
        return fail(res, 400, QStringLiteral("请先选择要下载的文件"));
    // Every id must be a live entry of this user or of one of the user's teams (team pages pack
    // through this endpoint too); otherwise nothing is packed.
    std::vector<FileEntry> selection;
    QSet<qint64> seen;
    for (const QJsonValue &value : ids.toArray()) {
        const auto id = jsonId(value);
        const auto entry = id ? TeamStore::findReadable(ctx, user.id, *id) : std::nullopt;
        if (!entry)
            return fail(res, 404, Msg::NotFound);
        if (!seen.contains(entry->id)) {
            seen.insert(entry->id);
            selection.push_back(*entry);
        }
    }
    auto zip = std::make_shared<ZipStreamer>(*ctx.blobs, ZipStreamer::plan(ctx, selection));
    res.status = 200;
    res.setHeader("Content-Disposition", "attachment; filename=\"download.zip\"");
    // A stored content that cannot be read cuts the connection: a truncated archive is never
    // reported whole.
    res.setProducer(-1, "application/zip", [zip](quint64, char *buffer, size_t max) { return zip->read(buffer, max); });
}

void registerDownloadRoutes(http::Router &router, ServerContext &ctx)
{
    router.get("/api/files/([^/]+)/download",
               withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                   download(ctx, req, res, user);
               }));
    router.post("/api/files/pack-download",
                withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                    packDownload(ctx, req, res, user);
                }));
}

} // namespace

Area downloadArea()
{
    Area area{"download", {}};
    area.registerRoutes = registerDownloadRoutes;
    return area;
}

} // namespace tvr::server
