#include "app/statusbar.h"
#include "app/supportcontacts.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

namespace {

const QColor Green(47, 158, 95);
const QColor Red(232, 84, 64);
const QColor Idle(207, 214, 224);

// Lit bars of a meter pixmap, read from the bottom pixel row where every bar stands; -1 when a
// bar is neither lit in the expected colour nor idle, or lit bars do not come first.
int litBars(const QPixmap &pixmap, const QColor &lit)
{
    const QImage image = pixmap.toImage();
    int count = 0;
    bool idleSeen = false;
    for (int i = 0; i < 6; ++i) {
        const QColor c = image.pixelColor(6 * i + 2, 15);
        if (c == lit && !idleSeen)
            ++count;
        else if (c == Idle)
            idleSeen = true;
        else
            return -1;
    }
    return count;
}

// The href of the single anchor in a support link label.
QString anchorOf(const QLabel *label)
{
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("href=\"([^\"]*)\"")).match(label->text());
    return m.hasMatch() ? m.captured(1) : QString();
}

} // namespace

class TestStatusBar : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void meterLevelFollowsRateThresholds();
    void meterPixmapDrawsBarsOnTheBottomEdge();
    void clockEndsWithASpaceAndTheChineseWeekday();
    void narrowBarKeepsWholeContactsAndNamesTheRest();
    void firstProbeRunsSoonAfterBuilding();
    void anyHttpStatusCountsAsConnected_data();
    void anyHttpStatusCountsAsConnected();
    void noAnswerShowsDisconnected();
    void refusedConnectionShowsDisconnected();
    void staleProbeAnswerDoesNotOverrideNewerOne();
    void failedRequestShowsDisconnectedWithoutWaitingForAProbe();
    void meterTickTakesCountersAndLightsBars();
    void meterStaysDarkWhileDisconnected();
    void supportLinksShowAndUseTheSameValues();
    void answerAfterBarIsDeletedDoesNothing();

private:
    StatusBar *makeBar();
    QLabel *connectionLabel() const { return m_bar->findChild<QLabel *>("ConnectionLabel"); }
    QPixmap meter() const { return m_bar->findChild<QLabel *>("MeterLabel")->pixmap(); }
    bool probe();

    ScriptedServer m_server;
    QPointer<StatusBar> m_bar;
};

void TestStatusBar::initTestCase()
{
    QVERIFY(m_server.listen());
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0002");
}

void TestStatusBar::init()
{
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    m_server.clearRoutes();
    m_server.clearRequests();
    HttpClient::instance()->setJsonTimeoutMs(HttpClient::DefaultJsonTimeoutMs);
    HttpClient::instance()->bytesDown = 0;
    HttpClient::instance()->bytesUp = 0;
}

void TestStatusBar::cleanup()
{
    delete m_bar.data();
}

StatusBar *TestStatusBar::makeBar()
{
    m_bar = new StatusBar;
    m_bar->resize(1180, 28);
    return m_bar;
}

