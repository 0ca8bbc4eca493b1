// Uploader against the scripted server: hashing, instant upload, held chunks, parallelism,
// chunk sizes, retries, the final failure and late replies, merge.
#include "eventwait.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "testsettings.h"
#include "transfer/transferapi.h"
#include "transfer/uploader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString Init = QStringLiteral("/api/upload/init");
const QString Merge = QStringLiteral("/api/upload/merge");
const QString Chunks = QStringLiteral("/api/upload/chunk/*");
// The smallest chunk size the client accepts from a server; small test files still make several chunks.
constexpr int Chunk = 64 * 1024;

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(generator.generate() & 0xff);
    return bytes;
}

// Records what one Uploader reports.
struct Watch
{
    explicit Watch(Uploader *uploader)
        : job(uploader)
    {
        QObject::connect(uploader, &Uploader::sigProgress, &context, [this](int percent, const QString &phase) {
            progress.append({percent, phase});
        });
        QObject::connect(uploader, &Uploader::sigDone, &context, [this](const QJsonObject &record) {
            done = record;
            ++doneCount;
        });
        QObject::connect(uploader, &Uploader::sigFailed, &context, [this](const QString &err) { errors << err; });
    }
    bool finished() const { return doneCount > 0 || !errors.isEmpty(); }
    QStringList phases() const
    {
        QStringList texts;
        for (const auto &[percent, phase] : progress)
            texts << QStringLiteral("%1 %2").arg(percent).arg(phase);
        return texts;
    }

    QObject context;
    QPointer<Uploader> job;
    QList<std::pair<int, QString>> progress;
    QJsonObject done;
    int doneCount = 0;
    QStringList errors;
};

ScriptedReply initAnswer(const QString &uploadId, const QJsonValue &chunkSize, const QJsonArray &held)
{
    QJsonObject data{{"instant", false}, {"uploadId", uploadId}, {"uploadedChunks", held}};
    if (!chunkSize.isUndefined())
        data.insert("chunkSize", chunkSize);
    return ScriptedReply::success(data);
}

// How many descriptors of this process are open on path (Linux); -1 where that cannot be seen.
int openDescriptors(const QString &path)
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    if (!fds.exists())
        return -1;
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (fd.symLinkTarget() == target)
            ++count;
    }
    return count;
}

int chunkIndex(const RecordedRequest &request)
{
    return request.path().split('/').constLast().toInt();
}
} // namespace

class TestUploader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void thresholdIsEightMebibytes();
    void instantUploadSendsNoChunk();
    void heldChunksAreSkippedAndThreeGoAtOnce();
    void neverMoreThanThreeChunksInFlight();
    void allChunksHeldMergesAtOnce();
    void chunkSizeFallsBackWhenMissingOrZero_data();
    void chunkSizeFallsBackWhenMissingOrZero();
    void chunkSizeOutsideTheBoundsIsRefused_data();
    void chunkSizeOutsideTheBoundsIsRefused();
    void heldIndicesOutsideTheFileAreIgnored();
    void sourceFileIsClosedAtEveryEnd_data();
    void sourceFileIsClosedAtEveryEnd();
    void chunkFailingTwiceIsRetriedAfterGrowingWaits();
    void thirdFailureEndsTheJobWithoutMerge();
    void initAndMergeFailuresReportTheServerText();
    void slowMergeOutlastsTheJsonTimeout();
    void unreadableFileFailsAtStart();
    void chunkRequestCarriesIdAndHeaders();
    void readAheadIsDroppedAtPauseAndAbort_data();
    void readAheadIsDroppedAtPauseAndAbort();

private:
    Uploader *newUploader();
    QString writeFile(const QString &name, const QByteArray &content);

    QTemporaryDir m_dir;
    QTemporaryDir m_settingsDir;
    ScriptedServer m_server;
};

void TestUploader::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
}

void TestUploader::init()
{
    m_server.releaseHeld();
    m_server.clearRoutes();
    m_server.clearRequests();
    m_server.on("POST", Merge, ScriptedReply::success(QJsonObject{{"id", "f-new"}, {"name", "merged"}}));
}

Uploader *TestUploader::newUploader()
{
    auto *uploader = new Uploader(this);
    uploader->setRetryDelayMs(40);
    return uploader;
}

