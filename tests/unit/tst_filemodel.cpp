#include "files/filemodel.h"

#include <QIcon>
#include <QJsonDocument>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <ctime>
#include <memory>

namespace {

QJsonArray parseArray(const char *json)
{
    return QJsonDocument::fromJson(json).array();
}

QStringList column(const FileModel &model, const QString &key)
{
    QStringList values;
    for (int row = 0; row < model.rowCount(); ++row)
        values.append(model.rowAt(row).value(key).toVariant().toString());
    return values;
}

QString display(const FileModel &model, int row, int col)
{
    return model.data(model.index(row, col)).toString();
}

// Folders and files interleaved, in the server's order.
const char *const MixedListing = R"([
    {"id": "f1", "name": "b.txt", "size": 1, "updated_at": "2024-05-03T10:00:00Z"},
    {"id": "d1", "name": "Beta", "type": "folder", "size": 10485760, "updated_at": "2024-05-01T10:00:00Z"},
    {"id": "f2", "name": "a.txt", "size": "2048", "updated_at": "2024-05-02T10:00:00Z"},
    {"id": "d2", "name": "alpha", "type": "folder", "size": 20, "updated_at": "2024-05-04T10:00:00Z"},
    {"id": "f3", "name": "C.txt", "size": 300, "updated_at": "2024-05-01T09:00:00Z"},
    {"id": "f4", "name": "Folder-like", "type": "Folder", "size": 5, "updated_at": "2024-05-05T10:00:00Z"}
])";

} // namespace

class TestFileModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void keepsOnlyObjectsInServerOrder();
    void outOfRangeRowsAreEmpty();
    void columnsShowFormattedValues();
    void sortPutsFoldersFirstInBothDirections();
    void sortSurvivesReloadsAndKeepsEqualsInServerOrder();
    void everyChangeIsOneReset();
    void dragDataIsTheRowIds();
};

void TestFileModel::initTestCase()
{
    qputenv("TZ", "UTC0");
    tzset();
    // Name order is the user's collation; pin one so that the test does not depend on the machine.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
}

void TestFileModel::keepsOnlyObjectsInServerOrder()
{
    FileModel model;
    model.setRows(parseArray(R"([1, "text", {"id": "x", "name": "kept"}, null, [2]])"));
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.columnCount(), 5);
    QCOMPARE(model.rowAt(0).value("name").toString(), QString("kept"));
    // Unknown members stay in the record.
    model.setRows(parseArray(R"([{"id": 1, "owner": {"x": 1}}, {"id": 2}])"));
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.rowAt(0).value("owner").toObject().value("x").toInt(), 1);
    QCOMPARE(model.rowOfId("2"), 1);
    QCOMPARE(model.rowOfId("3"), -1);
}

void TestFileModel::outOfRangeRowsAreEmpty()
{
    FileModel model;
    model.setRows(parseArray(R"([{"id": 1, "name": "a"}, {"id": 2, "name": "b"}, {"id": 3, "name": "c"}])"));
    QVERIFY(!model.data(model.index(5, 1)).isValid());
    QVERIFY(!model.data(QModelIndex()).isValid());
    QVERIFY(model.rowAt(5).isEmpty());
    QVERIFY(model.rowAt(-1).isEmpty());
    QVERIFY(model.rowAt(3).isEmpty());
    QCOMPARE(model.rowAt(2).value("name").toString(), QString("c"));
}

