#pragma once

#include <QUrl>
#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;
class QStackedWidget;
class QTableView;
class TransferDelegate;
class TransferListModel;
class TransferManager;
class TransferSettingsPanel;
class TransferTask;

// 「传输列表」: every upload and download of the client with its progress, speed, time left and
// state, the commands 暂停, 继续, 取消, 重试 and 打开所在文件夹, and beside the list the transfer
// settings. One table view over a model; rows are painted, not built from widgets.
class TransferPage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TransferPage)

public:
    enum View { ListView = 0, SettingsView = 1 };

    explicit TransferPage(TransferManager *manager, QWidget *parent = nullptr);

    // Runs a row's command, as a click on its link does.
    void runCommand(int row, const QString &command);
    void showView(View view);
    View currentView() const;

    TransferListModel *model() const { return m_model; }
    QTableView *table() const { return m_table; }
    TransferSettingsPanel *settingsPanel() const { return m_settings; }
    // Replaces the desktop's URL handler (tests).
    void setUrlOpener(std::function<bool(const QUrl &)> opener) { m_openUrl = std::move(opener); }

private:
    void updateSummary();

    TransferManager *m_manager;
    TransferListModel *m_model = nullptr;
    TransferDelegate *m_delegate = nullptr;
    QTableView *m_table = nullptr;
    QStackedWidget *m_views = nullptr;
    QLabel *m_summary = nullptr;
    QLabel *m_empty = nullptr;
    QPushButton *m_listTab = nullptr;
    QPushButton *m_settingsTab = nullptr;
    QPushButton *m_clearButton = nullptr;
    TransferSettingsPanel *m_settings = nullptr;
    QString m_credentialProblem; // the keyring's last complaint about the proxy password
    std::function<bool(const QUrl &)> m_openUrl;
};
