// The capacity page against a scripted server: paging of the records, the refunded record, the sort
// carets' cycle, the cell texts, the two forms of the plans answer and the buy button without plans.
#include "account/licensepage.h"
#include "account/sortcaretheader.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "ui/offlineoverlay.h"

#include <QDialog>
#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

namespace {

QJsonObject record(int index, qint64 fen, const QString &startAt, const QString &expireAt, int gb = 100)
{
    return QJsonObject{{"order_no", QStringLiteral("TVR%1").arg(index, 3, 10, QLatin1Char('0'))},
                       {"plan_name", QStringLiteral("套餐%1").arg(index)},
                       {"capacity_gb", gb},
                       {"amount_fen", fen},
                       {"start_at", startAt},
                       {"expire_at", expireAt},
                       {"status", "active"}};
}

ScriptedReply recordsReply(const QJsonArray &records)
{
    return ScriptedReply::success(QJsonObject{{"records", records}});
}

QJsonArray plansArray()
{
    return QJsonArray{
        QJsonObject{{"id", "cap-100g-month"}, {"capacity_gb", 100}, {"price_fen", 990}, {"duration_days", 31}},
        QJsonObject{{"id", "cap-100g-year"}, {"capacity_gb", 100}, {"price_fen", 9900}, {"duration_days", 366}},
        QJsonObject{{"id", ""}, {"capacity_gb", 100}}, QJsonObject{{"id", "zero"}, {"capacity_gb", 0}}};
}

} // namespace

class TestLicensePage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void thirteenRecordsMakeThreePagesWithoutTheRefundedOne();
    void loadsSortedByPurchaseTimeNewestFirst();
    void amountCaretCyclesAscendingDescendingLoadOrder();
    void cellTextsForCapacityAndAmount();
    void plansAsBareArrayOrUnderPlansAreTheSame();
    void buyButtonWithoutPlans();
    void plansKeepPricesAndDurationsBeyond32Bits();
    void orderNumberShowsWholeOnHover();
    void summaryShowsTotalUsedAndLeft();
    void recordsAfterTheEmptyStateShowEveryRowWhole();
    void recordsThatCannotBeFetchedStayListedUnderTheOfflineState();

private:
    LicensePage *makePage();
    QStringList column(int c) const;
    void clickHeader(int section);

    ScriptedServer m_server;
    LicensePage *m_page = nullptr;
};

void TestLicensePage::initTestCase()
{
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0006");
}

void TestLicensePage::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    m_server.on("GET", "/api/plans", ScriptedReply::success(QJsonObject{{"plans", plansArray()}}));
    m_server.on("GET", "/api/profile",
                ScriptedReply::success(QJsonObject{{"storage_used", 1610612736.0}, {"storage_limit", 5368709120.0}}));
    m_server.on("GET", "/api/payment/capacity-records", recordsReply({}));
}

void TestLicensePage::cleanup()
{
    delete m_page;
    m_page = nullptr;
}

LicensePage *TestLicensePage::makePage()
{
    m_page = new LicensePage;
    m_page->resize(900, 800);
    m_page->show();
    return m_page;
}

QStringList TestLicensePage::column(int c) const
{
    QStringList texts;
    for (int row = 0; row < m_page->table()->rowCount(); ++row)
        texts << (m_page->table()->item(row, c) ? m_page->table()->item(row, c)->text() : QString());
    return texts;
}

void TestLicensePage::clickHeader(int section)
{
    QHeaderView *header = m_page->table()->horizontalHeader();
    const int x = header->sectionViewportPosition(section) + header->sectionSize(section) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
}

