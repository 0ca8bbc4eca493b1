#pragma once

#include <QByteArray>
#include <archive.h>
#include <archive_entry.h>
#include <vector>

// A zip archive of one file, built in memory, for the server's archive tests and benchmarks.
// Header-only: only targets that link the server's library (and so libarchive) include it.
inline QByteArray zipOf(const QByteArray &name, const QByteArray &content, bool deflate)
{
    QByteArray out(int(content.size() + 64 * 1024), '\0');
    size_t used = 0;
    struct archive *zip = archive_write_new();
    archive_write_set_format_zip(zip);
    archive_write_set_format_option(zip, "zip", "compression", deflate ? "deflate" : "store");
    archive_write_open_memory(zip, out.data(), size_t(out.size()), &used);
    struct archive_entry *entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.constData());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, content.size());
    archive_write_header(zip, entry);
    archive_write_data(zip, content.constData(), size_t(content.size()));
    archive_entry_free(entry);
    archive_write_close(zip);
    archive_write_free(zip);
    out.truncate(qsizetype(used));
    return out;
}

struct ArchiveEntry
{
    QByteArray name;
    QByteArray content;
};

// An archive of many files built in memory: a zip (stored) or a tar, with `gzipLayers` layers
// of gzip on top (a .tar.gz has one).
inline QByteArray archiveOf(const std::vector<ArchiveEntry> &entries, bool tar = false, int gzipLayers = 0)
{
    qsizetype room = 64 * 1024;
    for (const ArchiveEntry &e : entries)
        room += e.name.size() * 2 + e.content.size() + 1024;
    QByteArray out(room, '\0');
    size_t used = 0;
    struct archive *writer = archive_write_new();
    if (tar)
        archive_write_set_format_pax_restricted(writer);
    else
        archive_write_set_format_zip(writer);
    for (int i = 0; i < gzipLayers; ++i)
        archive_write_add_filter_gzip(writer);
    archive_write_open_memory(writer, out.data(), size_t(out.size()), &used);
    for (const ArchiveEntry &e : entries) {
        struct archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.constData());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, e.content.size());
        archive_write_header(writer, entry);
        archive_write_data(writer, e.content.constData(), size_t(e.content.size()));
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    out.truncate(qsizetype(used));
    return out;
}
