#pragma once

#include "fileentry.h"

#include <QString>
#include <vector>

namespace httplib {
class DataSink;
}

namespace tvr::server {

struct ServerContext;

// Writes a zip archive of stored entries straight into an HTTP response (chunked), one slice
// at a time, with libarchive. Folders become directory entries; the archive is deflated when
// most of its bytes compress and stored otherwise (pictures, video and archives do not).
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
    // False when the client went away or a stored content could not be read.
    static bool write(ServerContext &ctx, const std::vector<Item> &items, httplib::DataSink &sink);
};

} // namespace tvr::server
