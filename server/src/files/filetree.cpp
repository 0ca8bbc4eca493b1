#include "files/filetree.h"

#include "core/clock.h"
#include "core/names.h"
#include "core/servercontext.h"
#include "files/blobstore.h"
#include "files/blobwriter.h"
#include "files/foldernames.h"
#include "files/listingtext.h"
#include "files/quota.h"
#include "http/chunkedtext.h"
#include "http/jsontext.h"
#include "storage/transaction.h"
#include "sync/changelog.h"
#include "teams/teamstore.h"

#include <QMimeDatabase>
#include <QSet>
#include <functional>

namespace tvr::server {

// Every query binds ?1 = acting user and ?2 = team (0 for the personal space). COLS are in the
// order ListingText reads them.
#define SPACE "((?2 = 0 AND team_id IS NULL AND owner_id = ?1) OR (?2 <> 0 AND team_id = ?2))"
#define COLS                                                                                                           \
    "id, owner_id, COALESCE(team_id, 0), COALESCE(parent_id, 0), name, type, mime_type, category, size, "              \
    "COALESCE(blob_hash, ''), md5, created_at, updated_at, COALESCE(trashed_at, ''), COALESCE(trash_root, 0) "
#define PARENT_IS "((?3 = 0 AND parent_id IS NULL) OR parent_id = ?3)"

namespace {

FileEntry fromRow(const QVariantList &r)
{
    return ListingText::entry(r);
}

QJsonArray toArray(const Database::Rows &rows)
{
    QJsonArray array;
    for (const auto &row : rows)
        array.append(fromRow(row).toJson());
    return array;
}

QVariantList spaceArgs(const FileSpace &space)
{
    return {space.userId, space.teamId};
}

QVariant nullableId(qint64 id)
{
    return id > 0 ? QVariant(id) : QVariant();
}

// New change numbers for an entry and its live descendants, parents first.
bool stampSubtree(ServerContext &ctx, const FileSpace &space, const FileEntry &root)
{
    std::vector<qint64> ids;
    for (const FileEntry &e : FileTree::subtree(ctx, root))
        ids.push_back(e.id);
    return ChangeLog::stamp(ctx, space, ids);
}

bool isLiveFolder(ServerContext &ctx, const FileSpace &space, qint64 id)
{
    if (id == 0)
        return true;
    const auto entry = FileTree::findLive(ctx, space, id);
    return entry && entry->isFolder;
}

// Releases the blobs of the given rows and deletes them, inside the caller's transaction. With
// a space, the change feed keeps a tombstone of each (not for a whole team going away, nor for
// rows never shown).
bool deleteRows(ServerContext &ctx, Transaction &tx, const Database::Rows &rows, const FileSpace *tombstonesIn)
{
    if (tombstonesIn) {
        std::vector<qint64> ids;
        ids.reserve(rows.size());
        for (const auto &row : rows)
            ids.push_back(row.value(0).toLongLong());
        if (!ChangeLog::bury(ctx, *tombstonesIn, ids))
            return false;
    }
    for (const auto &row : rows) {
        const qint64 id = row.value(0).toLongLong();
        const QString hash = row.value(1).toString();
        if (!ctx.db.exec("DELETE FROM files WHERE id = ?1", {id}))
            return false;
        if (!hash.isEmpty() && !ctx.blobs->release(ctx.db, tx, hash))
            return false;
    }
    return true;
}

} // namespace

QJsonObject FileEntry::toJson() const
{
    QJsonObject o{
        {QStringLiteral("id"), id},
        {QStringLiteral("name"), name},
        {QStringLiteral("type"), isFolder ? QStringLiteral("folder") : QStringLiteral("file")},
        {QStringLiteral("mime_type"), mimeType},
        {QStringLiteral("category"), isFolder ? QString() : category},
        {QStringLiteral("size"), isFolder ? 0 : size},
        {QStringLiteral("parent_id"), parentId > 0 ? QJsonValue(parentId) : QJsonValue()},
        {QStringLiteral("created_at"), createdAt},
        {QStringLiteral("updated_at"), updatedAt},
    };
    if (!isFolder)
        o.insert(QStringLiteral("md5"), md5);
    if (teamId > 0) {
        o.insert(QStringLiteral("team_id"), teamId);
        o.insert(QStringLiteral("owner_id"), ownerId);
    }
    if (!trashedAt.isEmpty())
        o.insert(QStringLiteral("trash_time"), trashedAt);
    return o;
}

void FileEntry::appendJson(QByteArray &out) const
{
    // The members of toJson() in the order QJsonObject keeps them (by key), so the text is the
    // same as QJsonDocument's.
    const auto number = [&out](const char *key, qint64 value) {
        JsonText::appendKey(out, key);
        out += QByteArray::number(value);
        out += ',';
    };
    const auto text = [&out](const char *key, QStringView value) {
        JsonText::appendKey(out, key);
        JsonText::appendString(out, value);
        out += ',';
    };
    out += '{';
    text("category", isFolder ? QString() : category);
    text("created_at", createdAt);
    number("id", id);
    if (!isFolder)
        text("md5", md5);
    text("mime_type", mimeType);
    text("name", name);
    if (teamId > 0)
        number("owner_id", ownerId);
    if (parentId > 0)
        number("parent_id", parentId);
    else
        out += "\"parent_id\":null,";
    number("size", isFolder ? 0 : size);
    if (teamId > 0)
        number("team_id", teamId);
    if (!trashedAt.isEmpty())
        text("trash_time", trashedAt);
    text("type", isFolder ? QStringLiteral("folder") : QStringLiteral("file"));
    JsonText::appendKey(out, "updated_at");
    JsonText::appendString(out, updatedAt);
    out += '}';
}

std::optional<FileEntry> FileTree::find(ServerContext &ctx, const FileSpace &space, qint64 id)
{
    const auto rows =
        ctx.db.query("SELECT " COLS "FROM files WHERE id = ?3 AND " SPACE, {space.userId, space.teamId, id});
    if (rows.empty())
        return std::nullopt;
    return fromRow(rows.front());
}

std::optional<FileEntry> FileTree::findLive(ServerContext &ctx, const FileSpace &space, qint64 id)
{
    auto entry = find(ctx, space, id);
    if (!entry || entry->trashRoot != 0)
        return std::nullopt;
    return entry;
}

// The live entries of one folder (or of a category), folders first, handed to `each` as they are
// read. A folder's entries come from two statements, folders then files, each answered in order
// from its own index (files_live_folders, files_live_files): the space and the parent are written
// as those indexes' expressions, without the OR-ed alternatives that keep SQLite and PostgreSQL
// from an index, so 100,000 files need neither a scan nor a sort. The indexes also hold every
// column these statements read, so SQLite reads no row of the table itself: a column added here
// belongs in them too (files schema step 4). A listing never shows the blob's hash, which the
// indexes leave out: it is read as ''.
#define LISTED_COLS                                                                                                    \
    "id, owner_id, COALESCE(team_id, 0), COALESCE(parent_id, 0), name, type, mime_type, category, size, '', md5, "     \
    "created_at, updated_at, COALESCE(trashed_at, ''), COALESCE(trash_root, 0) "
#define LIVE_IN_FOLDER "COALESCE(team_id, -owner_id) = ?1 AND COALESCE(parent_id, 0) = ?2 AND trash_root IS NULL "
static const char *const ListFolders = "SELECT " LISTED_COLS "FROM files WHERE " LIVE_IN_FOLDER "AND type = 'folder' "
                                       "ORDER BY lower(name), updated_at DESC, id DESC";
static const char *const ListFiles = "SELECT " LISTED_COLS "FROM files WHERE " LIVE_IN_FOLDER "AND type = 'file' "
                                     "ORDER BY updated_at DESC, id DESC";
static const char *const ListFilesOfCategory = "SELECT " LISTED_COLS "FROM files WHERE " LIVE_IN_FOLDER
                                               "AND type = 'file' AND category = ?3 ORDER BY updated_at DESC, id DESC";
#undef LIVE_IN_FOLDER
#undef LISTED_COLS

std::vector<const char *> FileTree::folderListingStatements()
{
    return {ListFolders, ListFiles, ListFilesOfCategory};
}

static bool runListed(Database &db, const char *sql, const QVariantList &args,
                      const std::function<void(const QVariantList &)> &each)
{
    return db.queryEach(sql, args, each);
}

static bool runListed(Database &db, const char *sql, const QVariantList &args,
                      const std::function<void(const RawRow &)> &each)
{
    return db.queryRaw(sql, args, each);
}

// `Row`: QVariantList (values converted) or RawRow (read in place, see ListingText).
template <typename Row>
static void forEachListed(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &category,
                          const std::function<void(const Row &)> &each)
{
    if (!category.isEmpty() && parentId == 0) {
        runListed(ctx.db,
                  "SELECT " COLS "FROM files WHERE " SPACE " AND trash_root IS NULL "
                  "AND type = 'file' AND category = ?3 ORDER BY updated_at DESC, id DESC",
                  {space.userId, space.teamId, category}, each);
        return;
    }
    const qint64 spaceKey = space.teamId != 0 ? space.teamId : -space.userId;
    runListed(ctx.db, ListFolders, {spaceKey, parentId}, each);
    if (category.isEmpty())
        runListed(ctx.db, ListFiles, {spaceKey, parentId}, each);
    else
        runListed(ctx.db, ListFilesOfCategory, {spaceKey, parentId, category}, each);
}

QJsonArray FileTree::list(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &category)
{
    QJsonArray array;
    forEachListed<QVariantList>(ctx, space, parentId, category,
                                [&array](const QVariantList &row) { array.append(fromRow(row).toJson()); });
    return array;
}

void FileTree::appendListText(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &category,
                              ChunkedText &out)
{
    out.append("[");
    bool first = true;
    forEachListed<RawRow>(ctx, space, parentId, category, [&out, &first](const RawRow &row) {
        if (!first)
            out.append(",");
        first = false;
        ListingText::appendRecord(out, row);
    });
    out.append("]");
}

QJsonArray FileTree::search(ServerContext &ctx, const FileSpace &space, const QString &keyword)
{
    const QString needle = keyword.trimmed().toLower();
    if (needle.isEmpty())
        return {};
    // SQLite folds only ASCII case, so the case-insensitive match is done here.
    const auto rows = ctx.db.query("SELECT " COLS "FROM files WHERE " SPACE " AND trash_root IS NULL "
                                   "ORDER BY type = 'folder' DESC, updated_at DESC, id DESC",
                                   spaceArgs(space));
    QJsonArray out;
    for (const auto &row : rows) {
        const FileEntry e = fromRow(row);
        if (e.name.toLower().contains(needle))
            out.append(e.toJson());
    }
    return out;
}

QJsonArray FileTree::folders(ServerContext &ctx, const FileSpace &space)
{
    QJsonArray out;
    for (const auto &row : ctx.db.query("SELECT id, parent_id, name FROM files WHERE " SPACE
                                        " AND trash_root IS NULL AND type = 'folder' ORDER BY lower(name)",
                                        spaceArgs(space))) {
        out.append(QJsonObject{{QStringLiteral("id"), row.value(0).toLongLong()},
                               {QStringLiteral("parent_id"),
                                row.value(1).isValid() ? QJsonValue(row.value(1).toLongLong()) : QJsonValue()},
                               {QStringLiteral("name"), row.value(2).toString()},
                               {QStringLiteral("type"), QStringLiteral("folder")}});
    }
    return out;
}

QJsonArray FileTree::trashList(ServerContext &ctx, const FileSpace &space)
{
    return toArray(ctx.db.query("SELECT " COLS "FROM files WHERE " SPACE " AND trash_root = id "
                                "ORDER BY trashed_at DESC, id DESC",
                                spaceArgs(space)));
}

std::vector<FileEntry> FileTree::subtree(ServerContext &ctx, const FileEntry &root)
{
    std::vector<FileEntry> out{root};
    if (!root.isFolder)
        return out;
    // Breadth-first, so that parents always come before their children.
    for (size_t i = 0; i < out.size(); ++i) {
        if (!out[i].isFolder)
            continue;
        for (const auto &row : ctx.db.query("SELECT " COLS "FROM files WHERE parent_id = ?1 AND trash_root IS NULL "
                                            "ORDER BY type = 'folder' DESC, name",
                                            {out[i].id}))
            out.push_back(fromRow(row));
    }
    return out;
}

bool FileTree::validName(const QString &name)
{
    if (name.trimmed().isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.size() > MaxNameLength || Names::hasControlCharacters(name) || Names::hasDeceptiveCharacters(name))
        return false;
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

QString FileTree::cleanName(const QString &name)
{
    return Names::normalized(name);
}

QString FileTree::mimeFor(const QString &name, const QString &declared)
{
    static const QMimeDatabase mimes;
    const QMimeType byName = mimes.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    if (!byName.isDefault())
        return byName.name();
    const QString clean = declared.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    if (!clean.isEmpty() && clean.contains(QLatin1Char('/')) && clean.size() < 128)
        return clean;
    return QStringLiteral("application/octet-stream");
}

QString FileTree::categoryFor(const QString &name, const QString &mimeType)
{
    static const QSet<QString> documents = {
        QStringLiteral("pdf"),  QStringLiteral("doc"),  QStringLiteral("docx"),  QStringLiteral("xls"),
        QStringLiteral("xlsx"), QStringLiteral("csv"),  QStringLiteral("et"),    QStringLiteral("ppt"),
        QStringLiteral("pptx"), QStringLiteral("pps"),  QStringLiteral("dps"),   QStringLiteral("txt"),
        QStringLiteral("md"),   QStringLiteral("rtf"),  QStringLiteral("odt"),   QStringLiteral("ods"),
        QStringLiteral("odp"),  QStringLiteral("wps"),  QStringLiteral("pages"), QStringLiteral("numbers"),
        QStringLiteral("key"),  QStringLiteral("epub"),
    };
    static const QSet<QString> images = {
        QStringLiteral("jpg"),  QStringLiteral("jpeg"), QStringLiteral("png"),  QStringLiteral("gif"),
        QStringLiteral("bmp"),  QStringLiteral("webp"), QStringLiteral("svg"),  QStringLiteral("ico"),
        QStringLiteral("tiff"), QStringLiteral("tif"),  QStringLiteral("heic"), QStringLiteral("raw"),
    };
    static const QSet<QString> videos = {
        QStringLiteral("mp4"), QStringLiteral("webm"), QStringLiteral("m4v"),  QStringLiteral("mov"),
        QStringLiteral("mkv"), QStringLiteral("avi"),  QStringLiteral("flv"),  QStringLiteral("wmv"),
        QStringLiteral("ts"),  QStringLiteral("mpg"),  QStringLiteral("mpeg"), QStringLiteral("3gp"),
    };
    static const QSet<QString> audios = {
        QStringLiteral("mp3"), QStringLiteral("wav"), QStringLiteral("flac"), QStringLiteral("aac"),
        QStringLiteral("ogg"), QStringLiteral("m4a"), QStringLiteral("wma"),  QStringLiteral("ape"),
    };
    const QString lower = name.toLower();
    const QString ext = lower.contains(QLatin1Char('.')) ? lower.section(QLatin1Char('.'), -1, -1) : QString();
    const QString mime = mimeType.toLower();
    if (images.contains(ext))
        return QStringLiteral("image");
    if (videos.contains(ext))
        return QStringLiteral("video");
    if (audios.contains(ext))
        return QStringLiteral("audio");
    if (documents.contains(ext))
        return QStringLiteral("document");
    if (mime.startsWith(QLatin1String("image/")))
        return QStringLiteral("image");
    if (mime.startsWith(QLatin1String("video/")))
        return QStringLiteral("video");
    if (mime.startsWith(QLatin1String("audio/")))
        return QStringLiteral("audio");
    if (mime == QLatin1String("application/pdf") || mime == QLatin1String("text/plain") ||
        mime.startsWith(QLatin1String("application/vnd.openxmlformats-officedocument")) ||
        mime.startsWith(QLatin1String("application/vnd.oasis.opendocument")) ||
        mime == QLatin1String("application/msword") || mime.startsWith(QLatin1String("application/vnd.ms-")))
        return QStringLiteral("document");
    return QStringLiteral("other");
}

QString FileTree::freeName(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name,
                           bool isFolder, qint64 ignoreId)
{
    return FolderNames::loadFor(ctx, space, parentId, name, isFolder, ignoreId).claim(name, isFolder);
}

qint64 FileTree::insertEntry(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name,
                             bool isFolder, const QString &mimeType, qint64 size, const QString &hash,
                             const QString &md5)
{
    const QString clean = cleanName(name);
    const QString finalName = freeName(ctx, space, parentId, clean, isFolder);
    return insertRow(ctx, space, parentId, finalName, isFolder, isFolder ? QString() : mimeFor(clean, mimeType), size,
                     hash, md5);
}

qint64 FileTree::insertRow(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &finalName,
                           bool isFolder, const QString &mime, qint64 size, const QString &hash, const QString &md5,
                           qint64 hiddenUnder)
{
    const QString now = ctx.clock.nowText();
    const bool ok = ctx.db.exec(
        "INSERT INTO files(owner_id, team_id, parent_id, name, type, mime_type, category, size, blob_hash, md5, "
        "created_at, updated_at, trash_root, seq) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?11, ?12, ?13)",
        {space.userId, nullableId(space.teamId), nullableId(parentId), finalName,
         isFolder ? QStringLiteral("folder") : QStringLiteral("file"), mime,
         isFolder ? QString() : categoryFor(finalName, mime), isFolder ? 0 : size,
         isFolder ? QVariant() : QVariant(hash), isFolder ? QString() : md5, now,
         hiddenUnder != 0 ? QVariant(hiddenUnder) : QVariant(), ChangeLog::nextSeq(ctx, space)});
    if (!ok)
        return 0;
    const qint64 id = ctx.db.lastInsertId();
    if (!isFolder && !ctx.blobs->addRef(ctx.db, hash, md5, size))
        return 0;
    return id;
}

FileResult FileTree::createFolder(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name)
{
    const QString clean = cleanName(name);
    if (!validName(clean))
        return FileResult::error(400, QStringLiteral("文件夹名称无效"));
    Transaction tx(ctx.db);
    if (!isLiveFolder(ctx, space, parentId))
        return FileResult::error(404, QStringLiteral("目标文件夹不存在"));
    if (!Quota::entriesFit(ctx, Quota::holder(ctx, space), 1))
        return FileResult::error(507, Quota::tooManyEntries(ctx));
    const qint64 id = insertEntry(ctx, space, parentId, clean, true, QString(), 0, QString(), QString());
    if (id <= 0 || !tx.commit())
        return FileResult::error(500, QStringLiteral("创建文件夹失败"));
    return FileResult::success(id);
}

FileResult FileTree::addFileFromBlob(ServerContext &ctx, const FileSpace &space, qint64 parentId,
                                     const QString &rawName, const QString &declaredMime, const QString &hash,
                                     const QString &md5, qint64 size)
{
    const QString name = cleanName(rawName);
    if (!validName(name))
        return FileResult::error(400, QStringLiteral("文件名无效"));
    Transaction tx(ctx.db);
    if (!isLiveFolder(ctx, space, parentId))
        return FileResult::error(404, QStringLiteral("目标文件夹不存在"));
    if (!Quota::fits(ctx, Quota::holder(ctx, space), size))
        return FileResult::error(507, QStringLiteral("存储空间不足"));
    if (!Quota::entriesFit(ctx, Quota::holder(ctx, space), 1))
        return FileResult::error(507, Quota::tooManyEntries(ctx));
    const qint64 id = insertEntry(ctx, space, parentId, name, false, declaredMime, size, hash, md5);
    if (id <= 0 || !tx.commit())
        return FileResult::error(500, QStringLiteral("保存文件失败"));
    return FileResult::success(id);
}

FileResult FileTree::addFile(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &rawName,
                             const QString &declaredMime, BlobWriter &content)
{
    const QString name = cleanName(rawName);
    if (!validName(name))
        return FileResult::error(400, QStringLiteral("文件名无效"));
    Transaction tx(ctx.db);
    if (!isLiveFolder(ctx, space, parentId))
        return FileResult::error(404, QStringLiteral("目标文件夹不存在"));
    if (!Quota::fits(ctx, Quota::holder(ctx, space), content.size()))
        return FileResult::error(507, QStringLiteral("存储空间不足"));
    if (!Quota::entriesFit(ctx, Quota::holder(ctx, space), 1))
        return FileResult::error(507, Quota::tooManyEntries(ctx));
    if (!ctx.blobs->adopt(content))
        return FileResult::error(500, QStringLiteral("保存文件失败"));
    const qint64 id = insertEntry(ctx, space, parentId, name, false, declaredMime, content.size(), content.sha256Hex(),
                                  content.md5Hex());
    if (id <= 0 || !tx.commit())
        return FileResult::error(500, QStringLiteral("保存文件失败"));
    return FileResult::success(id);
}

FileResult FileTree::addLinkedFile(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &rawName,
                                   const QString &path, const QString &sha256, const QString &md5, qint64 size,
                                   const QString &uploadId)
{
    const QString name = cleanName(rawName);
    if (!validName(name))
        return FileResult::error(400, QStringLiteral("文件名无效"));
    Transaction tx(ctx.db);
    if (!isLiveFolder(ctx, space, parentId))
        return FileResult::error(404, QStringLiteral("目标文件夹不存在"));
    if (!uploadId.isEmpty()) {
        ctx.db.exec("DELETE FROM upload_chunks WHERE upload_id = ?1", {uploadId});
        ctx.db.exec("DELETE FROM upload_sessions WHERE id = ?1", {uploadId});
    }
    if (!Quota::fits(ctx, Quota::holder(ctx, space), size))
        return FileResult::error(507, QStringLiteral("存储空间不足"));
    if (!Quota::entriesFit(ctx, Quota::holder(ctx, space), 1))
        return FileResult::error(507, Quota::tooManyEntries(ctx));
    if (!ctx.blobs->adoptLinked(path, sha256, size))
        return FileResult::error(500, QStringLiteral("保存文件失败"));
    const qint64 id = insertEntry(ctx, space, parentId, name, false, QString(), size, sha256, md5);
    if (id <= 0 || !tx.commit())
        return FileResult::error(500, QStringLiteral("保存文件失败"));
    return FileResult::success(id);
}

FileResult FileTree::rename(ServerContext &ctx, const FileSpace &space, qint64 id, const QString &name)
{
    const QString clean = cleanName(name);
    if (!validName(clean))
        return FileResult::error(400, QStringLiteral("名称不能为空，且不能包含 / 等特殊字符"));
    Transaction tx(ctx.db);
    const auto entry = findLive(ctx, space, id);
    if (!entry)
        return FileResult::error(404, QStringLiteral("文件不存在"));
    if (entry->name == clean)
        return FileResult::success(id);
    const QString finalName = freeName(ctx, space, entry->parentId, clean, entry->isFolder, id);
    const QString mime = entry->isFolder ? QString() : mimeFor(finalName, entry->mimeType);
    // Only the entry's own row changes: what it holds keeps its rows, readers derive their paths.
    ctx.db.exec("UPDATE files SET name = ?2, mime_type = ?3, category = ?4, updated_at = ?5, seq = ?6 WHERE id = ?1",
                {id, finalName, mime, entry->isFolder ? QString() : categoryFor(finalName, mime), ctx.clock.nowText(),
                 ChangeLog::nextSeq(ctx, space)});
    if (!tx.commit())
        return FileResult::error(500, QStringLiteral("重命名失败"));
    return FileResult::success(id);
}

FileResult FileTree::move(ServerContext &ctx, const FileSpace &space, qint64 id, qint64 targetParentId)
{
    Transaction tx(ctx.db);
    const auto entry = findLive(ctx, space, id);
    if (!entry)
        return FileResult::error(404, QStringLiteral("文件不存在"));
    if (!isLiveFolder(ctx, space, targetParentId))
        return FileResult::error(404, QStringLiteral("目标文件夹不存在"));
    if (entry->parentId == targetParentId)
        return FileResult::success(id);
    // Walk up from the target: meeting the entry means the target lies inside it.
    for (qint64 cursor = targetParentId; cursor != 0;) {
        if (cursor == id)
            return FileResult::error(400, QStringLiteral("不能移动到自身或其子文件夹中"));
        cursor = ctx.db.scalar("SELECT COALESCE(parent_id, 0) FROM files WHERE id = ?1", {cursor}).toLongLong();
    }
    const QString finalName = freeName(ctx, space, targetParentId, entry->name, entry->isFolder, id);
    ctx.db.exec("UPDATE files SET parent_id = ?2, name = ?3, updated_at = ?4 WHERE id = ?1",
                {id, nullableId(targetParentId), finalName, ctx.clock.nowText()});
    // The whole subtree is renumbered: it may have come into a synced folder from outside,
    // where that folder's client never saw what it holds.
    if (!stampSubtree(ctx, space, *entry) || !tx.commit())
        return FileResult::error(500, QStringLiteral("移动失败"));
    return FileResult::success(id);
}

FileResult FileTree::moveToTrash(ServerContext &ctx, const FileSpace &space, qint64 id)
{
    Transaction tx(ctx.db);
    const auto entry = findLive(ctx, space, id);
    if (!entry)
        return FileResult::error(404, QStringLiteral("文件不存在"));
    const QVariant parentName =
        entry->parentId > 0 ? ctx.db.scalar("SELECT name FROM files WHERE id = ?1", {entry->parentId}) : QVariant();
    const std::vector<FileEntry> hidden = subtree(ctx, *entry);
    const qint64 firstSeq = ChangeLog::nextSeq(ctx, space, qint64(hidden.size()));
    for (size_t i = 0; i < hidden.size(); ++i)
        ctx.db.exec("UPDATE files SET trash_root = ?2, seq = ?3 WHERE id = ?1",
                    {hidden[i].id, id, firstSeq + qint64(i)});
    ctx.db.exec("UPDATE files SET trashed_at = ?2, trash_parent_name = ?3 WHERE id = ?1",
                {id, ctx.clock.nowText(), parentName});
    if (!tx.commit())
        return FileResult::error(500, QStringLiteral("删除失败"));
    return FileResult::success(id);
}

FileResult FileTree::replace(ServerContext &ctx, const FileSpace &space, qint64 oldId, qint64 newId, bool removeOld)
{
    Transaction tx(ctx.db);
    const auto old = findLive(ctx, space, oldId);
    if (!old)
        return FileResult::error(404, QStringLiteral("要替换的文件不存在或已被删除"));
    const auto fresh = findLive(ctx, space, newId);
    if (!fresh)
        return FileResult::error(404, QStringLiteral("新版本的文件不存在或已被删除"));
    if (old->isFolder || fresh->isFolder || oldId == newId)
        return FileResult::error(400, QStringLiteral("只能用另一个文件替换文件"));
    const FileResult gone = removeOld ? removeNow(ctx, space, oldId) : moveToTrash(ctx, space, oldId);
    if (!gone.ok())
        return gone;
    // A third entry of that name would be shadowed: refused, and the old file stays.
    if (FolderNames::loadFor(ctx, space, old->parentId, old->name, false, newId).taken(old->name))
        return FileResult::error(409, QStringLiteral("服务器上已有同名项目"));
    const QString mime = mimeFor(old->name, fresh->mimeType);
    ctx.db.exec("UPDATE files SET parent_id = ?2, name = ?3, mime_type = ?4, category = ?5, updated_at = ?6, "
                "seq = ?7 WHERE id = ?1",
                {newId, nullableId(old->parentId), old->name, mime, categoryFor(old->name, mime), ctx.clock.nowText(),
                 ChangeLog::nextSeq(ctx, space)});
    if (!tx.commit())
        return FileResult::error(500, QStringLiteral("替换失败"));
    return FileResult::success(newId);
}

FileResult FileTree::restore(ServerContext &ctx, const FileSpace &space, qint64 id)
{
    Transaction tx(ctx.db);
    const auto entry = find(ctx, space, id);
    if (!entry || entry->trashRoot != id)
        return FileResult::error(404, QStringLiteral("回收站中没有该文件"));
    qint64 target = entry->parentId;
    if (target != 0 && !isLiveFolder(ctx, space, target)) {
        // The folder it came from is gone (or itself deleted): use a folder of that name at the root.
        QString folderName =
            ctx.db.scalar("SELECT trash_parent_name FROM files WHERE id = ?1", {id}).toString().trimmed();
        if (!validName(folderName))
            folderName = QStringLiteral("已恢复的文件");
        const QVariant existing = ctx.db.scalar("SELECT id FROM files WHERE " SPACE " AND parent_id IS NULL "
                                                "AND trash_root IS NULL AND type = 'folder' AND name = ?3",
                                                {space.userId, space.teamId, folderName});
        target = existing.isValid() ? existing.toLongLong()
                                    : insertEntry(ctx, space, 0, folderName, true, QString(), 0, QString(), QString());
        if (target <= 0)
            return FileResult::error(500, QStringLiteral("还原失败"));
    }
    const QString finalName = freeName(ctx, space, target, entry->name, entry->isFolder, id);
    ctx.db.exec("UPDATE files SET trash_root = NULL WHERE trash_root = ?1", {id});
    ctx.db.exec("UPDATE files SET trashed_at = NULL, trash_parent_name = NULL, parent_id = ?2, name = ?3 "
                "WHERE id = ?1",
                {id, nullableId(target), finalName});
    const auto restored = findLive(ctx, space, id);
    if (!restored || !stampSubtree(ctx, space, *restored) || !tx.commit())
        return FileResult::error(500, QStringLiteral("还原失败"));
    return FileResult::success(id);
}

FileResult FileTree::deleteForever(ServerContext &ctx, const FileSpace &space, qint64 id)
{
    Transaction tx(ctx.db);
    const auto entry = find(ctx, space, id);
    if (!entry || entry->trashRoot != id)
        return FileResult::error(404, QStringLiteral("回收站中没有该文件"));
    const auto rows = ctx.db.query("SELECT id, COALESCE(blob_hash, '') FROM files WHERE trash_root = ?1", {id});
    if (!deleteRows(ctx, tx, rows, &space) || !tx.commit())
        return FileResult::error(500, QStringLiteral("删除失败"));
    return FileResult::success(id);
}

FileResult FileTree::removeNow(ServerContext &ctx, const FileSpace &space, qint64 id)
{
    Transaction tx(ctx.db);
    const auto entry = findLive(ctx, space, id);
    if (!entry)
        return FileResult::error(404, QStringLiteral("文件不存在"));
    Database::Rows rows;
    for (const FileEntry &e : subtree(ctx, *entry))
        rows.push_back({e.id, e.blobHash});
    if (!deleteRows(ctx, tx, rows, &space) || !tx.commit())
        return FileResult::error(500, QStringLiteral("删除失败"));
    return FileResult::success(id);
}

QString FileTree::readableContent(ServerContext &ctx, qint64 userId, const QString &md5, qint64 size)
{
    const auto rows = ctx.db.query("SELECT owner_id, COALESCE(team_id, 0), blob_hash FROM files "
                                   "WHERE md5 = ?1 AND size = ?2 AND type = 'file' AND blob_hash IS NOT NULL",
                                   {md5, size});
    for (const auto &row : rows) {
        const qint64 teamId = row.value(1).toLongLong();
        const bool readable =
            teamId == 0 ? row.value(0).toLongLong() == userId : TeamStore::role(ctx, teamId, userId).has_value();
        const QString hash = row.value(2).toString();
        if (readable && ctx.blobs->holds(hash, size))
            return hash;
    }
    return {};
}

qint64 FileTree::personalBytes(ServerContext &ctx, qint64 userId)
{
    return ctx.db
        .scalar("SELECT COALESCE(SUM(size), 0) FROM files WHERE owner_id = ?1 AND team_id IS NULL "
                "AND type <> 'folder'",
                {userId})
        .toLongLong();
}

qint64 FileTree::teamBytes(ServerContext &ctx, qint64 teamId)
{
    return ctx.db.scalar("SELECT COALESCE(SUM(size), 0) FROM files WHERE team_id = ?1 AND type <> 'folder'", {teamId})
        .toLongLong();
}

std::optional<qint64> FileTree::teamOfEntry(ServerContext &ctx, qint64 id)
{
    const QVariant team = ctx.db.scalar("SELECT team_id FROM files WHERE id = ?1 AND team_id IS NOT NULL", {id});
    if (!team.isValid())
        return std::nullopt;
    return team.toLongLong();
}

bool FileTree::removeTeamEntries(ServerContext &ctx, Transaction &tx, qint64 teamId)
{
    return deleteRows(
        ctx, tx, ctx.db.query("SELECT id, COALESCE(blob_hash, '') FROM files WHERE team_id = ?1", {teamId}), nullptr);
}

bool FileTree::removeHidden(ServerContext &ctx, qint64 marker)
{
    Transaction tx(ctx.db);
    const auto rows = ctx.db.query("SELECT id, COALESCE(blob_hash, '') FROM files WHERE trash_root = ?1", {marker});
    return deleteRows(ctx, tx, rows, nullptr) && tx.commit();
}

int FileTree::purgeExpiredTrash(ServerContext &ctx)
{
    const QString cutoff = Clock::format(ctx.clock.now().addSecs(-TrashKeepSecs));
    const auto roots = ctx.db.query("SELECT id, owner_id, COALESCE(team_id, 0) FROM files "
                                    "WHERE trash_root = id AND trashed_at < ?1",
                                    {cutoff});
    int purged = 0;
    for (const auto &root : roots) {
        const FileSpace space{root.value(1).toLongLong(), root.value(2).toLongLong()};
        if (deleteForever(ctx, space, root.value(0).toLongLong()).ok())
            ++purged;
    }
    return purged;
}

} // namespace tvr::server
