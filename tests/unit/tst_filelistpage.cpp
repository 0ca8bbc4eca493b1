// FileListPage navigation against a scripted server: the listing URLs it sends, the breadcrumb
// and its buttons, search, the empty and failed states, select-all, and answers that arrive
// after the page moved on or was destroyed.
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/filetable.h"
#include "net/httpclient.h"
#include "net/httpresponse.h"
#include "scriptedserver.h"
#include "ui/offlineoverlay.h"

#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QJsonArray>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

QJsonObject folder(const QString &id, const QString &name)
{
    return {{"id", id}, {"name", name}, {"type", "folder"}, {"updated_at", "2025-03-01T08:00:00Z"}};
}

QJsonObject file(const QString &id, const QString &name, qint64 size = 2048)
{
    return {{"id", id},
            {"name", name},
            {"type", "file"},
            {"size", size},
            {"mime_type", "application/pdf"},
            {"updated_at", "2025-03-02T09:30:00Z"}};
}

// The breadcrumb buttons in their current order (deleted ones are already out of the layout).
QList<QPushButton *> crumbButtons(const FileListPage &page)
{
    QList<QPushButton *> buttons;
    const auto *bar = page.findChild<QWidget *>(QStringLiteral("CrumbBar"));
    for (int i = 0; bar && i < bar->layout()->count(); ++i) {
        if (auto *button = qobject_cast<QPushButton *>(bar->layout()->itemAt(i)->widget()))
            buttons.append(button);
    }
    return buttons;
}

QStringList crumbTexts(const FileListPage &page)
{
    QStringList texts;
    for (const QPushButton *button : crumbButtons(page))
        texts.append(button->text());
    return texts;
}

QLabel *emptyLabel(const FileListPage &page)
{
    return page.findChild<QLabel *>(QStringLiteral("EmptyHint"));
}

QString countText(int count)
{
    return QStringLiteral("共 %1 项").arg(count);
}

} // namespace

class TestFileListPage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listsCategoryRootsWithTheirUrls();
    void navigatesFoldersAndBreadcrumb();
    void percentEncodesIdsAndKeywords();
    void searchKeepsTheBreadcrumbAndFolderEndsIt();
    void teamPagesUseTeamUrls();
    void emptyFolderShowsTheEmptyState();
    void searchResultsSayWhichFolderTheyLiveIn();
    void failedListingShowsTheErrorText();
    void unreachableServerKeepsTheRowsAndOffersRetry();
    void doubleClickOnAFileOpensItInsteadOfNavigating();
    void selectAllTogglesAndKeepsItsText();
    void lastClickFallbackNamesOnlyTheClickedRecord();
    void teamSpaceButtonAsksForTheTeamPage();
    void answerForAnEarlierFolderIsDropped();
    void answerAfterThePageIsGoneIsDropped();

private:
    // Every listing or search request the page sent, as its target.
    QList<QByteArray> listingTargets() const;
    QByteArray lastListingTarget() const;
    // Answers every listing from the rows stored per target (or an empty list).
    void serveListings();
    bool waitForListing(int count);

    ScriptedServer *m_server = nullptr;
    QHash<QByteArray, QJsonArray> m_rowsByTarget;
};

void TestFileListPage::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_rowsByTarget.clear();
    serveListings();
}

void TestFileListPage::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

QList<QByteArray> TestFileListPage::listingTargets() const
{
    QList<QByteArray> targets;
    for (const RecordedRequest &request : m_server->requests()) {
        if (request.method == "GET" &&
            (request.target.startsWith("/api/files") || request.target.startsWith("/api/teams/")))
            targets.append(request.target);
    }
    return targets;
}

QByteArray TestFileListPage::lastListingTarget() const
{
    const QList<QByteArray> targets = listingTargets();
    return targets.isEmpty() ? QByteArray() : targets.last();
}

void TestFileListPage::serveListings()
{
    const auto handler = [this](const RecordedRequest &request) {
        return ScriptedReply::success(m_rowsByTarget.value(request.target));
    };
    m_server->on("GET", QStringLiteral("/api/files*"), handler);
    m_server->on("GET", QStringLiteral("/api/teams/*"), handler);
}

bool TestFileListPage::waitForListing(int count)
{
    return QTest::qWaitFor([&] { return listingTargets().size() >= count; }, 5000);
}

void TestFileListPage::listsCategoryRootsWithTheirUrls()
{
    FileListPage all(QStringLiteral("all"), QString());
    all.show();
    QVERIFY(waitForListing(1));
    QCOMPARE(lastListingTarget(), QByteArray("/api/files?"));

    FileListPage images(QStringLiteral("image"), QString());
    images.show();
    QVERIFY(waitForListing(2));
    QCOMPARE(lastListingTarget(), QByteArray("/api/files?category=image&"));
    QCOMPARE(crumbTexts(images), QStringList{QStringLiteral("全部文件")});
}

