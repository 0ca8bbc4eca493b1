#include "files/folderpickerdialog.h"

#include "files/fileapi.h"

#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
const QString IdKey = QStringLiteral("id");
const QString ParentKey = QStringLiteral("parent_id");
const QString NameKey = QStringLiteral("name");
// Enough passes for any real depth; a cycle stops the placing long before.
constexpr int MaxPasses = 1000;

constexpr char TreeStyle[] = "QTreeWidget{border:1px solid #e6ecf5;border-radius:8px;background:#ffffff;"
                             "color:#1A2A4A;font-size:13px;padding:4px;}"
                             "QTreeWidget::item{height:28px;}"
                             "QTreeWidget::item:selected{background:#e6f0ff;color:#1A2A4A;}";
} // namespace

FolderPickerDialog::FolderPickerDialog(QWidget *parent, const QString &title)
    : Cdlg::CardDialog(parent, title, true)
{
    resize(440, 480);
    m_tree = new QTreeWidget(this);
    m_tree->setHeaderHidden(true);
    m_tree->setRootIsDecorated(true);
    m_tree->setColumnCount(1);
    m_tree->setStyleSheet(QString::fromLatin1(TreeStyle));
    bodyLayout()->addWidget(m_tree, 1);
    okButton()->setText(QStringLiteral("确定"));
    clearTree();
    load();
}

FolderPickerDialog::~FolderPickerDialog() = default;

void FolderPickerDialog::clearTree()
{
    m_tree->clear();
    m_items.clear();
    auto *root = new QTreeWidgetItem(m_tree);
    root->setText(0, QStringLiteral("全部文件（根目录）"));
    root->setData(0, Qt::UserRole, QString());
    m_items.insert(QString::fromLatin1(RootKey), root);
}

void FolderPickerDialog::load()
{
    QPointer<FolderPickerDialog> self(this);
    Api::listFolders([self](const HttpResponse &response) {
        if (!self)
            return;
        // A failed request has no data array: the root stays alone.
        self->setFolders(response.dataArray());
        emit self->foldersLoaded();
    });
}

void FolderPickerDialog::setFolders(const QJsonArray &folders)
{
    m_folders.clear();
    for (const QJsonValue &value : folders) {
        if (value.isObject())
            m_folders.insert(jsonText(value.toObject(), IdKey), value.toObject());
    }

    clearTree();
    QTreeWidgetItem *root = m_items.value(QString::fromLatin1(RootKey));
    QSet<QString> placed;
    for (int pass = 0; pass < MaxPasses && placed.size() < m_folders.size(); ++pass) {
        bool progress = false;
        for (auto it = m_folders.cbegin(); it != m_folders.cend(); ++it) {
            if (placed.contains(it.key()))
                continue;
            QString parentKey = jsonText(it.value(), ParentKey);
            if (parentKey.isEmpty())
                parentKey = QString::fromLatin1(RootKey);
            QTreeWidgetItem *parentItem = m_items.value(parentKey);
            if (!parentItem)
                continue;
            auto *item = new QTreeWidgetItem(parentItem);
            item->setText(0, jsonText(it.value(), NameKey));
            item->setData(0, Qt::UserRole, it.key());
            m_items.insert(it.key(), item);
            placed.insert(it.key());
            progress = true;
        }
        if (!progress)
            break; // the rest wait for parents that never come
    }
    // Missing parents and cycles: directly under the root, so every folder stays reachable.
    for (auto it = m_folders.cbegin(); it != m_folders.cend(); ++it) {
        if (placed.contains(it.key()))
            continue;
        auto *item = new QTreeWidgetItem(root);
        item->setText(0, jsonText(it.value(), NameKey));
        item->setData(0, Qt::UserRole, it.key());
        m_items.insert(it.key(), item);
    }
    m_tree->expandAll();
}

QString FolderPickerDialog::selectedId() const
{
    const QTreeWidgetItem *item = m_tree->currentItem();
    return item ? item->data(0, Qt::UserRole).toString() : QString();
}
