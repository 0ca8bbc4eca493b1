#include "http/jsontext.h"

#include <QString>
#include <charconv>
#include <cstring>

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

// The length of the well-formed UTF-8 sequence starting at data[0] (a byte >= 0x80), or 0 when it
// is not one: overlong forms, surrogates and values past U+10FFFF are not.
static int sequenceLength(const unsigned char *data, qsizetype left)
{
    const unsigned char lead = data[0];
    const auto tail = [&](int i) { return i < left && (data[i] & 0xc0) == 0x80; };
    if (lead >= 0xc2 && lead <= 0xdf)
        return tail(1) ? 2 : 0;
    if (lead >= 0xe0 && lead <= 0xef) {
        if (!tail(1) || !tail(2))
            return 0;
        if ((lead == 0xe0 && data[1] < 0xa0) || (lead == 0xed && data[1] >= 0xa0))
            return 0;
        return 3;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        if (!tail(1) || !tail(2) || !tail(3))
            return 0;
        if ((lead == 0xf0 && data[1] < 0x90) || (lead == 0xf4 && data[1] >= 0x90))
            return 0;
        return 4;
    }
    return 0;
}

char *writeUtf8String(char *to, QByteArrayView utf8)
{
    static const char Hex[] = "0123456789abcdef";
    const auto *data = reinterpret_cast<const unsigned char *>(utf8.data());
    const qsizetype length = utf8.size();
    char *const start = to;
    const auto decoded = [&] {
        QByteArray text;
        appendString(text, QString::fromUtf8(utf8));
        std::memcpy(start, text.constData(), size_t(text.size()));
        return start + text.size();
    };
    // A leading byte order mark is dropped by the decoder; leave such text to it.
    if (length >= 3 && data[0] == 0xef && data[1] == 0xbb && data[2] == 0xbf)
        return decoded();
    *to++ = '"';
    qsizetype plainFrom = 0;
    const auto flush = [&](qsizetype until) {
        if (until == plainFrom)
            return; // also an empty text, whose data may be null
        std::memcpy(to, data + plainFrom, size_t(until - plainFrom));
        to += until - plainFrom;
    };
    for (qsizetype i = 0; i < length;) {
        const unsigned char c = data[i];
        if (c >= 0x80) {
            const int n = sequenceLength(data + i, length - i);
            if (n == 0)
                return decoded();
            i += n;
            continue;
        }
        if (c >= 0x20 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        flush(i);
        plainFrom = ++i;
        *to++ = '\\';
        switch (c) {
        case '"':
        case '\\':
            *to++ = char(c);
            break;
        case '\b':
            *to++ = 'b';
            break;
        case '\f':
            *to++ = 'f';
            break;
        case '\n':
            *to++ = 'n';
            break;
        case '\r':
            *to++ = 'r';
            break;
        case '\t':
            *to++ = 't';
            break;
        default:
            *to++ = 'u';
            *to++ = '0';
            *to++ = '0';
            *to++ = Hex[(c >> 4) & 0xf];
            *to++ = Hex[c & 0xf];
        }
    }
    flush(length);
    *to++ = '"';
    return to;
}

void appendUtf8String(std::string &out, QByteArrayView utf8)
{
    const size_t start = out.size();
    out.resize(start + maxUtf8StringLength(utf8.size()));
    out.resize(size_t(writeUtf8String(out.data() + start, utf8) - out.data()));
}

char *writeNumber(char *to, qint64 value)
{
    return std::to_chars(to, to + MaxNumberLength, value).ptr;
}

} // namespace tvr::server::JsonText