// One explicit probe; true once its answer is shown.
bool TestStatusBar::probe()
{
    const QString before = connectionLabel()->text();
    connectionLabel()->setText(QStringLiteral("pending"));
    m_bar->checkConnection();
    QElapsedTimer clock;
    clock.start();
    while (connectionLabel()->text() == QLatin1String("pending") && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    Q_UNUSED(before);
    return connectionLabel()->text() != QLatin1String("pending");
}

void TestStatusBar::meterLevelFollowsRateThresholds()
{
    const QList<std::pair<qint64, int>> table{
        {-5, 0},      {0, 0},       {1, 1},       {1023, 1},    {1024, 2},     {524287, 2},   {524288, 3},
        {2097151, 3}, {2097152, 4}, {8388607, 4}, {8388608, 5}, {26214399, 5}, {26214400, 6}, {Q_INT64_C(1) << 40, 6}};
    for (const auto &[rate, level] : table)
        QVERIFY2(meterLevel(rate) == level, qPrintable(QString::number(rate)));
}

void TestStatusBar::meterPixmapDrawsBarsOnTheBottomEdge()
{
    for (int level = 0; level <= 6; ++level) {
        const QPixmap active = meterPixmap(level, true);
        QCOMPARE(active.size(), QSize(34, 16));
        QCOMPARE(litBars(active, Green), level);
        QCOMPARE(litBars(meterPixmap(level, false), Red), level);
    }
    // Bar i is 4 + 2i high and 4 wide: bar 0 spans rows 12..15, bar 5 rows 2..15; gaps stay clear.
    const QImage image = meterPixmap(6, true).toImage();
    QCOMPARE(image.pixelColor(1, 12), Green);
    QCOMPARE(qAlpha(image.pixel(1, 11)), 0);
    QCOMPARE(image.pixelColor(31, 2), Green);
    QCOMPARE(qAlpha(image.pixel(31, 1)), 0);
    QCOMPARE(qAlpha(image.pixel(4, 15)), 0);
    QCOMPARE(qAlpha(image.pixel(29, 15)), 0);
}

void TestStatusBar::narrowBarKeepsWholeContactsAndNamesTheRest()
{
    makeBar();
    m_bar->resize(1600, 28);
    m_bar->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_bar));
    const QList<QLabel *> links = m_bar->findChildren<QLabel *>(QRegularExpression(QStringLiteral("^SupportLink_")));
    QCOMPARE(links.size(), 5);
    for (QLabel *link : links)
        QVERIFY(link->isVisible());

    // At its floor (a 1024 px window less the sidebar is far wider) the bar still shows every part whole.
    QVERIFY2(m_bar->minimumSizeHint().width() <= 1024 - 210,
             qPrintable(QString::number(m_bar->minimumSizeHint().width())));
    m_bar->resize(m_bar->minimumSizeHint().width(), 28);
    QApplication::processEvents();
    int shown = 0;
    for (QLabel *label : m_bar->findChildren<QLabel *>()) {
        if (!label->isVisible())
            continue;
        const QRect rect(label->mapTo(m_bar, QPoint(0, 0)), label->size());
        QVERIFY2(m_bar->rect().contains(rect) && label->width() >= label->sizeHint().width(),
                 qPrintable(label->objectName()));
        shown += label->objectName().startsWith(QStringLiteral("SupportLink_")) ? 1 : 0;
    }
    QVERIFY(shown >= 1);
    QVERIFY(m_bar->findChild<QLabel *>(QStringLiteral("SupportLink_tel"))->isVisible());
    // What gave way is still named, on the group's tool tip.
    const QString tip = m_bar->findChild<QWidget *>(QStringLiteral("SupportLinks"))->toolTip();
    QVERIFY2(tip.contains(QStringLiteral("手机：13917206835")), qPrintable(tip));
}

void TestStatusBar::clockEndsWithASpaceAndTheChineseWeekday()
{
    const QTime t(9, 5, 7);
    QCOMPARE(clockText(QDateTime(QDate(2025, 3, 2), t)), QStringLiteral("2025/03/02 09:05:07 星期日"));
    QCOMPARE(clockText(QDateTime(QDate(2025, 3, 3), t)), QStringLiteral("2025/03/03 09:05:07 星期一"));
    QCOMPARE(clockText(QDateTime(QDate(2025, 3, 8), QTime(23, 59, 59))), QStringLiteral("2025/03/08 23:59:59 星期六"));

    makeBar();
    const QString shown = m_bar->findChild<QLabel *>("ClockLabel")->text();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2} 星期[一二三四五六日]$"))
                 .match(shown)
                 .hasMatch(),
             qPrintable(shown));
}

void TestStatusBar::firstProbeRunsSoonAfterBuilding()
{
    m_server.on("GET", "/api/plans", ScriptedReply::success(QJsonArray()));
    makeBar();
    QCOMPARE(connectionLabel()->text(), QStringLiteral("服务器连接状态：<span style='color:#8a93a6;'>检测中…</span>"));
    QVERIFY(!m_bar->isConnected());
    QVERIFY(m_server.waitForRequests(1, 3000));
    QCOMPARE(m_server.requests().first().method, QByteArray("GET"));
    QCOMPARE(m_server.requests().first().target, QByteArray("/api/plans"));
    QTRY_VERIFY(m_bar->isConnected());
    QCOMPARE(connectionLabel()->text(), QStringLiteral("服务器连接状态：<span style='color:#2f9e5f;'>● 已连接</span>"));
}

void TestStatusBar::anyHttpStatusCountsAsConnected_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("401") << 401;
    QTest::newRow("500") << 500;
    QTest::newRow("200") << 200;
}

void TestStatusBar::anyHttpStatusCountsAsConnected()
{
    QFETCH(int, status);
    m_server.on("GET", "/api/plans", ScriptedReply::json(QJsonObject{{"error", "x"}}, status));
    makeBar();
    QVERIFY(probe());
    QVERIFY(m_bar->isConnected());
    QVERIFY(connectionLabel()->text().contains(QStringLiteral("● 已连接")));
}

void TestStatusBar::noAnswerShowsDisconnected()
{
    m_server.on("GET", "/api/plans", ScriptedReply::hanging());
    HttpClient::instance()->setJsonTimeoutMs(300);
    makeBar();
    QVERIFY(probe());
    QVERIFY(!m_bar->isConnected());
    QCOMPARE(connectionLabel()->text(),
             QStringLiteral("服务器连接状态：<span style='color:#e85440;'>● 连接中断</span>"));
    QCOMPARE(litBars(meter(), Green), 0);
}

