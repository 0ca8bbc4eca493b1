#pragma once

#include <QString>

// Points the user-scope settings (native and INI) at folder, so a test never reads or writes the
// settings of whoever runs it.
void useSettingsFolder(const QString &folder);
