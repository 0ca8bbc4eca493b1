// The main window's view of the signed-in account: title, header user, quota, company, logout.
#include "app/mainwindow.h"

#include "app/capacitybanner.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "ui/roundavatar.h"

#include <QLabel>
#include <QProgressBar>
#include <QSystemTrayIcon>

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
    if (m_tray)
        m_tray->setToolTip(title);
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
    m_quitting = true;
    // Fire and forget: the session ends here even when the server cannot be reached.
    HttpClient::instance()->post(QStringLiteral("/api/logout"), QJsonValue(), [](const HttpResponse &) {});
    Session::instance()->clear();
    if (m_tray)
        m_tray->hide();
    emit logoutRequested();
    close();
}
