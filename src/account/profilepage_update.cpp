// The software update sub-page of the personal centre.
#include "account/profilepage.h"

#include "account/profilepanels.h"
#include "app/supportcontacts.h"
#include "ui/cdlg.h"
#include "ui/progresscard.h"
#include "update/installerlauncher.h"
#include "update/updatechecker.h"

#include <QCoreApplication>
#include <QProgressBar>

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString AppVersion = QStringLiteral("2.1.23");
const QString Grey = QStringLiteral("#8a93a6");
const QString Slate = QStringLiteral("#5a6478");
const QString CheckText = QStringLiteral("检查更新");
const QString HelpEmail = QStringLiteral("support@tolvar.cn");
const QString RightsText = QStringLiteral("© 2019-2026 托尔瓦软件 版权所有");

QString supportText()
{
    using namespace SupportContacts;
    const QString gap = QStringLiteral("      ");
    return QStringLiteral("QQ：") + QLatin1String(QqNumber) + gap + QStringLiteral("电话：") +
           QLatin1String(Telephone) + gap + QStringLiteral("官网：") + QLatin1String(Website) + gap +
           QStringLiteral("帮助支持：") + HelpEmail;
}

} // namespace

QWidget *ProfilePage::buildUpdateSub()
{
    QVBoxLayout *content = nullptr;
    QWidget *sub = buildScrollingSub(&content);
    QWidget *host = content->parentWidget();
    QVBoxLayout *column = nullptr;
    QFrame *panel = pfp::panel(host, QString(), &column);
    column->setSpacing(6);

    column->addWidget(pfp::plainHeading(QStringLiteral("关于与更新"), panel));
    column->addSpacing(4);
    column->addWidget(pfp::paragraph(
        QStringLiteral("托尔瓦企业存储 —— 面向企业的一体化云存储系统，安全稳定 · 高效协同。"
                       "文件数据全部保存在服务器端，升级仅替换程序本体，已上传文件、目录与设置均不受影响。"),
        Slate, 13, panel));
    column->addSpacing(10);

    auto *versionRow = new QFrame(panel);
    versionRow->setObjectName(QStringLiteral("VerRow"));
    versionRow->setStyleSheet(QStringLiteral("#VerRow{background:#f5f7fa;border:1px solid #eef0f4;border-radius:10px;}"
                                             "#VerRow QLabel{background:transparent;border:none;}"));
    auto *versionLayout = new QHBoxLayout(versionRow);
    versionLayout->setContentsMargins(16, 12, 16, 12);
    versionLayout->setSpacing(16);
    versionLayout->addWidget(
        pfp::styledLabel(QStringLiteral("当前版本"), QStringLiteral("color:#8a93a6;font-size:13px;"), versionRow));
    auto *version = pfp::styledLabel(QStringLiteral("v%1").arg(AppVersion),
                                     QStringLiteral("color:#1A2A4A;font-size:15px;font-weight:700;"), versionRow);
    version->setObjectName(QStringLiteral("PfVersion"));
    versionLayout->addWidget(version);
    versionLayout->addStretch();
    column->addWidget(versionRow);
    column->addSpacing(12);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->setContentsMargins(0, 0, 0, 0);
    m_checkButton = new QPushButton(CheckText, panel);
    m_checkButton->setObjectName(QStringLiteral("PfCheckUpdate"));
    m_checkButton->setCursor(Qt::PointingHandCursor);
    m_checkButton->setFixedHeight(34);
    m_checkButton->setMinimumWidth(96);
    m_checkButton->setStyleSheet(QStringLiteral(
        "QPushButton{background:#C9A84C;color:#1A2A4A;border:none;border-radius:8px;font-size:13px;font-weight:700;"
        "padding:6px 18px;} QPushButton:hover{background:#d9bd63;} QPushButton:pressed{background:#b8963f;} "
        "QPushButton:disabled{background:#e3d3a0;color:#8a7a45;}"));
    connect(m_checkButton, &QPushButton::clicked, this, &ProfilePage::checkForUpdate);
    buttonRow->addWidget(m_checkButton);
    buttonRow->addStretch();
    column->addLayout(buttonRow);
    column->addSpacing(8);
    column->addWidget(pfp::paragraph(QStringLiteral("发现新版本会弹窗提示，你可选择立即更新或稍后；文件数据不受影响。"),
                                     Grey, 12, panel));
    column->addSpacing(14);

    column->addWidget(pfp::plainHeading(QStringLiteral("关于自动更新"), panel));
    column->addSpacing(4);
    column->addWidget(pfp::paragraph(
        QStringLiteral(
            "软件启动时会自动在线检测新版本（铃铛提示）。更新仅替换程序本体，文件、目录与设置均保存在服务器，"
            "不受影响；建议在联网状态下保持更新，以获取最新功能与问题修复。"),
        Slate, 13, panel));
    column->addSpacing(14);

    column->addWidget(pfp::plainHeading(QStringLiteral("使用说明"), panel));
    column->addSpacing(4);
    column->addWidget(pfp::paragraph(
        QStringLiteral("左侧按分类浏览文件（全部文件 / 图片 / 视频 / 文档 / 音频 / 保险箱 / 回收站）；支持拖拽上传，"
                       "右键可打开、下载、重命名与移动，删除的文件进入回收站可还原；保险箱用于存放私密加密文件。"),
        Slate, 13, panel));
    column->addSpacing(4);
    const char *const tips[] = {
        "·  上传：将文件拖入窗口或点击上传，大文件自动分片、断点续传。",
        "·  打开：双击或右键「打开」，文件先下载到本地，再用系统默认程序打开。",
        "·  下载与整理：右键「下载」保存到本地，「移动 / 重命名」归类到不同目录。",
        "·  回收站：删除的文件暂存于此，可随时还原或彻底清空。",
        "·  保险箱：设置密码后进入，文件加密保存，换机或离职数据不受影响。",
    };
    for (const char *tip : tips)
        column->addWidget(pfp::paragraph(QString::fromUtf8(tip), Slate, 12, panel));
    column->addSpacing(14);

    column->addWidget(pfp::plainHeading(QStringLiteral("技术支持"), panel));
    column->addSpacing(4);
    column->addWidget(pfp::paragraph(supportText(), Slate, 13, panel));
    column->addSpacing(2);
    column->addWidget(pfp::paragraph(RightsText, QStringLiteral("#a6adbb"), 12, panel));
    column->addStretch();

    content->addWidget(panel, 1);

    m_checker = new UpdateChecker(UpdateChecker::platformChannel(), AppVersion, this);
    connect(m_checker, &UpdateChecker::checked, this, &ProfilePage::onUpdateChecked);
    connect(m_checker, &UpdateChecker::failed, this, &ProfilePage::onUpdateFailed);
    connect(m_checker, &UpdateChecker::downloaded, this, &ProfilePage::onUpdateDownloaded);
    connect(m_checker, &UpdateChecker::progress, this, [this](int percent) {
        if (m_progressCard)
            m_progressCard->progressBar()->setValue(percent);
    });
    connect(m_checker, &UpdateChecker::speedInfo, this, [this](const QString &text) {
        if (m_progressCard)
            m_progressCard->messageLabel()->setText(QStringLiteral("正在下载新版本…  %1").arg(text));
    });
    return sub;
}

