#include "account/profilepage.h"

#include "account/licensepage.h"
#include "account/phonerule.h"
#include "account/profileapi.h"
#include "account/profilepanels.h"
#include "account/tilecard.h"
#include "files/formatting.h"
#include "net/session.h"
#include "ui/cdlg.h"
#include "ui/progresscard.h"
#include "ui/roundavatar.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <limits>

using pfp::styledLabel;

namespace {

constexpr int AccountMinLength = 2;
constexpr int AccountMaxLength = 32;
constexpr int TileHeight = 78;

const QString TileStyle = QStringLiteral(
    "QFrame#Tile{background:%1;border:1.5px solid %2;border-radius:14px;}QFrame#Tile:hover{border-color:#d7c88f;}"
    "QLabel#TileIco{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 #24365c,stop:1 #141f38);border-radius:11px;"
    "font-size:22px;color:#ffffff;}"
    "QLabel#TileTitle{color:#C9A84C;font-size:15px;font-weight:600;background:transparent;border:none;}"
    "QLabel#TileDesc{color:#8a93a6;font-size:12px;background:transparent;border:none;}");

QString tileStyle(bool selected)
{
    return TileStyle.arg(selected ? QStringLiteral("#fbf8ef") : QStringLiteral("#ffffff"),
                         selected ? QStringLiteral("#C9A84C") : QStringLiteral("#eef0f4"));
}

QLabel *caption(const QString &text, QWidget *parent)
{
    return styledLabel(text, QStringLiteral("color:#5a6478;font-size:13px;font-weight:500;"), parent);
}

// A caption over an edit, as one grid cell.
QVBoxLayout *field(const QString &captionText, QLineEdit *edit, QWidget *parent)
{
    auto *cell = new QVBoxLayout;
    cell->setSpacing(7);
    QLabel *label = caption(captionText, parent);
    label->setBuddy(edit);
    edit->setAccessibleName(captionText);
    cell->addWidget(label);
    cell->addWidget(edit);
    return cell;
}

} // namespace

QString ProfilePage::storageText(qint64 used, qint64 limit)
{
    return formatQuotaSize(used) + QStringLiteral(" / ") + (limit < 1 ? QStringLiteral("—") : formatQuotaSize(limit));
}

int ProfilePage::storagePercent(qint64 used, qint64 limit)
{
    if (limit < 1 || used <= 0)
        return 0;
    if (used >= limit)
        return 100;
    // Below the limit used * 100 fits unless the figures are beyond any real disk; then divide first.
    if (used > std::numeric_limits<qint64>::max() / 100)
        return int(used / (limit / 100));
    return int(used * 100 / limit);
}

ProfilePage::ProfilePage(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("PsPage"));
    setAttribute(Qt::WA_StyledBackground);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(24, 20, 24, 20);
    column->setSpacing(0);
    column->addWidget(
        styledLabel(QStringLiteral("个人中心"),
                    QStringLiteral("color:#1a1a2e;font-size:19px;font-weight:700;background:transparent;"), this));
    column->addSpacing(6);
    column->addWidget(styledLabel(QStringLiteral("管理你的个人资料、软件更新与容量购买"),
                                  QStringLiteral("color:#8a93a6;font-size:13px;background:transparent;"), this));
    column->addSpacing(16);

    auto *tiles = new QHBoxLayout;
    tiles->setSpacing(12);
    tiles->addWidget(buildTile(ProfileTile, QStringLiteral("👤"), QStringLiteral("个人资料"),
                               QStringLiteral("头像 · 姓名 · 手机号 · 公司")),
                     1);
    tiles->addWidget(
        buildTile(UpdateTile, QStringLiteral("🔄"), QStringLiteral("软件更新"), QStringLiteral("当前版本 · 检查更新")),
        1);
    tiles->addWidget(
        buildTile(CapacityTile, QStringLiteral("📐"), QStringLiteral("容量购买"), QStringLiteral("存储容量 · 扩容")), 1);
    column->addLayout(tiles);
    column->addSpacing(18);

    m_content = new QStackedWidget(this);
    m_content->setObjectName(QStringLiteral("PsContent"));
    m_content->addWidget(buildProfileSub());
    m_content->addWidget(buildUpdateSub());
    m_licensePage = new LicensePage(m_content);
    m_content->addWidget(m_licensePage);
    column->addWidget(m_content, 1);

    connect(m_licensePage, &LicensePage::renewed, this, [this] {
        emit licenseRenewed();
        reload();
    });
    connect(Session::instance(), &Session::capacityChanged, this, &ProfilePage::showStorage);

    showTile(ProfileTile);
    showStorage();
    // The profile is fetched when the page is shown (showEvent), not when the window is built.
}

