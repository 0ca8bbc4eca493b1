#include "files/checkcolumndelegate.h"
#include "files/filemodel.h"
#include "files/filetable.h"

#include <QHeaderView>
#include <QJsonDocument>
#include <QLabel>
#include <QMimeData>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

namespace {

const QString IdsFormat = QStringLiteral("application/x-tvr-fileids");

QJsonArray parseArray(const char *json)
{
    return QJsonDocument::fromJson(json).array();
}

QJsonArray generatedRows(int count)
{
    QJsonArray rows;
    for (int i = 0; i < count; ++i) {
        QJsonObject record{{"id", QString::number(i)},
                           {"name", QStringLiteral("file-%1.txt").arg(i, 5, 10, QLatin1Char('0'))},
                           {"size", i * 10},
                           {"updated_at", "2024-05-01T10:00:00Z"}};
        if (i % 10 == 0)
            record.insert("type", "folder");
        rows.append(record);
    }
    return rows;
}

// Five rows: folders at 0 and 2.
const char *const SmallListing = R"([
    {"id": "9", "name": "Docs", "type": "folder"},
    {"id": "10", "name": "a.txt", "size": 1},
    {"id": "11", "name": "Pics", "type": "folder"},
    {"id": "12", "name": "b.txt", "size": 2},
    {"id": "13", "name": "c.txt", "size": 3}
])";

} // namespace

class TestFileTable : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void checkBoxTogglesOneRowAndKeepsOthers();
    void pressesOnEmptySpaceKeepSelection();
    void keysAndDoubleClicksBecomeSignals();
    void desktopFilesDropAnywhere();
    void idPayloadDropsOnlyOnOtherFolderRows();
    void lastClickFallbackNamesOnlyTheClickedRecord();
    void headerClickSortsTheModel();
    void rowWidgetsExistExactlyForVisibleRows();
    void rowWidgetsFollowResetsAndResizes();

private:
    QPoint cellCentre(int row, int col) const;
    QList<int> selected() const;
    bool drop(QMimeData *data, const QPoint &pos);

    FileModel *m_model = nullptr;
    FileTable *m_table = nullptr;
};

void TestFileTable::init()
{
    m_table = new FileTable;
    m_model = new FileModel(m_table);
    m_table->setFileModel(m_model);
    m_model->setRows(parseArray(SmallListing));
    m_table->resize(800, 500);
    m_table->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_table));
}

void TestFileTable::cleanup()
{
    delete m_table;
    m_table = nullptr;
    m_model = nullptr;
}

QPoint TestFileTable::cellCentre(int row, int col) const
{
    return m_table->visualRect(m_model->index(row, col)).center();
}

QList<int> TestFileTable::selected() const
{
    QList<int> rows;
    for (const QModelIndex &index : m_table->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool TestFileTable::drop(QMimeData *data, const QPoint &pos)
{
    // As the window system delivers it: enter, move, then the drop to whoever took the enter.
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(pos, actions, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_table->viewport(), &enter);
    if (!enter.isAccepted())
        return false;
    QDragMoveEvent move(pos, actions, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_table->viewport(), &move);
    QDropEvent event(pos, actions, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_table->viewport(), &event);
    return true;
}

void TestFileTable::checkBoxTogglesOneRowAndKeepsOthers()
{
    QWidget *viewport = m_table->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, cellCentre(1, 1));
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, cellCentre(2, 2));
    QCOMPARE(selected(), QList<int>({1, 2}));

    // Inside the 16-pixel box: adds row 3, then removes it, never touching 1 and 2.
    QTest::mouseClick(viewport, Qt::LeftButton, {}, cellCentre(3, FileModel::CheckColumn));
    QCOMPARE(selected(), QList<int>({1, 2, 3}));
    QTest::mouseClick(viewport, Qt::LeftButton, {}, cellCentre(3, FileModel::CheckColumn));
    QCOMPARE(selected(), QList<int>({1, 2}));
    // Unticking a row that was selected by a plain click works the same way.
    QTest::mouseClick(viewport, Qt::LeftButton, {}, cellCentre(1, FileModel::CheckColumn));
    QCOMPARE(selected(), QList<int>({2}));

    // Column 0 outside the box is an ordinary click: only that row.
    const QRect cell = m_table->visualRect(m_model->index(4, FileModel::CheckColumn));
    const QRect box = CheckColumnDelegate::boxRect(cell);
    QVERIFY(!box.contains(QPoint(cell.left() + 2, cell.top() + 3)));
    QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(cell.left() + 2, cell.top() + 3));
    QCOMPARE(selected(), QList<int>({4}));
}

