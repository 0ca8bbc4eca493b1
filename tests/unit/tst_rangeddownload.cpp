// Large downloads in several ranged streams into one side file: the result, restarts that continue
// every stream, servers that break their ranges, and the speed limit shared by all streams.

#include "eventwait.h"
#include "net/httpclient.h"
#include "net/ratelimiter.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "testsettings.h"
#include "transfer/downloader.h"
#include "transfer/rangedfetch.h"
#include "transfer/transfersettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>

namespace {
const QString FilePath = QStringLiteral("/api/files/9/download");
constexpr int FileSize = 200000;
constexpr qint64 Threshold = 100000;
const QByteArray Etag = "\"v1\"";

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

qint64 rangeStart(const RecordedRequest &request)
{
    return request.header("Range").mid(6).split('-').value(0).toLongLong();
}

struct Watch
{
    explicit Watch(Downloader *downloader)
        : job(downloader)
    {
        QObject::connect(downloader, &Downloader::sigProgress, &context,
                         [this](qlonglong done, qlonglong total, qlonglong, int) {
                             lastDone = done;
                             lastTotal = total;
                             steps.append({clock.elapsed(), done});
                         });
        QObject::connect(downloader, &Downloader::sigDone, &context, [this](const QString &path) { donePath = path; });
        QObject::connect(downloader, &Downloader::sigFailed, &context, [this](const QString &err) { errors << err; });
        clock.start();
    }
    bool finished() const { return !donePath.isEmpty() || !errors.isEmpty(); }

    QObject context;
    QPointer<Downloader> job;
    QElapsedTimer clock;
    QList<QPair<qint64, qint64>> steps; // (ms since start, bytes done)
    qint64 lastDone = 0;
    qint64 lastTotal = 0;
    QString donePath;
    QStringList errors;
};
} // namespace

class TestRangedDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void largeFileArrivesInFourRangesByteExact();
    void smallFileOrServerWithoutRangesTakesOneStream();
    void restartedJobContinuesEveryRange();
    void pauseKeepsEveryRangeAndCancelLeavesNothing();
    void shortRangesAreFollowedUp();
    void rangeAtWrongOffsetIsNeverWritten_data();
    void rangeAtWrongOffsetIsNeverWritten();
    void wholeAnswerToARangeFallsBackToOneStream();
    void speedLimitHoldsOverAllStreams();
    void stalledSharesFailAndKeepTheNote();
    void noteThatDoesNotTileTheFileIsIgnored();
    void streamCountIsKeptAndChecked();
    void probeTellsSizeEtagAndRangeSupport();
    void fetchWithoutSessionCountsEveryRestart();

private:
    Downloader *makeJob(int streams = 4);
    Watch *run(Downloader *job, bool resume = true);
    QString target() const { return QDir(m_dir).absoluteFilePath(QStringLiteral("big.bin")); }
    QStringList ranges() const;

    QTemporaryDir m_root;
    QTemporaryDir m_settingsDir;
    ScriptedServer m_server;
    QString m_dir;
    QList<std::shared_ptr<Watch>> m_watches;
};

void TestRangedDownload::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
}

void TestRangedDownload::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    m_dir = m_root.filePath(QString::fromLatin1(QTest::currentTestFunction()) +
                            QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
    QVERIFY(QDir().mkpath(m_dir));
}

Downloader *TestRangedDownload::makeJob(int streams)
{
    auto *job = new Downloader(this);
    job->setStreams(streams);
    job->setSegmentThreshold(Threshold);
    return job;
}

Watch *TestRangedDownload::run(Downloader *job, bool resume)
{
    auto watch = std::make_shared<Watch>(job);
    m_watches.append(watch);
    job->start(FilePath, m_dir, QStringLiteral("big.bin"), resume);
    if (!waitUntil([&] { return watch->finished(); }))
        watch->errors << QStringLiteral("timed out");
    return watch.get();
}

QStringList TestRangedDownload::ranges() const
{
    QStringList list;
    for (const RecordedRequest &request : m_server.requests())
        list << QString::fromLatin1(request.header("Range"));
    return list;
}

