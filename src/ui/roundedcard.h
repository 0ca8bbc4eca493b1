#pragma once

#include <QFrame>

namespace Cdlg {

// The white card of every card dialog: rounded corners, a navy-and-gold header accent and a hairline border,
// all painted, so the dialog around it can stay translucent and carry the drop shadow.
class RoundedCard final : public QFrame
{
    Q_OBJECT
public:
    explicit RoundedCard(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace Cdlg
