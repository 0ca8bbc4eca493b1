#include "app/chinesesystemlocale.h"

#include <QLocale>
#include <clocale>
#include <cstring>
#ifdef Q_OS_UNIX
#include <langinfo.h>
#endif

namespace {
// LC_ALL would outrank the others; LC_TIME gives the dates, LC_MESSAGES the size units.
const char *const Variables[] = {"LC_ALL", "LC_TIME", "LC_MESSAGES"};
} // namespace

ChineseSystemLocale::ChineseSystemLocale()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) // elsewhere the system locale is not the environment's
    for (const char *name : Variables) {
        if (qEnvironmentVariableIsSet(name))
            m_saved.append({QByteArray(name), qgetenv(name)});
        else
            m_unset.append(QByteArray(name));
    }
    qunsetenv("LC_ALL");
    qputenv("LC_TIME", Locale);
    qputenv("LC_MESSAGES", Locale);
#endif
}

ChineseSystemLocale::~ChineseSystemLocale()
{
    if (m_saved.isEmpty() && m_unset.isEmpty())
        return;
    // Read now at the latest, while the environment still says zh_CN.
    (void)QLocale::system();
    for (const auto &[name, value] : std::as_const(m_saved))
        qputenv(name.constData(), value);
    for (const QByteArray &name : std::as_const(m_unset))
        qunsetenv(name.constData());
    // The application object set the C library's locale from the changed environment; a locale
    // that is not installed there would have left it at "C".
    std::setlocale(LC_ALL, "");
#ifdef Q_OS_UNIX
    // As the application object does: the framework counts on a UTF-8 C library locale.
    const char *codeset = nl_langinfo(CODESET);
    if (std::strcmp(codeset, "UTF-8") != 0 && std::strcmp(codeset, "utf8") != 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");
#endif
}
