#include "app/startup.h"

#include "app/lightdialogfilter.h"
#include "app/theme.h"

#include <QApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>

namespace Theme {

namespace {
// The build machine's framework plug-ins; compiled in by the build system when known.
QString buildMachinePluginDir()
{
#ifdef TVR_BUILD_QT_PLUGIN_DIR
    return QStringLiteral(TVR_BUILD_QT_PLUGIN_DIR);
#else
    return QString();
#endif
}
} // namespace

void setIdentity(QApplication &app)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    QCoreApplication::setOrganizationName(QString::fromLatin1(kOrganisationName));
    app.setQuitOnLastWindowClosed(false);
}

QStringList pluginCandidates(const QString &fixedDir, const QString &frameworkDir)
{
    QStringList candidates;
    if (!fixedDir.isEmpty())
        candidates << fixedDir;
    if (!frameworkDir.isEmpty())
        candidates << frameworkDir;
    return candidates;
}

QStringList addPluginPaths(const QStringList &candidates)
{
    QStringList added;
    for (const QString &dir : candidates) {
        // Re-read each time: two candidates may name the same directory.
        if (!QFileInfo::exists(dir) || QCoreApplication::libraryPaths().contains(dir, Qt::CaseSensitive))
            continue;
        QCoreApplication::addLibraryPath(dir);
        added << dir;
    }
    return added;
}

QStringList defaultPluginCandidates()
{
    return pluginCandidates(buildMachinePluginDir(), QLibraryInfo::path(QLibraryInfo::PluginsPath));
}

QStringList translationCandidates(const QString &frameworkTranslationsDir)
{
    return {QStringLiteral(":/resources/qtbase_zh_CN.qm"), QStringLiteral(":/resources/qt_zh_CN.qm"),
            frameworkTranslationsDir + QStringLiteral("/qtbase_zh_CN.qm"),
            frameworkTranslationsDir + QStringLiteral("/qt_zh_CN.qm")};
}

QString installTranslation(QCoreApplication &app, const QStringList &candidates)
{
    auto *translator = new QTranslator(&app);
    for (const QString &file : candidates) {
        if (translator->load(file)) {
            QCoreApplication::installTranslator(translator);
            return file;
        }
    }
    delete translator;
    return QString();
}

QString installTranslation(QCoreApplication &app)
{
    return installTranslation(app, translationCandidates(QLibraryInfo::path(QLibraryInfo::TranslationsPath)));
}

void installTheme(QApplication &app)
{
    app.setStyleSheet(globalStyleSheet());
    app.installEventFilter(new LightDialogFilter(&app));
}

void startUp(QApplication &app)
{
    setIdentity(app);
    addPluginPaths(defaultPluginCandidates());
    installTranslation(app);
    installTheme(app);
}

} // namespace Theme
