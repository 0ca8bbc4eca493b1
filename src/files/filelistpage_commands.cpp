// The commands of the file list page: uploads, new folder, rename, move, extract, delete, the
// context menu and the row buttons.
#include "files/fileapi.h"
#include "files/filechangenotifier.h"
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/filerecord.h"
#include "files/filetable.h"
#include "files/folderpickerdialog.h"
#include "net/httpresponse.h"
#include "share/sharecard.h"
#include "transfer/transferapi.h"
#include "transfer/transfermanager.h"
#include "transfer/uploader.h"
#include "ui/cdlg.h"
#include "ui/rowbutton.h"

#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>

namespace {
const QString IdKey = QStringLiteral("id");
const QString NameKey = QStringLiteral("name");
const QString MimeKey = QStringLiteral("mime_type");

// A reply that only needs the list to show the server's state again.
HttpCallback reloadOf(FileListPage *page)
{
    QPointer<FileListPage> self(page);
    return [self](const HttpResponse &) {
        if (self)
            self->reload();
    };
}

// A reply to a command that may change the storage used: the list shows the server's state again,
// and a confirmed change is reported so the quota follows.
HttpCallback reloadAfterChange(FileListPage *page)
{
    QPointer<FileListPage> self(page);
    return [self](const HttpResponse &response) {
        QJsonObject data;
        QString error;
        if (response.unwrap(data, error))
            FileChangeNotifier::notify();
        if (self)
            self->reload();
    };
}

// A job paused by a lost connection sends its files again when the server is back: it has not failed.
void sayWhenWaiting(TransferTask *task, QLabel *status)
{
    QObject::connect(task, &TransferTask::stateChanged, status, [task, status] {
        if (task->state() == TransferTask::State::Paused && task->isAutoPaused())
            status->setText(QStringLiteral("%1 已暂停，恢复连接后继续").arg(task->name()));
    });
}

QStringList idsOf(const QList<QJsonObject> &records)
{
    QStringList ids;
    for (const QJsonObject &record : records) {
        const QString id = jsonText(record, IdKey);
        if (!id.isEmpty())
            ids.append(id);
    }
    return ids;
}

} // namespace

void FileListPage::wireCommands()
{
    connect(m_uploadButton, &QPushButton::clicked, this, &FileListPage::chooseAndUpload);
    connect(m_newFolderButton, &QPushButton::clicked, this, &FileListPage::newFolder);
    connect(m_downloadButton, &QPushButton::clicked, this, &FileListPage::downloadButtonClicked);
    connect(m_packDownloadButton, &QPushButton::clicked, this, &FileListPage::packDownloadButtonClicked);
    connect(m_shareButton, &QPushButton::clicked, this, &FileListPage::shareSelected);
    connect(m_deleteButton, &QPushButton::clicked, this, &FileListPage::deleteSelected);

    connect(m_table, &FileTable::filesDropped, this, &FileListPage::uploadPaths);
    connect(m_table, &FileTable::moveDropped, this, [this](const QStringList &ids, const QString &targetId) {
        for (const QString &id : ids)
            Api::moveFile(id, targetId, reloadOf(this));
    });
    connect(m_table, &FileTable::renameRequested, this, [this] {
        const int row = lastRow();
        if (row >= 0)
            renameRow(row);
    });
    connect(m_table, &FileTable::deleteRequested, this, &FileListPage::deleteSelected);
    connect(m_table, &FileTable::upRequested, this, [this] {
        if (!m_crumbIds.isEmpty())
            navigateToCrumb(int(m_crumbIds.size()) - 1);
    });
    connect(m_table, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        const QModelIndex index = m_table->indexAt(pos);
        const QPoint globalPos = m_table->viewport()->mapToGlobal(pos);
        // Below the rows the user sees no row, so nothing there may act on one.
        if (!index.isValid()) {
            execPageMenu(globalPos);
            return;
        }
        selectRow(index.row());
        buildAndExecMenu(globalPos);
    });
    connect(m_table, &QAbstractItemView::clicked, this, [this](const QModelIndex &index) {
        if (index.column() != FileModel::ActionColumn)
            return;
        selectRow(index.row());
        buildAndExecMenu(QCursor::pos());
    });
    m_table->setRowWidgetFactory([this](int row, QWidget *parent) { return createRowActions(row, parent); });
}

void FileListPage::chooseAndUpload()
{
    const QStringList files =
        QFileDialog::getOpenFileNames(this, QStringLiteral("选择要上传的文件"), QDir::homePath(), QString());
    if (!files.isEmpty())
        uploadPaths(files);
}

