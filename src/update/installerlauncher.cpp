#include "update/installerlauncher.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace {
const QString LaunchFailedText = QStringLiteral("无法启动安装程序");
const QString MissingText = QStringLiteral("安装包不存在，请重新下载");
} // namespace

bool InstallerLauncher::isPackage(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return false;
#else
    return path.endsWith(QLatin1String(".deb"), Qt::CaseInsensitive);
#endif
}

bool InstallerLauncher::launch(const QString &path, QString *errorText)
{
    const auto fail = [errorText](const QString &text) {
        if (errorText)
            *errorText = text;
        return false;
    };
    const QFileInfo info(path);
    // Only the regular file that was verified is started, never something a link points to.
    if (path.isEmpty() || !info.isFile() || info.isSymLink())
        return fail(MissingText);
    if (isPackage(path))
        return QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath())) ? true : fail(LaunchFailedText);
#ifndef Q_OS_WIN
    if (!QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner | QFileDevice::ExeUser))
        return fail(LaunchFailedText);
#endif
    if (!QProcess::startDetached(info.absoluteFilePath(), {}, info.absolutePath()))
        return fail(LaunchFailedText);
    return true;
}
