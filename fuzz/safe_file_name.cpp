// Names from the server (downloads, archive entries shown in the client) made into local file
// names: never empty, never a path, never "." or "..", no control characters, room for ".part".
#include "fuzzcheck.h"

#include "transfer/safefilename.h"

#include <QByteArray>

TVR_FUZZ_ENTRY
{
    const QString name = safeFileName(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    TVR_FUZZ_CHECK(!name.isEmpty());
    TVR_FUZZ_CHECK(name != QLatin1String(".") && name != QLatin1String(".."));
    for (const QChar c : name) {
        TVR_FUZZ_CHECK(c != QLatin1Char('/') && c != QLatin1Char('\\'));
        TVR_FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7f);
    }
    TVR_FUZZ_CHECK(safeFileName(name) == name); // a safe name stays as it is
    return 0;
}
