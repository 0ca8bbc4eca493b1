#include "account/closebutton.h"

#include <QPainter>
#include <QPainterPath>

namespace paydlg {

namespace {
constexpr int ButtonSize = 30;
constexpr qreal CrossHalf = 6.0;
} // namespace

CloseButton::CloseButton(QWidget *parent)
    : QPushButton(parent)
{
    setFixedSize(ButtonSize, ButtonSize);
    setCursor(Qt::PointingHandCursor);
    setFlat(true);
    setFocusPolicy(Qt::NoFocus);
    setToolTip(QStringLiteral("关闭"));
}

void CloseButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool hovered = underMouse();
    if (isDown()) {
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 8, 8);
        painter.fillPath(path, QColor(26, 42, 74, 26));
    } else if (hovered) {
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 8, 8);
        painter.fillPath(path, QColor(242, 244, 248));
    }
    QPen pen(hovered ? QColor(26, 42, 74) : QColor(152, 161, 179), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::BevelJoin);
    painter.setPen(pen);
    const QPointF c = QRectF(rect()).center();
    painter.drawLine(QPointF(c.x() - CrossHalf, c.y() - CrossHalf), QPointF(c.x() + CrossHalf, c.y() + CrossHalf));
    painter.drawLine(QPointF(c.x() - CrossHalf, c.y() + CrossHalf), QPointF(c.x() + CrossHalf, c.y() - CrossHalf));
}

} // namespace paydlg
