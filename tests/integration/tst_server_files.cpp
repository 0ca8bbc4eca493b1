// The file tree of the reference server: listing, categories, search, folders, rename, move,
// the trash with its 7-day purge, and isolation between users.
#include "files/filetree.h"
#include "postgresfixture.h"
#include "referenceserver.h"
#include "storage/database.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using Creds = ReferenceServer::Credentials;

class TestServerFiles final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listsFoldersFirstAndFiltersCategories();
    void listingOrderHoldsInEverySpaceAndFolder();
    void listingOrderOfCaseDigitsAndChineseIsFixed();
    void listingIsReadFromItsIndexesAlone();
    void longestNamesAreStoredAndListed();
    void searchesTheWholeSpaceIgnoringCase();
    void renameRefusesBadNamesAndAvoidsClashes();
    void moveRefusesItsOwnSubtree();
    void trashHidesSubtreesAndRestoresThem();
    void restoreRecreatesAVanishedFolder();
    void batchesReportWhatTheyDid();
    void purgeRemovesTrashOlderThanSevenDays();
    void anotherUserCannotTouchForeignEntries();
    void namesThatDisguiseThemselvesAreRefused();
    void namesAreComparedInNfc();

private:
    qint64 folder(const Creds &as, const QString &name, qint64 parent = 0);
    qint64 upload(const Creds &as, const QString &name, const QByteArray &content, qint64 parent = 0);
    QStringList names(const ReferenceServer::Reply &reply) const;
    QJsonObject entry(const Creds &as, qint64 id, qint64 parent = 0);

    std::unique_ptr<ReferenceServer> m_server;
    Creds m_alice;
    Creds m_bob;
};

static qint64 idOf(const QJsonValue &record)
{
    return qint64(record.toObject().value("id").toDouble());
}

void TestServerFiles::initTestCase()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_alice = m_server->signIn("alice", "13900000011");
    m_bob = m_server->signIn("bob", "13900000012");
    QVERIFY(m_alice.isValid() && m_bob.isValid());
}

qint64 TestServerFiles::folder(const Creds &as, const QString &name, qint64 parent)
{
    QJsonObject body{{"name", name}};
    if (parent > 0)
        body.insert("parent_id", QString::number(parent));
    const auto reply = m_server->postJson("/api/folders", body, as);
    return reply.success() ? idOf(reply.data()) : 0;
}

qint64 TestServerFiles::upload(const Creds &as, const QString &name, const QByteArray &content, qint64 parent)
{
    QList<ReferenceServer::Part> parts;
    if (parent > 0)
        parts.append({"parent_id", {}, {}, QByteArray::number(parent)});
    parts.append({"files", name.toUtf8(), "application/octet-stream", content});
    const auto reply = m_server->multipart("/api/files/upload", parts, as);
    return reply.success() ? idOf(reply.dataArray().first()) : 0;
}

QStringList TestServerFiles::names(const ReferenceServer::Reply &reply) const
{
    QStringList out;
    for (const QJsonValue &v : reply.dataArray())
        out.append(v.toObject().value("name").toString());
    return out;
}

QJsonObject TestServerFiles::entry(const Creds &as, qint64 id, qint64 parent)
{
    const QString path =
        parent > 0 ? QStringLiteral("/api/files?parent_id=%1&").arg(parent) : QStringLiteral("/api/files?");
    for (const QJsonValue &v : m_server->get(path, as).dataArray()) {
        if (idOf(v) == id)
            return v.toObject();
    }
    return {};
}

