// TransferManager against the scripted server: the queue's order and limit, pause and continue of
// chunked uploads (no chunk the server held is sent again) and downloads (Range and If-Range from
// the side file), cancel, the connection watch, and the store that brings jobs back after a restart.
#include "eventwait.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "testsettings.h"
#include "transfer/downloader.h"
#include "transfer/transfermanager.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>

namespace {
using State = TransferTask::State;
constexpr qint64 Chunk = 64 * 1024;
const QByteArray Etag = "\"v1\"";

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(generator.generate() & 0xff);
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The server side of chunked uploads: it keeps the chunks it was sent and reports them as held
// when the same upload is started again, like the real service.
struct UploadScript
{
    QString uploadId = QStringLiteral("U1");
    QSet<int> held;
    QList<int> puts;
    QStringList initMd5s;
    QStringList abandoned;
    int merges = 0;
    int chunkDelayMs = 40;

    void install(ScriptedServer &server)
    {
        server.on("POST", QStringLiteral("/api/upload/init"), [this](const RecordedRequest &request) {
            const QString md5 = request.json().value(QStringLiteral("md5")).toString();
            if (!initMd5s.isEmpty() && initMd5s.constLast() != md5) {
                uploadId = QStringLiteral("U%1").arg(initMd5s.size() + 1); // other content, other session
                held.clear();
            }
            initMd5s.append(md5);
            QJsonArray chunks;
            for (int index : std::as_const(held))
                chunks.append(index);
            return ScriptedReply::success(QJsonObject{
                {"instant", false}, {"uploadId", uploadId}, {"chunkSize", Chunk}, {"uploadedChunks", chunks}});
        });
        server.on("PUT", QStringLiteral("/api/upload/chunk/*"), [this](const RecordedRequest &request) {
            const int index = request.path().split('/').constLast().toInt();
            puts.append(index);
            held.insert(index);
            return ScriptedReply::success().withDelay(chunkDelayMs);
        });
        server.on("POST", QStringLiteral("/api/upload/merge"), [this](const RecordedRequest &) {
            ++merges;
            return ScriptedReply::success(QJsonObject{{"id", "f-1"}, {"name", "big.bin"}});
        });
        server.on("DELETE", QStringLiteral("/api/upload/*"), [this](const RecordedRequest &request) {
            abandoned.append(QString::fromUtf8(request.path().split('/').constLast()));
            return ScriptedReply::success();
        });
    }
};

// Content served with Range, an ETag and slowly enough to be paused part-way.
ScriptedServer::Handler slowContent(const QByteArray &content)
{
    return [content](const RecordedRequest &request) {
        return rangedContent(content, request).withHeader("ETag", Etag).trickle(8192, 4);
    };
}
} // namespace

class TestTransferManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void queueRunsThreeAtOnceInOrder();
    void pausedUploadNeverResendsAHeldChunk();
    void pausedDownloadContinuesFromItsSideFile();
    void multipartAndArchiveAreAskedForAgain();
    void cancelLeavesNoSideFileAndNoSession();
    void connectionWatchPausesAndContinues();
    void networkFailureFailsWithoutAWatch();
    void restartBringsJobsBackPausedAndContinuesThem();
    void changedSourceIsHashedAgainInANewSession();
    void sameTargetContinuesTheJobThatHasIt();
    void sameUploadContinuesTheJobThatHasPartOfIt();

private:
    TransferTask *waitForState(TransferTask *task, State state, int timeoutMs = 10000);

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_root;
    QString m_dir;
    ScriptedServer m_server;
    std::unique_ptr<TransferManager> m_manager;
};

void TestTransferManager::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    Session::instance()->userId = QStringLiteral("7");
    Session::instance()->token = QStringLiteral("secret-login-token");
}

void TestTransferManager::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    m_dir = m_root.filePath(QString::fromLatin1(QTest::currentTestFunction()));
    QVERIFY(QDir().mkpath(m_dir));
    m_manager = std::make_unique<TransferManager>();
}

