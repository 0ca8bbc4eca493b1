#include "files/filemodel.h"

#include "files/fileicons.h"
#include "files/filerecord.h"
#include "files/formatting.h"
#include "net/httpresponse.h"

#include <QIcon>
#include <QMimeData>
#include <algorithm>
#include <vector>

namespace {

const QString NameKey = QStringLiteral("name");
const QString SizeKey = QStringLiteral("size");
const QString UpdatedKey = QStringLiteral("updated_at");
const QString IdKey = QStringLiteral("id");
const QString MimeKey = QStringLiteral("mime_type");

// The members a comparison needs, read once per row instead of once per comparison.
struct SortKey
{
    bool folder = false;
    QString name;
    qint64 size = 0;
    QString updated;
    int row = 0;
};

int compareByColumn(const SortKey &a, const SortKey &b, int column)
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
    const QString parentId = jsonText(m_rows.at(row), QStringLiteral("parent_id"));
    // A folder missing from the map (made meanwhile) is still somewhere: say so rather than lie.
    return m_locations.value(parentId == QLatin1String("0") ? QString() : parentId, QStringLiteral("…"));
}

void FileModel::setRows(const QJsonArray &array)
{
    beginResetModel();
    m_rows.clear();
    m_rows.reserve(array.size());
    for (const QJsonValue &value : array) {
        if (value.isObject())
            m_rows.append(value.toObject());
    }
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
    return m_rows.at(row);
}

int FileModel::rowOfId(const QString &id) const
{
    for (int row = 0; row < m_rows.size(); ++row) {
        if (jsonText(m_rows.at(row), IdKey) == id)
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
    const QJsonObject &record = m_rows.at(index.row());
    const int column = index.column();

    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case NameColumn:
            if (!m_locations.isEmpty())
                return jsonText(record, NameKey) + QLatin1Char('\n') + locationOf(index.row());
            return jsonText(record, NameKey);
        case SizeColumn:
            if (isFolderRecord(record))
                return {};
            return formatSize(jsonInt64(record, SizeKey, 0));
        case TimeColumn:
            return formatDateTime(jsonText(record, UpdatedKey));
        case ActionColumn:
            return QStringLiteral("\u22EE");
        default:
            return {};
        }
    case Qt::DecorationRole:
        if (column == NameColumn) {
            const QPixmap icon =
                fileIcon(jsonText(record, NameKey), isFolderRecord(record), jsonText(record, MimeKey), IconSize);
            return icon.isNull() ? QIcon() : QIcon(icon);
        }
        return {};
    case Qt::ToolTipRole:
        if (!m_locations.isEmpty())
            return QStringLiteral("%1\n位置：%2").arg(jsonText(record, NameKey), locationOf(index.row()));
        return jsonText(record, NameKey);
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
        const QString id = jsonText(m_rows.at(row), IdKey);
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
    std::vector<SortKey> keys;
    keys.reserve(m_rows.size());
    for (int row = 0; row < m_rows.size(); ++row) {
        const QJsonObject &record = m_rows.at(row);
        SortKey key;
        key.folder = isFolderRecord(record);
        key.row = row;
        if (m_sortColumn == NameColumn)
            key.name = jsonText(record, NameKey);
        else if (m_sortColumn == SizeColumn)
            key.size = jsonInt64(record, SizeKey, 0);
        else if (m_sortColumn == TimeColumn)
            key.updated = jsonText(record, UpdatedKey);
        keys.push_back(std::move(key));
    }

    const int column = m_sortColumn;
    const bool ascending = m_sortAscending;
    // Stable, so equal records keep their server order across reloads.
    std::stable_sort(keys.begin(), keys.end(), [column, ascending](const SortKey &a, const SortKey &b) {
        if (a.folder != b.folder)
            return a.folder;
        const int result = compareByColumn(a, b, column);
        return ascending ? result < 0 : result > 0;
    });

    QList<QJsonObject> sorted;
    sorted.reserve(m_rows.size());
    for (const SortKey &key : keys)
        sorted.append(m_rows.at(key.row));
    m_rows = std::move(sorted);
}
