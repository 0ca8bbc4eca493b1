#include "account/topgradbar.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {
constexpr qreal CornerDiameter = 28.0;
const QColor GradientGold(201, 168, 76);
const QColor GradientNavy(26, 42, 74);
} // namespace

TopGradBar::TopGradBar(QWidget *parent)
    : QFrame(parent)
{}

void TopGradBar::paintEvent(QPaintEvent *)
{
    paintGradientStrip(this, CornerDiameter);
}

void paintGradientStrip(QWidget *widget, qreal cornerDiameter)
{
    QPainter painter(widget);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal w = widget->width();
    const qreal h = widget->height();
    const qreal r = cornerDiameter / 2;

    QPainterPath path;
    path.moveTo(0, h);
    path.arcTo(QRectF(0, 0, cornerDiameter, cornerDiameter), 180, -90);
    path.lineTo(w - r, 0);
    path.arcTo(QRectF(w - cornerDiameter, 0, cornerDiameter, cornerDiameter), 90, -90);
    path.lineTo(w, h);
    path.closeSubpath();

    QLinearGradient gradient(0, 0, w, 0);
    gradient.setColorAt(0, GradientGold);
    gradient.setColorAt(1, GradientNavy);
    painter.fillPath(path, gradient);
}
