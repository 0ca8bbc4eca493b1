#include "share/sharecard.h"

#include "files/fileicons.h"
#include "files/filerecord.h"
#include "net/httpresponse.h"
#include "share/qrcodewidget.h"
#include "share/shareapi.h"
#include "share/sharetexts.h"
#include "ui/cardstyle.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int IconSize = 22;
constexpr int QrEdge = 156;
constexpr int ChoiceHeight = 34;

const QString CreateText = QStringLiteral("创建链接");
const QString CreatingText = QStringLiteral("正在创建…");

// The card's own controls, in the card palette: gold marks the choice, navy the text.
constexpr char ShareStyle[] = R"(
QLabel#ShareName { color: #1a2a4a; font-size: 15px; font-weight: 700; background: transparent; }
QLabel#ShareHint { color: #8a93a6; font-size: 12px; background: transparent; }
QLabel#ShareError { color: #d4380d; font-size: 13px; background: #fff1f0; border: 1px solid #ffccc7;
    border-radius: 8px; padding: 8px 12px; }
QPushButton#ShareDays { background: #ffffff; color: #33415c; border: 1px solid #dde3ec; border-radius: 8px;
    font-size: 13px; padding: 0 14px; }
QPushButton#ShareDays:hover { border-color: #c9a84c; color: #b8963f; }
QPushButton#ShareDays:checked { background: #fdfbf5; border: 1px solid #c9a84c; color: #1a2a4a; font-weight: 700; }
QCheckBox#ShareWithCode, QCheckBox#ShareAllowDownload { color: #1a2a4a; font-size: 14px; spacing: 8px;
    background: transparent; }
QCheckBox#ShareWithCode::indicator, QCheckBox#ShareAllowDownload::indicator { width: 16px; height: 16px;
    border: 1px solid #b3bccb; border-radius: 4px; background: #ffffff; }
QCheckBox#ShareWithCode::indicator:checked, QCheckBox#ShareAllowDownload::indicator:checked {
    border-color: #c9a84c; image: url(:/resources/check-gold.png); }
QFrame#ShareQrFrame { background: #ffffff; border: 1px solid #eef0f4; border-radius: 12px; }
QLabel#ShareQrCaption { color: #8a93a6; font-size: 12px; background: transparent; }
QLabel#ShareCode { color: #b8963f; font-size: 22px; font-weight: 700; letter-spacing: 4px;
    background: transparent; }
QLabel#ShareFact { color: #33415c; font-size: 13px; background: transparent; }
QLabel#ShareCopied { color: #389e0d; font-size: 12px; background: transparent; }
QLineEdit#ShareUrl { background: #f6f7fa; border: 1px solid #e9edf3; border-radius: 8px; padding: 8px 10px;
    color: #223044; font-size: 13px; }
QPushButton#ShareCopy { background: #c9a84c; color: #1a2a4a; border: none; border-radius: 8px;
    font-size: 14px; font-weight: 700; padding: 0 18px; }
QPushButton#ShareCopy:hover { background: #d6b65c; }
QPushButton#ShareCopy:pressed { background: #a8862f; }
)";

QLabel *styledLabel(const QString &text, const char *objectName, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(objectName));
    return label;
}

QString dayText(int days)
{
    return days == 0 ? QStringLiteral("永久") : QStringLiteral("%1 天").arg(days);
}

} // namespace

ShareCard::ShareCard(QWidget *parent, const QJsonObject &record, const QString &teamId)
    : Cdlg::CardDialog(parent, QStringLiteral("分享"), true)
    , m_fileId(jsonText(record, QStringLiteral("id")))
    , m_teamId(teamId)
{
    setStyleSheet(Cdlg::cardStyleSheet() + QString::fromUtf8(ShareStyle));

    m_settings = buildSettings(record);
    bodyLayout()->addWidget(m_settings);
    m_result = buildResult();
    m_result->hide();
    bodyLayout()->addWidget(m_result);
    m_error = styledLabel(QString(), "ShareError", this);
    m_error->setWordWrap(true);
    m_error->hide();
    bodyLayout()->addWidget(m_error);

    // The footer button makes the link first and closes the card once there is one.
    okButton()->setText(CreateText);
    disconnect(okButton(), &QPushButton::clicked, this, &QDialog::accept);
    connect(okButton(), &QPushButton::clicked, this, [this] {
        if (hasLink())
            accept();
        else
            createLink();
    });

    setFixedWidth(CardWidth);
    adjustSize();
}

