// VaultPage against a scripted server: the set-up checks, set-up flowing into unlock, a lapsed
// unlock, lock and reset, downloads and uploads, late answers, and where the token may live.
#include "eventwait.h"
#include "files/filechangenotifier.h"
#include "files/filelistpage.h"
#include "modalanswer.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "screenshots.h"
#include "scriptedserver.h"
#include "spaces/vaultpage.h"
#include "spaces/vaultresetdialog.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"
#include "transfer/transfertask.h"
#include "ui/offlineoverlay.h"

#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Token = QStringLiteral("vault-token-4f1c9a");

ScriptedReply status(bool created, bool unlocked, bool hasLoginPassword = false)
{
    QJsonObject data{{"created", created}, {"unlocked", unlocked}};
    if (hasLoginPassword)
        data.insert("hasLoginPassword", true);
    return ScriptedReply::success(data);
}

ScriptedReply failure(int code, const QString &message)
{
    return ScriptedReply::json(QJsonObject{{"success", false}, {"message", message}}, code);
}

QJsonObject vaultFile(const QString &id, const QString &name, qint64 size)
{
    return {{"id", id}, {"name", name}, {"size", size}};
}

// Every text a card dialog shows, joined, so a test can check what the user was told.
QString dialogText(QDialog *dialog)
{
    QStringList texts;
    for (const QLabel *label : dialog->findChildren<QLabel *>())
        texts.append(label->text());
    return texts.join(QLatin1Char('|'));
}

// Answers the next card with its OK button and keeps what it said.
void answerNextCard(QString *said)
{
    answerModal([said](QDialog *dialog) {
        *said = dialogText(dialog);
        dialog->accept();
    });
}

} // namespace

class TestVaultPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void newcomerSeesTheSetupPage();
    void setupRejectsShortAndMismatchedPasswords();
    void setupFlowsStraightIntoUnlock();
    void returnInTheConfirmFieldCreates();
    void emptyVaultSaysHowToAddFiles();
    void lapsedUnlockFallsBackToUnlockAndUnlocksAgain();
    void failedUnlockIsReportedAndKeepsTheUnlockPage();
    void lockClearsTheTokenEvenWhenTheRequestFails();
    void resetWithAnEmptyPasswordSendsNothing();
    void resetLeadsBackToSetup();
    void accountWithoutPasswordResetsWithAnSmsCode();
    void statusThatCannotBeFetchedShowsTheOfflineState();
    void downloadNoticeNamesTheFolder();
    void failedDownloadLeavesNothingUnderTheFinalName();
    void uploadSendsOnePartNamedFile();
    void unreadableUploadSendsNothing();
    void deleteAsksFirstAndReloads();
    void staleStatusAnswerIsIgnored();
    void staleListingAnswerIsIgnored();
    void tokenNeverReachesTheSettings();
    // Last: it turns on the transfer manager's connection watch for the rest of the run.
    void uploadCutByALostConnectionSaysPausedNotFailed();

private:
    // A page whose first status answer has been applied.
    std::unique_ptr<VaultPage> openPage(int expectedSubPage);
    int count(const QByteArray &method, const QString &path) const;
    // Requests the client has created for path and not yet deleted.
    int requestsInFlight(const QString &path) const;
    bool waitForCount(const QByteArray &method, const QString &path, int n) const;

    ScriptedServer *m_server = nullptr;
    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_settingsDir;
};

void TestVaultPage::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    useSettingsFolder(m_settingsDir.path());
}

void TestVaultPage::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    FileListPage::setDownloadDirForTests(m_dir->path());
    Session::instance()->vaultToken.clear();
    m_server->on("GET", "/api/vault/status", status(false, false));
    m_server->on("GET", "/api/vault/files", ScriptedReply::success(QJsonArray()));
}

void TestVaultPage::cleanup()
{
    delete m_server;
    m_server = nullptr;
    FileListPage::setDownloadDirForTests(QString());
}

std::unique_ptr<VaultPage> TestVaultPage::openPage(int expectedSubPage)
{
    auto page = std::make_unique<VaultPage>();
    page->resize(900, 600);
    page->show();
    QSignalSpy decided(page.get(), &VaultPage::vaultUnlocked);
    if (!decided.wait(5000) || page->stack()->currentIndex() != expectedSubPage)
        return nullptr;
    // An unlocked page lists at once; let that listing arrive so later counts start from it.
    if (expectedSubPage == VaultPage::FilesPage && !waitForCount("GET", "/api/vault/files", 1))
        return nullptr;
    return page;
}

