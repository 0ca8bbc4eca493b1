// File downloads with byte ranges, and pack-download of several entries as one streamed zip.
#include "areas.h"
#include "auth.h"
#include "envelope.h"
#include "filedownload.h"
#include "filetree.h"
#include "servercontext.h"
#include "teamstore.h"
#include "zipstreamer.h"

#include <QJsonArray>
#include <QSet>
#include <httplib.h>

namespace tvr::server {

namespace {

void download(ServerContext &ctx, const httplib::Request &req, httplib::Response &res, const AuthUser &user)
{
    const auto id = parseId(QString::fromStdString(req.matches[1]));
    const auto entry = id ? FileTree::findLive(ctx, FileSpace::personal(user.id), *id) : std::nullopt;
    if (!entry)
        return fail(res, 404, Msg::NotFound);
    if (entry->isFolder)
        return fail(res, 400, QStringLiteral("文件夹不能直接下载，请使用「打包下载」"));
    FileDownload::serve(req, res, ctx.blobs.pathFor(entry->blobHash), entry->name, entry->mimeType, entry->blobHash);
}

void packDownload(ServerContext &ctx, const httplib::Request &req, httplib::Response &res, const AuthUser &user)
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
    auto items = std::make_shared<std::vector<ZipStreamer::Item>>(ZipStreamer::plan(ctx, selection));
    res.status = 200;
    res.set_header("Content-Disposition", "attachment; filename=\"download.zip\"");
    res.set_chunked_content_provider("application/zip", [&ctx, items](size_t, httplib::DataSink &sink) {
        if (!ZipStreamer::write(ctx, *items, sink))
            return false; // the connection is cut: a truncated archive is never reported whole
        sink.done();
        return true;
    });
}

void registerDownloadRoutes(httplib::Server &server, ServerContext &ctx)
{
    server.Get("/api/files/([^/]+)/download",
               withUser(ctx, [&ctx](const httplib::Request &req, httplib::Response &res, const AuthUser &user) {
                   download(ctx, req, res, user);
               }));
    server.Post("/api/files/pack-download",
                withUser(ctx, [&ctx](const httplib::Request &req, httplib::Response &res, const AuthUser &user) {
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
