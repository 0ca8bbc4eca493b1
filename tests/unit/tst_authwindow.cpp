#include "account/authapi.h"
#include "account/authwindow.h"
#include "account/fieldicons.h"
#include "account/legaldialog.h"
#include "account/phonerule.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

namespace {

const QString GetCodeCaption = QStringLiteral("获取验证码");

QJsonObject loginPayload(const QJsonValue &id)
{
    QJsonObject data{{"username", "zhangsan"},    {"name", "张三"},       {"phone", "13812345678"},
                     {"loginToken", "tok-abc"},   {"storage_used", 1024}, {"storage_limit", 10737418240.0},
                     {"avatar_url", QJsonValue()}};
    if (!id.isUndefined())
        data.insert("id", id);
    return data;
}

// Waits until replies with bodies of the given total size have been handled: the client counts
// each body into bytesDown in the same step that runs its callback.
bool waitForRepliesHandled(qint64 bytesDownBefore, qint64 bodyBytes)
{
    QElapsedTimer clock;
    clock.start();
    while (HttpClient::instance()->bytesDown - bytesDownBefore < bodyBytes && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return HttpClient::instance()->bytesDown - bytesDownBefore >= bodyBytes;
}

} // namespace

class TestAuthWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void phoneRuleAcceptsOnlyMainlandMobiles();
    void formInputErrorsSendNothing_data();
    void formInputErrorsSendNothing();
    void phoneEditTakesAtMostElevenCharacters();
    void existingUserIsVerifiedThenSentLoginCode();
    void newUserGetsRegisterCodeWithoutIdentityCheck();
    void failedStepsShowServerTextAndStop_data();
    void failedStepsShowServerTextAndStop();
    void missingOrEmptyDebugCodeLeavesCodeEdit();
    void countdownCaptionsRunFromSixtyToOne();
    void smsHintHidesWhenPhoneIsEdited();
    void loginFillsSessionAndEmitsLoginOk();
    void loginWithoutIdIsRefused();
    void loginFailureRestoresSubmitButton();
    void returnInCodeEditSubmits();
    void oneSignInAtATime();
    void opensCentredOnTheScreen();
    void answersAfterWindowIsDeletedDoNothing();
    void legalLinksOpenTheirDocuments();
    void dragBarPressMovesOnlyFromDragBar();
    void minimiseButtonMinimises();
    void closeButtonEndsTheApplication();
    void fieldIconsAreRenderedAndDistinct();

private:
    AuthWindow *makeWindow();
    QLineEdit *edit(const char *name) const { return m_window->findChild<QLineEdit *>(name); }
    QPushButton *button(const char *name) const { return m_window->findChild<QPushButton *>(name); }
    QLabel *label(const char *name) const { return m_window->findChild<QLabel *>(name); }
    QString errorLine() const { return label("FormSub")->text(); }
    void fill(const QString &username, const QString &phone, const QString &code = QString(), bool agree = false);

    ScriptedServer m_server;
    QPointer<AuthWindow> m_window;
};

void TestAuthWindow::initTestCase()
{
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    // A fixed device code keeps the test away from the hardware query and the settings store.
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0001");
}

void TestAuthWindow::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    Session::instance()->clear();
    makeWindow();
}

void TestAuthWindow::cleanup()
{
    delete m_window.data();
}

AuthWindow *TestAuthWindow::makeWindow()
{
    m_window = new AuthWindow;
    m_window->show();
    return m_window;
}

void TestAuthWindow::fill(const QString &username, const QString &phone, const QString &code, bool agree)
{
    edit("UsernameEdit")->setText(username);
    edit("PhoneEdit")->setText(phone);
    edit("CodeEdit")->setText(code);
    m_window->findChild<QCheckBox *>("Agree")->setChecked(agree);
}

void TestAuthWindow::phoneRuleAcceptsOnlyMainlandMobiles()
{
    QVERIFY(isValidPhone("13812345678"));
    QVERIFY(isValidPhone("  19900001111 "));
    QVERIFY(!isValidPhone("1381234567"));   // 10 digits
    QVERIFY(!isValidPhone("138123456789")); // 12 digits
    QVERIFY(!isValidPhone("23812345678"));  // does not start with 1
    QVERIFY(!isValidPhone("1381234567a"));
    QVERIFY(!isValidPhone("138 1234 5678"));
    QVERIFY(!isValidPhone(QString()));
}

