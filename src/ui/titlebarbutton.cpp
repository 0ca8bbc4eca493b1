#include "ui/titlebarbutton.h"

#include <QPainter>
#include <QPainterPath>

namespace {
constexpr int kWidth = 30;
constexpr int kHeight = 26;
constexpr qreal kRadius = 8.0;
constexpr qreal kHalfGlyph = 6.0;
} // namespace

TitleBarButton::TitleBarButton(int kind, QWidget *parent)
    : QPushButton(parent)
    , m_kind(kind)
{
    setFixedSize(kWidth, kHeight);
    setCursor(Qt::ArrowCursor);
    setFlat(true);
    setFocusPolicy(Qt::NoFocus);
    setToolTip(kind == Minimise ? QStringLiteral("最小化") : QStringLiteral("退出程序"));
}

TitleBarButton::~TitleBarButton() = default;

void TitleBarButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    const bool isClose = m_kind != Minimise;
    const bool active = underMouse() || isDown();

    if (active) {
        QColor fill;
        if (isClose)
            fill = QColor(196, 43, 28);
        else
            fill = isDown() ? QColor(26, 42, 74, 26) : QColor(26, 42, 74, 16);
        QPainterPath shape;
        shape.addRoundedRect(r, kRadius, kRadius);
        p.fillPath(shape, fill);
    }

    const QColor glyph = isClose && active ? QColor(Qt::white) : QColor(74, 85, 106);
    p.setPen(QPen(glyph, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::BevelJoin));
    const QPointF c = r.center();
    const qreal d = kHalfGlyph;
    if (isClose) {
        p.drawLine(QPointF(c.x() - d, c.y() - d), QPointF(c.x() + d, c.y() + d));
        p.drawLine(QPointF(c.x() - d, c.y() + d), QPointF(c.x() + d, c.y() - d));
    } else {
        p.drawLine(QPointF(c.x() - d, c.y()), QPointF(c.x() + d, c.y()));
    }
}
