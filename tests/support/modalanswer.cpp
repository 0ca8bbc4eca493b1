#include "modalanswer.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>

void answerModal(std::function<void(QDialog *dialog)> action)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action = std::move(action)] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        action(dialog);
    });
    timer->start();
}
