// Downloader against the scripted server: the side file and the note of its origin, resume by
// Range and If-Range, progress figures, 416 both ways, answers that do not fit the side file, a
// server that ignores Range, stalls, one job per target, replacing and locked targets, unsafe names.
#include "eventwait.h"
#include "net/httpclient.h"
#include "net/ratelimiter.h"
#include "scriptedserver.h"
#include "testsettings.h"
#include "transfer/downloader.h"
#include "transfer/downloadregistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QPointer>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString FilePath = QStringLiteral("/api/files/7/download");

struct Progress
{
    qlonglong done;
    qlonglong total;
    qlonglong speed;
    int eta;
};

struct Watch
{
    explicit Watch(Downloader *downloader)
        : job(downloader)
    {
        QObject::connect(downloader, &Downloader::sigProgress, &context,
                         [this](qlonglong done, qlonglong total, qlonglong speed, int eta) {
                             progress.append({done, total, speed, eta});
                         });
        QObject::connect(downloader, &Downloader::sigDone, &context, [this](const QString &path) { donePath = path; });
        QObject::connect(downloader, &Downloader::sigFailed, &context, [this](const QString &err) { errors << err; });
    }
    bool finished() const { return !donePath.isEmpty() || !errors.isEmpty(); }

    QObject context;
    QPointer<Downloader> job;
    QList<Progress> progress;
    QString donePath;
    QStringList errors;
};

QByteArray content(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char('a' + (i * 7 + i / 26) % 26);
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The note a download keeps beside its side file, as the downloader itself writes it.
bool writeNote(const QString &partPath, const QString &source, qint64 size, const QByteArray &etag = {})
{
    QJsonObject note{{"source", source}, {"etag", QString::fromLatin1(etag)}};
    if (size >= 0)
        note.insert("size", double(size));
    return writeAll(Downloader::metaPathFor(partPath), QJsonDocument(note).toJson());
}

// rangedContent with an ETag on every answer.
ScriptedServer::Handler taggedContent(const QByteArray &content, const QByteArray &etag)
{
    return [content, etag](const RecordedRequest &request) {
        return rangedContent(content, request).withHeader("ETag", etag);
    };
}
} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void downloadsThroughTheSideFile();
    void resumesFromPartFileWithRangeHeader();
    void partsAreAskedForOneAfterAnother();
    void shortPartsAreFollowedUpAndShortBodiesNeverFinish();
    void sideFileOfAnotherRemoteFileIsNotContinued_data();
    void sideFileOfAnotherRemoteFileIsNotContinued();
    void changedFileOnTheServerStartsOver();
    void partAtTheWrongOffsetIsNeverWritten();
    void emptyWholeAnswerReplacesTheSideFile();
    void stalledDownloadFailsAndKeepsTheSideFile();
    void pauseUnderTheSpeedLimitWritesNoMore();
    void limitedDownloadMovesInStepsOfTheBurst();
    void stoppedReplyWritesNoMoreOnceFinished();
    void secondJobForTheSameTargetIsRefused();
    void freeNamesSkipFilesSideFilesAndRunningJobs();
    void resumeFalseOverwritesTheSideFile();
    void unknownLengthKeepsTotalZeroAndEtaUnknown();
    void rangeIgnoredByServerReplacesTheSideFile();
    void notSatisfiableWithCompleteSideFileFinishes_data();
    void notSatisfiableWithCompleteSideFileFinishes();
    void notSatisfiableWithoutTotalStartsOverOnce();
    void notSatisfiableWithLargerSideFileStartsOver();
    void notSatisfiableWithoutSideFileFails();
    void httpErrorKeepsTheSideFile();
    void existingTargetIsReplaced();
    void lockedTargetReportsAndKeepsTheData();
    void unsafeNamesStayInsideTheFolder_data();
    void unsafeNamesStayInsideTheFolder();
    void unwritableFolderFails();

private:
    Watch *run(const QString &fileName, bool resume, const QString &path = FilePath);
    // A side file of the first bytes of content, left by a download cut off after them.
    bool interruptedDownload(const QString &fileName, const QByteArray &content, qint64 bytes,
                             const QByteArray &etag = {}, const QString &path = FilePath);

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_root;
    QString m_dir;
    ScriptedServer m_server;
    QList<std::shared_ptr<Watch>> m_watches;
};

