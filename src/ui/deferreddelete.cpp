#include "ui/deferreddelete.h"

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace {

QDialog *openDialogOf(const QWidget *widget)
{
    const QList<QDialog *> dialogs = widget->findChildren<QDialog *>();
    for (QDialog *dialog : dialogs) {
        if (dialog->isVisible())
            return dialog;
    }
    return nullptr;
}

} // namespace

void deleteWhenDialogsClose(QWidget *widget)
{
    if (!widget)
        return;
    // Hiding a widget leaves its dialogs (windows of their own) up.
    widget->hide();
    QDialog *dialog = openDialogOf(widget);
    if (!dialog) {
        widget->deleteLater();
        return;
    }
    // The dialog is destroyed when its blocking call returns, while the caller may still be running
    // on the widget: look again once control is back in an event loop.
    const QPointer<QWidget> guard(widget);
    QObject::connect(dialog, &QObject::destroyed, widget,
                     [guard] { QTimer::singleShot(0, guard, [guard] { deleteWhenDialogsClose(guard); }); });
}
