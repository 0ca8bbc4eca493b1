#include "core/names.h"

namespace tvr::server {

QString Names::normalized(const QString &name)
{
    return name.trimmed().normalized(QString::NormalizationForm_C);
}

bool Names::hasDeceptiveCharacters(const QString &name)
{
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if ((u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0x200E || u == 0x200F || u == 0x061C ||
            (u >= 0x200B && u <= 0x200D) || (u >= 0x2060 && u <= 0x2064) || u == 0xFEFF)
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
