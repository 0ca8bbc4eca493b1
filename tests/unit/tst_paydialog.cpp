// The payment dialog against a scripted server: the tier drop-down and the duration cards, order
// answers that must fail, the paid status closing the dialog, and answers that come too late.
#include "account/paydialog.h"
#include "account/paydlg.h"
#include "account/plancard.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"

#include <QBuffer>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>

Q_DECLARE_METATYPE(ScriptedReply)

using paydlg::CapPlan;
using paydlg::PayDialog;

namespace {

const QString PrecreatePath = QStringLiteral("/api/payment/alipay/precreate");
const QString Failed = QStringLiteral("收款码生成失败，请稍后重试");

QString pngDataUrl()
{
    QImage image(40, 40, QImage::Format_RGB32);
    image.fill(Qt::black);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

ScriptedReply orderReply(const QString &orderNo)
{
    return ScriptedReply::success(QJsonObject{{"qr", pngDataUrl()}, {"order_no", orderNo}});
}

ScriptedReply statusReply(const QString &status)
{
    return ScriptedReply::success(QJsonObject{{"status", status}});
}

// Sends one more request and waits for its answer, so that answers released before it have been handled.
bool drain(ScriptedServer &server)
{
    server.on("GET", "/drain", ScriptedReply::success());
    bool done = false;
    HttpClient::instance()->get(QStringLiteral("/drain"), [&done](const HttpResponse &) { done = true; });
    return QTest::qWaitFor([&done] { return done; }, 5000);
}

QList<CapPlan> standardPlans()
{
    return {{"cap-100g-month", 100, 990, 31}, {"cap-100g-year", 100, 9900, 366}, {"cap-1t-year", 1024, 49900, 366}};
}

} // namespace

class TestPayDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void capacityAndPriceTextsUseIntegers();
    void dropDownListsTiersAndRefusesMissingMonthlyPlanBeforeAnyRequest();
    void yearlyCardIsSelectedAtOpenAndMonthlyClickClearsTheQrCode();
    void orderAnswersWithoutUsableQrOrOrderFail_data();
    void orderAnswersWithoutUsableQrOrOrderFail();
    void paidStatusClosesAboutLaterAndRunsCompletionOnce();
    void closeButtonNeverRunsCompletionAndLateAnswersDoNothing();
    void pollAnswerForReplacedOrderNeverCloses();

private:
    PayDialog *open(const QList<CapPlan> &plans);
    QLabel *status() const { return m_dialog->findChild<QLabel *>("PayStatus"); }
    QLabel *qr() const { return m_dialog->findChild<QLabel *>("PayQrImg"); }
    QPushButton *genButton() const { return m_dialog->findChild<QPushButton *>("GenBtn"); }
    paydlg::PlanCard *card(int duration) const;

    ScriptedServer m_server;
    QWidget *m_parent = nullptr;
    QPointer<PayDialog> m_dialog;
    int m_completed = 0;
};

void TestPayDialog::initTestCase()
{
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0005");
    Session::instance()->name = QStringLiteral("演示用户");
}

void TestPayDialog::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    m_completed = 0;
    m_parent = new QWidget;
    m_parent->resize(800, 600);
    m_parent->show();
}

void TestPayDialog::cleanup()
{
    delete m_parent; // deletes a dialog still open
    m_parent = nullptr;
}

PayDialog *TestPayDialog::open(const QList<CapPlan> &plans)
{
    m_dialog = qobject_cast<PayDialog *>(paydlg::show(m_parent, plans, [this] { ++m_completed; }));
    return m_dialog;
}

paydlg::PlanCard *TestPayDialog::card(int duration) const
{
    for (auto *card : m_dialog->findChildren<paydlg::PlanCard *>()) {
        if (card->property("duration").toInt() == duration)
            return card;
    }
    return nullptr;
}

void TestPayDialog::capacityAndPriceTextsUseIntegers()
{
    QCOMPARE(paydlg::capacityText(500), QStringLiteral("500GB"));
    QCOMPARE(paydlg::capacityText(1024), QStringLiteral("1TB"));
    QCOMPARE(paydlg::capacityText(1536), QStringLiteral("1.5TB"));
    QCOMPARE(paydlg::capacityText(2048), QStringLiteral("2TB"));
    QCOMPARE(paydlg::priceText(9900), QStringLiteral("¥99"));
    QCOMPARE(paydlg::priceText(990), QStringLiteral("¥9.90"));
    QCOMPARE(paydlg::priceText(1), QStringLiteral("¥0.01"));
    // Values whose float halves are not exact still print their exact fen.
    QCOMPARE(paydlg::priceText(Q_INT64_C(900719925474099301)), QStringLiteral("¥9007199254740993.01"));
    QCOMPARE(paydlg::amountText(1990), QStringLiteral("¥19.90"));
    QCOMPARE(paydlg::amountText(100), QStringLiteral("¥1.00"));
    QCOMPARE(paydlg::amountText(-50), QStringLiteral("¥-0.50"));
}

