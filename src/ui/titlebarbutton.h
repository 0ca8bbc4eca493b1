#pragma once

#include <QPushButton>

// Minimise or close button of a custom title bar (the sign-in window's), painted rather than styled.
class TitleBarButton final : public QPushButton
{
    Q_OBJECT
public:
    enum Kind { Minimise = 0, Close = 1 };

    // kind 0 is minimise, any other value close.
    explicit TitleBarButton(int kind, QWidget *parent = nullptr);
    ~TitleBarButton() override;

    int kind() const { return m_kind; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_kind;
};
