// The trash and team spaces against the reference server: two deleted files seen in the trash,
// one restored into its folder and the other purged in a batch; a team created, a second user
// invited who sees it and uploads into it, the owner listing that file, the member leaving and
// the owner dissolving it. Also renders the trash, the team page and the members dialog of the
// demo account into $TVR_SCREENSHOT_DIR (docs/screenshots when refreshing the README's).
#include "app/mainwindow.h"
#include "app/theme.h"
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "modalanswer.h"
#include "net/httpresponse.h"
#include "net/session.h"
#include "referenceserver.h"
#include "screenshots.h"
#include "spaces/teammembersdialog.h"
#include "spaces/teamspacepage.h"
#include "spaces/trashpage.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using Creds = ReferenceServer::Credentials;

namespace {

QStringList names(const QJsonArray &records)
{
    QStringList list;
    for (const QJsonValue &value : records)
        list.append(value.toObject().value(QStringLiteral("name")).toString());
    list.sort();
    return list;
}

int trashRowNamed(TrashPage &page, const QString &name)
{
    for (int row = 0; row < page.table()->rowCount(); ++row) {
        if (page.table()->item(row, TrashPage::NameColumn)->text() == name)
            return row;
    }
    return -1;
}

int modelRowNamed(const FileModel *model, const QString &name)
{
    for (int row = 0; row < model->rowCount(); ++row) {
        if (jsonText(model->rowAt(row), QStringLiteral("name")) == name)
            return row;
    }
    return -1;
}

bool waitForFiles(FileListPage *page)
{
    return QTest::qWaitFor([page] { return page && page->statusLabel()->text().startsWith(QStringLiteral("共 ")); },
                           10000);
}

} // namespace

class TestSpacesE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void deletedFilesAreRestoredOrPurgedFromTheTrash();
    void invitedMemberSharesFilesLeavesAndTheOwnerDissolves();
    void rendersTheDemoAccountsSpaces();

private:
    void signInAs(const Creds &user);
    qint64 upload(const Creds &as, const QString &name, qint64 parent);

    std::unique_ptr<ReferenceServer> m_server;
    QTemporaryDir m_work;
};

void TestSpacesE2E::initTestCase()
{
    qApp->setStyleSheet(Theme::globalStyleSheet());
    ReferenceServer::Options options;
    options.demo = true;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
}

void TestSpacesE2E::cleanupTestCase()
{
    m_server.reset();
}

void TestSpacesE2E::signInAs(const Creds &user)
{
    QVERIFY(user.isValid());
    QVERIFY(Session::instance()->applyLogin(user.login));
}

qint64 TestSpacesE2E::upload(const Creds &as, const QString &name, qint64 parent)
{
    QList<ReferenceServer::Part> parts;
    if (parent > 0)
        parts.append({"parent_id", {}, {}, QByteArray::number(parent)});
    parts.append({"files", name.toUtf8(), "text/plain", "content of " + name.toUtf8()});
    const auto reply = m_server->multipart(QStringLiteral("/api/files/upload"), parts, as);
    return reply.success() && !reply.dataArray().isEmpty()
               ? qint64(reply.dataArray().first().toObject().value("id").toDouble())
               : 0;
}

