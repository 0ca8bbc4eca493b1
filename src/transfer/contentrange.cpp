#include "transfer/contentrange.h"

#include <QRegularExpression>
#include <QString>

ContentRange ContentRange::parse(const QByteArray &header)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*bytes\\s+(?:(\\d+)-(\\d+)|\\*)/(\\d+|\\*)\\s*$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(header));
    ContentRange range;
    if (!match.hasMatch())
        return range;
    bool ok = true;
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
    if (match.hasCaptured(1)) {
        first = match.captured(1).toLongLong(&ok);
        if (!ok)
            return range;
        last = match.captured(2).toLongLong(&ok);
        if (!ok || last < first)
            return range;
    }
    if (match.captured(3) != QLatin1String("*")) {
        total = match.captured(3).toLongLong(&ok);
        if (!ok || (last >= 0 && last >= total))
            return range;
    } else if (first < 0) {
        return range; // "bytes */*" says nothing
    }
    range = {true, first, last, total};
    return range;
}
