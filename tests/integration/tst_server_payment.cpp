// Capacity and payment on the reference server: the plan catalogue, orders with a scannable QR
// code, the development payment page, auto-pay, purchased capacity in the storage limit until
// it expires, the records and the expiry alert.
#include "rawhttp.h"
#include "referenceserver.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QUrl>
#include <QUrlQuery>
#include <QtTest>

using Creds = ReferenceServer::Credentials;
using Reply = ReferenceServer::Reply;

namespace {

constexpr qint64 GiB = 1024LL * 1024 * 1024;
constexpr qint64 Day = 24 * 3600;

QJsonObject planOf(const QJsonArray &plans, int gb, int days)
{
    for (const QJsonValue &v : plans) {
        const QJsonObject plan = v.toObject();
        if (plan.value("capacity_gb").toInt() == gb && plan.value("duration_days").toInt() == days)
            return plan;
    }
    return {};
}

} // namespace

class TestServerPayment final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void plansArePublicWithMonthlyAndYearlyTiers();
    void orderCarriesAQrCodeOfItsPaymentPage();
    void payingRaisesTheLimitAndListsARecord();
    void paymentPageRefusesAWrongLink();
    void expiryIsAnnouncedAndTheCapacityLapses();
    void autoPayPaysAfterItsDelay();
    void autoPayNeedsDevelopmentMode();
    void regeneratingClosesTheOrderItReplaces();
    void payLinksStartWithThePublicAddress();

private:
    QJsonObject precreate(const Creds &as, const QString &planId);
    QString orderStatus(const Creds &as, const QString &orderNo);
    qint64 storageLimit(const Creds &as);
    QString payPath(const QJsonObject &order) const;

    std::unique_ptr<ReferenceServer> m_server;
    Creds m_alice;
    Creds m_bob;
    QJsonArray m_plans;
};

void TestServerPayment::initTestCase()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_alice = m_server->signIn("payalice", "13900000401");
    m_bob = m_server->signIn("paybob", "13900000402");
    QVERIFY(m_alice.isValid() && m_bob.isValid());
}

QJsonObject TestServerPayment::precreate(const Creds &as, const QString &planId)
{
    const Reply reply =
        m_server->postJson("/api/payment/alipay/precreate", {{"plan_id", planId}, {"plan_type", "capacity"}}, as);
    return reply.success() ? reply.dataObject() : QJsonObject();
}

QString TestServerPayment::orderStatus(const Creds &as, const QString &orderNo)
{
    const Reply reply = m_server->get("/api/payment/order/" + QUrl::toPercentEncoding(orderNo), as);
    return reply.success() ? reply.dataObject().value("status").toString() : QString::number(reply.status);
}

qint64 TestServerPayment::storageLimit(const Creds &as)
{
    return qint64(m_server->get("/api/profile", as).dataObject().value("storage_limit").toDouble());
}

QString TestServerPayment::payPath(const QJsonObject &order) const
{
    const QUrl url(order.value("pay_url").toString());
    return url.path() + "?" + url.query(QUrl::FullyEncoded);
}

void TestServerPayment::plansArePublicWithMonthlyAndYearlyTiers()
{
    const Reply reply = m_server->get("/api/plans");
    QCOMPARE(reply.status, 200);
    m_plans = reply.dataObject().value("plans").toArray();
    for (int gb : {100, 1024}) {
        for (int days : {31, 366}) {
            const QJsonObject plan = planOf(m_plans, gb, days);
            QVERIFY2(!plan.isEmpty(), qPrintable(QStringLiteral("%1 GB / %2 days").arg(gb).arg(days)));
            QVERIFY(!plan.value("id").toString().isEmpty());
            QVERIFY(plan.value("price_fen").toInt() > 0);
            QCOMPARE(plan.value("price_fen").toDouble(), double(plan.value("price_fen").toInt())); // whole fen
        }
    }
    QVERIFY(planOf(m_plans, 100, 366).value("price_fen").toInt() > planOf(m_plans, 100, 31).value("price_fen").toInt());
}