ShareCard::~ShareCard() = default;

ShareCard *ShareCard::openFor(QWidget *parent, const QJsonObject &record, const QString &teamId)
{
    auto *card = new ShareCard(parent, record, teamId);
    card->setAttribute(Qt::WA_DeleteOnClose);
    card->open();
    return card;
}

QWidget *ShareCard::buildSettings(const QJsonObject &record)
{
    auto *panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("ShareSettings"));
    panel->setStyleSheet(QStringLiteral("QWidget#ShareSettings{background:transparent;}"));
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    auto *nameRow = new QHBoxLayout;
    nameRow->setSpacing(10);
    const QString name = jsonText(record, QStringLiteral("name"));
    const QPixmap icon =
        fileIcon(name, isFolderRecord(record), jsonText(record, QStringLiteral("mime_type")), IconSize);
    if (!icon.isNull()) {
        auto *iconLabel = new QLabel(panel);
        iconLabel->setPixmap(icon);
        iconLabel->setStyleSheet(QStringLiteral("background:transparent;"));
        nameRow->addWidget(iconLabel);
    }
    auto *nameLabel = styledLabel(name, "ShareName", panel);
    nameLabel->setWordWrap(true);
    nameRow->addWidget(nameLabel, 1);
    layout->addLayout(nameRow);

    layout->addWidget(styledLabel(QStringLiteral("有效期"), "cdFieldLabel", panel));
    auto *daysRow = new QHBoxLayout;
    daysRow->setSpacing(10);
    m_days = new QButtonGroup(panel);
    m_days->setExclusive(true);
    for (int days : ValidDayChoices) {
        auto *choice = new QPushButton(dayText(days), panel);
        choice->setObjectName(QStringLiteral("ShareDays"));
        choice->setCheckable(true);
        choice->setAutoDefault(false);
        choice->setCursor(Qt::PointingHandCursor);
        choice->setFixedHeight(ChoiceHeight);
        choice->setMinimumWidth(72);
        choice->setChecked(days == DefaultValidDays);
        m_days->addButton(choice, days);
        daysRow->addWidget(choice);
    }
    daysRow->addStretch();
    layout->addLayout(daysRow);
    layout->addSpacing(4);

    auto addOption = [panel, layout](const QString &text, const char *objectName, const QString &hint) {
        auto *box = new QCheckBox(text, panel);
        box->setObjectName(QString::fromLatin1(objectName));
        box->setCursor(Qt::PointingHandCursor);
        box->setChecked(true);
        auto *row = new QHBoxLayout;
        row->setSpacing(12);
        row->addWidget(box);
        row->addWidget(styledLabel(hint, "ShareHint", panel), 1);
        layout->addLayout(row);
        return box;
    };
    m_withCode =
        addOption(QStringLiteral("提取码"), "ShareWithCode", QStringLiteral("访问时需输入 4 位提取码，由系统生成"));
    m_allowDownload =
        addOption(QStringLiteral("允许下载"), "ShareAllowDownload", QStringLiteral("关闭后访问者只能查看，不能下载"));
    return panel;
}

