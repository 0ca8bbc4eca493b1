#pragma once

#include <QFrame>
#include <functional>

namespace paydlg {

// A duration card of the payment dialog: a frame that runs its action on a left-button press.
class PlanCard final : public QFrame
{
    Q_OBJECT

public:
    explicit PlanCard(QWidget *parent = nullptr);

    void setAction(std::function<void()> action) { m_action = std::move(action); }

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    std::function<void()> m_action;
};

} // namespace paydlg