void TestRangedDownload::largeFileArrivesInFourRangesByteExact()
{
    const QByteArray body = content(FileSize);
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        return rangedContent(body, request).withHeader("ETag", Etag);
    });
    Watch *watch = run(makeJob());
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target()), body);
    // The first answer tells the size; its body is refused and four shares follow.
    QStringList asked = ranges();
    QCOMPARE(asked.takeFirst(), QString());
    asked.sort();
    QCOMPARE(asked, QStringList({"bytes=0-49999", "bytes=100000-149999", "bytes=150000-199999", "bytes=50000-99999"}));
    for (const RecordedRequest &request : m_server.requests().mid(1))
        QCOMPARE(request.header("If-Range"), Etag);
    QCOMPARE(watch->lastDone, FileSize);
    QCOMPARE(watch->lastTotal, FileSize);
    QVERIFY(!QFile::exists(target() + ".part"));
    QVERIFY(!QFile::exists(Downloader::metaPathFor(target() + ".part")));
    QTRY_VERIFY(watch->job.isNull());
}

void TestRangedDownload::smallFileOrServerWithoutRangesTakesOneStream()
{
    const QByteArray body = content(FileSize);
    // Below the threshold.
    m_server.serveContent(FilePath, body);
    auto *small = makeJob();
    small->setSegmentThreshold(FileSize + 1);
    QCOMPARE(run(small)->errors, QStringList());
    QCOMPARE(ranges(), QStringList({QString()}));
    QCOMPARE(readAll(target()), body);

    // A server that does not announce ranges.
    m_server.clearRequests();
    QFile::remove(target());
    m_server.on("GET", FilePath, ScriptedReply::text(200, body, "application/octet-stream"));
    QCOMPARE(run(makeJob())->errors, QStringList());
    QCOMPARE(ranges(), QStringList({QString()}));
    QCOMPARE(readAll(target()), body);

    // One stream by setting.
    m_server.clearRequests();
    QFile::remove(target());
    m_server.serveContent(FilePath, body);
    QCOMPARE(run(makeJob(1))->errors, QStringList());
    QCOMPARE(ranges(), QStringList({QString()}));
    QCOMPARE(readAll(target()), body);
}

void TestRangedDownload::restartedJobContinuesEveryRange()
{
    const QByteArray body = content(FileSize);
    // Shares trickle in, so the job is destroyed with every one of them part way.
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        ScriptedReply reply = rangedContent(body, request).withHeader("ETag", Etag);
        if (request.hasHeader("Range"))
            reply.trickle(1000, 10);
        return reply;
    });
    auto *first = makeJob();
    Watch watch(first);
    first->start(FilePath, m_dir, QStringLiteral("big.bin"), true);
    QVERIFY(waitUntil([&] { return watch.lastDone >= FileSize / 2 || watch.finished(); }));
    QVERIFY(!watch.finished());
    delete first; // as when the process ends

    const QString part = target() + ".part";
    const std::optional<RangedFetch::Record> note = RangedFetch::readRecord(Downloader::metaPathFor(part));
    QVERIFY(note.has_value());
    QCOMPARE(note->spans.size(), 4);
    QCOMPARE(note->etag, Etag);
    QByteArrayList starts;
    int partial = 0;
    for (const RangedFetch::Span &span : note->spans) {
        // What the note counts as written is in the side file.
        QCOMPARE(readAll(part).mid(span.start, span.done), body.mid(span.start, span.done));
        if (!span.complete())
            starts << QByteArray::number(span.next());
        if (span.done > 0 && !span.complete())
            ++partial;
    }
    QVERIFY(partial >= 2);

    m_server.clearRequests();
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        return rangedContent(body, request).withHeader("ETag", Etag);
    });
    Watch *second = run(makeJob());
    QCOMPARE(second->errors, QStringList());
    QCOMPARE(readAll(target()), body);
    // Each share is asked for from where the note says it stopped, and nothing else is asked.
    QByteArrayList asked;
    for (const RecordedRequest &request : m_server.requests())
        asked << QByteArray::number(rangeStart(request));
    std::sort(asked.begin(), asked.end());
    std::sort(starts.begin(), starts.end());
    QCOMPARE(asked, starts);
}

