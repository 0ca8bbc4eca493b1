#include "app/capacitybanner.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"

#include <QFrame>
#include <QJsonArray>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <limits>

namespace {

const QString RedTemplate = QStringLiteral("⚠️ 您的存储扩容已到期，当前超出 "
                                           "%1，上传/复制/解压已暂停，请及时续费或清理文件");

QJsonObject expiring(const QJsonValue &gb, const QString &at, const QJsonValue &days)
{
    return QJsonObject{{"capacity_gb", gb}, {"expire_at", at}, {"days", days}};
}

} // namespace

class TestCapacityBanner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void expiredOverShowsRedBannerAndIgnoresExpiring();
    void expiringShowsOrangeBannerWithCount();
    void numbersMayArriveAsStringsOrBeMissing();
    void noConditionOrFailedAnswerLeavesNoBanner_data();
    void noConditionOrFailedAnswerLeavesNoBanner();
    void clicksAskForProfileOrPurchase();
    void capacityRefreshWritesSessionFigures();
    void failedCapacityRefreshChangesNothing();
    void serverFiguresAreClampedToTheirRange();
    void companyNameIsSetOnlyWhenDifferent();
    void companyNameFollowsOnlyASuccessfulEnvelope();
    void quotaTextAndPercent();
    void answerAfterBannerIsDeletedDoesNothing();

private:
    void load(const ScriptedReply &reply);
    QFrame *frame() const { return m_banner->findChild<QFrame *>("ExpiryBanner"); }

    ScriptedServer m_server;
    QWidget *m_host = nullptr;
    QPointer<CapacityBanner> m_banner;
};

void TestCapacityBanner::initTestCase()
{
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0003");
}

void TestCapacityBanner::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    Session::instance()->clear();
    m_host = new QWidget;
    m_banner = new CapacityBanner(m_host);
    m_host->show();
}

void TestCapacityBanner::cleanup()
{
    delete m_host;
    m_host = nullptr;
}

void TestCapacityBanner::load(const ScriptedReply &reply)
{
    m_server.on("GET", "/api/capacity-expiry-alert", reply);
    const int before = m_server.requestCount();
    // Start from a visibly shown banner so that "hidden" is a result, not the initial state.
    m_banner->showAlert(QJsonObject{{"expiring", QJsonArray{expiring(1, "2030-01-01", 1)}}});
    QVERIFY(!m_banner->isHidden());
    const QString marker = QStringLiteral("marker");
    m_banner->findChild<QLabel *>("ExpiryText")->setText(marker);
    m_banner->loadExpiryBanner();
    QVERIFY(m_server.waitForRequests(before + 1));
    QTRY_VERIFY(m_banner->isHidden() || m_banner->text() != marker);
}

void TestCapacityBanner::expiredOverShowsRedBannerAndIgnoresExpiring()
{
    QVERIFY(m_banner->isHidden());
    load(ScriptedReply::success(QJsonObject{{"expiredOver", true},
                                            {"overBytes", 1610612736.0},
                                            {"expiring", QJsonArray{expiring(100, "2026-01-31T00:00:00Z", 5)}}}));
    QVERIFY(m_banner->isVisible());
    QCOMPARE(m_banner->tone(), CapacityBanner::Tone::Red);
    QCOMPARE(m_banner->text(), RedTemplate.arg(QStringLiteral("1.50 GB")));
    QVERIFY(frame()->styleSheet().contains(QStringLiteral("background:#fff2f0")));
    QVERIFY(frame()->styleSheet().contains(QStringLiteral("color:#a8071a")));
    QCOMPARE(m_server.requests().last().target, QByteArray("/api/capacity-expiry-alert"));

    // overBytes as a decimal string.
    load(ScriptedReply::success(QJsonObject{{"expiredOver", true}, {"overBytes", "2048"}}));
    QCOMPARE(m_banner->text(), RedTemplate.arg(QStringLiteral("2.00 KB")));
}

