// The vault inside the main window against the reference server's demo account: a newcomer's
// set-up, a 5 MiB file up and down byte for byte, lock and unlock, and an unlock that lapses when
// the server's clock moves 16 minutes. Renders the three sub-pages to $TVR_SCREENSHOT_DIR.
#include "app/mainwindow.h"
#include "app/theme.h"
#include "files/filelistpage.h"
#include "modalanswer.h"
#include "net/session.h"
#include "referenceserver.h"
#include "screenshots.h"
#include "spaces/vaultpage.h"
#include "spaces/vaultresetdialog.h"
#include "transferkit.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr qint64 BigSize = 5 * 1024 * 1024;
const QString VaultPassword = QStringLiteral("金库-2025-pw");

int rowNamed(const QTableWidget *table, const QString &name)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        if (table->item(row, 0) && table->item(row, 0)->text() == name)
            return row;
    }
    return -1;
}

} // namespace

class TestVaultE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void setupUploadDownloadLockAndLapse();
    void resetIsConfirmedByTheCodeSentToTheAccountsPhone();

private:
    bool shoot(QWidget *window, const QString &name);
    bool writeFile(const QString &name, const QByteArray &content, QString *path);

    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_demo;
    QTemporaryDir m_work;
    QTemporaryDir m_downloads;
};

void TestVaultE2E::initTestCase()
{
    qApp->setStyleSheet(Theme::globalStyleSheet());
    ReferenceServer::Options options;
    options.demo = true;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_demo = m_server->signIn(QStringLiteral("demo"), QStringLiteral("13800138000"));
    QVERIFY(m_demo.isValid());
    QVERIFY(Session::instance()->applyLogin(m_demo.login));
    FileListPage::setDownloadDirForTests(m_downloads.path());
}

void TestVaultE2E::cleanupTestCase()
{
    FileListPage::setDownloadDirForTests({});
    m_server.reset();
}

bool TestVaultE2E::shoot(QWidget *window, const QString &name)
{
    QApplication::processEvents();
    return Screenshots::save(Screenshots::onDesktop(window), name);
}

bool TestVaultE2E::writeFile(const QString &name, const QByteArray &content, QString *path)
{
    *path = m_work.filePath(name);
    QFile out(*path);
    return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
}

