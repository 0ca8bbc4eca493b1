#include "core/names.h"

#include <QList>

namespace tvr::server {

QString Names::normalized(const QString &name)
{
    return name.trimmed().normalized(QString::NormalizationForm_C);
}

namespace {

// Pictographs that join into one emoji (👨‍👩‍👧, 👩‍💻, 🏳️‍🌈): symbols and dingbats, the
// emoji planes, and their skin tones and hair styles.
bool isEmoji(char32_t u)
{
    return (u >= 0x1F000 && u <= 0x1FAFF) || (u >= 0x2600 && u <= 0x27BF) || (u >= 0x2300 && u <= 0x23FF) ||
           (u >= 0x2B00 && u <= 0x2BFF);
}

bool isVariationSelector(char32_t u)
{
    return u == 0xFE0E || u == 0xFE0F;
}

} // namespace

bool Names::hasDeceptiveCharacters(const QString &name)
{
    const QList<uint> points = name.toUcs4();
    for (qsizetype i = 0; i < points.size(); ++i) {
        const char32_t u = points[i];
        if (u == 0x200D) {
            // A joiner is fine only inside an emoji sequence: an emoji (perhaps with its
            // presentation selector) before it and an emoji right after it.
            qsizetype before = i - 1;
            while (before >= 0 && isVariationSelector(points[before]))
                --before;
            if (before >= 0 && isEmoji(points[before]) && i + 1 < points.size() && isEmoji(points[i + 1]))
                continue;
            return true;
        }
        if ((u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0x200E || u == 0x200F || u == 0x061C ||
            (u >= 0x200B && u <= 0x200C) || (u >= 0x2060 && u <= 0x2064) || u == 0xFEFF)
            return true;
    }
    return false;
}

bool Names::hasControlCharacters(const QString &name)
{
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

} // namespace tvr::server