void TestFileTable::pressesOnEmptySpaceKeepSelection()
{
    m_table->selectAll();
    QCOMPARE(selected().size(), 5);
    const QPoint below(200, m_table->viewport()->height() - 5);
    QVERIFY(!m_table->indexAt(below).isValid());
    QSignalSpy menu(m_table, &QWidget::customContextMenuRequested);
    QTest::mouseClick(m_table->viewport(), Qt::RightButton, {}, below);
    QTest::mouseClick(m_table->viewport(), Qt::LeftButton, {}, below);
    QCOMPARE(selected().size(), 5);
    // A press on a row still replaces the selection.
    QTest::mouseClick(m_table->viewport(), Qt::LeftButton, {}, cellCentre(0, 1));
    QCOMPARE(selected(), QList<int>({0}));
}

void TestFileTable::keysAndDoubleClicksBecomeSignals()
{
    QSignalSpy rename(m_table, &FileTable::renameRequested);
    QSignalSpy remove(m_table, &FileTable::deleteRequested);
    QSignalSpy opened(m_table, &FileTable::doubleClicked);

    // F2 before any click still asks; the page decides what it means.
    QTest::keyClick(m_table, Qt::Key_F2);
    QCOMPARE(rename.count(), 1);
    QTest::keyClick(m_table, Qt::Key_Delete);
    QCOMPARE(remove.count(), 1);
    QCOMPARE(rename.count(), 1);

    // Other keys still reach the view: Down moves the current row.
    QTest::mouseClick(m_table->viewport(), Qt::LeftButton, {}, cellCentre(1, 1));
    QTest::keyClick(m_table, Qt::Key_Down);
    QCOMPARE(m_table->currentIndex().row(), 2);

    QTest::mouseDClick(m_table->viewport(), Qt::LeftButton, {}, cellCentre(3, 2));
    QCOMPARE(opened.count(), 1);
    QCOMPARE(opened.first().first().toInt(), 3);
    QTest::mouseDClick(m_table->viewport(), Qt::LeftButton, {}, QPoint(100, m_table->viewport()->height() - 5));
    QCOMPARE(opened.count(), 1);
}

void TestFileTable::desktopFilesDropAnywhere()
{
    QSignalSpy files(m_table, &FileTable::filesDropped);
    QSignalSpy moves(m_table, &FileTable::moveDropped);

    QMimeData local;
    local.setUrls(
        {QUrl::fromLocalFile("/home/u/报告.pdf"), QUrl("https://example.com/x"), QUrl::fromLocalFile("/home/u/照片")});
    drop(&local, QPoint(100, m_table->viewport()->height() - 5)); // empty space
    QCOMPARE(files.count(), 1);
    QCOMPARE(files.first().first().toStringList(), QStringList({"/home/u/报告.pdf", "/home/u/照片"}));

    // A web link is no upload; with a file-id payload on a folder it is a move.
    QMimeData web;
    web.setUrls({QUrl("https://example.com/a.zip")});
    drop(&web, cellCentre(1, 1));
    QCOMPARE(files.count(), 1);
    web.setData(IdsFormat, "12");
    drop(&web, cellCentre(0, 1));
    QCOMPARE(files.count(), 1);
    QCOMPARE(moves.count(), 1);
}