QWidget *ShareCard::buildResult()
{
    auto *panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("ShareResult"));
    panel->setStyleSheet(QStringLiteral("QWidget#ShareResult{background:transparent;}"));
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    // The link across the whole card, so a long token stays readable.
    layout->addWidget(styledLabel(QStringLiteral("链接"), "cdFieldLabel", panel));
    m_urlField = new QLineEdit(panel);
    m_urlField->setObjectName(QStringLiteral("ShareUrl"));
    m_urlField->setReadOnly(true);
    layout->addWidget(m_urlField);
    layout->addSpacing(6);

    auto *row = new QHBoxLayout;
    row->setSpacing(22);
    auto *qrColumn = new QVBoxLayout;
    qrColumn->setSpacing(6);
    auto *qrFrame = new QFrame(panel);
    qrFrame->setObjectName(QStringLiteral("ShareQrFrame"));
    auto *qrFrameLayout = new QVBoxLayout(qrFrame);
    qrFrameLayout->setContentsMargins(4, 4, 4, 4);
    m_qr = new QrCodeWidget(qrFrame);
    m_qr->setFixedSize(QrEdge, QrEdge);
    qrFrameLayout->addWidget(m_qr);
    qrColumn->addWidget(qrFrame, 0, Qt::AlignHCenter);
    auto *caption = styledLabel(QStringLiteral("手机扫码访问"), "ShareQrCaption", panel);
    caption->setAlignment(Qt::AlignHCenter);
    qrColumn->addWidget(caption);
    row->addLayout(qrColumn);

    auto *facts = new QVBoxLayout;
    facts->setSpacing(6);
    facts->addWidget(styledLabel(QStringLiteral("提取码"), "cdFieldLabel", panel));
    m_codeLabel = styledLabel(QString(), "ShareCode", panel);
    m_codeLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    facts->addWidget(m_codeLabel);
    facts->addSpacing(4);
    m_expiryLabel = styledLabel(QString(), "ShareFact", panel);
    m_expiryLabel->setWordWrap(true);
    facts->addWidget(m_expiryLabel);
    facts->addStretch();
    m_copyButton = new QPushButton(QStringLiteral("复制链接"), panel);
    m_copyButton->setObjectName(QStringLiteral("ShareCopy"));
    m_copyButton->setCursor(Qt::PointingHandCursor);
    m_copyButton->setAutoDefault(false);
    m_copyButton->setFixedHeight(36);
    facts->addWidget(m_copyButton, 0, Qt::AlignLeft);
    m_copiedLabel = styledLabel(QString(), "ShareCopied", panel);
    facts->addWidget(m_copiedLabel);
    row->addLayout(facts, 1);
    layout->addLayout(row);

    connect(m_copyButton, &QPushButton::clicked, this, &ShareCard::copyLink);
    return panel;
}

int ShareCard::validDays() const
{
    return m_days->checkedId();
}

void ShareCard::setValidDays(int days)
{
    if (QAbstractButton *button = m_days->button(days))
        button->setChecked(true);
}

void ShareCard::createLink()
{
    if (m_busy || hasLink())
        return;
    m_busy = true;
    m_error->hide();
    okButton()->setEnabled(false);
    okButton()->setText(CreatingText);

    Api::ShareOptions options;
    options.fileId = m_fileId;
    options.teamId = m_teamId;
    options.validDays = validDays();
    options.withCode = m_withCode->isChecked();
    options.allowDownload = m_allowDownload->isChecked();
    QPointer<ShareCard> self(this);
    Api::createShare(options, [self](const HttpResponse &response) {
        if (self)
            self->onCreated(response);
    });
}

void ShareCard::onCreated(const HttpResponse &response)
{
    m_busy = false;
    okButton()->setEnabled(true);
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        okButton()->setText(CreateText);
        showError(QStringLiteral("创建链接失败：%1").arg(error));
        return;
    }
    const QString url = jsonText(data, QStringLiteral("url"));
    if (url.isEmpty()) {
        okButton()->setText(CreateText);
        showError(QStringLiteral("创建链接失败：服务器没有返回链接"));
        return;
    }
    m_url = url;
    m_code = jsonText(data, QStringLiteral("code"));

    m_urlField->setText(m_url);
    m_urlField->setCursorPosition(0);
    m_codeLabel->setText(m_code.isEmpty() ? QStringLiteral("无（打开链接即可访问）") : m_code);
    if (m_code.isEmpty())
        m_codeLabel->setStyleSheet(QStringLiteral("font-size:13px;font-weight:400;letter-spacing:0;color:#33415c;"));
    const QString expiresAt = jsonText(data, QStringLiteral("expiresAt"));
    const QString validity = expiresAt.isEmpty() ? QStringLiteral("永久有效")
                                                 : QStringLiteral("有效期至 %1").arg(ShareText::expiryText(expiresAt));
    const bool download = data.value(QStringLiteral("allowDownload")).toBool(m_allowDownload->isChecked());
    m_expiryLabel->setText(validity + QLatin1Char('\n') +
                           (download ? QStringLiteral("允许下载") : QStringLiteral("仅可查看，不可下载")));
    m_qr->setText(m_url);

    titleLabel()->setText(QStringLiteral("分享链接已创建"));
    m_settings->hide();
    m_result->show();
    if (cancelButton())
        cancelButton()->hide();
    okButton()->setText(QStringLiteral("完成"));
    adjustSize();
}

void ShareCard::copyLink()
{
    if (!hasLink())
        return;
    QGuiApplication::clipboard()->setText(ShareText::copyText(m_url, m_code));
    m_copiedLabel->setText(m_code.isEmpty() ? QStringLiteral("已复制链接") : QStringLiteral("已复制链接和提取码"));
}

void ShareCard::showError(const QString &text)
{
    m_error->setText(text);
    m_error->show();
    adjustSize();
}
