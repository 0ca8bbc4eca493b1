#include "app/startup.h"
#include "net/trustedca.h"

#include "account/authwindow.h"
#include "app/lightdialogfilter.h"
#include "app/mainwindow.h"
#include "app/plainlabelfilter.h"
#include "app/theme.h"
#include "net/session.h"
#include "transfer/transfermanager.h"
#include "update/updatechecker.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QStandardPaths>
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
    QCoreApplication::setApplicationVersion(QString::fromLatin1(UpdateChecker::CurrentVersion));
    // Desktops match the windows to the installed desktop entry (and its icon) by this name.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    QIcon icon;
    icon.addFile(QStringLiteral(":/resources/logo-mark.png"));
    icon.addFile(QStringLiteral(":/resources/logo-velno.png"));
    app.setWindowIcon(icon);
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

QStringList installFrameworkTranslations(QCoreApplication &app)
{
    QStringList loaded;
    const QString framework = installTranslation(app);
    if (!framework.isEmpty())
        loaded << framework;
    // Installed later, so asked first; it only holds texts the framework's catalogue lacks.
    const QString extra = installTranslation(app, {QString::fromLatin1(kExtraTranslation)});
    if (!extra.isEmpty())
        loaded << extra;
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    return loaded;
}

void installTheme(QApplication &app)
{
    app.setStyleSheet(globalStyleSheet());
    app.installEventFilter(new LightDialogFilter(&app));
    app.installEventFilter(new PlainLabelFilter(&app));
}

void startUp(QApplication &app)
{
    setIdentity(app);
    addPluginPaths(defaultPluginCandidates());
    installFrameworkTranslations(app);
    installTheme(app);
}

} // namespace Theme

Startup::Startup(QObject *parent)
    : QObject(parent)
{}

Startup::~Startup()
{
    // Deleted later after a sign-in, or still here when the program ends from the sign-in window.
    delete m_signIn.data();
}

AuthWindow *Startup::signInWindow() const
{
    return m_signIn.data();
}

void Startup::showSignIn()
{
    if (m_signIn || m_mainWindow)
        return;
    m_signIn = new AuthWindow; // a top-level window, deleted by this object
    connect(m_signIn, &AuthWindow::loginOk, this, &Startup::handOver);
    // A configured CA file that cannot be used is said at once: otherwise every secure request
    // would fail with a certificate text that does not name the cause.
    const QString caProblem = TrustedCa::installConfigured();
    if (!caProblem.isEmpty())
        m_signIn->showProblem(caProblem);
    m_signIn->show();
}

void Startup::handOver()
{
    if (m_mainWindow)
        return;
    if (m_signIn)
        m_signIn->hide();
    // The unfinished transfers of this user come back, paused.
    TransferManager::instance()->openStore(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
                                           Session::instance()->userId);
    m_mainWindow = std::make_unique<MainWindow>();
    connect(m_mainWindow.get(), &MainWindow::logoutRequested, this, &Startup::quitRequested);
    m_mainWindow->show();
    // Later, because the sign-in window is still inside its own signal.
    if (m_signIn)
        m_signIn->deleteLater();
}