void TestServerPayment::orderCarriesAQrCodeOfItsPaymentPage()
{
    QCOMPARE(m_server->postJson("/api/payment/alipay/precreate", {{"plan_id", "no-such-plan"}}, m_alice).status, 400);
    QVERIFY(!m_server->postJson("/api/payment/alipay/precreate", {{"plan_id", "no-such-plan"}}, m_alice)
                 .message()
                 .isEmpty());

    const QJsonObject order = precreate(m_alice, planOf(m_plans, 100, 31).value("id").toString());
    const QString orderNo = order.value("order_no").toString();
    QVERIFY(!orderNo.isEmpty());
    QCOMPARE(order.value("amount_fen").toInt(), planOf(m_plans, 100, 31).value("price_fen").toInt());
    const QString qr = order.value("qr").toString();
    QVERIFY(qr.startsWith(QLatin1String("data:image/png;base64,")));
    QImage image;
    QVERIFY(image.loadFromData(QByteArray::fromBase64(qr.mid(qr.indexOf(QLatin1Char(',')) + 1).toLatin1()), "PNG"));
    QVERIFY(image.width() >= 100 && image.width() == image.height());
    QVERIFY(order.value("pay_url").toString().startsWith(m_server->baseUrl() + "/pay/"));

    QCOMPARE(orderStatus(m_alice, orderNo), QStringLiteral("pending"));
    QCOMPARE(orderStatus(m_bob, orderNo), QStringLiteral("404"));
    QCOMPARE(orderStatus(m_alice, "TVR0000"), QStringLiteral("404"));
}

void TestServerPayment::payingRaisesTheLimitAndListsARecord()
{
    const QJsonObject plan = planOf(m_plans, 100, 31);
    const QJsonObject order = precreate(m_alice, plan.value("id").toString());
    const QString orderNo = order.value("order_no").toString();
    const qint64 before = storageLimit(m_alice);

    const Reply page = m_server->get(payPath(order));
    QCOMPARE(page.status, 200);
    QVERIFY(QString::fromUtf8(page.body).contains(QStringLiteral("确认支付")));
    QVERIFY(QString::fromUtf8(page.body).contains(orderNo));

    const QByteArray form = "t=" + QUrlQuery(QUrl(order.value("pay_url").toString())).queryItemValue("t").toUtf8();
    const QString confirm = QUrl(order.value("pay_url").toString()).path();
    QCOMPARE(m_server->request("POST", confirm, {}, form, "application/x-www-form-urlencoded").status, 200);
    QCOMPARE(orderStatus(m_alice, orderNo), QStringLiteral("paid"));
    QCOMPARE(storageLimit(m_alice), before + 100 * GiB);
    // Confirming twice grants nothing more.
    QCOMPARE(m_server->request("POST", confirm, {}, form, "application/x-www-form-urlencoded").status, 200);
    QCOMPARE(storageLimit(m_alice), before + 100 * GiB);

    const QJsonArray records =
        m_server->get("/api/payment/capacity-records", m_alice).dataObject().value("records").toArray();
    QCOMPARE(records.size(), 1);
    const QJsonObject record = records.first().toObject();
    QCOMPARE(record.value("order_no").toString(), orderNo);
    QCOMPARE(record.value("capacity_gb").toInt(), 100);
    QCOMPARE(record.value("amount_fen").toInt(), plan.value("price_fen").toInt());
    QCOMPARE(record.value("status").toString(), QStringLiteral("active"));
    QVERIFY(!record.value("plan_name").toString().isEmpty());
    QVERIFY(record.value("expire_at").toString() > record.value("start_at").toString());
    QVERIFY(m_server->get("/api/payment/capacity-records", m_bob).dataObject().value("records").toArray().isEmpty());
    QCOMPARE(storageLimit(m_bob), before);

    const QJsonArray notes = m_server->get("/api/notifications?limit=50", m_alice).dataArray();
    QCOMPARE(notes.first().toObject().value("title").toString(), QStringLiteral("容量购买成功"));
}

void TestServerPayment::paymentPageRefusesAWrongLink()
{
    const QJsonObject order = precreate(m_bob, planOf(m_plans, 1024, 366).value("id").toString());
    const QString confirm = QUrl(order.value("pay_url").toString()).path();
    QCOMPARE(m_server->request("POST", confirm, {}, "t=0123456789abcdef", "application/x-www-form-urlencoded").status,
             404);
    QCOMPARE(m_server->request("POST", confirm, {}, "", "application/x-www-form-urlencoded").status, 404);
    QCOMPARE(m_server->get(confirm).status, 404);
    QCOMPARE(orderStatus(m_bob, order.value("order_no").toString()), QStringLiteral("pending"));
}