void TestFileListPage::navigatesFoldersAndBreadcrumb()
{
    m_rowsByTarget.insert("/api/files?category=image&", {folder("5", "A"), file("11", "a.pdf")});
    m_rowsByTarget.insert("/api/files?parent_id=5&category=image&", {folder("8", "B"), file("12", "b.pdf")});
    m_rowsByTarget.insert("/api/files?parent_id=8&category=image&", {file("13", "c.pdf")});

    FileListPage page(QStringLiteral("image"), QString());
    QSignalSpy crumbs(&page, &FileListPage::breadcrumbChanged);
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));

    page.openRow(0);
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));
    QCOMPARE(lastListingTarget(), QByteArray("/api/files?parent_id=5&category=image&"));
    page.openRow(0);
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));
    QCOMPARE(lastListingTarget(), QByteArray("/api/files?parent_id=8&category=image&"));

    QCOMPARE(crumbTexts(page), (QStringList{"全部文件", "A", "B"}));
    QCOMPARE(crumbs.last().at(0).toString(), QStringLiteral("全部文件 / A / B"));
    QCOMPARE(page.crumbIds(), (QStringList{"5", "8"}));

    // Clicking "A" goes back up one level; "全部文件" returns to the root.
    QTest::mouseClick(crumbButtons(page).at(1), Qt::LeftButton);
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));
    QCOMPARE(lastListingTarget(), QByteArray("/api/files?parent_id=5&category=image&"));
    QCOMPARE(crumbs.last().at(0).toString(), QStringLiteral("全部文件 / A"));
    QCOMPARE(page.crumbNames(), QStringList{"A"});

    QTest::mouseClick(crumbButtons(page).at(0), Qt::LeftButton);
    QTRY_COMPARE(lastListingTarget(), QByteArray("/api/files?category=image&"));
    QCOMPARE(crumbs.last().at(0).toString(), QStringLiteral("全部文件"));
    QVERIFY(page.crumbIds().isEmpty());
}

void TestFileListPage::percentEncodesIdsAndKeywords()
{
    m_rowsByTarget.insert("/api/files?", {folder("a b/ç&?", "奇怪 名字")});
    FileListPage page(QStringLiteral("all"), QString());
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));

    page.enterFolder(0);
    QTRY_COMPARE(lastListingTarget(), QByteArray("/api/files?parent_id=a%20b%2F%C3%A7%26%3F&"));
    QCOMPARE(crumbTexts(page), (QStringList{"全部文件", "奇怪 名字"}));

    page.setSearchKeyword(QStringLiteral("季度 报告&x=1"));
    page.reload();
    QTRY_COMPARE(lastListingTarget(),
                 QByteArray("/api/files/search?keyword=%E5%AD%A3%E5%BA%A6%20%E6%8A%A5%E5%91%8A%26x%3D1"));
}

void TestFileListPage::searchKeepsTheBreadcrumbAndFolderEndsIt()
{
    m_rowsByTarget.insert("/api/files?", {folder("5", "A")});
    m_rowsByTarget.insert("/api/files?parent_id=5&", {folder("8", "B")});
    m_rowsByTarget.insert("/api/files/search?keyword=plan", {file("20", "plan.pdf"), folder("30", "plans")});

    FileListPage page(QStringLiteral("all"), QString());
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));
    page.enterFolder(0);
    QTRY_COMPARE(lastListingTarget(), QByteArray("/api/files?parent_id=5&"));
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));
    page.enterFolder(0);
    QTRY_COMPARE(lastListingTarget(), QByteArray("/api/files?parent_id=8&"));

    // The search lists the whole space while the breadcrumb still shows the folder it started from.
    page.setSearchKeyword(QStringLiteral("plan"));
    page.reload();
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));
    QCOMPARE(lastListingTarget(), QByteArray("/api/files/search?keyword=plan"));
    QCOMPARE(crumbTexts(page), (QStringList{"全部文件", "A", "B"}));

    // Opening a folder of the results enters it below the current folder and ends the search.
    page.openRow(1);
    QTRY_COMPARE(lastListingTarget(), QByteArray("/api/files?parent_id=30&"));
    QVERIFY(page.searchKeyword().isEmpty());
    QCOMPARE(page.crumbIds(), (QStringList{"5", "8", "30"}));
    QCOMPARE(crumbTexts(page), (QStringList{"全部文件", "A", "B", "plans"}));
}