void TestVaultE2E::setupUploadDownloadLockAndLapse()
{
    MainWindow window;
    auto *page = qobject_cast<VaultPage *>(window.pageStack()->widget(MainWindow::VaultPage));
    QVERIFY(page);
    QSignalSpy decided(page, &VaultPage::vaultUnlocked);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // The sidebar's 保险箱 entry leads to it.
    QPushButton *entry = nullptr;
    for (QPushButton *button : window.findChildren<QPushButton *>(QStringLiteral("SideFootItem"))) {
        if (button->property("stk").toInt() == MainWindow::VaultPage)
            entry = button;
    }
    QVERIFY(entry);
    QCOMPARE(entry->text().trimmed(), QStringLiteral("保险箱"));
    QTest::mouseClick(entry, Qt::LeftButton);
    QCOMPARE(window.currentIndex(), int(MainWindow::VaultPage));
    QVERIFY(page->isVisible());

    // The demo account has no vault yet: the set-up page is the first thing seen.
    QTRY_VERIFY_WITH_TIMEOUT(!decided.isEmpty(), 10000);
    QCOMPARE(page->stack()->currentIndex(), int(VaultPage::SetupPage));
    QVERIFY(shoot(&window, QStringLiteral("vault-setup.png")));

    page->setupPassword()->setText(VaultPassword);
    page->setupConfirm()->setText(VaultPassword);
    QTest::mouseClick(page->findChild<QPushButton *>(QStringLiteral("VaultCreate")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(page->stack()->currentIndex(), int(VaultPage::FilesPage), 10000);
    QVERIFY(!Session::instance()->vaultToken.isEmpty());
    QTRY_COMPARE(page->countLabel()->text(), QStringLiteral("共 0 个加密文件"));

    // 5 MiB of random bytes in, listed, and out again byte for byte.
    QByteArray big(BigSize, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
    QString bigPath;
    QVERIFY(writeFile(QStringLiteral("项目合同归档.bin"), big, &bigPath));
    page->uploadFile(bigPath);
    QTRY_COMPARE_WITH_TIMEOUT(page->table()->rowCount(), 1, 30000);
    QCOMPARE(page->table()->item(0, 0)->text(), QStringLiteral("项目合同归档.bin"));
    QCOMPARE(page->table()->item(0, 1)->text(), QStringLiteral("5.00 MB"));
    QCOMPARE(page->countLabel()->text(), QStringLiteral("共 1 个加密文件"));

    QString said;
    answerModal([&said](QDialog *dialog) {
        for (const QLabel *label : dialog->findChildren<QLabel *>())
            said += label->text() + QLatin1Char('|');
        dialog->accept();
    });
    QTest::mouseClick(page->table()->cellWidget(0, 2)->findChild<QPushButton *>(QStringLiteral("LinkBtn")),
                      Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!said.isEmpty(), 30000);
    QVERIFY2(said.contains(QStringLiteral("已下载到：\n") + QDir::toNativeSeparators(m_downloads.path())),
             qPrintable(said));
    const QString downloaded = QDir(m_downloads.path()).filePath(QStringLiteral("项目合同归档.bin"));
    QCOMPARE(QFileInfo(downloaded).size(), BigSize);
    QCOMPARE(md5OfFile(downloaded), md5OfFile(bigPath));
    QVERIFY(!QFile::exists(downloaded + QStringLiteral(".part")));

    // A few more for the picture.
    const QList<std::pair<QString, QByteArray>> extras = {
        {QStringLiteral("劳动合同-张伟.pdf"), QByteArray(312 * 1024, 'p')},
        {QStringLiteral("2025年度财务报表.xlsx"), QByteArray(86 * 1024, 'x')},
        {QStringLiteral("身份证扫描件.jpg"), QByteArray(1536 * 1024, 'j')},
    };
    for (const auto &[name, content] : extras) {
        QString path;
        QVERIFY(writeFile(name, content, &path));
        const int before = page->table()->rowCount();
        page->uploadFile(path);
        QTRY_COMPARE_WITH_TIMEOUT(page->table()->rowCount(), before + 1, 10000);
    }
    QVERIFY(rowNamed(page->table(), QStringLiteral("身份证扫描件.jpg")) >= 0);
    QVERIFY(shoot(&window, QStringLiteral("vault-files.png")));

    // Lock: the unlock page, no token.
    QTest::mouseClick(page->lockButton(), Qt::LeftButton);
    QVERIFY(Session::instance()->vaultToken.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(page->stack()->currentIndex(), int(VaultPage::UnlockPage), 10000);
    QVERIFY(!page->lockButton()->isVisible());
    QVERIFY(shoot(&window, QStringLiteral("vault-unlock.png")));

    // Unlock again with the vault password, typed and confirmed with Return.
    page->unlockPassword()->setText(VaultPassword);
    QTest::keyClick(page->unlockPassword(), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(page->stack()->currentIndex(), int(VaultPage::FilesPage), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(page->table()->rowCount(), 4, 10000);

    // Sixteen idle minutes later the listing is refused and the unlock page returns; the next
    // status question drops the dead token.
    QVERIFY(m_server->advanceClock(16 * 60, m_demo));
    page->loadFiles();
    QTRY_COMPARE_WITH_TIMEOUT(page->stack()->currentIndex(), int(VaultPage::UnlockPage), 10000);
    page->refresh();
    QTRY_VERIFY_WITH_TIMEOUT(Session::instance()->vaultToken.isEmpty(), 10000);
    QCOMPARE(page->stack()->currentIndex(), int(VaultPage::UnlockPage));

    // And unlocking works again after the lapse.
    page->unlockWith(VaultPassword);
    QTRY_COMPARE_WITH_TIMEOUT(page->table()->rowCount(), 4, 10000);
    QCOMPARE(page->stack()->currentIndex(), int(VaultPage::FilesPage));
}

void TestVaultE2E::resetIsConfirmedByTheCodeSentToTheAccountsPhone()
{
    // A code to the account's own phone confirms a reset, with or without a login password.
    if (Session::instance()->phone.isEmpty())
        Session::instance()->phone = QStringLiteral("13800138000");
    VaultPage page;
    page.resize(900, 600);
    QSignalSpy decided(&page, &VaultPage::vaultUnlocked);
    page.show();
    QTRY_VERIFY_WITH_TIMEOUT(!decided.isEmpty(), 10000);
    if (page.stack()->currentIndex() == VaultPage::SetupPage) {
        page.setupPassword()->setText(VaultPassword);
        page.setupConfirm()->setText(VaultPassword);
        page.createVault();
        QTRY_COMPARE_WITH_TIMEOUT(page.stack()->currentIndex(), int(VaultPage::FilesPage), 10000);
    }
    bool hadPassword = false;
    bool codeArrived = false;
    answerModal([&](QDialog *dialog) {
        auto *reset = qobject_cast<VaultResetDialog *>(dialog);
        if (!reset) {
            dialog->reject();
            return;
        }
        hadPassword = reset->passwordField() != nullptr;
        QTest::mouseClick(reset->getCodeButton(), Qt::LeftButton);
        // A development server hands the code back; the field takes it.
        codeArrived = QTest::qWaitFor([&] { return !reset->codeField()->text().isEmpty(); }, 10000);
        dialog->accept();
    });
    page.openResetDialog();
    // The password field is offered exactly where the server says the account has one.
    QCOMPARE(hadPassword, page.hasLoginPassword());
    QVERIFY(codeArrived);
    QTRY_COMPARE_WITH_TIMEOUT(page.stack()->currentIndex(), int(VaultPage::SetupPage), 10000);
    QVERIFY(Session::instance()->vaultToken.isEmpty());
}

QTEST_MAIN(TestVaultE2E)
#include "tst_vault_e2e.moc"
