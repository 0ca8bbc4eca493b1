#include "spaces/teammembersdialog.h"

#include "net/httpresponse.h"
#include "spaces/teamapi.h"
#include "ui/cdlg.h"

#include <QHBoxLayout>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

const QString OwnerRole = QStringLiteral("owner");

constexpr int DialogWidth = 480;
constexpr int DialogHeight = 520;
constexpr int AvatarSize = 34;

// Scoped to the row: a bare rule would draw the border around every label inside it as well.
constexpr char RowStyle[] = "#MemberRow{background:#f7f9fc;border:1px solid #eef0f4;border-radius:10px;}";
constexpr char AvatarStyle[] = "background:#dfe8ff;color:#1A2A4A;border-radius:17px;font-weight:700;";
constexpr char NameStyle[] = "font-weight:600;color:#1A2A4A;background:transparent;";
constexpr char MutedStyle[] = "color:#8a93a6;font-size:12px;background:transparent;";
constexpr char EmptyStyle[] = "color:#999;padding:20px;";

} // namespace

TeamMembersDialog::TeamMembersDialog(QWidget *parent, const QString &teamId, const QString &teamName, bool isOwner)
    : Cdlg::CardDialog(parent, QStringLiteral("成员管理 · %1").arg(teamName), false)
    , m_teamId(teamId)
    , m_isOwner(isOwner)
{
    setObjectName(QStringLiteral("TeamMembersDlg"));
    okButton()->setText(QStringLiteral("关闭"));
    resize(DialogWidth, DialogHeight);
    bodyLayout()->setSpacing(10);

    if (m_isOwner) {
        auto *row = new QHBoxLayout;
        m_inviteEdit = new QLineEdit(this);
        m_inviteEdit->setObjectName(QStringLiteral("SearchBox"));
        m_inviteEdit->setPlaceholderText(QStringLiteral("输入用户名或手机号邀请成员"));
        row->addWidget(m_inviteEdit, 1);
        m_inviteButton = new QPushButton(QStringLiteral("邀请"), this);
        m_inviteButton->setObjectName(QStringLiteral("Primary"));
        m_inviteButton->setCursor(Qt::PointingHandCursor);
        row->addWidget(m_inviteButton);
        bodyLayout()->addLayout(row);
        // Return in the field lands on the dialog's default button; making that the invite button
        // invites once instead of also closing the dialog through "关闭".
        m_inviteButton->setDefault(true);
        connect(m_inviteButton, &QPushButton::clicked, this, &TeamMembersDialog::invite);
    }

    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setStyleSheet(QStringLiteral("QScrollArea{background:transparent;border:none;}"));
    m_listWidget = new QWidget(scroll);
    m_listWidget->setObjectName(QStringLiteral("MemberList"));
    m_listWidget->setStyleSheet(QStringLiteral("background:transparent;"));
    m_listLayout = new QVBoxLayout(m_listWidget);
    m_listLayout->setContentsMargins(0, 4, 0, 4);
    m_listLayout->setSpacing(8);
    scroll->setWidget(m_listWidget);
    bodyLayout()->addWidget(scroll, 1);

    load();
}

TeamMembersDialog::~TeamMembersDialog() = default;

void TeamMembersDialog::clearRows()
{
    while (QLayoutItem *item = m_listLayout->takeAt(0)) {
        if (QWidget *widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
}

void TeamMembersDialog::load()
{
    clearRows();
    // Only the latest request may fill the list: after a removal the answer to an earlier
    // listing would show the removed member again.
    const quint64 serial = ++m_listSerial;
    QPointer<TeamMembersDialog> self(this);
    Api::listTeamMembers(m_teamId, [self, serial](const HttpResponse &response) {
        if (!self || self->m_listSerial != serial)
            return;
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error)) {
            self->m_listLayout->addStretch();
            return;
        }
        self->applyMembers(response.dataArray());
    });
}