int TestVaultPage::requestsInFlight(const QString &path) const
{
    int n = 0;
    for (const QNetworkReply *reply : HttpClient::instance()->network()->findChildren<QNetworkReply *>()) {
        if (reply->url().path() == path)
            ++n;
    }
    return n;
}

int TestVaultPage::count(const QByteArray &method, const QString &path) const
{
    return int(m_server->requests(method, path).size());
}

bool TestVaultPage::waitForCount(const QByteArray &method, const QString &path, int n) const
{
    return waitUntil([&] { return count(method, path) >= n; });
}

void TestVaultPage::newcomerSeesTheSetupPage()
{
    auto page = openPage(VaultPage::SetupPage);
    QVERIFY(page);
    QVERIFY(!page->lockButton()->isVisibleTo(page.get()));
    QCOMPARE(page->setupPassword()->echoMode(), QLineEdit::Password);
    QCOMPARE(page->setupPassword()->placeholderText(), QStringLiteral("设置保险箱密码（至少 6 位）"));
    // The first status question goes without a vault token.
    QVERIFY(!m_server->requests("GET", "/api/vault/status").first().hasHeader("X-Vault-Token"));
}

void TestVaultPage::setupRejectsShortAndMismatchedPasswords()
{
    auto page = openPage(VaultPage::SetupPage);
    QVERIFY(page);
    QString said;

    page->setupPassword()->setText(QStringLiteral("12345"));
    page->setupConfirm()->setText(QStringLiteral("12345"));
    answerNextCard(&said);
    page->createVault();
    QVERIFY2(said.contains(QStringLiteral("保险箱密码至少 6 位")), qPrintable(said));

    page->setupPassword()->setText(QStringLiteral("123456"));
    page->setupConfirm()->setText(QStringLiteral("123456 "));
    answerNextCard(&said);
    page->createVault();
    QVERIFY2(said.contains(QStringLiteral("两次输入的密码不一致")), qPrintable(said));

    QCOMPARE(count("POST", "/api/vault/setup"), 0);
    QCOMPARE(page->stack()->currentIndex(), int(VaultPage::SetupPage));
}

void TestVaultPage::setupFlowsStraightIntoUnlock()
{
    auto page = openPage(VaultPage::SetupPage);
    QVERIFY(page);
    bool created = false;
    m_server->on("POST", "/api/vault/setup", [&](const RecordedRequest &) {
        created = true;
        return ScriptedReply::success(QJsonObject{{"created", true}});
    });
    m_server->on("POST", "/api/vault/unlock", ScriptedReply::success(QJsonObject{{"token", Token}}));
    m_server->on("GET", "/api/vault/status", [&](const RecordedRequest &request) {
        return status(created, request.header("X-Vault-Token") == Token.toUtf8());
    });
    m_server->on("GET", "/api/vault/files",
                 ScriptedReply::success(QJsonArray{vaultFile("7", "合同扫描.pdf", 2048), vaultFile("8", "notes", 0)}));

    page->setupPassword()->setText(QStringLiteral("s3cret!"));
    page->setupConfirm()->setText(QStringLiteral("s3cret!"));
    QTest::mouseClick(page->findChild<QPushButton *>(QStringLiteral("VaultCreate")), Qt::LeftButton);

    QTRY_COMPARE(page->table()->rowCount(), 2);
    QCOMPARE(page->stack()->currentIndex(), int(VaultPage::FilesPage));
    QCOMPARE(m_server->requests("POST", "/api/vault/setup").first().json().value("password").toString(),
             QStringLiteral("s3cret!"));
    QCOMPARE(m_server->requests("POST", "/api/vault/unlock").first().json().value("password").toString(),
             QStringLiteral("s3cret!"));
    QVERIFY(page->setupPassword()->text().isEmpty());
    QVERIFY(page->setupConfirm()->text().isEmpty());
    QCOMPARE(Session::instance()->vaultToken, Token);
    QVERIFY(page->lockButton()->isVisibleTo(page.get()));
    QCOMPARE(m_server->requests("GET", "/api/vault/files").last().header("X-Vault-Token"), Token.toUtf8());
    QCOMPARE(page->countLabel()->text(), QStringLiteral("共 2 个加密文件"));
    QCOMPARE(page->table()->item(0, 0)->text(), QStringLiteral("合同扫描.pdf"));
    QCOMPARE(page->table()->item(0, 1)->text(), QStringLiteral("2.00 KB"));
    QVERIFY(!page->table()->item(0, 0)->icon().isNull());
    QVERIFY(page->table()->cellWidget(1, 2)->findChild<QPushButton *>(QStringLiteral("LinkDanger")));
}

