// MainWindow against a scripted server: page switching, the debounced header search, the user
// display and title, the quota, hiding on close, logout, and the hooks that lead to other pages.
#include "account/authwindow.h"
#include "app/capacitybanner.h"
#include "app/mainwindow.h"
#include "app/startup.h"
#include "app/statusbar.h"
#include "app/theme.h"
#include "app/transferpage.h"
#include "files/filechangenotifier.h"
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/filetable.h"
#include "files/formatting.h"
#include "modalanswer.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "screenshots.h"
#include "scriptedserver.h"
#include "sync/syncmanager.h"
#include "transfer/transfermanager.h"
#include "ui/carddialog.h"
#include "ui/roundavatar.h"
#include "ui/syncpage.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QDialog>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>

namespace {

QString pngDataUrl(const QColor &colour, const QSize &size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(bytes.toBase64());
}

void resetSession()
{
    Session *session = Session::instance();
    session->userId = QStringLiteral("1");
    session->username = QStringLiteral("alice");
    session->name = QStringLiteral("王小明");
    session->companyName.clear();
    session->avatarUrl.clear();
    session->token = QStringLiteral("token");
    session->storageUsed = 0;
    session->storageLimit = 0;
}

QPushButton *navButton(const MainWindow &window, const QString &text)
{
    for (QPushButton *button : window.findChildren<QPushButton *>(QStringLiteral("SideFootItem"))) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

QStringList checkedEntries(const MainWindow &window)
{
    QStringList texts;
    for (QPushButton *button : window.findChildren<QPushButton *>(QStringLiteral("SideFootItem"))) {
        if (button->isChecked())
            texts.append(button->text());
    }
    return texts;
}

template <typename T> T *child(const MainWindow &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void switchToClampsAndShowsSearchOnlyOnFilePages();
    void burstOfTypingSearchesOnce();
    void returnSearchesAtOnce();
    void searchOnAnotherPageDoesNothing();
    void titleWithAndWithoutCompany();
    void emptyNamesFallBack();
    void avatarFromDataUrl();
    void roundAvatarIsClippedToACircle();
    void quotaFromSessionAndProfile();
    void closeHidesToTrayOrMinimises();
    void logoutQuitsEvenWithoutNetwork();
    void logoutEndsOnlyAfterTheServerHeardIt();
    void logoutGivesUpOnASilentServer();
    void signInHandsOverAndLogoutEndsTheProgram();
    void quotaFollowsChangedFilesOncePerBurst();
    void meterCountsAfreshWhenShownAgain();
    void minimumSizeShowsEverythingWhole();
    void teamButtonOpensTheTeamSlot();
    void teamSpacesHaveASidebarEntry();
    void sidebarEntryReturnsToTheRoot();
    void escapeEndsTheSearchAtOnce();
    void titleBarDoubleClickMaximises();
    void everyControlHasAnAccessibleName();
    void trayMenuOffersRestoreAndLogout();
    void bannerLeadsToThePersonalCentre();
    void transferEntryCountsRunningJobsAndProbePausesThem();
    void syncEntryOpensItsPageAndTheTrayToolTipSaysTheSyncState();

private:
    int searchRequestCount() const;

    ScriptedServer *m_server = nullptr;
    QJsonObject m_profile;
};

void TestMainWindow::init()
{
    // The sign-in hand-over keeps the transfer list in the data folder: a test one, not the user's.
    QStandardPaths::setTestModeEnabled(true);
    resetSession();
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_profile = QJsonObject{{"storage_used", 0}, {"storage_limit", 0}};
    m_server->on("GET", QStringLiteral("/api/profile"),
                 [this](const RecordedRequest &) { return ScriptedReply::success(m_profile); });
    m_server->on("GET", QStringLiteral("/api/capacity-expiry-alert"), ScriptedReply::success());
    m_server->on("GET", QStringLiteral("/api/plans"), ScriptedReply::success(QJsonArray()));
    m_server->on("GET", QStringLiteral("/api/files*"), ScriptedReply::success(QJsonArray()));
    m_server->on("POST", QStringLiteral("/api/logout"), ScriptedReply::success());
}

void TestMainWindow::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

void TestMainWindow::syncEntryOpensItsPageAndTheTrayToolTipSaysTheSyncState()
{
    // The engine of the pair below waits on the change feed, which never answers here.
    m_server->on("GET", QStringLiteral("/api/sync/changes*"), ScriptedReply::hanging());
    QTemporaryDir local;
    MainWindow window;
    SyncManager *sync = window.syncManager();
    QVERIFY(sync);
    for (const SyncPair &left : sync->pairs())
        sync->removePair(left.id);
    window.show();
    QTest::mouseClick(navButton(window, QStringLiteral("同步")), Qt::LeftButton);
    QCOMPARE(window.currentIndex(), int(MainWindow::SyncPage));
    QVERIFY(qobject_cast<::SyncPage *>(window.pageStack()->currentWidget()));
    QCOMPARE(checkedEntries(window), QStringList{"同步"});

    auto *tray = window.findChild<QSystemTrayIcon *>();
    QCOMPARE(tray->toolTip(), MainWindow::titleText());
    SyncPair pair;
    pair.localPath = local.path();
    pair.folderPath = QStringLiteral("全部文件");
    QString id;
    QCOMPARE(sync->addPair(pair, &id), QString());
    QCOMPARE(tray->toolTip(), MainWindow::titleText() + QStringLiteral("\n同步中"));
    sync->pause(id);
    QCOMPARE(tray->toolTip(), MainWindow::titleText() + QStringLiteral("\n同步已暂停"));
    sync->removePair(id);
    QCOMPARE(tray->toolTip(), MainWindow::titleText());
}

int TestMainWindow::searchRequestCount() const
{
    return int(m_server->requests("GET", QStringLiteral("/api/files/search")).size());
}

void TestMainWindow::switchToClampsAndShowsSearchOnlyOnFilePages()
{
    MainWindow window;
    window.show();
    auto *search = child<QLineEdit>(window, "SearchBox");
    QCOMPARE(window.currentIndex(), 0);
    QCOMPARE(checkedEntries(window), QStringList{"全部文件"});

    window.switchTo(MainWindow::PageCount);
    QCOMPARE(window.currentIndex(), 0);
    QCOMPARE(checkedEntries(window), QStringList{"全部文件"});
    window.switchTo(-1);
    QCOMPARE(window.currentIndex(), 0);

    window.switchTo(6);
    QCOMPARE(window.currentIndex(), 6);
    QCOMPARE(checkedEntries(window), QStringList{"团队空间"});
    QVERIFY(search->isHidden());

    window.switchTo(3);
    QCOMPARE(checkedEntries(window), QStringList{"文档"});
    QVERIFY(search->isVisible());
    QCOMPARE(window.filePage(3)->category(), QStringLiteral("document"));

    QTest::mouseClick(navButton(window, QStringLiteral("回收站")), Qt::LeftButton);
    QCOMPARE(window.currentIndex(), 8);
    QCOMPARE(checkedEntries(window), QStringList{"回收站"});
    QVERIFY(search->isHidden());
    QCOMPARE(window.pageStack()->widget(8)->objectName(), QStringLiteral("SubPage"));

    window.switchTo(9);
    QCOMPARE(checkedEntries(window), QStringList{"个人中心"});
    // The transfer list comes after the ten pages, at the bottom of the sidebar.
    QCOMPARE(window.findChildren<QPushButton *>(QStringLiteral("SideFootItem")).last()->text(),
             QStringLiteral("传输列表"));
    QTest::mouseClick(navButton(window, QStringLiteral("传输列表")), Qt::LeftButton);
    QCOMPARE(window.currentIndex(), int(MainWindow::TransfersPage));
    QCOMPARE(window.pageStack()->currentWidget(), window.transferPage());
    QCOMPARE(checkedEntries(window), QStringList{"传输列表"});
    QVERIFY(search->isHidden());
    window.switchTo(MainWindow::PageCount - 1 + 1);
    QCOMPARE(window.currentIndex(), 0);
    QCOMPARE(window.pageStack()->count(), int(MainWindow::PageCount));
}

void TestMainWindow::burstOfTypingSearchesOnce()
{
    MainWindow window;
    window.show();
    auto *search = child<QLineEdit>(window, "SearchBox");
    auto *timer = child<QTimer>(window, "SearchDebounce");
    QCOMPARE(timer->interval(), 350);

    window.switchTo(2);
    QTest::keyClicks(search, QStringLiteral("hello"));
    QVERIFY(timer->isActive());
    QVERIFY(window.filePage(2)->searchKeyword().isEmpty());

    QTRY_COMPARE(searchRequestCount(), 1);
    QVERIFY(!timer->isActive());
    QCOMPARE(window.filePage(2)->searchKeyword(), QStringLiteral("hello"));
    QCOMPARE(m_server->requests("GET", QStringLiteral("/api/files/search")).first().target,
             QByteArray("/api/files/search?keyword=hello"));
    QVERIFY(window.filePage(0)->searchKeyword().isEmpty());
}

void TestMainWindow::returnSearchesAtOnce()
{
    MainWindow window;
    window.show();
    auto *search = child<QLineEdit>(window, "SearchBox");
    auto *timer = child<QTimer>(window, "SearchDebounce");

    // Typed through an input method: the text arrives as one insertion.
    search->insert(QStringLiteral("  季度 "));
    QVERIFY(timer->isActive());
    QTest::keyClick(search, Qt::Key_Return);
    QVERIFY(!timer->isActive());
    QCOMPARE(window.filePage(0)->searchKeyword(), QStringLiteral("季度"));
    QTRY_COMPARE(searchRequestCount(), 1);
    QCOMPARE(m_server->requests("GET", QStringLiteral("/api/files/search")).first().target,
             QByteArray("/api/files/search?keyword=%E5%AD%A3%E5%BA%A6"));
}

void TestMainWindow::searchOnAnotherPageDoesNothing()
{
    MainWindow window;
    window.show();
    auto *search = child<QLineEdit>(window, "SearchBox");
    auto *timer = child<QTimer>(window, "SearchDebounce");

    QTest::keyClicks(search, QStringLiteral("abc"));
    window.switchTo(7);
    QTRY_VERIFY(!timer->isActive());
    for (int index = 0; index < 6; ++index)
        QVERIFY(window.filePage(index)->searchKeyword().isEmpty());
}

void TestMainWindow::titleWithAndWithoutCompany()
{
    MainWindow window;
    auto *title = child<QLabel>(window, "MailTitleText");
    auto *tray = window.findChild<QSystemTrayIcon *>();
    QCOMPARE(MainWindow::titleText(), QStringLiteral("托尔瓦企业存储 - alice"));
    QCOMPARE(title->text(), QStringLiteral("托尔瓦企业存储 - alice"));
    QCOMPARE(window.windowTitle(), QStringLiteral("托尔瓦企业存储 - alice"));

    // The company arrives with the profile answer.
    m_profile.insert("company_name", "星河科技");
    QSignalSpy changed(Session::instance(), &Session::changed);
    window.refreshCompanyName();
    QTRY_COMPARE(title->text(), QStringLiteral("托尔瓦企业存储 - 星河科技 - alice"));
    QCOMPARE(window.windowTitle(), QStringLiteral("托尔瓦企业存储 - 星河科技 - alice"));
    QCOMPARE(tray->toolTip(), QStringLiteral("托尔瓦企业存储 - 星河科技 - alice"));

    // The same company again changes nothing.
    const int before = changed.count();
    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    window.refreshCompanyName();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(changed.count(), before);
    QCOMPARE(title->text(), QStringLiteral("托尔瓦企业存储 - 星河科技 - alice"));
}

void TestMainWindow::emptyNamesFallBack()
{
    Session *session = Session::instance();
    session->name.clear();
    session->username.clear();
    MainWindow window;
    QCOMPARE(child<QLabel>(window, "HeaderName")->text(), QStringLiteral("用户"));
    QCOMPARE(child<QLabel>(window, "HeaderAvatar")->text(), QStringLiteral("我"));
    QCOMPARE(window.windowTitle(), QStringLiteral("托尔瓦企业存储 - "));

    // Without a name the user name is shown; its first character is the avatar letter.
    session->username = QStringLiteral("zoe");
    emit session->changed();
    QCOMPARE(child<QLabel>(window, "HeaderName")->text(), QStringLiteral("zoe"));
    QCOMPARE(child<QLabel>(window, "HeaderAvatar")->text(), QStringLiteral("z"));
    session->name = QStringLiteral("赵六");
    emit session->changed();
    QCOMPARE(child<QLabel>(window, "HeaderName")->text(), QStringLiteral("赵六"));
    QCOMPARE(child<QLabel>(window, "HeaderAvatar")->text(), QStringLiteral("赵"));
}

void TestMainWindow::avatarFromDataUrl()
{
    Session::instance()->avatarUrl = pngDataUrl(Qt::red, QSize(80, 60));
    MainWindow window;
    auto *avatar = child<QLabel>(window, "HeaderAvatar");
    QVERIFY(avatar->text().isEmpty());
    QCOMPARE(avatar->pixmap().size(), QSize(28, 28));

    // Not decodable: the initial again.
    Session::instance()->avatarUrl = QStringLiteral("data:image/png;base64,bm90IGFuIGltYWdl");
    emit Session::instance()->changed();
    QCOMPARE(avatar->text(), QStringLiteral("王"));
    QVERIFY(avatar->pixmap().isNull());
}

void TestMainWindow::roundAvatarIsClippedToACircle()
{
    QVERIFY(roundAvatarPixmap(QString(), 28).isNull());
    QVERIFY(roundAvatarPixmap(QStringLiteral("data:image/png;base64,%%%"), 28).isNull());

    // A wide picture covers the square (expanded), and only the inscribed circle is painted.
    const QImage round = roundAvatarPixmap(pngDataUrl(Qt::blue, QSize(120, 40)), 40).toImage();
    QCOMPARE(round.size(), QSize(40, 40));
    QCOMPARE(qAlpha(round.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(round.pixel(39, 39)), 0);
    QCOMPARE(round.pixelColor(20, 20), QColor(Qt::blue));
    QCOMPARE(round.pixelColor(20, 1).blue(), 255);
    // Bare Base64 without the data: prefix is accepted too.
    const QString url = pngDataUrl(Qt::green, QSize(10, 10));
    QVERIFY(!roundAvatarPixmap(url.mid(url.indexOf(',') + 1), 16).isNull());
}

void TestMainWindow::quotaFromSessionAndProfile()
{
    m_profile = QJsonObject{{"storage_used", 1610612736.0}, {"storage_limit", 10737418240.0}};
    MainWindow window;
    auto *quota = child<QLabel>(window, "UserQuota");
    auto *bar = child<QProgressBar>(window, "QuotaBar");
    QTRY_COMPARE(quota->text(), formatQuotaSize(1610612736) + QStringLiteral(" / ") + formatQuotaSize(10737418240));
    QCOMPARE(bar->value(), 15);
    QVERIFY(!bar->isTextVisible());

    // A capacity change redraws from the session alone.
    Session *session = Session::instance();
    session->storageUsed = 500;
    session->storageLimit = 0;
    emit session->capacityChanged();
    QCOMPARE(quota->text(), QStringLiteral("500 B / —"));
    QCOMPARE(bar->value(), 0);
    session->storageUsed = 30;
    session->storageLimit = 20;
    emit session->capacityChanged();
    QCOMPARE(bar->value(), 100);
}

void TestMainWindow::closeHidesToTrayOrMinimises()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // No tray area: the window must stay reachable, so it only minimises.
    window.setTrayAreaAvailable(false);
    window.close();
    QVERIFY(window.isVisible());
    QTRY_VERIFY(window.isMinimized());

    window.showNormal();
    window.setTrayAreaAvailable(true);
    window.close();
    QVERIFY(!window.isVisible());

    // Shown again from the tray, it asks for fresh capacity figures.
    const int profileRequests = int(m_server->requests("GET", QStringLiteral("/api/profile")).size());
    window.show();
    QVERIFY(window.isVisible());
    QTRY_VERIFY(m_server->requests("GET", QStringLiteral("/api/profile")).size() > profileRequests);
    window.close();
    QVERIFY(!window.isVisible());
}

void TestMainWindow::logoutQuitsEvenWithoutNetwork()
{
    MainWindow window;
    window.show();
    QSignalSpy logout(&window, &MainWindow::logoutRequested);
    QSignalSpy changed(Session::instance(), &Session::changed);
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("LogoutBtn")), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QVERIFY(Session::instance()->token.isEmpty());
    QVERIFY(Session::instance()->userId.isEmpty());
    QVERIFY(changed.count() >= 1);
    QVERIFY(!window.findChild<QSystemTrayIcon *>()->isVisible());
    QTRY_COMPARE(m_server->requests("POST", QStringLiteral("/api/logout")).size(), 1);
    QVERIFY(m_server->requests("POST", QStringLiteral("/api/logout")).first().body.isEmpty());
    QTRY_COMPARE(logout.count(), 1);

    // With nothing listening the session still ends at once.
    resetSession();
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    qputenv("TVR_SERVER", QByteArray("http://127.0.0.1:") + QByteArray::number(port));
    MainWindow offline;
    offline.show();
    QSignalSpy offlineLogout(&offline, &MainWindow::logoutRequested);
    offline.doLogout();
    QVERIFY(!offline.isVisible());
    QVERIFY(Session::instance()->token.isEmpty());
    // The refused connection is the answer: no need to wait out the grace period.
    QVERIFY(offlineLogout.wait(MainWindow::LogoutGraceMs - 500));
    QCOMPARE(offlineLogout.count(), 1);
}

void TestMainWindow::logoutEndsOnlyAfterTheServerHeardIt()
{
    m_server->on("POST", QStringLiteral("/api/logout"), ScriptedReply::success().heldUntilReleased());
    MainWindow window;
    window.show();
    int logoutsHeardAtTheEnd = -1;
    QSignalSpy logout(&window, &MainWindow::logoutRequested);
    connect(&window, &MainWindow::logoutRequested, this,
            [&] { logoutsHeardAtTheEnd = int(m_server->requests("POST", QStringLiteral("/api/logout")).size()); });

    window.doLogout();
    // The user sees the session end at once...
    QVERIFY(!window.isVisible());
    QVERIFY(Session::instance()->token.isEmpty());
    QCOMPARE(logout.count(), 0);
    // ...but the program lives until the server has answered, token and all.
    QTRY_COMPARE(m_server->heldCount(), 1);
    QCOMPARE(logout.count(), 0);
    const RecordedRequest request = m_server->requests("POST", QStringLiteral("/api/logout")).first();
    QCOMPARE(request.header("X-Auth-Token"), QByteArray("token"));
    QCOMPARE(request.header("X-User-Id"), QByteArray("1"));
    m_server->releaseHeld();
    QVERIFY(logout.wait());
    QCOMPARE(logoutsHeardAtTheEnd, 1);

    // A second logout (tray menu after the button) sends nothing more and ends nothing twice.
    window.doLogout();
    QCOMPARE(m_server->requests("POST", QStringLiteral("/api/logout")).size(), 1);
    QCOMPARE(logout.count(), 1);
}

void TestMainWindow::logoutGivesUpOnASilentServer()
{
    m_server->on("POST", QStringLiteral("/api/logout"), ScriptedReply::hanging());
    MainWindow window;
    window.show();
    QSignalSpy logout(&window, &MainWindow::logoutRequested);
    window.doLogout();
    QVERIFY(m_server->waitForRequests(1));
    QCOMPARE(logout.count(), 0);
    QVERIFY(logout.wait(MainWindow::LogoutGraceMs + 3000));
    QCOMPARE(logout.count(), 1);
}

void TestMainWindow::signInHandsOverAndLogoutEndsTheProgram()
{
    Startup startup;
    QSignalSpy quit(&startup, &Startup::quitRequested);
    startup.showSignIn();
    QPointer<AuthWindow> signIn = startup.signInWindow();
    QVERIFY(signIn);
    QVERIFY(signIn->isVisible());
    QVERIFY(!startup.mainWindow());

    emit signIn->loginOk();
    MainWindow *window = startup.mainWindow();
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QVERIFY(!signIn->isVisible());
    QTRY_VERIFY(signIn.isNull());
    const QWidgetList windows = QApplication::topLevelWidgets();
    QCOMPARE(std::count_if(windows.begin(), windows.end(), [](QWidget *w) { return w->isVisible(); }), 1);

    m_server->on("POST", QStringLiteral("/api/logout"), ScriptedReply::success().heldUntilReleased());
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("LogoutBtn")), Qt::LeftButton);
    QTRY_COMPARE(m_server->heldCount(), 1);
    QCOMPARE(quit.count(), 0);
    m_server->releaseHeld();
    QVERIFY(quit.wait());
    QCOMPARE(quit.count(), 1);
}