ProfilePage::~ProfilePage() = default;

QWidget *ProfilePage::buildTile(int index, const QString &icon, const QString &title, const QString &description)
{
    auto *tile = new pfp::TileCard(this);
    tile->setObjectName(QStringLiteral("Tile"));
    tile->setCursor(Qt::PointingHandCursor);
    tile->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    tile->setFixedHeight(TileHeight);
    auto *row = new QHBoxLayout(tile);
    row->setContentsMargins(14, 12, 14, 12);
    row->setSpacing(12);
    auto *iconLabel = new QLabel(icon, tile);
    iconLabel->setObjectName(QStringLiteral("TileIco"));
    iconLabel->setAlignment(Qt::AlignCenter);
    iconLabel->setFixedSize(44, 44);
    row->addWidget(iconLabel, 0, Qt::AlignVCenter);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(3);
    auto *titleLabel = new QLabel(title, tile);
    titleLabel->setObjectName(QStringLiteral("TileTitle"));
    auto *descLabel = new QLabel(description, tile);
    descLabel->setObjectName(QStringLiteral("TileDesc"));
    descLabel->setWordWrap(true);
    texts->addWidget(titleLabel);
    texts->addWidget(descLabel);
    texts->addStretch();
    row->addLayout(texts, 1);
    tile->setAction([this, index] { showTile(index); });
    m_tiles.append(tile);
    return tile;
}

QWidget *ProfilePage::buildScrollingSub(QVBoxLayout **content)
{
    auto *sub = new QWidget(this);
    sub->setObjectName(QStringLiteral("PsSub"));
    sub->setAttribute(Qt::WA_StyledBackground);
    auto *layout = new QVBoxLayout(sub);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *scroll = new QScrollArea(sub);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet(QStringLiteral("QScrollArea{background:transparent;border:none;}"));
    auto *inner = new QWidget(scroll);
    inner->setStyleSheet(QStringLiteral("background:transparent;"));
    auto *innerLayout = new QVBoxLayout(inner);
    innerLayout->setContentsMargins(0, 0, 0, 0);
    innerLayout->setSpacing(16);
    scroll->setWidget(inner);
    layout->addWidget(scroll);
    scroll->viewport()->installEventFilter(this);
    m_follow.append(std::make_pair(scroll->viewport(), inner));
    *content = innerLayout;
    return sub;
}