void TestPayDialog::dropDownListsTiersAndRefusesMissingMonthlyPlanBeforeAnyRequest()
{
    open(standardPlans());
    auto *combo = m_dialog->findChild<QComboBox *>("CapCombo");
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QStringLiteral("100GB"));
    QCOMPARE(combo->itemText(1), QStringLiteral("1TB"));
    QCOMPARE(combo->currentIndex(), 0);

    combo->setCurrentIndex(1);
    const QList<QLabel *> prices = card(PayDialog::Monthly)->findChildren<QLabel *>("PlanPrice");
    QCOMPARE(prices.first()->text(), QStringLiteral("—"));
    QCOMPARE(card(PayDialog::Yearly)->findChild<QLabel *>("PlanPrice")->text(), QStringLiteral("¥499"));

    QTest::mouseClick(card(PayDialog::Monthly), Qt::LeftButton);
    QCOMPARE(m_dialog->selectedDuration(), int(PayDialog::Monthly));
    QTest::mouseClick(genButton(), Qt::LeftButton);
    QCOMPARE(status()->text(), QStringLiteral("该容量档位暂不可用，请重新选择"));
    QVERIFY(drain(m_server));
    QCOMPARE(m_server.requestCount(), 1); // the drain only
}

void TestPayDialog::yearlyCardIsSelectedAtOpenAndMonthlyClickClearsTheQrCode()
{
    m_server.on("POST", PrecreatePath, orderReply("TVR1"));
    open(standardPlans());
    QCOMPARE(m_dialog->selectedDuration(), int(PayDialog::Yearly));
    QCOMPARE(card(PayDialog::Yearly)->styleSheet(), paydlg::planCardStyle(true));
    QCOMPARE(card(PayDialog::Monthly)->styleSheet(), paydlg::planCardStyle(false));
    QCOMPARE(card(PayDialog::Monthly)->findChild<QLabel *>("PlanPrice")->text(), QStringLiteral("¥9.90"));
    QCOMPARE(card(PayDialog::Yearly)->findChild<QLabel *>("PlanPrice")->text(), QStringLiteral("¥99"));
    QCOMPARE(card(PayDialog::Yearly)->findChild<QLabel *>("PlanDays")->text(), QStringLiteral("扩容 100GB · 366 天"));

    QTest::mouseClick(genButton(), Qt::LeftButton);
    QTRY_VERIFY(qr()->isVisible());
    QCOMPARE(m_server.requests("POST", PrecreatePath).first().json(),
             QJsonObject({{"plan_id", "cap-100g-year"}, {"plan_type", "capacity"}}));
    QVERIFY(m_dialog->isPolling());
    QCOMPARE(genButton()->text(), QStringLiteral("重新生成收款码"));

    QTest::mouseClick(card(PayDialog::Monthly), Qt::LeftButton);
    QVERIFY(!qr()->isVisible());
    QVERIFY(!m_dialog->isPolling());
    QCOMPARE(card(PayDialog::Monthly)->styleSheet(), paydlg::planCardStyle(true));
    QCOMPARE(card(PayDialog::Yearly)->styleSheet(), paydlg::planCardStyle(false));
    QCOMPARE(genButton()->text(), QStringLiteral("生成支付宝收款二维码"));
}

void TestPayDialog::orderAnswersWithoutUsableQrOrOrderFail_data()
{
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<QString>("expected");
    const QString png = pngDataUrl();
    QTest::newRow("qr without a comma") << ScriptedReply::success(
                                               QJsonObject{{"qr", png.mid(png.indexOf(',') + 1)}, {"order_no", "TVR1"}})
                                        << Failed;
    QTest::newRow("qr that is no image") << ScriptedReply::success(QJsonObject{{"qr", "data:image/png;base64,aGVsbG8="},
                                                                               {"order_no", "TVR1"}})
                                         << Failed;
    QTest::newRow("no order number") << ScriptedReply::success(QJsonObject{{"qr", png}}) << Failed;
    QTest::newRow("server message") << ScriptedReply::json(
                                           QJsonObject{{"success", false}, {"message", "待支付订单过多，请稍后再试"}},
                                           400)
                                    << QStringLiteral("待支付订单过多，请稍后再试");
    QTest::newRow("not json") << ScriptedReply::text(502, "Bad Gateway") << Failed;
}

