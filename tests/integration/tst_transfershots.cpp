// The transfer list in the main window against the reference server's demo account, rendered
// offscreen with rows of every kind (running both ways, queued, paused, failed, finished) and
// with its settings. The pictures go to $TVR_SCREENSHOT_DIR when it is set.
#include "app/mainwindow.h"
#include "app/statusbar.h"
#include "app/theme.h"
#include "app/transferlistmodel.h"
#include "app/transferpage.h"
#include "app/transfersettingspanel.h"
#include "net/session.h"
#include "referenceserver.h"
#include "screenshots.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"
#include "transferkit.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRandomGenerator>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

namespace {
using State = TransferTask::State;
constexpr qint64 MiB = 1024 * 1024;

} // namespace

class TestTransferShots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void showsEveryKindOfRowAndTheSettings();

private:
    QTemporaryDir m_settingsDir;
    QTemporaryDir m_work;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_demo;
};

void TestTransferShots::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    qApp->setStyleSheet(Theme::globalStyleSheet());
    ReferenceServer::Options options;
    options.demo = true;
    options.chunkSize = MiB;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_demo = m_server->signIn(QStringLiteral("demo"), QStringLiteral("13800138000"));
    QVERIFY(m_demo.isValid());
    QVERIFY(Session::instance()->applyLogin(m_demo.login));
}

void TestTransferShots::cleanupTestCase()
{
    TransferManager::instance()->closeStore();
    m_server.reset();
}

void TestTransferShots::showsEveryKindOfRowAndTheSettings()
{
    TransferManager *transfers = TransferManager::instance();
    const QString downloads = m_work.filePath(QStringLiteral("下载"));
    QVERIFY(QDir().mkpath(downloads));
    const auto local = [this](const QString &name, qint64 size, quint32 seed) {
        const QString path = m_work.filePath(name);
        return writeRandomFile(path, size, seed) ? path : QString();
    };

    // Files on the server to download: put there through the list itself.
    const QString video = local(QStringLiteral("产品宣传视频.mp4"), 48 * MiB, 1);
    const QString manual = local(QStringLiteral("员工手册.pdf"), 3 * MiB, 2);
    TransferTask *videoUp = transfers->addUpload(video, QString());
    TransferTask *manualUp = transfers->addFormUpload({manual}, QString());
    QVERIFY(QTest::qWaitFor([&] { return settled(videoUp, State::Finished) && settled(manualUp, State::Finished); },
                            60000));
    const QString videoId = jsonText(videoUp->fileRecord(), QStringLiteral("id"));
    transfers->clearFinished();

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.switchTo(MainWindow::TransfersPage);
    QTRY_VERIFY(window.statusBarFrame()->isConnected());

    // Finished: a download and an upload.
    QString manualId;
    for (const QJsonValue &entry : m_server->get(QStringLiteral("/api/files?"), m_demo).dataArray()) {
        if (jsonText(entry.toObject(), QStringLiteral("name")) == QStringLiteral("员工手册.pdf"))
            manualId = jsonText(entry.toObject(), QStringLiteral("id"));
    }
    QVERIFY(!manualId.isEmpty());
    TransferTask *fetched = transfers->addDownload(QStringLiteral("/api/files/%1/download").arg(manualId), downloads,
                                                   QStringLiteral("员工手册.pdf"));
    TransferTask *sent =
        transfers->addFormUpload({local(QStringLiteral("季度销售数据.xlsx"), 700 * 1024, 3)}, QString());
    QVERIFY(
        QTest::qWaitFor([&] { return settled(fetched, State::Finished) && settled(sent, State::Finished); }, 30000));

    // Failed: a file that is no longer there.
    TransferTask *failed = transfers->addDownload(QStringLiteral("/api/files/999999/download"), downloads,
                                                  QStringLiteral("旧版合同.docx"));
    QVERIFY(QTest::qWaitFor([&] { return settled(failed, State::Failed); }, 30000));

    // Paused: an upload stopped part-way.
    TransferSettings slow;
    slow.uploadLimit = 3 * MiB;
    slow.downloadLimit = 2 * MiB;
    transfers->applySettings(slow, false);
    TransferTask *paused = transfers->addUpload(local(QStringLiteral("客户资料备份.zip"), 40 * MiB, 4), QString());
    QVERIFY(QTest::qWaitFor([&] { return paused->doneBytes() > 9 * MiB; }, 60000));
    transfers->pause(paused);
    QVERIFY(QTest::qWaitFor([&] { return settled(paused, State::Paused); }, 30000));

    // Running both ways, and one waiting for a free place.
    TransferTask *running = transfers->addDownload(QStringLiteral("/api/files/%1/download").arg(videoId), downloads,
                                                   QStringLiteral("产品宣传视频.mp4"));
    TransferTask *upRunning =
        transfers->addUpload(local(QStringLiteral("2024年度财务报告.pdf"), 60 * MiB, 5), QString());
    TransferSettings oneAtATime = slow;
    oneAtATime.maxRunning = 2;
    transfers->applySettings(oneAtATime, false);
    TransferTask *queued =
        transfers->addFormUpload({local(QStringLiteral("项目设计方案.docx"), 2 * MiB, 6)}, QString());
    QVERIFY(QTest::qWaitFor([&] { return running->doneBytes() > 6 * MiB && upRunning->doneBytes() > 6 * MiB; }, 60000));
    QCOMPARE(queued->state(), State::Queued);
    QVERIFY(running->speed() > 0 && upRunning->speed() > 0);

    TransferPage *page = window.transferPage();
    page->model()->flush();
    QApplication::processEvents();
    QCOMPARE(page->model()->rowCount(), 7);
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("TransferBadge"))->text(), QStringLiteral("2"));
    QVERIFY(Screenshots::save(window.grab().toImage(), QStringLiteral("transfers.png")));

    // The settings as someone who limits and goes through a company proxy would have them.
    TransferSettings shown;
    shown.downloadDir = QStringLiteral("/home/zhang/下载/托尔瓦");
    shown.maxRunning = 3;
    shown.uploadLimit = 2 * MiB;
    shown.proxyMode = TransferSettings::ProxyMode::Http;
    shown.proxyHost = QStringLiteral("10.20.0.8");
    shown.proxyPort = 3128;
    shown.proxyUser = QStringLiteral("zhang.wei");
    shown.proxyPassword = QStringLiteral("secret");
    page->showView(TransferPage::SettingsView);
    page->settingsPanel()->load(shown);
    QApplication::processEvents();
    QVERIFY(Screenshots::save(window.grab().toImage(), QStringLiteral("transfer-settings.png")));

    page->showView(TransferPage::ListView);
    for (TransferTask *task : QList<TransferTask *>(transfers->tasks()))
        transfers->cancel(task);
    transfers->applySettings(TransferSettings(), false);
}

QTEST_MAIN(TestTransferShots)
#include "tst_transfershots.moc"
