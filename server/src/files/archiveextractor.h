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
// component refuses the whole archive. Contents are streamed to temporary files and recorded
// in one transaction, so the result is all of the archive or nothing.
class ArchiveExtractor final
{
public:
    static constexpr int MaxEntries = 20000;

    static FileResult extract(ServerContext &ctx, const FileSpace &space, const FileEntry &archive,
                              qint64 targetFolderId);

    // True for names and media types of archives this server unpacks.
    static bool isArchive(const FileEntry &entry);
    // The folder components of an entry name, or nothing when the name is unsafe.
    // "a/./b//c" gives [a, b, c]; "/etc/x", "C:/x", "a/../../x" give nothing.
    static std::optional<QStringList> safeComponents(const QString &name);
    // Entry names as UTF-8, or (old Windows zips) GB18030, or Latin-1 as a last resort.
    static QString decodeName(const QByteArray &raw);
};

} // namespace tvr::server
