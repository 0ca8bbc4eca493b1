#include "http/jsontext.h"

namespace tvr::server::JsonText {

void appendString(QByteArray &out, QStringView text)
{
    static const char Hex[] = "0123456789abcdef";
    out += '"';
    qsizetype plainFrom = 0;
    const qsizetype length = text.size();
    const QChar *data = text.data();
    for (qsizetype i = 0; i < length; ++i) {
        const char16_t c = data[i].unicode();
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out += text.mid(plainFrom, i - plainFrom).toUtf8();
        plainFrom = i + 1;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default: {
            const char escape[] = {'\\', 'u', '0', '0', Hex[(c >> 4) & 0xf], Hex[c & 0xf]};
            out.append(escape, sizeof escape);
        }
        }
    }
    out += text.mid(plainFrom).toUtf8();
    out += '"';
}

void appendKey(QByteArray &out, const char *key)
{
    out += '"';
    out += key;
    out += "\":";
}

} // namespace tvr::server::JsonText
