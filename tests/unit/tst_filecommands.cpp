// The file list page's commands against a scripted server: the context menu's entries, rename
// with its extension rules, delete confirmations, the folder picker, the upload dispatch,
// single downloads, opening and pack-download.
#include "app/theme.h"
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/filetable.h"
#include "files/folderpickerdialog.h"
#include "modalanswer.h"
#include "net/httpclient.h"
#include "scriptedserver.h"
#include "transfer/transfermanager.h"
#include "transfer/uploader.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <algorithm>

namespace {

QJsonObject folder(const QString &id, const QString &name)
{
    return {{"id", id}, {"name", name}, {"type", "folder"}};
}

QJsonObject file(const QString &id, const QString &name, const QString &mime = QStringLiteral("application/pdf"))
{
    QJsonObject record{{"id", id}, {"name", name}, {"type", "file"}, {"size", 2048}};
    if (!mime.isEmpty())
        record.insert("mime_type", mime);
    return record;
}

QStringList menuTexts(QMenu *menu)
{
    QStringList texts;
    for (QAction *action : menu->actions())
        texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

// The label texts of a dialog, to find its message.
QStringList dialogTexts(QDialog *dialog)
{
    QStringList texts;
    for (const QLabel *label : dialog->findChildren<QLabel *>())
        texts.append(label->text());
    return texts;
}

QPushButton *okButtonOf(QDialog *dialog)
{
    return static_cast<Cdlg::CardDialog *>(dialog)->okButton();
}

bool writeSized(const QString &path, qint64 size)
{
    QFile out(path);
    return out.open(QIODevice::WriteOnly) && out.resize(size);
}

} // namespace

class TestFileCommands : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void menuEntriesFollowTheSelection();
    void rightClickSelectsTheRowUnderTheMouse();
    void rowButtonsDependOnTypeAndMode();
    void contextMenuActsOnTheRecordsItWasBuiltFor();
    void rowDeleteButtonActsOnItsOwnRowWhateverKeysAreHeld();
    void renameKeepsTheExtension_data();
    void renameKeepsTheExtension();
    void f2OnATeamPageRenamesThroughThePersonalEndpoint();
    void deleteAsksAndSendsOneRequestPerRow();
    void strayReturnInTheDeleteQuestionDeletesNothing();
    void rowButtonsStandInTheSameColumnsForFoldersAndFiles();
    void keyboardOpensAndGoesUp();
    void teamDeleteWarnsThatItIsPermanent();
    void newFolderCreatesInTheCurrentFolder();
    void folderPickerPutsCyclesAndOrphansUnderTheRoot();
    void folderPickerKeepsOnlyTheRootAfterAFailure();
    void moveAndExtractSendTheChosenFolder();
    void personalDropSplitsAtEightMebibytes();
    void teamDropSendsEveryFileInOneRequest();
    void folderDroppedFromTheDesktopSendsNoFilePart();
    void dropOnTheEmptyFolderHintUploads();
    void downloadButtonsDependOnTheSelection();
    void downloadsStayInsideTheDownloadFolder();
    void progressShowsAnEllipsisWithoutALength();
    void openingHandsTheFileToTheDesktop();
    void packDownloadStreamsTheArchiveUnderItsTimestampName();
    void packDownloadFailuresLeaveNoArchive();
    void rendersThePageMenuAndPicker();

private:
    // A page listing rows at the root, shown and filled.
    std::unique_ptr<FileListPage> makePage(const QJsonArray &rows, const QString &teamId = {});
    int countOf(const QByteArray &method, const QString &pathPrefix) const;

    ScriptedServer *m_server = nullptr;
    std::unique_ptr<QTemporaryDir> m_downloads;
    QList<QUrl> m_opened;
    QJsonArray m_rows;
};

void TestFileCommands::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_downloads = std::make_unique<QTemporaryDir>();
    FileListPage::setDownloadDirForTests(m_downloads->path());
    m_opened.clear();
    FileListPage::setUrlOpener([this](const QUrl &url) {
        m_opened.append(url);
        return true;
    });
    const auto listing = [this](const RecordedRequest &) { return ScriptedReply::success(m_rows); };
    m_server->on("GET", QStringLiteral("/api/files?*"), listing);
    m_server->on("GET", QStringLiteral("/api/teams/*"), listing);
}

void TestFileCommands::cleanup()
{
    FileListPage::setUrlOpener({});
    FileListPage::setDownloadDirForTests({});
    delete m_server;
    m_server = nullptr;
}

std::unique_ptr<FileListPage> TestFileCommands::makePage(const QJsonArray &rows, const QString &teamId)
{
    m_rows = rows;
    auto page = std::make_unique<FileListPage>(QStringLiteral("all"), teamId);
    page->resize(900, 500);
    page->show();
    const QString expected = QStringLiteral("共 %1 项").arg(rows.size());
    if (!QTest::qWaitFor([&] { return page->statusLabel()->text() == expected; }, 5000))
        qWarning("listing did not arrive");
    return page;
}

int TestFileCommands::countOf(const QByteArray &method, const QString &pathPrefix) const
{
    int count = 0;
    for (const RecordedRequest &request : m_server->requests()) {
        if (request.method == method && QString::fromUtf8(request.path()).startsWith(pathPrefix))
            ++count;
    }
    return count;
}