void TestVaultPage::returnInTheConfirmFieldCreates()
{
    auto page = openPage(VaultPage::SetupPage);
    QVERIFY(page);
    m_server->on("POST", "/api/vault/setup", ScriptedReply::success(QJsonObject{{"created", true}}));
    // Creating unlocks at once; an unanswered unlock would open a modal notice under the wait below.
    m_server->on("POST", "/api/vault/unlock", ScriptedReply::success(QJsonObject{{"token", Token}}));
    page->setupPassword()->setFocus();
    QTest::keyClicks(page->setupPassword(), QStringLiteral("s3cret!"));
    QTest::keyClick(page->setupPassword(), Qt::Key_Return);
    // Return in the first field moves on; nothing is sent yet.
    QCOMPARE(count("POST", "/api/vault/setup"), 0);
    QTRY_VERIFY(page->setupConfirm()->hasFocus());
    QTest::keyClicks(page->setupConfirm(), QStringLiteral("s3cret!"));
    QTest::keyClick(page->setupConfirm(), Qt::Key_Return);
    QVERIFY(waitForCount("POST", "/api/vault/setup", 1));
    QTRY_COMPARE(Session::instance()->vaultToken, Token);
}

void TestVaultPage::emptyVaultSaysHowToAddFiles()
{
    Session::instance()->vaultToken = Token;
    m_server->on("GET", "/api/vault/status", status(true, true));
    m_server->on("GET", "/api/vault/files", ScriptedReply::success(QJsonArray()));
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);
    auto *hint = page->findChild<QLabel *>(QStringLiteral("VaultEmptyHint"));
    QVERIFY(hint);
    QTRY_VERIFY(hint->isVisible());
    QVERIFY2(hint->text().contains(QStringLiteral("加密上传")), qPrintable(hint->text()));
    QVERIFY(page->table()->isHidden());
    Screenshots::save(page->grab().toImage(), QStringLiteral("vault-empty.png"));

    m_server->on("GET", "/api/vault/files", ScriptedReply::success(QJsonArray{vaultFile("7", "合同扫描.pdf", 2048)}));
    page->loadFiles();
    QTRY_COMPARE(page->table()->rowCount(), 1);
    QVERIFY(hint->isHidden());
    QVERIFY(page->table()->isVisible());
}

void TestVaultPage::lapsedUnlockFallsBackToUnlockAndUnlocksAgain()
{
    Session::instance()->vaultToken = QStringLiteral("old-token");
    m_server->on("GET", "/api/vault/status", status(true, true));
    m_server->on("GET", "/api/vault/files", ScriptedReply::success(QJsonArray{vaultFile("1", "a.txt", 3)}));
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);
    QTRY_COMPARE(page->table()->rowCount(), 1);

    // Fifteen idle minutes later the server refuses the listing.
    m_server->on("GET", "/api/vault/files", failure(403, QStringLiteral("保险箱已锁定，请先解锁")));
    page->loadFiles();
    QTRY_COMPARE(page->stack()->currentIndex(), int(VaultPage::UnlockPage));
    QCOMPARE(page->table()->rowCount(), 0);
    QCOMPARE(Session::instance()->vaultToken, QStringLiteral("old-token"));

    m_server->on("POST", "/api/vault/unlock", ScriptedReply::success(QJsonObject{{"token", Token}}));
    m_server->on("GET", "/api/vault/files", ScriptedReply::success(QJsonArray{vaultFile("1", "a.txt", 3)}));
    page->unlockPassword()->setText(QStringLiteral("again-pw"));
    QSignalSpy unlocked(page.get(), &VaultPage::vaultUnlocked);
    QTest::keyClick(page->unlockPassword(), Qt::Key_Return);
    QTRY_COMPARE(page->stack()->currentIndex(), int(VaultPage::FilesPage));
    QTRY_COMPARE(page->table()->rowCount(), 1);
    QCOMPARE(Session::instance()->vaultToken, Token);
    QVERIFY(page->unlockPassword()->text().isEmpty());
    QVERIFY(!unlocked.isEmpty() && unlocked.first().first().toBool());
}

