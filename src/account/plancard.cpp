#include "account/plancard.h"

#include <QMouseEvent>

namespace paydlg {

PlanCard::PlanCard(QWidget *parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("PC"));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void PlanCard::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && m_action)
        m_action();
    QFrame::mousePressEvent(event);
}

} // namespace paydlg
