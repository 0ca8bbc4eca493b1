#pragma once

#include <QPushButton>

namespace paydlg {

// The payment card's "×": a painted cross on a rounded hover/pressed background.
class CloseButton final : public QPushButton
{
    Q_OBJECT

public:
    explicit CloseButton(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace paydlg
