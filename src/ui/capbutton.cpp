#include "ui/capbutton.h"

#include <QPainter>

namespace {
constexpr int kWidth = 44;
constexpr int kHeight = 40;
constexpr qreal kHalfGlyph = 5.0;
} // namespace

CapButton::CapButton(int kind, QWidget *parent)
    : QPushButton(parent)
    , m_kind(kind)
{
    setFixedSize(kWidth, kHeight);
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus);
}

CapButton::~CapButton() = default;

void CapButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    const bool isClose = m_kind == Close;
    const bool hovered = underMouse();

    if (hovered)
        p.fillRect(r, isClose ? QColor(192, 57, 43) : QColor(255, 255, 255, 26));

    const QColor color = isClose && hovered ? QColor(Qt::white) : QColor(201, 168, 76);
    const QPointF c = r.center();
    const qreal d = kHalfGlyph;
    switch (m_kind) {
    case Minimise:
        p.setPen(QPen(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(c.x() - d, c.y()), QPointF(c.x() + d, c.y()));
        break;
    case Maximise:
        p.setPen(QPen(color, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(c.x() - d, c.y() - d, 2 * d, 2 * d));
        break;
    default:
        p.setPen(QPen(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(c.x() - d, c.y() - d), QPointF(c.x() + d, c.y() + d));
        p.drawLine(QPointF(c.x() - d, c.y() + d), QPointF(c.x() + d, c.y() - d));
        break;
    }
}
