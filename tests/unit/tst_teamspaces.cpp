// The team spaces page and the team members dialog against a scripted server: the empty state,
// what the creator and a member are offered, the selection across rename, dissolve and leave,
// blank names, the team search box, member rows, invitations, and late answers.
#include "files/fileapi.h"
#include "files/filelistpage.h"
#include "modalanswer.h"
#include "net/httpclient.h"
#include "scriptedserver.h"
#include "spaces/teammembersdialog.h"
#include "spaces/teamspacepage.h"
#include "ui/carddialog.h"
#include "ui/offlineoverlay.h"

#include <QApplication>
#include <QJsonArray>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString TeamsPath = QStringLiteral("/api/teams");

QJsonObject team(const QString &id, const QString &name, const QString &role, int members = 2, qint64 used = 1024)
{
    return {{"id", id}, {"name", name}, {"role", role}, {"member_count", members}, {"used_size", used}};
}

QJsonObject member(const QString &userId, const QString &role, const QString &name, const QString &username,
                   const QString &phone = QString())
{
    return {{"user_id", userId}, {"role", role}, {"name", name}, {"username", username}, {"phone", phone}};
}

// The texts of the buttons in the header of the team shown (older headers are out of the layout, waiting to be
// deleted).
QStringList headerButtons(const TeamSpacePage &page)
{
    QStringList texts;
    QLayout *layout = page.detailArea()->layout();
    QWidget *header = layout && layout->count() > 0 ? layout->itemAt(0)->widget() : nullptr;
    if (!header || header->objectName() != QLatin1String("TeamHeader"))
        return texts;
    for (QPushButton *button : header->findChildren<QPushButton *>())
        texts.append(button->text());
    return texts;
}

QList<QWidget *> memberRows(const TeamMembersDialog &dialog)
{
    QList<QWidget *> rows;
    QLayout *layout = dialog.listWidget()->layout();
    for (int i = 0; i < layout->count(); ++i) {
        QWidget *row = layout->itemAt(i)->widget();
        if (row && row->objectName() == QLatin1String("MemberRow"))
            rows.append(row);
    }
    return rows;
}

QString childText(QWidget *row, const char *objectName)
{
    auto *label = row->findChild<QLabel *>(QString::fromLatin1(objectName));
    return label ? label->text() : QStringLiteral("<none>");
}

QPushButton *removeButton(QWidget *row)
{
    for (QPushButton *button : row->findChildren<QPushButton *>()) {
        if (button->text() == QStringLiteral("移除"))
            return button;
    }
    return nullptr;
}

// Answers the prompt that is about to open with text (or cancels it when accept is false).
void answerPrompt(const QString &text, bool accept = true)
{
    answerModal([text, accept](QDialog *dialog) {
        if (auto *input = dialog->findChild<QLineEdit *>(QStringLiteral("cdInput")))
            input->setText(text);
        if (accept)
            dialog->accept();
        else
            dialog->reject();
    });
}

} // namespace

class TestTeamSpaces : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void noTeamsShowsTheInvitation();
    void creatorAndMemberAreOfferedDifferentCommands();
    void selectionFollowsTheIdAcrossARename();
    void firstTeamIsSelectedAfterDissolveOrLeave();
    void failedLeaveIsShown();
    void blankOrCancelledNamesSendNothing();
    void searchBoxDrivesTheTeamFilePage();
    void membersDialogChangesReloadTheTeams();
    void olderTeamListAnswerIsIgnored();
    void lateAnswersAfterThePageIsGoneTouchNothing();
    void teamListAnswerDuringAFilePageDialogKeepsThatPageUntilItCloses();
    void teamListThatCannotBeFetchedKeepsTheTeams();

    void memberSeesNoInvitationNorRemoval();
    void creatorRowHasTheCrownAndNoRemoval();
    void emptyTeamShowsNoMembers();
    void invitationSendsTheTrimmedKeywordOnce();
    void failedInvitationIsShown();
    void olderMemberListAnswerIsIgnored();