void TestTransferManager::cleanup()
{
    m_manager.reset();
    m_server.releaseHeld();
}

TransferTask *TestTransferManager::waitForState(TransferTask *task, State state, int timeoutMs)
{
    if (!task || !waitUntil([&] { return task->state() == state && !task->isBusy(); }, timeoutMs))
        return nullptr;
    return task;
}

void TestTransferManager::queueRunsThreeAtOnceInOrder()
{
    for (int i = 0; i < 5; ++i)
        m_server.on("GET", QStringLiteral("/q/%1").arg(i),
                    ScriptedReply::text(200, QByteArray(100, char('a' + i))).heldUntilReleased());
    QList<TransferTask *> tasks;
    for (int i = 0; i < 5; ++i)
        tasks << m_manager->addDownload(QStringLiteral("/q/%1").arg(i), m_dir, QStringLiteral("q%1.txt").arg(i));

    QVERIFY(m_server.waitForRequests(3));
    QCOMPARE(m_manager->runningCount(), 3);
    QStringList texts;
    for (const TransferTask *task : std::as_const(tasks))
        texts << task->stateText();
    QCOMPARE(texts, QStringList({"下载中", "下载中", "下载中", "排队中", "排队中"}));
    QList<QByteArray> paths;
    for (const RecordedRequest &request : m_server.requests())
        paths << request.path();
    QCOMPARE(paths, QList<QByteArray>({"/q/0", "/q/1", "/q/2"}));

    // One ends: the next in line, not any other, takes its place.
    m_server.releaseHeld(1);
    QVERIFY(waitForState(tasks.at(0), State::Finished));
    QVERIFY(m_server.waitForRequests(4));
    QCOMPARE(m_server.requests().constLast().path(), QByteArray("/q/3"));
    QCOMPARE(tasks.at(4)->state(), State::Queued);
    QCOMPARE(m_manager->runningCount(), 3);

    // A fourth slot lets the last one start at once.
    m_manager->setMaxRunning(4);
    QVERIFY(m_server.waitForRequests(5));
    QCOMPARE(m_server.requests().constLast().path(), QByteArray("/q/4"));
    m_server.releaseHeld();
    for (int i = 0; i < 5; ++i) {
        QVERIFY(waitForState(tasks.at(i), State::Finished));
        QCOMPARE(readAll(QDir(m_dir).filePath(QStringLiteral("q%1.txt").arg(i))), QByteArray(100, char('a' + i)));
    }
    QCOMPARE(m_manager->runningCount(), 0);
    QCOMPARE(tasks.at(2)->stateText(), QStringLiteral("已完成"));
    m_manager->clearFinished();
    QVERIFY(m_manager->tasks().isEmpty());
}

void TestTransferManager::pausedUploadNeverResendsAHeldChunk()
{
    UploadScript script;
    script.install(m_server);
    const QByteArray content = randomBytes(20 * Chunk + 999, 1);
    const QString source = QDir(m_dir).filePath(QStringLiteral("big.bin"));
    QVERIFY(writeFile(source, content));

    TransferTask *task = m_manager->addUpload(source, QStringLiteral("p-1"));
    QVERIFY(waitUntil([&] { return script.puts.size() >= 5; }));
    m_manager->pause(task);
    QCOMPARE(task->stateText(), QStringLiteral("已暂停"));
    // The chunks already on their way still arrive; nothing more is started.
    QVERIFY(waitForState(task, State::Paused));
    const int sentBeforePause = int(script.puts.size());
    QVERIFY(sentBeforePause < 21);
    QCOMPARE(script.held.size(), sentBeforePause);
    QCoreApplication::processEvents();
    QCOMPARE(script.puts.size(), sentBeforePause);
    QCOMPARE(task->doneBytes(), qint64(sentBeforePause) * Chunk);

    m_manager->resume(task);
    QVERIFY(waitForState(task, State::Finished));
    QList<int> sorted = script.puts;
    std::sort(sorted.begin(), sorted.end());
    QList<int> expected(21);
    std::iota(expected.begin(), expected.end(), 0);
    QCOMPARE(sorted, expected); // every chunk exactly once
    QCOMPARE(script.initMd5s.size(), 2);
    QCOMPARE(script.initMd5s.at(1), script.initMd5s.at(0)); // unchanged: not hashed again
    QCOMPARE(script.merges, 1);
    QCOMPARE(task->fileRecord().value("id").toString(), QStringLiteral("f-1"));
}