QString TestUploader::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return path;
}

void TestUploader::thresholdIsEightMebibytes()
{
    QVERIFY(Uploader::usesChunkedUpload(8388608));
    QVERIFY(!Uploader::usesChunkedUpload(8388607));
    QVERIFY(!Uploader::usesChunkedUpload(0));
}

void TestUploader::instantUploadSendsNoChunk()
{
    // 20 MiB: three hashing slices of 8, 8 and 4 MiB.
    const QByteArray content = randomBytes(20 * 1024 * 1024);
    const QString path = writeFile(QStringLiteral("季度报告.bin"), content);
    const QJsonObject record{{"id", 41}, {"name", "季度报告.bin"}};
    m_server.on("POST", Init, ScriptedReply::success(QJsonObject{{"instant", true}, {"file", record}}));

    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QStringLiteral("folder-9"));
    QVERIFY(waitUntil([&] { return watch.finished(); }));

    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(watch.done, record);
    QCOMPARE(watch.phases(),
             (QStringList{"3 计算校验值", "6 计算校验值", "8 计算校验值", "8 检查秒传", "100 秒传完成"}));
    QCOMPARE(m_server.requestCount(), 1);
    const QJsonObject body = m_server.requests().constFirst().json();
    QCOMPARE(body.value("name").toString(), QStringLiteral("季度报告.bin"));
    QCOMPARE(body.value("size").toInteger(), qint64(content.size()));
    QCOMPARE(body.value("md5").toString(),
             QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex()));
    QCOMPARE(body.value("parent_id").toString(), QStringLiteral("folder-9"));

    // At the root the parent is null, not an empty text.
    Uploader *rootUploader = newUploader();
    Watch rootWatch(rootUploader);
    rootUploader->start(path, QString());
    QVERIFY(waitUntil([&] { return rootWatch.finished(); }));
    const QJsonObject rootBody = m_server.requests().constLast().json();
    QVERIFY(rootBody.contains("parent_id"));
    QVERIFY(rootBody.value("parent_id").isNull());
}

void TestUploader::heldChunksAreSkippedAndThreeGoAtOnce()
{
    const QByteArray content = randomBytes(4 * Chunk + Chunk / 2); // 5 chunks, the last one half
    const QString path = writeFile(QStringLiteral("five.bin"), content);
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-5"), Chunk, QJsonArray{0, 1}));
    m_server.on("PUT", Chunks, ScriptedReply::success().heldUntilReleased());

    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(waitUntil([&] { return m_server.heldCount() == 3; }));
    QList<int> sent;
    for (const RecordedRequest &request : m_server.requests("PUT", Chunks))
        sent << chunkIndex(request);
    std::sort(sent.begin(), sent.end());
    QCOMPARE(sent, (QList<int>{2, 3, 4}));
    for (const RecordedRequest &request : m_server.requests("PUT", Chunks)) {
        const int index = chunkIndex(request);
        QCOMPARE(request.body, content.mid(index * Chunk, Chunk));
    }
    QVERIFY(!watch.phases().join(',').contains(QStringLiteral("上传中")));

    m_server.releaseHeld();
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors, QStringList());
    const QStringList phases = watch.phases();
    const qsizetype first = phases.indexOf(QStringLiteral("60 上传中 3/5"));
    QVERIFY2(first > 0, qPrintable(phases.join(',')));
    QCOMPARE(phases.mid(first),
             (QStringList{"60 上传中 3/5", "77 上传中 4/5", "95 上传中 5/5", "95 合并文件", "100 上传完成"}));
    QCOMPARE(watch.done.value("id").toString(), QStringLiteral("f-new"));
    QCOMPARE(m_server.requests("POST", Merge).size(), 1);
    QCOMPARE(m_server.requests("POST", Merge).constFirst().json(), (QJsonObject{{"uploadId", "up-5"}}));
    QTRY_VERIFY(watch.job.isNull()); // deletes itself after success
}

