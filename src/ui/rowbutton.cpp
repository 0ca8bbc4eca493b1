#include "ui/rowbutton.h"

#include <QToolButton>

QToolButton *makeRowButton(const QString &text, const QString &tip, const char *objectName, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setText(text);
    button->setToolTip(tip);
    // The glyph means nothing to a screen reader; the tip says what the button does.
    button->setAccessibleName(tip);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}
