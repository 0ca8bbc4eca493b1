// The share card against a scripted server: the exact request body of every validity, code and
// download choice, personal and team files, what 「复制链接」 puts on the clipboard, the QR image
// read back by a scanner, failures in Chinese with a second try, and where 「分享」 is offered
// (file pages, one entry at a time; never the vault).
#include "app/startup.h"
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/filetable.h"
#include "modalanswer.h"
#include "screenshots.h"
#include "scriptedserver.h"
#include "share/qrcodewidget.h"
#include "share/sharecard.h"
#include "spaces/vaultpage.h"
#include "ui/roundedcard.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString SharesPath = QStringLiteral("/api/shares");

QJsonObject fileRecord(const QString &id, const QString &name)
{
    return {
        {"id", id.toLongLong()}, {"name", name}, {"type", "file"}, {"size", 52428}, {"mime_type", "application/pdf"}};
}

QJsonObject created(const QString &url, const QString &code, const QJsonValue &expiresAt = "2026-12-17T06:00:00Z")
{
    return {{"id", 9},
            {"token", "tok"},
            {"url", url},
            {"code", code},
            {"name", "报价单.pdf"},
            {"isFolder", false},
            {"createdAt", "2026-12-10T06:00:00Z"},
            {"expiresAt", expiresAt},
            {"allowDownload", true}};
}

QPushButton *dayButton(const ShareCard &card, const QString &text)
{
    for (QPushButton *button : card.findChildren<QPushButton *>(QStringLiteral("ShareDays"))) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

// What a phone camera would read from the image; empty when nothing decodes.
QString scan(const QImage &image, const QString &folder)
{
    const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    const QString path = folder + QStringLiteral("/qr.png");
    if (zbarimg.isEmpty() || !image.save(path, "PNG"))
        return {};
    QProcess zbar;
    zbar.start(zbarimg, {QStringLiteral("--raw"), QStringLiteral("-q"), path});
    if (!zbar.waitForFinished(20000))
        return {};
    return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
}

QStringList menuTexts(QMenu *menu)
{
    QStringList texts;
    for (QAction *action : menu->actions())
        texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

} // namespace

class TestShareCard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void requestBodyFollowsEveryChoice_data();
    void requestBodyFollowsEveryChoice();
    void teamFilesNameTheirTeam();
    void createdLinkIsShownCopiedWithItsCodeAndScansToTheLink();
    void linkWithoutCodeCopiesTheLinkAlone();
    void failuresStayOnTheCardInChineseAndMayBeRetried();
    void filePagesOfferShareForOneEntry();
    void vaultOffersNoShare();
    void rendersTheCard();

private:
    // Fills the card's choices as a user would and clicks 「创建链接」; returns the body sent.
    QJsonObject createWith(ShareCard &card, const QString &dayText, bool withCode, bool allowDownload);

    ScriptedServer *m_server = nullptr;
    QTemporaryDir m_dir;
    QJsonArray m_rows;
};

void TestShareCard::initTestCase()
{
    Theme::installTheme(*qApp);
    QVERIFY(m_dir.isValid());
}

void TestShareCard::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_server->on("POST", SharesPath,
                 ScriptedReply::success(created(m_server->baseUrl() + QStringLiteral("/s/tok"), "k7pq")));
    const auto listing = [this](const RecordedRequest &) { return ScriptedReply::success(m_rows); };
    m_server->on("GET", QStringLiteral("/api/files?*"), listing);
    m_server->on("GET", QStringLiteral("/api/teams/*"), listing);
    QGuiApplication::clipboard()->clear();
}

void TestShareCard::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

QJsonObject TestShareCard::createWith(ShareCard &card, const QString &dayText, bool withCode, bool allowDownload)
{
    QPushButton *day = dayButton(card, dayText);
    if (!day)
        return {};
    QTest::mouseClick(day, Qt::LeftButton);
    // The boxes start ticked; a click is how the user changes them.
    if (card.withCodeBox()->isChecked() != withCode)
        card.withCodeBox()->click();
    if (card.allowDownloadBox()->isChecked() != allowDownload)
        card.allowDownloadBox()->click();
    const int before = int(m_server->requests("POST", SharesPath).size());
    QTest::mouseClick(card.okButton(), Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return m_server->requests("POST", SharesPath).size() > before; }, 5000))
        return {};
    return m_server->requests("POST", SharesPath).last().json();
}

