#include "files/filemodel.h"

#include "files/fileicons.h"
#include "files/filerecord.h"
#include "files/formatting.h"
#include "net/httpresponse.h"

#include <QIcon>
#include <QMimeData>
#include <algorithm>
#include <numeric>
#include <vector>

namespace {

int compareByColumn(const FileRow &a, const FileRow &b, int column)
{
    switch (column) {
    case FileModel::NameColumn:
        return QString::localeAwareCompare(a.name, b.name);
    case FileModel::SizeColumn:
        return a.size < b.size ? -1 : a.size > b.size ? 1 : 0;
    case FileModel::TimeColumn:
        // The server's ISO text sorts chronologically as it is.
        return QString::compare(a.updated, b.updated, Qt::CaseSensitive);
    default:
        return 0;
    }
}

} // namespace

FileModel::FileModel(QObject *parent)
    : QAbstractTableModel(parent)
{}

void FileModel::setLocations(const QHash<QString, QString> &folderPaths)
{
    if (folderPaths.isEmpty() && m_locations.isEmpty())
        return;
    m_locations = folderPaths;
    if (!m_rows.isEmpty())
        emit dataChanged(index(0, NameColumn), index(int(m_rows.size()) - 1, NameColumn));
}

QString FileModel::locationOf(int row) const
{
    if (m_locations.isEmpty() || row < 0 || row >= m_rows.size())
        return QString();
    const QString &parentId = shown(row).parentId;
    // A folder missing from the map (made meanwhile) is still somewhere: say so rather than lie.
    return m_locations.value(parentId == QLatin1String("0") ? QString() : parentId, QStringLiteral("…"));
}

void FileModel::setRows(const QJsonArray &array)
{
    QList<FileRow> rows;
    rows.reserve(array.size());
    for (const QJsonValue &value : array) {
        if (value.isObject())
            rows.append(FileRow::fromObject(value.toObject()));
    }
    replaceRows(std::move(rows));
    m_body.clear();
}

bool FileModel::setListingText(const QByteArray &body)
{
    QList<FileRow> rows;
    if (!FileRow::fromListingText(body, rows))
        return false;
    replaceRows(std::move(rows));
    m_body = body; // the rows' texts point into it
    return true;
}

void FileModel::replaceRows(QList<FileRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    m_order.resize(m_rows.size());
    for (int row = 0; row < m_rows.size(); ++row)
        m_order[row] = row;
    if (m_sortColumn >= 0)
        sortRows();
    endResetModel();
}

void FileModel::setSort(int column, bool ascending)
{
    beginResetModel();
    m_sortColumn = column;
    m_sortAscending = ascending;
    if (m_sortColumn >= 0)
        sortRows();
    endResetModel();
}

QJsonObject FileModel::rowAt(int row) const
{
    if (row < 0 || row >= m_rows.size())
        return {};
    return shown(row).record();
}

int FileModel::rowOfId(const QString &id) const
{
    for (int row = 0; row < m_rows.size(); ++row) {
        if (shown(row).id == id)
            return row;
    }
    return -1;
}

int FileModel::rowCount(const QModelIndex &) const
{
    return static_cast<int>(m_rows.size());
}

int FileModel::columnCount(const QModelIndex &) const
{
    return ColumnCount;
}

QVariant FileModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.column() < 0 || index.row() < 0 || index.row() >= m_rows.size())
        return {};
    const FileRow &record = shown(index.row());
    const int column = index.column();

    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case NameColumn:
            if (!m_locations.isEmpty())
                return record.name + QLatin1Char('\n') + locationOf(index.row());
            return record.name;
        case SizeColumn:
            if (record.folder)
                return {};
            return formatSize(record.size);
        case TimeColumn:
            return formatDateTime(record.updated);
        case ActionColumn:
            return QStringLiteral("\u22EE");
        default:
            return {};
        }
    case Qt::DecorationRole:
        if (column == NameColumn) {
            const QPixmap icon = fileIcon(record.name, record.folder, record.mimeType, IconSize);
            return icon.isNull() ? QIcon() : QIcon(icon);
        }
        return {};
    case Qt::ToolTipRole:
        if (!m_locations.isEmpty())
            return QStringLiteral("%1\n位置：%2").arg(record.name, locationOf(index.row()));
        return record.name;
    case Qt::TextAlignmentRole:
        if (column == ActionColumn)
            return int(Qt::AlignCenter);
        return {};
    default:
        return {};
    }
}

QVariant FileModel::headerData(int section, Qt::Orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NameColumn:
        return QStringLiteral("文件名");
    case SizeColumn:
        return QStringLiteral("大小");
    case TimeColumn:
        return QStringLiteral("修改时间");
    case ActionColumn:
        return QStringLiteral("操作");
    default:
        return {};
    }
}

Qt::ItemFlags FileModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags result = QAbstractTableModel::flags(index);
    if (index.isValid())
        result |= Qt::ItemIsDragEnabled;
    return result;
}

void FileModel::sort(int column, Qt::SortOrder order)
{
    setSort(column, order == Qt::AscendingOrder);
}

QStringList FileModel::mimeTypes() const
{
    return {QString::fromLatin1(FileIdsMimeType)};
}

QMimeData *FileModel::mimeData(const QModelIndexList &indexes) const
{
    QList<int> rows;
    for (const QModelIndex &index : indexes) {
        if (index.isValid() && index.row() < m_rows.size())
            rows.append(index.row());
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());

    QStringList ids;
    for (int row : rows) {
        const QString &id = shown(row).id;
        if (!id.isEmpty())
            ids.append(id);
    }
    if (ids.isEmpty())
        return nullptr;
    auto *data = new QMimeData; // ownership passes to the drag
    data->setData(QString::fromLatin1(FileIdsMimeType), ids.join(QLatin1Char(',')).toUtf8());
    return data;
}

Qt::DropActions FileModel::supportedDragActions() const
{
    return Qt::MoveAction;
}

bool FileModel::canDropMimeData(const QMimeData *, Qt::DropAction, int, int, const QModelIndex &) const
{
    return false;
}

bool FileModel::dropMimeData(const QMimeData *, Qt::DropAction, int, int, const QModelIndex &)
{
    return false;
}

void FileModel::sortRows()
{
    // Only the order moves: the records stay where they are, so sorting 100,000 of them needs
    // no second copy.
    std::iota(m_order.begin(), m_order.end(), 0);
    const int column = m_sortColumn;
    const bool ascending = m_sortAscending;
    const QList<FileRow> &rows = m_rows;
    // Stable, so equal records keep their server order across reloads.
    std::stable_sort(m_order.begin(), m_order.end(), [&rows, column, ascending](int left, int right) {
        const FileRow &a = rows.at(left);
        const FileRow &b = rows.at(right);
        if (a.folder != b.folder)
            return a.folder;
        const int result = compareByColumn(a, b, column);
        return ascending ? result < 0 : result > 0;
    });
}