void TestDownloader::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
}

void TestDownloader::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    // A fresh Downloads folder per test, inside a root that must stay empty otherwise.
    m_dir = m_root.filePath(QString::fromLatin1(QTest::currentTestFunction()) +
                            QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
    QVERIFY(QDir().mkpath(m_dir));
}

Watch *TestDownloader::run(const QString &fileName, bool resume, const QString &path)
{
    auto *downloader = new Downloader(this);
    auto watch = std::make_shared<Watch>(downloader);
    m_watches.append(watch);
    downloader->start(path, m_dir, fileName, resume);
    if (!waitUntil([&] { return watch->finished(); }))
        watch->errors << QStringLiteral("timed out");
    return watch.get();
}

bool TestDownloader::interruptedDownload(const QString &fileName, const QByteArray &content, qint64 bytes,
                                         const QByteArray &etag, const QString &path)
{
    ScriptedReply cut = ScriptedReply::text(200, content, "application/octet-stream").cutAfter(bytes);
    if (!etag.isEmpty())
        cut.withHeader("ETag", etag);
    m_server.on("GET", path, cut);
    Watch *watch = run(fileName, true, path);
    const QString part = QDir(m_dir).absoluteFilePath(fileName) + ".part";
    const bool ok = watch->errors.size() == 1 && readAll(part) == content.left(bytes);
    m_server.clearRoutes();
    m_server.clearRequests();
    return ok;
}

void TestDownloader::downloadsThroughTheSideFile()
{
    const QByteArray body = content(5000);
    m_server.serveContent(FilePath, body);
    Watch *watch = run(QStringLiteral("合同.pdf"), true);
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("合同.pdf"));
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(watch->donePath, target);
    QCOMPARE(readAll(target), body);
    QVERIFY(!QFile::exists(target + ".part"));
    QVERIFY(!m_server.requests().constFirst().hasHeader("Range"));
    QVERIFY(!watch->progress.isEmpty());
    QCOMPARE(watch->progress.constLast().done, 5000);
    QCOMPARE(watch->progress.constLast().total, 5000);
    QCOMPARE(watch->progress.constLast().eta, -1); // nothing left
    QTRY_VERIFY(watch->job.isNull());
}

void TestDownloader::resumesFromPartFileWithRangeHeader()
{
    const QByteArray body = content(5000);
    m_server.serveContent(FilePath, body);
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("a.bin"));
    QVERIFY(interruptedDownload(QStringLiteral("a.bin"), body, 1000));
    QVERIFY(QFile::exists(Downloader::metaPathFor(target + ".part")));
    m_server.serveContent(FilePath, body);

    Watch *watch = run(QStringLiteral("a.bin"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(m_server.requests().constFirst().header("Range"), QByteArray("bytes=1000-"));
    QCOMPARE(readAll(target), body);
    QVERIFY(!QFile::exists(target + ".part"));
    for (const Progress &step : watch->progress) {
        QVERIFY(step.done > 1000 && step.done <= 5000);
        QCOMPARE(step.total, 5000);
        QVERIFY(step.speed >= 0);
    }
    QCOMPARE(watch->progress.constLast().done, 5000);
    QVERIFY(!QFile::exists(Downloader::metaPathFor(target + ".part"))); // nothing left beside the file
}

void TestDownloader::partsAreAskedForOneAfterAnother()
{
    const QByteArray body = content(3500);
    m_server.on("GET", FilePath, taggedContent(body, "\"p1\""));
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("parts.bin"));
    // A stale side file without a note is replaced by the first part, not extended.
    QVERIFY(writeAll(target + ".part", "stale bytes"));

    auto *downloader = new Downloader(this);
    Watch watch(downloader);
    downloader->setPartBytes(1000);
    downloader->start(FilePath, m_dir, QStringLiteral("parts.bin"), true);
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(readAll(target), body);
    QStringList ranges;
    QStringList validators;
    for (const RecordedRequest &request : m_server.requests()) {
        ranges << QString::fromLatin1(request.header("Range"));
        validators << QString::fromLatin1(request.header("If-Range"));
    }
    QCOMPARE(ranges, QStringList({"bytes=0-999", "bytes=1000-1999", "bytes=2000-2999", "bytes=3000-3999"}));
    QCOMPARE(validators, QStringList({"", "\"p1\"", "\"p1\"", "\"p1\""}));
    for (const Progress &step : watch.progress)
        QCOMPARE(step.total, 3500); // the file's size, not a part's
    QCOMPARE(watch.progress.constLast().done, 3500);
}