void TestSpacesE2E::deletedFilesAreRestoredOrPurgedFromTheTrash()
{
    const Creds user = m_server->signIn(QStringLiteral("e2e_trash"), QStringLiteral("13912340001"));
    signInAs(user);
    const auto folder = m_server->postJson(QStringLiteral("/api/folders"), {{"name", "合同"}}, user);
    QVERIFY2(folder.success(), qPrintable(folder.message()));
    const qint64 folderId = qint64(folder.dataObject().value("id").toDouble());
    QVERIFY(upload(user, QStringLiteral("keep.txt"), folderId) > 0);
    QVERIFY(upload(user, QStringLiteral("drop.txt"), folderId) > 0);
    const QString listing = QStringLiteral("/api/files?parent_id=%1").arg(folderId);

    // Both are deleted through the file page of that folder.
    FileListPage files(QStringLiteral("all"), QString());
    files.show();
    QVERIFY(waitForFiles(&files));
    files.enterFolder(modelRowNamed(files.model(), QStringLiteral("合同")));
    QVERIFY(waitForFiles(&files));
    QCOMPARE(files.model()->rowCount(), 2);
    files.toggleSelectAll();
    answerModal([](QDialog *dialog) { dialog->accept(); });
    files.deleteSelected();
    QTRY_VERIFY(m_server->get(listing, user).dataArray().isEmpty());

    TrashPage trash;
    trash.resize(900, 500);
    trash.show();
    QTRY_COMPARE(trash.table()->rowCount(), 2);
    QCOMPARE(trash.restoreButton()->text(), QStringLiteral("还原选中 (0)"));

    // One comes back into its folder at a click.
    const int keepRow = trashRowNamed(trash, QStringLiteral("keep.txt"));
    QVERIFY(keepRow >= 0);
    auto *restore = trash.table()->cellWidget(keepRow, TrashPage::ActionColumn)->findChild<QToolButton *>("RowIconBtn");
    QTest::mouseClick(restore, Qt::LeftButton);
    QTRY_COMPARE(trash.table()->rowCount(), 1);
    QCOMPARE(trash.table()->item(0, TrashPage::NameColumn)->text(), QStringLiteral("drop.txt"));
    QCOMPARE(names(m_server->get(listing, user).dataArray()), QStringList{"keep.txt"});

    // The other is purged as a batch of the checked rows.
    QTest::mouseClick(trash.selectAllButton(), Qt::LeftButton);
    QCOMPARE(trash.purgeButton()->text(), QStringLiteral("彻底删除选中 (1)"));
    answerModal([](QDialog *dialog) { dialog->accept(); });
    QTest::mouseClick(trash.purgeButton(), Qt::LeftButton);
    QTRY_VERIFY(trash.emptyLabel()->isVisible());
    QCOMPARE(trash.table()->rowCount(), 0);
    QVERIFY(m_server->get(QStringLiteral("/api/files/trash"), user).dataArray().isEmpty());
    QCOMPARE(names(m_server->get(listing, user).dataArray()), QStringList{"keep.txt"});
}

void TestSpacesE2E::invitedMemberSharesFilesLeavesAndTheOwnerDissolves()
{
    const Creds owner = m_server->signIn(QStringLiteral("e2e_owner"), QStringLiteral("13912340002"));
    const Creds member = m_server->signIn(QStringLiteral("e2e_member"), QStringLiteral("13912340003"));
    QVERIFY(owner.isValid() && member.isValid());

    signInAs(owner);
    TeamSpacePage ownerPage;
    ownerPage.resize(1000, 600);
    ownerPage.show();
    QTRY_VERIFY(ownerPage.detailArea()->findChild<QLabel *>(QStringLiteral("TeamEmptyHint")));
    answerModal([](QDialog *dialog) {
        dialog->findChild<QLineEdit *>(QStringLiteral("cdInput"))->setText(QStringLiteral(" 联合项目组 "));
        dialog->accept();
    });
    QTest::mouseClick(ownerPage.createButton(), Qt::LeftButton);
    QTRY_COMPARE(ownerPage.teamList()->count(), 1);
    QCOMPARE(ownerPage.currentTeamName(), QStringLiteral("联合项目组"));
    const QString teamId = ownerPage.currentTeamId();

    // The owner invites the second user by user name in the members dialog.
    ownerPage.openMembers();
    auto *dialog = ownerPage.findChild<TeamMembersDialog *>();
    QVERIFY(dialog);
    QTRY_COMPARE(dialog->listWidget()->findChildren<QWidget *>(QStringLiteral("MemberRow")).size(), 1);
    dialog->inviteEdit()->setText(QStringLiteral("e2e_member"));
    dialog->invite();
    QTRY_COMPARE(ownerPage.teamList()->count(), 1);
    QTRY_COMPARE(ownerPage.teamList()->currentItem()
                     ? ownerPage.teamList()->currentItem()->data(TeamSpacePage::MemberCountRole).toInt()
                     : 0,
                 2);
    dialog->close();

    // The member sees the team and uploads into it.
    signInAs(member);
    TeamSpacePage memberPage;
    memberPage.resize(1000, 600);
    memberPage.show();
    QTRY_COMPARE(memberPage.teamList()->count(), 1);
    QCOMPARE(memberPage.currentTeamId(), teamId);
    QCOMPARE(memberPage.teamList()->currentItem()->data(TeamSpacePage::RoleRole).toString(), QStringLiteral("member"));
    QVERIFY(waitForFiles(memberPage.teamFiles()));
    const QString local = m_work.filePath(QStringLiteral("会议纪要.txt"));
    {
        QFile out(local);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("shared by the member\n");
    }
    memberPage.teamFiles()->uploadPaths({local});
    QTRY_COMPARE(memberPage.teamFiles()->model()->rowCount(), 1);

    // The owner lists it.
    signInAs(owner);
    ownerPage.reloadTeams();
    QTRY_VERIFY(ownerPage.teamFiles() && ownerPage.teamFiles()->model()->rowCount() == 1);
    QCOMPARE(jsonText(ownerPage.teamFiles()->model()->rowAt(0), QStringLiteral("name")),
             QStringLiteral("会议纪要.txt"));

    // The member leaves; the owner dissolves.
    signInAs(member);
    answerModal([](QDialog *confirm) { confirm->accept(); });
    memberPage.leaveCurrent();
    QTRY_VERIFY(memberPage.detailArea()->findChild<QLabel *>(QStringLiteral("TeamEmptyHint")));
    QCOMPARE(memberPage.teamList()->count(), 0);

    signInAs(owner);
    answerModal([](QDialog *confirm) { confirm->accept(); });
    ownerPage.dissolveCurrent();
    QTRY_VERIFY(ownerPage.detailArea()->findChild<QLabel *>(QStringLiteral("TeamEmptyHint")));
    QCOMPARE(ownerPage.teamList()->count(), 0);
    QVERIFY(m_server->get(QStringLiteral("/api/teams"), owner).dataArray().isEmpty());
}

