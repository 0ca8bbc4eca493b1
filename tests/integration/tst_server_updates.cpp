// The update area of the reference server: the demo release (manifest and installer) fetched
// the way the client does, ranged, and a release published in a folder given by --downloads.
// Also the rest of the demo data this server seeds for the client's pages.
#include "referenceserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

using Creds = ReferenceServer::Credentials;
using Reply = ReferenceServer::Reply;

namespace {

const QString Channel = QStringLiteral("/downloads/storageclient-win11/");

// Top-level "key: value" lines, first occurrence wins (nested lines are skipped).
QMap<QString, QString> manifestKeys(const QByteArray &text)
{
    QMap<QString, QString> keys;
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty() || line.startsWith(' ') || line.startsWith('\t') || !line.contains(':'))
            continue;
        const int colon = line.indexOf(':');
        const QString key = QString::fromUtf8(line.left(colon)).trimmed();
        if (!keys.contains(key))
            keys.insert(key, QString::fromUtf8(line.mid(colon + 1)).trimmed());
    }
    return keys;
}

} // namespace

class TestServerUpdates final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void demoManifestAnnouncesANewerRelease();
    void installerComesInRangedSegmentsThatVerify();
    void rangesPastTheEndAndEscapesAreRefused();
    void downloadsFolderServesItsOwnReleases();
    void demoAccountHasTeamsNotificationsAndAnExpiringPurchase();

private:
    std::unique_ptr<ReferenceServer> m_server;
    QMap<QString, QString> m_manifest;
};

void TestServerUpdates::initTestCase()
{
    ReferenceServer::Options options;
    options.demo = true;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
}

void TestServerUpdates::demoManifestAnnouncesANewerRelease()
{
    const Reply reply = m_server->get(Channel + "latest.yml"); // no session needed
    QCOMPARE(reply.status, 200);
    m_manifest = manifestKeys(reply.body);
    const QStringList version = m_manifest.value("version").split('.');
    QCOMPARE(version.size(), 3);
    // Newer than the client's 2.1.23.
    const QList<int> parts{version[0].toInt(), version[1].toInt(), version[2].toInt()};
    QVERIFY(parts > (QList<int>{2, 1, 23}));
    QVERIFY(!m_manifest.value("path").isEmpty());
    QVERIFY(!m_manifest.value("path").startsWith("http"));
    QCOMPARE(QByteArray::fromBase64(m_manifest.value("sha512").toLatin1()).size(), 64);
}

void TestServerUpdates::installerComesInRangedSegmentsThatVerify()
{
    const QString installer = Channel + m_manifest.value("path");
    const Reply probe = m_server->request("GET", installer, {}, {}, {}, {{"Range", "bytes=0-0"}});
    QCOMPARE(probe.status, 206);
    QCOMPARE(probe.body.size(), 1);
    const QByteArray contentRange = probe.header("Content-Range");
    const qint64 total = contentRange.mid(contentRange.lastIndexOf('/') + 1).toLongLong();
    QVERIFY(total > 4 * 1024 * 1024);

    QCryptographicHash sha(QCryptographicHash::Sha512);
    const qint64 quarter = total / 4;
    for (int i = 0; i < 4; ++i) {
        const qint64 first = quarter * i;
        const qint64 last = i == 3 ? total - 1 : first + quarter - 1;
        const Reply part =
            m_server->request("GET", installer, {}, {}, {},
                              {{"Range", "bytes=" + QByteArray::number(first) + "-" + QByteArray::number(last)}});
        QCOMPARE(part.status, 206);
        QCOMPARE(part.header("Accept-Ranges"), QByteArray("bytes"));
        QCOMPARE(part.header("Content-Range"), "bytes " + QByteArray::number(first) + "-" + QByteArray::number(last) +
                                                   "/" + QByteArray::number(total));
        QCOMPARE(qint64(part.body.size()), last - first + 1);
        sha.addData(part.body);
    }
    QCOMPARE(QString::fromLatin1(sha.result().toBase64()), m_manifest.value("sha512"));

    const Reply whole = m_server->get(installer);
    QCOMPARE(whole.status, 200);
    QCOMPARE(whole.header("Content-Length").toLongLong(), total);
    QCOMPARE(QString::fromLatin1(QCryptographicHash::hash(whole.body, QCryptographicHash::Sha512).toBase64()),
             m_manifest.value("sha512"));
}

void TestServerUpdates::rangesPastTheEndAndEscapesAreRefused()
{
    const QString installer = Channel + m_manifest.value("path");
    const qint64 total = m_server->get(installer).body.size();
    const Reply beyond =
        m_server->request("GET", installer, {}, {}, {}, {{"Range", "bytes=" + QByteArray::number(total) + "-"}});
    QCOMPARE(beyond.status, 416);
    QCOMPARE(beyond.header("Content-Range"), "bytes */" + QByteArray::number(total));
    QCOMPARE(m_server->get(Channel + "missing.exe").status, 404);
    QCOMPARE(m_server->get("/downloads/..%2F..%2Ftolvar.db/x").status, 404);
    QCOMPARE(m_server->get("/downloads/%2E%2E/tolvar.db").status, 404);
}

void TestServerUpdates::downloadsFolderServesItsOwnReleases()
{
    QTemporaryDir area;
    QVERIFY(QDir(area.path()).mkpath("beta"));
    QFile manifest(area.filePath("beta/latest.yml"));
    QVERIFY(manifest.open(QIODevice::WriteOnly));
    manifest.write("version: 9.0.0\npath: Setup-9.exe\n");
    manifest.close();
    QFile setup(area.filePath("beta/Setup-9.exe"));
    QVERIFY(setup.open(QIODevice::WriteOnly));
    setup.write("0123456789");
    setup.close();

    ReferenceServer::Options options;
    options.extraArgs = {"--downloads", area.path()};
    ReferenceServer server(options);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QCOMPARE(manifestKeys(server.get("/downloads/beta/latest.yml").body).value("version"), QStringLiteral("9.0.0"));
    const Reply tail = server.request("GET", "/downloads/beta/Setup-9.exe", {}, {}, {}, {{"Range", "bytes=-4"}});
    QCOMPARE(tail.status, 206);
    QCOMPARE(tail.body, QByteArray("6789"));
    // Without --demo nothing else is published there.
    QCOMPARE(server.get(Channel + "latest.yml").status, 404);
}

void TestServerUpdates::demoAccountHasTeamsNotificationsAndAnExpiringPurchase()
{
    const Creds demo = m_server->signIn("demo", "13800138000");
    QVERIFY(demo.isValid());
    const QJsonArray teams = m_server->get("/api/teams", demo).dataArray();
    QCOMPARE(teams.size(), 2);
    QStringList roles;
    for (const QJsonValue &team : teams) {
        roles.append(team.toObject().value("role").toString());
        QVERIFY(team.toObject().value("member_count").toInt() >= 2);
        QVERIFY(team.toObject().value("used_size").toInt() > 0);
    }
    QVERIFY(roles.contains("owner") && roles.contains("member"));
    QVERIFY(m_server->get("/api/notifications/unread-count", demo).dataObject().value("count").toInt() >= 2);
    const QJsonArray expiring =
        m_server->get("/api/capacity-expiry-alert", demo).dataObject().value("expiring").toArray();
    QCOMPARE(expiring.size(), 1);
    QCOMPARE(expiring.first().toObject().value("days").toInt(), 5);
    QCOMPARE(m_server->get("/api/payment/capacity-records", demo).dataObject().value("records").toArray().size(), 8);
}

QTEST_GUILESS_MAIN(TestServerUpdates)
#include "tst_server_updates.moc"
