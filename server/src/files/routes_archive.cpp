// Extracting a stored archive into a folder of the personal space.
#include "core/servercontext.h"
#include "files/archiveextractor.h"
#include "files/filetree.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "storage/areas.h"

namespace tvr::server {

namespace {

void extract(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const FileSpace space = FileSpace::personal(user.id);
    const auto fileId = jsonId(body->value(QStringLiteral("fileId")));
    const auto archive = fileId ? FileTree::findLive(ctx, space, *fileId) : std::nullopt;
    if (!archive || archive->isFolder)
        return fail(res, 404, QStringLiteral("压缩包不存在"));
    if (!ArchiveExtractor::isArchive(*archive))
        return fail(res, 400, QStringLiteral("只能解压 zip 或 rar 压缩包"));
    const auto target = folderId(body->value(QStringLiteral("targetId")));
    const auto folder = target && *target != 0 ? FileTree::findLive(ctx, space, *target) : std::nullopt;
    if (!target || (*target != 0 && (!folder || !folder->isFolder)))
        return fail(res, 404, QStringLiteral("目标文件夹不存在"));
    const FileResult result = ArchiveExtractor::extract(ctx, space, *archive, *target);
    if (!result.ok())
        return fail(res, result.status, result.message);
    ok(res);
}

void registerArchiveRoutes(http::Router &router, ServerContext &ctx)
{
    router.post("/api/files/extract", withUser(ctx, [&ctx](const http::Request &req, http::Response &res,
                                                           const AuthUser &user) { extract(ctx, req, res, user); }));
}

} // namespace

Area archiveArea()
{
    Area area{"archive", {}};
    area.registerRoutes = registerArchiveRoutes;
    return area;
}

} // namespace tvr::server
