#include "files/filelistpage.h"

#include "files/fileapi.h"
#include "files/filemodel.h"
#include "files/filerecord.h"
#include "files/filetable.h"
#include "net/httpclient.h"
#include "net/httpresponse.h"
#include "ui/offlineoverlay.h"

#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QJsonArray>
#include <QLabel>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const QString RootCrumb = QStringLiteral("全部文件");
const QString CrumbSeparator = QStringLiteral("›");
const QString SelectAllText = QStringLiteral("全选");
const QString SelectNoneText = QStringLiteral("取消全选");
const QString IdKey = QStringLiteral("id");
const QString NameKey = QStringLiteral("name");

constexpr char CardStyle[] = "QFrame#Card{background:#ffffff;border:none;border-radius:10px;}";
constexpr char EmptyStyle[] = "color:#8c8c8c;font-size:14px;background:transparent;padding:60px 0;";

// "全部文件 / A / B" for every folder id, the root under the empty id.
QHash<QString, QString> folderPaths(const QJsonArray &folders)
{
    QHash<QString, QJsonObject> byId;
    for (const QJsonValue &value : folders) {
        const QJsonObject folder = value.toObject();
        byId.insert(jsonText(folder, IdKey), folder);
    }
    QHash<QString, QString> paths{{QString(), RootCrumb}};
    for (auto it = byId.cbegin(); it != byId.cend(); ++it) {
        QStringList names;
        QString id = it.key();
        // A parent chain that loops or breaks off ends at the root.
        for (int depth = 0; byId.contains(id) && depth <= byId.size(); ++depth) {
            names.prepend(jsonText(byId.value(id), NameKey));
            id = jsonText(byId.value(id), QStringLiteral("parent_id"));
        }
        names.prepend(RootCrumb);
        paths.insert(it.key(), names.join(QStringLiteral(" / ")));
    }
    return paths;
}

QPushButton *toolbarButton(const QString &text, const char *objectName, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    if (objectName)
        button->setObjectName(QString::fromLatin1(objectName));
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

} // namespace

FileListPage::FileListPage(const QString &category, const QString &teamId, QWidget *parent)
    : QWidget(parent)
    , m_category(category)
    , m_teamId(teamId)
{
    setObjectName(QStringLiteral("SubPage"));
    setAttribute(Qt::WA_StyledBackground);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(10);
    buildToolbar();

    auto *crumbRow = new QHBoxLayout;
    crumbRow->setContentsMargins(0, 0, 0, 0);
    m_crumbBar = new QWidget(this);
    m_crumbBar->setObjectName(QStringLiteral("CrumbBar"));
    auto *crumbLayout = new QHBoxLayout(m_crumbBar);
    crumbLayout->setContentsMargins(0, 0, 0, 0);
    crumbLayout->setSpacing(4);
    crumbRow->addWidget(m_crumbBar, 1);
    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("Muted"));
    crumbRow->addWidget(m_statusLabel);
    layout->addLayout(crumbRow);

    auto *card = new QFrame(this);
    card->setObjectName(QStringLiteral("Card"));
    card->setStyleSheet(QString::fromLatin1(CardStyle));
    auto *cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(2, 2, 2, 2);
    cardLayout->setSpacing(0);

    m_model = new FileModel(this);
    m_table = new FileTable(card);
    m_table->setFileModel(m_model);
    m_table->setAccessibleName(QStringLiteral("文件列表"));
    cardLayout->addWidget(m_table, 1);

    m_emptyLabel = new QLabel(QStringLiteral("暂无数据"), card);
    m_emptyLabel->setObjectName(QStringLiteral("EmptyHint"));
    m_emptyLabel->setAlignment(Qt::AlignCenter);
    m_emptyLabel->setWordWrap(true);
    // The table is hidden while the folder is empty; the hint takes its drops.
    m_emptyLabel->setAcceptDrops(true);
    m_emptyLabel->installEventFilter(this);
    m_emptyLabel->setStyleSheet(QString::fromLatin1(EmptyStyle));
    m_emptyLabel->hide();
    cardLayout->addWidget(m_emptyLabel, 1);
    layout->addWidget(card, 1);
    m_overlay = new OfflineOverlay(card);
    connect(m_overlay, &OfflineOverlay::retryRequested, this, &FileListPage::reload);

    connect(m_table, &FileTable::doubleClicked, this, &FileListPage::openRow);
    wireCommands();

    updateBreadcrumb();
}

