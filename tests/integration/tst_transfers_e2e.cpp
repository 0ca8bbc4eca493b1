// The transfer list against the reference server: pause and continue byte-exact both ways, a
// client killed mid-transfer and started again, a source edited while paused, the server going
// away and coming back under the status bar's watch, the speed limits, and the proxy.
#include "app/statusbar.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "referenceserver.h"
#include "testproxy.h"
#include "testsettings.h"
#include "transfer/downloader.h"
#include "transfer/rangedfetch.h"
#include "transfer/transfermanager.h"
#include "transferkit.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <memory>

namespace {
using State = TransferTask::State;
constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 ServerChunk = MiB;
constexpr qint64 FileSize = 24 * MiB;
// Where the child of the restart test is killed: well into both files, far from their ends.
constexpr qint64 ReadyBytes = 3 * MiB;

// What a job was doing when a wait for it ran out.
QString describe(const TransferTask *task)
{
    return QStringLiteral("state %1 (%2), %3 of %4 bytes, busy %5")
        .arg(int(task->state()))
        .arg(task->stateText())
        .arg(task->doneBytes())
        .arg(task->totalBytes())
        .arg(task->isBusy());
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs = 60000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The child of restartInANewProcessContinuesBoth: starts an upload and a download, the download
// under a limit that keeps it from finishing for a long while, says "ready" once both are well
// under way, and waits to be killed.
int runChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    useSettingsFolder(qEnvironmentVariable("TVR_CHILD_SETTINGS")); // never the settings of whoever runs it
    const QStringList args = app.arguments();
    Session::instance()->userId = qEnvironmentVariable("TVR_CHILD_USER");
    Session::instance()->token = qEnvironmentVariable("TVR_CHILD_TOKEN");
    TransferManager manager;
    TransferSettings settings;
    settings.uploadLimit = 2 * MiB;
    settings.downloadLimit = MiB / 2;
    manager.applySettings(settings, false);
    if (!manager.openStore(args.value(2), Session::instance()->userId))
        return 2;
    TransferTask *upload = manager.addUpload(args.value(3), QString());
    TransferTask *download = manager.addDownload(args.value(4), args.value(5), args.value(6));
    bool said = false;
    QObject::connect(&manager, &TransferManager::taskChanged, &app, [&] {
        // Chunks in flight count as done before the server holds them: ask for more of the upload.
        if (!said && upload->doneBytes() >= 2 * ReadyBytes && download->doneBytes() >= ReadyBytes) {
            said = true;
            std::fputs("ready\n", stdout);
            std::fflush(stdout);
        }
    });
    return app.exec();
}
} // namespace

class TestTransfersE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void pauseAndResumeAreByteExact();
    void restartInANewProcessContinuesBoth();
    void changedSourceRestartsFromTheHash();
    void cancelLeavesNoSideFileAndNoSession();
    void speedLimitsHoldWithinTenPercent();
    void proxyCarriesEveryRequest();
    void lostConnectionPausesAndResumes();

private:
    QByteArray serverMd5(const QString &id);
    QString uploadedId(const QString &localPath);

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_work;
    std::unique_ptr<ReferenceServer> m_server;
    std::unique_ptr<ReferenceServer> m_restarted;
    ReferenceServer::Credentials m_user;
    std::unique_ptr<TransferManager> m_manager;
    QString m_dir;
    QString m_sourceId; // a 24 MiB file on the server, uploaded once
    QString m_source;
};

void TestTransfersE2E::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    ReferenceServer::Options options;
    options.chunkSize = ServerChunk;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_user = m_server->signIn(QStringLiteral("e2e_transfers"), QStringLiteral("13912340001"));
    QVERIFY(m_user.isValid());
    QVERIFY(Session::instance()->applyLogin(m_user.login));

    m_source = m_work.filePath(QStringLiteral("source.bin"));
    QVERIFY(writeRandomFile(m_source, FileSize, 1));
    m_sourceId = uploadedId(m_source);
    QVERIFY(!m_sourceId.isEmpty());
}

void TestTransfersE2E::cleanupTestCase()
{
    m_manager.reset();
    m_restarted.reset();
    m_server.reset();
}

void TestTransfersE2E::init()
{
    m_dir = m_work.filePath(QString::fromLatin1(QTest::currentTestFunction()));
    QVERIFY(QDir().mkpath(m_dir));
    m_manager = std::make_unique<TransferManager>();
}