void TestStatusBar::refusedConnectionShowsDisconnected()
{
    // A port that was free a moment ago: nothing listens there.
    quint16 port = 0;
    {
        QTcpServer probeServer;
        QVERIFY(probeServer.listen(QHostAddress::LocalHost));
        port = probeServer.serverPort();
    }
    qputenv("TVR_SERVER", QByteArray("http://127.0.0.1:") + QByteArray::number(port));
    makeBar();
    QVERIFY(probe());
    QVERIFY(!m_bar->isConnected());
    QVERIFY(connectionLabel()->text().contains(QStringLiteral("● 连接中断")));
}

void TestStatusBar::staleProbeAnswerDoesNotOverrideNewerOne()
{
    // The first probe hangs until it times out; the second is answered at once.
    m_server.onSequence("GET", "/api/plans", {ScriptedReply::hanging(), ScriptedReply::success()});
    HttpClient::instance()->setJsonTimeoutMs(400);
    makeBar();
    m_bar->checkConnection();
    QVERIFY(m_server.waitForRequests(1));
    m_bar->checkConnection();
    QTRY_VERIFY(m_bar->isConnected());

    // A request of our own issued after both ends after the hanging probe's time-out.
    m_server.on("GET", "/marker", ScriptedReply::hanging());
    bool markerDone = false;
    HttpClient::instance()->get(QStringLiteral("/marker"), [&](const HttpResponse &) { markerDone = true; });
    QTRY_VERIFY_WITH_TIMEOUT(markerDone, 5000);
    QVERIFY(m_bar->isConnected());
    QVERIFY(connectionLabel()->text().contains(QStringLiteral("● 已连接")));
}

void TestStatusBar::failedRequestShowsDisconnectedWithoutWaitingForAProbe()
{
    quint16 deadPort = 0;
    {
        QTcpServer probeServer;
        QVERIFY(probeServer.listen(QHostAddress::LocalHost));
        deadPort = probeServer.serverPort();
    }
    const QString deadUrl = QStringLiteral("http://127.0.0.1:%1/api/files").arg(deadPort);
    m_server.on("GET", "/api/plans", ScriptedReply::success());
    m_server.on("GET", "/api/missing",
                ScriptedReply::json(QJsonObject{{"success", false}, {"message", "不存在"}}, 404));
    makeBar();
    QVERIFY(probe());
    QVERIFY(m_bar->isConnected());
    QSignalSpy probed(m_bar.data(), &StatusBar::connectionProbed);

    // A refusal from a reachable server is an answer, not a lost connection.
    bool answered = false;
    HttpClient::instance()->get(QStringLiteral("/api/missing"), [&](const HttpResponse &) { answered = true; });
    QTRY_VERIFY(answered);
    QVERIFY(m_bar->isConnected());

    // A probe on its way when the connection is found gone no longer counts.
    m_server.on("GET", "/api/plans", ScriptedReply::success().heldUntilReleased());
    const int probes = int(m_server.requests("GET", "/api/plans").size());
    m_bar->checkConnection();
    QTRY_COMPARE(m_server.heldCount(), 1);

    bool failed = false;
    HttpClient::instance()->get(deadUrl, [&](const HttpResponse &response) { failed = response.networkError; });
    QTRY_VERIFY(failed);
    QVERIFY(!m_bar->isConnected());
    QVERIFY(connectionLabel()->text().contains(QStringLiteral("● 连接中断")));
    QCOMPARE(probed.size(), 1);
    QCOMPARE(probed.first().first().toBool(), false);
    QCOMPARE(int(m_server.requests("GET", "/api/plans").size()), probes + 1); // no probe was needed

    // A second failure in the same outage is not announced again.
    failed = false;
    HttpClient::instance()->get(deadUrl, [&](const HttpResponse &response) { failed = response.networkError; });
    QTRY_VERIFY(failed);
    QCOMPARE(probed.size(), 1);

    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    m_server.releaseHeld();
    QVERIFY(finished.wait());
    QVERIFY(!m_bar->isConnected());
    QCOMPARE(probed.size(), 1);

    // The next probe finds the server again.
    m_server.on("GET", "/api/plans", ScriptedReply::success());
    QVERIFY(probe());
    QVERIFY(m_bar->isConnected());
}

