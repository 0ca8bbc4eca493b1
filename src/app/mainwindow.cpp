#include "app/mainwindow.h"

#include "account/profilepage.h"
#include "app/capacitybanner.h"
#include "app/nativeframe.h"
#include "app/statusbar.h"
#include "app/transferpage.h"
#include "files/filechangenotifier.h"
#include "files/filelistpage.h"
#include "net/session.h"
#include "notify/notificationbell.h"
#include "share/mysharespage.h"
#include "spaces/teamspacepage.h"
#include "spaces/trashpage.h"
#include "spaces/vaultpage.h"
#include "sync/syncmanager.h"
#include "transfer/transfermanager.h"
#include "ui/capbutton.h"
#include "ui/syncpage.h"
#include "update/updatechecker.h"

#include <QAction>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

namespace {

const QString LogoLarge = QStringLiteral(":/resources/logo-velno.png");
const QString LogoMark = QStringLiteral(":/resources/logo-mark.png");

constexpr int TitleBarHeight = 40;
constexpr int SidebarWidth = 210;
constexpr int HeaderHeight = 64;
constexpr int SearchBoxWidth = 320;

struct FileCategory
{
    const char *key;
    const char *label;
};

// Sidebar order of the six personal file pages, which is also their stack order.
constexpr FileCategory FileCategories[] = {
    {"all", "全部文件"},  {"image", "图片"}, {"video", "视频"},
    {"document", "文档"}, {"audio", "音频"}, {"other", "其他"},
};

struct NavEntry
{
    const char *label;
    int page;
};

constexpr NavEntry NavEntries[] = {
    {"全部文件", 0}, {"图片", 1},   {"视频", 2},      {"文档", 3},  {"音频", 4},     {"其他", 5},      {"团队空间", 6},
    {"保险箱", 7},   {"回收站", 8}, {"我的分享", 11}, {"同步", 12}, {"个人中心", 9}, {"传输列表", 10},
};

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setWindowTitle(titleText());
    resize(1180, 760);
#ifndef Q_OS_WIN
    // Elsewhere the toolkit's frameless window stands in for the stripped system caption.
    setWindowFlag(Qt::FramelessWindowHint);
    m_frame = new NativeFrame(this);
#endif

    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("MailCentral"));
    central->setAttribute(Qt::WA_StyledBackground);
    central->setStyleSheet(QStringLiteral("#MailCentral{background:#1A2A4A;}"));
    auto *rows = new QVBoxLayout(central);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    rows->addWidget(buildTitleBar());

    auto *body = new QWidget(central);
    auto *columns = new QHBoxLayout(body);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    columns->addWidget(buildSidebar());
    columns->addWidget(buildRightColumn(), 1);
    rows->addWidget(body, 1);

    m_statusBar = new StatusBar(central);
    // Its contacts and clock are wider than the window's default width; they must not widen the window.
    m_statusBar->setSizePolicy(QSizePolicy::Ignored, m_statusBar->sizePolicy().verticalPolicy());
    rows->addWidget(m_statusBar);
    setCentralWidget(central);

    buildTray();
    wireTransfers();

    Session *session = Session::instance();
    connect(session, &Session::changed, this, &MainWindow::refreshUserInfo);
    connect(session, &Session::capacityChanged, this, &MainWindow::showQuota);

    m_speedTimer = new QTimer(this);
    m_speedTimer->setInterval(SpeedTickMs);
    connect(m_speedTimer, &QTimer::timeout, m_statusBar, &StatusBar::meterTick);
    m_speedTimer->start();

    // Uploads, deletes, restores and purges change the storage used: follow them, once per burst.
    m_quotaRefreshTimer = new QTimer(this);
    m_quotaRefreshTimer->setObjectName(QStringLiteral("QuotaRefresh"));
    m_quotaRefreshTimer->setSingleShot(true);
    m_quotaRefreshTimer->setInterval(QuotaRefreshDelayMs);
    connect(m_quotaRefreshTimer, &QTimer::timeout, this, &MainWindow::refreshCapacity);
    connect(FileChangeNotifier::instance(), &FileChangeNotifier::filesChanged, m_quotaRefreshTimer,
            qOverload<>(&QTimer::start));

    refreshCapacity();
    refreshUserInfo();
    loadExpiryBanner();
    refreshCompanyName();

    m_searchTimer = new QTimer(this);
    m_searchTimer->setObjectName(QStringLiteral("SearchDebounce"));
    m_searchTimer->setSingleShot(true);
    m_searchTimer->setInterval(SearchDebounceMs);
    connect(m_searchTimer, &QTimer::timeout, this, &MainWindow::applySearch);
    connect(m_searchBox, &QLineEdit::textChanged, m_searchTimer, qOverload<>(&QTimer::start));
    connect(m_searchBox, &QLineEdit::returnPressed, this, [this] {
        m_searchTimer->stop();
        applySearch();
    });
    // Escape anywhere in the window ends a search and shows the folder again, at once.
    auto *clearSearch = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    clearSearch->setObjectName(QStringLiteral("ClearSearch"));
    connect(clearSearch, &QShortcut::activated, this, [this] {
        if (m_searchBox->text().isEmpty() || !m_searchBox->isVisible())
            return;
        const QSignalBlocker quiet(m_searchBox);
        m_searchBox->clear();
        m_searchTimer->stop();
        applySearch();
    });

    auto *updateDelay = new QTimer(this);
    updateDelay->setObjectName(QStringLiteral("UpdateCheckDelay"));
    updateDelay->setSingleShot(true);
    connect(updateDelay, &QTimer::timeout, this, &MainWindow::startUpdateCheck);
    updateDelay->start(UpdateCheckDelayMs);
    connect(m_bell, &NotificationBell::updateRequested, this, [this] {
        switchTo(ProfilePage);
        m_profilePage->showTile(::ProfilePage::UpdateTile);
        m_profilePage->checkForUpdate();
    });

    switchTo(AllFilesPage);
    // Where the fonts are wider than the default size allows, the floor wins.
    setMinimumSize(minimumWindowSize());
}

