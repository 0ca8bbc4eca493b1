#include "files/archiveextractor.h"

#include "core/servercontext.h"
#include "files/blobwriter.h"
#include "files/filetree.h"
#include "files/quota.h"
#include "storage/transaction.h"

#include <QStringDecoder>
#include <archive.h>
#include <archive_entry.h>
#include <map>
#include <memory>
#include <vector>

namespace tvr::server {

namespace {

using ArchivePtr = std::unique_ptr<struct archive, decltype(&archive_read_free)>;

ArchivePtr openArchive(const QString &path)
{
    ArchivePtr reader(archive_read_new(), archive_read_free);
    archive_read_support_filter_all(reader.get());
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
    const QString path = ctx.blobs.pathFor(archiveEntry.blobHash);
    const FileResult broken = FileResult::error(400, QStringLiteral("压缩包已损坏或格式不受支持"));

    // First pass: every name must be safe before anything is written.
    {
        ArchivePtr reader = openArchive(path);
        if (!reader)
            return broken;
        struct archive_entry *entry = nullptr;
        int count = 0;
        int rc;
        while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
            const QString name = entryName(entry);
            if (!safeComponents(name))
                return FileResult::error(400, QStringLiteral("压缩包中含有不安全的路径：%1").arg(name));
            if (++count > MaxEntries)
                return FileResult::error(400, QStringLiteral("压缩包中的文件过多"));
        }
        if (rc != ARCHIVE_EOF)
            return broken;
    }

    // Second pass: stream each file into a temporary file, within the room left (held for this
    // extract, so parallel writes of the account cannot use it twice; a bomb stops there).
    const qint64 holder = Quota::holder(ctx, space);
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
            const QStringList components = *safeComponents(entryName(entry));
            if (components.isEmpty())
                continue;
            const auto type = archive_entry_filetype(entry);
            if (type == AE_IFDIR) {
                items.push_back({components, true, nullptr});
                continue;
            }
            if (type != AE_IFREG)
                continue; // links, devices and the like are not files of the tree
            if (archive_entry_is_encrypted(entry))
                return FileResult::error(400, QStringLiteral("压缩包已加密，无法解压"));
            auto writer = ctx.blobs.createWriter();
            if (!writer)
                return FileResult::error(500, QStringLiteral("服务器存储失败，请稍后重试"));
            for (;;) {
                const la_ssize_t n = archive_read_data(reader.get(), buffer.data(), buffer.size());
                if (n == 0)
                    break;
                if (n < 0)
                    return broken;
                written += n;
                if (!room.ensure(written))
                    return FileResult::error(507, QStringLiteral("存储空间不足，无法解压"));
                if (!writer->write(buffer.data(), size_t(n)))
                    return FileResult::error(500, QStringLiteral("服务器存储失败，请稍后重试"));
            }
            if (!writer->finish())
                return FileResult::error(500, QStringLiteral("服务器存储失败，请稍后重试"));
            items.push_back({components, false, std::move(writer)});
        }
        if (rc != ARCHIVE_EOF)
            return broken;
    }
    if (items.empty())
        return FileResult::error(400, QStringLiteral("压缩包是空的"));

    // Record everything in one transaction: folders are created on first use, names that
    // clash with what is already there get a suffix.
    Transaction tx(ctx.db);
    room.release();
    if (!Quota::fits(ctx, holder, written))
        return FileResult::error(507, QStringLiteral("存储空间不足，无法解压"));
    const auto target =
        targetFolderId == 0 ? std::optional<FileEntry>(FileEntry{}) : FileTree::findLive(ctx, space, targetFolderId);
    if (!target || (targetFolderId != 0 && !target->isFolder))
        return FileResult::error(404, QStringLiteral("目标文件夹不存在"));
    std::map<QString, qint64> folders; // archive folder path -> id
    auto folderFor = [&](const QStringList &parts, int depth) -> qint64 {
        qint64 parent = targetFolderId;
        QString key;
        for (int i = 0; i < depth; ++i) {
            key += QLatin1Char('/') + parts.at(i);
            auto it = folders.find(key);
            if (it == folders.end()) {
                const qint64 id =
                    FileTree::insertEntry(ctx, space, parent, parts.at(i), true, QString(), 0, QString(), QString());
                if (id <= 0)
                    return 0;
                it = folders.emplace(key, id).first;
            }
            parent = it->second;
        }
        return parent;
    };
    for (Extracted &item : items) {
        const int depth = int(item.components.size()) - (item.isFolder ? 0 : 1);
        const qint64 parent = folderFor(item.components, depth);
        if (depth > 0 && parent <= 0)
            return FileResult::error(500, QStringLiteral("解压失败"));
        if (item.isFolder)
            continue;
        if (!ctx.blobs.adopt(*item.content))
            return FileResult::error(500, QStringLiteral("服务器存储失败，请稍后重试"));
        const qint64 id =
            FileTree::insertEntry(ctx, space, parent, item.components.last(), false, QString(), item.content->size(),
                                  item.content->sha256Hex(), item.content->md5Hex());
        if (id <= 0)
            return FileResult::error(500, QStringLiteral("解压失败"));
    }
    if (!tx.commit())
        return FileResult::error(500, QStringLiteral("解压失败"));
    return FileResult::success(targetFolderId);
}

} // namespace tvr::server