void TestDownloader::shortPartsAreFollowedUpAndShortBodiesNeverFinish()
{
    // A server that answers every range with at most 1000 bytes: the rest is asked for.
    const QByteArray body = content(3500);
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        const qint64 start = request.header("Range").mid(6).split('-').value(0).toLongLong();
        const qint64 end = qMin<qint64>(start + 999, body.size() - 1);
        return ScriptedReply::text(206, body.mid(start, end - start + 1), "application/octet-stream")
            .withHeader("Content-Range", "bytes " + QByteArray::number(start) + '-' + QByteArray::number(end) + '/' +
                                             QByteArray::number(body.size()));
    });
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("short.bin"));
    QVERIFY(writeAll(target + ".part", body.left(500)));
    QVERIFY(writeNote(target + ".part", FilePath, body.size()));
    Watch *watch = run(QStringLiteral("short.bin"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target), body);
    QStringList ranges;
    for (const RecordedRequest &request : m_server.requests())
        ranges << QString::fromLatin1(request.header("Range"));
    QCOMPARE(ranges, QStringList({"bytes=500-", "bytes=1500-", "bytes=2500-"}));

    // A server that answers every request with the same first part never yields a finished file.
    m_server.clearRoutes();
    m_server.on("GET", FilePath,
                ScriptedReply::raw("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-999/3500\r\n"
                                   "Content-Length: 1000\r\nConnection: close\r\n\r\n" +
                                       body.left(1000),
                                   true));
    auto *downloader = new Downloader(this);
    Watch shortWatch(downloader);
    downloader->start(FilePath, m_dir, QStringLiteral("cut.bin"), false);
    QVERIFY(waitUntil([&] { return shortWatch.finished(); }));
    QVERIFY(shortWatch.donePath.isEmpty());
    QCOMPARE(shortWatch.errors.size(), 1);
    QVERIFY(!QFile::exists(QDir(m_dir).absoluteFilePath(QStringLiteral("cut.bin"))));
}

void TestDownloader::sideFileOfAnotherRemoteFileIsNotContinued_data()
{
    QTest::addColumn<QString>("otherPath");
    QTest::addColumn<bool>("withNote");
    QTest::newRow("other file, same name") << QStringLiteral("/api/teams/t9/files/7/download") << true;
    QTest::newRow("side file without a note") << FilePath << false;
}

void TestDownloader::sideFileOfAnotherRemoteFileIsNotContinued()
{
    QFETCH(QString, otherPath);
    QFETCH(bool, withNote);
    // Another file of the same name (another folder or team) left its first bytes behind.
    const QByteArray foreign(5000, 'F');
    QVERIFY(interruptedDownload(QStringLiteral("报告.pdf"), foreign, 2000, {}, otherPath));
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("报告.pdf"));
    if (!withNote)
        QVERIFY(QFile::remove(Downloader::metaPathFor(target + ".part")));

    const QByteArray body = content(5000);
    m_server.serveContent(FilePath, body);
    Watch *watch = run(QStringLiteral("报告.pdf"), true);
    QCOMPARE(watch->errors, QStringList());
    QVERIFY(!m_server.requests().constFirst().hasHeader("Range"));
    QCOMPARE(readAll(target), body); // no foreign byte spliced in
}

void TestDownloader::changedFileOnTheServerStartsOver()
{
    // The side file holds the start of version 1; the server now has version 2 under the same path.
    const QByteArray first = content(5000);
    QVERIFY(interruptedDownload(QStringLiteral("plan.xlsx"), first, 1500, "\"v1\""));
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("plan.xlsx"));

    // A server that ignores If-Range sends the part of version 2 anyway; its ETag gives it away.
    const QByteArray second = QByteArray(5000, 'N');
    m_server.on("GET", FilePath, taggedContent(second, "\"v2\""));
    Watch *watch = run(QStringLiteral("plan.xlsx"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target), second);
    const QList<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).header("Range"), QByteArray("bytes=1500-"));
    QCOMPARE(requests.at(0).header("If-Range"), QByteArray("\"v1\""));
    QVERIFY(!requests.at(1).hasHeader("Range"));

    // Without an ETag, a different total size gives it away.
    m_server.clearRequests();
    QVERIFY(interruptedDownload(QStringLiteral("log.txt"), first, 1500));
    const QByteArray longer = content(7000);
    m_server.serveContent(FilePath, longer);
    Watch *sized = run(QStringLiteral("log.txt"), true);
    QCOMPARE(sized->errors, QStringList());
    QCOMPARE(readAll(QDir(m_dir).absoluteFilePath(QStringLiteral("log.txt"))), longer);
}