void TestFileListPage::teamPagesUseTeamUrls()
{
    m_rowsByTarget.insert("/api/teams/t%201/files", {folder("f 1", "设计")});
    FileListPage page(QString(), QStringLiteral("t 1"));
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));
    QCOMPARE(lastListingTarget(), QByteArray("/api/teams/t%201/files"));

    page.enterFolder(0);
    QTRY_COMPARE(lastListingTarget(), QByteArray("/api/teams/t%201/files?parent_id=f%201"));
    page.setSearchKeyword(QStringLiteral("图"));
    page.reload();
    QTRY_COMPARE(lastListingTarget(), QByteArray("/api/teams/t%201/files/search?keyword=%E5%9B%BE"));
}

void TestFileListPage::emptyFolderShowsTheEmptyState()
{
    m_rowsByTarget.insert("/api/files?", {folder("5", "空文件夹")});
    FileListPage page(QStringLiteral("all"), QString());
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));
    QVERIFY(page.table()->isVisible());
    QVERIFY(emptyLabel(page)->isHidden());

    page.enterFolder(0);
    QTRY_COMPARE(page.statusLabel()->text(), countText(0));
    QVERIFY(page.table()->isHidden());
    QVERIFY(emptyLabel(page)->isVisible());
    // It teaches how to fill the folder, not just that it is empty.
    QVERIFY2(emptyLabel(page)->text().contains(QStringLiteral("上传文件")), qPrintable(emptyLabel(page)->text()));
    QVERIFY(emptyLabel(page)->text().contains(QStringLiteral("拖到这里")));
    QVERIFY(emptyLabel(page)->acceptDrops());

    // An empty search result names what was searched for.
    page.setSearchKeyword(QStringLiteral("报告"));
    page.reload();
    QTRY_COMPARE(page.statusLabel()->text(), countText(0));
    QVERIFY2(emptyLabel(page)->text().contains(QStringLiteral("「报告」")), qPrintable(emptyLabel(page)->text()));
    page.setSearchKeyword(QString());

    // Back at the root the table returns.
    page.navigateToCrumb(0);
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));
    QVERIFY(page.table()->isVisible());
    QVERIFY(emptyLabel(page)->isHidden());
}

void TestFileListPage::searchResultsSayWhichFolderTheyLiveIn()
{
    QJsonObject deep = file("20", "plan.pdf");
    deep.insert("parent_id", 8);
    QJsonObject top = file("21", "plan-old.pdf");
    top.insert("parent_id", QJsonValue());
    m_rowsByTarget.insert("/api/files?", {folder("5", "A")});
    m_rowsByTarget.insert("/api/files/search?keyword=plan", {deep, top});
    m_server->on("GET", QStringLiteral("/api/folders"),
                 ScriptedReply::success(
                     QJsonArray{QJsonObject{{"id", 5}, {"parent_id", QJsonValue()}, {"name", "A"}, {"type", "folder"}},
                                QJsonObject{{"id", 8}, {"parent_id", 5}, {"name", "B"}, {"type", "folder"}}}));

    FileListPage page(QStringLiteral("all"), QString());
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));
    QCOMPARE(page.model()->index(0, FileModel::NameColumn).data().toString(), QStringLiteral("A"));

    page.setSearchKeyword(QStringLiteral("plan"));
    page.reload();
    QTRY_COMPARE(page.model()->locationOf(0), QStringLiteral("全部文件 / A / B"));
    QCOMPARE(page.model()->locationOf(1), QStringLiteral("全部文件"));
    const QString shown = page.model()->index(0, FileModel::NameColumn).data().toString();
    QVERIFY2(shown.contains(QStringLiteral("plan.pdf")) && shown.contains(QStringLiteral("全部文件 / A / B")),
             qPrintable(shown));
    QVERIFY(page.model()
                ->index(0, FileModel::NameColumn)
                .data(Qt::ToolTipRole)
                .toString()
                .contains(QStringLiteral("位置：全部文件 / A / B")));

    // Back in a folder, names stand alone again.
    page.navigateToCrumb(0);
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));
    QCOMPARE(page.model()->index(0, FileModel::NameColumn).data().toString(), QStringLiteral("A"));
}