void TestPayDialog::orderAnswersWithoutUsableQrOrOrderFail()
{
    QFETCH(ScriptedReply, reply);
    QFETCH(QString, expected);
    m_server.on("POST", PrecreatePath, reply);
    open(standardPlans());
    QTest::mouseClick(genButton(), Qt::LeftButton);
    QVERIFY(!genButton()->isEnabled());
    QTRY_COMPARE(status()->text(), expected);
    QVERIFY(genButton()->isEnabled());
    QVERIFY(!qr()->isVisible());
    QVERIFY(!m_dialog->isPolling());
    QVERIFY(m_dialog->orderNo().isEmpty());
}

void TestPayDialog::paidStatusClosesAboutLaterAndRunsCompletionOnce()
{
    m_server.on("POST", PrecreatePath, orderReply("TVR 1/2"));
    m_server.onSequence("GET", "/api/payment/order/*", {statusReply("pending"), statusReply("paid")});
    open(standardPlans());
    QTest::mouseClick(genButton(), Qt::LeftButton);
    QTRY_VERIFY(qr()->isVisible());

    m_dialog->poll();
    QVERIFY(drain(m_server));
    QVERIFY(!status()->text().contains(QStringLiteral("✓ 支付成功")));
    // Two overlapping polls that both answer "paid" still complete once.
    m_dialog->poll();
    m_dialog->poll();
    QTRY_VERIFY(status()->text().contains(QStringLiteral("✓ 支付成功，容量已到账")));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(m_server.requests("GET", "/api/payment/order/*").first().target,
             QByteArray("/api/payment/order/TVR%201%2F2"));
    QVERIFY(!m_dialog->isPolling());
    QCOMPARE(m_completed, 0);

    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
    QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(drain(m_server));
    QCOMPARE(m_completed, 1);
}

void TestPayDialog::closeButtonNeverRunsCompletionAndLateAnswersDoNothing()
{
    m_server.on("POST", PrecreatePath, orderReply("TVR1"));
    open(standardPlans());
    QTest::mouseClick(genButton(), Qt::LeftButton);
    QTRY_VERIFY(qr()->isVisible());

    m_server.on("GET", "/api/payment/order/*", statusReply("paid").heldUntilReleased());
    m_server.on("POST", PrecreatePath, orderReply("TVR2").heldUntilReleased());
    m_dialog->poll();
    QTest::mouseClick(genButton(), Qt::LeftButton);
    QTRY_COMPARE(m_server.heldCount(), 2);

    QTest::mouseClick(m_dialog->findChild<QPushButton *>("PayClose"), Qt::LeftButton);
    QTRY_VERIFY(m_dialog.isNull());
    m_server.releaseHeld();
    QVERIFY(drain(m_server));
    QCOMPARE(m_completed, 0);
}

void TestPayDialog::pollAnswerForReplacedOrderNeverCloses()
{
    m_server.on("POST", PrecreatePath, orderReply("TVR-A"));
    open(standardPlans());
    QTest::mouseClick(genButton(), Qt::LeftButton);
    QTRY_COMPARE(m_dialog->orderNo(), QStringLiteral("TVR-A"));

    m_server.on("GET", "/api/payment/order/TVR-A", statusReply("paid").heldUntilReleased());
    m_server.on("GET", "/api/payment/order/TVR-B", statusReply("pending"));
    m_dialog->poll();
    QTRY_COMPARE(m_server.heldCount(), 1);
    m_server.on("POST", PrecreatePath, orderReply("TVR-B"));
    QTest::mouseClick(genButton(), Qt::LeftButton);
    QTRY_COMPARE(m_dialog->orderNo(), QStringLiteral("TVR-B"));

    m_server.releaseHeld();
    QVERIFY(drain(m_server));
    QVERIFY(!m_dialog.isNull());
    QVERIFY(!status()->text().contains(QStringLiteral("✓ 支付成功")));
    QVERIFY(m_dialog->isPolling());
    QCOMPARE(m_completed, 0);
}

QTEST_MAIN(TestPayDialog)
#include "tst_paydialog.moc"