void TestAuthWindow::formInputErrorsSendNothing_data()
{
    QTest::addColumn<bool>("submit");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("agree");
    QTest::addColumn<QString>("error");

    const QString noName = QStringLiteral("请输入用户名");
    const QString badPhone = QStringLiteral("请输入正确的 11 位手机号");
    QTest::newRow("code: empty name") << false << ""
                                      << "13812345678"
                                      << "" << false << noName;
    QTest::newRow("code: spaces name") << false << "   "
                                       << "13812345678"
                                       << "" << false << noName;
    QTest::newRow("code: 10 digits") << false << "zs"
                                     << "1381234567"
                                     << "" << false << badPhone;
    QTest::newRow("code: starts with 2") << false << "zs"
                                         << "23812345678"
                                         << "" << false << badPhone;
    QTest::newRow("submit: spaces name") << true << "  "
                                         << "13812345678"
                                         << "123456" << true << noName;
    QTest::newRow("submit: bad phone") << true << "zs"
                                       << "2381234567"
                                       << "123456" << true << badPhone;
    QTest::newRow("submit: no code") << true << "zs"
                                     << "13812345678"
                                     << "  " << true << QStringLiteral("请输入短信验证码");
    QTest::newRow("submit: not agreed") << true << "zs"
                                        << "13812345678"
                                        << "123456" << false
                                        << QStringLiteral("请先阅读并同意《用户协议》与《隐私政策》");
}

void TestAuthWindow::formInputErrorsSendNothing()
{
    QFETCH(bool, submit);
    QFETCH(QString, username);
    QFETCH(QString, phone);
    QFETCH(QString, code);
    QFETCH(bool, agree);
    QFETCH(QString, error);

    fill(username, phone, code, agree);
    QTest::mouseClick(button(submit ? "BigGold" : "GetCode"), Qt::LeftButton);
    QCOMPARE(errorLine(), error);
    QCOMPARE(button("BigGold")->text(), QStringLiteral("登录 / 注册"));
    QVERIFY(button("BigGold")->isEnabled());
    // Give a wrongly sent request the time to arrive before asserting there is none.
    QVERIFY(!m_server.waitForRequests(1, 200));
}

void TestAuthWindow::phoneEditTakesAtMostElevenCharacters()
{
    QTest::keyClicks(edit("PhoneEdit"), "138123456789999");
    QCOMPARE(edit("PhoneEdit")->text(), QStringLiteral("13812345678"));
    QTest::keyClicks(edit("CodeEdit"), "12345678");
    QCOMPARE(edit("CodeEdit")->text(), QStringLiteral("123456"));
}

void TestAuthWindow::existingUserIsVerifiedThenSentLoginCode()
{
    m_server.on("GET", "/api/check-username", ScriptedReply::success(QJsonObject{{"exists", true}}));
    m_server.on("POST", "/api/verify-identity", ScriptedReply::success());
    m_server.on("POST", "/api/send-sms",
                ScriptedReply::json(QJsonObject{{"success", true}, {"data", QJsonObject()}, {"debugCode", "246810"}}));

    fill(QStringLiteral(" 张 三&x "), QStringLiteral("13812345678"));
    QTest::mouseClick(button("GetCode"), Qt::LeftButton);
    QTRY_COMPARE(edit("CodeEdit")->text(), QStringLiteral("246810"));

    const QList<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), 3);
    QCOMPARE(requests[0].method, QByteArray("GET"));
    QCOMPARE(requests[0].target, QByteArray("/api/check-username?username=%E5%BC%A0%20%E4%B8%89%26x"));
    QCOMPARE(requests[1].method, QByteArray("POST"));
    QCOMPARE(requests[1].path(), QByteArray("/api/verify-identity"));
    QCOMPARE(requests[1].json(), (QJsonObject{{"username", "张 三&x"}, {"phone", "13812345678"}}));
    QCOMPARE(requests[2].path(), QByteArray("/api/send-sms"));
    QCOMPARE(requests[2].json(), (QJsonObject{{"phone", "13812345678"}, {"scenario", "login"}}));

    QCOMPARE(errorLine(), QString());
    QVERIFY(!button("GetCode")->isEnabled());
    QCOMPARE(button("GetCode")->text(), QStringLiteral("获取验证码 60s"));
    QVERIFY(label("SmsHint")->isVisible());
    QCOMPARE(label("SmsHint")->text(), QStringLiteral("验证码将发送至 138****5678"));
}

