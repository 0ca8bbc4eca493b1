// The trash page against a scripted server: the empty state and button texts, how rows show
// folders and deletion times, select-all, which actions ask first and what they send, and list
// answers that arrive after a newer request or after the page is gone.
#include "files/filechangenotifier.h"
#include "files/formatting.h"
#include "modalanswer.h"
#include "net/httpclient.h"
#include "scriptedserver.h"
#include "spaces/trashpage.h"
#include "ui/carddialog.h"
#include "ui/offlineoverlay.h"

#include <QApplication>
#include <QJsonArray>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

namespace {

const QString TrashPath = QStringLiteral("/api/files/trash");

QJsonObject trashed(const QString &id, const QString &name, const QString &type = QStringLiteral("file"),
                    qint64 size = 2048)
{
    return {{"id", id},
            {"name", name},
            {"type", type},
            {"size", size},
            {"mime_type", "application/pdf"},
            {"trash_time", "2025-03-02T09:30:00Z"},
            {"updated_at", "2025-03-01T08:00:00Z"}};
}

QToolButton *rowButton(TrashPage &page, int row, const char *objectName)
{
    QWidget *cell = page.table()->cellWidget(row, TrashPage::ActionColumn);
    return cell ? cell->findChild<QToolButton *>(QString::fromLatin1(objectName)) : nullptr;
}

} // namespace

class TestTrashPage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void emptyTrashShowsTheEmptyStateAndZeroCounts();
    void rowsShowFoldersWithoutSizeAndTheBestTimeKnown();
    void selectAllTogglesEveryRowAndTheCounts();
    void singleRestoreAsksNothing();
    void permanentDeleteAlwaysAsksAndDeclineSendsNothing();
    void batchesConfirmWithTheCountAndSendTheCheckedIds();
    void strayReturnInThePurgeQuestionPurgesNothing();
    void restoresAndPurgesReportChangedFiles();
    void olderListAnswerIsIgnored();
    void unreachableServerKeepsTheTrashAndOffersRetry();
    void answerAfterThePageIsGoneIsDropped();

private:
    int trashListings() const { return int(m_server->requests("GET", TrashPath).size()); }
    void serveTrash(const QJsonArray &items);
    // Shows the page and waits for its first listing to be applied.
    void showAndLoad(TrashPage &page, int rows);

    ScriptedServer *m_server = nullptr;
};

void TestTrashPage::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_server->on("", QStringLiteral("/api/files/*"), ScriptedReply::success());
}

void TestTrashPage::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

void TestTrashPage::serveTrash(const QJsonArray &items)
{
    m_server->on("GET", TrashPath, ScriptedReply::success(items));
}

void TestTrashPage::showAndLoad(TrashPage &page, int rows)
{
    page.resize(900, 500);
    page.show();
    QTRY_VERIFY(trashListings() >= 1);
    QTRY_COMPARE(page.table()->rowCount(), rows);
}

void TestTrashPage::emptyTrashShowsTheEmptyStateAndZeroCounts()
{
    serveTrash({});
    TrashPage page;
    page.resize(900, 500);
    page.show();
    QTRY_VERIFY(page.emptyLabel()->isVisible());
    QCOMPARE(page.emptyLabel()->text(), QStringLiteral("回收站为空"));
    QVERIFY(!page.table()->isVisible());
    QCOMPARE(page.restoreButton()->text(), QStringLiteral("还原选中 (0)"));
    QCOMPARE(page.purgeButton()->text(), QStringLiteral("彻底删除选中 (0)"));
    QVERIFY(!page.restoreButton()->isEnabled());
    QVERIFY(!page.purgeButton()->isEnabled());
    QCOMPARE(page.selectAllButton()->text(), QStringLiteral("全选"));

    // Select-all on nothing stays "全选".
    QTest::mouseClick(page.selectAllButton(), Qt::LeftButton);
    QCOMPARE(page.selectAllButton()->text(), QStringLiteral("全选"));
    QVERIFY(!page.restoreButton()->isEnabled());
}