void TestVaultPage::failedUnlockIsReportedAndKeepsTheUnlockPage()
{
    m_server->on("GET", "/api/vault/status", status(true, false));
    m_server->on("POST", "/api/vault/unlock", failure(403, QStringLiteral("保险箱密码错误")));
    auto page = openPage(VaultPage::UnlockPage);
    QVERIFY(page);
    QString said;
    answerNextCard(&said);
    page->unlockWith(QStringLiteral("wrong-pw"));
    QTRY_VERIFY(!said.isEmpty());
    QVERIFY2(said.contains(QStringLiteral("解锁失败")) && said.contains(QStringLiteral("保险箱密码错误")),
             qPrintable(said));
    QVERIFY(Session::instance()->vaultToken.isEmpty());
    QCOMPARE(page->stack()->currentIndex(), int(VaultPage::UnlockPage));
}

void TestVaultPage::lockClearsTheTokenEvenWhenTheRequestFails()
{
    Session::instance()->vaultToken = Token;
    m_server->on("GET", "/api/vault/status", status(true, true));
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);

    m_server->on("POST", "/api/vault/lock", failure(500, QStringLiteral("服务器内部错误")).heldUntilReleased());
    m_server->on("GET", "/api/vault/status",
                 [](const RecordedRequest &request) { return status(true, request.hasHeader("X-Vault-Token")); });
    const int statusBefore = count("GET", "/api/vault/status");
    QSignalSpy unlocked(page.get(), &VaultPage::vaultUnlocked);
    QTest::mouseClick(page->lockButton(), Qt::LeftButton);

    // Locked at once on this side, while the server has not even answered.
    QVERIFY(Session::instance()->vaultToken.isEmpty());
    QVERIFY(waitUntil([&] { return m_server->heldCount() == 1; }));
    QCOMPARE(m_server->requests("POST", "/api/vault/lock").first().header("X-Vault-Token"), Token.toUtf8());
    m_server->releaseHeld();

    QTRY_COMPARE(page->stack()->currentIndex(), int(VaultPage::UnlockPage));
    QVERIFY(count("GET", "/api/vault/status") > statusBefore);
    QVERIFY(!m_server->requests("GET", "/api/vault/status").last().hasHeader("X-Vault-Token"));
    QVERIFY(!page->lockButton()->isVisibleTo(page.get()));
    QVERIFY(!unlocked.isEmpty());
    QCOMPARE(unlocked.last().first().toBool(), false);
}

void TestVaultPage::resetWithAnEmptyPasswordSendsNothing()
{
    m_server->on("GET", "/api/vault/status", status(true, false, true));
    auto page = openPage(VaultPage::UnlockPage);
    QVERIFY(page);
    bool sawField = false;
    answerModal([&](QDialog *dialog) {
        sawField = dialog->findChild<QLineEdit *>(QStringLiteral("VaultResetPassword")) != nullptr;
        dialog->accept();
    });
    QTest::mouseClick(page->findChild<QPushButton *>(QStringLiteral("LinkBtn")), Qt::LeftButton);
    QVERIFY(sawField);
    // A request would be on its way by now: the client creates it before the click returns.
    QCOMPARE(requestsInFlight(QStringLiteral("/api/vault/reset")), 0);
    QCOMPARE(count("POST", "/api/vault/reset"), 0);
}

