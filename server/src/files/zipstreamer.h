#pragma once

#include "files/fileentry.h"

#include <QString>
#include <memory>
#include <string>
#include <vector>

struct archive;

namespace tvr::server {

class BlobStore;
struct ServerContext;

// A zip archive of stored entries, made with libarchive one slice at a time as the answer is
// sent (so neither the archive nor a file is ever held whole). Folders become directory
// entries; the archive is deflated when most of its bytes compress and stored otherwise
// (pictures, video and archives do not).
class ZipStreamer final
{
public:
    struct Item
    {
        QString path; // inside the archive, "/" separated, folders without a trailing "/"
        FileEntry entry;
    };

    // The items for a selection: every entry with its live subtree, top-level names made
    // unique (a second "a.txt" becomes "a (1).txt").
    static std::vector<Item> plan(ServerContext &ctx, const std::vector<FileEntry> &selection);

    ZipStreamer(const BlobStore &blobs, std::vector<Item> items);
    ~ZipStreamer();
    ZipStreamer(const ZipStreamer &) = delete;
    ZipStreamer &operator=(const ZipStreamer &) = delete;

    // Up to `max` next bytes of the archive; 0 at its end, -1 when a stored content cannot be
    // read (the answer must then be cut short, never reported whole).
    qint64 read(char *buffer, size_t max);

private:
    bool step();
    bool start();
    bool nextItem();
    bool copySlice();
    void appendOutput(const void *data, size_t length);
    friend long zipSink(struct archive *, void *, const void *, size_t);

    const BlobStore &m_blobs;
    std::vector<Item> m_items;
    struct archive *m_zip = nullptr;
    size_t m_next = 0;
    int m_fd = -1;
    qint64 m_left = 0;
    std::string m_output;
    size_t m_taken = 0;
    bool m_started = false;
    bool m_finished = false;
    bool m_failed = false;
    std::vector<char> m_buffer;
};

} // namespace tvr::server