void TestLicensePage::recordsAfterTheEmptyStateShowEveryRowWhole()
{
    makePage();
    QTRY_VERIFY(!m_server.requests("GET", "/api/payment/capacity-records").isEmpty());
    QTRY_COMPARE(m_page->table()->columnSpan(0, 0), 6); // the stretched "暂无容量购买记录" row

    QJsonArray records;
    for (int i = 0; i < 8; ++i)
        records.append(record(i, 990, QStringLiteral("2026-01-%1 08:00:00").arg(i + 1, 2, 10, QLatin1Char('0')),
                              "2026-03-01 08:00:00"));
    m_server.on("GET", "/api/payment/capacity-records", recordsReply(records));
    m_page->load();
    QTRY_COMPARE(m_page->displayedRecords().size(), 8);
    // The first row must not keep the empty state's height and push the others out of view.
    QCOMPARE(m_page->table()->rowCount(), 6);
    for (int row = 0; row < 6; ++row)
        QCOMPARE(m_page->table()->rowHeight(row), m_page->table()->rowHeight(5));
    QVERIFY(m_page->table()->rowHeight(0) < 60);
}

void TestLicensePage::recordsThatCannotBeFetchedStayListedUnderTheOfflineState()
{
    QJsonArray records;
    for (int i = 0; i < 3; ++i)
        records.append(record(i, 990, QStringLiteral("2026-01-0%1 08:00:00").arg(i + 1), "2026-03-01 08:00:00"));
    m_server.on("GET", "/api/payment/capacity-records", recordsReply(records));
    makePage();
    QTRY_COMPARE(m_page->displayedRecords().size(), 3);
    QVERIFY(!m_page->recordsOverlay()->isVisible());

    m_server.on("GET", "/api/payment/capacity-records", ScriptedReply::dropped());
    m_page->load();
    QTRY_VERIFY(m_page->recordsOverlay()->isVisible());
    QCOMPARE(m_page->recordsOverlay()->title(), QStringLiteral("无法连接服务器"));
    QCOMPARE(m_page->displayedRecords().size(), 3);

    // A refusal in a successful status is a failure too, not an empty history.
    m_server.on("GET", "/api/payment/capacity-records",
                ScriptedReply::json(QJsonObject{{"success", false}, {"message", "请重新登录"}}));
    QTest::mouseClick(m_page->recordsOverlay()->retryButton(), Qt::LeftButton);
    QTRY_COMPARE(m_page->recordsOverlay()->detail(), QStringLiteral("请重新登录"));
    QCOMPARE(m_page->displayedRecords().size(), 3);

    m_server.on("GET", "/api/payment/capacity-records", recordsReply({}));
    QTest::mouseClick(m_page->recordsOverlay()->retryButton(), Qt::LeftButton);
    QTRY_COMPARE(m_page->displayedRecords().size(), 0);
    QVERIFY(!m_page->recordsOverlay()->isVisible());
}

void TestLicensePage::thirteenRecordsMakeThreePagesWithoutTheRefundedOne()
{
    QJsonArray records;
    for (int i = 0; i < 13; ++i)
        records.append(record(i, 100 * (i + 1),
                              QStringLiteral("2026-01-%1 08:00:00").arg(i + 1, 2, 10, QLatin1Char('0')),
                              QStringLiteral("2026-03-%1 08:00:00").arg(i + 1, 2, 10, QLatin1Char('0'))));
    QJsonObject refunded = record(99, 99900, "2026-02-01 08:00:00", "2026-12-01 08:00:00");
    refunded["status"] = "refunded";
    records.append(refunded);
    m_server.on("GET", "/api/payment/capacity-records", recordsReply(records));
    makePage();

    auto *label = m_page->findChild<QLabel *>("LicPageLabel");
    auto *prev = m_page->findChild<QPushButton *>("LicPrev");
    auto *next = m_page->findChild<QPushButton *>("LicNext");
    QTRY_COMPARE(m_page->displayedRecords().size(), 13);
    QCOMPARE(m_page->pageCount(), 3);
    QCOMPARE(label->text(), QStringLiteral("第 1 页，共 3 页"));
    QCOMPARE(m_page->table()->rowCount(), 6);
    QVERIFY(!prev->isEnabled());
    QVERIFY(next->isEnabled());
    QVERIFY(!column(5).contains(QStringLiteral("TVR099")));

    QTest::mouseClick(next, Qt::LeftButton);
    QTest::mouseClick(next, Qt::LeftButton);
    QCOMPARE(label->text(), QStringLiteral("第 3 页，共 3 页"));
    QCOMPARE(m_page->table()->rowCount(), 1);
    QVERIFY(prev->isEnabled());
    QVERIFY(!next->isEnabled());
    QTest::mouseClick(next, Qt::LeftButton);
    QCOMPARE(m_page->currentPage(), 3);
    QTest::mouseClick(prev, Qt::LeftButton);
    QCOMPARE(label->text(), QStringLiteral("第 2 页，共 3 页"));
}

