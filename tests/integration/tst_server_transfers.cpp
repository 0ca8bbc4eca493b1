// Uploads, downloads, pack-download and extract on the reference server, over real HTTP.
// The server runs with 1 KiB chunks, so a "many-chunk" upload is a few KiB.
#include "demo/demofiles.h"
#include "referenceserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QtTest>
#include <archive.h>
#include <archive_entry.h>
#include <csignal>

using Creds = ReferenceServer::Credentials;
using tvr::server::DemoFiles;

class TestServerTransfers final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void interruptedChunkedUploadResumesAndMerges();
    void mergeRefusesMissingChunksAndWrongContent();
    void chunkSizesAndIndicesAreChecked();
    void cancelledUploadLeavesNoSession();
    void instantUploadReusesOnlyContentTheCallerCanRead();
    void multipartUploadStoresEveryFileOrNone();
    void quotaRefusesWhatDoesNotFit();
    void downloadServesRangesAnd416();
    void packDownloadZipsTheSelection();
    void extractUnpacksIntoTheTargetFolder();
    void extractRefusesUnsafeEntryNames();
    void restartKeepsFilesAndDropsLeftovers();
    void chunkedUploadResumesAcrossARestart();
    void chunkFilesOfTheEarlierLayoutAreTakenOver();
    void rangeOfAnotherUnitIsIgnored();

private:
    static constexpr qint64 Chunk = 1024;
    QString md5(const QByteArray &data) const;
    QByteArray randomBytes(int size) const;
    QJsonObject init(const Creds &as, const QString &name, const QByteArray &content, qint64 parent = 0);
    ReferenceServer::Reply putChunk(const Creds &as, const QString &uploadId, int index, const QByteArray &bytes);
    qint64 upload(const Creds &as, const QString &name, const QByteArray &content, qint64 parent = 0);
    QStringList names(const QString &path, const Creds &as);
    QStringList zipEntries(const QByteArray &zip) const;

    std::unique_ptr<ReferenceServer> m_server;
    Creds m_user;
};

static qint64 idOf(const QJsonValue &record)
{
    return qint64(record.toObject().value("id").toDouble());
}

void TestServerTransfers::initTestCase()
{
    ReferenceServer::Options options;
    options.chunkSize = Chunk;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_user = m_server->signIn("uploader", "13900000021");
    QVERIFY(m_user.isValid());
}

QString TestServerTransfers::md5(const QByteArray &data) const
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray TestServerTransfers::randomBytes(int size) const
{
    QByteArray out(size, Qt::Uninitialized);
    for (char &c : out)
        c = char(QRandomGenerator::global()->bounded(256));
    return out;
}

QJsonObject TestServerTransfers::init(const Creds &as, const QString &name, const QByteArray &content, qint64 parent)
{
    const auto reply =
        m_server->postJson("/api/upload/init",
                           {{"name", name},
                            {"size", content.size()},
                            {"md5", md5(content)},
                            {"parent_id", parent > 0 ? QJsonValue(QString::number(parent)) : QJsonValue()}},
                           as);
    return reply.success() ? reply.dataObject() : QJsonObject{{"error", reply.message()}};
}

ReferenceServer::Reply TestServerTransfers::putChunk(const Creds &as, const QString &uploadId, int index,
                                                     const QByteArray &bytes)
{
    return m_server->request("PUT", QStringLiteral("/api/upload/chunk/%1/%2").arg(uploadId).arg(index), as, bytes,
                             "application/octet-stream");
}

qint64 TestServerTransfers::upload(const Creds &as, const QString &name, const QByteArray &content, qint64 parent)
{
    QList<ReferenceServer::Part> parts;
    if (parent > 0)
        parts.append({"parent_id", {}, {}, QByteArray::number(parent)});
    parts.append({"files", name.toUtf8(), "application/octet-stream", content});
    const auto reply = m_server->multipart("/api/files/upload", parts, as);
    return reply.success() ? idOf(reply.dataArray().first()) : 0;
}