void TestFileTable::idPayloadDropsOnlyOnOtherFolderRows()
{
    QSignalSpy moves(m_table, &FileTable::moveDropped);
    QMimeData payload;
    payload.setData(IdsFormat, "a,,b,");

    drop(&payload, cellCentre(0, 3)); // folder "Docs", id 9, any column
    QCOMPARE(moves.count(), 1);
    QCOMPARE(moves.first().at(0).toStringList(), QStringList({"a", "b"}));
    QCOMPARE(moves.first().at(1).toString(), QString("9"));

    drop(&payload, cellCentre(1, 1));                               // a file
    drop(&payload, QPoint(100, m_table->viewport()->height() - 5)); // empty space
    QCOMPARE(moves.count(), 1);

    // Blanks and quotes are ids as they are.
    QMimeData spaced;
    spaced.setData(IdsFormat, " 1,\"2\"");
    drop(&spaced, cellCentre(2, 1));
    QCOMPARE(moves.count(), 2);
    QCOMPARE(moves.last().at(0).toStringList(), QStringList({" 1", "\"2\""}));
    QCOMPARE(moves.last().at(1).toString(), QString("11"));

    // Rows dropped onto one of themselves move nothing.
    QMimeData self;
    self.setData(IdsFormat, "10,11");
    drop(&self, cellCentre(2, 1));
    QCOMPARE(moves.count(), 2);

    // Any other data is refused as soon as it enters.
    QMimeData text;
    text.setText("9");
    QVERIFY(!drop(&text, cellCentre(0, 1)));
    QVERIFY(drop(&payload, cellCentre(0, 1)));
    QCOMPARE(moves.count(), 3);
}

void TestFileTable::lastClickFallbackNamesOnlyTheClickedRecord()
{
    QCOMPARE(m_table->lastRow(), -1);
    QVERIFY(m_table->selectedRows().isEmpty());

    QTest::mouseClick(m_table->viewport(), Qt::LeftButton, {}, cellCentre(3, 1)); // id 12
    QTest::mouseClick(m_table->viewport(), Qt::LeftButton, Qt::ControlModifier, cellCentre(1, 1));
    QCOMPARE(m_table->selectedRows(), QList<int>({1, 3}));
    QCOMPARE(m_table->lastRow(), 1);
    QTest::mouseClick(m_table->viewport(), Qt::LeftButton, {}, cellCentre(3, 1));
    m_table->clearSelection();
    QCOMPARE(m_table->selectedRows(), QList<int>({3}));

    // A new listing in another order: the clicked record is followed, not its old row number.
    m_model->setRows(parseArray(R"([{"id": "12", "name": "b.txt"}, {"id": "10", "name": "a.txt"},
                                    {"id": "13", "name": "c.txt"}, {"id": "14", "name": "d.txt"}])"));
    QCOMPARE(m_table->lastRow(), 0);
    QCOMPARE(m_table->selectedRows(), QList<int>({0}));

    // Once the record is gone, nothing is named, even though row 3 still exists.
    m_model->setRows(parseArray(R"([{"id": "10"}, {"id": "13"}, {"id": "14"}, {"id": "15"}])"));
    QCOMPARE(m_table->lastRow(), -1);
    QVERIFY(m_table->selectedRows().isEmpty());

    // A record without id can be named only within the listing it was clicked in.
    m_model->setRows(parseArray(R"([{"name": "x"}, {"name": "y"}])"));
    QTest::mouseClick(m_table->viewport(), Qt::LeftButton, {}, cellCentre(1, 1));
    m_table->clearSelection();
    QCOMPARE(m_table->selectedRows(), QList<int>({1}));
    m_model->setRows(parseArray(R"([{"name": "x"}, {"name": "y"}])"));
    QVERIFY(m_table->selectedRows().isEmpty());
}

void TestFileTable::headerClickSortsTheModel()
{
    QHeaderView *header = m_table->horizontalHeader();
    QCOMPARE(header->sortIndicatorSection(), -1);
    QCOMPARE(m_model->sortColumn(), -1);
    const int x = header->sectionViewportPosition(FileModel::SizeColumn) + 10;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    QCOMPARE(m_model->sortColumn(), int(FileModel::SizeColumn));
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    QCOMPARE(m_model->sortColumn(), int(FileModel::SizeColumn));
    QCOMPARE(m_model->sortAscending(), header->sortIndicatorOrder() == Qt::AscendingOrder);
    // Folders first, then files by size in the header's direction.
    QCOMPARE(m_model->rowAt(0).value("type").toString(), QString("folder"));
    QCOMPARE(m_model->rowAt(1).value("type").toString(), QString("folder"));
}