void TestCapacityBanner::expiringShowsOrangeBannerWithCount()
{
    load(ScriptedReply::success(
        QJsonObject{{"expiredOver", false},
                    {"expiring", QJsonArray{expiring(100, "2026-01-31T00:00:00Z", 5), expiring(50, "2026-02-10", 15),
                                            expiring(20, "2026-03-01", 34)}}}));
    QVERIFY(m_banner->isVisible());
    QCOMPARE(m_banner->tone(), CapacityBanner::Tone::Orange);
    QCOMPARE(
        m_banner->text(),
        QStringLiteral("⏰ 您的 100GB 扩容 等 3 笔将于 2026-01-31 到期（剩余 5 天），到期后容量将回落，请及时续费"));
    QVERIFY(frame()->styleSheet().contains(QStringLiteral("background:#fff7e6")));
    QVERIFY(frame()->styleSheet().contains(QStringLiteral("color:#ad4e00")));

    load(ScriptedReply::success(QJsonObject{{"expiring", QJsonArray{expiring(200, "2026-05-01T08:00:00Z", 1)}}}));
    QCOMPARE(m_banner->text(),
             QStringLiteral("⏰ 您的 200GB 扩容将于 2026-05-01 到期（剩余 1 天），到期后容量将回落，请及时续费"));
}

void TestCapacityBanner::numbersMayArriveAsStringsOrBeMissing()
{
    const auto text = [](const QJsonValue &gb, const QJsonValue &days, const QString &at) {
        return expiryAlertFor(QJsonObject{{"expiring", QJsonArray{expiring(gb, at, days)}}}).text;
    };
    QCOMPARE(text("50", "7", "2026-01-31"),
             QStringLiteral("⏰ 您的 50GB 扩容将于 2026-01-31 到期（剩余 7 天），到期后容量将回落，请及时续费"));
    QCOMPARE(text(QJsonValue::Null, QJsonValue::Null, "2026-01-31"),
             QStringLiteral("⏰ 您的 0GB 扩容将于 2026-01-31 到期（剩余 0 天），到期后容量将回落，请及时续费"));
    QCOMPARE(text(99.9, 2.5, "2026-01-31"),
             QStringLiteral("⏰ 您的 99GB 扩容将于 2026-01-31 到期（剩余 2 天），到期后容量将回落，请及时续费"));
    // A server text that looks like a placeholder is shown as it came.
    QCOMPARE(text(1, 3, "%4%1"),
             QStringLiteral("⏰ 您的 1GB 扩容将于 %4%1 到期（剩余 3 天），到期后容量将回落，请及时续费"));
    // "overBytes" missing or not a number is 0.
    QCOMPARE(expiryAlertFor(QJsonObject{{"expiredOver", true}}).text, RedTemplate.arg(QStringLiteral("0 B")));
    QCOMPARE(expiryAlertFor(QJsonObject{{"expiredOver", true}, {"overBytes", "lots"}}).text,
             RedTemplate.arg(QStringLiteral("0 B")));
    // An "expiredOver" that is not a bool is false.
    QCOMPARE(expiryAlertFor(QJsonObject{{"expiredOver", "true"}}).tone, CapacityBanner::Tone::None);
}

namespace {
const QList<std::pair<const char *, ScriptedReply>> &noBannerReplies()
{
    static const QList<std::pair<const char *, ScriptedReply>> replies{
        {"neither", ScriptedReply::success(QJsonObject{{"expiredOver", false}, {"expiring", QJsonArray()}})},
        {"empty data", ScriptedReply::success(QJsonObject{})},
        {"expiring not an array", ScriptedReply::success(QJsonObject{{"expiring", "soon"}})},
        {"server error", ScriptedReply::json(QJsonObject{{"error", "内部错误"}}, 500)},
        {"success false",
         ScriptedReply::json(QJsonObject{{"success", false}, {"data", QJsonObject{{"expiredOver", true}}}})},
        {"not json", ScriptedReply::text(200, "<html>")},
        {"dropped", ScriptedReply::dropped()}};
    return replies;
}
} // namespace

void TestCapacityBanner::noConditionOrFailedAnswerLeavesNoBanner_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < noBannerReplies().size(); ++i)
        QTest::newRow(noBannerReplies()[i].first) << i;
}

void TestCapacityBanner::noConditionOrFailedAnswerLeavesNoBanner()
{
    QFETCH(int, index);
    load(noBannerReplies()[index].second);
    QTRY_VERIFY(m_banner->isHidden());
}

