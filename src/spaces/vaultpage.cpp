// The vault page's frame and its locked states: header, set-up, unlock, lock and reset. The
// unlocked file list lives in vaultpage_files.cpp.
#include "spaces/vaultpage.h"

#include "net/httpclient.h"
#include "net/httpresponse.h"
#include "net/session.h"
#include "spaces/vaultresetdialog.h"
#include "ui/carddialog.h"
#include "ui/cdlg.h"
#include "ui/offlineoverlay.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QString PasswordKey = QStringLiteral("password");

const QString PasswordFieldStyle =
    QStringLiteral("QLineEdit{background:#f6f7fa;border:1px solid #e9edf3;border-radius:9px;padding:9px 12px;"
                   "color:#223044;font-size:14px;}QLineEdit:hover{border:1px solid #d7deea;}"
                   "QLineEdit:focus{border:1px solid #C9A84C;background:#ffffff;}");

const QString LinkButtonStyle =
    QStringLiteral("QPushButton{background:transparent;border:none;color:#1677ff;padding:2px;"
                   "} QPushButton:hover{text-decoration:underline;}");

const QString ResetOkStyle =
    QStringLiteral("QPushButton{background:#cf1322;color:#ffffff;border:none;border-radius:9px;padding:0 20px;"
                   "font-size:14px;font-weight:700;}QPushButton:hover{background:#e0242f;} "
                   "QPushButton:pressed{background:#a8071a;}");

const QString SetupIntroText =
    QStringLiteral("保险箱是使用<strong>独立二次密码</strong>保护的加密目录，文件以 AES-256 加密存储，"
                   "即使服务器管理员也无法查看内容，且保险箱容量与网盘空间共用配额。"
                   "<span style='color:#cf1322'>密码丢失后数据无法找回，请妥善保管。</span>");

constexpr int FieldMinWidth = 300;
constexpr int ActionMinHeight = 40;
constexpr int ResetDialogWidth = 420;

QLineEdit *passwordField(const QString &placeholder, QWidget *parent)
{
    auto *field = new QLineEdit(parent);
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(placeholder);
    field->setEchoMode(QLineEdit::Password);
    field->setMinimumWidth(FieldMinWidth);
    field->setStyleSheet(PasswordFieldStyle);
    return field;
}

// A column centred horizontally, with one share of free space above it and two below.
QVBoxLayout *centredColumn(QWidget *page)
{
    auto *outer = new QVBoxLayout(page);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addStretch(1);
    auto *row = new QHBoxLayout;
    row->addStretch(1);
    auto *column = new QWidget(page);
    column->setStyleSheet(QStringLiteral("background:transparent;"));
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 40, 0, 40);
    layout->setSpacing(12);
    row->addWidget(column);
    row->addStretch(1);
    outer->addLayout(row);
    outer->addStretch(2);
    return layout;
}

} // namespace

QPushButton *VaultPage::goldButton(const QString &text, QWidget *parent)
{
    static const QString style = QStringLiteral(
        "QPushButton{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 #E4C772,stop:0.5 #C9A84C,stop:1 #B8963F);"
        "color:#1A2A4A;border:none;border-radius:9px;padding:9px 22px;font-size:14px;font-weight:700;}"
        "QPushButton:hover{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 #EBD088,stop:0.5 #D2B25A,"
        "stop:1 #C29B3E);}QPushButton:pressed{background:#A8862F;}");
    auto *button = new QPushButton(text, parent);
    button->setStyleSheet(style);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

VaultPage::VaultPage(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("SubPage"));
    setAttribute(Qt::WA_StyledBackground);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(10);

    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    auto *shield = new QLabel(QStringLiteral("🛡"), this);
    shield->setStyleSheet(QStringLiteral("color:#faad14;font-size:18px;background:transparent;"));
    auto *title = new QLabel(QStringLiteral("文件保险箱"), this);
    title->setStyleSheet(QStringLiteral("font-size:18px;font-weight:700;color:#1A2A4A;background:transparent;"));
    m_lockButton = new QPushButton(QStringLiteral("🔒 上锁"), this);
    m_lockButton->setObjectName(QStringLiteral("GoldBtn"));
    m_lockButton->setCursor(Qt::PointingHandCursor);
    m_lockButton->hide();
    header->addWidget(shield);
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(m_lockButton);
    layout->addLayout(header);

    auto *accent = new QFrame(this);
    accent->setObjectName(QStringLiteral("VaultAccent"));
    accent->setFixedHeight(3);
    accent->setStyleSheet(QStringLiteral("QFrame#VaultAccent{background:qlineargradient(x1:0,y1:0,x2:1,y2:0,stop:0 "
                                         "#E8CE86,stop:0.5 #C9A84C,stop:1 #B08E33);border:none;border-radius:1px;}"));
    layout->addWidget(accent);

    m_stack = new QStackedWidget(this);
    m_stack->setStyleSheet(QStringLiteral("background:transparent;"));
    m_stack->addWidget(buildSetupPage());
    m_stack->addWidget(buildUnlockPage());
    m_stack->addWidget(buildFilesPage());
    layout->addWidget(m_stack, 1);
    m_overlay = new OfflineOverlay(m_stack);
    connect(m_overlay, &OfflineOverlay::retryRequested, this, &VaultPage::refresh);

    connect(m_lockButton, &QPushButton::clicked, this, &VaultPage::lock);
    refresh();
}

