#include "account/legalcard.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {
constexpr qreal CardRadius = 18.0;
constexpr int StripHeight = 3;
} // namespace

LegalCard::LegalCard(QWidget *parent)
    : QFrame(parent)
{}

void LegalCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF r(0.5, 0.5, width() - 1, height() - 1);
    QPainterPath shape;
    shape.addRoundedRect(r, CardRadius, CardRadius);
    painter.fillPath(shape, Qt::white);

    painter.setClipPath(shape);
    QLinearGradient gradient(0, 0, width(), 0);
    gradient.setColorAt(0, QColor(201, 168, 76));
    gradient.setColorAt(1, QColor(26, 42, 74));
    painter.fillRect(QRect(0, 0, width(), StripHeight), gradient);
    painter.setClipping(false);

    painter.setPen(QPen(QColor(0, 0, 0, 15), 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(shape);
}