void ProfilePage::checkForUpdate()
{
    // The bell's update row can ask again while the button's own check or a download is running.
    if (!m_checker || !m_checkButton->isEnabled() || (m_progressCard && m_progressCard->isVisible()))
        return;
    m_checkButton->setEnabled(false);
    m_checkButton->setText(QStringLiteral("正在检查…"));
    m_checker->check();
}

void ProfilePage::onUpdateChecked(bool hasUpdate, const QString &latestVersion)
{
    m_checkButton->setEnabled(true);
    m_checkButton->setText(CheckText);
    if (!hasUpdate) {
        Cdlg::info(this, QStringLiteral("检查更新"), QStringLiteral("当前已是最新版本 v%1").arg(AppVersion));
        return;
    }
    QPointer<ProfilePage> self(this);
    const bool agreed = Cdlg::confirm(
        this, QStringLiteral("发现新版本"),
        QStringLiteral(
            "发现新版本 v%1，是否立即下载？\n（下载完成后将弹出安装向导，按提示手动完成安装）\n\n当前版本：v%2")
            .arg(latestVersion, AppVersion),
        QStringLiteral("立即下载"));
    if (self && agreed)
        self->startUpdateDownload();
}

void ProfilePage::startUpdateDownload()
{
    // A card reports its cancel only once in its life, so every download gets a fresh one.
    if (m_progressCard) {
        m_progressCard->disconnect(this);
        m_progressCard->hide();
        m_progressCard->deleteLater();
    }
    m_progressCard = new Cdlg::ProgressCard(QStringLiteral("下载更新"), this, QStringLiteral("取消"),
                                            QStringLiteral("正在准备下载…"));
    m_progressCard->setObjectName(QStringLiteral("PfUpdateProgress"));
    m_progressCard->setWindowModality(Qt::ApplicationModal);
    QPointer<ProfilePage> self(this);
    QPointer<Cdlg::ProgressCard> card(m_progressCard);
    connect(m_progressCard, &Cdlg::ProgressCard::canceled, this, [self, card] {
        if (!self)
            return;
        self->m_checker->cancelDownload();
        if (card)
            card->hide();
    });
    m_progressCard->progressBar()->setValue(0);
    m_progressCard->show();
    m_checker->downloadInstaller();
}

void ProfilePage::dismissProgressCard()
{
    if (!m_progressCard)
        return;
    // The transfer has ended already; closing the card must not report a cancel.
    m_progressCard->disconnect(this);
    if (m_progressCard->isVisible())
        m_progressCard->close();
}

void ProfilePage::onUpdateFailed(const QString &message)
{
    m_checkButton->setEnabled(true);
    m_checkButton->setText(CheckText);
    // A failed download must not leave its progress card standing.
    dismissProgressCard();
    Cdlg::info(this, QStringLiteral("软件更新"), message);
}

void ProfilePage::onUpdateDownloaded(const QString &path)
{
    dismissProgressCard();
    QPointer<ProfilePage> self(this);
    const bool install = Cdlg::confirm(
        this, QStringLiteral("更新"),
        QStringLiteral("新版本下载完成，是否立即安装？\n单击「立即安装」将弹出安装向导，按提示完成更新。"),
        QStringLiteral("立即安装"));
    if (!self || !install)
        return;
    QString error;
    if (InstallerLauncher::launch(path, &error)) {
        QCoreApplication::quit();
        return;
    }
    Cdlg::info(self, QStringLiteral("软件更新"), error);
}
