#pragma once

#include "files/fileentry.h"
#include "files/fileresult.h"
#include "files/filespace.h"

#include <QJsonArray>
#include <QString>
#include <optional>
#include <vector>

namespace tvr::server {

class ChunkedText;

class BlobWriter;
class Transaction;
struct ServerContext;

// The file tree of every space: one table "files" for personal and team spaces. Entries move
// to the trash as a whole subtree (each hidden row remembers the deleted entry in trash_root)
// and come back the same way. Every change that touches several rows runs in one transaction.
class FileTree final
{
public:
    static constexpr qint64 TrashKeepSecs = 7LL * 24 * 3600;
    static constexpr int MaxNameLength = 255;

    // Any entry of the space (live or in the trash).
    static std::optional<FileEntry> find(ServerContext &ctx, const FileSpace &space, qint64 id);
    // A live entry (not in the trash).
    static std::optional<FileEntry> findLive(ServerContext &ctx, const FileSpace &space, qint64 id);

    // Listing: without a category, the folder's children (folders first, by name; then files,
    // newest first). With a category at the root: every live file of that category in the
    // space, newest first; inside a folder: its folders, then its files of that category.
    static QJsonArray list(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &category);
    // The same listing as compact JSON text appended to out, written straight from the rows.
    static void appendListText(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &category,
                               ChunkedText &out);
    // The statements of a folder's listing (its folders; its files; its files of a category), with
    // ?1 the space (team id, or minus the user's id), ?2 the folder (0 for the root), ?3 the
    // category. Each is answered from one index alone; here so that their plans can be checked.
    static std::vector<const char *> folderListingStatements();
    // Live entries whose name contains the keyword (case-insensitive), folders first.
    static QJsonArray search(ServerContext &ctx, const FileSpace &space, const QString &keyword);
    // Every live folder: id, parent_id, name.
    static QJsonArray folders(ServerContext &ctx, const FileSpace &space);
    // The deleted entries (one per delete), most recently deleted first, with trash_time.
    static QJsonArray trashList(ServerContext &ctx, const FileSpace &space);
    // The entry and its live descendants, parents before children.
    static std::vector<FileEntry> subtree(ServerContext &ctx, const FileEntry &root);

    static FileResult createFolder(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name);
    // Stores a finished upload as a new file (the name gets a suffix on a clash).
    static FileResult addFile(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name,
                              const QString &declaredMime, BlobWriter &content);
    // Stores a finished file that stays where it is (linked into the blob store), e.g. the one
    // file of a chunked upload, whose digests are already known. The upload session given (if
    // any) ends in the same transaction, so the room it held is the room the file takes.
    static FileResult addLinkedFile(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name,
                                    const QString &path, const QString &sha256, const QString &md5, qint64 size,
                                    const QString &uploadId = QString());
    // A new file for content already stored (instant upload).
    static FileResult addFileFromBlob(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name,
                                      const QString &declaredMime, const QString &hash, const QString &md5,
                                      qint64 size);
    static FileResult rename(ServerContext &ctx, const FileSpace &space, qint64 id, const QString &name);
    static FileResult move(ServerContext &ctx, const FileSpace &space, qint64 id, qint64 targetParentId);
    static FileResult moveToTrash(ServerContext &ctx, const FileSpace &space, qint64 id);
    // One step for a new version of a file: the old file goes as a delete takes it (into the trash,
    // or for good with removeOld) and the new one takes its name and folder, in one transaction.
    // The result's id is the new file's.
    static FileResult replace(ServerContext &ctx, const FileSpace &space, qint64 oldId, qint64 newId, bool removeOld);
    // Back to the folder it was deleted from; when that folder is gone, into a folder of the
    // same name at the root (created when needed).
    static FileResult restore(ServerContext &ctx, const FileSpace &space, qint64 id);
    // Removes a deleted entry (and what it hid) for good.
    static FileResult deleteForever(ServerContext &ctx, const FileSpace &space, qint64 id);
    // Removes a live entry and its subtree for good, bypassing the trash (team spaces).
    static FileResult removeNow(ServerContext &ctx, const FileSpace &space, qint64 id);
    // The stored content with this MD5 and size among the files the user can already read (its
    // own, the trash included, and those of its teams); empty when there is none. Instant
    // uploads use it, so a digest alone never gives anyone else's bytes.
    static QString readableContent(ServerContext &ctx, qint64 userId, const QString &md5, qint64 size);
    // Bytes of the user's personal files, the trash included.
    static qint64 personalBytes(ServerContext &ctx, qint64 userId);
    // Bytes of a team's files.
    static qint64 teamBytes(ServerContext &ctx, qint64 teamId);
    // The team a file belongs to; nothing for a personal file or no such file.
    static std::optional<qint64> teamOfEntry(ServerContext &ctx, qint64 id);
    // Inside the caller's transaction: removes every entry of a team for good.
    static bool removeTeamEntries(ServerContext &ctx, Transaction &tx, qint64 teamId);
    // Removes the rows hidden under a marker (see insertRow) for good.
    static bool removeHidden(ServerContext &ctx, qint64 marker);
    // Removes every trash entry deleted more than TrashKeepSecs ago; returns how many.
    static int purgeExpiredTrash(ServerContext &ctx);

    // Inside the caller's transaction: a new row with a free name; the blob reference is added
    // for files. Returns the new id, or 0 on a database error.
    static qint64 insertEntry(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name,
                              bool isFolder, const QString &mimeType, qint64 size, const QString &hash,
                              const QString &md5);
    // Inside the caller's transaction: a new row with the name given (already free), its media
    // type decided; `hiddenUnder` (negative) keeps it out of every listing until it is cleared.
    static qint64 insertRow(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &finalName,
                            bool isFolder, const QString &mime, qint64 size, const QString &hash, const QString &md5,
                            qint64 hiddenUnder = 0);
    // The name itself when free in the folder, else "name (1).ext", "name (2).ext", ...
    static QString freeName(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name,
                            bool isFolder, qint64 ignoreId = 0);

    // A usable entry name: not empty, not "." or "..", no "/", "\\", control characters or
    // characters that disguise the name (Names).
    static bool validName(const QString &name);
    // How a name from a client is stored: trimmed, in NFC.
    static QString cleanName(const QString &name);
    static QString mimeFor(const QString &name, const QString &declared);
    // "image", "video", "document", "audio" or "other".
    static QString categoryFor(const QString &name, const QString &mimeType);
};

} // namespace tvr::server