void FileListPage::uploadPaths(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    const QString parentId = currentFolderId();
    TransferManager *transfers = TransferManager::instance();

    if (isTeamMode()) {
        TransferTask *task = transfers->addTeamUpload(m_teamId, paths, parentId);
        sayWhenWaiting(task, m_statusLabel);
        connect(task, &TransferTask::sigResponse, this, [this](const HttpResponse &response) {
            QJsonObject data;
            QString error;
            if (!response.unwrap(data, error)) {
                m_statusLabel->setText(error);
                return;
            }
            FileChangeNotifier::notify();
            m_statusLabel->setText(QStringLiteral("上传完成"));
            reload();
        });
        return;
    }

    QStringList small;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        // A folder dropped from the desktop is not a file: the multipart request skips it.
        if (!info.isFile() || !Uploader::usesChunkedUpload(info.size())) {
            small.append(path);
            continue;
        }
        TransferTask *task = transfers->addUpload(path, parentId);
        const QString name = info.fileName();
        connect(task, &TransferTask::sigUploadProgress, this, [this, name](int percent, const QString &phase) {
            m_statusLabel->setText(QStringLiteral("上传 %1：%2% %3").arg(name).arg(percent).arg(phase));
        });
        connect(task, &TransferTask::sigDone, this, [this] {
            FileChangeNotifier::notify();
            reload();
        });
        connect(task, &TransferTask::sigFailed, this,
                [this](const QString &err) { m_statusLabel->setText(QStringLiteral("上传失败：%1").arg(err)); });
    }
    if (small.isEmpty())
        return;
    TransferTask *task = transfers->addFormUpload(small, parentId);
    sayWhenWaiting(task, m_statusLabel);
    connect(task, &TransferTask::sigResponse, this, reloadOrShowError(true));
}

void FileListPage::newFolder()
{
    const QString name = Cdlg::getText(this, QStringLiteral("新建文件夹"), QStringLiteral("文件夹名称："), QString(),
                                       QStringLiteral("创建"))
                             .trimmed();
    if (name.isEmpty())
        return;
    if (isTeamMode())
        Api::createTeamFolder(m_teamId, name, currentFolderId(), reloadOf(this));
    else
        Api::createFolder(name, currentFolderId(), reloadOf(this));
}

void FileListPage::renameRow(int row)
{
    renameRecord(m_model->rowAt(row));
}

void FileListPage::renameRecord(const QJsonObject &record)
{
    if (record.isEmpty())
        return;
    const QString id = jsonText(record, IdKey);
    const QString name = jsonText(record, NameKey);

    // "report.pdf" offers "report" and keeps ".pdf"; ".bashrc" and folders stay whole.
    QString base = name;
    QString extension;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (!isFolderRecord(record) && dot > 0) {
        base = name.left(dot);
        extension = name.mid(dot);
    }

    QString newName =
        Cdlg::getText(this, QStringLiteral("重命名"), QStringLiteral("新名称："), base, QStringLiteral("确定"))
            .trimmed();
    if (newName.isEmpty())
        return;
    if (!extension.isEmpty() && !newName.endsWith(extension, Qt::CaseInsensitive))
        newName += extension;
    if (newName == name)
        return;
    Api::renameFile(id, newName, reloadOf(this));
}

void FileListPage::moveSelected(const QList<int> &rows)
{
    QList<QJsonObject> records;
    for (int row : rows) {
        const QJsonObject record = m_model->rowAt(row);
        if (!record.isEmpty())
            records.append(record);
    }
    moveRecords(records);
}

void FileListPage::moveRecords(const QList<QJsonObject> &records)
{
    const QStringList ids = idsOf(records);
    if (ids.isEmpty())
        return;
    auto *picker = new FolderPickerDialog(this, QStringLiteral("移动到"));
    picker->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<FolderPickerDialog> guard(picker);
    connect(picker, &QDialog::accepted, this, [this, guard, ids] {
        if (!guard)
            return;
        const QString target = guard->selectedId();
        for (const QString &id : ids)
            Api::moveFile(id, target, reloadOf(this));
    });
    picker->open();
}