QWidget *ProfilePage::buildProfileSub()
{
    QVBoxLayout *content = nullptr;
    QWidget *sub = buildScrollingSub(&content);
    QWidget *host = content->parentWidget();
    QVBoxLayout *panelLayout = nullptr;
    QFrame *panel = pfp::panel(host, QStringLiteral("头像与资料"), &panelLayout);
    panelLayout->setSpacing(16);

    auto *band = new QFrame(panel);
    band->setObjectName(QStringLiteral("IdBand"));
    band->setFixedHeight(108);
    band->setStyleSheet(QStringLiteral("#IdBand{background:qlineargradient(x1:0,y1:0,x2:1,y2:1,stop:0 #14203a,"
                                       "stop:0.55 #24365c,stop:1 #33507f);border-radius:14px;}"
                                       "#IdBand QLabel{background:transparent;border:none;}"));
    auto *bandRow = new QHBoxLayout(band);
    bandRow->setContentsMargins(22, 16, 22, 16);
    bandRow->setSpacing(18);
    m_avatar = new QLabel(band);
    m_avatar->setObjectName(QStringLiteral("PfAvatar"));
    m_avatar->setFixedSize(76, 76);
    m_avatar->setAlignment(Qt::AlignCenter);
    m_avatar->setStyleSheet(QStringLiteral("background:#eef3ff;border:2px solid rgba(255,255,255,0.92);"
                                           "border-radius:38px;font-size:30px;font-weight:700;color:#1A2A4A;"));
    bandRow->addWidget(m_avatar, 0, Qt::AlignVCenter);
    auto *names = new QVBoxLayout;
    names->setSpacing(4);
    names->addStretch();
    m_displayName =
        styledLabel(QStringLiteral("—"), QStringLiteral("color:#ffffff;font-size:19px;font-weight:700;"), band);
    m_displayName->setObjectName(QStringLiteral("PfDisplayName"));
    m_subLine = styledLabel(QString(), QStringLiteral("color:rgba(255,255,255,0.72);font-size:13px;"), band);
    m_subLine->setObjectName(QStringLiteral("PfSubLine"));
    names->addWidget(m_displayName);
    names->addWidget(m_subLine);
    names->addStretch();
    bandRow->addLayout(names, 1);
    auto *change = new QPushButton(QStringLiteral("更换头像"), band);
    change->setObjectName(QStringLiteral("GoldBtn"));
    change->setCursor(Qt::PointingHandCursor);
    change->setStyleSheet(
        QStringLiteral("QPushButton{background:#C9A84C;color:#1A2A4A;border:none;border-radius:8px;"
                       "font-size:13px;font-weight:600;padding:8px 18px;} "
                       "QPushButton:hover{background:#d9bd63;} QPushButton:pressed{background:#b8963f;}"));
    connect(change, &QPushButton::clicked, this, &ProfilePage::pickAvatar);
    bandRow->addWidget(change, 0, Qt::AlignVCenter);
    panelLayout->addWidget(band);

    panelLayout->addWidget(
        styledLabel(QStringLiteral("支持 JPG、PNG，≤ 2MB"), QStringLiteral("color:#a6adbb;font-size:12px;"), panel));
    panelLayout->addSpacing(16);
    panelLayout->addWidget(pfp::sectionHeading(QStringLiteral("账号信息"), panel));
    panelLayout->addSpacing(10);

    auto makeEdit = [panel](const QString &name, const QString &placeholder) {
        auto *edit = new QLineEdit(panel);
        edit->setObjectName(name);
        edit->setPlaceholderText(placeholder);
        return edit;
    };
    m_account = makeEdit(QStringLiteral("PfAccount"), QStringLiteral("登录用户名"));
    m_name = makeEdit(QStringLiteral("PfName"), QStringLiteral("请输入真实姓名"));
    m_phone = makeEdit(QStringLiteral("PfPhone"), QStringLiteral("用于安全验证与找回"));
    m_company = makeEdit(QStringLiteral("PfCompany"), QString());
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(24);
    grid->setVerticalSpacing(16);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->addLayout(field(QStringLiteral("账号"), m_account, panel), 0, 0);
    grid->addLayout(field(QStringLiteral("姓名"), m_name, panel), 0, 1);
    grid->addLayout(field(QStringLiteral("手机号"), m_phone, panel), 1, 0);
    grid->addLayout(field(QStringLiteral("公司名称"), m_company, panel), 1, 1);
    panelLayout->addLayout(grid);
    panelLayout->addSpacing(22);

    auto *store = new QFrame(panel);
    store->setObjectName(QStringLiteral("StoreInfo"));
    store->setStyleSheet(QStringLiteral("#StoreInfo{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 #f8fafd,"
                                        "stop:1 #eef3fb);border:1px solid #e9eef6;border-radius:12px;}"
                                        "#StoreInfo QLabel{background:transparent;border:none;}"));
    auto *storeColumn = new QVBoxLayout(store);
    storeColumn->setContentsMargins(18, 16, 18, 16);
    storeColumn->setSpacing(10);
    auto *storeRow = new QHBoxLayout;
    storeRow->addWidget(styledLabel(QStringLiteral("存储空间"),
                                    QStringLiteral("font-size:14px;font-weight:700;color:#1A2A4A;"), store));
    storeRow->addStretch();
    m_storageText =
        styledLabel(QStringLiteral("— / —"), QStringLiteral("font-size:13px;color:#5a6478;font-weight:600;"), store);
    m_storageText->setObjectName(QStringLiteral("PfStorageText"));
    storeRow->addWidget(m_storageText);
    storeColumn->addLayout(storeRow);
    m_storageBar = new QProgressBar(store);
    m_storageBar->setObjectName(QStringLiteral("PfStorageBar"));
    m_storageBar->setRange(0, 100);
    m_storageBar->setValue(0);
    m_storageBar->setTextVisible(false);
    m_storageBar->setFixedHeight(8);
    m_storageBar->setStyleSheet(QStringLiteral(
        "QProgressBar{background:#e3e9f2;border:none;border-radius:4px;}QProgressBar::chunk{background:qlineargradient("
        "x1:0,y1:0,x2:1,y2:0,stop:0 #C9A84C,stop:1 #24365c);border-radius:4px;}"));
    storeColumn->addWidget(m_storageBar);
    auto *storeNote =
        styledLabel(QStringLiteral("你的文件加密存储于托尔瓦云端，支持多端同步、随时上传下载；如需更大空间，"
                                   "可在「容量购买」页选购扩容档位。"),
                    QStringLiteral("font-size:12px;color:#8a93a6;"), store);
    storeNote->setWordWrap(true);
    storeColumn->addWidget(storeNote);
    panelLayout->addWidget(store);
    panelLayout->addSpacing(18);

    panelLayout->addWidget(pfp::rule(QStringLiteral("background:#eef0f4;border:none;"), panel));
    panelLayout->addSpacing(14);
    auto *saveRow = new QHBoxLayout;
    saveRow->addWidget(styledLabel(QStringLiteral("修改后点击「保存修改」生效"),
                                   QStringLiteral("color:#a6adbb;font-size:12px;"), panel));
    saveRow->addStretch();
    auto *save = new QPushButton(QStringLiteral("保存修改"), panel);
    save->setObjectName(QStringLiteral("Primary"));
    save->setCursor(Qt::PointingHandCursor);
    save->setMinimumSize(130, 38);
    save->setStyleSheet(
        QStringLiteral("QPushButton{background:#1677ff;color:#ffffff;border:none;border-radius:8px;"
                       "font-size:14px;font-weight:600;padding:8px 22px;} "
                       "QPushButton:hover{background:#3c8dff;} QPushButton:pressed{background:#0f5fd6;}"));
    connect(save, &QPushButton::clicked, this, &ProfilePage::saveProfile);
    saveRow->addWidget(save);
    panelLayout->addLayout(saveRow);
    panelLayout->addStretch();

    content->addWidget(panel, 1);
    return sub;
}