void TestServerFiles::listsFoldersFirstAndFiltersCategories()
{
    const Creds c = m_server->signIn("carol", "13900000013");
    const qint64 photos = folder(c, "photos");
    const qint64 inner = folder(c, "inner", photos);
    QVERIFY(photos > 0 && inner > 0);
    QVERIFY(upload(c, "z-note.txt", "note") > 0);
    QVERIFY(upload(c, "a-pic.png", QByteArray("\x89PNG\r\n\x1a\n", 8)) > 0);
    QVERIFY(upload(c, "deep.JPG", "jpeg", inner) > 0);
    QVERIFY(upload(c, "clip.mp4", "mp4", photos) > 0);
    QVERIFY(upload(c, "song.mp3", "mp3") > 0);
    QVERIFY(upload(c, "blob.xyz", "?") > 0);

    const auto root = m_server->get("/api/files?", c);
    QVERIFY(root.success());
    QCOMPARE(names(root).first(), QStringLiteral("photos"));
    QCOMPARE(root.dataArray().first().toObject().value("type").toString(), QStringLiteral("folder"));
    QCOMPARE(names(root).size(), 5);
    const QJsonObject record = root.dataArray().at(1).toObject();
    for (const char *key : {"id", "name", "type", "mime_type", "size", "updated_at", "parent_id"})
        QVERIFY2(record.contains(key), key);
    QVERIFY(QDateTime::fromString(record.value("updated_at").toString(), Qt::ISODate).isValid());

    // A category page lists that category's files of the whole tree, and no folders.
    QCOMPARE(names(m_server->get("/api/files?category=image&", c)).size(), 2);
    QVERIFY(names(m_server->get("/api/files?category=image&", c)).contains("deep.JPG"));
    QCOMPARE(names(m_server->get("/api/files?category=video&", c)), QStringList{"clip.mp4"});
    QCOMPARE(names(m_server->get("/api/files?category=audio&", c)), QStringList{"song.mp3"});
    QCOMPARE(names(m_server->get("/api/files?category=document&", c)), QStringList{"z-note.txt"});
    QCOMPARE(names(m_server->get("/api/files?category=other&", c)), QStringList{"blob.xyz"});
    QCOMPARE(names(m_server->get("/api/files?category=all&", c)).size(), 5);
    // Inside a folder of a category page: the folders, then that category's files there.
    QCOMPARE(names(m_server->get(QStringLiteral("/api/files?parent_id=%1&category=video&").arg(photos), c)),
             (QStringList{"inner", "clip.mp4"}));
    QCOMPARE(m_server->get("/api/files?category=nonsense&", c).status, 400);
    QCOMPARE(m_server->get("/api/files?parent_id=999999&", c).status, 404);
    const qint64 note = idOf(m_server->get("/api/files/search?keyword=z-note", c).dataArray().first());
    QCOMPARE(m_server->get(QStringLiteral("/api/files?parent_id=%1&").arg(note), c).status, 404);

    const auto folders = m_server->get("/api/folders", c).dataArray();
    QCOMPARE(folders.size(), 2);
    for (const QJsonValue &f : folders) {
        if (f.toObject().value("name") == "inner")
            QCOMPARE(qint64(f.toObject().value("parent_id").toDouble()), photos);
        else
            QVERIFY(f.toObject().value("parent_id").isNull());
    }
}

