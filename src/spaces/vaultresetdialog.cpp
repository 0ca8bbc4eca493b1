#include "spaces/vaultresetdialog.h"

#include "account/authapi.h"
#include "net/httpresponse.h"
#include "net/session.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString GetCodeCaption = QStringLiteral("获取验证码");
const QString ResetScenario = QStringLiteral("vault-reset");

const QString FieldStyle =
    QStringLiteral("QLineEdit{background:#f6f7fa;border:1px solid #e9edf3;border-radius:9px;padding:9px 12px;"
                   "color:#223044;font-size:14px;}QLineEdit:hover{border:1px solid #d7deea;}"
                   "QLineEdit:focus{border:1px solid #C9A84C;background:#ffffff;}");
const QString CodeButtonStyle =
    QStringLiteral("QPushButton{background:#1A2A4A;color:#E4C772;border:none;border-radius:9px;padding:0 14px;"
                   "font-size:13px;font-weight:600;}QPushButton:hover{background:#24365c;}"
                   "QPushButton:disabled{background:#e9edf3;color:#8a93a6;}");
const QString HintStyle = QStringLiteral("color:#6b7385;font-size:12px;background:transparent;border:none;");
const QString ErrorStyle = QStringLiteral("color:#cf1322;font-size:12px;background:transparent;border:none;");

constexpr int CodeButtonMinWidth = 118;
int s_countdownIntervalMs = 1000;

// "138****0000": enough to recognise one's own number, not enough to read it off a screen.
QString maskedPhone(const QString &phone)
{
    if (phone.size() < 7)
        return phone;
    return phone.left(3) + QStringLiteral("****") + phone.right(4);
}

} // namespace

VaultResetDialog::VaultResetDialog(QWidget *parent, bool hasLoginPassword)
    : Cdlg::CardDialog(parent, QStringLiteral("重置保险箱"), true)
{
    setObjectName(QStringLiteral("VaultResetDialog"));

    const QString phone = Session::instance()->phone;
    auto *label = new QLabel(hasLoginPassword ? QStringLiteral("请输入手机验证码或登录密码确认重置：")
                                              : QStringLiteral("请输入手机验证码确认重置："),
                             this);
    label->setObjectName(QStringLiteral("cdFieldLabel"));
    bodyLayout()->addWidget(label);

    auto *codeRow = new QHBoxLayout;
    codeRow->setSpacing(10);
    m_code = new QLineEdit(this);
    m_code->setObjectName(QStringLiteral("VaultResetCode"));
    m_code->setPlaceholderText(QStringLiteral("验证码"));
    m_code->setMaxLength(8);
    m_code->setStyleSheet(FieldStyle);
    m_getCode = new QPushButton(GetCodeCaption, this);
    m_getCode->setObjectName(QStringLiteral("VaultResetGetCode"));
    m_getCode->setCursor(Qt::PointingHandCursor);
    m_getCode->setAutoDefault(false);
    m_getCode->setMinimumWidth(CodeButtonMinWidth);
    m_getCode->setMinimumHeight(m_code->sizeHint().height());
    m_getCode->setStyleSheet(CodeButtonStyle);
    codeRow->addWidget(m_code, 1);
    codeRow->addWidget(m_getCode);
    bodyLayout()->addLayout(codeRow);

    m_hint = new QLabel(this);
    m_hint->setObjectName(QStringLiteral("VaultResetHint"));
    m_hint->setWordWrap(true);
    m_hint->setTextFormat(Qt::PlainText);
    if (phone.isEmpty()) {
        // Without a phone there is nowhere to send a code.
        m_getCode->setEnabled(false);
        m_hint->setText(QStringLiteral("账号未绑定手机号，无法发送验证码"));
        m_hint->setStyleSheet(ErrorStyle);
    } else {
        m_hint->setText(QStringLiteral("验证码将发送至 %1").arg(maskedPhone(phone)));
        m_hint->setStyleSheet(HintStyle);
    }
    bodyLayout()->addWidget(m_hint);

    if (hasLoginPassword) {
        m_password = new QLineEdit(this);
        m_password->setObjectName(QStringLiteral("VaultResetPassword"));
        m_password->setPlaceholderText(QStringLiteral("或输入登录密码"));
        m_password->setEchoMode(QLineEdit::Password);
        m_password->setStyleSheet(FieldStyle);
        bodyLayout()->addWidget(m_password);
        connect(m_password, &QLineEdit::returnPressed, okButton(), &QPushButton::click);
    }
    connect(m_code, &QLineEdit::returnPressed, okButton(), &QPushButton::click);
    connect(m_getCode, &QPushButton::clicked, this, &VaultResetDialog::requestCode);

    m_countdown = new QTimer(this);
    connect(m_countdown, &QTimer::timeout, this, &VaultResetDialog::countdownTick);
    m_code->setFocus();
}

VaultResetDialog::~VaultResetDialog() = default;

void VaultResetDialog::setCountdownIntervalMs(int ms)
{
    s_countdownIntervalMs = ms;
}

QJsonObject VaultResetDialog::body() const
{
    const QString code = m_code->text().trimmed();
    if (!code.isEmpty())
        return {{QStringLiteral("code"), code}};
    if (m_password && !m_password->text().isEmpty())
        return {{QStringLiteral("password"), m_password->text()}};
    return {};
}

void VaultResetDialog::requestCode()
{
    const QString phone = Session::instance()->phone;
    if (phone.isEmpty() || m_countdown->isActive())
        return;
    // One request at a time: the button comes back with the answer or the countdown's end.
    m_getCode->setEnabled(false);
    QPointer<VaultResetDialog> self(this);
    Api::sendSms(phone, ResetScenario, [self](const HttpResponse &response) {
        if (self)
            self->onCodeSent(response);
    });
}

void VaultResetDialog::onCodeSent(const HttpResponse &response)
{
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        m_getCode->setEnabled(true);
        m_hint->setText(error);
        m_hint->setStyleSheet(ErrorStyle);
        return;
    }
    // Development servers return the code beside the envelope, so it can be used without a phone.
    const QJsonObject top = response.json.toObject();
    const QString debugCode = top.value(QStringLiteral("debugCode")).toString();
    if (!debugCode.isEmpty())
        m_code->setText(debugCode);
    m_hint->setText(QStringLiteral("验证码已发送至 %1").arg(maskedPhone(Session::instance()->phone)));
    m_hint->setStyleSheet(HintStyle);
    m_code->setFocus();
    startCountdown(CountdownSeconds);
}

void VaultResetDialog::startCountdown(int seconds)
{
    m_secondsLeft = seconds;
    m_getCode->setEnabled(false);
    m_getCode->setText(QStringLiteral("%1 %2s").arg(GetCodeCaption).arg(m_secondsLeft));
    m_countdown->start(s_countdownIntervalMs);
}

void VaultResetDialog::countdownTick()
{
    if (m_secondsLeft > 1) {
        --m_secondsLeft;
        m_getCode->setText(QStringLiteral("%1 %2s").arg(GetCodeCaption).arg(m_secondsLeft));
        return;
    }
    m_countdown->stop();
    m_secondsLeft = 0;
    m_getCode->setEnabled(true);
    m_getCode->setText(GetCodeCaption);
}