void TestFileCommands::menuEntriesFollowTheSelection()
{
    auto page = makePage({file("1", "a.pdf"), file("2", "pack.bin", "application/x-zip-compressed"),
                          file("3", "A.ZIP", QString()), folder("4", "docs"), file("5", "b.rar", QString()),
                          file("6", "c.zip", "text/plain")});
    QCOMPARE(page->model()->rowCount(), 6);
    QVERIFY(page->buildMenu() == nullptr); // nothing selected, nothing clicked

    const auto menuFor = [&](const QList<int> &rows) {
        page->table()->clearSelection();
        for (int row : rows)
            page->table()->selectionModel()->select(page->model()->index(row, 0),
                                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
        std::unique_ptr<QMenu> menu(page->buildMenu());
        return menu ? menuTexts(menu.get()) : QStringList();
    };
    const QString open = "打开", download = "下载", pack = "打包下载", extract = "解压到…", rename = "重命名",
                  move = "移动到…", remove = "删除", share = "分享";
    QCOMPARE(menuFor({0}), (QStringList{open, download, share, "-", rename, move, remove}));
    QCOMPARE(menuFor({1}), (QStringList{open, download, share, "-", extract, rename, move, remove}));
    QCOMPARE(menuFor({2}), (QStringList{open, download, share, "-", rename, move, remove})); // case-sensitive
    QCOMPARE(menuFor({3}), (QStringList{open, share, "-", rename, move, remove}));
    QCOMPARE(menuFor({4}), (QStringList{open, download, share, "-", extract, rename, move, remove}));
    QCOMPARE(menuFor({5}), (QStringList{open, download, share, "-", extract, rename, move, remove}));
    // The first row decides; several rows add the pack download, and a link is for one entry only.
    QCOMPARE(menuFor({3, 4}), (QStringList{open, pack, "-", rename, move, remove}));
    QCOMPARE(menuFor({1, 3}), (QStringList{open, download, pack, "-", extract, rename, move, remove}));

    auto team = makePage({file("1", "a.zip", "application/zip"), folder("2", "d")}, QStringLiteral("t1"));
    team->table()->selectAll();
    std::unique_ptr<QMenu> teamMenu(team->buildMenu());
    QCOMPARE(menuTexts(teamMenu.get()), (QStringList{open, download, pack, "-", remove}));
}

void TestFileCommands::rightClickSelectsTheRowUnderTheMouse()
{
    auto page = makePage({file("1", "a.pdf"), file("2", "b.pdf"), file("3", "c.pdf")});
    FileTable *table = page->table();
    QStringList seen;
    const auto captureMenu = [&seen] {
        auto *timer = new QTimer(qApp);
        timer->setInterval(0);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, &seen] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            timer->stop();
            timer->deleteLater();
            seen = menuTexts(menu);
            menu->close();
        });
        timer->start();
    };

    // Empty space below the rows offers the page's own commands, nothing that acts on a row the
    // user cannot see; the selection stays.
    const QStringList pageCommands{"上传文件", "新建文件夹", "-", "刷新"};
    const QPoint below(100, table->viewport()->height() - 5);
    QVERIFY(!table->indexAt(below).isValid());
    captureMenu();
    emit table->customContextMenuRequested(below);
    QCOMPARE(seen, pageCommands);
    QVERIFY(page->selectedRows().isEmpty());

    table->selectAll();
    seen.clear();
    captureMenu();
    emit table->customContextMenuRequested(below);
    QCOMPARE(seen, pageCommands);
    QCOMPARE(page->selectedRows(), (QList<int>{0, 1, 2}));

    // Its 刷新 reloads the page.
    const int listings = countOf("GET", "/api/files");
    std::unique_ptr<QMenu> pageMenu(page->buildPageMenu());
    pageMenu->actions().last()->trigger();
    QCOMPARE(page->statusLabel()->text(), QStringLiteral("加载中…"));
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("共 3 项"));
    QCOMPARE(countOf("GET", "/api/files"), listings + 1);

    seen.clear();
    captureMenu();
    emit table->customContextMenuRequested(table->visualRect(page->model()->index(1, FileModel::NameColumn)).center());
    QVERIFY(!seen.isEmpty());
    QVERIFY(!seen.contains("打包下载"));
    QCOMPARE(page->selectedRows(), QList<int>{1});
}

void TestFileCommands::rowButtonsDependOnTypeAndMode()
{
    auto page = makePage({folder("1", "d"), file("2", "a.pdf")});
    const auto buttonsOf = [](FileListPage *on, int row) {
        QStringList texts;
        QWidget *box = on->table()->indexWidget(on->model()->index(row, FileModel::ActionColumn));
        for (const QToolButton *button : box ? box->findChildren<QToolButton *>() : QList<QToolButton *>()) {
            if (!button->isHidden())
                texts.append(button->toolTip() + "|" + button->objectName());
        }
        return texts;
    };
    QTRY_COMPARE(page->table()->rowsWithWidgets(), (QList<int>{0, 1}));
    QCOMPARE(buttonsOf(page.get(), 0), (QStringList{"重命名|RowIconBtn", "删除|RowIconDanger"}));
    QCOMPARE(buttonsOf(page.get(), 1), (QStringList{"下载|RowIconBtn", "重命名|RowIconBtn", "删除|RowIconDanger"}));

    auto team = makePage({folder("1", "d"), file("2", "a.pdf")}, QStringLiteral("t1"));
    QTRY_COMPARE(team->table()->rowsWithWidgets(), (QList<int>{0, 1}));
    QCOMPARE(buttonsOf(team.get(), 1), (QStringList{"下载|RowIconBtn", "删除|RowIconDanger"}));

    // The row's delete button selects that row only and asks about one entry.
    page->table()->selectAll();
    QStringList asked;
    answerModal([&asked](QDialog *dialog) {
        asked = dialogTexts(dialog);
        dialog->reject();
    });
    QWidget *box = page->table()->indexWidget(page->model()->index(1, FileModel::ActionColumn));
    box->findChildren<QToolButton *>().last()->click();
    QVERIFY(asked.contains("确定删除选中的 1 项并移入回收站？"));
    QCOMPARE(page->selectedRows(), QList<int>{1});
    QCOMPARE(countOf("DELETE", "/api/files/"), 0);
}