void MainWindow::wireTransfers()
{
    TransferManager *transfers = TransferManager::instance();
    transfers->restoreSettings();
    connect(transfers, &TransferManager::runningCountChanged, this, &MainWindow::showRunningTransfers);
    showRunningTransfers(transfers->runningCount());
    connect(transfers, &TransferManager::waitingCountChanged, this, &MainWindow::showWaitingTransfers);
    showWaitingTransfers(transfers->waitingCount());
    // Jobs pause while the status bar's probe finds no server, and go on when it answers again;
    // a job that finds no server asks for a probe at once.
    connect(m_statusBar, &StatusBar::connectionProbed, transfers, &TransferManager::setServerReachable);
    connect(transfers, &TransferManager::reachabilityCheckRequested, m_statusBar, &StatusBar::checkConnection);
    // Uploads that finish (those continued after a restart too) change the storage used.
    connect(transfers, &TransferManager::taskFinished, this, [](TransferTask *task) {
        if (task->isUpload())
            FileChangeNotifier::notify();
    });
}

void MainWindow::showRunningTransfers(int count)
{
    m_transferBadge->setText(QString::number(count));
    m_transferBadge->setVisible(count > 0);
}

void MainWindow::showWaitingTransfers(int count)
{
    m_transferWaiting->setText(QStringLiteral("%1 项等待").arg(count));
    m_transferWaiting->setVisible(count > 0);
}

void MainWindow::startUpdateCheck()
{
    if (m_updateChecker)
        return;
    m_updateChecker =
        new UpdateChecker(UpdateChecker::platformChannel(), QLatin1String(UpdateChecker::CurrentVersion), this);
    m_updateChecker->setObjectName(QStringLiteral("StartupUpdateChecker"));
    connect(m_updateChecker, &UpdateChecker::checked, this, [this](bool hasUpdate, const QString &latestVersion) {
        if (hasUpdate)
            m_bell->setUpdateNotice(QStringLiteral("发现新版本 v%1，点击升级").arg(latestVersion));
    });
    m_updateChecker->check();
}