void TestDownloader::partAtTheWrongOffsetIsNeverWritten()
{
    const QByteArray body = content(5000);
    QVERIFY(interruptedDownload(QStringLiteral("w.bin"), body, 1000));
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("w.bin"));
    // Asked for bytes=1000-, the server sends bytes from 0 as if they were the rest.
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        if (!request.hasHeader("Range"))
            return rangedContent(body, request);
        ScriptedReply wrong = ScriptedReply::text(206, body.mid(0, 4000), "application/octet-stream");
        return wrong.withHeader("Content-Range", "bytes 0-3999/5000");
    });
    Watch *watch = run(QStringLiteral("w.bin"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target), body);
    QCOMPARE(m_server.requestCount(), 2);

    // When even the fresh start is answered out of place, the job fails and writes nothing wrong.
    m_server.clearRequests();
    QVERIFY(interruptedDownload(QStringLiteral("x.bin"), body, 1000));
    m_server.on("GET", FilePath, [body](const RecordedRequest &) {
        ScriptedReply wrong = ScriptedReply::text(206, body.mid(2000), "application/octet-stream");
        return wrong.withHeader("Content-Range", "bytes 2000-4999/5000");
    });
    Watch *failing = run(QStringLiteral("x.bin"), true);
    QCOMPARE(failing->errors.size(), 1);
    QVERIFY2(failing->errors.constFirst().contains(QStringLiteral("位置")), qPrintable(failing->errors.constFirst()));
    QVERIFY(!QFile::exists(QDir(m_dir).absoluteFilePath(QStringLiteral("x.bin"))));
    const QByteArray left = readAll(QDir(m_dir).absoluteFilePath(QStringLiteral("x.bin.part")));
    QVERIFY(body.startsWith(left)); // whatever is kept is a true start of the file
}

void TestDownloader::emptyWholeAnswerReplacesTheSideFile()
{
    QVERIFY(interruptedDownload(QStringLiteral("e.txt"), content(5000), 1000));
    // The file is empty now; the server ignores the range and says so with an empty 200.
    m_server.on("GET", FilePath, ScriptedReply::text(200, QByteArray(), "application/octet-stream"));
    Watch *watch = run(QStringLiteral("e.txt"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(m_server.requests().constFirst().header("Range"), QByteArray("bytes=1000-"));
    QCOMPARE(readAll(watch->donePath), QByteArray());
}

void TestDownloader::stalledDownloadFailsAndKeepsTheSideFile()
{
    const QByteArray body = content(5000);
    // Headers and 1000 bytes, then silence on an open connection.
    m_server.on("GET", FilePath,
                ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                   "Content-Length: 5000\r\n\r\n" +
                                   body.left(1000)));
    auto *downloader = new Downloader(this);
    downloader->setStallTimeoutMs(300);
    Watch watch(downloader);
    downloader->start(FilePath, m_dir, QStringLiteral("s.bin"), true);
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors.size(), 1);
    QVERIFY2(watch.errors.constFirst().contains(QStringLiteral("未收到数据")), qPrintable(watch.errors.constFirst()));
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("s.bin"));
    QCOMPARE(readAll(target + ".part"), body.left(1000));
    QVERIFY(!DownloadRegistry::isBusy(target)); // a failed job gives its target back

    // The next download continues where the stalled one stopped.
    m_server.serveContent(FilePath, body);
    m_server.clearRequests();
    Watch *resumed = run(QStringLiteral("s.bin"), true);
    QCOMPARE(resumed->errors, QStringList());
    QCOMPARE(m_server.requests().constFirst().header("Range"), QByteArray("bytes=1000-"));
    QCOMPARE(readAll(target), body);
}

