#pragma once

#include "ui/carddialog.h"

class QProgressBar;

namespace Cdlg {

// A card with a message above a progress bar and one button that cancels. Shown with show(); the owner
// drives progressBar() and messageLabel(). canceled() is emitted at most once in the card's life.
class ProgressCard final : public CardDialog
{
    Q_OBJECT
public:
    ProgressCard(const QString &title, QWidget *parent, const QString &buttonText, const QString &message);
    ~ProgressCard() override;

    QProgressBar *progressBar() const { return m_progressBar; }
    QLabel *messageLabel() const { return m_messageLabel; }

    void done(int result) override;

signals:
    void canceled();

private:
    QProgressBar *m_progressBar = nullptr;
    QLabel *m_messageLabel = nullptr;
    bool m_canceledEmitted = false;
};

} // namespace Cdlg
