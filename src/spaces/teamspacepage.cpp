#include "spaces/teamspacepage.h"

#include "files/filelistpage.h"
#include "files/filerecord.h"
#include "files/formatting.h"
#include "net/httpresponse.h"
#include "spaces/teamapi.h"
#include "spaces/teammembersdialog.h"
#include "ui/cdlg.h"
#include "ui/deferreddelete.h"
#include "ui/offlineoverlay.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {

const QString OwnerRole = QStringLiteral("owner");

constexpr int SideWidth = 260;
constexpr int TeamRowHeight = 54;

constexpr char SideStyle[] = "#TsSide{background:#ffffff;border:1px solid #eef0f4;border-radius:12px;}";
constexpr char SideTitleStyle[] = "font-size:15px;font-weight:700;color:#1A2A4A;background:transparent;";
constexpr char ListStyle[] = "QListWidget{background:transparent;border:none;} QListView::item{border-radius:10px;"
                             "margin:2px 0;} QListView::item:selected{background:#f0f5ff;}";
constexpr char RowNameStyle[] = "font-weight:600;color:#1A2A4A;background:transparent;";
constexpr char BadgeStyle[] = "background:#fff7e6;color:#ad6800;border:1px solid #ffe0a3;border-radius:8px;"
                              "padding:1px 7px;font-size:11px;";
constexpr char MutedStyle[] = "color:#8a93a6;font-size:12px;background:transparent;";
constexpr char HintStyle[] = "color:#999;padding:40px;";
constexpr char TitleStyle[] = "font-size:18px;font-weight:700;color:#1A2A4A;background:transparent;";

QPushButton *commandButton(const QString &text, const char *objectName, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

} // namespace

TeamSpacePage::TeamSpacePage(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("SubPage"));
    setAttribute(Qt::WA_StyledBackground);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(14);

    auto *side = new QFrame(this);
    side->setObjectName(QStringLiteral("TsSide"));
    side->setFixedWidth(SideWidth);
    side->setStyleSheet(QString::fromLatin1(SideStyle));
    auto *sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(12, 12, 12, 12);
    sideLayout->setSpacing(10);

    auto *titleRow = new QHBoxLayout;
    auto *title = new QLabel(QStringLiteral("团队空间"), side);
    title->setStyleSheet(QString::fromLatin1(SideTitleStyle));
    titleRow->addWidget(title);
    titleRow->addStretch();
    m_createButton = commandButton(QStringLiteral("创建"), "Primary", side);
    titleRow->addWidget(m_createButton);
    sideLayout->addLayout(titleRow);

    m_searchBox = new QLineEdit(side);
    m_searchBox->setObjectName(QStringLiteral("SearchBox"));
    m_searchBox->setPlaceholderText(QStringLiteral("搜索团队内文件"));
    m_searchBox->setAccessibleName(QStringLiteral("搜索团队内文件"));
    m_searchBox->setClearButtonEnabled(true);
    sideLayout->addWidget(m_searchBox);

    m_teamList = new QListWidget(side);
    m_teamList->setObjectName(QStringLiteral("TeamList"));
    m_teamList->setAccessibleName(QStringLiteral("团队列表"));
    m_teamList->setFrameShape(QFrame::NoFrame);
    m_teamList->setStyleSheet(QString::fromLatin1(ListStyle));
    sideLayout->addWidget(m_teamList, 1);
    layout->addWidget(side);
    m_listOverlay = new OfflineOverlay(m_teamList);
    connect(m_listOverlay, &OfflineOverlay::retryRequested, this, &TeamSpacePage::reloadTeams);

    m_detailArea = new QWidget(this);
    m_detailArea->setObjectName(QStringLiteral("TeamDetail"));
    // Scoped to the area itself: a bare rule would reach every button below and wash out their colours.
    m_detailArea->setStyleSheet(QStringLiteral("#TeamDetail{background:transparent;}"));
    layout->addWidget(m_detailArea, 1);

    connect(m_teamList, &QListWidget::currentRowChanged, this, &TeamSpacePage::showDetail);
    connect(m_searchBox, &QLineEdit::textChanged, this, &TeamSpacePage::applySearch);
    connect(m_createButton, &QPushButton::clicked, this, &TeamSpacePage::createTeam);
    reloadTeams();
}

TeamSpacePage::~TeamSpacePage() = default;

QString TeamSpacePage::currentTeamId() const
{
    const QListWidgetItem *item = m_teamList->currentItem();
    return item ? item->data(IdRole).toString() : QString();
}

QString TeamSpacePage::currentTeamName() const
{
    const QListWidgetItem *item = m_teamList->currentItem();
    return item ? item->data(NameRole).toString() : QString();
}

void TeamSpacePage::reloadTeams()
{
    // The teams shown stay until an answer replaces them: with the server gone, an empty list would
    // read as teams that are gone.
    const QString keepId = m_teamList->currentItem() ? currentTeamId() : m_shownTeamId;
    const quint64 serial = ++m_listSerial;
    QPointer<TeamSpacePage> self(this);
    Api::listTeams([self, serial, keepId](const HttpResponse &response) {
        if (!self || self->m_listSerial != serial)
            return;
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error)) {
            self->m_listOverlay->showFailure(response); // the right side keeps what it showed
            return;
        }
        self->m_listOverlay->hide();
        self->applyTeams(response.dataArray(), keepId);
    });
}