void TestShareCard::requestBodyFollowsEveryChoice_data()
{
    QTest::addColumn<QString>("dayText");
    QTest::addColumn<bool>("withCode");
    QTest::addColumn<bool>("allowDownload");
    QTest::addColumn<int>("validDays");

    QTest::newRow("1 天, code, download") << "1 天" << true << true << 1;
    QTest::newRow("7 天, no code, download") << "7 天" << false << true << 7;
    QTest::newRow("30 天, code, view only") << "30 天" << true << false << 30;
    QTest::newRow("永久, no code, view only") << "永久" << false << false << 0;
}

void TestShareCard::requestBodyFollowsEveryChoice()
{
    QFETCH(QString, dayText);
    QFETCH(bool, withCode);
    QFETCH(bool, allowDownload);
    QFETCH(int, validDays);

    ShareCard card(nullptr, fileRecord("42", "报价单.pdf"), QString());
    card.show();
    QCOMPARE(card.validDays(), 7); // a week unless the user picks otherwise
    QVERIFY(card.withCodeBox()->isChecked());
    QVERIFY(card.allowDownloadBox()->isChecked());

    const QJsonObject body = createWith(card, dayText, withCode, allowDownload);
    // Exactly these members: a personal file names no team.
    const QJsonObject expected{
        {"fileId", 42}, {"validDays", validDays}, {"withCode", withCode}, {"allowDownload", allowDownload}};
    QCOMPARE(body, expected);
    QTRY_VERIFY(card.hasLink());
}

void TestShareCard::teamFilesNameTheirTeam()
{
    ShareCard card(nullptr, fileRecord("42", "报价单.pdf"), QStringLiteral("5"));
    card.show();
    const QJsonObject body = createWith(card, QStringLiteral("30 天"), true, true);
    QCOMPARE(body, (QJsonObject{
                       {"fileId", 42}, {"teamId", 5}, {"validDays", 30}, {"withCode", true}, {"allowDownload", true}}));
}

void TestShareCard::createdLinkIsShownCopiedWithItsCodeAndScansToTheLink()
{
    const QString url = m_server->baseUrl() + QStringLiteral("/s/tok");
    ShareCard card(nullptr, fileRecord("42", "报价单.pdf"), QString());
    card.show();
    QVERIFY(!card.findChild<QWidget *>(QStringLiteral("ShareResult"))->isVisible());
    QTest::mouseClick(card.okButton(), Qt::LeftButton);
    QTRY_VERIFY(card.hasLink());

    QVERIFY(card.findChild<QWidget *>(QStringLiteral("ShareResult"))->isVisible());
    QVERIFY(!card.findChild<QWidget *>(QStringLiteral("ShareSettings"))->isVisible());
    QCOMPARE(card.findChild<QLineEdit *>(QStringLiteral("ShareUrl"))->text(), url);
    QCOMPARE(card.findChild<QLabel *>(QStringLiteral("ShareCode"))->text(), QStringLiteral("k7pq"));
    QVERIFY(card.findChild<QLabel *>(QStringLiteral("ShareFact"))->text().startsWith(QStringLiteral("有效期至 ")));
    QCOMPARE(card.okButton()->text(), QStringLiteral("完成"));
    QVERIFY(!card.cancelButton()->isVisible());

    QTest::mouseClick(card.findChild<QPushButton *>(QStringLiteral("ShareCopy")), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("链接：%1  提取码：k7pq").arg(url));
    QCOMPARE(card.findChild<QLabel *>(QStringLiteral("ShareCopied"))->text(), QStringLiteral("已复制链接和提取码"));

    // What the user scans is the widget on screen, not the encoder's output.
    const QString read = scan(card.qrCode()->grab().toImage(), m_dir.path());
    QCOMPARE(read, url);

    // One link per card: 「完成」 closes it and sends nothing more.
    QTest::mouseClick(card.okButton(), Qt::LeftButton);
    QCOMPARE(card.result(), int(QDialog::Accepted));
    QCOMPARE(m_server->requests("POST", SharesPath).size(), 1);
}

void TestShareCard::linkWithoutCodeCopiesTheLinkAlone()
{
    const QString url = m_server->baseUrl() + QStringLiteral("/s/open");
    m_server->on("POST", SharesPath, ScriptedReply::success(created(url, QString(), QJsonValue::Null)));
    ShareCard card(nullptr, fileRecord("42", "报价单.pdf"), QString());
    card.show();
    createWith(card, QStringLiteral("永久"), false, true);
    QTRY_VERIFY(card.hasLink());
    QVERIFY(card.findChild<QLabel *>(QStringLiteral("ShareFact"))->text().startsWith(QStringLiteral("永久有效")));
    card.copyLink();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("链接：%1").arg(url));
}