void FileListPage::extractArchive(const QJsonObject &archive)
{
    const QString id = jsonText(archive, IdKey);
    auto *picker = new FolderPickerDialog(this, QStringLiteral("解压到"));
    picker->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<FolderPickerDialog> guard(picker);
    connect(picker, &QDialog::accepted, this, [this, guard, id] {
        if (!guard)
            return;
        Api::extractArchive(id, guard->selectedId(), reloadOrShowError(true));
    });
    picker->open();
}

void FileListPage::deleteSelected()
{
    deleteRecords(selectedRecords());
}

void FileListPage::deleteRecords(const QList<QJsonObject> &records)
{
    const QStringList ids = idsOf(records);
    if (ids.isEmpty())
        return;

    const bool confirmed =
        isTeamMode() ? Cdlg::confirmDestructive(
                           this, QStringLiteral("删除"),
                           QStringLiteral("团队空间删除为永久删除、不可恢复，确定删除选中的 %1 项？").arg(ids.size()),
                           QStringLiteral("永久删除"))
                     : Cdlg::confirmDestructive(this, QStringLiteral("删除"),
                                                QStringLiteral("确定删除选中的 %1 项并移入回收站？").arg(ids.size()),
                                                QStringLiteral("删除"));
    if (!confirmed)
        return;
    for (const QString &id : ids) {
        if (isTeamMode())
            Api::deleteTeamFile(m_teamId, id, reloadAfterChange(this));
        else
            Api::deleteFile(id, reloadAfterChange(this));
    }
}

