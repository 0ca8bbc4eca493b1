#pragma once

#include <QObject>
#include <QPointer>

class QWidget;
class UpdateChecker;

namespace Cdlg {
class ProgressCard;
}

// The update flow reached from the bell's update row: check, ask, download with a progress card
// that can cancel, then ask again and start the verified installer.
class UpdatePrompt final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdatePrompt)

public:
    // window: where the cards are centred; also the owner.
    explicit UpdatePrompt(QWidget *window);
    ~UpdatePrompt() override;

    // Starts the flow unless one is already running.
    void run();
    bool isRunning() const { return m_running; }
    UpdateChecker *checker() const { return m_checker; }

private:
    void onChecked(bool hasUpdate, const QString &latestVersion);
    void onDownloaded(const QString &path);
    void onFailed(const QString &message);
    void closeCard();

    QPointer<QWidget> m_window;
    UpdateChecker *m_checker = nullptr;
    QPointer<Cdlg::ProgressCard> m_card;
    bool m_running = false;
};
