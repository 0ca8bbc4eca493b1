#include "app/startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Theme::startUp(app);

    Startup startup;
    QObject::connect(&startup, &Startup::quitRequested, &app, &QCoreApplication::quit);
    startup.showSignIn();
    return app.exec();
}
