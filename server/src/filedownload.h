#pragma once

#include <QString>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

namespace tvr::server {

// Serves one stored file: 200 with the whole content, or for a single "Range: bytes=..." 206
// with Content-Range, or 416 with "Content-Range: bytes */TOTAL" when the range lies outside.
// The content is streamed from disk in slices; headers carry Content-Length, Content-Type,
// ETag (the content hash), Accept-Ranges and a UTF-8 Content-Disposition.
class FileDownload final
{
public:
    static constexpr size_t SliceBytes = 256 * 1024;

    static void serve(const httplib::Request &req, httplib::Response &res, const QString &path, const QString &fileName,
                      const QString &mimeType, const QString &etag);
};

} // namespace tvr::server
