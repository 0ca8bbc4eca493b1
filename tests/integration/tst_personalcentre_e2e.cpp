// The personal centre inside the main window against the reference server's demo account: a
// profile edit reaches the header and the title, an uploaded avatar reaches the header, and a
// capacity purchase goes from the QR code (decoded with zbarimg) through the development payment
// page to the "paid" text, a higher total and the new record.
#include "account/licensepage.h"
#include "account/paydialog.h"
#include "account/profilepage.h"
#include "app/mainwindow.h"
#include "modalanswer.h"
#include "net/session.h"
#include "referenceserver.h"

#include <QBuffer>
#include <QComboBox>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>

namespace {

// Closes the next card (Cdlg::info) and remembers its texts.
void closeNextCard(QString *texts)
{
    answerModal([texts](QDialog *dialog) {
        for (QLabel *label : dialog->findChildren<QLabel *>())
            *texts += label->text() + QLatin1Char('|');
        dialog->reject();
    });
}

} // namespace

class TestPersonalCentreE2e : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void profileEditFollowsInHeaderAndTitle();
    void uploadedAvatarShowsInHeader();
    void boughtTierPaysThroughTheQrLink();

private:
    QLabel *headerLabel(const char *name) const { return m_window->findChild<QLabel *>(name); }

    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_demo;
    MainWindow *m_window = nullptr;
    QTemporaryDir m_dir;
};

void TestPersonalCentreE2e::initTestCase()
{
    ReferenceServer::Options options;
    options.demo = true;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_demo = m_server->signIn(QStringLiteral("demo"), QStringLiteral("13800138000"));
    QVERIFY(m_demo.isValid());
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0009");
}

void TestPersonalCentreE2e::init()
{
    QVERIFY(Session::instance()->applyLogin(m_demo.login));
    m_window = new MainWindow;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QPushButton *entry = nullptr;
    for (QPushButton *button : m_window->findChildren<QPushButton *>("SideFootItem"))
        if (button->property("stk").toInt() == MainWindow::ProfilePage)
            entry = button;
    QVERIFY(entry);
    QTest::mouseClick(entry, Qt::LeftButton);
    QCOMPARE(m_window->currentIndex(), int(MainWindow::ProfilePage));
    QTRY_COMPARE(m_window->profilePage()->findChild<QLineEdit *>("PfAccount")->text(), QStringLiteral("demo"));
}

void TestPersonalCentreE2e::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

