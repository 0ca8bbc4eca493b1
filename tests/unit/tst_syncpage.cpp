// The 同步 page: a row per pair with its state in Chinese, the row's buttons per state, removal
// that asks first and deletes nothing, the deletes that wait for a yes, the add dialog (never the
// vault, refusals said in the dialog), a pair's errors and conflicts with the way to their folder,
// and how it looks.
#include "app/startup.h"
#include "modalanswer.h"
#include "net/session.h"
#include "screenshots.h"
#include "scriptedserver.h"
#include "sync/syncmanager.h"
#include "testsettings.h"
#include "ui/addsyncdialog.h"
#include "ui/carddialog.h"
#include "ui/syncdetaildialog.h"
#include "ui/syncpage.h"

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>

namespace {

using Kind = SyncPairStatus::Kind;

SyncPairStatus statusOf(const QString &id, Kind kind, int count = 0)
{
    SyncPairStatus status;
    status.id = id;
    status.localPath = QStringLiteral("/home/li/同步/") + id;
    status.folderPath = QStringLiteral("全部文件/项目/") + id;
    status.kind = kind;
    status.count = count;
    status.plannedDeletes = kind == Kind::NeedsConfirmation ? count : 0;
    if (kind != Kind::Starting && kind != Kind::Stopped)
        status.lastSynced = QDateTime(QDate(2026, 12, 10), QTime(9, 30));
    return status;
}

QString cardText(QDialog *dialog)
{
    QStringList texts;
    for (const QLabel *label : dialog->findChildren<QLabel *>())
        texts.append(label->text());
    return texts.join(QLatin1Char('|'));
}

} // namespace

// Takes the folders the page asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

class TestSyncPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyPageShowsTheHint();
    void rowsSayTheStateAndEnableTheButtonsThatApply();
    void removeAsksFirstAndDeletesNothing();
    void waitingDeletesAreConfirmedOrKeptPaused();
    void addDialogNeverOffersTheVaultAndSaysWhyItRefuses();
    void detailListsErrorsAndConflictsWithTheirFolders();
    void rendersThePageAndADetail();

private:
    QString addRealPair(const QString &name);

    QTemporaryDir m_work;
    ScriptedServer *m_server = nullptr;
    std::unique_ptr<SyncManager> m_manager;
};

void TestSyncPage::initTestCase()
{
    Theme::installTheme(*qApp);
    useSettingsFolder(m_work.filePath("settings"));
    qputenv("XDG_DATA_HOME", m_work.filePath("data").toUtf8());
}

void TestSyncPage::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    // The engines of real pairs wait on the change feed, which never answers here.
    m_server->on("GET", QStringLiteral("/api/sync/changes*"), ScriptedReply::hanging());
    m_server->on("GET", QStringLiteral("/api/teams"),
                 ScriptedReply::success(QJsonArray{QJsonObject{{"id", 5}, {"name", "市场部"}}}));
    QVERIFY(Session::instance()->applyLogin(QJsonObject{{"id", "7001"}, {"loginToken", "page-token"}}));
    m_manager = std::make_unique<SyncManager>();
}

void TestSyncPage::cleanup()
{
    for (const SyncPair &pair : m_manager->pairs())
        m_manager->removePair(pair.id);
    m_manager.reset();
    Session::instance()->clear();
    delete m_server;
    m_server = nullptr;
}

QString TestSyncPage::addRealPair(const QString &name)
{
    SyncPair pair;
    pair.localPath = m_work.filePath(name);
    QDir().mkpath(pair.localPath);
    pair.folderId = QString::number(100 + int(m_manager->pairs().size()));
    pair.folderPath = QStringLiteral("全部文件/") + name;
    QString id;
    return m_manager->addPair(pair, &id).isEmpty() ? id : QString();
}