QStringList TestServerTransfers::names(const QString &path, const Creds &as)
{
    QStringList out;
    for (const QJsonValue &v : m_server->get(path, as).dataArray())
        out.append(v.toObject().value("name").toString());
    return out;
}

QStringList TestServerTransfers::zipEntries(const QByteArray &zip) const
{
    QStringList out;
    std::unique_ptr<struct archive, decltype(&archive_read_free)> reader(archive_read_new(), archive_read_free);
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_memory(reader.get(), zip.constData(), size_t(zip.size())) != ARCHIVE_OK)
        return {QStringLiteral("<not a zip>")};
    struct archive_entry *entry = nullptr;
    while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
        const char *name = archive_entry_pathname_utf8(entry);
        out.append(name ? QString::fromUtf8(name) : QString::fromLocal8Bit(archive_entry_pathname(entry)));
    }
    return out;
}

void TestServerTransfers::interruptedChunkedUploadResumesAndMerges()
{
    const QByteArray content = randomBytes(int(Chunk * 4 + 300)); // five chunks, the last one short
    const QJsonObject first = init(m_user, "big.bin", content);
    QCOMPARE(first.value("instant").toBool(), false);
    QCOMPARE(qint64(first.value("chunkSize").toDouble()), Chunk);
    QVERIFY(first.value("uploadedChunks").toArray().isEmpty());
    const QString uploadId = first.value("uploadId").toString();
    QVERIFY(!uploadId.isEmpty());

    // Chunks arrive in any order; the client then "crashes".
    QVERIFY(putChunk(m_user, uploadId, 3, content.mid(3 * Chunk, Chunk)).success());
    QVERIFY(putChunk(m_user, uploadId, 0, content.left(Chunk)).success());

    const QJsonObject resumed = init(m_user, "big.bin", content);
    QCOMPARE(resumed.value("uploadId").toString(), uploadId);
    QCOMPARE(resumed.value("uploadedChunks").toArray(), (QJsonArray{0, 3}));
    // The same content going elsewhere is another upload.
    const qint64 elsewhere = idOf(m_server->postJson("/api/folders", {{"name", "elsewhere"}}, m_user).data());
    QVERIFY(init(m_user, "big.bin", content, elsewhere).value("uploadId").toString() != uploadId);

    for (int i : {1, 2, 4})
        QVERIFY(putChunk(m_user, uploadId, i, content.mid(i * Chunk, Chunk)).success());
    const auto merged = m_server->postJson("/api/upload/merge", {{"uploadId", uploadId}}, m_user);
    QVERIFY2(merged.success(), qPrintable(merged.message()));
    const QJsonObject record = merged.dataObject();
    QCOMPARE(record.value("name").toString(), QStringLiteral("big.bin"));
    QCOMPARE(qint64(record.value("size").toDouble()), qint64(content.size()));
    QCOMPARE(record.value("md5").toString(), md5(content));
    const auto body = m_server->get(QStringLiteral("/api/files/%1/download").arg(idOf(record)), m_user).body;
    QCOMPARE(md5(body), md5(content));

    // The session is gone after the merge.
    QCOMPARE(m_server->postJson("/api/upload/merge", {{"uploadId", uploadId}}, m_user).status, 404);
    QCOMPARE(QDir(m_server->dataDir() + "/uploads").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
}

void TestServerTransfers::mergeRefusesMissingChunksAndWrongContent()
{
    const Creds c = m_server->signIn("merger", "13900000022");
    const QByteArray content = randomBytes(int(Chunk * 3));
    const QString id = init(c, "gap.bin", content).value("uploadId").toString();
    QVERIFY(putChunk(c, id, 0, content.left(Chunk)).success());
    QVERIFY(putChunk(c, id, 2, content.mid(2 * Chunk)).success());
    const auto gap = m_server->postJson("/api/upload/merge", {{"uploadId", id}}, c);
    QCOMPARE(gap.status, 400);
    QVERIFY(gap.message().contains("2"));
    QVERIFY(names("/api/files?", c).isEmpty());
    // The session survives: sending the missing chunk completes it.
    QVERIFY(putChunk(c, id, 1, content.mid(Chunk, Chunk)).success());
    QVERIFY(m_server->postJson("/api/upload/merge", {{"uploadId", id}}, c).success());
    QCOMPARE(names("/api/files?", c), QStringList{"gap.bin"});

    // Announced with another file's MD5: the merge fails and creates nothing.
    const QByteArray real = randomBytes(int(Chunk * 2));
    const QByteArray claimed = randomBytes(int(Chunk * 2));
    const auto lie = m_server->postJson(
        "/api/upload/init",
        {{"name", "lie.bin"}, {"size", real.size()}, {"md5", md5(claimed)}, {"parent_id", QJsonValue()}}, c);
    const QString lieId = lie.dataObject().value("uploadId").toString();
    QVERIFY(putChunk(c, lieId, 0, real.left(Chunk)).success());
    QVERIFY(putChunk(c, lieId, 1, real.mid(Chunk)).success());
    const auto refused = m_server->postJson("/api/upload/merge", {{"uploadId", lieId}}, c);
    QCOMPARE(refused.status, 400);
    QCOMPARE(names("/api/files?", c), QStringList{"gap.bin"});
    QCOMPARE(qint64(m_server->get("/api/profile", c).dataObject().value("storage_used").toDouble()), content.size());
    // Its chunks were dropped, so a new attempt starts from nothing.
    const auto again = m_server->postJson(
        "/api/upload/init",
        {{"name", "lie.bin"}, {"size", real.size()}, {"md5", md5(claimed)}, {"parent_id", QJsonValue()}}, c);
    QVERIFY(again.dataObject().value("uploadedChunks").toArray().isEmpty());
    // Somebody else's session is not reachable.
    QCOMPARE(
        m_server->postJson("/api/upload/merge", {{"uploadId", again.dataObject().value("uploadId")}}, m_user).status,
        404);
    QCOMPARE(putChunk(m_user, again.dataObject().value("uploadId").toString(), 0, real.left(Chunk)).status, 404);
}

void TestServerTransfers::cancelledUploadLeavesNoSession()
{
    const Creds c = m_server->signIn("canceller", "13900000040");
    const QByteArray content = randomBytes(int(Chunk * 3));
    const QString id = init(c, "dropped.bin", content).value("uploadId").toString();
    QVERIFY(!id.isEmpty());
    QVERIFY(putChunk(c, id, 0, content.left(Chunk)).success());
    const QString folder = m_server->dataDir() + "/uploads/" + id;
    QVERIFY(QFileInfo::exists(folder));

    // Nobody else can cancel it.
    QCOMPARE(m_server->del("/api/upload/" + id, m_user).status, 404);
    QVERIFY(QFileInfo::exists(folder));

    const auto cancelled = m_server->del("/api/upload/" + id, c);
    QVERIFY2(cancelled.success(), qPrintable(cancelled.message()));
    QVERIFY(!QFileInfo::exists(folder));
    QCOMPARE(putChunk(c, id, 1, content.mid(Chunk, Chunk)).status, 404);
    QCOMPARE(m_server->postJson("/api/upload/merge", {{"uploadId", id}}, c).status, 404);
    QCOMPARE(m_server->del("/api/upload/" + id, c).status, 404);
    // The same file announced again starts from nothing.
    const QJsonObject again = init(c, "dropped.bin", content);
    QVERIFY(again.value("uploadId").toString() != id);
    QVERIFY(again.value("uploadedChunks").toArray().isEmpty());
    QVERIFY(names("/api/files?", c).isEmpty());
}

void TestServerTransfers::chunkSizesAndIndicesAreChecked()
{
    const QByteArray content = randomBytes(int(Chunk + 10));
    const QString id = init(m_user, "sizes.bin", content).value("uploadId").toString();
    QCOMPARE(putChunk(m_user, id, 0, content.left(Chunk - 1)).status, 400);
    QCOMPARE(putChunk(m_user, id, 0, content.left(Chunk) + "x").status, 400);
    QCOMPARE(putChunk(m_user, id, 1, content.left(11)).status, 400);
    QCOMPARE(putChunk(m_user, id, 2, content.left(10)).status, 400);
    QCOMPARE(putChunk(m_user, id, -1, content.left(10)).status, 400);
    QCOMPARE(putChunk(m_user, "no-such-upload", 0, content.left(Chunk)).status, 404);
    // A refused chunk leaves nothing behind.
    QVERIFY(init(m_user, "sizes.bin", content).value("uploadedChunks").toArray().isEmpty());
    QCOMPARE(m_server->postJson("/api/upload/init", {{"name", "a/b"}, {"size", 1}, {"md5", md5("x")}}, m_user).status,
             400);
    QCOMPARE(m_server->postJson("/api/upload/init", {{"name", "x"}, {"size", -1}, {"md5", md5("x")}}, m_user).status,
             400);
    QCOMPARE(m_server->postJson("/api/upload/init", {{"name", "x"}, {"size", 1}, {"md5", "nothex"}}, m_user).status,
             400);
}

void TestServerTransfers::instantUploadReusesOnlyContentTheCallerCanRead()
{
    const Creds c = m_server->signIn("instant", "13900000023");
    const QByteArray content = randomBytes(3000);
    QVERIFY(upload(c, "original.bin", content) > 0);
    const qint64 folder = idOf(m_server->postJson("/api/folders", {{"name", "copies"}}, c).data());
    const QJsonObject answer = init(c, "copy.bin", content, folder);
    QCOMPARE(answer.value("instant").toBool(), true);
    const QJsonObject record = answer.value("file").toObject();
    QCOMPARE(record.value("name").toString(), QStringLiteral("copy.bin"));
    QCOMPARE(qint64(record.value("parent_id").toDouble()), folder);
    QCOMPARE(m_server->get(QStringLiteral("/api/files/%1/download").arg(idOf(record)), c).body, content);
    QCOMPARE(qint64(m_server->get("/api/profile", c).dataObject().value("storage_used").toDouble()),
             2 * content.size());
    // Content the server does not hold is never "instant".
    QCOMPARE(init(c, "new.bin", randomBytes(3000)).value("instant").toBool(), false);

    // Someone else's content is never reused: a digest gives neither its bytes nor the fact that
    // somebody stores it; the upload simply goes on.
    const Creds stranger = m_server->signIn("stranger", "13900000029");
    const QJsonObject guess = init(stranger, "guess.bin", content);
    QCOMPARE(guess.value("instant").toBool(), false);
    QVERIFY(!guess.value("uploadId").toString().isEmpty());
    QCOMPARE(qint64(m_server->get("/api/profile", stranger).dataObject().value("storage_used").toDouble()), 0);

    // A team's files are the members' to read, so they are reused for a member.
    const qint64 team = idOf(m_server->postJson("/api/teams", {{"name", "共享"}}, c).data());
    QVERIFY(
        m_server->postJson(QStringLiteral("/api/teams/%1/members").arg(team), {{"keyword", "stranger"}}, c).success());
    const QByteArray shared = randomBytes(2000);
    QVERIFY(m_server
                ->multipart(QStringLiteral("/api/teams/%1/files/upload").arg(team),
                            {{"files", "shared.bin", "application/octet-stream", shared}}, c)
                .success());
    QCOMPARE(init(stranger, "mine.bin", shared).value("instant").toBool(), true);
}

void TestServerTransfers::multipartUploadStoresEveryFileOrNone()
{
    const Creds c = m_server->signIn("multi", "13900000024");
    const qint64 folder = idOf(m_server->postJson("/api/folders", {{"name", "inbox"}}, c).data());
    const auto reply = m_server->multipart("/api/files/upload",
                                           {{"parent_id", {}, {}, QByteArray::number(folder)},
                                            {"files", "报告.txt", "text/plain", "第一份"},
                                            {"files", "C:\\Users\\x\\photo.png", "image/png", "png"},
                                            {"files", "报告.txt", "text/plain", "第二份"}},
                                           c);
    QVERIFY2(reply.success(), qPrintable(reply.message()));
    QCOMPARE(reply.dataArray().size(), 3);
    QCOMPARE(names(QStringLiteral("/api/files?parent_id=%1&").arg(folder), c).size(), 3);
    QVERIFY(names(QStringLiteral("/api/files?parent_id=%1&").arg(folder), c).contains("报告 (1).txt"));
    QVERIFY(names(QStringLiteral("/api/files?parent_id=%1&").arg(folder), c).contains("photo.png"));

    const auto none = m_server->multipart("/api/files/upload", {{"parent_id", {}, {}, "0"}}, c);
    QCOMPARE(none.status, 400);
    const auto badParent = m_server->multipart(
        "/api/files/upload", {{"parent_id", {}, {}, "999999"}, {"files", "a.txt", "text/plain", "a"}}, c);
    QCOMPARE(badParent.status, 404);
    QCOMPARE(names("/api/files?", c), QStringList{"inbox"});
}

void TestServerTransfers::quotaRefusesWhatDoesNotFit()
{
    const QJsonObject limits = m_server->get("/api/profile", m_user).dataObject();
    const qint64 limit = qint64(limits.value("storage_limit").toDouble());
    const auto tooBig = m_server->postJson(
        "/api/upload/init", {{"name", "huge.iso"}, {"size", double(limit)}, {"md5", md5("huge")}}, m_user);
    QCOMPARE(tooBig.status, 507);
    QCOMPARE(tooBig.message(), QStringLiteral("存储空间不足"));
}

void TestServerTransfers::downloadServesRangesAnd416()
{
    const QByteArray content = randomBytes(5000);
    const qint64 id = upload(m_user, "range.pdf", content);
    const QString path = QStringLiteral("/api/files/%1/download").arg(id);

    const auto whole = m_server->get(path, m_user);
    QCOMPARE(whole.status, 200);
    QCOMPARE(whole.body, content);
    QCOMPARE(whole.header("Content-Length"), QByteArray("5000"));
    QCOMPARE(whole.header("Content-Type"), QByteArray("application/pdf"));
    QCOMPARE(whole.header("Accept-Ranges"), QByteArray("bytes"));
    QVERIFY(whole.header("ETag").size() > 10);

    const auto tail = m_server->request("GET", path, m_user, {}, {}, {{"Range", "bytes=1000-"}});
    QCOMPARE(tail.status, 206);
    QCOMPARE(tail.body, content.mid(1000));
    QCOMPARE(tail.header("Content-Range"), QByteArray("bytes 1000-4999/5000"));
    QCOMPARE(tail.header("Content-Length"), QByteArray("4000"));

    const auto middle = m_server->request("GET", path, m_user, {}, {}, {{"Range", "bytes=10-19"}});
    QCOMPARE(middle.status, 206);
    QCOMPARE(middle.body, content.mid(10, 10));
    const auto clamped = m_server->request("GET", path, m_user, {}, {}, {{"Range", "bytes=4990-999999"}});
    QCOMPARE(clamped.status, 206);
    QCOMPARE(clamped.body, content.mid(4990));
    QCOMPARE(clamped.header("Content-Range"), QByteArray("bytes 4990-4999/5000"));

    for (const QByteArray &range : {QByteArray("bytes=5000-"), QByteArray("bytes=9000-9999")}) {
        const auto past = m_server->request("GET", path, m_user, {}, {}, {{"Range", range}});
        QCOMPARE(past.status, 416);
        QCOMPARE(past.header("Content-Range"), QByteArray("bytes */5000"));
        QVERIFY(past.body.isEmpty());
    }
    // A failure answer to a ranged request is the whole envelope, not a slice of it.
    const auto missing =
        m_server->request("GET", "/api/files/999999/download", m_user, {}, {}, {{"Range", "bytes=10-"}});
    QCOMPARE(missing.status, 404);
    QCOMPARE(missing.message(), QStringLiteral("文件不存在"));
    const qint64 folder = idOf(m_server->postJson("/api/folders", {{"name", "not-a-file"}}, m_user).data());
    QCOMPARE(m_server->get(QStringLiteral("/api/files/%1/download").arg(folder), m_user).status, 400);
}

void TestServerTransfers::packDownloadZipsTheSelection()
{
    const Creds c = m_server->signIn("packer", "13900000025");
    const qint64 docs = idOf(m_server->postJson("/api/folders", {{"name", "文档"}}, c).data());
    const qint64 sub =
        idOf(m_server->postJson("/api/folders", {{"name", "sub"}, {"parent_id", QString::number(docs)}}, c).data());
    QVERIFY(upload(c, "a.txt", "alpha", docs) > 0);
    QVERIFY(upload(c, "b.txt", "beta", sub) > 0);
    const qint64 top = upload(c, "a.txt", "top-level a");
    const qint64 hidden = upload(c, "deleted.txt", "gone", docs);
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(hidden), c).success());
    const qint64 other = upload(c, "a.txt", "second a", sub);

    const auto zip = m_server->postJson(
        "/api/files/pack-download",
        {{"ids", QJsonArray{QString::number(docs), QString::number(top), QString::number(other)}}}, c);
    QCOMPARE(zip.status, 200);
    QCOMPARE(zip.header("Content-Type"), QByteArray("application/zip"));
    QStringList entries = zipEntries(zip.body);
    entries.sort();
    QCOMPARE(entries, (QStringList{"a (1).txt", "a.txt", "文档/", "文档/a.txt", "文档/sub/", "文档/sub/a.txt",
                                   "文档/sub/b.txt"}));

    QCOMPARE(m_server->postJson("/api/files/pack-download", {{"ids", QJsonArray{}}}, c).status, 400);
    QCOMPARE(m_server->postJson("/api/files/pack-download", {{"ids", QJsonArray{QString::number(hidden)}}}, c).status,
             404);
}

