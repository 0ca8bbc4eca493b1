// The unlocked vault: its file list, and uploading, downloading and deleting encrypted files.
#include "spaces/vaultpage.h"

#include "files/filechangenotifier.h"
#include "files/fileicons.h"
#include "files/filelistpage.h"
#include "files/filerecord.h"
#include "files/formatting.h"
#include "net/httpclient.h"
#include "net/httpresponse.h"
#include "transfer/downloadregistry.h"
#include "transfer/transfermanager.h"
#include "ui/cdlg.h"
#include "ui/offlineoverlay.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <memory>

namespace {

const QString IdKey = QStringLiteral("id");
const QString NameKey = QStringLiteral("name");
const QString SizeKey = QStringLiteral("size");
const QString UploadPausedText = QStringLiteral("已暂停，恢复连接后继续");

const QString TableStyle = QStringLiteral(
    "QTableWidget{border:none;background:#ffffff;gridline-color:transparent;}"
    "QTableWidget::item{padding:6px 6px 6px 14px;border:none;border-bottom:1px solid #f2f4f8;color:#3a4a63;}"
    "QHeaderView::section{background:#f3f6fb;color:#33415c;padding:8px;border:none;"
    "border-bottom:1px solid #e6ecf5;font-weight:600;}");

constexpr int RowHeight = 46;
constexpr int ActionColumnWidth = 160;
constexpr int IconSize = 20;
constexpr int UploadMinHeight = 38;

QString countText(int count)
{
    return QStringLiteral("共 %1 个加密文件").arg(count);
}

QString filePath(const QString &id)
{
    return QStringLiteral("/api/vault/files/") + QString::fromLatin1(QUrl::toPercentEncoding(id));
}

QPushButton *linkButton(const QString &text, const QString &objectName, const QString &color, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(objectName);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton{background:transparent;border:none;color:%1;} "
                                         "QPushButton:hover{text-decoration:underline;}")
                              .arg(color));
    return button;
}

} // namespace

QWidget *VaultPage::buildFilesPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    auto *row = new QHBoxLayout;
    m_countLabel = new QLabel(countText(0), page);
    m_countLabel->setObjectName(QStringLiteral("VaultCount"));
    m_countLabel->setStyleSheet(QStringLiteral("color:#666;font-size:13px;background:transparent;"));
    QPushButton *upload = goldButton(QStringLiteral("↑ 加密上传"), page);
    upload->setObjectName(QStringLiteral("VaultUpload"));
    upload->setMinimumHeight(UploadMinHeight);
    row->addWidget(m_countLabel);
    row->addStretch(1);
    row->addWidget(upload);
    layout->addLayout(row);

    m_table = new QTableWidget(0, 3, page);
    m_table->setObjectName(QStringLiteral("VaultTable"));
    m_table->setAccessibleName(QStringLiteral("保险箱文件"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("文件名"), QStringLiteral("大小"), QStringLiteral("操作")});
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setShowGrid(false);
    m_table->setStyleSheet(TableStyle);
    m_table->setIconSize(QSize(IconSize, IconSize));
    QHeaderView *header = m_table->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(2, QHeaderView::Fixed);
    header->resizeSection(2, ActionColumnWidth);
    m_table->verticalHeader()->setDefaultSectionSize(RowHeight);
    layout->addWidget(m_table, 1);

    m_emptyHint =
        new QLabel(QStringLiteral("保险箱里还没有文件\n点击右上角「↑ 加密上传」选择文件，文件加密后保存在这里"), page);
    m_emptyHint->setObjectName(QStringLiteral("VaultEmptyHint"));
    m_emptyHint->setAlignment(Qt::AlignCenter);
    m_emptyHint->setWordWrap(true);
    m_emptyHint->setStyleSheet(QStringLiteral("color:#8c8c8c;font-size:14px;background:transparent;padding:60px 0;"));
    m_emptyHint->hide();
    layout->addWidget(m_emptyHint, 1);

    connect(upload, &QPushButton::clicked, this, &VaultPage::chooseAndUpload);
    return page;
}

void VaultPage::loadFiles()
{
    // The rows stay until an answer replaces them.
    const quint64 generation = ++m_listGeneration;
    QPointer<VaultPage> self(this);
    HttpClient::instance()->get(QStringLiteral("/api/vault/files"), [self, generation](const HttpResponse &response) {
        if (self && generation == self->m_listGeneration)
            self->applyFiles(response);
    });
}

void VaultPage::applyFiles(const HttpResponse &response)
{
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        if (response.networkError) {
            // The vault is as it was; only the server cannot be reached.
            m_overlay->showFailure(response);
            return;
        }
        // Mostly a lapsed unlock: the person unlocks again, and the names stay out of sight until then.
        // The token is left for the status to judge.
        m_overlay->hide();
        m_table->setRowCount(0);
        m_stack->setCurrentIndex(UnlockPage);
        return;
    }
    m_overlay->hide();
    const QJsonArray files = response.dataArray();
    m_table->setRowCount(int(files.size()));
    for (int row = 0; row < files.size(); ++row) {
        const QJsonObject file = files.at(row).toObject();
        const QString id = jsonText(file, IdKey);
        const QString name = jsonText(file, NameKey);

        auto *nameItem = new QTableWidgetItem(name);
        const QPixmap icon = fileIcon(name, false, QString(), IconSize);
        if (!icon.isNull())
            nameItem->setIcon(QIcon(icon));
        m_table->setItem(row, 0, nameItem);

        auto *sizeItem = new QTableWidgetItem(formatSize(jsonInt64(file, SizeKey, 0)));
        sizeItem->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        m_table->setItem(row, 1, sizeItem);

        m_table->setCellWidget(row, 2, makeActionWidget(id, name));
    }
    m_countLabel->setText(countText(int(files.size())));
    m_table->setVisible(!files.isEmpty());
    m_emptyHint->setVisible(files.isEmpty());
}