// Folders by name, case aside, then files newest first, with neither trashed entries nor another
// space's: the order the listing's indexes hand out, in the personal space, a folder, a category
// within a folder and a team space.
void TestServerFiles::listingOrderHoldsInEverySpaceAndFolder()
{
    const Creds o = m_server->signIn("olga", "13900000031");
    QVERIFY(o.isValid());
    const qint64 bDir = folder(o, "b-dir");
    const qint64 aDir = folder(o, "A-dir");
    const qint64 cDir = folder(o, "c-dir");
    QVERIFY(bDir > 0 && aDir > 0 && cDir > 0);
    for (const char *name : {"first.txt", "second.png", "third.txt", "fourth.txt"}) {
        QVERIFY(upload(o, name, name) > 0);
        QVERIFY(m_server->advanceClock(60, o));
    }
    QVERIFY(upload(o, "inner-old.png", "p", aDir) > 0);
    QVERIFY(folder(o, "Zeta", aDir) > 0);
    QVERIFY(m_server->advanceClock(60, o));
    QVERIFY(upload(o, "inner-new.txt", "t", aDir) > 0);
    QVERIFY(folder(o, "alpha", aDir) > 0);
    const Creds p = m_server->signIn("pavel", "13900000032");
    QVERIFY(upload(p, "pavels.txt", "p") > 0);
    QVERIFY(folder(p, "Pavels-dir") > 0);

    const auto third = m_server->get("/api/files/search?keyword=third", o).dataArray();
    QCOMPARE(third.size(), 1);
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(idOf(third.first())), o).success());
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(cDir), o).success());

    QCOMPARE(names(m_server->get("/api/files?", o)),
             QStringList({"A-dir", "b-dir", "fourth.txt", "second.png", "first.txt"}));
    const QString inA = QStringLiteral("/api/files?parent_id=%1&").arg(aDir);
    QCOMPARE(names(m_server->get(inA, o)), QStringList({"alpha", "Zeta", "inner-new.txt", "inner-old.png"}));
    QCOMPARE(names(m_server->get(inA + "category=image&", o)), QStringList({"alpha", "Zeta", "inner-old.png"}));
    QCOMPARE(names(m_server->get("/api/files?category=image&", o)), QStringList({"inner-old.png", "second.png"}));
    QCOMPARE(names(m_server->get(QStringLiteral("/api/files?parent_id=%1&").arg(bDir), o)), QStringList());

    const auto team = m_server->postJson("/api/teams", {{"name", "排序组"}}, o);
    QVERIFY(team.success());
    const qint64 teamId = idOf(team.data());
    for (const char *name : {"m-team", "K-team"})
        QVERIFY(m_server->postJson(QStringLiteral("/api/teams/%1/folders").arg(teamId), {{"name", name}}, o).success());
    QCOMPARE(names(m_server->get(QStringLiteral("/api/teams/%1/files").arg(teamId), o)),
             QStringList({"K-team", "m-team"}));
    // The team's folders are not the owner's, nor the other way round.
    QVERIFY(!names(m_server->get("/api/files?", o)).contains("K-team"));
}

// The listing's exact bytes for names that differ in case, digits and script: folders by their
// bytes with only A-Z folded (so "_" sorts between digits and letters, digits are not read as
// numbers, Ä and ä stay apart and Chinese goes by code point, not by pinyin); files newest first,
// whatever their names; every record as the entry's own answer gave it.
void TestServerFiles::listingOrderOfCaseDigitsAndChineseIsFixed()
{
    const Creds q = m_server->signIn("quinn", "13900000033");
    QVERIFY(q.isValid());
    QHash<QString, QJsonObject> created;
    for (const QString &name : QStringList{"项目", "file2", "Banana", "_tmp", "ärger", "10-x", "文档", "File1", "apple",
                                           "Zeta", "Ärger", "9-x", "阿里", "cherry", "file10", "报告"}) {
        const auto reply = m_server->postJson("/api/folders", {{"name", name}}, q);
        QVERIFY2(reply.success(), qPrintable(name));
        created.insert(name, reply.dataObject());
    }
    QList<ReferenceServer::Part> parts;
    for (const QString &name : QStringList{"b.txt", "A.txt", "10.txt", "2.txt", "报告.pdf"})
        parts.append({"files", name.toUtf8(), "application/octet-stream", name.toUtf8()});
    const auto older = m_server->multipart("/api/files/upload", parts, q);
    QVERIFY(older.success());
    QVERIFY(m_server->advanceClock(60, q));
    const auto newer = m_server->multipart(
        "/api/files/upload", {{"files", "0-newest.txt", "application/octet-stream", QByteArray("new")}}, q);
    QVERIFY(newer.success());
    for (const auto *reply : {&older, &newer}) {
        for (const QJsonValue &record : reply->dataArray())
            created.insert(record.toObject().value("name").toString(), record.toObject());
    }

    const QStringList order = {"10-x",         "9-x",      "_tmp",  "apple",  "Banana", "cherry", "File1", "file10",
                               "file2",        "Zeta",     "Ärger", "ärger",  "报告",   "文档",   "阿里",  "项目",
                               "0-newest.txt", "报告.pdf", "2.txt", "10.txt", "A.txt",  "b.txt"};
    QJsonArray expected;
    for (const QString &name : order) {
        QVERIFY2(created.contains(name), qPrintable(name));
        expected.append(created.value(name));
    }
    const auto listing = m_server->get("/api/files?", q);
    QCOMPARE(names(listing), order);
    QCOMPARE(listing.body,
             "{\"data\":" + QJsonDocument(expected).toJson(QJsonDocument::Compact) + ",\"success\":true}");
}

