#include "http/filedownload.h"

#include "http/envelope.h"
#include "http/rangeheader.h"

#include <QUrl>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvr::server {

QString FileDownload::contentDisposition(const QString &fileName)
{
    QString ascii;
    for (const QChar c : fileName)
        ascii += (c.unicode() >= 0x20 && c.unicode() < 0x7f && c != QLatin1Char('"') && c != QLatin1Char('\\'))
                     ? c
                     : QLatin1Char('_');
    return QStringLiteral("attachment; filename=\"%1\"; filename*=UTF-8''%2")
        .arg(ascii, QString::fromLatin1(QUrl::toPercentEncoding(fileName)));
}

void FileDownload::serve(const http::Request &req, http::Response &res, const QString &path, const QString &fileName,
                         const QString &mimeType, const QString &etag)
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
    const qint64 total = info.st_size;
    RangeHeader range = RangeHeader::parse(QByteArray::fromStdString(req.header("Range")), total);
    // A part is served only of the version the client already holds part of: an If-Range that is
    // not the current ETag (a date included, which is never exact enough) asks for the whole file.
    const std::string ifRange = req.header("If-Range");
    if (!ifRange.empty() && ifRange != ("\"" + etag + "\"").toStdString())
        range = RangeHeader();

    res.setHeader("Accept-Ranges", "bytes");
    res.setHeader("ETag", ("\"" + etag + "\"").toStdString());
    res.setHeader("Content-Disposition", contentDisposition(fileName).toStdString());
    const std::string type = (mimeType.isEmpty() ? QStringLiteral("application/octet-stream") : mimeType).toStdString();

    if (range.kind == RangeHeader::Kind::Unsatisfiable) {
        ::close(fd);
        res.status = 416;
        res.setHeader("Content-Range", range.contentRange(total).toStdString());
        return;
    }
    if (range.kind == RangeHeader::Kind::Partial) {
        res.status = 206;
        res.setHeader("Content-Range", range.contentRange(total).toStdString());
        res.setFile(fd, range.first, range.length(), type);
    } else {
        res.status = 200;
        res.setFile(fd, 0, total, type);
    }
}

} // namespace tvr::server
