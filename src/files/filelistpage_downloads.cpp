// Getting files out of the file list page: single downloads, opening with the default
// application, and pack-download of several entries.
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/formatting.h"
#include "net/httpresponse.h"
#include "transfer/downloader.h"
#include "transfer/downloadregistry.h"
#include "transfer/transfermanager.h"
#include "ui/cdlg.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

namespace {
const QString IdKey = QStringLiteral("id");
const QString NameKey = QStringLiteral("name");
const QString NothingSelectedText = QStringLiteral("请先选择要下载的文件");

QString &testDownloadDir()
{
    static QString dir;
    return dir;
}

FileListPage::UrlOpener &urlOpener()
{
    static FileListPage::UrlOpener opener;
    return opener;
}

QString encoded(const QString &id)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}
} // namespace

QString FileListPage::downloadDir()
{
    const QString dir = testDownloadDir();
    if (dir.isEmpty())
        return TransferManager::instance()->downloadDir(); // the user's choice, else Downloads
    QDir().mkpath(dir);
    return dir;
}

void FileListPage::setDownloadDirForTests(const QString &dir)
{
    testDownloadDir() = dir;
}

void FileListPage::setUrlOpener(UrlOpener opener)
{
    urlOpener() = std::move(opener);
}

bool FileListPage::openUrl(const QUrl &url)
{
    if (urlOpener())
        return urlOpener()(url);
    return QDesktopServices::openUrl(url);
}

QString FileListPage::packFileName(const QDateTime &when)
{
    return QStringLiteral("打包下载_%1.zip").arg(when.toString(QStringLiteral("yyyyMMdd_HHmmss")));
}

QString FileListPage::downloadUrl(const QString &id) const
{
    if (isTeamMode())
        return QStringLiteral("/api/teams/") + encoded(m_teamId) + QStringLiteral("/files/") + encoded(id) +
               QStringLiteral("/download");
    return QStringLiteral("/api/files/") + encoded(id) + QStringLiteral("/download");
}

void FileListPage::downloadRecord(const QJsonObject &record)
{
    startDownload(downloadUrl(jsonText(record, IdKey)), jsonText(record, NameKey));
}

void FileListPage::startDownload(const QString &path, const QString &fileName)
{
    // One job per target: a second click while the first still runs would share its side file.
    const QString dir = downloadDir();
    TransferManager *transfers = TransferManager::instance();
    TransferTask *task = transfers->isTargetBusy(Downloader::targetPath(dir, fileName))
                             ? nullptr
                             : transfers->addDownload(path, dir, fileName);
    if (!task) {
        m_statusLabel->setText(DownloadRegistry::busyText(fileName));
        return;
    }
    task->disconnect(this); // a paused job taken up again is reported once
    m_statusLabel->setText(QStringLiteral("开始下载 %1 …").arg(fileName));
    connect(
        task, &TransferTask::sigDownloadProgress, this,
        [this, fileName](qlonglong done, qlonglong total, qlonglong speed, int) {
            const QString totalText = total > 0 ? formatSize(total) : QStringLiteral("…");
            m_statusLabel->setText(
                QStringLiteral("下载 %1：%2 / %3  %4").arg(fileName, formatSize(done), totalText, formatSpeed(speed)));
        });
    connect(task, &TransferTask::sigDone, this, [this, fileName, task] {
        m_statusLabel->setText(QStringLiteral("已下载：%1").arg(fileName));
        openUrl(QUrl::fromLocalFile(QFileInfo(task->finalPath()).absolutePath()));
    });
    connect(task, &TransferTask::sigFailed, this,
            [this](const QString &err) { m_statusLabel->setText(QStringLiteral("下载失败：%1").arg(err)); });
}