// A folder is listed from the listing's indexes alone, without looking up each row in the table:
// a column read by the listing but missing from them would triple the time of a large folder.
void TestServerFiles::listingIsReadFromItsIndexesAlone()
{
    if (PostgresFixture::requested())
        QSKIP("PostgreSQL chooses its plans by the table's statistics");
    tvr::server::Database db;
    QString error;
    QVERIFY2(db.open(QDir(m_server->dataDir()).filePath("tolvar.db"), &error), qPrintable(error));
    const std::vector<const char *> statements = tvr::server::FileTree::folderListingStatements();
    QCOMPARE(statements.size(), size_t(3));
    for (const char *sql : statements) {
        bool ok = false;
        const auto plan = db.query(("EXPLAIN QUERY PLAN " + std::string(sql)).c_str(), {}, &ok);
        QVERIFY2(ok && plan.size() == 1, sql);
        const QString detail = plan.front().value(3).toString();
        QVERIFY2(detail.startsWith("SEARCH files USING COVERING INDEX files_live_"), qPrintable(detail));
    }
}

// The listing's indexes hold each name (folders twice, as typed and folded): the longest names,
// in three-byte characters, must still fit into one index entry, PostgreSQL's being limited.
void TestServerFiles::longestNamesAreStoredAndListed()
{
    const Creds r = m_server->signIn("rosa", "13900000034");
    QVERIFY(r.isValid());
    // Characters that do not repeat, so that no compression shrinks the entry below the limit.
    const auto chinese = [](int length) {
        QString text;
        for (int i = 0; i < length; ++i)
            text += QChar(char16_t(0x4e00 + (i * 7919) % 0x5000));
        return text;
    };
    const QString folderName = chinese(255);
    const QString fileName = chinese(251) + ".pdf";
    QVERIFY(folder(r, folderName) > 0);
    QVERIFY(upload(r, fileName, "long") > 0);
    QCOMPARE(names(m_server->get("/api/files?", r)), QStringList({folderName, fileName}));
    QCOMPARE(m_server->postJson("/api/folders", {{"name", folderName + "x"}}, r).status, 400);
}

void TestServerFiles::searchesTheWholeSpaceIgnoringCase()
{
    const Creds d = m_server->signIn("dora", "13900000014");
    const qint64 f = folder(d, "Reports");
    QVERIFY(upload(d, "Annual-REPORT.pdf", "x", f) > 0);
    QVERIFY(upload(d, "年度报告.docx", "x") > 0);
    QCOMPARE(names(m_server->get("/api/files/search?keyword=report", d)).size(), 2);
    QCOMPARE(names(m_server->get("/api/files/search?keyword=%E6%8A%A5%E5%91%8A", d)), QStringList{"年度报告.docx"});
    QCOMPARE(names(m_server->get("/api/files/search?keyword=report", m_alice)).size(), 0);
}

void TestServerFiles::renameRefusesBadNamesAndAvoidsClashes()
{
    const Creds &a = m_alice;
    const qint64 one = upload(a, "one.txt", "1");
    QVERIFY(upload(a, "two.txt", "2") > 0);
    for (const QString &bad : {QString(), QStringLiteral("  "), QStringLiteral("a/b"), QStringLiteral("..")})
        QCOMPARE(m_server->putJson(QStringLiteral("/api/files/%1").arg(one), {{"name", bad}}, a).status, 400);
    QVERIFY(m_server->putJson(QStringLiteral("/api/files/%1").arg(one), {{"name", "two.txt"}}, a).success());
    QCOMPARE(entry(a, one).value("name").toString(), QStringLiteral("two (1).txt"));
    QVERIFY(m_server->putJson(QStringLiteral("/api/files/%1").arg(one), {{"name", "one.png"}}, a).success());
    QCOMPARE(entry(a, one).value("mime_type").toString(), QStringLiteral("image/png"));
    QCOMPARE(m_server->putJson("/api/files/999999", {{"name", "x"}}, a).status, 404);
}

