// Notifications on the reference server: created by real events, listed newest first, counted,
// marked read and deleted, each user seeing and changing only their own.
#include "referenceserver.h"

#include <QJsonArray>
#include <QtTest>

using Creds = ReferenceServer::Credentials;
using Reply = ReferenceServer::Reply;

namespace {

QList<qint64> ids(const Reply &list)
{
    QList<qint64> out;
    for (const QJsonValue &v : list.dataArray())
        out.append(qint64(v.toObject().value("id").toDouble()));
    return out;
}

} // namespace

class TestServerNotifications final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void newAccountIsWelcomed();
    void eventsArriveNewestFirstAndRespectTheLimit();
    void readMarksGivenIdsOrAll();
    void deleteRemovesOnlyOwnNotifications();
    void oneUserNeverSeesOrChangesAnothersNotifications();

private:
    int unread(const Creds &as);
    void inviteToNewTeam(const QString &name, const QString &invitee);

    std::unique_ptr<ReferenceServer> m_server;
    Creds m_alice;
    Creds m_bob;
};

void TestServerNotifications::initTestCase()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_alice = m_server->signIn("noticealice", "13900000301");
    m_bob = m_server->signIn("noticebob", "13900000302");
    QVERIFY(m_alice.isValid() && m_bob.isValid());
}

int TestServerNotifications::unread(const Creds &as)
{
    const Reply reply = m_server->get("/api/notifications/unread-count", as);
    return reply.success() ? reply.dataObject().value("count").toInt(-1) : -1;
}

void TestServerNotifications::inviteToNewTeam(const QString &name, const QString &invitee)
{
    const Reply team = m_server->postJson("/api/teams", {{"name", name}}, m_bob);
    QVERIFY(team.success());
    const QString path = QStringLiteral("/api/teams/%1/members").arg(qint64(team.dataObject().value("id").toDouble()));
    QVERIFY(m_server->postJson(path, {{"keyword", invitee}}, m_bob).success());
}

void TestServerNotifications::newAccountIsWelcomed()
{
    const Reply list = m_server->get("/api/notifications?limit=50", m_alice);
    QVERIFY(list.success());
    QCOMPARE(list.dataArray().size(), 1);
    const QJsonObject welcome = list.dataArray().first().toObject();
    QVERIFY(!welcome.value("title").toString().isEmpty());
    QVERIFY(!welcome.value("content").toString().isEmpty());
    QCOMPARE(welcome.value("is_read").toInt(-1), 0);
    QVERIFY(welcome.value("created_at").toString().endsWith(QLatin1Char('Z')));
    QCOMPARE(unread(m_alice), 1);
    QCOMPARE(m_server->get("/api/notifications").status, 401);
}

void TestServerNotifications::eventsArriveNewestFirstAndRespectTheLimit()
{
    inviteToNewTeam("通知一", "noticealice");
    inviteToNewTeam("通知二", "noticealice");
    const Reply list = m_server->get("/api/notifications?limit=50", m_alice);
    QCOMPARE(list.dataArray().size(), 3);
    QVERIFY(list.dataArray().first().toObject().value("content").toString().contains(QStringLiteral("通知二")));
    QCOMPARE(unread(m_alice), 3);
    QCOMPARE(m_server->get("/api/notifications?limit=2", m_alice).dataArray().size(), 2);
    QCOMPARE(m_server->get("/api/notifications?limit=abc", m_alice).status, 400);
}

void TestServerNotifications::readMarksGivenIdsOrAll()
{
    const QList<qint64> all = ids(m_server->get("/api/notifications?limit=50", m_alice));
    QCOMPARE(all.size(), 3);
    QVERIFY(m_server->postJson("/api/notifications/read", {{"ids", QJsonArray{QString::number(all[0])}}}, m_alice)
                .success());
    QCOMPARE(unread(m_alice), 2);
    const Reply list = m_server->get("/api/notifications?limit=50", m_alice);
    QCOMPARE(list.dataArray().at(0).toObject().value("is_read").toInt(), 1);
    QCOMPARE(list.dataArray().at(1).toObject().value("is_read").toInt(), 0);

    // An explicit empty list names nothing; only a missing "ids" means all.
    QVERIFY(m_server->postJson("/api/notifications/read", {{"ids", QJsonArray{}}}, m_alice).success());
    QCOMPARE(unread(m_alice), 2);
    QCOMPARE(m_server->postJson("/api/notifications/read", {{"ids", "1,2"}}, m_alice).status, 400);
    QVERIFY(m_server->postJson("/api/notifications/read", {}, m_alice).success());
    QCOMPARE(unread(m_alice), 0);
}

void TestServerNotifications::deleteRemovesOnlyOwnNotifications()
{
    const QList<qint64> before = ids(m_server->get("/api/notifications?limit=50", m_alice));
    const Reply removed = m_server->del(QStringLiteral("/api/notifications/%1").arg(before.first()), m_alice);
    QVERIFY(removed.success());
    QCOMPARE(removed.json().value("success").toBool(), true);
    QCOMPARE(ids(m_server->get("/api/notifications?limit=50", m_alice)), before.mid(1));
    QCOMPARE(m_server->del(QStringLiteral("/api/notifications/%1").arg(before.first()), m_alice).status, 404);
    QCOMPARE(m_server->del("/api/notifications/abc", m_alice).status, 404);
}

void TestServerNotifications::oneUserNeverSeesOrChangesAnothersNotifications()
{
    inviteToNewTeam("通知三", "noticealice");
    const QList<qint64> aliceIds = ids(m_server->get("/api/notifications?limit=50", m_alice));
    const QList<qint64> bobIds = ids(m_server->get("/api/notifications?limit=50", m_bob));
    QVERIFY(!aliceIds.isEmpty() && !bobIds.isEmpty());
    for (qint64 id : aliceIds)
        QVERIFY(!bobIds.contains(id));
    const int aliceUnread = unread(m_alice);
    QVERIFY(aliceUnread > 0);

    // Bob names Alice's ids: nothing of hers changes.
    QJsonArray foreign;
    for (qint64 id : aliceIds)
        foreign.append(QString::number(id));
    QVERIFY(m_server->postJson("/api/notifications/read", {{"ids", foreign}}, m_bob).success());
    QCOMPARE(unread(m_alice), aliceUnread);
    for (qint64 id : aliceIds)
        QCOMPARE(m_server->del(QStringLiteral("/api/notifications/%1").arg(id), m_bob).status, 404);
    QCOMPARE(ids(m_server->get("/api/notifications?limit=50", m_alice)), aliceIds);
    // Bob's "mark all" is his own all.
    QVERIFY(m_server->postJson("/api/notifications/read", {}, m_bob).success());
    QCOMPARE(unread(m_bob), 0);
    QCOMPARE(unread(m_alice), aliceUnread);
}

QTEST_GUILESS_MAIN(TestServerNotifications)
#include "tst_server_notifications.moc"