QWidget *VaultPage::makeActionWidget(const QString &id, const QString &name)
{
    auto *cell = new QWidget;
    cell->setStyleSheet(QStringLiteral("background:transparent;"));
    auto *layout = new QHBoxLayout(cell);
    layout->setContentsMargins(6, 2, 6, 2);
    layout->setSpacing(8);
    QPushButton *download =
        linkButton(QStringLiteral("下载"), QStringLiteral("LinkBtn"), QStringLiteral("#1677ff"), cell);
    QPushButton *remove =
        linkButton(QStringLiteral("删除"), QStringLiteral("LinkDanger"), QStringLiteral("#cf1322"), cell);
    layout->addWidget(download);
    layout->addWidget(remove);
    layout->addStretch(1);
    connect(download, &QPushButton::clicked, this, [this, id, name] { startVaultDownload(id, name); });
    connect(remove, &QPushButton::clicked, this, [this, id, name] { deleteFile(id, name); });
    return cell;
}

void VaultPage::startVaultDownload(const QString &id, const QString &name)
{
    // The same folder, safe naming and ".part" side file as every other download. No resume: a
    // side file left by an earlier attempt is never continued, it is overwritten, and a failure
    // removes it (a decrypted fragment would only linger in the download folder).
    const QString dir = FileListPage::downloadDir();
    TransferTask *task =
        TransferManager::instance()->addVaultDownload(filePath(id) + QStringLiteral("/download"), dir, name);
    if (!task) {
        Cdlg::info(this, QStringLiteral("下载失败"), DownloadRegistry::busyText(name));
        return;
    }
    QPointer<VaultPage> self(this);
    connect(task, &TransferTask::sigDone, this, [self, dir] {
        if (self)
            Cdlg::info(self, QStringLiteral("完成"),
                       QStringLiteral("已下载到：\n%1").arg(QDir::toNativeSeparators(dir)));
    });
    connect(task, &TransferTask::sigFailed, this, [self](const QString &error) {
        if (self)
            Cdlg::info(self, QStringLiteral("下载失败"), error);
    });
}

void VaultPage::deleteFile(const QString &id, const QString &name)
{
    QPointer<VaultPage> self(this);
    const bool yes = Cdlg::confirmDestructive(this, QStringLiteral("删除"),
                                              QStringLiteral("确定从保险箱删除「%1」？删除后无法恢复。").arg(name),
                                              QStringLiteral("删除"));
    if (!self || !yes)
        return;
    HttpClient::instance()->del(filePath(id), [self](const HttpResponse &response) {
        QJsonObject data;
        QString error;
        if (response.unwrap(data, error))
            FileChangeNotifier::notify();
        if (self)
            self->loadFiles();
    });
}

void VaultPage::chooseAndUpload()
{
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("选择要加密保存的文件"), QDir::homePath(), QString());
    if (!path.isEmpty())
        uploadFile(path);
}

void VaultPage::uploadFile(const QString &localPath)
{
    QFile probe(localPath);
    if (!QFileInfo(localPath).isFile() || !probe.open(QIODevice::ReadOnly)) {
        // Nothing to send, so no transfer either.
        Cdlg::info(this, QStringLiteral("上传失败"), QStringLiteral("无法打开文件"));
        return;
    }
    probe.close();
    TransferTask *task = TransferManager::instance()->addVaultUpload(localPath);
    QPointer<VaultPage> self(this);
    connect(task, &TransferTask::sigResponse, this, [self](const HttpResponse &response) {
        QJsonObject data;
        QString error;
        const bool stored = response.unwrap(data, error);
        // The quota changed whether or not the page is still there to show the list.
        if (stored)
            FileChangeNotifier::notify();
        if (!self)
            return;
        if (stored)
            self->loadFiles();
        else
            Cdlg::info(self, QStringLiteral("上传失败"), error);
    });
    // A lost connection only pauses the job; it sends the file again once the server is back.
    // Said once per job, so that a second upload by hand does not store the file twice.
    auto toldPaused = std::make_shared<bool>(false);
    connect(task, &TransferTask::stateChanged, this, [self, task, toldPaused] {
        if (!self || *toldPaused || task->state() != TransferTask::State::Paused || !task->isAutoPaused())
            return;
        *toldPaused = true;
        // Not inside the manager's signal: the notice runs a nested event loop.
        QTimer::singleShot(0, self, [self] { Cdlg::info(self, QStringLiteral("上传已暂停"), UploadPausedText); });
    });
}
