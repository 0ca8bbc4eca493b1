#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace tvr::server {

// A "Range: bytes=..." request header checked against the size of what is served.
// Only one range is honoured; a header with several ranges, another unit or bad syntax is
// ignored (the whole content is served), as HTTP allows.
struct RangeHeader
{
    enum class Kind {
        None,          // no usable Range: answer 200 with everything
        Partial,       // answer 206 with first..last
        Unsatisfiable, // answer 416 with "Content-Range: bytes */total"
    };

    Kind kind = Kind::None;
    qint64 first = 0;
    qint64 last = -1; // inclusive

    qint64 length() const { return last - first + 1; }
    QByteArray contentRange(qint64 total) const;

    static RangeHeader parse(const QByteArray &header, qint64 total);
};

} // namespace tvr::server
