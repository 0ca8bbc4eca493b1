// The signed-in main window against the reference server's demo account, rendered offscreen:
// all files (with the demo account's expiry notice), a search result, an empty folder and the red
// expiry banner. The pictures go to $TVR_SCREENSHOT_DIR (docs/screenshots when refreshing the
// README's), else to a temporary folder.
#include "app/capacitybanner.h"
#include "app/mainwindow.h"
#include "app/statusbar.h"
#include "app/theme.h"
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/filerecord.h"
#include "net/httpresponse.h"
#include "net/session.h"
#include "referenceserver.h"
#include "ui/offlineoverlay.h"

#include <QApplication>
#include <QDir>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

class TestMainWindowShots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void browsesTheDemoAccount();
    // Last: it stops the server.
    void serverGoneKeepsTheFilesUnderTheOfflineState();

private:
    void save(QWidget *window, const QString &name);
    static bool waitForCount(FileListPage *page);

    ReferenceServer::Options demoOptions() const;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_demo;
    QDir m_outDir;
};

ReferenceServer::Options TestMainWindowShots::demoOptions() const
{
    ReferenceServer::Options options;
    options.demo = true;
    return options;
}

void TestMainWindowShots::initTestCase()
{
    qApp->setStyleSheet(Theme::globalStyleSheet());
    m_server = std::make_unique<ReferenceServer>(demoOptions());
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_demo = m_server->signIn(QStringLiteral("demo"), QStringLiteral("13800138000"));
    QVERIFY(m_demo.isValid());
    QVERIFY(Session::instance()->applyLogin(m_demo.login));

    const QString configured = qEnvironmentVariable("TVR_SCREENSHOT_DIR");
    m_outDir = QDir(configured.isEmpty() ? QDir::temp().filePath(QStringLiteral("tvr-screenshots")) : configured);
    QVERIFY(m_outDir.mkpath(QStringLiteral(".")));
}

void TestMainWindowShots::cleanupTestCase()
{
    m_server.reset();
}

void TestMainWindowShots::save(QWidget *window, const QString &name)
{
    QApplication::processEvents();
    const QPixmap shot = window->grab();
    QCOMPARE(shot.size(), QSize(1180, 760));
    const QString path = m_outDir.filePath(name);
    QVERIFY2(shot.save(path), qPrintable(path));
    qInfo("wrote %s", qPrintable(path));
}

bool TestMainWindowShots::waitForCount(FileListPage *page)
{
    return QTest::qWaitFor([page] { return page->statusLabel()->text().startsWith(QStringLiteral("共 ")); }, 10000);
}

void TestMainWindowShots::browsesTheDemoAccount()
{
    // An empty folder to open later; created before the window lists the root.
    const ReferenceServer::Reply created =
        m_server->postJson(QStringLiteral("/api/folders"), {{"name", "2025 归档"}}, m_demo);
    QVERIFY2(created.success(), qPrintable(created.message()));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    FileListPage *all = window.filePage(MainWindow::AllFilesPage);
    QVERIFY(waitForCount(all));
    QVERIFY2(all->model()->rowCount() > 3, "the demo account should have files");
    QTRY_VERIFY(window.statusBarFrame()->isConnected());
    QTRY_VERIFY(window.banner()->isVisible());
    QTRY_VERIFY(!window.findChild<QLabel *>(QStringLiteral("UserQuota"))->text().contains(QStringLiteral("加载中")));
    save(&window, QStringLiteral("main-all-files.png"));

    // Search for part of the first file's name.
    QString keyword;
    for (int row = 0; row < all->model()->rowCount() && keyword.isEmpty(); ++row) {
        const QJsonObject record = all->model()->rowAt(row);
        if (!isFolderRecord(record))
            keyword = jsonText(record, QStringLiteral("name")).section(QLatin1Char('.'), 0, 0).left(2);
    }
    QVERIFY(!keyword.isEmpty());
    auto *search = window.findChild<QLineEdit *>(QStringLiteral("SearchBox"));
    search->setText(keyword);
    QTest::keyClick(search, Qt::Key_Return);
    QVERIFY(waitForCount(all));
    QVERIFY(all->model()->rowCount() > 0);
    save(&window, QStringLiteral("main-search.png"));

    // The new folder, opened from the root, is empty.
    search->clear();
    QTest::keyClick(search, Qt::Key_Return);
    QVERIFY(waitForCount(all));
    int folderRow = -1;
    for (int row = 0; row < all->model()->rowCount(); ++row) {
        if (jsonText(all->model()->rowAt(row), QStringLiteral("name")) == QStringLiteral("2025 归档"))
            folderRow = row;
    }
    QVERIFY(folderRow >= 0);
    all->enterFolder(folderRow);
    QVERIFY(waitForCount(all));
    QCOMPARE(all->statusLabel()->text(), QStringLiteral("共 0 项"));
    save(&window, QStringLiteral("main-empty-folder.png"));

    // The demo account's extra capacity runs out soon: the server's alert shows the orange banner.
    all->navigateToCrumb(0);
    QVERIFY(waitForCount(all));
    QTRY_VERIFY(window.banner()->isVisible());
    QCOMPARE(window.banner()->tone(), CapacityBanner::Tone::Orange);
    // The red one, for an account already over its base quota after the expiry.
    window.banner()->showAlert(QJsonObject{{"expiredOver", true}, {"overBytes", 1610612736.0}});
    QVERIFY(window.banner()->isVisible());
    save(&window, QStringLiteral("main-expiry-banner.png"));
}

void TestMainWindowShots::serverGoneKeepsTheFilesUnderTheOfflineState()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    FileListPage *all = window.filePage(MainWindow::AllFilesPage);
    QVERIFY(waitForCount(all));
    const int rows = all->model()->rowCount();
    QVERIFY(rows > 3);
    QTRY_VERIFY(window.statusBarFrame()->isConnected());
    QTRY_VERIFY(!window.findChild<QLabel *>(QStringLiteral("UserQuota"))->text().contains(QStringLiteral("加载中")));

    // The server goes away; 「刷新」 asks again.
    m_server->stop();
    all->reload();
    QTRY_VERIFY(all->overlay()->isVisible());
    QCOMPARE(all->overlay()->title(), QStringLiteral("无法连接服务器"));
    QCOMPARE(all->model()->rowCount(), rows);
    QVERIFY(!window.statusBarFrame()->isConnected());
    // Centred over the list it covers.
    const QRect card = all->overlay()->rect();
    const QRect title = all->overlay()->findChild<QLabel *>(QStringLiteral("OfflineTitle"))->geometry();
    QVERIFY(qAbs(title.center().x() - card.center().x()) <= 2);
    save(&window, QStringLiteral("main-offline.png"));
}

QTEST_MAIN(TestMainWindowShots)
#include "tst_mainwindowshots.moc"