FileListPage::~FileListPage() = default;

void FileListPage::buildToolbar()
{
    auto *row = new QHBoxLayout;
    row->setSpacing(8);
    const char *gold = "GoldBtn";
    m_uploadButton = toolbarButton(QStringLiteral("上传文件"), gold, this);
    m_newFolderButton = toolbarButton(QStringLiteral("新建文件夹"), gold, this);
    m_downloadButton = toolbarButton(QStringLiteral("下载"), gold, this);
    m_packDownloadButton = toolbarButton(QStringLiteral("打包下载"), gold, this);
    m_shareButton = toolbarButton(QStringLiteral("分享"), gold, this);
    m_deleteButton = toolbarButton(QStringLiteral("删除"), gold, this);
    m_selectAllButton = toolbarButton(SelectAllText, gold, this);
    for (QPushButton *button : {m_uploadButton, m_newFolderButton, m_downloadButton, m_packDownloadButton,
                                m_shareButton, m_deleteButton, m_selectAllButton})
        row->addWidget(button);
    row->addStretch();

    // The team spaces page has no sidebar entry; personal pages lead to it from here.
    m_teamButton = toolbarButton(QStringLiteral("团队空间"), nullptr, this);
    m_teamButton->setObjectName(QStringLiteral("TeamSpaceBtn"));
    m_teamButton->setVisible(!isTeamMode());
    row->addWidget(m_teamButton);
    m_refreshButton = toolbarButton(QStringLiteral("刷新"), nullptr, this);
    row->addWidget(m_refreshButton);
    static_cast<QVBoxLayout *>(layout())->addLayout(row);

    connect(m_selectAllButton, &QPushButton::clicked, this, &FileListPage::toggleSelectAll);
    connect(m_teamButton, &QPushButton::clicked, this, &FileListPage::openTeamRequested);
    connect(m_refreshButton, &QPushButton::clicked, this, &FileListPage::reload);
}

QString FileListPage::currentFolderId() const
{
    return m_crumbIds.isEmpty() ? QString() : m_crumbIds.last();
}

void FileListPage::reload()
{
    // The rows stay until an answer replaces them: with the server gone, an empty table would read
    // as files that are gone.
    m_statusLabel->setText(QStringLiteral("加载中…"));

    // Only the latest request may fill the table: an older answer arriving last would show one
    // folder's entries under another folder's breadcrumb.
    const quint64 serial = ++m_listingSerial;
    QPointer<FileListPage> self(this);
    HttpCallback onReply = [self, serial](const HttpResponse &response) {
        if (!self || self->m_listingSerial != serial)
            return;
        self->applyListing(response);
    };

    // A listing may hold 100,000 records: the model reads the answer's text itself instead of a
    // JSON document of all of it.
    const QString parentId = currentFolderId();
    QString path;
    if (m_searchKeyword.isEmpty())
        path = isTeamMode() ? Api::listTeamFilesPath(m_teamId, parentId) : Api::listFilesPath(parentId, m_category);
    else
        path =
            isTeamMode() ? Api::searchTeamFilesPath(m_teamId, m_searchKeyword) : Api::searchFilesPath(m_searchKeyword);
    HttpClient::instance()->getUnparsed(path, std::move(onReply));
    updateBreadcrumb();
}

void FileListPage::applyListing(const HttpResponse &unparsed)
{
    if (unparsed.ok && !unparsed.isJson && m_model->setListingText(unparsed.raw)) {
        showListing();
        return;
    }
    // Anything but a plain successful listing is read the usual way, for the usual texts.
    HttpResponse response = unparsed;
    if (response.ok && !response.isJson)
        response = HttpClient::instance()->makeResponse(unparsed.status, unparsed.raw, QString());
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        m_statusLabel->setText(error);
        m_overlay->showFailure(response);
        return;
    }
    m_model->setRows(response.dataArray());
    showListing();
}

void FileListPage::showListing()
{
    m_overlay->hide();
    showLocations();
    const int count = m_model->rowCount();
    m_statusLabel->setText(QStringLiteral("共 %1 项").arg(count));
    m_emptyLabel->setText(emptyText());
    m_emptyLabel->setVisible(count == 0);
    m_table->setVisible(count > 0);
}