void TestDownloader::pauseUnderTheSpeedLimitWritesNoMore()
{
    // The whole body arrives at once (it fits the reply's buffer) while the limit lets it into the
    // side file slowly: a pause must stop those writes, or they land in the resumed download's file.
    QByteArray body(1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(body.data()), body.size() / 4);
    m_server.serveContent(FilePath, body);
    RateLimiter &limiter = HttpClient::instance()->downloadLimiter();
    limiter.setRate(512 * 1024);
    const auto unlimit = qScopeGuard([&] { limiter.setRate(0); });
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("held.bin"));

    auto *first = new Downloader(this);
    Watch watch(first);
    QSignalSpy paused(first, &Downloader::sigPaused);
    first->start(FilePath, m_dir, QStringLiteral("held.bin"), true);
    QVERIFY(waitUntil([&] { return !watch.progress.isEmpty() || watch.finished(); }));
    QVERIFY(!watch.finished());
    first->pause();
    QVERIFY(paused.count() == 1 || paused.wait(5000));
    const qint64 kept = QFileInfo(target + ".part").size();
    QVERIFY(kept > 0 && kept < body.size());

    Watch *resumed = run(QStringLiteral("held.bin"), true);
    QCOMPARE(resumed->errors, QStringList());
    QCOMPARE(m_server.requests().constLast().header("Range"), QByteArray("bytes=" + QByteArray::number(kept) + "-"));
    QCOMPARE(readAll(target).size(), body.size());
    QVERIFY(readAll(target) == body);
    QCOMPARE(watch.donePath, QString());
}

