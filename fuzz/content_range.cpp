// Content-Range of ranged downloads and of the installer's segments: a range taken as valid is
// consistent in itself, and the segments of any total a server states cover it exactly.
#include "fuzzcheck.h"

#include "transfer/contentrange.h"
#include "transfer/rangedfetch.h"
#include "update/updatechecker.h"

#include <QByteArray>

TVR_FUZZ_ENTRY
{
    const QByteArray header(reinterpret_cast<const char *>(data), qsizetype(size));
    const ContentRange range = ContentRange::parse(header);
    if (!range.valid)
        return 0;
    TVR_FUZZ_CHECK((range.first < 0) == (range.last < 0));
    TVR_FUZZ_CHECK(range.first <= range.last);
    TVR_FUZZ_CHECK(range.first >= 0 || range.total >= 0);
    TVR_FUZZ_CHECK(range.total < 0 || range.last < range.total);

    if (range.total > UpdateChecker::SegmentThreshold) {
        const QList<RangedFetch::Span> segments = RangedFetch::split(range.total, UpdateChecker::SegmentCount);
        TVR_FUZZ_CHECK(segments.size() == UpdateChecker::SegmentCount);
        qint64 next = 0;
        for (const RangedFetch::Span &segment : segments) {
            TVR_FUZZ_CHECK(segment.start == next);
            TVR_FUZZ_CHECK(segment.length() > 0);
            next = segment.end + 1;
        }
        TVR_FUZZ_CHECK(next == range.total);
    }
    return 0;
}
