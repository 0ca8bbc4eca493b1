// The transfer list page over a TransferManager and the scripted server: what each row shows and
// offers, its links run their commands, redraws come in batches, and the settings are checked,
// kept and put in force.
#include "app/theme.h"
#include "app/transferdelegate.h"
#include "app/transferlistmodel.h"
#include "app/transferpage.h"
#include "app/transfersettingspanel.h"
#include "eventwait.h"
#include "modalanswer.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"
#include "transferkit.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {
using State = TransferTask::State;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList rowTexts(const TransferListModel *model, int row)
{
    QStringList texts;
    for (int column = 0; column < TransferListModel::ActionColumn; ++column)
        texts << model->index(row, column).data().toString();
    return texts;
}
} // namespace

class TestTransferPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rowsShowEachJobAndOfferWhatFits();
    void linksRunTheirCommands();
    void progressIsRedrawnInBatches();
    void settingsAreCheckedKeptAndApplied();
    void limitsStayAboveTheServersSlowClientFloor();
    void emptyListAndClearingFinishedRows();

private:
    void clickCommand(int row, const QString &command);

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_root;
    QString m_dir;
    ScriptedServer m_server;
    std::unique_ptr<TransferManager> m_manager;
    std::unique_ptr<TransferPage> m_page;
    QList<QUrl> m_opened;
};

void TestTransferPage::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    qApp->setStyleSheet(Theme::globalStyleSheet());
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
}

void TestTransferPage::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    m_dir = m_root.filePath(QString::fromLatin1(QTest::currentTestFunction()));
    QVERIFY(QDir().mkpath(m_dir));
    m_manager = std::make_unique<TransferManager>();
    m_page = std::make_unique<TransferPage>(m_manager.get());
    m_page->setUrlOpener([this](const QUrl &url) {
        m_opened << url;
        return true;
    });
    m_page->resize(1100, 500);
    m_page->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_page.get()));
}

void TestTransferPage::cleanup()
{
    m_page.reset();
    m_manager.reset();
    m_server.releaseHeld();
    m_opened.clear();
}

void TestTransferPage::clickCommand(int row, const QString &command)
{
    m_page->model()->flush();
    QTableView *table = m_page->table();
    const QModelIndex index = m_page->model()->index(row, TransferListModel::ActionColumn);
    const QStringList commands = index.data(TransferListModel::CommandsRole).toStringList();
    const qsizetype at = commands.indexOf(command);
    QVERIFY2(at >= 0, qPrintable(commands.join(',')));
    const QRect link = TransferDelegate::commandRects(table->visualRect(index), commands, table->font()).at(at);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, link.center());
}