void TestStatusBar::meterTickTakesCountersAndLightsBars()
{
    m_server.on("GET", "/api/plans", ScriptedReply::success());
    makeBar();
    QVERIFY(probe());
    QVERIFY(m_bar->isConnected());

    struct Case
    {
        qint64 down;
        qint64 up;
        int bars;
    };
    const QList<Case> cases{
        {600 * 1024, 10 * 1024, 3}, {10 * 1024 * 1024, 0, 5}, {0, 0, 0}, {0, 700, 1}, {0, 30 * 1024 * 1024, 6}};
    for (const Case &c : cases) {
        HttpClient::instance()->bytesDown = c.down;
        HttpClient::instance()->bytesUp = c.up;
        m_bar->meterTick();
        QCOMPARE(m_bar->downRate(), c.down);
        QCOMPARE(m_bar->upRate(), c.up);
        QCOMPARE(HttpClient::instance()->bytesDown, 0);
        QCOMPARE(HttpClient::instance()->bytesUp, 0);
        QCOMPARE(litBars(meter(), Green), c.bars);
    }

    // A probe answer redraws the meter at the current rate.
    HttpClient::instance()->bytesDown = 3 * 1024 * 1024;
    m_bar->meterTick();
    QVERIFY(probe());
    QCOMPARE(litBars(meter(), Green), 4);
}

void TestStatusBar::meterStaysDarkWhileDisconnected()
{
    m_server.on("GET", "/api/plans", ScriptedReply::success());
    makeBar();
    QVERIFY(probe());
    HttpClient::instance()->bytesDown = 10 * 1024 * 1024;
    m_bar->meterTick();
    QCOMPARE(litBars(meter(), Green), 5);

    m_server.on("GET", "/api/plans", ScriptedReply::dropped());
    QVERIFY(probe());
    QVERIFY(!m_bar->isConnected());
    QCOMPARE(litBars(meter(), Green), 0);
    // Counters are still taken while disconnected, but nothing lights up.
    HttpClient::instance()->bytesDown = 10 * 1024 * 1024;
    m_bar->meterTick();
    QCOMPARE(HttpClient::instance()->bytesDown, 0);
    QCOMPARE(litBars(meter(), Green), 0);
}

void TestStatusBar::supportLinksShowAndUseTheSameValues()
{
    makeBar();
    QList<QUrl> opened;
    m_bar->setUrlOpener([&](const QUrl &url) {
        opened << url;
        return true;
    });

    using namespace SupportContacts;
    struct Case
    {
        const char *key;
        QString label;
        QString value;
    };
    const QList<Case> cases{{"qq", "QQ", QqNumber},
                            {"wechat", "微信", WechatId},
                            {"tel", "电话", Telephone},
                            {"mobile", "手机", Mobile},
                            {"site", "官网", Website}};
    for (const Case &c : cases) {
        auto *link = m_bar->findChild<QLabel *>(QStringLiteral("SupportLink_") + c.key);
        QVERIFY2(link, c.key);
        QCOMPARE(link->text(), QStringLiteral("%1：<a href=\"%2\" style=\"color:#1a56b0;text-decoration:none;\">%3</a>")
                                   .arg(c.label, c.key, c.value));
        QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
        QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
        opened.clear();
        emit link->linkActivated(anchorOf(link));

        const QString key = QString::fromLatin1(c.key);
        if (key == "qq") {
            QCOMPARE(opened, QList<QUrl>{QUrl(QStringLiteral("tencent://message/?uin=80086520&Site=&Menu=yes"))});
            QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
        } else if (key == "wechat") {
            QCOMPARE(QGuiApplication::clipboard()->text(), c.value);
            QCOMPARE(opened, QList<QUrl>{QUrl(QStringLiteral("weixin://"))});
        } else if (key == "site") {
            QCOMPARE(opened, QList<QUrl>{QUrl(c.value)});
            QCOMPARE(opened.first().scheme(), QStringLiteral("https"));
        } else {
            QCOMPARE(QGuiApplication::clipboard()->text(), c.value);
            QVERIFY(opened.isEmpty());
        }
    }

    opened.clear();
    QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
    m_bar->openSupportLink(QStringLiteral("fax"));
    QVERIFY(opened.isEmpty());
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
    QCOMPARE(m_bar->findChild<QLabel *>("VersionLabel")->text(), QStringLiteral("版本：V2.1.23"));
}

void TestStatusBar::answerAfterBarIsDeletedDoesNothing()
{
    const ScriptedReply slow = ScriptedReply::success().withDelay(100);
    m_server.on("GET", "/api/plans", slow);
    makeBar();
    m_bar->checkConnection();
    QVERIFY(m_server.waitForRequests(1));
    delete m_bar.data();
    bool markerDone = false;
    m_server.on("GET", "/marker", ScriptedReply::success().withDelay(300));
    HttpClient::instance()->get(QStringLiteral("/marker"), [&](const HttpResponse &) { markerDone = true; });
    QTRY_VERIFY(markerDone);
    QVERIFY(m_bar.isNull());
}

QTEST_MAIN(TestStatusBar)
#include "tst_statusbar.moc"
