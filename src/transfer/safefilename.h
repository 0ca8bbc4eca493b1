#pragma once

#include <QString>

// A name from the server made safe to join to a local folder: directory parts, "..", control
// characters and characters Windows forbids are removed, Windows device names are defused, and
// the length leaves room for a ".part" suffix. An empty result becomes fallback.
QString safeFileName(const QString &name, const QString &fallback = QStringLiteral("download"));