void TestMainWindow::quotaFollowsChangedFilesOncePerBurst()
{
    const QJsonArray rows{QJsonObject{{"id", "1"}, {"name", "a.pdf"}, {"type", "file"}, {"size", 10}},
                          QJsonObject{{"id", "2"}, {"name", "b.pdf"}, {"type", "file"}, {"size", 20}},
                          QJsonObject{{"id", "3"}, {"name", "c.pdf"}, {"type", "file"}, {"size", 30}}};
    m_server->on("GET", QStringLiteral("/api/files?*"), ScriptedReply::success(rows));
    m_server->on("DELETE", QStringLiteral("/api/files/*"), ScriptedReply::success());
    m_profile = QJsonObject{{"storage_used", 3062743.0}, {"storage_limit", 118111600640.0}};
    const auto profileRequests = [this] {
        return int(m_server->requests("GET", QStringLiteral("/api/profile")).size());
    };

    MainWindow window;
    window.show();
    auto *quota = child<QLabel>(window, "UserQuota");
    auto *refresh = child<QTimer>(window, "QuotaRefresh");
    FileListPage *page = window.filePage(0);
    QTRY_COMPARE(page->model()->rowCount(), 3);
    QTRY_COMPARE(quota->text(), formatQuotaSize(3062743) + QStringLiteral(" / ") + formatQuotaSize(118111600640));
    QTRY_COMPARE(profileRequests(), 2); // the figures and the company name

    // Three deletes answered one by one end in one profile request and the new figure.
    m_profile = QJsonObject{{"storage_used", 1024.0}, {"storage_limit", 118111600640.0}};
    page->table()->selectAll();
    answerModal([](QDialog *dialog) { static_cast<Cdlg::CardDialog *>(dialog)->okButton()->click(); });
    page->deleteSelected();
    QTRY_COMPARE(m_server->requests("DELETE", QStringLiteral("/api/files/*")).size(), 3);
    QTRY_COMPARE(quota->text(), formatQuotaSize(1024) + QStringLiteral(" / ") + formatQuotaSize(118111600640));
    QTRY_VERIFY(!refresh->isActive());
    QCOMPARE(profileRequests(), 3);

    // Any page reports through the shared notifier; a burst of reports is one request.
    for (int i = 0; i < 5; ++i)
        FileChangeNotifier::notify();
    QVERIFY(refresh->isActive());
    QTRY_COMPARE(profileRequests(), 4);
    QVERIFY(!refresh->isActive());
    QCOMPARE(profileRequests(), 4);
}

