// The update manifest (latest.yml) and what is made of it: a version compared with this build's
// and a local installer name that stays inside the installer folder.
#include "fuzzcheck.h"

#include "transfer/safefilename.h"
#include "update/updatechecker.h"

#include <QByteArray>
#include <QUrl>

TVR_FUZZ_ENTRY
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<UpdateChecker::Manifest> manifest = UpdateChecker::parseManifest(text);
    if (!manifest)
        return 0;
    TVR_FUZZ_CHECK(!manifest->version.isEmpty() && !manifest->path.isEmpty());

    const QString current = QString::fromLatin1(UpdateChecker::CurrentVersion);
    TVR_FUZZ_CHECK(
        !(UpdateChecker::isNewer(manifest->version, current) && UpdateChecker::isNewer(current, manifest->version)));
    TVR_FUZZ_CHECK(!UpdateChecker::isNewer(manifest->version, manifest->version));

    const QString url = manifest->path.startsWith(QLatin1String("http"))
                            ? manifest->path
                            : UpdateChecker::downloadAreaUrl(UpdateChecker::platformChannel()) + manifest->path;
    const QString name = safeFileName(QUrl(url).fileName(), QStringLiteral("update"));
    TVR_FUZZ_CHECK(!name.isEmpty());
    TVR_FUZZ_CHECK(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
    TVR_FUZZ_CHECK(name != QLatin1String(".") && name != QLatin1String(".."));
    return 0;
}
