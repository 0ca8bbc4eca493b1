#include "account/authwindow.h"

#include "account/authapi.h"
#include "account/fieldicons.h"
#include "account/legaldialog.h"
#include "account/phonerule.h"
#include "account/topgradbar.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "ui/titlebarbutton.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

namespace {

constexpr int WindowWidth = 400;
constexpr int FieldHeight = 46;
constexpr int LogoSide = 56;
constexpr qreal LogoRadius = 12;

const QString GetCodeCaption = QStringLiteral("获取验证码");
const QString SubmitCaption = QStringLiteral("登录 / 注册");
const QString SubmitBusyCaption = QStringLiteral("处理中…");

const QString ErrUsername = QStringLiteral("请输入用户名");
const QString ErrPhone = QStringLiteral("请输入正确的 11 位手机号");
const QString ErrCode = QStringLiteral("请输入短信验证码");
const QString ErrAgreement = QStringLiteral("请先阅读并同意《用户协议》与《隐私政策》");
const QString ErrNoSession = QStringLiteral("登录失败：未获取到有效会话");

constexpr char AgreeLinkHtml[] = "<a href=\"#terms\" style=\"color:#C9A84C;text-decoration:none;\">《用户协议》</a>"
                                 "<span style=\"color:#8a94a6;\"> 与 </span>"
                                 "<a href=\"#privacy\" style=\"color:#C9A84C;text-decoration:none;\">《隐私政策》</a>";

QFrame *fieldRow(QWidget *parent, const QByteArray &iconSvg, QLineEdit *edit, int rightMargin)
{
    auto *frame = new QFrame(parent);
    frame->setObjectName(QStringLiteral("Field"));
    frame->setFixedHeight(FieldHeight);
    auto *layout = new QHBoxLayout(frame);
    layout->setContentsMargins(12, 0, rightMargin, 0);
    layout->setSpacing(8);
    auto *icon = new QLabel(frame);
    icon->setObjectName(QStringLiteral("FieldIcon"));
    icon->setAlignment(Qt::AlignCenter);
    icon->setFixedWidth(22);
    icon->setPixmap(FieldIcons::render(iconSvg));
    layout->addWidget(icon);
    edit->setParent(frame);
    layout->addWidget(edit, 1);
    return frame;
}

} // namespace

AuthWindow::AuthWindow(QWidget *parent)
    : QWidget(parent)
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(QStringLiteral("托尔瓦企业存储"));
    setFixedWidth(WindowWidth);
    buildUi();
    adjustSize();
}

void AuthWindow::buildUi()
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto *card = new QFrame(this);
    card->setObjectName(QStringLiteral("LoginCard"));
    outer->addWidget(card);

    auto *cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(0, 0, 0, 0);
    cardLayout->setSpacing(0);

    auto *grad = new TopGradBar(card);
    grad->setObjectName(QStringLiteral("TopGrad"));
    grad->setFixedHeight(4);
    cardLayout->addWidget(grad);

    m_dragBar = new QFrame(card);
    m_dragBar->setObjectName(QStringLiteral("DragBar"));
    m_dragBar->setFixedHeight(30);
    auto *dragLayout = new QHBoxLayout(m_dragBar);
    dragLayout->setContentsMargins(0, 0, 10, 0);
    dragLayout->setSpacing(2);
    dragLayout->addStretch();
    auto *minButton = new TitleBarButton(0, m_dragBar);
    auto *closeButton = new TitleBarButton(1, m_dragBar);
    dragLayout->addWidget(minButton);
    dragLayout->addWidget(closeButton);
    cardLayout->addWidget(m_dragBar);
    m_dragBar->installEventFilter(this);
    connect(minButton, &QPushButton::clicked, this, &QWidget::showMinimized);
    // Quitting on the last closed window is off application-wide, so leaving is explicit here.
    connect(closeButton, &QPushButton::clicked, this, [this] {
        close();
        QCoreApplication::quit();
    });

    auto *body = new QWidget(card);
    auto *bodyLayout = new QVBoxLayout(body);
    bodyLayout->setContentsMargins(32, 0, 32, 10);
    bodyLayout->setSpacing(10);

    auto *logo = new QLabel(body);
    logo->setObjectName(QStringLiteral("BrandLogo"));
    logo->setFixedSize(LogoSide, LogoSide);
    logo->setAlignment(Qt::AlignCenter);
    logo->setPixmap(roundedLogo(QStringLiteral(":/resources/logo-velno.png"), LogoSide, LogoRadius));
    bodyLayout->addWidget(logo, 0, Qt::AlignHCenter);
    bodyLayout->addSpacing(10);

    auto *title = new QLabel(QStringLiteral("托尔瓦企业存储"), body);
    title->setObjectName(QStringLiteral("BrandTitle"));
    title->setAlignment(Qt::AlignCenter);
    bodyLayout->addWidget(title);
    bodyLayout->addSpacing(6);

    auto *slogan = new QLabel(QStringLiteral("安全存储 · 高效协同"), body);
    slogan->setObjectName(QStringLiteral("BrandSlogan"));
    slogan->setAlignment(Qt::AlignCenter);
    bodyLayout->addWidget(slogan);
    bodyLayout->addSpacing(10);

    m_stack = new QStackedWidget(body);
    m_stack->addWidget(buildFormPage());
    bodyLayout->addWidget(m_stack);

    bodyLayout->addSpacing(2);
    m_formSub = new QLabel(body);
    m_formSub->setObjectName(QStringLiteral("FormSub"));
    m_formSub->setWordWrap(true);
    m_formSub->setAlignment(Qt::AlignCenter);
    m_formSub->setMinimumHeight(14);
    bodyLayout->addWidget(m_formSub);
    bodyLayout->addStretch();

    cardLayout->addWidget(body);
}