void TestMainWindow::meterCountsAfreshWhenShownAgain()
{
    MainWindow window;
    window.setTrayAreaAvailable(true);
    window.show();
    window.close();
    QVERIFY(!window.isVisible());

    // Ten mebibytes moved while the window sat in the tray are not this second's rate.
    HttpClient *client = HttpClient::instance();
    client->bytesDown = 10 * 1024 * 1024;
    client->bytesUp = 3 * 1024 * 1024;
    window.show();
    window.statusBarFrame()->meterTick();
    QVERIFY2(window.statusBarFrame()->downRate() < 64 * 1024,
             qPrintable(QString::number(window.statusBarFrame()->downRate())));
    QVERIFY(window.statusBarFrame()->upRate() < 64 * 1024);

    // While shown, the meter keeps counting as before.
    client->bytesDown = 700 * 1024;
    window.statusBarFrame()->meterTick();
    QCOMPARE(window.statusBarFrame()->downRate(), 700 * 1024);
}

void TestMainWindow::minimumSizeShowsEverythingWhole()
{
    // Measured with the product's style sheet: its fonts and paddings decide what fits.
    qApp->setStyleSheet(Theme::globalStyleSheet());
    const QJsonArray rows{QJsonObject{{"id", "1"}, {"name", "季度报告.pdf"}, {"type", "file"}, {"size", 2048}},
                          QJsonObject{{"id", "2"}, {"name", "设计稿"}, {"type", "folder"}},
                          QJsonObject{{"id", "3"}, {"name", "会议纪要_2026.docx"}, {"type", "file"}, {"size", 93000}}};
    m_server->on("GET", QStringLiteral("/api/files?*"), ScriptedReply::success(rows));
    m_profile = QJsonObject{{"storage_used", 3062743.0}, {"storage_limit", 118111600640.0}};

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // The size the review found cut: the window refuses to go below its floor.
    window.resize(720, 528);
    QVERIFY(window.width() > 720);
    QVERIFY(window.height() > 528);
    QCOMPARE(window.minimumSize(), window.minimumWindowSize());
    // A 1024 × 640 screen area holds the whole window (this frame is the window's own).
    QVERIFY2(
        window.minimumSize().width() <= 1024 && window.minimumSize().height() <= 640,
        qPrintable(QStringLiteral("%1 × %2").arg(window.minimumSize().width()).arg(window.minimumSize().height())));
    window.resize(window.minimumSize());
    FileListPage *page = window.filePage(0);
    QTRY_COMPARE(page->model()->rowCount(), 3);
    QTRY_VERIFY(child<QLabel>(window, "ConnectionLabel")->text().contains(QStringLiteral("已连接")));
    QApplication::processEvents();

    const auto whole = [](QWidget *widget) {
        return widget->width() >= widget->sizeHint().width() && widget->height() >= widget->minimumSizeHint().height();
    };
    const auto inside = [](QWidget *widget, QWidget *area) {
        const QRect rect(widget->mapTo(area, QPoint(0, 0)), widget->size());
        return area->rect().contains(rect);
    };
    for (QPushButton *button : page->findChildren<QPushButton *>()) {
        if (button->isVisible() && button->parentWidget() == page)
            QVERIFY2(whole(button) && inside(button, page), qPrintable(button->text()));
    }
    const int nameWidth = page->table()->columnWidth(FileModel::NameColumn);
    QVERIFY2(nameWidth >= 120, qPrintable(QString::number(nameWidth)));
    QVERIFY(inside(page->table(), page));

    StatusBar *bar = window.statusBarFrame();
    QVERIFY(inside(bar, &window));
    // Contacts that gave way on a narrow bar are hidden, not cut.
    for (QLabel *label : bar->findChildren<QLabel *>()) {
        if (!label->isVisible())
            continue;
        QVERIFY2(whole(label) && inside(label, bar), qPrintable(label->objectName() + " " + label->text()));
    }

    for (QWidget *widget : {static_cast<QWidget *>(child<QLineEdit>(window, "SearchBox")),
                            static_cast<QWidget *>(child<QLabel>(window, "HeaderName")),
                            static_cast<QWidget *>(child<QLabel>(window, "UserQuota")),
                            static_cast<QWidget *>(child<QPushButton>(window, "LogoutBtn"))})
        QVERIFY2(whole(widget) && inside(widget, &window), qPrintable(widget->objectName()));
    // Every sidebar entry in view without scrolling.
    const QPushButton *lastEntry = window.findChildren<QPushButton *>(QStringLiteral("SideFootItem")).last();
    const QScrollArea *nav = window.findChild<QScrollArea *>();
    QVERIFY(
        nav->viewport()->rect().contains(QRect(lastEntry->mapTo(nav->viewport(), QPoint(0, 0)), lastEntry->size())));

    // No two toolbar buttons, nor the header's parts, lie over each other.
    QList<QWidget *> rowParts;
    for (QPushButton *button : page->findChildren<QPushButton *>()) {
        if (button->isVisible() && button->parentWidget() == page)
            rowParts.append(button);
    }
    for (const char *name : {"SearchBox", "Bell", "HeaderAvatar", "HeaderName"})
        rowParts.append(child<QWidget>(window, name));
    for (int a = 0; a < rowParts.size(); ++a) {
        for (int b = a + 1; b < rowParts.size(); ++b) {
            const QRect first(rowParts[a]->mapTo(&window, QPoint(0, 0)), rowParts[a]->size());
            const QRect second(rowParts[b]->mapTo(&window, QPoint(0, 0)), rowParts[b]->size());
            QVERIFY2(!first.intersects(second),
                     qPrintable(rowParts[a]->objectName() + " / " + rowParts[b]->objectName()));
        }
    }
    QVERIFY(Screenshots::save(window.grab().toImage(), QStringLiteral("main-minimum-size.png")));
    window.resize(1024, 640);
    QApplication::processEvents();
    QVERIFY(Screenshots::save(window.grab().toImage(), QStringLiteral("main-1024x640.png")));
    qApp->setStyleSheet(QString());
}

