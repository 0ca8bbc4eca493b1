// UpdateChecker against the scripted server: the manifest rules, the probe, the four ranged
// segments and their restarts, the single stream, verification, cancel and the private folder.
#include "eventwait.h"
#include "scriptedserver.h"
#include "testsettings.h"
#include "transfer/rangedfetch.h"
#include "update/updatechecker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {
const QString Channel = QStringLiteral("storageclient-linux");
const QString Area = QStringLiteral("/downloads/storageclient-linux/");
const QString ManifestPath = Area + QStringLiteral("latest.yml");
const QString InstallerName = QStringLiteral("TolvarStorage-2.2.0.run");
const QString InstallerPath = Area + InstallerName;
constexpr qint64 MiB = 1024 * 1024;

struct Watch
{
    explicit Watch(UpdateChecker *checker)
    {
        QObject::connect(checker, &UpdateChecker::checked, &context, [this](bool update, const QString &version) {
            checks.append({update, version});
        });
        QObject::connect(checker, &UpdateChecker::progress, &context,
                         [this](int percent) { progress.append(percent); });
        QObject::connect(checker, &UpdateChecker::downloaded, &context,
                         [this](const QString &path) { donePaths.append(path); });
        QObject::connect(checker, &UpdateChecker::failed, &context,
                         [this](const QString &message) { errors.append(message); });
    }
    int endings() const { return int(checks.size() + donePaths.size() + errors.size()); }

    QObject context;
    QList<std::pair<bool, QString>> checks;
    QList<int> progress;
    QStringList donePaths;
    QStringList errors;
};

QByteArray content(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (qint64 i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state);
    }
    return bytes;
}

QByteArray sha512(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha512).toBase64();
}

QByteArray manifest(const QString &version, const QString &path, const QByteArray &digest = {})
{
    QByteArray text = "version: " + version.toUtf8() + "\nfiles:\n  - url: other.run\n    sha512: nested\n";
    text += "path: " + path.toUtf8() + "\n";
    if (!digest.isEmpty())
        text += "sha512: " + digest + "\n";
    return text;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The first byte of "bytes=FIRST-LAST".
qint64 rangeStart(const RecordedRequest &request)
{
    static const QRegularExpression pattern(QStringLiteral("^bytes=(\\d+)-"));
    const auto match = pattern.match(QString::fromLatin1(request.header("Range")));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}
} // namespace

class TestUpdateChecker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void newerVersionsAreUpdates_data();
    void newerVersionsAreUpdates();
    void relativePathJoinsTheDownloadArea();
    void absolutePathIsUsedUnchanged();
    void manifestWithoutVersionOrPathFails();
    void unreachableManifestFailsWithText();
    void smallInstallerComesInOneStream();
    void installerWithoutDigestIsNeitherFetchedNorLaunched();
    void probeAnsweredWith200UsesOneStream();
    void tenMiBComesAsFourQuarterRanges();
    void fourKPlusOneGivesTheRemainderToTheLastSegment();
    void cutSegmentResumesAfterItsBytes();
    void thirdRestartFailsAndRemovesParts();
    void segmentNeverWritesPastItsShare();
    void earlierInstallerIsReplaced();
    void digestMismatchDeletesTheFile_data();
    void digestMismatchDeletesTheFile();
    void errorPageIsNotAnInstaller();
    void cancelEmitsNothingAndRemovesFiles();
    void restartedClientContinuesEverySegment();
    void changedInstallerStartsTheSideFileOver();
    void unsafeNameStaysInThePrivateFolder();
    void speedTextUsesLargeSizes();

private:
    UpdateChecker *makeChecker();
    // Checks against the manifest and downloads; true when the download ended one way or the other.
    bool checkAndDownload(UpdateChecker *checker, Watch &watch);
    QList<RecordedRequest> installerRequests() const;

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_root;
    QString m_folder;
    ScriptedServer m_server;
};

void TestUpdateChecker::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
}

