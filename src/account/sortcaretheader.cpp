#include "account/sortcaretheader.h"

#include <QPainter>
#include <QPolygonF>

namespace {
const QColor HeaderNavy(26, 42, 74);
const QColor CaretGold(201, 168, 76);
const QColor CaretDim(255, 255, 255, 95);
constexpr int CaptionPixelSize = 13;
} // namespace

SortCaretHeader::SortCaretHeader(QWidget *parent)
    : QHeaderView(Qt::Horizontal, parent)
{}

void SortCaretHeader::paintSection(QPainter *painter, const QRect &rect, int logicalIndex) const
{
    if (!rect.isValid() || !model() || logicalIndex < 0 || logicalIndex >= model()->columnCount()) {
        QHeaderView::paintSection(painter, rect, logicalIndex);
        return;
    }
    painter->save();
    painter->fillRect(rect, HeaderNavy);

    const QString text = model()->headerData(logicalIndex, Qt::Horizontal, Qt::DisplayRole).toString();
    QFont captionFont = font();
    captionFont.setWeight(QFont::Bold);
    captionFont.setPixelSize(CaptionPixelSize);
    painter->setFont(captionFont);
    painter->setPen(Qt::white);
    const bool right = m_rightAligned && m_rightAligned(logicalIndex);
    const QRect textRect(rect.left() + 12, rect.top(), rect.width() - 42, rect.height());
    painter->drawText(textRect, (right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter, text);

    const qreal x = right ? rect.right() - 23 : rect.left() + QFontMetrics(captionFont).horizontalAdvance(text) + 22;
    const qreal y = QRectF(rect).center().y() + 0.5;
    const int state = m_sortState ? m_sortState(logicalIndex) : 0;
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(state > 0 ? CaretGold : CaretDim);
    painter->drawPolygon(QPolygonF({QPointF(x - 4, y - 1), QPointF(x + 4, y - 1), QPointF(x, y - 5)}));
    painter->setBrush(state < 0 ? CaretGold : CaretDim);
    painter->drawPolygon(QPolygonF({QPointF(x - 4, y + 1), QPointF(x + 4, y + 1), QPointF(x, y + 5)}));
    painter->restore();
}
