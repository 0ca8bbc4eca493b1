// NotificationBell against the scripted server: the badge, the popover's title and list, marking
// read (one and all) without waiting for the reply, deleting, and the update row.
#include "eventwait.h"
#include "net/session.h"
#include "notify/notificationbell.h"
#include "notify/popwidget.h"
#include "scriptedserver.h"
#include "testsettings.h"

#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

namespace {
const QString CountPath = QStringLiteral("/api/notifications/unread-count");
const QString ListPath = QStringLiteral("/api/notifications");
const QString ReadPath = QStringLiteral("/api/notifications/read");

const QString ReadTitleStyle =
    QStringLiteral("color:#8a93a6;font-size:14px;font-weight:normal;background:transparent;");
const QString UnreadTitleStyle =
    QStringLiteral("color:#1f2733;font-size:14px;font-weight:bold;background:transparent;");
const QString ReadDot = QStringLiteral("background:transparent;border-radius:4px;");
const QString UnreadDot = QStringLiteral("background:#1677ff;border-radius:4px;");

QJsonObject notice(const QString &id, bool read, const QString &title = QStringLiteral("系统通知"))
{
    return QJsonObject{{"id", id},
                       {"is_read", read ? 1 : 0},
                       {"title", title},
                       {"content", QStringLiteral("内容 %1").arg(id)},
                       {"created_at", "2026-03-05 09:07:00"}};
}

ScriptedReply countReply(int count)
{
    return ScriptedReply::success(QJsonObject{{"count", count}});
}

// Children not hidden on purpose (the layout shows new ones a moment later).
template <typename T> QList<T *> visibleChildren(QWidget *root, const QString &name)
{
    QList<T *> found;
    for (T *child : root->findChildren<T *>(name)) {
        if (!(child->isHidden() && child->testAttribute(Qt::WA_WState_ExplicitShowHide)))
            found.append(child);
    }
    return found;
}
} // namespace

class TestNotificationBell : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void badgeShowsTheCountInItsSize_data();
    void badgeShowsTheCountInItsSize();
    void failedCountHidesTheBadge();
    void onlyTheNewestCountIsApplied();
    void popoverTitleShowsUnreadOnlyWhenThereAreSome();
    void rowsShowTheirFieldsAndReadState();
    void readAllMarksRowsWithoutWaitingForTheReply();
    void readOneRowLowersTheBadgeAndTheHeaderCount();
    void deletingAnUnreadRowLowersTheBadgeOnce();
    void deletingAfterReadAllNeverGoesBelowZero();
    void failedDeleteKeepsTheRow();
    void updateRowComesAboveTheEmptyNotice();
    void updateRowAsksForTheUpdateFlow();
    void popoverSitsUnderTheBell();

private:
    NotificationBell *makeBell(int count);
    QWidget *openPopover(NotificationBell *bell);

    QTemporaryDir m_settingsDir;
    ScriptedServer *m_server = nullptr;
    QWidget *m_host = nullptr;
};

void TestNotificationBell::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    Session::instance()->userId = QStringLiteral("1");
    Session::instance()->token = QStringLiteral("token");
}

void TestNotificationBell::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_host = new QWidget;
    m_host->resize(400, 80);
    m_host->move(600, 100);
}

void TestNotificationBell::cleanup()
{
    delete m_host;
    m_host = nullptr;
    delete m_server;
    m_server = nullptr;
}

NotificationBell *TestNotificationBell::makeBell(int count)
{
    m_server->on("GET", CountPath, countReply(count));
    auto *bell = new NotificationBell(m_host);
    bell->move(m_host->width() - bell->width() - 10, 10);
    m_host->show();
    if (!waitUntil([&] { return m_server->requests("GET", CountPath).size() == 1 && bell->unreadCount() == count; }))
        qWarning("count %d did not arrive", count);
    return bell;
}