void TestTransfersE2E::cleanup()
{
    m_manager.reset();
    // Limits and proxy belong to the client as a whole: back to none for the next test.
    TransferManager cleaner;
    cleaner.applySettings(TransferSettings(), false);
}

QByteArray TestTransfersE2E::serverMd5(const QString &id)
{
    const ReferenceServer::Reply reply = m_server->get(QStringLiteral("/api/files/%1/download").arg(id), m_user);
    return reply.status == 200 ? QCryptographicHash::hash(reply.body, QCryptographicHash::Md5).toHex() : QByteArray();
}

QString TestTransfersE2E::uploadedId(const QString &localPath)
{
    TransferManager manager;
    TransferTask *task = manager.addUpload(localPath, QString());
    if (!waitFor([&] { return !task->isUnfinished() || task->state() == State::Failed; }))
        return {};
    return jsonText(task->fileRecord(), QStringLiteral("id"));
}

void TestTransfersE2E::pauseAndResumeAreByteExact()
{
    TransferSettings limited;
    limited.uploadLimit = 8 * MiB;
    limited.downloadLimit = 8 * MiB;
    m_manager->applySettings(limited, false);

    const QString up = QDir(m_dir).filePath(QStringLiteral("up.bin"));
    QVERIFY(writeRandomFile(up, FileSize, 2));
    TransferTask *upload = m_manager->addUpload(up, QString());
    QVERIFY(waitFor([&] { return upload->doneBytes() > FileSize / 3; }));
    m_manager->pause(upload);
    QVERIFY2(waitFor([&] { return settled(upload, State::Paused); }), qPrintable(describe(upload)));
    const qint64 held = upload->doneBytes();
    QVERIFY(held < FileSize);
    QSignalSpy moved(upload, &TransferTask::changed);
    m_manager->resume(upload);
    QVERIFY(waitFor([&] { return settled(upload, State::Finished); }));
    QCOMPARE(serverMd5(jsonText(upload->fileRecord(), QStringLiteral("id"))), md5OfFile(up));

    TransferTask *download = m_manager->addDownload(QStringLiteral("/api/files/%1/download").arg(m_sourceId), m_dir,
                                                    QStringLiteral("d.bin"));
    QVERIFY(waitFor([&] { return download->doneBytes() > FileSize / 3; }));
    m_manager->pause(download);
    QVERIFY2(waitFor([&] { return settled(download, State::Paused); }), qPrintable(describe(download)));
    const QString target = QDir(m_dir).filePath(QStringLiteral("d.bin"));
    const qint64 kept = QFileInfo(target + ".part").size();
    QVERIFY(kept > FileSize / 3 && kept < FileSize);
    QVERIFY(!QFile::exists(target));
    qint64 firstAfterResume = -1;
    connect(download, &TransferTask::sigDownloadProgress, this, [&](qlonglong done) {
        if (firstAfterResume < 0)
            firstAfterResume = done;
    });
    m_manager->resume(download);
    QVERIFY2(waitFor([&] { return settled(download, State::Finished); }), qPrintable(describe(download)));
    QVERIFY2(firstAfterResume >= kept, "the download started over");
    QCOMPARE(md5OfFile(target), md5OfFile(m_source));
    QVERIFY(!QFile::exists(target + ".part"));
}