void TestMainWindow::teamButtonOpensTheTeamSlot()
{
    MainWindow window;
    window.show();
    window.switchTo(4);
    auto *teamButton = window.filePage(4)->findChild<QPushButton *>(QStringLiteral("TeamSpaceBtn"));
    QVERIFY(teamButton);
    QTest::mouseClick(teamButton, Qt::LeftButton);
    QCOMPARE(window.currentIndex(), int(MainWindow::TeamSpacesPage));
    QCOMPARE(checkedEntries(window), QStringList{"团队空间"});
    QVERIFY(child<QLineEdit>(window, "SearchBox")->isHidden());
}

void TestMainWindow::teamSpacesHaveASidebarEntry()
{
    MainWindow window;
    window.show();
    QPushButton *entry = navButton(window, QStringLiteral("团队空间"));
    QVERIFY(entry);
    QTest::mouseClick(entry, Qt::LeftButton);
    QCOMPARE(window.currentIndex(), int(MainWindow::TeamSpacesPage));
    QCOMPARE(checkedEntries(window), QStringList{"团队空间"});
    window.switchTo(0);
    QVERIFY(!entry->isChecked());
}

void TestMainWindow::sidebarEntryReturnsToTheRoot()
{
    const QJsonArray rows{QJsonObject{{"id", "42"}, {"name", "设计稿"}, {"type", "folder"}}};
    m_server->on("GET", QStringLiteral("/api/files?*"), ScriptedReply::success(rows));
    MainWindow window;
    window.show();
    FileListPage *page = window.filePage(0);
    QTRY_COMPARE(page->model()->rowCount(), 1);
    page->enterFolder(0);
    QCOMPARE(page->currentFolderId(), QStringLiteral("42"));
    auto *search = child<QLineEdit>(window, "SearchBox");
    search->setText(QStringLiteral("报告"));

    // Clicking the entry of the page already shown leaves the folder and the search.
    QTest::mouseClick(navButton(window, QStringLiteral("全部文件")), Qt::LeftButton);
    QCOMPARE(window.currentIndex(), 0);
    QVERIFY(page->currentFolderId().isEmpty());
    QVERIFY(page->crumbNames().isEmpty());
    QVERIFY(page->searchKeyword().isEmpty());
    QVERIFY(search->text().isEmpty());
    QTRY_VERIFY(!m_server->requests("GET", QStringLiteral("/api/files")).isEmpty());
    QVERIFY(!m_server->requests("GET", QStringLiteral("/api/files")).last().query().contains("parent_id=42"));

    // Coming back from another page shows the root as well.
    page->enterFolder(0);
    QTest::mouseClick(navButton(window, QStringLiteral("回收站")), Qt::LeftButton);
    QTest::mouseClick(navButton(window, QStringLiteral("全部文件")), Qt::LeftButton);
    QVERIFY(page->currentFolderId().isEmpty());
    QCOMPARE(page->crumbIds(), QStringList());
}

