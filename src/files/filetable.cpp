#include "files/filetable.h"

#include "files/actioncolumndelegate.h"
#include "files/checkcolumndelegate.h"
#include "files/filemodel.h"
#include "files/filerecord.h"
#include "net/httpresponse.h"

#include <QDragEnterEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <algorithm>

namespace {

const QString TableStyle = QStringLiteral(
    "QTableView{border:none;background:#ffffff;}"
    "QTableView::item{padding:6px 6px 6px 14px;color:#3a4a63;border-left:none;border-right:none;border-top:none;"
    "border-bottom:1px solid #f2f4f8;}"
    "QTableView::item:selected{background:#e6f0ff;color:#1A2A4A;}"
    "QHeaderView::section{background:#f3f6fb;color:#33415c;padding:8px 8px 8px 14px;border:none;"
    "border-bottom:1px solid #e6ecf5;font-weight:600;text-align:left;}");

constexpr int MinimumTableHeight = 240;
constexpr int CheckColumnWidth = 36;
constexpr int SizeColumnWidth = 120;
constexpr int TimeColumnWidth = 180;
constexpr int ActionColumnWidth = 96;
// Below this the stretched name column would shrink to nothing beside the fixed ones.
constexpr int MinimumNameColumnWidth = 160;
const QColor DropTargetColor(QStringLiteral("#C9A84C"));

QString fileIdsFormat()
{
    return QString::fromLatin1(FileModel::FileIdsMimeType);
}

// The payload is the ids joined by ","; empty parts are dropped, nothing else is touched.
QStringList readFileIds(const QMimeData *data)
{
    return QString::fromUtf8(data->data(fileIdsFormat())).split(QLatin1Char(','), Qt::SkipEmptyParts);
}

} // namespace

FileTable::FileTable(QWidget *parent)
    : QTableView(parent)
{
    setDragEnabled(true);
    setAcceptDrops(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);

    setShowGrid(false);
    setWordWrap(true);
    setTextElideMode(Qt::ElideNone);
    setContextMenuPolicy(Qt::CustomContextMenu);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(RowHeight);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setMinimumHeight(MinimumTableHeight);
    setMinimumWidth(CheckColumnWidth + MinimumNameColumnWidth + SizeColumnWidth + TimeColumnWidth + ActionColumnWidth +
                    2 * frameWidth());
    setStyleSheet(TableStyle);
    setItemDelegateForColumn(FileModel::CheckColumn, new CheckColumnDelegate(this));
    setItemDelegateForColumn(FileModel::ActionColumn, new ActionColumnDelegate(this));

    connect(this, &QAbstractItemView::clicked, this, &FileTable::rememberClick);
}

