#include "sync/changepage.h"

#include "core/servercontext.h"
#include "files/filetree.h"
#include "http/envelope.h"
#include "sync/changelog.h"
#include "teams/teamstore.h"

#include <QJsonArray>
#include <optional>
#include <unordered_map>
#include <vector>

namespace tvr::server {

namespace {

// One changed row, live, in the trash (deleted) or a tombstone.
struct Row
{
    qint64 id = 0;
    qint64 parentId = 0;
    QString name;
    bool isFolder = false;
    qint64 size = 0;
    QString md5;
    QString sha256;
    QString updatedAt;
    bool deleted = false;
    qint64 seq = 0;
};

Row fromRow(const QVariantList &r)
{
    Row row;
    row.id = r.value(0).toLongLong();
    row.parentId = r.value(1).toLongLong();
    row.name = r.value(2).toString();
    row.isFolder = r.value(3).toString() == QLatin1String("folder");
    row.size = r.value(4).toLongLong();
    row.md5 = r.value(5).toString();
    row.sha256 = r.value(6).toString();
    row.updatedAt = r.value(7).toString();
    row.deleted = r.value(8).toLongLong() != 0;
    row.seq = r.value(9).toLongLong();
    return row;
}

// Paths below the synced folder, with every folder looked up once per page. Removed folders
// are found among the tombstones, so that entries removed with them keep their last path.
class Placer
{
public:
    Placer(ServerContext &ctx, qint64 space, qint64 folderId)
        : m_ctx(ctx)
        , m_space(space)
        , m_folderId(folderId)
    {}

    // The path of folder `id` below the synced folder ("" for the synced folder itself), or
    // nothing when it is not below it.
    std::optional<QString> folderPath(qint64 id)
    {
        std::vector<std::pair<qint64, QString>> chain; // climbed, nearest first
        std::optional<QString> base;
        for (qint64 at = id;;) {
            if (at == m_folderId) {
                base = QString();
                break;
            }
            if (at == 0 || int(chain.size()) > ChangePage::MaxDepth)
                break;
            if (const auto known = m_paths.find(at); known != m_paths.end()) {
                base = known->second;
                break;
            }
            const auto node = lookUp(at);
            if (!node)
                break;
            chain.emplace_back(at, node->second);
            at = node->first;
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            if (base)
                base = base->isEmpty() ? it->second : *base + QLatin1Char('/') + it->second;
            m_paths[it->first] = base;
        }
        return base;
    }

private:
    // (parent, name) of a folder of the space, shown or removed.
    std::optional<std::pair<qint64, QString>> lookUp(qint64 id)
    {
        auto rows = m_ctx.db.query("SELECT COALESCE(parent_id, 0), name FROM files "
                                   "WHERE id = ?1 AND COALESCE(team_id, -owner_id) = ?2 AND type = 'folder'",
                                   {id, m_space});
        if (rows.empty()) {
            rows = m_ctx.db.query("SELECT COALESCE(parent_id, 0), name FROM sync_tombstones "
                                  "WHERE id = ?1 AND space = ?2 AND type = 'folder'",
                                  {id, m_space});
        }
        if (rows.empty())
            return std::nullopt;
        return std::make_pair(rows.front().value(0).toLongLong(), rows.front().value(1).toString());
    }

