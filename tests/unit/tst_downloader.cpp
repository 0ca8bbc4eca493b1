// Downloader against the scripted server: the side file, resume by Range, progress figures,
// 416 both ways, a server that ignores Range, replacing and locked targets, unsafe names.
#include "eventwait.h"
#include "scriptedserver.h"
#include "testsettings.h"
#include "transfer/downloader.h"

#include <QDir>
#include <QFile>
#include <QPointer>
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
} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void downloadsThroughTheSideFile();
    void resumesFromPartFileWithRangeHeader();
    void resumeFalseOverwritesTheSideFile();
    void unknownLengthKeepsTotalZeroAndEtaUnknown();
    void rangeIgnoredByServerReplacesTheSideFile();
    void notSatisfiableWithCompleteSideFileFinishes_data();
    void notSatisfiableWithCompleteSideFileFinishes();
    void notSatisfiableWithLargerSideFileStartsOver();
    void notSatisfiableWithoutSideFileFails();
    void httpErrorKeepsTheSideFile();
    void existingTargetIsReplaced();
    void lockedTargetReportsAndKeepsTheData();
    void unsafeNamesStayInsideTheFolder_data();
    void unsafeNamesStayInsideTheFolder();
    void unwritableFolderFails();

private:
    Watch *run(const QString &fileName, bool resume);

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

Watch *TestDownloader::run(const QString &fileName, bool resume)
{
    auto *downloader = new Downloader(this);
    auto watch = std::make_shared<Watch>(downloader);
    m_watches.append(watch);
    downloader->start(FilePath, m_dir, fileName, resume);
    if (!waitUntil([&] { return watch->finished(); }))
        watch->errors << QStringLiteral("timed out");
    return watch.get();
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
    QVERIFY(writeAll(target + ".part", body.left(1000)));

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
    QVERIFY(writeAll(target + ".part", QByteArray(1000, 'X')));

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
    QTest::newRow("total matches") << QByteArray("bytes */5000");
    QTest::newRow("no total stated") << QByteArray();
}

void TestDownloader::notSatisfiableWithCompleteSideFileFinishes()
{
    QFETCH(QByteArray, contentRange);
    const QByteArray body = content(5000);
    ScriptedReply unsatisfiable = ScriptedReply::json(QJsonObject{{"error", "范围无效"}}, 416);
    if (!contentRange.isEmpty())
        unsatisfiable.withHeader("Content-Range", contentRange);
    m_server.on("GET", FilePath, unsatisfiable);
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("full.bin"));
    QVERIFY(writeAll(target + ".part", body));

    Watch *watch = run(QStringLiteral("full.bin"), true);
    QCOMPARE(watch->errors, QStringList());
    QCOMPARE(watch->donePath, target);
    QCOMPARE(readAll(target), body); // the error body never reached the file
    QCOMPARE(m_server.requestCount(), 1);
}

void TestDownloader::notSatisfiableWithLargerSideFileStartsOver()
{
    const QByteArray body = content(5000);
    m_server.serveContent(FilePath, body); // answers bytes=6000- with 416 "bytes */5000"
    const QString target = QDir(m_dir).absoluteFilePath(QStringLiteral("stale.bin"));
    QVERIFY(writeAll(target + ".part", QByteArray(6000, 'S')));

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
