// The bell and the update check inside MainWindow, against a scripted server: the poll pauses
// while the window is hidden and counts at once when it is shown again; the start-up check turns
// a newer release into the bell's notice. Also renders the bell and its open popover
// ($TVR_SCREENSHOT_DIR/bell.png, bell-popover.png).
#include "account/profilepage.h"
#include "app/mainwindow.h"
#include "app/theme.h"
#include "eventwait.h"
#include "net/session.h"
#include "notify/notificationbell.h"
#include "screenshots.h"
#include "scriptedserver.h"
#include "testsettings.h"
#include "update/updatechecker.h"

#include <QApplication>
#include <QFrame>
#include <QJsonArray>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {
const QString CountPath = QStringLiteral("/api/notifications/unread-count");

QString manifestPath()
{
    return QStringLiteral("/downloads/%1/latest.yml").arg(UpdateChecker::platformChannel());
}

int countRequests(const ScriptedServer &server)
{
    return int(server.requests("GET", CountPath).size());
}
} // namespace

class TestMainWindowBell : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pollPausesWhileHiddenAndCountsWhenShown();
    void newerReleaseBecomesTheBellNotice();
    void currentReleaseLeavesNoNotice();
    void rendersTheBellAndItsPopover();
    void updateRowLeadsToTheUpdatePageAndChecksOnce();

private:
    QTemporaryDir m_settingsDir;
    ScriptedServer *m_server = nullptr;
};

void TestMainWindowBell::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    qApp->setStyleSheet(Theme::globalStyleSheet());
    Session *session = Session::instance();
    session->userId = QStringLiteral("1");
    session->username = QStringLiteral("demo");
    session->name = QStringLiteral("王小明");
    session->token = QStringLiteral("token");
    session->storageUsed = 3LL * 1024 * 1024 * 1024;
    session->storageLimit = 100LL * 1024 * 1024 * 1024;
}

void TestMainWindowBell::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_server->on("GET", QStringLiteral("/api/profile"), ScriptedReply::success(QJsonObject()));
    m_server->on("GET", QStringLiteral("/api/capacity-expiry-alert"), ScriptedReply::success());
    m_server->on("GET", QStringLiteral("/api/files*"), ScriptedReply::success(QJsonArray()));
    m_server->on("GET", CountPath, ScriptedReply::success(QJsonObject{{"count", 3}}));
}

void TestMainWindowBell::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

void TestMainWindowBell::pollPausesWhileHiddenAndCountsWhenShown()
{
    MainWindow window;
    NotificationBell *bell = window.bell();
    QVERIFY(bell);
    QCOMPARE(bell->pollTimer()->interval(), 30000);
    window.show();
    QTRY_COMPARE(bell->unreadCount(), 3);
    QCOMPARE(countRequests(*m_server), 1);

    // A fast poll shows that nothing at all is asked while the window is hidden.
    bell->pollTimer()->setInterval(20);
    window.hide();
    QVERIFY(!bell->pollTimer()->isActive());
    bool windowPassed = false;
    QTimer::singleShot(300, this, [&windowPassed] { windowPassed = true; });
    QVERIFY(waitUntil([&] { return windowPassed; }));
    QCOMPARE(countRequests(*m_server), 1);

    bell->pollTimer()->setInterval(NotificationBell::PollIntervalMs);
    m_server->on("GET", CountPath, ScriptedReply::success(QJsonObject{{"count", 5}}));
    window.show();
    QVERIFY(bell->pollTimer()->isActive());
    QCOMPARE(bell->pollTimer()->interval(), NotificationBell::PollIntervalMs);
    QTRY_COMPARE(countRequests(*m_server), 2); // at once, not after a poll interval
    QTRY_COMPARE(bell->unreadCount(), 5);
}

void TestMainWindowBell::newerReleaseBecomesTheBellNotice()
{
    m_server->on("GET", manifestPath(), ScriptedReply::text(200, "version: 2.2.0\npath: setup.run\n"));
    MainWindow window;
    auto *delay = window.findChild<QTimer *>(QStringLiteral("UpdateCheckDelay"));
    QVERIFY(delay);
    QVERIFY(delay->isActive());
    QVERIFY(delay->isSingleShot());
    QCOMPARE(delay->interval(), MainWindow::UpdateCheckDelayMs);
    QVERIFY(!window.updateChecker());
    QCOMPARE(m_server->requests("GET", manifestPath()).size(), 0);

    delay->start(0); // what 6 s would do
    QTRY_VERIFY(window.updateChecker());
    QTRY_COMPARE(window.bell()->updateNotice(), QStringLiteral("发现新版本 v2.2.0，点击升级"));
    QCOMPARE(window.updateChecker()->currentVersion(), QStringLiteral("2.1.23"));
    QCOMPARE(window.updateChecker()->channel(), UpdateChecker::platformChannel());
}

