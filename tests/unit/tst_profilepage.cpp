// The personal centre's profile tile against a scripted server: what a save sends and refuses,
// what it writes into the session, the storage figures, the avatar upload and the avatar letter.
#include "account/profileapi.h"
#include "account/profilepage.h"
#include "account/tilecard.h"
#include "modalanswer.h"
#include "net/session.h"
#include "scriptedserver.h"
#include "ui/roundavatar.h"

#include <QBuffer>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray pngBytes()
{
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

QJsonObject profile(const QString &name = QStringLiteral("王小二"), const QString &avatar = QString())
{
    return QJsonObject{{"username", "erin"},
                       {"name", name},
                       {"phone", "13900000007"},
                       {"company_name", "示例公司"},
                       {"avatar_url", avatar}};
}

// Texts of every card shown while action runs: "title|message".
QStringList cardsDuring(const std::function<void()> &action, int expected)
{
    QStringList seen;
    std::function<void(QDialog *)> answer = [&](QDialog *dialog) {
        QStringList texts;
        for (QLabel *label : dialog->findChildren<QLabel *>())
            if (!label->text().isEmpty())
                texts << label->text();
        seen << texts.join(QLatin1Char('|'));
        dialog->reject();
        if (seen.size() < expected)
            answerModal(answer);
    };
    answerModal(answer);
    action();
    QTest::qWaitFor([&] { return seen.size() >= expected; }, 5000);
    return seen;
}

} // namespace

class TestProfilePage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void accountLengthIsCheckedInCharacters_data();
    void accountLengthIsCheckedInCharacters();
    void unchangedAccountIsNotSentAndChangedOneReachesTheSession();
    void emptyPhoneIsSavedAndFiveDigitsAreRefused();
    void failedSaveShowsServerText();
    void refusalInASuccessfulStatusIsAFailure();
    void storageFiguresFollowTheSession();
    void avatarContentTypeFollowsTheExactSuffix();
    void uploadedAvatarReplacesTheLetter();
    void avatarUrlWithoutCommaIsDecodedWhole();
    void oversizedOrForeignAvatarIsRefusedBeforeSending();
    void avatarLetterAndDisplayNameFallbacks();
    void tilesSwitchSubPages();

private:
    void makePage();
    QLineEdit *edit(const char *name) const { return m_page->findChild<QLineEdit *>(name); }
    QPushButton *saveButton() const { return m_page->findChild<QPushButton *>("Primary"); }
    QLabel *avatar() const { return m_page->findChild<QLabel *>("PfAvatar"); }

    ScriptedServer m_server;
    ProfilePage *m_page = nullptr;
    QTemporaryDir m_dir;
};

void TestProfilePage::initTestCase()
{
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0007");
}

void TestProfilePage::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    m_server.on("GET", "/api/profile", ScriptedReply::success(profile()));
    m_server.on("PUT", "/api/profile", ScriptedReply::success(profile()));
    Session *session = Session::instance();
    session->clear();
    session->userId = QStringLiteral("7");
    session->username = QStringLiteral("erin");
}

void TestProfilePage::cleanup()
{
    delete m_page;
    m_page = nullptr;
}

void TestProfilePage::makePage()
{
    m_page = new ProfilePage;
    m_page->resize(1000, 800);
    m_page->show();
    QTRY_COMPARE(edit("PfAccount")->text(), QStringLiteral("erin"));
}

void TestProfilePage::accountLengthIsCheckedInCharacters_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("1") << QStringLiteral("e") << false;
    QTest::newRow("2") << QStringLiteral("ef") << true;
    QTest::newRow("32") << QString(32, QLatin1Char('a')) << true;
    QTest::newRow("33") << QString(33, QLatin1Char('a')) << false;
    // Two characters outside the BMP are four UTF-16 units but two characters.
    QTest::newRow("2 non-BMP") << QStringLiteral("𠮷𠮷") << true;
    QTest::newRow("1 with spaces") << QStringLiteral("  e  ") << false;
}

void TestProfilePage::accountLengthIsCheckedInCharacters()
{
    QFETCH(QString, account);
    QFETCH(bool, accepted);
    makePage();
    edit("PfAccount")->setText(account);
    const QStringList cards = cardsDuring([this] { QTest::mouseClick(saveButton(), Qt::LeftButton); }, 1);
    QCOMPARE(cards.size(), 1);
    if (accepted) {
        QVERIFY2(cards.first().contains(QStringLiteral("资料已保存")), qPrintable(cards.first()));
        QCOMPARE(m_server.requests("PUT", "/api/profile").size(), 1);
        QCOMPARE(m_server.requests("PUT", "/api/profile").first().json().value("username").toString(),
                 account.trimmed());
    } else {
        QVERIFY2(cards.first().contains(QStringLiteral("用户名长度需在 2-32 个字符")), qPrintable(cards.first()));
        QVERIFY(cards.first().contains(QStringLiteral("提示")));
        QCOMPARE(m_server.requests("PUT", "/api/profile").size(), 0);
    }
}