void TestFileCommands::contextMenuActsOnTheRecordsItWasBuiltFor()
{
    m_server->on("DELETE", QStringLiteral("/api/files/*"), ScriptedReply::success());
    m_server->on("PUT", QStringLiteral("/api/files/*"), ScriptedReply::success());
    auto page = makePage({file("1", "a.pdf"), file("2", "b.pdf"), file("3", "c.pdf")});
    FileTable *table = page->table();
    const auto centreOf = [&](int row) {
        return table->visualRect(page->model()->index(row, FileModel::NameColumn)).center();
    };

    // Right-click c.pdf (after a.pdf was clicked), a reload that reorders the rows arrives while
    // the menu is open, then an entry is chosen.
    const auto chooseAfterReload = [&](const QString &entry) {
        m_rows = QJsonArray{file("1", "a.pdf"), file("2", "b.pdf"), file("3", "c.pdf")};
        page->reload();
        QVERIFY(QTest::qWaitFor([&] { return page->statusLabel()->text() == QStringLiteral("共 3 项"); }));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, centreOf(0));
        auto *timer = new QTimer(qApp);
        timer->setInterval(0);
        QObject::connect(timer, &QTimer::timeout, timer, [&, timer] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            timer->stop();
            timer->deleteLater();
            m_rows = QJsonArray{file("3", "c.pdf"), file("1", "a.pdf"), file("2", "b.pdf")};
            page->reload();
            QVERIFY(QTest::qWaitFor([&] { return page->statusLabel()->text() == QStringLiteral("共 3 项"); }));
            for (QAction *action : menu->actions()) {
                if (action->text() == entry)
                    menu->setActiveAction(action);
            }
            QTest::keyClick(menu, Qt::Key_Return);
        });
        timer->start();
        emit table->customContextMenuRequested(centreOf(2));
    };

    QStringList asked;
    answerModal([&asked](QDialog *dialog) {
        asked = dialogTexts(dialog);
        okButtonOf(dialog)->click();
    });
    chooseAfterReload(QStringLiteral("删除"));
    QVERIFY(asked.contains("确定删除选中的 1 项并移入回收站？"));
    QTRY_COMPARE(countOf("DELETE", "/api/files/"), 1);
    QCOMPARE(m_server->requests("DELETE", QStringLiteral("/api/files/*")).first().target, QByteArray("/api/files/3"));

    QString offered;
    answerModal([&offered](QDialog *dialog) {
        auto *input = dialog->findChild<QLineEdit *>();
        offered = input->text();
        input->setText("final");
        okButtonOf(dialog)->click();
    });
    chooseAfterReload(QStringLiteral("重命名"));
    QCOMPARE(offered, QStringLiteral("c"));
    QTRY_COMPARE(countOf("PUT", "/api/files/"), 1);
    const RecordedRequest rename = m_server->requests("PUT", QStringLiteral("/api/files/*")).first();
    QCOMPARE(rename.target, QByteArray("/api/files/3"));
    QCOMPARE(rename.json().value("name").toString(), QStringLiteral("final.pdf"));
}

void TestFileCommands::rowDeleteButtonActsOnItsOwnRowWhateverKeysAreHeld()
{
    m_server->on("DELETE", QStringLiteral("/api/files/*"), ScriptedReply::success());
    auto page = makePage({file("1", "a.pdf"), file("2", "b.pdf"), file("3", "c.pdf")});
    QTRY_COMPARE(page->table()->rowsWithWidgets(), (QList<int>{0, 1, 2}));
    const auto deleteButtonOf = [&](int row) {
        QWidget *box = page->table()->indexWidget(page->model()->index(row, FileModel::ActionColumn));
        return box->findChildren<QToolButton *>().last();
    };

    for (const Qt::KeyboardModifiers keys :
         {Qt::KeyboardModifiers(Qt::ControlModifier), Qt::KeyboardModifiers(Qt::ShiftModifier),
          Qt::KeyboardModifiers(Qt::ControlModifier | Qt::ShiftModifier)}) {
        // Rows 0 and 2 chosen, then the 🗑 of row 1 clicked with keys held.
        page->table()->clearSelection();
        for (int row : {0, 2})
            page->table()->selectionModel()->select(page->model()->index(row, 0),
                                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
        m_server->clearRequests();
        QStringList asked;
        answerModal([&asked](QDialog *dialog) {
            asked = dialogTexts(dialog);
            okButtonOf(dialog)->click();
        });
        QTest::mouseClick(deleteButtonOf(1), Qt::LeftButton, keys);
        QVERIFY2(asked.contains("确定删除选中的 1 项并移入回收站？"), qPrintable(asked.join('|')));
        QTRY_COMPARE(countOf("DELETE", "/api/files/"), 1);
        QCOMPARE(m_server->requests("DELETE", QStringLiteral("/api/files/*")).first().target,
                 QByteArray("/api/files/2"));
        QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("共 3 项"));
        QTRY_COMPARE(page->table()->rowsWithWidgets(), (QList<int>{0, 1, 2}));
    }
    // Leave no modifier behind for later tests.
    QTest::mouseClick(page->statusLabel(), Qt::LeftButton);
}

void TestFileCommands::renameKeepsTheExtension_data()
{
    QTest::addColumn<QJsonObject>("record");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("sent"); // empty: nothing is sent

    QTest::newRow("extension kept") << file("7", "report.pdf") << "report"
                                    << "final"
                                    << "final.pdf";
    QTest::newRow("extension typed in other case") << file("7", "report.pdf") << "report"
                                                   << "final.PDF"
                                                   << "final.PDF";
    QTest::newRow("trimmed") << file("7", "report.pdf") << "report"
                             << "  final  "
                             << "final.pdf";
    QTest::newRow("leading dot does not split") << file("7", ".bashrc") << ".bashrc"
                                                << ".zshrc"
                                                << ".zshrc";
    QTest::newRow("folder stays whole") << folder("7", "archive.2024") << "archive.2024"
                                        << "archive.2025"
                                        << "archive.2025";
    QTest::newRow("unchanged sends nothing") << file("7", "report.pdf") << "report"
                                             << "report"
                                             << "";
    QTest::newRow("empty sends nothing") << file("7", "report.pdf") << "report"
                                         << "   "
                                         << "";
}

