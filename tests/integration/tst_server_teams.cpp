// Teams on the reference server: membership decides every access, the owner alone renames,
// dissolves, invites and removes, team files count against the owner's quota, and members are
// told when they are invited, removed or the team is dissolved.
#include "referenceserver.h"

#include <QJsonArray>
#include <QMap>
#include <QtTest>

using Creds = ReferenceServer::Credentials;
using Reply = ReferenceServer::Reply;

namespace {

qint64 idOf(const QJsonValue &record)
{
    return qint64(record.toObject().value("id").toDouble());
}

QJsonObject teamIn(const Reply &list, qint64 teamId)
{
    for (const QJsonValue &v : list.dataArray()) {
        if (idOf(v) == teamId)
            return v.toObject();
    }
    return {};
}

} // namespace

class TestServerTeams final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void createValidatesTheNameAndListsTheOwner();
    void inviteByNameOrPhoneNotifiesTheInvitee();
    void membersShareFilesAndTheOwnerPaysForThem();
    void outsiderReachesNothingOfTheTeam();
    void teamFilesAreRenamedAndMovedKeepingTheirIds();
    void memberCannotManageTheTeam();
    void ownerCannotLeaveOrBeRemoved();
    void removedAndLeavingMembersLoseAccess();
    void dissolveDeletesFilesAndTellsMembers();
    void membersSeeOnlyTheirOwnPhoneInFull();
    void invitationsAreLimitedPerInviterAndInvitee();
    void othersInvitationsNeverUseUpAnInvitee();

private:
    qint64 createTeam(const QString &name);
    qint64 uploadTo(qint64 teamId, const Creds &as, const QString &name, const QByteArray &content, qint64 parent = 0);
    qint64 storageUsed(const Creds &as);
    QStringList notificationTitles(const Creds &as);
    QString path(qint64 teamId, const QString &rest = QString()) const;

    std::unique_ptr<ReferenceServer> m_server;
    Creds m_owner;
    Creds m_member;
    Creds m_outsider;
    QString m_memberPhone = QStringLiteral("13900000102");
};

void TestServerTeams::initTestCase()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_owner = m_server->signIn("teamowner", "13900000101");
    m_member = m_server->signIn("teammate", m_memberPhone);
    m_outsider = m_server->signIn("outsider", "13900000103");
    QVERIFY(m_owner.isValid() && m_member.isValid() && m_outsider.isValid());
}

QString TestServerTeams::path(qint64 teamId, const QString &rest) const
{
    return QStringLiteral("/api/teams/%1%2").arg(teamId).arg(rest);
}

qint64 TestServerTeams::createTeam(const QString &name)
{
    const Reply reply = m_server->postJson("/api/teams", {{"name", name}}, m_owner);
    return reply.success() ? idOf(reply.data()) : 0;
}

qint64 TestServerTeams::uploadTo(qint64 teamId, const Creds &as, const QString &name, const QByteArray &content,
                                 qint64 parent)
{
    QList<ReferenceServer::Part> parts;
    if (parent > 0)
        parts.append({"parent_id", {}, {}, QByteArray::number(parent)});
    parts.append({"files", name.toUtf8(), "text/plain", content});
    const Reply reply = m_server->multipart(path(teamId, "/files/upload"), parts, as);
    return reply.success() && !reply.dataArray().isEmpty() ? idOf(reply.dataArray().first()) : 0;
}

qint64 TestServerTeams::storageUsed(const Creds &as)
{
    return qint64(m_server->get("/api/profile", as).dataObject().value("storage_used").toDouble(-1));
}

QStringList TestServerTeams::notificationTitles(const Creds &as)
{
    QStringList titles;
    for (const QJsonValue &v : m_server->get("/api/notifications?limit=50", as).dataArray())
        titles.append(v.toObject().value("title").toString());
    return titles;
}