void TestProfilePage::unchangedAccountIsNotSentAndChangedOneReachesTheSession()
{
    makePage();
    QSignalSpy saved(m_page, &ProfilePage::profileSaved);
    edit("PfName")->setText(QStringLiteral("  张三 "));
    edit("PfCompany")->setText(QStringLiteral(" 新公司 "));
    cardsDuring([this] { QTest::mouseClick(saveButton(), Qt::LeftButton); }, 1);
    QCOMPARE(saved.size(), 1);
    const QJsonObject first = m_server.requests("PUT", "/api/profile").first().json();
    QCOMPARE(first, QJsonObject({{"name", "张三"}, {"phone", "13900000007"}, {"companyName", "新公司"}}));
    QCOMPARE(Session::instance()->name, QStringLiteral("张三"));
    QCOMPARE(Session::instance()->companyName, QStringLiteral("新公司"));
    QCOMPARE(Session::instance()->username, QStringLiteral("erin"));

    edit("PfAccount")->setText(QStringLiteral("erin2"));
    cardsDuring([this] { QTest::mouseClick(saveButton(), Qt::LeftButton); }, 1);
    QCOMPARE(m_server.requests("PUT", "/api/profile").last().json().value("username").toString(),
             QStringLiteral("erin2"));
    QCOMPARE(Session::instance()->username, QStringLiteral("erin2"));
    QCOMPARE(saved.size(), 2);
}

void TestProfilePage::emptyPhoneIsSavedAndFiveDigitsAreRefused()
{
    makePage();
    edit("PfPhone")->setText(QStringLiteral("12345"));
    QStringList cards = cardsDuring([this] { QTest::mouseClick(saveButton(), Qt::LeftButton); }, 1);
    QVERIFY2(cards.first().contains(QStringLiteral("手机号格式不正确")), qPrintable(cards.first()));
    QCOMPARE(m_server.requests("PUT", "/api/profile").size(), 0);
    QCOMPARE(edit("PfPhone")->text(), QStringLiteral("12345"));

    edit("PfPhone")->setText(QStringLiteral("   "));
    cards = cardsDuring([this] { QTest::mouseClick(saveButton(), Qt::LeftButton); }, 1);
    QVERIFY2(cards.first().contains(QStringLiteral("资料已保存")), qPrintable(cards.first()));
    const QJsonObject body = m_server.requests("PUT", "/api/profile").first().json();
    QVERIFY(body.value("phone").isString());
    QCOMPARE(body.value("phone").toString(), QString());
    QCOMPARE(Session::instance()->phone, QString());
}

void TestProfilePage::failedSaveShowsServerText()
{
    m_server.on("PUT", "/api/profile",
                ScriptedReply::json(QJsonObject{{"success", false}, {"message", "用户名已被占用"}}, 409));
    makePage();
    QSignalSpy saved(m_page, &ProfilePage::profileSaved);
    edit("PfAccount")->setText(QStringLiteral("taken"));
    const QStringList cards = cardsDuring([this] { QTest::mouseClick(saveButton(), Qt::LeftButton); }, 1);
    QVERIFY2(cards.first().contains(QStringLiteral("保存失败")), qPrintable(cards.first()));
    QVERIFY(cards.first().contains(QStringLiteral("用户名已被占用")));
    QCOMPARE(saved.size(), 0);
    QCOMPARE(Session::instance()->username, QStringLiteral("erin"));
    QCOMPARE(edit("PfAccount")->text(), QStringLiteral("taken"));
}