void TestFileListPage::failedListingShowsTheErrorText()
{
    m_rowsByTarget.insert("/api/files?", {file("1", "a.pdf"), file("2", "b.pdf")});
    FileListPage page(QStringLiteral("all"), QString());
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));

    m_server->on("GET", QStringLiteral("/api/files?"),
                 ScriptedReply::json(QJsonObject{{"success", false}, {"message", "目录不存在"}}));
    page.reload();
    QCOMPARE(page.statusLabel()->text(), QStringLiteral("加载中…"));
    QTRY_COMPARE(page.statusLabel()->text(), QStringLiteral("目录不存在"));
    // The last rows stay under the failure state: nothing reads as deleted.
    QCOMPARE(page.model()->rowCount(), 2);
    QVERIFY(page.table()->isVisible()); // visibility stays as it was
    QVERIFY(page.overlay()->isVisible());
    QCOMPARE(page.overlay()->title(), QStringLiteral("加载失败"));
    QCOMPARE(page.overlay()->detail(), QStringLiteral("目录不存在"));
}

void TestFileListPage::unreachableServerKeepsTheRowsAndOffersRetry()
{
    m_rowsByTarget.insert("/api/files?", {file("1", "a.pdf"), file("2", "b.pdf")});
    FileListPage page(QStringLiteral("all"), QString());
    page.resize(900, 500);
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));
    QVERIFY(!page.overlay()->isVisible());

    m_server->on("GET", QStringLiteral("/api/files?"), ScriptedReply::dropped());
    page.reload();
    // While the answer is out, the rows are still there.
    QCOMPARE(page.model()->rowCount(), 2);
    QTRY_VERIFY(page.overlay()->isVisible());
    QCOMPARE(page.model()->rowCount(), 2);
    QCOMPARE(page.overlay()->title(), QStringLiteral("无法连接服务器"));
    QCOMPARE(page.overlay()->retryButton()->text(), QStringLiteral("重试"));
    // It covers the list it speaks of.
    QVERIFY(page.overlay()->geometry().contains(page.table()->geometry()));

    serveListings();
    m_rowsByTarget.insert("/api/files?", {file("1", "a.pdf")});
    QTest::mouseClick(page.overlay()->retryButton(), Qt::LeftButton);
    QTRY_COMPARE(page.statusLabel()->text(), countText(1));
    QVERIFY(!page.overlay()->isVisible());
    QCOMPARE(page.model()->rowCount(), 1);
}

void TestFileListPage::doubleClickOnAFileOpensItInsteadOfNavigating()
{
    m_rowsByTarget.insert("/api/files?", {folder("5", "A"), file("11", "a.pdf")});
    FileListPage page(QStringLiteral("all"), QString());
    page.resize(900, 500);
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));

    // A file is opened instead (into a throwaway download folder, never handed to the desktop).
    QTemporaryDir downloads;
    FileListPage::setDownloadDirForTests(downloads.path());
    QList<QUrl> opened;
    FileListPage::setUrlOpener([&opened](const QUrl &url) {
        opened.append(url);
        return true;
    });
    FileTable *table = page.table();
    const QRect fileCell = table->visualRect(page.model()->index(1, FileModel::NameColumn));
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, fileCell.center());
    QCOMPARE(page.statusLabel()->text(), QStringLiteral("正在打开 a.pdf …"));
    QVERIFY(page.crumbIds().isEmpty());
    QTRY_COMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(downloads.filePath(QStringLiteral("a.pdf")))});
    FileListPage::setUrlOpener({});
    FileListPage::setDownloadDirForTests({});

    const QRect folderCell = table->visualRect(page.model()->index(0, FileModel::NameColumn));
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, folderCell.center());
    QCOMPARE(page.crumbIds(), QStringList{"5"});
    QTRY_COMPARE(lastListingTarget(), QByteArray("/api/files?parent_id=5&"));
}

void TestFileListPage::selectAllTogglesAndKeepsItsText()
{
    FileListPage page(QStringLiteral("all"), QString());
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(0));
    QPushButton *selectAll = nullptr;
    for (QPushButton *button : page.findChildren<QPushButton *>()) {
        if (button->text() == QStringLiteral("全选"))
            selectAll = button;
    }
    QVERIFY(selectAll);

    // Nothing to select: nothing happens.
    QTest::mouseClick(selectAll, Qt::LeftButton);
    QCOMPARE(selectAll->text(), QStringLiteral("全选"));

    m_rowsByTarget.insert("/api/files?", {file("1", "a.pdf"), file("2", "b.pdf"), file("3", "c.pdf")});
    page.reload();
    QTRY_COMPARE(page.statusLabel()->text(), countText(3));
    QItemSelectionModel *selection = page.table()->selectionModel();
    selection->select(page.model()->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);

    QTest::mouseClick(selectAll, Qt::LeftButton);
    QCOMPARE(selection->selectedRows().size(), 3);
    QCOMPARE(selectAll->text(), QStringLiteral("取消全选"));
    QTest::mouseClick(selectAll, Qt::LeftButton);
    QCOMPARE(selection->selectedRows().size(), 0);
    QCOMPARE(selectAll->text(), QStringLiteral("全选"));

    // After a reload the text may still say "取消全选"; the next click then selects all.
    QTest::mouseClick(selectAll, Qt::LeftButton);
    page.reload();
    QTRY_COMPARE(page.statusLabel()->text(), countText(3));
    QCOMPARE(selectAll->text(), QStringLiteral("取消全选"));
    QCOMPARE(selection->selectedRows().size(), 0);
    QTest::mouseClick(selectAll, Qt::LeftButton);
    QCOMPARE(selection->selectedRows().size(), 3);
}

