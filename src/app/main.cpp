#include "app/chinesesystemlocale.h"
#include "app/commandline.h"
#include "app/startup.h"

#include <QApplication>
#include <memory>

int main(int argc, char *argv[])
{
    // --help and --version work without a display: they are answered before the GUI starts.
    if (const std::optional<int> code = CommandLine::answerEarly(argc, argv))
        return *code;

    auto chineseLocale = std::make_unique<ChineseSystemLocale>();
    QApplication app(argc, argv);
    chineseLocale.reset(); // the system locale stays zh_CN; the environment is the user's again
    if (const std::optional<int> code = CommandLine::refuseUnknown(QCoreApplication::arguments()))
        return *code;
    Theme::startUp(app);

    Startup startup;
    QObject::connect(&startup, &Startup::quitRequested, &app, &QCoreApplication::quit);
    startup.showSignIn();
    return app.exec();
}