void FileListPage::updateBreadcrumb()
{
    QLayout *layout = m_crumbBar->layout();
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *widget = item->widget())
            widget->deleteLater();
        delete item;
    }

    const QStringList labels = QStringList{RootCrumb} + m_crumbNames;
    for (int level = 0; level < labels.size(); ++level) {
        if (level > 0)
            layout->addWidget(new QLabel(CrumbSeparator, m_crumbBar));
        auto *button = new QPushButton(labels.at(level), m_crumbBar);
        button->setObjectName(QStringLiteral("Link"));
        button->setCursor(Qt::PointingHandCursor);
        connect(button, &QPushButton::clicked, this, [this, level] { navigateToCrumb(level); });
        layout->addWidget(button);
    }
    static_cast<QHBoxLayout *>(layout)->addStretch();
    emit breadcrumbChanged(labels.join(QStringLiteral(" / ")));
}

void FileListPage::navigateToCrumb(int level)
{
    while (m_crumbIds.size() > level)
        m_crumbIds.removeLast();
    while (m_crumbNames.size() > level)
        m_crumbNames.removeLast();
    m_searchKeyword.clear();
    reload();
}

void FileListPage::showRoot()
{
    m_crumbIds.clear();
    m_crumbNames.clear();
    m_searchKeyword.clear();
    if (isVisible())
        reload();
    else
        updateBreadcrumb();
}

void FileListPage::openRow(int row)
{
    openRecord(m_model->rowAt(row));
}

void FileListPage::openRecord(const QJsonObject &record)
{
    if (isFolderRecord(record))
        enterFolderRecord(record);
    else if (!record.isEmpty())
        openFile(record);
}

void FileListPage::enterFolder(int row)
{
    enterFolderRecord(m_model->rowAt(row));
}

void FileListPage::enterFolderRecord(const QJsonObject &record)
{
    if (!isFolderRecord(record))
        return;
    m_crumbIds.append(jsonText(record, IdKey));
    m_crumbNames.append(jsonText(record, NameKey));
    m_searchKeyword.clear();
    reload();
}

int FileListPage::lastRow() const
{
    return m_table->lastRow();
}

QList<int> FileListPage::selectedRows() const
{
    return m_table->selectedRows();
}

void FileListPage::toggleSelectAll()
{
    const int count = m_model->rowCount();
    QItemSelectionModel *selection = m_table->selectionModel();
    if (count == 0 || !selection)
        return;
    if (selection->selectedRows(0).size() < count) {
        m_table->selectAll();
        m_selectAllButton->setText(SelectNoneText);
    } else {
        selection->clearSelection();
        m_selectAllButton->setText(SelectAllText);
    }
}

void FileListPage::showLocations()
{
    // Results of a personal search come from every folder: each says where it lives.
    if (m_searchKeyword.isEmpty() || isTeamMode() || m_model->rowCount() == 0) {
        m_model->setLocations({});
        return;
    }
    const quint64 serial = m_listingSerial;
    QPointer<FileListPage> self(this);
    Api::listFolders([self, serial](const HttpResponse &response) {
        if (!self || self->m_listingSerial != serial)
            return;
        QJsonObject data;
        QString error;
        // Without the folders the results still show; only their places are missing.
        if (response.unwrap(data, error))
            self->m_model->setLocations(folderPaths(response.dataArray()));
    });
}

QString FileListPage::emptyText() const
{
    if (!m_searchKeyword.isEmpty())
        return QStringLiteral("没有找到包含「%1」的文件\n按 Esc 清除搜索").arg(m_searchKeyword);
    if (m_category != QLatin1String("all") && !isTeamMode())
        return QStringLiteral("还没有这类文件\n在「全部文件」中上传的文件会按类型出现在这里");
    return QStringLiteral("这个文件夹还是空的\n点击「上传文件」，或把文件拖到这里上传");
}

bool FileListPage::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_emptyLabel)
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (drag->mimeData()->hasUrls()) {
            drag->acceptProposedAction();
            return true;
        }
    } else if (event->type() == QEvent::Drop) {
        auto *drop = static_cast<QDropEvent *>(event);
        QStringList paths;
        for (const QUrl &url : drop->mimeData()->urls()) {
            if (url.isLocalFile())
                paths.append(url.toLocalFile());
        }
        if (!paths.isEmpty()) {
            drop->acceptProposedAction();
            uploadPaths(paths);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FileListPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    reload();
}