void TestTransferManager::pausedDownloadContinuesFromItsSideFile()
{
    const QByteArray content = randomBytes(512 * 1024, 2);
    m_server.on("GET", QStringLiteral("/dl/a"), slowContent(content));
    TransferTask *task = m_manager->addDownload(QStringLiteral("/dl/a"), m_dir, QStringLiteral("a.bin"));
    QVERIFY(waitUntil([&] { return task->doneBytes() >= 100 * 1024; }));
    m_manager->pause(task);
    QVERIFY(waitForState(task, State::Paused));

    const QString target = QDir(m_dir).filePath(QStringLiteral("a.bin"));
    const qint64 kept = QFileInfo(target + ".part").size();
    QVERIFY(kept >= 100 * 1024);
    QVERIFY(kept < content.size());
    QCOMPARE(readAll(target + ".part"), content.left(kept));
    QVERIFY(QFile::exists(Downloader::metaPathFor(target + ".part")));
    QVERIFY(!QFile::exists(target)); // nothing half-done under the final name

    m_manager->resume(task);
    QVERIFY(waitForState(task, State::Finished));
    QCOMPARE(readAll(target), content);
    const RecordedRequest again = m_server.requests().constLast();
    QCOMPARE(again.header("Range"), "bytes=" + QByteArray::number(kept) + '-');
    QCOMPARE(again.header("If-Range"), Etag);
    QVERIFY(!QFile::exists(target + ".part"));
    QCOMPARE(task->finalPath(), target);
    QVERIFY(task->canOpenFolder());
}

void TestTransferManager::multipartAndArchiveAreAskedForAgain()
{
    const QString small = QDir(m_dir).filePath(QStringLiteral("s.txt"));
    QVERIFY(writeFile(small, "small"));
    m_server.onSequence("POST", QStringLiteral("/api/files/upload"),
                        {ScriptedReply::success().heldUntilReleased(), ScriptedReply::success()});
    TransferTask *form = m_manager->addFormUpload({small}, QString());
    QSignalSpy answers(form, &TransferTask::sigResponse);
    QTRY_COMPARE(m_server.heldCount(), 1);
    m_manager->pause(form);
    QVERIFY(waitForState(form, State::Paused));
    m_manager->resume(form);
    QVERIFY(waitForState(form, State::Finished));
    QCOMPARE(m_server.requests("POST", QStringLiteral("/api/files/upload")).size(), 2);
    QCOMPARE(answers.size(), 1); // the aborted request is nobody's answer

    const QByteArray archive = randomBytes(300 * 1024, 3);
    m_server.on("POST", QStringLiteral("/api/files/pack-download"),
                ScriptedReply::text(200, archive, "application/zip").trickle(8192, 4));
    const QString savePath = QDir(m_dir).filePath(QStringLiteral("pack.zip"));
    TransferTask *pack = m_manager->addPackDownload({"1", "2"}, savePath);
    QVERIFY(waitUntil([&] { return pack->doneBytes() > 50 * 1024; }));
    m_manager->pause(pack);
    QVERIFY(waitForState(pack, State::Paused));
    QVERIFY(!QFile::exists(savePath));
    QVERIFY(!QFile::exists(savePath + ".part"));
    m_manager->resume(pack);
    QVERIFY(waitForState(pack, State::Finished));
    QCOMPARE(readAll(savePath), archive);
}

