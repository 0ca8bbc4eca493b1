#include "app/commandline.h"
#include "app/startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // --help and --version work without a display: they are answered before the GUI starts.
    if (const std::optional<int> code = CommandLine::answerEarly(argc, argv))
        return *code;

    QApplication app(argc, argv);
    if (const std::optional<int> code = CommandLine::refuseUnknown(QCoreApplication::arguments()))
        return *code;
    Theme::startUp(app);

    Startup startup;
    QObject::connect(&startup, &Startup::quitRequested, &app, &QCoreApplication::quit);
    startup.showSignIn();
    return app.exec();
}