void TestTransfersE2E::restartInANewProcessContinuesBoth()
{
    QTemporaryDir store;
    const QString up = QDir(m_dir).filePath(QStringLiteral("child-up.bin"));
    QVERIFY(writeRandomFile(up, FileSize, 3));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TVR_CHILD_USER"), m_user.userId);
    env.insert(QStringLiteral("TVR_CHILD_TOKEN"), m_user.token);
    env.insert(QStringLiteral("TVR_CHILD_SETTINGS"), m_settingsDir.path());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--transfer-child"), store.path(), up,
                 QStringLiteral("/api/files/%1/download").arg(m_sourceId), m_dir, QStringLiteral("child-down.bin")});
    QVERIFY(child.waitForStarted());
    QByteArray said;
    QVERIFY2(waitFor([&] {
                 said += child.readAllStandardOutput();
                 return said.contains("ready") || child.state() == QProcess::NotRunning;
             }) &&
                 child.state() == QProcess::Running,
             child.readAllStandardError().constData());
    child.kill(); // no chance to write anything on the way out
    QVERIFY(child.waitForFinished());

    const QString target = QDir(m_dir).filePath(QStringLiteral("child-down.bin"));
    const qint64 kept = QFileInfo(target + ".part").size();
    QVERIFY2(kept >= ReadyBytes && kept < FileSize, qPrintable(QDir(m_dir).entryList().join(',')));

    QVERIFY(m_manager->openStore(store.path(), m_user.userId));
    QCOMPARE(m_manager->tasks().size(), 2);
    TransferTask *upload = m_manager->tasks().at(0);
    TransferTask *download = m_manager->tasks().at(1);
    QCOMPARE(upload->state(), State::Paused);
    QCOMPARE(download->state(), State::Paused);
    QCOMPARE(upload->name(), QStringLiteral("child-up.bin"));

    // "上传中 k/N" at the first chunk sent now: k - 1 chunks were held by the server already.
    int heldAtStart = -1;
    qint64 firstDownloaded = -1;
    connect(upload, &TransferTask::sigUploadProgress, this, [&](int, const QString &phase) {
        if (heldAtStart < 0 && phase.startsWith(QStringLiteral("上传中 ")))
            heldAtStart = phase.mid(4).section(QLatin1Char('/'), 0, 0).toInt() - 1;
    });
    connect(download, &TransferTask::sigDownloadProgress, this, [&](qlonglong done) {
        if (firstDownloaded < 0)
            firstDownloaded = done;
    });
    m_manager->resume(upload);
    m_manager->resume(download);
    QVERIFY2(waitFor([&] { return settled(upload, State::Finished) && settled(download, State::Finished); }),
             qPrintable(QStringLiteral("upload %1 (%2 bytes), download %3 (%4 bytes)")
                            .arg(upload->stateText(), QString::number(upload->doneBytes()), download->stateText(),
                                 QString::number(download->doneBytes()))));
    QVERIFY2(heldAtStart >= ReadyBytes / ServerChunk, qPrintable(QString::number(heldAtStart)));
    QVERIFY2(firstDownloaded >= kept, "the download did not continue from its side file");
    QCOMPARE(serverMd5(jsonText(upload->fileRecord(), QStringLiteral("id"))), md5OfFile(up));
    QCOMPARE(md5OfFile(target), md5OfFile(m_source));
}

void TestTransfersE2E::changedSourceRestartsFromTheHash()
{
    TransferSettings limited;
    limited.uploadLimit = 8 * MiB;
    m_manager->applySettings(limited, false);
    const QString up = QDir(m_dir).filePath(QStringLiteral("edited.bin"));
    QVERIFY(writeRandomFile(up, FileSize, 4));
    TransferTask *upload = m_manager->addUpload(up, QString());
    QVERIFY(waitFor([&] { return upload->doneBytes() > FileSize / 3; }));
    m_manager->pause(upload);
    QVERIFY2(waitFor([&] { return settled(upload, State::Paused); }), qPrintable(describe(upload)));

    // Edited while paused: same size, other bytes.
    QVERIFY(writeRandomFile(up, FileSize, 5));
    QFile touch(up);
    QVERIFY(touch.open(QIODevice::ReadWrite));
    QVERIFY(touch.setFileTime(QDateTime::currentDateTime().addSecs(3), QFileDevice::FileModificationTime));
    touch.close();

    QSignalSpy phases(upload, &TransferTask::sigUploadProgress);
    m_manager->resume(upload);
    QVERIFY(waitFor([&] { return settled(upload, State::Finished); }));
    QCOMPARE(phases.first().at(1).toString(), QStringLiteral("计算校验值"));
    QCOMPARE(serverMd5(jsonText(upload->fileRecord(), QStringLiteral("id"))), md5OfFile(up));
}

void TestTransfersE2E::cancelLeavesNoSideFileAndNoSession()
{
    TransferSettings limited;
    limited.uploadLimit = 4 * MiB;
    limited.downloadLimit = 4 * MiB;
    m_manager->applySettings(limited, false);
    const QDir sessions(m_server->dataDir() + QStringLiteral("/uploads"));
    const auto sessionFolders = [&] { return sessions.entryList(QDir::Dirs | QDir::NoDotAndDotDot); };
    const QStringList before = sessionFolders();

    const QString up = QDir(m_dir).filePath(QStringLiteral("dropped.bin"));
    QVERIFY(writeRandomFile(up, FileSize, 6));
    TransferTask *upload = m_manager->addUpload(up, QString());
    QVERIFY(waitFor([&] { return upload->doneBytes() > FileSize / 4; }));
    QVERIFY(sessionFolders().size() == before.size() + 1);
    m_manager->cancel(upload);
    QVERIFY2(waitFor([&] { return sessionFolders() == before; }), qPrintable(sessionFolders().join(',')));

    TransferTask *download = m_manager->addDownload(QStringLiteral("/api/files/%1/download").arg(m_sourceId), m_dir,
                                                    QStringLiteral("gone.bin"));
    const QString target = QDir(m_dir).filePath(QStringLiteral("gone.bin"));
    QVERIFY(waitFor([&] { return QFileInfo(target + ".part").size() > FileSize / 4; }));
    m_manager->cancel(download);
    QVERIFY(waitFor([&] { return !QFile::exists(target + ".part"); }));
    QVERIFY(!QFile::exists(target + ".part.meta"));
    QVERIFY(!QFile::exists(target));
    QCOMPARE(m_manager->tasks().size(), 0);
    QCOMPARE(QDir(m_dir).entryList(QDir::Files), QStringList{QStringLiteral("dropped.bin")});
}