void TestUpdateChecker::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    m_folder = m_root.filePath(QString::fromLatin1(QTest::currentTestFunction()) + QLatin1Char('_') +
                               QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_')) +
               QStringLiteral("/updates");
}

void TestUpdateChecker::cleanup()
{
    // No part file survives any test's end.
    const QStringList left = QDir(m_folder).entryList({QStringLiteral("*.part*")}, QDir::Files);
    QCOMPARE(left, QStringList());
}

UpdateChecker *TestUpdateChecker::makeChecker()
{
    auto *checker = new UpdateChecker(Channel, QLatin1String(UpdateChecker::CurrentVersion), this);
    checker->setInstallerFolder(m_folder);
    return checker;
}

bool TestUpdateChecker::checkAndDownload(UpdateChecker *checker, Watch &watch)
{
    checker->check();
    if (!waitUntil([&] { return watch.endings() == 1; }) || watch.checks.isEmpty())
        return false;
    checker->downloadInstaller();
    return waitUntil([&] { return watch.endings() == 2; }, 30000);
}

QList<RecordedRequest> TestUpdateChecker::installerRequests() const
{
    return m_server.requests("GET", InstallerPath);
}

void TestUpdateChecker::newerVersionsAreUpdates_data()
{
    QTest::addColumn<QString>("latest");
    QTest::addColumn<bool>("update");
    QTest::newRow("2.1.24") << "2.1.24" << true;
    QTest::newRow("2.2") << "2.2" << true;
    QTest::newRow("3") << "3" << true;
    QTest::newRow("2.1.23") << "2.1.23" << false;
    QTest::newRow("2.1.23.0") << "2.1.23.0" << false;
    QTest::newRow("2.1.9") << "2.1.9" << false;
    QTest::newRow("2.1.23.1") << "2.1.23.1" << true;
    QTest::newRow("2.1.x counts as 2.1.0") << "2.1.x" << false;
}

void TestUpdateChecker::newerVersionsAreUpdates()
{
    QFETCH(QString, latest);
    QFETCH(bool, update);
    m_server.on("GET", ManifestPath, ScriptedReply::text(200, manifest(latest, InstallerName)));
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    checker->check();
    QVERIFY(waitUntil([&] { return watch.endings() == 1; }));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(watch.checks.constFirst(), std::make_pair(update, latest));
    QCOMPARE(checker->hasUpdate(), update);
    QCOMPARE(m_server.requests().constFirst().header("X-TVR-Client"), QByteArray("1"));
}

void TestUpdateChecker::relativePathJoinsTheDownloadArea()
{
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, "first") +
                                             "sha512: second\n\tversion: 9\n"));
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    checker->check();
    QVERIFY(waitUntil([&] { return watch.endings() == 1; }));
    QCOMPARE(checker->installerUrl(), m_server.baseUrl() + InstallerPath);
    // Nested and indented keys are ignored; the first top-level digest counts.
    QCOMPARE(checker->expectedDigest(), QStringLiteral("first"));
    QCOMPARE(checker->latestVersion(), QStringLiteral("2.2.0"));
}

void TestUpdateChecker::absolutePathIsUsedUnchanged()
{
    const QString url = QStringLiteral("https://mirror.example.cn/pub/TolvarStorage.run");
    m_server.on("GET", ManifestPath, ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), url)));
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    checker->check();
    QVERIFY(waitUntil([&] { return watch.endings() == 1; }));
    QCOMPARE(checker->installerUrl(), url);
    QCOMPARE(checker->expectedDigest(), QString());
}