void TestTrashPage::rowsShowFoldersWithoutSizeAndTheBestTimeKnown()
{
    QJsonObject noTrashTime = trashed("3", "old.txt");
    noTrashTime.remove("trash_time");
    QJsonObject garbled = trashed("4", "odd.txt");
    garbled.insert("trash_time", "上周三下午三点左右删除的文件记录（时区未知）");
    serveTrash({trashed("1", "资料", "folder", 4096), trashed("2", "report.pdf", "file", 2048), noTrashTime, garbled});
    TrashPage page;
    showAndLoad(page, 4);

    QTableWidget *table = page.table();
    QVERIFY(table->isVisible());
    QVERIFY(!page.emptyLabel()->isVisible());
    QCOMPARE(table->horizontalHeaderItem(TrashPage::NameColumn)->text(), QStringLiteral("文件名"));
    QCOMPARE(table->horizontalHeaderItem(TrashPage::TimeColumn)->text(), QStringLiteral("删除时间"));
    // In the server's order, ids in the check column.
    QCOMPARE(table->item(0, TrashPage::CheckColumn)->data(Qt::UserRole).toString(), QStringLiteral("1"));
    QCOMPARE(table->item(3, TrashPage::CheckColumn)->data(Qt::UserRole).toString(), QStringLiteral("4"));
    QCOMPARE(table->item(0, TrashPage::NameColumn)->text(), QStringLiteral("资料"));
    QVERIFY(!table->item(0, TrashPage::NameColumn)->icon().isNull());

    QCOMPARE(table->item(0, TrashPage::SizeColumn)->text(), QString()); // a folder has no size
    QCOMPARE(table->item(1, TrashPage::SizeColumn)->text(), formatSize(2048));
    QVERIFY(!formatSize(2048).isEmpty());

    QCOMPARE(table->item(1, TrashPage::TimeColumn)->text(), formatDateTime("2025-03-02T09:30:00Z"));
    QCOMPARE(table->item(2, TrashPage::TimeColumn)->text(), formatDateTime("2025-03-01T08:00:00Z"));
    QVERIFY(table->item(1, TrashPage::TimeColumn)->text() != table->item(2, TrashPage::TimeColumn)->text());
    QCOMPARE(table->item(3, TrashPage::TimeColumn)->text(), QStringLiteral("上周三下午三点左右删除的文件记录"));

    QCOMPARE(rowButton(page, 1, "RowIconBtn")->toolTip(), QStringLiteral("还原"));
    QCOMPARE(rowButton(page, 1, "RowIconDanger")->toolTip(), QStringLiteral("彻底删除"));
}

void TestTrashPage::selectAllTogglesEveryRowAndTheCounts()
{
    serveTrash({trashed("1", "a.pdf"), trashed("2", "b.pdf")});
    TrashPage page;
    showAndLoad(page, 2);

    page.table()->item(1, TrashPage::CheckColumn)->setCheckState(Qt::Checked);
    QCOMPARE(page.restoreButton()->text(), QStringLiteral("还原选中 (1)"));
    QCOMPARE(page.purgeButton()->text(), QStringLiteral("彻底删除选中 (1)"));
    QVERIFY(page.restoreButton()->isEnabled());
    QCOMPARE(page.selectAllButton()->text(), QStringLiteral("全选"));

    QTest::mouseClick(page.selectAllButton(), Qt::LeftButton);
    QCOMPARE(page.restoreButton()->text(), QStringLiteral("还原选中 (2)"));
    QCOMPARE(page.selectAllButton()->text(), QStringLiteral("取消全选"));

    QTest::mouseClick(page.selectAllButton(), Qt::LeftButton);
    QCOMPARE(page.table()->item(0, TrashPage::CheckColumn)->checkState(), Qt::Unchecked);
    QCOMPARE(page.table()->item(1, TrashPage::CheckColumn)->checkState(), Qt::Unchecked);
    QCOMPARE(page.purgeButton()->text(), QStringLiteral("彻底删除选中 (0)"));
    QVERIFY(!page.purgeButton()->isEnabled());
    QCOMPARE(page.selectAllButton()->text(), QStringLiteral("全选"));

    // Check marks do not outlive a reload, and neither do their counts.
    QTest::mouseClick(page.selectAllButton(), Qt::LeftButton);
    page.reload();
    QCOMPARE(page.restoreButton()->text(), QStringLiteral("还原选中 (0)"));
    QTRY_COMPARE(page.table()->rowCount(), 2);
    QCOMPARE(page.table()->item(0, TrashPage::CheckColumn)->checkState(), Qt::Unchecked);
}

void TestTrashPage::singleRestoreAsksNothing()
{
    serveTrash({trashed("a/1", "a.pdf")});
    TrashPage page;
    showAndLoad(page, 1);
    const int listings = trashListings();

    QTest::mouseClick(rowButton(page, 0, "RowIconBtn"), Qt::LeftButton);
    QVERIFY(!QApplication::activeModalWidget());
    QTRY_COMPARE(m_server->requests("PUT", QStringLiteral("/api/files/a%2F1/restore")).size(), 1);
    QTRY_COMPARE(trashListings(), listings + 1); // the list is the feedback
}