void TeamSpacePage::applyTeams(const QJsonArray &teams, const QString &keepId)
{
    int keepIndex = 0;
    {
        const QSignalBlocker blocker(m_teamList);
        m_teamList->clear();
        for (const QJsonValue &value : teams) {
            const QJsonObject team = value.toObject();
            const QString id = jsonText(team, QStringLiteral("id"));
            const QString name = jsonText(team, QStringLiteral("name"));
            const QString role = jsonText(team, QStringLiteral("role"));
            const int members = int(jsonInt64(team, QStringLiteral("member_count"), 0));
            const qint64 used = jsonInt64(team, QStringLiteral("used_size"), 0);

            auto *item = new QListWidgetItem(m_teamList);
            item->setSizeHint(QSize(0, TeamRowHeight));
            item->setData(IdRole, id);
            item->setData(RoleRole, role);
            item->setData(NameRole, name);
            item->setData(MemberCountRole, members);
            item->setData(UsedSizeRole, used);
            m_teamList->setItemWidget(item, makeTeamRow(name, role == OwnerRole, members, used));
            if (!keepId.isEmpty() && id == keepId)
                keepIndex = m_teamList->count() - 1;
        }
        if (m_teamList->count() > 0)
            m_teamList->setCurrentRow(qMin(keepIndex, m_teamList->count() - 1));
    }
    showDetail();
}

QWidget *TeamSpacePage::makeTeamRow(const QString &name, bool isOwner, int memberCount, qint64 usedSize)
{
    auto *row = new QWidget(m_teamList);
    row->setObjectName(QStringLiteral("TeamRow"));
    auto *column = new QVBoxLayout(row);
    column->setContentsMargins(12, 8, 12, 8);
    column->setSpacing(2);

    auto *first = new QHBoxLayout;
    first->setSpacing(6);
    auto *nameLabel = new QLabel(name, row);
    nameLabel->setStyleSheet(QString::fromLatin1(RowNameStyle));
    first->addWidget(nameLabel);
    if (isOwner) {
        auto *badge = new QLabel(QStringLiteral("创建者"), row);
        badge->setObjectName(QStringLiteral("OwnerBadge"));
        badge->setStyleSheet(QString::fromLatin1(BadgeStyle));
        first->addWidget(badge);
    }
    first->addStretch();
    column->addLayout(first);

    auto *figures = new QLabel(QStringLiteral("%1 名成员 · %2").arg(memberCount).arg(formatSize(usedSize)), row);
    figures->setStyleSheet(QString::fromLatin1(MutedStyle));
    column->addWidget(figures);
    return row;
}

void TeamSpacePage::clearDetail()
{
    m_teamFiles = nullptr;
    QLayout *old = m_detailArea->layout();
    if (!old)
        return;
    while (QLayoutItem *item = old->takeAt(0)) {
        if (QWidget *widget = item->widget()) {
            // Out of sight at once; deleted when control is back in the event loop, so a button
            // whose click led here is not destroyed under its own signal, and not before a card
            // dialog of the old file page (a new folder's name, a delete confirmation) has closed.
            deleteWhenDialogsClose(widget);
        } else if (QLayout *inner = item->layout()) {
            while (QLayoutItem *innerItem = inner->takeAt(0)) {
                if (QWidget *widget = innerItem->widget())
                    deleteWhenDialogsClose(widget);
                delete innerItem;
            }
        }
        delete item;
    }
    delete old;
}

