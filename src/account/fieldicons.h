#pragma once

#include <QByteArray>
#include <QPixmap>
#include <QString>

// The sign-in form's field icons, kept as SVG text and rendered when the window is built.
namespace FieldIcons {

QByteArray userSvg();
QByteArray phoneSvg();
QByteArray codeSvg();
// Renders an SVG document into a transparent edge x edge pixmap (blank when the document is invalid).
QPixmap render(const QByteArray &svg, int edge = 20);

} // namespace FieldIcons

// The picture at path scaled to cover side x side and clipped to a rounded square; a picture that
// does not load is returned as it is (null).
QPixmap roundedLogo(const QString &path, int side, qreal radius);