void TestRangedDownload::pauseKeepsEveryRangeAndCancelLeavesNothing()
{
    const QByteArray body = content(FileSize);
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        ScriptedReply reply = rangedContent(body, request);
        if (request.hasHeader("Range"))
            reply.trickle(2000, 10);
        return reply;
    });
    const QString part = target() + ".part";
    auto *first = makeJob();
    Watch watch(first);
    QSignalSpy paused(first, &Downloader::sigPaused);
    first->start(FilePath, m_dir, QStringLiteral("big.bin"), true);
    QVERIFY(waitUntil([&] { return watch.lastDone > 0 || watch.finished(); }));
    QVERIFY(first->isSegmented());
    first->pause();
    QCOMPARE(paused.count(), 1);
    const std::optional<RangedFetch::Record> note = RangedFetch::readRecord(Downloader::metaPathFor(part));
    QVERIFY(note.has_value());
    QCOMPARE(note->done(), watch.lastDone);

    // The next job continues them, and canceling it removes the side file and its note.
    auto *second = makeJob();
    Watch next(second);
    second->start(FilePath, m_dir, QStringLiteral("big.bin"), true);
    QVERIFY(second->isSegmented());
    QVERIFY(waitUntil([&] { return next.lastDone > watch.lastDone || next.finished(); }));
    QVERIFY(next.steps.constFirst().second > note->done() - 1);
    second->cancel();
    QVERIFY(!QFile::exists(part));
    QVERIFY(!QFile::exists(Downloader::metaPathFor(part)));
    QVERIFY(!QFile::exists(target()));
    QVERIFY(!next.finished());
}

void TestRangedDownload::shortRangesAreFollowedUp()
{
    // Every range is answered with at most 15000 bytes, honestly labelled.
    const QByteArray body = content(FileSize);
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        if (!request.hasHeader("Range"))
            return rangedContent(body, request);
        const qint64 start = rangeStart(request);
        const qint64 end = std::min<qint64>(start + 14999, request.header("Range").split('-').value(1).toLongLong());
        ScriptedReply reply = ScriptedReply::text(206, body.mid(start, end - start + 1), "application/octet-stream");
        reply.withHeader("Content-Range", "bytes " + QByteArray::number(start) + '-' + QByteArray::number(end) + '/' +
                                              QByteArray::number(body.size()));
        return reply;
    });
    Watch *watch = run(makeJob());
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target()), body);
    // Each share of 50000 takes four answers, each asking from where the last one stopped.
    QSet<QString> expected{QString()};
    for (qint64 share = 0; share < FileSize; share += 50000) {
        for (qint64 from = share; from < share + 50000; from += 15000)
            expected << QStringLiteral("bytes=%1-%2").arg(from).arg(share + 49999);
    }
    const QStringList asked = ranges();
    QCOMPARE(QSet<QString>(asked.cbegin(), asked.cend()), expected);
}

void TestRangedDownload::rangeAtWrongOffsetIsNeverWritten_data()
{
    QTest::addColumn<bool>("always");
    QTest::newRow("once") << false;
    QTest::newRow("always") << true;
}

void TestRangedDownload::rangeAtWrongOffsetIsNeverWritten()
{
    QFETCH(bool, always);
    const QByteArray body = content(FileSize);
    auto misplaced = std::make_shared<int>(0);
    // The third share is answered with other bytes labelled as another offset.
    m_server.on("GET", FilePath, [body, always, misplaced](const RecordedRequest &request) {
        if (request.hasHeader("Range") && rangeStart(request) == 100000 && (always || *misplaced == 0)) {
            ++*misplaced;
            ScriptedReply reply = ScriptedReply::text(206, QByteArray(50000, 'X'), "application/octet-stream");
            reply.withHeader("Content-Range", "bytes 0-49999/" + QByteArray::number(body.size()));
            return reply;
        }
        return rangedContent(body, request);
    });
    Watch *watch = run(makeJob());
    const QString part = target() + ".part";
    if (!always) {
        QCOMPARE(watch->errors, QStringList());
        QCOMPARE(readAll(target()), body);
        return;
    }
    QCOMPARE(watch->errors, QStringList({QStringLiteral("服务器返回的数据位置与请求不符，未写入")}));
    QCOMPARE(*misplaced, 1 + RangedFetch::MaxFollowUps);
    QVERIFY(!readAll(part).contains('X'));
    QVERIFY(!QFile::exists(target()));
    // What the other shares wrote stays for a later job.
    const std::optional<RangedFetch::Record> note = RangedFetch::readRecord(Downloader::metaPathFor(part));
    QVERIFY(note.has_value());
    QCOMPARE(note->spans.at(2).done, 0);
    for (const RangedFetch::Span &span : note->spans)
        QCOMPARE(readAll(part).mid(span.start, span.done), body.mid(span.start, span.done));
}