VaultPage::~VaultPage() = default;

QWidget *VaultPage::buildSetupPage()
{
    auto *page = new QWidget(this);
    QVBoxLayout *column = centredColumn(page);

    auto *intro = new QLabel(SetupIntroText, page);
    intro->setObjectName(QStringLiteral("VaultIntro"));
    intro->setTextFormat(Qt::RichText);
    intro->setWordWrap(true);
    intro->setStyleSheet(QStringLiteral("color:#666;font-size:13px;line-height:150%;"));
    // A rich-text label that wraps has no width of its own; it takes the fields' width.
    intro->setFixedWidth(FieldMinWidth + 120);
    m_setupPassword = passwordField(QStringLiteral("设置保险箱密码（至少 6 位）"), page);
    m_setupPassword->setObjectName(QStringLiteral("VaultSetupPassword"));
    m_setupConfirm = passwordField(QStringLiteral("再次输入确认"), page);
    m_setupConfirm->setObjectName(QStringLiteral("VaultSetupConfirm"));
    QPushButton *create = goldButton(QStringLiteral("创建保险箱"), page);
    create->setObjectName(QStringLiteral("VaultCreate"));
    create->setMinimumHeight(ActionMinHeight);

    column->addWidget(intro);
    column->addWidget(m_setupPassword);
    column->addWidget(m_setupConfirm);
    column->addWidget(create);
    connect(create, &QPushButton::clicked, this, &VaultPage::createVault);
    // Return in the first field moves on to the second; in the second it creates.
    connect(m_setupPassword, &QLineEdit::returnPressed, m_setupConfirm, qOverload<>(&QWidget::setFocus));
    connect(m_setupConfirm, &QLineEdit::returnPressed, this, &VaultPage::createVault);
    return page;
}

QWidget *VaultPage::buildUnlockPage()
{
    auto *page = new QWidget(this);
    QVBoxLayout *column = centredColumn(page);

    auto *hint = new QLabel(QStringLiteral("保险箱已锁定，请输入二次密码解锁（解锁 15 分钟无操作自动失效）。"), page);
    hint->setWordWrap(true);
    hint->setStyleSheet(QStringLiteral("color:#666;font-size:13px;"));
    m_unlockPassword = passwordField(QStringLiteral("保险箱密码"), page);
    m_unlockPassword->setObjectName(QStringLiteral("VaultUnlockPassword"));
    QPushButton *unlock = goldButton(QStringLiteral("解锁"), page);
    unlock->setObjectName(QStringLiteral("VaultUnlock"));
    unlock->setMinimumHeight(ActionMinHeight);
    auto *forgot = new QPushButton(QStringLiteral("忘记密码？重置保险箱"), page);
    forgot->setObjectName(QStringLiteral("LinkBtn"));
    forgot->setCursor(Qt::PointingHandCursor);
    forgot->setStyleSheet(LinkButtonStyle);

    column->addWidget(hint);
    column->addWidget(m_unlockPassword);
    column->addWidget(unlock);
    column->addWidget(forgot, 0, Qt::AlignHCenter);

    const auto unlockTyped = [this] { unlockWith(m_unlockPassword->text()); };
    connect(unlock, &QPushButton::clicked, this, unlockTyped);
    connect(m_unlockPassword, &QLineEdit::returnPressed, this, unlockTyped);
    connect(forgot, &QPushButton::clicked, this, &VaultPage::openResetDialog);
    return page;
}

void VaultPage::refresh()
{
    const quint64 generation = ++m_statusGeneration;
    // A listing sent before this status question must not overrule its answer.
    ++m_listGeneration;
    QPointer<VaultPage> self(this);
    HttpClient::instance()->get(QStringLiteral("/api/vault/status"), [self, generation](const HttpResponse &response) {
        if (self && generation == self->m_statusGeneration)
            self->applyStatus(response);
    });
}