void TestServerTransfers::extractUnpacksIntoTheTargetFolder()
{
    const Creds c = m_server->signIn("extractor", "13900000026");
    const QByteArray zip = DemoFiles::zip(
        {{"项目/", {}}, {"项目/说明.txt", "readme"}, {"项目/数据/表.csv", "a,b"}, {"./loose.txt", "loose"}});
    const qint64 archive = upload(c, "包.zip", zip);
    const qint64 target = idOf(m_server->postJson("/api/folders", {{"name", "out"}}, c).data());
    const auto done = m_server->postJson(
        "/api/files/extract", {{"fileId", QString::number(archive)}, {"targetId", QString::number(target)}}, c);
    QVERIFY2(done.success(), qPrintable(done.message()));
    QStringList top = names(QStringLiteral("/api/files?parent_id=%1&").arg(target), c);
    QCOMPARE(top, (QStringList{"项目", "loose.txt"}));
    const auto project = m_server->get(QStringLiteral("/api/files?parent_id=%1&").arg(target), c).dataArray().first();
    QCOMPARE(names(QStringLiteral("/api/files?parent_id=%1&").arg(idOf(project)), c),
             (QStringList{"数据", "说明.txt"}));
    const auto readme = m_server->get("/api/files/search?keyword=%E8%AF%B4%E6%98%8E", c).dataArray().first();
    QCOMPARE(m_server->get(QStringLiteral("/api/files/%1/download").arg(idOf(readme)), c).body, QByteArray("readme"));

    // Extracting again into the root, then again: the second copy's folder gets a suffix.
    QVERIFY(m_server->postJson("/api/files/extract", {{"fileId", QString::number(archive)}}, c).success());
    QVERIFY(m_server->postJson("/api/files/extract", {{"fileId", QString::number(archive)}}, c).success());
    QVERIFY(names("/api/files?", c).contains("项目 (1)"));

    const qint64 text = upload(c, "plain.txt", "not an archive");
    QCOMPARE(m_server->postJson("/api/files/extract", {{"fileId", QString::number(text)}}, c).status, 400);
    const qint64 broken = upload(c, "broken.zip", "PK garbage");
    QCOMPARE(m_server->postJson("/api/files/extract", {{"fileId", QString::number(broken)}}, c).status, 400);
}

