#include "files/filerow.h"

#include "files/filerecord.h"

#include <QHash>
#include <QJsonDocument>
#include <cctype>
#include <cstring>

namespace {

// A strict enough reader of JSON text for splitting a listing: it checks the grammar of what it
// skips (strings, numbers, literals, nesting) so that invalid text is refused as a whole, as
// QJsonDocument would, and leaves the decoding of anything unusual to QJsonDocument.
class Scanner
{
public:
    Scanner(const char *begin, const char *end)
        : m_p(begin)
        , m_end(end)
    {}

    const char *position() const { return m_p; }
    void skipBlanks() { skipSpace(); }
    bool atEnd()
    {
        skipSpace();
        return m_p == m_end;
    }
    bool take(char c)
    {
        skipSpace();
        if (m_p == m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }
    bool peek(char c)
    {
        skipSpace();
        return m_p != m_end && *m_p == c;
    }
    // A string; its raw inner bytes in [from, to), and whether it holds escapes.
    bool string(const char *&from, const char *&to, bool &escaped)
    {
        if (!take('"'))
            return false;
        from = m_p;
        escaped = false;
        while (m_p != m_end) {
            const unsigned char c = static_cast<unsigned char>(*m_p);
            if (c == '"') {
                to = m_p++;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                escaped = true;
                if (++m_p == m_end)
                    return false;
                if (*m_p == 'u') {
                    for (int i = 0; i < 4; ++i) {
                        if (++m_p == m_end || !std::isxdigit(static_cast<unsigned char>(*m_p)))
                            return false;
                    }
                } else if (!std::strchr("\"\\/bfnrt", *m_p)) {
                    return false;
                }
            }
            ++m_p;
        }
        return false;
    }
    bool value(int depth = 0)
    {
        skipSpace();
        if (m_p == m_end || depth > 64)
            return false;
        switch (*m_p) {
        case '"': {
            const char *from, *to;
            bool escaped;
            return string(from, to, escaped);
        }
        case '{':
            ++m_p;
            if (take('}'))
                return true;
            do {
                const char *from, *to;
                bool escaped;
                if (!string(from, to, escaped) || !take(':') || !value(depth + 1))
                    return false;
            } while (take(','));
            return take('}');
        case '[':
            ++m_p;
            if (take(']'))
                return true;
            do {
                if (!value(depth + 1))
                    return false;
            } while (take(','));
            return take(']');
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }
    bool literal(const char *word)
    {
        skipSpace();
        const size_t length = std::strlen(word);
        if (size_t(m_end - m_p) < length || std::memcmp(m_p, word, length) != 0)
            return false;
        m_p += length;
        return true;
    }

private:
    bool number()
    {
        // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
        const char *start = m_p;
        if (m_p != m_end && *m_p == '-')
            ++m_p;
        if (m_p == m_end || !std::isdigit(static_cast<unsigned char>(*m_p)))
            return false;
        if (*m_p == '0')
            ++m_p;
        else
            digits();
        if (m_p != m_end && *m_p == '.') {
            ++m_p;
            if (!digits())
                return false;
        }
        if (m_p != m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (m_p != m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            if (!digits())
                return false;
        }
        return m_p != start;
    }
    bool digits()
    {
        const char *start = m_p;
        while (m_p != m_end && std::isdigit(static_cast<unsigned char>(*m_p)))
            ++m_p;
        return m_p != start;
    }
    void skipSpace()
    {
        while (m_p != m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r'))
            ++m_p;
    }

    const char *m_p;
    const char *m_end;
};

bool isKey(const char *from, const char *to, const char *key)
{
    const size_t length = std::strlen(key);
    return size_t(to - from) == length && std::memcmp(from, key, length) == 0;
}

// A plain integer as the server writes ids and sizes: no sign games, no fraction, no exponent,
// few enough digits to be exact.
bool plainInteger(const char *from, const char *to)
{
    const char *digits = from != to && *from == '-' ? from + 1 : from;
    if (digits == to || to - digits > 18 || (*digits == '0' && to - digits > 1) || (from != digits && *digits == '0'))
        return false;
    for (const char *p = digits; p != to; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
    }
    return true;
}

enum class Member { Other, Id, ParentId, Name, Type, MimeType, Updated, Size };

Member memberOf(const char *from, const char *to)
{
    if (isKey(from, to, "id"))
        return Member::Id;
    if (isKey(from, to, "parent_id"))
        return Member::ParentId;
    if (isKey(from, to, "name"))
        return Member::Name;
    if (isKey(from, to, "type"))
        return Member::Type;
    if (isKey(from, to, "mime_type"))
        return Member::MimeType;
    if (isKey(from, to, "updated_at"))
        return Member::Updated;
    if (isKey(from, to, "size"))
        return Member::Size;
    return Member::Other;
}

// The members of one record read straight from its text; false when anything calls for
// QJsonDocument's reading (escapes, fractions, members given twice, other value kinds).
// Reads the object at scan's position and moves past it.
bool readPlainRecord(Scanner &scan, FileRow &row, QHash<QByteArray, QString> &shared)
{
    if (!scan.take('{'))
        return false;
    if (scan.take('}'))
        return true;
    unsigned seen = 0;
    do {
        const char *keyFrom, *keyTo;
        bool escaped;
        if (!scan.string(keyFrom, keyTo, escaped) || escaped || !scan.take(':'))
            return false;
        const Member member = memberOf(keyFrom, keyTo);
        if (member == Member::Other) {
            if (!scan.value())
                return false;
            continue;
        }
        const unsigned bit = 1u << unsigned(member);
        if (seen & bit)
            return false;
        seen |= bit;
        QString text;
        bool isNumber = false;
        qint64 number = 0;
        if (scan.peek('"')) {
            const char *from, *to;
            if (!scan.string(from, to, escaped) || escaped)
                return false;
            if (member == Member::Type || member == Member::MimeType) {
                // Few distinct values among many rows: one copy each.
                const QByteArray key = QByteArray::fromRawData(from, to - from);
                auto it = shared.find(key);
                if (it == shared.end())
                    it = shared.insert(QByteArray(from, to - from), QString::fromUtf8(from, to - from));
                text = it.value();
            } else {
                text = QString::fromUtf8(from, to - from);
            }
        } else if (scan.peek('n')) {
            if (!scan.literal("null"))
                return false;
            if (member == Member::Size)
                return false; // jsonInt64's fallback rules stay QJsonDocument's
        } else {
            scan.skipBlanks();
            const char *from = scan.position();
            if (!scan.value())
                return false;
            const char *to = scan.position();
            if (!plainInteger(from, to))
                return false;
            isNumber = true;
            number = QByteArray::fromRawData(from, to - from).toLongLong();
            text = QString::fromLatin1(from, to - from); // already canonical: see plainInteger
        }
        switch (member) {
        case Member::Id:
            row.id = text;
            break;
        case Member::ParentId:
            row.parentId = text;
            break;
        case Member::Name:
            row.name = text;
            break;
        case Member::Type:
            row.folder = text == QLatin1String("folder");
            break;
        case Member::MimeType:
            row.mimeType = text;
            break;
        case Member::Updated:
            row.updated = text;
            break;
        case Member::Size:
            if (!isNumber)
                return false;
            row.size = number;
            break;
        case Member::Other:
            break;
        }
    } while (scan.take(','));
    return scan.take('}');
}

} // namespace

QJsonObject FileRow::record() const
{
    return QJsonDocument::fromJson(json).object();
}

FileRow FileRow::fromObject(const QJsonObject &record)
{
    FileRow row;
    row.json = QJsonDocument(record).toJson(QJsonDocument::Compact);
    row.id = jsonText(record, QStringLiteral("id"));
    row.parentId = jsonText(record, QStringLiteral("parent_id"));
    row.name = jsonText(record, QStringLiteral("name"));
    row.mimeType = jsonText(record, QStringLiteral("mime_type"));
    row.updated = jsonText(record, QStringLiteral("updated_at"));
    row.size = jsonInt64(record, QStringLiteral("size"), 0);
    row.folder = isFolderRecord(record);
    return row;
}

bool FileRow::fromListingText(const QByteArray &body, QList<FileRow> &rows)
{
    Scanner scan(body.constBegin(), body.constEnd());
    if (!scan.take('{'))
        return false;
    bool success = false;
    bool successSeen = false;
    bool dataSeen = false;
    QList<FileRow> found;
    found.reserve(body.size() / 160); // about the size of a record as the server writes it
    QHash<QByteArray, QString> shared;
    if (!scan.peek('}')) {
        do {
            const char *keyFrom, *keyTo;
            bool escaped;
            if (!scan.string(keyFrom, keyTo, escaped) || escaped || !scan.take(':'))
                return false;
            if (isKey(keyFrom, keyTo, "success")) {
                if (successSeen)
                    return false;
                successSeen = true;
                success = scan.literal("true");
                if (!success)
                    return false;
            } else if (isKey(keyFrom, keyTo, "data") && scan.peek('[')) {
                if (dataSeen)
                    return false;
                dataSeen = true;
                scan.take('[');
                if (scan.take(']'))
                    continue;
                do {
                    const bool object = scan.peek('{');
                    const char *from = scan.position();
                    FileRow row;
                    // One pass over a plain record; anything unusual is read again by QJsonDocument.
                    Scanner plain = scan;
                    if (object && readPlainRecord(plain, row, shared)) {
                        scan = plain;
                        // The text stays in the body, which the caller keeps.
                        row.json = QByteArray::fromRawData(from, scan.position() - from);
                        found.append(std::move(row));
                        continue;
                    }
                    if (!scan.value(1))
                        return false;
                    if (!object)
                        continue;
                    const QJsonDocument document =
                        QJsonDocument::fromJson(QByteArray::fromRawData(from, scan.position() - from));
                    if (!document.isObject())
                        return false;
                    found.append(fromObject(document.object()));
                } while (scan.take(','));
                if (!scan.take(']'))
                    return false;
            } else if (!scan.value(1) || isKey(keyFrom, keyTo, "data")) {
                return false;
            }
        } while (scan.take(','));
    }
    if (!scan.take('}') || !scan.atEnd() || !success || !dataSeen)
        return false;
    rows = std::move(found);
    return true;
}
