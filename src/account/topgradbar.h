#pragma once

#include <QFrame>

// The thin gold-to-navy strip on top of the sign-in card. Its top corners follow a 14-pixel
// card radius; whatever lies below the widget's height is clipped away.
class TopGradBar final : public QFrame
{
    Q_OBJECT

public:
    explicit TopGradBar(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
