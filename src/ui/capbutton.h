#pragma once

#include <QPushButton>

// Minimise, maximise/restore or close button of the main window's title bar, painted in gold.
class CapButton final : public QPushButton
{
    Q_OBJECT
public:
    enum Kind { Minimise = 0, Maximise = 1, Close = 2 };

    explicit CapButton(int kind, QWidget *parent = nullptr);
    ~CapButton() override;

    int kind() const { return m_kind; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_kind;
};
