#include "ui/rowbutton.h"

#include <QToolButton>

QToolButton *makeRowButton(const QString &text, const QString &tip, const char *objectName, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setText(text);
    button->setToolTip(tip);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}