void TestVaultPage::resetLeadsBackToSetup()
{
    Session::instance()->vaultToken = QStringLiteral("stale-token");
    m_server->on("GET", "/api/vault/status", status(true, false, true));
    auto page = openPage(VaultPage::UnlockPage);
    QVERIFY(page);

    m_server->on("POST", "/api/vault/reset", failure(403, QStringLiteral("登录密码错误")));
    answerModal([](QDialog *dialog) {
        dialog->findChild<QLineEdit *>(QStringLiteral("VaultResetPassword"))->setText(QStringLiteral("wrong"));
        dialog->accept();
    });
    page->openResetDialog();
    QString said;
    answerNextCard(&said);
    QTRY_VERIFY(!said.isEmpty());
    QVERIFY2(said.contains(QStringLiteral("重置失败")) && said.contains(QStringLiteral("登录密码错误")),
             qPrintable(said));

    m_server->on("POST", "/api/vault/reset", ScriptedReply::success());
    m_server->on("GET", "/api/vault/status", status(false, false));
    answerModal([](QDialog *dialog) {
        auto *field = dialog->findChild<QLineEdit *>(QStringLiteral("VaultResetPassword"));
        field->setText(QStringLiteral("login-pw"));
        QTest::keyClick(field, Qt::Key_Return); // Return confirms like the red button
    });
    page->openResetDialog();
    QTRY_COMPARE(page->stack()->currentIndex(), int(VaultPage::SetupPage));
    QCOMPARE(m_server->requests("POST", "/api/vault/reset").last().json().value("password").toString(),
             QStringLiteral("login-pw"));
}

void TestVaultPage::accountWithoutPasswordResetsWithAnSmsCode()
{
    // An account made by SMS has no login password: the code to its own phone is what confirms.
    Session::instance()->phone = QStringLiteral("13800001234");
    Session::instance()->token = QStringLiteral("session-token");
    VaultResetDialog::setCountdownIntervalMs(5);
    m_server->on("GET", "/api/vault/status", status(true, false));
    m_server->on("POST", "/api/send-sms",
                 ScriptedReply::json(QJsonObject{{"success", true},
                                                 {"data", QJsonObject{{"expiresIn", 300}, {"interval", 60}}},
                                                 {"debugCode", "123456"}}));
    m_server->on("POST", "/api/vault/reset", ScriptedReply::success());
    auto page = openPage(VaultPage::UnlockPage);
    QVERIFY(page);
    QVERIFY(!page->hasLoginPassword());

    bool hadPassword = true;
    QString countdownText;
    bool waitedOut = false;
    answerModal([&](QDialog *dialog) {
        // A failed check returns early: the dialog still closes, so the test ends instead of hanging.
        const auto close = qScopeGuard([dialog] {
            if (dialog->isVisible())
                dialog->reject();
        });
        auto *reset = qobject_cast<VaultResetDialog *>(dialog);
        QVERIFY(reset);
        hadPassword = reset->passwordField() != nullptr;
        QCOMPARE(reset->getCodeButton()->text(), QStringLiteral("获取验证码"));
        QVERIFY(reset->hintLabel()->text().contains(QStringLiteral("138****1234")));
        QTest::mouseClick(reset->getCodeButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return reset->codeField()->text() == QLatin1String("123456"); }, 30000));
        countdownText = reset->getCodeButton()->text();
        QVERIFY(!reset->getCodeButton()->isEnabled());
        // A second click during the countdown sends nothing.
        reset->requestCode();
        // Sixty ticks: under a sanitizer beside other tests, each may take tens of milliseconds.
        waitedOut = QTest::qWaitFor([&] { return reset->getCodeButton()->isEnabled(); }, 30000);
        QCOMPARE(reset->getCodeButton()->text(), QStringLiteral("获取验证码"));
        dialog->accept();
    });
    m_server->on("GET", "/api/vault/status", status(false, false));
    page->openResetDialog();
    VaultResetDialog::setCountdownIntervalMs(1000);
    QVERIFY(!hadPassword);
    QCOMPARE(countdownText, QStringLiteral("获取验证码 60s"));
    QVERIFY(waitedOut);

    const QList<RecordedRequest> sms = m_server->requests("POST", "/api/send-sms");
    QCOMPARE(sms.size(), 1);
    QCOMPARE(sms.first().json(), (QJsonObject{{"phone", "13800001234"}, {"scenario", "vault-reset"}}));
    QCOMPARE(sms.first().header("X-Auth-Token"), QByteArray("session-token"));
    QTRY_COMPARE(page->stack()->currentIndex(), int(VaultPage::SetupPage));
    QCOMPARE(m_server->requests("POST", "/api/vault/reset").size(), 1);
    QCOMPARE(m_server->requests("POST", "/api/vault/reset").first().json(), (QJsonObject{{"code", "123456"}}));
    Session::instance()->token.clear();
    Session::instance()->phone.clear();
}

