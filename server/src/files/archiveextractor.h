#pragma once

#include "files/fileentry.h"
#include "files/fileresult.h"
#include "files/filespace.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace tvr::server {

struct ServerContext;

// Unpacks a stored archive (zip, rar, 7z, tar...) into a folder of the same space. Every entry
// name is checked before anything is written: an absolute path, a drive letter or a ".."
// component refuses the whole archive, and so do too many entries, too deep folders, more than
// one layer of compression or contents larger than the room left, the byte budget or the time
// budget allow. Contents are streamed to temporary files; the rows are built outside the
// database lock and recorded in short batches that stay hidden until one last step shows them
// all, so the result is all of the archive or nothing (what a crash leaves hidden is removed
// by purgeAbandoned) and nobody else waits for the database while an archive is recorded.
class ArchiveExtractor final
{
public:
    static constexpr int MaxEntries = 20000;
    static constexpr int MaxDepth = 64;
    // Unpacked bytes allowed per byte of archive, beyond the first RatioFreeBytes: text and
    // office files shrink by far less, bombs by far more.
    static constexpr qint64 MaxRatio = 200;
    static constexpr qint64 RatioFreeBytes = 64LL * 1024 * 1024;
    static constexpr int MaxSeconds = 120;
    // Rows recorded per transaction at most, and the time one batch may hold the database.
    static constexpr int BatchRows = 500;
    static constexpr qint64 BatchMs = 50;

    static FileResult extract(ServerContext &ctx, const FileSpace &space, const FileEntry &archive,
                              qint64 targetFolderId);
    // Removes the rows of extracts that did not finish (a crash), with their blob references.
    static void purgeAbandoned(ServerContext &ctx);

    // True for names and media types of archives this server unpacks.
    static bool isArchive(const FileEntry &entry);
    // The folder components of an entry name, or nothing when the name is unsafe.
    // "a/./b//c" gives [a, b, c]; "/etc/x", "C:/x", "a/../../x" give nothing.
    static std::optional<QStringList> safeComponents(const QString &name);
    // Entry names as UTF-8, or (old Windows zips) GB18030, or Latin-1 as a last resort.
    static QString decodeName(const QByteArray &raw);
};

} // namespace tvr::server