void VaultPage::applyStatus(const HttpResponse &response)
{
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        // The page stays as it is, under a state that says why nothing changes.
        m_overlay->showFailure(response);
        return;
    }
    m_overlay->hide();
    m_hasLoginPassword = data.value(QStringLiteral("hasLoginPassword")).toBool(false);
    const bool created = data.value(QStringLiteral("created")).toBool(false);
    const bool unlocked = data.value(QStringLiteral("unlocked")).toBool(false);
    if (created && unlocked) {
        m_lockButton->show();
        m_stack->setCurrentIndex(FilesPage);
        loadFiles();
        emit vaultUnlocked(true);
    } else if (!created) {
        m_lockButton->hide();
        m_table->setRowCount(0);
        m_stack->setCurrentIndex(SetupPage);
        emit vaultUnlocked(false);
    } else {
        m_lockButton->hide();
        m_table->setRowCount(0); // the names of a locked vault are not kept on screen
        Session::instance()->vaultToken.clear();
        m_stack->setCurrentIndex(UnlockPage);
        emit vaultUnlocked(false);
    }
}

void VaultPage::createVault()
{
    const QString password = m_setupPassword->text();
    if (password.size() < MinPasswordLength) {
        Cdlg::info(this, QStringLiteral("提示"), QStringLiteral("保险箱密码至少 6 位"));
        return;
    }
    if (password != m_setupConfirm->text()) {
        Cdlg::info(this, QStringLiteral("提示"), QStringLiteral("两次输入的密码不一致"));
        return;
    }
    QPointer<VaultPage> self(this);
    HttpClient::instance()->post(QStringLiteral("/api/vault/setup"), QJsonObject{{PasswordKey, password}},
                                 [self, password](const HttpResponse &response) {
                                     if (!self)
                                         return;
                                     QJsonObject data;
                                     QString error;
                                     if (!response.unwrap(data, error)) {
                                         Cdlg::info(self, QStringLiteral("创建失败"), error);
                                         return;
                                     }
                                     self->m_setupPassword->clear();
                                     self->m_setupConfirm->clear();
                                     // The person just typed the password twice; asking a third time helps nobody.
                                     self->unlockWith(password);
                                 });
}

void VaultPage::unlockWith(const QString &password)
{
    QPointer<VaultPage> self(this);
    HttpClient::instance()->post(QStringLiteral("/api/vault/unlock"), QJsonObject{{PasswordKey, password}},
                                 [self](const HttpResponse &response) {
                                     if (!self)
                                         return;
                                     QJsonObject data;
                                     QString error;
                                     if (!response.unwrap(data, error)) {
                                         Cdlg::info(self, QStringLiteral("解锁失败"), error);
                                         return;
                                     }
                                     Session::instance()->vaultToken = jsonText(data, QStringLiteral("token"));
                                     self->m_unlockPassword->clear();
                                     emit self->vaultUnlocked(true);
                                     self->refresh();
                                 });
}

void VaultPage::lock()
{
    QPointer<VaultPage> self(this);
    HttpClient::instance()->post(QStringLiteral("/api/vault/lock"), QJsonValue(), [self](const HttpResponse &) {
        if (!self)
            return;
        emit self->vaultUnlocked(false);
        self->refresh();
    });
    // The lock request already carries the token. Dropping it now locks this client at once,
    // whether the server answers, fails or never answers.
    Session::instance()->vaultToken.clear();
    m_lockButton->hide();
}

void VaultPage::openResetDialog()
{
    QPointer<VaultResetDialog> dialog = new VaultResetDialog(this, m_hasLoginPassword);
    dialog->okButton()->setText(QStringLiteral("确认重置"));
    dialog->okButton()->setStyleSheet(ResetOkStyle);

    auto *warning =
        new QLabel(QStringLiteral("保险箱密码无法找回。重置将<strong>永久删除保险箱内的全部加密文件</strong>"
                                  "，且不可恢复。"),
                   dialog);
    warning->setTextFormat(Qt::RichText);
    warning->setWordWrap(true);
    warning->setStyleSheet(
        QStringLiteral("color:#cf1322;font-size:13px;line-height:150%;background:transparent;border:none;"));
    dialog->bodyLayout()->insertWidget(0, warning);
    dialog->setFixedWidth(ResetDialogWidth);

    QPointer<VaultPage> self(this);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    if (!self || !dialog)
        return; // the page (and the dialog with it) went away while the card was open
    const QJsonObject body = dialog->body();
    delete dialog.data();
    if (!accepted || body.isEmpty())
        return;
    HttpClient::instance()->post(QStringLiteral("/api/vault/reset"), body, [self](const HttpResponse &response) {
        if (!self)
            return;
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error)) {
            Cdlg::info(self, QStringLiteral("重置失败"), error);
            return;
        }
        Session::instance()->vaultToken.clear();
        self->refresh();
    });
}
