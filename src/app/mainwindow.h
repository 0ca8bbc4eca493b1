#pragma once

#include <QList>
#include <QMainWindow>
#include <QPoint>

class CapacityBanner;
class FileListPage;
class NativeFrame;
class NotificationBell;
class ProfilePage;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QSystemTrayIcon;
class QTimer;
class StatusBar;
class SyncManager;
class TransferPage;
class UpdateChecker;

// The one window a signed-in user works in: painted title bar, sidebar with the categories and
// spaces, header with search and the user, the page stack and the status bar. Closing hides it to
// the system tray; only logout ends the program.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    // Stack indexes of the pages.
    enum Page {
        AllFilesPage = 0,
        OtherFilesPage = 5,
        TeamSpacesPage = 6,
        VaultPage = 7,
        TrashPage = 8,
        ProfilePage = 9,
        TransfersPage = 10,
        SharesPage = 11,
        SyncPage = 12,
        PageCount = 13
    };
    static constexpr int SearchDebounceMs = 350;
    static constexpr int SpeedTickMs = 1000;
    // Logout waits this long at most for the server to hear it before the program ends.
    static constexpr int LogoutGraceMs = 2000;
    // Reports of changed files closer together than this end in one profile request.
    static constexpr int QuotaRefreshDelayMs = 400;
    static constexpr int UpdateCheckDelayMs = 6000;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Shows the page at index (0 when out of range), checks its sidebar entry and shows the
    // search box only on the file pages.
    void switchTo(int index);
    // A sidebar entry's click: the page at its root (a file page leaves its folder and search), shown.
    void openFromSidebar(int index);
    int currentIndex() const;
    // Header name and avatar, window title, title bar label and tray tooltip from the session.
    void refreshUserInfo();
    // Asks the server for fresh storage figures and shows the current ones at once.
    void refreshCapacity();
    // Quota label and bar from the session, without a request.
    void showQuota();
    void loadExpiryBanner();
    void refreshCompanyName();
    void checkConnection();
    // Ends the session at once (window hidden, session cleared) and emits logoutRequested() when the
    // server has answered the logout request, or after LogoutGraceMs when it does not.
    void doLogout();
    // Gives the current file page the search box text and reloads it; nothing on other pages.
    void applySearch();
    // "托尔瓦企业存储[ - company] - username".
    static QString titleText();

    FileListPage *filePage(int index) const;
    QStackedWidget *pageStack() const { return m_stack; }
    StatusBar *statusBarFrame() const { return m_statusBar; }
    CapacityBanner *banner() const { return m_banner; }
    NotificationBell *bell() const { return m_bell; }
    // The start-up check; null until it has begun.
    UpdateChecker *updateChecker() const { return m_updateChecker; }
    ::ProfilePage *profilePage() const { return m_profilePage; }
    TransferPage *transferPage() const { return m_transferPage; }
    SyncManager *syncManager() const { return m_syncManager; }
    // The tray's tooltip: the title, then the folder sync's overall state when there are pairs.
    QString trayToolTip() const;

    // Without a tray area the window minimises on close instead of hiding, so it can always be found again.
    bool trayAreaAvailable() const { return m_trayAvailable; }
    void setTrayAreaAvailable(bool available) { m_trayAvailable = available; }

    // The smallest size at which the toolbar texts, the name column and the status bar show whole.
    QSize minimumWindowSize() const;

signals:
    void logoutRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool nativeEvent(const QByteArray &eventType, void *message, qintptr *result) override;
    void changeEvent(QEvent *event) override;

private:
    QWidget *buildTitleBar();
    QWidget *buildSidebar();
    QWidget *buildRightColumn();
    QWidget *buildHeader();
    void buildPages();
    void buildTray();
    void restoreFromTray();
    void toggleMaximized();
    void finishLogout();
    void startUpdateCheck();
    // The transfer list: its sidebar count, the connection watch, file changes of finished uploads.
    void wireTransfers();
    void showRunningTransfers(int count);
    // Jobs paused for the connection or left by the last run: "N 项等待" on the transfer entry.
    void showWaitingTransfers(int count);
    void refreshTrayToolTip();

    // Native frame.
    void applyFrameAttributes();
    void stripCaption();

    QWidget *m_titleBar = nullptr;
    QWidget *m_sidebar = nullptr;
    QScrollArea *m_navScroll = nullptr;
    QWidget *m_header = nullptr;
    QLabel *m_titleLabel = nullptr;
    QStackedWidget *m_stack = nullptr;
    QList<QPushButton *> m_navButtons;
    QList<FileListPage *> m_filePages;
    QLineEdit *m_searchBox = nullptr;
    QTimer *m_searchTimer = nullptr;
    QTimer *m_speedTimer = nullptr;
    QTimer *m_quotaRefreshTimer = nullptr;
    QTimer *m_logoutTimer = nullptr;
    QLabel *m_avatarLabel = nullptr;
    QLabel *m_nameLabel = nullptr;
    QLabel *m_quotaLabel = nullptr;
    QProgressBar *m_quotaBar = nullptr;
    NotificationBell *m_bell = nullptr;
    UpdateChecker *m_updateChecker = nullptr;
    CapacityBanner *m_banner = nullptr;
    ::ProfilePage *m_profilePage = nullptr;
    TransferPage *m_transferPage = nullptr;
    SyncManager *m_syncManager = nullptr;
    QLabel *m_transferBadge = nullptr;
    QLabel *m_transferWaiting = nullptr;
    StatusBar *m_statusBar = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    NativeFrame *m_frame = nullptr;
    bool m_trayAvailable = false;
    bool m_quitting = false;
    bool m_logoutFinished = false;
    bool m_trayNoticeShown = false;
    bool m_hidden = false;
    bool m_frameAttributesApplied = false;
    // A left press on the title bar that has not yet become a move.
    QPoint m_titleBarPress;
    bool m_titleBarPressed = false;
};