void ProfilePage::showTile(int index)
{
    if (index < 0 || index >= m_content->count())
        return;
    m_content->setCurrentIndex(index);
    for (int i = 0; i < m_tiles.size(); ++i)
        m_tiles.at(i)->setStyleSheet(tileStyle(i == index));
}

int ProfilePage::currentTile() const
{
    return m_content->currentIndex();
}

bool ProfilePage::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize) {
        for (const auto &[viewport, content] : std::as_const(m_follow)) {
            if (viewport == watched)
                content->setMinimumHeight(static_cast<QResizeEvent *>(event)->size().height());
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ProfilePage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    reload();
}

void ProfilePage::reload()
{
    QPointer<ProfilePage> self(this);
    const int request = ++m_profileRequest;
    Api::getProfile([self, request](const HttpResponse &response) {
        if (!self || request != self->m_profileRequest)
            return;
        QJsonObject data;
        QString error;
        if (response.unwrap(data, error))
            self->showProfile(data);
    });
}

void ProfilePage::showProfile(const QJsonObject &profile)
{
    m_profile = profile;
    m_avatarUrl = jsonText(profile, QStringLiteral("avatar_url"));
    m_displayNameText = jsonText(profile, QStringLiteral("name"));
    const QString username = profile.value(QStringLiteral("username")).toString();
    const QString company = profile.value(QStringLiteral("company_name")).toString();
    m_account->setText(username);
    m_name->setText(profile.value(QStringLiteral("name")).toString());
    m_phone->setText(profile.value(QStringLiteral("phone")).toString());
    m_company->setText(company);
    showAvatar();
    m_displayName->setText(m_displayNameText.isEmpty() ? QStringLiteral("未命名用户") : m_displayNameText);
    QString subLine = QStringLiteral("@") + username;
    if (!company.isEmpty())
        subLine += QStringLiteral("  ·  ") + company;
    m_subLine->setText(subLine);
    showStorage();
}

void ProfilePage::showAvatar()
{
    const QPixmap picture = roundAvatarPixmap(m_avatarUrl, AvatarSize);
    if (picture.isNull()) {
        m_avatar->setPixmap(QPixmap());
        m_avatar->setText(avatarInitial(m_displayNameText));
    } else {
        m_avatar->setText(QString());
        m_avatar->setPixmap(picture);
    }
}

void ProfilePage::showStorage()
{
    const Session *session = Session::instance();
    m_storageText->setText(storageText(session->storageUsed, session->storageLimit));
    m_storageBar->setValue(storagePercent(session->storageUsed, session->storageLimit));
}

void ProfilePage::saveProfile()
{
    const QString account = m_account->text().trimmed();
    const QString name = m_name->text().trimmed();
    const QString phone = m_phone->text().trimmed();
    const QString company = m_company->text().trimmed();
    // Counted in characters, as the server counts them: a character outside the BMP is one, not two.
    const qsizetype accountLength = account.toUcs4().size();
    if (accountLength < AccountMinLength || accountLength > AccountMaxLength) {
        Cdlg::info(this, QStringLiteral("提示"), QStringLiteral("用户名长度需在 2-32 个字符"));
        return;
    }
    if (name.isEmpty()) {
        Cdlg::info(this, QStringLiteral("提示"), QStringLiteral("姓名不能为空"));
        return;
    }
    if (!phone.isEmpty() && !isValidPhone(phone)) {
        Cdlg::info(this, QStringLiteral("提示"), QStringLiteral("手机号格式不正确"));
        return;
    }

    QJsonObject body{
        {QStringLiteral("name"), name}, {QStringLiteral("phone"), phone}, {QStringLiteral("companyName"), company}};
    if (account != Session::instance()->username)
        body.insert(QStringLiteral("username"), account);
    QPointer<ProfilePage> self(this);
    Api::saveProfile(body, [self, account, name, phone, company](const HttpResponse &response) {
        if (!self)
            return;
        // A refusal can come with any status: only the envelope says whether the name was taken.
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error)) {
            Cdlg::info(self, QStringLiteral("保存失败"), error);
            return;
        }
        Session *session = Session::instance();
        session->name = name;
        emit session->changed();
        session->phone = phone;
        emit session->changed();
        session->setCompanyName(company);
        if (account != session->username) {
            session->username = account;
            emit session->changed();
        }
        emit self->profileSaved();
        Cdlg::info(self, QStringLiteral("完成"), QStringLiteral("资料已保存"));
        if (self) // the notice runs its own event loop
            self->reload();
    });
}

void ProfilePage::pickAvatar()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("选择头像"), QString(),
                                                      QStringLiteral("图片 (*.png *.jpg *.jpeg)"));
    if (path.isEmpty())
        return;
    uploadAvatar(path);
}

void ProfilePage::uploadAvatar(const QString &localPath)
{
    QPointer<ProfilePage> self(this);
    Api::uploadAvatar(localPath, [self](const HttpResponse &response) {
        if (!self)
            return;
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error)) {
            Cdlg::info(self, QStringLiteral("上传失败"), error);
            return;
        }
        QString url = jsonText(data, QStringLiteral("avatar_url"));
        if (url.isEmpty())
            url = jsonText(data, QStringLiteral("avatar"));
        if (!url.isEmpty()) {
            Session::instance()->avatarUrl = url;
            emit Session::instance()->changed();
            self->m_avatarUrl = url;
        }
        self->showAvatar();
        emit self->profileSaved();
        Cdlg::info(self, QStringLiteral("完成"), QStringLiteral("头像已更新"));
    });
}