void TestDownloader::limitedDownloadMovesInStepsOfTheBurst()
{
    // With the body already in the reply, a drained bucket used to be refilled byte by byte in one
    // tight loop: the whole buffer went out in a single step, with no event handled meanwhile, so a
    // pause could not land and the progress stood still.
    QByteArray body(2 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(12).fillRange(reinterpret_cast<quint32 *>(body.data()), body.size() / 4);
    m_server.serveContent(FilePath, body);
    RateLimiter &limiter = HttpClient::instance()->downloadLimiter();
    limiter.setRate(1024 * 1024);
    const auto unlimit = qScopeGuard([&] { limiter.setRate(0); });

    Watch *watch = run(QStringLiteral("steps.bin"), false);
    QCOMPARE(watch->errors, QStringList());
    QVERIFY(readAll(watch->donePath) == body);
    qlonglong before = 0;
    qlonglong largest = 0;
    for (const Progress &step : std::as_const(watch->progress)) {
        largest = std::max(largest, step.done - before);
        before = step.done;
    }
    QVERIFY2(largest <= limiter.burst(), qPrintable(QStringLiteral("one step moved %1 bytes").arg(largest)));
}

void TestDownloader::stoppedReplyWritesNoMoreOnceFinished()
{
    // The body is all in the reply (it finished on the network) while the limit lets it into the
    // file slowly. Qt ignores abort() and close() on such a reply: only a stop that closes its device
    // keeps the rest out of a side file that a resumed download may already be writing.
    QByteArray body(1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(13).fillRange(reinterpret_cast<quint32 *>(body.data()), body.size() / 4);
    m_server.serveContent(FilePath, body);
    RateLimiter &limiter = HttpClient::instance()->downloadLimiter();
    limiter.setRate(256 * 1024);
    const auto unlimit = qScopeGuard([&] { limiter.setRate(0); });
    const QString path = QDir(m_dir).absoluteFilePath(QStringLiteral("held.bin"));

    bool done = false;
    QPointer<QNetworkReply> reply =
        HttpClient::instance()->download(FilePath, path, nullptr, [&done](const HttpResponse &) { done = true; });
    QVERIFY(reply);
    QVERIFY(waitUntil([&] { return reply->isFinished() && QFileInfo(path).size() > 0; }));
    const qint64 atStop = QFileInfo(path).size();
    QVERIFY(atStop < body.size());
    HttpClient::stop(reply);
    QVERIFY(waitUntil([&] { return done; }));
    QCOMPARE(QFileInfo(path).size(), atStop);
    delete reply;
}

void TestDownloader::secondJobForTheSameTargetIsRefused()
{
    const QByteArray body = content(5000);
    m_server.on("GET", FilePath,
                [body](const RecordedRequest &request) { return rangedContent(body, request).heldUntilReleased(); });
    auto *first = new Downloader(this);
    Watch firstWatch(first);
    first->start(FilePath, m_dir, QStringLiteral("twice.pdf"), true);
    QVERIFY(m_server.waitForRequests(1));
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("twice.pdf"));
    QVERIFY(DownloadRegistry::isBusy(target));
    QVERIFY(DownloadRegistry::isBusy(target + ".part"));
    QCOMPARE(Downloader::targetPath(m_dir, QStringLiteral("twice.pdf")), target);

    // A double click, or open and then download: the second job touches nothing and says why.
    for (bool resume : {true, false}) {
        auto *second = new Downloader(this);
        Watch secondWatch(second);
        second->start(FilePath, m_dir, QStringLiteral("twice.pdf"), resume);
        QCOMPARE(secondWatch.errors, QStringList{DownloadRegistry::busyText(QStringLiteral("twice.pdf"))});
    }
    QCOMPARE(m_server.requestCount(), 1);

    m_server.releaseHeld();
    QVERIFY(waitUntil([&] { return firstWatch.finished(); }));
    QCOMPARE(firstWatch.errors, QStringList());
    QCOMPARE(readAll(target), body);
    QVERIFY(!DownloadRegistry::isBusy(target));
}

void TestDownloader::freeNamesSkipFilesSideFilesAndRunningJobs()
{
    const QString name = QStringLiteral("打包下载_20240501_140309.zip");
    QCOMPARE(DownloadRegistry::freeName(m_dir, name), name);
    QVERIFY(writeAll(QDir(m_dir).absoluteFilePath(name), "done"));
    QCOMPARE(DownloadRegistry::freeName(m_dir, name), QStringLiteral("打包下载_20240501_140309 (2).zip"));
    QVERIFY(writeAll(QDir(m_dir).absoluteFilePath(QStringLiteral("打包下载_20240501_140309 (2).zip.part")), "half"));
    QCOMPARE(DownloadRegistry::freeName(m_dir, name), QStringLiteral("打包下载_20240501_140309 (3).zip"));
    const QString running = QDir(m_dir).absoluteFilePath(QStringLiteral("打包下载_20240501_140309 (3).zip"));
    QVERIFY(DownloadRegistry::claim(running));
    QVERIFY(!DownloadRegistry::claim(running)); // one writer only
    QCOMPARE(DownloadRegistry::freeName(m_dir, name), QStringLiteral("打包下载_20240501_140309 (4).zip"));
    DownloadRegistry::release(running);
    QCOMPARE(DownloadRegistry::freeName(m_dir, name), QStringLiteral("打包下载_20240501_140309 (3).zip"));
    QCOMPARE(DownloadRegistry::freeName(m_dir, QStringLiteral("README")), QStringLiteral("README"));
    QVERIFY(writeAll(QDir(m_dir).absoluteFilePath(QStringLiteral("README")), "x"));
    QCOMPARE(DownloadRegistry::freeName(m_dir, QStringLiteral("README")), QStringLiteral("README (2)"));
}

void TestDownloader::resumeFalseOverwritesTheSideFile()
{
    const QByteArray body = content(3000);
    m_server.serveContent(FilePath, body);
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("v.bin"));
    QVERIFY(writeAll(target + ".part", QByteArray(4000, 'J')));

    Watch *watch = run(QStringLiteral("v.bin"), false);
    QCOMPARE(watch->errors, QStringList());
    QVERIFY(!m_server.requests().constFirst().hasHeader("Range"));
    QCOMPARE(readAll(target), body);
}