private:
    void serveTeams(const QJsonArray &teams) { m_server->on("GET", TeamsPath, ScriptedReply::success(teams)); }
    void serveMembers(const QString &teamId, const QJsonArray &members)
    {
        m_server->on("GET", QStringLiteral("/api/teams/%1/members").arg(teamId), ScriptedReply::success(members));
    }
    int teamListings() const { return int(m_server->requests("GET", TeamsPath).size()); }
    // Waits until the page shows count teams after its next listing.
    static bool waitForTeams(const TeamSpacePage &page, int count);

    ScriptedServer *m_server = nullptr;
};

void TestTeamSpaces::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    // Team files, members and commands succeed with nothing to show unless a test says otherwise.
    m_server->on("", QStringLiteral("/api/teams/*"), ScriptedReply::success(QJsonArray()));
    m_server->on("POST", TeamsPath, ScriptedReply::success());
}

void TestTeamSpaces::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

bool TestTeamSpaces::waitForTeams(const TeamSpacePage &page, int count)
{
    return QTest::qWaitFor([&] { return page.teamList()->count() == count; }, 5000);
}

void TestTeamSpaces::noTeamsShowsTheInvitation()
{
    serveTeams({});
    TeamSpacePage page;
    page.resize(1000, 600);
    page.show();
    QTRY_COMPARE(teamListings(), 1);
    auto *hint = page.detailArea()->findChild<QLabel *>(QStringLiteral("TeamEmptyHint"));
    QTRY_VERIFY(hint && hint->isVisible());
    QCOMPARE(hint->text(), QStringLiteral("创建团队并邀请成员，即可共享协作文件"));
    QCOMPARE(page.teamList()->count(), 0);
    QVERIFY(!page.teamFiles());
    QVERIFY(headerButtons(page).isEmpty());

    // Without a team the search box has nothing to search.
    const int before = m_server->requestCount();
    page.searchBox()->setText(QStringLiteral("报告"));
    QCOMPARE(m_server->requestCount(), before);
}

void TestTeamSpaces::creatorAndMemberAreOfferedDifferentCommands()
{
    serveTeams({team("1", "产品部", "owner", 3, 2048), team("2", "市场组", "member", 5, 0)});
    TeamSpacePage page;
    page.resize(1000, 600);
    page.show();
    QVERIFY(waitForTeams(page, 2));
    QCOMPARE(page.teamList()->currentRow(), 0);
    QCOMPARE(page.currentTeamId(), QStringLiteral("1"));
    QCOMPARE(headerButtons(page), (QStringList{"成员管理", "重命名", "解散团队"}));
    auto *figures = page.detailArea()->findChild<QLabel *>(QStringLiteral("TeamFigures"));
    QCOMPARE(figures->text(), QStringLiteral("3 名成员 · 已用 2.00 KB（计入创建者空间）"));
    QVERIFY(page.teamFiles());
    QCOMPARE(page.teamFiles()->teamId(), QStringLiteral("1"));
    QTRY_COMPARE(m_server->requests("GET", Api::listTeamFilesPath("1", QString())).size(), 1);

    // The badge marks only the creator's own team.
    QListWidget *list = page.teamList();
    QVERIFY(list->itemWidget(list->item(0))->findChild<QLabel *>(QStringLiteral("OwnerBadge")));
    QVERIFY(!list->itemWidget(list->item(1))->findChild<QLabel *>(QStringLiteral("OwnerBadge")));

    list->setCurrentRow(1);
    QCOMPARE(headerButtons(page), (QStringList{"成员管理", "退出团队"}));
    QCOMPARE(page.teamFiles()->teamId(), QStringLiteral("2"));
    QTRY_COMPARE(m_server->requests("GET", Api::listTeamFilesPath("2", QString())).size(), 1);
}