QWidget *TestNotificationBell::openPopover(NotificationBell *bell)
{
    QTest::mouseClick(bell, Qt::LeftButton);
    if (!bell->popover())
        return nullptr;
    QWidget *listBox = bell->popover()->findChild<QWidget *>(QStringLiteral("listBox"));
    // The list has arrived when its loading label is gone.
    if (!waitUntil([&] { return !bell->popover()->findChild<QLabel *>(QStringLiteral("popLoading")); }))
        return nullptr;
    return listBox;
}

void TestNotificationBell::badgeShowsTheCountInItsSize_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::newRow("none") << 0 << QString() << 0;
    QTest::newRow("7") << 7 << "7" << 14;
    QTest::newRow("42") << 42 << "42" << 18;
    QTest::newRow("99") << 99 << "99" << 18;
    QTest::newRow("100") << 100 << "99+" << 18;
    QTest::newRow("5000") << 5000 << "99+" << 18;
}

void TestNotificationBell::badgeShowsTheCountInItsSize()
{
    QFETCH(int, count);
    QFETCH(QString, text);
    QFETCH(int, width);
    NotificationBell *bell = makeBell(count);
    QCOMPARE(bell->unreadCount(), count);
    QCOMPARE(NotificationBell::badgeText(count), text);
    const QRect badge = bell->badgeRect(count);
    QCOMPARE(badge.width(), width);
    QCOMPARE(bell->size(), QSize(36, 36));

    // What is painted: red at the badge's left inner edge, nothing red there without unread.
    const QImage image = bell->grab().toImage();
    const QPoint probe(badge.isEmpty() ? 27 : badge.center().x(), 3); // inside the badge, above its text
    const QColor pixel = image.pixelColor(probe * image.devicePixelRatio());
    const bool red = pixel.red() > 200 && pixel.green() < 120 && pixel.blue() < 120;
    QCOMPARE(red, count > 0);
    if (count > 0) {
        QCOMPARE(badge, QRect(36 - width - 2, 2, width, 14));
        QCOMPARE(m_server->requests("GET", CountPath).constFirst().header("X-TVR-Client"), QByteArray("1"));
    }
}

void TestNotificationBell::failedCountHidesTheBadge()
{
    NotificationBell *bell = makeBell(5);
    m_server->on("GET", CountPath, ScriptedReply::text(500, "down"));
    bell->refreshCount();
    QTRY_COMPARE(bell->unreadCount(), 0);
}

void TestNotificationBell::onlyTheNewestCountIsApplied()
{
    NotificationBell *bell = makeBell(1);
    m_server->onSequence("GET", CountPath, {countReply(9).heldUntilReleased(), countReply(4)});
    bell->refreshCount();
    bell->refreshCount();
    QTRY_COMPARE(bell->unreadCount(), 4);
    // The older answer arrives last and must not overwrite the newer one.
    QTRY_COMPARE(m_server->heldCount(), 1);
    m_server->releaseHeld();
    QVERIFY(!waitUntil([&] { return bell->unreadCount() != 4; }, 1000));
}

void TestNotificationBell::popoverTitleShowsUnreadOnlyWhenThereAreSome()
{
    m_server->on("GET", ListPath, ScriptedReply::success(QJsonArray()));
    NotificationBell *bell = makeBell(3);
    QWidget *listBox = openPopover(bell);
    QVERIFY(listBox);
    auto *title = bell->popover()->findChild<QLabel *>(QStringLiteral("popTitle"));
    auto *readAll = bell->popover()->findChild<QPushButton *>(QStringLiteral("readAll"));
    QCOMPARE(title->text(), QStringLiteral("消息通知（3 条未读）"));
    QVERIFY(readAll->isEnabled());
    QCOMPARE(m_server->requests("GET", ListPath).constFirst().target, QByteArray("/api/notifications?limit=50"));

    m_server->on("GET", CountPath, countReply(0));
    bell->refreshCount();
    QTRY_COMPARE(bell->unreadCount(), 0);
    listBox = openPopover(bell); // every click builds a new popover
    QVERIFY(listBox);
    title = bell->popover()->findChild<QLabel *>(QStringLiteral("popTitle"));
    readAll = bell->popover()->findChild<QPushButton *>(QStringLiteral("readAll"));
    QCOMPARE(title->text(), QStringLiteral("消息通知"));
    QVERIFY(!readAll->isEnabled());
    QCOMPARE(visibleChildren<QLabel>(listBox, QStringLiteral("popEmpty")).size(), 1);
}

