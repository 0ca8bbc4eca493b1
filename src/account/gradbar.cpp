#include "account/gradbar.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace paydlg {

namespace {
constexpr qreal CornerDiameter = 36.0;
const QColor GradientGold(201, 168, 76);
const QColor GradientNavy(26, 42, 74);
} // namespace

GradBar::GradBar(QWidget *parent)
    : QFrame(parent)
{}

void GradBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal w = width();
    const qreal h = height();
    const qreal r = CornerDiameter / 2;

    QPainterPath path;
    path.moveTo(0, h);
    path.arcTo(QRectF(0, 0, CornerDiameter, CornerDiameter), 180, -90);
    path.lineTo(w - r, 0);
    path.arcTo(QRectF(w - CornerDiameter, 0, CornerDiameter, CornerDiameter), 90, -90);
    path.lineTo(w, h);
    path.closeSubpath();

    QLinearGradient gradient(0, 0, w, 0);
    gradient.setColorAt(0, GradientGold);
    gradient.setColorAt(1, GradientNavy);
    painter.fillPath(path, gradient);
}

} // namespace paydlg
