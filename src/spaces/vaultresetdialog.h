#pragma once

#include "ui/carddialog.h"

#include <QJsonObject>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
struct HttpResponse;

// The card that confirms a vault reset. Every account can confirm with an SMS code sent to its own
// phone (「获取验证码」, then a 60 s wait before the next one); an account that has a login password may
// type that instead. body() is what the reset request carries.
class VaultResetDialog final : public Cdlg::CardDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VaultResetDialog)

public:
    VaultResetDialog(QWidget *parent, bool hasLoginPassword);
    ~VaultResetDialog() override;

    // {"code": ...} when a code was typed, else {"password": ...}; empty when neither was.
    QJsonObject body() const;

    // Asks the server for a code to the signed-in account's phone (what the button does).
    void requestCode();

    QLineEdit *codeField() const { return m_code; }
    // Null when the account has no login password.
    QLineEdit *passwordField() const { return m_password; }
    QPushButton *getCodeButton() const { return m_getCode; }
    QLabel *hintLabel() const { return m_hint; }

    // Tick of the resend countdown; one second in the product, shorter in tests.
    static void setCountdownIntervalMs(int ms);
    static constexpr int CountdownSeconds = 60;

private:
    void onCodeSent(const HttpResponse &response);
    void startCountdown(int seconds);
    void countdownTick();

    QLineEdit *m_code = nullptr;
    QLineEdit *m_password = nullptr;
    QPushButton *m_getCode = nullptr;
    QLabel *m_hint = nullptr;
    QTimer *m_countdown = nullptr;
    int m_secondsLeft = 0;
};
