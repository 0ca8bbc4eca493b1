// The sign-in window against the real reference server in development mode, where the SMS code
// comes back as debugCode: registration, sign-in of a known user, and the server's refusals.
#include "account/authwindow.h"
#include "net/session.h"
#include "referenceserver.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

class TestSignInFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void newUserRegistersWithDebugCode();
    void knownUserSignsInWithLoginCode();
    void knownNameWithOtherPhoneIsRefused();
    void wrongCodeAndEarlyResendShowServerTexts();

private:
    QLineEdit *edit(const char *name) const { return m_window->findChild<QLineEdit *>(name); }
    QPushButton *button(const char *name) const { return m_window->findChild<QPushButton *>(name); }
    QString errorLine() const { return m_window->findChild<QLabel *>("FormSub")->text(); }
    void fill(const QString &username, const QString &phone);
    // Requests a code; true once the countdown started (the code edit then holds the debug code).
    bool requestCode();

    ReferenceServer m_server;
    AuthWindow *m_window = nullptr;
};

void TestSignInFlow::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0005");
}

void TestSignInFlow::init()
{
    Session::instance()->clear();
    m_window = new AuthWindow;
    m_window->show();
}

void TestSignInFlow::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

void TestSignInFlow::fill(const QString &username, const QString &phone)
{
    edit("UsernameEdit")->setText(username);
    edit("PhoneEdit")->setText(phone);
    edit("CodeEdit")->clear();
    m_window->findChild<QCheckBox *>("Agree")->setChecked(true);
}

bool TestSignInFlow::requestCode()
{
    QTest::mouseClick(button("GetCode"), Qt::LeftButton);
    QElapsedTimer clock;
    clock.start();
    while (button("GetCode")->isEnabled() && errorLine().isEmpty() && clock.elapsed() < 15000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return !button("GetCode")->isEnabled();
}

void TestSignInFlow::newUserRegistersWithDebugCode()
{
    fill(QStringLiteral("liuyang"), QStringLiteral("13800001111"));
    QVERIFY2(requestCode(), qPrintable(errorLine()));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{6}$")).match(edit("CodeEdit")->text()).hasMatch());
    // The server's console line travels through a pipe of its own and may come after the answer.
    QTRY_VERIFY(m_server.output().contains("13800001111 (register)"));

    QSignalSpy loginOk(m_window, &AuthWindow::loginOk);
    QTest::mouseClick(button("BigGold"), Qt::LeftButton);
    QVERIFY2(loginOk.wait(15000), qPrintable(errorLine()));
    QVERIFY(!Session::instance()->userId.isEmpty());
    QVERIFY(!Session::instance()->token.isEmpty());
    QCOMPARE(Session::instance()->username, QStringLiteral("liuyang"));
    QCOMPARE(Session::instance()->phone, QStringLiteral("13800001111"));
}

void TestSignInFlow::knownUserSignsInWithLoginCode()
{
    const ReferenceServer::Credentials known =
        m_server.signIn(QStringLiteral("chenjing"), QStringLiteral("13900002222"));
    QVERIFY(known.isValid());
    // Past the server's resend interval for this phone.
    QVERIFY(m_server.advanceClock(120, known));

    fill(QStringLiteral("chenjing"), QStringLiteral("13900002222"));
    QVERIFY2(requestCode(), qPrintable(errorLine()));
    QTRY_VERIFY(m_server.output().contains("13900002222 (login)"));

    QSignalSpy loginOk(m_window, &AuthWindow::loginOk);
    QTest::mouseClick(button("BigGold"), Qt::LeftButton);
    QVERIFY2(loginOk.wait(15000), qPrintable(errorLine()));
    QCOMPARE(Session::instance()->userId, known.userId);
    QVERIFY(!Session::instance()->token.isEmpty());
}

void TestSignInFlow::knownNameWithOtherPhoneIsRefused()
{
    const ReferenceServer::Credentials known =
        m_server.signIn(QStringLiteral("zhaolei"), QStringLiteral("13700003333"));
    QVERIFY(known.isValid());
    const QByteArray outputBefore = m_server.output();

    fill(QStringLiteral("zhaolei"), QStringLiteral("13700004444"));
    QVERIFY(!requestCode());
    QCOMPARE(errorLine(), QStringLiteral("用户名与手机号不匹配"));
    QVERIFY(button("GetCode")->isEnabled());
    QVERIFY(!m_server.output().mid(outputBefore.size()).contains("13700004444"));
}

void TestSignInFlow::wrongCodeAndEarlyResendShowServerTexts()
{
    fill(QStringLiteral("sunli"), QStringLiteral("13600005555"));
    QVERIFY2(requestCode(), qPrintable(errorLine()));
    const QString code = edit("CodeEdit")->text();
    edit("CodeEdit")->setText(code == QLatin1String("000000") ? QStringLiteral("111111") : QStringLiteral("000000"));

    QSignalSpy loginOk(m_window, &AuthWindow::loginOk);
    QTest::mouseClick(button("BigGold"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!errorLine().isEmpty(), 15000);
    QCOMPARE(loginOk.size(), 0);
    QVERIFY(Session::instance()->userId.isEmpty());
    QVERIFY(button("BigGold")->isEnabled());

    // A second window asks again at once: the server refuses, and its text is shown.
    delete m_window;
    m_window = new AuthWindow;
    m_window->show();
    fill(QStringLiteral("sunli"), QStringLiteral("13600005555"));
    QVERIFY(!requestCode());
    QVERIFY2(errorLine().startsWith(QStringLiteral("验证码发送过于频繁")), qPrintable(errorLine()));
}

QTEST_MAIN(TestSignInFlow)
#include "tst_signinflow.moc"
