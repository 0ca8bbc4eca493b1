#pragma once

#include <QColor>
#include <QString>

namespace Cdlg {

// The card dialogs' style sheet: a fixed template whose "@NAME@" placeholders are filled from the card palette.
QString cardStyleSheet();

// "rgba(r,g,b,a)" with integer channels and the alpha as a fraction with two decimals.
QString rgbaCss(const QColor &color);

} // namespace Cdlg
