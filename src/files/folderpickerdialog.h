#pragma once

#include "ui/carddialog.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class QTreeWidget;
class QTreeWidgetItem;

// Chooses a target folder of the personal space (for moving and extracting): every folder of
// the user as a tree below "全部文件（根目录）". Accepting without a choice means the root.
class FolderPickerDialog final : public Cdlg::CardDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FolderPickerDialog)

public:
    static constexpr auto RootKey = "__root__";

    FolderPickerDialog(QWidget *parent, const QString &title);
    ~FolderPickerDialog() override;

    // Requests the folder list and builds the tree from it (called by the constructor).
    void load();
    // Rebuilds the tree from a flat folder list of {id, parent_id, name}.
    void setFolders(const QJsonArray &folders);
    // Id of the current item; empty for the root or when nothing is chosen.
    QString selectedId() const;

    QTreeWidget *tree() const { return m_tree; }
    // The tree item of a folder id (or of RootKey); null when it has none.
    QTreeWidgetItem *itemFor(const QString &key) const { return m_items.value(key); }

signals:
    // The answer to load() has been applied (also after a failure: the root alone).
    void foldersLoaded();

private:
    void clearTree();

    QTreeWidget *m_tree = nullptr;
    QHash<QString, QJsonObject> m_folders;
    QHash<QString, QTreeWidgetItem *> m_items;
};
