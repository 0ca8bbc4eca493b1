// Renders the sign-in window, a legal document, the status bar and both expiry banners offscreen with
// the real theme, and checks that the pictures show the product's colours. With TVR_SCREENSHOT_DIR
// set, the pictures are written there (docs/screenshots/ keeps the committed ones):
//   TVR_SCREENSHOT_DIR=docs/screenshots QT_QPA_PLATFORM=offscreen build/tests/tst_accountscreenshots
#include "screenshots.h"

#include "account/authwindow.h"
#include "account/legaldialog.h"
#include "app/capacitybanner.h"
#include "app/startup.h"
#include "app/statusbar.h"
#include "net/session.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QColor Navy(0x1a, 0x2a, 0x4a);
const QColor Gold(0xc9, 0xa8, 0x4c);

int colourDistance(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) + qAbs(a.green() - b.green()) + qAbs(a.blue() - b.blue());
}

bool contains(const QImage &image, const QColor &colour, int tolerance = 24)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (colourDistance(image.pixelColor(x, y), colour) <= tolerance)
                return true;
    return false;
}

// Horizontal centre of the pixels in rect that differ clearly from background; -1 when none do.
int inkCentreX(const QImage &image, const QRect &rect, const QColor &background)
{
    int left = -1;
    int right = -1;
    for (int x = rect.left(); x <= rect.right(); ++x)
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            if (colourDistance(image.pixelColor(x, y), background) > 120) {
                if (left < 0)
                    left = x;
                right = x;
                break;
            }
    return left < 0 ? -1 : (left + right) / 2;
}

} // namespace

class TestAccountScreenshots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signInWindow();
    void signInWindowWithErrorAndHint();
    void legalDocument();
    void statusBarAndBanners();
};

void TestAccountScreenshots::initTestCase()
{
    Theme::installTranslation(*qApp);
    Theme::installTheme(*qApp);
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0004");
}

void TestAccountScreenshots::signInWindow()
{
    AuthWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QImage shot = Screenshots::onDesktop(&window);
    QVERIFY(Screenshots::save(shot, QStringLiteral("signin.png")));

    QCOMPARE(shot.width(), 400);
    // Gold-to-navy strip at the top, white card, gold submit button.
    QVERIFY(colourDistance(shot.pixelColor(20, 2), Gold) < 40);
    QVERIFY(colourDistance(shot.pixelColor(380, 2), Navy) < 40);
    QCOMPARE(shot.pixelColor(200, 20), QColor(Qt::white));
    auto *submit = window.findChild<QWidget *>("BigGold");
    const QPoint submitCentre = submit->mapTo(&window, submit->rect().center());
    QVERIFY(colourDistance(shot.pixelColor(submitCentre.x() - 60, submitCentre.y()), QColor(0xd2, 0xae, 0x3d)) < 60);
    // Rounded corners: the desktop shows through at the card's very corner.
    QCOMPARE(shot.pixelColor(0, shot.height() - 1), Screenshots::Desktop);
    // The brand title is centred on the card.
    auto *title = window.findChild<QLabel *>("BrandTitle");
    const QRect titleRect(title->mapTo(&window, QPoint(0, 0)), title->size());
    const int centre = inkCentreX(shot, titleRect, Qt::white);
    QVERIFY2(qAbs(centre - 200) <= 3, qPrintable(QString::number(centre)));
    QVERIFY(contains(shot.copy(titleRect), Navy, 40));
}

void TestAccountScreenshots::signInWindowWithErrorAndHint()
{
    AuthWindow window;
    window.show();
    window.findChild<QLineEdit *>("UsernameEdit")->setText(QStringLiteral("zhangsan"));
    window.findChild<QLineEdit *>("PhoneEdit")->setText(QStringLiteral("13812345678"));
    window.findChild<QLineEdit *>("CodeEdit")->setText(QStringLiteral("246810"));
    window.findChild<QCheckBox *>("Agree")->setChecked(true);
    auto *hint = window.findChild<QLabel *>("SmsHint");
    hint->setText(QStringLiteral("验证码将发送至 138****5678"));
    hint->show();
    window.findChild<QLabel *>("FormSub")->setText(QStringLiteral("验证码错误或已过期"));
    window.adjustSize();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QImage shot = Screenshots::onDesktop(&window);
    QVERIFY(Screenshots::save(shot, QStringLiteral("signin-filled.png")));
    QVERIFY(!shot.isNull());
}

void TestAccountScreenshots::legalDocument()
{
    QWidget parent;
    parent.resize(600, 700);
    parent.show();
    QImage shot;
    QTimer::singleShot(0, this, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        QVERIFY(modal);
        shot = Screenshots::onDesktop(modal);
        modal->close();
    });
    showLegalDialog(&parent, LegalDocument::PrivacyPolicy);
    QCOMPARE(shot.size(), QSize(424, 507));
    QVERIFY(Screenshots::save(shot, QStringLiteral("legal-privacy.png")));
    QVERIFY(colourDistance(shot.pixelColor(30, 1), Gold) < 40);
    QVERIFY(contains(shot, QColor(0xf7, 0xf9, 0xfc), 2)); // the body panel
}

void TestAccountScreenshots::statusBarAndBanners()
{
    QWidget page;
    page.setStyleSheet(QStringLiteral("background:#ffffff;"));
    page.setAttribute(Qt::WA_StyledBackground);
    auto *layout = new QVBoxLayout(&page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *red = new CapacityBanner(&page);
    auto *orange = new CapacityBanner(&page);
    layout->addWidget(red);
    layout->addWidget(orange);
    layout->addStretch();
    auto *bar = new StatusBar(&page);
    layout->addWidget(bar);
    page.resize(1180, 200);
    red->showAlert(QJsonObject{{"expiredOver", true}, {"overBytes", 1610612736.0}});
    QJsonArray expiring;
    for (int i = 0; i < 3; ++i)
        expiring.append(QJsonObject{{"capacity_gb", 100}, {"expire_at", "2026-01-31T00:00:00Z"}, {"days", 5}});
    orange->showAlert(QJsonObject{{"expiring", expiring}});
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    const QImage shot = page.grab().toImage();
    QVERIFY(Screenshots::save(shot, QStringLiteral("statusbar-banners.png")));

    QVERIFY(contains(shot, QColor(0xff, 0xf2, 0xf0), 2)); // red banner background
    QVERIFY(contains(shot, QColor(0xff, 0xf7, 0xe6), 2)); // orange banner background
    QVERIFY(contains(shot, QColor(0xf2, 0xf3, 0xf5), 2)); // status bar
    QCOMPARE(bar->height(), 28);
}

QTEST_MAIN(TestAccountScreenshots)
#include "tst_accountscreenshots.moc"