void TestMainWindowBell::currentReleaseLeavesNoNotice()
{
    m_server->on("GET", manifestPath(), ScriptedReply::text(200, "version: 2.1.23\npath: setup.run\n"));
    MainWindow window;
    window.findChild<QTimer *>(QStringLiteral("UpdateCheckDelay"))->start(0);
    QTRY_COMPARE(m_server->requests("GET", manifestPath()).size(), 1);
    QTRY_VERIFY(window.updateChecker() && !window.updateChecker()->latestVersion().isEmpty());
    QCOMPARE(window.bell()->updateNotice(), QString());
}

void TestMainWindowBell::rendersTheBellAndItsPopover()
{
    const QJsonArray notices{
        QJsonObject{{"id", "1"},
                    {"is_read", 0},
                    {"title", "容量即将到期"},
                    {"content", "您购买的 100 GB 扩容将于 5 天后到期，请及时续费。"},
                    {"created_at", "2026-12-09 10:24:00"}},
        QJsonObject{{"id", "2"},
                    {"is_read", 0},
                    {"title", "团队邀请"},
                    {"content", "李雷 邀请您加入团队「市场部」。"},
                    {"created_at", "2026-12-08 16:02:00"}},
        QJsonObject{{"id", "3"},
                    {"is_read", 1},
                    {"title", "欢迎使用托尔瓦企业存储"},
                    {"content", "您的个人空间已开通，可以上传文件了。"},
                    {"created_at", "2026-12-01 09:00:00"}},
    };
    m_server->on("GET", QStringLiteral("/api/notifications"), ScriptedReply::success(notices));
    m_server->on("GET", CountPath, ScriptedReply::success(QJsonObject{{"count", 2}}));
    MainWindow window;
    window.show();
    NotificationBell *bell = window.bell();
    QTRY_COMPARE(bell->unreadCount(), 2);
    bell->setUpdateNotice(QStringLiteral("发现新版本 v2.2.0，点击升级"));

    auto *header = window.findChild<QFrame *>(QStringLiteral("MailHeader"));
    QVERIFY(header);
    const QImage headerShot = header->grab().toImage();
    QVERIFY(Screenshots::save(headerShot.copy(headerShot.width() - 420 * headerShot.devicePixelRatio(), 0,
                                              420 * headerShot.devicePixelRatio(), headerShot.height()),
                              QStringLiteral("bell.png")));

    QTest::mouseClick(bell, Qt::LeftButton);
    QVERIFY(bell->popover());
    QTRY_VERIFY(bell->popover()->findChildren<QWidget *>(QStringLiteral("noticeRow")).size() == 3);
    PopWidget *pop = bell->popover();
    // Grown to show the whole list, still under the bell.
    QVERIFY(pop->height() > 250);
    QCOMPARE(pop->width(), NotificationBell::PopoverWidth);

    // The popover over the window's top right corner, as the user sees it.
    const QImage windowShot = Screenshots::onDesktop(&window);
    const QPoint popAt = window.mapFromGlobal(pop->geometry().topLeft());
    QImage composed = windowShot;
    {
        QPainter painter(&composed);
        painter.drawPixmap(popAt, pop->grab());
    }
    const int left = qMax(0, popAt.x() - 120);
    const int bottom = qMin(composed.height(), popAt.y() + pop->height() + 24);
    QVERIFY(
        Screenshots::save(composed.copy(left, 0, composed.width() - left, bottom), QStringLiteral("bell-popover.png")));
}

void TestMainWindowBell::updateRowLeadsToTheUpdatePageAndChecksOnce()
{
    m_server->on("GET", manifestPath(), ScriptedReply::hanging());
    m_server->on("GET", QStringLiteral("/api/notifications"), ScriptedReply::success(QJsonArray()));
    MainWindow window;
    window.show();
    NotificationBell *bell = window.bell();
    bell->setUpdateNotice(QStringLiteral("发现新版本 v2.2.0，点击升级"));
    QTest::mouseClick(bell, Qt::LeftButton);
    QVERIFY(bell->popover());
    auto *row = bell->popover()->findChild<QWidget *>(QStringLiteral("updateRow"));
    QVERIFY(row);
    QTest::mouseClick(row, Qt::LeftButton);

    QCOMPARE(window.currentIndex(), int(MainWindow::ProfilePage));
    QCOMPARE(window.profilePage()->currentTile(), int(ProfilePage::UpdateTile));
    auto *check = window.profilePage()->findChild<QPushButton *>(QStringLiteral("PfCheckUpdate"));
    QVERIFY(check);
    QVERIFY(!check->isEnabled());
    QTRY_COMPARE(m_server->requests("GET", manifestPath()).size(), 1);

    // A second click while the check runs starts no second one.
    QTest::mouseClick(bell, Qt::LeftButton);
    QTest::mouseClick(bell->popover()->findChild<QWidget *>(QStringLiteral("updateRow")), Qt::LeftButton);
    QTRY_COMPARE(m_server->requests("GET", QStringLiteral("/api/notifications*")).size(), 2);
    QCOMPARE(m_server->requests("GET", manifestPath()).size(), 1);
}

QTEST_MAIN(TestMainWindowBell)
#include "tst_mainwindowbell.moc"