void TestFileCommands::renameKeepsTheExtension()
{
    QFETCH(QJsonObject, record);
    QFETCH(QString, offered);
    QFETCH(QString, typed);
    QFETCH(QString, sent);

    m_server->on("PUT", QStringLiteral("/api/files/7"), ScriptedReply::success());
    auto page = makePage({record});
    QString initial;
    answerModal([&initial, typed](QDialog *dialog) {
        auto *input = dialog->findChild<QLineEdit *>();
        initial = input->text();
        input->setText(typed);
        okButtonOf(dialog)->click();
    });
    page->renameRow(0);
    QCOMPARE(initial, offered);
    if (sent.isEmpty()) {
        QTest::qWait(50);
        QCOMPARE(countOf("PUT", "/api/files/"), 0);
        return;
    }
    QTRY_COMPARE(countOf("PUT", "/api/files/7"), 1);
    QCOMPARE(m_server->requests("PUT", "/api/files/7").first().json().value("name").toString(), sent);
}

void TestFileCommands::f2OnATeamPageRenamesThroughThePersonalEndpoint()
{
    m_server->on("PUT", QStringLiteral("/api/files/9"), ScriptedReply::success());
    auto page = makePage({file("9", "plan.docx")}, QStringLiteral("t1"));
    QTest::mouseClick(page->table()->viewport(), Qt::LeftButton, {},
                      page->table()->visualRect(page->model()->index(0, FileModel::NameColumn)).center());
    answerModal([](QDialog *dialog) {
        dialog->findChild<QLineEdit *>()->setText("plan-v2");
        okButtonOf(dialog)->click();
    });
    QTest::keyClick(page->table(), Qt::Key_F2);
    QTRY_COMPARE(countOf("PUT", "/api/files/9"), 1);
    QCOMPARE(m_server->requests("PUT", "/api/files/9").first().json().value("name").toString(),
             QStringLiteral("plan-v2.docx"));
}

void TestFileCommands::deleteAsksAndSendsOneRequestPerRow()
{
    m_server->on("DELETE", QStringLiteral("/api/files/*"), ScriptedReply::success());
    auto page = makePage({file("1", "a.pdf"), folder("2", "d"), file("3", "c.pdf")});
    page->table()->selectAll();

    // Cancelled: nothing is sent.
    answerModal([](QDialog *dialog) { dialog->reject(); });
    page->deleteSelected();
    QCOMPARE(countOf("DELETE", "/api/files/"), 0);

    const int listingsBefore = countOf("GET", "/api/files");
    QStringList asked;
    QString okText;
    answerModal([&](QDialog *dialog) {
        asked = dialogTexts(dialog);
        okText = okButtonOf(dialog)->text();
        okButtonOf(dialog)->click();
    });
    page->deleteSelected();
    QVERIFY2(asked.contains("确定删除选中的 3 项并移入回收站？"), qPrintable(asked.join('|')));
    QCOMPARE(okText, QStringLiteral("删除"));
    QTRY_COMPARE(countOf("DELETE", "/api/files/"), 3);
    QList<QByteArray> targets;
    for (const RecordedRequest &request : m_server->requests("DELETE", QStringLiteral("/api/files/*")))
        targets.append(request.target);
    // Sent in row order, but over parallel connections: arrival order is not defined.
    std::sort(targets.begin(), targets.end());
    QCOMPARE(targets, (QList<QByteArray>{"/api/files/1", "/api/files/2", "/api/files/3"}));
    QTRY_COMPARE(countOf("GET", "/api/files") - listingsBefore, 3);
}

void TestFileCommands::strayReturnInTheDeleteQuestionDeletesNothing()
{
    m_server->on("DELETE", QStringLiteral("/api/files/*"), ScriptedReply::success());
    for (const QString &team : {QString(), QStringLiteral("t1")}) {
        m_server->on("DELETE", QStringLiteral("/api/teams/*"), ScriptedReply::success());
        auto page = makePage({file("1", "a.pdf")}, team);
        page->table()->selectAll();
        answerModal([](QDialog *dialog) { QTest::keyClick(dialog, Qt::Key_Return); });
        page->deleteSelected();
        QCOMPARE(countOf("DELETE", "/api/"), 0);
    }
}

void TestFileCommands::rowButtonsStandInTheSameColumnsForFoldersAndFiles()
{
    auto page = makePage({folder("1", "d"), file("2", "a.pdf")});
    QTRY_COMPARE(page->table()->rowsWithWidgets(), (QList<int>{0, 1}));
    const auto xOf = [&page](int row, const QString &tip) {
        QWidget *box = page->table()->indexWidget(page->model()->index(row, FileModel::ActionColumn));
        for (QToolButton *button : box->findChildren<QToolButton *>()) {
            if (button->toolTip() == tip && !button->isHidden())
                return button->mapTo(page->table(), QPoint(0, 0)).x();
        }
        return -1;
    };
    QApplication::processEvents();
    QVERIFY(xOf(0, QStringLiteral("重命名")) >= 0);
    QCOMPARE(xOf(0, QStringLiteral("重命名")), xOf(1, QStringLiteral("重命名")));
    QCOMPARE(xOf(0, QStringLiteral("删除")), xOf(1, QStringLiteral("删除")));
}

void TestFileCommands::keyboardOpensAndGoesUp()
{
    QStringList opened;
    FileListPage::setUrlOpener([&opened](const QUrl &url) {
        opened.append(url.toString());
        return true;
    });
    auto page = makePage({folder("7", "d"), file("2", "a.pdf")});
    FileTable *table = page->table();
    table->setFocus();
    table->setCurrentIndex(page->model()->index(0, FileModel::NameColumn));
    QTest::keyClick(table, Qt::Key_Return);
    QCOMPARE(page->currentFolderId(), QStringLiteral("7"));
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("共 2 项"));

    QTest::keyClick(table, Qt::Key_Backspace);
    QVERIFY(page->currentFolderId().isEmpty());
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("共 2 项"));

    page->enterFolder(0);
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("共 2 项"));
    QTest::keyClick(table, Qt::Key_Left, Qt::AltModifier);
    QVERIFY(page->currentFolderId().isEmpty());
    // At the root there is nowhere further up.
    QTest::keyClick(table, Qt::Key_Backspace);
    QVERIFY(page->crumbIds().isEmpty());
    FileListPage::setUrlOpener({});
}

