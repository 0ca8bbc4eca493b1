// Extracting hostile archives on the reference server: names that clash get numbered suffixes
// (in the folder and against what it already holds), archives nested too deep, compressed more
// than once or claiming more than the room left are refused before anything is stored, and
// entries count against the account's entry limit (--max-entries), so empty files are not free.
#include "archivekit.h"
#include "eventwait.h"
#include "rawhttp.h"
#include "referenceserver.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

using Creds = ReferenceServer::Credentials;

namespace {

constexpr int MaxEntries = 120;

} // namespace

class TestServerExtract final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void clashingNamesGetNumberedSuffixes();
    void tooDeepArchiveIsRefusedWhole();
    void doublyCompressedArchiveIsRefused();
    void archiveClaimingMoreThanTheRoomIsRefusedUnpacked();
    void emptyFilesCountAgainstTheEntryLimit();
    void crashDuringExtractLeavesAllOrNothing();

private:
    qint64 store(const Creds &as, const QByteArray &name, const QByteArray &bytes);
    ReferenceServer::Reply extract(const Creds &as, qint64 archiveId, qint64 targetId = 0);
    QStringList names(const Creds &as, qint64 parentId = 0);
    qint64 folderNamed(const Creds &as, const QString &name, qint64 parentId = 0);
    int entries(const Creds &as);
    // The server names() and folderNamed() ask: the shared one, or one a test started itself.
    ReferenceServer &server() { return m_current ? *m_current : *m_server; }

    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer *m_current = nullptr;
};

void TestServerExtract::initTestCase()
{
    ReferenceServer::Options options;
    options.extraArgs = {"--quota", QString::number(4 * 1024 * 1024), "--max-entries", QString::number(MaxEntries)};
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
}

qint64 TestServerExtract::store(const Creds &as, const QByteArray &name, const QByteArray &bytes)
{
    const auto reply =
        m_server->multipart("/api/files/upload", {{"files", name, "application/octet-stream", bytes}}, as);
    return reply.success() ? qint64(reply.dataArray().first().toObject().value("id").toDouble()) : 0;
}

ReferenceServer::Reply TestServerExtract::extract(const Creds &as, qint64 archiveId, qint64 targetId)
{
    return m_server->postJson("/api/files/extract", {{"fileId", archiveId}, {"targetId", targetId}}, as);
}

QStringList TestServerExtract::names(const Creds &as, qint64 parentId)
{
    QStringList out;
    for (const QJsonValue &v : server().get(QStringLiteral("/api/files?parent_id=%1").arg(parentId), as).dataArray())
        out.append(v.toObject().value("name").toString());
    return out;
}

qint64 TestServerExtract::folderNamed(const Creds &as, const QString &name, qint64 parentId)
{
    for (const QJsonValue &v : server().get(QStringLiteral("/api/files?parent_id=%1").arg(parentId), as).dataArray()) {
        if (v.toObject().value("name").toString() == name && v.toObject().value("type").toString() == "folder")
            return qint64(v.toObject().value("id").toDouble());
    }
    return 0;
}

int TestServerExtract::entries(const Creds &as)
{
    // Folders and files, all levels.
    int count = 0;
    QList<qint64> folders{0};
    while (!folders.isEmpty()) {
        const qint64 parent = folders.takeFirst();
        for (const QJsonValue &v :
             m_server->get(QStringLiteral("/api/files?parent_id=%1").arg(parent), as).dataArray()) {
            ++count;
            if (v.toObject().value("type").toString() == "folder")
                folders.append(qint64(v.toObject().value("id").toDouble()));
        }
    }
    return count;
}