void TestTeamSpaces::selectionFollowsTheIdAcrossARename()
{
    serveTeams({team("1", "Alpha", "owner"), team("2", "Beta", "owner")});
    TeamSpacePage page;
    page.show();
    QVERIFY(waitForTeams(page, 2));
    page.teamList()->setCurrentRow(1);

    // The renamed team now sorts first; it must stay the selected one.
    serveTeams({team("2", "Aardvark", "owner"), team("1", "Alpha", "owner")});
    const int listings = teamListings();
    answerPrompt(QStringLiteral("  Aardvark  "));
    page.renameCurrent();
    QTRY_COMPARE(m_server->requests("PUT", QStringLiteral("/api/teams/2")).size(), 1);
    QCOMPARE(m_server->requests("PUT", QStringLiteral("/api/teams/2")).first().json().value("name").toString(),
             QStringLiteral("Aardvark"));
    QTRY_COMPARE(teamListings(), listings + 1);
    QTRY_COMPARE(page.currentTeamName(), QStringLiteral("Aardvark"));
    QCOMPARE(page.currentTeamId(), QStringLiteral("2"));
    QCOMPARE(page.teamList()->currentRow(), 0);
}

void TestTeamSpaces::firstTeamIsSelectedAfterDissolveOrLeave()
{
    serveTeams({team("1", "A", "owner"), team("2", "B", "owner"), team("3", "C", "member")});
    TeamSpacePage page;
    page.show();
    QVERIFY(waitForTeams(page, 3));

    page.teamList()->setCurrentRow(1);
    serveTeams({team("1", "A", "owner"), team("3", "C", "member")});
    answerModal([](QDialog *dialog) { dialog->accept(); });
    page.dissolveCurrent();
    QTRY_COMPARE(m_server->requests("DELETE", QStringLiteral("/api/teams/2")).size(), 1);
    QVERIFY(waitForTeams(page, 2));
    QCOMPARE(page.teamList()->currentRow(), 0);
    QCOMPARE(page.currentTeamId(), QStringLiteral("1"));

    page.teamList()->setCurrentRow(1);
    QCOMPARE(page.currentTeamId(), QStringLiteral("3"));
    serveTeams({team("1", "A", "owner")});
    answerModal([](QDialog *dialog) { dialog->accept(); });
    page.leaveCurrent();
    QTRY_COMPARE(m_server->requests("POST", QStringLiteral("/api/teams/3/leave")).size(), 1);
    QVERIFY(waitForTeams(page, 1));
    QCOMPARE(page.currentTeamId(), QStringLiteral("1"));

    // A declined dissolve sends nothing.
    answerModal([](QDialog *dialog) { dialog->reject(); });
    page.dissolveCurrent();
    QCOMPARE(m_server->requests("DELETE", QStringLiteral("/api/teams/1")).size(), 0);
}

void TestTeamSpaces::failedLeaveIsShown()
{
    serveTeams({team("5", "C", "member")});
    m_server->on("POST", QStringLiteral("/api/teams/5/leave"),
                 ScriptedReply::json(QJsonObject{{"success", false}, {"message", "您已不在该团队"}}, 400));
    TeamSpacePage page;
    page.show();
    QVERIFY(waitForTeams(page, 1));

    QString title;
    QString message;
    answerModal([&](QDialog *confirm) {
        confirm->accept();
        answerModal([&](QDialog *notice) {
            title = static_cast<Cdlg::CardDialog *>(notice)->titleLabel()->text();
            message = notice->findChild<QLabel *>(QStringLiteral("cdMsg"))->text();
            notice->accept();
        });
    });
    const int listings = teamListings();
    page.leaveCurrent();
    QTRY_COMPARE(title, QStringLiteral("无法退出"));
    QCOMPARE(message, QStringLiteral("您已不在该团队"));
    QCOMPARE(teamListings(), listings);
}