void TestServerTransfers::extractRefusesUnsafeEntryNames()
{
    const Creds c = m_server->signIn("slip", "13900000027");
    const qint64 target = idOf(m_server->postJson("/api/folders", {{"name", "target"}}, c).data());
    for (const QString &evil : {QStringLiteral("../evil.txt"), QStringLiteral("ok/../../evil.txt"),
                                QStringLiteral("/etc/evil.txt"), QStringLiteral("C:/evil.txt")}) {
        const QByteArray zip = DemoFiles::zip({{"fine.txt", "fine"}, {evil, "evil"}});
        const qint64 archive = upload(c, "slip.zip", zip);
        const auto refused = m_server->postJson(
            "/api/files/extract", {{"fileId", QString::number(archive)}, {"targetId", QString::number(target)}}, c);
        QCOMPARE(refused.status, 400);
        QVERIFY2(refused.message().contains(evil), qPrintable(refused.message()));
        QVERIFY(names(QStringLiteral("/api/files?parent_id=%1&").arg(target), c).isEmpty()); // not even fine.txt
    }
    QVERIFY(names("/api/files/search?keyword=evil", c).isEmpty());
}

void TestServerTransfers::restartKeepsFilesAndDropsLeftovers()
{
    ReferenceServer::Options options;
    options.chunkSize = Chunk;
    QTemporaryDir dir;
    options.dataDir = dir.path();
    QString token;
    qint64 id = 0;
    {
        ReferenceServer first(options);
        QVERIFY(first.start());
        const Creds c = first.signIn("persist", "13900000028");
        QList<ReferenceServer::Part> parts{{"files", "kept.txt", "text/plain", "kept"}};
        id = idOf(first.multipart("/api/files/upload", parts, c).dataArray().first());
        token = c.token;
        QCOMPARE(first.stop(), 0); // SIGTERM ends it cleanly
    }
    QFile leftover(dir.path() + "/tmp/blob-crashed");
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    leftover.write("half a file");
    leftover.close();
    QFile orphan(dir.path() + "/blobs/ff/" + QString(64, 'f'));
    QVERIFY(QDir().mkpath(dir.path() + "/blobs/ff") && orphan.open(QIODevice::WriteOnly));
    orphan.close();

    ReferenceServer second(options);
    QVERIFY(second.start());
    const Creds again{"1", token, {}};
    QCOMPARE(second.get(QStringLiteral("/api/files/%1/download").arg(id), again).body, QByteArray("kept"));
    QVERIFY(!QFile::exists(leftover.fileName()));
    QVERIFY(!QFile::exists(orphan.fileName()));
}