void TestFileTable::rowWidgetsExistExactlyForVisibleRows()
{
    int created = 0;
    QList<int> createdRows;
    m_table->setRowWidgetFactory([&](int row, QWidget *parent) {
        ++created;
        createdRows.append(row);
        return new QLabel(QString::number(row), parent);
    });
    m_model->setRows(generatedRows(10000));
    QCoreApplication::processEvents();

    const auto expectVisibleRange = [this] {
        const int first = m_table->rowAt(0);
        const int last = m_table->rowAt(m_table->viewport()->height() - 1);
        QVERIFY(first >= 0 && last >= first);
        QList<int> expected;
        for (int row = first; row <= last; ++row)
            expected.append(row);
        QCOMPARE(m_table->rowsWithWidgets(), expected);
        for (int row = first; row <= last; ++row) {
            const QModelIndex index = m_model->index(row, FileModel::ActionColumn);
            auto *label = qobject_cast<QLabel *>(m_table->indexWidget(index));
            QVERIFY(label);
            QCOMPARE(label->text(), QString::number(row));
            QCOMPARE(label->geometry(), m_table->visualRect(index));
        }
        QVERIFY(!m_table->indexWidget(m_model->index(first - 1, FileModel::ActionColumn)));
        QVERIFY(!m_table->indexWidget(m_model->index(last + 1, FileModel::ActionColumn)));
    };

    expectVisibleRange();
    QCOMPARE(m_table->rowsWithWidgets().first(), 0);
    QVERIFY(created < 20);

    m_table->verticalScrollBar()->setValue(m_table->verticalScrollBar()->maximum() / 2);
    QCoreApplication::processEvents();
    expectVisibleRange();
    QVERIFY(m_table->rowsWithWidgets().first() > 4000);

    m_table->scrollToBottom();
    QCoreApplication::processEvents();
    expectVisibleRange();
    QCOMPARE(m_table->rowsWithWidgets().last(), 9999);

    // Small steps reuse what is already in view: one step creates only the new rows.
    m_table->scrollToTop();
    QCoreApplication::processEvents();
    const int before = created;
    const int lastBefore = m_table->rowsWithWidgets().last();
    m_table->scrollTo(m_model->index(lastBefore + 3, 1));
    QCoreApplication::processEvents();
    expectVisibleRange();
    const int lastAfter = m_table->rowsWithWidgets().last();
    QVERIFY(lastAfter >= lastBefore + 3);
    QCOMPARE(created - before, lastAfter - lastBefore);

    // Out of view means gone: only a screenful of widgets lives once deferred deletes ran.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(m_table->viewport()->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly).size(),
             m_table->rowsWithWidgets().size());
}

void TestFileTable::rowWidgetsFollowResetsAndResizes()
{
    m_table->setRowWidgetFactory([](int row, QWidget *parent) {
        // Folders get no buttons in this factory; rows may go without a widget.
        return row % 2 ? nullptr : new QLabel(QString::number(row), parent);
    });
    m_model->setRows(generatedRows(200));
    QCoreApplication::processEvents();
    const QList<int> shown = m_table->rowsWithWidgets();
    QVERIFY(!shown.isEmpty());
    for (int row : shown)
        QCOMPARE(row % 2, 0);

    // A sort is a reset: the widgets are built again for the rows now in view.
    m_model->setSort(FileModel::NameColumn, false);
    QCoreApplication::processEvents();
    QCOMPARE(m_table->rowsWithWidgets(), shown);
    auto *label = qobject_cast<QLabel *>(m_table->indexWidget(m_model->index(0, FileModel::ActionColumn)));
    QVERIFY(label);

    // A taller table shows more rows, each with its widget.
    const int lastBefore = m_table->rowAt(m_table->viewport()->height() - 1);
    m_table->resize(800, 900);
    QCoreApplication::processEvents();
    const int lastAfter = m_table->rowAt(m_table->viewport()->height() - 1);
    QVERIFY(lastAfter > lastBefore);
    QVERIFY(m_table->rowsWithWidgets().contains(lastAfter - lastAfter % 2));

    // An empty listing leaves none.
    m_model->setRows(QJsonArray());
    QCoreApplication::processEvents();
    QVERIFY(m_table->rowsWithWidgets().isEmpty());
}

QTEST_MAIN(TestFileTable)
#include "tst_filetable.moc"