void TestSyncPage::emptyPageShowsTheHint()
{
    SyncPage page(m_manager.get());
    page.resize(1000, 500);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    QVERIFY(page.emptyLabel()->isVisible());
    QVERIFY(page.emptyLabel()->text().contains(QStringLiteral("添加同步")));
    QVERIFY(!page.table()->isVisible());

    // A pair added elsewhere shows at once, and the hint goes.
    const QString id = addRealPair("first");
    QVERIFY(!id.isEmpty());
    QCOMPARE(page.table()->rowCount(), 1);
    QVERIFY(!page.emptyLabel()->isVisible());
    QCOMPARE(page.table()->item(0, SyncPage::LocalColumn)->text(), QDir::toNativeSeparators(m_work.filePath("first")));
    QCOMPARE(page.table()->item(0, SyncPage::ServerColumn)->text(), QStringLiteral("全部文件/first"));
}

void TestSyncPage::rowsSayTheStateAndEnableTheButtonsThatApply()
{
    SyncPage page(nullptr);
    page.resize(1100, 500);
    page.show();
    SyncPairStatus failed = statusOf("d", Kind::Failed, 2);
    failed.failures = {{QStringLiteral("a.txt"), QStringLiteral("存储空间不足")},
                       {QStringLiteral("b"), QStringLiteral("x")}};
    page.showStatuses({statusOf("a", Kind::Synced), statusOf("b", Kind::Syncing, 3), statusOf("c", Kind::Paused),
                       failed, statusOf("e", Kind::Conflicted, 1), statusOf("f", Kind::NeedsConfirmation, 30),
                       statusOf("g", Kind::Starting)});
    QCOMPARE(page.table()->rowCount(), 7);
    const QStringList expected{"已同步",    "同步中 3 项",      "已暂停",  "出错 2 项",
                               "冲突 1 项", "待确认删除 30 项", "准备同步"};
    for (int row = 0; row < expected.size(); ++row)
        QCOMPARE(page.table()->item(row, SyncPage::StateColumn)->text(), expected.at(row));
    QCOMPARE(page.table()->item(0, SyncPage::TimeColumn)->text(), QStringLiteral("2026-12-10 09:30"));
    QCOMPARE(page.table()->item(6, SyncPage::TimeColumn)->text(), QStringLiteral("—"));
    // The server's words are one hover away on an error row.
    QCOMPARE(page.table()->item(3, SyncPage::StateColumn)->toolTip(), QStringLiteral("存储空间不足"));

    const auto enabled = [&page](int row, const char *name) {
        QToolButton *button = page.rowButton(row, QString::fromLatin1(name));
        return button && button->isEnabled() && button->isVisible();
    };
    // Running rows pause and sync now; a paused row only continues.
    for (int row : {0, 1, 3, 4, 6}) {
        QVERIFY2(enabled(row, "SyncPause") && enabled(row, "SyncNow") && !enabled(row, "SyncResume"),
                 qPrintable(expected.at(row)));
    }
    QVERIFY(!enabled(2, "SyncPause") && !enabled(2, "SyncNow") && enabled(2, "SyncResume"));
    // The row that waits for a yes offers it, and nothing that would run past it.
    QVERIFY(enabled(5, "SyncConfirm") && enabled(5, "SyncPause") && !enabled(5, "SyncNow") &&
            !enabled(5, "SyncResume"));
    for (int row = 0; row < expected.size(); ++row) {
        QVERIFY(enabled(row, "SyncRemove") && enabled(row, "SyncDetail"));
        QCOMPARE(page.rowButton(row, "SyncConfirm") != nullptr, row == 5);
    }
}

void TestSyncPage::removeAsksFirstAndDeletesNothing()
{
    const QString id = addRealPair("keep");
    QVERIFY(!id.isEmpty());
    QVERIFY(QFile(m_work.filePath("keep/a.txt")).open(QIODevice::WriteOnly));
    SyncPage page(m_manager.get());
    page.resize(1100, 500);
    page.show();
    QCOMPARE(page.table()->rowCount(), 1);

    QString asked;
    answerModal([&asked](QDialog *dialog) {
        asked = cardText(dialog);
        dialog->reject();
    });
    QTest::mouseClick(page.rowButton(0, "SyncRemove"), Qt::LeftButton);
    QVERIFY2(asked.contains(QStringLiteral("不会被删除")), qPrintable(asked));
    QCOMPARE(m_manager->pairs().size(), 1);
    QCOMPARE(page.table()->rowCount(), 1);

    answerModal([](QDialog *dialog) { dialog->accept(); });
    QTest::mouseClick(page.rowButton(0, "SyncRemove"), Qt::LeftButton);
    QTRY_VERIFY(m_manager->pairs().isEmpty());
    QCOMPARE(page.table()->rowCount(), 0);
    QVERIFY(page.emptyLabel()->isVisible());
    QVERIFY(QFile::exists(m_work.filePath("keep/a.txt")));
}

