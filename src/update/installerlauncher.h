#pragma once

#include <QString>

// Starts a downloaded installer on its own, outside this process: on Windows the ".exe" itself;
// elsewhere a ".deb" goes to the desktop's default application and any other file is made
// executable by its owner and run.
class InstallerLauncher final
{
public:
    // False with a text for the user when it could not be started.
    static bool launch(const QString &path, QString *errorText = nullptr);
    // Whether path would be handed to the desktop rather than run.
    static bool isPackage(const QString &path);
};