void TestCapacityBanner::clicksAskForProfileOrPurchase()
{
    m_banner->showAlert(QJsonObject{{"expiredOver", true}, {"overBytes", 1}});
    QSignalSpy profile(m_banner.data(), &CapacityBanner::openProfileRequested);
    QSignalSpy renew(m_banner.data(), &CapacityBanner::renewRequested);

    QTest::mouseClick(m_banner->findChild<QLabel *>("ExpiryText"), Qt::LeftButton);
    QTest::mouseClick(frame(), Qt::LeftButton, {}, QPoint(3, 3));
    QCOMPARE(profile.size(), 2);
    QCOMPARE(renew.size(), 0);

    auto *renewButton = m_banner->findChild<QPushButton *>("ExpiryRenewBtn");
    QCOMPARE(renewButton->text(), QStringLiteral("购买容量"));
    QCOMPARE(renewButton->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseClick(renewButton, Qt::LeftButton);
    QCOMPARE(renew.size(), 1);
    QCOMPARE(profile.size(), 2);
}

void TestCapacityBanner::capacityRefreshWritesSessionFigures()
{
    m_server.onSequence(
        "GET", "/api/profile",
        {ScriptedReply::success(QJsonObject{{"storage_used", 5368709120.0}, {"storage_limit", 107374182400.0}}),
         ScriptedReply::success(QJsonObject{{"storage_used", "12"}, {"storage_limit", 7.9}})});
    QSignalSpy capacity(Session::instance(), &Session::capacityChanged);
    QSignalSpy changed(Session::instance(), &Session::changed);
    m_banner->refreshCapacity();
    QVERIFY(capacity.wait());
    QCOMPARE(Session::instance()->storageUsed, Q_INT64_C(5368709120));
    QCOMPARE(Session::instance()->storageLimit, Q_INT64_C(107374182400));
    QCOMPARE(m_server.requests().last().target, QByteArray("/api/profile"));

    // Non-numbers count as 0; fractions are cut.
    m_banner->refreshCapacity();
    QVERIFY(capacity.wait());
    QCOMPARE(Session::instance()->storageUsed, 0);
    QCOMPARE(Session::instance()->storageLimit, 7);
    QCOMPARE(capacity.size(), 2);
    QCOMPARE(changed.size(), 0);
}

void TestCapacityBanner::serverFiguresAreClampedToTheirRange()
{
    // Figures no 64-bit integer holds, and negative ones, end at the nearest sensible bound.
    m_server.on("GET", "/api/profile",
                ScriptedReply::success(QJsonObject{{"storage_used", 1e300}, {"storage_limit", -4096}}));
    QSignalSpy capacity(Session::instance(), &Session::capacityChanged);
    m_banner->refreshCapacity();
    QVERIFY(capacity.wait());
    QCOMPARE(Session::instance()->storageUsed, std::numeric_limits<qint64>::max());
    QCOMPARE(Session::instance()->storageLimit, 0);

    const auto text = [](const QJsonValue &gb, const QJsonValue &days) {
        return expiryAlertFor(QJsonObject{{"expiring", QJsonArray{expiring(gb, "2026-01-31", days)}}}).text;
    };
    QCOMPARE(text(1e300, -3),
             QStringLiteral("⏰ 您的 1000000000GB 扩容将于 2026-01-31 到期（剩余 0 天），到期后容量将回落，请及时续费"));
    QCOMPARE(text("-50", "1e300"),
             QStringLiteral("⏰ 您的 0GB 扩容将于 2026-01-31 到期（剩余 36600 天），到期后容量将回落，请及时续费"));
    QCOMPARE(expiryAlertFor(QJsonObject{{"expiredOver", true}, {"overBytes", -1e300}}).text,
             RedTemplate.arg(QStringLiteral("0 B")));
}

void TestCapacityBanner::failedCapacityRefreshChangesNothing()
{
    Session::instance()->storageUsed = 11;
    Session::instance()->storageLimit = 22;
    const ScriptedReply unauthorised = ScriptedReply::json(QJsonObject{{"error", "未登录"}}, 401);
    const ScriptedReply refused = ScriptedReply::json(QJsonObject{{"success", false}, {"message", "x"}});
    m_server.onSequence("GET", "/api/profile", {unauthorised, refused});
    QSignalSpy capacity(Session::instance(), &Session::capacityChanged);
    const qint64 before = HttpClient::instance()->bytesDown;
    m_banner->refreshCapacity();
    m_banner->refreshCapacity();
    QVERIFY(m_server.waitForRequests(2));
    // Both bodies handled.
    QTRY_VERIFY(HttpClient::instance()->bytesDown >= before + unauthorised.body.size() + refused.body.size());
    QCOMPARE(capacity.size(), 0);
    QCOMPARE(Session::instance()->storageUsed, 11);
    QCOMPARE(Session::instance()->storageLimit, 22);
}

void TestCapacityBanner::companyNameIsSetOnlyWhenDifferent()
{
    m_server.on("GET", "/api/profile", ScriptedReply::success(QJsonObject{{"company_name", "托尔瓦软件"}}));
    QSignalSpy changed(Session::instance(), &Session::changed);
    m_banner->refreshCompanyName();
    QVERIFY(changed.wait());
    QCOMPARE(Session::instance()->companyName, QStringLiteral("托尔瓦软件"));

    // The same name again: no changed().
    const qint64 before = HttpClient::instance()->bytesDown;
    m_banner->refreshCompanyName();
    QTRY_VERIFY(HttpClient::instance()->bytesDown > before);
    QCOMPARE(changed.size(), 1);

    // A missing name clears it.
    m_server.on("GET", "/api/profile", ScriptedReply::success(QJsonObject{}));
    m_banner->refreshCompanyName();
    QVERIFY(changed.wait());
    QCOMPARE(Session::instance()->companyName, QString());
}

void TestCapacityBanner::companyNameFollowsOnlyASuccessfulEnvelope()
{
    m_server.on("GET", "/api/profile",
                ScriptedReply::json(QJsonObject{{"success", true}, {"data", QJsonObject{{"company_name", "甲公司"}}}}));
    QSignalSpy changed(Session::instance(), &Session::changed);
    m_banner->refreshCompanyName();
    QVERIFY(changed.wait());
    QCOMPARE(Session::instance()->companyName, QStringLiteral("甲公司"));

    // Refused in a successful status, not ok, or not a JSON object: nothing changes.
    const ScriptedReply refused =
        ScriptedReply::json(QJsonObject{{"success", false}, {"data", QJsonObject{{"company_name", "丙"}}}});
    const ScriptedReply failed = ScriptedReply::json(QJsonObject{{"data", QJsonObject{{"company_name", "乙"}}}}, 500);
    const ScriptedReply array = ScriptedReply::json(QJsonArray{1, 2});
    m_server.onSequence("GET", "/api/profile", {refused, failed, array});
    const qint64 before = HttpClient::instance()->bytesDown;
    m_banner->refreshCompanyName();
    m_banner->refreshCompanyName();
    m_banner->refreshCompanyName();
    QVERIFY(m_server.waitForRequests(4));
    QTRY_VERIFY(HttpClient::instance()->bytesDown >=
                before + refused.body.size() + failed.body.size() + array.body.size());
    QCOMPARE(changed.size(), 1);
    QCOMPARE(Session::instance()->companyName, QStringLiteral("甲公司"));
}

void TestCapacityBanner::quotaTextAndPercent()
{
    QCOMPARE(quotaText(0, 0), QStringLiteral("0 B / —"));
    QCOMPARE(quotaText(1536, -1), QStringLiteral("1.5 KB / —"));
    // Used and limit in one form, whatever their sizes.
    QCOMPARE(quotaText(5368709120, 107374182400), QStringLiteral("5 GB / 100 GB"));
    QCOMPARE(quotaText(10737418240, 118111600640), QStringLiteral("10 GB / 110 GB"));
    QCOMPARE(quotaText(3062743, 118111600640), QStringLiteral("2.9 MB / 110 GB"));
    QCOMPARE(quotaPercent(5, 0), 0);
    QCOMPARE(quotaPercent(1, 3), 33);
    QCOMPARE(quotaPercent(2, 3), 66); // integer arithmetic, no rounding
    QCOMPARE(quotaPercent(150, 100), 100);
    QCOMPARE(quotaPercent(-5, 100), 0);
    // Huge figures do not overflow.
    const qint64 big = Q_INT64_C(4) << 60;
    QCOMPARE(quotaPercent(big / 2, big), 50);
}

void TestCapacityBanner::answerAfterBannerIsDeletedDoesNothing()
{
    m_server.on("GET", "/api/capacity-expiry-alert",
                ScriptedReply::success(QJsonObject{{"expiredOver", true}, {"overBytes", 5}}).withDelay(100));
    m_banner->loadExpiryBanner();
    QVERIFY(m_server.waitForRequests(1));
    delete m_host;
    m_host = nullptr;
    const qint64 before = HttpClient::instance()->bytesDown;
    QTRY_VERIFY(HttpClient::instance()->bytesDown > before);
    QVERIFY(m_banner.isNull());
}

QTEST_MAIN(TestCapacityBanner)
#include "tst_capacitybanner.moc"
