#include "app/startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Theme::startUp(app);

    // Sign-in hand-over goes here: show the sign-in window; on its loginOk() hide it, create and show the
    // main window, connect the main window's logoutRequested() to QCoreApplication::quit, and delete the
    // sign-in window later. Until the sign-in window exists there is nothing to run.
    return 0;
}