void TestServerExtract::clashingNamesGetNumberedSuffixes()
{
    const Creds user = m_server->signIn("clash", "13900006101");
    QVERIFY(m_server->postJson("/api/folders", {{"name", "target"}, {"parent_id", 0}}, user).success());
    const qint64 target = folderNamed(user, "target");
    QVERIFY(target > 0);
    QVERIFY(m_server
                ->multipart("/api/files/upload",
                            {{"parent_id", {}, {}, QByteArray::number(target)},
                             {"files", "A.TXT", "text/plain", "there before"}},
                            user)
                .success());
    // Twenty "a.txt" at the top and twenty inside "sub/": the top ones also meet the file
    // already in the target (names differ in case only), the inner ones only each other.
    std::vector<ArchiveEntry> clashing;
    for (int i = 0; i < 20; ++i) {
        clashing.push_back({"a.txt", QByteArray::number(i)});
        clashing.push_back({"sub/a.txt", QByteArray::number(i)});
    }
    const qint64 archive = store(user, "clash.zip", archiveOf(clashing));
    QVERIFY(archive > 0);
    const auto reply = extract(user, archive, target);
    QVERIFY2(reply.success(), qPrintable(reply.message()));

    QSet<QString> expectedTop{"A.TXT", "sub"};
    QSet<QString> expectedInner{"a.txt"};
    for (int i = 1; i <= 20; ++i)
        expectedTop.insert(QStringLiteral("a (%1).txt").arg(i));
    for (int i = 1; i < 20; ++i)
        expectedInner.insert(QStringLiteral("a (%1).txt").arg(i));
    const QStringList top = names(user, target);
    QCOMPARE(top.size(), expectedTop.size());
    QCOMPARE(QSet<QString>(top.begin(), top.end()), expectedTop);
    const QStringList inner = names(user, folderNamed(user, "sub", target));
    QCOMPARE(inner.size(), expectedInner.size());
    QCOMPARE(QSet<QString>(inner.begin(), inner.end()), expectedInner);
    // A file uploaded afterwards takes the next free number.
    QVERIFY(m_server
                ->multipart("/api/files/upload",
                            {{"parent_id", {}, {}, QByteArray::number(target)}, {"files", "a.txt", "text/plain", "x"}},
                            user)
                .success());
    QVERIFY(names(user, target).contains("a (21).txt"));
}

void TestServerExtract::tooDeepArchiveIsRefusedWhole()
{
    const Creds user = m_server->signIn("deep", "13900006102");
    QByteArray deep;
    for (int i = 0; i < 100; ++i)
        deep += "d/";
    const qint64 archive = store(user, "deep.zip", archiveOf({{"shallow.txt", "x"}, {deep + "f.txt", "x"}}));
    QVERIFY(archive > 0);
    const auto reply = extract(user, archive);
    QCOMPARE(reply.status, 400);
    QVERIFY2(reply.message().contains(QStringLiteral("层级过深")), qPrintable(reply.message()));
    QCOMPARE(names(user), QStringList{"deep.zip"});
}

void TestServerExtract::doublyCompressedArchiveIsRefused()
{
    const Creds user = m_server->signIn("nested", "13900006103");
    const QByteArray twice = archiveOf({{"zeros.bin", QByteArray(512 * 1024, '\0')}}, true, 2);
    const qint64 archive = store(user, "twice.tar.gz", twice);
    QVERIFY(archive > 0);
    const auto reply = extract(user, archive);
    QCOMPARE(reply.status, 400);
    QVERIFY2(reply.message().contains(QStringLiteral("多层压缩")), qPrintable(reply.message()));
    // One layer is what a .tar.gz has, and it unpacks.
    const qint64 once =
        store(user, "once.tar.gz", archiveOf({{"data/zeros.bin", QByteArray(512 * 1024, '\0')}}, true, 1));
    QVERIFY(once > 0);
    const auto unpacked = extract(user, once);
    QVERIFY2(unpacked.success(), qPrintable(unpacked.message()));
    QCOMPARE(names(user, folderNamed(user, "data")), QStringList{"zeros.bin"});
}

void TestServerExtract::archiveClaimingMoreThanTheRoomIsRefusedUnpacked()
{
    const Creds user = m_server->signIn("claims", "13900006104");
    // 8 MiB of zeros in a .tar.gz of a few KiB: the header says more than the 4 MiB quota.
    const QByteArray tarGz = archiveOf({{"zeros.bin", QByteArray(8 * 1024 * 1024, '\0')}}, true, 1);
    const qint64 archive = store(user, "big.tar.gz", tarGz);
    QVERIFY(archive > 0);
    const auto reply = extract(user, archive);
    QCOMPARE(reply.status, 507);
    QCOMPARE(names(user), QStringList{"big.tar.gz"});
    QDirIterator temps(m_server->dataDir() + "/tmp", QDir::Files | QDir::Hidden);
    QVERIFY(!temps.hasNext());
}