void TestTransferManager::cancelLeavesNoSideFileAndNoSession()
{
    const QByteArray content = randomBytes(512 * 1024, 4);
    m_server.on("GET", QStringLiteral("/dl/c"), slowContent(content));
    const QString target = QDir(m_dir).filePath(QStringLiteral("c.bin"));

    // Paused, then cancelled.
    TransferTask *paused = m_manager->addDownload(QStringLiteral("/dl/c"), m_dir, QStringLiteral("c.bin"));
    QVERIFY(waitUntil([&] { return paused->doneBytes() > 64 * 1024; }));
    m_manager->pause(paused);
    QVERIFY(waitForState(paused, State::Paused));
    QVERIFY(QFile::exists(target + ".part"));
    m_manager->cancel(paused);
    QVERIFY(m_manager->tasks().isEmpty());
    QVERIFY(!QFile::exists(target + ".part"));
    QVERIFY(!QFile::exists(Downloader::metaPathFor(target + ".part")));

    // Cancelled while running.
    TransferTask *running = m_manager->addDownload(QStringLiteral("/dl/c"), m_dir, QStringLiteral("c.bin"));
    QVERIFY(waitUntil([&] { return running->doneBytes() > 64 * 1024; }));
    m_manager->cancel(running);
    QVERIFY(!QFile::exists(target + ".part"));
    QVERIFY(!QFile::exists(Downloader::metaPathFor(target + ".part")));
    QVERIFY(!QFile::exists(target));
    QVERIFY(!m_manager->isTargetBusy(target));

    // An upload with a session: the server is told to drop it.
    UploadScript script;
    script.install(m_server);
    const QString source = QDir(m_dir).filePath(QStringLiteral("up.bin"));
    QVERIFY(writeFile(source, randomBytes(10 * Chunk, 5)));
    TransferTask *upload = m_manager->addUpload(source, QString());
    QVERIFY(waitUntil([&] { return script.puts.size() >= 2; }));
    m_manager->cancel(upload);
    QVERIFY(waitUntil([&] { return script.abandoned == QStringList{QStringLiteral("U1")}; }));
    QVERIFY(m_manager->tasks().isEmpty());
    QCOMPARE(script.merges, 0);
}

void TestTransferManager::connectionWatchPausesAndContinues()
{
    m_manager->setServerReachable(true);
    QSignalSpy checks(m_manager.get(), &TransferManager::reachabilityCheckRequested);
    const QByteArray content = randomBytes(400 * 1024, 6);
    m_server.on("GET", QStringLiteral("/dl/w"), slowContent(content));
    TransferTask *task = m_manager->addDownload(QStringLiteral("/dl/w"), m_dir, QStringLiteral("w.bin"));
    QVERIFY(waitUntil([&] { return task->doneBytes() > 64 * 1024; }));

    m_manager->setServerReachable(false);
    QVERIFY(waitForState(task, State::Paused));
    QVERIFY(task->isAutoPaused());
    // New jobs wait while the server is away.
    m_server.on("GET", QStringLiteral("/dl/w2"), ScriptedReply::text(200, "second"));
    TransferTask *later = m_manager->addDownload(QStringLiteral("/dl/w2"), m_dir, QStringLiteral("w2.txt"));
    QCoreApplication::processEvents();
    QCOMPARE(later->state(), State::Queued);
    // A job the user paused stays paused when the server comes back.
    m_server.on("GET", QStringLiteral("/dl/w3"), ScriptedReply::text(200, "third").heldUntilReleased());
    TransferTask *userPaused = m_manager->addDownload(QStringLiteral("/dl/w3"), m_dir, QStringLiteral("w3.txt"));
    m_manager->pause(userPaused);

    m_manager->setServerReachable(true);
    QVERIFY(waitForState(task, State::Finished));
    QVERIFY(waitForState(later, State::Finished));
    QCOMPARE(readAll(QDir(m_dir).filePath(QStringLiteral("w.bin"))), content);
    QCOMPARE(userPaused->state(), State::Paused);
    QCOMPARE(checks.size(), 0);

    // A request that finds no server pauses the job and asks for a check instead of failing it.
    m_server.on("GET", QStringLiteral("/dl/gone"), ScriptedReply::dropped());
    TransferTask *lost = m_manager->addDownload(QStringLiteral("/dl/gone"), m_dir, QStringLiteral("g.bin"));
    QVERIFY(waitForState(lost, State::Paused));
    QVERIFY(lost->isAutoPaused());
    QCOMPARE(lost->stateText(), QStringLiteral("等待网络"));
    QCOMPARE(checks.size(), 1);
    m_server.on("GET", QStringLiteral("/dl/gone"), ScriptedReply::text(200, "back"));
    m_manager->setServerReachable(true);
    QVERIFY(waitForState(lost, State::Finished));
    QCOMPARE(readAll(QDir(m_dir).filePath(QStringLiteral("g.bin"))), QByteArray("back"));
}

