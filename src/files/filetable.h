#pragma once

#include <QTableView>
#include <functional>

class FileModel;

// The view of a file list: whole-row selection, a check-box column, row buttons in the action
// column, and drops of desktop files (upload) or dragged rows onto a folder row (move).
// It configures its own look and columns; header clicks sort the model directly.
class FileTable final : public QTableView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileTable)

public:
    // Builds the widget shown in the action column of one row; the table owns the result.
    using RowWidgetFactory = std::function<QWidget *(int row, QWidget *parent)>;

    static constexpr int RowHeight = 46;

    explicit FileTable(QWidget *parent = nullptr);

    // Sets the model and applies the column layout (widths, check-box delegate, sorting).
    void setFileModel(FileModel *model);
    FileModel *fileModel() const { return m_model; }

    // Row widgets exist only for the rows in view: they are created as rows scroll in and
    // dropped as they scroll out, so a folder of any size costs a screenful of widgets.
    void setRowWidgetFactory(RowWidgetFactory factory);
    // Drops every row widget and builds those in view again (after the page's mode changed).
    void rebuildRowWidgets();
    // Rows that currently have a row widget, ascending (for inspection and tests).
    QList<int> rowsWithWidgets() const;

    // The selected rows ascending; with none selected, the row of the last clicked record while
    // that record is still listed.
    QList<int> selectedRows() const;
    // Row of the last clicked record, or -1 (never clicked, or no longer listed).
    int lastRow() const;

signals:
    void filesDropped(const QStringList &localPaths);
    void moveDropped(const QStringList &fileIds, const QString &targetFolderId);
    void renameRequested();
    void deleteRequested();
    void doubleClicked(int row);
    // Backspace or Alt+Left: the folder above, please.
    void upRequested();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;

private:
    void rememberClick(const QModelIndex &index);
    void syncRowWidgets();
    void dropAllRowWidgets();
    int folderRowForDrop(const QPoint &pos, const QMimeData *data) const;
    void setDropTargetRow(int row);

    FileModel *m_model = nullptr;
    RowWidgetFactory m_rowWidgetFactory;
    QList<int> m_widgetRows; // ascending
    bool m_syncing = false;

    // The last click, as a row valid for one listing and as the record's id beyond it.
    int m_clickedRow = -1;
    QString m_clickedId;
    quint64 m_clickedGeneration = 0;
    quint64 m_listingGeneration = 0;

    int m_dropTargetRow = -1;
};
