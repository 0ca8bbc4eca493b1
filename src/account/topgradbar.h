#pragma once

#include <QFrame>

// Paints the gold-to-navy strip over the whole of widget, its top corners rounded to
// cornerDiameter / 2. Shared by the sign-in card and the payment card.
void paintGradientStrip(QWidget *widget, qreal cornerDiameter);

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