void TestServerExtract::emptyFilesCountAgainstTheEntryLimit()
{
    const Creds user = m_server->signIn("many", "13900006105");
    std::vector<ArchiveEntry> empty;
    for (int i = 0; i < MaxEntries; ++i)
        empty.push_back({"e" + QByteArray::number(i), {}});
    const qint64 archive = store(user, "empty.zip", archiveOf(empty));
    QVERIFY(archive > 0);
    // The archive itself is one entry already: its contents do not fit beside it.
    const auto refused = extract(user, archive);
    QCOMPARE(refused.status, 507);
    QVERIFY2(refused.message().contains(QStringLiteral("文件数量已达上限")), qPrintable(refused.message()));
    QCOMPARE(entries(user), 1);

    empty.resize(MaxEntries - 2);
    const qint64 fits = store(user, "fits.zip", archiveOf(empty));
    QVERIFY(fits > 0);
    const auto unpacked = extract(user, fits);
    QVERIFY2(unpacked.success(), qPrintable(unpacked.message()));
    QCOMPARE(entries(user), MaxEntries);
    // At the limit, neither a folder nor an empty file more is taken.
    const auto folder = m_server->postJson("/api/folders", {{"name", "one more"}, {"parent_id", 0}}, user);
    QCOMPARE(folder.status, 507);
    QVERIFY(folder.message().contains(QStringLiteral("文件数量已达上限")));
    QCOMPARE(m_server->multipart("/api/files/upload", {{"files", "x.txt", "text/plain", QByteArray()}}, user).status,
             507);
}

void TestServerExtract::crashDuringExtractLeavesAllOrNothing()
{
    ReferenceServer::Options options;
    QTemporaryDir dir;
    options.dataDir = dir.path();
    constexpr int Files = 3000;
    std::vector<ArchiveEntry> many;
    qint64 contentBytes = 0;
    for (int i = 0; i < Files; ++i) {
        many.push_back({"x/f" + QByteArray::number(i), "content " + QByteArray::number(i)});
        contentBytes += many.back().content.size();
    }
    const QByteArray zip = archiveOf(many);
    Creds user;
    {
        ReferenceServer first(options);
        QVERIFY(first.start());
        user = first.signIn("crash", "13900006106");
        const auto stored = first.multipart("/api/files/upload", {{"files", "many.zip", "application/zip", zip}}, user);
        QVERIFY(stored.success());
        const qint64 archive = qint64(stored.dataArray().first().toObject().value("id").toDouble());
        const QByteArray body = QJsonDocument(QJsonObject{{"fileId", archive}}).toJson(QJsonDocument::Compact);
        RawHttp raw(first.baseUrl());
        QVERIFY(raw.open());
        QVERIFY(raw.send(raw.head("POST", "/api/files/extract",
                                  {{"X-User-Id", user.userId.toUtf8()},
                                   {"X-Auth-Token", user.token.toUtf8()},
                                   {"Content-Type", "application/json"},
                                   {"Content-Length", QByteArray::number(body.size())}}) +
                         body));
        // Killed once contents reach the blob store, i.e. while rows are being recorded (or
        // just after; either way the outcome must be whole).
        const auto blobs = [&] {
            int n = 0;
            for (QDirIterator it(dir.path() + "/blobs", QDir::Files, QDirIterator::Subdirectories); it.hasNext();
                 it.next())
                ++n;
            return n;
        };
        QVERIFY(waitUntil([&] { return blobs() > Files / 3; }, 60000));
        QCOMPARE(::kill(pid_t(first.processId()), SIGKILL), 0);
        first.stop();
    }
    ReferenceServer second(options);
    QVERIFY(second.start());
    m_current = &second;
    const auto back = qScopeGuard([this] { m_current = nullptr; });
    const qint64 used = qint64(second.get("/api/profile", user).dataObject().value("storage_used").toDouble());
    const QStringList top = names(user);
    if (top.contains("x")) {
        QCOMPARE(used, zip.size() + contentBytes);
        QCOMPARE(names(user, folderNamed(user, "x")).size(), Files);
    } else {
        QCOMPARE(top, QStringList{"many.zip"});
        QCOMPARE(used, qint64(zip.size()));
    }
}

QTEST_GUILESS_MAIN(TestServerExtract)

#include "tst_server_extract.moc"