void TestAuthWindow::newUserGetsRegisterCodeWithoutIdentityCheck()
{
    // "exists" absent counts as a new user.
    m_server.on("GET", "/api/check-username", ScriptedReply::success(QJsonObject{}));
    m_server.on("POST", "/api/send-sms", ScriptedReply::success());

    fill(QStringLiteral("newbie"), QStringLiteral("13900001111"));
    QTest::mouseClick(button("GetCode"), Qt::LeftButton);
    QTRY_VERIFY(!button("GetCode")->isEnabled());

    const QList<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].target, QByteArray("/api/check-username?username=newbie"));
    QCOMPARE(requests[1].path(), QByteArray("/api/send-sms"));
    QCOMPARE(requests[1].json(), (QJsonObject{{"phone", "13900001111"}, {"scenario", "register"}}));
    QVERIFY(m_server.requests("POST", "/api/verify-identity").isEmpty());
}

void TestAuthWindow::failedStepsShowServerTextAndStop_data()
{
    QTest::addColumn<QString>("failingPath");
    QTest::addColumn<int>("expectedRequests");
    QTest::addColumn<QString>("error");

    QTest::newRow("user-name check") << "/api/check-username" << 1 << "服务维护中";
    QTest::newRow("identity check") << "/api/verify-identity" << 2 << "手机号与用户名不匹配";
    QTest::newRow("send code") << "/api/send-sms" << 3 << "发送过于频繁，请稍后再试";
}

void TestAuthWindow::failedStepsShowServerTextAndStop()
{
    QFETCH(QString, failingPath);
    QFETCH(int, expectedRequests);
    QFETCH(QString, error);

    m_server.on("GET", "/api/check-username", ScriptedReply::success(QJsonObject{{"exists", true}}));
    m_server.on("POST", "/api/verify-identity", ScriptedReply::success());
    m_server.on("POST", "/api/send-sms", ScriptedReply::success());
    if (failingPath == "/api/check-username")
        m_server.on("", failingPath, ScriptedReply::text(500, error.toUtf8()));
    else if (failingPath == "/api/verify-identity")
        m_server.on("", failingPath, ScriptedReply::json(QJsonObject{{"success", false}, {"message", error}}));
    else
        m_server.on("", failingPath, ScriptedReply::json(QJsonObject{{"error", error}}, 429));

    fill(QStringLiteral("zs"), QStringLiteral("13812345678"), QStringLiteral("9"));
    QTest::mouseClick(button("GetCode"), Qt::LeftButton);
    QTRY_COMPARE(errorLine(), error);
    QVERIFY(!m_server.waitForRequests(expectedRequests + 1, 200));
    QCOMPARE(m_server.requestCount(), expectedRequests);
    // No countdown, no hint, and the edit is untouched.
    QVERIFY(button("GetCode")->isEnabled());
    QCOMPARE(button("GetCode")->text(), GetCodeCaption);
    QVERIFY(label("SmsHint")->isHidden());
    QCOMPARE(edit("CodeEdit")->text(), QStringLiteral("9"));
}

