#include "files/archiveextractor.h"

#include "cluster/clustermembers.h"

#include "core/servercontext.h"
#include "files/blobstore.h"
#include "files/blobwriter.h"
#include "files/filetree.h"
#include "files/foldernames.h"
#include "files/quota.h"
#include "storage/transaction.h"
#include "sync/changelog.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <archive.h>
#include <archive_entry.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace tvr::server {

namespace {

using ArchivePtr = std::unique_ptr<struct archive, decltype(&archive_read_free)>;

ArchivePtr openArchive(const QString &path)
{
    ArchivePtr reader(archive_read_new(), archive_read_free);
    // One layer of the usual compressions (a .tar.gz); anything else is not read at all.
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_filter_bzip2(reader.get());
    archive_read_support_filter_xz(reader.get());
    archive_read_support_filter_zstd(reader.get());
    archive_read_support_format_zip(reader.get());
    archive_read_support_format_rar(reader.get());
    archive_read_support_format_rar5(reader.get());
    archive_read_support_format_7zip(reader.get());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_filename(reader.get(), path.toUtf8().constData(), 64 * 1024) != ARCHIVE_OK)
        return ArchivePtr(nullptr, archive_read_free);
    return reader;
}

QString entryName(struct archive_entry *entry)
{
    if (const char *utf8 = archive_entry_pathname_utf8(entry))
        return QString::fromUtf8(utf8);
    if (const char *raw = archive_entry_pathname(entry))
        return ArchiveExtractor::decodeName(QByteArray(raw));
    return QString();
}

struct Extracted
{
    QStringList components;
    bool isFolder = false;
    std::unique_ptr<BlobWriter> content;
};

// One row to record: its parent is the target folder (-1) or an earlier row (a new folder).
struct PlannedRow
{
    qint64 parent = -1;
    QString name;
    bool isFolder = false;
    BlobWriter *content = nullptr;
    qint64 id = 0;
};

// Markers of the extracts under way; rows hidden under any other marker were left by a crash.
std::mutex activeMutex;
std::set<qint64> activeMarkers;

// Registers a fresh marker and, unless the extract finished, removes what it recorded.
class HiddenRows final
{
public:
    explicit HiddenRows(ServerContext &ctx)
        : m_ctx(ctx)
    {
        std::lock_guard lock(activeMutex);
        do
            m_marker = -qint64(QRandomGenerator::global()->bounded(Q_UINT64_C(1) << 62)) - 1;
        while (!activeMarkers.insert(m_marker).second);
        // Other instances of a cluster run the upkeep too: they learn of the extract here.
        m_ctx.db.exec("INSERT INTO active_extracts(marker, instance) VALUES(?1, ?2)", {m_marker, m_ctx.instanceId});
    }
    ~HiddenRows()
    {
        if (!m_shown)
            FileTree::removeHidden(m_ctx, m_marker);
        m_ctx.db.exec("DELETE FROM active_extracts WHERE marker = ?1", {m_marker});
        std::lock_guard lock(activeMutex);
        activeMarkers.erase(m_marker);
    }
    HiddenRows(const HiddenRows &) = delete;
    HiddenRows &operator=(const HiddenRows &) = delete;

    qint64 marker() const { return m_marker; }
    void shown() { m_shown = true; }

private:
    ServerContext &m_ctx;
    qint64 m_marker = 0;
    bool m_shown = false;
};

// What a pass may unpack: the room left, the ratio to the archive's own size, and time.
struct Budget
{
    qint64 room = 0;
    qint64 bytes = 0; // by ratio
    QElapsedTimer clock;

    bool outOfTime() const { return clock.elapsed() > qint64(ArchiveExtractor::MaxSeconds) * 1000; }
};

const QString NoRoom = QStringLiteral("存储空间不足，无法解压");
const QString TooExpanded = QStringLiteral("压缩包解压后过大（疑似压缩炸弹），已拒绝解压");
const QString TooSlow = QStringLiteral("压缩包解压耗时过长，已停止，请在本地解压后上传");

} // namespace

