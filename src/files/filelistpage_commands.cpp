// The commands of the file list page: uploads, new folder, rename, move, extract, delete, the
// context menu and the row buttons.
#include "files/fileapi.h"
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/filerecord.h"
#include "files/filetable.h"
#include "files/folderpickerdialog.h"
#include "net/httpresponse.h"
#include "transfer/transferapi.h"
#include "transfer/uploader.h"
#include "ui/cdlg.h"

#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
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

QToolButton *rowButton(const QString &text, const QString &tip, const char *objectName, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setText(text);
    button->setToolTip(tip);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}
} // namespace

void FileListPage::wireCommands()
{
    connect(m_uploadButton, &QPushButton::clicked, this, &FileListPage::chooseAndUpload);
    connect(m_newFolderButton, &QPushButton::clicked, this, &FileListPage::newFolder);
    connect(m_downloadButton, &QPushButton::clicked, this, &FileListPage::downloadButtonClicked);
    connect(m_packDownloadButton, &QPushButton::clicked, this, &FileListPage::packDownloadButtonClicked);
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
    connect(m_table, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        const QModelIndex index = m_table->indexAt(pos);
        if (index.isValid())
            selectRow(index.row());
        buildAndExecMenu(m_table->viewport()->mapToGlobal(pos));
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
    QPointer<FileListPage> self(this);

    if (isTeamMode()) {
        Api::uploadTeamFiles(m_teamId, paths, parentId, [self](const HttpResponse &response) {
            if (!self)
                return;
            QJsonObject data;
            QString error;
            if (!response.unwrap(data, error)) {
                self->m_statusLabel->setText(error);
                return;
            }
            self->m_statusLabel->setText(QStringLiteral("上传完成"));
            self->reload();
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
        auto *job = new Uploader(this);
        const QString name = info.fileName();
        connect(job, &Uploader::sigProgress, this, [this, name](int percent, const QString &phase) {
            m_statusLabel->setText(QStringLiteral("上传 %1：%2% %3").arg(name).arg(percent).arg(phase));
        });
        connect(job, &Uploader::sigDone, this, &FileListPage::reload);
        connect(job, &Uploader::sigFailed, this,
                [this](const QString &err) { m_statusLabel->setText(QStringLiteral("上传失败：%1").arg(err)); });
        job->start(path, parentId);
    }
    if (small.isEmpty())
        return;
    Api::uploadFiles(small, parentId, reloadOrShowError());
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
    const QJsonObject record = m_model->rowAt(row);
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
    QStringList ids;
    for (int row : rows) {
        const QJsonObject record = m_model->rowAt(row);
        if (!record.isEmpty())
            ids.append(jsonText(record, IdKey));
    }
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
        Api::extractArchive(id, guard->selectedId(), reloadOrShowError());
    });
    picker->open();
}

void FileListPage::deleteSelected()
{
    const QList<int> rows = selectedRows();
    QStringList ids;
    for (int row : rows)
        ids.append(jsonText(m_model->rowAt(row), IdKey));
    if (ids.isEmpty())
        return;

    const bool confirmed =
        isTeamMode()
            ? Cdlg::confirm(this, QStringLiteral("删除"),
                            QStringLiteral("团队空间删除为永久删除、不可恢复，确定删除选中的 %1 项？").arg(ids.size()),
                            QStringLiteral("永久删除"))
            : Cdlg::confirm(this, QStringLiteral("删除"),
                            QStringLiteral("确定删除选中的 %1 项并移入回收站？").arg(ids.size()),
                            QStringLiteral("删除"));
    if (!confirmed)
        return;
    for (const QString &id : ids) {
        if (isTeamMode())
            Api::deleteTeamFile(m_teamId, id, reloadOf(this));
        else
            Api::deleteFile(id, reloadOf(this));
    }
}

void FileListPage::selectRow(int row)
{
    m_table->selectRow(row);
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
    const QList<int> rows = selectedRows();
    if (rows.isEmpty())
        return nullptr;
    const int firstRow = rows.first();
    const QJsonObject first = m_model->rowAt(firstRow);
    const bool firstIsFile = !isFolderRecord(first);

    auto *menu = new QMenu(this);
    connect(menu->addAction(QStringLiteral("打开")), &QAction::triggered, this,
            [this, firstRow] { openRow(firstRow); });
    if (firstIsFile) {
        connect(menu->addAction(QStringLiteral("下载")), &QAction::triggered, this,
                [this, first] { downloadRecord(first); });
    }
    if (rows.size() > 1)
        connect(menu->addAction(QStringLiteral("打包下载")), &QAction::triggered, this,
                &FileListPage::downloadSelected);
    menu->addSeparator();
    if (!isTeamMode()) {
        if (firstIsFile && isArchiveRecord(first)) {
            connect(menu->addAction(QStringLiteral("解压到…")), &QAction::triggered, this,
                    [this, first] { extractArchive(first); });
        }
        connect(menu->addAction(QStringLiteral("重命名")), &QAction::triggered, this,
                [this, firstRow] { renameRow(firstRow); });
        connect(menu->addAction(QStringLiteral("移动到…")), &QAction::triggered, this,
                [this, rows] { moveSelected(rows); });
    }
    connect(menu->addAction(QStringLiteral("删除")), &QAction::triggered, this, &FileListPage::deleteSelected);
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
    // Rows are looked up by id when clicked: the widget may outlive a re-sort by a moment.
    if (!isFolderRecord(record)) {
        QToolButton *download = rowButton(QStringLiteral("⬇"), QStringLiteral("下载"), "RowIconBtn", box);
        connect(download, &QToolButton::clicked, this, [this, record] { downloadRecord(record); });
        layout->addWidget(download);
    }
    if (!isTeamMode()) {
        QToolButton *rename = rowButton(QStringLiteral("✎"), QStringLiteral("重命名"), "RowIconBtn", box);
        connect(rename, &QToolButton::clicked, this, [this, id] {
            const int current = m_model->rowOfId(id);
            if (current >= 0)
                renameRow(current);
        });
        layout->addWidget(rename);
    }
    QToolButton *remove = rowButton(QStringLiteral("🗑"), QStringLiteral("删除"), "RowIconDanger", box);
    connect(remove, &QToolButton::clicked, this, [this, id] {
        const int current = m_model->rowOfId(id);
        if (current < 0)
            return;
        selectRow(current);
        deleteSelected();
    });
    layout->addWidget(remove);
    layout->addStretch();
    return box;
}

HttpCallback FileListPage::reloadOrShowError()
{
    return [self = QPointer<FileListPage>(this)](const HttpResponse &response) {
        if (!self)
            return;
        QJsonObject data;
        QString error;
        if (response.unwrap(data, error))
            self->reload();
        else
            self->m_statusLabel->setText(error);
    };
}