void TestVaultPage::statusThatCannotBeFetchedShowsTheOfflineState()
{
    Session::instance()->vaultToken = Token;
    m_server->on("GET", "/api/vault/status", status(true, true));
    m_server->on("GET", "/api/vault/files", ScriptedReply::success(QJsonArray{vaultFile("1", "a.pdf", 10)}));
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);
    QTRY_COMPARE(page->table()->rowCount(), 1);

    // The server goes: the files stay listed under the failure state, not behind the unlock page.
    m_server->on("GET", "/api/vault/files", ScriptedReply::dropped());
    page->loadFiles();
    QCOMPARE(page->table()->rowCount(), 1);
    QTRY_VERIFY(page->overlay()->isVisible());
    QCOMPARE(page->overlay()->title(), QStringLiteral("无法连接服务器"));
    QCOMPARE(page->stack()->currentIndex(), int(VaultPage::FilesPage));
    QCOMPARE(page->table()->rowCount(), 1);

    m_server->on("GET", "/api/vault/status", ScriptedReply::dropped());
    QTest::mouseClick(page->overlay()->retryButton(), Qt::LeftButton);
    QTRY_VERIFY(count("GET", "/api/vault/status") >= 2);
    QTRY_VERIFY(page->overlay()->isVisible());

    m_server->on("GET", "/api/vault/status", status(true, true));
    m_server->on("GET", "/api/vault/files", ScriptedReply::success(QJsonArray()));
    QTest::mouseClick(page->overlay()->retryButton(), Qt::LeftButton);
    QTRY_COMPARE(page->table()->rowCount(), 0);
    QVERIFY(!page->overlay()->isVisible());
    Session::instance()->vaultToken.clear();
}

void TestVaultPage::downloadNoticeNamesTheFolder()
{
    const QByteArray content = QByteArray("decrypted vault bytes ").repeated(5000);
    m_server->serveContent("/api/vault/files/7/download", content);
    Session::instance()->vaultToken = Token;
    m_server->on("GET", "/api/vault/status", status(true, true));
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);

    QString said;
    answerNextCard(&said);
    page->startVaultDownload(QStringLiteral("7"), QStringLiteral("../季度报表.xlsx"));
    QTRY_VERIFY(!said.isEmpty());
    const QString folder = QDir::toNativeSeparators(m_dir->path());
    QVERIFY2(said.contains(QStringLiteral("完成")), qPrintable(said));
    QVERIFY2(said.contains(QStringLiteral("已下载到：\n") + folder), qPrintable(said));
    QVERIFY2(!said.contains(QStringLiteral("季度报表")), qPrintable(said));

    // The server's name never leaves the folder, and only the finished file is there.
    const QStringList inFolder = QDir(m_dir->path()).entryList(QDir::Files);
    QCOMPARE(inFolder.size(), 1);
    QVERIFY2(inFolder.first().endsWith(QStringLiteral("季度报表.xlsx")), qPrintable(inFolder.first()));
    QFile saved(QDir(m_dir->path()).filePath(inFolder.first()));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), content);
    QVERIFY(!m_server->requests("GET", "/api/vault/files/7/download").first().hasHeader("Range"));
    QCOMPARE(m_server->requests("GET", "/api/vault/files/7/download").first().header("X-Vault-Token"), Token.toUtf8());
}

void TestVaultPage::failedDownloadLeavesNothingUnderTheFinalName()
{
    const QByteArray content(200000, 'x');
    m_server->on("GET", "/api/vault/files/9/download", ScriptedReply::text(200, content).cutAfter(50000));
    Session::instance()->vaultToken = Token;
    m_server->on("GET", "/api/vault/status", status(true, true));
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);
    // An older version of the file stays untouched when the new one fails.
    QFile old(QDir(m_dir->path()).filePath(QStringLiteral("secret.txt")));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("older copy");
    old.close();

    QString said;
    answerNextCard(&said);
    page->startVaultDownload(QStringLiteral("9"), QStringLiteral("secret.txt"));
    QTRY_VERIFY(!said.isEmpty());
    QVERIFY2(said.contains(QStringLiteral("下载失败")), qPrintable(said));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("older copy"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{QStringLiteral("secret.txt")});
}