void TestUpdateChecker::manifestWithoutVersionOrPathFails()
{
    m_server.onSequence(
        "GET", ManifestPath,
        {ScriptedReply::text(200, "path: a.run\nsha512: x\n"), ScriptedReply::text(200, "version: 2.2.0\npath:\n")});
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    checker->check();
    QVERIFY(waitUntil([&] { return watch.endings() == 1; }));
    checker->check();
    QVERIFY(waitUntil([&] { return watch.endings() == 2; }));
    QCOMPARE(watch.errors, QStringList({QStringLiteral("更新信息解析失败"), QStringLiteral("更新信息解析失败")}));
    QVERIFY(watch.checks.isEmpty());

    // Without a successful check there is nothing to download.
    checker->downloadInstaller();
    QCOMPARE(watch.errors.constLast(), QStringLiteral("无安装包地址"));
}

void TestUpdateChecker::unreachableManifestFailsWithText()
{
    m_server.on("GET", ManifestPath,
                ScriptedReply::json(QJsonObject{{QStringLiteral("success"), false},
                                                {QStringLiteral("message"), QStringLiteral("文件不存在")}},
                                    404));
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    checker->check();
    QVERIFY(waitUntil([&] { return watch.endings() == 1; }));
    QCOMPARE(watch.errors, QStringList(QStringLiteral("检查更新失败：文件不存在")));
}

void TestUpdateChecker::installerWithoutDigestIsNeitherFetchedNorLaunched()
{
    const QByteArray body = content(64 * 1024);
    m_server.on("GET", ManifestPath, ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName)));
    m_server.serveContent(InstallerPath, body);
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList(QStringLiteral("安装包缺少校验信息，已取消")));
    QCOMPARE(watch.donePaths, QStringList());
    QVERIFY(!QFileInfo::exists(QDir(m_folder).filePath(InstallerName)));
}

void TestUpdateChecker::smallInstallerComesInOneStream()
{
    const QByteArray body = content(3 * MiB);
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    m_server.serveContent(InstallerPath, body);
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList());
    const QString target = QDir(m_folder).filePath(InstallerName);
    QCOMPARE(watch.donePaths, QStringList(target));
    QCOMPARE(readAll(target), body);
    QVERIFY(!checker->usedSegments());
    const QList<RecordedRequest> requests = installerRequests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).header("Range"), QByteArray("bytes=0-0"));
    QVERIFY(!requests.at(1).hasHeader("Range"));
    QCOMPARE(watch.progress.constLast(), 100);
    // The folder that holds what will be launched is this user's alone.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(QFileInfo(m_folder).permissions() & others, QFileDevice::Permissions());
}

void TestUpdateChecker::probeAnsweredWith200UsesOneStream()
{
    const QByteArray body = content(6 * MiB);
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    ScriptedReply whole = ScriptedReply::text(200, body, "application/octet-stream");
    m_server.on("GET", InstallerPath, whole);
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(readAll(watch.donePaths.value(0)), body);
    QVERIFY(!checker->usedSegments());
    const QList<RecordedRequest> requests = installerRequests();
    QCOMPARE(requests.size(), 2);
    QVERIFY(!requests.at(1).hasHeader("Range"));
}

void TestUpdateChecker::tenMiBComesAsFourQuarterRanges()
{
    const QByteArray body = content(10 * MiB);
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    m_server.serveContent(InstallerPath, body);
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(readAll(watch.donePaths.value(0)), body);
    QVERIFY(checker->usedSegments());

    QStringList ranges;
    for (const RecordedRequest &request : installerRequests())
        ranges << QString::fromLatin1(request.header("Range"));
    ranges.sort();
    QCOMPARE(ranges, QStringList({"bytes=0-0", "bytes=0-2621439", "bytes=2621440-5242879", "bytes=5242880-7864319",
                                  "bytes=7864320-10485759"}));
    QCOMPARE(watch.progress.constLast(), 100);
    QVERIFY(std::is_sorted(watch.progress.cbegin(), watch.progress.cend()));
}

