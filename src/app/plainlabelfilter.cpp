#include "app/plainlabelfilter.h"

#include <QEvent>
#include <QLabel>

namespace Theme {

PlainLabelFilter::PlainLabelFilter(QObject *parent)
    : QObject(parent)
{}

bool PlainLabelFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Polish)
        return false;
    auto *label = qobject_cast<QLabel *>(watched);
    if (label && label->textFormat() == Qt::AutoText)
        label->setTextFormat(Qt::PlainText);
    return false;
}

} // namespace Theme