void TestTeamSpaces::blankOrCancelledNamesSendNothing()
{
    serveTeams({team("1", "A", "owner")});
    TeamSpacePage page;
    page.show();
    QVERIFY(waitForTeams(page, 1));

    answerPrompt(QStringLiteral("   "));
    QTest::mouseClick(page.createButton(), Qt::LeftButton);
    answerPrompt(QStringLiteral("正常名称"), false);
    page.createTeam();
    answerPrompt(QStringLiteral(" \t "));
    page.renameCurrent();
    QCOMPARE(m_server->requests("POST", TeamsPath).size(), 0);
    QCOMPARE(m_server->requests("PUT", QStringLiteral("/api/teams/1")).size(), 0);

    answerPrompt(QStringLiteral("  新团队 "));
    page.createTeam();
    QTRY_COMPARE(m_server->requests("POST", TeamsPath).size(), 1);
    QCOMPARE(m_server->requests("POST", TeamsPath).first().json().value("name").toString(), QStringLiteral("新团队"));
}

void TestTeamSpaces::searchBoxDrivesTheTeamFilePage()
{
    serveTeams({team("7", "A", "owner"), team("8", "B", "member")});
    TeamSpacePage page;
    page.resize(1000, 600);
    page.show();
    QVERIFY(waitForTeams(page, 2));
    const QString listing = Api::listTeamFilesPath("7", QString());
    QTRY_COMPARE(m_server->requests("GET", listing).size(), 1);

    const QString search = Api::searchTeamFilesPath("7", QStringLiteral("报告"));
    page.searchBox()->setText(QStringLiteral("  报告 "));
    QTRY_COMPARE(m_server->requests("GET", search).size(), 1);
    QCOMPARE(page.teamFiles()->searchKeyword(), QStringLiteral("报告"));

    // Another team keeps searching for what the box holds.
    page.teamList()->setCurrentRow(1);
    const QString otherSearch = Api::searchTeamFilesPath("8", QStringLiteral("报告"));
    QTRY_COMPARE(m_server->requests("GET", otherSearch).size(), 1);
    QCOMPARE(m_server->requests("GET", Api::listTeamFilesPath("8", QString())).size(), 0);

    // Clearing the box lists the folder again.
    page.searchBox()->clear();
    QTRY_COMPARE(m_server->requests("GET", Api::listTeamFilesPath("8", QString())).size(), 1);
    QCOMPARE(page.teamFiles()->searchKeyword(), QString());
}

void TestTeamSpaces::membersDialogChangesReloadTheTeams()
{
    serveTeams({team("1", "A", "owner")});
    TeamSpacePage page;
    page.show();
    QVERIFY(waitForTeams(page, 1));
    page.openMembers();
    auto *dialog = page.findChild<TeamMembersDialog *>();
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->isVisible());
    QCOMPARE(dialog->titleLabel()->text(), QStringLiteral("成员管理 · A"));
    QVERIFY(dialog->isOwner());
    QVERIFY(dialog->testAttribute(Qt::WA_DeleteOnClose));

    const int listings = teamListings();
    emit dialog->membersChanged();
    QTRY_COMPARE(teamListings(), listings + 1);
    QPointer<TeamMembersDialog> guard(dialog);
    QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    QTRY_VERIFY(!guard);
}

void TestTeamSpaces::olderTeamListAnswerIsIgnored()
{
    serveTeams({team("1", "A", "owner")});
    TeamSpacePage page;
    page.show();
    QVERIFY(waitForTeams(page, 1));

    m_server->on(
        "GET", TeamsPath,
        ScriptedReply::success(QJsonArray{team("1", "A", "owner"), team("9", "已解散", "owner")}).heldUntilReleased());
    page.reloadTeams();
    QTRY_COMPARE(m_server->heldCount(), 1);
    serveTeams({team("1", "A", "owner"), team("2", "B", "member"), team("3", "C", "member")});
    page.reloadTeams();
    QVERIFY(waitForTeams(page, 3));

    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    m_server->releaseHeld();
    QVERIFY(finished.wait());
    QCOMPARE(page.teamList()->count(), 3);
    QCOMPARE(page.teamList()->item(2)->data(TeamSpacePage::NameRole).toString(), QStringLiteral("C"));
}