void TestServerTeams::createValidatesTheNameAndListsTheOwner()
{
    QCOMPARE(m_server->postJson("/api/teams", {{"name", "   "}}, m_owner).status, 400);
    QCOMPARE(m_server->postJson("/api/teams", {{"name", QString(51, QChar(u'队'))}}, m_owner).status, 400);
    QCOMPARE(m_server->postJson("/api/teams", {{"name", "x"}}).status, 401);

    const qint64 id = createTeam(QString(50, QChar(u'队')));
    QVERIFY(id > 0);
    const QJsonObject team = teamIn(m_server->get("/api/teams", m_owner), id);
    QCOMPARE(team.value("name").toString(), QString(50, QChar(u'队')));
    QCOMPARE(team.value("role").toString(), QStringLiteral("owner"));
    QCOMPARE(team.value("member_count").toInt(), 1);
    QCOMPARE(team.value("used_size").toInt(-1), 0);
    QVERIFY(teamIn(m_server->get("/api/teams", m_member), id).isEmpty());
}

void TestServerTeams::inviteByNameOrPhoneNotifiesTheInvitee()
{
    const qint64 team = createTeam("邀请测试");
    QVERIFY(team > 0);
    const Reply unknown = m_server->postJson(path(team, "/members"), {{"keyword", "nobody-here"}}, m_owner);
    QCOMPARE(unknown.status, 404);
    QVERIFY(!unknown.message().isEmpty());

    QVERIFY(m_server->postJson(path(team, "/members"), {{"keyword", m_memberPhone}}, m_owner).success());
    QCOMPARE(m_server->postJson(path(team, "/members"), {{"keyword", " teammate "}}, m_owner).status, 409);
    QVERIFY(m_server->postJson(path(team, "/members"), {{"keyword", "outsider"}}, m_owner).success());

    const Reply members = m_server->get(path(team, "/members"), m_member);
    QVERIFY(members.success());
    QCOMPARE(members.dataArray().size(), 3);
    const QJsonObject first = members.dataArray().first().toObject();
    QCOMPARE(first.value("role").toString(), QStringLiteral("owner"));
    QCOMPARE(first.value("username").toString(), QStringLiteral("teamowner"));
    QVERIFY(first.contains("user_id") && first.contains("phone") && first.contains("name"));

    QVERIFY(notificationTitles(m_member).contains(QStringLiteral("团队邀请")));
    const QJsonObject team2 = teamIn(m_server->get("/api/teams", m_member), team);
    QCOMPARE(team2.value("role").toString(), QStringLiteral("member"));
    QCOMPARE(team2.value("member_count").toInt(), 3);
    // Cleanup for the following cases: the outsider stays an outsider elsewhere.
    const qint64 outsiderId = m_outsider.userId.toLongLong();
    QVERIFY(m_server->del(path(team, QStringLiteral("/members/%1").arg(outsiderId)), m_owner).success());
}

