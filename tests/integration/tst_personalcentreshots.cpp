// The personal centre of the demo account rendered offscreen: the profile, update and capacity
// tiles inside the main window, and the payment dialog with its QR code. With TVR_SCREENSHOT_DIR
// set, the pictures are written there (docs/screenshots/ keeps the committed ones):
//   TVR_SCREENSHOT_DIR=docs/screenshots QT_QPA_PLATFORM=offscreen build/tests/tst_personalcentreshots
#include "account/licensepage.h"
#include "account/paydialog.h"
#include "account/profilepage.h"
#include "app/mainwindow.h"
#include "app/startup.h"
#include "net/session.h"
#include "referenceserver.h"
#include "screenshots.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>

namespace {

const QColor Gold(0xc9, 0xa8, 0x4c);
const QColor Navy(0x1a, 0x2a, 0x4a);

int countNear(const QImage &image, const QRect &rect, const QColor &colour, int tolerance = 30)
{
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) + qAbs(c.blue() - colour.blue()) <=
                tolerance)
                ++count;
        }
    return count;
}

} // namespace

class TestPersonalCentreShots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void rendersTheThreeTilesAndThePaymentDialog();

private:
    QImage shoot(QWidget *window, const QString &name);

    std::unique_ptr<ReferenceServer> m_server;
};

void TestPersonalCentreShots::initTestCase()
{
    Theme::installTranslation(*qApp);
    Theme::installTheme(*qApp);
    ReferenceServer::Options options;
    options.demo = true;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    const ReferenceServer::Credentials demo = m_server->signIn(QStringLiteral("demo"), QStringLiteral("13800138000"));
    QVERIFY(demo.isValid());
    QVERIFY(Session::instance()->applyLogin(demo.login));
    Session::instance()->machineCode = QStringLiteral("MJ-7F3A-19C2-B840-0D6E");
}

void TestPersonalCentreShots::cleanupTestCase()
{
    m_server.reset();
}

QImage TestPersonalCentreShots::shoot(QWidget *window, const QString &name)
{
    QApplication::processEvents();
    const QImage image = Screenshots::onDesktop(window);
    if (!Screenshots::save(image, name))
        qWarning("could not write %s", qPrintable(name));
    return image;
}

void TestPersonalCentreShots::rendersTheThreeTilesAndThePaymentDialog()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.switchTo(MainWindow::ProfilePage);
    ProfilePage *page = window.profilePage();
    QTRY_COMPARE(page->findChild<QLineEdit *>("PfAccount")->text(), QStringLiteral("demo"));
    QTRY_VERIFY(!window.findChild<QLabel *>("UserQuota")->text().contains(QStringLiteral("加载中")));

    const QImage profile = shoot(&window, QStringLiteral("profile.png"));
    QCOMPARE(profile.size(), QSize(1180, 760));
    // The navy identity band and the gold "更换头像" button.
    const QRect content(230, 220, 930, 300);
    QVERIFY(countNear(profile, content, QColor(0x24, 0x36, 0x5c), 40) > 2000);
    QVERIFY(countNear(profile, content, Gold) > 300);

    page->showTile(ProfilePage::UpdateTile);
    const QImage update = shoot(&window, QStringLiteral("profile-update.png"));
    QVERIFY(update != profile);

    page->showTile(ProfilePage::CapacityTile);
    LicensePage *license = page->licensePage();
    QTRY_VERIFY(license->displayedRecords().size() >= 7);
    QTRY_VERIFY(license->findChild<QLabel *>("LicTotal")->text() != QStringLiteral("加载中…"));
    QCOMPARE(license->pageCount(), 2);
    // The records sit below the summary; scroll them into view as the wheel would.
    QApplication::processEvents();
    QScrollBar *bar = license->findChild<QScrollArea *>()->verticalScrollBar();
    bar->setValue(bar->maximum());
    const QImage capacity = shoot(&window, QStringLiteral("capacity.png"));
    QVERIFY(countNear(capacity, QRect(230, 150, 930, 600), Navy, 12) > 3000); // the records header

    QTest::mouseClick(license->findChild<QPushButton *>("LicBuy"), Qt::LeftButton);
    auto *dialog = license->findChild<paydlg::PayDialog *>();
    QVERIFY(dialog);
    QTest::mouseClick(dialog->findChild<QPushButton *>("GenBtn"), Qt::LeftButton);
    QTRY_VERIFY(dialog->findChild<QLabel *>("PayQrImg")->isVisible());
    const QImage payment = shoot(dialog, QStringLiteral("payment.png"));
    QCOMPARE(payment.width(), 460);
    QVERIFY(countNear(payment, payment.rect(), Qt::black, 60) > 2000); // the QR modules
    dialog->reject();
}

QTEST_MAIN(TestPersonalCentreShots)
#include "tst_personalcentreshots.moc"