void TestServerTransfers::chunkedUploadResumesAcrossARestart()
{
    ReferenceServer::Options options;
    options.chunkSize = Chunk;
    QTemporaryDir dir;
    options.dataDir = dir.path();
    const QByteArray content = randomBytes(int(Chunk * 5 + 77));
    Creds c;
    QString uploadId;
    {
        ReferenceServer first(options);
        QVERIFY(first.start());
        c = first.signIn("restarter", "13900000030");
        const auto opened = first.postJson(
            "/api/upload/init", {{"name", "resume.bin"}, {"size", content.size()}, {"md5", md5(content)}}, c);
        uploadId = opened.dataObject().value("uploadId").toString();
        for (int i : {4, 0, 1})
            QVERIFY(first
                        .request("PUT", QStringLiteral("/api/upload/chunk/%1/%2").arg(uploadId).arg(i), c,
                                 content.mid(i * Chunk, Chunk), "application/octet-stream")
                        .success());
        // A crash: nothing is shut down in order.
        QCOMPARE(::kill(pid_t(first.processId()), SIGKILL), 0);
        first.stop();
    }
    ReferenceServer second(options);
    QVERIFY(second.start());
    const auto resumed = second.postJson("/api/upload/init",
                                         {{"name", "resume.bin"}, {"size", content.size()}, {"md5", md5(content)}}, c);
    QCOMPARE(resumed.dataObject().value("uploadId").toString(), uploadId);
    QCOMPARE(resumed.dataObject().value("uploadedChunks").toArray(), (QJsonArray{0, 1, 4}));
    for (int i : {2, 3, 5})
        QVERIFY(second
                    .request("PUT", QStringLiteral("/api/upload/chunk/%1/%2").arg(uploadId).arg(i), c,
                             content.mid(i * Chunk, Chunk), "application/octet-stream")
                    .success());
    const auto merged = second.postJson("/api/upload/merge", {{"uploadId", uploadId}}, c);
    QVERIFY2(merged.success(), qPrintable(merged.message()));
    QCOMPARE(merged.dataObject().value("md5").toString(), md5(content));
    QCOMPARE(second.get(QStringLiteral("/api/files/%1/download").arg(idOf(merged.data())), c).body, content);
}