void TestServerFiles::moveRefusesItsOwnSubtree()
{
    const Creds &a = m_alice;
    const qint64 top = folder(a, "top");
    const qint64 mid = folder(a, "mid", top);
    const qint64 low = folder(a, "low", mid);
    const qint64 doc = upload(a, "doc.txt", "d");
    QCOMPARE(m_server->putJson(QStringLiteral("/api/files/%1/move").arg(top), {{"parent_id", QString::number(low)}}, a)
                 .status,
             400);
    QCOMPARE(m_server->putJson(QStringLiteral("/api/files/%1/move").arg(top), {{"parent_id", QString::number(top)}}, a)
                 .status,
             400);
    QVERIFY(!entry(a, top).isEmpty()); // still at the root

    QVERIFY(m_server->putJson(QStringLiteral("/api/files/%1/move").arg(doc), {{"parent_id", QString::number(low)}}, a)
                .success());
    QVERIFY(!entry(a, doc, low).isEmpty());
    QVERIFY(upload(a, "doc.txt", "again") > 0);
    QVERIFY(
        m_server->putJson(QStringLiteral("/api/files/%1/move").arg(doc), {{"parent_id", QJsonValue()}}, a).success());
    QCOMPARE(entry(a, doc).value("name").toString(), QStringLiteral("doc (1).txt"));
    QCOMPARE(m_server->putJson(QStringLiteral("/api/files/%1/move").arg(doc), {{"parent_id", "999999"}}, a).status,
             404);
}

void TestServerFiles::trashHidesSubtreesAndRestoresThem()
{
    const Creds e = m_server->signIn("emma", "13900000015");
    const qint64 box = folder(e, "box");
    const qint64 inner = upload(e, "inner-secret.txt", "s", box);
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(box), e).success());

    const auto trash = m_server->get("/api/files/trash", e);
    QCOMPARE(names(trash), QStringList{"box"});
    QVERIFY(!trash.dataArray().first().toObject().value("trash_time").toString().isEmpty());
    QVERIFY(names(m_server->get("/api/files?", e)).isEmpty());
    QVERIFY(names(m_server->get("/api/files/search?keyword=secret", e)).isEmpty());
    QVERIFY(m_server->get("/api/folders", e).dataArray().isEmpty());
    QCOMPARE(m_server->get(QStringLiteral("/api/files/%1/download").arg(inner), e).status, 404);
    // Trashed files still occupy space until they are purged.
    QCOMPARE(qint64(m_server->get("/api/profile", e).dataObject().value("storage_used").toDouble()), 1);

    QVERIFY(m_server->request("PUT", QStringLiteral("/api/files/%1/restore").arg(box), e, "null", "application/json")
                .success());
    QCOMPARE(names(m_server->get("/api/files?", e)), QStringList{"box"});
    QCOMPARE(names(m_server->get(QStringLiteral("/api/files?parent_id=%1&").arg(box), e)),
             QStringList{"inner-secret.txt"});
    QVERIFY(m_server->get("/api/files/trash", e).dataArray().isEmpty());
    // Only deleted entries can be restored or deleted for good.
    QCOMPARE(m_server->request("PUT", QStringLiteral("/api/files/%1/restore").arg(box), e).status, 404);
    QCOMPARE(m_server->del(QStringLiteral("/api/files/%1/permanent").arg(box), e).status, 404);
}

void TestServerFiles::restoreRecreatesAVanishedFolder()
{
    const Creds f = m_server->signIn("fred", "13900000016");
    const qint64 projects = folder(f, "projects");
    const qint64 plan = upload(f, "plan.txt", "p", projects);
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(plan), f).success());
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(projects), f).success());
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1/permanent").arg(projects), f).success());
    QCOMPARE(names(m_server->get("/api/files/trash", f)), QStringList{"plan.txt"});

    QVERIFY(m_server->request("PUT", QStringLiteral("/api/files/%1/restore").arg(plan), f).success());
    const auto root = m_server->get("/api/files?", f);
    QCOMPARE(names(root), QStringList{"projects"});
    const qint64 recreated = idOf(root.dataArray().first());
    QVERIFY(recreated != projects);
    QCOMPARE(names(m_server->get(QStringLiteral("/api/files?parent_id=%1&").arg(recreated), f)),
             QStringList{"plan.txt"});
}

