#include "account/gradbar.h"

#include "account/topgradbar.h"

namespace paydlg {

namespace {
constexpr qreal CornerDiameter = 36.0;
} // namespace

GradBar::GradBar(QWidget *parent)
    : QFrame(parent)
{}

void GradBar::paintEvent(QPaintEvent *)
{
    paintGradientStrip(this, CornerDiameter);
}

} // namespace paydlg
