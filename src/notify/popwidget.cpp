#include "notify/popwidget.h"

#include <QPainter>
#include <QPainterPath>

namespace {
constexpr qreal CornerRadius = 8;
const QColor CardFill(0xff, 0xff, 0xff);
const QColor CardBorder(0xe5, 0xe7, 0xeb);
} // namespace

PopWidget::PopWidget(QWidget *parent)
    : QWidget(parent)
{}

void PopWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(CardBorder, 1));
    painter.setBrush(CardFill);
    // Half a pixel in, so the one-pixel border falls on whole pixels.
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), CornerRadius, CornerRadius);
}