bool ArchiveExtractor::isArchive(const FileEntry &entry)
{
    const QString name = entry.name.toLower();
    const QString mime = entry.mimeType.toLower();
    return name.endsWith(QLatin1String(".zip")) || name.endsWith(QLatin1String(".rar")) ||
           name.endsWith(QLatin1String(".7z")) || name.endsWith(QLatin1String(".tar")) ||
           name.endsWith(QLatin1String(".tar.gz")) || name.endsWith(QLatin1String(".tgz")) ||
           mime.contains(QLatin1String("zip")) || mime.contains(QLatin1String("rar"));
}

QString ArchiveExtractor::decodeName(const QByteArray &raw)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString asUtf8 = utf8.decode(raw);
    if (!utf8.hasError())
        return asUtf8;
    QStringDecoder gb("GB18030");
    if (gb.isValid()) {
        const QString asGb = gb.decode(raw);
        if (!gb.hasError())
            return asGb;
    }
    return QString::fromLatin1(raw);
}

std::optional<QStringList> ArchiveExtractor::safeComponents(const QString &name)
{
    QString path = name;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')) || (path.size() >= 2 && path.at(1) == QLatin1Char(':')))
        return std::nullopt;
    QStringList out;
    for (const QString &part : path.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        const QString clean = FileTree::cleanName(part);
        if (part == QLatin1String("..") || !FileTree::validName(clean))
            return std::nullopt;
        out.append(clean);
    }
    return out;
}