void TestShareCard::failuresStayOnTheCardInChineseAndMayBeRetried()
{
    m_server->on("POST", SharesPath,
                 ScriptedReply::json(QJsonObject{{"success", false}, {"message", "无权分享该文件"}}, 403));
    ShareCard card(nullptr, fileRecord("42", "报价单.pdf"), QString());
    card.show();
    QTest::mouseClick(card.okButton(), Qt::LeftButton);
    QTRY_VERIFY(card.errorLabel()->isVisible());
    QCOMPARE(card.errorLabel()->text(), QStringLiteral("创建链接失败：无权分享该文件"));
    QVERIFY(card.isVisible());
    QVERIFY(!card.hasLink());
    QCOMPARE(card.okButton()->text(), QStringLiteral("创建链接"));
    QVERIFY(card.okButton()->isEnabled());

    // A success envelope without a link is no link either.
    m_server->on("POST", SharesPath, ScriptedReply::success(QJsonObject{{"id", 3}}));
    QTest::mouseClick(card.okButton(), Qt::LeftButton);
    QTRY_COMPARE(card.errorLabel()->text(), QStringLiteral("创建链接失败：服务器没有返回链接"));
    QVERIFY(!card.hasLink());

    // A dropped connection reads as a Chinese network failure.
    m_server->on("POST", SharesPath, ScriptedReply::dropped());
    QTest::mouseClick(card.okButton(), Qt::LeftButton);
    QTRY_VERIFY(card.okButton()->isEnabled());
    const QString dropped = card.errorLabel()->text();
    QVERIFY2(dropped.startsWith(QStringLiteral("创建链接失败：")) && dropped.size() > 7, qPrintable(dropped));
    QVERIFY2(!dropped.contains(QStringLiteral("Error")), qPrintable(dropped));

    m_server->on("POST", SharesPath,
                 ScriptedReply::success(created(m_server->baseUrl() + QStringLiteral("/s/tok"), "k7pq")));
    QTest::mouseClick(card.okButton(), Qt::LeftButton);
    QTRY_VERIFY(card.hasLink());
    QVERIFY(!card.errorLabel()->isVisible());
}

void TestShareCard::filePagesOfferShareForOneEntry()
{
    m_rows = {fileRecord("1", "a.pdf"), fileRecord("2", "b.pdf")};
    FileListPage page(QStringLiteral("all"), QString());
    page.resize(1000, 500);
    page.show();
    QTRY_COMPARE(page.model()->rowCount(), 2);

    QPushButton *shareButton = nullptr;
    for (QPushButton *button : page.findChildren<QPushButton *>(QStringLiteral("GoldBtn"))) {
        if (button->text() == QStringLiteral("分享"))
            shareButton = button;
    }
    QVERIFY(shareButton);

    // Nothing selected, then two: the toolbar says why, in a card, and opens no share card.
    QStringList notices;
    const auto noteNotice = [&notices](QDialog *dialog) {
        for (QLabel *label : dialog->findChildren<QLabel *>(QStringLiteral("cdMsg")))
            notices.append(label->text());
        dialog->reject();
    };
    answerModal(noteNotice);
    QTest::mouseClick(shareButton, Qt::LeftButton);
    page.table()->selectAll();
    answerModal(noteNotice);
    QTest::mouseClick(shareButton, Qt::LeftButton);
    QCOMPARE(notices, (QStringList{QStringLiteral("请先选择要分享的文件"),
                                   QStringLiteral("一次只能分享一个文件或文件夹，请只选择一项")}));
    QVERIFY(!page.findChild<ShareCard *>());
    std::unique_ptr<QMenu> many(page.buildMenu());
    QVERIFY(!menuTexts(many.get()).contains(QStringLiteral("分享")));

    page.selectRow(1);
    std::unique_ptr<QMenu> one(page.buildMenu());
    QVERIFY(menuTexts(one.get()).contains(QStringLiteral("分享")));
    QTest::mouseClick(shareButton, Qt::LeftButton);
    auto *card = page.findChild<ShareCard *>();
    QVERIFY(card);
    QTRY_VERIFY(card->isVisible());
    QTest::mouseClick(card->okButton(), Qt::LeftButton);
    QTRY_COMPARE(m_server->requests("POST", SharesPath).size(), 1);
    QCOMPARE(m_server->requests("POST", SharesPath).first().json().value("fileId").toInt(), 2);
    QPointer<ShareCard> guard(card);
    card->close();
    QTRY_VERIFY(!guard); // deleted on close

    // A team page's card names the team; its menu's entry opens it.
    FileListPage team(QString(), QStringLiteral("77"));
    team.resize(1000, 500);
    team.show();
    QTRY_COMPARE(team.model()->rowCount(), 2);
    team.selectRow(0);
    std::unique_ptr<QMenu> teamMenu(team.buildMenu());
    QAction *teamShare = nullptr;
    for (QAction *action : teamMenu->actions()) {
        if (action->text() == QStringLiteral("分享"))
            teamShare = action;
    }
    QVERIFY(teamShare);
    teamShare->trigger();
    auto *teamCard = team.findChild<ShareCard *>();
    QVERIFY(teamCard);
    QTest::mouseClick(teamCard->okButton(), Qt::LeftButton);
    QTRY_COMPARE(m_server->requests("POST", SharesPath).size(), 2);
    const QJsonObject teamBody = m_server->requests("POST", SharesPath).last().json();
    QCOMPARE(teamBody.value("teamId").toInt(), 77);
    QCOMPARE(teamBody.value("fileId").toInt(), 1);
    teamCard->close();
}

