#pragma once

#include <QPixmap>
#include <QString>

// File-type pictures under ":/resources/file-icons/", chosen from the name, the folder flag and
// the media type. GUI thread only.

// The icon's file name, such as "pdf.png".
QString fileIconName(const QString &name, bool isFolder, const QString &mimeType);
// The icon scaled to size × size, decoded once per icon and size and kept until exit; null when
// the picture is missing (callers then show an empty QIcon).
QPixmap fileIcon(const QString &name, bool isFolder, const QString &mimeType, int size);

// Test hook: how many times fileIcon has loaded a picture from the resources.
int fileIconDecodeCount();