void TestFileListPage::lastClickFallbackNamesOnlyTheClickedRecord()
{
    m_rowsByTarget.insert("/api/files?", {file("1", "a.pdf"), file("2", "b.pdf"), file("3", "c.pdf")});
    FileListPage page(QStringLiteral("all"), QString());
    page.resize(900, 500);
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(3));
    QCOMPARE(page.lastRow(), -1);
    QVERIFY(page.selectedRows().isEmpty());

    FileTable *table = page.table();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
                      table->visualRect(page.model()->index(1, FileModel::SizeColumn)).center());
    table->selectionModel()->clearSelection();
    QCOMPARE(page.selectedRows(), QList<int>{1});

    // The clicked record moved to the top in the next listing: the fallback follows it.
    m_rowsByTarget.insert("/api/files?", {file("2", "b.pdf"), file("1", "a.pdf"), file("3", "c.pdf")});
    page.reload();
    QTRY_COMPARE(page.statusLabel()->text(), countText(3));
    QCOMPARE(page.selectedRows(), QList<int>{0});

    // Gone from the listing: no row stands in for it.
    m_rowsByTarget.insert("/api/files?", {file("1", "a.pdf"), file("3", "c.pdf")});
    page.reload();
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));
    QVERIFY(page.selectedRows().isEmpty());
    QCOMPARE(page.lastRow(), -1);
}

void TestFileListPage::teamSpaceButtonAsksForTheTeamPage()
{
    FileListPage personal(QStringLiteral("all"), QString());
    personal.show();
    QSignalSpy asked(&personal, &FileListPage::openTeamRequested);
    auto *teamButton = personal.findChild<QPushButton *>(QStringLiteral("TeamSpaceBtn"));
    QVERIFY(teamButton && teamButton->isVisible());
    QCOMPARE(teamButton->text(), QStringLiteral("团队空间"));
    QTest::mouseClick(teamButton, Qt::LeftButton);
    QCOMPARE(asked.count(), 1);

    FileListPage team(QString(), QStringLiteral("7"));
    team.show();
    QVERIFY(team.findChild<QPushButton *>(QStringLiteral("TeamSpaceBtn"))->isHidden());
}

void TestFileListPage::answerForAnEarlierFolderIsDropped()
{
    m_rowsByTarget.insert("/api/files?", {folder("5", "A"), file("1", "root.pdf")});
    FileListPage page(QStringLiteral("all"), QString());
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));

    // Folder A answers slowly; the user is back at the root before it does.
    m_server->on(
        "GET", QStringLiteral("/api/files?parent_id=5&"),
        ScriptedReply::success(QJsonArray{file("9", "in-a-1.pdf"), file("10", "in-a-2.pdf"), file("11", "in-a-3.pdf")})
            .withDelay(300));
    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    page.enterFolder(0);
    page.navigateToCrumb(0);
    QTRY_COMPARE(page.statusLabel()->text(), countText(2));
    QTRY_COMPARE(finished.count(), 2);

    QCOMPARE(page.statusLabel()->text(), countText(2));
    QCOMPARE(page.model()->rowCount(), 2);
    QCOMPARE(jsonText(page.model()->rowAt(1), "name"), QStringLiteral("root.pdf"));
    QCOMPARE(crumbTexts(page), QStringList{"全部文件"});
}

void TestFileListPage::answerAfterThePageIsGoneIsDropped()
{
    m_server->on("GET", QStringLiteral("/api/files?category=video&"),
                 ScriptedReply::success(QJsonArray{file("1", "clip.mp4")}).withDelay(200));
    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    auto *page = new FileListPage(QStringLiteral("video"), QString());
    page->show();
    QVERIFY(waitForListing(1));
    delete page;
    // The answer still arrives and is delivered to nobody.
    QTRY_COMPARE(finished.count(), 1);
}

QTEST_MAIN(TestFileListPage)
#include "tst_filelistpage.moc"