void TestAuthWindow::missingOrEmptyDebugCodeLeavesCodeEdit()
{
    m_server.on("GET", "/api/check-username", ScriptedReply::success(QJsonObject{{"exists", false}}));
    m_server.onSequence("POST", "/api/send-sms",
                        {ScriptedReply::json(QJsonObject{{"success", true}, {"debugCode", ""}}),
                         ScriptedReply::json(QJsonObject{{"success", true}, {"debugCode", 123456}})});
    fill(QStringLiteral("zs"), QStringLiteral("13812345678"), QStringLiteral("111"));
    QTest::mouseClick(button("GetCode"), Qt::LeftButton);
    QTRY_VERIFY(!button("GetCode")->isEnabled());
    QCOMPARE(edit("CodeEdit")->text(), QStringLiteral("111"));

    // A numeric debugCode is not a string: ignored as well.
    delete m_window.data();
    makeWindow();
    fill(QStringLiteral("zs"), QStringLiteral("13812345678"), QStringLiteral("222"));
    QTest::mouseClick(button("GetCode"), Qt::LeftButton);
    QTRY_VERIFY(!button("GetCode")->isEnabled());
    QCOMPARE(edit("CodeEdit")->text(), QStringLiteral("222"));
}

void TestAuthWindow::countdownCaptionsRunFromSixtyToOne()
{
    m_server.on("GET", "/api/check-username", ScriptedReply::success(QJsonObject{{"exists", false}}));
    m_server.on("POST", "/api/send-sms", ScriptedReply::success());
    // Ticks that never come on their own, until the test has hooked in and shortens them.
    m_window->setCountdownIntervalMs(3600 * 1000);
    QPushButton *getCode = button("GetCode");

    fill(QStringLiteral("zs"), QStringLiteral("13812345678"));
    QTest::mouseClick(getCode, Qt::LeftButton);
    QTRY_VERIFY(!getCode->isEnabled());

    QStringList captions{getCode->text()};
    QList<bool> enabled{getCode->isEnabled()};
    auto *timer = m_window->findChild<QTimer *>();
    QVERIFY(timer);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 3600 * 1000);
    // Connected after the window's own slot, so it sees each tick's result.
    connect(timer, &QTimer::timeout, this, [&] {
        captions << getCode->text();
        enabled << getCode->isEnabled();
    });
    timer->setInterval(2);
    QTRY_VERIFY_WITH_TIMEOUT(getCode->isEnabled(), 5000);

    QStringList expected;
    for (int s = 60; s >= 1; --s)
        expected << QStringLiteral("获取验证码 %1s").arg(s);
    expected << GetCodeCaption;
    QCOMPARE(captions, expected);
    // Disabled through all 60 seconds, enabled only by the last tick.
    QCOMPARE(enabled.count(false), 60);
    QVERIFY(enabled.last());
    QVERIFY(!timer->isActive());

    // A second code restarts at 60 with the same timer.
    m_window->setCountdownIntervalMs(3600 * 1000);
    QTest::mouseClick(getCode, Qt::LeftButton);
    QTRY_COMPARE(getCode->text(), QStringLiteral("获取验证码 60s"));
    QCOMPARE(m_window->findChildren<QTimer *>().size(), 1);
    QCOMPARE(m_server.requests("POST", "/api/send-sms").size(), 2);
}

void TestAuthWindow::smsHintHidesWhenPhoneIsEdited()
{
    m_server.on("GET", "/api/check-username", ScriptedReply::success(QJsonObject{{"exists", false}}));
    m_server.on("POST", "/api/send-sms", ScriptedReply::success());
    fill(QStringLiteral("zs"), QStringLiteral("13800005678"));
    const int heightBefore = m_window->height();
    QTest::mouseClick(button("GetCode"), Qt::LeftButton);
    QTRY_VERIFY(label("SmsHint")->isVisible());
    QCOMPARE(label("SmsHint")->text(), QStringLiteral("验证码将发送至 138****5678"));
    // The window grows to fit the hint and shrinks back when it hides.
    QVERIFY(m_window->height() > heightBefore);
    QTest::keyClick(edit("PhoneEdit"), Qt::Key_Backspace);
    QVERIFY(label("SmsHint")->isHidden());
    QCOMPARE(m_window->height(), heightBefore);
}

