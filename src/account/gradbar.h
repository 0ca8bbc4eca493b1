#pragma once

#include <QFrame>

namespace paydlg {

// The gold-to-navy strip on top of the payment card; its top corners follow the card's 18-pixel radius.
class GradBar final : public QFrame
{
    Q_OBJECT

public:
    explicit GradBar(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace paydlg