void TestTransferPage::rowsShowEachJobAndOfferWhatFits()
{
    m_server.on("GET", QStringLiteral("/f/running"), ScriptedReply::text(200, "x").heldUntilReleased());
    m_server.on("GET", QStringLiteral("/f/gone"), ScriptedReply::json(QJsonObject{{"error", "文件不存在"}}, 404));
    m_server.on("GET", QStringLiteral("/f/done"), ScriptedReply::text(200, QByteArray(2048, 'd')));
    m_server.on("POST", QStringLiteral("/api/files/upload"), ScriptedReply::success());
    const QString small = QDir(m_dir).filePath(QStringLiteral("周报.docx"));
    QVERIFY(writeFile(small, QByteArray(3000, 's')));

    TransferTask *running = m_manager->addDownload(QStringLiteral("/f/running"), m_dir, QStringLiteral("视频.mp4"));
    TransferTask *failed = m_manager->addDownload(QStringLiteral("/f/gone"), m_dir, QStringLiteral("旧合同.pdf"));
    TransferTask *done = m_manager->addDownload(QStringLiteral("/f/done"), m_dir, QStringLiteral("说明.txt"));
    TransferTask *uploaded = m_manager->addFormUpload({small}, QString());
    QVERIFY(waitUntil([&] {
        return settled(failed, State::Failed) && settled(done, State::Finished) && settled(uploaded, State::Finished) &&
               m_server.heldCount() == 1;
    }));
    m_page->model()->flush();

    const TransferListModel *model = m_page->model();
    QCOMPARE(model->rowCount(), 4);
    QCOMPARE(rowTexts(model, 0).mid(0, 2), QStringList({"视频.mp4", "↓ 下载"}));
    QCOMPARE(rowTexts(model, 0).at(TransferListModel::StateColumn), QStringLiteral("下载中"));
    QCOMPARE(rowTexts(model, 1).at(TransferListModel::StateColumn), QStringLiteral("失败：文件不存在"));
    QCOMPARE(rowTexts(model, 2), QStringList({"说明.txt", "↓ 下载", "2.00 KB", "100%", "", "", "已完成"}));
    QCOMPARE(rowTexts(model, 3).mid(0, 3), QStringList({"周报.docx", "↑ 上传", "2.93 KB"}));
    const auto commands = [model](int row) {
        return model->index(row, TransferListModel::ActionColumn).data(TransferListModel::CommandsRole).toStringList();
    };
    QCOMPARE(commands(0), QStringList({"暂停", "取消"}));
    QCOMPARE(commands(1), QStringList({"重试", "取消"}));
    QCOMPARE(commands(2), QStringList{"打开所在文件夹"});
    QCOMPARE(commands(3), QStringList()); // a finished upload has nothing left to do

    m_manager->pause(running);
    QVERIFY(waitUntil([&] { return settled(running, State::Paused); }));
    m_page->model()->flush();
    QCOMPARE(rowTexts(model, 0).at(TransferListModel::StateColumn), QStringLiteral("已暂停"));
    QCOMPARE(commands(0), QStringList({"继续", "取消"}));
    QCOMPARE(m_page->findChild<QLabel *>(QStringLiteral("TransferSummary"))->text(),
             QStringLiteral("共 4 项 · 进行中 0"));
}

void TestTransferPage::linksRunTheirCommands()
{
    m_server.on("GET", QStringLiteral("/f/slow"), ScriptedReply::text(200, QByteArray(200000, 'a')).trickle(4096, 20));
    m_server.on("GET", QStringLiteral("/f/gone"), ScriptedReply::json(QJsonObject{{"error", "文件不存在"}}, 404));
    TransferTask *slow = m_manager->addDownload(QStringLiteral("/f/slow"), m_dir, QStringLiteral("slow.bin"));
    TransferTask *gone = m_manager->addDownload(QStringLiteral("/f/gone"), m_dir, QStringLiteral("gone.bin"));
    QVERIFY(waitUntil([&] { return slow->doneBytes() > 8192 && settled(gone, State::Failed); }));

    clickCommand(0, TransferListModel::PauseCommand);
    QVERIFY(waitUntil([&] { return settled(slow, State::Paused); }));
    QVERIFY(QFile::exists(QDir(m_dir).filePath(QStringLiteral("slow.bin.part"))));

    // Retried, it fails the same way again: the server still has no such file.
    const int before = int(m_server.requests("GET", QStringLiteral("/f/gone")).size());
    clickCommand(1, TransferListModel::RetryCommand);
    QVERIFY(waitUntil([&] { return m_server.requests("GET", QStringLiteral("/f/gone")).size() == before + 1; }));
    QVERIFY(waitUntil([&] { return settled(gone, State::Failed); }));

    // Cancel asks first; declined, nothing changes.
    QString asked;
    answerModal([&](QDialog *dialog) {
        for (const QLabel *label : dialog->findChildren<QLabel *>())
            asked += label->text();
        dialog->reject();
    });
    clickCommand(0, TransferListModel::CancelCommand);
    QVERIFY2(asked.contains(QStringLiteral("确定取消下载「slow.bin」？已下载的部分将被删除。")), qPrintable(asked));
    QCOMPARE(m_manager->tasks().size(), 2);

    clickCommand(0, TransferListModel::ResumeCommand);
    QVERIFY(waitUntil([&] { return settled(slow, State::Finished); }, 20000));
    clickCommand(0, TransferListModel::OpenFolderCommand);
    QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(QDir(m_dir).absolutePath())});

    answerModal([](QDialog *dialog) { dialog->accept(); });
    clickCommand(1, TransferListModel::CancelCommand);
    QTRY_COMPARE(m_page->model()->rowCount(), 1);
    QCOMPARE(m_manager->tasks().size(), 1);
}