void TestServerPayment::expiryIsAnnouncedAndTheCapacityLapses()
{
    const qint64 limit = storageLimit(m_alice);
    QVERIFY(m_server->get("/api/capacity-expiry-alert", m_alice).dataObject().value("expiring").toArray().isEmpty());

    // The 31-day purchase has 3 days left.
    QVERIFY(m_server->advanceClock(28 * Day, m_alice));
    const QJsonObject alert = m_server->get("/api/capacity-expiry-alert", m_alice).dataObject();
    QCOMPARE(alert.value("expiredOver").toBool(true), false);
    const QJsonArray expiring = alert.value("expiring").toArray();
    QCOMPARE(expiring.size(), 1);
    QCOMPARE(expiring.first().toObject().value("capacity_gb").toInt(), 100);
    QCOMPARE(expiring.first().toObject().value("days").toInt(), 3);
    QVERIFY(expiring.first().toObject().value("expire_at").toString().size() >= 10);
    QVERIFY(m_server->get("/api/capacity-expiry-alert", m_bob).dataObject().value("expiring").toArray().isEmpty());

    auto expiryNotes = [this] {
        int count = 0;
        for (const QJsonValue &v : m_server->get("/api/notifications?limit=50", m_alice).dataArray())
            count += v.toObject().value("title").toString() == QStringLiteral("扩容即将到期");
        return count;
    };
    QCOMPARE(expiryNotes(), 1);
    QVERIFY(m_server->advanceClock(Day, m_alice));
    QCOMPARE(expiryNotes(), 1); // announced once per purchase
    QCOMPARE(storageLimit(m_alice), limit);

    QVERIFY(m_server->advanceClock(3 * Day, m_alice));
    QCOMPARE(storageLimit(m_alice), limit - 100 * GiB);
    QVERIFY(m_server->get("/api/capacity-expiry-alert", m_alice).dataObject().value("expiring").toArray().isEmpty());
    const QJsonArray records =
        m_server->get("/api/payment/capacity-records", m_alice).dataObject().value("records").toArray();
    QCOMPARE(records.first().toObject().value("status").toString(), QStringLiteral("expired"));
}

void TestServerPayment::autoPayPaysAfterItsDelay()
{
    ReferenceServer::Options options;
    options.extraArgs = {"--auto-pay", "60"};
    ReferenceServer server(options);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const Creds carol = server.signIn("paycarol", "13900000403");
    const qint64 before = qint64(server.get("/api/profile", carol).dataObject().value("storage_limit").toDouble());
    const Reply order = server.postJson("/api/payment/alipay/precreate",
                                        {{"plan_id", "cap-100g-year"}, {"plan_type", "capacity"}}, carol);
    QVERIFY(order.success());
    const QString path = "/api/payment/order/" + order.dataObject().value("order_no").toString();
    QCOMPARE(server.get(path, carol).dataObject().value("status").toString(), QStringLiteral("pending"));
    QVERIFY(server.advanceClock(61, carol));
    QCOMPARE(server.get(path, carol).dataObject().value("status").toString(), QStringLiteral("paid"));
    QCOMPARE(qint64(server.get("/api/profile", carol).dataObject().value("storage_limit").toDouble()),
             before + 100 * GiB);
}

void TestServerPayment::autoPayNeedsDevelopmentMode()
{
    ReferenceServer::Options options;
    options.dev = false;
    options.extraArgs = {"--auto-pay", "0"};
    ReferenceServer server(options);
    QVERIFY(!server.start());
}