void TestAuthWindow::loginFillsSessionAndEmitsLoginOk()
{
    m_server.on("POST", "/api/login/code", ScriptedReply::success(loginPayload(1024)).withDelay(150));
    QSignalSpy loginOk(m_window.data(), &AuthWindow::loginOk);
    QSignalSpy changed(Session::instance(), &Session::changed);

    fill(QStringLiteral(" zhangsan "), QStringLiteral("13812345678"), QStringLiteral("654321"), true);
    QTest::mouseClick(button("BigGold"), Qt::LeftButton);
    QCOMPARE(button("BigGold")->text(), QStringLiteral("处理中…"));
    QVERIFY(!button("BigGold")->isEnabled());

    QVERIFY(loginOk.wait());
    QCOMPARE(loginOk.size(), 1);
    QCOMPARE(button("BigGold")->text(), QStringLiteral("登录 / 注册"));
    QVERIFY(button("BigGold")->isEnabled());
    QCOMPARE(Session::instance()->userId, QStringLiteral("1024"));
    QCOMPARE(Session::instance()->token, QStringLiteral("tok-abc"));
    QCOMPARE(Session::instance()->storageLimit, Q_INT64_C(10737418240));
    QVERIFY(changed.size() >= 1);

    const QList<RecordedRequest> requests = m_server.requests("POST", "/api/login/code");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].json(), (QJsonObject{{"username", "zhangsan"}, {"phone", "13812345678"}, {"code", "654321"}}));
    QCOMPARE(errorLine(), QString());
}

void TestAuthWindow::loginWithoutIdIsRefused()
{
    m_server.onSequence(
        "POST", "/api/login/code",
        {ScriptedReply::success(loginPayload(QJsonValue::Undefined)), ScriptedReply::success(loginPayload(QString()))});
    QSignalSpy loginOk(m_window.data(), &AuthWindow::loginOk);
    fill(QStringLiteral("zs"), QStringLiteral("13812345678"), QStringLiteral("123456"), true);

    for (int attempt = 0; attempt < 2; ++attempt) {
        QTest::mouseClick(button("BigGold"), Qt::LeftButton);
        QTRY_COMPARE(errorLine(), QStringLiteral("登录失败：未获取到有效会话"));
        QVERIFY(button("BigGold")->isEnabled());
        QCOMPARE(loginOk.size(), 0);
        QVERIFY(Session::instance()->userId.isEmpty());
        label("FormSub")->clear();
    }
}

void TestAuthWindow::loginFailureRestoresSubmitButton()
{
    m_server.onSequence("POST", "/api/login/code",
                        {ScriptedReply::json(QJsonObject{{"success", false}, {"message", "验证码错误或已过期"}}, 400),
                         ScriptedReply::dropped()});
    QSignalSpy loginOk(m_window.data(), &AuthWindow::loginOk);
    fill(QStringLiteral("zs"), QStringLiteral("13812345678"), QStringLiteral("000000"), true);
    QTest::mouseClick(button("BigGold"), Qt::LeftButton);
    QTRY_COMPARE(errorLine(), QStringLiteral("验证码错误或已过期"));
    QCOMPARE(button("BigGold")->text(), QStringLiteral("登录 / 注册"));
    QVERIFY(button("BigGold")->isEnabled());

    // A connection dropped without an answer still ends in a text, never in silence.
    label("FormSub")->clear();
    QTest::mouseClick(button("BigGold"), Qt::LeftButton);
    QTRY_VERIFY(!errorLine().isEmpty());
    QVERIFY(button("BigGold")->isEnabled());
    QCOMPARE(loginOk.size(), 0);
}

void TestAuthWindow::returnInCodeEditSubmits()
{
    m_server.on("POST", "/api/login/code", ScriptedReply::success(loginPayload("u-7")));
    QSignalSpy loginOk(m_window.data(), &AuthWindow::loginOk);
    fill(QStringLiteral("zs"), QStringLiteral("13812345678"), QStringLiteral("123456"), true);
    QTest::keyClick(edit("CodeEdit"), Qt::Key_Return);
    QVERIFY(loginOk.wait());
    QCOMPARE(Session::instance()->userId, QStringLiteral("u-7"));
}