void TestTeamSpaces::lateAnswersAfterThePageIsGoneTouchNothing()
{
    QTemporaryDir dir;
    const QString local = dir.filePath(QStringLiteral("notes.txt"));
    {
        QFile out(local);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("shared notes\n");
    }
    serveTeams({team("1", "A", "owner")});
    // The team's listing and upload both wait until the page is gone.
    m_server->on("GET", QStringLiteral("/api/teams/1/files*"),
                 ScriptedReply::success(QJsonArray{QJsonObject{{"id", "5"}, {"name", "x.txt"}, {"type", "file"}}})
                     .heldUntilReleased());
    m_server->on("POST", QStringLiteral("/api/teams/1/files/upload"),
                 ScriptedReply::success(QJsonArray()).heldUntilReleased());
    auto *page = new TeamSpacePage;
    page->resize(1000, 600);
    page->show();
    QVERIFY(waitForTeams(*page, 1));
    QTRY_COMPARE(m_server->heldCount(), 1);
    page->teamFiles()->uploadPaths({local});
    QTRY_COMPARE(m_server->heldCount(), 2);
    // A team list request is also in flight.
    m_server->on("GET", TeamsPath, ScriptedReply::success(QJsonArray{team("1", "A", "owner")}).heldUntilReleased());
    page->reloadTeams();
    QTRY_COMPARE(m_server->heldCount(), 3);

    QPointer<FileListPage> files(page->teamFiles());
    delete page;
    QVERIFY(!files);
    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    m_server->releaseHeld();
    QTRY_COMPARE(finished.count(), 3);
}

void TestTeamSpaces::memberSeesNoInvitationNorRemoval()
{
    serveMembers("4", {member("1", "owner", "张三", "zhang", "13800000000"), member("2", "member", "李四", "li")});
    TeamMembersDialog dialog(nullptr, "4", "市场组", false);
    dialog.show();
    QTRY_COMPARE(memberRows(dialog).size(), 2);
    QVERIFY(!dialog.inviteEdit());
    QVERIFY(!dialog.findChild<QLineEdit *>());
    for (QWidget *row : memberRows(dialog))
        QVERIFY(!removeButton(row));
    QCOMPARE(childText(memberRows(dialog).first(), "MemberCrown"), QStringLiteral("👑"));
    QCOMPARE(dialog.okButton()->text(), QStringLiteral("关闭"));
    QVERIFY(!dialog.cancelButton());
}

void TestTeamSpaces::creatorRowHasTheCrownAndNoRemoval()
{
    serveMembers("4", {member("1", "owner", "zhang san", "zhang", "13800000000"), member("2", "member", "", "li"),
                       member("3", "member", "", "")});
    TeamMembersDialog dialog(nullptr, "4", "产品部", true);
    QSignalSpy changed(&dialog, &TeamMembersDialog::membersChanged);
    dialog.show();
    QTRY_COMPARE(memberRows(dialog).size(), 3);
    const QList<QWidget *> rows = memberRows(dialog);

    QCOMPARE(childText(rows[0], "MemberAvatar"), QStringLiteral("Z"));
    QCOMPARE(childText(rows[0], "MemberName"), QStringLiteral("zhang san"));
    QCOMPARE(childText(rows[0], "MemberCrown"), QStringLiteral("👑"));
    QCOMPARE(rows[0]->findChild<QLabel *>(QStringLiteral("MemberCrown"))->toolTip(), QStringLiteral("创建者"));
    QCOMPARE(childText(rows[0], "MemberDetail"), QStringLiteral("zhang · 13800000000"));
    QVERIFY(!removeButton(rows[0]));

    // No name: the user name stands in; no phone: the user name alone.
    QCOMPARE(childText(rows[1], "MemberName"), QStringLiteral("li"));
    QCOMPARE(childText(rows[1], "MemberAvatar"), QStringLiteral("L"));
    QCOMPARE(childText(rows[1], "MemberDetail"), QStringLiteral("li"));
    QCOMPARE(childText(rows[1], "MemberCrown"), QStringLiteral("<none>"));
    QCOMPARE(childText(rows[2], "MemberAvatar"), QStringLiteral("?"));

    // Removal asks nothing, reloads and tells the page.
    const int listings = int(m_server->requests("GET", QStringLiteral("/api/teams/4/members")).size());
    QTest::mouseClick(removeButton(rows[1]), Qt::LeftButton);
    QVERIFY(!QApplication::activeModalWidget() || QApplication::activeModalWidget() == &dialog);
    QTRY_COMPARE(m_server->requests("DELETE", QStringLiteral("/api/teams/4/members/2")).size(), 1);
    QTRY_COMPARE(changed.count(), 1);
    QTRY_COMPARE(m_server->requests("GET", QStringLiteral("/api/teams/4/members")).size(), listings + 1);
}