void TestFileCommands::teamDeleteWarnsThatItIsPermanent()
{
    m_server->on("DELETE", QStringLiteral("/api/teams/*"), ScriptedReply::success());
    auto page = makePage({file("1", "a.pdf"), file("2", "b.pdf")}, QStringLiteral("t 1"));
    page->table()->selectAll();
    QStringList asked;
    QString okText;
    answerModal([&](QDialog *dialog) {
        asked = dialogTexts(dialog);
        okText = okButtonOf(dialog)->text();
        okButtonOf(dialog)->click();
    });
    QTest::keyClick(page->table(), Qt::Key_Delete);
    QVERIFY(asked.contains("团队空间删除为永久删除、不可恢复，确定删除选中的 2 项？"));
    QCOMPARE(okText, QStringLiteral("永久删除"));
    QTRY_COMPARE(countOf("DELETE", "/api/teams/t%201/files/"), 2);
    QCOMPARE(countOf("DELETE", "/api/files/"), 0);
}

void TestFileCommands::newFolderCreatesInTheCurrentFolder()
{
    m_server->on("POST", QStringLiteral("/api/folders"), ScriptedReply::success());
    auto page = makePage({folder("5", "A")});
    page->enterFolder(0);
    answerModal([](QDialog *dialog) {
        dialog->findChild<QLineEdit *>()->setText("  新的  ");
        okButtonOf(dialog)->click();
    });
    page->newFolder();
    QTRY_COMPARE(countOf("POST", "/api/folders"), 1);
    const QJsonObject body = m_server->requests("POST", "/api/folders").first().json();
    QCOMPARE(body.value("name").toString(), QStringLiteral("新的"));
    QCOMPARE(body.value("parent_id").toString(), QStringLiteral("5"));

    answerModal([](QDialog *dialog) { dialog->reject(); });
    page->newFolder();
    QTest::qWait(50);
    QCOMPARE(countOf("POST", "/api/folders"), 1);
}

void TestFileCommands::folderPickerPutsCyclesAndOrphansUnderTheRoot()
{
    m_server->on("GET", QStringLiteral("/api/folders"),
                 ScriptedReply::success(QJsonArray{
                     QJsonObject{{"id", "A"}, {"parent_id", "B"}, {"name", "甲"}},
                     QJsonObject{{"id", "B"}, {"parent_id", "A"}, {"name", "乙"}},
                     QJsonObject{{"id", 12}, {"parent_id", QJsonValue::Null}, {"name", "top"}},
                     QJsonObject{{"id", "D"}, {"parent_id", 12}, {"name", "child"}},
                     QJsonObject{{"id", "E"}, {"parent_id", "D"}, {"name", "grandchild"}},
                     QJsonObject{{"id", "F"}, {"parent_id", "gone"}, {"name", "orphan"}},
                     QJsonObject{{"id", "S"}, {"parent_id", "S"}, {"name", "self"}},
                     QStringLiteral("not an object"),
                 }));
    FolderPickerDialog picker(nullptr, QStringLiteral("移动到"));
    QSignalSpy loaded(&picker, &FolderPickerDialog::foldersLoaded);
    QVERIFY(loaded.wait(5000));

    QTreeWidgetItem *root = picker.itemFor(FolderPickerDialog::RootKey);
    QCOMPARE(root->text(0), QStringLiteral("全部文件（根目录）"));
    const auto parentOf = [&](const QString &id) { return picker.itemFor(id)->parent(); };
    QCOMPARE(parentOf("A"), root);
    QCOMPARE(parentOf("B"), root);
    QCOMPARE(parentOf("S"), root);
    QCOMPARE(parentOf("F"), root);
    QCOMPARE(parentOf("12"), root);
    QCOMPARE(parentOf("D"), picker.itemFor("12"));
    QCOMPARE(parentOf("E"), picker.itemFor("D"));
    QCOMPARE(picker.itemFor("E")->text(0), QStringLiteral("grandchild"));
    QCOMPARE(root->childCount(), 5);
    QVERIFY(picker.itemFor("D")->isExpanded());

    QCOMPARE(picker.selectedId(), QString()); // no choice means the root
    picker.tree()->setCurrentItem(picker.itemFor("E"));
    QCOMPARE(picker.selectedId(), QStringLiteral("E"));
    picker.tree()->setCurrentItem(root);
    QCOMPARE(picker.selectedId(), QString());
}

void TestFileCommands::folderPickerKeepsOnlyTheRootAfterAFailure()
{
    m_server->on("GET", QStringLiteral("/api/folders"), ScriptedReply::json(QJsonObject{{"error", "boom"}}, 500));
    FolderPickerDialog picker(nullptr, QStringLiteral("解压到"));
    QSignalSpy loaded(&picker, &FolderPickerDialog::foldersLoaded);
    QVERIFY(loaded.wait(5000));
    QCOMPARE(picker.tree()->topLevelItemCount(), 1);
    QCOMPARE(picker.tree()->topLevelItem(0)->childCount(), 0);
}