void TestTrashPage::restoresAndPurgesReportChangedFiles()
{
    serveTrash({trashed("1", "a.pdf"), trashed("2", "b.pdf")});
    TrashPage page;
    showAndLoad(page, 2);
    QSignalSpy changed(FileChangeNotifier::instance(), &FileChangeNotifier::filesChanged);

    // The sidebar quota follows a restore and a purge; a refused one changed nothing.
    int listings = trashListings();
    QTest::mouseClick(rowButton(page, 0, "RowIconBtn"), Qt::LeftButton);
    QTRY_COMPARE(changed.size(), 1);
    // The rows are rebuilt by the reload that follows; act on the new ones.
    QTRY_COMPARE(trashListings(), listings + 1);
    QTRY_VERIFY(rowButton(page, 1, "RowIconDanger"));
    answerModal([](QDialog *dialog) { dialog->accept(); });
    QTest::mouseClick(rowButton(page, 1, "RowIconDanger"), Qt::LeftButton);
    QTRY_COMPARE(changed.size(), 2);
    QTRY_COMPARE(trashListings(), listings + 2);
    QTRY_VERIFY(rowButton(page, 0, "RowIconBtn"));

    m_server->on("", QStringLiteral("/api/files/*"), ScriptedReply::json(QJsonObject{{"error", "失败"}}, 500));
    listings = trashListings();
    QTest::mouseClick(rowButton(page, 0, "RowIconBtn"), Qt::LeftButton);
    QTRY_COMPARE(trashListings(), listings + 1);
    QCOMPARE(changed.size(), 2);
}

void TestTrashPage::permanentDeleteAlwaysAsksAndDeclineSendsNothing()
{
    serveTrash({trashed("7", "合同.pdf")});
    TrashPage page;
    showAndLoad(page, 1);
    const QString deletePath = QStringLiteral("/api/files/7/permanent");

    QString title;
    QString message;
    answerModal([&](QDialog *dialog) {
        auto *card = qobject_cast<Cdlg::CardDialog *>(dialog);
        title = card ? card->titleLabel()->text() : QString();
        auto *text = dialog->findChild<QLabel *>(QStringLiteral("cdMsg"));
        message = text ? text->text() : QString();
        dialog->reject();
    });
    QTest::mouseClick(rowButton(page, 0, "RowIconDanger"), Qt::LeftButton);
    QCOMPARE(title, QStringLiteral("确认彻底删除"));
    QCOMPARE(message, QStringLiteral("确定彻底删除「合同.pdf」吗？此操作不可恢复。"));

    // Nothing went out: a later accepted delete is the first request that reaches the server.
    const int listings = trashListings();
    answerModal([](QDialog *dialog) { dialog->accept(); });
    QTest::mouseClick(rowButton(page, 0, "RowIconDanger"), Qt::LeftButton);
    QTRY_COMPARE(trashListings(), listings + 1);
    QCOMPARE(m_server->requests("DELETE", deletePath).size(), 1);
    QCOMPARE(m_server->requests("POST", QStringLiteral("/api/files/permanent/batch")).size(), 0);
}

void TestTrashPage::strayReturnInThePurgeQuestionPurgesNothing()
{
    serveTrash({trashed("7", "合同.pdf")});
    TrashPage page;
    showAndLoad(page, 1);
    bool asked = false;
    answerModal([&asked](QDialog *dialog) {
        asked = true;
        QTest::keyClick(dialog, Qt::Key_Return);
    });
    QTest::mouseClick(rowButton(page, 0, "RowIconDanger"), Qt::LeftButton);
    QVERIFY(asked);
    QCOMPARE(m_server->requests("DELETE", QStringLiteral("/api/files/7/permanent")).size(), 0);
}