void FileTable::setFileModel(FileModel *model)
{
    if (m_model)
        disconnect(m_model, nullptr, this, nullptr);
    m_widgetRows.clear();
    m_model = model;
    setModel(model);
    if (!model)
        return;

    // A reset deletes every index widget itself; structural changes would leave widgets on
    // the wrong rows, so those drop them first. Either way the rows in view get new ones.
    const auto listingChanged = [this] {
        ++m_listingGeneration;
        syncRowWidgets();
    };
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [this] { m_widgetRows.clear(); });
    connect(model, &QAbstractItemModel::modelReset, this, listingChanged);
    connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this, &FileTable::dropAllRowWidgets);
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, &FileTable::dropAllRowWidgets);
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, &FileTable::dropAllRowWidgets);
    connect(model, &QAbstractItemModel::layoutChanged, this, listingChanged);
    connect(model, &QAbstractItemModel::rowsInserted, this, listingChanged);
    connect(model, &QAbstractItemModel::rowsRemoved, this, listingChanged);

    QHeaderView *header = horizontalHeader();
    header->setSectionResizeMode(FileModel::CheckColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(FileModel::NameColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(FileModel::SizeColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(FileModel::TimeColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(FileModel::ActionColumn, QHeaderView::Fixed);
    setColumnWidth(FileModel::CheckColumn, CheckColumnWidth);
    setColumnWidth(FileModel::SizeColumn, SizeColumnWidth);
    setColumnWidth(FileModel::TimeColumn, TimeColumnWidth);
    setColumnWidth(FileModel::ActionColumn, ActionColumnWidth);

    // Server order until the user picks a column.
    header->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
    syncRowWidgets();
}

void FileTable::setRowWidgetFactory(RowWidgetFactory factory)
{
    m_rowWidgetFactory = std::move(factory);
    rebuildRowWidgets();
}

void FileTable::rebuildRowWidgets()
{
    dropAllRowWidgets();
    syncRowWidgets();
}

QList<int> FileTable::rowsWithWidgets() const
{
    return m_widgetRows;
}

QList<int> FileTable::selectedRows() const
{
    QList<int> rows;
    if (selectionModel()) {
        const QModelIndexList selected = selectionModel()->selectedRows(FileModel::CheckColumn);
        for (const QModelIndex &index : selected)
            rows.append(index.row());
    }
    if (rows.isEmpty()) {
        const int last = lastRow();
        if (last >= 0)
            rows.append(last);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

int FileTable::lastRow() const
{
    if (!m_model || m_clickedRow < 0)
        return -1;
    if (m_clickedGeneration == m_listingGeneration)
        return m_clickedRow < m_model->rowCount() ? m_clickedRow : -1;
    // The listing changed since the click: only the same record may answer, wherever it is now.
    return m_clickedId.isEmpty() ? -1 : m_model->rowOfId(m_clickedId);
}

void FileTable::mousePressEvent(QMouseEvent *event)
{
    // A press on empty space keeps the selection, so a right click there still opens the
    // menu for the rows already chosen.
    const bool plainButton = event->button() == Qt::LeftButton || event->button() == Qt::RightButton;
    if (plainButton && !indexAt(event->position().toPoint()).isValid()) {
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);
}

void FileTable::mouseDoubleClickEvent(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid()) {
        const QPointer<FileTable> alive(this);
        emit doubleClicked(index.row());
        if (!alive)
            return;
    }
    QTableView::mouseDoubleClickEvent(event);
}

void FileTable::keyPressEvent(QKeyEvent *event)
{
    const QPointer<FileTable> alive(this);
    const bool alt = event->modifiers() & Qt::AltModifier;
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentIndex().isValid()) {
        // Return opens what a double click opens; the view's own handling would only start an edit.
        emit doubleClicked(currentIndex().row());
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Backspace || (alt && event->key() == Qt::Key_Left)) {
        emit upRequested();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_F2)
        emit renameRequested();
    else if (event->key() == Qt::Key_Delete)
        emit deleteRequested();
    if (alive)
        QTableView::keyPressEvent(event);
}

void FileTable::dragEnterEvent(QDragEnterEvent *event)
{
    const QMimeData *data = event->mimeData();
    if (data->hasUrls() || data->hasFormat(fileIdsFormat())) {
        event->acceptProposedAction();
        return;
    }
    QTableView::dragEnterEvent(event);
}

void FileTable::dragMoveEvent(QDragMoveEvent *event)
{
    const QMimeData *data = event->mimeData();
    if (data->hasUrls() || data->hasFormat(fileIdsFormat())) {
        // The base class scrolls near the edges; the drop itself is decided here.
        QTableView::dragMoveEvent(event);
        event->acceptProposedAction();
        setDropTargetRow(folderRowForDrop(event->position().toPoint(), data));
        return;
    }
    setDropTargetRow(-1);
    QTableView::dragMoveEvent(event);
}

void FileTable::dragLeaveEvent(QDragLeaveEvent *event)
{
    setDropTargetRow(-1);
    QTableView::dragLeaveEvent(event);
}

void FileTable::dropEvent(QDropEvent *event)
{
    setDropTargetRow(-1);
    const QMimeData *data = event->mimeData();

    if (data->hasUrls()) {
        QStringList paths;
        for (const QUrl &url : data->urls()) {
            if (url.isLocalFile())
                paths.append(url.toLocalFile());
        }
        if (!paths.isEmpty()) {
            event->acceptProposedAction();
            emit filesDropped(paths);
            return;
        }
    }

    if (data->hasFormat(fileIdsFormat())) {
        const int row = folderRowForDrop(event->position().toPoint(), data);
        if (row >= 0) {
            event->acceptProposedAction();
            emit moveDropped(readFileIds(data), jsonText(m_model->rowAt(row), QStringLiteral("id")));
            return;
        }
    }

    QTableView::dropEvent(event);
}

void FileTable::paintEvent(QPaintEvent *event)
{
    QTableView::paintEvent(event);
    if (m_dropTargetRow < 0)
        return;
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(DropTargetColor, 2));
    painter.setBrush(Qt::NoBrush);
    const QRect row(0, rowViewportPosition(m_dropTargetRow), viewport()->width(), rowHeight(m_dropTargetRow));
    painter.drawRoundedRect(QRectF(row).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
}

void FileTable::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);
    syncRowWidgets();
}

void FileTable::updateGeometries()
{
    QTableView::updateGeometries();
    syncRowWidgets();
}

void FileTable::rememberClick(const QModelIndex &index)
{
    if (!index.isValid() || !m_model)
        return;
    m_clickedRow = index.row();
    m_clickedId = jsonText(m_model->rowAt(index.row()), QStringLiteral("id"));
    m_clickedGeneration = m_listingGeneration;
}

void FileTable::syncRowWidgets()
{
    if (!m_model || m_syncing)
        return;
    m_syncing = true;

    int first = -1;
    int last = -1;
    const int count = m_model->rowCount();
    if (m_rowWidgetFactory && count > 0 && viewport()->height() > 0) {
        first = rowAt(0);
        if (first >= 0) {
            last = rowAt(viewport()->height() - 1);
            if (last < 0)
                last = count - 1;
        }
    }
    const auto inView = [first, last](int row) { return first >= 0 && row >= first && row <= last; };

    QList<int> kept;
    for (int row : std::as_const(m_widgetRows)) {
        const QModelIndex index = m_model->index(row, FileModel::ActionColumn);
        if (inView(row))
            kept.append(row);
        else if (index.isValid() && indexWidget(index))
            setIndexWidget(index, nullptr); // deleted later by the view
    }

    m_widgetRows.clear();
    for (int row = first; first >= 0 && row <= last; ++row) {
        const QModelIndex index = m_model->index(row, FileModel::ActionColumn);
        if (!indexWidget(index)) {
            QWidget *widget = m_rowWidgetFactory(row, this);
            if (!widget)
                continue;
            setIndexWidget(index, widget);
        }
        m_widgetRows.append(row);
    }
    m_syncing = false;
}

void FileTable::dropAllRowWidgets()
{
    if (m_model) {
        for (int row : std::as_const(m_widgetRows)) {
            const QModelIndex index = m_model->index(row, FileModel::ActionColumn);
            if (index.isValid() && indexWidget(index))
                setIndexWidget(index, nullptr);
        }
    }
    m_widgetRows.clear();
}

int FileTable::folderRowForDrop(const QPoint &pos, const QMimeData *data) const
{
    if (!m_model || !data->hasFormat(fileIdsFormat()))
        return -1;
    const QModelIndex index = indexAt(pos);
    if (!index.isValid())
        return -1;
    const QJsonObject record = m_model->rowAt(index.row());
    if (!isFolderRecord(record))
        return -1;
    // Rows dropped onto one of themselves (a short, accidental drag) move nothing.
    if (readFileIds(data).contains(jsonText(record, QStringLiteral("id"))))
        return -1;
    return index.row();
}

void FileTable::setDropTargetRow(int row)
{
    if (row == m_dropTargetRow)
        return;
    m_dropTargetRow = row;
    viewport()->update();
}