MainWindow::~MainWindow() = default;

QWidget *MainWindow::buildTitleBar()
{
    m_titleBar = new QWidget(this);
    m_titleBar->setObjectName(QStringLiteral("MailTitleBar"));
    m_titleBar->setAttribute(Qt::WA_StyledBackground);
    m_titleBar->setFixedHeight(TitleBarHeight);
    m_titleBar->setStyleSheet(QStringLiteral("#MailTitleBar{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 "
                                             "#22304f,stop:1 #1A2A4A);border-bottom:2px solid #C9A84C;}"));
    auto *layout = new QHBoxLayout(m_titleBar);
    layout->setContentsMargins(14, 0, 0, 0);
    layout->setSpacing(0);

    auto *mark = new QLabel(m_titleBar);
    mark->setFixedSize(18, 18);
    mark->setStyleSheet(QStringLiteral("background:transparent;"));
    mark->setPixmap(QPixmap(LogoMark));
    mark->setScaledContents(true);
    layout->addWidget(mark);
    layout->addSpacing(10);

    m_titleLabel = new QLabel(titleText(), m_titleBar);
    m_titleLabel->setObjectName(QStringLiteral("MailTitleText"));
    m_titleLabel->setStyleSheet(
        QStringLiteral("color:#ffffff;font-size:13px;font-weight:700;letter-spacing:1px;background:transparent;"));
    layout->addWidget(m_titleLabel);
    layout->addStretch();

    const char *tips[] = {"最小化", "最大化/还原", "最小化到托盘"};
    for (int kind = CapButton::Minimise; kind <= CapButton::Close; ++kind) {
        auto *button = new CapButton(kind, m_titleBar);
        button->setToolTip(QString::fromUtf8(tips[kind]));
        button->setAccessibleName(QString::fromUtf8(tips[kind]));
        layout->addWidget(button);
        switch (kind) {
        case CapButton::Minimise:
            connect(button, &QPushButton::clicked, this, &QWidget::showMinimized);
            break;
        case CapButton::Maximise:
            connect(button, &QPushButton::clicked, this, &MainWindow::toggleMaximized);
            break;
        default:
            connect(button, &QPushButton::clicked, this, &QWidget::close);
            break;
        }
    }
    m_titleBar->installEventFilter(this);
    return m_titleBar;
}

