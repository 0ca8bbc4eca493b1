// Entry names of archives being unpacked, as raw bytes from the archive (read as UTF-8, and
// through the fallback decoding of old Windows zips): a name taken for safe lands inside the
// target folder, as plain names that hold no separator, no "." or "..", no control character,
// and read back the same from UTF-8.
#include "fuzzcheck.h"

#include "files/archiveextractor.h"
#include "files/filetree.h"

#include <QByteArray>
#include <QDir>

using namespace tvr::server;

namespace {

void check(const QString &name)
{
    const std::optional<QStringList> components = ArchiveExtractor::safeComponents(name);
    QString path = name;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    bool climbs = false;
    for (const QString &part : path.split(QLatin1Char('/')))
        climbs = climbs || FileTree::cleanName(part) == QLatin1String("..");
    if (!components)
        return;
    TVR_FUZZ_CHECK(!climbs);
    TVR_FUZZ_CHECK(!path.startsWith(QLatin1Char('/')));
    TVR_FUZZ_CHECK(!(path.size() >= 2 && path.at(1) == QLatin1Char(':')));

    for (const QString &component : *components) {
        TVR_FUZZ_CHECK(!component.trimmed().isEmpty());
        TVR_FUZZ_CHECK(component != QLatin1String(".") && component != QLatin1String(".."));
        TVR_FUZZ_CHECK(component.size() <= FileTree::MaxNameLength);
        for (const QChar c : component) {
            TVR_FUZZ_CHECK(c != QLatin1Char('/') && c != QLatin1Char('\\'));
            TVR_FUZZ_CHECK(c.unicode() >= 0x20 && !(c.unicode() >= 0x7f && c.unicode() <= 0x9f));
        }
        TVR_FUZZ_CHECK(component.isValidUtf16());
        TVR_FUZZ_CHECK(QString::fromUtf8(component.toUtf8()) == component);
        TVR_FUZZ_CHECK(FileTree::cleanName(component) == component); // stored as it is
    }

    // Where it lands: below the target folder, one level per component.
    const QString target = QStringLiteral("/srv/target");
    const QString landed = QDir::cleanPath(target + QLatin1Char('/') + components->join(QLatin1Char('/')));
    if (components->isEmpty()) {
        TVR_FUZZ_CHECK(landed == target);
    } else {
        TVR_FUZZ_CHECK(landed.startsWith(target + QLatin1Char('/')));
        TVR_FUZZ_CHECK(landed.mid(target.size() + 1).split(QLatin1Char('/')) == *components);
    }
}

} // namespace

TVR_FUZZ_ENTRY
{
    const QByteArray raw(reinterpret_cast<const char *>(data), qsizetype(size));
    // libarchive hands out names as UTF-8 when it can, and as the archive's own bytes otherwise.
    check(QString::fromUtf8(raw));
    const QString decoded = ArchiveExtractor::decodeName(raw);
    TVR_FUZZ_CHECK(decoded.isValidUtf16());
    if (QString::fromUtf8(raw).toUtf8() == raw)
        TVR_FUZZ_CHECK(decoded == QString::fromUtf8(raw)); // valid UTF-8 is taken as it is
    check(decoded);
    return 0;
}