void TestTransferManager::networkFailureFailsWithoutAWatch()
{
    m_server.on("GET", QStringLiteral("/dl/gone"), ScriptedReply::dropped());
    TransferTask *task = m_manager->addDownload(QStringLiteral("/dl/gone"), m_dir, QStringLiteral("g.bin"));
    QSignalSpy failed(task, &TransferTask::sigFailed);
    QVERIFY(waitForState(task, State::Failed));
    QCOMPARE(failed.size(), 1);
    QVERIFY(task->stateText().startsWith(QStringLiteral("失败：")));
    QVERIFY(task->stateText().size() > 3);

    // With a watch, three failures in a row without a byte moved still end in a failure.
    m_manager->setServerReachable(true);
    m_manager->retry(task);
    for (int round = 0; round < TransferTask::MaxNetworkRetries; ++round) {
        QVERIFY(waitForState(task, State::Paused));
        m_manager->setServerReachable(true);
    }
    QVERIFY(waitForState(task, State::Failed));
    QCOMPARE(failed.size(), 2);
}

void TestTransferManager::restartBringsJobsBackPausedAndContinuesThem()
{
    QTemporaryDir store;
    UploadScript script;
    script.install(m_server);
    const QByteArray upContent = randomBytes(12 * Chunk + 5, 7);
    const QString source = QDir(m_dir).filePath(QStringLiteral("up.bin"));
    QVERIFY(writeFile(source, upContent));
    const QByteArray downContent = randomBytes(512 * 1024, 8);
    m_server.on("GET", QStringLiteral("/dl/r"), slowContent(downContent));

    QVERIFY(m_manager->openStore(store.path(), QStringLiteral("7")));
    QVERIFY(m_manager->addUpload(source, QStringLiteral("p-9")));
    TransferTask *download = m_manager->addDownload(QStringLiteral("/dl/r"), m_dir, QStringLiteral("r.bin"));
    QVERIFY(waitUntil([&] { return script.puts.size() >= 3 && download->doneBytes() > 64 * 1024; }));
    const int sentBefore = int(script.puts.size());
    // The client ends while both run.
    m_manager.reset();
    const QByteArray stored = readAll(store.filePath(QDir(store.path()).entryList(QDir::Files).value(0)));
    QVERIFY(stored.contains("up.bin"));
    QVERIFY(!stored.contains("secret-login-token"));
    QVERIFY(!stored.contains(m_server.baseUrl().toUtf8()));

    // Another user of the same computer sees none of them.
    m_manager = std::make_unique<TransferManager>();
    QVERIFY(m_manager->openStore(store.path(), QStringLiteral("8")));
    QVERIFY(m_manager->tasks().isEmpty());
    m_manager->closeStore();

    QSignalSpy waiting(m_manager.get(), &TransferManager::waitingCountChanged);
    QVERIFY(m_manager->openStore(store.path(), QStringLiteral("7")));
    QCOMPARE(m_manager->tasks().size(), 2);
    // They say why they stand still, and that they wait, unlike jobs the user paused.
    for (TransferTask *task : m_manager->tasks()) {
        QCOMPARE(task->state(), State::Paused);
        QCOMPARE(task->stateText(), QStringLiteral("上次未完成"));
    }
    QCOMPARE(m_manager->waitingCount(), 2);
    QCOMPARE(waiting.size(), 1);
    QCOMPARE(waiting.first().first().toInt(), 2);
    TransferTask *upAgain = m_manager->tasks().at(0);
    TransferTask *downAgain = m_manager->tasks().at(1);
    QCOMPARE(upAgain->name(), QStringLiteral("up.bin"));
    QCOMPARE(downAgain->name(), QStringLiteral("r.bin"));
    const qint64 kept = QFileInfo(QDir(m_dir).filePath(QStringLiteral("r.bin.part"))).size();
    QVERIFY(kept > 0);
    QCOMPARE(downAgain->doneBytes(), kept);

    QSignalSpy phases(upAgain, &TransferTask::sigUploadProgress);
    m_manager->resume(upAgain);
    m_manager->resume(downAgain);
    QCOMPARE(m_manager->waitingCount(), 0);
    QVERIFY(waitForState(upAgain, State::Finished));
    QVERIFY(waitForState(downAgain, State::Finished));
    QCOMPARE(readAll(QDir(m_dir).filePath(QStringLiteral("r.bin"))), downContent);
    QCOMPARE(m_server.requests("GET", QStringLiteral("/dl/r")).constLast().header("Range"),
             "bytes=" + QByteArray::number(kept) + '-');
    QList<int> sorted = script.puts;
    std::sort(sorted.begin(), sorted.end());
    QVERIFY(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()); // none sent twice
    QCOMPARE(sorted.size(), 13);
    QVERIFY(sentBefore < 13);
    QCOMPARE(script.initMd5s.size(), 2);
    QCOMPARE(script.initMd5s.at(1), script.initMd5s.at(0));
    for (const QList<QVariant> &progress : phases)
        QVERIFY(progress.at(1).toString() != QStringLiteral("计算校验值")); // the kept digest was used
    QCOMPARE(script.initMd5s.at(0),
             QString::fromLatin1(QCryptographicHash::hash(upContent, QCryptographicHash::Md5).toHex()));

    // Finished jobs are not kept.
    m_manager.reset();
    m_manager = std::make_unique<TransferManager>();
    QVERIFY(m_manager->openStore(store.path(), QStringLiteral("7")));
    QVERIFY(m_manager->tasks().isEmpty());
}

