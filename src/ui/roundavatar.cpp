#include "ui/roundavatar.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTextBoundaryFinder>

QPixmap roundAvatarPixmap(const QString &url, int size)
{
    if (url.isEmpty() || size < 1)
        return {};
    const int comma = url.indexOf(QLatin1Char(','));
    const QString encoded = comma >= 0 ? url.mid(comma + 1) : url;
    QImage image;
    if (!image.loadFromData(QByteArray::fromBase64(encoded.toLatin1())))
        return {};

    const QImage scaled = image.scaled(size, size, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    QPixmap result(size, size);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath circle;
    circle.addEllipse(QRectF(0, 0, size, size));
    painter.setClipPath(circle);
    painter.drawImage(QPointF((size - scaled.width()) / 2.0, (size - scaled.height()) / 2.0), scaled);
    return result;
}

QString avatarInitial(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("我");
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, name);
    const qsizetype end = graphemes.toNextBoundary();
    return name.left(end > 0 ? end : 1);
}