void TestTransferPage::progressIsRedrawnInBatches()
{
    m_server.on("GET", QStringLiteral("/f/x"), ScriptedReply::text(200, "x").heldUntilReleased());
    TransferTask *task = m_manager->addDownload(QStringLiteral("/f/x"), m_dir, QStringLiteral("x.bin"));
    QTRY_COMPARE(m_server.heldCount(), 1);
    m_page->model()->flush();
    QSignalSpy redraws(m_page->model(), &QAbstractItemModel::dataChanged);
    for (int i = 0; i < 100; ++i)
        emit m_manager->taskChanged(task);
    QCOMPARE(redraws.size(), 0);
    QVERIFY(redraws.wait(TransferListModel::RefreshIntervalMs * 4));
    QCOMPARE(redraws.size(), 1);
    QCOMPARE(redraws.first().at(0).toModelIndex().row(), 0);
}

void TestTransferPage::settingsAreCheckedKeptAndApplied()
{
    QTest::mouseClick(m_page->findChild<QPushButton *>(QStringLiteral("TransferSettingsTab")), Qt::LeftButton);
    QCOMPARE(m_page->currentView(), TransferPage::SettingsView);
    TransferSettingsPanel *panel = m_page->settingsPanel();
    auto *folder = panel->findChild<QLineEdit *>(QStringLiteral("DownloadFolder"));
    QCOMPARE(folder->text(), QDir::toNativeSeparators(TransferSettings::defaultDownloadDir()));

    panel->setFolderChooser([this](QWidget *, const QString &) { return m_dir; });
    QTest::mouseClick(panel->findChild<QPushButton *>(QStringLiteral("ChangeFolder")), Qt::LeftButton);
    QCOMPARE(folder->text(), QDir::toNativeSeparators(m_dir));
    panel->findChild<QSpinBox *>(QStringLiteral("MaxRunning"))->setValue(2);
    panel->findChild<QCheckBox *>(QStringLiteral("UploadLimitOn"))->setChecked(true);
    panel->findChild<QSpinBox *>(QStringLiteral("UploadLimitKb"))->setValue(512);
    QVERIFY(!panel->findChild<QSpinBox *>(QStringLiteral("DownloadLimitKb"))->isEnabled());
    auto *mode = panel->findChild<QComboBox *>(QStringLiteral("ProxyMode"));
    QVERIFY(!panel->findChild<QLineEdit *>(QStringLiteral("ProxyHost"))->isEnabled());
    mode->setCurrentIndex(mode->findText(QStringLiteral("HTTP 代理")));
    QVERIFY(panel->findChild<QLineEdit *>(QStringLiteral("ProxyHost"))->isEnabled());
    panel->findChild<QLineEdit *>(QStringLiteral("ProxyHost"))->setText(QStringLiteral("10.0.0.8"));

    auto *save = panel->findChild<QPushButton *>(QStringLiteral("GoldBtn"));
    auto *message = panel->findChild<QLabel *>(QStringLiteral("SettingsMessage"));
    QTest::mouseClick(save, Qt::LeftButton);
    QCOMPARE(message->text(), QStringLiteral("请填写代理服务器端口（1–65535）"));
    QCOMPARE(m_manager->settings(), TransferSettings()); // nothing applied

    panel->findChild<QSpinBox *>(QStringLiteral("ProxyPort"))->setValue(3128);
    QTest::mouseClick(save, Qt::LeftButton);
    QCOMPARE(message->text(), QStringLiteral("设置已保存"));
    TransferSettings expected;
    expected.downloadDir = QDir::cleanPath(m_dir);
    expected.maxRunning = 2;
    expected.uploadLimit = 512 * 1024;
    expected.proxyMode = TransferSettings::ProxyMode::Http;
    expected.proxyHost = QStringLiteral("10.0.0.8");
    expected.proxyPort = 3128;
    QCOMPARE(m_manager->settings(), expected);
    QCOMPARE(m_manager->maxRunning(), 2);
    QCOMPARE(m_manager->downloadDir(), QDir::cleanPath(m_dir));
    QCOMPARE(HttpClient::instance()->uploadLimiter().rate(), 512 * 1024);
    QCOMPARE(HttpClient::instance()->downloadLimiter().rate(), 0);
    QCOMPARE(HttpClient::instance()->proxy().type(), QNetworkProxy::HttpProxy);
    QCOMPARE(HttpClient::instance()->proxy().hostName(), QStringLiteral("10.0.0.8"));
    QCOMPARE(HttpClient::instance()->proxyFor(QUrl(m_server.baseUrl())).port(), 3128);
    QVERIFY(TransferSettings::load() == expected); // kept for the next start

    // Leaving and coming back shows what is in force, not what was typed and left unsaved.
    panel->findChild<QSpinBox *>(QStringLiteral("MaxRunning"))->setValue(7);
    m_page->showView(TransferPage::ListView);
    m_page->showView(TransferPage::SettingsView);
    QCOMPARE(panel->findChild<QSpinBox *>(QStringLiteral("MaxRunning"))->value(), 2);

    m_manager->applySettings(TransferSettings());
    QCOMPARE(HttpClient::instance()->proxy().type(), QNetworkProxy::DefaultProxy);
    QCOMPARE(HttpClient::instance()->uploadLimiter().rate(), 0);
}