void TestServerFiles::batchesReportWhatTheyDid()
{
    const Creds g = m_server->signIn("gina", "13900000017");
    const qint64 a = upload(g, "a.txt", "a");
    const qint64 b = upload(g, "b.txt", "bb");
    const qint64 keep = upload(g, "keep.txt", "k");
    for (qint64 id : {a, b, keep})
        QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(id), g).success());
    auto restored = m_server->postJson("/api/files/restore/batch",
                                       {{"ids", QJsonArray{QString::number(a), QString::number(b)}}}, g);
    QVERIFY(restored.success());
    QCOMPARE(restored.dataObject().value("done").toArray().size(), 2);
    QCOMPARE(names(m_server->get("/api/files?", g)).size(), 2);

    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(a), g).success());
    auto purged =
        m_server->postJson("/api/files/permanent/batch", {{"ids", QJsonArray{QString::number(a), "999999"}}}, g);
    QVERIFY(purged.success());
    QCOMPARE(purged.dataObject().value("failed").toArray().size(), 1);
    QCOMPARE(names(m_server->get("/api/files/trash", g)), QStringList{"keep.txt"});
    QCOMPARE(m_server->postJson("/api/files/permanent/batch", {{"ids", QJsonArray{"999999"}}}, g).status, 404);
    QCOMPARE(m_server->postJson("/api/files/restore/batch", {{"ids", QJsonArray{}}}, g).status, 400);
    QCOMPARE(qint64(m_server->get("/api/profile", g).dataObject().value("storage_used").toDouble()), 3);
}

void TestServerFiles::purgeRemovesTrashOlderThanSevenDays()
{
    const Creds h = m_server->signIn("hana", "13900000018");
    const qint64 old = upload(h, "old.txt", QByteArray(100, 'o'));
    const qint64 recent = upload(h, "recent.txt", QByteArray(10, 'r'));
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(old), h).success());
    QVERIFY(m_server->advanceClock(6 * 24 * 3600, h));
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(recent), h).success());
    QCOMPARE(names(m_server->get("/api/files/trash", h)).size(), 2);
    QVERIFY(m_server->advanceClock(24 * 3600 + 60, h));
    QCOMPARE(names(m_server->get("/api/files/trash", h)), QStringList{"recent.txt"});
    QCOMPARE(qint64(m_server->get("/api/profile", h).dataObject().value("storage_used").toDouble()), 10);
    QCOMPARE(m_server->request("PUT", QStringLiteral("/api/files/%1/restore").arg(old), h).status, 404);
}