void TestDownloader::unknownLengthKeepsTotalZeroAndEtaUnknown()
{
    const QByteArray body = content(200000);
    m_server.on("GET", FilePath,
                ScriptedReply::text(200, body, "application/octet-stream").withoutLength().trickle(50000, 150));
    Watch *watch = run(QStringLiteral("stream.bin"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(watch->donePath), body);
    QVERIFY(watch->progress.size() >= 2);
    for (const Progress &step : watch->progress) {
        QCOMPARE(step.total, 0);
        QCOMPARE(step.eta, -1);
    }
    QCOMPARE(watch->progress.constLast().done, 200000);
}

void TestDownloader::rangeIgnoredByServerReplacesTheSideFile()
{
    const QByteArray body = content(5000);
    m_server.on("GET", FilePath, ScriptedReply::text(200, body, "application/octet-stream"));
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("r.bin"));
    QVERIFY(interruptedDownload(QStringLiteral("r.bin"), QByteArray(5000, 'X'), 1000));
    m_server.on("GET", FilePath, ScriptedReply::text(200, body, "application/octet-stream"));

    Watch *watch = run(QStringLiteral("r.bin"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(m_server.requests().constFirst().header("Range"), QByteArray("bytes=1000-"));
    QCOMPARE(readAll(target), body);
    QCOMPARE(watch->progress.constLast().done, 5000);
    QCOMPARE(watch->progress.constLast().total, 5000);
}

void TestDownloader::notSatisfiableWithCompleteSideFileFinishes_data()
{
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<QByteArray>("etag");
    QTest::newRow("total matches") << QByteArray("bytes */5000") << QByteArray();
    QTest::newRow("total and ETag match") << QByteArray("bytes */5000") << QByteArray("\"e1\"");
}

void TestDownloader::notSatisfiableWithCompleteSideFileFinishes()
{
    QFETCH(QByteArray, contentRange);
    QFETCH(QByteArray, etag);
    const QByteArray body = content(5000);
    ScriptedReply unsatisfiable = ScriptedReply::json(QJsonObject{{"error", "范围无效"}}, 416);
    unsatisfiable.withHeader("Content-Range", contentRange);
    if (!etag.isEmpty())
        unsatisfiable.withHeader("ETag", etag);
    m_server.on("GET", FilePath, unsatisfiable);
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("full.bin"));
    QVERIFY(writeAll(target + ".part", body));
    QVERIFY(writeNote(target + ".part", FilePath, 5000, etag));

    Watch *watch = run(QStringLiteral("full.bin"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(watch->donePath, target);
    QCOMPARE(readAll(target), body); // the error body never reached the file
    QCOMPARE(m_server.requestCount(), 1);
}

void TestDownloader::notSatisfiableWithoutTotalStartsOverOnce()
{
    // A 416 that states no total says nothing about the side file: it is dropped, not finalised.
    const QByteArray body = content(5000);
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("nototal.bin"));
    QVERIFY(writeAll(target + ".part", QByteArray(5000, 'S')));
    QVERIFY(writeNote(target + ".part", FilePath, 5000));
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        if (request.hasHeader("Range"))
            return ScriptedReply::json(QJsonObject{{"error", "范围无效"}}, 416);
        return rangedContent(body, request);
    });
    Watch *watch = run(QStringLiteral("nototal.bin"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target), body);
    QCOMPARE(m_server.requestCount(), 2);

    // Answered 416 again from zero, the job ends failed instead of looping.
    m_server.on("GET", FilePath, ScriptedReply::json(QJsonObject{{"error", "范围无效"}}, 416));
    QVERIFY(writeAll(target + ".part", QByteArray(5000, 'S')));
    QVERIFY(writeNote(target + ".part", FilePath, 5000));
    m_server.clearRequests();
    Watch *again = run(QStringLiteral("nototal.bin"), true);
    QCOMPARE(again->errors, QStringList{QStringLiteral("范围无效")});
    QCOMPARE(m_server.requestCount(), 2);
}

void TestDownloader::notSatisfiableWithLargerSideFileStartsOver()
{
    const QByteArray body = content(5000);
    m_server.serveContent(FilePath, body); // answers bytes=6000- with 416 "bytes */5000"
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("stale.bin"));
    QVERIFY(writeAll(target + ".part", QByteArray(6000, 'S')));
    QVERIFY(writeNote(target + ".part", FilePath, -1, "\"old\""));

    Watch *watch = run(QStringLiteral("stale.bin"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target), body);
    const QList<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).header("Range"), QByteArray("bytes=6000-"));
    QVERIFY(!requests.at(1).hasHeader("Range"));
}

void TestDownloader::notSatisfiableWithoutSideFileFails()
{
    m_server.on("GET", FilePath,
                ScriptedReply::json(QJsonObject{{"error", "范围无效"}}, 416).withHeader("Content-Range", "bytes */0"));
    Watch *watch = run(QStringLiteral("empty.bin"), true);
    QCOMPARE(watch->errors, QStringList{QStringLiteral("范围无效")});
    QVERIFY(!QFile::exists(QDir(m_dir).absoluteFilePath(QStringLiteral("empty.bin"))));
    QVERIFY(!watch->job.isNull()); // a failed job stays with its page
}