void TestFileCommands::moveAndExtractSendTheChosenFolder()
{
    m_server->on("GET", QStringLiteral("/api/folders"),
                 ScriptedReply::success(QJsonArray{QJsonObject{{"id", "T"}, {"name", "目标"}}}));
    m_server->on("PUT", QStringLiteral("/api/files/*"), ScriptedReply::success());
    m_server->on("POST", QStringLiteral("/api/files/extract"),
                 ScriptedReply::json(QJsonObject{{"success", false}, {"message", "压缩包已损坏"}}, 400));
    auto page = makePage({file("1", "a.pdf"), file("2", "z.zip", "application/zip"), file("3", "c.pdf")});

    const auto acceptPicker = [&](const QString &choose) {
        auto *picker = page->findChild<FolderPickerDialog *>();
        QVERIFY(picker);
        QVERIFY(picker->isVisible());
        QSignalSpy loaded(picker, &FolderPickerDialog::foldersLoaded);
        QVERIFY(loaded.wait(5000));
        if (!choose.isEmpty())
            picker->tree()->setCurrentItem(picker->itemFor(choose));
        picker->accept();
        QTRY_VERIFY(page->findChild<FolderPickerDialog *>() == nullptr); // deleted on close
    };

    const int listingsBefore = countOf("GET", "/api/files");
    page->moveSelected({0, 2});
    acceptPicker(QStringLiteral("T"));
    QTRY_COMPARE(countOf("PUT", "/api/files/"), 2);
    // Each move reloads the listing; the rows are only there again once the last reload answered.
    QTRY_COMPARE(countOf("GET", "/api/files"), listingsBefore + 2);
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("共 3 项"));
    const QList<RecordedRequest> moves = m_server->requests("PUT", QStringLiteral("/api/files/*"));
    QList<QByteArray> moved;
    for (const RecordedRequest &move : moves) {
        moved.append(move.target);
        QCOMPARE(move.json().value("parent_id").toString(), QStringLiteral("T"));
    }
    std::sort(moved.begin(), moved.end());
    QCOMPARE(moved, (QList<QByteArray>{"/api/files/1/move", "/api/files/3/move"}));

    page->extractArchive(page->model()->rowAt(1));
    acceptPicker(QString());
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("压缩包已损坏"));
    const QJsonObject body = m_server->requests("POST", "/api/files/extract").first().json();
    QCOMPARE(body.value("fileId").toString(), QStringLiteral("2"));
    QVERIFY(!body.contains("targetId")); // the root
}

void TestFileCommands::personalDropSplitsAtEightMebibytes()
{
    QTemporaryDir dir;
    const QString below = dir.filePath("below.bin"), exact = dir.filePath("exact.bin"), small = dir.filePath("s.txt");
    QVERIFY(writeSized(below, 8388607));
    QVERIFY(writeSized(exact, 8388608));
    QVERIFY(writeSized(small, 1000));
    // The multipart answer waits until the chunked job has failed, so the status line's last word
    // is the reload's and not a race between the two.
    m_server->on("POST", QStringLiteral("/api/files/upload"), ScriptedReply::success().heldUntilReleased());
    m_server->on("POST", QStringLiteral("/api/upload/init"),
                 ScriptedReply::json(QJsonObject{{"success", false}, {"message", "空间不足"}}, 507));

    auto page = makePage({folder("5", "A")});
    page->enterFolder(0);
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("共 1 项"));
    const int listingsBefore = countOf("GET", "/api/files");
    emit page->table()->filesDropped({below, exact, small});
    QList<TransferTask *> jobs;
    for (TransferTask *task : TransferManager::instance()->tasks()) {
        if (task->kind() == TransferTask::Kind::Upload && task->isUnfinished())
            jobs.append(task);
    }
    QCOMPARE(jobs.size(), 1);
    QSignalSpy failed(jobs.first(), &TransferTask::sigFailed);
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().first().toString(), QStringLiteral("空间不足"));
    QCOMPARE(countOf("POST", "/api/upload/init"), 1);
    const QJsonObject init = m_server->requests("POST", "/api/upload/init").first().json();
    QCOMPARE(init.value("name").toString(), QStringLiteral("exact.bin"));
    QCOMPARE(init.value("size").toInteger(), 8388608);
    QCOMPARE(init.value("parent_id").toString(), QStringLiteral("5"));

    QTRY_COMPARE(countOf("POST", "/api/files/upload"), 1);
    m_server->releaseHeld();
    const QByteArray form = m_server->requests("POST", "/api/files/upload").first().body;
    QVERIFY(form.contains("filename=\"below.bin\""));
    QVERIFY(form.contains("filename=\"s.txt\""));
    QVERIFY(!form.contains("exact.bin"));
    QVERIFY(form.contains("name=\"parent_id\""));

    // The multipart success reloads; a chunked job's failure is named in the status line.
    QTRY_COMPARE(countOf("GET", "/api/files") - listingsBefore, 1);
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("共 1 项"));
    emit page->table()->filesDropped({exact});
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("上传失败：空间不足"));
    QCOMPARE(countOf("POST", "/api/files/upload"), 1);
}

void TestFileCommands::teamDropSendsEveryFileInOneRequest()
{
    QTemporaryDir dir;
    const QString big = dir.filePath("big.bin"), small = dir.filePath("s.txt");
    QVERIFY(writeSized(big, 8388608 + 5));
    QVERIFY(writeSized(small, 10));
    m_server->on("POST", QStringLiteral("/api/teams/t1/files/upload"), ScriptedReply::success());
    auto page = makePage({}, QStringLiteral("t1"));
    const int listingsBefore = countOf("GET", "/api/teams/");
    emit page->table()->filesDropped({big, small});

    QTRY_COMPARE(countOf("POST", "/api/teams/t1/files/upload"), 1);
    const QByteArray form = m_server->requests("POST", "/api/teams/t1/files/upload").first().body;
    QVERIFY(form.contains("filename=\"big.bin\""));
    QVERIFY(form.contains("filename=\"s.txt\""));
    QVERIFY(!form.contains("name=\"parent_id\"")); // the root
    QCOMPARE(countOf("POST", "/api/upload/init"), 0);
    QTRY_COMPARE(countOf("GET", "/api/teams/") - listingsBefore, 1); // reloaded after success
}

void TestFileCommands::folderDroppedFromTheDesktopSendsNoFilePart()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("photos"));
    QVERIFY(writeSized(dir.filePath("photos/inside.jpg"), 9000000));
    m_server->on("POST", QStringLiteral("/api/files/upload"), ScriptedReply::success());
    auto page = makePage({});
    emit page->table()->filesDropped({dir.filePath("photos")});
    QTRY_COMPARE(countOf("POST", "/api/files/upload"), 1);
    const QByteArray form = m_server->requests("POST", "/api/files/upload").first().body;
    QVERIFY(!form.contains("filename="));
    QCOMPARE(countOf("POST", "/api/upload/init"), 0);
}