void TeamMembersDialog::applyMembers(const QJsonArray &members)
{
    clearRows();
    if (members.isEmpty()) {
        auto *empty = new QLabel(QStringLiteral("暂无成员"), m_listWidget);
        empty->setObjectName(QStringLiteral("MembersEmpty"));
        empty->setStyleSheet(QString::fromLatin1(EmptyStyle));
        m_listLayout->addWidget(empty, 0, Qt::AlignHCenter);
    }
    for (const QJsonValue &value : members)
        m_listLayout->addWidget(makeRow(value.toObject()));
    m_listLayout->addStretch();
}

QWidget *TeamMembersDialog::makeRow(const QJsonObject &member)
{
    QString displayName = jsonText(member, QStringLiteral("name"));
    if (displayName.isEmpty())
        displayName = jsonText(member, QStringLiteral("username"));
    const bool isCreator = jsonText(member, QStringLiteral("role")) == OwnerRole;

    auto *row = new QWidget(m_listWidget);
    row->setObjectName(QStringLiteral("MemberRow"));
    row->setAttribute(Qt::WA_StyledBackground);
    row->setStyleSheet(QString::fromLatin1(RowStyle));
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(10, 8, 10, 8);
    layout->setSpacing(10);

    auto *avatar = new QLabel(displayName.isEmpty() ? QStringLiteral("?") : displayName.left(1).toUpper(), row);
    avatar->setObjectName(QStringLiteral("MemberAvatar"));
    avatar->setFixedSize(AvatarSize, AvatarSize);
    avatar->setAlignment(Qt::AlignCenter);
    avatar->setStyleSheet(QString::fromLatin1(AvatarStyle));
    layout->addWidget(avatar);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(1);
    auto *first = new QHBoxLayout;
    first->setSpacing(6);
    auto *name = new QLabel(displayName, row);
    name->setObjectName(QStringLiteral("MemberName"));
    name->setStyleSheet(QString::fromLatin1(NameStyle));
    first->addWidget(name);
    if (isCreator) {
        auto *crown = new QLabel(QStringLiteral("👑"), row);
        crown->setObjectName(QStringLiteral("MemberCrown"));
        crown->setToolTip(QStringLiteral("创建者"));
        crown->setStyleSheet(QStringLiteral("background:transparent;"));
        first->addWidget(crown);
    }
    first->addStretch();
    texts->addLayout(first);

    QString second = jsonText(member, QStringLiteral("username"));
    const QString phone = jsonText(member, QStringLiteral("phone"));
    if (!phone.isEmpty())
        second += QStringLiteral(" · ") + phone;
    auto *detail = new QLabel(second, row);
    detail->setObjectName(QStringLiteral("MemberDetail"));
    detail->setStyleSheet(QString::fromLatin1(MutedStyle));
    texts->addWidget(detail);
    layout->addLayout(texts, 1);

    if (m_isOwner && !isCreator) {
        auto *remove = new QPushButton(QStringLiteral("移除"), row);
        remove->setObjectName(QStringLiteral("Danger"));
        remove->setCursor(Qt::PointingHandCursor);
        remove->setAutoDefault(false);
        const QString userId = jsonText(member, QStringLiteral("user_id"));
        connect(remove, &QPushButton::clicked, this, [this, userId] { removeMember(userId); });
        layout->addWidget(remove);
    }
    return row;
}

void TeamMembersDialog::invite()
{
    if (!m_inviteEdit)
        return;
    const QString keyword = m_inviteEdit->text().trimmed();
    if (keyword.isEmpty())
        return;
    QPointer<TeamMembersDialog> self(this);
    Api::inviteTeamMember(m_teamId, keyword, [self](const HttpResponse &response) {
        if (!self)
            return;
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error)) {
            Cdlg::info(self, QStringLiteral("邀请失败"), error);
            return;
        }
        self->m_inviteEdit->clear();
        self->load();
        emit self->membersChanged();
    });
}

void TeamMembersDialog::removeMember(const QString &userId)
{
    QPointer<TeamMembersDialog> self(this);
    Api::removeTeamMember(m_teamId, userId, [self](const HttpResponse &) {
        if (!self)
            return;
        self->load();
        emit self->membersChanged();
    });
}
