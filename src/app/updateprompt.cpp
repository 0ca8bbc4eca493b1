#include "app/updateprompt.h"

#include "ui/cdlg.h"
#include "ui/progresscard.h"
#include "update/installerlauncher.h"
#include "update/updatechecker.h"

#include <QLabel>
#include <QProgressBar>
#include <QWidget>

namespace {
const QString FlowTitle = QStringLiteral("软件更新");
} // namespace

UpdatePrompt::UpdatePrompt(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    m_checker = new UpdateChecker(UpdateChecker::platformChannel(), QLatin1String(UpdateChecker::CurrentVersion), this);
    m_checker->setObjectName(QStringLiteral("PromptUpdateChecker"));
    connect(m_checker, &UpdateChecker::checked, this, &UpdatePrompt::onChecked);
    connect(m_checker, &UpdateChecker::downloaded, this, &UpdatePrompt::onDownloaded);
    connect(m_checker, &UpdateChecker::failed, this, &UpdatePrompt::onFailed);
    connect(m_checker, &UpdateChecker::progress, this, [this](int percent) {
        if (m_card)
            m_card->progressBar()->setValue(percent);
    });
    connect(m_checker, &UpdateChecker::speedInfo, this, [this](const QString &text) {
        if (m_card)
            m_card->messageLabel()->setText(QStringLiteral("正在下载安装包… %1").arg(text));
    });
}

UpdatePrompt::~UpdatePrompt()
{
    if (m_card)
        delete m_card.data();
}

void UpdatePrompt::run()
{
    if (m_running)
        return;
    m_running = true;
    m_checker->check();
}

void UpdatePrompt::onChecked(bool hasUpdate, const QString &latestVersion)
{
    if (!hasUpdate) {
        m_running = false;
        Cdlg::info(m_window, FlowTitle,
                   QStringLiteral("当前已是最新版本（v%1）").arg(QLatin1String(UpdateChecker::CurrentVersion)));
        return;
    }
    const QPointer<UpdatePrompt> self(this);
    const bool agreed =
        Cdlg::confirm(m_window, FlowTitle, QStringLiteral("发现新版本 v%1，是否立即下载？").arg(latestVersion),
                      QStringLiteral("立即下载"));
    if (!self)
        return;
    if (!agreed) {
        m_running = false;
        return;
    }
    auto *card = new Cdlg::ProgressCard(QStringLiteral("下载更新"), m_window, QStringLiteral("取消"),
                                        QStringLiteral("正在下载安装包…"));
    card->setAttribute(Qt::WA_DeleteOnClose);
    card->progressBar()->setRange(0, 100);
    card->progressBar()->setValue(0);
    m_card = card;
    connect(card, &Cdlg::ProgressCard::canceled, this, [this] {
        m_checker->cancelDownload();
        m_running = false;
    });
    card->show();
    m_checker->downloadInstaller();
}

void UpdatePrompt::onDownloaded(const QString &path)
{
    closeCard();
    const QPointer<UpdatePrompt> self(this);
    const bool install = Cdlg::confirm(m_window, FlowTitle, QStringLiteral("安装包已下载并通过校验，是否立即安装？"),
                                       QStringLiteral("立即安装"));
    if (!self)
        return;
    m_running = false;
    if (!install)
        return;
    QString errorText;
    if (!InstallerLauncher::launch(path, &errorText))
        Cdlg::info(m_window, QStringLiteral("启动安装失败"), errorText);
}

void UpdatePrompt::onFailed(const QString &message)
{
    closeCard();
    m_running = false;
    Cdlg::info(m_window, FlowTitle, message);
}

void UpdatePrompt::closeCard()
{
    if (!m_card)
        return;
    // Closed by the flow, not by the user: its cancel must not fire.
    m_card->disconnect(this);
    m_card->close();
}