void TestFileCommands::dropOnTheEmptyFolderHintUploads()
{
    QTemporaryDir dir;
    const QString small = dir.filePath("s.txt");
    QVERIFY(writeSized(small, 10));
    m_server->on("POST", QStringLiteral("/api/files/upload"), ScriptedReply::success());
    auto page = makePage({});
    auto *hint = page->findChild<QLabel *>(QStringLiteral("EmptyHint"));
    QVERIFY(hint->isVisible());
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(small)});
    const QPointF where(hint->width() / 2.0, hint->height() / 2.0);
    QDragEnterEvent enter(where.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(hint, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(hint, &drop);
    QTRY_COMPARE(countOf("POST", "/api/files/upload"), 1);
    QVERIFY(m_server->requests("POST", "/api/files/upload").first().body.contains("filename=\"s.txt\""));
}

void TestFileCommands::downloadButtonsDependOnTheSelection()
{
    m_server->serveContent(QStringLiteral("/api/files/2/download"), QByteArray("hello"));
    auto page = makePage({file("1", "a.pdf"), file("2", "b.txt")});

    QStringList asked;
    const auto capture = [&asked] {
        answerModal([&asked](QDialog *dialog) {
            asked = dialogTexts(dialog);
            dialog->accept();
        });
    };
    capture();
    page->downloadButtonClicked();
    QVERIFY(asked.contains("请先选择要下载的文件"));

    page->table()->selectAll();
    capture();
    page->downloadButtonClicked();
    QVERIFY(asked.contains("多项请使用「打包下载」"));
    QCOMPARE(countOf("GET", "/api/files/1/download") + countOf("POST", "/api/files/pack-download"), 0);

    // "打包下载" with one row downloads that file under its own name.
    page->table()->clearSelection();
    page->selectRow(1);
    page->packDownloadButtonClicked();
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("已下载：b.txt"));
    QFile saved(QDir(m_downloads->path()).filePath("b.txt"));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("hello"));
    QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(m_downloads->path())});
    QCOMPARE(countOf("POST", "/api/files/pack-download"), 0);
}

void TestFileCommands::downloadsStayInsideTheDownloadFolder()
{
    m_server->serveContent(QStringLiteral("/api/teams/t1/files/x%2Fy/download"), QByteArray("payload"));
    auto page = makePage({file("x/y", "../../evil.txt")}, QStringLiteral("t1"));
    QCOMPARE(page->downloadUrl("x/y"), QStringLiteral("/api/teams/t1/files/x%2Fy/download"));
    page->downloadRecord(page->model()->rowAt(0));
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("已下载：../../evil.txt"));

    const QStringList entries = QDir(m_downloads->path()).entryList(QDir::Files | QDir::NoDotAndDotDot);
    QCOMPARE(entries.size(), 1);
    QVERIFY(!entries.first().contains('/'));
    QVERIFY(!QFile::exists(QDir(m_downloads->path()).filePath("../../evil.txt")));
    QVERIFY(!QFile::exists(QDir(m_downloads->path()).filePath("../evil.txt")));

    // A failing download names the failure.
    m_server->on("GET", QStringLiteral("/api/teams/t1/files/404/download"),
                 ScriptedReply::json(QJsonObject{{"error", "文件不存在"}}, 404));
    page->downloadRecord(file("404", "gone.txt"));
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("下载失败：文件不存在"));
}

void TestFileCommands::progressShowsAnEllipsisWithoutALength()
{
    m_server->on(
        "GET", QStringLiteral("/api/files/1/download"),
        ScriptedReply::text(200, QByteArray(40000, 'x'), "application/octet-stream").withoutLength().trickle(4000, 30));
    auto page = makePage({file("1", "stream.log")});
    page->downloadRecord(page->model()->rowAt(0));
    QCOMPARE(page->statusLabel()->text(), QStringLiteral("开始下载 stream.log …"));
    QStringList seen;
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QString text = page->statusLabel()->text();
            if (seen.isEmpty() || seen.last() != text)
                seen.append(text);
            return text.startsWith(QStringLiteral("已下载："));
        },
        10000));
    const auto progress = std::find_if(seen.cbegin(), seen.cend(), [](const QString &text) {
        return text.startsWith(QStringLiteral("下载 stream.log："));
    });
    QVERIFY2(progress != seen.cend(), qPrintable(seen.join('|')));
    QVERIFY2(progress->contains(QStringLiteral(" / …  ")), qPrintable(*progress));
    QCOMPARE(seen.last(), QStringLiteral("已下载：stream.log"));
}

void TestFileCommands::openingHandsTheFileToTheDesktop()
{
    m_server->serveContent(QStringLiteral("/api/files/1/download"), QByteArray("pdf bytes"));
    m_server->on("GET", QStringLiteral("/api/files/2/download"),
                 ScriptedReply::json(QJsonObject{{"error", "无权访问"}}, 403));
    auto page = makePage({file("1", "a.pdf"), file("2", "b.pdf")});

    page->openRow(0);
    QCOMPARE(page->statusLabel()->text(), QStringLiteral("正在打开 a.pdf …"));
    QTRY_COMPARE(m_opened.size(), 1);
    QCOMPARE(m_opened.first(), QUrl::fromLocalFile(QDir(m_downloads->path()).filePath("a.pdf")));
    QCOMPARE(page->statusLabel()->text(), QStringLiteral("正在打开 a.pdf …"));

    page->openRow(1);
    QTRY_COMPARE(page->statusLabel()->text(), QStringLiteral("打开失败：无权访问"));
    QCOMPARE(m_opened.size(), 1);
}