void TestMainWindow::escapeEndsTheSearchAtOnce()
{
    MainWindow window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *search = child<QLineEdit>(window, "SearchBox");
    search->setFocus();
    search->setText(QStringLiteral("报告"));
    QTest::keyClick(search, Qt::Key_Return);
    QCOMPARE(window.filePage(0)->searchKeyword(), QStringLiteral("报告"));

    // From the results table as well as from the box.
    window.filePage(0)->table()->setFocus();
    QTest::keyClick(window.filePage(0)->table(), Qt::Key_Escape);
    QVERIFY(search->text().isEmpty());
    QVERIFY(window.filePage(0)->searchKeyword().isEmpty());
    QVERIFY(!window.findChild<QTimer *>(QStringLiteral("SearchDebounce"))->isActive());

    search->setText(QStringLiteral("合同"));
    QTest::keyClick(search, Qt::Key_Return);
    QTest::keyClick(search, Qt::Key_Escape);
    QVERIFY(search->text().isEmpty());
    QVERIFY(window.filePage(0)->searchKeyword().isEmpty());
}

void TestMainWindow::titleBarDoubleClickMaximises()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget *bar = child<QWidget>(window, "MailTitleBar");
    const QPoint spot(bar->width() / 2, bar->height() / 2);
    QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, spot);
    QTRY_VERIFY(window.isMaximized());
    QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, spot);
    QTRY_VERIFY(!window.isMaximized());
}

