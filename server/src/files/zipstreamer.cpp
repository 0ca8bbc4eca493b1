#include "files/zipstreamer.h"

#include "core/servercontext.h"
#include "files/blobstore.h"
#include "files/filetree.h"

#include <QDateTime>
#include <QSet>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace tvr::server {

namespace {

constexpr size_t SliceBytes = 256 * 1024;

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

long zipSink(struct archive *, void *clientData, const void *buffer, size_t length)
{
    static_cast<ZipStreamer *>(clientData)->appendOutput(buffer, length);
    return long(length);
}

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

ZipStreamer::ZipStreamer(const BlobStore &blobs, std::vector<Item> items)
    : m_blobs(blobs)
    , m_items(std::move(items))
    , m_buffer(SliceBytes)
{}

ZipStreamer::~ZipStreamer()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_zip) {
        if (!m_finished)
            archive_write_fail(m_zip);
        archive_write_free(m_zip);
    }
}

void ZipStreamer::appendOutput(const void *data, size_t length)
{
    m_output.append(static_cast<const char *>(data), length);
}

qint64 ZipStreamer::read(char *buffer, size_t max)
{
    while (m_taken == m_output.size() && !m_finished && !m_failed) {
        m_output.clear();
        m_taken = 0;
        if (!step())
            m_failed = true;
    }
    if (m_failed)
        return -1;
    const size_t n = std::min(max, m_output.size() - m_taken);
    std::memcpy(buffer, m_output.data() + m_taken, n);
    m_taken += n;
    return qint64(n);
}

// One unit of work: open the archive, write an entry's header, copy a slice of its content,
// or close the archive.
bool ZipStreamer::step()
{
    if (!m_started)
        return start();
    if (m_fd >= 0)
        return copySlice();
    if (m_next < m_items.size())
        return nextItem();
    m_finished = true;
    return archive_write_close(m_zip) == ARCHIVE_OK;
}

bool ZipStreamer::start()
{
    m_started = true;
    m_zip = archive_write_new();
    archive_write_set_format_zip(m_zip);
    archive_write_set_options(m_zip, "zip:hdrcharset=UTF-8");
    // The method is fixed for the whole archive once it is open: deflate when most of the bytes
    // would shrink, otherwise store (pictures, video and archives do not compress).
    qint64 compressible = 0;
    qint64 total = 0;
    for (const Item &item : m_items) {
        total += item.entry.size;
        if (!item.entry.isFolder && !alreadyCompressed(item.entry))
            compressible += item.entry.size;
    }
    archive_write_set_format_option(m_zip, "zip", "compression", compressible * 2 >= total ? "deflate" : "store");
    archive_write_set_bytes_per_block(m_zip, 64 * 1024);
    archive_write_set_bytes_in_last_block(m_zip, 1);
    return archive_write_open2(m_zip, this, nullptr, zipSink, nullptr, nullptr) == ARCHIVE_OK;
}

bool ZipStreamer::nextItem()
{
    const Item &item = m_items[m_next];
    std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)> header(archive_entry_new(),
                                                                                archive_entry_free);
    const QByteArray path = (item.entry.isFolder ? item.path + QLatin1Char('/') : item.path).toUtf8();
    archive_entry_set_pathname_utf8(header.get(), path.constData());
    archive_entry_set_mtime(header.get(), QDateTime::fromString(item.entry.updatedAt, Qt::ISODate).toSecsSinceEpoch(),
                            0);
    if (item.entry.isFolder) {
        archive_entry_set_filetype(header.get(), AE_IFDIR);
        archive_entry_set_perm(header.get(), 0755);
        archive_entry_set_size(header.get(), 0);
        ++m_next;
        return archive_write_header(m_zip, header.get()) == ARCHIVE_OK;
    }
    m_fd = ::open(m_blobs.pathFor(item.entry.blobHash).toUtf8().constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    m_left = item.entry.size;
    archive_entry_set_filetype(header.get(), AE_IFREG);
    archive_entry_set_perm(header.get(), 0644);
    archive_entry_set_size(header.get(), item.entry.size);
    if (archive_write_header(m_zip, header.get()) != ARCHIVE_OK)
        return false;
    if (m_left == 0) {
        ::close(m_fd);
        m_fd = -1;
        ++m_next;
    }
    return true;
}

bool ZipStreamer::copySlice()
{
    ssize_t n;
    do {
        n = ::read(m_fd, m_buffer.data(), size_t(std::min<qint64>(m_left, qint64(m_buffer.size()))));
    } while (n < 0 && errno == EINTR);
    if (n <= 0 || archive_write_data(m_zip, m_buffer.data(), size_t(n)) != n)
        return false;
    m_left -= n;
    if (m_left == 0) {
        ::close(m_fd);
        m_fd = -1;
        ++m_next;
    }
    return true;
}

} // namespace tvr::server