void TeamSpacePage::showDetail()
{
    clearDetail();
    const QListWidgetItem *item = m_teamList->currentItem();
    if (!item) {
        m_shownTeamId.clear();
        auto *layout = new QVBoxLayout(m_detailArea);
        layout->setContentsMargins(0, 0, 0, 0);
        auto *hint = new QLabel(QStringLiteral("创建团队并邀请成员，即可共享协作文件"), m_detailArea);
        hint->setObjectName(QStringLiteral("TeamEmptyHint"));
        hint->setStyleSheet(QString::fromLatin1(HintStyle));
        layout->addWidget(hint, 0, Qt::AlignTop | Qt::AlignHCenter);
        return;
    }

    const QString id = item->data(IdRole).toString();
    const QString name = item->data(NameRole).toString();
    const bool isOwner = item->data(RoleRole).toString() == OwnerRole;
    const int members = item->data(MemberCountRole).toInt();
    const qint64 used = item->data(UsedSizeRole).toLongLong();
    m_shownTeamId = id;

    auto *layout = new QVBoxLayout(m_detailArea);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    // The header lives in one widget so that a rebuild removes it whole.
    auto *header = new QWidget(m_detailArea);
    header->setObjectName(QStringLiteral("TeamHeader"));
    auto *headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(0, 0, 0, 0);
    headerRow->setSpacing(10);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto *title = new QLabel(name, header);
    title->setObjectName(QStringLiteral("TeamTitle"));
    title->setStyleSheet(QString::fromLatin1(TitleStyle));
    texts->addWidget(title);
    auto *figures =
        new QLabel(QStringLiteral("%1 名成员 · 已用 %2（计入创建者空间）").arg(members).arg(formatSize(used)), header);
    figures->setObjectName(QStringLiteral("TeamFigures"));
    figures->setStyleSheet(QString::fromLatin1(MutedStyle));
    texts->addWidget(figures);
    headerRow->addLayout(texts);
    headerRow->addStretch();

    auto *membersButton = commandButton(QStringLiteral("成员管理"), "GoldBtn", header);
    headerRow->addWidget(membersButton);
    connect(membersButton, &QPushButton::clicked, this, &TeamSpacePage::openMembers);
    if (isOwner) {
        auto *rename = commandButton(QStringLiteral("重命名"), "GoldBtn", header);
        auto *dissolve = commandButton(QStringLiteral("解散团队"), "Danger", header);
        headerRow->addWidget(rename);
        headerRow->addWidget(dissolve);
        connect(rename, &QPushButton::clicked, this, &TeamSpacePage::renameCurrent);
        connect(dissolve, &QPushButton::clicked, this, &TeamSpacePage::dissolveCurrent);
    } else {
        auto *leave = commandButton(QStringLiteral("退出团队"), "GoldBtn", header);
        headerRow->addWidget(leave);
        connect(leave, &QPushButton::clicked, this, &TeamSpacePage::leaveCurrent);
    }
    layout->addWidget(header);

    auto *files = new FileListPage(QString(), id, m_detailArea);
    // Set before the page first shows, so it loads the search result rather than the folder first.
    const QString keyword = m_searchBox->text().trimmed();
    if (!keyword.isEmpty())
        files->setSearchKeyword(keyword);
    m_teamFiles = files;
    layout->addWidget(files, 1);
}

void TeamSpacePage::applySearch()
{
    if (!m_teamFiles)
        return;
    m_teamFiles->setSearchKeyword(m_searchBox->text().trimmed());
    m_teamFiles->reload();
}

void TeamSpacePage::createTeam()
{
    QPointer<TeamSpacePage> self(this);
    bool accepted = false;
    const QString name = Cdlg::getText(this, QStringLiteral("创建团队"), QStringLiteral("团队名称（1-50 字）："),
                                       QString(), QStringLiteral("创建"), &accepted)
                             .trimmed();
    if (!self || !accepted || name.isEmpty())
        return;
    Api::createTeam(name, [self](const HttpResponse &) {
        if (self)
            self->reloadTeams();
    });
}

void TeamSpacePage::renameCurrent()
{
    const QString id = currentTeamId();
    if (id.isEmpty())
        return;
    QPointer<TeamSpacePage> self(this);
    bool accepted = false;
    const QString name = Cdlg::getText(this, QStringLiteral("重命名团队"), QStringLiteral("新名称："),
                                       currentTeamName(), QStringLiteral("确定"), &accepted)
                             .trimmed();
    if (!self || !accepted || name.isEmpty())
        return;
    Api::renameTeam(id, name, [self](const HttpResponse &) {
        if (self)
            self->reloadTeams();
    });
}

void TeamSpacePage::dissolveCurrent()
{
    const QString id = currentTeamId();
    if (id.isEmpty())
        return;
    QPointer<TeamSpacePage> self(this);
    const bool yes =
        Cdlg::confirmDestructive(this, QStringLiteral("解散团队"),
                                 QStringLiteral("解散将删除全部团队文件且不可恢复，确定？"), QStringLiteral("解散"));
    if (!self || !yes)
        return;
    Api::dissolveTeam(id, [self](const HttpResponse &) {
        if (self)
            self->reloadTeams();
    });
}

void TeamSpacePage::leaveCurrent()
{
    const QString id = currentTeamId();
    if (id.isEmpty())
        return;
    QPointer<TeamSpacePage> self(this);
    const bool yes =
        Cdlg::confirm(this, QStringLiteral("退出团队"), QStringLiteral("确定退出该团队？"), QStringLiteral("退出"));
    if (!self || !yes)
        return;
    Api::leaveTeam(id, [self](const HttpResponse &response) {
        if (!self)
            return;
        QJsonObject data;
        QString error;
        if (response.unwrap(data, error))
            self->reloadTeams();
        else
            Cdlg::info(self, QStringLiteral("无法退出"), error);
    });
}

void TeamSpacePage::openMembers()
{
    const QListWidgetItem *item = m_teamList->currentItem();
    if (!item)
        return;
    auto *dialog = new TeamMembersDialog(this, item->data(IdRole).toString(), item->data(NameRole).toString(),
                                         item->data(RoleRole).toString() == OwnerRole);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &TeamMembersDialog::membersChanged, this, &TeamSpacePage::reloadTeams);
    dialog->open();
}