QWidget *MainWindow::buildSidebar()
{
    auto *side = new QFrame(this);
    m_sidebar = side;
    side->setObjectName(QStringLiteral("MailSide"));
    side->setFixedWidth(SidebarWidth);
    auto *column = new QVBoxLayout(side);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto *brand = new QHBoxLayout;
    brand->setContentsMargins(18, 16, 14, 8);
    brand->setSpacing(10);
    auto *logo = new QLabel(side);
    logo->setFixedSize(40, 40);
    logo->setStyleSheet(QStringLiteral("background:transparent;"));
    const QPixmap logoPixmap(LogoLarge);
    if (!logoPixmap.isNull())
        logo->setPixmap(logoPixmap.scaled(40, 40, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    brand->addWidget(logo);
    auto *names = new QVBoxLayout;
    names->setSpacing(0);
    auto *title = new QLabel(QStringLiteral("托尔瓦企业存储"), side);
    title->setObjectName(QStringLiteral("SideLogoT1"));
    auto *subtitle = new QLabel(QStringLiteral("企业级存储管理系统"), side);
    subtitle->setObjectName(QStringLiteral("SideLogoT2"));
    names->addWidget(title);
    names->addWidget(subtitle);
    brand->addLayout(names);
    brand->addStretch();
    column->addLayout(brand);

    auto *scroll = new QScrollArea(side);
    m_navScroll = scroll;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setStyleSheet(QStringLiteral("QScrollArea{background:transparent;border:none;}"));
    auto *navContent = new QWidget(scroll);
    navContent->setStyleSheet(QStringLiteral("background:transparent;"));
    auto *nav = new QVBoxLayout(navContent);
    nav->setContentsMargins(10, 6, 10, 6);
    nav->setSpacing(2);
    for (const NavEntry &entry : NavEntries) {
        auto *button = new QPushButton(QString::fromUtf8(entry.label), navContent);
        button->setObjectName(QStringLiteral("SideFootItem"));
        button->setCheckable(true);
        button->setCursor(Qt::PointingHandCursor);
        button->setProperty("stk", entry.page);
        const int page = entry.page;
        connect(button, &QPushButton::clicked, this, [this, page] { openFromSidebar(page); });
        nav->addWidget(button);
        m_navButtons.append(button);
        if (page == TransfersPage) {
            // The number of running jobs, at the right end of the entry.
            auto *inside = new QHBoxLayout(button);
            inside->setContentsMargins(0, 0, 10, 0);
            inside->addStretch();
            // Jobs that wait (for the network, or since the last run) look paused; the entry says they wait.
            m_transferWaiting = new QLabel(button);
            m_transferWaiting->setObjectName(QStringLiteral("TransferWaiting"));
            m_transferWaiting->setToolTip(QStringLiteral("等待网络恢复或上次未完成的任务"));
            m_transferWaiting->setStyleSheet(
                QStringLiteral("color:#ad6800;background:transparent;font-size:11px;font-weight:600;"));
            m_transferWaiting->hide();
            inside->addWidget(m_transferWaiting, 0, Qt::AlignVCenter);
            inside->addSpacing(4);
            m_transferBadge = new QLabel(button);
            m_transferBadge->setObjectName(QStringLiteral("TransferBadge"));
            m_transferBadge->setAlignment(Qt::AlignCenter);
            m_transferBadge->setMinimumWidth(20);
            m_transferBadge->setFixedHeight(18);
            m_transferBadge->setStyleSheet(QStringLiteral("background:#C9A84C;color:#1A2A4A;border-radius:9px;"
                                                          "font-size:11px;font-weight:700;padding:1px 6px;"));
            m_transferBadge->hide();
            inside->addWidget(m_transferBadge, 0, Qt::AlignVCenter);
        }
    }
    nav->addStretch();
    scroll->setWidget(navContent);
    column->addWidget(scroll, 1);

    auto *footer = new QVBoxLayout;
    footer->setContentsMargins(10, 8, 10, 8);
    footer->setSpacing(4);
    m_quotaLabel = new QLabel(QStringLiteral("容量加载中…"), side);
    m_quotaLabel->setObjectName(QStringLiteral("UserQuota"));
    m_quotaBar = new QProgressBar(side);
    m_quotaBar->setObjectName(QStringLiteral("QuotaBar"));
    m_quotaBar->setRange(0, 100);
    m_quotaBar->setValue(0);
    m_quotaBar->setTextVisible(false);
    footer->addWidget(m_quotaLabel);
    footer->addWidget(m_quotaBar);
    auto *logoutRow = new QHBoxLayout;
    logoutRow->setContentsMargins(0, 6, 0, 10);
    auto *logout = new QPushButton(QStringLiteral("退出登录"), side);
    logout->setObjectName(QStringLiteral("LogoutBtn"));
    logout->setCursor(Qt::PointingHandCursor);
    connect(logout, &QPushButton::clicked, this, &MainWindow::doLogout);
    logoutRow->addWidget(logout);
    footer->addLayout(logoutRow);
    column->addLayout(footer);
    return side;
}

QWidget *MainWindow::buildHeader()
{
    auto *header = new QFrame(this);
    m_header = header;
    header->setObjectName(QStringLiteral("MailHeader"));
    header->setFixedHeight(HeaderHeight);
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(20, 0, 20, 0);
    row->setSpacing(10);

    m_searchBox = new QLineEdit(header);
    m_searchBox->setObjectName(QStringLiteral("SearchBox"));
    m_searchBox->setPlaceholderText(QStringLiteral("搜索您的文件"));
    m_searchBox->setFixedWidth(SearchBoxWidth);
    m_searchBox->setClearButtonEnabled(true);
    m_searchBox->setAccessibleName(QStringLiteral("搜索您的文件"));
    row->addWidget(m_searchBox);
    row->addStretch();

    m_bell = new NotificationBell(header);
    row->addWidget(m_bell);

    m_avatarLabel = new QLabel(header);
    m_avatarLabel->setObjectName(QStringLiteral("HeaderAvatar"));
    m_avatarLabel->setAlignment(Qt::AlignCenter);
    row->addWidget(m_avatarLabel);
    m_nameLabel = new QLabel(header);
    m_nameLabel->setObjectName(QStringLiteral("HeaderName"));
    row->addWidget(m_nameLabel);
    return header;
}

QWidget *MainWindow::buildRightColumn()
{
    auto *right = new QWidget(this);
    right->setObjectName(QStringLiteral("MailRight"));
    right->setAttribute(Qt::WA_StyledBackground);
    right->setStyleSheet(QStringLiteral("#MailRight{background:#ffffff;}"));
    auto *column = new QVBoxLayout(right);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());

    m_banner = new CapacityBanner(right);
    connect(m_banner, &CapacityBanner::openProfileRequested, this, [this] { switchTo(ProfilePage); });
    connect(m_banner, &CapacityBanner::renewRequested, this, [this] {
        switchTo(ProfilePage);
        m_profilePage->showTile(::ProfilePage::CapacityTile);
    });
    column->addWidget(m_banner);

    m_stack = new QStackedWidget(right);
    m_stack->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    column->addWidget(m_stack, 1);
    buildPages();
    return right;
}

void MainWindow::buildPages()
{
    for (const FileCategory &category : FileCategories) {
        auto *page = new FileListPage(QString::fromLatin1(category.key), QString(), nullptr);
        connect(page, &FileListPage::openTeamRequested, this, [this] { switchTo(TeamSpacesPage); });
        m_filePages.append(page);
        m_stack->addWidget(page);
    }
    m_stack->addWidget(new TeamSpacePage);
    // The enumerators of the same names hide the classes inside MainWindow.
    m_stack->addWidget(new ::VaultPage);
    m_stack->addWidget(new ::TrashPage);

    m_profilePage = new ::ProfilePage;
    connect(m_profilePage, &::ProfilePage::reloginRequested, this, &MainWindow::doLogout);
    connect(m_profilePage, &::ProfilePage::profileSaved, this, [this] {
        refreshUserInfo();
        refreshCapacity();
    });
    connect(m_profilePage, &::ProfilePage::licenseRenewed, this, &MainWindow::refreshCapacity);
    m_stack->addWidget(m_profilePage);

    m_transferPage = new TransferPage(TransferManager::instance());
    m_stack->addWidget(m_transferPage);
    m_stack->addWidget(new MySharesPage);
    // The user's sync pairs run while this window (the signed-in session) lives.
    m_syncManager = new SyncManager(this);
    m_stack->addWidget(new ::SyncPage(m_syncManager));
}

void MainWindow::buildTray()
{
    m_trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    m_tray = new QSystemTrayIcon(QIcon(LogoLarge), this);
    m_tray->setToolTip(trayToolTip());
    connect(m_syncManager, &SyncManager::statusChanged, this, &MainWindow::refreshTrayToolTip);
    connect(m_syncManager, &SyncManager::pairsChanged, this, &MainWindow::refreshTrayToolTip);
    auto *menu = new QMenu(this);
    menu->addAction(QStringLiteral("打开主界面"), this, &MainWindow::restoreFromTray);
    menu->addSeparator();
    menu->addAction(QStringLiteral("退出登录"), this, &MainWindow::doLogout);
    m_tray->setContextMenu(menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            restoreFromTray();
    });
    m_tray->show();
}

