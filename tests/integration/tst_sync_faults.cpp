// The sync engine against faults, end to end with the reference server: an engine killed with
// SIGKILL in the middle of a big upload or download (in its own process, tvr_syncdriver), and
// the next run continuing from what is on record with nothing duplicated and every byte right.
#include "eventwait.h"
#include "referenceserver.h"
#include "synckit.h"
#include "testsettings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace SyncKit;

namespace {

constexpr qint64 BigSize = 100LL * 1024 * 1024;
// Slow enough that a transfer is surely under way when it is killed, fast enough for a test.
constexpr qint64 SlowRate = 40LL * 1024 * 1024;

// Bytes the server holds in unfinished upload sessions.
qint64 uploadSessionBytes(const QString &dataDir)
{
    qint64 total = 0;
    QDirIterator it(dataDir + "/uploads", {"data"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

// Side files (".tvr-sync-*") left in a folder, with their sizes.
QMap<QString, qint64> sideFiles(const QString &dir)
{
    QMap<QString, qint64> found;
    for (const QFileInfo &info : QDir(dir).entryInfoList({".tvr-sync-*"}, QDir::Files | QDir::Hidden))
        found.insert(info.fileName(), info.size());
    return found;
}

} // namespace

class TestSyncFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killedMidUploadContinuesWithoutDuplicate();
    void killedMidDownloadLandsByteExact();

private:
    SyncDriver::Options optionsFor(const QString &side) const;
    QJsonArray serverFiles();
    QJsonObject serverFile(const QString &name);

    QTemporaryDir m_work;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_user;
    QByteArray m_login;
    QString m_folderId;
    QString m_bigMd5;
};

void TestSyncFaults::initTestCase()
{
    useSettingsFolder(m_work.filePath("settings"));
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_user = m_server->signIn("sync_faults", "13912340033");
    QVERIFY(m_user.isValid());
    m_login = QJsonDocument(m_user.login).toJson(QJsonDocument::Compact);
    const auto folder = m_server->postJson("/api/folders", QJsonObject{{"name", "故障"}}, m_user);
    QVERIFY2(folder.success(), folder.body.constData());
    m_folderId = QString::number(folder.dataObject().value("id").toInteger());
    QVERIFY(QDir().mkpath(m_work.filePath("A")));
    QVERIFY(QDir().mkpath(m_work.filePath("B")));
}

SyncDriver::Options TestSyncFaults::optionsFor(const QString &side) const
{
    SyncDriver::Options o;
    o.serverUrl = m_server->baseUrl();
    o.localPath = m_work.filePath(side);
    o.journalPath = m_work.filePath(side + ".db");
    o.folderId = m_folderId;
    o.homeDir = m_work.filePath("home-" + side);
    return o;
}

QJsonArray TestSyncFaults::serverFiles()
{
    return m_server->get("/api/files?parent_id=" + m_folderId, m_user).dataArray();
}

QJsonObject TestSyncFaults::serverFile(const QString &name)
{
    for (const QJsonValue &v : serverFiles()) {
        if (v["name"].toString() == name)
            return v.toObject();
    }
    return {};
}

void TestSyncFaults::killedMidUploadContinuesWithoutDuplicate()
{
    const QString big = m_work.filePath("A/大文件.bin");
    QVERIFY(writeBig(big, BigSize, 7));
    m_bigMd5 = md5OfFile(big);
    SyncDriver a;
    SyncDriver::Options slow = optionsFor("A");
    slow.upLimit = SlowRate;
    QVERIFY(a.start(slow, m_login));
    // Killed once the server holds part of the content, well before the end.
    QVERIFY(waitUntil([&] { return uploadSessionBytes(m_server->dataDir()) > 0 || !a.isRunning(); }, 60000));
    QVERIFY2(a.isRunning(), a.output().constData());
    a.kill();
    QVERIFY(serverFile("大文件.bin").isEmpty());

    QVERIFY(a.start(optionsFor("A"), m_login));
    QVERIFY2(waitUntil([&] { return serverFile("大文件.bin").value("size").toInteger() == BigSize; }, 120000),
             a.output().constData());
    QVERIFY(waitUntil([&] { return a.settledCount() > 0; }, 60000));
    // One file on the server, with the content on disk: nothing sent twice under another name.
    QCOMPARE(serverFiles().size(), 1);
    QCOMPARE(serverFile("大文件.bin").value("md5").toString().toLower(), m_bigMd5);
    const auto download = m_server->get(
        QStringLiteral("/api/files/%1/download").arg(serverFile("大文件.bin").value("id").toInteger()), m_user);
    QCOMPARE(download.body.size(), BigSize);
    QCOMPARE(QString::fromLatin1(QCryptographicHash::hash(download.body, QCryptographicHash::Md5).toHex()), m_bigMd5);
    QCOMPARE(md5OfFile(big), m_bigMd5);
    a.kill();
}

void TestSyncFaults::killedMidDownloadLandsByteExact()
{
    QVERIFY(!m_bigMd5.isEmpty());
    const QString dir = m_work.filePath("B");
    SyncDriver b;
    SyncDriver::Options slow = optionsFor("B");
    slow.downLimit = SlowRate;
    QVERIFY(b.start(slow, m_login));
    // Killed while the side file grows.
    const auto partial = [&] {
        const auto sides = sideFiles(dir);
        for (auto it = sides.cbegin(); it != sides.cend(); ++it) {
            if (it.value() > 0 && it.value() < BigSize)
                return true;
        }
        return false;
    };
    QVERIFY(waitUntil([&] { return partial() || !b.isRunning(); }, 60000));
    QVERIFY2(b.isRunning(), b.output().constData());
    b.kill();
    QVERIFY(!QFile::exists(dir + "/大文件.bin"));
    QVERIFY(!sideFiles(dir).isEmpty());

    QVERIFY(b.start(optionsFor("B"), m_login));
    QVERIFY2(waitUntil([&] { return QFile::exists(dir + "/大文件.bin") && b.settledCount() > 0; }, 120000),
             b.output().constData());
    QCOMPARE(QFileInfo(dir + "/大文件.bin").size(), BigSize);
    QCOMPARE(md5OfFile(dir + "/大文件.bin"), m_bigMd5);
    // Nothing left beside it, and the server still holds one copy.
    QCOMPARE(sideFiles(dir), (QMap<QString, qint64>()));
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList({"大文件.bin"}));
    QCOMPARE(serverFiles().size(), 1);
    b.kill();
}

QTEST_GUILESS_MAIN(TestSyncFaults)
#include "tst_sync_faults.moc"