void TestRangedDownload::wholeAnswerToARangeFallsBackToOneStream()
{
    // Announces ranges, then answers them with the whole file.
    const QByteArray body = content(FileSize);
    m_server.on("GET", FilePath, [body](const RecordedRequest &) {
        return ScriptedReply::text(200, body, "application/octet-stream").withHeader("Accept-Ranges", "bytes");
    });
    Watch *watch = run(makeJob());
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target()), body);
    QCOMPARE(m_server.requests().constLast().header("Range"), QByteArray());
    QVERIFY(!QFile::exists(target() + ".part"));
    QVERIFY(!QFile::exists(Downloader::metaPathFor(target() + ".part")));
}

void TestRangedDownload::speedLimitHoldsOverAllStreams()
{
    // Four streams share one limit: at no moment are more bytes in than the rate allows since the
    // start plus the limiter's burst. A slow machine only lowers the count.
    constexpr qint64 Rate = 256 * 1024;
    const QByteArray body = content(640 * 1024);
    m_server.serveContent(FilePath, body);
    RateLimiter &limiter = HttpClient::instance()->downloadLimiter();
    limiter.setRate(Rate);
    const auto unlimit = qScopeGuard([&] { limiter.setRate(0); });
    Watch *watch = run(makeJob());
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(readAll(target()), body);
    QCOMPARE(m_server.requestCount(), 5);
    for (const auto &[ms, done] : std::as_const(watch->steps))
        QVERIFY2(done <= Rate * ms / 1000 + limiter.burst() + 4096,
                 qPrintable(QStringLiteral("%1 bytes at %2 ms").arg(done).arg(ms)));
}

void TestRangedDownload::stalledSharesFailAndKeepTheNote()
{
    // Two shares arrive, two never get an answer.
    const QByteArray body = content(FileSize);
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        if (request.hasHeader("Range") && rangeStart(request) >= 100000)
            return ScriptedReply::hanging();
        return rangedContent(body, request);
    });
    auto *job = makeJob();
    job->setStallTimeoutMs(400);
    Watch *watch = run(job);
    QCOMPARE(watch->errors,
             QStringList({QStringLiteral("下载中断：1 秒未收到数据。已下载的部分已保留，再次下载将从断点继续")}));
    QVERIFY(job->failedOnNetwork());
    const std::optional<RangedFetch::Record> note =
        RangedFetch::readRecord(Downloader::metaPathFor(target() + ".part"));
    QVERIFY(note.has_value());
    QCOMPARE(note->done(), 100000);
}

void TestRangedDownload::noteThatDoesNotTileTheFileIsIgnored()
{
    const QString path = m_root.filePath(QStringLiteral("note.meta"));
    RangedFetch::Record record{QStringLiteral("/x"), Etag, 1000, RangedFetch::split(1000, 4)};
    QVERIFY(RangedFetch::writeRecord(path, record));
    QVERIFY(RangedFetch::readRecord(path).has_value());
    const auto broken = [&](const std::function<void(RangedFetch::Record &)> &change) {
        RangedFetch::Record copy = record;
        change(copy);
        RangedFetch::writeRecord(path, copy);
        return !RangedFetch::readRecord(path).has_value();
    };
    QVERIFY(broken([](RangedFetch::Record &r) { r.spans[1].start += 1; }));   // a gap
    QVERIFY(broken([](RangedFetch::Record &r) { r.spans[2].done = 10000; })); // more than its share
    QVERIFY(broken([](RangedFetch::Record &r) { r.size = 2000; }));           // not the whole file
    QVERIFY(broken([](RangedFetch::Record &r) { r.spans.clear(); }));         // nothing to continue
    QVERIFY(broken([](RangedFetch::Record &r) { r.source.clear(); }));        // not ours
}

