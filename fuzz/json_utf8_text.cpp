// Text from the database written into a listing straight from its UTF-8 bytes: whatever the
// bytes (broken sequences, overlong forms, surrogates, a byte order mark, controls), the text is
// the one the QString writer gives for the decoded string, and it fits the room the listing
// asks for.
#include "fuzzcheck.h"

#include "http/jsontext.h"

#include <QByteArray>
#include <QString>
#include <string>

namespace JsonText = tvr::server::JsonText;

TVR_FUZZ_ENTRY
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    std::string fast(size_t(JsonText::maxUtf8StringLength(bytes.size())), '\0');
    const char *end = JsonText::writeUtf8String(fast.data(), bytes);
    TVR_FUZZ_CHECK(end >= fast.data() && size_t(end - fast.data()) <= fast.size());
    fast.resize(size_t(end - fast.data()));
    QByteArray decoded;
    JsonText::appendString(decoded, QString::fromUtf8(bytes));
    TVR_FUZZ_CHECK(fast == decoded.toStdString());
    return 0;
}
