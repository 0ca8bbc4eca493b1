#include "files/filemodel.h"

#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
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

    void listingTextShowsWhatTheParsedArrayShows_data();
    void listingTextShowsWhatTheParsedArrayShows();
    void recordsHandedOnKeepEveryMemberTheServerSent();
    void compactRecordsSortByNameSizeAndTime();
    void nameSortFollowsLocaleAwareCompare();
    void recordsOutliveTheAnswerTheyWereReadFrom();
    void textThatIsNotASuccessfulListingIsRefused_data();
    void textThatIsNotASuccessfulListingIsRefused();
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

namespace {

QByteArray listingBody(const char *array)
{
    return QByteArray(R"({"success": true, "data": )") + array + "}";
}

// Every shown value and every handed-on record of two models, row by row.
void compareModels(const FileModel &expected, const FileModel &actual)
{
    QCOMPARE(actual.rowCount(), expected.rowCount());
    for (int row = 0; row < expected.rowCount(); ++row) {
        QCOMPARE(actual.rowAt(row), expected.rowAt(row));
        for (int col = 0; col < FileModel::ColumnCount; ++col) {
            for (int role : {int(Qt::DisplayRole), int(Qt::ToolTipRole)})
                QCOMPARE(actual.data(actual.index(row, col), role), expected.data(expected.index(row, col), role));
        }
        const QString id = expected.rowAt(row).value("id").toVariant().toString();
        QCOMPARE(actual.rowOfId(id), expected.rowOfId(id));
        QCOMPARE(actual.locationOf(row), expected.locationOf(row));
    }
}

// Records whose members take the slow way as well as the plain one: escapes, fractions, numbers
// as strings, nulls, members the table does not use, odd spacing.
const char *const UnusualListing = R"([
    {"id": 7, "name": "plain.pdf", "size": 5000000000, "parent_id": 3, "updated_at": "2024-05-02T08:30:00Z",
     "mime_type": "application/pdf", "md5": "abc", "category": "document"},
    {"id": "x-9", "name": "say \"hi\" \u00e9\n.txt", "size": 1.5, "parent_id": null, "type": "file"},
    { "id" : 8 , "name" : "间距.txt" , "size" : "2048" , "extra" : {"nested": [1, {"a": null}]} },
    {"id": -12, "name": "负.bin", "size": -3, "parent_id": "0", "type": "folder"},
    {"id": 1e2, "name": 5, "size": null, "updated_at": true, "mime_type": ["x"]},
    {"name": "twice", "name": "second", "id": 11},
    {},
    3, "skipped", null
])";

// Numbers at and past the edge of exact doubles, signed zero, exponents, and text in escapes,
// surrogate pairs and raw four-byte UTF-8, each read as QJsonDocument reads it.
const char *const NumbersAndUnicode = R"([
    {"id": 9007199254740993, "name": "big", "size": 9223372036854775807},
    {"id": 123456789012345678, "name": "eighteen digits", "size": 999999999999999999},
    {"id": -0, "name": "minus zero", "size": 1E3},
    {"id": 5, "name": "\ud83d\ude00 \u4e2d\u6587 \u00e9", "size": 12.0e-1, "updated_at": "2024\/05\/01"},
    {"id": 6, "name": "😀 𠀀 中文 é", "mime_type": "image\/png", "size": -9223372036854775807},
    {"id": 7, "name": "tab\there", "type": "fold\u0065r", "size": 0}
])";

} // namespace

void TestFileModel::listingTextShowsWhatTheParsedArrayShows_data()
{
    QTest::addColumn<QByteArray>("array");
    QTest::addColumn<bool>("locations");
    QTest::newRow("mixed") << QByteArray(MixedListing) << false;
    QTest::newRow("unusual") << QByteArray(UnusualListing) << false;
    QTest::newRow("unusual with locations") << QByteArray(UnusualListing) << true;
    QTest::newRow("numbers and unicode") << QByteArray(NumbersAndUnicode) << false;
    QTest::newRow("empty") << QByteArray("[]") << false;
}

void TestFileModel::listingTextShowsWhatTheParsedArrayShows()
{
    QFETCH(QByteArray, array);
    QFETCH(bool, locations);
    FileModel parsed;
    FileModel compact;
    if (locations) {
        const QHash<QString, QString> paths{{QString(), "全部文件"}, {"3", "全部文件 / 资料"}};
        parsed.setLocations(paths);
        compact.setLocations(paths);
    }
    parsed.setRows(QJsonDocument::fromJson(array).array());
    QVERIFY(compact.setListingText(listingBody(array.constData())));
    compareModels(parsed, compact);
    for (int sortColumn : {int(FileModel::NameColumn), int(FileModel::SizeColumn), int(FileModel::TimeColumn)}) {
        for (bool ascending : {true, false}) {
            parsed.setSort(sortColumn, ascending);
            compact.setSort(sortColumn, ascending);
            compareModels(parsed, compact);
        }
    }
}

