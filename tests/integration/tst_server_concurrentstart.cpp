// Several servers starting at the same moment on one database (a cluster after a deployment):
// the schema is built once without a migration failing, the demo data is seeded once, and every
// server comes up. Runs on SQLite (one file given to all) and, as the _pg test, on one
// PostgreSQL database.
#include "postgresfixture.h"
#include "referenceserver.h"
#include "storage/database.h"

#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

namespace {

constexpr int Servers = 4;

// What the demo seeding and the migrations leave behind, counted.
struct Footprint
{
    qint64 demoAccounts = 0;
    qint64 files = 0;
    qint64 notifications = 0;
    qint64 teams = 0;
    qint64 purchases = 0;
    qint64 migrations = 0;
};

Footprint footprintOf(const QString &database)
{
    tvr::server::Database db;
    QString error;
    if (!db.open(database, &error)) {
        qWarning("%s", qPrintable(error));
        return {};
    }
    Footprint f;
    f.demoAccounts = db.scalar("SELECT COUNT(*) FROM users WHERE username = 'demo'").toLongLong();
    f.files = db.scalar("SELECT COUNT(*) FROM files").toLongLong();
    f.notifications = db.scalar("SELECT COUNT(*) FROM notifications").toLongLong();
    f.teams = db.scalar("SELECT COUNT(*) FROM teams").toLongLong();
    f.purchases = db.scalar("SELECT COUNT(*) FROM capacity_records").toLongLong();
    f.migrations = db.scalar("SELECT COUNT(*) FROM schema_migrations").toLongLong();
    return f;
}

} // namespace

class TestServerConcurrentStart final : public QObject
{
    Q_OBJECT

private slots:
    void serversStartingTogetherMigrateAndSeedOnce();

private:
    // A database no server has used yet: SQLite in `folder`, or one of the test cluster's.
    QString freshDatabase(const QTemporaryDir &folder);
};

QString TestServerConcurrentStart::freshDatabase(const QTemporaryDir &folder)
{
    if (!PostgresFixture::requested())
        return QStringLiteral("sqlite:") + folder.filePath(QStringLiteral("shared.db"));
    QString error;
    PostgresFixture *cluster = PostgresFixture::shared(&error);
    const QString database = cluster ? cluster->createDatabase(&error) : QString();
    if (database.isEmpty())
        qWarning("%s", qPrintable(error));
    return database;
}

void TestServerConcurrentStart::serversStartingTogetherMigrateAndSeedOnce()
{
    // What one server alone leaves in a database of its own.
    QTemporaryDir alone;
    const QString aloneDb = freshDatabase(alone);
    QVERIFY(!aloneDb.isEmpty());
    {
        ReferenceServer::Options options;
        options.demo = true;
        options.database = aloneDb;
        ReferenceServer server(options);
        QVERIFY2(server.start(), qPrintable(server.errorString()));
    }
    const Footprint expected = footprintOf(aloneDb);
    QCOMPARE(expected.demoAccounts, 1);
    QVERIFY(expected.files > 0 && expected.migrations > 0);

    // The same, by four servers launched together (each with a data folder of its own).
    QTemporaryDir shared;
    const QString sharedDb = freshDatabase(shared);
    QVERIFY(!sharedDb.isEmpty());
    std::vector<std::unique_ptr<ReferenceServer>> servers;
    for (int i = 0; i < Servers; ++i) {
        ReferenceServer::Options options;
        options.demo = true;
        options.database = sharedDb;
        servers.push_back(std::make_unique<ReferenceServer>(options));
    }
    for (auto &server : servers)
        QVERIFY2(server->launch(), qPrintable(server->errorString()));
    for (auto &server : servers)
        QVERIFY2(server->awaitAddress(), qPrintable(server->errorString()));

    for (auto &server : servers) {
        const auto check = server->get(QStringLiteral("/api/check-username?username=demo"));
        QVERIFY(check.success());
        QVERIFY(check.dataObject().value(QStringLiteral("exists")).toBool());
    }
    const Footprint seen = footprintOf(sharedDb);
    QCOMPARE(seen.demoAccounts, 1);
    QCOMPARE(seen.migrations, expected.migrations);
    QCOMPARE(seen.files, expected.files);
    QCOMPARE(seen.notifications, expected.notifications);
    QCOMPARE(seen.teams, expected.teams);
    QCOMPARE(seen.purchases, expected.purchases);
}

QTEST_GUILESS_MAIN(TestServerConcurrentStart)
#include "tst_server_concurrentstart.moc"