void TestTransferPage::limitsStayAboveTheServersSlowClientFloor()
{
    // Servers close connections slower than about 1 KiB/s; ten jobs must not share less than that.
    auto *kb = m_page->settingsPanel()->findChild<QSpinBox *>(QStringLiteral("UploadLimitKb"));
    QCOMPARE(kb->minimum(), 64);
    TransferSettings tiny;
    tiny.uploadLimit = 1024;
    QCOMPARE(tiny.validate(), QStringLiteral("限速不能低于 64 KB/s"));
    tiny.save(); // as an older version could have stored it
    QCOMPARE(TransferSettings::load().uploadLimit, TransferSettings::MinLimit);
    QCOMPARE(TransferSettings::load().downloadLimit, 0);
}

void TestTransferPage::emptyListAndClearingFinishedRows()
{
    auto *empty = m_page->findChild<QLabel *>(QStringLiteral("TransferEmpty"));
    auto *clear = m_page->findChild<QPushButton *>(QStringLiteral("ClearFinished"));
    QVERIFY(empty->isVisible());
    QVERIFY(!m_page->table()->isVisible());
    QVERIFY(!clear->isEnabled());

    m_server.on("GET", QStringLiteral("/f/a"), ScriptedReply::text(200, "a"));
    m_server.on("GET", QStringLiteral("/f/b"), ScriptedReply::text(200, "b").heldUntilReleased());
    TransferTask *a = m_manager->addDownload(QStringLiteral("/f/a"), m_dir, QStringLiteral("a.txt"));
    m_manager->addDownload(QStringLiteral("/f/b"), m_dir, QStringLiteral("b.txt"));
    QVERIFY(waitUntil([&] { return settled(a, State::Finished) && m_server.heldCount() == 1; }));
    m_page->model()->flush();
    QVERIFY(!empty->isVisible());
    QVERIFY(m_page->table()->isVisible());
    QVERIFY(clear->isEnabled());
    QTest::mouseClick(clear, Qt::LeftButton);
    QCOMPARE(m_page->model()->rowCount(), 1);
    QCOMPARE(m_page->model()->index(0, 0).data().toString(), QStringLiteral("b.txt"));
    QVERIFY(!clear->isEnabled());
}

QTEST_MAIN(TestTransferPage)
#include "tst_transferpage.moc"