void TestNotificationBell::rowsShowTheirFieldsAndReadState()
{
    m_server->on("GET", ListPath, ScriptedReply::success(QJsonArray{notice("1", false), notice("2", true, QString())}));
    NotificationBell *bell = makeBell(1);
    QWidget *listBox = openPopover(bell);
    QVERIFY(listBox);
    const QList<QLabel *> titles = listBox->findChildren<QLabel *>(QStringLiteral("title"));
    QCOMPARE(titles.size(), 2);
    QCOMPARE(titles.at(0)->text(), QStringLiteral("系统通知"));
    QCOMPARE(titles.at(0)->styleSheet(), UnreadTitleStyle);
    QCOMPARE(titles.at(1)->text(), QStringLiteral("通知")); // an empty title
    QCOMPARE(titles.at(1)->styleSheet(), ReadTitleStyle);
    const QList<QLabel *> dots = listBox->findChildren<QLabel *>(QStringLiteral("dot"));
    QCOMPARE(dots.at(0)->styleSheet(), UnreadDot);
    QCOMPARE(dots.at(1)->styleSheet(), ReadDot);
    QCOMPARE(visibleChildren<QPushButton>(listBox, QStringLiteral("readLink")).size(), 1);
    QCOMPARE(visibleChildren<QPushButton>(listBox, QStringLiteral("delLink")).size(), 2);
    QCOMPARE(listBox->findChildren<QLabel *>(QStringLiteral("content")).at(1)->text(), QStringLiteral("内容 2"));
    QVERIFY(!listBox->findChild<QLabel *>(QStringLiteral("popEmpty")));
}

void TestNotificationBell::readAllMarksRowsWithoutWaitingForTheReply()
{
    m_server->on("GET", ListPath,
                 ScriptedReply::success(QJsonArray{notice("1", false), notice("2", false), notice("3", true)}));
    m_server->on("POST", ReadPath, ScriptedReply::success().heldUntilReleased());
    NotificationBell *bell = makeBell(2);
    QWidget *listBox = openPopover(bell);
    QVERIFY(listBox);
    auto *readAll = bell->popover()->findChild<QPushButton *>(QStringLiteral("readAll"));
    QTest::mouseClick(readAll, Qt::LeftButton);

    // Everything is read at once, while the reply is still held.
    for (QLabel *dot : listBox->findChildren<QLabel *>(QStringLiteral("dot")))
        QCOMPARE(dot->styleSheet(), ReadDot);
    for (QLabel *title : listBox->findChildren<QLabel *>(QStringLiteral("title")))
        QCOMPARE(title->styleSheet(), ReadTitleStyle);
    QCOMPARE(visibleChildren<QPushButton>(listBox, QStringLiteral("readLink")).size(), 0);
    QCOMPARE(bell->unreadCount(), 0);
    QCOMPARE(bell->popover()->findChild<QLabel *>(QStringLiteral("popTitle"))->text(), QStringLiteral("消息通知"));
    QVERIFY(!readAll->isEnabled());

    QTRY_COMPARE(m_server->heldCount(), 1);
    const RecordedRequest read = m_server->requests("POST", ReadPath).constFirst();
    QCOMPARE(read.json(), QJsonObject()); // no ids: all of them
    m_server->on("GET", CountPath, countReply(0));
    m_server->releaseHeld();
    QTRY_COMPARE(m_server->requests("GET", CountPath).size(), 2); // the reply brings a fresh count
}