void TestAuthWindow::oneSignInAtATime()
{
    m_server.on("POST", "/api/login/code", ScriptedReply::success(loginPayload("u-8")).heldUntilReleased());
    QSignalSpy loginOk(m_window.data(), &AuthWindow::loginOk);
    fill(QStringLiteral("zs"), QStringLiteral("13812345678"), QStringLiteral("123456"), true);

    // One click, then two Returns while the first request is still unanswered.
    QTest::mouseClick(button("BigGold"), Qt::LeftButton);
    QVERIFY(m_window->isSigningIn());
    QVERIFY(m_server.waitForRequests(1));
    QTest::keyClick(edit("CodeEdit"), Qt::Key_Return);
    QTest::keyClick(edit("CodeEdit"), Qt::Key_Return);
    QTest::mouseClick(button("BigGold"), Qt::LeftButton);
    QTRY_COMPARE(m_server.heldCount(), 1);
    m_server.releaseHeld();
    QVERIFY(loginOk.wait());
    QVERIFY(!m_window->isSigningIn());

    QCOMPARE(m_server.requests("POST", "/api/login/code").size(), 1);
    QCOMPARE(loginOk.size(), 1);

    // Signed in, the window starts no second sign-in before start-up takes it away.
    QTest::keyClick(edit("CodeEdit"), Qt::Key_Return);
    QVERIFY(!m_window->isSigningIn());
    QCOMPARE(button("BigGold")->text(), QStringLiteral("登录 / 注册"));
}

void TestAuthWindow::opensCentredOnTheScreen()
{
    delete m_window.data();
    m_window = new AuthWindow;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.data()));
    const QRect available = m_window->screen()->availableGeometry();
    const QPoint offset = m_window->frameGeometry().center() - available.center();
    QVERIFY2(offset.manhattanLength() <= 2,
             qPrintable(QStringLiteral("window %1,%2 %3x%4 on %5x%6")
                            .arg(m_window->x())
                            .arg(m_window->y())
                            .arg(m_window->width())
                            .arg(m_window->height())
                            .arg(available.width())
                            .arg(available.height())));

    // Moved by the user, it stays where it was put when shown again.
    m_window->hide();
    m_window->move(available.topLeft() + QPoint(5, 7));
    m_window->show();
    QCOMPARE(m_window->pos(), available.topLeft() + QPoint(5, 7));
}

void TestAuthWindow::answersAfterWindowIsDeletedDoNothing()
{
    const ScriptedReply checked = ScriptedReply::success(QJsonObject{{"exists", false}}).withDelay(100);
    const ScriptedReply login = ScriptedReply::success(loginPayload("u-9")).withDelay(100);
    m_server.on("GET", "/api/check-username", checked);
    m_server.on("POST", "/api/login/code", login);

    fill(QStringLiteral("zs"), QStringLiteral("13812345678"), QStringLiteral("123456"), true);
    const qint64 before = HttpClient::instance()->bytesDown;
    QTest::mouseClick(button("GetCode"), Qt::LeftButton);
    QTest::mouseClick(button("BigGold"), Qt::LeftButton);
    QVERIFY(m_server.waitForRequests(2));
    delete m_window.data();

    QVERIFY(waitForRepliesHandled(before, checked.body.size() + login.body.size()));
    // Neither answer reached the dead window: no code was requested and no session applied.
    QVERIFY(m_server.requests("POST", "/api/send-sms").isEmpty());
    QVERIFY(Session::instance()->userId.isEmpty());
    makeWindow();
}

void TestAuthWindow::legalLinksOpenTheirDocuments()
{
    auto *link = label("AgreeLink");
    QVERIFY(link);
    QCOMPARE(link->textFormat(), Qt::RichText);
    QVERIFY(!link->openExternalLinks());

    struct Case
    {
        QString href;
        QString title;
        const char *closeButton;
    };
    const QList<Case> cases{{"#privacy", "隐私政策", "LegalClose"}, {"#terms", "用户协议", "LegalOk"}};
    for (const Case &c : cases) {
        QString seenTitle;
        QString seenHeader;
        QString seenBody;
        QTimer::singleShot(0, this, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            QVERIFY(modal);
            seenTitle = modal->windowTitle();
            seenHeader = modal->findChild<QLabel *>("LegalTitle")->text();
            seenBody = modal->findChild<QTextBrowser *>("LegalBody")->toPlainText();
            QTest::mouseClick(modal->findChild<QPushButton *>(c.closeButton), Qt::LeftButton);
        });
        emit link->linkActivated(c.href);
        QCOMPARE(seenTitle, c.title);
        QCOMPARE(seenHeader, c.title);
        QVERIFY(seenBody.contains(QStringLiteral("生效日期")));
        QVERIFY(!m_window->findChild<QDialog *>());
    }
    QVERIFY(legalHtml(LegalDocument::PrivacyPolicy).startsWith(QStringLiteral("<p style=\"color:#8a94a6;\">")));
    QVERIFY(legalHtml(LegalDocument::PrivacyPolicy) != legalHtml(LegalDocument::UserAgreement));
}