void TestFileModel::recordsHandedOnKeepEveryMemberTheServerSent()
{
    const QJsonArray sent = QJsonDocument::fromJson(UnusualListing).array();
    FileModel model;
    QVERIFY(model.setListingText(listingBody(UnusualListing)));
    QCOMPARE(model.rowCount(), 7);
    int row = 0;
    for (const QJsonValue &value : sent) {
        if (value.isObject())
            QCOMPARE(model.rowAt(row++), value.toObject());
    }
    QCOMPARE(model.rowAt(0).value("md5").toString(), QString("abc"));
    QCOMPARE(model.rowAt(2).value("extra").toObject().value("nested").toArray().size(), 2);

    // The same through a parsed array, and after sorting.
    FileModel fromArray;
    fromArray.setRows(sent);
    fromArray.setSort(FileModel::SizeColumn, false);
    for (int i = 0; i < fromArray.rowCount(); ++i)
        QVERIFY(sent.contains(fromArray.rowAt(i)));
}

void TestFileModel::compactRecordsSortByNameSizeAndTime()
{
    FileModel model;
    QVERIFY(model.setListingText(listingBody(MixedListing)));
    model.setSort(FileModel::SizeColumn, false);
    QCOMPARE(column(model, "id"), QStringList({"d1", "d2", "f2", "f3", "f4", "f1"}));
    model.setSort(FileModel::SizeColumn, true);
    QCOMPARE(column(model, "id"), QStringList({"d2", "d1", "f1", "f4", "f3", "f2"}));
    model.setSort(FileModel::NameColumn, true);
    QCOMPARE(column(model, "name"), QStringList({"alpha", "Beta", "a.txt", "b.txt", "C.txt", "Folder-like"}));
    model.setSort(FileModel::TimeColumn, false);
    QCOMPARE(column(model, "id"), QStringList({"d2", "d1", "f4", "f1", "f2", "f3"}));
    // Back to the server's order for a new listing, sorted again by the kept column.
    QVERIFY(model.setListingText(listingBody(R"([{"id": "n", "updated_at": "2024-06-01"}, {"id": "o"}])")));
    QCOMPARE(column(model, "id"), QStringList({"n", "o"}));
}

void TestFileModel::nameSortFollowsLocaleAwareCompare()
{
    const QStringList names = {"file10.txt", "file2.txt", "File1.txt", "Äpfel",  "apfel",  "Zebra", "zebra",
                               "_under",     "中文",      "汉字",      "ß",      "ss",     "a b",   "a-b",
                               "ab",         "",          "😀",         "éclair", "eclair", "Ω"};
    QJsonArray array;
    for (int i = 0; i < names.size(); ++i)
        array.append(QJsonObject{{"id", i}, {"name", names.at(i)}});
    QByteArray text = QJsonDocument(array).toJson(QJsonDocument::Compact);
    FileModel model;
    QVERIFY(model.setListingText(listingBody(text.constData())));
    for (bool ascending : {true, false}) {
        QStringList expected = names;
        std::stable_sort(expected.begin(), expected.end(), [ascending](const QString &a, const QString &b) {
            const int result = QString::localeAwareCompare(a, b);
            return ascending ? result < 0 : result > 0;
        });
        model.setSort(FileModel::NameColumn, ascending);
        QCOMPARE(column(model, "name"), expected);
    }
}

void TestFileModel::recordsOutliveTheAnswerTheyWereReadFrom()
{
    FileModel model;
    {
        QByteArray body = listingBody(R"([{"id": 1, "name": "one.txt", "md5": "m1"}, {"id": 2, "name": "two"}])");
        QVERIFY(model.setListingText(body));
        body.fill('x'); // the caller's copy changes; the model's must not
    }
    QCOMPARE(model.rowAt(0), QJsonObject({{"id", 1}, {"name", "one.txt"}, {"md5", "m1"}}));
    QCOMPARE(model.rowAt(1).value("name").toString(), QString("two"));
    // A parsed array replaces the answer's rows and needs nothing of it.
    model.setRows(parseArray(R"([{"id": 3, "name": "three"}])"));
    QCOMPARE(model.rowAt(0), QJsonObject({{"id", 3}, {"name", "three"}}));
}

void TestFileModel::textThatIsNotASuccessfulListingIsRefused_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("failure") << QByteArray(R"({"success": false, "message": "无权访问", "data": []})");
    QTest::newRow("no success") << QByteArray(R"({"data": []})");
    QTest::newRow("no data") << QByteArray(R"({"success": true})");
    QTest::newRow("data an object") << QByteArray(R"({"success": true, "data": {"id": 1}})");
    QTest::newRow("data twice") << QByteArray(R"({"success": true, "data": [], "data": [{"id": 1}]})");
    QTest::newRow("trailing comma") << listingBody(R"([{"id": 1},])");
    QTest::newRow("bad escape") << listingBody(R"([{"id": 1, "name": "a\qb"}])");
    QTest::newRow("short unicode escape") << listingBody(R"([{"name": "\u12"}])");
    QTest::newRow("control character") << listingBody("[{\"name\": \"a\tb\"}]");
    QTest::newRow("bad number") << listingBody(R"([{"size": 01}])");
    QTest::newRow("unclosed") << QByteArray(R"({"success": true, "data": [{"id": 1})");
    QTest::newRow("after the end") << (listingBody("[]") + "x");
    QTest::newRow("array body") << QByteArray("[]");
    QTest::newRow("empty") << QByteArray();
}

void TestFileModel::textThatIsNotASuccessfulListingIsRefused()
{
    QFETCH(QByteArray, body);
    FileModel model;
    model.setRows(parseArray(R"([{"id": "kept"}])"));
    QVERIFY(!model.setListingText(body));
    QCOMPARE(column(model, "id"), QStringList({"kept"}));
}

QTEST_MAIN(TestFileModel)
#include "tst_filemodel.moc"