void TestUploader::neverMoreThanThreeChunksInFlight()
{
    const QString path = writeFile(QStringLiteral("seven.bin"), randomBytes(7 * Chunk));
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-7"), Chunk, QJsonArray{}));
    m_server.on("PUT", Chunks, ScriptedReply::success().heldUntilReleased());
    int mostHeld = 0;
    QObject scope; // ends the connection with this test
    connect(&m_server, &ScriptedServer::requestReceived, &scope,
            [&] { mostHeld = std::max(mostHeld, m_server.heldCount() + 1); });

    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    // Answer one chunk at a time; each answer lets exactly one more chunk go.
    for (int expected : {3, 3, 3, 3, 3, 2, 1}) {
        QVERIFY(waitUntil([&] { return m_server.heldCount() == expected; }));
        m_server.releaseHeld(1);
    }
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(mostHeld, 3);
    QCOMPARE(m_server.requests("PUT", Chunks).size(), 7);
    QCOMPARE(m_server.requests().constLast().path(), Merge.toUtf8());
}

void TestUploader::allChunksHeldMergesAtOnce()
{
    const QString path = writeFile(QStringLiteral("held.bin"), randomBytes(3 * Chunk));
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-h"), Chunk, QJsonArray{2, 0, 1}));
    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.doneCount, 1);
    QCOMPARE(m_server.requests("PUT", Chunks).size(), 0);
    QCOMPARE(m_server.requestCount(), 2);
    QCOMPARE(m_server.requests().at(1).path(), Merge.toUtf8());
    QVERIFY(watch.phases().endsWith(QStringLiteral("100 上传完成")));
    QVERIFY(watch.phases().contains(QStringLiteral("95 合并文件")));
}

void TestUploader::chunkSizeFallsBackWhenMissingOrZero_data()
{
    QTest::addColumn<QJsonValue>("chunkSize");
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("zero") << QJsonValue(0);
    QTest::newRow("negative") << QJsonValue(-4);
    QTest::newRow("null") << QJsonValue(QJsonValue::Null);
}

void TestUploader::chunkSizeFallsBackWhenMissingOrZero()
{
    QFETCH(QJsonValue, chunkSize);
    const QByteArray content = randomBytes(8388608 + 100);
    const QString path = writeFile(QStringLiteral("big.bin"), content);
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-d"), chunkSize, QJsonArray{}));
    m_server.on("PUT", Chunks, ScriptedReply::success());

    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(waitUntil([&] { return watch.finished(); }, 20000));
    QCOMPARE(watch.errors, QStringList());
    QList<RecordedRequest> chunks = m_server.requests("PUT", Chunks);
    QCOMPARE(chunks.size(), 2);
    std::sort(chunks.begin(), chunks.end(),
              [](const RecordedRequest &a, const RecordedRequest &b) { return chunkIndex(a) < chunkIndex(b); });
    QCOMPARE(chunks.at(0).body.size(), 8388608);
    QVERIFY(chunks.at(0).body == content.left(8388608));
    QCOMPARE(chunks.at(1).body, content.mid(8388608));
}

void TestUploader::chunkSizeOutsideTheBoundsIsRefused_data()
{
    QTest::addColumn<QJsonValue>("chunkSize");
    QTest::newRow("one byte") << QJsonValue(1);
    QTest::newRow("just under 64 KiB") << QJsonValue(Chunk - 1);
    QTest::newRow("just over 1 GiB") << QJsonValue(1024.0 * 1024 * 1024 + 1);
    QTest::newRow("beyond 64 bits") << QJsonValue(1e300);
    QTest::newRow("numeric text") << QJsonValue(QStringLiteral("1"));
}

void TestUploader::chunkSizeOutsideTheBoundsIsRefused()
{
    // A chunk size of 1 byte on a large file would mean millions of requests and an overflowing count.
    QFETCH(QJsonValue, chunkSize);
    const QString path = writeFile(QStringLiteral("bounds.bin"), randomBytes(3 * Chunk));
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-b"), chunkSize, QJsonArray{}));
    m_server.on("PUT", Chunks, ScriptedReply::success());
    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors.size(), 1);
    QVERIFY2(watch.errors.constFirst().startsWith(QStringLiteral("服务器给出的分片大小无效")),
             qPrintable(watch.errors.constFirst()));
    QCOMPARE(m_server.requests("PUT", Chunks).size(), 0);
    QCOMPARE(m_server.requests("POST", Merge).size(), 0);
}

