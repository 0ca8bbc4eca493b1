#include "screenshots.h"

#include <QDir>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

namespace Screenshots {

QImage onDesktop(QWidget *window)
{
    const QPixmap shot = window->grab();
    QImage image(shot.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Desktop);
    QPainter painter(&image);
    painter.drawPixmap(0, 0, shot);
    return image;
}

bool save(const QImage &image, const QString &name)
{
    const QString dir = qEnvironmentVariable("TVR_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return true;
    QDir().mkpath(dir);
    return image.save(QDir(dir).filePath(name));
}

} // namespace Screenshots