void TestLicensePage::loadsSortedByPurchaseTimeNewestFirst()
{
    // Expiry order (the load order) differs from purchase order on purpose.
    const QJsonArray records{record(1, 100, "2026-01-01 08:00:00", "2026-05-01 08:00:00"),
                             record(2, 200, "2026-03-01 08:00:00", "2026-04-01 08:00:00"),
                             record(3, 300, "2026-02-01 08:00:00", "2027-02-01 08:00:00")};
    m_server.on("GET", "/api/payment/capacity-records", recordsReply(records));
    makePage();
    QTRY_COMPARE(m_page->displayedRecords().size(), 3);
    QCOMPARE(m_page->sortColumn(), 0);
    QCOMPARE(m_page->sortDirection(), -1);
    QCOMPARE(column(5), QStringList({"TVR002", "TVR003", "TVR001"}));

    clickHeader(0);
    QCOMPARE(m_page->sortDirection(), 0);
    QCOMPARE(column(5), QStringList({"TVR003", "TVR001", "TVR002"}));
    clickHeader(0);
    QCOMPARE(m_page->sortDirection(), 1);
    QCOMPARE(column(5), QStringList({"TVR001", "TVR003", "TVR002"}));
}

void TestLicensePage::amountCaretCyclesAscendingDescendingLoadOrder()
{
    const QJsonArray records{record(1, 500, "2026-01-01 08:00:00", "2026-06-01 08:00:00"),
                             record(2, 100, "2026-03-01 08:00:00", "2026-04-01 08:00:00"),
                             record(3, 300, "2026-02-01 08:00:00", "2026-05-01 08:00:00")};
    m_server.on("GET", "/api/payment/capacity-records", recordsReply(records));
    makePage();
    QTRY_COMPARE(m_page->displayedRecords().size(), 3);

    clickHeader(4);
    QCOMPARE(m_page->sortColumn(), 4);
    QCOMPARE(m_page->sortDirection(), 1);
    QCOMPARE(column(4), QStringList({"¥1.00", "¥3.00", "¥5.00"}));
    clickHeader(4);
    QCOMPARE(m_page->sortDirection(), -1);
    QCOMPARE(column(4), QStringList({"¥5.00", "¥3.00", "¥1.00"}));
    clickHeader(4);
    QCOMPARE(m_page->sortDirection(), 0);
    QCOMPARE(column(4), QStringList({"¥5.00", "¥3.00", "¥1.00"})); // load order: latest expiry first
    clickHeader(4);
    QCOMPARE(m_page->sortDirection(), 1);
    QCOMPARE(column(4), QStringList({"¥1.00", "¥3.00", "¥5.00"}));
}

void TestLicensePage::cellTextsForCapacityAndAmount()
{
    const int gbs[] = {500, 1024, 1536, 10240, 0};
    QJsonArray records;
    for (int i = 0; i < 5; ++i)
        records.append(record(i, i == 0 ? 1990 : 100, "2026-01-01 08:00:00",
                              QStringLiteral("2026-0%1-01 08:00:00").arg(9 - i), gbs[i]));
    QJsonObject odd{{"plan_name", ""}, {"package_name", "旧套餐"}, {"expire_at", "later"}, {"capacity_gb", 1}};
    records.append(odd);
    m_server.on("GET", "/api/payment/capacity-records", recordsReply(records));
    makePage();
    QTRY_COMPARE(m_page->displayedRecords().size(), 6);
    clickHeader(0); // load order: by expiry text, descending
    QCOMPARE(column(2), QStringList({"1 GB", "500 GB", "1 TB", "1.5 TB", "10 TB", "-"}));
    QCOMPARE(column(4), QStringList({"¥0.00", "¥19.90", "¥1.00", "¥1.00", "¥1.00", "¥1.00"}));
    QCOMPARE(column(0).first(), QStringLiteral("-"));
    QCOMPARE(column(1).first(), QStringLiteral("旧套餐"));
    QCOMPARE(column(3).first(), QStringLiteral("-"));
    QCOMPARE(m_page->table()->item(1, 4)->font().weight(), QFont::Bold);
}