void TestPersonalCentreE2e::profileEditFollowsInHeaderAndTitle()
{
    ProfilePage *page = m_window->profilePage();
    page->findChild<QLineEdit *>("PfName")->setText(QStringLiteral("周测试"));
    page->findChild<QLineEdit *>("PfCompany")->setText(QStringLiteral("星河科技"));
    QString card;
    closeNextCard(&card);
    QTest::mouseClick(page->findChild<QPushButton *>("Primary"), Qt::LeftButton);
    QTRY_VERIFY(card.contains(QStringLiteral("资料已保存")));

    QCOMPARE(headerLabel("HeaderName")->text(), QStringLiteral("周测试"));
    QCOMPARE(headerLabel("HeaderAvatar")->text(), QStringLiteral("周"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("托尔瓦企业存储 - 星河科技 - demo"));
    QCOMPARE(headerLabel("MailTitleText")->text(), m_window->windowTitle());
    QTRY_COMPARE(page->findChild<QLabel *>("PfSubLine")->text(), QStringLiteral("@demo  ·  星河科技"));
    const QJsonObject stored = m_server->get(QStringLiteral("/api/profile"), m_demo).dataObject();
    QCOMPARE(stored.value("name").toString(), QStringLiteral("周测试"));
    QCOMPARE(stored.value("company_name").toString(), QStringLiteral("星河科技"));
}

void TestPersonalCentreE2e::uploadedAvatarShowsInHeader()
{
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(QColor(0xc9, 0xa8, 0x4c));
    const QString path = m_dir.filePath(QStringLiteral("avatar.png"));
    QVERIFY(image.save(path, "PNG"));
    QVERIFY(!headerLabel("HeaderAvatar")->text().isEmpty());

    QString card;
    closeNextCard(&card);
    m_window->profilePage()->uploadAvatar(path);
    QTRY_VERIFY(card.contains(QStringLiteral("头像已更新")));
    QVERIFY(headerLabel("HeaderAvatar")->text().isEmpty());
    const QImage shown = headerLabel("HeaderAvatar")->pixmap().toImage();
    QVERIFY(!shown.isNull());
    QCOMPARE(shown.pixelColor(shown.width() / 2, shown.height() / 2).rgb(), QColor(0xc9, 0xa8, 0x4c).rgb());
    QVERIFY(m_server->get(QStringLiteral("/api/profile"), m_demo)
                .dataObject()
                .value("avatar_url")
                .toString()
                .startsWith(QStringLiteral("data:image/png;base64,")));
}

void TestPersonalCentreE2e::boughtTierPaysThroughTheQrLink()
{
    const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    QVERIFY2(!zbarimg.isEmpty(), "zbarimg (zbar-tools) is installed by scripts/setup");

    ProfilePage *page = m_window->profilePage();
    LicensePage *license = page->licensePage();
    page->showTile(ProfilePage::CapacityTile);
    QTRY_VERIFY(!license->plans().isEmpty());
    QTRY_VERIFY(license->displayedRecords().size() >= 7);
    const int recordsBefore = int(license->displayedRecords().size());
    auto *total = license->findChild<QLabel *>("LicTotal");
    QTRY_VERIFY(total->text() != QStringLiteral("加载中…"));
    const QString totalBefore = total->text();
    const qint64 limitBefore = Session::instance()->storageLimit;

    QTest::mouseClick(license->findChild<QPushButton *>("LicBuy"), Qt::LeftButton);
    auto *dialog = license->findChild<paydlg::PayDialog *>();
    QVERIFY(dialog);
    QPointer<paydlg::PayDialog> guard(dialog);
    auto *combo = dialog->findChild<QComboBox *>("CapCombo");
    const int oneTb = combo->findText(QStringLiteral("1TB"));
    QVERIFY(oneTb >= 0);
    combo->setCurrentIndex(oneTb);
    QTest::mouseClick(dialog->findChild<QPushButton *>("GenBtn"), Qt::LeftButton);
    auto *qr = dialog->findChild<QLabel *>("PayQrImg");
    QTRY_VERIFY(qr->isVisible());
    const QString orderNo = dialog->orderNo();
    QVERIFY(orderNo.startsWith(QStringLiteral("TVR")));

    // What the user scans: the picture in the dialog.
    const QString qrPath = m_dir.filePath(QStringLiteral("qr.png"));
    QVERIFY(qr->pixmap().save(qrPath, "PNG"));
    QProcess zbar;
    zbar.start(zbarimg, {QStringLiteral("--raw"), QStringLiteral("-q"), qrPath});
    QVERIFY(zbar.waitForFinished(20000));
    const QString link = QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
    const QString expectedStart = m_server->baseUrl() + QStringLiteral("/pay/") + orderNo + QStringLiteral("?t=");
    QVERIFY2(link.startsWith(expectedStart), qPrintable(link));

    const QUrl url(link);
    const QString token = QUrlQuery(url).queryItemValue(QStringLiteral("t"));
    const ReferenceServer::Reply pagePage = m_server->request("GET", url.path() + QStringLiteral("?t=") + token);
    QCOMPARE(pagePage.status, 200);
    QVERIFY(QString::fromUtf8(pagePage.body).contains(QStringLiteral("确认支付")));
    const ReferenceServer::Reply paid =
        m_server->request("POST", url.path(), {}, "t=" + token.toUtf8(), "application/x-www-form-urlencoded");
    QCOMPARE(paid.status, 200);

    auto *status = dialog->findChild<QLabel *>("PayStatus");
    QTRY_VERIFY_WITH_TIMEOUT(status->text().contains(QStringLiteral("✓ 支付成功，容量已到账")), 10000);
    QTRY_VERIFY(guard.isNull());

    QTRY_COMPARE(license->displayedRecords().size(), recordsBefore + 1);
    bool listed = false;
    for (const QJsonObject &record : license->displayedRecords())
        listed = listed || record.value("order_no").toString() == orderNo;
    QVERIFY(listed);
    QTRY_VERIFY(total->text() != totalBefore);
    QTRY_COMPARE(Session::instance()->storageLimit, limitBefore + Q_INT64_C(1024) * 1024 * 1024 * 1024);
}

QTEST_MAIN(TestPersonalCentreE2e)
#include "tst_personalcentre_e2e.moc"