void TestTeamSpaces::emptyTeamShowsNoMembers()
{
    serveMembers("4", {});
    TeamMembersDialog dialog(nullptr, "4", "产品部", true);
    dialog.show();
    QLabel *empty = nullptr;
    QTRY_VERIFY((empty = dialog.listWidget()->findChild<QLabel *>(QStringLiteral("MembersEmpty"))));
    QCOMPARE(empty->text(), QStringLiteral("暂无成员"));
    QVERIFY(memberRows(dialog).isEmpty());
}

void TestTeamSpaces::invitationSendsTheTrimmedKeywordOnce()
{
    serveMembers("4", {member("1", "owner", "张三", "zhang")});
    TeamMembersDialog dialog(nullptr, "4", "产品部", true);
    QSignalSpy changed(&dialog, &TeamMembersDialog::membersChanged);
    dialog.show();
    QTRY_COMPARE(memberRows(dialog).size(), 1);
    const QString invitePath = QStringLiteral("/api/teams/4/members");

    dialog.inviteEdit()->setText(QStringLiteral("   "));
    QTest::mouseClick(dialog.inviteButton(), Qt::LeftButton);
    QCOMPARE(m_server->requests("POST", invitePath).size(), 0);

    // Return in the field invites and leaves the dialog open.
    dialog.inviteEdit()->setFocus();
    dialog.inviteEdit()->setText(QStringLiteral("  13900000001 "));
    QTest::keyClick(dialog.inviteEdit(), Qt::Key_Return);
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(m_server->requests("POST", invitePath).size(), 1);
    QCOMPARE(m_server->requests("POST", invitePath).first().json().value("keyword").toString(),
             QStringLiteral("13900000001"));
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.inviteEdit()->text(), QString());
}

void TestTeamSpaces::failedInvitationIsShown()
{
    serveMembers("4", {member("1", "owner", "张三", "zhang")});
    m_server->on("POST", QStringLiteral("/api/teams/4/members"),
                 ScriptedReply::json(QJsonObject{{"success", false}, {"message", "未找到该用户"}}, 404));
    TeamMembersDialog dialog(nullptr, "4", "产品部", true);
    QSignalSpy changed(&dialog, &TeamMembersDialog::membersChanged);
    dialog.show();
    QTRY_COMPARE(memberRows(dialog).size(), 1);

    QString title;
    QString message;
    answerModal([&](QDialog *notice) {
        title = static_cast<Cdlg::CardDialog *>(notice)->titleLabel()->text();
        message = notice->findChild<QLabel *>(QStringLiteral("cdMsg"))->text();
        notice->accept();
    });
    dialog.inviteEdit()->setText(QStringLiteral("nobody"));
    dialog.invite();
    QTRY_COMPARE(title, QStringLiteral("邀请失败"));
    QCOMPARE(message, QStringLiteral("未找到该用户"));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(dialog.inviteEdit()->text(), QStringLiteral("nobody"));
}