void TestLicensePage::plansAsBareArrayOrUnderPlansAreTheSame()
{
    makePage();
    QTRY_COMPARE(m_page->plans().size(), 2);
    const QList<paydlg::CapPlan> underPlans = m_page->plans();
    delete m_page;

    m_server.on("GET", "/api/plans", ScriptedReply::success(plansArray()));
    makePage();
    QTRY_COMPARE(m_page->plans().size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(m_page->plans().at(i).id, underPlans.at(i).id);
        QCOMPARE(m_page->plans().at(i).priceFen, underPlans.at(i).priceFen);
        QCOMPARE(m_page->plans().at(i).durationDays, underPlans.at(i).durationDays);
    }
    QCOMPARE(m_page->plans().at(1).id, QStringLiteral("cap-100g-year"));
    QCOMPARE(m_page->plans().at(1).priceFen, qint64(9900));
}

void TestLicensePage::plansKeepPricesAndDurationsBeyond32Bits()
{
    m_server.on(
        "GET", "/api/plans",
        ScriptedReply::success(QJsonArray{QJsonObject{
            {"id", "cap-huge"}, {"capacity_gb", 100}, {"price_fen", 5000000000.0}, {"duration_days", 4294967396.0}}}));
    makePage();
    QTRY_COMPARE(m_page->plans().size(), 1);
    QVERIFY(m_page->plans().first().priceFen == Q_INT64_C(5000000000));
    QVERIFY(m_page->plans().first().durationDays == Q_INT64_C(4294967396));
}

void TestLicensePage::orderNumberShowsWholeOnHover()
{
    QJsonObject longOrder = record(1, 990, "2026-01-01 08:00:00", "2026-02-01 08:00:00");
    longOrder.insert("order_no", "TVR20260101080000123456789012");
    m_server.on("GET", "/api/payment/capacity-records", recordsReply({longOrder}));
    makePage();
    QTRY_COMPARE(m_page->displayedRecords().size(), 1);
    const QTableWidgetItem *order = m_page->table()->item(0, LicensePage::ColumnCount - 1);
    QCOMPARE(order->toolTip(), QStringLiteral("TVR20260101080000123456789012"));
    QCOMPARE(m_page->table()->contextMenuPolicy(), Qt::CustomContextMenu);
}

void TestLicensePage::buyButtonWithoutPlans()
{
    m_server.on("GET", "/api/plans", ScriptedReply::success(QJsonObject{{"plans", QJsonArray()}}).heldUntilReleased());
    makePage();
    auto *buy = m_page->findChild<QPushButton *>("LicBuy");
    QTRY_COMPARE(m_server.heldCount(), 1);
    QVERIFY(buy->isEnabled());
    // Before the plans arrive a click only reloads; no dialog opens.
    QTest::mouseClick(buy, Qt::LeftButton);
    QTRY_COMPARE(m_server.requests("GET", "/api/plans").size(), 2);
    QVERIFY(!m_page->findChild<QDialog *>());
    m_server.releaseHeld();
    QTRY_COMPARE(m_server.heldCount(), 0);
    QTRY_VERIFY(!buy->isEnabled());
    QVERIFY(m_page->findChild<QLabel *>("LicEmpty"));
}

void TestLicensePage::summaryShowsTotalUsedAndLeft()
{
    makePage();
    QTRY_COMPARE(m_page->findChild<QLabel *>("LicTotal")->text(), QStringLiteral("5 GB"));
    QCOMPARE(m_page->findChild<QLabel *>("LicUsedLeft")->text(), QStringLiteral("已用 1.5 GB · 剩余 3.5 GB"));
}

QTEST_MAIN(TestLicensePage)
#include "tst_licensepage.moc"