void TestSyncPage::waitingDeletesAreConfirmedOrKeptPaused()
{
    const QString id = addRealPair("confirm");
    QVERIFY(!id.isEmpty());
    SyncPage page(m_manager.get());
    page.resize(1100, 500);
    page.show();
    // The real engine waits on the feed: show its row as a round that waits for its deletes.
    page.showStatuses({statusOf(id, Kind::NeedsConfirmation, 42)});
    QString asked;
    answerModal([&asked](QDialog *dialog) {
        asked = cardText(dialog);
        dialog->reject();
    });
    QTest::mouseClick(page.rowButton(0, "SyncConfirm"), Qt::LeftButton);
    QVERIFY2(asked.contains(QStringLiteral("42")) && asked.contains(QStringLiteral("回收站")), qPrintable(asked));
    // Not confirmed: kept paused, and the page shows the manager's word for it.
    QVERIFY(m_manager->pairs().constFirst().paused);
    QCOMPARE(page.table()->item(0, SyncPage::StateColumn)->text(), QStringLiteral("已暂停"));
    QVERIFY(page.rowButton(0, "SyncConfirm") == nullptr);
}

void TestSyncPage::addDialogNeverOffersTheVaultAndSaysWhyItRefuses()
{
    addRealPair("taken");
    AddSyncDialog dialog(m_manager.get(), nullptr);
    dialog.show();
    QTRY_COMPARE(dialog.spaceBox()->count(), 2);
    QCOMPARE(dialog.spaceBox()->itemText(0), QStringLiteral("个人空间"));
    QCOMPARE(dialog.spaceBox()->itemText(1), QStringLiteral("团队空间 · 市场部"));
    for (int i = 0; i < dialog.spaceBox()->count(); ++i)
        QVERIFY(!dialog.spaceBox()->itemText(i).contains(QStringLiteral("保险箱")));
    QCOMPARE(dialog.folderLabel()->text(), QStringLiteral("全部文件"));

    // Nothing chosen, then a folder inside a synced one: said in the dialog, which stays open.
    dialog.okButton()->click();
    QCOMPARE(dialog.errorLabel()->text(), QStringLiteral("请选择本地文件夹"));
    QVERIFY(dialog.isVisible());
    QDir().mkpath(m_work.filePath("taken/inner"));
    dialog.setLocalPath(m_work.filePath("taken/inner"));
    dialog.setServerFolder(QStringLiteral("77"), QStringLiteral("全部文件/报表"));
    dialog.okButton()->click();
    QVERIFY2(dialog.errorLabel()->text().contains(QStringLiteral("重叠")), qPrintable(dialog.errorLabel()->text()));
    QVERIFY(dialog.isVisible());
    QCOMPARE(m_manager->pairs().size(), 1);

    // A team space is synced from its top.
    QDir().mkpath(m_work.filePath("team"));
    dialog.setLocalPath(m_work.filePath("team"));
    dialog.spaceBox()->setCurrentIndex(1);
    QCOMPARE(dialog.folderLabel()->text(), QStringLiteral("团队空间 · 市场部"));
    dialog.ignoreEdit()->setText(QStringLiteral(" *.log ;; 构建 ;"));
    dialog.okButton()->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(m_manager->pairs().size(), 2);
    const SyncPair team = m_manager->pairs().constLast();
    QCOMPARE(team.space, SyncPair::Space::Team);
    QCOMPARE(team.teamId, QStringLiteral("5"));
    QVERIFY(team.folderId.isEmpty());
    QCOMPARE(team.ignorePatterns, (QStringList{"*.log", "构建"}));
}