void TestAuthWindow::dragBarPressMovesOnlyFromDragBar()
{
    QVERIFY(QTest::qWaitForWindowExposed(m_window.data()));
    auto *dragBar = m_window->findChild<QFrame *>("DragBar");
    QVERIFY(dragBar);
    QCOMPARE(dragBar->height(), 30);
    const QPointF at(20, 15);
    QMouseEvent left(QEvent::MouseButtonPress, at, dragBar->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
    QMouseEvent right(QEvent::MouseButtonPress, at, dragBar->mapToGlobal(at), Qt::RightButton, Qt::RightButton,
                      Qt::NoModifier);
    QVERIFY(m_window->eventFilter(dragBar, &left));
    QVERIFY(!m_window->eventFilter(dragBar, &right));
    QVERIFY(!m_window->eventFilter(edit("UsernameEdit"), &left));
    QVERIFY(!m_window->eventFilter(m_window->findChild<QFrame *>("LoginCard"), &left));
}

void TestAuthWindow::minimiseButtonMinimises()
{
    const QList<QPushButton *> buttons = m_window->findChild<QFrame *>("DragBar")->findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 2);
    QCOMPARE(buttons[0]->toolTip(), QStringLiteral("最小化"));
    QCOMPARE(buttons[1]->toolTip(), QStringLiteral("退出程序"));
    QTest::mouseClick(buttons[0], Qt::LeftButton);
    QTRY_VERIFY(m_window->isMinimized());
    QVERIFY(m_window->isVisible());
}

void TestAuthWindow::closeButtonEndsTheApplication()
{
    const bool quitOnLastClosed = QGuiApplication::quitOnLastWindowClosed();
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QPushButton *close = m_window->findChild<QFrame *>("DragBar")->findChildren<QPushButton *>().at(1);
    QTimer::singleShot(0, close, [close] { QTest::mouseClick(close, Qt::LeftButton); });
    // The watchdog ends the loop with 1 if the button does not end it.
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!m_window->isVisible());
    QGuiApplication::setQuitOnLastWindowClosed(quitOnLastClosed);
}

void TestAuthWindow::fieldIconsAreRenderedAndDistinct()
{
    const QList<QLabel *> icons = m_window->findChildren<QLabel *>("FieldIcon");
    QCOMPARE(icons.size(), 3);
    QList<QImage> images;
    for (QLabel *icon : icons) {
        QCOMPARE(icon->width(), 22);
        const QImage image = icon->pixmap().toImage();
        QCOMPARE(image.size(), QSize(20, 20));
        int inked = 0;
        int navy = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.alpha() < 200)
                    continue;
                ++inked;
                navy += c.blue() > c.red() + 30 && c.blue() > c.green();
            }
        }
        QVERIFY2(inked > 20, qPrintable(QString::number(inked)));
        // The ink is the navy gradient, not black or another family.
        QCOMPARE(navy, inked);
        images << image;
    }
    QVERIFY(images[0] != images[1]);
    QVERIFY(images[1] != images[2]);
    QVERIFY(images[0] != images[2]);
    // An invalid document renders blank rather than failing.
    const QImage blank = FieldIcons::render("<svg").toImage();
    QCOMPARE(blank.size(), QSize(20, 20));
    QCOMPARE(qAlpha(blank.pixel(10, 10)), 0);
}

QTEST_MAIN(TestAuthWindow)
#include "tst_authwindow.moc"
