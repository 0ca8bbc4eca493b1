#pragma once

#include <QColor>
#include <QImage>
#include <QString>

class QWidget;

namespace Screenshots {

// The plain colour that translucent windows are painted over, so rounded corners and shadows show.
inline const QColor Desktop(0xdf, 0xe4, 0xec);

// The window grabbed and laid over the desktop colour.
QImage onDesktop(QWidget *window);

// Writes image as name into $TVR_SCREENSHOT_DIR; true when it is unset or the file was written.
bool save(const QImage &image, const QString &name);

} // namespace Screenshots