void FileListPage::openFile(const QJsonObject &record)
{
    const QString name = jsonText(record, NameKey);
    const QString dir = downloadDir();
    TransferManager *transfers = TransferManager::instance();
    TransferTask *task = transfers->isTargetBusy(Downloader::targetPath(dir, name))
                             ? nullptr
                             : transfers->addDownload(downloadUrl(jsonText(record, IdKey)), dir, name, true);
    if (!task) {
        m_statusLabel->setText(DownloadRegistry::busyText(name));
        return;
    }
    task->disconnect(this);
    m_statusLabel->setText(QStringLiteral("正在打开 %1 …").arg(name));
    connect(task, &TransferTask::sigDone, this, [this, name, task] {
        const QString absPath = task->finalPath();
        if (openUrl(QUrl::fromLocalFile(absPath)))
            return;
        // No application takes this kind of file: say so, and offer its folder. Asked from the
        // event loop, not from inside the download's last signal.
        m_statusLabel->setText(QStringLiteral("没有可以打开「%1」的应用程序，文件已保存到下载文件夹").arg(name));
        QTimer::singleShot(0, this, [this, name, absPath] {
            const QString message =
                QStringLiteral("系统中没有可以打开「%1」的应用程序。\n文件已保存在：%2\n是否打开所在文件夹？")
                    .arg(name, QDir::toNativeSeparators(absPath));
            if (Cdlg::confirm(this, QStringLiteral("打开"), message, QStringLiteral("打开文件夹")))
                openUrl(QUrl::fromLocalFile(QFileInfo(absPath).absolutePath()));
        });
    });
    connect(task, &TransferTask::sigFailed, this,
            [this](const QString &err) { m_statusLabel->setText(QStringLiteral("打开失败：%1").arg(err)); });
}

void FileListPage::downloadButtonClicked()
{
    const QList<int> rows = selectedRows();
    if (rows.isEmpty())
        Cdlg::info(this, QStringLiteral("下载"), NothingSelectedText);
    else if (rows.size() == 1)
        downloadRecord(m_model->rowAt(rows.first()));
    else
        Cdlg::info(this, QStringLiteral("下载"), QStringLiteral("多项请使用「打包下载」"));
}

void FileListPage::packDownloadButtonClicked()
{
    const QList<int> rows = selectedRows();
    if (rows.isEmpty())
        Cdlg::info(this, QStringLiteral("打包下载"), NothingSelectedText);
    else if (rows.size() == 1)
        downloadRecord(m_model->rowAt(rows.first()));
    else
        downloadSelected();
}

void FileListPage::downloadSelected()
{
    const QList<int> rows = selectedRows();
    if (rows.isEmpty())
        return;
    if (rows.size() == 1) {
        downloadRecord(m_model->rowAt(rows.first()));
        return;
    }
    QStringList ids;
    for (int row : rows)
        ids.append(jsonText(m_model->rowAt(row), IdKey));

    // Two archives asked for within the same second must not share a name (nor its side file).
    const QString dir = downloadDir();
    TransferManager *transfers = TransferManager::instance();
    const QString fileName = transfers->freeName(dir, packFileName(QDateTime::currentDateTime()));
    const QString savePath = QDir(dir).absoluteFilePath(fileName);
    TransferTask *task = transfers->addPackDownload(ids, savePath);
    connect(task, &TransferTask::sigResponse, this, [this, fileName, savePath](const HttpResponse &response) {
        if (response.ok) {
            m_statusLabel->setText(QStringLiteral("已打包下载：") + fileName);
            openUrl(QUrl::fromLocalFile(QFileInfo(savePath).absolutePath()));
            return;
        }
        // The server's message first, then its error, then the transport's text.
        QString text;
        if (response.json.isObject()) {
            const QJsonObject object = response.json.toObject();
            text = jsonText(object, QStringLiteral("message"));
            if (text.isEmpty())
                text = jsonText(object, QStringLiteral("error"));
        }
        if (text.isEmpty())
            text = response.error;
        m_statusLabel->setText(QStringLiteral("打包失败：%1").arg(text));
    });
}