void TestServerTeams::membersShareFilesAndTheOwnerPaysForThem()
{
    const qint64 team = createTeam("共享文件");
    QVERIFY(m_server->postJson(path(team, "/members"), {{"keyword", "teammate"}}, m_owner).success());
    const qint64 ownerBefore = storageUsed(m_owner);
    const qint64 memberBefore = storageUsed(m_member);

    const Reply folder = m_server->postJson(path(team, "/folders"), {{"name", "资料"}}, m_member);
    QVERIFY(folder.success());
    const qint64 folderId = idOf(folder.data());
    const QByteArray content(3000, 'q');
    const qint64 file = uploadTo(team, m_member, "共享.txt", content, folderId);
    QVERIFY(file > 0);

    // Listed for the owner, inside the folder, and found by search.
    const Reply root = m_server->get(path(team, "/files"), m_owner);
    QCOMPARE(root.dataArray().size(), 1);
    QCOMPARE(root.dataArray().first().toObject().value("type").toString(), QStringLiteral("folder"));
    const Reply inside = m_server->get(path(team, QStringLiteral("/files?parent_id=%1").arg(folderId)), m_owner);
    QCOMPARE(inside.dataArray().size(), 1);
    const Reply found = m_server->get(path(team, "/files/search?keyword=%E5%85%B1%E4%BA%AB"), m_owner);
    QCOMPARE(found.dataArray().size(), 1);
    // Team files stay out of personal listings.
    QVERIFY(m_server->get("/api/files/search?keyword=%E5%85%B1%E4%BA%AB", m_member).dataArray().isEmpty());

    const Reply download = m_server->get(path(team, QStringLiteral("/files/%1/download").arg(file)), m_owner);
    QCOMPARE(download.status, 200);
    QCOMPARE(download.body, content);
    const Reply ranged = m_server->request("GET", path(team, QStringLiteral("/files/%1/download").arg(file)), m_owner,
                                           {}, {}, {{"Range", "bytes=2990-"}});
    QCOMPARE(ranged.status, 206);
    QCOMPARE(ranged.body, content.mid(2990));
    // Team pages pack through the personal endpoint with team ids.
    const Reply packed =
        m_server->postJson("/api/files/pack-download", {{"ids", QJsonArray{QString::number(folderId)}}}, m_member);
    QCOMPARE(packed.status, 200);
    QVERIFY(packed.body.startsWith("PK"));

    QCOMPARE(storageUsed(m_owner), ownerBefore + content.size());
    QCOMPARE(storageUsed(m_member), memberBefore);
    QCOMPARE(teamIn(m_server->get("/api/teams", m_member), team).value("used_size").toInt(), content.size());

    QVERIFY(m_server->del(path(team, QStringLiteral("/files/%1").arg(file)), m_member).success());
    QCOMPARE(m_server->get(path(team, QStringLiteral("/files/%1/download").arg(file)), m_owner).status, 404);
    QCOMPARE(storageUsed(m_owner), ownerBefore);
    // Deleted for good: nothing of it waits in anybody's trash.
    QVERIFY(m_server->get("/api/files/trash", m_member).dataArray().isEmpty());
}

void TestServerTeams::outsiderReachesNothingOfTheTeam()
{
    const qint64 team = createTeam("机密项目");
    const qint64 file = uploadTo(team, m_owner, "plan.txt", "secret plan");
    QVERIFY(file > 0);
    const Creds &x = m_outsider;

    QCOMPARE(m_server->get(path(team, "/files"), x).status, 404);
    QCOMPARE(m_server->get(path(team, "/files/search?keyword=plan"), x).status, 404);
    QCOMPARE(m_server->get(path(team, "/members"), x).status, 404);
    const Reply download = m_server->get(path(team, QStringLiteral("/files/%1/download").arg(file)), x);
    QCOMPARE(download.status, 404);
    QVERIFY(!download.body.contains("secret plan"));
    QCOMPARE(m_server->postJson("/api/files/pack-download", {{"ids", QJsonArray{QString::number(file)}}}, x).status,
             404);
    QCOMPARE(m_server->get(QStringLiteral("/api/files/%1/download").arg(file), x).status, 404);
    QCOMPARE(m_server->postJson(path(team, "/folders"), {{"name", "入侵"}}, x).status, 404);
    QCOMPARE(m_server->del(path(team, QStringLiteral("/files/%1").arg(file)), x).status, 404);
    QCOMPARE(uploadTo(team, x, "planted.txt", "x"), qint64(0));
    QCOMPARE(m_server->postJson(path(team, "/members"), {{"keyword", "outsider"}}, x).status, 404);
    QCOMPARE(m_server->putJson(path(team), {{"name", "改名"}}, x).status, 404);
    QCOMPARE(m_server->del(path(team), x).status, 404);
    QCOMPARE(m_server->postJson(path(team, "/leave"), {}, x).status, 404);

    // Nothing changed.
    const Reply files = m_server->get(path(team, "/files"), m_owner);
    QCOMPARE(files.dataArray().size(), 1);
    QCOMPARE(idOf(files.dataArray().first()), file);
    QCOMPARE(teamIn(m_server->get("/api/teams", m_owner), team).value("name").toString(), QStringLiteral("机密项目"));
    QCOMPARE(m_server->get(path(team, "/members"), m_owner).dataArray().size(), 1);
    QCOMPARE(m_server->get(path(999999, "/files"), m_owner).status, 404);
}