void TestShareCard::vaultOffersNoShare()
{
    // The vault's files are encrypted for their owner alone: no control there may make a link.
    m_server->on("GET", QStringLiteral("/api/vault/status"),
                 ScriptedReply::success(QJsonObject{{"created", true}, {"unlocked", true}}));
    m_server->on("GET", QStringLiteral("/api/vault/files"),
                 ScriptedReply::success(QJsonArray{QJsonObject{{"id", "1"}, {"name", "合同.pdf"}, {"size", 10}}}));
    VaultPage vault;
    vault.resize(1000, 600);
    vault.show();
    QTRY_COMPARE(vault.stack()->currentIndex(), int(VaultPage::FilesPage));
    QTRY_VERIFY(m_server->requests("GET", QStringLiteral("/api/vault/files")).size() >= 1);
    QApplication::processEvents();
    for (const QAbstractButton *button : vault.findChildren<QAbstractButton *>()) {
        QVERIFY2(!button->text().contains(QStringLiteral("分享")) &&
                     !button->toolTip().contains(QStringLiteral("分享")),
                 qPrintable(button->text()));
    }
    for (const QAction *action : vault.findChildren<QAction *>())
        QVERIFY2(!action->text().contains(QStringLiteral("分享")), qPrintable(action->text()));
    QVERIFY(!vault.findChild<ShareCard *>());
    QCOMPARE(m_server->requests("POST", SharesPath).size(), 0);
}

void TestShareCard::rendersTheCard()
{
    ShareCard card(nullptr, fileRecord("42", "2026 年度报价单（客户版）.pdf"), QString());
    card.show();
    QVERIFY(QTest::qWaitForWindowExposed(&card));
    const QImage options = Screenshots::onDesktop(&card);
    QVERIFY(Screenshots::save(options, QStringLiteral("share-card-options.png")));

    QTest::mouseClick(card.okButton(), Qt::LeftButton);
    QTRY_VERIFY(card.hasLink());
    QTest::mouseClick(card.findChild<QPushButton *>(QStringLiteral("ShareCopy")), Qt::LeftButton);
    QApplication::processEvents();
    const QImage shot = Screenshots::onDesktop(&card);
    QVERIFY(Screenshots::save(shot, QStringLiteral("share-card.png")));

    // The card's navy band and gold line run across its top; the QR code sits inside the card.
    const QPoint cardTop = card.card()->mapTo(&card, QPoint(card.card()->width() / 2, 0));
    const QColor navy = shot.pixelColor(cardTop + QPoint(0, 2));
    const QColor gold = shot.pixelColor(cardTop + QPoint(0, 7));
    QVERIFY2(navy.red() < 0x40 && navy.blue() > 0x40 && navy.blue() < 0x70, qPrintable(navy.name()));
    QVERIFY2(gold.red() > 0xb0 && gold.green() > 0x90 && gold.blue() < 0x80, qPrintable(gold.name()));
    const QRect qr(card.qrCode()->mapTo(&card, QPoint(0, 0)), card.qrCode()->size());
    QVERIFY(card.card()->geometry().contains(qr));
    const QString read = scan(shot.copy(qr.adjusted(-8, -8, 8, 8)), m_dir.path());
    QCOMPARE(read, card.url());
}

QTEST_MAIN(TestShareCard)
#include "tst_sharecard.moc"