void TestTransferManager::changedSourceIsHashedAgainInANewSession()
{
    QTemporaryDir store;
    UploadScript script;
    script.install(m_server);
    const QString source = QDir(m_dir).filePath(QStringLiteral("doc.bin"));
    QVERIFY(writeFile(source, randomBytes(10 * Chunk, 9)));
    QVERIFY(m_manager->openStore(store.path(), QStringLiteral("7")));
    TransferTask *task = m_manager->addUpload(source, QString());
    QVERIFY(waitUntil([&] { return script.puts.size() >= 2; }));
    m_manager->pause(task);
    QVERIFY(waitForState(task, State::Paused));
    m_manager.reset();

    // Edited meanwhile: same size, other bytes, a later modification time.
    const QByteArray edited = randomBytes(10 * Chunk, 10);
    QVERIFY(writeFile(source, edited));
    QFile file(source);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
    file.close();

    m_manager = std::make_unique<TransferManager>();
    QVERIFY(m_manager->openStore(store.path(), QStringLiteral("7")));
    TransferTask *again = m_manager->tasks().value(0);
    QVERIFY(again);
    QSignalSpy phases(again, &TransferTask::sigUploadProgress);
    script.puts.clear();
    m_manager->resume(again);
    QVERIFY(waitForState(again, State::Finished));
    QVERIFY(std::any_of(phases.cbegin(), phases.cend(),
                        [](const QList<QVariant> &p) { return p.at(1).toString() == QStringLiteral("计算校验值"); }));
    QCOMPARE(script.initMd5s.size(), 2);
    QCOMPARE(script.initMd5s.at(1),
             QString::fromLatin1(QCryptographicHash::hash(edited, QCryptographicHash::Md5).toHex()));
    QCOMPARE(script.puts.size(), 10); // every chunk of the new content
    QCOMPARE(script.abandoned, QStringList{QStringLiteral("U1")});
}

