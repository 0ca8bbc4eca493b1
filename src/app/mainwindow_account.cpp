// The main window's view of the signed-in account: title, header user, quota, company, logout.
#include "app/mainwindow.h"

#include "app/capacitybanner.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "transfer/transfermanager.h"
#include "ui/roundavatar.h"

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {
constexpr int HeaderAvatarSize = 28;
} // namespace

QString MainWindow::titleText()
{
    const Session *session = Session::instance();
    QString text = QStringLiteral("托尔瓦企业存储");
    if (!session->companyName.isEmpty())
        text += QStringLiteral(" - %1").arg(session->companyName);
    text += QStringLiteral(" - %1").arg(session->username);
    return text;
}

void MainWindow::refreshUserInfo()
{
    const Session *session = Session::instance();
    const QString displayName = session->name.isEmpty() ? session->username : session->name;
    m_nameLabel->setText(displayName.isEmpty() ? QStringLiteral("用户") : displayName);

    const QPixmap avatar = roundAvatarPixmap(session->avatarUrl, HeaderAvatarSize);
    if (avatar.isNull()) {
        m_avatarLabel->setPixmap(QPixmap());
        m_avatarLabel->setText(avatarInitial(displayName));
    } else {
        m_avatarLabel->setPixmap(avatar);
        m_avatarLabel->setText(QString());
    }

    const QString title = titleText();
    setWindowTitle(title);
    m_titleLabel->setText(title);
    refreshTrayToolTip();
}

void MainWindow::showQuota()
{
    const Session *session = Session::instance();
    m_quotaLabel->setText(quotaText(session->storageUsed, session->storageLimit));
    m_quotaBar->setValue(quotaPercent(session->storageUsed, session->storageLimit));
}

void MainWindow::refreshCapacity()
{
    m_banner->refreshCapacity();
    showQuota();
}

void MainWindow::refreshCompanyName()
{
    m_banner->refreshCompanyName();
}

void MainWindow::loadExpiryBanner()
{
    m_banner->loadExpiryBanner();
}

void MainWindow::doLogout()
{
    if (m_quitting)
        return;
    m_quitting = true;
    // The request carries the token (headers are taken now), so the session can end at once; but
    // the process must live until the server has heard it, or the token stays valid there.
    QPointer<MainWindow> self(this);
    HttpClient::instance()->post(QStringLiteral("/api/logout"), QJsonValue(), [self](const HttpResponse &) {
        if (self)
            self->finishLogout();
    });
    // Jobs stop as paused and stay in the store for the next sign-in; none runs without a session.
    TransferManager::instance()->closeStore();
    Session::instance()->clear();
    if (m_tray)
        m_tray->hide();
    close();
    // An unreachable or hanging server must not keep the program alive for long.
    m_logoutTimer = new QTimer(this);
    m_logoutTimer->setSingleShot(true);
    connect(m_logoutTimer, &QTimer::timeout, this, &MainWindow::finishLogout);
    m_logoutTimer->start(LogoutGraceMs);
}

void MainWindow::finishLogout()
{
    if (m_logoutFinished)
        return;
    m_logoutFinished = true;
    if (m_logoutTimer)
        m_logoutTimer->stop();
    emit logoutRequested();
}