void TestUploader::heldIndicesOutsideTheFileAreIgnored()
{
    // 2^32 would wrap to chunk 0 in a 32-bit index; none of these names a chunk of the file.
    const QByteArray content = randomBytes(2 * Chunk);
    const QString path = writeFile(QStringLiteral("held-odd.bin"), content);
    m_server.on("POST", Init,
                initAnswer(QStringLiteral("up-o"), Chunk, QJsonArray{4294967296.0, -1, 1e300, 2, "x", 4294967297.0}));
    m_server.on("PUT", Chunks, ScriptedReply::success());
    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(m_server.requests("PUT", Chunks).size(), 2);
}

void TestUploader::sourceFileIsClosedAtEveryEnd_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("instant upload") << QStringLiteral("instant");
    QTest::newRow("init fails") << QStringLiteral("init");
    QTest::newRow("chunk size refused") << QStringLiteral("chunk size");
    QTest::newRow("merge fails") << QStringLiteral("merge");
    QTest::newRow("success") << QStringLiteral("success");
}

void TestUploader::sourceFileIsClosedAtEveryEnd()
{
    // A job that ended stays with its page; meanwhile the user must be able to rename or delete the file.
    QFETCH(QString, ending);
    const QString path = writeFile(QStringLiteral("closed-%1.bin").arg(QTest::currentDataTag()).replace(' ', '-'),
                                   randomBytes(2 * Chunk));
    if (openDescriptors(path) < 0)
        QSKIP("open files of the process cannot be listed here");
    m_server.on("PUT", Chunks, ScriptedReply::success());
    if (ending == QLatin1String("instant"))
        m_server.on("POST", Init, ScriptedReply::success(QJsonObject{{"instant", true}, {"file", QJsonObject{}}}));
    else if (ending == QLatin1String("init"))
        m_server.on("POST", Init, ScriptedReply::json(QJsonObject{{"error", "容量不足"}}, 400));
    else if (ending == QLatin1String("chunk size"))
        m_server.on("POST", Init, initAnswer(QStringLiteral("up-c"), 16, QJsonArray{}));
    else
        m_server.on("POST", Init, initAnswer(QStringLiteral("up-c"), Chunk, QJsonArray{}));
    if (ending == QLatin1String("merge"))
        m_server.on("POST", Merge, ScriptedReply::json(QJsonObject{{"error", "校验失败"}}, 409));

    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(openDescriptors(path) >= 1); // held while the job runs
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors.isEmpty(), ending == QLatin1String("instant") || ending == QLatin1String("success"));
    QTRY_COMPARE(openDescriptors(path), 0);
    if (ending != QLatin1String("success"))
        QVERIFY(!watch.job.isNull()); // closed by the job itself, not by its destruction
}

void TestUploader::chunkFailingTwiceIsRetriedAfterGrowingWaits()
{
    const QByteArray content = randomBytes(2 * Chunk);
    const QString path = writeFile(QStringLiteral("retry.bin"), content);
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-r"), Chunk, QJsonArray{}));
    m_server.on("PUT", Chunks, ScriptedReply::success());
    m_server.onSequence("PUT", QStringLiteral("/api/upload/chunk/up-r/0"),
                        {ScriptedReply::json(QJsonObject{{"error", "忙"}}, 503), ScriptedReply::text(500, "内部错误"),
                         ScriptedReply::success()});

    Uploader *uploader = newUploader(); // waits of 40 and 80 ms
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(watch.doneCount, 1);

    const QList<RecordedRequest> attempts = m_server.requests("PUT", QStringLiteral("/api/upload/chunk/up-r/0"));
    QCOMPARE(attempts.size(), 3);
    for (const RecordedRequest &attempt : attempts)
        QCOMPARE(attempt.body, content.left(Chunk));
    QVERIFY(attempts.at(1).receivedMs - attempts.at(0).receivedMs >= 40);
    QVERIFY(attempts.at(2).receivedMs - attempts.at(1).receivedMs >= 80);
    QCOMPARE(m_server.requests("PUT", QStringLiteral("/api/upload/chunk/up-r/1")).size(), 1);
    QCOMPARE(m_server.requests("POST", Merge).size(), 1);
}