void TestServerTeams::teamFilesAreRenamedAndMovedKeepingTheirIds()
{
    // Any member may (as with creating and deleting); the owner stands in for one here, so that
    // no invitation uses up the invitation limits the other cases count.
    const qint64 team = createTeam("整理");
    const qint64 folder = idOf(m_server->postJson(path(team, "/folders"), {{"name", "归档"}}, m_owner).data());
    QVERIFY(folder > 0);
    const qint64 file = uploadTo(team, m_owner, "草稿.txt", "draft");
    QVERIFY(file > 0);
    const QString filePath = path(team, QStringLiteral("/files/%1").arg(file));

    const Reply renamed = m_server->putJson(filePath, {{"name", "定稿.txt"}}, m_owner);
    QVERIFY2(renamed.success(), renamed.body.constData());
    QCOMPARE(renamed.dataObject().value("name").toString(), QStringLiteral("定稿.txt"));
    const Reply moved = m_server->putJson(filePath + "/move", {{"parent_id", QString::number(folder)}}, m_owner);
    QVERIFY2(moved.success(), moved.body.constData());
    const Reply inside = m_server->get(path(team, QStringLiteral("/files?parent_id=%1").arg(folder)), m_owner);
    QCOMPARE(inside.dataArray().size(), 1);
    QCOMPARE(idOf(inside.dataArray().first()), file);
    QCOMPARE(inside.dataArray().first().toObject().value("name").toString(), QStringLiteral("定稿.txt"));
    // Back to the root with null; a folder into itself, a missing target and an outsider are refused.
    QVERIFY(m_server->putJson(filePath + "/move", {{"parent_id", QJsonValue()}}, m_owner).success());
    QCOMPARE(m_server->get(path(team, "/files"), m_owner).dataArray().size(), 2);
    const QString folderPath = path(team, QStringLiteral("/files/%1").arg(folder));
    QVERIFY(!m_server->putJson(folderPath + "/move", {{"parent_id", QString::number(folder)}}, m_owner).success());
    QCOMPARE(m_server->putJson(filePath + "/move", {{"parent_id", "999999"}}, m_owner).status, 404);
    QCOMPARE(m_server->putJson(filePath, {{"name", "夺取.txt"}}, m_outsider).status, 404);
    QCOMPARE(m_server->putJson(filePath + "/move", {{"parent_id", QJsonValue()}}, m_outsider).status, 404);
    // A team's id never reaches a personal file of the caller's.
    const Reply mine = m_server->postJson("/api/folders", {{"name", "私人"}}, m_member);
    QVERIFY(mine.success());
    QCOMPARE(
        m_server->putJson(path(team, QStringLiteral("/files/%1").arg(idOf(mine.data()))), {{"name", "x"}}, m_member)
            .status,
        404);
}

void TestServerTeams::memberCannotManageTheTeam()
{
    const qint64 team = createTeam("原名");
    QVERIFY(m_server->postJson(path(team, "/members"), {{"keyword", "teammate"}}, m_owner).success());

    QCOMPARE(m_server->putJson(path(team), {{"name", "篡改"}}, m_member).status, 403);
    QCOMPARE(m_server->del(path(team), m_member).status, 403);
    QCOMPARE(m_server->postJson(path(team, "/members"), {{"keyword", "outsider"}}, m_member).status, 403);
    QCOMPARE(m_server->del(path(team, "/members/" + m_owner.userId), m_member).status, 403);
    QCOMPARE(teamIn(m_server->get("/api/teams", m_owner), team).value("name").toString(), QStringLiteral("原名"));
    QCOMPARE(m_server->get(path(team, "/members"), m_owner).dataArray().size(), 2);

    QVERIFY(m_server->putJson(path(team), {{"name", "  新名  "}}, m_owner).success());
    QCOMPARE(teamIn(m_server->get("/api/teams", m_member), team).value("name").toString(), QStringLiteral("新名"));
    QCOMPARE(m_server->putJson(path(team), {{"name", ""}}, m_owner).status, 400);
}