void TestUpdateChecker::fourKPlusOneGivesTheRemainderToTheLastSegment()
{
    const qint64 k = MiB + 1;
    const QByteArray body = content(4 * k + 1);
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    m_server.serveContent(InstallerPath, body);
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(readAll(watch.donePaths.value(0)), body);

    QSet<QByteArray> ranges;
    for (const RecordedRequest &request : installerRequests())
        ranges.insert(request.header("Range"));
    const auto range = [](qint64 first, qint64 last) {
        return "bytes=" + QByteArray::number(first) + '-' + QByteArray::number(last);
    };
    QCOMPARE(ranges, QSet<QByteArray>({range(0, 0), range(0, k - 1), range(k, 2 * k - 1), range(2 * k, 3 * k - 1),
                                       range(3 * k, 4 * k)}));
}

void TestUpdateChecker::cutSegmentResumesAfterItsBytes()
{
    const QByteArray body = content(8 * MiB);
    const qint64 secondStart = 2 * MiB;
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    auto cut = std::make_shared<bool>(false);
    m_server.on("GET", InstallerPath, [body, cut, secondStart](const RecordedRequest &request) {
        ScriptedReply reply = rangedContent(body, request);
        if (rangeStart(request) == secondStart && !*cut) {
            *cut = true;
            reply.cutAfter(1000);
        }
        return reply;
    });
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(readAll(watch.donePaths.value(0)), body);

    QList<qint64> secondSegment;
    for (const RecordedRequest &request : installerRequests()) {
        const qint64 start = rangeStart(request);
        if (start >= secondStart && start < 2 * secondStart)
            secondSegment << start;
    }
    QCOMPARE(secondSegment, QList<qint64>({secondStart, secondStart + 1000}));
}

void TestUpdateChecker::thirdRestartFailsAndRemovesParts()
{
    const QByteArray body = content(8 * MiB);
    const qint64 thirdStart = 4 * MiB;
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    m_server.on("GET", InstallerPath, [body, thirdStart](const RecordedRequest &request) {
        ScriptedReply reply = rangedContent(body, request);
        const qint64 start = rangeStart(request);
        if (start >= thirdStart && start < thirdStart + 2 * MiB)
            reply.cutAfter(1000);
        return reply;
    });
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList(QStringLiteral("下载失败（分段连接中断）")));
    QVERIFY(watch.donePaths.isEmpty());

    // The access manager itself may repeat a request whose connection closed; the ranges asked for count.
    QSet<qint64> thirdSegment;
    for (const RecordedRequest &request : installerRequests()) {
        const qint64 start = rangeStart(request);
        if (start >= thirdStart && start < thirdStart + 2 * MiB)
            thirdSegment << start;
    }
    QCOMPARE(thirdSegment, QSet<qint64>({thirdStart, thirdStart + 1000, thirdStart + 2000, thirdStart + 3000}));
    QVERIFY(!QFile::exists(QDir(m_folder).filePath(InstallerName)));
    QVERIFY(!checker->isDownloading());
}

void TestUpdateChecker::segmentNeverWritesPastItsShare()
{
    const QByteArray body = content(8 * MiB);
    const qint64 secondStart = 2 * MiB;
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    m_server.on("GET", InstallerPath, [body, secondStart](const RecordedRequest &request) {
        ScriptedReply reply = rangedContent(body, request);
        // The right Content-Range, but a body that runs on into the next share with other bytes.
        if (rangeStart(request) == secondStart)
            reply.body += QByteArray(300000, 'X');
        return reply;
    });
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(readAll(watch.donePaths.value(0)), body);
}

void TestUpdateChecker::earlierInstallerIsReplaced()
{
    const QByteArray body = content(8 * MiB);
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    m_server.serveContent(InstallerPath, body);
    // The file of an earlier download, longer than the new one.
    QVERIFY(QDir().mkpath(m_folder));
    QFile earlier(QDir(m_folder).filePath(InstallerName));
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write(content(9 * MiB)) == 9 * MiB);
    earlier.close();
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList());
    QVERIFY(checker->usedSegments());
    QCOMPARE(readAll(watch.donePaths.value(0)), body);
}

void TestUpdateChecker::digestMismatchDeletesTheFile_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("one stream") << qint64(MiB);
    QTest::newRow("segments") << qint64(6 * MiB);
}