void TestDownloader::httpErrorKeepsTheSideFile()
{
    m_server.on("GET", FilePath, ScriptedReply::json(QJsonObject{{"error", "文件不存在"}}, 404));
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("gone.bin"));
    QVERIFY(writeAll(target + ".part", "partial"));
    QVERIFY(writeNote(target + ".part", FilePath, 4000));
    Watch *watch = run(QStringLiteral("gone.bin"), true);
    QCOMPARE(watch->errors, QStringList{QStringLiteral("文件不存在")});
    QCOMPARE(readAll(target + ".part"), QByteArray("partial"));
    QVERIFY(!QFile::exists(target));

    // A transfer that breaks off keeps what arrived, for the next resume.
    m_server.on("GET", FilePath, ScriptedReply::text(200, content(4000), "application/octet-stream").cutAfter(1500));
    QFile::remove(target + ".part");
    Watch *cut = run(QStringLiteral("gone.bin"), true);
    QCOMPARE(cut->errors.size(), 1);
    QCOMPARE(readAll(target + ".part"), content(1500));
}

void TestDownloader::existingTargetIsReplaced()
{
    m_server.serveContent(FilePath, "new content");
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("same.txt"));
    QVERIFY(writeAll(target, "old content that is longer"));
    Watch *watch = run(QStringLiteral("same.txt"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target), QByteArray("new content"));
}

void TestDownloader::lockedTargetReportsAndKeepsTheData()
{
    // A non-empty folder under the target name can be neither removed, renamed over nor copied over.
    m_server.serveContent(FilePath, "installer bytes");
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("setup.exe"));
    QVERIFY(QDir().mkpath(target));
    QVERIFY(writeAll(target + "/inside", "x"));
    Watch *watch = run(QStringLiteral("setup.exe"), true);
    QCOMPARE(watch->errors,
             QStringList{QStringLiteral("下载已完成，但保存失败：目标文件被占用（常见于杀毒软件正在扫描 .exe）。"
                                        "请稍后重试或关闭占用程序。")});
    QCOMPARE(readAll(target + ".part"), QByteArray("installer bytes"));
}

void TestDownloader::unsafeNamesStayInsideTheFolder_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("savedAs");
    QTest::newRow("parent dirs") << "../../escape.txt"
                                 << "escape.txt";
    QTest::newRow("windows separators") << "..\\..\\evil.bat"
                                        << "evil.bat";
    QTest::newRow("absolute") << "/etc/passwd"
                              << "passwd";
    QTest::newRow("dot dot") << ".."
                             << "download";
    QTest::newRow("empty") << ""
                           << "download";
    QTest::newRow("trailing separator") << "folder/"
                                        << "download";
    QTest::newRow("forbidden chars") << "a<b>c:d\"e|f?g*h.txt"
                                     << "abcdefgh.txt";
    QTest::newRow("control chars") << QStringLiteral("line\nbreak\t.txt") << "linebreak.txt";
}

void TestDownloader::unsafeNamesStayInsideTheFolder()
{
    QFETCH(QString, fileName);
    QFETCH(QString, savedAs);
    m_server.serveContent(FilePath, "payload");
    Watch *watch = run(fileName, true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(watch->donePath, QDir(m_dir).absoluteFilePath(savedAs));
    QCOMPARE(readAll(watch->donePath), QByteArray("payload"));
    // Nothing appeared beside the Downloads folder.
    const QStringList rootEntries = QDir(m_root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString &entry : rootEntries)
        QVERIFY2(QFileInfo(m_root.filePath(entry)).isDir(), qPrintable(entry));
}

void TestDownloader::unwritableFolderFails()
{
    m_server.serveContent(FilePath, "payload");
    const QString missingDir = QDir(m_dir).absoluteFilePath(QStringLiteral("no/such"));
    auto *downloader = new Downloader(this);
    Watch watch(downloader);
    downloader->start(FilePath, missingDir, QStringLiteral("x.bin"), true);
    QVERIFY(waitUntil([&] { return watch.finished(); }));
    QCOMPARE(watch.errors, QStringList{QStringLiteral("无法写入文件：%1").arg(missingDir + "/x.bin.part")});
    QCOMPARE(m_server.requestCount(), 0);
}

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