void TestServerTeams::ownerCannotLeaveOrBeRemoved()
{
    const qint64 team = createTeam("不可退出");
    const Reply leave = m_server->postJson(path(team, "/leave"), {}, m_owner);
    QCOMPARE(leave.status, 400);
    QVERIFY(leave.message().contains(QStringLiteral("创建者")));
    QCOMPARE(m_server->del(path(team, "/members/" + m_owner.userId), m_owner).status, 400);
    QCOMPARE(teamIn(m_server->get("/api/teams", m_owner), team).value("role").toString(), QStringLiteral("owner"));
}

void TestServerTeams::removedAndLeavingMembersLoseAccess()
{
    const qint64 team = createTeam("流动成员");
    QVERIFY(m_server->postJson(path(team, "/members"), {{"keyword", "teammate"}}, m_owner).success());
    QVERIFY(m_server->postJson(path(team, "/members"), {{"keyword", "outsider"}}, m_owner).success());

    QVERIFY(m_server->del(path(team, "/members/" + m_member.userId), m_owner).success());
    QCOMPARE(m_server->get(path(team, "/files"), m_member).status, 404);
    QVERIFY(teamIn(m_server->get("/api/teams", m_member), team).isEmpty());
    QVERIFY(notificationTitles(m_member).contains(QStringLiteral("团队成员变更")));
    QCOMPARE(m_server->del(path(team, "/members/" + m_member.userId), m_owner).status, 404);

    QVERIFY(m_server->postJson(path(team, "/leave"), {}, m_outsider).success());
    QCOMPARE(m_server->get(path(team, "/members"), m_outsider).status, 404);
    QCOMPARE(teamIn(m_server->get("/api/teams", m_owner), team).value("member_count").toInt(), 1);
}

void TestServerTeams::dissolveDeletesFilesAndTellsMembers()
{
    const qint64 team = createTeam("临时团队");
    QVERIFY(m_server->postJson(path(team, "/members"), {{"keyword", "teammate"}}, m_owner).success());
    const qint64 before = storageUsed(m_owner);
    const Reply folder = m_server->postJson(path(team, "/folders"), {{"name", "层级"}}, m_owner);
    const qint64 file = uploadTo(team, m_member, "深处.txt", QByteArray(5000, 'd'), idOf(folder.data()));
    QVERIFY(file > 0);
    QCOMPARE(storageUsed(m_owner), before + 5000);

    QVERIFY(m_server->del(path(team), m_owner).success());
    QVERIFY(teamIn(m_server->get("/api/teams", m_owner), team).isEmpty());
    QVERIFY(teamIn(m_server->get("/api/teams", m_member), team).isEmpty());
    QCOMPARE(m_server->get(path(team, "/files"), m_owner).status, 404);
    QCOMPARE(
        m_server->postJson("/api/files/pack-download", {{"ids", QJsonArray{QString::number(file)}}}, m_owner).status,
        404);
    QCOMPARE(storageUsed(m_owner), before);
    QVERIFY(notificationTitles(m_member).contains(QStringLiteral("团队已解散")));
}

void TestServerTeams::membersSeeOnlyTheirOwnPhoneInFull()
{
    const qint64 team = createTeam("号码");
    QVERIFY(m_server->postJson(path(team, "/members"), {{"keyword", "outsider"}}, m_owner).success());
    const auto phones = [&](const Creds &viewer) {
        QMap<QString, QString> byName;
        for (const QJsonValue &v : m_server->get(path(team, "/members"), viewer).dataArray())
            byName.insert(v.toObject().value("username").toString(), v.toObject().value("phone").toString());
        return byName;
    };
    const auto seenByOwner = phones(m_owner);
    QCOMPARE(seenByOwner.value("teamowner"), QStringLiteral("13900000101"));
    QCOMPARE(seenByOwner.value("outsider"), QStringLiteral("139****0103"));
    const auto seenByMember = phones(m_outsider);
    QCOMPARE(seenByMember.value("outsider"), QStringLiteral("13900000103"));
    QCOMPARE(seenByMember.value("teamowner"), QStringLiteral("139****0101"));
}

