#pragma once

#include <QColor>
#include <QLatin1String>
#include <QPixmap>

// Vector icons stored as SVG path data on a 1024-unit grid, shown through the view box "64 64 896 896".
namespace SvgPaths {
extern const QLatin1String bell;
extern const QLatin1String check;
} // namespace SvgPaths

// Renders path data filled with color into a square pixmap of size x size logical pixels at the given device
// pixel ratio. Invalid path data gives a fully transparent pixmap.
QPixmap svgIcon(QLatin1String pathData, int size, const QColor &color, double ratio);