void TestRangedDownload::streamCountIsKeptAndChecked()
{
    TransferSettings settings;
    QCOMPARE(settings.downloadStreams, 4);
    settings.downloadStreams = 6;
    QCOMPARE(settings.validate(), QString());
    settings.save();
    QCOMPARE(TransferSettings::load().downloadStreams, 6);
    settings.downloadStreams = TransferSettings::MaxDownloadStreams + 1;
    QVERIFY(!settings.validate().isEmpty());
    settings.downloadStreams = 0;
    QVERIFY(!settings.validate().isEmpty());
}

void TestRangedDownload::probeTellsSizeEtagAndRangeSupport()
{
    const QByteArray body = content(FileSize);
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        return rangedContent(body, request).withHeader("ETag", Etag);
    });
    const auto probe = [](const QString &path) {
        RangedFetch fetch;
        QSignalSpy probed(&fetch, &RangedFetch::probed);
        fetch.probe(path);
        return probed.wait(5000) ? probed.constFirst().constFirst().value<RangedFetch::ProbeResult>()
                                 : RangedFetch::ProbeResult{-1, -1, {}};
    };
    const RangedFetch::ProbeResult ranged = probe(m_server.baseUrl() + FilePath);
    QCOMPARE(ranged.status, 206);
    QCOMPARE(ranged.total, qint64(FileSize));
    QCOMPARE(ranged.etag, Etag);
    QVERIFY(ranged.ranged());
    QCOMPARE(m_server.requests().constFirst().header("Range"), QByteArray("bytes=0-0"));

    // A server that ignores ranges would send the whole file: the probe says so and stops it.
    m_server.on("GET", FilePath, ScriptedReply::text(200, body, "application/octet-stream"));
    const RangedFetch::ProbeResult whole = probe(FilePath);
    QCOMPARE(whole.status, 200);
    QVERIFY(!whole.ranged());
}

void TestRangedDownload::fetchWithoutSessionCountsEveryRestart()
{
    Session *session = Session::instance();
    session->userId = QStringLiteral("77");
    session->token = QStringLiteral("secret-token");
    const auto signOut = qScopeGuard([session] {
        session->userId.clear();
        session->token.clear();
    });
    const QByteArray body = content(FileSize);
    // Every answer stops after 1000 bytes: each attempt moves the share, yet the restarts run out.
    m_server.on("GET", FilePath, [body](const RecordedRequest &request) {
        ScriptedReply reply = rangedContent(body, request);
        if (rangeStart(request) >= FileSize / 2)
            reply.cutAfter(1000);
        return reply;
    });
    const QString side = QDir(m_dir).filePath(QStringLiteral("setup.part"));
    RangedFetch fetch;
    RangedFetch::Options options;
    options.sessionHeaders = false;
    options.limited = false;
    options.maxRestarts = 2;
    fetch.setOptions(options);
    QSignalSpy failed(&fetch, &RangedFetch::failed);
    RangedFetch::Record record{m_server.baseUrl() + FilePath, {}, FileSize, RangedFetch::split(FileSize, 2)};
    fetch.start(m_server.baseUrl() + FilePath, side, RangedFetch::recordPathFor(side), record);
    QVERIFY(failed.wait(10000));
    QCOMPARE(fetch.failure(), RangedFetch::Failure::Network);

    QList<qint64> second;
    for (const RecordedRequest &request : m_server.requests()) {
        QCOMPARE(request.header("X-TVR-Client"), QByteArray("1"));
        QVERIFY(!request.hasHeader("X-Auth-Token"));
        QVERIFY(!request.hasHeader("X-User-Id"));
        QCOMPARE(request.header("Accept-Encoding"), QByteArray("identity"));
        if (rangeStart(request) >= FileSize / 2)
            second << rangeStart(request);
    }
    std::sort(second.begin(), second.end());
    second.erase(std::unique(second.begin(), second.end()), second.end());
    QCOMPARE(second, QList<qint64>({FileSize / 2, FileSize / 2 + 1000, FileSize / 2 + 2000}));
    // The note keeps what did arrive, for a later fetch to continue.
    const std::optional<RangedFetch::Record> note = RangedFetch::readRecord(RangedFetch::recordPathFor(side));
    QVERIFY(note.has_value());
    QCOMPARE(note->spans.at(1).done, qint64(3000));
}

QTEST_GUILESS_MAIN(TestRangedDownload)
#include "tst_rangeddownload.moc"
