#include "app/lightdialogfilter.h"

#include "app/theme.h"

#include <QDialog>
#include <QEvent>

namespace Theme {

LightDialogFilter::LightDialogFilter(QObject *parent)
    : QObject(parent)
{}

bool LightDialogFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Show)
        return false;
    auto *dialog = qobject_cast<QDialog *>(watched);
    if (!dialog)
        return false;
    if (dialog->testAttribute(Qt::WA_TranslucentBackground) || !dialog->styleSheet().isEmpty())
        return false;
    applyLightDialog(dialog);
    return false;
}

} // namespace Theme
