#include "account/tilecard.h"

#include <QMouseEvent>

namespace pfp {

TileCard::TileCard(QWidget *parent)
    : QFrame(parent)
{}

void TileCard::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && m_action)
        m_action();
    QFrame::mousePressEvent(event);
}

} // namespace pfp