void TestMainWindow::everyControlHasAnAccessibleName()
{
    // Rows bring their own buttons.
    const QJsonArray rows{QJsonObject{{"id", "1"}, {"name", "季度报告.pdf"}, {"type", "file"}, {"size", 2048}},
                          QJsonObject{{"id", "2"}, {"name", "设计稿"}, {"type", "folder"}}};
    m_server->on("GET", QStringLiteral("/api/files?*"), ScriptedReply::success(rows));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(window.filePage(0)->table()->rowsWithWidgets().size(), 2);
    // Visit every page so that page-built controls exist.
    for (int page = 0; page < window.pageStack()->count(); ++page)
        window.switchTo(page);
    QApplication::processEvents();

    QStringList nameless;
    for (QWidget *widget : window.findChildren<QWidget *>()) {
        const bool control = qobject_cast<QAbstractButton *>(widget) || qobject_cast<QLineEdit *>(widget) ||
                             qobject_cast<QAbstractSpinBox *>(widget) || qobject_cast<QComboBox *>(widget) ||
                             qobject_cast<QAbstractItemView *>(widget);
        const bool focusable = (widget->focusPolicy() & Qt::TabFocus) && !qobject_cast<QAbstractScrollArea *>(widget);
        if (!control && !focusable)
            continue;
        // Parts of composite widgets (a spin box's editor, a field's clear button, a table's corner,
        // a drop-down's list) are named by their owner.
        // Widgets placed in a view's cells (row buttons) are controls of their own.
        bool part = qobject_cast<QHeaderView *>(widget) || qobject_cast<QAbstractItemView *>(widget->parentWidget());
        for (QWidget *owner = widget->parentWidget(); owner && !part; owner = owner->parentWidget()) {
            part = qobject_cast<QAbstractSpinBox *>(owner) || qobject_cast<QComboBox *>(owner) ||
                   qobject_cast<QLineEdit *>(owner);
        }
        if (part)
            continue;
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
        const QString name = accessible ? accessible->text(QAccessible::Name).trimmed() : QString();
        if (name.isEmpty())
            nameless.append(QStringLiteral("%1#%2").arg(QString::fromLatin1(widget->metaObject()->className()),
                                                        widget->objectName()));
    }
    QVERIFY2(nameless.isEmpty(), qPrintable(nameless.join(QStringLiteral(", "))));
}