void TestVaultPage::uploadSendsOnePartNamedFile()
{
    Session::instance()->vaultToken = Token;
    m_server->on("GET", "/api/vault/status", status(true, true));
    m_server->on("POST", "/api/vault/upload", ScriptedReply::success(QJsonObject{{"id", 3}}));
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);
    const QString path = QDir(m_dir->path()).filePath(QStringLiteral("工资 \"2025\".csv"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("name,amount\n");
    file.close();

    const int listingsBefore = count("GET", "/api/vault/files");
    QSignalSpy changed(FileChangeNotifier::instance(), &FileChangeNotifier::filesChanged);
    page->uploadFile(path);
    QVERIFY(waitForCount("POST", "/api/vault/upload", 1));
    QVERIFY(waitForCount("GET", "/api/vault/files", listingsBefore + 1)); // reloaded after success
    QCOMPARE(changed.size(), 1);                                          // the sidebar quota follows
    const RecordedRequest upload = m_server->requests("POST", "/api/vault/upload").first();
    QVERIFY(upload.header("Content-Type").startsWith("multipart/form-data"));
    QCOMPARE(upload.header("X-Vault-Token"), Token.toUtf8());
    QVERIFY(upload.body.contains("name=\"file\"; filename=\"工资 %222025%22.csv\""));
    QVERIFY(upload.body.contains("name,amount\n"));
}

void TestVaultPage::unreadableUploadSendsNothing()
{
    auto page = openPage(VaultPage::SetupPage);
    QVERIFY(page);
    QString said;
    answerNextCard(&said);
    page->uploadFile(QDir(m_dir->path()).filePath(QStringLiteral("missing.bin")));
    QVERIFY2(said.contains(QStringLiteral("上传失败")) && said.contains(QStringLiteral("无法打开文件")),
             qPrintable(said));
    answerNextCard(&said);
    page->uploadFile(m_dir->path()); // a folder is no file either
    QVERIFY2(said.contains(QStringLiteral("无法打开文件")), qPrintable(said));
    QCOMPARE(count("POST", "/api/vault/upload"), 0);
}

void TestVaultPage::deleteAsksFirstAndReloads()
{
    Session::instance()->vaultToken = Token;
    m_server->on("GET", "/api/vault/status", status(true, true));
    m_server->on("DELETE", "/api/vault/files/*", failure(404, QStringLiteral("文件不存在")));
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);

    QString asked;
    answerModal([&](QDialog *dialog) {
        asked = dialogText(dialog);
        dialog->reject();
    });
    page->deleteFile(QStringLiteral("5"), QStringLiteral("旧合同.pdf"));
    QVERIFY2(asked.contains(QStringLiteral("确定从保险箱删除「旧合同.pdf」？删除后无法恢复。")), qPrintable(asked));

    answerModal([](QDialog *dialog) { dialog->accept(); });
    const int listingsBefore = count("GET", "/api/vault/files");
    page->deleteFile(QStringLiteral("5"), QStringLiteral("旧合同.pdf"));
    // Even a failed delete reloads the list, and says nothing.
    QVERIFY(waitForCount("GET", "/api/vault/files", listingsBefore + 1));
    QCOMPARE(count("DELETE", "/api/vault/files/5"), 1);
}

void TestVaultPage::staleStatusAnswerIsIgnored()
{
    // The first answer ("no vault yet") is held back until after a newer one ("locked").
    m_server->onSequence("GET", "/api/vault/status", {status(false, false).heldUntilReleased(), status(true, false)});
    VaultPage page;
    page.show();
    QVERIFY(waitUntil([&] { return m_server->heldCount() == 1; }));
    QSignalSpy decided(&page, &VaultPage::vaultUnlocked);
    page.refresh();
    QVERIFY(decided.wait(5000));
    QCOMPARE(page.stack()->currentIndex(), int(VaultPage::UnlockPage));

    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    m_server->releaseHeld();
    QVERIFY(finished.wait(5000));
    QCoreApplication::processEvents();
    QCOMPARE(page.stack()->currentIndex(), int(VaultPage::UnlockPage));
    QCOMPARE(decided.size(), 1);
}