void TestFileCommands::packDownloadStreamsTheArchiveUnderItsTimestampName()
{
    QCOMPARE(FileListPage::packFileName(QDateTime(QDate(2024, 5, 1), QTime(14, 3, 9))),
             QStringLiteral("打包下载_20240501_140309.zip"));

    const QByteArray archive = QByteArray("PK\x03\x04") + QByteArray(3 * 1024 * 1024, 'z');
    m_server->on("POST", QStringLiteral("/api/files/pack-download"),
                 ScriptedReply::text(200, archive, "application/zip").trickle(256 * 1024, 1));
    auto page = makePage({folder("d1", "docs"), file("f2", "a.pdf"), file("f3", "b.pdf")});
    page->table()->selectAll();
    const QDateTime before = QDateTime::currentDateTime();
    page->packDownloadButtonClicked();
    QTRY_VERIFY_WITH_TIMEOUT(page->statusLabel()->text().startsWith("已打包下载：打包下载_"), 10000);
    const QDateTime after = QDateTime::currentDateTime();

    const QJsonObject body = m_server->requests("POST", "/api/files/pack-download").first().json();
    QCOMPARE(body.value("ids").toArray(), (QJsonArray{"d1", "f2", "f3"}));
    const QString name = page->statusLabel()->text().mid(QStringLiteral("已打包下载：").size());
    QVERIFY2(name == FileListPage::packFileName(before) || name == FileListPage::packFileName(after), qPrintable(name));
    QFile saved(QDir(m_downloads->path()).filePath(name));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.size(), archive.size());
    QVERIFY(saved.readAll() == archive);
    QVERIFY(!QFile::exists(saved.fileName() + ".part"));
    QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(m_downloads->path())});
}

void TestFileCommands::packDownloadFailuresLeaveNoArchive()
{
    auto page = makePage({file("1", "a.pdf"), file("2", "b.pdf")});
    page->table()->selectAll();
    const auto packAndWait = [&]() -> QString {
        page->statusLabel()->clear();
        page->downloadSelected();
        if (!QTest::qWaitFor([&] { return page->statusLabel()->text().startsWith("打包失败："); }, 10000))
            return QStringLiteral("no failure: ") + page->statusLabel()->text();
        return page->statusLabel()->text();
    };
    const auto leftovers = [&] { return QDir(m_downloads->path()).entryList(QDir::Files | QDir::NoDotAndDotDot); };

    // The server's message first, then its error.
    m_server->on("POST", QStringLiteral("/api/files/pack-download"),
                 ScriptedReply::json(QJsonObject{{"error", "E"}, {"message", "选择的文件过多"}}, 400));
    QCOMPARE(packAndWait(), QStringLiteral("打包失败：选择的文件过多"));
    m_server->on("POST", QStringLiteral("/api/files/pack-download"),
                 ScriptedReply::json(QJsonObject{{"error", "文件不存在"}, {"message", ""}}, 404));
    QCOMPARE(packAndWait(), QStringLiteral("打包失败：文件不存在"));

    // A connection lost halfway leaves neither the archive nor its side file.
    m_server->on("POST", QStringLiteral("/api/files/pack-download"),
                 ScriptedReply::text(200, QByteArray(1024 * 1024, 'z'), "application/zip").cutAfter(300000));
    QVERIFY(packAndWait().startsWith("打包失败："));
    QCOMPARE(leftovers(), QStringList());

    // A folder that cannot be written into.
    m_server->on("POST", QStringLiteral("/api/files/pack-download"),
                 ScriptedReply::text(200, QByteArray("PK zip"), "application/zip"));
    QTemporaryDir blocked;
    const QString notADir = blocked.filePath("file-not-folder");
    QVERIFY(writeSized(notADir, 1));
    FileListPage::setDownloadDirForTests(notADir + "/sub");
    const QString text = packAndWait();
    QVERIFY2(text.startsWith(QStringLiteral("打包失败：无法写入：") + notADir + "/sub/打包下载_"), qPrintable(text));
    QVERIFY(m_opened.isEmpty());
}

// Offscreen pictures of the row buttons, the context menu and the folder picker, for a look by eye
// (TVR_SCREENSHOT_DIR, else a folder in the temporary directory).
void TestFileCommands::rendersThePageMenuAndPicker()
{
    qApp->setStyleSheet(Theme::globalStyleSheet());
    const QString configured = qEnvironmentVariable("TVR_SCREENSHOT_DIR");
    const QDir out(configured.isEmpty() ? QDir::temp().filePath(QStringLiteral("tvr-screenshots")) : configured);
    QVERIFY(out.mkpath(QStringLiteral(".")));

    m_server->on("GET", QStringLiteral("/api/folders"),
                 ScriptedReply::success(QJsonArray{QJsonObject{{"id", "1"}, {"name", "项目资料"}},
                                                   QJsonObject{{"id", "2"}, {"parent_id", "1"}, {"name", "2024 年度"}},
                                                   QJsonObject{{"id", "3"}, {"name", "合同"}}}));
    auto page =
        makePage({folder("1", "项目资料"), file("2", "季度报告.pdf"), file("3", "素材.zip", "application/zip")});
    page->resize(1000, 420);
    page->selectRow(2);
    QTRY_COMPARE(page->table()->rowsWithWidgets().size(), 3);
    QVERIFY(page->grab().save(out.filePath(QStringLiteral("files-row-buttons.png"))));

    std::unique_ptr<QMenu> menu(page->buildMenu());
    menu->adjustSize();
    QVERIFY(menu->grab().save(out.filePath(QStringLiteral("files-context-menu.png"))));

    page->moveSelected({2});
    auto *picker = page->findChild<FolderPickerDialog *>();
    QVERIFY(picker);
    QSignalSpy loaded(picker, &FolderPickerDialog::foldersLoaded);
    QVERIFY(loaded.wait(5000));
    QCOMPARE(picker->size(), QSize(440, 480));
    QVERIFY(picker->grab().save(out.filePath(QStringLiteral("files-folder-picker.png"))));
    picker->reject();
    qApp->setStyleSheet(QString());
}

QTEST_MAIN(TestFileCommands)
#include "tst_filecommands.moc"