QWidget *AuthWindow::buildFormPage()
{
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 6, 0, 0);
    layout->setSpacing(14);

    m_username = new QLineEdit;
    m_username->setObjectName(QStringLiteral("UsernameEdit"));
    m_username->setPlaceholderText(QStringLiteral("请输入用户名"));
    layout->addWidget(fieldRow(page, FieldIcons::userSvg(), m_username, 12));

    m_phone = new QLineEdit;
    m_phone->setObjectName(QStringLiteral("PhoneEdit"));
    m_phone->setPlaceholderText(QStringLiteral("请输入手机号"));
    m_phone->setMaxLength(11);
    layout->addWidget(fieldRow(page, FieldIcons::phoneSvg(), m_phone, 12));

    m_code = new QLineEdit;
    m_code->setObjectName(QStringLiteral("CodeEdit"));
    m_code->setPlaceholderText(QStringLiteral("请输入验证码"));
    m_code->setMaxLength(6);
    QFrame *codeRow = fieldRow(page, FieldIcons::codeSvg(), m_code, 10);
    m_getCode = new QPushButton(GetCodeCaption, codeRow);
    m_getCode->setObjectName(QStringLiteral("GetCode"));
    m_getCode->setCursor(Qt::PointingHandCursor);
    codeRow->layout()->addWidget(m_getCode);
    layout->addWidget(codeRow);

    m_smsHint = new QLabel(page);
    m_smsHint->setObjectName(QStringLiteral("SmsHint"));
    m_smsHint->setStyleSheet(QStringLiteral("color:#999;font-size:12px;background:transparent;"));
    m_smsHint->hide();
    layout->addWidget(m_smsHint);

    m_submit = new QPushButton(SubmitCaption, page);
    m_submit->setObjectName(QStringLiteral("BigGold"));
    m_submit->setMinimumHeight(48);
    m_submit->setCursor(Qt::PointingHandCursor);
    layout->addWidget(m_submit);

    auto *agreeRow = new QHBoxLayout;
    agreeRow->setContentsMargins(2, 0, 0, 0);
    agreeRow->setSpacing(4);
    m_agree = new QCheckBox(QStringLiteral("我已阅读并同意"), page);
    m_agree->setObjectName(QStringLiteral("Agree"));
    m_agree->setChecked(false);
    agreeRow->addWidget(m_agree);
    auto *agreeLink = new QLabel(page);
    agreeLink->setObjectName(QStringLiteral("AgreeLink"));
    agreeLink->setTextFormat(Qt::RichText);
    agreeLink->setOpenExternalLinks(false);
    agreeLink->setText(QString::fromUtf8(AgreeLinkHtml));
    agreeRow->addWidget(agreeLink);
    agreeRow->addStretch();
    layout->addLayout(agreeRow);

    connect(m_getCode, &QPushButton::clicked, this, &AuthWindow::onSendCode);
    connect(m_submit, &QPushButton::clicked, this, &AuthWindow::onSubmit);
    connect(m_code, &QLineEdit::returnPressed, this, &AuthWindow::onSubmit);
    connect(m_phone, &QLineEdit::textChanged, this, [this] {
        m_smsHint->hide();
        relayout();
    });
    connect(agreeLink, &QLabel::linkActivated, this, [this](const QString &link) {
        showLegalDialog(this, link.contains(QStringLiteral("privacy")) ? LegalDocument::PrivacyPolicy
                                                                       : LegalDocument::UserAgreement);
    });
    return page;
}

void AuthWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_placed)
        return;
    // Opens in the middle of the screen it appears on; later shows keep where the user moved it.
    m_placed = true;
    QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