void TestTransferManager::sameTargetContinuesTheJobThatHasIt()
{
    const QByteArray content = randomBytes(300 * 1024, 11);
    m_server.on("GET", QStringLiteral("/dl/s"), slowContent(content));
    TransferTask *task = m_manager->addDownload(QStringLiteral("/dl/s"), m_dir, QStringLiteral("s.bin"));
    const QString target = QDir(m_dir).filePath(QStringLiteral("s.bin"));
    QVERIFY(m_manager->isTargetBusy(target));
    QCOMPARE(m_manager->addDownload(QStringLiteral("/dl/s"), m_dir, QStringLiteral("s.bin")), nullptr);
    QVERIFY(waitUntil([&] { return task->doneBytes() > 32 * 1024; }));
    m_manager->pause(task);
    QVERIFY(waitForState(task, State::Paused));
    QVERIFY(!m_manager->isTargetBusy(target));
    QCOMPARE(m_manager->freeName(m_dir, QStringLiteral("s.bin")), QStringLiteral("s (2).bin"));

    // Downloading the same file again continues the paused job rather than starting a second one.
    QCOMPARE(m_manager->addDownload(QStringLiteral("/dl/s"), m_dir, QStringLiteral("s.bin")), task);
    QCOMPARE(m_manager->tasks().size(), 1);
    QVERIFY(waitForState(task, State::Finished));
    QCOMPARE(readAll(target), content);
}

void TestTransferManager::sameUploadContinuesTheJobThatHasPartOfIt()
{
    UploadScript script;
    script.install(m_server);
    const QString source = QDir(m_dir).filePath(QStringLiteral("again.bin"));
    QVERIFY(writeFile(source, randomBytes(12 * Chunk, 12)));
    TransferTask *task = m_manager->addUpload(source, QStringLiteral("p-4"));
    QVERIFY(waitUntil([&] { return script.puts.size() >= 3; }));
    m_manager->pause(task);
    QVERIFY(waitForState(task, State::Paused));

    // The same file into the same folder again: the paused job goes on, no second one is listed.
    QCOMPARE(m_manager->addUpload(source, QStringLiteral("p-4")), task);
    QCOMPARE(m_manager->tasks().size(), 1);
    QVERIFY(waitForState(task, State::Finished));
    QList<int> sorted = script.puts;
    std::sort(sorted.begin(), sorted.end());
    QVERIFY(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()); // none sent twice
    QCOMPARE(sorted.size(), 12);
    QCOMPARE(script.merges, 1);

    // Finished, or into another folder, it is a new upload.
    TransferTask *other = m_manager->addUpload(source, QStringLiteral("p-5"));
    QVERIFY(other != task);
    QVERIFY(m_manager->addUpload(source, QStringLiteral("p-4")) != task);
    QCOMPARE(m_manager->tasks().size(), 3);
}

QTEST_GUILESS_MAIN(TestTransferManager)
#include "tst_transfermanager.moc"
