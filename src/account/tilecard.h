#pragma once

#include <QFrame>
#include <functional>

namespace pfp {

// One of the personal centre's tiles: a frame that runs its action on a left-button press.
class TileCard final : public QFrame
{
    Q_OBJECT

public:
    explicit TileCard(QWidget *parent = nullptr);

    void setAction(std::function<void()> action) { m_action = std::move(action); }

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    std::function<void()> m_action;
};

} // namespace pfp