QString MainWindow::trayToolTip() const
{
    const QString sync = m_syncManager ? m_syncManager->overallText() : QString();
    return sync.isEmpty() ? titleText() : titleText() + QLatin1Char('\n') + sync;
}

void MainWindow::refreshTrayToolTip()
{
    if (m_tray)
        m_tray->setToolTip(trayToolTip());
}

void MainWindow::restoreFromTray()
{
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}

void MainWindow::toggleMaximized()
{
    if (isMaximized())
        showNormal();
    else
        showMaximized();
}

void MainWindow::switchTo(int index)
{
    if (index < 0 || index >= m_stack->count())
        index = AllFilesPage;
    m_stack->setCurrentIndex(index);
    for (QPushButton *button : std::as_const(m_navButtons))
        button->setChecked(button->property("stk").toInt() == index);
    m_searchBox->setVisible(index <= OtherFilesPage);
}

void MainWindow::openFromSidebar(int index)
{
    // An entry always leads to its page's root: a folder left open there would otherwise receive
    // the next new folder or upload without the user seeing where.
    if (FileListPage *page = filePage(index)) {
        const QSignalBlocker quiet(m_searchBox);
        m_searchBox->clear();
        m_searchTimer->stop();
        page->showRoot();
    }
    switchTo(index);
}