void TestServerPayment::regeneratingClosesTheOrderItReplaces()
{
    const Creds dora = m_server->signIn("paydora", "13900000404");
    QVERIFY(dora.isValid());
    const QString monthly = planOf(m_plans, 100, 31).value("id").toString();
    const QString yearly = planOf(m_plans, 1024, 366).value("id").toString();
    const qint64 before = storageLimit(dora);

    // The payment dialog asks again for the same plan: the code shown before can no longer be paid.
    const QJsonObject first = precreate(dora, monthly);
    const QJsonObject other = precreate(dora, yearly);
    const QJsonObject second = precreate(dora, monthly);
    QVERIFY(!second.isEmpty());
    QCOMPARE(orderStatus(dora, first.value("order_no").toString()), QStringLiteral("closed"));
    QCOMPARE(orderStatus(dora, other.value("order_no").toString()), QStringLiteral("pending"));
    const QByteArray firstForm = "t=" + QUrlQuery(QUrl(first.value("pay_url").toString())).queryItemValue("t").toUtf8();
    QCOMPARE(m_server
                 ->request("POST", QUrl(first.value("pay_url").toString()).path(), {}, firstForm,
                           "application/x-www-form-urlencoded")
                 .status,
             409);
    QCOMPARE(storageLimit(dora), before);

    // Regenerating again and again never locks purchasing.
    QJsonObject latest = second;
    for (int i = 0; i < 25; ++i) {
        const QJsonObject next = precreate(dora, monthly);
        QVERIFY2(!next.isEmpty(), qPrintable(QString::number(i)));
        QCOMPARE(orderStatus(dora, latest.value("order_no").toString()), QStringLiteral("closed"));
        latest = next;
    }
    // An order named as the one replaced closes whatever its plan; nobody else's order can be named.
    const Reply named = m_server->postJson(
        "/api/payment/alipay/precreate",
        {{"plan_id", monthly}, {"plan_type", "capacity"}, {"replaces", other.value("order_no").toString()}}, dora);
    QVERIFY(named.success());
    QCOMPARE(orderStatus(dora, other.value("order_no").toString()), QStringLiteral("closed"));
    QCOMPARE(orderStatus(dora, latest.value("order_no").toString()), QStringLiteral("pending"));
    const QJsonObject bobs = precreate(m_bob, monthly);
    QVERIFY(m_server
                ->postJson("/api/payment/alipay/precreate",
                           {{"plan_id", monthly}, {"replaces", bobs.value("order_no").toString()}}, dora)
                .success());
    QCOMPARE(orderStatus(m_bob, bobs.value("order_no").toString()), QStringLiteral("pending"));

    // The current code pays as ever, once.
    const QJsonObject current = precreate(dora, monthly);
    const QByteArray form = "t=" + QUrlQuery(QUrl(current.value("pay_url").toString())).queryItemValue("t").toUtf8();
    const QString confirm = QUrl(current.value("pay_url").toString()).path();
    QCOMPARE(m_server->request("POST", confirm, {}, form, "application/x-www-form-urlencoded").status, 200);
    QCOMPARE(m_server->request("POST", confirm, {}, form, "application/x-www-form-urlencoded").status, 200);
    QCOMPARE(orderStatus(dora, current.value("order_no").toString()), QStringLiteral("paid"));
    QCOMPARE(storageLimit(dora), before + 100 * GiB);
    // A later order of the plan leaves the paid one paid.
    QVERIFY(!precreate(dora, monthly).isEmpty());
    QCOMPARE(orderStatus(dora, current.value("order_no").toString()), QStringLiteral("paid"));
}

void TestServerPayment::payLinksStartWithThePublicAddress()
{
    // By default the link is the listening address, whatever Host a request names.
    const QByteArray body = QJsonDocument(QJsonObject{{"plan_id", planOf(m_plans, 100, 31).value("id").toString()}})
                                .toJson(QJsonDocument::Compact);
    RawHttp raw(m_server->baseUrl());
    QVERIFY(raw.open());
    QVERIFY(raw.send("POST /api/payment/alipay/precreate HTTP/1.1\r\nHost: attacker.example\r\n"
                     "Content-Type: application/json\r\nX-User-Id: " +
                     m_alice.userId.toUtf8() + "\r\nX-Auth-Token: " + m_alice.token.toUtf8() +
                     "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body));
    const RawHttp::Reply reply = raw.read();
    QCOMPARE(reply.status, 200);
    const QString spoofed =
        QJsonDocument::fromJson(reply.body).object().value("data").toObject().value("pay_url").toString();
    QVERIFY2(spoofed.startsWith(m_server->baseUrl() + "/pay/"), qPrintable(spoofed));

    // Behind a proxy the operator names the address people use.
    ReferenceServer::Options options;
    options.extraArgs = {"--public-url", "https://pay.example.test/tolvar/"};
    ReferenceServer server(options);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const Creds erin = server.signIn("payerin", "13900000405");
    const Reply order = server.postJson("/api/payment/alipay/precreate",
                                        {{"plan_id", "cap-100g-year"}, {"plan_type", "capacity"}}, erin);
    QVERIFY(order.success());
    const QString url = order.dataObject().value("pay_url").toString();
    QVERIFY2(url.startsWith(QLatin1String("https://pay.example.test/tolvar/pay/")), qPrintable(url));
    // The page itself is served under /pay/ of this server as before.
    QCOMPARE(server.get(QUrl(url).path().mid(QStringLiteral("/tolvar").size()) + "?" + QUrl(url).query()).status, 200);

    ReferenceServer::Options bad;
    bad.extraArgs = {"--public-url", "ftp://example.test"};
    QVERIFY(!ReferenceServer(bad).start());
    QProcess help;
    help.start(QStringLiteral(TVR_SERVER_BINARY), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(10000));
    QVERIFY(help.readAllStandardOutput().contains("--public-url URL"));
}

QTEST_GUILESS_MAIN(TestServerPayment)
#include "tst_server_payment.moc"