void TestSyncPage::detailListsErrorsAndConflictsWithTheirFolders()
{
    SyncPairStatus status = statusOf("x", Kind::Failed, 1);
    status.localPath = m_work.filePath("detail");
    status.failures = {{QStringLiteral("报表/大文件.zip"), QStringLiteral("存储空间不足，请扩容后重试")}};
    status.conflicts = {QStringLiteral("方案 (冲突副本 2026-12-10 0930).docx")};
    SyncDetailDialog dialog(status, nullptr);
    dialog.show();
    QTableWidget *table = dialog.table();
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(table->item(0, SyncDetailDialog::KindColumn)->text(), QStringLiteral("错误"));
    QCOMPARE(table->item(0, SyncDetailDialog::TextColumn)->text(), QStringLiteral("存储空间不足，请扩容后重试"));
    QCOMPARE(table->item(1, SyncDetailDialog::KindColumn)->text(), QStringLiteral("冲突"));
    QCOMPARE(table->item(1, SyncDetailDialog::PathColumn)->text(),
             QStringLiteral("方案 (冲突副本 2026-12-10 0930).docx"));

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    for (int row = 0; row < 2; ++row) {
        auto *open = table->cellWidget(row, SyncDetailDialog::ActionColumn)->findChild<QToolButton *>();
        QVERIFY(open);
        QCOMPARE(open->property("syncAction").toString(), QStringLiteral("SyncOpenFolder"));
        QCOMPARE(open->text(), QStringLiteral("打开所在文件夹"));
        open->click();
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(catcher.urls.size(), 2);
    QCOMPARE(catcher.urls.at(0).toLocalFile(), m_work.filePath("detail/报表"));
    QCOMPARE(catcher.urls.at(1).toLocalFile(), m_work.filePath("detail"));
}

void TestSyncPage::rendersThePageAndADetail()
{
    SyncPage page(nullptr);
    // The page's share of the main window at its default size.
    page.resize(970, 400);
    SyncPairStatus synced = statusOf("a", Kind::Synced);
    synced.localPath = QStringLiteral("/home/li/文档/合同");
    synced.folderPath = QStringLiteral("全部文件/合同");
    SyncPairStatus syncing = statusOf("b", Kind::Syncing, 12);
    syncing.localPath = QStringLiteral("/home/li/设计稿");
    syncing.folderPath = QStringLiteral("团队空间 · 市场部");
    SyncPairStatus conflict = statusOf("c", Kind::Conflicted, 1);
    conflict.localPath = QStringLiteral("/home/li/项目/2026 年度方案");
    conflict.folderPath = QStringLiteral("全部文件/项目/年度方案");
    conflict.conflicts = {QStringLiteral("预算表 (冲突副本 2026-12-10 0930).xlsx")};
    SyncPairStatus waiting = statusOf("d", Kind::NeedsConfirmation, 36);
    waiting.localPath = QStringLiteral("/media/li/移动硬盘/照片");
    waiting.folderPath = QStringLiteral("全部文件/照片");
    page.showStatuses({synced, syncing, conflict, waiting});
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    QVERIFY(Screenshots::save(page.grab().toImage(), QStringLiteral("sync.png")));

    conflict.failures = {{QStringLiteral("视频/发布会.mp4"), QStringLiteral("存储空间不足，请扩容后重试")},
                         {QStringLiteral("私人"), QStringLiteral("无法读取文件夹，其中的内容暂不同步")}};
    conflict.kind = Kind::Failed;
    conflict.count = 2;
    SyncDetailDialog detail(conflict, &page);
    detail.show();
    QVERIFY(QTest::qWaitForWindowExposed(&detail));
    QVERIFY(Screenshots::save(Screenshots::onDesktop(&detail), QStringLiteral("sync-detail.png")));
    detail.close();

    AddSyncDialog add(nullptr, &page);
    add.setLocalPath(QStringLiteral("/home/li/项目/2026 年度方案"));
    add.setServerFolder(QStringLiteral("12"), QStringLiteral("全部文件/项目/年度方案"));
    add.ignoreEdit()->setText(QStringLiteral("*.log;构建"));
    add.show();
    QVERIFY(QTest::qWaitForWindowExposed(&add));
    QTRY_COMPARE(add.spaceBox()->count(), 2);
    QVERIFY(Screenshots::save(Screenshots::onDesktop(&add), QStringLiteral("sync-add.png")));
}

QTEST_MAIN(TestSyncPage)
#include "tst_syncpage.moc"
