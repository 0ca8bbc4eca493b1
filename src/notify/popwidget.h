#pragma once

#include <QWidget>

// The notification popover's window: a white card with a thin grey border and rounded corners on
// a translucent background.
class PopWidget final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PopWidget)

public:
    explicit PopWidget(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