bool AuthWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_dragBar && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton && windowHandle()) {
        windowHandle()->startSystemMove();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void AuthWindow::onSendCode()
{
    const QString username = m_username->text().trimmed();
    const QString phone = m_phone->text().trimmed();
    if (!checkIdentityFields(username, phone))
        return;
    setError(QString());

    // Every answer may arrive after the window was handed over and deleted.
    QPointer<AuthWindow> self(this);
    HttpClient::instance()->get(Api::checkUsernamePath(username), [self, username, phone](const HttpResponse &r) {
        if (self)
            self->onUsernameChecked(r, username, phone);
    });
}

void AuthWindow::onUsernameChecked(const HttpResponse &response, const QString &username, const QString &phone)
{
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        setError(error);
        return;
    }
    QPointer<AuthWindow> self(this);
    auto codeSent = [self](const HttpResponse &r) {
        if (self)
            self->onCodeSent(r);
    };
    if (!data.value(QStringLiteral("exists")).toBool(false)) {
        Api::sendSms(phone, QStringLiteral("register"), codeSent);
        return;
    }
    Api::verifyIdentity(username, phone, [self, phone, codeSent](const HttpResponse &r) {
        if (!self)
            return;
        QJsonObject verified;
        QString verifyError;
        if (!r.unwrap(verified, verifyError)) {
            self->setError(verifyError);
            return;
        }
        Api::sendSms(phone, QStringLiteral("login"), codeSent);
    });
}

void AuthWindow::onCodeSent(const HttpResponse &response)
{
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        setError(error);
        return;
    }
    // Development servers return the code beside the envelope, so it can be used without a phone.
    if (response.json.isObject()) {
        const QJsonValue debugCode = response.json.toObject().value(QStringLiteral("debugCode"));
        if (debugCode.isString() && !debugCode.toString().isEmpty())
            m_code->setText(debugCode.toString());
    }
    setError(QString());
    startCountdown(m_getCode);
    updateSmsHint();
}

void AuthWindow::onSubmit()
{
    // Return in the code field still arrives while the button is disabled: one sign-in at a time.
    if (m_signingIn || m_signedIn)
        return;
    const QString username = m_username->text().trimmed();
    const QString phone = m_phone->text().trimmed();
    const QString code = m_code->text().trimmed();
    if (!checkIdentityFields(username, phone))
        return;
    if (code.isEmpty()) {
        setError(ErrCode);
        return;
    }
    if (!m_agree->isChecked()) {
        setError(ErrAgreement);
        return;
    }
    setError(QString());
    m_signingIn = true;
    m_submit->setEnabled(false);
    m_submit->setText(SubmitBusyCaption);

    QPointer<AuthWindow> self(this);
    Api::loginWithCode(username, phone, code, [self](const HttpResponse &r) {
        if (self)
            self->onLoginAnswered(r);
    });
}

void AuthWindow::onLoginAnswered(const HttpResponse &response)
{
    m_signingIn = false;
    m_submit->setEnabled(true);
    m_submit->setText(SubmitCaption);

    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        setError(error);
        return;
    }
    if (!Session::instance()->applyLogin(data)) {
        setError(ErrNoSession);
        return;
    }
    m_signedIn = true;
    emit loginOk();
}

void AuthWindow::startCountdown(QPushButton *button)
{
    m_countdownButton = button;
    m_restingCaption = GetCodeCaption;
    m_secondsLeft = CountdownSeconds;
    button->setEnabled(false);
    button->setText(QStringLiteral("%1 %2s").arg(m_restingCaption).arg(m_secondsLeft));
    if (!m_countdownTimer) {
        m_countdownTimer = new QTimer(this);
        connect(m_countdownTimer, &QTimer::timeout, this, &AuthWindow::countdownTick);
    }
    m_countdownTimer->start(m_countdownIntervalMs);
}

void AuthWindow::countdownTick()
{
    if (m_secondsLeft > 1) {
        --m_secondsLeft;
        m_countdownButton->setText(QStringLiteral("%1 %2s").arg(m_restingCaption).arg(m_secondsLeft));
        return;
    }
    m_countdownTimer->stop();
    m_countdownButton->setEnabled(true);
    m_countdownButton->setText(m_restingCaption);
    m_secondsLeft = 0;
}

void AuthWindow::updateSmsHint()
{
    const QString phone = m_phone->text().trimmed();
    if (isValidPhone(phone)) {
        m_smsHint->setText(QStringLiteral("验证码将发送至 %1****%2").arg(phone.left(3), phone.right(4)));
        m_smsHint->show();
    } else {
        m_smsHint->hide();
    }
    relayout();
}

void AuthWindow::setError(const QString &text)
{
    m_formSub->setText(text);
    relayout();
}

void AuthWindow::relayout()
{
    // The error line and the hint sit three layouts deep; without invalidating the chain up to the
    // window, adjustSize() would still see the old size hints and never shrink the window.
    for (QWidget *changed : {static_cast<QWidget *>(m_smsHint), static_cast<QWidget *>(m_formSub)}) {
        for (QWidget *w = changed->parentWidget(); w && w != this; w = w->parentWidget()) {
            if (w->layout())
                w->layout()->invalidate();
            w->updateGeometry();
        }
    }
    layout()->invalidate();
    layout()->activate();
    adjustSize();
}

bool AuthWindow::checkIdentityFields(const QString &username, const QString &phone)
{
    if (username.isEmpty()) {
        setError(ErrUsername);
        return false;
    }
    if (!isValidPhone(phone)) {
        setError(ErrPhone);
        return false;
    }
    return true;
}