void TestProfilePage::refusalInASuccessfulStatusIsAFailure()
{
    // Some refusals arrive as 200 with the envelope saying no: neither the session nor the title may take them.
    m_server.on("PUT", "/api/profile",
                ScriptedReply::json(QJsonObject{{"success", false}, {"message", "用户名已被占用"}}, 200));
    m_server.on("POST", "/api/profile/avatar",
                ScriptedReply::json(QJsonObject{{"success", false}, {"message", "头像过大"}}, 200));
    makePage();
    QSignalSpy saved(m_page, &ProfilePage::profileSaved);
    edit("PfAccount")->setText(QStringLiteral("taken"));
    edit("PfName")->setText(QStringLiteral("不该保存"));
    QStringList cards = cardsDuring([this] { QTest::mouseClick(saveButton(), Qt::LeftButton); }, 1);
    QVERIFY2(cards.first().contains(QStringLiteral("保存失败")), qPrintable(cards.first()));
    QVERIFY(cards.first().contains(QStringLiteral("用户名已被占用")));
    QVERIFY(!cards.first().contains(QStringLiteral("资料已保存")));
    QCOMPARE(Session::instance()->username, QStringLiteral("erin"));
    QVERIFY(Session::instance()->name != QStringLiteral("不该保存"));

    const QString path = m_dir.filePath(QStringLiteral("big.png"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(pngBytes());
    file.close();
    cards = cardsDuring([&] { m_page->uploadAvatar(path); }, 1);
    QVERIFY2(cards.first().contains(QStringLiteral("头像过大")), qPrintable(cards.first()));
    QCOMPARE(saved.size(), 0);
}

void TestProfilePage::storageFiguresFollowTheSession()
{
    makePage();
    auto *text = m_page->findChild<QLabel *>("PfStorageText");
    auto *bar = m_page->findChild<QProgressBar *>("PfStorageBar");
    Session *session = Session::instance();
    session->storageUsed = 1536;
    session->storageLimit = 0;
    emit session->capacityChanged();
    QCOMPARE(text->text(), QStringLiteral("1.5 KB / —"));
    QCOMPARE(bar->value(), 0);

    session->storageUsed = 3 * 1024;
    session->storageLimit = 2 * 1024;
    emit session->capacityChanged();
    QCOMPARE(bar->value(), 100);

    session->storageUsed = 1024;
    session->storageLimit = 4 * 1024;
    emit session->capacityChanged();
    QCOMPARE(text->text(), QStringLiteral("1 KB / 4 KB"));
    QCOMPARE(bar->value(), 25);
    QCOMPARE(ProfilePage::storagePercent(Q_INT64_C(9000000000000000000) - 1, Q_INT64_C(9000000000000000000)), 99);
}

void TestProfilePage::avatarContentTypeFollowsTheExactSuffix()
{
    QCOMPARE(Api::avatarContentType(QStringLiteral("/tmp/me.png")), QByteArray("image/png"));
    QCOMPARE(Api::avatarContentType(QStringLiteral("/tmp/me.PNG")), QByteArray("image/jpeg"));
    QCOMPARE(Api::avatarContentType(QStringLiteral("/tmp/me.jpg")), QByteArray("image/jpeg"));

    m_server.on("POST", "/api/profile/avatar", ScriptedReply::success(QJsonObject{{"avatar_url", ""}}));
    const QString upper = m_dir.filePath(QStringLiteral("头像.PNG"));
    QFile file(upper);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(pngBytes());
    file.close();
    bool done = false;
    Api::uploadAvatar(upper, [&done](const HttpResponse &) { done = true; });
    QTRY_VERIFY(done);
    const QByteArray body = m_server.requests("POST", "/api/profile/avatar").first().body;
    QVERIFY(body.contains("Content-Type: image/jpeg"));
    QVERIFY(body.contains(QStringLiteral("filename=\"头像.PNG\"").toUtf8()));
    QVERIFY(body.contains(pngBytes()));

    bool failed = false;
    Api::uploadAvatar(m_dir.filePath(QStringLiteral("missing.png")), [&failed](const HttpResponse &response) {
        failed = !response.ok && response.status == 0 && response.error == QStringLiteral("无法打开图片：missing.png");
    });
    QVERIFY(failed);
}

void TestProfilePage::uploadedAvatarReplacesTheLetter()
{
    const QString url = QStringLiteral("data:image/png;base64,") + QString::fromLatin1(pngBytes().toBase64());
    m_server.on("POST", "/api/profile/avatar", ScriptedReply::success(QJsonObject{{"avatar", url}}));
    makePage();
    QCOMPARE(avatar()->text(), QStringLiteral("王"));
    QSignalSpy saved(m_page, &ProfilePage::profileSaved);
    const QString path = m_dir.filePath(QStringLiteral("me.png"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(pngBytes());
    file.close();
    const QStringList cards = cardsDuring([&] { m_page->uploadAvatar(path); }, 1);
    QVERIFY2(cards.first().contains(QStringLiteral("头像已更新")), qPrintable(cards.first()));
    QCOMPARE(saved.size(), 1);
    QCOMPARE(Session::instance()->avatarUrl, url);
    QVERIFY(avatar()->text().isEmpty());
    QVERIFY(!avatar()->pixmap().isNull());
    QVERIFY(m_server.requests("POST", "/api/profile/avatar").first().body.contains("Content-Type: image/png"));

    m_server.on("POST", "/api/profile/avatar",
                ScriptedReply::json(QJsonObject{{"success", false}, {"message", "头像只支持 PNG 或 JPG 图片"}}, 415));
    const QStringList failed = cardsDuring([&] { m_page->uploadAvatar(path); }, 1);
    QVERIFY(failed.first().contains(QStringLiteral("上传失败")));
    QVERIFY(failed.first().contains(QStringLiteral("头像只支持 PNG 或 JPG 图片")));
    QCOMPARE(saved.size(), 1);
}

void TestProfilePage::oversizedOrForeignAvatarIsRefusedBeforeSending()
{
    m_server.on("POST", "/api/profile/avatar", ScriptedReply::success(QJsonObject{{"avatar_url", ""}}));
    makePage();
    const auto write = [this](const QString &name, const QByteArray &bytes) {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
        return path;
    };
    // A real PNG grown past the limit: the server would cut the body off mid-way.
    QByteArray big = pngBytes();
    big.append(QByteArray(2 * 1024 * 1024 + 1 - int(big.size()), '\0'));
    const QString bigPath = write(QStringLiteral("big.png"), big);
    QStringList cards = cardsDuring([&] { m_page->uploadAvatar(bigPath); }, 1);
    QVERIFY2(cards.value(0).contains(QStringLiteral("头像图片不能超过 2MB")), qPrintable(cards.value(0)));

    // A bitmap named like a PNG is still a bitmap.
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "BMP");
    const QString bmpPath = write(QStringLiteral("photo.png"), bmp);
    cards = cardsDuring([&] { m_page->uploadAvatar(bmpPath); }, 1);
    QVERIFY2(cards.value(0).contains(QStringLiteral("头像只支持 PNG 或 JPG 图片")), qPrintable(cards.value(0)));
    QCOMPARE(m_server.requests("POST", "/api/profile/avatar").size(), 0);

    // Exactly at the limit still goes.
    big.chop(1);
    const QString edgePath = write(QStringLiteral("edge.png"), big);
    cards = cardsDuring([&] { m_page->uploadAvatar(edgePath); }, 1);
    QCOMPARE(m_server.requests("POST", "/api/profile/avatar").size(), 1);
}

void TestProfilePage::avatarUrlWithoutCommaIsDecodedWhole()
{
    const QString bare = QString::fromLatin1(pngBytes().toBase64());
    QVERIFY(!roundAvatarPixmap(bare, 72).isNull());
    QVERIFY(roundAvatarPixmap(QStringLiteral("data:image/png;base64,") + bare.left(20), 72).isNull());
    m_server.on("GET", "/api/profile", ScriptedReply::success(profile(QStringLiteral("王小二"), bare)));
    makePage();
    QTRY_VERIFY(!avatar()->pixmap().isNull());
    QVERIFY(avatar()->text().isEmpty());
}

void TestProfilePage::avatarLetterAndDisplayNameFallbacks()
{
    m_server.on("GET", "/api/profile", ScriptedReply::success(profile(QString())));
    makePage();
    auto *display = m_page->findChild<QLabel *>("PfDisplayName");
    QTRY_COMPARE(display->text(), QStringLiteral("未命名用户"));
    QCOMPARE(avatar()->text(), QStringLiteral("我"));
    QCOMPARE(m_page->findChild<QLabel *>("PfSubLine")->text(), QStringLiteral("@erin  ·  示例公司"));

    QCOMPARE(avatarInitial(QStringLiteral("𠮷野家")), QStringLiteral("𠮷"));
    QCOMPARE(avatarInitial(QStringLiteral("😀 team")), QStringLiteral("😀"));
    QCOMPARE(avatarInitial(QStringLiteral("e\u0301mile")), QStringLiteral("e\u0301"));
    QCOMPARE(avatarInitial(QString()), QStringLiteral("我"));

    m_server.on("GET", "/api/profile", ScriptedReply::success(profile(QStringLiteral("𠮷野家"))));
    m_page->reload();
    QTRY_COMPARE(display->text(), QStringLiteral("𠮷野家"));
    QCOMPARE(avatar()->text(), QStringLiteral("𠮷"));
}

void TestProfilePage::tilesSwitchSubPages()
{
    makePage();
    const QList<pfp::TileCard *> tiles = m_page->findChildren<pfp::TileCard *>("Tile");
    QCOMPARE(tiles.size(), 3);
    QVERIFY(tiles.at(0)->styleSheet().contains(QStringLiteral("#fbf8ef")));
    QTest::mouseClick(tiles.at(2), Qt::LeftButton);
    QCOMPARE(m_page->currentTile(), int(ProfilePage::CapacityTile));
    QVERIFY(tiles.at(2)->styleSheet().contains(QStringLiteral("#fbf8ef")));
    QVERIFY(!tiles.at(0)->styleSheet().contains(QStringLiteral("#fbf8ef")));
    m_page->showTile(7);
    QCOMPARE(m_page->currentTile(), int(ProfilePage::CapacityTile));
    QTest::mouseClick(tiles.at(2), Qt::LeftButton);
    QCOMPARE(m_page->currentTile(), int(ProfilePage::CapacityTile));
}

QTEST_MAIN(TestProfilePage)
#include "tst_profilepage.moc"
