#include "http/rangeheader.h"

namespace tvr::server {

namespace {

bool parseNumber(const QByteArray &text, qint64 *value)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok;
}

} // namespace

QByteArray RangeHeader::contentRange(qint64 total) const
{
    if (kind == Kind::Partial)
        return "bytes " + QByteArray::number(first) + '-' + QByteArray::number(last) + '/' + QByteArray::number(total);
    return "bytes */" + QByteArray::number(total);
}

RangeHeader RangeHeader::parse(const QByteArray &header, qint64 total)
{
    RangeHeader range;
    const QByteArray value = header.trimmed();
    // The unit is case-insensitive; any other unit is ignored (the whole content is served).
    if (!value.toLower().startsWith("bytes="))
        return range;
    const QByteArray spec = value.mid(6).trimmed();
    if (spec.contains(','))
        return range;
    const int dash = spec.indexOf('-');
    if (dash < 0)
        return range;
    const QByteArray from = spec.left(dash).trimmed();
    const QByteArray to = spec.mid(dash + 1).trimmed();

    qint64 first = 0;
    qint64 last = 0;
    if (from.isEmpty()) {
        // "bytes=-N": the last N bytes.
        qint64 suffix = 0;
        if (!parseNumber(to, &suffix))
            return range;
        if (suffix == 0 || total == 0) {
            range.kind = Kind::Unsatisfiable;
            return range;
        }
        first = qMax<qint64>(0, total - suffix);
        last = total - 1;
    } else {
        if (!parseNumber(from, &first))
            return range;
        if (to.isEmpty()) {
            last = total - 1;
        } else {
            if (!parseNumber(to, &last) || last < first)
                return range;
            last = qMin(last, total - 1);
        }
        if (first >= total) {
            range.kind = Kind::Unsatisfiable;
            return range;
        }
    }
    range.kind = Kind::Partial;
    range.first = first;
    range.last = last;
    return range;
}

} // namespace tvr::server