void TestServerFiles::anotherUserCannotTouchForeignEntries()
{
    const Creds &a = m_alice;
    const Creds &b = m_bob;
    const qint64 dir = folder(a, "alice-private");
    const qint64 file = upload(a, "secret.txt", "alice's secret", dir);
    const qint64 trashed = upload(a, "trashed.txt", "t");
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(trashed), a).success());
    const qint64 bobFile = upload(b, "bob.txt", "b");
    const QString f = QString::number(file);
    const QString d = QString::number(dir);
    const QString t = QString::number(trashed);

    const QList<ReferenceServer::Reply> attempts = {
        m_server->get("/api/files?parent_id=" + d + "&", b),
        m_server->get("/api/files/" + f + "/download", b),
        m_server->putJson("/api/files/" + f, {{"name", "mine.txt"}}, b),
        m_server->putJson("/api/files/" + f + "/move", {{"parent_id", QJsonValue()}}, b),
        m_server->putJson(QStringLiteral("/api/files/%1/move").arg(bobFile), {{"parent_id", d}}, b),
        m_server->del("/api/files/" + f, b),
        m_server->request("PUT", "/api/files/" + t + "/restore", b),
        m_server->del("/api/files/" + t + "/permanent", b),
        m_server->postJson("/api/files/restore/batch", {{"ids", QJsonArray{t}}}, b),
        m_server->postJson("/api/files/permanent/batch", {{"ids", QJsonArray{t}}}, b),
        m_server->postJson("/api/files/pack-download", {{"ids", QJsonArray{f}}}, b),
        m_server->postJson("/api/files/pack-download", {{"ids", QJsonArray{QString::number(bobFile), d}}}, b),
        m_server->postJson("/api/folders", {{"name", "intrusion"}, {"parent_id", d}}, b),
        m_server->postJson("/api/files/extract", {{"fileId", f}}, b),
        m_server->postJson("/api/upload/init",
                           {{"name", "x.bin"}, {"size", 1}, {"md5", QString(32, 'a')}, {"parent_id", d}}, b),
        m_server->multipart("/api/files/upload",
                            {{"parent_id", {}, {}, d.toUtf8()}, {"files", "in.txt", "text/plain", "x"}}, b),
    };
    for (int i = 0; i < attempts.size(); ++i) {
        QVERIFY2(attempts.at(i).status >= 400,
                 qPrintable(QStringLiteral("attempt %1 answered %2").arg(i).arg(attempts.at(i).status)));
        QVERIFY(!attempts.at(i).body.contains("alice's secret"));
    }
    // Nothing changed for alice.
    QCOMPARE(names(m_server->get("/api/files?parent_id=" + d + "&", a)), QStringList{"secret.txt"});
    QCOMPARE(m_server->get("/api/files/" + f + "/download", a).body, QByteArray("alice's secret"));
    QVERIFY(names(m_server->get("/api/files/trash", a)).contains("trashed.txt"));
    QCOMPARE(names(m_server->get("/api/files?", b)), QStringList{"bob.txt"});
}

void TestServerFiles::namesThatDisguiseThemselvesAreRefused()
{
    const Creds i = m_server->signIn("iris", "13900000019");
    // "invoice\u202Efdp.exe" shows as "invoiceexe.pdf"; zero-width characters make two names look alike.
    const QStringList disguised{QStringLiteral("invoice\u202Efdp.exe"),
                                QStringLiteral("a\u202Ab"),
                                QStringLiteral("a\u2067b"),
                                QStringLiteral("re\u200Bport"),
                                QStringLiteral("re\u200Dport"),
                                QStringLiteral("re\uFEFFport"),
                                QStringLiteral("x\u2060y")};
    const qint64 plain = folder(i, "plain");
    QVERIFY(plain > 0);
    for (const QString &name : disguised) {
        QCOMPARE(m_server->postJson("/api/folders", {{"name", name}}, i).status, 400);
        QCOMPARE(m_server->putJson(QStringLiteral("/api/files/%1").arg(plain), {{"name", name}}, i).status, 400);
        QCOMPARE(upload(i, name, "x"), 0);
        QCOMPARE(
            m_server->postJson("/api/upload/init", {{"name", name}, {"size", 1}, {"md5", QString(32, 'a')}}, i).status,
            400);
        QCOMPARE(m_server->postJson("/api/teams", {{"name", name}}, i).status, 400);
    }
    QCOMPARE(names(m_server->get("/api/files", i)), QStringList{"plain"});
}

void TestServerFiles::namesAreComparedInNfc()
{
    const Creds j = m_server->signIn("jade", "13900000020");
    const QString composed = QStringLiteral("caf\u00e9");
    const QString decomposed = QStringLiteral("cafe\u0301");
    QVERIFY(folder(j, composed) > 0);
    // The other form of the same name is the same name: it gets a suffix, like any clash.
    const qint64 second = folder(j, decomposed);
    QVERIFY(second > 0);
    QCOMPARE(names(m_server->get("/api/files", j)), (QStringList{composed, composed + " (1)"}));
    QVERIFY(upload(j, decomposed.toUtf8() + ".txt", "x") > 0);
    QVERIFY(upload(j, composed.toUtf8() + ".txt", "y") > 0);
    const QStringList listed = names(m_server->get("/api/files", j));
    QVERIFY(listed.contains(composed + ".txt") && listed.contains(composed + " (1).txt"));
    for (const QString &name : listed)
        QCOMPARE(name, name.normalized(QString::NormalizationForm_C));
}

QTEST_GUILESS_MAIN(TestServerFiles)
#include "tst_server_files.moc"