void TestUpdateChecker::digestMismatchDeletesTheFile()
{
    QFETCH(qint64, size);
    const QByteArray body = content(size);
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512("other"))));
    m_server.serveContent(InstallerPath, body);
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList(QStringLiteral("安装包校验未通过，已取消")));
    QVERIFY(watch.donePaths.isEmpty());
    QCOMPARE(checker->usedSegments(), size > UpdateChecker::SegmentThreshold);
    QVERIFY(!QFile::exists(QDir(m_folder).filePath(InstallerName)));
}

void TestUpdateChecker::errorPageIsNotAnInstaller()
{
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512("not here"))));
    m_server.on("GET", InstallerPath, ScriptedReply::text(404, "not here"));
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList(QStringLiteral("下载失败：服务器返回 404")));
    QVERIFY(watch.donePaths.isEmpty());
    QVERIFY(!QFile::exists(QDir(m_folder).filePath(InstallerName)));
}

void TestUpdateChecker::cancelEmitsNothingAndRemovesFiles()
{
    const QByteArray body = content(8 * MiB);
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    m_server.on("GET", InstallerPath, [body](const RecordedRequest &request) {
        ScriptedReply reply = rangedContent(body, request);
        // Segments deliver a little and then stall, so the download is surely running.
        if (request.header("Range") != "bytes=0-0")
            reply.trickle(64 * 1024, 200);
        return reply;
    });
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);

    checker->cancelDownload(); // nothing runs: harmless
    checker->check();
    QVERIFY(waitUntil([&] { return watch.endings() == 1; }));
    checker->downloadInstaller();
    QVERIFY(waitUntil([&] { return !watch.progress.isEmpty(); }));
    QVERIFY(checker->isDownloading());
    checker->cancelDownload();
    QVERIFY(!checker->isDownloading());

    // A second check is a barrier: by its answer every late event of the canceled download has arrived.
    checker->check();
    QVERIFY(waitUntil([&] { return watch.checks.size() == 2; }));
    const int progressCount = int(watch.progress.size());
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(watch.donePaths, QStringList());
    QCOMPARE(watch.progress.size(), progressCount);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files), QStringList());
}

void TestUpdateChecker::restartedClientContinuesEverySegment()
{
    const QByteArray body = content(8 * MiB);
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    m_server.on("GET", InstallerPath, [body](const RecordedRequest &request) {
        ScriptedReply reply = rangedContent(body, request);
        // The first client's segments deliver a little and then crawl.
        if (request.header("Range") != "bytes=0-0")
            reply.trickle(64 * 1024, 200);
        return reply;
    });
    const QString side = QDir(m_folder).filePath(InstallerName + QStringLiteral(".part"));
    const QString notePath = RangedFetch::recordPathFor(side);
    {
        std::unique_ptr<UpdateChecker> first(makeChecker());
        Watch watch(first.get());
        first->check();
        QVERIFY(waitUntil([&] { return watch.endings() == 1; }));
        first->downloadInstaller();
        // A few pieces of every segment are on disk: the pieces come to all four alike.
        QVERIFY(waitUntil([&] { return !watch.progress.isEmpty() && watch.progress.constLast() >= 6; }));
        QCOMPARE(first->sidePath(), side);
    } // the client quits
    const std::optional<RangedFetch::Record> note = RangedFetch::readRecord(notePath);
    QVERIFY(note.has_value());
    QCOMPARE(note->spans.size(), qsizetype(UpdateChecker::SegmentCount));
    for (const RangedFetch::Span &span : note->spans)
        QVERIFY(span.done > 0 && !span.complete());
    QVERIFY(QFileInfo(side).size() > note->spans.constLast().start);
    QVERIFY(!QFile::exists(QDir(m_folder).filePath(InstallerName)));

    m_server.clearRequests();
    m_server.on("GET", InstallerPath, [body](const RecordedRequest &request) { return rangedContent(body, request); });
    UpdateChecker *second = makeChecker();
    Watch watch(second);
    QVERIFY(checkAndDownload(second, watch));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(readAll(watch.donePaths.value(0)), body);
    // Each segment asked only for what the first client had not written.
    QSet<qint64> expected{0};
    for (const RangedFetch::Span &span : note->spans) {
        if (!span.complete())
            expected.insert(span.next());
    }
    QSet<qint64> asked;
    for (const RecordedRequest &request : installerRequests())
        asked.insert(rangeStart(request));
    QCOMPARE(asked, expected);
    QVERIFY(!QFile::exists(notePath));
}

