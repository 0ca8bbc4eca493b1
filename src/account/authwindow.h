#pragma once

#include "net/httpresponse.h"

#include <QWidget>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTimer;

// The sign-in window: one form for registration and sign-in by user name, mobile number and SMS
// code. Fills the Session from the login answer and then emits loginOk().
class AuthWindow final : public QWidget
{
    Q_OBJECT

public:
    explicit AuthWindow(QWidget *parent = nullptr);

    bool eventFilter(QObject *watched, QEvent *event) override;

    // True from sending a login request until its answer has been handled.
    bool isSigningIn() const { return m_signingIn; }

    // Shows a problem found before any request (e.g. an unusable CA file) on the form's error line.
    void showProblem(const QString &text) { setError(text); }

    // Tick of the SMS resend countdown; one second in the product, shorter in tests.
    void setCountdownIntervalMs(int ms) { m_countdownIntervalMs = ms; }

    static constexpr int CountdownSeconds = 60;
    static constexpr int DefaultCountdownIntervalMs = 1000;

signals:
    // Emitted at most once per window.
    void loginOk();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void buildUi();
    QWidget *buildFormPage();
    void onSendCode();
    void onSubmit();
    void onUsernameChecked(const HttpResponse &response, const QString &username, const QString &phone);
    void onCodeSent(const HttpResponse &response);
    void onLoginAnswered(const HttpResponse &response);
    void startCountdown(QPushButton *button);
    void countdownTick();
    void updateSmsHint();
    void setError(const QString &text);
    // Shows the first complaint about the user name or phone; true when both are usable.
    bool checkIdentityFields(const QString &username, const QString &phone);
    void relayout();

    QFrame *m_dragBar = nullptr;
    QStackedWidget *m_stack = nullptr;
    QLabel *m_formSub = nullptr;
    QLabel *m_smsHint = nullptr;
    QLineEdit *m_username = nullptr;
    QLineEdit *m_phone = nullptr;
    QLineEdit *m_code = nullptr;
    QPushButton *m_getCode = nullptr;
    QPushButton *m_submit = nullptr;
    QCheckBox *m_agree = nullptr;
    QTimer *m_countdownTimer = nullptr;
    int m_secondsLeft = 0;
    QPushButton *m_countdownButton = nullptr;
    QString m_restingCaption;
    int m_countdownIntervalMs = DefaultCountdownIntervalMs;
    bool m_signingIn = false;
    bool m_signedIn = false;
    bool m_placed = false;
};
