// Session: filling from the login payload, the logout reset and their signals.
#include "net/machinecode.h"
#include "net/jsonnumber.h"
#include "net/session.h"
#include "testsettings.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <limits>

namespace {
// Records the order in which the session's two signals fire.
struct SignalLog
{
    explicit SignalLog(Session *session)
    {
        QObject::connect(session, &Session::changed, &context, [this] { order << QStringLiteral("changed"); });
        QObject::connect(session, &Session::capacityChanged, &context,
                         [this] { order << QStringLiteral("capacityChanged"); });
    }
    QObject context;
    QStringList order;
};

QJsonObject parse(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}
} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void applyLoginFillsEveryField();
    void applyLoginReadsIdsAsText_data();
    void applyLoginReadsIdsAsText();
    void applyLoginWithoutIdChangesNothing();
    void loginFiguresAreClampedToTheirRange();
    void boundedReaderClampsEveryForm();
    void setCompanyNameSignalsOnlyOnChange();
    void clearEmptiesAllButTheDeviceCode();
    void ensureMachineCodeFillsTheField();

private:
    QTemporaryDir m_settingsDir;
};

void TestSession::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    useSettingsFolder(m_settingsDir.path());
}

void TestSession::init()
{
    Session::instance()->clear();
}

void TestSession::applyLoginFillsEveryField()
{
    Session *session = Session::instance();
    SignalLog log(session);
    const QJsonObject payload = parse(R"({"id":"u-77","username":"zhangsan","name":"张三","phone":"13800138000",
        "avatar_url":"data:image/png;base64,AAAA","loginToken":"t0k3n","storage_used":1073741824.9,
        "storage_limit":10737418240,"companyName":"ignored"})");
    QVERIFY(session->applyLogin(payload));

    QCOMPARE(session->userId, QStringLiteral("u-77"));
    QCOMPARE(session->username, QStringLiteral("zhangsan"));
    QCOMPARE(session->name, QStringLiteral("张三"));
    QCOMPARE(session->phone, QStringLiteral("13800138000"));
    QCOMPARE(session->avatarUrl, QStringLiteral("data:image/png;base64,AAAA"));
    QCOMPARE(session->token, QStringLiteral("t0k3n"));
    QCOMPARE(session->storageUsed, Q_INT64_C(1073741824));
    QCOMPARE(session->storageLimit, Q_INT64_C(10737418240));
    QVERIFY(session->companyName.isEmpty()); // not part of the login payload
    QCOMPARE(log.order, (QStringList{"changed", "capacityChanged"}));

    // Missing keys empty the fields a previous login filled.
    QVERIFY(session->applyLogin(parse(R"({"id":5})")));
    QVERIFY(session->token.isEmpty());
    QVERIFY(session->name.isEmpty());
    QCOMPARE(session->storageLimit, Q_INT64_C(0));
}

void TestSession::applyLoginReadsIdsAsText_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("userId");
    QTest::newRow("integral number") << QByteArray(R"({"id":1024})") << "1024";
    QTest::newRow("fraction") << QByteArray(R"({"id":12.5})") << "12.5";
    QTest::newRow("string") << QByteArray(R"({"id":"0042"})") << "0042";
}

void TestSession::applyLoginReadsIdsAsText()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, userId);
    QVERIFY(Session::instance()->applyLogin(QJsonDocument::fromJson(payload).object()));
    QCOMPARE(Session::instance()->userId, userId);
}

void TestSession::applyLoginWithoutIdChangesNothing()
{
    Session *session = Session::instance();
    QVERIFY(session->applyLogin(parse(R"({"id":9,"name":"李四","loginToken":"keep"})")));
    SignalLog log(session);
    for (const char *json : {R"({"name":"王五","loginToken":"new"})", R"({"id":null,"name":"王五"})",
                             R"({"id":"","name":"王五"})", R"({"id":true})"}) {
        QVERIFY2(!session->applyLogin(parse(json)), json);
    }
    QVERIFY(log.order.isEmpty());
    QCOMPARE(session->userId, QStringLiteral("9"));
    QCOMPARE(session->name, QStringLiteral("李四"));
    QCOMPARE(session->token, QStringLiteral("keep"));
}