    ServerContext &m_ctx;
    qint64 m_space;
    qint64 m_folderId;
    std::unordered_map<qint64, std::optional<QString>> m_paths;
};

QJsonObject toJson(const Row &row, const QString &path, bool deleted)
{
    QJsonObject o{
        {QStringLiteral("id"), row.id},
        {QStringLiteral("parent_id"), row.parentId > 0 ? QJsonValue(row.parentId) : QJsonValue()},
        {QStringLiteral("name"), row.name},
        {QStringLiteral("type"), row.isFolder ? QStringLiteral("folder") : QStringLiteral("file")},
        {QStringLiteral("size"), row.isFolder ? 0 : row.size},
        {QStringLiteral("updated_at"), row.updatedAt},
        {QStringLiteral("deleted"), deleted},
        {QStringLiteral("seq"), row.seq},
        {QStringLiteral("path"), path},
    };
    if (!row.isFolder && !row.md5.isEmpty())
        o.insert(QStringLiteral("md5"), row.md5);
    if (!row.isFolder && !row.sha256.isEmpty())
        o.insert(QStringLiteral("sha256"), row.sha256);
    return o;
}

// The rows after the cursor up to the head, at most `count`, in order: two index range scans
// (shown rows and tombstones) merged.
std::vector<Row> changedRows(ServerContext &ctx, qint64 space, qint64 cursor, qint64 head, int count)
{
    // Rows of an unfinished extraction (negative trash_root) are not shown yet.
    const auto shown =
        ctx.db.query("SELECT id, COALESCE(parent_id, 0), name, type, size, md5, COALESCE(blob_hash, ''), updated_at, "
                     "CASE WHEN trash_root IS NULL THEN 0 ELSE 1 END, seq FROM files "
                     "WHERE COALESCE(team_id, -owner_id) = ?1 AND seq > ?2 AND seq <= ?3 "
                     "AND (trash_root IS NULL OR trash_root > 0) ORDER BY seq LIMIT ?4",
                     {space, cursor, head, count});
    const auto gone = ctx.db.query("SELECT id, COALESCE(parent_id, 0), name, type, 0, '', '', deleted_at, 1, seq "
                                   "FROM sync_tombstones WHERE space = ?1 AND seq > ?2 AND seq <= ?3 "
                                   "ORDER BY seq LIMIT ?4",
                                   {space, cursor, head, count});
    std::vector<Row> rows;
    rows.reserve(size_t(count));
    size_t a = 0;
    size_t b = 0;
    while (int(rows.size()) < count && (a < shown.size() || b < gone.size())) {
        const bool takeShown =
            b >= gone.size() || (a < shown.size() && shown[a].value(9).toLongLong() < gone[b].value(9).toLongLong());
        rows.push_back(fromRow(takeShown ? shown[a++] : gone[b++]));
    }
    return rows;
}

} // namespace

QJsonObject ChangePage::resetPage()
{
    return {{QStringLiteral("changes"), QJsonArray()},
            {QStringLiteral("cursor"), QStringLiteral("0")},
            {QStringLiteral("has_more"), false},
            {QStringLiteral("reset"), true}};
}

bool ChangePage::respond(ServerContext &ctx, const ChangeQuery &query, http::Response &res, qint64 *headSeen)
{
    // One consistent look: no change lands between reading the head and the rows.
    std::lock_guard lock(ctx.db.mutex());
    if (query.teamId > 0 && !TeamStore::role(ctx, query.teamId, query.userId)) {
        fail(res, 404, QStringLiteral("团队不存在或您不是该团队成员"));
        return false;
    }
    const FileSpace space{query.userId, query.teamId};
    if (query.folderId != 0) {
        const auto folder = FileTree::findLive(ctx, space, query.folderId);
        if (!folder || !folder->isFolder) {
            fail(res, 404, QStringLiteral("同步的文件夹不存在或已被删除"));
            return false;
        }
    }
    const qint64 head = ChangeLog::head(ctx);
    if (headSeen)
        *headSeen = head;
    // A cursor from before dropped tombstones may have missed a removal; one from beyond the
    // head was not given out by this server.
    if (query.cursor > head || (query.cursor > 0 && query.cursor < ChangeLog::prunedUpTo(ctx))) {
        ok(res, resetPage());
        return false;
    }
    const int limit = qBound(1, query.limit, MaxLimit);
    const std::vector<Row> rows = changedRows(ctx, query.space(), query.cursor, head, limit + 1);
    const bool hasMore = int(rows.size()) > limit;
    const size_t count = hasMore ? size_t(limit) : rows.size();

    Placer placer(ctx, query.space(), query.folderId);
    QJsonArray changes;
    for (size_t i = 0; i < count; ++i) {
        const Row &row = rows[i];
        if (row.id == query.folderId)
            continue; // the synced folder itself
        const auto parentPath = placer.folderPath(row.parentId);
        const bool below = parentPath.has_value();
        // From the start, what is not below the folder is of no interest; later it is reported
        // as deleted, since the client may have had it there.
        if (!below && query.cursor == 0)
            continue;
        const QString path = !below                  ? QString()
                             : parentPath->isEmpty() ? row.name
                                                     : *parentPath + QLatin1Char('/') + row.name;
        changes.append(toJson(row, path, row.deleted || !below));
    }
    // Past the last row looked at (or the head when the page ends the feed): rows left out
    // above are not looked at again.
    const qint64 next = hasMore ? rows[count - 1].seq : head;
    ok(res, QJsonObject{{QStringLiteral("changes"), changes},
                        {QStringLiteral("cursor"), QString::number(next)},
                        {QStringLiteral("has_more"), hasMore},
                        {QStringLiteral("reset"), false}});
    return rows.empty();
}

} // namespace tvr::server
