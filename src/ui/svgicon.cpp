#include "ui/svgicon.h"

#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

namespace SvgPaths {
const QLatin1String
    bell("M816 768h-24V428c0-141.1-104.3-257.7-240-277.1V112c0-22.1-17.9-40-40-40s-40 17.9-40 40v38.9c-135.7 "
         "19.4-240 136-240 277.1v340h-24c-17.7 0-32 14.3-32 32v32c0 4.4 3.6 8 8 8h216c0 61.8 50.2 112 112 112s112-50.2 "
         "112-112h216c4.4 0 8-3.6 8-8v-32c0-17.7-14.3-32-32-32zM512 888c-26.5 0-48-21.5-48-48h96c0 26.5-21.5 48-48 "
         "48zM304 768V428c0-55.6 21.6-107.8 60.9-147.1S456.4 220 512 220c55.6 0 107.8 21.6 147.1 60.9S720 372.4 720 "
         "428v340H304z");
const QLatin1String
    check("M912 190h-69.9c-9.8 0-19.1 4.5-25.1 12.2L404.7 724.5 207 474a32 32 0 00-25.1-12.2H112c-6.7 "
          "0-10.4 7.7-6.3 12.9l273.9 347c12.8 16.2 37.4 16.2 50.3 0l488.4-618.9c4.1-5.1.4-12.8-6.3-12.8z");
} // namespace SvgPaths

QPixmap svgIcon(QLatin1String pathData, int size, const QColor &color, double ratio)
{
    int edge = int(size * ratio);
    if (edge < 2)
        edge = 1;
    QImage image(edge, edge, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    // The path goes into an XML attribute: escape it so stray quotes or brackets cannot change the document.
    const QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"64 64 896 896\">"
                                       "<path d=\"%1\" fill=\"%2\"/></svg>")
                            .arg(QString(pathData).toHtmlEscaped(), color.name());
    QSvgRenderer renderer(svg.toUtf8());
    if (renderer.isValid()) {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        renderer.render(&p, QRectF(0, 0, edge, edge));
    }

    QPixmap pixmap = QPixmap::fromImage(image);
    if (ratio > 1)
        pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}