void TestSession::setCompanyNameSignalsOnlyOnChange()
{
    Session *session = Session::instance();
    QSignalSpy changed(session, &Session::changed);
    session->setCompanyName(QStringLiteral("托尔瓦科技"));
    session->setCompanyName(QStringLiteral("托尔瓦科技"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(session->companyName, QStringLiteral("托尔瓦科技"));
}

void TestSession::clearEmptiesAllButTheDeviceCode()
{
    Session *session = Session::instance();
    QVERIFY(session->applyLogin(parse(R"({"id":1,"username":"u","name":"n","phone":"p","avatar_url":"a",
        "loginToken":"t","storage_used":5,"storage_limit":9})")));
    session->setCompanyName(QStringLiteral("c"));
    session->vaultToken = QStringLiteral("v");
    session->machineCode = QStringLiteral("MJ-0000-1111-2222-3333");

    SignalLog log(session);
    session->clear();
    QCOMPARE(log.order, (QStringList{"changed", "capacityChanged"}));
    for (const QString *field : {&session->userId, &session->username, &session->name, &session->phone,
                                 &session->companyName, &session->avatarUrl, &session->token, &session->vaultToken})
        QVERIFY(field->isEmpty());
    QCOMPARE(session->storageUsed, Q_INT64_C(0));
    QCOMPARE(session->storageLimit, Q_INT64_C(0));
    QCOMPARE(session->machineCode, QStringLiteral("MJ-0000-1111-2222-3333"));
}

void TestSession::ensureMachineCodeFillsTheField()
{
    Session *session = Session::instance();
    session->machineCode.clear();
    MachineCode::resetCache();
    const QString code = session->ensureMachineCode();
    QCOMPARE(code, computeMachineCode());
    QCOMPARE(session->machineCode, code);

    // An existing value is kept as it is.
    session->machineCode = QStringLiteral("MJ-AAAA-BBBB-CCCC-DDDD");
    QCOMPARE(session->ensureMachineCode(), QStringLiteral("MJ-AAAA-BBBB-CCCC-DDDD"));
}

void TestSession::loginFiguresAreClampedToTheirRange()
{
    Session *session = Session::instance();
    QVERIFY(session->applyLogin(parse(R"({"id":"u","storage_used":1e300,"storage_limit":-7})")));
    QCOMPARE(session->storageUsed, std::numeric_limits<qint64>::max());
    QCOMPARE(session->storageLimit, 0);
    QVERIFY(session->applyLogin(parse(R"({"id":"u","storage_used":"-1e300","storage_limit":"1e300"})")));
    QCOMPARE(session->storageUsed, 0);
    QCOMPARE(session->storageLimit, std::numeric_limits<qint64>::max());
    QVERIFY(session->applyLogin(parse(R"({"id":"u","storage_used":"12.9","storage_limit":"lots"})")));
    QCOMPARE(session->storageUsed, 12);
    QCOMPARE(session->storageLimit, 0);
}

void TestSession::boundedReaderClampsEveryForm()
{
    const QJsonObject values = parse(R"({"big":9007199254740993,"huge":1e300,"tiny":-1e300,"frac":-7.9,
        "text":" 42 ","exp":"2.5e3","word":"x","null":null,"flag":true})");
    constexpr qint64 Max = std::numeric_limits<qint64>::max();
    QCOMPARE(jsonBoundedInt64(values, "big", 0, Max), Q_INT64_C(9007199254740993)); // exact past 2^53
    QCOMPARE(jsonBoundedInt64(values, "huge", 0, Max), Max);
    QCOMPARE(jsonBoundedInt64(values, "huge", 0, 100), 100);
    QCOMPARE(jsonBoundedInt64(values, "tiny", -5, 5), -5);
    QCOMPARE(jsonBoundedInt64(values, "frac", -100, 100), -7); // toward zero
    QCOMPARE(jsonBoundedInt64(values, "text", 0, 100), 42);
    QCOMPARE(jsonBoundedInt64(values, "exp", 0, Max), 2500);
    QCOMPARE(jsonBoundedInt64(values, "word", 0, 100, 9), 9);
    QCOMPARE(jsonBoundedInt64(values, "null", 0, 100, 9), 9);
    QCOMPARE(jsonBoundedInt64(values, "flag", 0, 100, 9), 9);
    QCOMPARE(jsonBoundedInt64(values, "missing", 10, 100, 0), 10); // the fallback is clamped too
    QCOMPARE(jsonBoundedInt64(QJsonValue(qQNaN()), 0, 100, 3), 3);
    QCOMPARE(jsonByteCount(values, "tiny"), 0);
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
