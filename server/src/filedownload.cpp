#include "filedownload.h"

#include "envelope.h"

#include <QUrl>
#include <cerrno>
#include <fcntl.h>
#include <httplib.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tvr::server {

namespace {

struct ByteRange
{
    enum Kind { Whole, Partial, Unsatisfiable } kind = Whole;
    qint64 first = 0;
    qint64 last = -1;
};

// One range in the form the library parsed ("bytes=N-", "bytes=N-M", "bytes=-N"); several
// ranges are served as the whole content, which HTTP allows.
ByteRange pickRange(const httplib::Ranges &ranges, qint64 total)
{
    ByteRange out;
    if (ranges.size() != 1)
        return out;
    const qint64 a = ranges.front().first;
    const qint64 b = ranges.front().second;
    if (a < 0) { // suffix: the last b bytes
        if (b <= 0 || total == 0)
            return {ByteRange::Unsatisfiable};
        return {ByteRange::Partial, qMax<qint64>(0, total - b), total - 1};
    }
    if (a >= total || (b >= 0 && b < a))
        return {ByteRange::Unsatisfiable};
    return {ByteRange::Partial, a, b < 0 ? total - 1 : qMin(b, total - 1)};
}

QString contentDisposition(const QString &fileName)
{
    QString ascii;
    for (const QChar c : fileName)
        ascii += (c.unicode() >= 0x20 && c.unicode() < 0x7f && c != QLatin1Char('"') && c != QLatin1Char('\\'))
                     ? c
                     : QLatin1Char('_');
    return QStringLiteral("attachment; filename=\"%1\"; filename*=UTF-8''%2")
        .arg(ascii, QString::fromLatin1(QUrl::toPercentEncoding(fileName)));
}

} // namespace

void FileDownload::serve(const httplib::Request &req, httplib::Response &res, const QString &path,
                         const QString &fileName, const QString &mimeType, const QString &etag)
{
    const int fd = ::open(path.toUtf8().constData(), O_RDONLY | O_CLOEXEC);
    struct stat info
    {
    };
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0)
            ::close(fd);
        return fail(res, 404, QStringLiteral("文件内容不存在"));
    }
    auto file = std::shared_ptr<int>(new int(fd), [](int *p) {
        ::close(*p);
        delete p;
    });
    const qint64 total = info.st_size;
    ByteRange range = pickRange(req.ranges, total);
    // A part is served only of the version the client already holds part of: an If-Range that is
    // not the current ETag (a date included, which is never exact enough) asks for the whole file.
    const std::string ifRange = req.get_header_value("If-Range");
    if (!ifRange.empty() && ifRange != ("\"" + etag + "\"").toStdString())
        range = ByteRange();

    // The library would apply the Range header itself and gets ranges past the end wrong
    // (206 with a bogus length). The request object belongs to the connection loop and is not
    // really const: take the range over here so the library sends the body as given.
    const_cast<httplib::Request &>(req).ranges.clear();

    res.set_header("Accept-Ranges", "bytes");
    res.set_header("ETag", ("\"" + etag + "\"").toStdString());
    res.set_header("Content-Disposition", contentDisposition(fileName).toStdString());
    const std::string type = (mimeType.isEmpty() ? QStringLiteral("application/octet-stream") : mimeType).toStdString();

    if (range.kind == ByteRange::Unsatisfiable) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(total));
        return;
    }
    qint64 first = 0;
    qint64 length = total;
    if (range.kind == ByteRange::Partial) {
        first = range.first;
        length = range.last - range.first + 1;
        res.status = 206;
        res.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) +
                                            "/" + std::to_string(total));
    } else {
        res.status = 200;
    }
    if (length == 0) {
        res.set_content("", type);
        return;
    }
    auto buffer = std::make_shared<std::vector<char>>(SliceBytes);
    res.set_content_provider(size_t(length), type,
                             [file, buffer, first](size_t offset, size_t want, httplib::DataSink &sink) {
                                 const size_t n = std::min(want, SliceBytes);
                                 ssize_t got;
                                 do {
                                     got = ::pread(*file, buffer->data(), n, off_t(first + qint64(offset)));
                                 } while (got < 0 && errno == EINTR);
                                 if (got <= 0)
                                     return false; // the file shrank or vanished: cut the connection rather than lie
                                 return sink.write(buffer->data(), size_t(got));
                             });
}

} // namespace tvr::server