void TestVaultPage::staleListingAnswerIsIgnored()
{
    Session::instance()->vaultToken = Token;
    m_server->on("GET", "/api/vault/status", status(true, true));
    m_server->onSequence(
        "GET", "/api/vault/files",
        {ScriptedReply::success(QJsonArray()),
         ScriptedReply::success(QJsonArray{vaultFile("1", "old-a", 1), vaultFile("2", "old-b", 1)}).heldUntilReleased(),
         ScriptedReply::success(QJsonArray{vaultFile("3", "new", 1)})});
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);
    QVERIFY(waitForCount("GET", "/api/vault/files", 1));

    page->loadFiles();
    QVERIFY(waitUntil([&] { return m_server->heldCount() == 1; }));
    page->loadFiles();
    QTRY_COMPARE(page->table()->rowCount(), 1);

    QSignalSpy finished(HttpClient::instance()->network(), &QNetworkAccessManager::finished);
    m_server->releaseHeld();
    QVERIFY(finished.wait(5000));
    QCoreApplication::processEvents();
    QCOMPARE(page->table()->rowCount(), 1);
    QCOMPARE(page->table()->item(0, 0)->text(), QStringLiteral("new"));
    QCOMPARE(page->countLabel()->text(), QStringLiteral("共 1 个加密文件"));
}

void TestVaultPage::tokenNeverReachesTheSettings()
{
    m_server->on("GET", "/api/vault/status", [](const RecordedRequest &request) {
        return status(true, request.header("X-Vault-Token") == Token.toUtf8());
    });
    m_server->on("POST", "/api/vault/unlock", ScriptedReply::success(QJsonObject{{"token", Token}}));
    auto page = openPage(VaultPage::UnlockPage);
    QVERIFY(page);
    page->unlockWith(QStringLiteral("pw-123456"));
    QTRY_COMPARE(page->stack()->currentIndex(), int(VaultPage::FilesPage));
    QCOMPARE(Session::instance()->vaultToken, Token);

    QSettings settings;
    settings.sync();
    for (const QString &key : settings.allKeys())
        QVERIFY2(!settings.value(key).toString().contains(Token), qPrintable(key));
    QDirIterator it(m_settingsDir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(!file.readAll().contains(Token.toUtf8()), qPrintable(file.fileName()));
    }

    // Logout forgets it.
    Session::instance()->clear();
    QVERIFY(Session::instance()->vaultToken.isEmpty());
}

void TestVaultPage::uploadCutByALostConnectionSaysPausedNotFailed()
{
    Session::instance()->vaultToken = Token;
    m_server->on("GET", "/api/vault/status", status(true, true));
    m_server->on("POST", "/api/vault/upload", ScriptedReply::dropped());
    auto page = openPage(VaultPage::FilesPage);
    QVERIFY(page);
    const QString path = QDir(m_dir->path()).filePath(QStringLiteral("合同.pdf"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("contract\n");
    file.close();

    // With the connection watched, a job that finds no server waits for it instead of failing.
    TransferManager *transfers = TransferManager::instance();
    transfers->setServerReachable(true);
    // Every card is answered and kept, also one that would come after the test.
    auto said = std::make_shared<QStringList>();
    auto answer = std::make_shared<std::function<void(QDialog *)>>();
    *answer = [said, weak = std::weak_ptr(answer)](QDialog *dialog) {
        said->append(dialogText(dialog));
        dialog->accept();
        if (auto again = weak.lock())
            answerModal(*again);
    };
    answerModal(*answer);
    page->uploadFile(path);
    QTRY_VERIFY(!said->isEmpty());
    QVERIFY2(said->first().contains(QStringLiteral("已暂停，恢复连接后继续")), qPrintable(said->first()));
    QVERIFY2(!said->first().contains(QStringLiteral("上传失败")), qPrintable(said->first()));
    TransferTask *task = transfers->tasks().constLast();
    QCOMPARE(task->state(), TransferTask::State::Paused);
    QCOMPARE(task->stateText(), QStringLiteral("等待网络"));

    // The server returns: the same job sends the file, once, and the list follows.
    const int listings = count("GET", "/api/vault/files");
    m_server->on("POST", "/api/vault/upload", ScriptedReply::success(QJsonObject{{"id", 9}}));
    transfers->setServerReachable(true);
    QVERIFY(waitForCount("GET", "/api/vault/files", listings + 1));
    QCOMPARE(task->state(), TransferTask::State::Finished);
    QCOMPARE(said->size(), 1);
    Session::instance()->vaultToken.clear();
}

QTEST_MAIN(TestVaultPage)
#include "tst_vaultpage.moc"
