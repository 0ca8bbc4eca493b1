#pragma once

#include "http/httpmessage.h"

#include <QString>

namespace tvr::server {

// Serves one stored file: 200 with the whole content, or for a single "Range: bytes=..." 206
// with Content-Range, or 416 with "Content-Range: bytes */TOTAL" when the range lies outside.
// A Range of another unit, or of several ranges, is ignored (200). The content goes out
// straight from the file; headers carry Content-Length, Content-Type, ETag (the content hash),
// Accept-Ranges and a UTF-8 Content-Disposition.
class FileDownload final
{
public:
    static void serve(const http::Request &req, http::Response &res, const QString &path, const QString &fileName,
                      const QString &mimeType, const QString &etag);
    // "attachment; filename=..." with an ASCII fallback and the real name in RFC 5987 form.
    static QString contentDisposition(const QString &fileName);
};

} // namespace tvr::server