void TestNotificationBell::readOneRowLowersTheBadgeAndTheHeaderCount()
{
    m_server->on("GET", ListPath, ScriptedReply::success(QJsonArray{notice("7", false), notice("8", false)}));
    m_server->on("POST", ReadPath, ScriptedReply::success().heldUntilReleased());
    NotificationBell *bell = makeBell(2);
    QWidget *listBox = openPopover(bell);
    QVERIFY(listBox);
    QPushButton *first = listBox->findChildren<QPushButton *>(QStringLiteral("readLink")).constFirst();
    QTest::mouseClick(first, Qt::LeftButton);
    QCOMPARE(bell->unreadCount(), 1);
    QVERIFY(first->isHidden());
    QCOMPARE(listBox->findChildren<QLabel *>(QStringLiteral("dot")).at(0)->styleSheet(), ReadDot);
    QCOMPARE(listBox->findChildren<QLabel *>(QStringLiteral("dot")).at(1)->styleSheet(), UnreadDot);
    // The header counts what is still unread, as the badge does.
    QCOMPARE(bell->popover()->findChild<QLabel *>(QStringLiteral("popTitle"))->text(),
             QStringLiteral("消息通知（1 条未读）"));
    QTRY_COMPARE(m_server->heldCount(), 1);
    QCOMPARE(m_server->requests("POST", ReadPath).constFirst().json(), QJsonObject({{"ids", QJsonArray{"7"}}}));
}

void TestNotificationBell::deletingAnUnreadRowLowersTheBadgeOnce()
{
    m_server->on("GET", ListPath, ScriptedReply::success(QJsonArray{notice("a/1", false), notice("b", true)}));
    m_server->on("DELETE", QStringLiteral("/api/notifications/*"), ScriptedReply::success());
    NotificationBell *bell = makeBell(2);
    // The count that follows each delete never answers, so only the local change shows.
    m_server->on("GET", CountPath, ScriptedReply::hanging());
    QWidget *listBox = openPopover(bell);
    QVERIFY(listBox);
    QPushButton *unreadDelete = listBox->findChildren<QPushButton *>(QStringLiteral("delLink")).at(0);
    QPushButton *readDelete = listBox->findChildren<QPushButton *>(QStringLiteral("delLink")).at(1);
    // Two clicks before the first answer: two requests, one decrement.
    QTest::mouseClick(unreadDelete, Qt::LeftButton);
    QTest::mouseClick(unreadDelete, Qt::LeftButton);
    QTRY_COMPARE(m_server->requests("DELETE", QStringLiteral("/api/notifications/*")).size(), 2);
    QTRY_COMPARE(listBox->findChildren<QWidget *>(QStringLiteral("noticeRow")).size(), 1);
    QCOMPARE(bell->unreadCount(), 1);
    QCOMPARE(m_server->requests("DELETE", QStringLiteral("/api/notifications/*")).constFirst().target,
             QByteArray("/api/notifications/a%2F1"));

    QTest::mouseClick(readDelete, Qt::LeftButton);
    QTRY_COMPARE(listBox->findChildren<QWidget *>(QStringLiteral("noticeRow")).size(), 0);
    QCOMPARE(bell->unreadCount(), 1);
}

void TestNotificationBell::deletingAfterReadAllNeverGoesBelowZero()
{
    m_server->on("GET", ListPath, ScriptedReply::success(QJsonArray{notice("1", false)}));
    m_server->on("DELETE", QStringLiteral("/api/notifications/*"), ScriptedReply::success());
    m_server->on("POST", ReadPath, ScriptedReply::success());
    NotificationBell *bell = makeBell(1);
    m_server->on("GET", CountPath, ScriptedReply::hanging());
    QWidget *listBox = openPopover(bell);
    QVERIFY(listBox);
    QTest::mouseClick(bell->popover()->findChild<QPushButton *>(QStringLiteral("readAll")), Qt::LeftButton);
    QCOMPARE(bell->unreadCount(), 0);
    QTest::mouseClick(listBox->findChild<QPushButton *>(QStringLiteral("delLink")), Qt::LeftButton);
    QTRY_COMPARE(listBox->findChildren<QWidget *>(QStringLiteral("noticeRow")).size(), 0);
    QCOMPARE(bell->unreadCount(), 0);
    QVERIFY(bell->badgeRect(bell->unreadCount()).isEmpty());
}