void TestTrashPage::batchesConfirmWithTheCountAndSendTheCheckedIds()
{
    serveTrash({trashed("1", "a.pdf"), trashed("2", "b.pdf"), trashed("3", "c.pdf")});
    TrashPage page;
    showAndLoad(page, 3);
    const QString purgePath = QStringLiteral("/api/files/permanent/batch");
    const QString restorePath = QStringLiteral("/api/files/restore/batch");

    page.table()->item(0, TrashPage::CheckColumn)->setCheckState(Qt::Checked);
    page.table()->item(2, TrashPage::CheckColumn)->setCheckState(Qt::Checked);

    QString message;
    answerModal([&](QDialog *dialog) {
        message = dialog->findChild<QLabel *>(QStringLiteral("cdMsg"))->text();
        dialog->reject();
    });
    QTest::mouseClick(page.purgeButton(), Qt::LeftButton);
    QCOMPARE(message, QStringLiteral("确定彻底删除选中的 2 项吗？此操作不可恢复。"));
    // Declined: the rows keep their marks and nothing is sent.
    QCOMPARE(page.purgeButton()->text(), QStringLiteral("彻底删除选中 (2)"));

    answerModal([&](QDialog *dialog) {
        message = dialog->findChild<QLabel *>(QStringLiteral("cdMsg"))->text();
        dialog->accept();
    });
    QTest::mouseClick(page.restoreButton(), Qt::LeftButton);
    QCOMPARE(message, QStringLiteral("确定把选中的 2 项还原到删除前的原目录吗？"));
    QTRY_COMPARE(m_server->requests("POST", restorePath).size(), 1);
    QCOMPARE(m_server->requests("POST", restorePath).first().json().value("ids").toArray(), (QJsonArray{"1", "3"}));
    QCOMPARE(m_server->requests("POST", purgePath).size(), 0);

    QTRY_COMPARE(page.table()->rowCount(), 3);
    QTest::mouseClick(page.selectAllButton(), Qt::LeftButton);
    answerModal([](QDialog *dialog) { dialog->accept(); });
    QTest::mouseClick(page.purgeButton(), Qt::LeftButton);
    QTRY_COMPARE(m_server->requests("POST", purgePath).size(), 1);
    QCOMPARE(m_server->requests("POST", purgePath).first().json().value("ids").toArray(), (QJsonArray{"1", "2", "3"}));

    // Nothing checked: a notice instead of a request. The purge reloads the list, whose fresh rows
    // carry no marks; until that answer arrives the old rows are still all checked.
    const auto checkedRows = [&page] {
        int checked = 0;
        for (int row = 0; row < page.table()->rowCount(); ++row)
            checked += page.table()->item(row, TrashPage::CheckColumn)->checkState() == Qt::Checked;
        return checked;
    };
    QTRY_VERIFY(page.table()->rowCount() == 3 && checkedRows() == 0);
    QString notice;
    answerModal([&](QDialog *dialog) {
        notice = dialog->findChild<QLabel *>(QStringLiteral("cdMsg"))->text();
        dialog->accept();
    });
    page.doBatch(true);
    QCOMPARE(notice, QStringLiteral("请先选择要操作的文件"));
    QCOMPARE(m_server->requests("POST", purgePath).size(), 1);
}

void TestTrashPage::olderListAnswerIsIgnored()
{
    serveTrash({});
    TrashPage page;
    showAndLoad(page, 0);

    // The first reload's answer is held back until the second one has been shown.
    m_server->on("GET", TrashPath,
                 ScriptedReply::success(QJsonArray{trashed("1", "restored-since.pdf")}).heldUntilReleased());
    page.reload();
    QTRY_COMPARE(m_server->heldCount(), 1);
    serveTrash({trashed("2", "current.pdf")});
    page.reload();
    QTRY_COMPARE(page.table()->rowCount(), 1);
    QCOMPARE(page.table()->item(0, TrashPage::NameColumn)->text(), QStringLiteral("current.pdf"));

    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    m_server->releaseHeld();
    QVERIFY(finished.wait());
    QCOMPARE(page.table()->rowCount(), 1);
    QCOMPARE(page.table()->item(0, TrashPage::NameColumn)->text(), QStringLiteral("current.pdf"));
}

void TestTrashPage::unreachableServerKeepsTheTrashAndOffersRetry()
{
    serveTrash({trashed("1", "a.pdf"), trashed("2", "b.pdf")});
    TrashPage page;
    showAndLoad(page, 2);
    QVERIFY(!page.overlay()->isVisible());

    m_server->on("GET", TrashPath, ScriptedReply::dropped());
    const int listings = trashListings();
    page.reload();
    QCOMPARE(page.table()->rowCount(), 2);
    QTRY_VERIFY(page.overlay()->isVisible());
    QVERIFY(trashListings() > listings);
    QCOMPARE(page.table()->rowCount(), 2);
    QCOMPARE(page.overlay()->title(), QStringLiteral("无法连接服务器"));
    QVERIFY(page.overlay()->geometry().contains(page.table()->geometry()));

    serveTrash({trashed("2", "b.pdf")});
    QTest::mouseClick(page.overlay()->retryButton(), Qt::LeftButton);
    QTRY_COMPARE(page.table()->rowCount(), 1);
    QVERIFY(!page.overlay()->isVisible());
}

void TestTrashPage::answerAfterThePageIsGoneIsDropped()
{
    m_server->on("GET", TrashPath, ScriptedReply::success(QJsonArray{trashed("1", "a.pdf")}).heldUntilReleased());
    auto *page = new TrashPage;
    page->show();
    QTRY_COMPARE(m_server->heldCount(), 1);
    delete page;
    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    m_server->releaseHeld();
    QVERIFY(finished.wait());
}

QTEST_MAIN(TestTrashPage)
#include "tst_trashpage.moc"