void TestUploader::thirdFailureEndsTheJobWithoutMerge()
{
    const QString path = writeFile(QStringLiteral("fail.bin"), randomBytes(3 * Chunk));
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-f"), Chunk, QJsonArray{}));
    // Chunks 1 and 2 stay unanswered until the job has failed.
    m_server.on("PUT", Chunks, ScriptedReply::success().heldUntilReleased());
    m_server.on("PUT", QStringLiteral("/api/upload/chunk/up-f/0"),
                ScriptedReply::json(QJsonObject{{"error", "存储空间不足"}}, 507));

    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors, QStringList{QStringLiteral("存储空间不足")});
    QCOMPARE(m_server.requests("PUT", QStringLiteral("/api/upload/chunk/up-f/0")).size(), 3);
    QTRY_VERIFY(watch.job.isNull()); // the job is gone...

    // ...and with it the connections of the chunks still in flight: nothing can answer into it.
    QTRY_COMPARE(m_server.heldCount(), 0);
    const int progressBefore = int(watch.progress.size());
    m_server.releaseHeld();
    QCoreApplication::processEvents();
    QCOMPARE(watch.progress.size(), progressBefore);
    QCOMPARE(watch.errors.size(), 1);
    QCOMPARE(m_server.requests("POST", Merge).size(), 0);
}

void TestUploader::initAndMergeFailuresReportTheServerText()
{
    const QString path = writeFile(QStringLiteral("small.bin"), randomBytes(1500));
    m_server.on("POST", Init, ScriptedReply::json(QJsonObject{{"success", false}, {"message", "容量不足"}}));
    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors, QStringList{QStringLiteral("容量不足")});
    QVERIFY(!watch.job.isNull()); // stays a child of its page

    m_server.on("POST", Init, initAnswer(QStringLiteral("up-m"), Chunk, QJsonArray{}));
    m_server.on("PUT", Chunks, ScriptedReply::success());
    m_server.on("POST", Merge, ScriptedReply::json(QJsonObject{{"error", "校验失败"}}, 409));
    Uploader *merging = newUploader();
    Watch mergeWatch(merging);
    merging->start(path, QString());
    QVERIFY(waitUntil([&] { return mergeWatch.finished(); }));
    QCOMPARE(mergeWatch.errors, QStringList{QStringLiteral("校验失败")});
    QCOMPARE(mergeWatch.doneCount, 0);
}

void TestUploader::slowMergeOutlastsTheJsonTimeout()
{
    // The server answers the merge only after checking the whole file; that silence is not a time-out.
    HttpClient::instance()->setJsonTimeoutMs(300);
    const QString path = writeFile(QStringLiteral("slow.bin"), randomBytes(1000));
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-s"), Chunk, QJsonArray{0}));
    m_server.on("POST", Merge, ScriptedReply::success(QJsonObject{{"id", "f-slow"}}).withDelay(900));
    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    const bool finished = waitUntil([&] { return watch.finished(); });
    HttpClient::instance()->setJsonTimeoutMs(HttpClient::DefaultJsonTimeoutMs);
    QVERIFY(finished);
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(watch.done.value("id").toString(), QStringLiteral("f-slow"));
}

void TestUploader::unreadableFileFailsAtStart()
{
    for (const QString &path : {m_dir.filePath(QStringLiteral("missing.bin")), m_dir.path()}) {
        Uploader *uploader = newUploader();
        Watch watch(uploader);
        uploader->start(path, QString());
        QVERIFY(waitUntil([&] { return watch.finished(); }));
        QCOMPARE(watch.errors.size(), 1);
        QVERIFY(watch.errors.constFirst().startsWith(QStringLiteral("无法打开文件：")));
        QVERIFY(watch.errors.constFirst().endsWith(QFileInfo(path).fileName()));
    }
    QCOMPARE(m_server.requestCount(), 0);
}

