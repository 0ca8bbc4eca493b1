#include "account/authwindow.h"
#include "app/mainwindow.h"
#include "app/startup.h"

#include <QApplication>
#include <memory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Theme::startUp(app);

    // Both windows are destroyed before the application object.
    auto signIn = std::make_unique<AuthWindow>();
    std::unique_ptr<MainWindow> mainWindow;
    QObject::connect(signIn.get(), &AuthWindow::loginOk, &app, [&signIn, &mainWindow, &app] {
        if (mainWindow)
            return;
        signIn->hide();
        mainWindow = std::make_unique<MainWindow>();
        mainWindow->show();
        // There is no way back to the sign-in window: logout ends the program.
        QObject::connect(mainWindow.get(), &MainWindow::logoutRequested, &app, &QCoreApplication::quit);
        // Later, because the sign-in window is still inside its own signal.
        signIn.release()->deleteLater();
    });
    signIn->show();
    return app.exec();
}
