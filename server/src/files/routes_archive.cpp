// Extracting a stored archive into a folder of the personal space. Extracts take their threads
// from the streaming pool, never from the one that answers sign-in and listings, and are
// admitted by ExtractGate: one per user and a few server-wide at a time. A request that finds
// its user (or the server) busy waits in a short bounded queue for its turn; beyond the queue,
// or after the wait, it is refused with 429, so nothing piles up behind archives.
#include "core/servercontext.h"
#include "files/archiveextractor.h"
#include "files/filetree.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "http/router.h"
#include "storage/areas.h"

#include <QJsonDocument>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

namespace tvr::server {

namespace {

constexpr int MaxParallelExtracts = 2;
constexpr int MaxWaitingPerUser = 10;
constexpr int MaxWaiting = 16;
constexpr auto MaxWait = std::chrono::seconds(60);

class ExtractGate final
{
public:
    enum class Admission { Admitted, UserBusy, ServerBusy };

    Admission enter(qint64 userId)
    {
        std::unique_lock lock(m_mutex);
        const auto free = [&] { return !m_running.count(userId) && int(m_running.size()) < MaxParallelExtracts; };
        if (!free()) {
            if (m_waiting[userId] >= MaxWaitingPerUser || m_totalWaiting >= MaxWaiting)
                return busy(userId);
            ++m_waiting[userId];
            ++m_totalWaiting;
            const bool turn = m_changed.wait_for(lock, MaxWait, free);
            --m_totalWaiting;
            if (--m_waiting[userId] == 0)
                m_waiting.erase(userId);
            if (!turn)
                return busy(userId);
        }
        m_running.insert(userId);
        return Admission::Admitted;
    }
    void leave(qint64 userId)
    {
        {
            std::lock_guard lock(m_mutex);
            m_running.erase(userId);
        }
        m_changed.notify_all();
    }

private:
    Admission busy(qint64 userId) const
    {
        return m_running.count(userId) ? Admission::UserBusy : Admission::ServerBusy;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<qint64> m_running;
    std::map<qint64, int> m_waiting;
    int m_totalWaiting = 0;
};

ExtractGate gate;

void extract(ServerContext &ctx, const http::Request &, http::Response &res, http::BodyReader &reader,
             const AuthUser &user)
{
    QByteArray raw;
    const bool read = reader.read([&](const char *data, size_t length) {
        raw.append(data, qsizetype(length));
        return raw.size() <= http::Router::JsonBodyLimit;
    });
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(raw.trimmed().isEmpty() ? QByteArray("{}") : raw, &error);
    if (!read || error.error != QJsonParseError::NoError || !doc.isObject())
        return fail(res, 400, Msg::BadRequest);
    const QJsonObject body = doc.object();
    const FileSpace space = FileSpace::personal(user.id);
    const auto fileId = jsonId(body.value(QStringLiteral("fileId")));
    const auto archive = fileId ? FileTree::findLive(ctx, space, *fileId) : std::nullopt;
    if (!archive || archive->isFolder)
        return fail(res, 404, QStringLiteral("压缩包不存在"));
    if (!ArchiveExtractor::isArchive(*archive))
        return fail(res, 400, QStringLiteral("只能解压 zip 或 rar 压缩包"));
    const auto target = folderId(body.value(QStringLiteral("targetId")));
    const auto folder = target && *target != 0 ? FileTree::findLive(ctx, space, *target) : std::nullopt;
    if (!target || (*target != 0 && (!folder || !folder->isFolder)))
        return fail(res, 404, QStringLiteral("目标文件夹不存在"));
    switch (gate.enter(user.id)) {
    case ExtractGate::Admission::UserBusy:
        return fail(res, 429, QStringLiteral("您已有一个解压任务正在进行，请等它完成后再试"));
    case ExtractGate::Admission::ServerBusy:
        return fail(res, 429, QStringLiteral("服务器正忙于其他解压任务，请稍后再试"));
    case ExtractGate::Admission::Admitted:
        break;
    }
    const FileResult result = ArchiveExtractor::extract(ctx, space, *archive, *target);
    gate.leave(user.id);
    if (!result.ok())
        return fail(res, result.status, result.message);
    ok(res);
}

void registerArchiveRoutes(http::Router &router, ServerContext &ctx)
{
    router.postStream("/api/files/extract",
                      withUser(ctx, [&ctx](const http::Request &req, http::Response &res, http::BodyReader &reader,
                                           const AuthUser &user) { extract(ctx, req, res, reader, user); }),
                      http::Router::JsonBodyLimit);
}

} // namespace

Area archiveArea()
{
    Area area{"archive", {}};
    area.registerRoutes = registerArchiveRoutes;
    area.maintain = ArchiveExtractor::purgeAbandoned;
    return area;
}

} // namespace tvr::server