void TestMainWindow::trayMenuOffersRestoreAndLogout()
{
    MainWindow window;
    auto *tray = window.findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    QStringList texts;
    QAction *restore = nullptr;
    QAction *logoutAction = nullptr;
    for (QAction *action : tray->contextMenu()->actions()) {
        texts.append(action->isSeparator() ? QStringLiteral("|") : action->text());
        if (action->text() == QStringLiteral("打开主界面"))
            restore = action;
        if (action->text() == QStringLiteral("退出登录"))
            logoutAction = action;
    }
    QCOMPARE(texts, (QStringList{"打开主界面", "|", "退出登录"}));

    window.setTrayAreaAvailable(true);
    window.show();
    window.close();
    QVERIFY(!window.isVisible());
    restore->trigger();
    QVERIFY(window.isVisible());

    QSignalSpy logout(&window, &MainWindow::logoutRequested);
    logoutAction->trigger();
    QTRY_COMPARE(logout.count(), 1);
}

void TestMainWindow::bannerLeadsToThePersonalCentre()
{
    m_server->on("GET", QStringLiteral("/api/capacity-expiry-alert"),
                 ScriptedReply::success(QJsonObject{{"expiredOver", true}, {"overBytes", 1610612736.0}}));
    MainWindow window;
    window.show();
    CapacityBanner *banner = window.banner();
    QTRY_VERIFY(banner->isVisible());
    QCOMPARE(banner->tone(), CapacityBanner::Tone::Red);

    auto *frame = banner->findChild<QFrame *>(QStringLiteral("ExpiryBanner"));
    QTest::mouseClick(frame, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(window.currentIndex(), int(MainWindow::ProfilePage));
    QCOMPARE(checkedEntries(window), QStringList{"个人中心"});

    window.switchTo(0);
    QTest::mouseClick(banner->findChild<QPushButton *>(QStringLiteral("ExpiryRenewBtn")), Qt::LeftButton);
    QCOMPARE(window.currentIndex(), int(MainWindow::ProfilePage));
}

void TestMainWindow::transferEntryCountsRunningJobsAndProbePausesThem()
{
    QTemporaryDir downloads;
    m_server->on("GET", QStringLiteral("/slow/*"), ScriptedReply::text(200, "x").heldUntilReleased());
    MainWindow window;
    auto *badge = child<QLabel>(window, "TransferBadge");
    QVERIFY(badge);
    QVERIFY(badge->isHidden());
    TransferManager *transfers = TransferManager::instance();
    TransferTask *one = transfers->addDownload(QStringLiteral("/slow/1"), downloads.path(), QStringLiteral("1.bin"));
    TransferTask *two = transfers->addDownload(QStringLiteral("/slow/2"), downloads.path(), QStringLiteral("2.bin"));
    QTRY_COMPARE(m_server->heldCount(), 2);
    QCOMPARE(badge->text(), QStringLiteral("2"));
    QVERIFY(!badge->isHidden());
    QVERIFY(badge->parentWidget() == navButton(window, QStringLiteral("传输列表")));

    // A probe that finds no server pauses them; the entry then counts none.
    m_server->on("GET", QStringLiteral("/api/plans"), ScriptedReply::dropped());
    window.checkConnection();
    QTRY_VERIFY(one->state() == TransferTask::State::Paused && two->state() == TransferTask::State::Paused);
    QVERIFY(one->isAutoPaused());
    QTRY_VERIFY(badge->isHidden());
    // They wait, and the entry says so rather than looking idle.
    auto *waiting = child<QLabel>(window, "TransferWaiting");
    QVERIFY(waiting);
    QTRY_VERIFY(!waiting->isHidden());
    QCOMPARE(waiting->text(), QStringLiteral("2 项等待"));
    QCOMPARE(one->stateText(), QStringLiteral("等待网络"));
    QVERIFY(waiting->parentWidget() == navButton(window, QStringLiteral("传输列表")));
    m_server->on("GET", QStringLiteral("/api/plans"), ScriptedReply::success(QJsonArray()));
    m_server->on("GET", QStringLiteral("/slow/*"), ScriptedReply::text(200, "x"));
    window.checkConnection();
    QTRY_VERIFY(one->state() == TransferTask::State::Finished && two->state() == TransferTask::State::Finished);
    QTRY_VERIFY(badge->isHidden());
    QTRY_VERIFY(waiting->isHidden());
    transfers->clearFinished();
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