void TestServerTransfers::chunkFilesOfTheEarlierLayoutAreTakenOver()
{
    ReferenceServer::Options options;
    options.chunkSize = Chunk;
    QTemporaryDir dir;
    options.dataDir = dir.path();
    const QByteArray content = randomBytes(int(Chunk * 2 + 5));
    Creds c;
    QString uploadId;
    {
        ReferenceServer first(options);
        QVERIFY(first.start());
        c = first.signIn("layout", "13900000031");
        uploadId =
            first
                .postJson("/api/upload/init", {{"name", "old.bin"}, {"size", content.size()}, {"md5", md5(content)}}, c)
                .dataObject()
                .value("uploadId")
                .toString();
        QCOMPARE(first.stop(), 0);
    }
    // Chunks held the way an earlier server kept them: one file per chunk, named by its index.
    for (int i : {0, 2}) {
        QFile chunk(dir.path() + QStringLiteral("/uploads/%1/%2").arg(uploadId).arg(i));
        QVERIFY(chunk.open(QIODevice::WriteOnly));
        chunk.write(content.mid(i * Chunk, Chunk));
    }
    ReferenceServer second(options);
    QVERIFY(second.start());
    const auto resumed =
        second.postJson("/api/upload/init", {{"name", "old.bin"}, {"size", content.size()}, {"md5", md5(content)}}, c);
    QCOMPARE(resumed.dataObject().value("uploadedChunks").toArray(), (QJsonArray{0, 2}));
    QVERIFY(second
                .request("PUT", QStringLiteral("/api/upload/chunk/%1/1").arg(uploadId), c, content.mid(Chunk, Chunk),
                         "application/octet-stream")
                .success());
    const auto merged = second.postJson("/api/upload/merge", {{"uploadId", uploadId}}, c);
    QVERIFY2(merged.success(), qPrintable(merged.message()));
    QCOMPARE(second.get(QStringLiteral("/api/files/%1/download").arg(idOf(merged.data())), c).body, content);
}

void TestServerTransfers::rangeOfAnotherUnitIsIgnored()
{
    const QByteArray content = randomBytes(4000);
    const qint64 id = upload(m_user, "units.bin", content);
    const QString path = QStringLiteral("/api/files/%1/download").arg(id);
    for (const QByteArray &range : {QByteArray("items=0-1"), QByteArray("bytes=0-1,5-9"), QByteArray("pages=9999-")}) {
        const auto reply = m_server->request("GET", path, m_user, {}, {}, {{"Range", range}});
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.body, content);
        QVERIFY(reply.header("Content-Range").isEmpty());
    }
    // The unit's name is not case-sensitive.
    QCOMPARE(m_server->request("GET", path, m_user, {}, {}, {{"Range", "BYTES=0-9"}}).status, 206);
}

QTEST_GUILESS_MAIN(TestServerTransfers)
#include "tst_server_transfers.moc"