void TestFileModel::columnsShowFormattedValues()
{
    FileModel model;
    model.setRows(parseArray(R"([
        {"id": 1, "name": "报告.pdf", "size": "2048", "updated_at": "2024-05-01T16:00:00Z"},
        {"id": 2, "name": "资料", "type": "folder", "size": 4096, "updated_at": "2024-05-01 08:30:00"},
        {"id": 3, "name": "nosize.bin", "size": null, "updated_at": "bad"}
    ])"));

    QVERIFY(!model.data(model.index(0, FileModel::CheckColumn)).isValid());
    QCOMPARE(display(model, 0, FileModel::NameColumn), QString("报告.pdf"));
    QCOMPARE(display(model, 0, FileModel::SizeColumn), QString("2.00 KB"));
    QCOMPARE(display(model, 0, FileModel::TimeColumn), QString("2024-05-01 16:00"));
    QCOMPARE(display(model, 0, FileModel::ActionColumn), QString("\u22EE"));

    // Folders show no size, whatever the server sent; a missing size is 0 B.
    QVERIFY(!model.data(model.index(1, FileModel::SizeColumn)).isValid());
    QCOMPARE(display(model, 1, FileModel::TimeColumn), QString("2024-05-01 08:30"));
    QCOMPARE(display(model, 2, FileModel::SizeColumn), QString("0 B"));
    QCOMPARE(display(model, 2, FileModel::TimeColumn), QString("bad"));

    for (int col = 0; col < FileModel::ColumnCount; ++col)
        QCOMPARE(model.data(model.index(1, col), Qt::ToolTipRole).toString(), QString("资料"));

    QCOMPARE(model.data(model.index(0, FileModel::ActionColumn), Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
    QVERIFY(!model.data(model.index(0, FileModel::NameColumn), Qt::TextAlignmentRole).isValid());
    QCOMPARE(model.data(model.index(0, FileModel::NameColumn), Qt::DecorationRole).typeId(), QMetaType::QIcon);
    QVERIFY(!model.data(model.index(0, FileModel::SizeColumn), Qt::DecorationRole).isValid());
    QVERIFY(!model.data(model.index(0, FileModel::NameColumn), Qt::EditRole).isValid());
    QVERIFY(!(model.flags(model.index(0, 1)) & Qt::ItemIsEditable));

    const QStringList headers = {"", "文件名", "大小", "修改时间", "操作"};
    for (int section = 0; section < headers.size(); ++section) {
        QCOMPARE(model.headerData(section, Qt::Horizontal).toString(), headers.at(section));
        QCOMPARE(model.headerData(section, Qt::Vertical).toString(), headers.at(section));
        QVERIFY(!model.headerData(section, Qt::Horizontal, Qt::ToolTipRole).isValid());
    }
    QVERIFY(!model.headerData(0, Qt::Horizontal).isValid());
    QVERIFY(!model.headerData(5, Qt::Horizontal).isValid());
}

void TestFileModel::sortPutsFoldersFirstInBothDirections()
{
    FileModel model;
    model.setRows(parseArray(MixedListing));
    QCOMPARE(column(model, "id"), QStringList({"f1", "d1", "f2", "d2", "f3", "f4"}));

    // Size: the 10 MB folder still precedes the 1-byte file; among folders larger comes last.
    model.setSort(FileModel::SizeColumn, true);
    QCOMPARE(column(model, "id"), QStringList({"d2", "d1", "f1", "f4", "f3", "f2"}));
    model.setSort(FileModel::SizeColumn, false);
    QCOMPARE(column(model, "id"), QStringList({"d1", "d2", "f2", "f3", "f4", "f1"}));

    // Name, locale-aware: each group in (reverse) locale order, folders first either way.
    model.setSort(FileModel::NameColumn, true);
    QCOMPARE(column(model, "name"), QStringList({"alpha", "Beta", "a.txt", "b.txt", "C.txt", "Folder-like"}));
    model.setSort(FileModel::NameColumn, false);
    QCOMPARE(column(model, "name"), QStringList({"Beta", "alpha", "Folder-like", "C.txt", "b.txt", "a.txt"}));

    // Time: the raw ISO text.
    model.setSort(FileModel::TimeColumn, true);
    QCOMPARE(column(model, "id"), QStringList({"d1", "d2", "f3", "f2", "f1", "f4"}));
    model.setSort(FileModel::TimeColumn, false);
    QCOMPARE(column(model, "id"), QStringList({"d2", "d1", "f4", "f1", "f2", "f3"}));

    // The view's header reaches the same sort.
    model.sort(FileModel::SizeColumn, Qt::DescendingOrder);
    QCOMPARE(model.sortColumn(), int(FileModel::SizeColumn));
    QVERIFY(!model.sortAscending());
    QCOMPARE(column(model, "id").first(), QString("d1"));
}

void TestFileModel::sortSurvivesReloadsAndKeepsEqualsInServerOrder()
{
    FileModel model;
    // Check and action columns compare everything equal: only folders move ahead.
    model.setSort(FileModel::ActionColumn, false);
    model.setRows(parseArray(MixedListing));
    QCOMPARE(column(model, "id"), QStringList({"d1", "d2", "f1", "f2", "f3", "f4"}));
    model.setSort(FileModel::CheckColumn, true);
    QCOMPARE(column(model, "id"), QStringList({"d1", "d2", "f1", "f2", "f3", "f4"}));

    model.setSort(FileModel::SizeColumn, true);
    model.setRows(parseArray(R"([{"id": "big", "size": 9}, {"id": "small", "size": 1}, {"id": "same", "size": 1}])"));
    QCOMPARE(column(model, "id"), QStringList({"small", "same", "big"}));

    // Back to server order.
    model.setSort(-1, true);
    model.setRows(parseArray(R"([{"id": "big", "size": 9}, {"id": "small", "size": 1}])"));
    QCOMPARE(column(model, "id"), QStringList({"big", "small"}));
}

void TestFileModel::everyChangeIsOneReset()
{
    FileModel model;
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
    model.setSort(FileModel::NameColumn, true);
    model.setRows(parseArray(MixedListing));
    model.setRows(QJsonArray());
    QCOMPARE(resets.count(), 3);
    QCOMPARE(inserts.count(), 0);
    QCOMPARE(model.rowCount(), 0);
}

void TestFileModel::dragDataIsTheRowIds()
{
    FileModel model;
    model.setRows(parseArray(R"([{"id": 7, "name": "a"}, {"id": "b", "name": "b"}, {"name": "no id"},
                                 {"id": "d", "type": "folder"}])"));
    QVERIFY(model.flags(model.index(0, 1)) & Qt::ItemIsDragEnabled);
    QCOMPARE(model.mimeTypes(), QStringList({"application/x-tvr-fileids"}));

    // Several columns of the same rows, out of order: each row once, ascending, without empty ids.
    const QModelIndexList indexes = {model.index(3, 0), model.index(0, 1), model.index(3, 2), model.index(2, 1),
                                     model.index(0, 4)};
    std::unique_ptr<QMimeData> data(model.mimeData(indexes));
    QVERIFY(data);
    QCOMPARE(data->data("application/x-tvr-fileids"), QByteArray("7,d"));
    QVERIFY(!data->hasUrls());

    // Nothing to drag without ids.
    QVERIFY(!model.mimeData({model.index(2, 1)}));
    // The model itself never takes a drop.
    QMimeData payload;
    payload.setData("application/x-tvr-fileids", "7");
    QVERIFY(!model.canDropMimeData(&payload, Qt::MoveAction, -1, -1, model.index(3, 1)));
    QVERIFY(!model.dropMimeData(&payload, Qt::MoveAction, -1, -1, model.index(3, 1)));
}

QTEST_MAIN(TestFileModel)
#include "tst_filemodel.moc"
