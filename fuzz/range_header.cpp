// The Range header of downloads, read against the size of what is served: a partial answer lies
// within the content, starts no later than it ends, and its Content-Range states exactly that.
#include "fuzzcheck.h"

#include "http/rangeheader.h"

#include <QByteArray>
#include <limits>

using tvr::server::RangeHeader;

namespace {

void check(const QByteArray &header, qint64 total)
{
    const RangeHeader range = RangeHeader::parse(header, total);
    switch (range.kind) {
    case RangeHeader::Kind::None:
        break;
    case RangeHeader::Kind::Partial:
        TVR_FUZZ_CHECK(total > 0);
        TVR_FUZZ_CHECK(range.first >= 0 && range.first <= range.last && range.last < total);
        TVR_FUZZ_CHECK(range.length() > 0 && range.length() <= total);
        TVR_FUZZ_CHECK(range.contentRange(total) == "bytes " + QByteArray::number(range.first) + '-' +
                                                        QByteArray::number(range.last) + '/' +
                                                        QByteArray::number(total));
        break;
    case RangeHeader::Kind::Unsatisfiable:
        TVR_FUZZ_CHECK(range.contentRange(total) == "bytes */" + QByteArray::number(total));
        break;
    }
    // Only "bytes=" ranges count, and surrounding blanks change nothing.
    if (!header.trimmed().toLower().startsWith("bytes="))
        TVR_FUZZ_CHECK(range.kind == RangeHeader::Kind::None);
    const RangeHeader again = RangeHeader::parse(" " + header + "\t", total);
    TVR_FUZZ_CHECK(again.kind == range.kind && again.first == range.first && again.last == range.last);
}

// The first run of digits in the header (saturated), so that totals at the edges of the ranges
// the input names are tried too.
qint64 firstNumber(const QByteArray &header)
{
    qint64 value = -1;
    for (const char c : header) {
        if (c >= '0' && c <= '9') {
            const int digit = c - '0';
            value = value < 0                                                   ? digit
                    : value > (std::numeric_limits<qint64>::max() - digit) / 10 ? std::numeric_limits<qint64>::max()
                                                                                : value * 10 + digit;
        } else if (value >= 0) {
            break;
        }
    }
    return value;
}

} // namespace

TVR_FUZZ_ENTRY
{
    const QByteArray header(reinterpret_cast<const char *>(data), qsizetype(size));
    constexpr qint64 Max = std::numeric_limits<qint64>::max();
    for (const qint64 total : {qint64(0), qint64(1), qint64(2), qint64(7), qint64(4096), qint64(1) << 40, Max})
        check(header, total);
    if (const qint64 number = firstNumber(header); number >= 0) {
        check(header, number);
        if (number < Max)
            check(header, number + 1);
    }
    return 0;
}