void TestSpacesE2E::rendersTheDemoAccountsSpaces()
{
    const Creds demo = m_server->signIn(QStringLiteral("demo"), QStringLiteral("13800138000"));
    signInAs(demo);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // The sidebar's 「回收站」 leads to the trash.
    QPushButton *trashEntry = nullptr;
    for (QPushButton *button : window.findChildren<QPushButton *>(QStringLiteral("SideFootItem"))) {
        if (button->text() == QStringLiteral("回收站"))
            trashEntry = button;
    }
    QVERIFY(trashEntry);
    QTest::mouseClick(trashEntry, Qt::LeftButton);
    QCOMPARE(window.currentIndex(), int(MainWindow::TrashPage));
    auto *trash = qobject_cast<TrashPage *>(window.pageStack()->currentWidget());
    QVERIFY(trash);
    QTRY_COMPARE(trash->table()->rowCount(), 2);
    trash->table()->item(0, TrashPage::CheckColumn)->setCheckState(Qt::Checked);
    QApplication::processEvents();
    QVERIFY(Screenshots::save(window.grab().toImage(), QStringLiteral("trash.png")));

    // A file page's 「团队空间」 leads to the team page.
    window.switchTo(MainWindow::AllFilesPage);
    auto *teamButton =
        window.filePage(MainWindow::AllFilesPage)->findChild<QPushButton *>(QStringLiteral("TeamSpaceBtn"));
    QVERIFY(teamButton);
    QTest::mouseClick(teamButton, Qt::LeftButton);
    QCOMPARE(window.currentIndex(), int(MainWindow::TeamSpacesPage));
    auto *teams = qobject_cast<TeamSpacePage *>(window.pageStack()->currentWidget());
    QVERIFY(teams);
    QTRY_VERIFY(teams->teamList()->count() >= 2);
    QCOMPARE(teams->teamList()->currentItem()->data(TeamSpacePage::RoleRole).toString(), QStringLiteral("owner"));
    QVERIFY(waitForFiles(teams->teamFiles()));
    QVERIFY(teams->teamFiles()->model()->rowCount() > 0);
    QApplication::processEvents();
    QVERIFY(Screenshots::save(window.grab().toImage(), QStringLiteral("team.png")));

    teams->openMembers();
    auto *dialog = teams->findChild<TeamMembersDialog *>();
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->listWidget()->findChildren<QWidget *>(QStringLiteral("MemberRow")).size() >= 2);
    QApplication::processEvents();
    QVERIFY(Screenshots::save(Screenshots::onDesktop(dialog), QStringLiteral("team-members.png")));
    dialog->close();
}

QTEST_MAIN(TestSpacesE2E)
#include "tst_spaces_e2e.moc"
