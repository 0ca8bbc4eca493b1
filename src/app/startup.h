#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <memory>

class AuthWindow;
class MainWindow;
class QApplication;
class QCoreApplication;

// The program's course after the start-up steps: the sign-in window first; on loginOk() the main
// window in its place; on the main window's logoutRequested() (emitted once the server has heard
// the logout, or given up on) the end. There is no way back to the sign-in window.
class Startup final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Startup)

public:
    explicit Startup(QObject *parent = nullptr);
    // Both windows are gone before the application object is.
    ~Startup() override;

    // Creates and shows the sign-in window.
    void showSignIn();

    AuthWindow *signInWindow() const;
    MainWindow *mainWindow() const { return m_mainWindow.get(); }

signals:
    // The event loop may end: main() connects it to QCoreApplication::quit.
    void quitRequested();

private:
    void handOver();

    QPointer<AuthWindow> m_signIn;
    std::unique_ptr<MainWindow> m_mainWindow;
};

// The start-up steps that run before the first window, each callable on its own so it can be tested.
namespace Theme {

// Also addresses the per-user settings store that keeps the device code.
inline constexpr char kApplicationName[] = "tolvar-storage-qt";
inline constexpr char kOrganisationName[] = "Tolvarsoft";
// The installed desktop entry is kDesktopFileName + ".desktop"; its icon has the same name.
inline constexpr char kDesktopFileName[] = "cn.tolvar.Storage";

// Sets the identity (names, version, desktop entry, window icon) and keeps the process alive when the
// last window closes (the main window hides to the tray; the process ends through logout).
void setIdentity(QApplication &app);

// Plug-in directories to offer, in order: the fixed one of the build machine, then the framework's own
// plug-in directory when it is not empty.
QStringList pluginCandidates(const QString &fixedDir, const QString &frameworkDir);
// Adds every candidate that exists and is not yet in the library paths (case-sensitive); returns those added.
QStringList addPluginPaths(const QStringList &candidates);
// pluginCandidates() for this build and this framework installation.
QStringList defaultPluginCandidates();

// Chinese translation files to try, in order: the embedded ones, then the framework's translations directory.
QStringList translationCandidates(const QString &frameworkTranslationsDir);
// Loads the first candidate that loads into one translator parented to app and installs it; returns the
// file that loaded, or an empty string (and installs nothing) when none does.
QString installTranslation(QCoreApplication &app, const QStringList &candidates);
QString installTranslation(QCoreApplication &app);
// The texts Debian's catalogue lacks of what Qt's dialogs show (the file dialog's kinds), embedded.
inline constexpr char kExtraTranslation[] = ":/resources/qtbase_extra_zh_CN.qm";
// Qt's dialogs in Chinese: the framework's texts (installTranslation), then kExtraTranslation over
// them, and zh_CN as the default locale (dates, file kinds). Returns the files that loaded.
QStringList installFrameworkTranslations(QCoreApplication &app);

// The global style sheet and the light dialog filter.
void installTheme(QApplication &app);

// Everything above, in start-up order.
void startUp(QApplication &app);

} // namespace Theme