FileResult ArchiveExtractor::extract(ServerContext &ctx, const FileSpace &space, const FileEntry &archiveEntry,
                                     qint64 targetFolderId)
{
    const QString path = ctx.blobs->pathFor(archiveEntry.blobHash);
    const FileResult broken = FileResult::error(400, QStringLiteral("压缩包已损坏或格式不受支持"));
    const qint64 holder = Quota::holder(ctx, space);
    Budget budget;
    budget.clock.start();
    budget.room = Quota::room(ctx, holder);
    budget.bytes = RatioFreeBytes + qMax<qint64>(0, QFileInfo(path).size()) * MaxRatio;

    // First pass: every name must be safe, and what the entries declare must fit, before
    // anything is written. Data is skipped, not read, where the format allows it.
    {
        ArchivePtr reader = openArchive(path);
        if (!reader)
            return broken;
        if (archive_filter_count(reader.get()) > 2)
            return FileResult::error(400, QStringLiteral("压缩包套了多层压缩，无法解压"));
        struct archive_entry *entry = nullptr;
        int count = 0;
        qint64 declared = 0;
        std::vector<char> buffer(64 * 1024);
        int rc;
        while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
            const QString name = entryName(entry);
            const auto components = safeComponents(name);
            if (!components)
                return FileResult::error(400, QStringLiteral("压缩包中含有不安全的路径：%1").arg(name));
            if (++count > MaxEntries)
                return FileResult::error(400, QStringLiteral("压缩包中的文件过多（最多 %1 个）").arg(MaxEntries));
            if (components->size() > MaxDepth)
                return FileResult::error(400, QStringLiteral("压缩包中的目录层级过深（最多 %1 层）").arg(MaxDepth));
            if (archive_entry_filetype(entry) == AE_IFREG) {
                if (archive_entry_size_is_set(entry)) {
                    declared += qMax<qint64>(0, archive_entry_size(entry));
                } else {
                    // No size in the header (a streamed zip): count what it unpacks to.
                    for (la_ssize_t n; (n = archive_read_data(reader.get(), buffer.data(), buffer.size())) != 0;) {
                        if (n < 0)
                            return broken;
                        declared += n;
                        if (declared > budget.room || declared > budget.bytes || budget.outOfTime())
                            break;
                    }
                }
            }
            if (declared > budget.room)
                return FileResult::error(507, NoRoom);
            if (declared > budget.bytes || archive_filter_bytes(reader.get(), 0) > budget.bytes + RatioFreeBytes)
                return FileResult::error(400, TooExpanded);
            if (budget.outOfTime())
                return FileResult::error(400, TooSlow);
        }
        if (rc != ARCHIVE_EOF)
            return broken;
    }

    // Second pass: stream each file into a temporary file, within the room left (held for this
    // extract, so parallel writes of the account cannot use it twice) and the budget.
    QuotaReservation room(ctx, holder);
    qint64 written = 0;
    std::vector<Extracted> items;
    {
        ArchivePtr reader = openArchive(path);
        if (!reader)
            return broken;
        std::vector<char> buffer(256 * 1024);
        struct archive_entry *entry = nullptr;
        int rc;
        while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
            const auto components = safeComponents(entryName(entry));
            if (!components)
                return broken; // the archive changed between the passes
            if (components->isEmpty())
                continue;
            const auto type = archive_entry_filetype(entry);
            if (type == AE_IFDIR) {
                items.push_back({*components, true, nullptr});
                continue;
            }
            if (type != AE_IFREG)
                continue; // links, devices and the like are not files of the tree
            if (archive_entry_is_encrypted(entry))
                return FileResult::error(400, QStringLiteral("压缩包已加密，无法解压"));
            const qint64 declaredSize = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
            auto writer = ctx.blobs->createWriter();
            if (!writer)
                return FileResult::error(500, QStringLiteral("服务器存储失败，请稍后重试"));
            for (;;) {
                const la_ssize_t n = archive_read_data(reader.get(), buffer.data(), buffer.size());
                if (n == 0)
                    break;
                if (n < 0 || (declaredSize >= 0 && writer->size() + n > declaredSize))
                    return broken;
                written += n;
                if (written > budget.bytes)
                    return FileResult::error(400, TooExpanded);
                if (budget.outOfTime())
                    return FileResult::error(400, TooSlow);
                if (!room.ensure(written))
                    return FileResult::error(507, NoRoom);
                if (!writer->write(buffer.data(), size_t(n)))
                    return FileResult::error(500, QStringLiteral("服务器存储失败，请稍后重试"));
            }
            if (!writer->finish())
                return FileResult::error(500, QStringLiteral("服务器存储失败，请稍后重试"));
            items.push_back({*components, false, std::move(writer)});
        }
        if (rc != ARCHIVE_EOF)
            return broken;
    }
    if (items.empty())
        return FileResult::error(400, QStringLiteral("压缩包是空的"));

    // The rows, without the database: folders are created on first use, and names that clash
    // inside a new folder get a suffix here. Names at the top are settled when they are shown.
    std::vector<PlannedRow> rows;
    std::map<QString, size_t> folderRows;  // archive folder path -> row
    std::map<qint64, FolderNames> namesIn; // row of a new folder -> the names taken in it
    auto place = [&](qint64 parent, const QString &name, bool isFolder, BlobWriter *content) {
        const QString finalName = parent < 0 ? name : namesIn[parent].claim(name, isFolder);
        rows.push_back({parent, finalName, isFolder, content, 0});
        return qint64(rows.size() - 1);
    };
    for (Extracted &item : items) {
        const int depth = int(item.components.size()) - (item.isFolder ? 0 : 1);
        qint64 parent = -1;
        QString key;
        for (int i = 0; i < depth; ++i) {
            key += QLatin1Char('/') + item.components.at(i);
            auto it = folderRows.find(key);
            if (it == folderRows.end())
                it = folderRows.emplace(key, size_t(place(parent, item.components.at(i), true, nullptr))).first;
            parent = qint64(it->second);
        }
        if (!item.isFolder)
            place(parent, item.components.last(), false, item.content.get());
    }
    if (!Quota::entriesFit(ctx, holder, qint64(rows.size())))
        return FileResult::error(507, Quota::tooManyEntries(ctx));

    // Recorded in short batches, hidden: each holds the database for a few rows or milliseconds
    // (moving contents into the store syncs a directory each), then lets others in.
    HiddenRows hidden(ctx);
    for (size_t i = 0; i < rows.size();) {
        Transaction tx(ctx.db);
        Quota::hold(ctx, holder); // the batch turns reserved bytes into stored ones
        QElapsedTimer held;
        held.start();
        for (const size_t start = i; i < rows.size() && i - start < size_t(BatchRows) && held.elapsed() < BatchMs;
             ++i) {
            PlannedRow &row = rows[i];
            const qint64 parentId = row.parent < 0 ? targetFolderId : rows[size_t(row.parent)].id;
            if (row.content) {
                room.shrink(row.content->size()); // the row counts from now on
                if (!ctx.blobs->adopt(*row.content))
                    return FileResult::error(500, QStringLiteral("服务器存储失败，请稍后重试"));
                row.id = FileTree::insertRow(ctx, space, parentId, row.name, false,
                                             FileTree::mimeFor(row.name, QString()), row.content->size(),
                                             row.content->sha256Hex(), row.content->md5Hex(), hidden.marker());
            } else {
                row.id = FileTree::insertRow(ctx, space, parentId, row.name, true, QString(), 0, QString(), QString(),
                                             hidden.marker());
            }
            if (row.id <= 0)
                return FileResult::error(500, QStringLiteral("解压失败"));
        }
        if (!tx.commit())
            return FileResult::error(500, QStringLiteral("解压失败"));
        std::this_thread::yield(); // requests waiting for the database go first
    }

    // Shown at once: the names at the top get their suffixes against what the folder holds now.
    Transaction tx(ctx.db);
    // The account's row first, as every writer that checks the quota takes it: the rows' updates
    // below lock it too (their owner's key), and the other order can deadlock with a check.
    Quota::hold(ctx, holder);
    if (targetFolderId != 0) {
        const auto target = FileTree::findLive(ctx, space, targetFolderId);
        if (!target || !target->isFolder)
            return FileResult::error(404, QStringLiteral("目标文件夹不存在"));
    }
    FolderNames names = FolderNames::load(ctx, space, targetFolderId);
    for (const PlannedRow &row : rows) {
        if (row.parent >= 0)
            continue;
        const QString finalName = names.claim(row.name, row.isFolder);
        if (finalName != row.name)
            ctx.db.exec("UPDATE files SET name = ?2 WHERE id = ?1", {row.id, finalName});
    }
    ctx.db.exec("UPDATE files SET trash_root = NULL WHERE trash_root = ?1", {hidden.marker()});
    // Numbered as they appear (folders before what they hold), after every change made while
    // they were hidden.
    std::vector<qint64> shown;
    shown.reserve(rows.size());
    for (const PlannedRow &row : rows)
        shown.push_back(row.id);
    if (!ChangeLog::stamp(ctx, space, shown) || !tx.commit())
        return FileResult::error(500, QStringLiteral("解压失败"));
    hidden.shown();
    return FileResult::success(targetFolderId);
}

void ArchiveExtractor::purgeAbandoned(ServerContext &ctx)
{
    for (const auto &row : ctx.db.query("SELECT DISTINCT trash_root FROM files WHERE trash_root < 0")) {
        const qint64 marker = row.value(0).toLongLong();
        {
            std::lock_guard lock(activeMutex);
            if (activeMarkers.count(marker))
                continue;
        }
        // Under way on another live instance.
        if (ctx.db
                .scalar("SELECT 1 FROM active_extracts WHERE marker = ?1 AND instance IN "
                        "(SELECT id FROM cluster_members WHERE seen_secs >= ?2)",
                        {marker, ClusterMembers::aliveSince()})
                .isValid())
            continue;
        FileTree::removeHidden(ctx, marker);
    }
}

} // namespace tvr::server