void FileListPage::selectRow(int row)
{
    // QTableView::selectRow would read the held modifier keys: Ctrl would toggle the row away and
    // Shift would select a range, turning "this row" into "these rows".
    QItemSelectionModel *selection = m_table->selectionModel();
    const QModelIndex index = m_model->index(row, FileModel::CheckColumn);
    if (!selection || !index.isValid())
        return;
    selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QList<QJsonObject> FileListPage::selectedRecords() const
{
    QList<QJsonObject> records;
    for (int row : selectedRows()) {
        const QJsonObject record = m_model->rowAt(row);
        if (!record.isEmpty())
            records.append(record);
    }
    return records;
}

void FileListPage::packDownloadRecords(const QList<QJsonObject> &records)
{
    // The pack request is built from the selection: select exactly these records again, by id,
    // or refuse when one of them has left the listing meanwhile.
    QItemSelection wanted;
    for (const QString &id : idsOf(records)) {
        const int row = m_model->rowOfId(id);
        if (row < 0) {
            m_statusLabel->setText(QStringLiteral("列表已刷新，请重新选择要打包下载的项目"));
            return;
        }
        wanted.select(m_model->index(row, 0), m_model->index(row, m_model->columnCount() - 1));
    }
    if (wanted.isEmpty())
        return;
    m_table->selectionModel()->select(wanted, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    downloadSelected();
}

void FileListPage::shareRecord(const QJsonObject &record)
{
    if (!record.isEmpty())
        ShareCard::openFor(this, record, m_teamId);
}

void FileListPage::shareSelected()
{
    const QList<QJsonObject> records = selectedRecords();
    if (records.isEmpty()) {
        Cdlg::info(this, QStringLiteral("提示"), QStringLiteral("请先选择要分享的文件"));
        return;
    }
    // One link opens one file or folder.
    if (records.size() > 1) {
        Cdlg::info(this, QStringLiteral("提示"), QStringLiteral("一次只能分享一个文件或文件夹，请只选择一项"));
        return;
    }
    shareRecord(records.first());
}

bool FileListPage::isArchiveRecord(const QJsonObject &record)
{
    const QString mime = jsonText(record, MimeKey);
    const QString name = jsonText(record, NameKey);
    return mime.contains(QLatin1String("zip")) || mime.contains(QLatin1String("rar")) ||
           name.endsWith(QLatin1String(".zip")) || name.endsWith(QLatin1String(".rar"));
}

QMenu *FileListPage::buildMenu()
{
    // Ids and names are taken now: a reload while the menu is open (an upload finishing, another
    // command's reply) empties the selection and may reorder the rows.
    const QList<QJsonObject> records = selectedRecords();
    if (records.isEmpty())
        return nullptr;
    const QJsonObject first = records.first();
    const bool firstIsFile = !isFolderRecord(first);

    auto *menu = new QMenu(this);
    connect(menu->addAction(QStringLiteral("打开")), &QAction::triggered, this, [this, first] { openRecord(first); });
    if (firstIsFile) {
        connect(menu->addAction(QStringLiteral("下载")), &QAction::triggered, this,
                [this, first] { downloadRecord(first); });
    }
    if (records.size() > 1) {
        connect(menu->addAction(QStringLiteral("打包下载")), &QAction::triggered, this,
                [this, records] { packDownloadRecords(records); });
    }
    if (records.size() == 1) {
        connect(menu->addAction(QStringLiteral("分享")), &QAction::triggered, this,
                [this, first] { shareRecord(first); });
    }
    menu->addSeparator();
    if (!isTeamMode()) {
        if (firstIsFile && isArchiveRecord(first)) {
            connect(menu->addAction(QStringLiteral("解压到…")), &QAction::triggered, this,
                    [this, first] { extractArchive(first); });
        }
        connect(menu->addAction(QStringLiteral("重命名")), &QAction::triggered, this,
                [this, first] { renameRecord(first); });
        connect(menu->addAction(QStringLiteral("移动到…")), &QAction::triggered, this,
                [this, records] { moveRecords(records); });
    }
    connect(menu->addAction(QStringLiteral("删除")), &QAction::triggered, this,
            [this, records] { deleteRecords(records); });
    return menu;
}

void FileListPage::buildAndExecMenu(const QPoint &globalPos)
{
    QMenu *menu = buildMenu();
    if (!menu)
        return;
    QPointer<QMenu> guard(menu);
    menu->exec(globalPos);
    delete guard.data();
}

QMenu *FileListPage::buildPageMenu()
{
    auto *menu = new QMenu(this);
    connect(menu->addAction(QStringLiteral("上传文件")), &QAction::triggered, this, &FileListPage::chooseAndUpload);
    connect(menu->addAction(QStringLiteral("新建文件夹")), &QAction::triggered, this, &FileListPage::newFolder);
    menu->addSeparator();
    connect(menu->addAction(QStringLiteral("刷新")), &QAction::triggered, this, &FileListPage::reload);
    return menu;
}

void FileListPage::execPageMenu(const QPoint &globalPos)
{
    QPointer<QMenu> guard(buildPageMenu());
    guard->exec(globalPos);
    delete guard.data();
}

QWidget *FileListPage::createRowActions(int row, QWidget *parent)
{
    const QJsonObject record = m_model->rowAt(row);
    if (record.isEmpty())
        return nullptr;
    const QString id = jsonText(record, IdKey);

    auto *box = new QWidget(parent);
    auto *layout = new QHBoxLayout(box);
    layout->setContentsMargins(6, 2, 6, 2);
    layout->setSpacing(2);
    layout->addStretch();
    // Each button acts on the record of its own row, never on the selection: the widget may
    // outlive a re-sort by a moment, and the keys held while clicking must not widen the target.
    QToolButton *download = makeRowButton(QStringLiteral("⬇"), QStringLiteral("下载"), "RowIconBtn", box);
    connect(download, &QToolButton::clicked, this, [this, record] { downloadRecord(record); });
    layout->addWidget(download);
    if (isFolderRecord(record)) {
        // Folders cannot be downloaded one by one, but keep the place so that the buttons of
        // folder and file rows stand in the same columns.
        QSizePolicy keepPlace = download->sizePolicy();
        keepPlace.setRetainSizeWhenHidden(true);
        download->setSizePolicy(keepPlace);
        download->hide();
    }
    if (!isTeamMode()) {
        QToolButton *rename = makeRowButton(QStringLiteral("✎"), QStringLiteral("重命名"), "RowIconBtn", box);
        connect(rename, &QToolButton::clicked, this, [this, record] { renameRecord(record); });
        layout->addWidget(rename);
    }
    QToolButton *remove = makeRowButton(QStringLiteral("🗑"), QStringLiteral("删除"), "RowIconDanger", box);
    connect(remove, &QToolButton::clicked, this, [this, id, record] {
        // Shows which row is meant; the command itself takes the record, not the selection.
        const int current = m_model->rowOfId(id);
        if (current >= 0)
            selectRow(current);
        deleteRecords({record});
    });
    layout->addWidget(remove);
    layout->addStretch();
    return box;
}

HttpCallback FileListPage::reloadOrShowError(bool changesFiles)
{
    return [self = QPointer<FileListPage>(this), changesFiles](const HttpResponse &response) {
        QJsonObject data;
        QString error;
        const bool ok = response.unwrap(data, error);
        if (ok && changesFiles)
            FileChangeNotifier::notify();
        if (!self)
            return;
        if (ok)
            self->reload();
        else
            self->m_statusLabel->setText(error);
    };
}