QSize MainWindow::minimumWindowSize() const
{
    // The stack and the status bar ignore their contents' widths (so that no page can widen the
    // window), hence the window's floor is taken from the contents here.
    ensurePolished();
    QSize pages;
    for (int index = 0; index < m_stack->count(); ++index)
        pages = pages.expandedTo(m_stack->widget(index)->minimumSizeHint());
    const QSize header = m_header->minimumSizeHint();
    const int width = qMax(SidebarWidth + qMax(pages.width(), header.width()), m_statusBar->minimumSizeHint().width());

    // Every sidebar entry stays in view: the navigation scrolls only when the window is taller.
    const int sidebarHeight = m_sidebar->minimumSizeHint().height() - m_navScroll->minimumSizeHint().height() +
                              m_navScroll->widget()->sizeHint().height();
    const int bodyHeight = qMax(header.height() + pages.height(), sidebarHeight);
    return {width, TitleBarHeight + bodyHeight + m_statusBar->minimumSizeHint().height()};
}

int MainWindow::currentIndex() const
{
    return m_stack->currentIndex();
}

FileListPage *MainWindow::filePage(int index) const
{
    return m_filePages.value(index, nullptr);
}

void MainWindow::applySearch()
{
    FileListPage *page = filePage(m_stack->currentIndex());
    if (!page)
        return;
    page->setSearchKeyword(m_searchBox->text().trimmed());
    page->reload();
}

void MainWindow::checkConnection()
{
    m_statusBar->checkConnection();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_titleBar) {
        if (event->type() == QEvent::MouseButtonPress) {
            auto *mouse = static_cast<QMouseEvent *>(event);
            if (mouse->button() == Qt::LeftButton) {
                // The move starts once the mouse travels: a system move begun on the press would
                // take the pointer away, and the second click of a double click would never arrive.
                m_titleBarPress = mouse->position().toPoint();
                m_titleBarPressed = true;
                return true;
            }
        } else if (event->type() == QEvent::MouseButtonRelease) {
            m_titleBarPressed = false;
        } else if (event->type() == QEvent::MouseMove) {
            auto *mouse = static_cast<QMouseEvent *>(event);
            if (m_titleBarPressed && (mouse->buttons() & Qt::LeftButton) &&
                (mouse->position().toPoint() - m_titleBarPress).manhattanLength() >=
                    QGuiApplication::styleHints()->startDragDistance()) {
                m_titleBarPressed = false;
                if (QWindow *window = windowHandle())
                    window->startSystemMove();
                return true;
            }
        } else if (event->type() == QEvent::MouseButtonDblClick) {
            m_titleBarPressed = false;
            // Where the system caption does not exist, a double click on the band maximises.
            if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
                toggleMaximized();
                return true;
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
}