void TestNotificationBell::failedDeleteKeepsTheRow()
{
    m_server->on("GET", ListPath, ScriptedReply::success(QJsonArray{notice("1", false)}));
    m_server->on("DELETE", QStringLiteral("/api/notifications/*"),
                 ScriptedReply::json(QJsonObject{{"success", false}, {"message", "不存在"}}, 404));
    NotificationBell *bell = makeBell(1);
    QWidget *listBox = openPopover(bell);
    QVERIFY(listBox);
    QTest::mouseClick(listBox->findChild<QPushButton *>(QStringLiteral("delLink")), Qt::LeftButton);
    QVERIFY(m_server->waitForRequests(3));
    // A later request on the same path is answered after the failed delete: the row is still there.
    bell->refreshCount();
    QTRY_COMPARE(m_server->requests("GET", CountPath).size(), 2);
    QCOMPARE(listBox->findChildren<QWidget *>(QStringLiteral("noticeRow")).size(), 1);
    QCOMPARE(bell->unreadCount(), 1);
}

void TestNotificationBell::updateRowComesAboveTheEmptyNotice()
{
    m_server->on("GET", ListPath, ScriptedReply::text(500, "broken")); // a failed list is an empty one
    NotificationBell *bell = makeBell(0);
    bell->setUpdateNotice(QStringLiteral("发现新版本 v2.2.0，点击升级"));
    QWidget *listBox = openPopover(bell);
    QVERIFY(listBox);
    auto *layout = qobject_cast<QVBoxLayout *>(listBox->layout());
    QVERIFY(layout->count() >= 3);
    QCOMPARE(layout->itemAt(0)->widget()->objectName(), QStringLiteral("updateRow"));
    QCOMPARE(qobject_cast<QLabel *>(layout->itemAt(2)->widget())->text(), QStringLiteral("暂无消息"));
    QCOMPARE(listBox->findChild<QLabel *>(QStringLiteral("updateNotice"))->text(),
             QStringLiteral("发现新版本 v2.2.0，点击升级"));
    // Reading everything leaves the update row's gold mark.
    QVERIFY(listBox->findChildren<QLabel *>(QStringLiteral("dot")).isEmpty());
}

void TestNotificationBell::updateRowAsksForTheUpdateFlow()
{
    m_server->on("GET", ListPath, ScriptedReply::success(QJsonArray{notice("1", true)}));
    NotificationBell *bell = makeBell(0);
    bell->setUpdateNotice(QStringLiteral("发现新版本 v2.2.0，点击升级"));
    QSignalSpy requested(bell, &NotificationBell::updateRequested);
    QWidget *listBox = openPopover(bell);
    QVERIFY(listBox);
    QPointer<PopWidget> pop = bell->popover();
    QTest::mouseClick(listBox->findChild<QWidget *>(QStringLiteral("updateRow")), Qt::LeftButton);
    QCOMPARE(requested.count(), 1);
    QTRY_VERIFY(!pop);

    // Without a notice there is no row.
    bell->setUpdateNotice(QString());
    listBox = openPopover(bell);
    QVERIFY(listBox);
    QVERIFY(!listBox->findChild<QWidget *>(QStringLiteral("updateRow")));
}

void TestNotificationBell::popoverSitsUnderTheBell()
{
    m_server->on("GET", ListPath, ScriptedReply::success(QJsonArray()));
    NotificationBell *bell = makeBell(0);
    QVERIFY(openPopover(bell));
    const QPoint origin = bell->mapToGlobal(QPoint(0, 0));
    const QRect geometry = bell->popover()->geometry();
    QCOMPARE(geometry.width(), 360);
    QCOMPARE(geometry.right() + 1, origin.x() + bell->width());
    QCOMPARE(geometry.top(), origin.y() + bell->height() - 4);
    QVERIFY(bell->popover()->windowFlags() & Qt::Popup);

    // The next click replaces it.
    QPointer<PopWidget> first = bell->popover();
    QVERIFY(openPopover(bell));
    QTRY_VERIFY(!first);
    QVERIFY(bell->popover());
}

QTEST_MAIN(TestNotificationBell)
#include "tst_notificationbell.moc"
