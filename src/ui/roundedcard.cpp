#include "ui/roundedcard.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace Cdlg {

namespace {
constexpr qreal kRadius = 18.0;
constexpr qreal kNavyBandHeight = 5.0;
constexpr qreal kGoldLineHeight = 3.0;
constexpr qreal kHighlightHeight = 1.0;
} // namespace

RoundedCard::RoundedCard(QWidget *parent)
    : QFrame(parent)
{}

void RoundedCard::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);

    // Inset by 0.6 px so the 1 px border falls on pixel centres.
    const QRectF r = QRectF(rect()).adjusted(0.6, 0.6, -0.6, -0.6);
    QPainterPath card;
    card.addRoundedRect(r, kRadius, kRadius);

    QLinearGradient body(r.topLeft(), r.bottomLeft());
    body.setColorAt(0.0, QColor(0xff, 0xff, 0xff));
    body.setColorAt(0.55, QColor(0xfc, 0xfd, 0xff));
    body.setColorAt(1.0, QColor(0xed, 0xf1, 0xf8));
    p.fillPath(card, body);

    // The header accent is clipped to the card so it follows the rounded top corners.
    p.save();
    p.setClipPath(card);
    const QRectF band(r.left(), r.top(), r.width(), kNavyBandHeight);
    QLinearGradient navy(band.topLeft(), band.bottomLeft());
    navy.setColorAt(0.0, QColor(0x1a, 0x2a, 0x4a));
    navy.setColorAt(1.0, QColor(0x24, 0x36, 0x5c));
    p.fillRect(band, navy);

    const QRectF gold(r.left(), band.bottom(), r.width(), kGoldLineHeight);
    QLinearGradient goldGrad(r.topLeft(), r.topRight());
    goldGrad.setColorAt(0.0, QColor(0xef, 0xda, 0x9e));
    goldGrad.setColorAt(0.35, QColor(0xd4, 0xb4, 0x63));
    goldGrad.setColorAt(0.6, QColor(0xc9, 0xa8, 0x4c));
    goldGrad.setColorAt(1.0, QColor(0xa9, 0x86, 0x2e));
    p.fillRect(gold, goldGrad);

    p.fillRect(QRectF(r.left(), gold.bottom(), r.width(), kHighlightHeight), QColor(255, 255, 255, 150));
    p.restore();

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x14, 0x20, 0x38, 22), 1.0));
    p.drawRoundedRect(r, kRadius, kRadius);
}

} // namespace Cdlg
