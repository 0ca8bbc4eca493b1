// MainWindow against a scripted server: page switching, the debounced header search, the user
// display and title, the quota, hiding on close, logout, and the hooks that lead to other pages.
#include "app/capacitybanner.h"
#include "app/mainwindow.h"
#include "files/filelistpage.h"
#include "files/formatting.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "ui/roundavatar.h"

#include <QBuffer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

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
    void teamButtonOpensTheTeamSlot();
    void trayMenuOffersRestoreAndLogout();
    void bannerLeadsToThePersonalCentre();

private:
    int searchRequestCount() const;

    ScriptedServer *m_server = nullptr;
    QJsonObject m_profile;
};

void TestMainWindow::init()
{
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

    window.switchTo(12);
    QCOMPARE(window.currentIndex(), 0);
    QCOMPARE(checkedEntries(window), QStringList{"全部文件"});
    window.switchTo(-1);
    QCOMPARE(window.currentIndex(), 0);

    window.switchTo(6);
    QCOMPARE(window.currentIndex(), 6);
    QVERIFY(checkedEntries(window).isEmpty());
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
    window.switchTo(MainWindow::PageCount - 1 + 1);
    QCOMPARE(window.currentIndex(), 0);
    QCOMPARE(window.pageStack()->count(), 10);
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
    QTRY_COMPARE(quota->text(), formatSize(1610612736) + QStringLiteral(" / ") + formatSize(10737418240));
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
    QCOMPARE(logout.count(), 1);
    QVERIFY(!window.isVisible());
    QVERIFY(Session::instance()->token.isEmpty());
    QVERIFY(Session::instance()->userId.isEmpty());
    QVERIFY(changed.count() >= 1);
    QVERIFY(!window.findChild<QSystemTrayIcon *>()->isVisible());
    QTRY_COMPARE(m_server->requests("POST", QStringLiteral("/api/logout")).size(), 1);
    QVERIFY(m_server->requests("POST", QStringLiteral("/api/logout")).first().body.isEmpty());

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
    QCOMPARE(offlineLogout.count(), 1);
    QVERIFY(!offline.isVisible());
    QVERIFY(Session::instance()->token.isEmpty());
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
    QVERIFY(checkedEntries(window).isEmpty());
    QVERIFY(child<QLineEdit>(window, "SearchBox")->isHidden());
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
    QCOMPARE(logout.count(), 1);
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

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
