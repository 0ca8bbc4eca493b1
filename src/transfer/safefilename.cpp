#include "transfer/safefilename.h"

#include <QRegularExpression>

namespace {
// Leaves room for ".part" and a " (1)" style suffix within the 255-byte name limit of common file systems.
constexpr qsizetype MaxNameBytes = 200;

bool isUnsafeChar(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0))
        return true; // control characters
    if ((u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069))
        return true; // direction overrides that disguise an extension
    return QStringView(u"<>:\"/\\|?*").contains(c);
}

bool isDeviceName(const QString &name)
{
    static const QRegularExpression devices(QStringLiteral("^(con|prn|aux|nul|com[0-9]|lpt[0-9])$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QString stem = name.section(QLatin1Char('.'), 0, 0).trimmed();
    return devices.match(stem).hasMatch();
}

// Windows drops trailing dots and spaces, which would also turn ".." into a parent reference; device
// names are defused.
QString finished(QString name)
{
    while (!name.isEmpty() && (name.back() == QLatin1Char('.') || name.back().isSpace()))
        name.chop(1);
    if (!name.isEmpty() && isDeviceName(name))
        name.prepend(QLatin1Char('_'));
    return name;
}

QString truncated(const QString &name)
{
    if (name.toUtf8().size() <= MaxNameBytes)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot > 0 && name.size() - dot <= 16 ? name.mid(dot) : QString();
    QString stem = name.left(name.size() - extension.size());
    while (!stem.isEmpty() && (stem + extension).toUtf8().size() > MaxNameBytes) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.back().isHighSurrogate())
            stem.chop(1);
    }
    return stem + extension;
}
} // namespace

QString safeFileName(const QString &name, const QString &fallback)
{
    // Only the last path component counts, whichever separator the sender used.
    QString result = name.mid(qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\'))) + 1);
    result.removeIf(isUnsafeChar);
    result = finished(result.trimmed());
    // Shortening may leave a dot or a space at the end, or a device name, again.
    result = finished(truncated(result));
    return result.isEmpty() ? fallback : result;
}