void TestTeamSpaces::olderMemberListAnswerIsIgnored()
{
    m_server->on("GET", QStringLiteral("/api/teams/4/members"),
                 ScriptedReply::success(
                     QJsonArray{member("1", "owner", "张三", "zhang"), member("2", "member", "已移除", "gone")})
                     .heldUntilReleased());
    TeamMembersDialog dialog(nullptr, "4", "产品部", true);
    dialog.show();
    QTRY_COMPARE(m_server->heldCount(), 1);
    serveMembers("4", {member("1", "owner", "张三", "zhang")});
    dialog.load();
    QTRY_COMPARE(memberRows(dialog).size(), 1);

    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    m_server->releaseHeld();
    QVERIFY(finished.wait());
    QCOMPARE(memberRows(dialog).size(), 1);
    QCOMPARE(childText(memberRows(dialog).first(), "MemberName"), QStringLiteral("张三"));
}

void TestTeamSpaces::teamListAnswerDuringAFilePageDialogKeepsThatPageUntilItCloses()
{
    serveTeams({team("1", "A", "owner"), team("2", "B", "member")});
    TeamSpacePage page;
    page.resize(1000, 600);
    page.show();
    QVERIFY(waitForTeams(page, 2));
    QPointer<FileListPage> oldFiles = page.teamFiles();
    QVERIFY(oldFiles);
    QPointer<QWidget> oldHeader = page.detailArea()->findChild<QWidget *>(QStringLiteral("TeamHeader"));
    QVERIFY(oldHeader);

    // While the file page's prompt runs its nested loop, a team command's refetch arrives and rebuilds
    // the right side. The prompt lives on the stack of newFolder(): deleting its parent there aborts.
    serveTeams({team("1", "A2", "owner"), team("2", "B", "member")});
    const int listings = teamListings();
    bool rebuilt = false;
    answerModal([&](QDialog *dialog) {
        page.reloadTeams();
        auto *poll = new QTimer(dialog);
        poll->setInterval(0);
        QPointer<QDialog> guard(dialog);
        connect(poll, &QTimer::timeout, dialog, [&, poll, guard] {
            // Answered only once the rebuild's deletions have run inside this nested loop.
            if (teamListings() <= listings || page.teamFiles() == oldFiles.data() || !page.teamFiles() || oldHeader)
                return;
            poll->stop();
            rebuilt = true;
            if (auto *input = guard->findChild<QLineEdit *>(QStringLiteral("cdInput")))
                input->setText(QStringLiteral("新文件夹"));
            guard->accept();
        });
        poll->start();
    });
    oldFiles->newFolder();
    QVERIFY(rebuilt);
    QCOMPARE(page.currentTeamName(), QStringLiteral("A2"));
    // The prompt's answer still reached the server, and the old page goes once it is no longer on the stack.
    QTRY_COMPARE(m_server->requests("POST", QStringLiteral("/api/teams/1/folders")).size(), 1);
    QTRY_VERIFY(!oldFiles);
}

void TestTeamSpaces::teamListThatCannotBeFetchedKeepsTheTeams()
{
    serveTeams({team("1", "A", "owner"), team("2", "B", "member")});
    TeamSpacePage page;
    page.resize(1000, 600);
    page.show();
    QVERIFY(waitForTeams(page, 2));
    page.teamList()->setCurrentRow(1);
    QVERIFY(!page.listOverlay()->isVisible());

    m_server->on("GET", TeamsPath, ScriptedReply::dropped());
    const int listings = teamListings();
    page.reloadTeams();
    QCOMPARE(page.teamList()->count(), 2);
    QTRY_VERIFY(page.listOverlay()->isVisible());
    QVERIFY(teamListings() > listings);
    QCOMPARE(page.teamList()->count(), 2);
    QCOMPARE(page.currentTeamId(), QStringLiteral("2"));
    QCOMPARE(page.listOverlay()->title(), QStringLiteral("无法连接服务器"));

    serveTeams({team("1", "A", "owner"), team("2", "B", "member"), team("3", "C", "member")});
    QTest::mouseClick(page.listOverlay()->retryButton(), Qt::LeftButton);
    QVERIFY(waitForTeams(page, 3));
    QVERIFY(!page.listOverlay()->isVisible());
    QCOMPARE(page.currentTeamId(), QStringLiteral("2"));
}

QTEST_MAIN(TestTeamSpaces)
#include "tst_teamspaces.moc"
