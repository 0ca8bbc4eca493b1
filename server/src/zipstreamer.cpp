#include "zipstreamer.h"

#include "filetree.h"
#include "servercontext.h"

#include <QDateTime>
#include <QSet>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <fcntl.h>
#include <httplib.h>
#include <map>
#include <memory>
#include <unistd.h>

namespace tvr::server {

namespace {

QString uniqueTopName(QSet<QString> &taken, const QString &name, bool isFolder)
{
    QString candidate = name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const bool split = !isFolder && dot > 0;
    for (int n = 1; taken.contains(candidate.toLower()); ++n) {
        candidate = split ? QStringLiteral("%1 (%2)%3").arg(name.left(dot)).arg(n).arg(name.mid(dot))
                          : QStringLiteral("%1 (%2)").arg(name).arg(n);
    }
    taken.insert(candidate.toLower());
    return candidate;
}

la_ssize_t writeToSink(struct archive *, void *clientData, const void *buffer, size_t length)
{
    auto *sink = static_cast<httplib::DataSink *>(clientData);
    if (!sink->write(static_cast<const char *>(buffer), length))
        return -1;
    return la_ssize_t(length);
}

bool alreadyCompressed(const FileEntry &entry)
{
    if (entry.category == QLatin1String("image") || entry.category == QLatin1String("video") ||
        entry.category == QLatin1String("audio"))
        return true;
    const QString mime = entry.mimeType;
    return mime.contains(QLatin1String("zip")) || mime.contains(QLatin1String("rar")) ||
           mime.contains(QLatin1String("7z")) || mime.contains(QLatin1String("compressed"));
}

} // namespace

std::vector<ZipStreamer::Item> ZipStreamer::plan(ServerContext &ctx, const std::vector<FileEntry> &selection)
{
    std::vector<Item> items;
    QSet<QString> taken;
    for (const FileEntry &top : selection) {
        const QString topName = uniqueTopName(taken, top.name, top.isFolder);
        std::map<qint64, QString> folderPaths;
        for (const FileEntry &e : FileTree::subtree(ctx, top)) {
            const QString path = e.id == top.id ? topName : folderPaths[e.parentId] + QLatin1Char('/') + e.name;
            if (e.isFolder)
                folderPaths[e.id] = path;
            items.push_back({path, e});
        }
    }
    return items;
}

bool ZipStreamer::write(ServerContext &ctx, const std::vector<Item> &items, httplib::DataSink &sink)
{
    std::unique_ptr<struct archive, decltype(&archive_write_free)> zip(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(zip.get());
    archive_write_set_options(zip.get(), "zip:hdrcharset=UTF-8");
    // The method is fixed for the whole archive once it is open: deflate when most of the bytes
    // would shrink, otherwise store (pictures, video and archives do not compress).
    qint64 compressible = 0;
    qint64 total = 0;
    for (const Item &item : items) {
        total += item.entry.size;
        if (!item.entry.isFolder && !alreadyCompressed(item.entry))
            compressible += item.entry.size;
    }
    archive_write_set_format_option(zip.get(), "zip", "compression", compressible * 2 >= total ? "deflate" : "store");
    archive_write_set_bytes_per_block(zip.get(), 64 * 1024);
    archive_write_set_bytes_in_last_block(zip.get(), 1);
    if (archive_write_open2(zip.get(), &sink, nullptr, writeToSink, nullptr, nullptr) != ARCHIVE_OK)
        return false;

    std::vector<char> buffer(256 * 1024);
    for (const Item &item : items) {
        std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)> header(archive_entry_new(),
                                                                                    archive_entry_free);
        const QByteArray path = (item.entry.isFolder ? item.path + QLatin1Char('/') : item.path).toUtf8();
        archive_entry_set_pathname_utf8(header.get(), path.constData());
        archive_entry_set_mtime(header.get(),
                                QDateTime::fromString(item.entry.updatedAt, Qt::ISODate).toSecsSinceEpoch(), 0);
        if (item.entry.isFolder) {
            archive_entry_set_filetype(header.get(), AE_IFDIR);
            archive_entry_set_perm(header.get(), 0755);
            archive_entry_set_size(header.get(), 0);
            if (archive_write_header(zip.get(), header.get()) != ARCHIVE_OK)
                return archive_write_fail(zip.get()), false;
            continue;
        }
        const int fd = ::open(ctx.blobs.pathFor(item.entry.blobHash).toUtf8().constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return archive_write_fail(zip.get()), false;
        archive_entry_set_filetype(header.get(), AE_IFREG);
        archive_entry_set_perm(header.get(), 0644);
        archive_entry_set_size(header.get(), item.entry.size);
        bool ok = archive_write_header(zip.get(), header.get()) == ARCHIVE_OK;
        qint64 left = item.entry.size;
        while (ok && left > 0) {
            const ssize_t n = ::read(fd, buffer.data(), size_t(qMin<qint64>(left, qint64(buffer.size()))));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || archive_write_data(zip.get(), buffer.data(), size_t(n)) != n)
                ok = false;
            else
                left -= n;
        }
        ::close(fd);
        if (!ok)
            return archive_write_fail(zip.get()), false;
    }
    return archive_write_close(zip.get()) == ARCHIVE_OK;
}

} // namespace tvr::server
