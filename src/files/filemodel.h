#pragma once

#include "files/filerow.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>

// The file records of one folder or search result, as five columns for FileTable. Records are
// held compactly (FileRow: the shown members plus the record's JSON text as the server sent it);
// the model only orders them and derives display values.
class FileModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileModel)

public:
    enum Column { CheckColumn, NameColumn, SizeColumn, TimeColumn, ActionColumn, ColumnCount };
    static constexpr int IconSize = 24;
    // Drag payload: the ids of the dragged records as UTF-8, joined by ",".
    static constexpr auto FileIdsMimeType = "application/x-tvr-fileids";

    explicit FileModel(QObject *parent = nullptr);

    // Replaces all rows by the objects of array (other elements are skipped) in one reset,
    // sorted when a sort column is set.
    void setRows(const QJsonArray &array);
    // The same from the text of a {"success": true, "data": [...]} answer, without a JSON document
    // of the whole body. False, with the rows unchanged, when the text is not such an answer.
    bool setListingText(const QByteArray &body);
    // Column -1 keeps the server order. Folders come first in both directions.
    void setSort(int column, bool ascending);
    int sortColumn() const { return m_sortColumn; }
    bool sortAscending() const { return m_sortAscending; }

    // Search results come from the whole space: given the path of every folder by its id (the
    // root under the empty id), each name shows the folder it lives in on a second line. An empty
    // map shows names alone again. Kept until changed, whatever rows are set.
    void setLocations(const QHash<QString, QString> &folderPaths);
    // "全部文件 / 项目" for the row's folder; empty without locations.
    QString locationOf(int row) const;
    // The whole record with every member the server sent, or an empty object when row is out of range.
    QJsonObject rowAt(int row) const;
    // The first row whose "id" reads as id, or -1.
    int rowOfId(const QString &id) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    // Header clicks of a sorting view land here.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Rows can be dragged as their ids; drops are handled by FileTable, never by the model.
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    Qt::DropActions supportedDragActions() const override;
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;

private:
    void sortRows();
    void replaceRows(QList<FileRow> rows);
    const FileRow &shown(int row) const { return m_rows.at(m_order.at(row)); }

    QList<FileRow> m_rows; // in the server's order
    QByteArray m_body;     // the listing's text, when the rows were read from it
    QList<int> m_order;    // the shown order: indexes into m_rows
    QHash<QString, QString> m_locations;
    int m_sortColumn = -1;
    bool m_sortAscending = true;
};