void TestTransfersE2E::speedLimitsHoldWithinTenPercent()
{
    constexpr qint64 Limit = 4 * MiB;
    TransferSettings limited;
    limited.uploadLimit = Limit;
    limited.downloadLimit = Limit;
    m_manager->applySettings(limited, false);

    // Rates between the first and the last byte counted, so hashing and the merge stay out.
    const auto measure = [](TransferTask *task) {
        const DataRateWatch rate(task);
        return waitFor([&] { return settled(task, State::Finished); }) ? rate.bytesPerSecond() : -1.0;
    };

    TransferTask *download = m_manager->addDownload(QStringLiteral("/api/files/%1/download").arg(m_sourceId), m_dir,
                                                    QStringLiteral("l.bin"));
    const double downRate = measure(download);
    qInfo("download at a limit of %lld B/s: %.0f B/s", Limit, downRate);
    QVERIFY2(std::abs(downRate - Limit) <= Limit * 0.1, qPrintable(QString::number(downRate)));

    const QString up = QDir(m_dir).filePath(QStringLiteral("limited.bin"));
    QVERIFY(writeRandomFile(up, FileSize, 6));
    TransferTask *upload = m_manager->addUpload(up, QString());
    const double upRate = measure(upload);
    qInfo("upload at a limit of %lld B/s: %.0f B/s", Limit, upRate);
    QVERIFY2(std::abs(upRate - Limit) <= Limit * 0.1, qPrintable(QString::number(upRate)));
}

void TestTransfersE2E::proxyCarriesEveryRequest()
{
    TestProxy proxy;
    QVERIFY(proxy.listen());
    const QByteArray server = QUrl(m_server->baseUrl()).authority().toLatin1();

    for (const auto mode : {TransferSettings::ProxyMode::Http, TransferSettings::ProxyMode::Socks5}) {
        proxy.clear();
        TransferSettings settings;
        settings.proxyMode = mode;
        settings.proxyHost = QStringLiteral("127.0.0.1");
        settings.proxyPort = proxy.port();
        m_manager->applySettings(settings, false);

        const QString big = QDir(m_dir).filePath(QStringLiteral("via-%1.bin").arg(int(mode)));
        QVERIFY(writeRandomFile(big, 9 * MiB, 7 + int(mode)));
        const QString small = QDir(m_dir).filePath(QStringLiteral("via-%1.txt").arg(int(mode)));
        QVERIFY(writeRandomFile(small, 1000, 9 + int(mode)));
        TransferTask *chunked = m_manager->addUpload(big, QString());
        TransferTask *form = m_manager->addFormUpload({small}, QString());
        TransferTask *download = m_manager->addDownload(QStringLiteral("/api/files/%1/download").arg(m_sourceId), m_dir,
                                                        QStringLiteral("via-%1.dl").arg(int(mode)));
        const bool finished = waitFor([&] {
            return settled(chunked, State::Finished) && settled(form, State::Finished) &&
                   settled(download, State::Finished);
        });
        const QString states = QStringList{chunked->stateText(), form->stateText(), download->stateText(),
                                           QString::fromLatin1(proxy.seen().join('\n'))}
                                   .join('|');
        QVERIFY2(finished, qPrintable(states));
        QCOMPARE(serverMd5(jsonText(chunked->fileRecord(), QStringLiteral("id"))), md5OfFile(big));
        QCOMPARE(md5OfFile(QDir(m_dir).filePath(QStringLiteral("via-%1.dl").arg(int(mode)))), md5OfFile(m_source));

        const QList<QByteArray> seen = proxy.seen();
        if (mode == TransferSettings::ProxyMode::Http) {
            const QByteArray base = "http://" + server;
            QVERIFY2(proxy.count("POST " + base + "/api/upload/init") == 1, seen.join('\n').constData());
            QVERIFY2(proxy.count("PUT " + base + "/api/upload/chunk/") == 9, seen.join('\n').constData());
            QVERIFY(proxy.count("POST " + base + "/api/upload/merge") == 1);
            QVERIFY(proxy.count("POST " + base + "/api/files/upload") == 1);
            QVERIFY(proxy.count("GET " + base + "/api/files/" + m_sourceId.toLatin1() + "/download") == 1);
        } else {
            // Tunnels only show where they lead: the access manager's and the chunk connections'.
            QVERIFY2(proxy.count("SOCKS5 " + server) >= 2, seen.join('\n').constData());
            QCOMPARE(proxy.count("SOCKS5 " + server), int(seen.size()));
        }
    }
}