void TestUploader::chunkRequestCarriesIdAndHeaders()
{
    QCOMPARE(Api::uploadChunkPath(QStringLiteral("a b/c?d"), 12), QStringLiteral("/api/upload/chunk/a%20b%2Fc%3Fd/12"));
    const QString path = writeFile(QStringLiteral("one.bin"), randomBytes(10));
    m_server.on("POST", Init, initAnswer(QStringLiteral("id/with space"), Chunk, QJsonArray{}));
    m_server.on("PUT", Chunks, ScriptedReply::success());
    Session::instance()->token = QStringLiteral("tok");
    Uploader *uploader = newUploader();
    Watch watch(uploader);
    uploader->start(path, QString());
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    Session::instance()->token.clear();

    const QList<RecordedRequest> chunks = m_server.requests("PUT", Chunks);
    QCOMPARE(chunks.size(), 1);
    QCOMPARE(chunks.constFirst().target, QByteArray("/api/upload/chunk/id%2Fwith%20space/0"));
    QCOMPARE(chunks.constFirst().header("Content-Type"), QByteArray("application/octet-stream"));
    QCOMPARE(chunks.constFirst().header("X-TVR-Client"), QByteArray("1"));
    QCOMPARE(chunks.constFirst().header("X-Auth-Token"), QByteArray("tok"));
    QCOMPARE(m_server.requests("POST", Merge).constFirst().json().value("uploadId").toString(),
             QStringLiteral("id/with space"));
}

QTEST_GUILESS_MAIN(TestUploader)
void TestUploader::readAheadIsDroppedAtPauseAndAbort_data()
{
    QTest::addColumn<bool>("pausing");
    QTest::newRow("pause") << true;
    QTest::newRow("abort") << false;
}

void TestUploader::readAheadIsDroppedAtPauseAndAbort()
{
    QFETCH(bool, pausing);
    const QByteArray content = randomBytes(8 * Chunk);
    const QString path = writeFile(QStringLiteral("ahead.bin"), content);
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-a"), Chunk, QJsonArray{}));
    m_server.on("PUT", Chunks, ScriptedReply::success().heldUntilReleased());

    Uploader *uploader = newUploader();
    Watch watch(uploader);
    QSignalSpy paused(uploader, &Uploader::sigPaused);
    uploader->start(path, QString());
    // Three chunks on their way and the next two read, waiting for a connection.
    QVERIFY(waitUntil([&] { return m_server.heldCount() == 3 && uploader->chunksAhead() == Uploader::ReadAhead; }));
    if (pausing)
        uploader->pause();
    else
        uploader->abort();
    QCOMPARE(uploader->chunksAhead(), 0); // let go of at once, not when the chunks in flight end
    m_server.releaseHeld();
    if (pausing)
        QVERIFY(paused.wait(15000));
    else
        delete uploader; // an aborted job is its owner's to delete
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(watch.doneCount, 0);
    QList<int> sent;
    for (const RecordedRequest &request : m_server.requests("PUT", Chunks))
        sent << chunkIndex(request);
    std::sort(sent.begin(), sent.end());
    QCOMPARE(sent, (QList<int>{0, 1, 2}));
    QCOMPARE(m_server.requests("POST", Merge).size(), 0);
    if (!pausing)
        return;

    // The chunks that were read ahead are sent by the job that continues.
    m_server.clearRequests();
    m_server.clearRoutes();
    m_server.on("POST", Init, initAnswer(QStringLiteral("up-a"), Chunk, QJsonArray{0, 1, 2}));
    m_server.on("PUT", Chunks, ScriptedReply::success());
    m_server.on("POST", Merge, ScriptedReply::success(QJsonObject{{"id", "f-new"}, {"name", "merged"}}));
    Uploader *next = newUploader();
    Watch nextWatch(next);
    next->start(path, QString());
    QVERIFY(waitUntil([&] { return nextWatch.finished(); }, 15000));
    QCOMPARE(nextWatch.errors, QStringList());
    QMap<int, QByteArray> bodies;
    for (const RecordedRequest &request : m_server.requests("PUT", Chunks))
        bodies.insert(chunkIndex(request), request.body);
    QCOMPARE(bodies.keys(), (QList<int>{3, 4, 5, 6, 7}));
    for (auto it = bodies.cbegin(); it != bodies.cend(); ++it)
        QCOMPARE(it.value(), content.mid(it.key() * Chunk, Chunk));
}

#include "tst_uploader.moc"
