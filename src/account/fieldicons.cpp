#include "account/fieldicons.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

namespace FieldIcons {

namespace {

// A 24-unit document with the navy gradient that every field icon uses; "GRAD" in the shapes
// stands for the icon's own gradient id.
QByteArray document(const char *gradientId, const char *shapes)
{
    QByteArray svg = R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" viewBox="0 0 24 24">)svg"
                     R"svg(<defs><linearGradient id="GRAD" x1="3" y1="3" x2="21" y2="21" )svg"
                     R"svg(gradientUnits="userSpaceOnUse"><stop offset="0" stop-color="#3a5a92"/>)svg"
                     R"svg(<stop offset="1" stop-color="#1A2A4A"/></linearGradient></defs>)svg";
    svg += shapes;
    svg += "</svg>";
    return svg.replace("GRAD", gradientId);
}

} // namespace

QByteArray userSvg()
{
    return document("gUser",
                    R"svg(<circle cx="12" cy="8" r="3.6" fill="none" stroke="url(#GRAD)" stroke-width="1.7"/>)svg"
                    R"svg(<path d="M5 20c0-3.31 3.13-6 7-6s7 2.69 7 6" fill="none" stroke="url(#GRAD)" )svg"
                    R"svg(stroke-width="1.7" stroke-linecap="round"/>)svg");
}

QByteArray phoneSvg()
{
    return document("gPhone",
                    R"svg(<rect x="6" y="2.5" width="12" height="19" rx="3.2" ry="3.2" fill="none" )svg"
                    R"svg(stroke="url(#GRAD)" stroke-width="1.7"/>)svg"
                    R"svg(<line x1="10.5" y1="5.3" x2="13.5" y2="5.3" stroke="url(#GRAD)" stroke-width="1.4" )svg"
                    R"svg(stroke-linecap="round" opacity="0.75"/>)svg"
                    R"svg(<circle cx="12" cy="18.2" r="1.15" fill="url(#GRAD)"/>)svg");
}

QByteArray codeSvg()
{
    return document("gCode",
                    R"svg(<path d="M4 6.6A2.6 2.6 0 0 1 6.6 4h10.8A2.6 2.6 0 0 1 20 6.6v6.8a2.6 2.6 0 0 1-2.6 )svg"
                    R"svg(2.6H12l-4.2 3.4a.6.6 0 0 1-.98-.46V16h-.22A2.6 2.6 0 0 1 4 13.4V6.6Z" fill="none" )svg"
                    R"svg(stroke="url(#GRAD)" stroke-width="1.7" stroke-linejoin="round"/>)svg"
                    R"svg(<circle cx="8.8" cy="10" r="1.15" fill="url(#GRAD)"/>)svg"
                    R"svg(<circle cx="12" cy="10" r="1.15" fill="url(#GRAD)"/>)svg"
                    R"svg(<circle cx="15.2" cy="10" r="1.15" fill="url(#GRAD)"/>)svg");
}

QPixmap render(const QByteArray &svg, int edge)
{
    QImage image(edge, edge, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(svg);
    if (renderer.isValid()) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, edge, edge));
    }
    return QPixmap::fromImage(image);
}

} // namespace FieldIcons

QPixmap roundedLogo(const QString &path, int side, qreal radius)
{
    const QPixmap source(path);
    if (source.isNull())
        return source;
    const QPixmap scaled = source.scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    QPixmap result(side, side);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(0, 0, side, side), radius, radius);
    painter.setClipPath(clip);
    painter.drawPixmap((side - scaled.width()) / 2, (side - scaled.height()) / 2, scaled);
    return result;
}