void TestTransfersE2E::lostConnectionPausesAndResumes()
{
    // Wired as the main window wires them.
    StatusBar bar;
    connect(&bar, &StatusBar::connectionProbed, m_manager.get(), &TransferManager::setServerReachable);
    connect(m_manager.get(), &TransferManager::reachabilityCheckRequested, &bar, &StatusBar::checkConnection);
    QSignalSpy probed(&bar, &StatusBar::connectionProbed);
    QVERIFY(probed.wait(5000)); // the first probe
    QVERIFY(bar.isConnected());

    // Larger than everything the two ends may buffer between them (the kernel's receive buffer
    // alone grows to tens of MiB on loopback), so stopping the server cuts the body off instead
    // of leaving the rest of it already on its way.
    const QString lost = QDir(m_dir).filePath(QStringLiteral("lost.bin"));
    QVERIFY(writeRandomFile(lost, 4 * FileSize, 8));
    const QString lostId = uploadedId(lost);
    QVERIFY(!lostId.isEmpty());

    TransferSettings limited;
    limited.downloadLimit = 6 * MiB;
    m_manager->applySettings(limited, false);
    TransferTask *download =
        m_manager->addDownload(QStringLiteral("/api/files/%1/download").arg(lostId), m_dir, QStringLiteral("n.bin"));
    QVERIFY(waitFor([&] { return download->doneBytes() > 2 * MiB; }));

    const QString dataDir = m_server->dataDir();
    m_server->stop();
    QVERIFY(!m_server->isRunning());
    QVERIFY(waitFor([&] { return settled(download, State::Paused) && !bar.isConnected(); }));
    QVERIFY(download->isAutoPaused());
    QCOMPARE(download->stateText(), QStringLiteral("等待网络"));
    // 96 MiB comes in four ranged streams: the side file has gaps, and its note counts what it holds.
    const QString part = QDir(m_dir).filePath(QStringLiteral("n.bin.part"));
    const std::optional<RangedFetch::Record> note = RangedFetch::readRecord(Downloader::metaPathFor(part));
    QVERIFY(note.has_value());
    const qint64 kept = note->done();
    QVERIFY(kept > 2 * MiB);

    // The server comes back (at another port) with the same data; the next probe finds it.
    ReferenceServer::Options options;
    options.chunkSize = ServerChunk;
    options.dataDir = dataDir;
    m_restarted = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_restarted->start(), qPrintable(m_restarted->errorString()));
    qputenv("TVR_SERVER", m_restarted->baseUrl().toUtf8());
    qint64 firstAfter = -1;
    connect(download, &TransferTask::sigDownloadProgress, this, [&](qlonglong done) {
        if (firstAfter < 0)
            firstAfter = done;
    });
    m_manager->applySettings(TransferSettings(), false); // the rest at full speed
    bar.checkConnection();
    QVERIFY2(waitFor([&] { return settled(download, State::Finished); }), qPrintable(describe(download)));
    QVERIFY(bar.isConnected());
    QVERIFY(firstAfter >= kept);
    QCOMPARE(md5OfFile(QDir(m_dir).filePath(QStringLiteral("n.bin"))), md5OfFile(lost));
    std::swap(m_server, m_restarted); // the later tests' server, should any follow
}

int main(int argc, char **argv)
{
    if (argc >= 2 && qstrcmp(argv[1], "--transfer-child") == 0)
        return runChild(argc, argv);
    QApplication app(argc, argv);
    TestTransfersE2E test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_transfers_e2e.moc"