void TestServerTeams::invitationsAreLimitedPerInviterAndInvitee()
{
    // A server of its own, so the limits used up here touch no other case.
    ReferenceServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const Creds owner = server.signIn("inviter", "13900000110");
    QList<qint64> teams;
    for (int i = 0; i < 6; ++i)
        teams.append(idOf(server.postJson("/api/teams", {{"name", QStringLiteral("团队%1").arg(i)}}, owner).data()));
    const auto invite = [&](qint64 team, const QString &who) {
        return server.postJson(QStringLiteral("/api/teams/%1/members").arg(team), {{"keyword", who}}, owner);
    };
    // One inviter can put one account into so many teams a day.
    const Creds invitee = server.signIn("invitee0", "13900000111");
    QVERIFY(invitee.isValid());
    for (int i = 0; i < 5; ++i)
        QVERIFY(invite(teams[i], "invitee0").success());
    const Reply flooded = invite(teams[5], "invitee0");
    QCOMPARE(flooded.status, 429);
    QCOMPARE(flooded.message(), QStringLiteral("邀请过于频繁，请稍后再试"));
    QCOMPARE(server.get("/api/teams", invitee).dataArray().size(), 5);

    // One inviter can send so many invitations an hour, whoever receives them.
    for (int person = 1; person <= 3; ++person) {
        const QString name = QStringLiteral("invitee%1").arg(person);
        QVERIFY(server.signIn(name, QStringLiteral("1390000011%1").arg(1 + person)).isValid());
        for (int i = 0; i < 5; ++i)
            QVERIFY2(invite(teams[i], name).success(), qPrintable(name));
    }
    QVERIFY(server.signIn("invitee4", "13900000115").isValid());
    QCOMPARE(invite(teams[0], "invitee4").status, 429);
    // Both limits are windows in time.
    QVERIFY(server.advanceClock(24 * 3600 + 1, owner));
    QVERIFY(invite(teams[0], "invitee4").success());
    QVERIFY(invite(teams[5], "invitee0").success());
}

void TestServerTeams::othersInvitationsNeverUseUpAnInvitee()
{
    ReferenceServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const Creds mallory = server.signIn("mallory", "13900000120");
    const Creds colleague = server.signIn("colleague", "13900000121");
    const Creds victim = server.signIn("victim", "13900000122");
    QVERIFY(mallory.isValid() && colleague.isValid() && victim.isValid());
    const qint64 trap = idOf(server.postJson("/api/teams", {{"name", "陷阱"}}, mallory).data());
    // Inviting and removing, again and again, before the invitee ever looks.
    int refusedAt = -1;
    for (int i = 0; i < 8 && refusedAt < 0; ++i) {
        const Reply invited =
            server.postJson(QStringLiteral("/api/teams/%1/members").arg(trap), {{"keyword", "victim"}}, mallory);
        if (invited.status == 429) {
            refusedAt = i;
            break;
        }
        QVERIFY(invited.success());
        QVERIFY(server.del(QStringLiteral("/api/teams/%1/members/%2").arg(trap).arg(victim.userId), mallory).success());
    }
    QCOMPARE(refusedAt, 5);
    // Someone else's invitation still goes through.
    const qint64 real = idOf(server.postJson("/api/teams", {{"name", "项目组"}}, colleague).data());
    const Reply invited =
        server.postJson(QStringLiteral("/api/teams/%1/members").arg(real), {{"keyword", "victim"}}, colleague);
    QVERIFY2(invited.success(), qPrintable(invited.message()));
    QCOMPARE(server.get("/api/teams", victim).dataArray().size(), 1);
}

QTEST_GUILESS_MAIN(TestServerTeams)
#include "tst_server_teams.moc"