void TestUpdateChecker::changedInstallerStartsTheSideFileOver()
{
    // A side file with its note from another build of the same name and size.
    const QByteArray older = content(8 * MiB + 5).right(8 * MiB);
    const QByteArray body = content(8 * MiB);
    QVERIFY(UpdateChecker::preparePrivateFolder(m_folder));
    const QString side = QDir(m_folder).filePath(InstallerName + QStringLiteral(".part"));
    QFile stale(side);
    QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(older.left(3 * MiB)) == 3 * MiB);
    stale.close();
    RangedFetch::Record record{m_server.baseUrl() + InstallerPath, "\"old\"", 8 * MiB,
                               RangedFetch::split(8 * MiB, UpdateChecker::SegmentCount)};
    record.spans[0].done = 2 * MiB;
    record.spans[1].done = MiB;
    QVERIFY(RangedFetch::writeRecord(RangedFetch::recordPathFor(side), record));

    m_server.on("GET", ManifestPath,
                ScriptedReply::text(200, manifest(QStringLiteral("2.2.0"), InstallerName, sha512(body))));
    m_server.on("GET", InstallerPath, [body](const RecordedRequest &request) {
        ScriptedReply reply = rangedContent(body, request);
        reply.headers.emplaceBack("ETag", "\"new\"");
        return reply;
    });
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList());
    QCOMPARE(readAll(watch.donePaths.value(0)), body);
    QSet<qint64> asked;
    for (const RecordedRequest &request : installerRequests())
        asked.insert(rangeStart(request));
    QCOMPARE(asked, QSet<qint64>({0, 2 * MiB, 4 * MiB, 6 * MiB}));
}

void TestUpdateChecker::unsafeNameStaysInThePrivateFolder()
{
    const QByteArray body = content(1000);
    m_server.on("GET", Area + QStringLiteral("*"),
                [body](const RecordedRequest &request) { return rangedContent(body, request); });
    m_server.on("GET", ManifestPath,
                ScriptedReply::text(
                    200, manifest(QStringLiteral("2.2.0"), QStringLiteral("..%5C..%5Cevil%3F.run"), sha512(body))));
    UpdateChecker *checker = makeChecker();
    Watch watch(checker);
    QVERIFY(checkAndDownload(checker, watch));
    QCOMPARE(watch.errors, QStringList());
    const QFileInfo done(watch.donePaths.value(0));
    QCOMPARE(done.absolutePath(), QFileInfo(m_folder).absoluteFilePath());
    QCOMPARE(done.fileName(), QStringLiteral("evil.run"));
    QCOMPARE(readAll(done.filePath()), body);
}

void TestUpdateChecker::speedTextUsesLargeSizes()
{
    // 8 GiB left at 2 MiB/s: figures far beyond 32 bits stay exact.
    QCOMPARE(UpdateChecker::speedText(2.0 * MiB, 8192 * MiB), QStringLiteral("2.0 MB/s · 剩余约 4096 秒"));
    QCOMPARE(UpdateChecker::speedText(0.0, 10), QStringLiteral("0.0 MB/s · 剩余约 10 秒"));
    QCOMPARE(UpdateChecker::speedText(5.0 * MiB, 1), QStringLiteral("5.0 MB/s · 剩余约 1 秒"));
}

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
